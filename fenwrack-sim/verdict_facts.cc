#include "fenwrack-sim/verdict_facts.h"

#include <algorithm>
#include <set>

#include "fenwrack-sim/verdict.h"
#include "platform/text/text.h"
#include "sim/files.h"
#include "sim/processes.h"

namespace fenwrack_sim {

using machine_file::ProcessDesc;

std::string Named(const ProcessDesc& process) {
  return process.name + " (pid " + std::to_string(process.pid) + ")";
}

PathState StateOf(const machine_file::Machine& machine, const std::string& path) {
  const sim::Files files = sim::FilesOf(machine.model().files);
  const std::string key = platform::text::PathKey(path);
  return {.exists = sim::Exists(files, key), .isProtected = sim::IsPathProtected(files, key)};
}

Facts::Facts(const machine_file::Machine& m, const sim::RunResult& r)
    : run(r), machine(m), before(m.model()), administrator(before.system.administrator) {
  for (const sim::Event& e : run.events) {
    if (const auto* posted = e.As<sim::events::MessagePosted>())
      ++(posted->ok ? closeRequests : refusedRequests)[posted->pid.value_or(0)];
  }
}

std::vector<const ProcessDesc*> Facts::FirmwareLeft() const {
  std::set<std::uint32_t> running;
  for (const ProcessDesc& p : run.machineAfter.processes)
    running.insert(p.pid);
  std::vector<const ProcessDesc*> left;
  for (const ProcessDesc& p : before.processes) {
    if (IsFirmware(p.name) && running.count(p.pid))
      left.push_back(&p);
  }
  return left;
}

bool Facts::Isolated(const ProcessDesc& process) const {
  return sim::OutOfReach(before.system, process);
}

std::string Facts::LeftBy(const std::vector<const ProcessDesc*>& left) const {
  const bool rights =
      !left.empty() &&
      std::all_of(left.begin(), left.end(), [this](const ProcessDesc* p) { return Isolated(*p); });
  return rights ? ": the account is not an administrator" : "";
}

std::string Facts::WhyLeft(const ProcessDesc& process) const {
  if (Isolated(process))
    return Named(process) +
           " still runs: it runs elevated and the account is not an administrator, so it can "
           "neither be asked to close nor be terminated";
  const auto count = [&process](const std::map<std::uint32_t, int>& requests) {
    const auto found = requests.find(process.pid);
    return found == requests.end() ? 0 : found->second;
  };
  const int asked = count(closeRequests), refused = count(refusedRequests);
  if (asked == 0 && refused > 0)
    return Named(process) + " still runs: its window took none of " + std::to_string(refused) +
           " close request" + (refused == 1 ? "" : "s");
  if (asked == 0)
    return Named(process) + " still runs: it has no firmware window, so nothing asked it to close";
  return Named(process) + " still runs: it ignored " + std::to_string(asked) + " close request" +
         (asked == 1 ? "" : "s");
}

}  // namespace fenwrack_sim
