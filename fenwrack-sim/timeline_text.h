// A run as people and programs read it: the timeline with its summary, and the JSON Lines trace.
#pragma once

#include <string>

#include "sim/run_result.h"

namespace fenwrack_sim {

std::string FormatTimeline(const sim::RunResult& result);
std::string FormatJsonLines(const sim::RunResult& result);
// How the run ended, as the timeline says it: "exit code 0", "reboot", "stuck (why)", ...
std::string FormatEnd(const sim::RunResult& result);

}  // namespace fenwrack_sim
