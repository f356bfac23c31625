#include "fenwrack-sim/verdict.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "app/command_line.h"
#include "fenwrack-sim/timeline_text.h"
#include "fenwrack-sim/verdict_facts.h"
#include "instrument/instrument.h"
#include "platform/text/ascii.h"
#include "platform/text/text.h"
#include "removal/product_code_table.h"
#include "sim/events.h"
#include "sim/registry.h"

namespace fenwrack_sim {

namespace {

namespace ev = sim::events;
using json = nlohmann::json;
using machine_file::ProcessDesc;
using Left = std::vector<const ProcessDesc*>;

using Operation = FenwrackCommandLine::Operation;

// The one operation the tool picks, by its own switch rules and precedence and the framework's
// walk of its arguments.
Operation OperationOf(const std::vector<std::u16string>& args) {
  FenwrackCommandLine cmd;
  framework::ParseCommandLine(args, cmd);
  return cmd.Chosen();
}

namespace places = instrument::places;

// A process's name as the tool reads it from the system: up to its first NUL.
std::string_view AsRead(const std::string& name) {
  return name.c_str();
}

bool IsServer(const std::string& name) {
  return instrument::IsHungFirmwareName(AsRead(name));
}

constexpr char kChangedByOthers[] = " may be changed by others than administrators";

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
  const Left left = f.FirmwareLeft();
  for (const ProcessDesc* p : left)
    v.details.push_back(f.WhyLeft(*p));
  v.achieved = left.empty();
  v.deciding = v.achieved ? "the firmware is stopped"
                          : std::to_string(left.size()) + " firmware program" +
                                (left.size() == 1 ? " still runs" : "s still run") + f.LeftBy(left);
}

// What a restart did: the firmware it terminated or left, the start-up script and what it started.
struct Restart {
  Left left{};
  std::string script{};  // the start-up script that ran, or empty
  std::size_t started = 0;
  std::optional<std::string> root{};  // the firmware root as the tool read it
  bool ran = false;                   // the command interpreter started
};

Restart RestartDetails(const Facts& f, Verdict& v) {
  Restart r{.left = f.FirmwareLeft()};
  for (const ev::TerminateProcess& e : f.All<ev::TerminateProcess>()) {
    if (!e.ok)
      continue;
    v.details.push_back("terminated " + e.name.value_or("") + " (pid " +
                        std::to_string(e.pid.value_or(0)) + ")");
    if (f.All<ev::FileAppend>().empty())
      v.details.push_back(
          "warning: the kill is not noted in the kill log: its folder is missing "
          "or the log cannot be written");
  }
  for (const ProcessDesc* p : r.left) {
    v.details.push_back((IsServer(p->name) ? "warning: the server " : "") + f.WhyLeft(*p) +
                        (IsServer(p->name) ? "; a restart terminates one server only" : ""));
  }
  for (const ev::Script& e : f.All<ev::Script>()) {
    if (!e.builtin.value_or(false))
      r.script = e.runs ? e.path : "";
  }
  for (const ev::ProcessStart& e : f.All<ev::ProcessStart>()) {
    ++r.started;
    for (const ProcessDesc* p : r.left) {
      if (p->name == e.name)
        v.details.push_back("warning: a second " + p->name + " started while " + Named(*p) +
                            " still runs");
    }
  }
  const auto env = f.All<ev::ReadEnv>();
  r.root = env.empty() ? std::nullopt : env.back().value;
  const auto creates = f.All<ev::ProcessCreate>();
  r.ran = !creates.empty() && creates.back().ok;
  if (!r.script.empty())
    v.details.push_back("the start-up script " + r.script + " ran and started " +
                        std::to_string(r.started) + " program" + (r.started == 1 ? "" : "s"));
  // The script belongs to the firmware's installation: the tool starts it unchecked.
  if (!r.script.empty() && f.administrator && !StateOf(f.machine, r.script).isProtected)
    v.details.push_back("warning: the start-up script " + r.script + kChangedByOthers +
                        ", and an elevated /restart runs it elevated");
  return r;
}

void JudgeRestart(const Facts& f, Verdict& v) {
  const Restart r = RestartDetails(f, v);
  const std::string interpreter = platform::text::Utf16ToUtf8Lossy(places::kInterpreter);
  const auto protections = f.All<ev::Protection>();
  const bool untrusted = !protections.empty() && !protections.back().isProtected &&
                         StateOf(f.machine, interpreter).exists;
  if (!r.root || r.root->empty())
    v.deciding = std::string("root ") + (!r.root ? "unset" : "empty") +
                 ": nothing was started, the firmware stays down";
  else if (r.root->find('"') != std::string::npos)
    v.deciding = "the root holds a quote: nothing was started, the firmware stays down";
  else if (r.root->find('%') != std::string::npos)
    v.deciding = "the root holds a percent sign: nothing was started, the firmware stays down";
  else if (untrusted)
    v.deciding = "the command interpreter " + interpreter + kChangedByOthers +
                 ": nothing was started, the firmware stays down";
  else if (!r.ran)
    v.deciding = "the command interpreter could not be started: the firmware stays down";
  else if (r.script.empty())
    v.deciding = "no start-up script under " + *r.root + ": the firmware stays down";
  else if (r.started == 0)
    v.deciding = "the start-up script started nothing";
  else if (!r.left.empty())
    v.deciding = std::to_string(r.left.size()) + " firmware program" +
                 (r.left.size() == 1 ? " was" : "s were") + " never stopped" + f.LeftBy(r.left);
  else
    v.achieved = true, v.deciding = "the firmware was stopped and started again";
}

void JudgeDeinstall(const Facts& f, Verdict& v) {
  std::set<std::string> table;
  for (const auto& slot : ProductCodeTable) {
    if (slot[0] != '\0')
      table.insert(platform::text::FoldUtf8(slot));
  }
  std::set<std::string> after;
  for (const machine_file::ProductDesc& p : f.run.machineAfter.products)
    after.insert(platform::text::FoldUtf8(p.code));
  const bool installerRan = !f.All<ev::MsiUninstall>().empty();
  // Without an administrator's rights every uninstall is refused.
  const std::string refused =
      installerRan && !f.administrator ? ": the account is not an administrator" : "";
  std::size_t removed = 0, kept = 0;
  for (const ev::Protection& e : f.All<ev::Protection>()) {
    if (!e.isProtected) {
      v.details.push_back(e.path + kChangedByOthers + ": passed over for " +
                          places::kMsiexecPaths[1]);
      break;
    }
  }
  for (const machine_file::ProductDesc& p : f.before.products) {
    const std::string folded = platform::text::FoldUtf8(p.code);
    if (p.state != 5)
      continue;
    if (!table.count(folded)) {
      v.details.push_back("installed but not in the table: " + p.code +
                          (p.name.empty() ? "" : " (" + p.name + ")"));
    } else if (!after.count(folded)) {
      ++removed, v.details.push_back("removed " + p.code);
    } else {
      ++kept;
      v.details.push_back("still installed though listed: " + p.code +
                          (installerRan ? ": its uninstall failed" + refused
                                        : ": the installer program could not be started"));
    }
  }
  for (const ProcessDesc* p : f.FirmwareLeft())
    v.details.push_back(f.WhyLeft(*p));
  v.achieved = kept == 0;
  v.deciding = kept != 0 ? std::to_string(kept) + " listed product" +
                               (kept == 1 ? " is" : "s are") + " still installed" + refused
               : removed == 0 ? "no product of the table was installed: nothing was removed"
                              : std::to_string(removed) + " product" +
                                    (removed == 1 ? " was" : "s were") + " removed";
}

// Why nothing reached the registry, when the settings file is not to blame; empty when it is.
std::string Unread(const Facts& f) {
  const auto started = f.All<ev::ProcessCreate>();
  return started.empty() || !started.back().ok ? "the registry editor could not be started"
         : f.All<ev::RegImportFailed>().empty()
             ? ""
             : "the registry editor could not read the settings file";
}

// Whether the tool would find WriteProtect at 1 on this machine.
void JudgeCheckUsb(const Facts& f, Verdict& v) {
  if (UsbWriteProtected(f.before)) {
    v.achieved = true, v.deciding = "write protection was on already: nothing was changed";
    return;
  }
  const auto imports = f.All<ev::RegImport>();
  const bool denied = std::any_of(imports.begin(), imports.end(),
                                  [](const ev::RegImport& e) { return !e.ok.value_or(true); });
  const std::string unread = Unread(f);
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
  for (const ev::Privilege& e : f.All<ev::Privilege>())
    enabled = e.step == "adjust" ? e.enabled.value_or(false) : enabled;
  const bool held = f.before.system.shutdownPrivilege;
  v.deciding = enabled ? "the power-off was refused by the system: the analyzer stays on"
               : !held && !f.administrator
                   ? "the power-off was refused: the account is not an administrator and does "
                     "not hold the shutdown privilege, the analyzer stays on"
                   : "the power-off was refused: the shutdown privilege could not be "
                     "enabled, the analyzer stays on";
}

}  // namespace

// As CFirmwareControl::IsUsbWriteProtected reads it: the value found by the registry's own lookup,
// read into 4 zeroed bytes (a longer value does not fit and reads as nothing), equal to 1.
bool UsbWriteProtected(const machine_file::MachineModel& machine) {
  const machine_file::RegValueDesc* value =
      sim::FindRegValue(machine.registry, platform::text::Utf16ToUtf8Lossy(places::kPolicyKey),
                        platform::text::Utf16ToUtf8Lossy(places::kPolicyValue));
  if (value == nullptr)
    return false;
  const std::vector<std::uint8_t> bytes = machine_file::RegBytes(*value);
  std::uint32_t read = 0;
  if (bytes.size() > sizeof read)
    return false;
  std::memcpy(&read, bytes.data(), bytes.size());
  return read == 1;
}

bool IsFirmware(const std::string& name) {
  return instrument::IsStopWorkerName(AsRead(name));
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
