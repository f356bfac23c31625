#include "capture/json_text.h"

#include <cstdio>

namespace capture {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code point of the well-formed UTF-8 sequence at `at`, advancing it; nothing when ill-formed.
bool NextUtf8(std::string_view s, std::size_t& at, char32_t& c) {
  const auto b = static_cast<unsigned char>(s[at]);
  const int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (n == 0 || at + static_cast<std::size_t>(n) > s.size())
    return false;
  c = n == 1 ? b : b & (0x7F >> n);
  for (int i = 1; i < n; ++i) {
    const auto next = static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    if ((next & 0xC0) != 0x80)
      return false;
    c = (c << 6) | (next & 0x3F);
  }
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[n] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
    return false;
  at += static_cast<std::size_t>(n);
  return true;
}

// `text` as a JSON string literal; `text` is well-formed UTF-8.
std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace

std::optional<std::u16string> Utf16Text(std::string_view bytes) {
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE' || bytes.size() % 2 != 0)
    return std::nullopt;
  std::u16string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  return text;
}

std::string Utf8(std::u16string_view text) {
  std::string utf8;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    const bool high = c >= 0xD800 && c < 0xDC00;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    AppendUtf8(utf8, c);
  }
  return utf8;
}

Json::Json(std::u16string_view text) : kind_(Kind::kString), text_(Quote(Utf8(text))) {}

Json::Json(const char* text) : kind_(Kind::kString), text_(Quote(text)) {}

Json Json::Bytes(std::string_view bytes, bool& wasUtf8) {
  std::string utf8;
  wasUtf8 = true;
  for (std::size_t at = 0; at < bytes.size();) {
    char32_t c = 0;
    if (!NextUtf8(bytes, at, c)) {
      c = static_cast<unsigned char>(bytes[at++]);
      wasUtf8 = false;
    }
    AppendUtf8(utf8, c);
  }
  Json value(Kind::kString);
  value.text_ = Quote(utf8);
  return value;
}

Json& Json::Add(Json value) {
  items_.emplace_back(std::string(), std::move(value));
  return items_.back().second;
}

Json& Json::Set(std::string key, Json value) {
  items_.emplace_back(std::move(key), std::move(value));
  return items_.back().second;
}

const Json* Json::Find(std::string_view key) const {
  for (const auto& [name, value] : items_) {
    if (name == key)
      return &value;
  }
  return nullptr;
}

std::string Json::Text() const {
  std::string out;
  Write(out, 0);
  return out + "\n";
}

void Json::Write(std::string& out, int depth) const {
  if (kind_ != Kind::kArray && kind_ != Kind::kObject) {
    out += kind_ == Kind::kNull ? "null" : text_;
    return;
  }
  const bool object = kind_ == Kind::kObject;
  bool flat = true;
  for (const auto& item : items_)
    flat = flat && item.second.kind_ != Kind::kArray && item.second.kind_ != Kind::kObject;
  const std::string inner = flat ? " " : "\n" + std::string(2 * (depth + 1), ' ');
  out += object ? '{' : '[';
  for (std::size_t i = 0; i < items_.size(); ++i) {
    out += i == 0 ? (flat ? "" : inner) : "," + inner;
    if (object)
      out += Quote(items_[i].first) + ": ";
    items_[i].second.Write(out, depth + 1);
  }
  if (!flat && !items_.empty())
    out += "\n" + std::string(2 * depth, ' ');
  out += object ? '}' : ']';
}

}  // namespace capture
