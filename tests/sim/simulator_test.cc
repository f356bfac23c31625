// The simulated platform: the Windows behaviours it imitates, its clock and threads, and how a
// run ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/firmware_control.h"
#include "platform/platform.h"
#include "platform/sim/simulator.h"

namespace {

using nlohmann::json;
using platform::sim::EndHow;
using platform::sim::Event;
using platform::sim::Machine;
using platform::sim::RunResult;

Machine M(const char* document) {
  return Machine::FromJson(json::parse(document), "test");
}

TEST(Determinism, TheSameMachineAndArgumentsGiveTheSameTraceByteForByte) {
  for (const char16_t* op : {u"/restart", u"/deinstall", u"/shutdown", u""}) {
    const std::vector<std::u16string> args = {u"Fenwrack.exe", op};
    const std::string first =
        platform::sim::FormatJsonLines(platform::sim::Run(Machine::Demo(), args));
    for (int i = 0; i < 3; ++i) {
      const RunResult again = platform::sim::Run(Machine::Demo(), args);
      ASSERT_EQ(platform::sim::FormatJsonLines(again), first);
    }
  }
}

TEST(Demo, RestartTellsTheWholeStory) {
  const RunResult run = platform::sim::Run(Machine::Demo(), {u"Fenwrack.exe", u"/restart"});
  EXPECT_EQ(run.Named("post_message").size(), 4u) << "three windows, one slow to close";
  EXPECT_EQ(run.Named("process_exit").size(), 4u);
  EXPECT_EQ(run.Named("snapshot").size(), 31u) << "30 passes and the forced kill";
  const auto killed = run.Named("terminate_process");
  ASSERT_EQ(killed.size(), 1u);
  EXPECT_EQ(killed[0].t, 35000u);
  EXPECT_EQ(run.virtualMs, 40000u);
  EXPECT_EQ(run.changes.front(), "process 1204 Halvmark.exe terminated");
  EXPECT_EQ(run.changes.back(), "C:\\Kestrix\\Instr\\log\\FWKill.log: created, 1 line appended");
  // The interpreter finished after the run; the firmware it started runs on.
  std::vector<std::string> running;
  for (const json& p : run.machineAfter["processes"])
    running.push_back(p["name"]);
  EXPECT_EQ(running, (std::vector<std::string>{"Halvmark.exe", "Quenstead.exe", "Quenstead_d.exe",
                                               "Tarnwick.exe", "Talvora.exe"}));
  const std::string timeline = platform::sim::FormatTimeline(run);
  EXPECT_NE(timeline.find("\nEnded: exit code 0\nVirtual length: 40.000 s\nChanges:\n"),
            std::string::npos);
}

class TraceInvariants : public testing::TestWithParam<const char16_t*> {};

// Whatever the operation: one end, last; time never runs backwards; only the known threads; at
// most one timeline line per event, even for texts with line breaks.
TEST_P(TraceInvariants, HoldForEveryOperationOnTheDemo) {
  const RunResult run = platform::sim::Run(Machine::Demo(), {u"Fenwrack.exe", GetParam()});
  ASSERT_FALSE(run.events.empty());
  EXPECT_EQ(run.events.back().event, "end");
  EXPECT_EQ(run.Named("end").size(), 1u);
  EXPECT_EQ(run.events.back().t, run.virtualMs);
  std::uint64_t last = 0;
  for (const Event& e : run.events) {
    EXPECT_GE(e.t, last) << e.event;
    last = e.t;
    EXPECT_TRUE(e.thread == "main" || e.thread == "status" || e.thread == "worker" ||
                e.thread == "system")
        << e.thread;
    EXPECT_TRUE(e.fields.is_object()) << e.event;
  }
  const std::string timeline = platform::sim::FormatTimeline(run);
  const std::size_t summary = timeline.find("\n\nEnded: ");
  ASSERT_NE(summary, std::string::npos);
  EXPECT_LE(static_cast<std::size_t>(std::count(
                timeline.begin(), timeline.begin() + static_cast<std::ptrdiff_t>(summary), '\n')) +
                1,
            run.events.size());
  const std::string jsonl = platform::sim::FormatJsonLines(run);
  EXPECT_EQ(static_cast<std::size_t>(std::count(jsonl.begin(), jsonl.end(), '\n')),
            run.events.size());
}

INSTANTIATE_TEST_SUITE_P(Operations, TraceInvariants,
                         testing::Values(u"", u"/terminate", u"/restart", u"/shutdown",
                                         u"/deinstall", u"/checkUSB"));

struct ScriptCase {
  const char* commandLine;
  bool runs;
};

void PrintTo(const ScriptCase& c, std::ostream* os) {
  *os << c.commandLine;
}

class InterpreterQuotes : public testing::TestWithParam<ScriptCase> {};

TEST_P(InterpreterQuotes, FollowTheCommandInterpretersRule) {
  const Machine machine = M(R"({"files": [
      {"path": "C:\\WINNT\\system32\\cmd.exe"},
      {"path": "C:\\Program Files (x86)\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
      {"path": "C:\\Program Files\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
      {"path": "C:\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
      {"path": "C:\\K\\dir.bat", "directory": true}]})");
  const RunResult run = platform::sim::RunFunction(machine, [] {
    const platform::WString application = u"C:\\WINNT\\system32\\cmd.exe";
    std::u16string line;
    for (const char* c = GetParam().commandLine; *c; ++c)
      line.push_back(static_cast<char16_t>(*c));
    platform::StartedProcess started;
    ASSERT_EQ(platform::StartProcess(&application, line, 0, 0, started), 1);
  });
  const auto scripts = run.Named("script");
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].fields["runs"], GetParam().runs) << scripts[0].fields.dump();
  EXPECT_EQ(run.Named("process_start").size(), GetParam().runs ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InterpreterQuotes,
    testing::Values(ScriptCase{R"(/C "C:\Program Files (x86)\K\bin\StartUpFW.bat")", false},
                    ScriptCase{R"(/C ""C:\Program Files (x86)\K\bin\StartUpFW.bat"")", true},
                    ScriptCase{R"(/C "C:\Program Files\K\bin\StartUpFW.bat")", true},
                    ScriptCase{R"(/C "C:\Program Files\K\bin\Missing.bat")", false},
                    ScriptCase{R"(/C "C:\K\bin\StartUpFW.bat")", true},
                    ScriptCase{R"(/C ""C:\K\bin\StartUpFW.bat"")", true},
                    ScriptCase{R"(/c C:\k\BIN\startupfw.bat)", true},
                    ScriptCase{R"(/C C:\K\bin\StartUpFW.bat&x)", true},
                    ScriptCase{R"(/C ""C:\K\dir.bat"")", false}));

struct QueryCase {
  const char* type;
  json data;
  std::int32_t status;
  std::uint32_t size;
  std::array<unsigned char, 4> buffer;
};

void PrintTo(const QueryCase& c, std::ostream* os) {
  *os << (*c.type ? c.type : "no value") << " " << c.data.dump();
}

class RegistryQuery : public testing::TestWithParam<QueryCase> {};

// As measured on Windows and Wine, with a 4-byte buffer filled with 0xAA beforehand.
TEST_P(RegistryQuery, AFourByteReadBehavesAsOnWindows) {
  json document = {{"registry", json::array()}};
  if (*GetParam().type != 0)
    document["registry"].push_back(
        {{"key", "A\\B"}, {"name", "V"}, {"type", GetParam().type}, {"data", GetParam().data}});
  else
    document["registry"].push_back({{"key", "A\\B"}});
  std::int32_t status = -1;
  std::uint32_t size = 4;
  std::array<unsigned char, 4> buffer{0xAA, 0xAA, 0xAA, 0xAA};
  platform::sim::RunFunction(Machine::FromJson(document, "test"), [&] {
    platform::RegKey key;
    ASSERT_EQ(platform::OpenRegistryKey(platform::RegistryRoot::kLocalMachine, u"a\\b", 0,
                                        platform::kKeyRead, key),
              0);
    status = platform::QueryRegistryValue(key, u"v", buffer.data(), &size);
  });
  EXPECT_EQ(status, GetParam().status);
  EXPECT_EQ(size, GetParam().size);
  EXPECT_EQ(buffer, GetParam().buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegistryQuery,
    testing::Values(QueryCase{"REG_DWORD", 0x01020304, 0, 4, {4, 3, 2, 1}},
                    QueryCase{"REG_QWORD", 1, 234, 8, {0xAA, 0xAA, 0xAA, 0xAA}},
                    QueryCase{"REG_SZ", "1", 0, 4, {0x31, 0, 0, 0}},
                    QueryCase{"REG_SZ", "12", 234, 6, {0xAA, 0xAA, 0xAA, 0xAA}},
                    QueryCase{"REG_BINARY", "01", 0, 1, {1, 0xAA, 0xAA, 0xAA}},
                    QueryCase{"", nullptr, 2, 4, {0xAA, 0xAA, 0xAA, 0xAA}}));

TEST(Registry, AKeyExistsThroughItsSubkeysAndAMissingOneIsTwo) {
  std::vector<std::int32_t> statuses;
  platform::sim::RunFunction(
      M(R"({"registry": [{"key": "A\\B\\C", "name": "", "type": "REG_SZ", "data": ""}]})"), [&] {
        for (const char16_t* key : {u"A", u"a\\b", u"A\\B\\C", u"A\\B\\C\\D", u"A\\X", u"A\\B\\"}) {
          platform::RegKey handle;
          statuses.push_back(platform::OpenRegistryKey(platform::RegistryRoot::kLocalMachine, key,
                                                       0, platform::kKeyRead, handle));
        }
      });
  EXPECT_EQ(statuses, (std::vector<std::int32_t>{0, 0, 0, 2, 2, 2}));
}

TEST(Files, AppendingCreatesAFileOnlyInAnExistingFolderAndWritesCrLfInTextMode) {
  const RunResult run = platform::sim::RunFunction(
      M(R"({"files": [{"path": "C:\\Log", "directory": true}, {"path": "C:\\Data\\old.txt",
            "content": "x\r\n"}, {"path": "C:\\Data\\locked.txt", "writable": false}]})"),
      [] {
        EXPECT_FALSE(platform::OpenCrtFile(u"C:\\Missing\\new.log", u"a"));
        EXPECT_FALSE(platform::OpenCrtFile(u"C:\\Data\\locked.txt", u"a"));
        EXPECT_FALSE(platform::OpenCrtFile(u"C:\\Log", u"a"));
        const platform::CrtFile text = platform::OpenCrtFile(u"c:\\log\\New.log", u"a");
        ASSERT_TRUE(text);
        EXPECT_GE(platform::WriteCrtText(text, "one\ntwo\n"), 0);
        const platform::CrtFile binary = platform::OpenCrtFile(u"C:\\DATA\\OLD.TXT", u"ab");
        ASSERT_TRUE(binary);
        EXPECT_GE(platform::WriteCrtText(binary, "y\n"), 0);
        const platform::CrtFile reading = platform::OpenCrtFile(u"C:\\Data\\old.txt", u"r");
        EXPECT_LT(platform::WriteCrtText(reading, "z"), 0);
      });
  std::map<std::string, std::string> content;
  for (const json& f : run.machineAfter["files"])
    content[f["path"]] = f.value("content", "");
  EXPECT_EQ(content["c:\\log\\New.log"], "one\r\ntwo\r\n");
  EXPECT_EQ(content["C:\\Data\\old.txt"], "x\r\ny\n");
  EXPECT_EQ(content.count("C:\\Missing\\new.log"), 0u);
  EXPECT_EQ(run.changes, (std::vector<std::string>{"C:\\Data\\old.txt: 1 line appended",
                                                   "c:\\log\\New.log: created, 2 lines appended"}));
}

TEST(Files, SearchesFindFilesAndFoldersWhateverTheCaseAndReadingNeedsAFile) {
  std::vector<bool> found;
  std::vector<bool> opened;
  platform::sim::RunFunction(
      M(R"({"files": [{"path": "C:\\K\\bin\\a.bat"}, {"path": "C:\\K\\secret", "readable": false}]})"),
      [&] {
        for (const char16_t* p : {u"C:\\K\\bin\\a.bat", u"c:\\k\\BIN", u"C:\\K", u"C:\\K\\bi",
                                  u"C:\\K\\bin\\a.ba", u"C:/K/bin/a.bat"}) {
          found.push_back(static_cast<bool>(platform::FindFirst(p)));
        }
        for (const char16_t* p : {u"C:\\K\\BIN\\A.BAT", u"C:\\K\\bin", u"C:\\K\\secret"})
          opened.push_back(static_cast<bool>(platform::OpenCrtFile(p, u"r")));
      });
  EXPECT_EQ(found, (std::vector<bool>{true, true, true, false, false, true}));
  EXPECT_EQ(opened, (std::vector<bool>{true, false, false}));
}

TEST(Text, WideningUsesCodePage1252) {
  EXPECT_EQ(platform::WidenAnsi("A\x80\x81\x8A\x9F\xA0\xE9\xFF"),
            u"A\u20AC\u0081\u0160\u0178\u00A0\u00E9\u00FF");
  EXPECT_EQ(platform::WidenAnsi(""), u"");
}

TEST(Windows, TitlesAreReadCutAndTerminated) {
  std::vector<std::u16string> read;
  std::vector<int> lengths;
  platform::sim::RunFunction(
      Machine::FromJson(
          {{"processes", {{{"name", "a.exe"}, {"windows", {std::string(300, 'P')}}}}}}, "test"),
      [&] {
        for (int max : {256, 3, 1}) {
          char16_t buffer[256];
          std::fill(std::begin(buffer), std::end(buffer), u'#');
          lengths.push_back(platform::ReadWindowText(platform::WindowRef{1}, buffer, max));
          read.emplace_back(buffer);
        }
      });
  EXPECT_EQ(lengths, (std::vector<int>{255, 2, 0}));
  EXPECT_EQ(read, (std::vector<std::u16string>{std::u16string(255, u'P'), u"PP", u""}));
}

TEST(Processes, ACloseRequestEndsTheWholeProcessLaterAndItsHelpersWithIt) {
  const RunResult run = platform::sim::RunFunction(
      M(R"({"processes": [
        {"pid": 8, "name": "ui.exe", "windows": ["One", "Two"], "on_close": {"exit_after_ms": 700}},
        {"pid": 12, "name": "helper.exe", "ends_with": "ui.exe"},
        {"pid": 16, "name": "hung.exe", "windows": ["Three"], "on_close": "ignore"}]})"),
      [] {
        for (std::uintptr_t w : {1u, 2u, 3u})
          platform::PostWindowMessage(platform::WindowRef{w}, platform::kWmClose, 0, 0);
        platform::Pause(1000);
        EXPECT_EQ(platform::PostWindowMessage(platform::WindowRef{1}, platform::kWmClose, 0, 0), 0)
            << "its windows went with it";
      });
  const auto exits = run.Named("process_exit");
  ASSERT_EQ(exits.size(), 2u);
  EXPECT_EQ(exits[0].t, 700u);
  EXPECT_EQ(exits[0].fields["pid"], 8);
  EXPECT_EQ(exits[1].fields["pid"], 12);
  EXPECT_EQ(run.machineAfter["processes"].size(), 1u);
}

TEST(Installer, RemovesAProductWhileTheToolWaits) {
  const RunResult run = platform::sim::RunFunction(
      M(R"({"files": [{"path": "C:\\W\\msiexec.exe"}], "system": {"installer_ms": 2500},
            "products": [{"code": "{AB}", "state": 5}, {"code": "{CD}", "removal_works": false}]})"),
      [] {
        for (const char16_t* code : {u"{ab}", u"{CD}"}) {
          platform::WString line =
              u"\"C:\\W\\msiexec.exe\" /x " + platform::WString(code) + u" /qb!-";
          platform::StartedProcess started;
          ASSERT_EQ(
              platform::StartProcess(nullptr, line, 0, platform::kNormalPriorityClass, started), 1);
          EXPECT_EQ(platform::WaitForObject(started.process, platform::kInfinite), 0u);
        }
        const auto query = platform::ProductStateQuery::Bind();
        EXPECT_EQ(query(u"{AB}"), -1);
        EXPECT_EQ(query(u"{cd}"), 5);
      });
  const auto removals = run.Named("msi_uninstall");
  ASSERT_EQ(removals.size(), 2u);
  EXPECT_EQ(removals[0].t, 2500u);
  EXPECT_EQ(removals[0].fields["removed"], true);
  EXPECT_EQ(removals[1].fields["removed"], false);
  EXPECT_EQ(run.virtualMs, 5000u);
  EXPECT_EQ(run.changes, (std::vector<std::string>{"process 4 msiexec.exe started and ended",
                                                   "process 8 msiexec.exe started and ended",
                                                   "product {AB} removed"}));
}

TEST(RegistryEditor, ImportsTheDwordValuesOfTheMachinesSection) {
  const RunResult run = platform::sim::RunFunction(
      M(R"({"files": [{"path": "C:\\W\\regedit.exe"}, {"path": "C:\\s.reg", "content":
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Sys\\P]\r\n\"WriteProtect\"=dword:00000001\r\n\"Text\"=\"x\"\r\n[HKEY_CURRENT_USER\\U]\r\n\"Other\"=dword:2\r\n"}],
        "registry": [{"key": "sys\\p", "name": "writeprotect", "type": "REG_DWORD", "data": 0}]})"),
      [] {
        const platform::WString editor = u"C:\\W\\regedit.exe";
        platform::WString line = u" /s \"C:\\s.reg\"";
        platform::StartedProcess started;
        ASSERT_EQ(platform::StartProcess(&editor, line, 0, 0, started), 1);
        platform::WaitForObject(started.process, platform::kInfinite);
      });
  ASSERT_EQ(run.Named("reg_import").size(), 1u);
  EXPECT_EQ(run.Named("reg_import")[0].t, 300u);
  EXPECT_EQ(run.changes.back(), "registry HKLM\\sys\\p\\writeprotect: 0 -> 1");
}

struct ShutdownCase {
  const char* fault;
  bool accepted;
};

void PrintTo(const ShutdownCase& c, std::ostream* os) {
  *os << (*c.fault ? c.fault : "no fault");
}

class Shutdown : public testing::TestWithParam<ShutdownCase> {};

// The system refuses a request unless the privilege was enabled, as Windows does.
TEST_P(Shutdown, NeedsTheShutdownPrivilege) {
  json machine = {{"processes", {{{"pid", 4}, {"name", "a.exe"}}}}};
  if (*GetParam().fault != 0)
    machine["faults"][GetParam().fault] = true;
  const RunResult run =
      platform::sim::Run(Machine::FromJson(machine, "test"), {u"Fenwrack.exe", u"/shutdown"});
  EXPECT_EQ(run.Named("exit_windows").at(0).fields["accepted"], GetParam().accepted);
  EXPECT_EQ(run.how, GetParam().accepted ? EndHow::kPowerOff : EndHow::kExit);
  EXPECT_EQ(run.machineAfter["processes"].size(), GetParam().accepted ? 0u : 1u);
  if (GetParam().accepted) {
    EXPECT_EQ(run.changes, std::vector<std::string>{"process 4 a.exe ended by the power-off"});
    EXPECT_EQ(run.events.back().event, "end");
    EXPECT_EQ(run.events[run.events.size() - 2].event, "wait_self");
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, Shutdown,
                         testing::Values(ShutdownCase{"", true},
                                         ShutdownCase{"token_open_fails", false},
                                         ShutdownCase{"privilege_lookup_fails", false},
                                         ShutdownCase{"privilege_adjust_fails", false}));

// ---- The clock, the threads and the end of a run

struct Guard {
  int* destroyed;
  ~Guard() { ++*destroyed; }
};

unsigned SleepForever(void* arg) {
  Guard guard{static_cast<int*>(arg)};
  for (;;)
    platform::Pause(10000);
}

TEST(Runs, ThreadsStillParkedAtTheEndAreUnwoundAndNothingAfterTheEndIsRecorded) {
  int destroyed = 0;
  const RunResult run = platform::sim::RunFunction(Machine::FromJson(json::object(), "t"), [&] {
    platform::BeginThread(&SleepForever, &destroyed, {"SleepForever", "worker"});
    platform::BeginThread(&SleepForever, &destroyed, {"SleepForever", "worker"});
    platform::Pause(25000);
  });
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(run.how, EndHow::kExit);
  EXPECT_EQ(run.virtualMs, 25000u);
  EXPECT_EQ(run.events.back().event, "end");
  EXPECT_EQ(run.Named("sleep").size(), 1u + 2u * 3u) << "main once, each worker at 0, 10 and 20 s";
}

TEST(Runs, ProcessGlobalsStartFreshInEveryRun) {
  const Machine empty = Machine::FromJson(json::object(), "t");
  for (int i = 0; i < 3; ++i) {
    platform::sim::RunFunction(empty, [] {
      EXPECT_EQ(*g_workerRunning, 0);
      EXPECT_EQ(*g_killOnTimeout, 0);
      *g_workerRunning = 1;
      *g_killOnTimeout = 7;
    });
  }
}

TEST(Runs, AnExceptionInTheRunIsRethrownAfterTheRunIsTornDown) {
  const Machine empty = Machine::FromJson(json::object(), "t");
  EXPECT_THROW(platform::sim::RunFunction(empty, [] { throw std::runtime_error("boom"); }),
               std::runtime_error);
  EXPECT_EQ(platform::sim::RunFunction(empty, [] { platform::Pause(5); }).virtualMs, 5u);
}

TEST(Runs, ATieGoesToMachineEventsFirstThenToThreadsInCreationOrder) {
  const RunResult run = platform::sim::RunFunction(
      M(R"({"processes": [{"pid": 4, "name": "a.exe", "windows": ["A"],
                           "on_close": {"exit_after_ms": 1000}}]})"),
      [] {
        platform::PostWindowMessage(platform::WindowRef{1}, platform::kWmClose, 0, 0);
        platform::BeginThread(
            [](void*) -> unsigned {
              platform::Pause(1000);
              return 0;
            },
            nullptr, {"Second", "worker"});
        platform::Pause(1000);
      });
  std::vector<std::string> at1000;
  for (const Event& e : run.events) {
    if (e.t == 1000)
      at1000.push_back(e.thread + " " + e.event);
  }
  EXPECT_EQ(at1000, (std::vector<std::string>{"system process_exit", "main end"}));
}

struct StuckCase {
  const char* what;
  const char* machine;
  std::uint64_t virtualMs;
  const char* reason;
};

void PrintTo(const StuckCase& c, std::ostream* os) {
  *os << c.what;
}

class Stuck : public testing::TestWithParam<StuckCase> {};

TEST_P(Stuck, ARunThatCanNeverEndStops) {
  const RunResult run = platform::sim::Run(M(GetParam().machine), {u"Fenwrack.exe"});
  EXPECT_EQ(run.how, EndHow::kStuck);
  EXPECT_EQ(run.virtualMs, GetParam().virtualMs);
  EXPECT_EQ(run.events.back().fields["reason"], GetParam().reason);
  EXPECT_NE(platform::sim::FormatTimeline(run).find(std::string("Ended: stuck (") +
                                                    GetParam().reason + ")"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Stuck,
    testing::Values(StuckCase{"the status window ticks on",
                              R"({"user": {"closes_usage_box_after_ms": null}})", 3600000,
                              "the time limit of one hour was reached"},
                    StuckCase{"nothing else runs",
                              R"({"user": {"closes_usage_box_after_ms": null},
                                  "faults": {"thread_start_fails": ["status"]}})",
                              0, "nothing can run any more"}));

struct Shared {
  platform::CriticalSection lock;
};

TEST(Runs, AThreadBlockedOnALockHeldForeverIsStuck) {
  const RunResult run = platform::sim::RunFunction(Machine::FromJson(json::object(), "t"), [] {
    static Shared* shared;
    Shared local;
    shared = &local;
    platform::BeginThread(
        [](void*) -> unsigned {
          shared->lock.Enter();
          platform::WaitOnCurrentThread();
          return 0;
        },
        nullptr, {"Holder", "worker"});
    platform::Pause(10);
    local.lock.Enter();
  });
  EXPECT_EQ(run.how, EndHow::kStuck);
  EXPECT_EQ(run.virtualMs, 10u);
  EXPECT_EQ(run.Named("lock_wait").size(), 1u);
}

TEST(Runs, ALockIsHandedToItsWaiterOnLeave) {
  const RunResult run = platform::sim::RunFunction(Machine::FromJson(json::object(), "t"), [] {
    static Shared* shared;
    Shared local;
    shared = &local;
    local.lock.Enter();
    platform::BeginThread(
        [](void*) -> unsigned {
          shared->lock.Enter();
          platform::Pause(1);
          shared->lock.Leave();
          return 0;
        },
        nullptr, {"Waiter", "worker"});
    platform::Pause(50);
    local.lock.Leave();
    platform::Pause(0);
    local.lock.Enter();  // the waiter has it until its pause is over
    local.lock.Leave();
  });
  EXPECT_EQ(run.how, EndHow::kExit);
  EXPECT_EQ(run.virtualMs, 51u);
  EXPECT_EQ(run.Named("lock_wait").size(), 2u);
}

TEST(StatusWindow, EnterOrEscapeReachesTheDialogAsOkOrCancel) {
  for (const auto& [key, result] : {std::pair{"Enter", 1}, std::pair{"Escape", 2}}) {
    json machine = {{"user", {{"status_window_key", {{"key", key}, {"after_ms", 250}}}}}};
    const RunResult run = platform::sim::Run(Machine::FromJson(machine, "t"), {u"Fenwrack.exe"});
    const auto ends = run.Named("dialog_end");
    ASSERT_EQ(ends.size(), 1u) << key;
    EXPECT_EQ(ends[0].t, 250u);
    EXPECT_EQ(ends[0].fields["result"], result);
    EXPECT_EQ(run.virtualMs, 1000u) << "the usage box is closed as usual";
  }
}

TEST(StatusWindow, WithoutATimerTheTextIsNeverWritten) {
  const RunResult run =
      platform::sim::Run(M(R"({"faults": {"timer_fails": true}})"), {u"Fenwrack.exe"});
  EXPECT_EQ(run.Named("status_window").size(), 1u);
  EXPECT_TRUE(run.Named("status_text").empty());
}

TEST(Processes, AStartCanFailByFaultAndAWaitCanTimeOut) {
  const RunResult run = platform::sim::RunFunction(
      M(R"({"files": [{"path": "C:\\p\\a.exe"}, {"path": "C:\\p\\b.exe"}],
            "faults": {"process_start_fails": ["B.EXE"]}})"),
      [] {
        platform::StartedProcess a, b;
        platform::WString lineA = u"C:\\p\\a.exe --x", lineB = u"C:\\p\\b.exe";
        EXPECT_EQ(platform::StartProcess(nullptr, lineA, 0, 0, a), 1);
        EXPECT_EQ(platform::StartProcess(nullptr, lineB, 0, 0, b), 0);
        EXPECT_FALSE(b.process);
        EXPECT_EQ(platform::WaitForObject(a.process, 750), 258u) << "a.exe runs on";
      });
  EXPECT_EQ(run.virtualMs, 750u);
  EXPECT_EQ(run.changes, std::vector<std::string>{"process 4 a.exe started"});
}

TEST(Snapshots, FailFromTheNthAndCanBeSlow) {
  const RunResult run =
      platform::sim::RunFunction(M(R"({"processes": [{"name": "a.exe"}],
            "faults": {"snapshot_fails_from": 3, "snapshot_delay_ms": 40}})"),
                                 [] {
                                   for (int i = 0; i < 4; ++i)
                                     platform::TakeSnapshot(platform::kSnapProcess, 0);
                                 });
  std::vector<bool> ok;
  for (const Event& e : run.Named("snapshot"))
    ok.push_back(e.fields["ok"]);
  EXPECT_EQ(ok, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(run.virtualMs, 160u);
}

}  // namespace
