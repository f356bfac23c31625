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

// Each escaped character as its escape and each byte of ill-formed UTF-8 as \xNN; a line feed
// stays one where `lines` allows.
inline std::string Printable(std::string_view text, bool lines) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = Utf8SequenceAt(text, i, cp);
    if (n == 0) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned char>(text[i]));
      out += buffer;
    } else if (Escaped(cp) && !(lines && cp == '\n')) {
      out += Escape(cp);
    } else {
      out.append(text, i, n);
    }
    i += n == 0 ? 1 : n;
  }
  return out;
}

}  // namespace platform::text
