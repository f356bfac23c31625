// One switch over many instruments: each machine file of a folder run and judged.
#pragma once

#include <string>
#include <vector>

#include "fenwrack-sim/verdict.h"

namespace fenwrack_sim {

struct FleetEntry {
  std::string file;   // the machine file's name in the folder
  std::string error;  // the machine file cannot be read or is not one; no verdict then
  Verdict verdict;
};

// The *.json files of `folder` in name order; `args` is the tool's command line, program first.
// Throws std::runtime_error when the folder cannot be read.
std::vector<FleetEntry> JudgeFleet(const std::string& folder,
                                   const std::vector<std::u16string>& args);

// One line per instrument: file, verdict, the fact that decides it.
std::string FleetText(const std::vector<FleetEntry>& fleet);
// The same as JSON Lines, with the verdict's details.
std::string FleetJsonLines(const std::vector<FleetEntry>& fleet);

}  // namespace fenwrack_sim
