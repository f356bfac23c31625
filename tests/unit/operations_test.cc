// Whole runs on the virtual clock: what each operation does outward, in order, and how it ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tool_dialog.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using Texts = std::vector<std::string>;

// "T what" per outward step of the main and worker threads; a step repeated at once is "xN".
Texts Outline(const RunResult& run) {
  Texts steps;
  std::string last;
  int repeats = 0;
  for (const Event& e : run.events) {
    const auto& f = e.fields;
    std::string step;
    if (e.thread == "status" || e.event == "end")
      continue;
    if (e.event == "post_message")
      step = "close " + Str(f["title"]);
    else if (e.event == "terminate_process")
      step = "kill " + Str(f["name"]) + " on " + e.thread;
    else if (e.event == "create_process")
      step = "start " + Str(f["application"]) + Str(f["command_line"]) + " " + Str(f["flags"]);
    else if (e.event == "wait_process" || e.event == "msi_query" || e.event == "file_append")
      step = e.event;
    else if (e.event == "privilege")
      step = Str(f["step"]) + " " + Str(f["ok"]);
    else if (e.event == "exit_windows")
      step = "exit_windows " + Str(f["flags"]) + " " + Str(f["reason"]);
    else
      continue;
    if (step == last) {
      steps.back() = std::to_string(run.Named(e.event).front().t) + " " + step + " x" +
                     std::to_string(++repeats + 1);
      continue;
    }
    last = step, repeats = 0;
    steps.push_back(std::to_string(e.t) + " " + step);
  }
  return steps;
}

struct RunCase {
  const char* what;
  std::u16string op;
  MachineBuilder machine;
  Texts outline;
  EndHow how;
  std::uint64_t endMs;
  int exitCode = 0;
};

class Runs : public testing::TestWithParam<RunCase> {};

TEST_P(Runs, DoTheirStepsInOrderAndEndAsExpected) {
  SCOPED_TRACE(GetParam().what);
  const RunResult run = RunTool(GetParam().machine, {GetParam().op});
  EXPECT_EQ(Outline(run), GetParam().outline);
  EXPECT_EQ(run.how, GetParam().how);
  EXPECT_EQ(run.virtualMs, GetParam().endMs);
  EXPECT_EQ(run.exitCode, GetParam().exitCode);
  EXPECT_EQ(Count(run, "lock_delete"), 1u) << "the controller goes, whatever happened";
}

constexpr char kPolicyKey[] = "System\\CurrentControlSet\\Control\\StorageDevicePolicies";
const std::string kImport =
    "0 start C:\\WINDOWS\\regedit.exe /s \"C:\\Program "
    "Files\\Kestrix\\USBProtect\\SetUSBProtection.reg\" 134217760";
const Texts kPrivilege = {"open_token true", "lookup true", "adjust true"};
Texts At(std::uint64_t t, Texts steps) {
  for (std::string& s : steps)
    s = std::to_string(t) + " " + s;
  return steps;
}
Texts operator+(Texts a, const Texts& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
MachineBuilder Usb(const std::string& type, const nlohmann::json& data) {
  MachineBuilder m;
  m.Reboot(false).File("C:\\WINDOWS\\regedit.exe");
  return type.empty() ? m : m.Registry(kPolicyKey, "WriteProtect", type, data);
}
const Texts kImportThenReboot =
    Texts{kImport, "0 wait_process"} + At(300, kPrivilege) + Texts{"300 exit_windows 6 0"};
MachineBuilder Restartable() {
  return MachineBuilder()
      .Env("Kestrix_SYSTEM_ROOT", "C:\\K")
      .File(kInterpreter)
      .File("C:\\K\\bin\\StartUpFW.bat");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Runs, testing::ValuesIn(std::vector<RunCase>{
    {"shutdown closes, pauses 5 s, asks", u"/shutdown", MachineBuilder().PowerOff(false).Process({5, "Talvora.exe", {"Talvora"}, 100}),
     Texts{"0 close Talvora"} + At(5000, kPrivilege) + Texts{"5000 exit_windows 8 0"}, EndHow::kExit, 5000},
    {"shutdown pauses without firmware too", u"/shutdown", MachineBuilder().PowerOff(false),
     At(5000, kPrivilege) + Texts{"5000 exit_windows 8 0"}, EndHow::kExit, 5000},
    {"shutdown accepted never returns", u"/shutdown", MachineBuilder().PowerOff(true),
     At(5000, kPrivilege) + Texts{"5000 exit_windows 8 0"}, EndHow::kPowerOff, 5000},
    {"DWORD 1", u"/checkUSB", Usb("REG_DWORD", 1), {}, EndHow::kExit, 0},
    {"DWORD 0", u"/checkUSB", Usb("REG_DWORD", 0), kImportThenReboot, EndHow::kExit, 300},
    {"DWORD 2", u"/checkUSB", Usb("REG_DWORD", 2), kImportThenReboot, EndHow::kExit, 300},
    {"QWORD 1: eight bytes", u"/checkUSB", Usb("REG_QWORD", 1), kImportThenReboot, EndHow::kExit, 300},
    {"string 1 reads as 49", u"/checkUSB", Usb("REG_SZ", "1"), kImportThenReboot, EndHow::kExit, 300},
    {"one byte 1", u"/checkUSB", Usb("REG_BINARY", "01"), {}, EndHow::kExit, 0},
    {"one byte 2", u"/checkUSB", Usb("REG_BINARY", "02"), kImportThenReboot, EndHow::kExit, 300},
    {"key missing", u"/checkUSB", Usb("", nullptr), kImportThenReboot, EndHow::kExit, 300},
    {"no Windows folder: no editor, still the reboot", u"/checkUSB", Usb("", nullptr).Fault("windows_folder_unavailable", true),
     At(0, kPrivilege) + Texts{"0 exit_windows 6 0"}, EndHow::kExit, 0},
    {"reboot accepted, without a pause", u"/checkUSB", Usb("", nullptr).Reboot(true), kImportThenReboot, EndHow::kReboot, 300},
    // Worker done at 5 s, seen at the 6th reading; nothing to kill; a pause of 5 s.
    {"restart with the firmware down", u"/restart", Restartable(),
     {"11000 start C:\\WINNT\\system32\\cmd.exe/C \"\"C:\\K\\bin\\StartUpFW.bat\"\" 134217760"}, EndHow::kExit, 11000},
    {"terminate waits for all 30 passes", u"/terminate", MachineBuilder().Process({9, "Halvmark.exe"}), {}, EndHow::kExit, 35000},
    // Slow snapshots: the bounded wait gives up, the removal runs beside the worker, and the run
    // ends only once the worker is done with the controller.
    {"deinstall outlives a slow worker", u"/deinstall", MachineBuilder().Process({9, "Halvmark.exe"}).Fault("snapshot_delay_ms", 3000),
     {"60000 msi_query x192", "124000 kill Halvmark.exe on worker"}, EndHow::kExit, 125000},
    // No worker thread: the flag goes back to 0, so every wait ends at once.
    {"terminate without a worker", u"/terminate", MachineBuilder().Process({9, "Halvmark.exe"}).Fault("thread_start_fails", {"worker"}), {}, EndHow::kExit, 0},
    {"restart without a worker", u"/restart", Restartable().Process({9, "Halvmark.exe"}).Fault("thread_start_fails", {"worker"}),
     {"0 kill Halvmark.exe on main", "5000 start C:\\WINNT\\system32\\cmd.exe/C \"\"C:\\K\\bin\\StartUpFW.bat\"\" 134217760"}, EndHow::kExit, 5000},
    {"deinstall without a worker", u"/deinstall", MachineBuilder().Fault("thread_start_fails", {"worker"}), {"0 msi_query x192"}, EndHow::kExit, 0},
    // Out of memory in the string class: no success, and still the controller goes.
    {"exception", u"/deinstall", MachineBuilder().Fault("widen_fails_from_call", 1), {}, EndHow::kExit, 6000,
     framework::kExitUnexpectedError}}));
// clang-format on

TEST(Runs, RestartOnTheDemoAnalyzerKillsTheHungServerLogsItAndStartsTheFirmwareAgain) {
  const RunResult run = platform::sim::Run(Machine::Demo(), {u"Fenwrack.exe", u"/restart"});
  Texts mainSteps;
  for (const std::string& s : Outline(run)) {
    if (s.find("close ") == std::string::npos)
      mainSteps.push_back(s.substr(s.find(' ') + 1));
  }
  EXPECT_EQ(mainSteps, (Texts{"kill Halvmark.exe on main", "file_append",
                              "start C:\\WINNT\\system32\\cmd.exe/C "
                              "\"\"C:\\Kestrix\\Instr\\bin\\StartUpFW.bat\"\" 134217760"}));
  const auto starts = run.Named("create_process");
  EXPECT_EQ(starts.at(0).t, OnThread(run, "worker").back().t + 6000);
  EXPECT_GT(Count(run, "process_start"), 0u) << "the script brought the firmware back";
  EXPECT_EQ(run.virtualMs, starts[0].t);
}

MachineBuilder Analyzer() {
  return MachineBuilder()
      .Process({5, "Talvora.exe", {"Talvora"}, 300})
      .UsageBoxClosedAfter(700)
      .PowerOff(false);
}

class StatusWindow : public testing::TestWithParam<std::vector<std::u16string>> {};

// On every run, the usage box's included: at the corner, top-most, its template's size.
TEST_P(StatusWindow, IsShownTopMostAtTheCornerAndReadsRemovingFirmware) {
  const RunResult run = RunTool(Analyzer(), GetParam());
  const auto shown = run.Named("status_window");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].thread, "status");
  EXPECT_EQ(shown[0].fields, (nlohmann::json{{"x", 0},
                                             {"y", 0},
                                             {"width", 360},
                                             {"height", 68},
                                             {"topmost", true},
                                             {"hwnd", shown[0].fields["hwnd"]}}));
  const auto texts = run.Named("status_text");
  ASSERT_EQ(texts.size(), 1u) << "written on every tick, recorded when it changes";
  EXPECT_EQ(Str(texts[0].fields["text"]), "Removing firmware...");
  EXPECT_EQ(texts[0].t, shown[0].t + 100) << "\"Statisch\" until the first tick";
}

INSTANTIATE_TEST_SUITE_P(Runs, StatusWindow,
                         testing::Values(std::vector<std::u16string>{},
                                         std::vector<std::u16string>{u"/terminate"},
                                         std::vector<std::u16string>{u"/shutdown"},
                                         std::vector<std::u16string>{u"/restart"}));

// What a run did, apart from the status window itself.
Texts Effects(const RunResult& run) {
  Texts effects;
  for (const Event& e : run.events) {
    if (e.thread != "status" && Str(e.fields["routine"]) != "StatusThreadProc")
      effects.push_back(std::to_string(e.t) + " " + e.thread + " " + e.event + " " +
                        e.fields.dump());
  }
  return effects;
}

TEST(StatusWindow, EnterEscapeOrAFailedStartLeaveTheOperationAlone) {
  const Texts plain = Effects(RunTool(Analyzer(), {u"/terminate"}));
  for (const auto& [what, machine] : std::vector<std::pair<const char*, MachineBuilder>>{
           {"escape", Analyzer().StatusKey("Escape", 1500)},
           {"enter", Analyzer().StatusKey("Enter", 50)},
           {"thread fails", Analyzer().Fault("thread_start_fails", {"status"})},
           {"window fails", Analyzer().Fault("status_window_fails", true)}}) {
    const RunResult run = RunTool(machine, {u"/terminate"});
    EXPECT_EQ(Effects(run), plain) << what;
    EXPECT_EQ(run.exitCode, 0) << what;
    if (std::string(what) == "escape") {
      EXPECT_LE(OnThread(run, "status").back().t, 1500u) << "an escape ends the window for good";
    }
  }
}

TEST(StatusWindow, AnEmptyTextIsNeverWritten) {
  const RunResult run = platform::sim::RunFunction(Analyzer().Build(), [] {
    g_toolDialog->m_text.clear();
    platform::BeginThread(&StatusThreadProc, nullptr, {"StatusThreadProc", "status"});
    platform::Pause(1000);
  });
  EXPECT_EQ(Count(run, "status_window"), 1u);
  EXPECT_EQ(Count(run, "status_text"), 0u);
}

// Runs that end while the window ticks, over and over: the sanitizer builds watch the teardown.
TEST(StatusWindow, ManyRunsEndingMidTickTearDownCleanly) {
  const MachineBuilder machine = Analyzer().UsageBoxClosedAfter(250).Reboot(false);
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(RunTool(machine, {i % 2 ? u"/checkUSB" : u"/?"}).how, EndHow::kExit);
}

}  // namespace
