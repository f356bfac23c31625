// Runs of the simulated process, and the machine files they start from.
#include <mutex>

#include "capture/machine_capture.h"
#include "platform/framework.h"
#include "platform/host/host.h"
#include "platform/process_global.h"
#include "platform/sim/machine_model.h"
#include "platform/sim/run_state.h"
#include "platform/sim/simulator.h"

namespace platform {

namespace {
std::vector<ProcessGlobalBase*>& ProcessGlobals() {
  static std::vector<ProcessGlobalBase*> globals;
  return globals;
}
}  // namespace

void RegisterProcessGlobal(ProcessGlobalBase& global) {
  ProcessGlobals().push_back(&global);
}

namespace sim {

namespace {

const char kDemoMachine[] =
#include "platform/sim/demo_machine.inc"
    ;

RunResult RunProcess(const Machine& machine, std::vector<std::u16string> args,
                     std::function<int()> body) {
  // One simulated process at a time: they share the tool's globals.
  static std::mutex serial;
  std::lock_guard<std::mutex> one(serial);
  auto simulation = std::make_unique<detail::RunState>(machine.model(), std::move(args));
  for (ProcessGlobalBase* global : ProcessGlobals())
    global->Construct();
  simulation->Execute(std::move(body));
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

}  // namespace

Machine Machine::FromJson(const nlohmann::json& document, const std::string& source) {
  Machine machine;
  machine.model_ =
      std::make_shared<const detail::MachineModel>(detail::ParseMachine(document, source));
  return machine;
}

Machine Machine::FromText(std::string_view text, const std::string& source) {
  Machine machine;
  machine.model_ =
      std::make_shared<const detail::MachineModel>(detail::ParseMachineText(text, source));
  return machine;
}

Machine Machine::FromFile(const std::string& path) {
  const std::string source = path == "-" ? "standard input" : path;
  std::string text;
  if (const auto error = host::ReadWholeFile(path, text))
    throw MachineError(detail::Printable(source, 80) + ": " + error->reason);
  return FromText(text, source);
}

Machine Machine::Demo() {
  static const Machine demo = FromText(kDemoMachine, "demo");
  return demo;
}

nlohmann::json Machine::json() const {
  return detail::ToJson(*model_);
}

std::vector<Event> RunResult::Named(const std::string& name) const {
  std::vector<Event> out;
  for (const Event& e : events) {
    if (e.event == name)
      out.push_back(e);
  }
  return out;
}

RunResult Run(const Machine& machine, const std::vector<std::u16string>& args) {
  return RunProcess(machine, args, [] { return framework::RunApplication(); });
}

RunResult RunCapture(const Machine& machine, const std::vector<std::u16string>& args) {
  return RunProcess(machine, args, [&args] { return capture::CaptureMain(args); });
}

RunResult RunFunction(const Machine& machine, const std::function<void()>& body,
                      const std::vector<std::u16string>& args) {
  return RunProcess(machine, args, [&body] {
    body();
    return 0;
  });
}

const char* EndHowName(EndHow how) {
  switch (how) {
    case EndHow::kExit:
      return "exit";
    case EndHow::kPowerOff:
      return "power-off";
    case EndHow::kReboot:
      return "reboot";
    case EndHow::kStuck:
      return "stuck";
  }
  return "exit";
}

}  // namespace sim
}  // namespace platform
