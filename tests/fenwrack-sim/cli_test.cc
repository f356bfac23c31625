// The fenwrack-sim program as people run it: exit statuses, outputs, error lines.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "rows.h"

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

// Test cases run as processes side by side: each gets a folder of its own, gone when it ends.
const struct Folder {
  std::string path = testing::TempDir() + "fenwrack_cli_" + std::to_string(getpid()) + "/";
  Folder() { std::filesystem::create_directory(path); }
  ~Folder() { std::filesystem::remove_all(path); }
  std::string operator()(const std::string& name) const { return path + name; }
} Temp;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// `arguments` may end with redirections of its own.
Outcome Sim(const std::string& arguments) {
  const std::string out = Temp("stdout"), err = Temp("stderr");
  const std::string command =
      std::string("'") + FENWRACK_SIM_PROGRAM + "' >'" + out + "' 2>'" + err + "' " + arguments;
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(out), ReadFile(err)};
}

class ExitStatus : public testing::TestWithParam<nlohmann::json> {};

// A row: the arguments (@ is this test's folder, % the sources; they may end with redirections),
// the status, and with status 2 what the one line on stderr holds, else what stdout holds (none:
// stderr stays empty) and at most how many lines the timeline takes.
TEST_P(ExitStatus, TellsHowTheRunEnded) {
  WriteFile(Temp("stuck.json"), R"({"user": {"closes_usage_box_after_ms": null}})");
  WriteFile(Temp("bad.json"), R"({"processes": [{"pid": 1, "name": "a", "on_close": 5}]})");
  WriteFile(Temp("off.json"), R"({"system": {"power_off": "accept"}})");
  WriteFile(Temp("fw.json"), R"({"processes": [{"name": "Halvmark.exe"}]})");
  WriteFile(Temp("oom.json"), R"({"faults": {"widen_fails_from_call": 1}})");
  WriteFile(Temp("open.json"), R"({"environment": {"Kestrix_SYSTEM_ROOT": "C:\\K"},
      "files": [{"path": "C:\\WINNT\\system32\\cmd.exe", "protected": false}]})");
  WriteFile(Temp("bad.txt"), "# one code\n{XYZ}\n");
  WriteFile(Temp("long.txt"), "{" + std::string(78, 'A') + "}");
  std::string many;
  for (int i = 0; i < 97; ++i)
    many += "{3F2A9C61-7B04-4E8D-A1C5-92D0E6B47F13}\n";
  WriteFile(Temp("many.txt"), many);
  const std::string doc = FENWRACK_MACHINE_DOC, sources = doc.substr(0, doc.rfind("machine_file/"));
  const std::string args = std::regex_replace(
      std::regex_replace(GetParam()["args"].get<std::string>(), std::regex("@"), Temp("")),
      std::regex("%"), sources);
  const int status = GetParam()["status"];
  const std::string says = GetParam().value("says", "");
  const Outcome o = Sim(args);
  EXPECT_EQ(o.status, status) << o.err;
  if (status != 2) {
    EXPECT_TRUE(o.err.empty()) << o.err;
    EXPECT_NE(o.out.find(says), std::string::npos) << o.out;
    if (GetParam().contains("timeline_lines_at_most")) {
      EXPECT_LE(std::ranges::count(o.out.substr(0, o.out.find("\nEnded:")), '\n'),
                GetParam()["timeline_lines_at_most"].get<int>());
    }
    return;
  }
  EXPECT_NE(o.err.find(says), std::string::npos) << o.err;
  EXPECT_EQ(o.err.rfind("fenwrack-sim: ", 0), 0u);
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  EXPECT_TRUE(o.out.empty()) << "nothing is run or written";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatus, testing::ValuesIn(testing_support::Rows("fenwrack-sim/exit_statuses.json")),
    testing_support::RowName);

// The machines of the help and of MACHINE-FILE.md's full example run and start the firmware.
TEST(Cli, TheDocumentedMachinesRun) {
  std::ifstream in(FENWRACK_MACHINE_DOC);
  const std::string doc{std::istreambuf_iterator<char>(in), {}};
  for (const auto& [text, at] :
       {std::pair{Sim("--help").out, R"(\n(  \{"environment"[\s\S]*?)\n\n)"},
        std::pair{doc, R"(## A full example[\s\S]*?```json\n([\s\S]*?)```)"}}) {
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, std::regex(at))) << at;
    WriteFile(Temp("documented.json"), match[1]);
    const Outcome run = Sim("--machine " + Temp("documented.json") + " /restart");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("process_start"), std::string::npos) << at;
  }
}

// The trace keeps every event that the timeline folds.
TEST(Cli, TheTraceKeepsEveryEvent) {
  ASSERT_EQ(Sim("--trace " + Temp("trace.jsonl") + " -- /restart").status, 0);
  const std::string trace = ReadFile(Temp("trace.jsonl"));
  EXPECT_EQ(trace.substr(0, trace.find('\n')),
            R"({"t":0,"thread":"main","event":"lock_init","lock":2})");
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 130) << "every event, the verdict";
}

// A reboot's machine, dumped and run again: the chained /checkUSB finds protection, changes
// nothing.
TEST(Cli, DumpsChainRuns) {
  const std::string after = Temp("after.json");
  const Outcome first =
      Sim("--machine " FENWRACK_EXAMPLES "/write-protection-off.json --dump-machine " + after +
          " /checkUSB");
  ASSERT_EQ(first.status, 0) << first.err;
  const nlohmann::json machine = nlohmann::json::parse(ReadFile(after));
  EXPECT_TRUE(machine["processes"].empty()) << "nothing runs after the reboot";
  const Outcome second = Sim("--machine " + after + " --dump-machine - /checkUSB");
  EXPECT_EQ(nlohmann::json::parse(second.out), machine) << "protected: nothing changes";
}

}  // namespace
