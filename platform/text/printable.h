// Text from elsewhere, shown on a terminal: what would act on the terminal instead of showing
// (controls, line breaks, marks that turn the text around) as escapes. Header-only, so that the
// exes share it without a library.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/text/utf8.h"

namespace platform::text {

// Characters that would break the line or turn its text around.
inline bool Escaped(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

inline std::string Escape(char32_t cp) {
  switch (cp) {
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(cp));
  return buffer;
}

// Calls `shown` with each character as it is shown, itself or its escape (a byte of ill-formed
// UTF-8 as \xNN), and its width in characters, while it returns true. A line feed stays one where
// `lines` allows.
template <class F>
void EachShown(std::string_view text, bool lines, F&& shown) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = Utf8SequenceAt(text, i, cp);
    char buffer[8];
    if (n == 0)
      std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned char>(text[i]));
    const std::string escape = n != 0 && Escaped(cp) && !(lines && cp == '\n') ? Escape(cp) : "";
    const std::string_view piece = n == 0           ? std::string_view(buffer)
                                   : escape.empty() ? text.substr(i, n)
                                                    : std::string_view(escape);
    if (!shown(piece, n == 0 || !escape.empty() ? piece.size() : 1))
      return;
    i += n == 0 ? 1 : n;
  }
}

inline std::string Printable(std::string_view text, bool lines) {
  std::string out;
  EachShown(text, lines, [&out](std::string_view piece, std::size_t) {
    out += piece;
    return true;
  });
  return out;
}

}  // namespace platform::text
