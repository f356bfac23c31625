// The programs the tool starts, as the simulated machine runs them: what the command interpreter
// makes of a command line, and what the installer and the registry editor do in their time.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "machine_file/machine.h"
#include "platform/platform.h"
#include "rows.h"
#include "sim/entry.h"
#include "sim/run_result.h"

namespace {

using machine_file::Machine;
using nlohmann::json;
using sim::RunResult;
using testing_support::RowName;
using testing_support::Rows;
using testing_support::TestFile;

// The machine of analyzer.json, its settings file from settings.reg, with `processes` running.
json Analyzer(bool administrator, const json& processes) {
  json machine = json::parse(TestFile("sim/analyzer.json"));
  const std::string lines = TestFile("sim/settings.reg");
  for (json& file : machine["files"]) {
    if (file["path"] == "C:\\K\\a b.reg")
      file["content"] = std::regex_replace(lines, std::regex("\n"), "\r\n");
  }
  machine["system"]["administrator"] = administrator;
  machine["processes"] = processes;
  return machine;
}

// Runs a command line until its program ends; one that starts with / is the interpreter's.
RunResult Start(std::string command, bool administrator = true,
                const json& processes = json::array()) {
  return sim::RunFunction(Machine::FromJson(Analyzer(administrator, processes), "test"), [&] {
    platform::WString line =
        platform::WidenAnsi((command[0] == '/' ? "C:\\W\\cmd.exe " + command : command).c_str());
    platform::StartedProcess started;
    ASSERT_EQ(platform::StartProcess(nullptr, line, 0, 0, started), 1);
    platform::WaitForObject(started.process, platform::kInfinite);
  });
}

class Interpreter : public testing::TestWithParam<json> {};

// A row: the interpreter's line, and each command it took: a script that runs, one not found, or
// a built-in command.
TEST_P(Interpreter, QuotesThenExpandsThenRunsEachCommandItWould) {
  json commands = json::array();
  for (const sim::events::Script& e : Start(GetParam()["line"]).All<sim::events::Script>()) {
    if (e.builtin)
      commands.push_back({{"built_in", e.command}});
    else
      commands.push_back({{e.runs ? "runs" : "not_found", e.path}});
  }
  EXPECT_EQ(commands, GetParam()["commands"]);
}

INSTANTIATE_TEST_SUITE_P(Table, Interpreter, testing::ValuesIn(Rows("sim/interpreter.json")),
                         RowName);

class OutsidePrograms : public testing::TestWithParam<json> {};

// A row: a program's command line, the account, the processes that run already, when the run
// ends, and what the program did on the system's thread, apart from the processes' ends and the
// script lines.
TEST_P(OutsidePrograms, DoWhatTheirSwitchesSayInTheirTime) {
  const json& c = GetParam();
  const RunResult run = Start(c["command"], c["administrator"], c.value("running", json::array()));
  json done = json::array();
  for (const auto& e : run.events) {
    if (e.thread == "system" && e.event != "script" && e.event != "process_exit") {
      json step = sim::FieldsJson(e);  // as the trace writes it
      step["event"] = e.event;
      done.push_back(step);
    }
  }
  EXPECT_EQ(run.virtualMs, c["ends_at_ms"]);
  EXPECT_EQ(done, c["done"]);
}

INSTANTIATE_TEST_SUITE_P(Table, OutsidePrograms,
                         testing::ValuesIn(Rows("sim/outside_programs.json")), RowName);

}  // namespace
