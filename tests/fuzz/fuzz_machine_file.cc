// The machine-file loader on any bytes: a machine that reads back the same once written, or one
// short, printable line naming the file.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "machine_file/machine.h"
#include "machine_file/machine_model.h"
#include "sim/entry.h"
#include "sim/run_result.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using machine_file::Machine;
  try {
    const Machine machine = Machine::FromText({reinterpret_cast<const char*>(data), size}, "f");
    if (Machine::FromText(machine_file::FormatMachine(machine.json()), "w").json() !=
        machine.json())
      std::abort();
  } catch (const machine_file::MachineError& e) {
    const std::string line = e.what();
    // Printable leaves a line alone that is short, well formed and free of control characters.
    if (line.rfind("f:", 0) != 0 || machine_file::Printable(line, 184) != line)
      std::abort();
  }
  return 0;
}
