// The simulated analyzer: a second implementation of the platform layer. A run executes the
// tool's own code on real threads, one at a time, on a virtual clock, against a machine described
// in a machine file, and records every event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform::sim {

// A machine file that cannot be read or does not fit the format. what() is one line naming the
// source, the place in it and what is wrong.
class MachineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace detail {
struct MachineModel;
}

// A machine in the machine-file format, checked once; runs start from it.
class Machine {
 public:
  // Throw MachineError; `source` names the file (or "demo") in messages.
  static Machine FromJson(const nlohmann::json& document, const std::string& source);
  // Machine-file text: also duplicate keys, and line and column in messages.
  static Machine FromText(std::string_view text, const std::string& source);
  // "-" reads standard input.
  static Machine FromFile(const std::string& path);
  static Machine Demo();

  // The machine in the machine-file format.
  nlohmann::json json() const;
  const detail::MachineModel& model() const { return *model_; }

 private:
  std::shared_ptr<const detail::MachineModel> model_;
};

struct Event {
  std::uint64_t t = 0;    // virtual milliseconds since the run's start
  std::string thread;     // "main", "status", "worker"
  std::string event;      // "sleep", "post_message", ...
  nlohmann::json fields;  // an object
};

enum class EndHow { kExit, kPowerOff, kReboot, kStuck };

struct RunResult {
  std::vector<Event> events;  // the last one is "end"
  EndHow how = EndHow::kExit;
  int exitCode = 0;  // for kExit
  std::uint64_t virtualMs = 0;
  nlohmann::json machineAfter;       // the machine as the run left it, machine-file format
  std::vector<std::string> changes;  // what changed on the machine, one readable line each
  std::string standardOutput;        // what the program wrote to its standard streams
  std::string standardError;

  // The events named `name`, in order.
  std::vector<Event> Named(const std::string& name) const;
};

// Runs the tool as a new process would: fresh process globals, the framework's entry on the
// main thread. args[0] is the program ("Fenwrack.exe"). Runs are serialised; a run that can
// never end stops at one hour of virtual time, or when nothing can run any more, as kStuck.
// An exception that leaves a simulated thread ends the run and is rethrown here.
RunResult Run(const Machine& machine, const std::vector<std::u16string>& args);

// Runs fenwrack-capture as a new process would; args[0] is the program. Its standard streams are
// in the result.
RunResult RunCapture(const Machine& machine, const std::vector<std::u16string>& args);

// Runs `body` as the main thread of a fresh simulated process (for exercising one operation);
// `args` is what CommandLineArguments() gives it.
RunResult RunFunction(const Machine& machine, const std::function<void()>& body,
                      const std::vector<std::u16string>& args = {u"Fenwrack.exe"});

// The readable timeline with its summary, and the JSON Lines trace.
std::string FormatTimeline(const RunResult& result);
std::string FormatJsonLines(const RunResult& result);
// How the run ended, as the timeline says it: "exit code 0", "reboot", "stuck (why)", ...
std::string FormatEnd(const RunResult& result);
// A machine in the machine-file format, laid out for people to read.
std::string FormatMachine(const nlohmann::json& machine);

const char* EndHowName(EndHow how);  // "exit", "power-off", "reboot", "stuck"

}  // namespace platform::sim
