// Describing small simulated analyzers and reading what a run did.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/simulator.h"

namespace testing_support {

using platform::sim::Event;
using platform::sim::Machine;
using platform::sim::RunResult;

struct ProcessDesc {
  ProcessDesc(std::uint32_t pid, std::string name, std::vector<std::string> windows = {},
              std::optional<int> closesAfterMs = std::nullopt)
      : pid(pid),
        name(std::move(name)),
        windows(std::move(windows)),
        closesAfterMs(closesAfterMs) {}

  std::uint32_t pid = 0;  // 0: the simulator picks one
  std::string name;
  std::vector<std::string> windows;
  std::optional<int> closesAfterMs;  // nothing: ignores close requests
  bool canOpen = true;
  bool canTerminate = true;
};

class MachineBuilder {
 public:
  MachineBuilder();
  MachineBuilder& Env(const std::string& name, const std::string& value);
  MachineBuilder& File(const std::string& path, const std::string& content = "");
  MachineBuilder& Directory(const std::string& path);
  // A batch file that starts these processes when the command interpreter runs it.
  MachineBuilder& Script(const std::string& path, const std::vector<ProcessDesc>& starts);
  MachineBuilder& Process(const ProcessDesc& process);
  MachineBuilder& Registry(const std::string& key, const std::string& name, const std::string& type,
                           const nlohmann::json& data);
  MachineBuilder& Product(const std::string& code, int state, bool removalWorks = true);
  MachineBuilder& PowerOff(bool accepted);
  MachineBuilder& Reboot(bool accepted);
  MachineBuilder& UsageBoxClosedAfter(int ms);
  MachineBuilder& StatusKey(const std::string& key, int afterMs);
  MachineBuilder& Fault(const std::string& name, const nlohmann::json& value);
  Machine Build() const;
  const nlohmann::json& json() const { return document_; }

 private:
  nlohmann::json document_;
};

// Standard pieces of a firmware installation.
inline constexpr const char* kInterpreter = "C:\\WINNT\\system32\\cmd.exe";
inline constexpr const char* kKillLog = "C:\\Kestrix\\Instr\\log\\FWKill.log";

std::vector<Event> Named(const RunResult& run, const std::string& event);
std::size_t Count(const RunResult& run, const std::string& event);
std::string Str(const nlohmann::json& value);
// Events of one thread.
std::vector<Event> OnThread(const RunResult& run, const std::string& thread);

}  // namespace testing_support
