// What the tool starts: the firmware's start-up script, and the installer to remove products.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_control.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using testing_support::PrintTo;  // for the test names of the tables below
using Texts = std::vector<std::string>;

struct StartCase {
  const char* what;
  MachineBuilder machine;
  std::string script;  // the script started, empty for none
  Texts started;       // what the script brought up
};

class FirmwareStart : public testing::TestWithParam<StartCase> {};

TEST_P(FirmwareStart, StartsTheFirstExistingScriptQuotedElseTheDebugOne) {
  const RunResult run =
      RunControl(GetParam().machine, [](CFirmwareControl& c) { c.StartFirmware(); });
  EXPECT_EQ(Fields(run, "create_process", "command_line"),
            Texts(GetParam().script.empty() ? 0 : 1, "/C \"\"" + GetParam().script + "\"\""));
  for (const std::string& path : Fields(run, "find_file", "path"))
    EXPECT_EQ(path.find("binDebug"), std::string::npos) << "the debug script is taken unseen";
  EXPECT_EQ(Count(run, "find_file") == 0, GetParam().script.empty()) << "no look without a root";
  EXPECT_EQ(Fields(run, "process_start", "name"), GetParam().started);
}

MachineBuilder Root(const std::string& root) {
  return MachineBuilder().Env("Kestrix_SYSTEM_ROOT", root).File(kInterpreter);
}
const std::vector<ProcessSpec> kServer{{0, "Halvmark.exe"}};
const std::string kBin = "C:\\K\\bin\\StartUpFW.bat";
const std::string kRelease = "C:\\K\\binRelease\\StartUpFW.bat";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, FirmwareStart, testing::ValuesIn(std::vector<StartCase>{
    {"both", Root("C:\\K").Script(kBin, kServer).File(kRelease), kBin, {"Halvmark.exe"}},
    {"release only", Root("C:\\K").Script(kRelease, kServer), kRelease, {"Halvmark.exe"}},
    {"a directory counts", Root("C:\\K").Directory(kBin), kBin, {}},
    {"root ends in a backslash", Root("C:\\K\\"), "C:\\K\\\\binDebug\\StartUpFW.bat", {}},
    {"no interpreter", MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K").Script(kBin, kServer), kBin, {}},
    {"empty root", Root("").File("C:\\bin\\StartUpFW.bat"), "", {}},
    {"a quote in the root", Root("C:\\K\" & evil"), "", {}}}));
// clang-format on

constexpr char kPlaceholder[] = "{00000000-0000-0000-0000-000000000000}";
constexpr char kCode[] = "{6A1E2C34-0B7D-4F58-9E21-3C5D7A9B1F02}";
constexpr char kWinntMsiexec[] = "C:\\WINNT\\SYSTEM32\\msiexec.exe";
constexpr char kWindowsMsiexec[] = "C:\\WINDOWS\\SYSTEM32\\msiexec.exe";

RunResult RunRemoval(const MachineBuilder& machine) {
  return RunControl(machine, [](CFirmwareControl& c) { c.RemoveInstalledProducts(); });
}

// The placeholder stands in 93 slots: a code listed in several slots is removed at the highest
// (slots 95 to 93 are empty) and not again; a removal that fails is tried once per slot and pass.
TEST(ProductRemoval, ACodeInSeveralSlotsIsRemovedOnceElseTriedAtEverySlot) {
  const RunResult run = RunRemoval(MachineBuilder().File(kWindowsMsiexec).Product(kPlaceholder, 5));
  EXPECT_EQ(Count(run, "create_process"), 1u);
  EXPECT_EQ(Fields(run, "msi_query", "state").at(3), "5");
  EXPECT_EQ(Fields(run, "msi_query", "state").at(4), "-1");
  const RunResult failing =
      RunRemoval(MachineBuilder().File(kWindowsMsiexec).Product(kPlaceholder, 5, false));
  EXPECT_EQ(Count(failing, "create_process"), 2u * 93u);
}

struct RemoveCase {
  const char* what;
  MachineBuilder machine;
  std::string code;
  std::string commandLine;  // empty: nothing started
  std::size_t waits;
};

class RemoveOne : public testing::TestWithParam<RemoveCase> {};

TEST_P(RemoveOne, RunsTheProbedInstallerForAnInstalledProductOnly) {
  const std::string code = GetParam().code;
  const RunResult run = RunControl(GetParam().machine, [&code](CFirmwareControl& c) {
    c.RemoveProduct(platform::WidenAnsi(code.c_str()));
  });
  EXPECT_EQ(Fields(run, "create_process", "command_line"),
            GetParam().commandLine.empty() ? Texts{} : Texts{GetParam().commandLine});
  EXPECT_EQ(Fields(run, "create_process", "application"),
            Texts(Count(run, "create_process"), "null"));
  EXPECT_EQ(Fields(run, "create_process", "flags"), Texts(Count(run, "create_process"), "32"));
  EXPECT_EQ(Count(run, "wait_process"), GetParam().waits);
}

MachineBuilder Installed(int state = 5, const std::string& code = kCode) {
  return MachineBuilder().File(kWindowsMsiexec).Product(code, state);
}
const std::string kLong = "{" + std::string(77, 'A') + "}";  // the longest a slot holds
std::string Removal(const char* msiexec, const std::string& code = kCode) {
  return std::string("\"") + msiexec + "\" /x " + code + " /qb!-";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, RemoveOne, testing::ValuesIn(std::vector<RemoveCase>{
    {"WINNT first", Installed().File(kWinntMsiexec), kCode, Removal(kWinntMsiexec), 1},
    {"neither: the fallback is not probed", MachineBuilder().Product(kCode, 5), kCode, Removal(kWindowsMsiexec), 0},
    {"a longest slot is passed whole", Installed(5, kLong), kLong, Removal(kWindowsMsiexec, kLong), 1},
    {"state 1", Installed(1), kCode, "", 0}, {"state 3", Installed(3), kCode, "", 0}, {"state 6", Installed(6), kCode, "", 0},
    {"no installer library", Installed().Fault("msi_unavailable", true), kCode, "", 0}}));
// clang-format on

}  // namespace
