// Start-up: the usage box, the choice of the one operation, the two waits, the exit code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/fenwrack_app.h"
#include "app/worker_waits.h"
#include "firmware/firmware_control.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using platform::sim::EndHow;

std::u16string Usage() {
  return kUsageText;
}

TEST(UsageText, IsTheDocumentedNineLines) {
  const std::u16string text = Usage();
  EXPECT_EQ(text.size(), 394u);
  EXPECT_EQ(text.find(u'\r'), std::u16string::npos);
  std::vector<std::u16string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find(u'\n', start);
    ASSERT_NE(end, std::u16string::npos) << "every line ends with a line feed";
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  const std::vector<std::u16string> expected = {
      u"Fenwrack.exe \t[/restart] [/shutdown] [/terminate]",
      std::u16string(20, u' ') + u"\t\t[/checkUSB] [/deinstall] [/rundeinst]",
      u"",
      u"/restart\t\tRestarts the firmware" + std::u16string(12, u' '),
      u"/shutdown\tShutdown the analyzer" + std::u16string(11, u' '),
      u"/terminate\tTerminate the firmware" + std::u16string(9, u' '),
      u"/checkUSB\tChecks if the USB Write Protection is installed ",
      u"/deinstall\t\tRemove all installed firmware applications",
      u"/rundeinst\tRun all deinstalltion files",
  };
  EXPECT_EQ(lines, expected);
}

TEST(Startup, NoArgumentsShowsTheUsageBoxAndEndsWithZero) {
  const RunResult run =
      platform::sim::Run(MachineBuilder().UsageBoxClosedAfter(2500).Build(), {u"Fenwrack.exe"});
  const auto boxes = Named(run, "message_box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].thread, "main");
  EXPECT_EQ(Str(boxes[0].fields["caption"]), "Fenwrack Usage");
  EXPECT_EQ(boxes[0].fields["text"].get<std::string>().size(), 394u);
  EXPECT_EQ(boxes[0].fields["style"], 0x40);
  EXPECT_EQ(run.how, EndHow::kExit);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.virtualMs, 2500u) << "the run ends when the box is closed";
}

// Which sequence ran, told by the first thing only that sequence does.
std::string SequenceOf(const RunResult& run) {
  for (const Event& e : run.events) {
    if (e.event == "message_box")
      return "usage";
    if (e.event == "exit_windows")
      return e.fields["flags"] == 8 ? "shutdown" : "checkUSB";
    if (e.event == "reg_query")
      return "checkUSB";
    if (e.event == "msi_query")
      return "deinstall";
    if (e.event == "create_process")
      return "restart";
  }
  for (const Event& e : run.events) {
    if (e.event == "thread_start" && Str(e.fields["routine"]) == "StopWorkerProc") {
      return "terminate";
    }
  }
  return "none";
}

struct PrecedenceCase {
  std::vector<std::u16string> args;
  std::string sequence;
};

class Precedence : public testing::TestWithParam<PrecedenceCase> {};

TEST_P(Precedence, RunsOnlyTheFirstSequence) {
  MachineBuilder machine;
  machine.Env("Kestrix_SYSTEM_ROOT", "C:\\K")
      .File(kInterpreter)
      .File("C:\\K\\bin\\StartUpFW.bat")
      .Registry("System\\CurrentControlSet\\Control\\StorageDevicePolicies", "WriteProtect",
                "REG_DWORD", 0)
      .PowerOff(false)
      .Reboot(false);
  std::vector<std::u16string> argv{u"Fenwrack.exe"};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  const RunResult run = platform::sim::Run(machine.Build(), argv);
  EXPECT_EQ(SequenceOf(run), GetParam().sequence);
  EXPECT_EQ(run.how, EndHow::kExit);
  EXPECT_EQ(run.exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, Precedence,
                         testing::Values(PrecedenceCase{{}, "usage"},
                                         PrecedenceCase{{u"/terminate"}, "terminate"},
                                         PrecedenceCase{{u"/terminate", u"/restart"}, "terminate"},
                                         PrecedenceCase{{u"/restart", u"/terminate"}, "terminate"},
                                         PrecedenceCase{{u"/shutdown", u"/deinstall"}, "shutdown"},
                                         PrecedenceCase{{u"/restart", u"/shutdown"}, "shutdown"},
                                         PrecedenceCase{{u"/checkUSB", u"/restart"}, "restart"},
                                         PrecedenceCase{{u"/checkUSB", u"/deinstall"}, "checkUSB"},
                                         PrecedenceCase{{u"/deinstall"}, "deinstall"},
                                         PrecedenceCase{{u"/terminate", u"/?"}, "usage"},
                                         PrecedenceCase{{u"/?", u"/terminate"}, "terminate"},
                                         PrecedenceCase{{u"/help"}, "usage"},
                                         PrecedenceCase{{u"terminate"}, "usage"}));

// A stand-in worker that clears the flag after `ms`, so the waits can be timed alone.
struct FlagClearer {
  CFirmwareControl* control;
  std::uint32_t ms;
};

unsigned ClearFlagLater(void* arg) {
  auto* clearer = static_cast<FlagClearer*>(arg);
  platform::Pause(clearer->ms);
  clearer->control->m_lock.Enter();
  *g_workerRunning = 0;
  clearer->control->m_lock.Leave();
  return 0;
}

// Virtual time at which the wait returned, and how many pauses it took.
struct WaitOutcome {
  std::uint64_t endMs;
  std::size_t pauses;
};

// The stand-in and its record live on the main thread's stack: when the run ends first, the
// simulated process ends them with it, as a real one would.
WaitOutcome TimeWait(bool bounded, std::optional<std::uint32_t> clearAfterMs) {
  const RunResult run = platform::sim::RunFunction(MachineBuilder().Build(), [&] {
    CFirmwareControl control(nullptr);
    *g_workerRunning = 1;
    FlagClearer clearer{&control, clearAfterMs.value_or(0)};
    if (clearAfterMs)
      platform::BeginThread(&ClearFlagLater, &clearer, {"ClearFlagLater", "worker"});
    bounded ? WaitForWorkerBounded(control) : WaitForWorker(control);
  });
  WaitOutcome outcome{0, 0};
  for (const Event& e : OnThread(run, "main")) {
    if (e.event == "sleep" && e.fields["ms"] == 1000) {
      ++outcome.pauses;
      outcome.endMs = e.t + 1000;
    }
  }
  return outcome;
}

TEST(Waits, BoundedWaitGivesUpSilentlyAfterSixtyPauses) {
  const WaitOutcome never = TimeWait(true, 200000);
  EXPECT_EQ(never.pauses, 60u);
  EXPECT_EQ(never.endMs, 60000u);
}

TEST(Waits, BothWaitsEndAtTheFirstReadingAfterTheFlagClears) {
  for (bool bounded : {true, false}) {
    const WaitOutcome early = TimeWait(bounded, 30500);
    EXPECT_EQ(early.pauses, 31u) << (bounded ? "bounded" : "unbounded");
    EXPECT_EQ(early.endMs, 31000u);
  }
  const WaitOutcome late = TimeWait(false, 90500);
  EXPECT_EQ(late.pauses, 91u) << "the unbounded wait never gives up";
}

TEST(Waits, AnIdleWorkerCostsNoPause) {
  for (bool bounded : {true, false}) {
    const RunResult run = platform::sim::RunFunction(MachineBuilder().Build(), [&] {
      CFirmwareControl control(nullptr);
      bounded ? WaitForWorkerBounded(control) : WaitForWorker(control);
    });
    EXPECT_EQ(Count(run, "sleep"), 0u);
  }
}

// Running out of memory inside the operation: the controller still goes, and the run reports it.
TEST(Startup, AnExceptionStillDestroysTheControllerAndIsNoSuccess) {
  const RunResult run = platform::sim::Run(
      MachineBuilder().Fault("widen_fails_from_call", 1).Build(), {u"Fenwrack.exe", u"/deinstall"});
  EXPECT_EQ(run.how, EndHow::kExit);
  EXPECT_EQ(run.exitCode, framework::kExitUnexpectedError);
  std::size_t inits = 0, deletes = 0;
  for (const Event& e : run.events) {
    if (e.event == "lock_init")
      ++inits;
    if (e.event == "lock_delete")
      ++deletes;
  }
  EXPECT_EQ(deletes, 1u) << "the controller's lock is deleted on the way out";
  EXPECT_GE(inits, 1u);
}

}  // namespace
