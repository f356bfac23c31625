// The fenwrack-sim program as people run it: exit statuses, outputs, error lines.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "app/fenwrack_app.h"
#include "platform/sim/simulator.h"
#include "platform/sim/text.h"

namespace {

using nlohmann::json;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Test cases run as processes side by side: each gets files of its own.
std::string Temp(const std::string& name) {
  return testing::TempDir() + "fenwrack_cli_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
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
  Outcome o;
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  o.out = ReadFile(out);
  o.err = ReadFile(err);
  return o;
}

struct StatusCase {
  const char* what;
  std::string arguments;
  int status;
  std::string error;  // what the one line on stderr holds; none: stderr stays empty
};

void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << c.what;
}

class ExitStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(ExitStatus, TellsHowTheRunEnded) {
  WriteFile(Temp("stuck.json"), R"({"user": {"closes_usage_box_after_ms": null}})");
  WriteFile(Temp("bad.json"), R"({"processes": [{"pid": 1, "name": "a", "on_close": 5}]})");
  WriteFile(Temp("off.json"), R"({"system": {"power_off": "accept"}})");
  WriteFile(Temp("oom.json"), R"({"faults": {"widen_fails_from_call": 1}})");
  const StatusCase& c = GetParam();
  const Outcome o = Sim(c.arguments);
  EXPECT_EQ(o.status, c.status) << o.err;
  if (c.error.empty()) {
    EXPECT_TRUE(o.err.empty()) << o.err;
    return;
  }
  EXPECT_NE(o.err.find(c.error), std::string::npos) << o.err;
  EXPECT_EQ(o.err.rfind("fenwrack-sim: ", 0), 0u);
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  if (c.arguments.find("/dev/full") == std::string::npos) {
    EXPECT_TRUE(o.out.empty()) << "nothing is run or written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatus,
    testing::Values(
        StatusCase{"usage box", "", 0, ""}, StatusCase{"restart", "/restart", 0, ""},
        StatusCase{"power-off", "--machine " + Temp("off.json") + " /shutdown", 0, ""},
        StatusCase{"help", "--help", 0, ""}, StatusCase{"version", "--version", 0, ""},
        StatusCase{"out of memory", "--machine " + Temp("oom.json") + " /deinstall", 1, ""},
        StatusCase{"stuck", "--machine=" + Temp("stuck.json"), 3, ""},
        StatusCase{"stuck from stdin", "--machine - <" + Temp("stuck.json"), 3, ""},
        StatusCase{"unknown option", "--fast /restart", 2, "unknown option --fast"},
        StatusCase{"option without file", "--trace", 2, "--trace needs a file name"},
        StatusCase{"option twice", "--trace a --trace b", 2, "--trace given twice"},
        StatusCase{"both to stdout", "--trace - --dump-machine -", 2, "cannot both write"},
        StatusCase{"one file twice",
                   "--trace " + Temp("x") + " --dump-machine " + testing::TempDir() + "/./" +
                       Temp("x").substr(testing::TempDir().size()),
                   2, "--trace and --dump-machine cannot both write"},
        StatusCase{"missing machine", "--machine " + Temp("none.json"), 2,
                   "none.json: no such file"},
        StatusCase{"directory machine", "--machine " + testing::TempDir(), 2, ": is a directory"},
        StatusCase{
            "bad machine", "--machine " + Temp("bad.json"), 2,
            "bad.json:1:40: /processes/0/on_close: expected \"ignore\" or {\"exit_after_ms\": N}"},
        StatusCase{"unwritable trace", "--trace /nonexistent/dir/t.jsonl", 2,
                   "--trace: cannot write /nonexistent/dir/t.jsonl: no such file"},
        StatusCase{"full trace", "--trace /dev/full", 2, "no space left on the device"},
        StatusCase{"full stdout", "/restart >/dev/full", 2,
                   "standard output: cannot write: no space left on the device"}));

TEST(Cli, TheHelpsMachineFileRuns) {
  const Outcome help = Sim("--help");
  const std::size_t start = help.out.find("\n  {\"environment\"");
  const std::size_t end = help.out.find("\n\n", start);
  ASSERT_NE(start, std::string::npos);
  const std::string path = Temp("help.json");
  WriteFile(path, help.out.substr(start, end - start));
  const Outcome run = Sim("--machine " + path + " /restart");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("process_start"), std::string::npos);
}

TEST(Cli, NoArgumentsShowsTheExactUsageTextAndEndsWithZero) {
  const Outcome o = Sim("--trace -");
  ASSERT_EQ(o.status, 0);
  std::istringstream lines(o.out);
  std::string line;
  json box, end;
  while (std::getline(lines, line)) {
    const json event = json::parse(line);
    ASSERT_TRUE(event.contains("t") && event.contains("thread") && event.contains("event"));
    if (event["event"] == "message_box")
      box = event;
    end = event;
  }
  ASSERT_TRUE(box.is_object()) << o.out;
  const std::string text = box["text"];
  EXPECT_EQ(text, platform::sim::detail::Utf16ToUtf8(kUsageText));
  EXPECT_EQ(text.size(), 394u);
  EXPECT_EQ(box["caption"], "Fenwrack Usage");
  EXPECT_EQ(box["style"], 0x40);
  EXPECT_EQ(box["thread"], "main");
  EXPECT_EQ(end["event"], "end");
  EXPECT_EQ(end["how"], "exit");
  EXPECT_EQ(end["code"], 0);
}

// The trace keeps every event; the timeline shows polling once, with a count.
TEST(Cli, TheTimelineAndTheTraceTellTheSameRun) {
  const std::string trace = Temp("trace.jsonl");
  const Outcome o = Sim("--trace " + trace + " -- /restart");
  ASSERT_EQ(o.status, 0);
  const std::string jsonl = ReadFile(trace);
  const std::string summary = "\nEnded: exit code 0\nVirtual length: 40.000 s\nChanges:\n";
  const std::size_t at = o.out.find(summary);
  ASSERT_NE(at, std::string::npos) << o.out;
  std::istringstream lines(o.out.substr(0, at));
  std::string line;
  std::ptrdiff_t shown = 0, events = 0;
  const std::regex times(R"(\[(\d+) times, to [\d.]+\]$)"), step(R"(, \w+ (sleep|snapshot) )");
  for (std::smatch m; std::getline(lines, line); ++shown) {
    const auto steps = std::distance(std::sregex_iterator(line.begin(), line.end(), step), {});
    events += std::regex_search(line, m, times) ? std::stoi(m[1]) * (1 + steps) : 1;
  }
  EXPECT_EQ(events, std::count(jsonl.begin(), jsonl.end(), '\n')) << o.out;
  EXPECT_LE(shown, 45) << "one screen";
  EXPECT_NE(o.out.find("  process 1204 Halvmark.exe terminated\n"), std::string::npos);
  EXPECT_NE(o.out.find("worker  post_message        \"Pelmo\" (window 0x2) WM_CLOSE\n"),
            std::string::npos);
}

// A reboot's machine, dumped and run again: the chained /checkUSB finds protection in force.
TEST(Cli, DumpedMachinesChainRuns) {
  const std::string start = Temp("unprotected.json"), after = Temp("after.json");
  json demo = json::parse(platform::sim::FormatMachine(platform::sim::Machine::Demo().json()));
  for (json& value : demo["registry"])
    value["data"] = 0;
  WriteFile(start, demo.dump());
  const Outcome first = Sim("--machine " + start + " --dump-machine " + after + " /checkUSB");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("Ended: reboot"), std::string::npos);
  const json machine = json::parse(ReadFile(after));
  EXPECT_TRUE(machine["processes"].empty()) << "nothing runs after the reboot";
  const Outcome second = Sim("--machine " + after + " --dump-machine - /checkUSB");
  ASSERT_EQ(second.status, 0);
  EXPECT_EQ(json::parse(second.out), machine) << "protected: nothing changes";
}

}  // namespace
