// The command interpreter's rule for the quotes of `cmd /C TEXT`, on any text (UTF-16 units): the
// script named is a part of the text, as given or with its outer quotes taken off.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "machine_file/machine.h"
#include "sim/entry.h"
#include "sim/outside_programs.h"
#include "sim/run_result.h"
#include "sim/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The demo's files, among them scripts and folders with blanks in their names.
  static sim::RunState sim(machine_file::Machine::Demo().model(), {});
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  const std::u16string script = sim::StripOuterQuotes(sim, text);
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
