// Removing the products: the table's slots, the installer probed and its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_control.h"
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
    {"WINNT one others may change: passed over", Installed().File(kWinntMsiexec).Unprotected(kWinntMsiexec), kCode, Removal(kWindowsMsiexec), 1},
    {"neither: the fallback is not probed", MachineBuilder().Product(kCode, 5), kCode, Removal(kWindowsMsiexec), 0},
    {"a longest slot is passed whole", Installed(5, kLong), kLong, Removal(kWindowsMsiexec, kLong), 1},
    {"state 1", Installed(1), kCode, "", 0}, {"state 3", Installed(3), kCode, "", 0}, {"state 6", Installed(6), kCode, "", 0},
    {"no installer library", Installed().Fault("msi_unavailable", true), kCode, "", 0}}), CaseName<RemoveCase>);
// clang-format on

}  // namespace
