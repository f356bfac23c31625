// Removing the products: the table's slots, the installer probed and its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_control.h"
#include "flag_names.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using testing_support::PrintTo;  // for the test names of the tables below
using Texts = std::vector<std::string>;

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
  const std::string flags = std::to_string(FlagsByName("NORMAL_PRIORITY_CLASS"));
  EXPECT_EQ(Fields(run, "create_process", "flags"), Texts(Count(run, "create_process"), flags));
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
    {.what = "WINNT first", .machine = Installed().File(kWinntMsiexec), .code = kCode, .commandLine = Removal(kWinntMsiexec), .waits = 1},
    {.what = "WINNT one others may change: passed over", .machine = Installed().File(kWinntMsiexec).Unprotected(kWinntMsiexec), .code = kCode, .commandLine = Removal(kWindowsMsiexec), .waits = 1},
    {.what = "neither: the fallback is not probed", .machine = MachineBuilder().Product(kCode, 5), .code = kCode, .commandLine = Removal(kWindowsMsiexec), .waits = 0},
    {.what = "a longest slot is passed whole", .machine = Installed(5, kLong), .code = kLong, .commandLine = Removal(kWindowsMsiexec, kLong), .waits = 1},
    {.what = "state 1", .machine = Installed(1), .code = kCode, .commandLine = "", .waits = 0}, {.what = "state 3", .machine = Installed(3), .code = kCode, .commandLine = "", .waits = 0}, {.what = "state 6", .machine = Installed(6), .code = kCode, .commandLine = "", .waits = 0},
    {.what = "no installer library", .machine = Installed().Fault("msi_unavailable", true), .code = kCode, .commandLine = "", .waits = 0}}), CaseName<RemoveCase>);
// clang-format on

}  // namespace
