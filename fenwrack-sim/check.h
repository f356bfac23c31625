// After the real run: the instrument as captured, against the machine the dry run predicted.
#pragma once

#include <string>
#include <vector>

#include "machine_file/machine_model.h"

namespace fenwrack_sim {

// Every difference that matters to the tool's operations, a line each, in the verdict's terms:
// the firmware programs running, the kill log, WriteProtect as the tool reads it, the products'
// installed states. Pids, and the programs that are not the firmware's, are not compared: what
// a run starts gets other pids on the instrument.
// After a power-off or reboot what runs is what the system starts: `restarted` leaves the
// programs out.
std::vector<std::string> Differences(const machine_file::MachineModel& expected,
                                     const machine_file::MachineModel& observed,
                                     bool restarted = false);

}  // namespace fenwrack_sim
