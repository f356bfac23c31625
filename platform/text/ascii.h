// The case rule of the tool's own names: only the letters A to Z fold, every other unit stays.
#pragma once

namespace platform::text {

template <typename Char>
constexpr Char AsciiLower(Char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c;
}

template <typename Char>
constexpr Char AsciiUpper(Char c) {
  return c >= 'a' && c <= 'z' ? static_cast<Char>(c - 'a' + 'A') : c;
}

template <typename String>
String AsciiLowered(String text) {
  for (auto& c : text)
    c = AsciiLower(c);
  return text;
}

template <typename String>
String AsciiUppered(String text) {
  for (auto& c : text)
    c = AsciiUpper(c);
  return text;
}

}  // namespace platform::text
