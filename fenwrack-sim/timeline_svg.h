// The run as a picture: one self-contained SVG with a lane per thread on a virtual-seconds axis.
#pragma once

#include <optional>
#include <string>

#include "fenwrack-sim/verdict.h"
#include "machine_file/machine.h"
#include "sim/entry.h"
#include "sim/run_result.h"

namespace fenwrack_sim {

// Pauses and waits are bars, the tool's outward actions labelled marks; marks that repeat with
// the same label (a snapshot per pass) are folded into one, so a long run stays readable at
// 1200 px. `title` heads the picture (the tool's command line, the machine), the verdict under it,
// so that the picture alone tells what happened.
std::string TimelineSvg(const sim::RunResult& run, const std::string& title,
                        const std::optional<Verdict>& verdict);

}  // namespace fenwrack_sim
