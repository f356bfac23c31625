// Machine files: every misfit is named by file and place, and what a run dumps reads back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
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
  const char* document;
  const char* message;  // the whole line after "m.json: "
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.message;
}

class MachineErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(MachineErrors, NameTheFileThePlaceAndWhatIsWrong) {
  try {
    Machine::FromJson(json::parse(GetParam().document), "m.json");
    FAIL() << "accepted " << GetParam().document;
  } catch (const MachineError& e) {
    EXPECT_EQ(std::string(e.what()), std::string("m.json: ") + GetParam().message);
  }
}

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
        ErrorCase{R"({"files": {}})", "/files: expected an array"},
        ErrorCase{R"({"files": [{"path": "C:\\a"}, {"path": "c:\\A"}]})",
                  "/files/1/path: the same path as /files/0 (paths ignore case)"},
        ErrorCase{R"({"files": [{"path": "C:\\d", "directory": true, "content": "x"}]})",
                  "/files/0/content: a directory has no content"},
        ErrorCase{R"({"files": [{"path": "C:\\s.bat", "starts": [7]}]})",
                  "/files/0/starts/0: expected an executable name or a process object"},
        ErrorCase{R"({"processes": [{"pid": 5}]})", "/processes/0: missing key \"name\""},
        ErrorCase{R"({"processes": [{"pid": "5", "name": "a"}]})",
                  "/processes/0/pid: expected a whole number from 1 to 4294967295"},
        ErrorCase{R"({"processes": [{"pid": 5, "name": "a"}, {"pid": 5, "name": "b"}]})",
                  "/processes/1/pid: the same pid as /processes/0"},
        ErrorCase{R"({"processes": [{"name": "a"}, {"name": "b"},
                      {"name": "c", "on_close": "hang"}]})",
                  "/processes/2/on_close: expected \"ignore\" or {\"exit_after_ms\": N}"},
        ErrorCase{R"({"processes": [{"name": "a", "on_close": {"exit_after_ms": -1}}]})",
                  "/processes/0/on_close/exit_after_ms: expected a whole number from 0 to "
                  "31536000000"},
        ErrorCase{R"({"processes": [{"name": "a", "windows": [{"caption": "x"}]}]})",
                  "/processes/0/windows/0/caption: unknown key (expected one of: title, "
                  "title_readable, accepts_posts)"},
        ErrorCase{
            R"({"registry": [{"key": "K", "name": "V", "type": "REG_MULTI_SZ", "data": []}]})",
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
        ErrorCase{R"({"registry": [{"key": "\\HKLM\\K"}]})",
                  "/registry/0/key: expected a key path under HKEY_LOCAL_MACHINE, without a "
                  "leading or trailing backslash"},
        ErrorCase{R"({"products": [{"code": "{A}", "state": 5.5}]})",
                  "/products/0/state: expected a whole number from -2147483648 to 2147483647"},
        ErrorCase{R"({"system": {"power_off": true}})",
                  "/system/power_off: expected \"accept\" or \"refuse\""},
        ErrorCase{R"({"user": {"closes_usage_box_after_ms": "soon"}})",
                  "/user/closes_usage_box_after_ms: expected a whole number of milliseconds, or "
                  "null for never"},
        ErrorCase{R"({"user": {"status_window_key": {"key": "Space", "after_ms": 5}}})",
                  "/user/status_window_key/key: expected \"Escape\" or \"Enter\""},
        ErrorCase{R"({"faults": {"thread_start_fails": ["main"]}})",
                  "/faults/thread_start_fails/0: expected \"status\" or \"worker\""},
        ErrorCase{R"({"faults": {"snapshot_fails_from": 0}})",
                  "/faults/snapshot_fails_from: expected a whole number from 1 to 4294967295"},
        ErrorCase{R"({"faults": {"first_entry_unreadable": 1}})",
                  "/faults/first_entry_unreadable: expected true or false"}));

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "fenwrack_sim_" + std::to_string(getpid()) + "_" + name;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(MachineFile, ASyntaxErrorNamesLineAndColumn) {
  const std::string path = TempPath("syntax.json");
  WriteFile(path, "{\n  \"files\": [\n  }\n");
  try {
    Machine::FromFile(path);
    FAIL();
  } catch (const MachineError& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(path + ":3:3: not valid JSON: ", 0), 0u) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos);
  }
  std::remove(path.c_str());
}

TEST(MachineFile, AMissingFileIsNamed) {
  const std::string path = TempPath("missing.json");
  try {
    Machine::FromFile(path);
    FAIL();
  } catch (const MachineError& e) {
    EXPECT_EQ(std::string(e.what()), path + ": cannot read the file");
  }
}

TEST(MachineFile, AllPartsAreOptional) {
  const Machine empty = Machine::FromJson(json::object(), "empty");
  const auto run = platform::sim::RunFunction(empty, [] {});
  EXPECT_EQ(run.how, platform::sim::EndHow::kExit);
  EXPECT_EQ(run.machineAfter["system"]["windows_folder"], "C:\\WINDOWS");
  EXPECT_EQ(run.machineAfter["user"]["closes_usage_box_after_ms"], 1000);
}

TEST(MachineFile, ProcessesWithoutPidGetOnesAboveEveryPidGiven) {
  const Machine m = Machine::FromJson(
      json::parse(R"({"processes": [{"name": "a"}, {"pid": 1001, "name": "b"}, {"name": "c"}]})"),
      "m");
  const auto run = platform::sim::RunFunction(m, [] {});
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
  const Machine reloaded = Machine::FromJson(json::parse(text), "dump");
  const auto again = platform::sim::RunFunction(reloaded, [] {});
  EXPECT_EQ(platform::sim::FormatMachine(again.machineAfter), text);

  for (const char16_t* op : {u"/restart", u"/shutdown", u"/checkUSB"}) {
    const auto onDemo = platform::sim::Run(demo, {u"Fenwrack.exe", op});
    const auto onReloaded = platform::sim::Run(reloaded, {u"Fenwrack.exe", op});
    EXPECT_EQ(platform::sim::FormatJsonLines(onDemo), platform::sim::FormatJsonLines(onReloaded));
    const Machine after =
        Machine::FromJson(json::parse(platform::sim::FormatMachine(onDemo.machineAfter)), "after");
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
  const Machine lab = Machine::FromJson(json::parse(match[1].str()), "example");
  const auto run = platform::sim::Run(lab, {u"Fenwrack.exe", u"/restart"});
  EXPECT_EQ(run.how, platform::sim::EndHow::kExit);
  EXPECT_FALSE(run.Named("process_start").empty());
}

}  // namespace
