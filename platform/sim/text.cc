#include "platform/sim/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace platform::sim::detail {

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      cp = b & 0x07;
    } else {
      len = 0;
    }
    if (len == 0 || i + len > text.size()) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool valid = true;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
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

char16_t FoldUnit(char16_t c) {
  if (c >= u'a' && c <= u'z')
    return static_cast<char16_t>(c - 0x20);
  if (c < 0x80)
    return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF)
    return 0x178;
  if (c >= 0x100 && c <= 0x137 && (c & 1))
    return static_cast<char16_t>(c - 1);
  if (c >= 0x139 && c <= 0x148 && !(c & 1))
    return static_cast<char16_t>(c - 1);
  if (c >= 0x14A && c <= 0x177 && (c & 1))
    return static_cast<char16_t>(c - 1);
  if (c == 0x17A || c == 0x17C || c == 0x17E)
    return static_cast<char16_t>(c - 1);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)
    return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F)
    return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F)
    return static_cast<char16_t>(c - 0x50);
  return c;
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

}  // namespace platform::sim::detail
