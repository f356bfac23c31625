// After the real run: the instrument as captured, against the machine the dry run predicted.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace fenwrack_sim {

// Every difference that matters to the tool's operations, a line each, in the verdict's terms:
// the firmware programs running, the kill log, WriteProtect as the tool reads it, the products'
// installed states. Pids, and the programs that are not the firmware's, are not compared: what
// a run starts gets other pids on the instrument. Both are machine files as Machine::json() gives.
// After a power-off or reboot what runs is what the system starts: `restarted` leaves the
// programs out.
std::vector<std::string> Differences(const nlohmann::json& expected, const nlohmann::json& observed,
                                     bool restarted = false);

}  // namespace fenwrack_sim
