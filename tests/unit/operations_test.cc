// Whole operations on the virtual clock: restart and removal with their waits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_support.h"

namespace {

using namespace testing_support;
using platform::sim::EndHow;

std::uint64_t FirstAt(const RunResult& run, const std::string& event) {
  const auto events = Named(run, event);
  return events.empty() ? ~0ull : events.front().t;
}

TEST(Restart, OnTheDemoAnalyzerKillsTheHungServerLogsItAndStartsTheFirmwareAgain) {
  const RunResult run =
      platform::sim::Run(platform::sim::Machine::Demo(), {u"Fenwrack.exe", u"/restart"});
  EXPECT_EQ(run.how, EndHow::kExit);
  EXPECT_EQ(run.exitCode, 0);
  const auto killed = Named(run, "terminate_process");
  ASSERT_EQ(killed.size(), 1u);
  EXPECT_EQ(Str(killed[0].fields["name"]), "Halvmark.exe");
  EXPECT_EQ(killed[0].thread, "main");
  ASSERT_EQ(Count(run, "file_append"), 1u);
  EXPECT_EQ(Str(Named(run, "file_append")[0].fields["path"]), kKillLog);
  // The script starts after the worker is done and a pause of five seconds.
  const auto starts = Named(run, "create_process");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(Str(starts[0].fields["application"]), kInterpreter);
  EXPECT_EQ(Str(starts[0].fields["command_line"]),
            "/C \"\"C:\\Kestrix\\Instr\\bin\\StartUpFW.bat\"\"");
  EXPECT_GE(starts[0].t, OnThread(run, "worker").back().t + 5000);
  EXPECT_GT(Count(run, "process_start"), 0u) << "the script brought the firmware back";
  EXPECT_EQ(run.virtualMs, starts[0].t);
}

TEST(Restart, WithTheFirmwareDownStartsItElevenSecondsIn) {
  const RunResult run = platform::sim::Run(MachineBuilder()
                                               .Env("Kestrix_SYSTEM_ROOT", "C:\\K")
                                               .File(kInterpreter)
                                               .File("C:\\K\\bin\\StartUpFW.bat")
                                               .Build(),
                                           {u"Fenwrack.exe", u"/restart"});
  // Worker done at 5 s, seen at the 6th reading; nothing to kill; 5 s pause.
  EXPECT_EQ(Count(run, "terminate_process"), 0u);
  EXPECT_EQ(FirstAt(run, "create_process"), 11000u);
}

// With slow process snapshots the worker outlives the bounded wait: the removal runs beside it,
// and the run may end only once the worker is done with the controller.
TEST(Deinstall, EndsOnlyAfterTheWorkerHasFinished) {
  const RunResult run = platform::sim::Run(MachineBuilder()
                                               .Process({9, "Halvmark.exe"})
                                               .File("C:\\WINDOWS\\SYSTEM32\\msiexec.exe")
                                               .Fault("snapshot_delay_ms", 3000)
                                               .Build(),
                                           {u"Fenwrack.exe", u"/deinstall"});
  EXPECT_EQ(FirstAt(run, "msi_query"), 60000u) << "the bounded wait gave up";
  const auto killed = Named(run, "terminate_process");
  ASSERT_EQ(killed.size(), 1u);
  EXPECT_EQ(killed[0].thread, "worker");
  EXPECT_GT(killed[0].t, 60000u);
  EXPECT_EQ(run.how, EndHow::kExit);
  EXPECT_GT(run.virtualMs, killed[0].t);
}

TEST(Deinstall, StopsTheFirmwareFirstThenQueriesEverySlotTwice) {
  const RunResult run =
      platform::sim::Run(platform::sim::Machine::Demo(), {u"Fenwrack.exe", u"/deinstall"});
  EXPECT_EQ(Count(run, "msi_query"), 192u);
  EXPECT_GT(FirstAt(run, "msi_query"), OnThread(run, "worker").back().t);
  EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
