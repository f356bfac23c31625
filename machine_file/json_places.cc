// Machine-file text read as JSON with the place of every value kept, for messages that name line
// and column.
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "machine_file/machine.h"
#include "machine_file/machine_model.h"
#include "machine_file/messages.h"

namespace machine_file {

namespace {

using nlohmann::json;

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

MachineModel ParseMachineText(std::string_view text, const std::string& source) {
  MachineText machineText{source, text, {}};
  const json document = ReadJsonText(machineText);
  return ParseMachine(document, source, &machineText);
}

}  // namespace machine_file
