// What a run was for, whether it achieved it, and what it left on the machine that matters: in
// the words a service engineer uses.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "machine_file/machine.h"
#include "sim/entry.h"
#include "sim/run_result.h"

namespace fenwrack_sim {

struct Verdict {
  std::string operation;  // "/restart", or "usage box"
  std::string goal;       // what the operation is for
  bool achieved = false;
  std::string deciding;              // the one fact that decides it
  std::vector<std::string> details;  // what is left on the machine that matters, a line each

  nlohmann::json Json() const;  // the trace's "verdict" event's fields
  std::string Text() const;     // for the timeline
};

// WriteProtect as the tool itself reads it on the machine.
bool UsbWriteProtected(const machine_file::MachineModel& machine);
// Whether the stop worker watches a process of this name (whole name, A to Z folded).
bool IsFirmware(const std::string& name);

// `before` is the machine the run started from; `args` the tool's command line, program first.
Verdict Judge(const machine_file::Machine& before, const std::vector<std::u16string>& args,
              const sim::RunResult& run);

}  // namespace fenwrack_sim
