// The simulated platform: the Windows behaviours it imitates, its clock and threads, and how a
// run ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "fenwrack-sim/timeline_text.h"
#include "machine_file/machine.h"
#include "platform/platform.h"
#include "platform/sim/entry.h"
#include "sim_engine/run_result.h"

namespace {

using machine_file::Machine;
using nlohmann::json;
using sim_engine::EndHow;
using sim_engine::Event;
using sim_engine::RunResult;

Machine M(const char* document) {
  return Machine::FromJson(json::parse(document), "test");
}

RunResult Tool(const Machine& machine, const char16_t* op = u"") {
  std::vector<std::u16string> args = {u"Fenwrack.exe"};
  if (*op != 0)
    args.emplace_back(op);
  return platform::sim::Run(machine, args);
}

// A simulated thread running `body`.
using Body = void (*)();
void Spawn(Body& body) {
  platform::BeginThread([](void* b) -> unsigned { return (*static_cast<Body*>(b))(), 0; }, &body,
                        {"Body", "worker"});
}

// As on Windows and Wine: status, size and a buffer of 0xAA; keys exist through subkeys. The
// timeline shows the value of a read that got it.
TEST(Registry, KeysAndFourByteReadsBehaveAsOnWindows) {
  for (const auto& [value, expected] : std::vector<std::pair<json, std::string>>{
           {{{"type", "REG_DWORD"}, {"data", 0x01020304}}, "0 4 04030201 shown"},
           {{{"type", "REG_QWORD"}, {"data", 1}}, "234 8 AAAAAAAA"},
           {{{"type", "REG_SZ"}, {"data", "12"}}, "234 6 AAAAAAAA"},
           {{{"name", "other"}, {"type", "REG_DWORD"}, {"data", 1}}, "2 4 AAAAAAAA"}}) {
    json key = {{"key", "A\\B\\C"}, {"name", "V"}};
    key.update(value);
    std::string outcome;
    const Machine machine = Machine::FromJson({{"registry", {key}}}, "test");
    const RunResult run = platform::sim::RunFunction(machine, [&] {
      platform::RegKey k;
      for (const char16_t* path : {u"A\\B\\X", u"A\\B\\C\\D", u"A\\B\\", u"A", u"a\\b\\c"}) {
        outcome += std::to_string(platform::OpenRegistryKey(platform::RegistryRoot::kLocalMachine,
                                                            path, 0, platform::kKeyRead, k));
      }
      std::uint32_t size = 4;
      unsigned char b[4] = {0xAA, 0xAA, 0xAA, 0xAA};
      const std::int32_t status = platform::QueryRegistryValue(k, u"v", nullptr, b, &size);
      char bytes[9];
      std::snprintf(bytes, sizeof bytes, "%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
      outcome += " " + std::to_string(status) + " " + std::to_string(size) + " " + bytes;
    });
    outcome +=
        fenwrack_sim::FormatTimeline(run).find(", value") == std::string::npos ? "" : " shown";
    EXPECT_EQ(outcome, "22200 " + expected) << value;
  }
}

TEST(Processes, TitlesAreCutACloseEndsAProcessLaterWithItsHelpersAndAWaitCanTimeOut) {
  std::vector<std::u16string> titles;
  const RunResult run = platform::sim::RunFunction(
      M(R"({"files": [{"path": "C:\\p\\a.exe"}], "processes": [
        {"pid": 8, "name": "ui.exe", "windows": ["One", "Two"], "on_close": {"exit_after_ms": 1000}},
        {"pid": 12, "name": "helper.exe", "ends_with": "ui.exe"},
        {"pid": 16, "name": "hung.exe", "windows": ["Three"], "on_close": "ignore"}]})"),
      [&] {
        for (int max : {4, 3, 1}) {
          char16_t buffer[8] = u"#######";
          platform::ReadWindowText(platform::WindowRef{1}, buffer, max);
          titles.emplace_back(buffer);
        }
        for (std::uintptr_t w : {1u, 2u, 3u})
          platform::PostWindowMessage(platform::WindowRef{w}, platform::kWmClose, 0, 0);
        platform::StartedProcess a;
        platform::WString line = u"C:\\p\\a.exe --x";
        ASSERT_EQ(platform::StartProcess(nullptr, line, 0, 0, a), 1);
        EXPECT_EQ(platform::WaitForObject(a.process, 1000), 258u) << "a.exe runs on";
      });
  std::vector<std::string> at1000;  // a tie goes to the machine's events first
  for (const Event& e : run.events)
    if (e.t == 1000)
      at1000.push_back(e.thread + " " + e.event);
  EXPECT_EQ(at1000,
            (std::vector<std::string>{"system process_exit", "system process_exit", "main end"}));
  EXPECT_EQ(titles, (std::vector<std::u16string>{u"One", u"On", u""})) << "cut and terminated";
}

// The system refuses a request unless the privilege was enabled, as Windows does.
TEST(Shutdown, IsRefusedWithoutTheShutdownPrivilege) {
  for (const char* fault : {"token_open_fails", "privilege_lookup_fails", "privilege_adjust_fails"})
    EXPECT_EQ(Tool(Machine::FromJson({{"faults", {{fault, true}}}}, "t"), u"/shutdown").how,
              EndHow::kExit)
        << fault;
}

// The system needs a moment to end the session: a thread ready at the request still runs, one
// waiting for later does not.
TEST(Shutdown, TakesTheProcessOnceNothingMoreCanRunAtThatMoment) {
  const RunResult run = Tool(M("{}"), u"/checkUSB");  // no registry editor: the reboot at once
  std::vector<std::string> steps;
  for (const Event& e : run.events)
    if (e.event == "exit_windows" || e.event == "status_window" || e.event == "status_text" ||
        e.event == "end")
      steps.push_back(std::to_string(e.t) + " " + e.thread + " " + e.event);
  EXPECT_EQ(steps, (std::vector<std::string>{"0 main exit_windows", "0 status status_window",
                                             "0 system end"}));
  EXPECT_EQ(run.how, EndHow::kReboot);
}

TEST(StatusWindow, WithoutATimerNoTextIsWritten) {
  const RunResult run = Tool(M(R"({"faults": {"timer_fails": true}})"));
  EXPECT_EQ(run.Named("status_window").size(), 1u);
  EXPECT_TRUE(run.Named("status_text").empty());
}

int g_unwound = 0;

TEST(Runs, ThreadsStillParkedAtTheEndAreUnwoundAndAnExceptionIsRethrownAfterwards) {
  static Body forever = [] {
    struct Guard {
      ~Guard() { ++g_unwound; }
    } guard;
    for (;;)
      platform::Pause(10000);
  };
  const RunResult run = platform::sim::RunFunction(M("{}"), [] {
    Spawn(forever);
    Spawn(forever);
    platform::Pause(25000);
  });
  EXPECT_EQ(g_unwound, 2);
  EXPECT_THROW(platform::sim::RunFunction(M("{}"), [] { throw std::runtime_error("boom"); }),
               std::runtime_error);
}

platform::CriticalSection* g_lock = nullptr;
bool g_holdForever = false;

// A lock is handed to its waiter on leave; a thread blocked on a lock held forever is stuck.
TEST(Runs, ALockGoesToItsWaiterAndOneHeldForeverLeavesTheRunStuck) {
  static Body waiter = [] {
    g_lock->Enter();
    platform::Pause(1);
    if (g_holdForever)
      platform::WaitOnCurrentThread();
    g_lock->Leave();
  };
  for (const bool forever : {false, true}) {
    g_holdForever = forever;
    const RunResult run = platform::sim::RunFunction(M("{}"), [] {
      platform::CriticalSection lock;
      g_lock = &lock;
      lock.Enter();
      Spawn(waiter);
      platform::Pause(50);
      lock.Leave();
      platform::Pause(0);
      lock.Enter();  // the waiter has it until its pause is over
      lock.Leave();
    });
    EXPECT_EQ(run.how, forever ? EndHow::kStuck : EndHow::kExit);
    EXPECT_EQ(run.virtualMs, 51u);
    EXPECT_EQ(run.Named("lock_wait").size(), 2u);
  }
}

}  // namespace
