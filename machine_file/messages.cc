// The one-line messages that name a place: source, line and column, the place, what is wrong,
// with a quoted value cut to fit and nothing that would break the line.
#include "machine_file/messages.h"

#include <algorithm>
#include <optional>

#include "platform/text/printable.h"

namespace machine_file {

namespace {

constexpr std::size_t kMessageChars = 184;  // with "fenwrack-sim: ", one line of 200 at most
constexpr std::size_t kTokenChars = 32;     // of one key in a place
constexpr std::size_t kLeastChars = 12;     // of a value or a place cut to make room

using platform::text::EachShown;

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

// Characters of a printable text.
std::size_t Width(std::string_view printable) {
  return static_cast<std::size_t>(std::count_if(printable.begin(), printable.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Source, line and column when known, and place, each followed by ": ".
std::string Lead(const std::string& source, const std::string& lineColumn,
                 const std::string& where) {
  return Printable(source, 80) + (lineColumn.empty() ? "" : ":" + lineColumn) + ": " +
         ShortPlace(where) + ": ";
}

std::string LineColumnOf(const MachineText* text, const std::string& where) {
  const auto offset = text != nullptr ? Locate(*text, where) : std::nullopt;
  return offset ? LineColumn(text->text, *offset) : "";
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

std::string Printable(std::string_view text, std::size_t maxChars) {
  std::size_t width = 0;
  EachShown(text, false, [&](std::string_view, std::size_t w) {
    width += w;
    return true;
  });
  std::string out;
  std::size_t chars = 0;
  bool cut = false;
  EachShown(text, false, [&](std::string_view piece, std::size_t w) {
    cut = width > maxChars && chars + w > maxChars - 1;
    if (!cut) {
      out += piece;
      chars += w;
    }
    return !cut;
  });
  return cut ? out + "…" : out;
}

std::string MachineMessage(const std::string& source, const MachineText* text,
                           const std::string& where, const std::string& what) {
  return Fit(Lead(source, LineColumnOf(text, where), where), what, std::nullopt, "");
}

std::string MachineMessage(const std::string& source, const MachineText* text,
                           const std::string& where, const std::string& before,
                           std::string_view value, const std::string& after) {
  return Fit(Lead(source, LineColumnOf(text, where), where), before, value, after);
}

std::string MachineMessageAt(const std::string& source, const std::string& lineColumn,
                             const std::string& where, const std::string& before,
                             std::optional<std::string_view> value, const std::string& after) {
  return Fit(Lead(source, lineColumn, where), before, value, after);
}

}  // namespace machine_file
