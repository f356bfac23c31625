// The stop worker on the virtual clock: its passes, its watch list, its one termination.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/worker_waits.h"
#include "firmware/firmware_control.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

// Starts the worker with `kill` and waits for it without bound, as /terminate does.
RunResult RunWorker(const Machine& machine, std::int32_t kill) {
  return platform::sim::RunFunction(machine, [kill] {
    CFirmwareControl control(nullptr);
    control.StartStopWorker(kill);
    WaitForWorker(control);
  });
}

std::vector<std::uint32_t> TerminatedPids(const RunResult& run) {
  std::vector<std::uint32_t> pids;
  for (const Event& e : Named(run, "terminate_process"))
    pids.push_back(e.fields["pid"]);
  return pids;
}

std::uint64_t LastWorkerEventAt(const RunResult& run) {
  const auto events = OnThread(run, "worker");
  return events.empty() ? 0 : events.back().t;
}

struct NameCase {
  std::string name;
  bool watched;
};

class WorkerWatch : public testing::TestWithParam<NameCase> {};

// A hung process with that name: watched ones keep the worker for all 30 passes and, with kill
// on timeout, are terminated at the end.
TEST_P(WorkerWatch, FoldsOnlyAToZAndComparesWholeNames) {
  const RunResult run = RunWorker(MachineBuilder().Process({700, GetParam().name}).Build(), 1);
  EXPECT_EQ(Count(run, "snapshot"), GetParam().watched ? 30u : 1u);
  EXPECT_EQ(TerminatedPids(run),
            GetParam().watched ? std::vector<std::uint32_t>{700} : std::vector<std::uint32_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Table, WorkerWatch,
    testing::Values(NameCase{"halvmark.exe", true}, NameCase{"Halvmark.exe", true},
                    NameCase{"HALVMARK.EXE", true}, NameCase{"Quenstead_D.exe", true},
                    NameCase{"quenstead.exe", true}, NameCase{"TarnWick.exe", true},
                    NameCase{"TALVORA.EXE", true}, NameCase{"xhalvmark.exe", false},
                    NameCase{"halvmark.exe ", false}, NameCase{"halvmark", false},
                    NameCase{"C:\\bin\\halvmark.exe", false}, NameCase{"quenstead_d.ex", false},
                    NameCase{"pelmo.exe", false}, NameCase{"talvora.exe.bak", false}));

TEST(StopWorker, FirmwareAlreadyDownCostsOnePassAndFiveSeconds) {
  const RunResult run = RunWorker(MachineBuilder().Process({10, "explorer.exe"}).Build(), 1);
  std::vector<std::uint32_t> pauses;
  for (const Event& e : OnThread(run, "worker")) {
    if (e.event == "sleep")
      pauses.push_back(e.fields["ms"]);
  }
  EXPECT_EQ(pauses, (std::vector<std::uint32_t>{4000, 1000}));
  EXPECT_EQ(Count(run, "snapshot"), 1u);
  EXPECT_EQ(LastWorkerEventAt(run), 5000u);
  EXPECT_TRUE(TerminatedPids(run).empty());
}

TEST(StopWorker, CooperativeFirmwareEndsAtTheFirstPassThatFindsNone) {
  const Machine machine = MachineBuilder()
                              .Process({11, "Talvora.exe", {"Talvora"}, 1500})
                              .Process({12, "quenstead.exe", {"Pelmo"}, 200})
                              .Build();
  const RunResult run = RunWorker(machine, 0);
  EXPECT_EQ(Count(run, "snapshot"), 2u) << "pass 1 still sees Talvora.exe, pass 2 none";
  EXPECT_EQ(Count(run, "process_exit"), 2u);
  EXPECT_EQ(LastWorkerEventAt(run), 6000u);
}

TEST(StopWorker, WithoutKillThirtyPassesEndAfterThirtyFourSecondsAndTerminateNothing) {
  const RunResult run = RunWorker(MachineBuilder().Process({13, "Halvmark.exe"}).Build(), 0);
  EXPECT_EQ(Count(run, "snapshot"), 30u);
  EXPECT_EQ(LastWorkerEventAt(run), 34000u);
  EXPECT_TRUE(TerminatedPids(run).empty());
  EXPECT_EQ(Count(run, "open_process"), 0u);
}

TEST(StopWorker, KillArgumentOneTerminatesTheLastMatchOnlyAndOtherValuesNone) {
  const Machine machine = MachineBuilder()
                              .Process({21, "halvmark.exe"})
                              .Process({22, "notepad.exe"})
                              .Process({23, "tarnwick.exe"})
                              .Process({24, "explorer.exe"})
                              .Build();
  for (std::int32_t kill : {0, 1, 2, -1}) {
    const RunResult run = RunWorker(machine, kill);
    EXPECT_EQ(TerminatedPids(run),
              kill == 1 ? std::vector<std::uint32_t>{23} : std::vector<std::uint32_t>{})
        << "kill " << kill;
  }
}

TEST(StopWorker, AProcessThatCannotBeOpenedIsLeftAndTheFlagStillClears) {
  ProcessDesc guarded{31, "Halvmark.exe"};
  guarded.canOpen = false;
  const RunResult run = RunWorker(MachineBuilder().Process(guarded).Build(), 1);
  EXPECT_EQ(Count(run, "open_process"), 1u);
  EXPECT_TRUE(TerminatedPids(run).empty());
  EXPECT_EQ(run.how, platform::sim::EndHow::kExit) << "the wait ended";
}

class SnapshotFailure : public testing::TestWithParam<int> {};

TEST_P(SnapshotFailure, EndsThePassesWithoutTermination) {
  const int pass = GetParam();
  const RunResult run = RunWorker(
      MachineBuilder().Process({41, "Halvmark.exe"}).Fault("snapshot_fails_from", pass).Build(), 1);
  EXPECT_EQ(Count(run, "snapshot"), static_cast<std::size_t>(pass));
  EXPECT_TRUE(TerminatedPids(run).empty());
  EXPECT_EQ(LastWorkerEventAt(run), 4000u + 1000u * pass);
}

INSTANTIATE_TEST_SUITE_P(Passes, SnapshotFailure, testing::Values(1, 2, 17, 30));

TEST(StopWorker, AnUnreadableFirstEntryCountsAsAPassWithoutMatch) {
  const RunResult run = RunWorker(
      MachineBuilder().Process({51, "Halvmark.exe"}).Fault("first_entry_unreadable", true).Build(),
      1);
  EXPECT_EQ(Count(run, "snapshot"), 1u);
  EXPECT_TRUE(TerminatedPids(run).empty());
}

TEST(StopWorker, TheFirstEntryIsExaminedLikeEveryOther) {
  const RunResult run = RunWorker(
      MachineBuilder().Process({61, "halvmark.exe"}).Process({62, "explorer.exe"}).Build(), 1);
  EXPECT_EQ(TerminatedPids(run), std::vector<std::uint32_t>{61});
}

// The thread cannot be created: the flag goes back to 0, so every wait ends.
TEST(StopWorker, AFailedThreadStartClearsTheFlag) {
  const Machine machine = MachineBuilder()
                              .Process({71, "Halvmark.exe"})
                              .Fault("thread_start_fails", {"worker"})
                              .Build();
  for (const char16_t* op : {u"/terminate", u"/restart", u"/deinstall"}) {
    const RunResult run = platform::sim::Run(machine, {u"Fenwrack.exe", op});
    EXPECT_EQ(run.how, platform::sim::EndHow::kExit);
    EXPECT_EQ(run.exitCode, 0);
    std::size_t mainPolls = 0;
    for (const Event& e : OnThread(run, "main"))
      mainPolls += e.event == "sleep" && e.fields["ms"] == 1000;
    EXPECT_EQ(mainPolls, 0u) << "no wait finds the flag set";
  }
}

}  // namespace
