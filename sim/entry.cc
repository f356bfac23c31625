#include "sim/entry.h"

#include <mutex>

#include "platform/framework.h"
#include "platform/process_global.h"
#include "sim/run_state.h"

namespace {
std::vector<platform::ProcessGlobalBase*>& ProcessGlobals() {
  static std::vector<platform::ProcessGlobalBase*> globals;
  return globals;
}
}  // namespace

namespace platform {

void RegisterProcessGlobal(ProcessGlobalBase& global) {
  ProcessGlobals().push_back(&global);
}

}  // namespace platform

namespace sim {

using platform::ProcessGlobalBase;

RunResult RunProcess(const machine_file::Machine& machine, std::vector<std::u16string> args,
                     std::function<int()> main) {
  // One simulated process at a time: they share the tool's globals.
  static std::mutex serial;
  std::lock_guard<std::mutex> one(serial);
  auto simulation = std::make_unique<RunState>(machine.model(), std::move(args));
  for (ProcessGlobalBase* global : ProcessGlobals())
    global->Construct();
  simulation->Execute(std::move(main));
  // Every thread of the run is gone: nothing can touch the globals any more.
  for (auto it = ProcessGlobals().rbegin(); it != ProcessGlobals().rend(); ++it)
    (*it)->Destroy();
  simulation->Settle();
  RunResult result = simulation->Result();
  const std::exception_ptr failure = simulation->failure();
  simulation.reset();
  if (failure)
    std::rethrow_exception(failure);
  return result;
}

RunResult Run(const machine_file::Machine& machine, const std::vector<std::u16string>& args) {
  return RunProcess(machine, args, [] { return framework::RunApplication(); });
}

RunResult RunFunction(const machine_file::Machine& machine, const std::function<void()>& body,
                      const std::vector<std::u16string>& args) {
  return RunProcess(machine, args, [&body] {
    body();
    return 0;
  });
}

}  // namespace sim
