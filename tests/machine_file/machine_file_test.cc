// Machine files: every misfit is one short line naming file and place, and what a run dumps reads
// back.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fenwrack-sim/timeline_text.h"
#include "machine_file/machine.h"
#include "platform/sim/entry.h"
#include "sim_engine/run_result.h"

namespace {

using machine_file::Machine;
using machine_file::MachineError;
using nlohmann::json;

// One case a line: the document, then after " => " the message; ⏎ stands for a line break. Long
// and deep documents are in the fuzz corpus.
constexpr const char* kErrorCases = R"(
[] => m.json:1:1: /: expected an object, not an array
{"bogus": 1} => m.json:1:2: /bogus: unknown key (expected one of: environment, files, registry, processes, products, system, user, faults)
{"environment": {"a/b": 1}} => m.json:1:18: /environment/a~1b: expected a string, not 1
{"environment": {"Path": "x", "PATH": "y"}} => m.json:1:18: /environment/Path: the same variable as "PATH" (names ignore case)
{"files": [{"path": "C:\\a"}, {"path": "c:\\A"}]} => m.json:1:32: /files/1/path: the same path as /files/0 (paths ignore case)
{"files": [{"path": "C:\\d", "directory": true, "content": "x"}]} => m.json:1:49: /files/0/content: a directory has no content
{"files": [{"path": "C:\\s.bat", "starts": [7]}]} => m.json:1:45: /files/0/starts/0: expected an executable name or a process object, not 7
{"files": [{"path": "C:\\s.bat", "starts": [{"pid": 8, "name": "a"}]}]} => m.json:1:46: /files/0/starts/0/pid: a started process gets its pid from the system: leave "pid" out
{"processes": [{"pid": 5}]} => m.json:1:16: /processes/0: missing key "name"
{"processes": [{"pid": "5", "name": "a"}]} => m.json:1:17: /processes/0/pid: expected a whole number from 1 to 4294967295, not the string "5"; write it without quotes
{"processes": [{"pid": 1e400, "name": "a"}]} => m.json:1:28: /processes/0/pid: not valid JSON: number overflow parsing '1e400'
{"processes": [{"pid": 5, "name": "a"}, {"pid": 5, "name": "b"}]} => m.json:1:42: /processes/1/pid: the same pid as /processes/0
{"processes": [{"name": "a", "pid": 1, "name": "b"}]} => m.json:1:40: /processes/0/name: the key "name" is given twice (first at 1:17); write each key once
{"registry": [{"key": "K", "name": "V", "type": "reg_sz", "data": ""}]} => m.json:1:41: /registry/0/type: expected "REG_DWORD", "REG_QWORD", "REG_SZ" or "REG_BINARY", not the string "reg_sz"; write "REG_SZ" (words are case-sensitive)
{"registry": [{"key": "K", "name": "V", "type": "REG_DWORD", "data": 4294967296}]} => m.json:1:62: /registry/0/data: expected a whole number from 0 to 4294967295, not 4294967296
{"registry": [{"key": "K", "name": "V", "type": "REG_BINARY", "data": "0g"}]} => m.json:1:63: /registry/0/data: expected bytes in hex, such as "01 00 ff", not the string "0g"
{"registry": [{"key": "K", "type": "REG_DWORD", "data": 1}]} => m.json:1:28: /registry/0/type: a value needs a name ("" for the default value)
{"registry": [{"key": "K", "name": "v", "type": "REG_SZ", "data": "1"}, {"key": "k", "name": "V", "type": "REG_SZ", "data": "2"}]} => m.json:1:86: /registry/1/name: the same value as /registry/0 (names ignore case)
{"registry": [{"key": "HKEY_LOCAL_MACHINE\\System\\X"}]} => m.json:1:16: /registry/0/key: "HKEY_LOCAL_MACHINE\System\X" starts with the root: leave out "HKEY_LOCAL_MACHINE\"; a key path starts below HKEY_LOCAL_MACHINE
{"registry": [{"key": "HKLM\\Software\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\Kestrix\\End"}]} => m.json:1:16: /registry/0/key: "HKLM\Software\Kestrix\Kestrix\Kestrix\Kestrix\Kestrix\Kestrix\Kestr…" starts with the root: leave out "HKLM\"; a key path starts below HKEY_LOCAL_MACHINE
{"files": [{"path": "C:\\a"},⏎  ]} => m.json:1:29: /files: not valid JSON: a comma after the last element; remove it
{"faults": {}, } => m.json:1:14: /: not valid JSON: a comma after the last member; remove it
{"registry": [{"key": "hkcu\\Software"}]} => m.json:1:16: /registry/0/key: only HKEY_LOCAL_MACHINE is simulated: write the path below it, without a root
{"registry": [{"key": "System\\"}]} => m.json:1:16: /registry/0/key: expected a key path under HKEY_LOCAL_MACHINE, without a leading or trailing backslash
{"products": [{"code": "{A}", "state": 5.5}]} => m.json:1:31: /products/0/state: expected a whole number from -2147483648 to 2147483647, not 5.5
{"user": {"closes_usage_box_after_ms": "soon"}} => m.json:1:11: /user/closes_usage_box_after_ms: expected a whole number of milliseconds, or null for never, not the string "soon"
{"user": {"status_window_key": {"key": "escape", "after_ms": 5}}} => m.json:1:33: /user/status_window_key/key: expected "Escape" or "Enter", not the string "escape"; write "Escape" (words are case-sensitive)
{"faults": {"snapshot_fails_from": 0}} => m.json:1:13: /faults/snapshot_fails_from: expected a whole number from 1 to 4294967295, not 0
{"faults": {"first_entry_unreadable": 1}} => m.json:1:13: /faults/first_entry_unreadable: expected true or false, not 1
{"faults": {"timer": true}} => m.json:1:13: /faults/timer: unknown fault (machine_file/MACHINE-FILE.md lists them)
{"environment": {"a\nb\u202e\u0085": 1}} => m.json:1:18: /environment/a\nb\u202E\u0085: expected a string, not 1
{⏎  "files": [⏎  }⏎ => m.json:3:3: /files/0: not valid JSON: syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal
{"files": [⏎ {"päth": 1}]} => m.json:2:3: /files/0/päth: unknown key (expected one of: path, directory, content, starts, readable, writable)
)";

std::vector<std::pair<std::string, std::string>> ErrorCases() {
  std::vector<std::pair<std::string, std::string>> cases;
  std::istringstream lines(kErrorCases);
  for (std::string line; std::getline(lines, line);)
    if (const std::size_t arrow = line.find(" => "); arrow != std::string::npos)
      cases.emplace_back(std::regex_replace(line.substr(0, arrow), std::regex("⏎"), "\n"),
                         line.substr(arrow + 4));
  return cases;
}

class MachineErrors : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(MachineErrors, AreOneShortLineNamingFileLineColumnPlaceAndWhat) {
  try {
    Machine::FromText(GetParam().first, "m.json");
    FAIL() << "accepted " << GetParam().first;
  } catch (const MachineError& e) {
    EXPECT_EQ(std::string(e.what()), GetParam().second);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, MachineErrors, testing::ValuesIn(ErrorCases()));

TEST(MachineFile, AllPartsAreOptionalAndPidsAreGivenAboveEveryPidGiven) {
  const json m =
      Machine::FromText(
          R"({"processes": [{"name": "a"}, {"pid": 1001, "name": "b"}, {"name": "c"}]})", "m")
          .json();
  EXPECT_EQ(m["user"]["closes_usage_box_after_ms"], 1000);
  EXPECT_EQ(m["processes"][0]["pid"].dump() + m["processes"][1]["pid"].dump() +
                m["processes"][2]["pid"].dump(),
            "100410011008");
}

// The machine as a run leaves it is a machine file: written, read and run again, it behaves the
// same.
TEST(MachineFile, WhatARunDumpsReadsBackAndBehavesTheSame) {
  const Machine demo = Machine::Demo();
  const Machine reloaded = Machine::FromText(machine_file::FormatMachine(demo.json()), "dump");
  for (const char16_t* op : {u"/restart", u"/shutdown", u"/checkUSB"}) {
    const auto onDemo = platform::sim::Run(demo, {u"Fenwrack.exe", op});
    const auto onReloaded = platform::sim::Run(reloaded, {u"Fenwrack.exe", op});
    EXPECT_EQ(fenwrack_sim::FormatJsonLines(onDemo), fenwrack_sim::FormatJsonLines(onReloaded));
    const Machine after =
        Machine::FromText(machine_file::FormatMachine(onDemo.machineAfter), "after");
    EXPECT_EQ(after.json(), onDemo.machineAfter);
  }
}

}  // namespace
