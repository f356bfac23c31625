// JSON string literals for both machine-file writers: header-only, so that the capture program
// uses it without a JSON library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/text/utf8.h"

namespace platform::text {

// The one place the writers differ; each keeps the bytes it has always written.
enum class ControlEscapes {
  kShort,  // \b and \f short, DEL as it is: as nlohmann::json writes them
  kHex,    // every control but \n, \r and \t, and DEL, as \u00xx: as the capture writes them
};

// How many bytes at `at`, where an ill-formed sequence starts, begin some well-formed one (at
// least 1): the maximal subpart that one U+FFFD replaces, as nlohmann::json's `replace` does.
inline std::size_t Utf8IllFormedLength(std::string_view s, std::size_t at) {
  const auto b = static_cast<unsigned char>(s[at]);
  const std::size_t n = b >= 0xC2 && b < 0xE0   ? 2
                        : b >= 0xE0 && b < 0xF0 ? 3
                        : b >= 0xF0 && b < 0xF5 ? 4
                                                : 1;
  // After E0, ED, F0 and F4 the second byte's range narrows: no overlong forms, surrogates or
  // values above U+10FFFF.
  unsigned char low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
  unsigned char high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
  std::size_t i = 1;
  for (; i < n && at + i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[at + i]);
    if (c < low || c > high)
      break;
    low = 0x80;
    high = 0xBF;
  }
  return i;
}

// `text` as a JSON string literal, quotes included; ill-formed UTF-8 becomes U+FFFD.
inline std::string JsonString(std::string_view text, ControlEscapes escapes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const bool shortForms = escapes == ControlEscapes::kShort;
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    char32_t cp = 0;
    const std::size_t n = Utf8SequenceAt(text, at, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      at += Utf8IllFormedLength(text, at);
      continue;
    }
    const char* escape = cp == '"'                  ? "\\\""
                         : cp == '\\'               ? "\\\\"
                         : cp == '\n'               ? "\\n"
                         : cp == '\r'               ? "\\r"
                         : cp == '\t'               ? "\\t"
                         : shortForms && cp == '\b' ? "\\b"
                         : shortForms && cp == '\f' ? "\\f"
                                                    : nullptr;
    if (escape != nullptr) {
      out += escape;
    } else if (cp < 0x20 || (cp == 0x7F && !shortForms)) {
      out += "\\u00";
      out += kDigits[cp >> 4];
      out += kDigits[cp & 15];
    } else {
      out.append(text, at, n);
    }
    at += n;
  }
  return out + "\"";
}

}  // namespace platform::text
