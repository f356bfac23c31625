// Names and values in a machine file that the tool will never act on but that look meant for it.
#pragma once

#include <string>
#include <vector>

#include "machine_file/machine_model.h"

namespace fenwrack_sim {

// One line each, naming the place (a JSON pointer into the machine as the machine file's writer
// gives it) and what the tool looks for instead.
std::vector<std::string> Warnings(const machine_file::MachineModel& machine);

}  // namespace fenwrack_sim
