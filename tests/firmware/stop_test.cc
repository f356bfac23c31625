// Stopping the firmware: close requests, the stop worker's passes, the forced kill and its log.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/worker_waits.h"
#include "firmware/firmware_control.h"
#include "firmware/window_closer.h"
#include "instrument/instrument.h"
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
      MachineBuilder().Processes({{.pid = 1, .name = "a.exe", .windows = {"Pelmo"}},
                                  {.pid = 2, .name = "b.exe", .windows = {GetParam()}},
                                  {.pid = 3, .name = "c.exe", .windows = {"Talvora"}}}),
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
  // The same rules on a machine file's UTF-8 names, as the simulator's verdict reads them.
  EXPECT_EQ(instrument::IsStopWorkerName(std::string_view(GetParam().what)), GetParam().watched);
  EXPECT_EQ(instrument::IsHungFirmwareName(std::string_view(GetParam().what)), GetParam().server);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Names, testing::ValuesIn(std::vector<NameCase>{
    {.what = "Halvmark.exe", .watched = true, .server = true},
    {.what = "halvmark.exe", .watched = true, .server = false},
    {.what = "Quenstead_d.exe", .watched = true, .server = true},
    {.what = "Quenstead_D.exe", .watched = true, .server = false},
    {.what = "TALVORA.EXE", .watched = true, .server = false},
    {.what = "xhalvmark.exe", .watched = false, .server = false},
    {.what = "halvmark.exe ", .watched = false, .server = false},
    {.what = "halvmark", .watched = false, .server = false},
    {.what = "pelmo.exe", .watched = false, .server = false},
    {.what = "Halvmark.exe.old", .watched = false, .server = false}}), CaseName<NameCase>);
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
const MachineBuilder kHung = With({{.pid = 9, .name = "Halvmark.exe"}});
const MachineBuilder kMixed = With({{.pid = 21, .name = "halvmark.exe"}, {.pid = 22, .name = "notepad.exe"}, {.pid = 23, .name = "tarnwick.exe"}, {.pid = 24, .name = "explorer.exe"}});
INSTANTIATE_TEST_SUITE_P(Table, StopWorker, testing::ValuesIn(std::vector<WorkerCase>{
    {.what = "kill 1: the last match", .machine = kMixed, .kill = 1, .passes = 30, .killed = {"23"}},
    {.what = "kill 2", .machine = kMixed, .kill = 2, .passes = 30, .killed = {}},
    {.what = "two servers: only the later is terminated, one line logged", .machine = With({{.pid = 9, .name = "Halvmark.exe"}, {.pid = 10, .name = "Quenstead_d.exe"}}), .kill = 1, .passes = 30, .killed = {"10"}, .forced = {"10"}},
    {.what = "cannot be opened", .machine = With({{.pid = 9, .name = "Halvmark.exe", .canOpen = false}}), .kill = 1, .passes = 30, .killed = {}},
    {.what = "snapshot fails at once", .machine = MachineBuilder(kHung).Fault("snapshot_fails_from", 1), .kill = 1, .passes = 1, .killed = {}},
    {.what = "snapshot fails at pass 30", .machine = MachineBuilder(kHung).Fault("snapshot_fails_from", 30), .kill = 1, .passes = 30, .killed = {}, .forced = {"9"}},
    {.what = "first entry unreadable", .machine = MachineBuilder(kHung).Fault("first_entry_unreadable", true), .kill = 1, .passes = 1, .killed = {}}}), CaseName<WorkerCase>);
// clang-format on

}  // namespace
