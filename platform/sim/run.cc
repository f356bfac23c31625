// Runs of the simulated process, and the machine files they start from.
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include "platform/framework.h"
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
  auto simulation = std::make_unique<detail::RunState>(
      detail::ParseMachine(machine.json(), "machine"), std::move(args));
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
  detail::ParseMachine(document, source);
  Machine machine;
  machine.document_ = document;
  return machine;
}

Machine Machine::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw MachineError(path + ": cannot read the file");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad())
    throw MachineError(path + ": cannot read the file");
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::parse_error& e) {
    // The library's message names line and column; keep those and the reason.
    static const std::regex place(R"(line (\d+), column (\d+): (.*))");
    std::cmatch match;
    const std::string what = e.what();
    if (std::regex_search(what.c_str(), match, place)) {
      throw MachineError(path + ":" + match[1].str() + ":" + match[2].str() +
                         ": not valid JSON: " + match[3].str());
    }
    throw MachineError(path + ": not valid JSON: " + what);
  }
  return FromJson(document, path);
}

Machine Machine::Demo() {
  static const Machine demo = FromJson(nlohmann::json::parse(kDemoMachine), "demo");
  return demo;
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
