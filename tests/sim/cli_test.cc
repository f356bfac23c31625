// The fenwrack-sim program as people run it: exit statuses, outputs, error lines.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

Outcome Sim(const std::string& arguments) {
  const std::string out = Temp("stdout"), err = Temp("stderr");
  const std::string command = std::string("'") + FENWRACK_SIM_PROGRAM + "' " + arguments + " >'" +
                              out + "' 2>'" + err + "'";
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
};

void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << c.what;
}

class ExitStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(ExitStatus, TellsHowTheRunEnded) {
  WriteFile(Temp("stuck.json"), R"({"user": {"closes_usage_box_after_ms": null}})");
  WriteFile(Temp("bad.json"), R"({"processes": [{"pid": 1, "name": "a", "on_close": 5}]})");
  WriteFile(Temp("off.json"), R"({"system": {"power_off": "accept"}})");
  const Outcome o = Sim(GetParam().arguments);
  EXPECT_EQ(o.status, GetParam().status) << GetParam().what << "\n" << o.err;
  if (GetParam().status == 2) {
    EXPECT_TRUE(o.out.empty()) << "the tool is not run";
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  } else {
    EXPECT_TRUE(o.err.empty()) << o.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatus,
    testing::Values(StatusCase{"usage box", "", 0}, StatusCase{"restart", "/restart", 0},
                    StatusCase{"power-off", "--machine " + Temp("off.json") + " /shutdown", 0},
                    StatusCase{"help", "--help", 0},
                    StatusCase{"stuck", "--machine=" + Temp("stuck.json"), 3},
                    StatusCase{"unknown option", "--fast /restart", 2},
                    StatusCase{"option without file", "--trace", 2},
                    StatusCase{"option twice", "--trace a --trace b", 2},
                    StatusCase{"both to stdout", "--trace - --dump-machine -", 2},
                    StatusCase{"missing machine", "--machine " + Temp("none.json"), 2},
                    StatusCase{"bad machine", "--machine " + Temp("bad.json"), 2},
                    StatusCase{"unwritable trace", "--trace /nonexistent/dir/t.jsonl", 2}));

TEST(Cli, ABadMachineFileIsNamedWithThePlace) {
  const std::string path = Temp("bad_place.json");
  WriteFile(path, R"({"processes": [{"name": "a"}, {"name": "b"}, {"name": "c", "on_close": 5}]})");
  const Outcome o = Sim("--machine " + path + " /restart");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "fenwrack-sim: " + path +
                       ": /processes/2/on_close: expected \"ignore\" or {\"exit_after_ms\": N}\n");
  WriteFile(path, "{\"files\": [\n  {\"path\": 1,}\n]}");
  EXPECT_EQ(Sim("--machine " + path).err.rfind("fenwrack-sim: " + path + ":2:", 0), 0u);
}

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

TEST(Cli, TheTimelineAndTheTraceTellTheSameRun) {
  const std::string trace = Temp("trace.jsonl");
  const Outcome o = Sim("--trace " + trace + " -- /restart");
  ASSERT_EQ(o.status, 0);
  const std::string jsonl = ReadFile(trace);
  const auto events = std::count(jsonl.begin(), jsonl.end(), '\n');
  const std::string summary = "\nEnded: exit code 0\nVirtual length: 40.000 s\nChanges:\n";
  const std::size_t at = o.out.find(summary);
  ASSERT_NE(at, std::string::npos) << o.out;
  EXPECT_EQ(std::count(o.out.begin(), o.out.begin() + static_cast<std::ptrdiff_t>(at), '\n'),
            events)
      << "one timeline line per event";
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
