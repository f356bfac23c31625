// Describing small simulated analyzers and reading what a run did.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/simulator.h"

class CFirmwareControl;

namespace testing_support {

using platform::sim::EndHow;
using platform::sim::Event;
using platform::sim::Machine;
using platform::sim::RunResult;

// A process of the described machine, or one that a start-up script starts.
struct ProcessSpec {
  ProcessSpec(std::uint32_t pid, std::string name, std::vector<std::string> windows = {},
              std::optional<int> closesAfterMs = std::nullopt)
      : pid(pid),
        name(std::move(name)),
        windows(std::move(windows)),
        closesAfterMs(closesAfterMs) {}
  ProcessSpec& CannotOpen() { return canOpen = false, *this; }
  ProcessSpec& CannotTerminate() { return canTerminate = false, *this; }

  std::uint32_t pid = 0;  // 0: the simulator picks one
  std::string name;
  std::vector<std::string> windows;
  std::optional<int> closesAfterMs;  // nothing: ignores close requests
  bool canOpen = true;
  bool canTerminate = true;
};

class MachineBuilder {
 public:
  MachineBuilder& Env(const std::string& name, const std::string& value) {
    return Set("/environment/" + name, value);
  }
  MachineBuilder& File(const std::string& path, const std::string& content = "") {
    return Add("files", {{"path", path}, {"content", content}});
  }
  MachineBuilder& Directory(const std::string& path) {
    return Add("files", {{"path", path}, {"directory", true}});
  }
  // A batch file that starts these processes when the command interpreter runs it.
  MachineBuilder& Script(const std::string& path, const std::vector<ProcessSpec>& starts);
  MachineBuilder& Process(const ProcessSpec& process) { return Processes({process}); }
  MachineBuilder& Processes(const std::vector<ProcessSpec>& processes);
  MachineBuilder& Registry(const std::string& key, const std::string& name, const std::string& type,
                           const nlohmann::json& data) {
    return Add("registry", {{"key", key}, {"name", name}, {"type", type}, {"data", data}});
  }
  MachineBuilder& Product(const std::string& code, int state, bool removalWorks = true) {
    return Add("products", {{"code", code}, {"state", state}, {"removal_works", removalWorks}});
  }
  MachineBuilder& PowerOff(bool accepted) {
    return Set("/system/power_off", accepted ? "accept" : "refuse");
  }
  MachineBuilder& Reboot(bool accepted) {
    return Set("/system/reboot", accepted ? "accept" : "refuse");
  }
  MachineBuilder& UsageBoxClosedAfter(int ms) { return Set("/user/closes_usage_box_after_ms", ms); }
  MachineBuilder& StatusKey(const std::string& key, int afterMs) {
    return Set("/user/status_window_key", {{"key", key}, {"after_ms", afterMs}});
  }
  MachineBuilder& Fault(const std::string& name, const nlohmann::json& value) {
    return Set("/faults/" + name, value);
  }
  // An object of faults; null for none.
  MachineBuilder& Faults(const nlohmann::json& faults);
  Machine Build() const { return Machine::FromJson(document_, "test machine"); }

 private:
  MachineBuilder& Set(const std::string& pointer, const nlohmann::json& value) {
    document_[nlohmann::json::json_pointer(pointer)] = value;
    return *this;
  }
  MachineBuilder& Add(const char* list, const nlohmann::json& item) {
    document_[list].push_back(item);
    return *this;
  }
  nlohmann::json document_ = nlohmann::json::object();
};

// Standard pieces of a firmware installation.
inline constexpr const char* kInterpreter = "C:\\WINNT\\system32\\cmd.exe";
inline constexpr const char* kKillLog = "C:\\Kestrix\\Instr\\log\\FWKill.log";

// The whole tool, as started with these arguments.
RunResult RunTool(const MachineBuilder& machine, const std::vector<std::u16string>& args);
// One step of the controller, alone on the main thread.
RunResult RunControl(const MachineBuilder& machine,
                     const std::function<void(CFirmwareControl&)>& step);

std::size_t Count(const RunResult& run, const std::string& event);
std::string Str(const nlohmann::json& value);
// Field `key` of every `event`, as text.
std::vector<std::string> Fields(const RunResult& run, const std::string& event,
                                const std::string& key);
std::vector<Event> OnThread(const RunResult& run, const std::string& thread);
// Content of a file after the run, nothing when it does not exist.
std::optional<std::string> FileAfter(const RunResult& run, const std::string& path);

}  // namespace testing_support
