// The simulated platform's calls, each as Windows and Wine answer it: paths, registry reads,
// window texts, closes and waits, the shutdown privilege.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "fenwrack-sim/timeline_text.h"
#include "machine_file/machine.h"
#include "platform/platform.h"
#include "rows.h"
#include "sim/entry.h"
#include "sim/run_result.h"

namespace {

using machine_file::Machine;
using nlohmann::json;
using sim::EndHow;
using sim::RunResult;
using testing_support::RowName;
using testing_support::Rows;

class PathForms : public testing::TestWithParam<json> {};

// A row: a path, whether a search finds it (folders too), and whether it is a file for an open
// and for the interpreter's lookup.
TEST_P(PathForms, AreNormalisedAsWindowsDoesForEveryLookup) {
  const Machine machine =
      Machine::FromJson({{"files",
                          {{{"path", "C:\\W\\cmd.exe"}},
                           {{"path", "C:\\K\\dir.bat"}, {"directory", true}},
                           {{"path", "C:\\K\\bin\\StartUpFW.bat"}, {"starts", {"a.exe"}}}}}},
                        "test");
  const platform::WString path = platform::WidenAnsi(GetParam()["path"].get<std::string>().c_str());
  bool found = false, opened = false;
  sim::RunFunction(machine, [&] {
    found = static_cast<bool>(platform::FindFirst(path));
    opened = static_cast<bool>(platform::OpenCrtFile(path, u"r"));
  });
  EXPECT_EQ(found, GetParam()["found"]);
  EXPECT_EQ(opened, GetParam()["is_file"]);
  const RunResult run = sim::RunFunction(machine, [&] {
    platform::WString line = u"C:\\W\\cmd.exe /C \"\"" + path + u"\"\"";
    platform::StartedProcess started;
    ASSERT_EQ(platform::StartProcess(nullptr, line, 0, 0, started), 1);
    platform::WaitForObject(started.process, platform::kInfinite);
  });
  EXPECT_EQ(run.Named("process_start").size(), GetParam()["is_file"] ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, PathForms, testing::ValuesIn(Rows("sim/path_forms.json")), RowName);

// A file made takes its folder's spelling and loses its trailing dots.
TEST(PathForms, AFileMadeTakesItsFoldersSpelling) {
  const RunResult run = sim::RunFunction(
      Machine::FromJson({{"files", {{{"path", "C:\\K\\dir.bat"}, {"directory", true}}}}}, "test"),
      [] { EXPECT_TRUE(platform::OpenCrtFile(u"c:\\k\\DIR.BAT\\\\.\\Kill.log.", u"a")); });
  EXPECT_EQ(run.changes, std::vector<std::string>{"C:\\K\\dir.bat\\Kill.log: created"});
}

class FourByteRead : public testing::TestWithParam<json> {};

// A row: the value (type and data, or another name), the key opened (A\B\C in other letters
// unless given; a key exists when it or a key below it is described) and whether it opens, and
// what a read of four bytes gives: status and size as Windows gives them, the buffer (0xAA where
// untouched), whether the timeline tells the value.
TEST_P(FourByteRead, GivesStatusSizeAndBytesAsWindowsDoes) {
  json value = {{"key", "A\\B\\C"}, {"name", "V"}};
  value.update(GetParam()["value"]);
  std::int32_t status = -1;
  std::uint32_t size = 4;
  std::array<unsigned char, 4> buffer = {0xAA, 0xAA, 0xAA, 0xAA};
  const RunResult run = sim::RunFunction(Machine::FromJson({{"registry", {value}}}, "test"), [&] {
    platform::RegKey key;
    const std::int32_t opened =
        platform::OpenRegistryKey(platform::RegistryRoot::kLocalMachine,
                                  platform::WidenAnsi(GetParam().value("key", "a\\b\\c").c_str()),
                                  0, platform::kKeyRead, key);
    EXPECT_EQ(opened == 0, GetParam().value("opens", true));
    status =
        opened ? opened : platform::QueryRegistryValue(key, u"v", nullptr, buffer.data(), &size);
  });
  EXPECT_EQ(status, GetParam()["status"]);
  EXPECT_EQ(size, GetParam()["size"]);
  EXPECT_EQ(json(buffer), GetParam()["buffer"]);
  EXPECT_EQ(fenwrack_sim::FormatTimeline(run).find(", value") != std::string::npos,
            GetParam()["shown"]);
}

INSTANTIATE_TEST_SUITE_P(Table, FourByteRead, testing::ValuesIn(Rows("sim/registry_reads.json")),
                         RowName);

// The text is cut to the buffer, its terminator counted.
TEST(WindowText, IsCutToTheBuffer) {
  for (const auto& [max, expected] :
       std::vector<std::pair<int, std::u16string>>{{4, u"One"}, {3, u"On"}, {1, u""}}) {
    std::u16string text;
    sim::RunFunction(
        Machine::FromJson({{"processes", {{{"name", "ui.exe"}, {"windows", {"One"}}}}}}, "test"),
        [&] {
          char16_t buffer[8] = u"#######";
          platform::ReadWindowText(platform::WindowRef{1}, buffer, max);
          text = buffer;
        });
    EXPECT_EQ(text, expected) << max;
  }
}

// A close ends a process in its own time, and its helpers with it; one that ignores closes runs
// on; a wait times out. At one moment the machine's events come before the tool's threads.
TEST(Processes, ACloseEndsAProcessLaterWithItsHelpers) {
  const RunResult run = sim::RunFunction(
      Machine::FromJson(json::parse(R"({"files": [{"path": "C:\\p\\a.exe"}], "processes": [
        {"pid": 8, "name": "ui.exe", "windows": ["One"], "on_close": {"exit_after_ms": 1000}},
        {"pid": 12, "name": "helper.exe", "ends_with": "ui.exe"},
        {"pid": 16, "name": "hung.exe", "windows": ["Two"], "on_close": "ignore"}]})"),
                        "test"),
      [&] {
        for (std::uintptr_t w : {1u, 2u})
          platform::PostWindowMessage(platform::WindowRef{w}, platform::kWmClose, 0, 0);
        platform::StartedProcess a;
        platform::WString line = u"C:\\p\\a.exe --x";
        ASSERT_EQ(platform::StartProcess(nullptr, line, 0, 0, a), 1);
        EXPECT_EQ(platform::WaitForObject(a.process, 1000), 258u) << "a.exe runs on";
      });
  using Step = std::pair<std::string, std::optional<std::uint32_t>>;
  std::vector<Step> at1000;
  for (const auto& e : run.events) {
    const auto* exit = e.As<sim::events::ProcessExit>();
    if (e.t == 1000)
      at1000.emplace_back(e.event, exit ? std::optional(exit->pid) : std::nullopt);
  }
  EXPECT_EQ(at1000,
            (std::vector<Step>{{"process_exit", 8}, {"process_exit", 12}, {"end", std::nullopt}}));
}

// The system needs a moment to end the session: a thread ready at the request still runs, one
// waiting for later does not.
TEST(Shutdown, TakesTheProcessOnceNothingMoreCanRunAtThatMoment) {
  // No registry editor: a reboot at once.
  const RunResult run =
      sim::Run(Machine::FromJson(json::object(), "test"), {u"Fenwrack.exe", u"/checkUSB"});
  std::vector<std::pair<std::string, std::string>> steps;
  for (const auto& e : run.events) {
    if (e.event == "exit_windows" || e.event == "status_window" || e.event == "status_text" ||
        e.event == "end")
      steps.emplace_back(e.thread, e.event);
    EXPECT_EQ(e.t, 0u) << e.event;
  }
  EXPECT_EQ(steps, (std::vector<std::pair<std::string, std::string>>{
                       {"main", "exit_windows"}, {"status", "status_window"}, {"system", "end"}}));
  EXPECT_EQ(run.how, EndHow::kReboot);
}

}  // namespace
