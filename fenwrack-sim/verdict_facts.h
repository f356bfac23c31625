// What one run did and left, read once for the verdict: the close requests each process got, the
// firmware's programs still running, and why each still runs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "machine_file/machine.h"
#include "sim/run_result.h"

namespace fenwrack_sim {

// "Name.exe (pid 1204)"
std::string Named(const machine_file::ProcessDesc& process);

// Whether a path is there and whether only the trusted may change it, as the tool's own calls
// find them on the machine.
struct PathState {
  bool exists = false;
  bool isProtected = false;
};
PathState StateOf(const machine_file::Machine& machine, const std::string& path);

struct Facts {
  const sim::RunResult& run;
  const machine_file::Machine& machine;
  const machine_file::MachineModel& before;
  bool administrator;
  std::map<std::uint32_t, int> closeRequests;  // by the window owner's pid
  std::map<std::uint32_t, int> refusedRequests;

  Facts(const machine_file::Machine& machine, const sim::RunResult& run);

  // The firmware's programs of the machine before that still run after.
  std::vector<const machine_file::ProcessDesc*> FirmwareLeft() const;
  // Out of the tool's reach: neither its close requests nor its termination get through.
  bool Isolated(const machine_file::ProcessDesc& process) const;
  // Said after the count of what is left when the rights alone left them.
  std::string LeftBy(const std::vector<const machine_file::ProcessDesc*>& left) const;
  std::string WhyLeft(const machine_file::ProcessDesc& process) const;

  // The fields of the run's events of kind E, in order.
  template <typename E>
  std::vector<E> All() const {
    return run.All<E>();
  }
};

}  // namespace fenwrack_sim
