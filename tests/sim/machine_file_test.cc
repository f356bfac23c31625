// Machine files: every misfit is one short line naming file and place, and what a run dumps reads
// back.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "platform/sim/simulator.h"

namespace {

using nlohmann::json;
using platform::sim::Machine;
using platform::sim::MachineError;

struct ErrorCase {
  std::string document;
  std::string message;  // after "m.json:LINE:COLUMN: "
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.message;
}

class MachineErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(MachineErrors, AreOneShortLineNamingFilePlaceAndWhatIsWrong) {
  try {
    Machine::FromText(GetParam().document, "m.json");
    FAIL() << "accepted " << GetParam().document;
  } catch (const MachineError& e) {
    const std::string what = e.what();
    EXPECT_EQ(std::regex_replace(what, std::regex(R"(^m\.json:\d+:\d+: )"), ""),
              GetParam().message);
    EXPECT_LE(std::count_if(what.begin(), what.end(), [](char c) { return (c & 0xC0) != 0x80; }),
              184);
  }
}

const std::string kLong(3000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, MachineErrors,
    testing::Values(
        ErrorCase{R"([])", "/: expected an object"},
        ErrorCase{R"({"bogus": 1})",
                  "/bogus: unknown key (expected one of: environment, files, registry, "
                  "processes, products, system, user, faults)"},
        ErrorCase{R"({"environment": {"a/b": 1}})", "/environment/a~1b: expected a string"},
        ErrorCase{R"({"environment": {"Path": "x", "PATH": "y"}})",
                  "/environment/Path: the same variable as \"PATH\" (names ignore case)"},
        ErrorCase{R"({"files": [{"path": "C:\\a"}, {"path": "c:\\A"}]})",
                  "/files/1/path: the same path as /files/0 (paths ignore case)"},
        ErrorCase{R"({"files": [{"path": "C:\\d", "directory": true, "content": "x"}]})",
                  "/files/0/content: a directory has no content"},
        ErrorCase{R"({"files": [{"path": "C:\\s.bat", "starts": [7]}]})",
                  "/files/0/starts/0: expected an executable name or a process object"},
        ErrorCase{R"({"files": [{"path": "C:\\s.bat", "starts": [{"pid": 8, "name": "a"}]}]})",
                  "/files/0/starts/0/pid: a started process gets its pid from the system: leave "
                  "\"pid\" out"},
        ErrorCase{R"({"processes": [{"pid": 5}]})", "/processes/0: missing key \"name\""},
        ErrorCase{R"({"processes": [{"pid": "5", "name": "a"}]})",
                  "/processes/0/pid: expected a whole number from 1 to 4294967295"},
        ErrorCase{R"({"processes": [{"pid": 1e400, "name": "a"}]})",
                  "/processes/0/pid: not valid JSON: number overflow parsing '1e400'"},
        ErrorCase{R"({"processes": [{"pid": 5, "name": "a"}, {"pid": 5, "name": "b"}]})",
                  "/processes/1/pid: the same pid as /processes/0"},
        ErrorCase{R"({"processes": [{"name": "a", "pid": 1, "name": "b"}]})",
                  "/processes/0/name: the key \"name\" is given twice (first at 1:17); write "
                  "each key once"},
        ErrorCase{R"({"processes": [{"name": "c", "on_close": "Ignore"}]})",
                  "/processes/0/on_close: expected \"ignore\" or {\"exit_after_ms\": N}"},
        ErrorCase{R"({"processes": [{"name": "a", "windows": [{"caption": "x"}]}]})",
                  "/processes/0/windows/0/caption: unknown key (expected one of: title, "
                  "title_readable, accepts_posts)"},
        ErrorCase{R"({"registry": [{"key": "K", "name": "V", "type": "reg_sz", "data": ""}]})",
                  "/registry/0/type: expected \"REG_DWORD\", \"REG_QWORD\", \"REG_SZ\" or "
                  "\"REG_BINARY\""},
        ErrorCase{R"({"registry": [{"key": "K", "name": "V", "type": "REG_DWORD",
                      "data": 4294967296}]})",
                  "/registry/0/data: expected a whole number from 0 to 4294967295"},
        ErrorCase{
            R"({"registry": [{"key": "K", "name": "V", "type": "REG_BINARY", "data": "0g"}]})",
            "/registry/0/data: expected bytes in hex, such as \"01 00 ff\""},
        ErrorCase{R"({"registry": [{"key": "K", "type": "REG_DWORD", "data": 1}]})",
                  "/registry/0/type: a value needs a name (\"\" for the default value)"},
        ErrorCase{R"({"registry": [{"key": "K", "name": "v", "type": "REG_SZ", "data": "1"},
                      {"key": "k", "name": "V", "type": "REG_SZ", "data": "2"}]})",
                  "/registry/1/name: the same value as /registry/0 (names ignore case)"},
        ErrorCase{R"({"registry": [{"key": "HKEY_LOCAL_MACHINE\\System\\X"}]})",
                  "/registry/0/key: a key path starts below HKEY_LOCAL_MACHINE: write "
                  "\"System\\X\""},
        ErrorCase{R"({"registry": [{"key": "hkcu\\Software"}]})",
                  "/registry/0/key: only HKEY_LOCAL_MACHINE is simulated: write the path below "
                  "it, without a root"},
        ErrorCase{R"({"registry": [{"key": "System\\"}]})",
                  "/registry/0/key: expected a key path under HKEY_LOCAL_MACHINE, without a "
                  "leading or trailing backslash"},
        ErrorCase{R"({"products": [{"code": "{A}", "state": 5.5}]})",
                  "/products/0/state: expected a whole number from -2147483648 to 2147483647"},
        ErrorCase{R"({"system": {"power_off": "Accept"}})",
                  "/system/power_off: expected \"accept\" or \"refuse\""},
        ErrorCase{R"({"user": {"closes_usage_box_after_ms": "soon"}})",
                  "/user/closes_usage_box_after_ms: expected a whole number of milliseconds, or "
                  "null for never"},
        ErrorCase{R"({"user": {"status_window_key": {"key": "escape", "after_ms": 5}}})",
                  "/user/status_window_key/key: expected \"Escape\" or \"Enter\""},
        ErrorCase{R"({"faults": {"thread_start_fails": ["main"]}})",
                  "/faults/thread_start_fails/0: expected \"status\" or \"worker\""},
        ErrorCase{R"({"faults": {"snapshot_fails_from": 0}})",
                  "/faults/snapshot_fails_from: expected a whole number from 1 to 4294967295"},
        ErrorCase{R"({"faults": {"first_entry_unreadable": 1}})",
                  "/faults/first_entry_unreadable: expected true or false"},
        ErrorCase{R"({"faults": {"timer": true}})",
                  "/faults/timer: unknown fault (sim/MACHINE-FILE.md lists them)"},
        ErrorCase{"{\"environment\": {\"a\\nb\u202e\": 1}}",
                  "/environment/a\\nb\\u202E: expected a string"},
        ErrorCase{"{\"environment\": {\"" + kLong + "\": 1}}",
                  "/environment/" + std::string(31, 'x') + "…: expected a string"},
        ErrorCase{"{\"files\": [" + std::string(100, '[') + "]}",
                  "/files" +
                      [] {
                        std::string deep;
                        for (int i = 0; i < 62; ++i)
                          deep += "/0";
                        return deep;
                      }() +
                      ": nested deeper than 64 levels"},
        ErrorCase{"{\"files\": [\"" + kLong,
                  "/files/0: not valid JSON: syntax error while "
                  "parsing value - invalid string: missing closing quote; last read: '\"" +
                      std::string(55, 'x') + "…"}));

TEST(MachineFile, TextErrorsNameLineAndColumnFromTheFileItself) {
  for (const auto& [text, start] :
       {std::pair{"{\n  \"files\": [\n  }\n", "m.json:3:3: /files/0: not valid JSON: "},
        std::pair{"{\"files\": [\n {\"päth\": 1}]}", "m.json:2:3: /files/0/päth: unknown key"}}) {
    try {
      Machine::FromText(text, "m.json");
      FAIL() << text;
    } catch (const MachineError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(start, 0), 0u) << e.what();
    }
  }
}

TEST(MachineFile, AllPartsAreOptionalAndPidsAreGivenAboveEveryPidGiven) {
  const auto run = platform::sim::RunFunction(
      Machine::FromText(
          R"({"processes": [{"name": "a"}, {"pid": 1001, "name": "b"}, {"name": "c"}]})", "m"),
      [] {});
  EXPECT_EQ(run.how, platform::sim::EndHow::kExit);
  EXPECT_EQ(run.machineAfter["system"]["windows_folder"], "C:\\WINDOWS");
  EXPECT_EQ(run.machineAfter["user"]["closes_usage_box_after_ms"], 1000);
  std::vector<std::uint32_t> pids;
  for (const json& p : run.machineAfter["processes"])
    pids.push_back(p["pid"]);
  EXPECT_EQ(pids, (std::vector<std::uint32_t>{1004, 1001, 1008}));
}

// The machine as a run leaves it is a machine file: written, read and run again, it behaves the
// same, and writing it again gives the same text.
TEST(MachineFile, WhatARunDumpsReadsBackAndBehavesTheSame) {
  const Machine demo = Machine::Demo();
  const auto untouched = platform::sim::RunFunction(demo, [] {});
  const std::string text = platform::sim::FormatMachine(untouched.machineAfter);
  const Machine reloaded = Machine::FromText(text, "dump");
  const auto again = platform::sim::RunFunction(reloaded, [] {});
  EXPECT_EQ(platform::sim::FormatMachine(again.machineAfter), text);

  for (const char16_t* op : {u"/restart", u"/shutdown", u"/checkUSB"}) {
    const auto onDemo = platform::sim::Run(demo, {u"Fenwrack.exe", op});
    const auto onReloaded = platform::sim::Run(reloaded, {u"Fenwrack.exe", op});
    EXPECT_EQ(platform::sim::FormatJsonLines(onDemo), platform::sim::FormatJsonLines(onReloaded));
    const Machine after =
        Machine::FromText(platform::sim::FormatMachine(onDemo.machineAfter), "after");
    EXPECT_EQ(after.json(), onDemo.machineAfter);
  }
}

TEST(MachineFile, TheDocumentedExampleIsAValidMachine) {
  std::ifstream in(FENWRACK_MACHINE_DOC);
  std::stringstream doc;
  doc << in.rdbuf();
  const std::string text = doc.str();
  const std::regex example(R"(## A full example[\s\S]*?```json\n([\s\S]*?)```)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(text, match, example));
  const auto run = platform::sim::Run(Machine::FromText(match[1].str(), "example"),
                                      {u"Fenwrack.exe", u"/restart"});
  EXPECT_EQ(run.how, platform::sim::EndHow::kExit);
  EXPECT_FALSE(run.Named("process_start").empty());
}

}  // namespace
