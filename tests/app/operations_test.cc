// Whole runs on the virtual clock: what each operation does outward, in order, and how it ends.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/tool_dialog.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using testing_support::PrintTo;  // for the test names of the tables below
using Texts = std::vector<std::string>;

// "T event fields" per outward step of the main and worker threads; a step repeated at once
// is "xN".
Texts Outline(const RunResult& run) {
  // clang-format off
  static const std::map<std::string, Texts> kShown = {
      {"post_message", {"title"}}, {"terminate_process", {"name", "@"}},
      {"create_process", {"application", "command_line", "flags"}}, {"wait_process", {}},
      {"msi_query", {}}, {"file_append", {}}, {"privilege", {"step", "ok"}},
      {"exit_windows", {"flags", "reason"}}};
  // clang-format on
  Texts steps;
  std::string last, first;
  int repeats = 1;
  for (const Event& e : run.events) {
    if (e.thread == "status" || !kShown.count(e.event))
      continue;
    std::string step = e.event;
    for (const std::string& key : kShown.at(e.event))
      step += " " + (key == "@" ? "@" + e.thread : Str(e.fields.value(key, nlohmann::json())));
    if (step == last) {
      steps.back() = first + " x" + std::to_string(++repeats);
      continue;
    }
    last = step, repeats = 1, first = std::to_string(e.t) + " " + step;
    steps.push_back(first);
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
  const RunResult run = RunTool(GetParam().machine, {GetParam().op});
  EXPECT_EQ(Outline(run), GetParam().outline);
  EXPECT_EQ(run.how, GetParam().how);
  EXPECT_EQ(run.virtualMs, GetParam().endMs);
  EXPECT_EQ(run.exitCode, GetParam().exitCode);
  // The controller goes however the operation ended, unless the system went down.
  EXPECT_EQ(Count(run, "lock_delete"), run.how == EndHow::kExit ? 1u : 0u);
}

// clang-format off
constexpr char kPolicyKey[] = "System\\CurrentControlSet\\Control\\StorageDevicePolicies";
const std::string kImport = "0 create_process C:\\WINDOWS\\regedit.exe  /s \"C:\\Program Files\\Kestrix\\USBProtect\\SetUSBProtection.reg\" 134217760";
const Texts kImportThenReboot = {kImport, "0 wait_process", "300 privilege open_token true", "300 privilege lookup true",
                                 "300 privilege adjust true", "300 exit_windows 6 0"};
MachineBuilder Usb(const std::string& type, const nlohmann::json& data) {
  MachineBuilder m = MachineBuilder().Reboot(false).File("C:\\WINDOWS\\regedit.exe");
  return type.empty() ? m : m.Registry(kPolicyKey, "WriteProtect", type, data);
}

INSTANTIATE_TEST_SUITE_P(Table, Runs, testing::ValuesIn(std::vector<RunCase>{
    {"shutdown closes, pauses 5 s, asks", u"/shutdown", MachineBuilder().PowerOff(false).Process({5, "Talvora.exe", {"Talvora"}, 100}),
     {"0 post_message Talvora", "5000 privilege open_token true", "5000 privilege lookup true", "5000 privilege adjust true", "5000 exit_windows 8 0"}, EndHow::kExit, 5000},
    {"DWORD 257: all four bytes count", u"/checkUSB", Usb("REG_DWORD", 257), kImportThenReboot, EndHow::kExit, 300},
    {"QWORD 1: eight bytes", u"/checkUSB", Usb("REG_QWORD", 1), kImportThenReboot, EndHow::kExit, 300},
    {"one byte 1", u"/checkUSB", Usb("REG_BINARY", "01"), {}, EndHow::kExit, 0},
    {"no Windows folder: no editor, still the reboot", u"/checkUSB", Usb("", nullptr).Fault("windows_folder_unavailable", true),
     {"0 privilege open_token true", "0 privilege lookup true", "0 privilege adjust true", "0 exit_windows 6 0"}, EndHow::kExit, 0},
    // Snapshots of 3 s: the bounded wait gives up at 60 s, the kill is before the worker is done, the start after.
    {"restart outlives a slow worker", u"/restart", MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K").File(kInterpreter).File("C:\\K\\bin\\StartUpFW.bat").Directory("C:\\Kestrix\\Instr\\log").Process({9, "Halvmark.exe"}).Fault("snapshot_delay_ms", 3000),
     {"63000 terminate_process Halvmark.exe @main", "63000 file_append", "70000 create_process C:\\WINNT\\system32\\cmd.exe /C \"\"C:\\K\\bin\\StartUpFW.bat\"\" 134217760"}, EndHow::kExit, 70000},
    {"terminate waits beyond a minute", u"/terminate", MachineBuilder().Process({9, "Halvmark.exe"}).Fault("snapshot_delay_ms", 3000), {}, EndHow::kExit, 125000},
    // Slow snapshots: the removal runs beside the worker; the run ends once the worker is done.
    {"deinstall outlives a slow worker", u"/deinstall", MachineBuilder().Process({9, "Halvmark.exe"}).Fault("snapshot_delay_ms", 3000),
     {"60000 msi_query x192", "124000 terminate_process Halvmark.exe @worker"}, EndHow::kExit, 125000},
    // Out of memory in the string class: no success, and still the controller goes.
    {"exception", u"/deinstall", MachineBuilder().Fault("widen_fails_from_call", 1), {}, EndHow::kExit, 6000,
     framework::kExitUnexpectedError}}));
// clang-format on

MachineBuilder Analyzer() {
  return MachineBuilder()
      .Process({5, "Talvora.exe", {"Talvora"}, 300})
      .UsageBoxClosedAfter(700)
      .PowerOff(false);
}

// What a run did, apart from the status window itself.
Texts Effects(const RunResult& run) {
  Texts effects;
  for (const Event& e : run.events) {
    if (e.thread != "status" && e.fields.value("routine", "") != "StatusThreadProc")
      effects.push_back(std::to_string(e.t) + " " + e.thread + " " + e.event + " " +
                        e.fields.dump());
  }
  return effects;
}

// A key ends the dialog as OK (1) or Cancel (2), and the window for good.
TEST(StatusWindow, EnterEscapeOrAFailedStartLeaveTheOperationAlone) {
  const Texts plain = Effects(RunTool(Analyzer(), {u"/terminate"}));
  for (const auto& [what, machine, ended] :
       std::vector<std::tuple<const char*, MachineBuilder, std::string>>{
           {"escape", Analyzer().StatusKey("Escape", 1500), "1500 2"},
           {"enter", Analyzer().StatusKey("Enter", 50), "50 1"},
           {"thread fails", Analyzer().Fault("thread_start_fails", {"status"}), ""},
           {"window fails", Analyzer().Fault("status_window_fails", true), ""}}) {
    const RunResult run = RunTool(machine, {u"/terminate"});
    EXPECT_EQ(Effects(run), plain) << what;
    EXPECT_EQ(run.exitCode, 0) << what;
    const auto ends = run.Named("dialog_end");
    const std::string end =
        ends.empty() ? "" : std::to_string(ends[0].t) + " " + Str(ends[0].fields["result"]);
    EXPECT_EQ(end, ended) << what;
    EXPECT_LE(LastOn(run, "status"), ends.empty() ? 0 : ends[0].t) << what;
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
