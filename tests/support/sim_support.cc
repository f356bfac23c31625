#include "sim_support.h"

#include "capture/machine_capture.h"

#include "firmware/firmware_control.h"

namespace testing_support {

namespace {

nlohmann::json ProcessJson(const ProcessSpec& p) {
  nlohmann::json j = {{"name", p.name}, {"windows", p.windows}, {"can_open", p.canOpen}};
  j["on_close"] = p.closesAfterMs ? nlohmann::json{{"exit_after_ms", *p.closesAfterMs}} : "ignore";
  if (p.pid != 0)
    j["pid"] = p.pid;
  return j;
}

}  // namespace

MachineBuilder& MachineBuilder::Script(const std::string& path,
                                       const std::vector<ProcessSpec>& starts) {
  nlohmann::json list = nlohmann::json::array();
  for (const ProcessSpec& p : starts)
    list.push_back(ProcessJson(p));
  return Add("files", {{"path", path}, {"starts", list}});
}

MachineBuilder& MachineBuilder::Processes(const std::vector<ProcessSpec>& processes) {
  for (const ProcessSpec& p : processes)
    Add("processes", ProcessJson(p));
  return *this;
}

RunResult RunTool(const MachineBuilder& machine, const std::vector<std::u16string>& args) {
  std::vector<std::u16string> argv{u"Fenwrack.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return sim::Run(machine.Build(), argv);
}

RunResult RunCapture(const Machine& machine, const std::vector<std::u16string>& args) {
  return sim::RunProcess(machine, args, [&] { return capture::CaptureMain(args); });
}

RunResult RunControl(const MachineBuilder& machine,
                     const std::function<void(CFirmwareControl&)>& step) {
  return sim::RunFunction(machine.Build(), [&] {
    CFirmwareControl control(nullptr);
    step(control);
  });
}

std::vector<std::string> Fields(const RunResult& run, const std::string& event,
                                const std::string& key) {
  std::vector<std::string> values;
  for (const Event& e : run.Named(event))
    values.push_back(Str(sim::FieldsJson(e).value(key, nlohmann::json())));
  return values;
}

std::uint64_t LastOn(const RunResult& run, const std::string& thread) {
  std::uint64_t t = 0;
  for (const Event& e : run.events)
    t = e.thread == thread ? e.t : t;
  return t;
}

std::optional<std::string> FileAfter(const RunResult& run, const std::string& path) {
  for (const machine_file::FileDesc& file : run.machineAfter.files) {
    if (file.path == path)
      return file.content;
  }
  return std::nullopt;
}

}  // namespace testing_support
