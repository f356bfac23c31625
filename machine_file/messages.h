// The one-line messages that name a place in a machine file. Internal to the machine-file loader;
// machine_model.h declares the ones the other layers use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "machine_file/machine_model.h"

namespace machine_file {

// Line and column (in characters, from 1) of a byte offset.
std::string LineColumn(std::string_view text, std::size_t offset);

// A misfit's line that quotes a value: `before`, the value in quotes, `after`. The value is cut to
// the room the line leaves, so that the advice around it stays whole.
std::string MachineMessage(const std::string& source, const MachineText* text,
                           const std::string& where, const std::string& before,
                           std::string_view value, const std::string& after);

// A misfit's line with its line and column known (what the JSON reader finds as it reads).
std::string MachineMessageAt(const std::string& source, const std::string& lineColumn,
                             const std::string& where, const std::string& before,
                             std::optional<std::string_view> value, const std::string& after);

// Where the value at the JSON pointer `place` begins (a member's: its key), found by reading the
// text again; nothing when the text has no such place, or when it is the whole text and not a
// container (json_places.cc).
std::optional<std::size_t> Locate(const MachineText& text, const std::string& place);

}  // namespace machine_file
