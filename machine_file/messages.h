// The one-line messages that name a place in a machine file. Internal to the machine-file loader;
// machine_model.h declares the ones the other layers use.
#pragma once

#include <cstddef>
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

}  // namespace machine_file
