#include "sim_support.h"

namespace testing_support {

namespace {

nlohmann::json ProcessJson(const ProcessDesc& p) {
  nlohmann::json j = {{"name", p.name}};
  if (p.pid != 0)
    j["pid"] = p.pid;
  if (!p.windows.empty())
    j["windows"] = p.windows;
  j["on_close"] = p.closesAfterMs ? nlohmann::json{{"exit_after_ms", *p.closesAfterMs}}
                                  : nlohmann::json("ignore");
  if (!p.canOpen)
    j["can_open"] = false;
  if (!p.canTerminate)
    j["can_terminate"] = false;
  return j;
}

}  // namespace

MachineBuilder::MachineBuilder() : document_(nlohmann::json::object()) {}

MachineBuilder& MachineBuilder::Env(const std::string& name, const std::string& value) {
  document_["environment"][name] = value;
  return *this;
}

MachineBuilder& MachineBuilder::File(const std::string& path, const std::string& content) {
  document_["files"].push_back({{"path", path}, {"content", content}});
  return *this;
}

MachineBuilder& MachineBuilder::Directory(const std::string& path) {
  document_["files"].push_back({{"path", path}, {"directory", true}});
  return *this;
}

MachineBuilder& MachineBuilder::Script(const std::string& path,
                                       const std::vector<ProcessDesc>& starts) {
  nlohmann::json list = nlohmann::json::array();
  for (const ProcessDesc& p : starts)
    list.push_back(ProcessJson(p));
  document_["files"].push_back({{"path", path}, {"starts", list}});
  return *this;
}

MachineBuilder& MachineBuilder::Process(const ProcessDesc& process) {
  document_["processes"].push_back(ProcessJson(process));
  return *this;
}

MachineBuilder& MachineBuilder::Registry(const std::string& key, const std::string& name,
                                         const std::string& type, const nlohmann::json& data) {
  document_["registry"].push_back({{"key", key}, {"name", name}, {"type", type}, {"data", data}});
  return *this;
}

MachineBuilder& MachineBuilder::Product(const std::string& code, int state, bool removalWorks) {
  document_["products"].push_back(
      {{"code", code}, {"state", state}, {"removal_works", removalWorks}});
  return *this;
}

MachineBuilder& MachineBuilder::PowerOff(bool accepted) {
  document_["system"]["power_off"] = accepted ? "accept" : "refuse";
  return *this;
}

MachineBuilder& MachineBuilder::Reboot(bool accepted) {
  document_["system"]["reboot"] = accepted ? "accept" : "refuse";
  return *this;
}

MachineBuilder& MachineBuilder::UsageBoxClosedAfter(int ms) {
  document_["user"]["closes_usage_box_after_ms"] = ms;
  return *this;
}

MachineBuilder& MachineBuilder::StatusKey(const std::string& key, int afterMs) {
  document_["user"]["status_window_key"] = {{"key", key}, {"after_ms", afterMs}};
  return *this;
}

MachineBuilder& MachineBuilder::Fault(const std::string& name, const nlohmann::json& value) {
  document_["faults"][name] = value;
  return *this;
}

Machine MachineBuilder::Build() const {
  return Machine::FromJson(document_, "test machine");
}

std::vector<Event> Named(const RunResult& run, const std::string& event) {
  return run.Named(event);
}

std::size_t Count(const RunResult& run, const std::string& event) {
  return Named(run, event).size();
}

std::string Str(const nlohmann::json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

std::vector<Event> OnThread(const RunResult& run, const std::string& thread) {
  std::vector<Event> events;
  for (const Event& e : run.events) {
    if (e.thread == thread)
      events.push_back(e);
  }
  return events;
}

}  // namespace testing_support
