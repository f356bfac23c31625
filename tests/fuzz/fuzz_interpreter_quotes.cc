// The command interpreter's rule for the quotes of `cmd /C TEXT`, on any text (UTF-16 units): the
// script named is a part of the text, as given or with its outer quotes taken off.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/sim/outside_programs.h"
#include "platform/sim/simulation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static platform::sim::detail::Simulation sim = [] {
    platform::sim::detail::MachineModel m;
    for (const char* path : {"C:\\Program Files\\a b.bat", "C:\\x.bat", "C:\\a b\\c d.cmd"})
      m.files.push_back({path, false, "", {}, true, true});
    return platform::sim::detail::Simulation(m, {});
  }();
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  const std::u16string script = platform::sim::detail::InterpreterScript(sim, text);
  std::u16string unquoted = text;
  if (!unquoted.empty() && unquoted[0] == u'"') {
    unquoted.erase(0, 1);
    if (const std::size_t last = unquoted.rfind(u'"'); last != std::u16string::npos)
      unquoted.erase(last, 1);
  }
  if (text.find(script) == std::u16string::npos && unquoted.find(script) == std::u16string::npos)
    std::abort();
  return 0;
}
