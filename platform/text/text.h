// Text helpers of the simulated machine: the encodings the tool and the machine file meet, and
// the case rules of Windows paths and names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/text/utf8.h"

namespace platform::text {

// Text that is not well formed: what() names the offset of the first bad byte or unit.
class TextError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Where the first ill-formed sequence starts (overlong forms, surrogates, values above U+10FFFF,
// stray or missing continuation bytes), or nothing.
std::optional<std::size_t> Utf8ErrorAt(std::string_view text);
// Both throw TextError on what is not well formed.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// MultiByteToWideChar on code page 1252.
std::u16string Widen1252(std::string_view text);

// Upper-case folding as the file system and registry compare names: the simple Unicode
// upper-case mapping of each 16-bit unit; surrogates stay as they are (upper_case.cc).
char16_t FoldUnit(char16_t c);
std::u16string Fold(std::u16string_view text);
std::string FoldUtf8(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);

// A Windows path as the system normalises it before a lookup, its case kept; no trailing
// separator ("C:\\" is "C:").
std::string NormalPath(std::string_view path);
// A normalised path, folded: the key every file lookup goes through.
std::string PathKey(std::string_view path);
// The last component of a path.
std::string BaseName(std::string_view path);

// A blank between a command line's arguments.
inline bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// For one-line display: quotes and control characters escaped.
std::string Quote(std::string_view text);

std::string Hex(std::uint64_t value, int minDigits = 1);

}  // namespace platform::text
