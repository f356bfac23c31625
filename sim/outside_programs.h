// The programs the tool starts that do something on the simulated machine: cmd.exe, msiexec.exe
// and regedit.exe. Any other program runs on until the run ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/run_state.h"

namespace sim {

// Starts what the program `name` (a file's base name) does with `arguments`, for the process
// `pid` already added to the run; false when the name is none of them.
bool RunOutsideProgram(RunState& sim, const std::string& name, std::u16string_view arguments,
                       std::uint32_t pid);

// The rules below are exposed to be exercised on their own (fuzzing).

// `cmd /C <text>`: the interpreter's rule for the outer quotes, applied to the text as given.
std::u16string StripOuterQuotes(RunState& sim, std::u16string text);

struct RegSetting {
  std::string key;
  std::string name;
  std::uint32_t value;
};

// The REG_DWORD settings of a .reg file under HKEY_LOCAL_MACHINE; everything else is passed over.
std::vector<RegSetting> ParseRegFile(const std::string& content);

}  // namespace sim
