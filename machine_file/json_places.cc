// Machine-file text read as JSON. No place is kept per value: memory stays in proportion to the
// text whatever its shape. A message that names a place reads the text again up to that place.
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

std::string PointerToken(const std::string& key) {
  std::string out;
  for (const char c : key)
    out += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
  return out;
}

std::vector<std::string> PointerTokens(const std::string& pointer) {
  std::vector<std::string> tokens;
  for (std::size_t start = 0; start < pointer.size();) {
    std::size_t end = pointer.find('/', start + 1);
    end = end == std::string::npos ? pointer.size() : end;
    std::string token;
    for (std::size_t i = start + 1; i < end; ++i) {
      const bool escape = pointer[i] == '~' && i + 1 < end;
      token += escape ? (pointer[++i] == '1' ? '/' : '~') : pointer[i];
    }
    tokens.push_back(std::move(token));
    start = end;
  }
  return tokens;
}

// One walk through the text: it builds the document, or it looks for where one place begins (a
// member's place is that of its key) and stops there.
class Walk {
 public:
  // Builds into `root`.
  Walk(const MachineText& text, json& root) : text_(text), root_(&root) {}
  // Looks for `pointer`.
  Walk(const MachineText& text, const std::string& pointer)
      : text_(text), target_(PointerTokens(pointer)) {}

  std::size_t consumed = 0;
  std::optional<std::size_t> found;

  bool null() { return Scalar(nullptr); }
  bool boolean(bool b) { return Scalar(b); }
  bool number_integer(json::number_integer_t n) { return Number(n); }
  bool number_unsigned(json::number_unsigned_t n) { return Number(n); }
  bool number_float(json::number_float_t n, const json::string_t&) { return Number(n); }
  bool string(json::string_t& s) { return Scalar(std::move(s)); }
  bool binary(json::binary_t&) { return false; }  // JSON text has none
  bool start_object(std::size_t) { return Open(false); }
  bool start_array(std::size_t) { return Open(true); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(json::string_t& k) {
    Frame& frame = frames_.back();
    const std::size_t start = TokenStart();
    last_ = consumed;
    if (root_ != nullptr && frame.value->contains(k)) {
      const std::string place = Place(frames_.size() - 1) + "/" + PointerToken(k);
      Fail(start, place, "the key ", k,
           " is given twice (first at " + LineColumn(text_.text, *Locate(text_, place)) +
               "); write each key once");
    }
    frame.key = std::move(k);
    frame.keyRead = true;
    return Reached(frames_.size() - 1, frame.key, start);
  }

  bool parse_error(std::size_t position, const std::string&, const json::exception& e) {
    if (root_ == nullptr)
      return false;  // a second walk reads only text that the first has read
    const std::string_view text = text_.text;
    // A comma before the bracket that closes: nlohmann's words name only the bracket.
    const std::size_t at = position == 0 ? 0 : position - 1;
    const std::size_t comma = text.find_last_not_of(" \t\r\n", at == 0 ? 0 : at - 1);
    if (!frames_.empty() && at < text.size() && comma < at && text[comma] == ',' &&
        text[at] == (frames_.back().array ? ']' : '}')) {
      Fail(comma, Place(frames_.size() - 1),
           std::string("not valid JSON: a comma after the last ") +
               (text[at] == ']' ? "element" : "member") + "; remove it");
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
    bool array;
    json* value;            // when building
    std::size_t count = 0;  // elements begun, in an array
    std::string key;        // the member being read, in an object
    bool keyRead = false;   // and its value not yet
  };

  // The place of the container at `depth`.
  std::string Place(std::size_t depth) const {
    std::string place;
    for (std::size_t i = 0; i < depth; ++i)
      place += "/" + (frames_[i].array ? std::to_string(frames_[i].count - 1)
                                       : PointerToken(frames_[i].key));
    return place;
  }

  // The place of the value being read.
  std::string Reading() const {
    if (frames_.empty())
      return "";
    const Frame& frame = frames_.back();
    const std::string place = Place(frames_.size() - 1);
    if (frame.array)
      return place + "/" + std::to_string(frame.count);
    return frame.keyRead ? place + "/" + PointerToken(frame.key) : place;
  }

  [[noreturn]] void Fail(std::size_t offset, const std::string& place, const std::string& what,
                         std::optional<std::string_view> value = {},
                         const std::string& after = "") {
    throw MachineError(
        MachineMessageAt(text_.source, LineColumn(text_.text, offset), place, what, value, after));
  }

  std::size_t TokenStart() const {
    const std::string_view text = text_.text;
    std::size_t i = last_;
    while (i < text.size() && std::strchr(" \t\r\n,:", text[i]) != nullptr && text[i] != 0)
      ++i;
    return i;
  }

  // The place at `depth` is now `token`, beginning at `start`: whether to read on. The places
  // already matched end where a container closes or the next member or element begins, so the
  // target is not in the text once they would have to be left.
  bool Reached(std::size_t depth, const std::string& token, std::size_t start) {
    if (root_ != nullptr)
      return true;
    if (matched_ > depth)
      return false;
    if (matched_ == depth && token == target_[depth] && ++matched_ == target_.size()) {
      found = start;
      return false;
    }
    return true;
  }

  // Where the value now read goes, when building; an element's place begins here.
  bool Slot(json value, json*& slot) {
    slot = nullptr;
    if (frames_.empty()) {
      if (root_ != nullptr)
        *root_ = std::move(value), slot = root_;
      return true;
    }
    Frame& frame = frames_.back();
    if (frame.array) {
      const std::size_t index = frame.count++;
      if (root_ == nullptr)
        return Reached(frames_.size() - 1, std::to_string(index), TokenStart());
      frame.value->push_back(std::move(value));
      slot = &frame.value->back();
      return true;
    }
    frame.keyRead = false;
    if (root_ != nullptr)
      slot = &((*frame.value)[frame.key] = std::move(value));
    return true;
  }

  bool Scalar(json value) {
    json* slot;
    const bool more = Slot(std::move(value), slot);
    last_ = consumed;
    return more;
  }

  // A number is known to end only when the next character is read.
  bool Number(json value) {
    const std::string_view text = text_.text;
    std::size_t end = TokenStart();
    const bool more = Scalar(std::move(value));
    while (end < text.size() && std::strchr("+-0123456789.eE", text[end]) != nullptr &&
           text[end] != 0)
      ++end;
    last_ = end;
    return more;
  }

  bool Open(bool array) {
    const std::size_t start = TokenStart();
    if (frames_.size() >= kMaxDepth && root_ != nullptr)
      Fail(start, Place(frames_.size() - 1),
           "nested deeper than " + std::to_string(kMaxDepth) + " levels");
    json* slot;
    const bool more = Slot(array ? json::array() : json::object(), slot);
    // Only a root that is a container has a place of its own.
    if (frames_.empty() && root_ == nullptr && target_.empty()) {
      found = start;
      return false;
    }
    frames_.push_back({array, slot, 0, {}, false});
    last_ = consumed;
    return more;
  }

  bool Close() {
    frames_.pop_back();
    last_ = consumed;
    return root_ != nullptr || matched_ < frames_.size();
  }

  const MachineText& text_;
  json* root_ = nullptr;
  std::vector<std::string> target_;
  std::size_t matched_ = 0;  // of the target's tokens, by the places now open
  std::vector<Frame> frames_;
  std::size_t last_ = 0;  // where the last token read ends
};

// Frees a document from its leaves up, as deep as the reader lets it be: nlohmann::json's own
// destructor first moves all the children of a container to a stack of its own, which can take
// more memory than the document.
void Release(json& value) {
  if (value.is_array()) {
    for (json& element : value.get_ref<json::array_t&>())
      Release(element);
    json::array_t().swap(value.get_ref<json::array_t&>());
  } else if (value.is_object()) {
    for (auto& member : value.get_ref<json::object_t&>())
      Release(member.second);
    value.get_ref<json::object_t&>().clear();
  }
  value = nullptr;
}

struct Releasing {
  json& document;
  ~Releasing() { Release(document); }
};

bool WalkText(const MachineText& text, Walk& walk) {
  const char* begin = text.text.data();
  const CountingIterator first{begin, &walk.consumed, begin};
  const CountingIterator last{begin + text.text.size(), &walk.consumed, begin};
  return json::sax_parse(first, last, &walk);
}

}  // namespace

std::optional<std::size_t> Locate(const MachineText& text, const std::string& place) {
  Walk walk(text, place);
  WalkText(text, walk);
  return walk.found;
}

json ReadJsonText(const MachineText& text) {
  json root;
  try {
    Walk walk(text, root);
    WalkText(text, walk);
  } catch (...) {
    Release(root);
    throw;
  }
  return root;
}

MachineModel ParseMachineText(std::string_view text, const std::string& source) {
  const MachineText machineText{source, text};
  json document = ReadJsonText(machineText);
  const Releasing releasing{document};
  return ParseMachine(document, source, &machineText);
}

}  // namespace machine_file
