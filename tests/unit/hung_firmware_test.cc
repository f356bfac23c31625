// The forced kill of a restart and its log line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_control.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

constexpr char kLine[] =
    "Tessel firmware was termiated by tool, because frimware did not respond\r\n";

RunResult RunKill(MachineBuilder machine) {
  return platform::sim::RunFunction(machine.Build(), [] {
    CFirmwareControl control(nullptr);
    control.KillHungFirmware();
  });
}

MachineBuilder WithLogFolder() {
  return std::move(MachineBuilder().Directory("C:\\Kestrix\\Instr\\log"));
}

std::vector<std::uint32_t> Terminated(const RunResult& run) {
  std::vector<std::uint32_t> pids;
  for (const Event& e : Named(run, "terminate_process"))
    pids.push_back(e.fields["pid"]);
  return pids;
}

struct NameCase {
  std::string name;
  bool killed;
};

class ForcedKill : public testing::TestWithParam<NameCase> {};

TEST_P(ForcedKill, MatchesTheServerNamesInExactCase) {
  const RunResult run = RunKill(WithLogFolder().Process({5, GetParam().name}));
  EXPECT_EQ(Terminated(run),
            GetParam().killed ? std::vector<std::uint32_t>{5} : std::vector<std::uint32_t>{});
  EXPECT_EQ(Count(run, "file_append"), GetParam().killed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForcedKill,
    testing::Values(NameCase{"Halvmark.exe", true}, NameCase{"Quenstead_d.exe", true},
                    NameCase{"Quenstead.exe", true}, NameCase{"halvmark.exe", false},
                    NameCase{"HALVMARK.EXE", false}, NameCase{"quenstead.exe", false},
                    NameCase{"Quenstead_D.exe", false}, NameCase{"tarnwick.exe", false},
                    NameCase{"talvora.exe", false}, NameCase{"Halvmark.exe.old", false}));

TEST(ForcedKill, TheLastMatchWinsAndOneLineIsAppended) {
  const RunResult run = RunKill(WithLogFolder()
                                    .Process({1, "Halvmark.exe"})
                                    .Process({2, "tarnwick.exe"})
                                    .Process({3, "Quenstead.exe"})
                                    .Process({4, "explorer.exe"}));
  EXPECT_EQ(Terminated(run), std::vector<std::uint32_t>{3});
  const auto appends = Named(run, "file_append");
  ASSERT_EQ(appends.size(), 1u);
  EXPECT_EQ(Str(appends[0].fields["path"]), kKillLog);
  EXPECT_EQ(Str(appends[0].fields["data"]), kLine);
}

TEST(ForcedKill, AppendsToEarlierLinesAndKeepsThem) {
  const std::string earlier = std::string(kLine) + "something else\r\n";
  const RunResult run =
      RunKill(WithLogFolder().File(kKillLog, earlier).Process({9, "Halvmark.exe"}));
  std::string content;
  for (const auto& file : run.machineAfter["files"]) {
    if (Str(file["path"]) == kKillLog)
      content = Str(file["content"]);
  }
  EXPECT_EQ(content, earlier + kLine);
}

// A failure must not be logged as a termination; nothing found leaves the log untouched.
struct QuietCase {
  const char* what;
  MachineBuilder machine;
  std::size_t terminations;
};

TEST(ForcedKill, WritesNoLineUnlessAProcessWasTerminated) {
  ProcessDesc locked{7, "Halvmark.exe"};
  locked.canOpen = false;
  ProcessDesc stubborn{8, "Halvmark.exe"};
  stubborn.canTerminate = false;
  const std::vector<QuietCase> cases = {
      {"nothing matches", WithLogFolder().Process({6, "halvmark.exe"}), 0},
      {"cannot be opened", WithLogFolder().Process(locked), 0},
      {"termination fails", WithLogFolder().Process(stubborn), 0},
      {"snapshot fails",
       WithLogFolder().Process({6, "Halvmark.exe"}).Fault("snapshot_fails_from", 1), 0},
      {"first entry unreadable",
       WithLogFolder().Process({6, "Halvmark.exe"}).Fault("first_entry_unreadable", true), 0},
      {"log folder missing", MachineBuilder().Process({6, "Halvmark.exe"}), 1},
  };
  for (const QuietCase& c : cases) {
    const RunResult run = RunKill(c.machine);
    EXPECT_EQ(Count(run, "file_append"), 0u) << c.what;
    std::size_t ok = 0;
    for (const Event& e : Named(run, "terminate_process"))
      ok += e.fields["ok"] == true;
    EXPECT_EQ(ok, c.terminations) << c.what;
    for (const auto& file : run.machineAfter["files"]) {
      EXPECT_NE(Str(file["path"]), kKillLog) << c.what << ": the log is not even created";
    }
  }
}

}  // namespace
