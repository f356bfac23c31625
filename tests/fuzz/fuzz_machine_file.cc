// The machine-file loader on any bytes: a machine that reads back the same once written, or one
// short, printable line naming the file.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/sim/machine_model.h"
#include "platform/sim/simulator.h"

using platform::sim::Machine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const Machine machine = Machine::FromText(text, "fuzz.json");
    const std::string written = platform::sim::FormatMachine(machine.json());
    if (Machine::FromText(written, "written").json() != machine.json())
      std::abort();
  } catch (const platform::sim::MachineError& e) {
    const std::string line = e.what();
    std::size_t chars = 0;
    for (const char c : line) {
      const auto b = static_cast<unsigned char>(c);
      chars += (b & 0xC0) != 0x80;
      if (b < 0x20 || b == 0x7F)
        std::abort();
    }
    if (chars > 184 || line.rfind("fuzz.json:", 0) != 0 ||
        platform::sim::detail::Printable(line, 184) != line)
      std::abort();
  }
  return 0;
}
