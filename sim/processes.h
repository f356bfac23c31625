// A process of the simulated machine as a run changes it.
#pragma once

#include "machine_file/machine_model.h"

namespace sim {

using machine_file::ProcessDesc;

// A standard account cannot reach an elevated process: its token gets no access to the process,
// and its messages do not reach the process's windows (UIPI).
inline bool OutOfReach(const machine_file::SystemDesc& account, const ProcessDesc& process) {
  return process.elevated && !account.administrator;
}

enum class ProcessEnd { kRunning, kExited, kTerminated, kShutdown };

struct Process {
  ProcessDesc desc;
  bool initial = false;
  ProcessEnd end = ProcessEnd::kRunning;
  bool exitScheduled = false;
  bool running() const { return end == ProcessEnd::kRunning; }
};

}  // namespace sim
