// Runs of the simulated process, and the machine files they start from.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "capture/machine_capture.h"
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
  const bool standardInput = path == "-";
  const std::string source = standardInput ? "standard input" : path;
  const auto fail = [&](int error) {
    throw MachineError(detail::Printable(source, 80) + ": " + FileErrorReason(error));
  };
  const int fd = standardInput ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    fail(errno);
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    fail(EISDIR);
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : 0;
      if (!standardInput)
        ::close(fd);
      if (error != 0)
        fail(error);
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return FromText(text, source);
}

Machine Machine::Demo() {
  static const Machine demo = FromText(kDemoMachine, "demo");
  return demo;
}

nlohmann::json Machine::json() const {
  return detail::ToJson(*model_);
}

std::string FileErrorReason(int error) {
  switch (error) {
    case ENOENT:
      return "no such file";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EISDIR:
      return "is a directory";
    case ENOTDIR:
      return "a part of the path is not a directory";
    case ENOSPC:
      return "no space left on the device";
    default: {
      std::string text = std::strerror(error);
      if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
      return text;
    }
  }
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
