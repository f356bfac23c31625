// Removal of the installed firmware products.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_control.h"
#include "removal/product_code_table.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

constexpr char kPlaceholder[] = "{00000000-0000-0000-0000-000000000000}";
constexpr char kCode[] = "{6A1E2C34-0B7D-4F58-9E21-3C5D7A9B1F02}";
constexpr char kWinntMsiexec[] = "C:\\WINNT\\SYSTEM32\\msiexec.exe";
constexpr char kWindowsMsiexec[] = "C:\\WINDOWS\\SYSTEM32\\msiexec.exe";

RunResult RunRemoval(const MachineBuilder& machine) {
  return platform::sim::RunFunction(machine.Build(), [] {
    CFirmwareControl control(nullptr);
    control.RemoveInstalledProducts();
  });
}

RunResult RunRemoveOne(const MachineBuilder& machine, const std::string& code) {
  return platform::sim::RunFunction(machine.Build(), [code] {
    CFirmwareControl control(nullptr);
    control.RemoveProduct(platform::WidenAnsi(code.c_str()));
  });
}

TEST(ProductTable, AsDeliveredHoldsNinetyThreePlaceholdersThenThreeFreeSlots) {
  for (int slot = 0; slot < kProductCodeSlots; ++slot) {
    EXPECT_STREQ(ProductCodeTable[slot], slot < 93 ? kPlaceholder : "") << "slot " << slot;
  }
}

TEST(ProductRemoval, TheDeliveredTableQueriesEverySlotTwiceFromTheLastAndStartsNothing) {
  const RunResult run = RunRemoval(MachineBuilder().File(kWindowsMsiexec));
  const auto queries = Named(run, "msi_query");
  ASSERT_EQ(queries.size(), 192u);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const int slot = 95 - static_cast<int>(i % 96);
    EXPECT_EQ(Str(queries[i].fields["code"]), ProductCodeTable[slot]) << "query " << i;
  }
  EXPECT_EQ(Count(run, "create_process"), 0u);
}

// The placeholder stands in 93 slots: an installed product under it shows how a code listed in
// several slots is handled.
TEST(ProductRemoval, ACodeInSeveralSlotsIsRemovedAtTheHighestAndNotStartedAgain) {
  const RunResult run =
      RunRemoval(MachineBuilder().File(kWindowsMsiexec).Product(kPlaceholder, 5, true));
  const auto starts = Named(run, "create_process");
  ASSERT_EQ(starts.size(), 1u);
  // Slots 95 to 93 are empty, slot 92 is the first with the code.
  const auto queries = Named(run, "msi_query");
  EXPECT_EQ(queries[3].fields["state"], 5);
  EXPECT_EQ(queries[4].fields["state"], -1);
  EXPECT_EQ(Count(run, "wait_process"), 1u);
}

TEST(ProductRemoval, AFailingRemovalIsTriedOncePerSlotAndPass) {
  const RunResult run =
      RunRemoval(MachineBuilder().File(kWindowsMsiexec).Product(kPlaceholder, 5, false));
  EXPECT_EQ(Count(run, "create_process"), 2u * 93u);
}

struct CommandCase {
  const char* what;
  std::vector<std::string> files;
  std::string commandLine;
  bool started;
};

class InstallerCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(InstallerCommand, NamesTheProbedInstallerElseTheWindowsOne) {
  MachineBuilder machine;
  machine.Product(kCode, 5, true);
  for (const auto& f : GetParam().files)
    machine.File(f);
  const RunResult run = RunRemoveOne(machine, kCode);
  const auto starts = Named(run, "create_process");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_TRUE(starts[0].fields["application"].is_null());
  EXPECT_EQ(Str(starts[0].fields["command_line"]), GetParam().commandLine);
  EXPECT_EQ(starts[0].fields["flags"], 0x20);
  EXPECT_EQ(Count(run, "wait_process"), GetParam().started ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InstallerCommand,
    testing::Values(CommandCase{"WINNT",
                                {kWinntMsiexec, kWindowsMsiexec},
                                std::string("\"") + kWinntMsiexec + "\" /x " + kCode + " /qb!-",
                                true},
                    CommandCase{"WINDOWS",
                                {kWindowsMsiexec},
                                std::string("\"") + kWindowsMsiexec + "\" /x " + kCode + " /qb!-",
                                true},
                    CommandCase{"neither: the fallback is not probed",
                                {},
                                std::string("\"") + kWindowsMsiexec + "\" /x " + kCode + " /qb!-",
                                false}));

TEST(ProductRemoval, ALongestSlotIsPassedWhole) {
  const std::string code = "{" + std::string(77, 'A') + "}";
  ASSERT_EQ(code.size(), 79u);
  const RunResult run = RunRemoveOne(MachineBuilder().File(kWindowsMsiexec).Product(code, 5), code);
  ASSERT_EQ(Count(run, "msi_query"), 1u);
  EXPECT_EQ(Str(Named(run, "msi_query")[0].fields["code"]), code);
  ASSERT_EQ(Count(run, "create_process"), 1u);
  EXPECT_NE(
      Str(Named(run, "create_process")[0].fields["command_line"]).find(" /x " + code + " /qb!-"),
      std::string::npos);
}

TEST(ProductRemoval, OnlyStateFiveCountsAsInstalled) {
  for (int state : {-1, 1, 2, 3, 4, 6}) {
    const RunResult run =
        RunRemoveOne(MachineBuilder().File(kWindowsMsiexec).Product(kCode, state), kCode);
    EXPECT_EQ(Count(run, "create_process"), 0u) << "state " << state;
  }
}

TEST(ProductRemoval, WithoutTheInstallerLibraryNothingCountsAsInstalled) {
  const RunResult run = RunRemoval(MachineBuilder()
                                       .File(kWindowsMsiexec)
                                       .Product(kPlaceholder, 5)
                                       .Fault("msi_unavailable", true));
  EXPECT_EQ(Count(run, "create_process"), 0u);
}

}  // namespace
