// The verdict of a run: what decides it for each switch, and what it says is left.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim/check.h"
#include "sim/fleet.h"
#include "sim/verdict.h"
#include "sim/warnings.h"

namespace {

using platform::sim::Machine;

struct VerdictCase {
  const char* what;
  std::u16string op;
  const char* machine;  // JSON, with the firmware root C:\K unless it gives its own
  bool achieved;
  std::string deciding;
  std::vector<std::string> details = {};  // each is part of some line
};
void PrintTo(const VerdictCase& c, std::ostream* out) {
  *out << c.what;
}

class Verdicts : public testing::TestWithParam<VerdictCase> {};

TEST_P(Verdicts, SayWhatDecidesAndWhatIsLeft) {
  const VerdictCase& c = GetParam();
  const std::string root = R"("environment": {"Kestrix_SYSTEM_ROOT": "C:\\K"}, )";
  const bool ownRoot = std::string(c.machine).rfind("\"environment\"", 0) == 0;
  const Machine machine = Machine::FromText("{" + (ownRoot ? "" : root) + c.machine + "}", "t");
  const std::vector<std::u16string> args = {u"Fenwrack.exe", c.op};
  const fenwrack_sim::Verdict v =
      fenwrack_sim::Judge(machine, args, platform::sim::Run(machine, args));
  EXPECT_EQ(v.achieved, c.achieved) << v.Text();
  EXPECT_EQ(v.deciding, c.deciding) << v.Text();
  for (const std::string& part : c.details)
    EXPECT_TRUE(std::ranges::any_of(
        v.details, [&](const std::string& line) { return line.find(part) != std::string::npos; }))
        << part << "\n"
        << v.Text();
}

#define CMD R"({"path": "C:\\WINNT\\system32\\cmd.exe"})"
#define SCRIPT(starts) R"({"path": "C:\\K\\bin\\StartUpFW.bat", "starts": )" starts "}"
#define POLICY(data)                                                                      \
  R"("registry": [{"key": "System\\CurrentControlSet\\Control\\StorageDevicePolicies", )" \
  R"("name": "WriteProtect", "type": "REG_DWORD", "data": )" data "}]"
#define IMPORT(data)                                                                          \
  R"("files": [{"path": "C:\\WINDOWS\\regedit.exe"}, {"path": "C:\\Program Files\\Kestrix\\)" \
  R"(USBProtect\\SetUSBProtection.reg", "content": "[HKEY_LOCAL_MACHINE\\System\\)"           \
  R"(CurrentControlSet\\Control\\StorageDevicePolicies]\r\n\"WriteProtect\"=dword:)" data R"("}])"
#define PLACEHOLDER R"("{00000000-0000-0000-0000-000000000000}")"
#define MSIEXEC R"("files": [{"path": "C:\\WINDOWS\\SYSTEM32\\msiexec.exe"}], )"

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Verdicts, testing::ValuesIn(std::vector<VerdictCase>{
    {"two hung servers: the later one is terminated, the first hangs on", u"/restart",
     R"("files": [)" CMD ", " SCRIPT(R"(["Quenstead.exe"])") R"(], "processes": [
        {"pid": 100, "name": "Quenstead.exe", "on_close": "ignore"},
        {"pid": 104, "name": "Quenstead_d.exe", "on_close": "ignore", "elevated": true}])",
     false, "1 firmware program was never stopped",
     {"terminated Quenstead_d.exe (pid 104)", "warning: the server Quenstead.exe (pid 100) still runs",
      "warning: a second Quenstead.exe started while Quenstead.exe (pid 100) still runs",
      "the kill is not noted in the kill log"}},
    {"restarted", u"/restart", R"("files": [)" CMD ", " SCRIPT(R"(["Talvora.exe"])") "]", true,
     "the firmware was stopped and started again", {"StartUpFW.bat ran and started 1 program"}},
    {"an empty root", u"/restart", R"("environment": {"Kestrix_SYSTEM_ROOT": ""}, "files": [)" CMD "]",
     false, "root empty: nothing was started, the firmware stays down"},
    {"no interpreter", u"/restart", R"("files": [)" SCRIPT("[]") "]", false,
     "the command interpreter could not be started: the firmware stays down"},
    {"no script", u"/restart", R"("files": [)" CMD "]", false,
     "no start-up script under C:\\K: the firmware stays down"},
    {"a script that starts nothing", u"/restart", R"("files": [)" CMD ", " SCRIPT("[]") "]", false,
     "the start-up script started nothing"},
    {"stopped", u"/terminate",
     R"("processes": [{"name": "Talvora.exe", "windows": ["Talvora"], "elevated": true}, {"name": "notes.exe", "on_close": "ignore"}])",
     true, "the firmware is stopped"},
    {"an elevated firmware out of reach", u"/terminate", R"("system": {"administrator": false},
        "processes": [{"pid": 8, "name": "Talvora.exe", "windows": ["Talvora"], "elevated": true}])",
     false, "1 firmware program still runs: the account is not an administrator", {"(pid 8) still runs: it runs elevated"}},
    {"a hung interface", u"/terminate",
     R"("processes": [{"pid": 8, "name": "Talvora.exe", "windows": ["Talvora"], "on_close": "ignore"}])",
     false, "1 firmware program still runs", {"Talvora.exe (pid 8) still runs: it ignored 30 close requests"}},
    {"a listed product stays, another is not listed", u"/deinstall", MSIEXEC R"("products": [
        {"code": )" PLACEHOLDER R"(, "removal_works": false},
        {"code": "{11111111-2222-3333-4444-555555555555}", "name": "Old firmware"}])",
     false, "1 listed product is still installed",
     {"{00000000-0000-0000-0000-000000000000}: its uninstall failed",
      "installed but not in the table: {11111111-2222-3333-4444-555555555555} (Old firmware)"}},
    {"removed", u"/deinstall", MSIEXEC R"("products": [{"code": )" PLACEHOLDER "}]", true,
     "1 product was removed"},
    {"not an administrator: the uninstall is refused, an elevated firmware cannot be opened", u"/deinstall",
     MSIEXEC R"("products": [{"code": )" PLACEHOLDER R"(}],
        "processes": [{"pid": 8, "name": "Talvora.exe", "elevated": true}], "system": {"administrator": false})",
     false, "1 listed product is still installed: the account is not an administrator", {"(pid 8) still runs"}},
    {"no installer program", u"/deinstall", R"("products": [{"code": )" PLACEHOLDER "}]", false,
     "1 listed product is still installed", {"the installer program could not be started"}},
    {"protected already", u"/checkUSB", POLICY("1"), true,
     "write protection was on already: nothing was changed"},
    {"protected after the reboot", u"/checkUSB", IMPORT("00000001") ", " POLICY("0"), true,
     "a reboot was asked for, and after it WriteProtect is 1"},
    {"a settings file that does not protect", u"/checkUSB", IMPORT("00000000"), false,
     "a reboot was asked for, but the settings file does not set WriteProtect to 1", {"every /checkUSB will import and reboot again"}},
    {"not an administrator: nothing imported, no reboot", u"/checkUSB", IMPORT("00000001") R"(, "system": {"administrator": false})",
     false, "the reboot was refused and WriteProtect is not 1: the account is not an administrator"},
    {"a refused reboot", u"/checkUSB", IMPORT("00000001") R"(, "system": {"reboot": "refuse"})", false,
     "the reboot was refused; WriteProtect is 1 once the system restarts"},
    {"no shutdown privilege", u"/shutdown", R"("system": {"shutdown_privilege": false})", false,
     "the power-off was refused: the shutdown privilege could not be enabled, the analyzer stays on"},
    {"not an administrator", u"/shutdown", R"("system": {"administrator": false})", false,
     "the power-off was refused: the account is not an administrator and does not hold the shutdown privilege, the analyzer stays on"},
    {"a token that holds the privilege", u"/shutdown", R"("system": {"administrator": false, "shutdown_privilege": true})",
     true, "a power-off was asked for and accepted"},
    {"a system that refuses", u"/shutdown", R"("system": {"power_off": "refuse"})", false,
     "the power-off was refused by the system: the analyzer stays on"},
    {"the usage box", u"/bogus", R"("user": {})", true, "the usage box was shown: no operation ran"},
    {"a usage box nobody closes", u"/?", R"("user": {"closes_usage_box_after_ms": null})", false,
     "the run never ended: stuck (the time limit of one hour was reached)"},
    {"out of memory", u"/deinstall", R"("faults": {"widen_fails_from_call": 1})", false,
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

TEST(Fleet, JudgesEachMachineFileOfAFolderAndNamesOneThatIsNot) {
  const std::string folder = testing::TempDir() + "fleet";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(FENWRACK_EXAMPLES "/root-unset.json", folder + "/a.json",
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(folder + "/b.json") << R"({"processes": 1})";
  std::ofstream(folder + "/c.txt") << "not a machine file";
  const auto fleet = fenwrack_sim::JudgeFleet(folder, {u"Fenwrack.exe", u"/restart"});
  const std::string text = fenwrack_sim::FleetText(fleet);
  EXPECT_EQ(text.substr(0, text.find('\n') + 1),
            "a.json  NOT achieved  root unset: nothing was started, the firmware stays down\n");
  EXPECT_EQ(text.find("\nb.json  not a machine: " + folder + "/b.json:1:"), text.find('\n'));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_THROW(fenwrack_sim::JudgeFleet(folder + "/none", {u"Fenwrack.exe"}), std::runtime_error);
}

// The real run against the dry run's prediction: a difference that matters is named, pids are not.
TEST(Check, NamesEveryDifferenceThatMattersAndNoPid) {
  using json = nlohmann::json;
  const Machine demo = Machine::Demo();
  const json predicted = platform::sim::Run(demo, {u"Fenwrack.exe", u"/restart"}).machineAfter;
  const auto differences = [&predicted](const std::function<void(json&)>& change) {
    json observed = predicted;
    change(observed);
    return fenwrack_sim::Differences(Machine::FromJson(predicted, "p").json(),
                                     Machine::FromJson(observed, "o").json());
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(differences([](json& m) {
              for (json& p : m["processes"])
                p["pid"] = p["pid"].get<int>() + 1000;
            }),
            Lines{});
  EXPECT_EQ(differences([](json& m) {
              m["processes"].push_back({{"name", "Halvmark.exe"}});
              m["processes"].push_back({{"name", "notes.exe"}});
            }),
            Lines{"Halvmark.exe: 1 instance running predicted, 2 instances observed"});
  EXPECT_EQ(differences([](json& m) {
              for (json& f : m["files"])
                f.erase("content");
              m["registry"][0]["data"] = 0;
              m["products"] = {{{"code", "{00000000-0000-0000-0000-000000000000}"}}};
            }),
            (Lines{"kill log: 1 line predicted, 0 lines observed",
                   "WriteProtect: 1 predicted, not 1 observed",
                   "product {00000000-0000-0000-0000-000000000000}: not installed predicted, "
                   "installed observed"}));
}

}  // namespace
