#include "capture/json_text.h"

#include "platform/text/json_string.h"
#include "platform/text/utf8.h"

namespace capture {

namespace {

// The capture's files have always escaped every control but \n, \r and \t.
std::string Quote(std::string_view text) {
  return platform::text::JsonString(text, platform::text::ControlEscapes::kHex);
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
  return platform::text::Utf16ToUtf8Lossy(text);
}

Json::Json(std::u16string_view text) : kind_(Kind::kString), text_(Quote(Utf8(text))) {}

Json::Json(const char* text) : kind_(Kind::kString), text_(Quote(text)) {}

Json Json::Bytes(std::string_view bytes, bool& wasUtf8) {
  std::string utf8;
  wasUtf8 = true;
  for (std::size_t at = 0; at < bytes.size();) {
    char32_t c = 0;
    const std::size_t n = platform::text::Utf8SequenceAt(bytes, at, c);
    if (n == 0) {
      c = static_cast<unsigned char>(bytes[at]);  // read as Latin-1
      wasUtf8 = false;
    }
    at += n == 0 ? 1 : n;
    platform::text::AppendUtf8(utf8, c);
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
