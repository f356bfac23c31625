// Describing small simulated analyzers and reading what a run did.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "machine_file/machine.h"
#include "rows.h"
#include "sim/entry.h"
#include "sim/run_result.h"

class CFirmwareControl;

namespace testing_support {

using machine_file::Machine;
using sim::EndHow;
using sim::Event;
using sim::RunResult;

// A process of the described machine, or one that a start-up script starts.
struct ProcessSpec {
  std::uint32_t pid = 0;  // 0: the simulator picks one
  std::string name;
  std::vector<std::string> windows = {};
  std::optional<int> closesAfterMs = std::nullopt;  // nothing: ignores close requests
  bool canOpen = true;
};

// The machine file of a small analyzer, built up step by step.
class MachineBuilder {
 public:
  using json = nlohmann::json;
  using string = std::string;
  using Self = MachineBuilder;
  Self& Env(const string& name, const string& value) { return Set("/environment/" + name, value); }
  Self& File(const string& path, const string& content = "") {
    return Add("files", {{"path", path}, {"content", content}});
  }
  Self& Directory(const string& path) {
    return Add("files", {{"path", path}, {"directory", true}});
  }
  // Others may change this listed file or folder; a folder not yet listed is added.
  Self& Unprotected(const string& path) {
    for (json& f : document_["files"]) {
      if (f["path"] == path)
        return f["protected"] = false, *this;
    }
    return Add("files", {{"path", path}, {"directory", true}, {"protected", false}});
  }
  // A batch file that starts these processes when the command interpreter runs it.
  Self& Script(const string& path, const std::vector<ProcessSpec>& starts);
  Self& Process(const ProcessSpec& process) { return Processes({process}); }
  Self& Processes(const std::vector<ProcessSpec>& processes);
  Self& Product(const string& code, int state, bool removalWorks = true) {
    return Add("products", {{"code", code}, {"state", state}, {"removal_works", removalWorks}});
  }
  Self& PowerOff(bool accept) { return Set("/system/power_off", accept ? "accept" : "refuse"); }
  Self& Reboot(bool accept) { return Set("/system/reboot", accept ? "accept" : "refuse"); }
  Self& UsageBoxClosedAfter(int ms) { return Set("/user/closes_usage_box_after_ms", ms); }
  Self& StatusKey(const string& key, int afterMs) {
    return Set("/user/status_window_key", {{"key", key}, {"after_ms", afterMs}});
  }
  Self& Fault(const string& name, const json& value) { return Set("/faults/" + name, value); }
  Machine Build() const { return Machine::FromJson(document_, "test machine"); }

 private:
  Self& Set(const string& at, const json& value) {
    return document_[json::json_pointer(at)] = value, *this;
  }
  Self& Add(const char* list, const json& item) { return document_[list].push_back(item), *this; }
  json document_ = json::object();
};

// Standard pieces of a firmware installation.
inline constexpr const char* kInterpreter = "C:\\WINNT\\system32\\cmd.exe";
inline constexpr const char* kKillLog = "C:\\Kestrix\\Instr\\log\\FWKill.log";

RunResult RunTool(const MachineBuilder& machine, const std::vector<std::u16string>& args);
// fenwrack-capture on `machine`; args[0] is the program.
RunResult RunCapture(const Machine& machine, const std::vector<std::u16string>& args);
// One step of the controller, alone on the main thread.
RunResult RunControl(const MachineBuilder& machine,
                     const std::function<void(CFirmwareControl&)>& step);

inline std::size_t Count(const RunResult& run, const std::string& event) {
  return run.Named(event).size();
}
inline std::string Str(const nlohmann::json& v) {
  return v.is_string() ? v.get<std::string>() : v.dump();
}
// Field `key` of every `event`, as text, as the trace writes it.
std::vector<std::string> Fields(const RunResult& run, const std::string& event,
                                const std::string& key);
std::uint64_t LastOn(const RunResult& run, const std::string& thread);
// Content of a file after the run, nothing when it does not exist.
std::optional<std::string> FileAfter(const RunResult& run, const std::string& path);

}  // namespace testing_support
