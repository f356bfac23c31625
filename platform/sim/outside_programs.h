// Rules of the simulated outside programs that can be exercised on their own (tests, fuzzing).
// Internal to the simulated platform layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::sim::detail {

class Simulation;

struct RegSetting {
  std::string key;
  std::string name;
  std::uint32_t value;
};

// The REG_DWORD settings of a .reg file under HKEY_LOCAL_MACHINE; everything else is passed over.
std::vector<RegSetting> ParseRegFile(const std::string& content);

// The script that `cmd /C <text>` runs, after the interpreter's rule for the outer quotes.
std::u16string InterpreterScript(Simulation& sim, std::u16string text);

}  // namespace platform::sim::detail
