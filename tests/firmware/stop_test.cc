// Stopping the firmware: close requests, the stop worker's passes, the forced kill and its log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/worker_waits.h"
#include "firmware/firmware_control.h"
#include "firmware/window_closer.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using testing_support::PrintTo;  // for the test names of the tables below
using Pids = std::vector<std::string>;

Pids Killed(const RunResult& run) {
  return Fields(run, "terminate_process", "pid");
}

class WindowCloser : public testing::TestWithParam<std::string> {};

// The window sits between two firmware windows: the walk must go on past every match.
TEST_P(WindowCloser, PostsCloseOnlyToExactFirmwareTitles) {
  const RunResult run = RunControl(
      MachineBuilder().Processes(
          {{1, "a.exe", {"Pelmo"}}, {2, "b.exe", {GetParam()}}, {3, "c.exe", {"Talvora"}}}),
      [](CFirmwareControl&) { platform::EnumTopLevelWindows(&CloseFirmwareWindowProc, 0); });
  const bool firmware = GetParam() == "Kestrix Analyzer Interface";
  const Pids expected = firmware ? Pids{"Pelmo", GetParam(), "Talvora"} : Pids{"Pelmo", "Talvora"};
  EXPECT_EQ(Fields(run, "post_message", "title"), expected);
}

INSTANTIATE_TEST_SUITE_P(Titles, WindowCloser,
                         testing::Values("Kestrix Analyzer Interface", "pelmo", "Pelmo ", " Pelmo",
                                         "", std::string(300, 'P')));

// Starts the worker with `kill` and waits for it without bound, as /terminate does.
RunResult RunWorker(const MachineBuilder& machine, std::int32_t kill) {
  return RunControl(machine, [kill](CFirmwareControl& control) {
    control.StartStopWorker(kill);
    WaitForWorker(control);
  });
}

struct NameCase {
  const char* what;  // the executable's name
  bool watched;      // by the stop worker, after folding A to Z
  bool server;       // terminated by the forced kill, compared unchanged
};

class Names : public testing::TestWithParam<NameCase> {};

// A hung process of that name: a watched one keeps the worker for all 30 passes and, with kill on
// timeout, is terminated at the end; a server is terminated by a restart's forced kill.
TEST_P(Names, AreComparedWholeFoldedByTheWorkerAndExactByTheForcedKill) {
  const MachineBuilder machine = MachineBuilder().Process({7, GetParam().what});
  const RunResult run = RunWorker(machine, 1);
  EXPECT_EQ(Count(run, "snapshot"), GetParam().watched ? 30u : 1u);
  EXPECT_EQ(Killed(run), GetParam().watched ? Pids{"7"} : Pids{});
  const RunResult kill = RunControl(machine, [](CFirmwareControl& c) { c.KillHungFirmware(); });
  EXPECT_EQ(Killed(kill), GetParam().server ? Pids{"7"} : Pids{});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Names, testing::ValuesIn(std::vector<NameCase>{
    {"Halvmark.exe", true, true},   {"halvmark.exe", true, false},   {"Quenstead_d.exe", true, true},   {"Quenstead_D.exe", true, false},
    {"TALVORA.EXE", true, false},   {"xhalvmark.exe", false, false}, {"halvmark.exe ", false, false},   {"halvmark", false, false},
    {"pelmo.exe", false, false},    {"Halvmark.exe.old", false, false}}), CaseName<NameCase>);
// clang-format on

struct WorkerCase {
  const char* what;
  MachineBuilder machine;
  std::int32_t kill;
  std::size_t passes;  // snapshots taken; the worker pauses 4 s, then 1 s per pass
  Pids killed;
  Pids forced = {};  // by a restart's forced kill, on the same machine; logged only then
};

class StopWorker : public testing::TestWithParam<WorkerCase> {};

TEST_P(StopWorker, PassesAndTerminations) {
  const RunResult run = RunWorker(GetParam().machine, GetParam().kill);
  EXPECT_EQ(Count(run, "snapshot"), GetParam().passes);
  EXPECT_EQ(LastOn(run, "worker"), 4000 + 1000 * std::max<std::size_t>(GetParam().passes, 1));
  EXPECT_EQ(Killed(run), GetParam().killed);
  const RunResult kill =
      RunControl(GetParam().machine, [](CFirmwareControl& c) { c.KillHungFirmware(); });
  EXPECT_EQ(Killed(kill), GetParam().forced);
  const char* line = "Tessel firmware was termiated by tool, because frimware did not respond\r\n";
  EXPECT_EQ(FileAfter(kill, kKillLog),
            GetParam().forced.empty() ? std::nullopt : std::optional(line));
}

// clang-format off
MachineBuilder With(const std::vector<ProcessSpec>& processes) { return MachineBuilder().Directory("C:\\Kestrix\\Instr\\log").Processes(processes); }
const MachineBuilder kHung = With({{9, "Halvmark.exe"}});
const MachineBuilder kMixed = With({{21, "halvmark.exe"}, {22, "notepad.exe"}, {23, "tarnwick.exe"}, {24, "explorer.exe"}});
INSTANTIATE_TEST_SUITE_P(Table, StopWorker, testing::ValuesIn(std::vector<WorkerCase>{
    {"kill 1: the last match", kMixed, 1, 30, {"23"}},
    {"kill 2", kMixed, 2, 30, {}},
    {"two servers: only the later is terminated, one line logged", With({{9, "Halvmark.exe"}, {10, "Quenstead_d.exe"}}), 1, 30, {"10"}, {"10"}},
    {"cannot be opened", With({{.pid = 9, .name = "Halvmark.exe", .canOpen = false}}), 1, 30, {}},
    {"snapshot fails at once", MachineBuilder(kHung).Fault("snapshot_fails_from", 1), 1, 1, {}},
    {"snapshot fails at pass 30", MachineBuilder(kHung).Fault("snapshot_fails_from", 30), 1, 30, {}, {"9"}},
    {"first entry unreadable", MachineBuilder(kHung).Fault("first_entry_unreadable", true), 1, 1, {}}}), CaseName<WorkerCase>);
// clang-format on

}  // namespace
