#include "fenwrack-sim/verdict.h"

#include <algorithm>
#include <map>
#include <set>

#include "app/command_line.h"
#include "app/fenwrack_app.h"
#include "fenwrack-sim/timeline_text.h"
#include "firmware/firmware_control.h"
#include "firmware/process_names.h"
#include "platform/text/ascii.h"
#include "platform/text/text.h"
#include "removal/product_code_table.h"
#include "sim/events.h"

namespace fenwrack_sim {

namespace {

namespace events = sim::events;
using json = nlohmann::json;
using Lines = std::vector<std::string>;

using Operation = FenwrackCommandLine::Operation;

// The one operation the tool picks, by its own command-line walk and precedence.
Operation OperationOf(const std::vector<std::u16string>& args) {
  Operation op = Operation::kUsage;
  sim::RunFunction(
      machine_file::Machine::FromJson(json::object(), "verdict"),
      [&op] {
        FenwrackCommandLine cmd;
        theApp->ParseCommandLine(cmd);
        op = cmd.Chosen();
      },
      args);
  return op;
}

bool IsServer(const std::string& name) {
  return IsOneOf(platform::text::Utf8ToUtf16(name).c_str(), HungFirmwareNames);
}

// Whether a path is there and whether only the trusted may change it, as the tool's own calls
// find them on the machine.
struct PathState {
  bool exists = false;
  bool isProtected = false;
};

PathState StateOf(const json& machine, const std::string& path) {
  PathState state;
  sim::RunFunction(machine_file::Machine::FromJson(machine, "machine"), [&state, &path] {
    const platform::WString wide = platform::text::Utf8ToUtf16(path);
    state.exists = static_cast<bool>(platform::FindFirst(wide));
    state.isProtected = platform::IsProtected(wide);
  });
  return state;
}

constexpr char kChangedByOthers[] = " may be changed by others than administrators";

std::string Named(const json& process) {
  return process["name"].get<std::string>() + " (pid " +
         std::to_string(process["pid"].get<std::uint32_t>()) + ")";
}

// What one run did and left, read once.
struct Facts {
  const sim::RunResult& run;
  json before;
  bool administrator;
  std::map<std::uint32_t, int> closeRequests;  // by the window owner's pid
  std::map<std::uint32_t, int> refusedRequests;

  Facts(const machine_file::Machine& machine, const sim::RunResult& r)
      : run(r),
        before(machine.json()),
        administrator(before["system"].value("administrator", true)) {
    for (const sim::Event& e : run.events) {
      if (e.event == events::kPostMessage)
        ++(e.fields.value("ok", false) ? closeRequests
                                       : refusedRequests)[e.fields.value("pid", 0u)];
    }
  }

  // The firmware's programs of the machine before that still run after.
  std::vector<json> FirmwareLeft() const {
    std::set<std::uint32_t> running;
    for (const json& p : run.machineAfter["processes"])
      running.insert(p["pid"].get<std::uint32_t>());
    std::vector<json> left;
    for (const json& p : before["processes"]) {
      if (IsFirmware(p["name"]) && running.count(p["pid"].get<std::uint32_t>()))
        left.push_back(p);
    }
    return left;
  }

  // Out of the tool's reach: neither its close requests nor its termination get through.
  bool Isolated(const json& process) const {
    return !administrator && process.value("elevated", false);
  }

  // Said after the count of what is left when the rights alone left them.
  std::string LeftBy(const std::vector<json>& left) const {
    const bool rights = !left.empty() && std::all_of(left.begin(), left.end(),
                                                     [this](const json& p) { return Isolated(p); });
    return rights ? ": the account is not an administrator" : "";
  }

  std::string WhyLeft(const json& process) const {
    if (Isolated(process))
      return Named(process) +
             " still runs: it runs elevated and the account is not an administrator, so it can "
             "neither be asked to close nor be terminated";
    const auto count = [&process](const std::map<std::uint32_t, int>& requests) {
      const auto found = requests.find(process["pid"].get<std::uint32_t>());
      return found == requests.end() ? 0 : found->second;
    };
    const int asked = count(closeRequests), refused = count(refusedRequests);
    if (asked == 0 && refused > 0)
      return Named(process) + " still runs: its window took none of " + std::to_string(refused) +
             " close request" + (refused == 1 ? "" : "s");
    if (asked == 0)
      return Named(process) +
             " still runs: it has no firmware window, so nothing asked it to close";
    return Named(process) + " still runs: it ignored " + std::to_string(asked) + " close request" +
           (asked == 1 ? "" : "s");
  }

  std::vector<sim::Event> Events(const char* name) const { return run.Named(name); }
};

// The verdict's common ending: a run that did not end by itself says so first.
bool EndedBadly(const sim::RunResult& run, Verdict& v) {
  if (run.how == sim::EndHow::kStuck) {
    v.deciding = "the run never ended: " + fenwrack_sim::FormatEnd(run);
    return true;
  }
  if (run.how == sim::EndHow::kExit && run.exitCode != 0) {
    v.deciding = "the tool stopped short: it ran out of memory (exit code " +
                 std::to_string(run.exitCode) + ")";
    return true;
  }
  return false;
}

void JudgeStop(const Facts& f, Verdict& v) {
  const std::vector<json> left = f.FirmwareLeft();
  for (const json& p : left)
    v.details.push_back(f.WhyLeft(p));
  v.achieved = left.empty();
  v.deciding = v.achieved ? "the firmware is stopped"
                          : std::to_string(left.size()) + " firmware program" +
                                (left.size() == 1 ? " still runs" : "s still run") + f.LeftBy(left);
}

void JudgeRestart(const Facts& f, Verdict& v) {
  for (const sim::Event& e : f.Events(events::kTerminateProcess)) {
    if (!e.fields.value("ok", false))
      continue;
    v.details.push_back("terminated " + e.fields["name"].get<std::string>() + " (pid " +
                        std::to_string(e.fields["pid"].get<std::uint32_t>()) + ")");
    if (f.Events(events::kFileAppend).empty())
      v.details.push_back(
          "warning: the kill is not noted in the kill log: its folder is missing "
          "or the log cannot be written");
  }
  const std::vector<json> left = f.FirmwareLeft();
  for (const json& p : left) {
    v.details.push_back((IsServer(p["name"]) ? "warning: the server " : "") + f.WhyLeft(p) +
                        (IsServer(p["name"]) ? "; a restart terminates one server only" : ""));
  }
  std::string script;
  for (const sim::Event& e : f.Events(events::kScript)) {
    if (!e.fields.value("builtin", false))
      script = e.fields.value("runs", false) ? e.fields["path"].get<std::string>() : "";
  }
  std::size_t started = 0;
  for (const sim::Event& e : f.Events(events::kProcessStart)) {
    ++started;
    for (const json& p : left) {
      if (p["name"] == e.fields["name"])
        v.details.push_back("warning: a second " + p["name"].get<std::string>() +
                            " started while " + Named(p) + " still runs");
    }
  }
  const auto env = f.Events(events::kReadEnv);
  const json root = env.empty() ? json() : env.back().fields["value"];
  const bool ran = !f.Events(events::kCreateProcess).empty() &&
                   f.Events(events::kCreateProcess).back().fields.value("ok", false);
  if (!script.empty())
    v.details.push_back("the start-up script " + script + " ran and started " +
                        std::to_string(started) + " program" + (started == 1 ? "" : "s"));
  // The script belongs to the firmware's installation: the tool starts it unchecked.
  if (!script.empty() && f.administrator && !StateOf(f.before, script).isProtected)
    v.details.push_back("warning: the start-up script " + script + kChangedByOthers +
                        ", and an elevated /restart runs it elevated");
  const std::string interpreter = platform::text::Utf16ToUtf8Lossy(places::kInterpreter);
  const auto protections = f.Events(events::kProtection);
  const bool untrusted = !protections.empty() &&
                         !protections.back().fields.value("protected", true) &&
                         StateOf(f.before, interpreter).exists;
  if (root.is_null() || root == "")
    v.deciding = std::string("root ") + (root.is_null() ? "unset" : "empty") +
                 ": nothing was started, the firmware stays down";
  else if (root.get<std::string>().find('"') != std::string::npos)
    v.deciding = "the root holds a quote: nothing was started, the firmware stays down";
  else if (root.get<std::string>().find('%') != std::string::npos)
    v.deciding = "the root holds a percent sign: nothing was started, the firmware stays down";
  else if (untrusted)
    v.deciding = "the command interpreter " + interpreter + kChangedByOthers +
                 ": nothing was started, the firmware stays down";
  else if (!ran)
    v.deciding = "the command interpreter could not be started: the firmware stays down";
  else if (script.empty())
    v.deciding =
        "no start-up script under " + root.get<std::string>() + ": the firmware stays down";
  else if (started == 0)
    v.deciding = "the start-up script started nothing";
  else if (!left.empty())
    v.deciding = std::to_string(left.size()) + " firmware program" +
                 (left.size() == 1 ? " was" : "s were") + " never stopped" + f.LeftBy(left);
  else
    v.achieved = true, v.deciding = "the firmware was stopped and started again";
}

void JudgeDeinstall(const Facts& f, Verdict& v) {
  std::set<std::string> table;
  for (const auto& slot : ProductCodeTable) {
    if (slot[0] != '\0')
      table.insert(platform::text::FoldUtf8(slot));
  }
  std::map<std::string, json> after;
  for (const json& p : f.run.machineAfter["products"])
    after[platform::text::FoldUtf8(p["code"].get<std::string>())] = p;
  const bool installerRan = !f.Events(events::kMsiUninstall).empty();
  // Without an administrator's rights every uninstall is refused.
  const std::string refused =
      installerRan && !f.administrator ? ": the account is not an administrator" : "";
  std::size_t removed = 0, kept = 0;
  for (const sim::Event& e : f.Events(events::kProtection)) {
    if (!e.fields.value("protected", true)) {
      v.details.push_back(e.fields["path"].get<std::string>() + kChangedByOthers +
                          ": passed over for " + places::kMsiexecPaths[1]);
      break;
    }
  }
  for (const json& p : f.before["products"]) {
    const std::string code = p["code"], folded = platform::text::FoldUtf8(code);
    if (p["state"] != 5)
      continue;
    const auto now = after.find(folded);
    if (!table.count(folded)) {
      v.details.push_back("installed but not in the table: " + code +
                          (p.value("name", "").empty() ? "" : " (" + p.value("name", "") + ")"));
    } else if (now == after.end()) {
      ++removed, v.details.push_back("removed " + code);
    } else {
      ++kept;
      v.details.push_back("still installed though listed: " + code +
                          (installerRan ? ": its uninstall failed" + refused
                                        : ": the installer program could not be started"));
    }
  }
  for (const json& p : f.FirmwareLeft())
    v.details.push_back(f.WhyLeft(p));
  v.achieved = kept == 0;
  v.deciding = kept != 0 ? std::to_string(kept) + " listed product" +
                               (kept == 1 ? " is" : "s are") + " still installed" + refused
               : removed == 0 ? "no product of the table was installed: nothing was removed"
                              : std::to_string(removed) + " product" +
                                    (removed == 1 ? " was" : "s were") + " removed";
}

// Whether the tool would find WriteProtect at 1 on this machine.
void JudgeCheckUsb(const Facts& f, Verdict& v) {
  if (UsbWriteProtected(f.before)) {
    v.achieved = true, v.deciding = "write protection was on already: nothing was changed";
    return;
  }
  const auto imports = f.Events(events::kRegImport);
  const bool denied = std::any_of(imports.begin(), imports.end(),
                                  [](const sim::Event& e) { return !e.fields.value("ok", true); });
  const auto started = f.Events(events::kCreateProcess);
  // Why nothing reached the registry, when the settings file is not to blame.
  const std::string unread = started.empty() || !started.back().fields.value("ok", false)
                                 ? "the registry editor could not be started"
                             : f.Events(events::kRegImportFailed).empty()
                                 ? ""
                                 : "the registry editor could not read the settings file";
  if (imports.empty())
    v.details.push_back((unread.empty() ? "the settings file holds nothing to import" : unread) +
                        ": nothing was imported");
  if (denied)
    v.details.push_back(
        "the registry editor could not write under HKEY_LOCAL_MACHINE: the account is not an "
        "administrator");
  const bool after = UsbWriteProtected(f.run.machineAfter);
  v.details.push_back(after ? "WriteProtect is 1 for the next start"
                            : "WriteProtect is still not 1: every /checkUSB will import and "
                              "reboot again");
  const bool rebooted = f.run.how == sim::EndHow::kReboot;
  v.achieved = rebooted && after;
  v.deciding = !rebooted ? "the reboot was refused; WriteProtect is " +
                               std::string(after ? "1 once the system restarts" : "not 1")
               : after ? "a reboot was asked for, and after it WriteProtect is 1"
                       : "a reboot was asked for, but the settings file does not set "
                         "WriteProtect to 1";
  const std::string but = rebooted ? "a reboot was asked for, but " : "the reboot was refused and ";
  if (denied && !after)
    v.deciding = but + "WriteProtect is not 1: the account is not an administrator";
  else if (!unread.empty() && !after)
    v.deciding = but + unread + ": WriteProtect is not 1";
}

void JudgeShutdown(const Facts& f, Verdict& v) {
  v.achieved = f.run.how == sim::EndHow::kPowerOff;
  if (v.achieved) {
    v.deciding = "a power-off was asked for and accepted";
    return;
  }
  bool enabled = false;
  for (const sim::Event& e : f.Events(events::kPrivilege))
    enabled = e.fields.value("step", "") == "adjust" ? e.fields.value("enabled", false) : enabled;
  const bool held = f.before["system"].value("shutdown_privilege", true);
  v.deciding = enabled ? "the power-off was refused by the system: the analyzer stays on"
               : !held && !f.administrator
                   ? "the power-off was refused: the account is not an administrator and does "
                     "not hold the shutdown privilege, the analyzer stays on"
                   : "the power-off was refused: the shutdown privilege could not be "
                     "enabled, the analyzer stays on";
}

}  // namespace

bool UsbWriteProtected(const json& machine) {
  int answer = 0;
  sim::RunFunction(machine_file::Machine::FromJson(machine, "machine"), [&answer] {
    CFirmwareControl control(nullptr);
    answer = control.IsUsbWriteProtected();
  });
  return answer == 1;
}

bool IsFirmware(const std::string& name) {
  return IsOneOf(platform::text::Utf8ToUtf16(platform::text::AsciiLowered(name)).c_str(),
                 StopWorkerNames);
}

Verdict Judge(const machine_file::Machine& before, const std::vector<std::u16string>& args,
              const sim::RunResult& run) {
  static const std::map<Operation, std::pair<const char*, const char*>> kAbout = {
      {Operation::kUsage, {"usage box", "show the switches; no operation runs"}},
      {Operation::kTerminate, {"/terminate", "stop the firmware"}},
      {Operation::kShutdown, {"/shutdown", "power the analyzer off"}},
      {Operation::kRestart, {"/restart", "stop the firmware and start it again"}},
      {Operation::kCheckUsb, {"/checkUSB", "make USB storage write-protected"}},
      {Operation::kDeinstall, {"/deinstall", "remove the firmware's installed products"}}};
  const Operation op = OperationOf(args);
  Verdict v;
  std::tie(v.operation, v.goal) = kAbout.at(op);
  const Facts facts(before, run);
  if (op == Operation::kUsage) {
    v.achieved = run.how == sim::EndHow::kExit;
    v.deciding =
        v.achieved ? "the usage box was shown: no operation ran" : "the usage box was never closed";
  } else if (op == Operation::kTerminate) {
    JudgeStop(facts, v);
  } else if (op == Operation::kRestart) {
    JudgeRestart(facts, v);
  } else if (op == Operation::kDeinstall) {
    JudgeDeinstall(facts, v);
  } else if (op == Operation::kCheckUsb) {
    JudgeCheckUsb(facts, v);
  } else {
    JudgeShutdown(facts, v);
  }
  if (EndedBadly(run, v))
    v.achieved = false;
  return v;
}

json Verdict::Json() const {
  return {{"operation", operation},
          {"goal", goal},
          {"achieved", achieved},
          {"deciding", deciding},
          {"details", details}};
}

std::string Verdict::Text() const {
  std::string text = "Verdict: " + operation + " (" + goal +
                     "): " + (achieved ? "achieved" : "NOT achieved") + "; " + deciding + "\n";
  for (const std::string& line : details)
    text += "  " + line + "\n";
  return text;
}

}  // namespace fenwrack_sim
