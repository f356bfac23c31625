// The reader of a machine file's document: every read names its place, and the first misfit
// throws. Internal to the machine-file loader.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include "platform/sim/machine_model.h"
#include "platform/sim/simulator.h"

namespace platform::sim::detail {

class Reader {
 public:
  using json = nlohmann::json;

  Reader(const std::string& source, const MachineText* text) : source_(source), text_(text) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw MachineError(MachineMessage(source_, text_, where, what));
  }

  static std::string At(const std::string& where, const std::string& key) {
    std::string token;
    for (const char c : key)
      token += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
    return where + "/" + token;
  }
  static std::string At(const std::string& where, std::size_t index) {
    return where + "/" + std::to_string(index);
  }

  void Object(const json& value, const std::string& where,
              std::initializer_list<const char*> keys) const {
    if (!value.is_object())
      Fail(where, "expected an object");
    for (const auto& item : value.items()) {
      const std::string& key = item.key();
      if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return key == k; })) {
        std::string list;
        for (const char* k : keys)
          list += std::string(list.empty() ? "" : ", ") + k;
        Fail(At(where, key), "unknown key (expected one of: " + list + ")");
      }
    }
  }

  void Array(const json& value, const std::string& where) const {
    if (!value.is_array())
      Fail(where, "expected an array");
  }

  std::string String(const json& value, const std::string& where, bool nonEmpty = false) const {
    if (!value.is_string())
      Fail(where, "expected a string");
    std::string text = value.get<std::string>();
    if (nonEmpty && text.empty())
      Fail(where, "expected a non-empty string");
    return text;
  }

  // One of `words`, written exactly so.
  std::size_t Word(const json& value, const std::string& where,
                   std::initializer_list<const char*> words) const {
    std::size_t i = 0;
    for (const char* word : words) {
      if (value.is_string() && value.get_ref<const std::string&>() == word)
        return i;
      ++i;
    }
    std::string list;
    i = 0;
    for (const char* word : words) {
      list += std::string(i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + "\"" + word + "\"";
      ++i;
    }
    Fail(where, "expected " + list);
  }

  bool Bool(const json& value, const std::string& where) const {
    if (!value.is_boolean())
      Fail(where, "expected true or false");
    return value.get<bool>();
  }

  std::uint64_t Unsigned(const json& value, const std::string& where, std::uint64_t min,
                         std::uint64_t max) const {
    const bool whole =
        value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
    if (whole && value.get<std::uint64_t>() >= min && value.get<std::uint64_t>() <= max)
      return value.get<std::uint64_t>();
    Fail(where,
         "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max));
  }

  std::int32_t Int32(const json& value, const std::string& where) const {
    using limits = std::numeric_limits<std::int32_t>;
    if (value.is_number_integer() && value.get<std::int64_t>() >= limits::min() &&
        value.get<std::int64_t>() <= limits::max() &&
        !(value.is_number_unsigned() && value.get<std::uint64_t>() > limits::max()))
      return static_cast<std::int32_t>(value.get<std::int64_t>());
    Fail(where, "expected a whole number from " + std::to_string(limits::min()) + " to " +
                    std::to_string(limits::max()));
  }

  // Calls `read` with the member's value and place when the member is there.
  template <class F>
  void Optional(const json& object, const std::string& where, const char* key, F&& read) const {
    const auto it = object.find(key);
    if (it != object.end())
      read(*it, At(where, key));
  }

  const json& Required(const json& object, const std::string& where, const char* key) const {
    const auto it = object.find(key);
    if (it == object.end())
      Fail(where, std::string("missing key \"") + key + "\"");
    return *it;
  }

  // Each element of an array, with its place.
  template <class F>
  void Each(const json& value, const std::string& where, F&& read) const {
    Array(value, where);
    for (std::size_t i = 0; i < value.size(); ++i)
      read(value[i], At(where, i));
  }

 private:
  const std::string& source_;
  const MachineText* text_;
};

}  // namespace platform::sim::detail
