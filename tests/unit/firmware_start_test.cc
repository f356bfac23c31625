// Starting the firmware's start-up script.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_control.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

RunResult RunStart(const MachineBuilder& machine) {
  return platform::sim::RunFunction(machine.Build(), [] {
    CFirmwareControl control(nullptr);
    control.StartFirmware();
  });
}

struct CandidateCase {
  const char* what;
  std::vector<std::string> files;
  std::vector<std::string> directories;
  std::string started;
};

class Candidates : public testing::TestWithParam<CandidateCase> {};

TEST_P(Candidates, PicksTheFirstExistingScriptElseTheDebugOne) {
  MachineBuilder machine;
  machine.Env("Kestrix_SYSTEM_ROOT", "C:\\K").File(kInterpreter);
  for (const auto& f : GetParam().files)
    machine.File(f);
  for (const auto& d : GetParam().directories)
    machine.Directory(d);
  const RunResult run = RunStart(machine);
  const auto starts = Named(run, "create_process");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(Str(starts[0].fields["application"]), kInterpreter);
  EXPECT_EQ(Str(starts[0].fields["command_line"]), "/C \"\"" + GetParam().started + "\"\"");
  EXPECT_EQ(starts[0].fields["flags"], 0x8000020);
  // The debug script is taken without a look.
  for (const Event& e : Named(run, "find_file")) {
    EXPECT_EQ(Str(e.fields["path"]).find("binDebug"), std::string::npos);
  }
  EXPECT_EQ(Count(run, "wait_process"), 0u) << "the script is left to run on its own";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Candidates,
    testing::Values(
        CandidateCase{"both",
                      {"C:\\K\\bin\\StartUpFW.bat", "C:\\K\\binRelease\\StartUpFW.bat"},
                      {},
                      "C:\\K\\bin\\StartUpFW.bat"},
        CandidateCase{"release only",
                      {"C:\\K\\binRelease\\StartUpFW.bat"},
                      {},
                      "C:\\K\\binRelease\\StartUpFW.bat"},
        CandidateCase{
            "debug only", {"C:\\K\\binDebug\\StartUpFW.bat"}, {}, "C:\\K\\binDebug\\StartUpFW.bat"},
        CandidateCase{"none", {}, {}, "C:\\K\\binDebug\\StartUpFW.bat"},
        CandidateCase{
            "a directory counts", {}, {"C:\\K\\bin\\StartUpFW.bat"}, "C:\\K\\bin\\StartUpFW.bat"},
        CandidateCase{"case does not matter",
                      {"c:\\k\\BIN\\startupfw.BAT"},
                      {},
                      "C:\\K\\bin\\StartUpFW.bat"}));

TEST(FirmwareStart, ARootEndingInABackslashIsUsedAsBuilt) {
  const RunResult run =
      RunStart(MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K\\").File(kInterpreter));
  ASSERT_EQ(Count(run, "create_process"), 1u);
  EXPECT_EQ(Str(Named(run, "create_process")[0].fields["command_line"]),
            "/C \"\"C:\\K\\\\binDebug\\StartUpFW.bat\"\"");
}

// Roots with the interpreter's special characters: the script still starts, and nothing else.
TEST(FirmwareStart, TheScriptStartsIntactWhateverTheRootHolds) {
  for (const std::string root :
       {"C:\\Program Files (x86)\\Kestrix", "C:\\A&B\\Kestrix", "C:\\K^1 @x", "C:\\Kestrix"}) {
    const RunResult run =
        RunStart(MachineBuilder()
                     .Env("Kestrix_SYSTEM_ROOT", root)
                     .File(kInterpreter)
                     .Script(root + "\\bin\\StartUpFW.bat", {{0, "Halvmark.exe"}}));
    std::vector<std::string> started;
    for (const Event& e : Named(run, "process_start"))
      started.push_back(Str(e.fields["name"]));
    EXPECT_EQ(started, std::vector<std::string>{"Halvmark.exe"}) << root;
  }
}

TEST(FirmwareStart, StartsNothingWithoutAUsableRoot) {
  const std::vector<MachineBuilder> machines = {
      MachineBuilder().File(kInterpreter).File("C:\\bin\\StartUpFW.bat"),
      std::move(MachineBuilder()
                    .Env("Kestrix_SYSTEM_ROOT", "")
                    .File(kInterpreter)
                    .File("C:\\bin\\StartUpFW.bat")),
      std::move(MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K\" & evil").File(kInterpreter)),
  };
  for (const MachineBuilder& machine : machines) {
    const RunResult run = RunStart(machine);
    EXPECT_EQ(Count(run, "create_process"), 0u) << machine.json().dump();
    EXPECT_EQ(Count(run, "find_file"), 0u);
  }
}

TEST(FirmwareStart, AMissingInterpreterLeavesTheFirmwareDown) {
  const RunResult run = RunStart(MachineBuilder()
                                     .Env("Kestrix_SYSTEM_ROOT", "C:\\K")
                                     .Script("C:\\K\\bin\\StartUpFW.bat", {{0, "Halvmark.exe"}}));
  const auto starts = Named(run, "create_process");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].fields["ok"], false);
  EXPECT_EQ(Count(run, "process_start"), 0u);
}

}  // namespace
