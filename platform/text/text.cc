#include "platform/text/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

namespace platform::text {

namespace {

bool IsSurrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}

// The first unit that is not part of a well-formed pair, or npos.
std::size_t FirstUnpaired(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!IsSurrogate(text[i]))
      continue;
    if (text[i] > 0xDBFF || i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
      return i;
    ++i;
  }
  return std::u16string_view::npos;
}

}  // namespace

std::optional<std::size_t> Utf8ErrorAt(std::string_view text) {
  char32_t cp = 0;
  for (std::size_t at = 0, n = 0; at < text.size(); at += n) {
    if ((n = Utf8SequenceAt(text, at, cp)) == 0)
      return at;
  }
  return std::nullopt;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  if (const std::optional<std::size_t> at = Utf8ErrorAt(text))
    throw TextError("not well-formed UTF-8 at byte " + std::to_string(*at));
  std::u16string out;
  out.reserve(text.size());
  char32_t cp = 0;
  for (std::size_t at = 0, n = 0; at < text.size(); at += n) {
    n = Utf8SequenceAt(text, at, cp);
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  const std::size_t at = FirstUnpaired(text);
  if (at != std::u16string_view::npos)
    throw TextError("unpaired surrogate at unit " + std::to_string(at));
  return Utf16ToUtf8Lossy(text);
}

std::u16string Widen1252(std::string_view text) {
  // 0x80-0x9F; the five unassigned bytes map to the same C1 code points, as Windows does.
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::u16string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(b >= 0x80 && b <= 0x9F ? kHigh[b - 0x80] : static_cast<char16_t>(b));
  }
  return out;
}

std::u16string Fold(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    c = FoldUnit(c);
  return out;
}

std::string FoldUtf8(std::string_view text) {
  return Utf16ToUtf8(Fold(Utf8ToUtf16(text)));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  // Bytes that are not UTF-8 (an ANSI .reg file, say) have no case to fold: compared as given.
  if (Utf8ErrorAt(a) || Utf8ErrorAt(b))
    return a == b;
  return FoldUtf8(a) == FoldUtf8(b);
}

// As the system's path normalisation does before any lookup: `/` is a separator, runs of
// separators collapse, `.` and `..` components go, an inner component loses one trailing dot and
// the last one all trailing dots and blanks. A `\\?\` path is taken as written.
std::string NormalPath(std::string_view path) {
  std::string in(path);
  if (in.rfind("\\\\?\\", 0) == 0)
    return in;
  for (char& c : in) {
    if (c == '/')
      c = '\\';
  }
  const bool unc = in.rfind("\\\\", 0) == 0;
  const bool drive = !unc && in.size() >= 2 && in[1] == ':';
  // What is never collapsed nor climbed over, and whether a separator follows it.
  const std::string head = unc ? "\\\\" : drive ? in.substr(0, 2) : "";
  const bool rooted = drive || (!unc && !in.empty() && in[0] == '\\');
  std::vector<std::string> parts;
  for (std::size_t at = head.size(); at <= in.size();) {
    std::size_t end = std::min(in.find('\\', at), in.size());
    std::string part = in.substr(at, end - at);
    at = end + 1;
    if (part == "..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!part.empty() && part != ".") {
      if (end < in.size() && part.back() == '.')
        part.pop_back();
      parts.push_back(std::move(part));
    }
  }
  if (!parts.empty()) {
    parts.back().erase(parts.back().find_last_not_of(". ") + 1);
    if (parts.back().empty())
      parts.pop_back();
  }
  std::string out = head;
  for (std::size_t i = 0; i < parts.size(); ++i)
    out += (i > 0 || rooted ? "\\" : "") + parts[i];
  return out;
}

std::string PathKey(std::string_view path) {
  return FoldUtf8(NormalPath(path));
}

std::string BaseName(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned>(c));
          out += buffer;
        } else {
          out.push_back(c);
        }
    }
  }
  out += "\"";
  return out;
}

std::string Hex(std::uint64_t value, int minDigits) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%0*llX", minDigits,
                static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace platform::text
