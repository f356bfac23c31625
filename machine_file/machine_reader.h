// The reader of a machine file's document: every read names its place, and the first misfit
// throws. Internal to the machine-file loader.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>

#include "machine_file/machine.h"
#include "machine_file/machine_model.h"
#include "machine_file/messages.h"
#include "platform/text/text.h"

namespace machine_file {

class Reader {
 public:
  using json = nlohmann::json;

  Reader(const std::string& source, const MachineText* text) : source_(source), text_(text) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw MachineError(MachineMessage(source_, text_, where, what));
  }
  [[noreturn]] void Fail(const std::string& where, const std::string& before,
                         std::string_view value, const std::string& after) const {
    throw MachineError(MachineMessage(source_, text_, where, before, value, after));
  }

  // "expected `what`", and what was given instead, with `hint` after a string given.
  [[noreturn]] void Expected(const std::string& where, const std::string& what, const json& given,
                             const std::string& hint = "") const {
    const std::string expected = "expected " + what + ", not ";
    if (given.is_string())
      Fail(where, expected + "the string ", given.get_ref<const std::string&>(), hint);
    Fail(where, expected + (given.is_object()  ? std::string("an object")
                            : given.is_array() ? std::string("an array")
                                               : given.dump()));
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
      Expected(where, "an object", value);
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
      Expected(where, "an array", value);
  }

  std::string String(const json& value, const std::string& where, bool nonEmpty = false) const {
    if (!value.is_string())
      Expected(where, "a string", value);
    std::string text = value.get<std::string>();
    if (nonEmpty && text.empty())
      Fail(where, "expected a non-empty string");
    return text;
  }

  // One of `words`, written exactly so.
  std::size_t Word(const json& value, const std::string& where,
                   std::initializer_list<const char*> words) const {
    std::size_t i = 0;
    std::string list, hint;
    for (const char* word : words) {
      if (value.is_string() && value.get_ref<const std::string&>() == word)
        return i;
      list += std::string(i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + "\"" + word + "\"";
      if (value.is_string() &&
          platform::text::EqualNoCase(value.get_ref<const std::string&>(), word))
        hint = std::string("; write \"") + word + "\" (words are case-sensitive)";
      ++i;
    }
    Expected(where, list, value, hint);
  }

  bool Bool(const json& value, const std::string& where) const {
    if (!value.is_boolean())
      Expected(where, "true or false", value, Unquoted(value, false));
    return value.get<bool>();
  }

  std::uint64_t Unsigned(const json& value, const std::string& where, std::uint64_t min,
                         std::uint64_t max) const {
    const bool whole =
        value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
    if (whole && value.get<std::uint64_t>() >= min && value.get<std::uint64_t>() <= max)
      return value.get<std::uint64_t>();
    Expected(where, "a whole number from " + std::to_string(min) + " to " + std::to_string(max),
             value, Unquoted(value, true));
  }

  std::int32_t Int32(const json& value, const std::string& where) const {
    using limits = std::numeric_limits<std::int32_t>;
    if (value.is_number_integer() && value.get<std::int64_t>() >= limits::min() &&
        value.get<std::int64_t>() <= limits::max() &&
        !(value.is_number_unsigned() && value.get<std::uint64_t>() > limits::max()))
      return static_cast<std::int32_t>(value.get<std::int64_t>());
    Expected(where,
             "a whole number from " + std::to_string(limits::min()) + " to " +
                 std::to_string(limits::max()),
             value, Unquoted(value, true));
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
  // The hint for a number, or true or false, written in quotes.
  static std::string Unquoted(const json& value, bool number) {
    if (!value.is_string() || !json::accept(value.get_ref<const std::string&>()))
      return "";
    const json inside = json::parse(value.get_ref<const std::string&>());
    return (number ? inside.is_number() : inside.is_boolean()) ? "; write it without quotes" : "";
  }

  const std::string& source_;
  const MachineText* text_;
};

// The registry entries, into m (registry_reader.cc).
void ReadRegistry(const Reader& r, const nlohmann::json& entries, const std::string& where,
                  MachineModel& m);

}  // namespace machine_file
