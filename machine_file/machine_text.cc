// Machine files as text: JSON read with the place of every value kept, and the one-line messages
// that name a place.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "machine_file/machine.h"
#include "machine_file/machine_model.h"
#include "machine_file/machine_reader.h"
#include "platform/text/utf8.h"

namespace machine_file {

using namespace platform::text;

namespace {

using nlohmann::json;

constexpr std::size_t kMessageChars = 184;  // with "fenwrack-sim: ", one line of 200 at most
constexpr std::size_t kTokenChars = 32;     // of one key in a place
constexpr std::size_t kLeastChars = 12;     // of a value or a place cut to make room

// Characters that would break the line or turn its text around.
bool Escaped(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

std::string Escape(char32_t cp) {
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

// A place with each of its keys cut when long.
std::string ShortPlace(const std::string& where) {
  if (where.empty())
    return "/";
  std::string out;
  std::size_t start = 1;
  while (start <= where.size()) {
    std::size_t end = where.find('/', start);
    if (end == std::string::npos)
      end = where.size();
    out += "/" + Printable(std::string_view(where).substr(start, end - start), kTokenChars);
    start = end + 1;
  }
  return out;
}

// Line and column (in characters, from 1) of a byte offset.
std::string LineColumn(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return std::to_string(line) + ":" + std::to_string(column);
}

// An iterator over the text that tells how far the JSON reader has read.
struct CountingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* at;
  std::size_t* consumed;
  const char* begin;

  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    ++at;
    *consumed = static_cast<std::size_t>(at - begin);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at == other.at; }
};

// Builds the document as the reader goes, keeping where each value begins.
class Builder {
 public:
  Builder(MachineText& text, json& root) : text_(text), root_(root) {}

  std::size_t consumed = 0;

  bool null() { return Scalar(nullptr); }
  bool boolean(bool b) { return Scalar(b); }
  bool number_integer(json::number_integer_t n) { return Number(n); }
  bool number_unsigned(json::number_unsigned_t n) { return Number(n); }
  bool number_float(json::number_float_t n, const json::string_t&) { return Number(n); }
  bool string(json::string_t& s) { return Scalar(std::move(s)); }
  bool binary(json::binary_t&) { return false; }  // JSON text has none
  bool start_object(std::size_t) { return Open(json::object()); }
  bool start_array(std::size_t) { return Open(json::array()); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(json::string_t& k) {
    Frame& frame = frames_.back();
    const std::size_t start = TokenStart();
    last_ = consumed;
    frame.key = k;
    frame.keyRead = true;
    const std::string place = frame.place + "/" + PointerToken(k);
    if (frame.value->contains(k)) {
      Fail(start, place, "the key ", k,
           " is given twice (first at " + LineColumn(text_.text, text_.places[place]) +
               "); write each key once");
    }
    text_.places[place] = start;
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const json::exception& e) {
    // A comma before the bracket that closes: nlohmann's words name only the bracket.
    const std::size_t at = position == 0 ? 0 : position - 1;
    const std::size_t comma = text_.text.find_last_not_of(" \t\r\n", at == 0 ? 0 : at - 1);
    if (!frames_.empty() && at < text_.text.size() && comma < at && text_.text[comma] == ',' &&
        text_.text[at] == (frames_.back().value->is_array() ? ']' : '}')) {
      Fail(comma, frames_.back().place,
           std::string("not valid JSON: a comma after the last ") +
               (text_.text[at] == ']' ? "element" : "member") + "; remove it");
    }
    std::string what = e.what();
    what.erase(0, what.find("] ") == std::string::npos ? 0 : what.find("] ") + 2);
    const std::size_t reason = what.find(": ");
    if (what.rfind("parse error", 0) == 0 && reason != std::string::npos)
      what.erase(0, reason + 2);
    Fail(position == 0 ? 0 : position - 1, Reading(), "not valid JSON: " + what);
  }

 private:
  struct Frame {
    json* value;
    std::string place;
    std::string key;       // the member being read, in an object
    bool keyRead = false;  // and its value not yet
  };

  // The place of the value being read.
  std::string Reading() const {
    if (frames_.empty())
      return "";
    const Frame& frame = frames_.back();
    if (frame.value->is_array())
      return frame.place + "/" + std::to_string(frame.value->size());
    return frame.keyRead ? frame.place + "/" + PointerToken(frame.key) : frame.place;
  }

  static std::string PointerToken(const std::string& key) {
    std::string out;
    for (const char c : key)
      out += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
    return out;
  }

  [[noreturn]] void Fail(std::size_t offset, const std::string& place, const std::string& what,
                         std::optional<std::string_view> value = {},
                         const std::string& after = "") {
    text_.places[place] = offset;  // the error's own place, not the value's
    throw MachineError(value ? MachineMessage(text_.source, &text_, place, what, *value, after)
                             : MachineMessage(text_.source, &text_, place, what));
  }

  std::size_t TokenStart() const {
    std::size_t i = last_;
    while (i < text_.text.size() && std::strchr(" \t\r\n,:", text_.text[i]) != nullptr &&
           text_.text[i] != 0)
      ++i;
    return i;
  }

  // Where the value now read goes, and its place.
  json* Slot(json value, std::string& place) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Frame& frame = frames_.back();
    if (frame.value->is_array()) {
      place = frame.place + "/" + std::to_string(frame.value->size());
      text_.places[place] = TokenStart();
      frame.value->push_back(std::move(value));
      return &frame.value->back();
    }
    place = frame.place + "/" + PointerToken(frame.key);
    frame.keyRead = false;
    return &((*frame.value)[frame.key] = std::move(value));
  }

  bool Scalar(json value) {
    std::string place;
    Slot(std::move(value), place);
    last_ = consumed;
    return true;
  }

  // A number is known to end only when the next character is read.
  bool Number(json value) {
    std::size_t end = TokenStart();
    Scalar(std::move(value));
    while (end < text_.text.size() && std::strchr("+-0123456789.eE", text_.text[end]) != nullptr &&
           text_.text[end] != 0)
      ++end;
    last_ = end;
    return true;
  }

  bool Open(json value) {
    const std::size_t start = TokenStart();
    std::string place;
    if (frames_.size() >= kMaxDepth)
      Fail(start, frames_.back().place,
           "nested deeper than " + std::to_string(kMaxDepth) + " levels");
    json* slot = Slot(std::move(value), place);
    if (frames_.empty())
      text_.places[""] = start;
    frames_.push_back({slot, place, {}});
    last_ = consumed;
    return true;
  }

  bool Close() {
    frames_.pop_back();
    last_ = consumed;
    return true;
  }

  MachineText& text_;
  json& root_;
  std::vector<Frame> frames_;
  std::size_t last_ = 0;  // where the last token read ends
};

// Characters of a printable text.
std::size_t Width(std::string_view printable) {
  return static_cast<std::size_t>(std::count_if(printable.begin(), printable.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Source, line and column when known, and place, each followed by ": ".
std::string Lead(const std::string& source, const MachineText* text, const std::string& where) {
  std::string head = Printable(source, 80);
  if (text != nullptr) {
    const auto place = text->places.find(where);
    if (place != text->places.end())
      head += ":" + LineColumn(text->text, place->second);
  }
  return head + ": " + ShortPlace(where) + ": ";
}

// One line within the limit: the value quoted in the room the advice leaves, then the lead cut if
// need be; only a long message of the JSON reader, its context last, is cut at the end.
std::string Fit(const std::string& lead, const std::string& before,
                std::optional<std::string_view> value, const std::string& after) {
  constexpr std::size_t kAll = std::string::npos;
  const std::string advice = Printable(before, kAll) + Printable(after, kAll);
  std::string tail = Printable(before, kAll);
  if (value) {
    const std::size_t used = Width(lead) + Width(advice) + 2;
    const std::size_t room = used < kMessageChars ? kMessageChars - used : 0;
    tail += "\"" + Printable(*value, std::max(room, kLeastChars)) + "\"";
  }
  tail += Printable(after, kAll);
  std::string line = lead + tail;
  if (Width(line) > kMessageChars && Width(tail) + kLeastChars + 2 <= kMessageChars)
    line =
        Printable(lead.substr(0, lead.size() - 2), kMessageChars - Width(tail) - 2) + ": " + tail;
  return Printable(line, kMessageChars);
}

}  // namespace

json ReadJsonText(MachineText& text) {
  json root;
  Builder builder(text, root);
  const char* begin = text.text.data();
  const CountingIterator first{begin, &builder.consumed, begin};
  const CountingIterator last{begin + text.text.size(), &builder.consumed, begin};
  json::sax_parse(first, last, &builder);
  return root;
}

std::string Printable(std::string_view text, std::size_t maxChars) {
  std::vector<std::string> pieces;  // one shown character, or one escape, each
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = platform::text::Utf8SequenceAt(text, i, cp);
    if (n == 0) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned char>(text[i]));
      pieces.push_back(buffer);
    } else {
      pieces.push_back(Escaped(cp) ? Escape(cp) : std::string(text.substr(i, n)));
    }
    width += n == 0 || Escaped(cp) ? pieces.back().size() : 1;
    i += n == 0 ? 1 : n;
  }
  std::string out;
  std::size_t chars = 0;
  for (const std::string& piece : pieces) {
    const std::size_t w = static_cast<unsigned char>(piece[0]) >= 0x80 ? 1 : piece.size();
    if (width > maxChars && chars + w > maxChars - 1)
      return out + "…";
    out += piece;
    chars += w;
  }
  return out;
}

std::string MachineMessage(const std::string& source, const MachineText* text,
                           const std::string& where, const std::string& what) {
  return Fit(Lead(source, text, where), what, std::nullopt, "");
}

std::string MachineMessage(const std::string& source, const MachineText* text,
                           const std::string& where, const std::string& before,
                           std::string_view value, const std::string& after) {
  return Fit(Lead(source, text, where), before, value, after);
}

MachineModel ParseMachineText(std::string_view text, const std::string& source) {
  MachineText machineText{source, text, {}};
  const json document = ReadJsonText(machineText);
  return ParseMachine(document, source, &machineText);
}

}  // namespace machine_file
