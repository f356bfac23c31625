// A JSON value built in order and written as machine-file text. Written by hand: a JSON library
// with its stream support would make the capture program larger than the tool.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace capture {

// UTF-16 as the system gives it, in UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8(std::u16string_view text);
// The text of a file saved as UTF-16 with a byte-order mark (as the registry editor saves .reg
// files), or nothing for any other bytes.
std::optional<std::u16string> Utf16Text(std::string_view bytes);

class Json {
 public:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  Json() = default;
  // Only a real bool: a pointer must not become one.
  template <class T>
  requires std::same_as<T, bool> Json(T value)
      : kind_(Kind::kBool), text_(value ? "true" : "false") {}                       // NOLINT
  Json(std::uint64_t value) : kind_(Kind::kNumber), text_(std::to_string(value)) {}  // NOLINT
  Json(std::int32_t value) : kind_(Kind::kNumber), text_(std::to_string(value)) {}   // NOLINT
  Json(std::u16string_view text);  // NOLINT; UTF-16, as the system gives it
  Json(const char16_t* text) : Json(std::u16string_view(text)) {}  // NOLINT
  Json(const char* text);                                          // NOLINT; UTF-8
  static Json Array() { return Json(Kind::kArray); }
  static Json Object() { return Json(Kind::kObject); }
  // UTF-8 that may be ill-formed: such bytes are taken as Latin-1. Says whether they were.
  static Json Bytes(std::string_view bytes, bool& wasUtf8);

  Kind kind() const { return kind_; }
  Json& Add(Json value);                   // to an array
  Json& Set(std::string key, Json value);  // to an object, in order
  const Json* Find(std::string_view key) const;
  std::size_t size() const { return items_.size(); }

  // Two-space indentation; a container of scalars only stays on one line.
  std::string Text() const;

 private:
  explicit Json(Kind kind) : kind_(kind) {}
  void Write(std::string& out, int depth) const;

  Kind kind_ = Kind::kNull;
  std::string text_;                                 // a scalar as written
  std::vector<std::pair<std::string, Json>> items_;  // key empty in arrays
};

}  // namespace capture
