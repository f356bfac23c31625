// The verdict of a run: what decides it for each switch, and what it says is left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "fenwrack-sim/check.h"
#include "fenwrack-sim/fleet.h"
#include "fenwrack-sim/product_codes.h"
#include "fenwrack-sim/verdict.h"
#include "fenwrack-sim/warnings.h"

namespace {

using machine_file::Machine;
using nlohmann::json;

struct VerdictCase {
  const char* what;
  std::vector<std::u16string> args;  // after the tool's name
  const char* machine;               // JSON, with the firmware root C:\K unless it gives its own
  bool achieved;
  std::string deciding;
  std::vector<std::string> details = {};  // every line, in order
  std::vector<const char*> table = {};    // codes in the product-code table's first slots
};
// A table case prints as its label.
template <class Case>
requires requires(const Case& c) {
  c.what;
}
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.what;
}

class Verdicts : public testing::TestWithParam<VerdictCase> {};

TEST_P(Verdicts, SayWhatDecidesAndWhatIsLeft) {
  const VerdictCase& c = GetParam();
  const std::string root = R"("environment": {"Kestrix_SYSTEM_ROOT": "C:\\K"}, )";
  const bool ownRoot = std::string(c.machine).rfind("\"environment\"", 0) == 0;
  const Machine machine = Machine::FromText("{" + (ownRoot ? "" : root) + c.machine + "}", "t");
  std::vector<std::u16string> args = {u"Fenwrack.exe"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  char table[kProductCodeSlots][kProductCodeSlotSize];
  std::memcpy(table, SimulatedProductCodes, sizeof table);
  for (std::size_t i = 0; i < c.table.size(); ++i)
    std::snprintf(SimulatedProductCodes[i], kProductCodeSlotSize, "%s", c.table[i]);
  const fenwrack_sim::Verdict v =
      fenwrack_sim::Judge(machine, args, platform::sim::Run(machine, args));
  std::memcpy(SimulatedProductCodes, table, sizeof table);
  EXPECT_EQ(v.achieved, c.achieved) << v.Text();
  EXPECT_EQ(v.deciding, c.deciding) << v.Text();
  EXPECT_EQ(v.details, c.details) << v.Text();
}

// clang-format off
#define CMD R"({"path": "C:\\WINNT\\system32\\cmd.exe"})"
#define SCRIPT(starts) R"({"path": "C:\\K\\bin\\StartUpFW.bat", "starts": )" starts "}"
#define POLICY(data) R"("registry": [{"key": "System\\CurrentControlSet\\Control\\StorageDevicePolicies", "name": "WriteProtect", "type": "REG_DWORD", "data": )" data "}]"
#define IMPORT(data) R"("files": [{"path": "C:\\WINDOWS\\regedit.exe"}, {"path": "C:\\Program Files\\Kestrix\\USBProtect\\SetUSBProtection.reg", "content": "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\StorageDevicePolicies]\r\n\"WriteProtect\"=dword:)" data R"("}])"
#define PLACEHOLDER R"("{00000000-0000-0000-0000-000000000000}")"
#define MSIEXEC R"("files": [{"path": "C:\\WINDOWS\\SYSTEM32\\msiexec.exe"}], )"
// Lines said in many runs.
#define STARTED(n) "the start-up script C:\\K\\bin\\StartUpFW.bat ran and started " n
#define OUT_OF_REACH(process) process " still runs: it runs elevated and the account is not an administrator, so it can neither be asked to close nor be terminated"
#define NOT_1 "WriteProtect is still not 1: every /checkUSB will import and reboot again"
#define DENIED "the registry editor could not write under HKEY_LOCAL_MACHINE: the account is not an administrator"

INSTANTIATE_TEST_SUITE_P(Table, Verdicts, testing::ValuesIn(std::vector<VerdictCase>{
    {"two hung servers: the later one is terminated, the first hangs on", {u"/restart"},
     R"("files": [)" CMD ", " SCRIPT(R"(["Quenstead.exe"])") R"(], "processes": [
        {"pid": 100, "name": "Quenstead.exe", "on_close": "ignore"},
        {"pid": 104, "name": "Quenstead_d.exe", "on_close": "ignore", "elevated": true}])",
     false, "1 firmware program was never stopped",
     {"terminated Quenstead_d.exe (pid 104)", "warning: the kill is not noted in the kill log: its folder is missing or the log cannot be written",
      "warning: the server Quenstead.exe (pid 100) still runs: it has no firmware window, so nothing asked it to close; a restart terminates one server only",
      "warning: a second Quenstead.exe started while Quenstead.exe (pid 100) still runs", STARTED("1 program")}},
    {"a hung server that cannot be terminated", {u"/restart"}, R"("files": [)" CMD ", " SCRIPT(R"(["Talvora.exe"])") R"(], "processes": [
        {"pid": 8, "name": "Halvmark.exe", "on_close": "ignore", "can_terminate": false}])", false, "1 firmware program was never stopped",
     {"warning: the server Halvmark.exe (pid 8) still runs: it has no firmware window, so nothing asked it to close; a restart terminates one server only",
      STARTED("1 program")}},
    {"restarted, the hung server terminated and noted", {u"/restart"}, R"("files": [)" CMD ", " SCRIPT(R"(["Talvora.exe"])") R"(,
        {"path": "C:\\Kestrix\\Instr\\log", "directory": true}], "processes": [{"pid": 8, "name": "Halvmark.exe", "on_close": "ignore"}])",
     true, "the firmware was stopped and started again", {"terminated Halvmark.exe (pid 8)", STARTED("1 program")}},
    {"not an administrator: two elevated programs never stopped", {u"/restart"}, R"("system": {"administrator": false}, "files": [)" CMD ", "
     SCRIPT(R"(["Talvora.exe"])") R"(], "processes": [{"pid": 8, "name": "Talvora.exe", "elevated": true}, {"pid": 9, "name": "Tarnwick.exe", "elevated": true}])",
     false, "2 firmware programs were never stopped: the account is not an administrator", {OUT_OF_REACH("Talvora.exe (pid 8)"),
      OUT_OF_REACH("Tarnwick.exe (pid 9)"), "warning: a second Talvora.exe started while Talvora.exe (pid 8) still runs", STARTED("1 program")}},
    {"an empty root", {u"/restart"}, R"("environment": {"Kestrix_SYSTEM_ROOT": ""}, "files": [)" CMD "]",
     false, "root empty: nothing was started, the firmware stays down"},
    {"a root with a quote", {u"/restart"}, R"("environment": {"Kestrix_SYSTEM_ROOT": "C:\\K\""}, "files": [)" CMD "]",
     false, "the root holds a quote: nothing was started, the firmware stays down"},
    {"no interpreter", {u"/restart"}, R"("files": [)" SCRIPT("[]") "]", false, "the command interpreter could not be started: the firmware stays down"},
    {"no script", {u"/restart"}, R"("files": [)" CMD "]", false, "no start-up script under C:\\K: the firmware stays down"},
    {"a script that starts nothing", {u"/restart"}, R"("files": [)" CMD ", " SCRIPT("[]") "]", false,
     "the start-up script started nothing", {STARTED("0 programs")}},
    {"stopped; a name that is the firmware's only when folded beyond A to Z", {u"/terminate"},
     R"("processes": [{"name": "Talvora.exe", "windows": ["Talvora"], "elevated": true}, {"name": "notes.exe", "on_close": "ignore"},
        {"name": "Quen\u017Ftead.exe", "on_close": "ignore"}])", true, "the firmware is stopped"},
    {"an elevated firmware out of reach", {u"/terminate"}, R"("system": {"administrator": false},
        "processes": [{"pid": 8, "name": "Talvora.exe", "windows": ["Talvora"], "elevated": true}])",
     false, "1 firmware program still runs: the account is not an administrator", {OUT_OF_REACH("Talvora.exe (pid 8)")}},
    {"not an administrator, yet the rights do not decide: a window that takes no message", {u"/terminate"}, R"("system": {"administrator": false},
        "processes": [{"pid": 8, "name": "Talvora.exe", "elevated": true}, {"pid": 9, "name": "Halvmark.exe", "windows": [{"title": "Pelmo", "accepts_posts": false}]}])",
     false, "2 firmware programs still run",
     {OUT_OF_REACH("Talvora.exe (pid 8)"), "Halvmark.exe (pid 9) still runs: its window took none of 30 close requests"}},
    {"a hung interface, elevated for an administrator", {u"/terminate"},
     R"("processes": [{"pid": 8, "name": "Talvora.exe", "windows": ["Talvora"], "on_close": "ignore", "elevated": true}])",
     false, "1 firmware program still runs", {"Talvora.exe (pid 8) still runs: it ignored 30 close requests"}},
    {"a listed product stays, another is not listed", {u"/deinstall"}, MSIEXEC R"("products": [{"code": )" PLACEHOLDER R"(, "removal_works": false},
        {"code": "{11111111-2222-3333-4444-555555555555}", "name": "Old firmware"}])", false, "1 listed product is still installed",
     {"still installed though listed: {00000000-0000-0000-0000-000000000000}: its uninstall failed",
      "installed but not in the table: {11111111-2222-3333-4444-555555555555} (Old firmware)"}},
    {"a listed product not installed (state 2), one not listed without a name", {u"/deinstall"},
     MSIEXEC R"("products": [{"code": )" PLACEHOLDER R"(, "state": 2}, {"code": "{B}"}])", true,
     "no product of the table was installed: nothing was removed", {"installed but not in the table: {B}"}},
    {"codes in other letters than the table's", {u"/deinstall"}, MSIEXEC R"("products": [
        {"code": "{A}", "removal_works": false}, {"code": "{b}", "removal_works": false}])", false, "2 listed products are still installed",
     {"still installed though listed: {A}: its uninstall failed", "still installed though listed: {b}: its uninstall failed"}, {"{a}", "{B}"}},
    {"removed", {u"/deinstall"}, MSIEXEC R"("products": [{"code": )" PLACEHOLDER "}]", true,
     "1 product was removed", {"removed {00000000-0000-0000-0000-000000000000}"}},
    {"not an administrator: the uninstall is refused, an elevated firmware cannot be opened", {u"/deinstall"}, MSIEXEC R"("products": [{"code": )"
     PLACEHOLDER R"(}], "processes": [{"pid": 8, "name": "Talvora.exe", "elevated": true}], "system": {"administrator": false})",
     false, "1 listed product is still installed: the account is not an administrator",
     {"still installed though listed: {00000000-0000-0000-0000-000000000000}: its uninstall failed: the account is not an administrator",
      OUT_OF_REACH("Talvora.exe (pid 8)")}},
    {"no installer program, and no administrator", {u"/deinstall"}, R"("products": [{"code": )" PLACEHOLDER R"(}], "system": {"administrator": false})",
     false, "1 listed product is still installed",
     {"still installed though listed: {00000000-0000-0000-0000-000000000000}: the installer program could not be started"}},
    {"protected already", {u"/checkUSB"}, POLICY("1"), true, "write protection was on already: nothing was changed"},
    {"protected after the reboot", {u"/checkUSB"}, IMPORT("00000001") ", " POLICY("0"), true,
     "a reboot was asked for, and after it WriteProtect is 1", {"WriteProtect is 1 for the next start"}},
    {"a settings file that does not protect", {u"/checkUSB"}, IMPORT("00000000"), false,
     "a reboot was asked for, but the settings file does not set WriteProtect to 1", {NOT_1}},
    {"no settings file", {u"/checkUSB"}, R"("files": [{"path": "C:\\WINDOWS\\regedit.exe"}])", false,
     "a reboot was asked for, but the registry editor could not read the settings file: WriteProtect is not 1",
     {"the registry editor could not read the settings file: nothing was imported", NOT_1}},
    {"no registry editor", {u"/checkUSB"}, R"("files": [])", false,
     "a reboot was asked for, but the registry editor could not be started: WriteProtect is not 1",
     {"the registry editor could not be started: nothing was imported", NOT_1}},
    {"not an administrator: nothing imported, no reboot", {u"/checkUSB"}, IMPORT("00000001") R"(, "system": {"administrator": false})",
     false, "the reboot was refused and WriteProtect is not 1: the account is not an administrator", {DENIED, NOT_1}},
    {"not an administrator who may reboot: nothing imported", {u"/checkUSB"},
     IMPORT("00000001") R"(, "system": {"administrator": false, "shutdown_privilege": true})",
     false, "a reboot was asked for, but WriteProtect is not 1: the account is not an administrator", {DENIED, NOT_1}},
    {"a refused reboot", {u"/checkUSB"}, IMPORT("00000001") R"(, "system": {"reboot": "refuse"})", false,
     "the reboot was refused; WriteProtect is 1 once the system restarts", {"WriteProtect is 1 for the next start"}},
    {"a refused reboot, a settings file that does not protect", {u"/checkUSB"}, IMPORT("00000000") R"(, "system": {"reboot": "refuse"})", false,
     "the reboot was refused; WriteProtect is not 1", {NOT_1}},
    {"no shutdown privilege", {u"/shutdown"}, R"("system": {"shutdown_privilege": false})", false,
     "the power-off was refused: the shutdown privilege could not be enabled, the analyzer stays on"},
    {"not an administrator", {u"/shutdown"}, R"("system": {"administrator": false})", false,
     "the power-off was refused: the account is not an administrator and does not hold the shutdown privilege, the analyzer stays on"},
    {"a token that holds the privilege; of several switches the tool's order picks /shutdown", {u"/deinstall", u"/checkUSB", u"/restart", u"/shutdown"},
     R"("system": {"administrator": false, "shutdown_privilege": true})", true, "a power-off was asked for and accepted"},
    {"not an administrator, yet holding the privilege: the rights do not decide", {u"/shutdown"},
     R"("system": {"administrator": false, "shutdown_privilege": true}, "faults": {"privilege_adjust_fails": true})", false,
     "the power-off was refused: the shutdown privilege could not be enabled, the analyzer stays on"},
    {"a system that refuses", {u"/shutdown"}, R"("system": {"power_off": "refuse"})", false,
     "the power-off was refused by the system: the analyzer stays on"},
    {"a usage box nobody closes", {u"/?"}, R"("user": {"closes_usage_box_after_ms": null})", false,
     "the run never ended: stuck (the time limit of one hour was reached)"},
    {"out of memory", {u"/deinstall"}, R"("faults": {"widen_fails_from_call": 1})", false,
     "the tool stopped short: it ran out of memory (exit code 3)"}}));
// clang-format on

// Names and values the tool never acts on but that look meant for it; the right ones pass quietly.
TEST(Warnings, NameThePlaceOfEachNearMiss) {
  const Machine machine = Machine::FromText(R"({
      "processes": [{"name": "Quenstead"}, {"name": "quenstead.exe"}, {"name": "Quenstead.exe"},
        {"name": "talvora.EXE", "windows": ["Kestrix Analyzer Interface 4.2", "Pelmo", "pelmo",
         "notes", {"title": " Talvora", "title_readable": false}, "Kestrix Analyzer"]}],
      "files": [{"path": "C:\\K\\bin\\StartUpFW.bat", "starts": ["halvmark.exe ", "Halvmark.exe"]}],
      "products": [{"code": "6A1E2C34-0B7D-4F58-9E21-3C5D7A9B1F02"},
                   {"code": "{6A1E2C34-0B7D-4F58-9E21-3C5D7A9B1F02}"}]})",
                                            "t");
  std::vector<std::string> places;
  for (const std::string& line : fenwrack_sim::Warnings(machine.json()))
    places.push_back(line.substr(0, line.find(':')));
  EXPECT_EQ(places, (std::vector<std::string>{"/processes/0/name", "/processes/1/name",
                                              "/processes/3/windows/0", "/processes/3/windows/2",
                                              "/processes/3/windows/4", "/processes/3/windows/5",
                                              "/files/0/starts/0", "/products/0/code"}));
}

struct FleetCase {
  const char* what;
  std::u16string op;
  std::vector<std::pair<std::string, std::string>> files;  // name and content
  std::string text, jsonLines;                             // @ stands for the folder
};

class Fleet : public testing::TestWithParam<FleetCase> {};

TEST_P(Fleet, JudgesEachMachineFileOfAFolderAndNamesOneThatIsNot) {
  const FleetCase& c = GetParam();
  const std::string folder = testing::TempDir() + "fleet " + c.what;
  std::filesystem::create_directories(folder);
  for (const auto& [name, content] : c.files)
    std::ofstream(folder + "/" + name) << content;
  const auto in = [&folder](const std::string& s) {
    return std::regex_replace(s, std::regex("@"), folder);
  };
  const auto fleet = fenwrack_sim::JudgeFleet(folder, {u"Fenwrack.exe", c.op});
  EXPECT_EQ(fenwrack_sim::FleetText(fleet), in(c.text));
  if (!c.jsonLines.empty()) {  // one form for every fleet: one row shows it
    EXPECT_EQ(fenwrack_sim::FleetJsonLines(fleet), in(c.jsonLines));
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Fleet, testing::ValuesIn(std::vector<FleetCase>{
    {"a machine, a file that is not one, files that are not json", u"/restart",
     {{"a.json", "{}"}, {"b.json", R"({"processes": 1})"}, {"notes.txt", "not a machine"}, {".json", "hidden"}},
     "a.json  NOT achieved  root unset: nothing was started, the firmware stays down\n"
     "b.json  not a machine: @/b.json:1:2: /processes: expected an array, not 1\n",
     R"({"achieved":false,"deciding":"root unset: nothing was started, the firmware stays down","details":[],"file":"a.json",)"
     R"("goal":"stop the firmware and start it again","operation":"/restart"})" "\n"
     R"({"error":"@/b.json:1:2: /processes: expected an array, not 1","file":"b.json"})" "\n"},
    // Written in name order: whatever order the system lists them in, a sort is needed.
    {"in name order, in the longest name's width", u"/terminate",
     {{"b.json", "{}"}, {"long-name.json", R"({"processes": [{"pid": 8, "name": "Talvora.exe", "windows": ["Talvora"], "on_close": "ignore"}]})"},
      {"m.json", "{}"}, {"x.json", "{}"}, {"z.json", "{}"}},
     "b.json          achieved      the firmware is stopped\n"
     "long-name.json  NOT achieved  1 firmware program still runs\n"
     "m.json          achieved      the firmware is stopped\n"
     "x.json          achieved      the firmware is stopped\n"
     "z.json          achieved      the firmware is stopped\n", ""}}));
// clang-format on

struct CheckCase {
  const char* what;
  std::function<void(json&)> change;  // from the prediction to the capture
  std::vector<std::string> lines;
};

class Check : public testing::TestWithParam<CheckCase> {};

// The real run against the dry run's prediction: a difference that matters is named, pids are not.
TEST_P(Check, NamesEveryDifferenceThatMattersAndNoPid) {
  // The demo's /restart, beside products that it leaves as they are.
  static const json predicted = [] {
    json m = Machine::Demo().json();
    m["products"] =
        json::parse(R"([{"code": "{A}"}, {"code": "{B}"}, {"code": "{C}", "state": 2}])");
    return platform::sim::Run(Machine::FromJson(m, "p"), {u"Fenwrack.exe", u"/restart"})
        .machineAfter;
  }();
  json observed = predicted;
  GetParam().change(observed);
  EXPECT_EQ(fenwrack_sim::Differences(Machine::FromJson(predicted, "p").json(),
                                      Machine::FromJson(observed, "o").json()),
            GetParam().lines);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Check, testing::ValuesIn(std::vector<CheckCase>{
    {"the programs started under other pids", [](json& m) { for (json& p : m["processes"]) p["pid"] = p["pid"].get<int>() + 1000; }, {}},
    {"a second Halvmark.exe, a program not the firmware's", [](json& m) {
       m["processes"].push_back({{"name", "Halvmark.exe"}}), m["processes"].push_back({{"name", "notes.exe"}}); },
     {"Halvmark.exe: 1 instance running predicted, 2 instances observed"}},
    {"Talvora.exe gone, no kill-log line, WriteProtect too long to read as 1", [](json& m) {
       m["processes"].erase(m["processes"].size() - 1), m["registry"][0]["type"] = "REG_QWORD";
       for (json& f : m["files"]) f.erase("content"); },
     {"Talvora.exe: 1 instance running predicted, 0 instances observed", "kill log: 1 line predicted, 0 lines observed",
      "WriteProtect: 1 predicted, not 1 observed"}},
    {"the kill log at its path in other letters, with another line", [](json& m) {
       for (json& f : m["files"]) if (f["path"] == "C:\\Kestrix\\Instr\\log\\FWKill.log") f = {{"path", "c:\\kestrix\\instr\\log\\fwkill.log"}, {"content", "x\r\n"}}; },
     {"kill log: 1 line predicted, 1 line observed"}},
    {"a code in other letters; products removed, installed, in another state", [](json& m) {
       m["products"] = json::parse(R"([{"code": "{a}"}, {"code": "{C}"}, {"code": "{D}", "state": 2}])"); },
     {"product {B}: installed predicted, not installed observed", "product {C}: state 2 predicted, installed observed",
      "product {D}: not installed predicted, state 2 observed"}}}));
// clang-format on

}  // namespace
