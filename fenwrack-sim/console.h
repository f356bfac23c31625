// What fenwrack-sim shows on standard output as text: a machine's names and paths with their
// control characters written as the error lines write them, so that a name can neither act on a
// terminal nor break a line in two. The JSON outputs and the dumped machine keep them as they are.
#pragma once

#include <string>
#include <string_view>

#include "fenwrack-sim/fleet.h"
#include "fenwrack-sim/verdict.h"
#include "sim/run_result.h"

namespace fenwrack_sim {

std::string ForConsole(std::string_view text);
// Every text of the run's events and changes, in place: for the timeline, made after the trace.
void ForConsole(sim::RunResult& run);
Verdict ForConsole(Verdict verdict);
FleetEntry ForConsole(FleetEntry entry);

}  // namespace fenwrack_sim
