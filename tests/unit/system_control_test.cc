// Power-off, forced reboot and the USB write-protection enforcement.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_support.h"

namespace {

using namespace testing_support;
using platform::sim::EndHow;

constexpr char kPolicyKey[] = "System\\CurrentControlSet\\Control\\StorageDevicePolicies";
constexpr char kSettings[] = "C:\\Program Files\\Kestrix\\USBProtect\\SetUSBProtection.reg";

RunResult RunTool(const MachineBuilder& machine, const char16_t* op) {
  return platform::sim::Run(machine.Build(), {u"Fenwrack.exe", op});
}

TEST(PowerOff, ClosesTheFirmwareWindowsPausesFiveSecondsThenAsks) {
  for (bool withFirmware : {true, false}) {
    MachineBuilder machine;
    machine.PowerOff(false);
    if (withFirmware)
      machine.Process({5, "Talvora.exe", {"Talvora"}, 100});
    const RunResult run = RunTool(machine, u"/shutdown");
    const auto requests = Named(run, "exit_windows");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].fields["flags"], 8);
    EXPECT_EQ(requests[0].fields["reason"], 0);
    EXPECT_EQ(requests[0].t, 5000u) << "the pause comes even with no firmware window";
    EXPECT_EQ(Count(run, "post_message"), withFirmware ? 1u : 0u);
    // Refused: the operation returns and the run ends as any other.
    EXPECT_EQ(run.how, EndHow::kExit);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.virtualMs, 5000u);
  }
}

TEST(PowerOff, AnAcceptedRequestNeverReturns) {
  const RunResult run = RunTool(MachineBuilder().PowerOff(true), u"/shutdown");
  EXPECT_EQ(run.how, EndHow::kPowerOff);
  EXPECT_EQ(Named(run, "exit_windows").at(0).fields["accepted"], true);
}

struct ProtectionCase {
  const char* what;
  std::string type;
  nlohmann::json data;
  bool protectedNow;
};

class WriteProtection : public testing::TestWithParam<ProtectionCase> {};

TEST_P(WriteProtection, ImportsAndRebootsUnlessTheValueIsOne) {
  MachineBuilder machine;
  machine.Reboot(false).File("C:\\WINDOWS\\regedit.exe");
  if (!GetParam().type.empty()) {
    machine.Registry(kPolicyKey, "WriteProtect", GetParam().type, GetParam().data);
  }
  const RunResult run = RunTool(machine, u"/checkUSB");
  if (GetParam().protectedNow) {
    EXPECT_EQ(Count(run, "create_process"), 0u);
    EXPECT_EQ(Count(run, "exit_windows"), 0u);
    EXPECT_EQ(run.virtualMs, 0u) << "the run ends at once";
  } else {
    const auto starts = Named(run, "create_process");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(Str(starts[0].fields["application"]), "C:\\WINDOWS\\regedit.exe");
    EXPECT_EQ(Str(starts[0].fields["command_line"]), std::string(" /s \"") + kSettings + "\"");
    EXPECT_EQ(starts[0].fields["flags"], 0x8000020);
    EXPECT_EQ(Count(run, "wait_process"), 1u);
    const auto requests = Named(run, "exit_windows");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].fields["flags"], 6);
    EXPECT_GE(requests[0].t, Named(run, "wait_process")[0].t);
  }
  EXPECT_EQ(run.exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteProtection,
    testing::Values(ProtectionCase{"DWORD 1", "REG_DWORD", 1, true},
                    ProtectionCase{"DWORD 0", "REG_DWORD", 0, false},
                    ProtectionCase{"DWORD 2", "REG_DWORD", 2, false},
                    ProtectionCase{"QWORD 1: eight bytes", "REG_QWORD", 1, false},
                    ProtectionCase{"string 1 reads as 49", "REG_SZ", "1", false},
                    ProtectionCase{"one byte 1", "REG_BINARY", "01", true},
                    ProtectionCase{"one byte 2", "REG_BINARY", "02", false},
                    ProtectionCase{"key missing", "", nullptr, false}));

// The buffer starts zeroed: a short value reads the same every time.
TEST(WriteProtection, AShortValueReadsTheSameEveryTime) {
  MachineBuilder machine;
  machine.Registry(kPolicyKey, "WriteProtect", "REG_BINARY", "01").Reboot(false);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Count(RunTool(machine, u"/checkUSB"), "exit_windows"), 0u);
  }
}

TEST(WriteProtection, WithoutTheWindowsFolderNothingStartsButTheRebootFollows) {
  const RunResult run = RunTool(MachineBuilder()
                                    .Reboot(false)
                                    .File("C:\\WINDOWS\\regedit.exe")
                                    .Fault("windows_folder_unavailable", true),
                                u"/checkUSB");
  EXPECT_EQ(Count(run, "create_process"), 0u);
  ASSERT_EQ(Count(run, "exit_windows"), 1u);
  EXPECT_EQ(Named(run, "exit_windows")[0].fields["flags"], 6);
}

TEST(WriteProtection, TheImportTurnsProtectionOnAndTheRebootEndsTheRun) {
  const std::string settings =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies]\r\n"
      "\"WriteProtect\"=dword:00000001\r\n";
  const MachineBuilder machine = std::move(MachineBuilder()
                                               .Registry(kPolicyKey, "WriteProtect", "REG_DWORD", 0)
                                               .File("C:\\WINDOWS\\regedit.exe")
                                               .File(kSettings, settings)
                                               .Reboot(true));
  const RunResult first = RunTool(machine, u"/checkUSB");
  EXPECT_EQ(first.how, EndHow::kReboot);
  for (const Event& e : OnThread(first, "main")) {
    EXPECT_NE(e.event, "sleep") << "no pause before the reboot";
  }
  // The next start finds protection in force.
  const RunResult second =
      platform::sim::Run(platform::sim::Machine::FromJson(first.machineAfter, "after reboot"),
                         {u"Fenwrack.exe", u"/checkUSB"});
  EXPECT_EQ(Count(second, "exit_windows"), 0u);
  EXPECT_EQ(second.how, EndHow::kExit);
}

}  // namespace
