// The programs the tool starts that do something on the simulated machine: cmd.exe, msiexec.exe
// and regedit.exe. Any other program runs on until the run ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sim/run_state.h"

namespace platform::sim::detail {

// Starts what the program `name` (a file's base name) does with `arguments`, for the process
// `pid` already added to the run; false when the name is none of them.
bool RunOutsideProgram(RunState& sim, const std::string& name, std::u16string_view arguments,
                       std::uint32_t pid);

}  // namespace platform::sim::detail
