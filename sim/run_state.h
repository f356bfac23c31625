// One simulated run: the tool's threads on the virtual clock and the machine they change, as the
// simulated platform sees them. Internal to the simulated platform layer.
#pragma once

#include <string>
#include <vector>

#include "sim/machine_state.h"
#include "sim/run_result.h"
#include "sim/scheduler.h"

namespace sim {

class RunState : public Scheduler, public MachineState {
 public:
  RunState(MachineModel machine, std::vector<std::u16string> args);
  ~RunState() override;

  std::vector<std::u16string> args;  // the tool's command line

  // What the run left, once Execute and Settle are done.
  RunResult Result();

 private:
  void Ended(EndHow how) override;
};

// The run in progress, or null outside a run.
RunState* Active();

}  // namespace sim
