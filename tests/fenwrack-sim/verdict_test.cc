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
#include "platform/text/text.h"
#include "rows.h"

namespace {

using machine_file::Machine;
using nlohmann::json;
using testing_support::RowName;
using testing_support::Rows;

class Verdicts : public testing::TestWithParam<json> {};

// A row: the switches, the machine, and the verdict: achieved, what decides, every detail line in
// order; "table" puts codes in the product-code table's first slots.
TEST_P(Verdicts, SayWhatDecidesAndWhatIsLeft) {
  const json& c = GetParam();
  const Machine machine = Machine::FromJson(c["machine"], "t");
  std::vector<std::u16string> args = {u"Fenwrack.exe"};
  for (const json& arg : c["args"])
    args.push_back(platform::text::Utf8ToUtf16(arg.get<std::string>()));
  char table[kProductCodeSlots][kProductCodeSlotSize];
  std::memcpy(table, SimulatedProductCodes, sizeof table);
  const std::vector<std::string> codes = c.value("table", std::vector<std::string>{});
  for (std::size_t i = 0; i < codes.size(); ++i)
    std::snprintf(SimulatedProductCodes[i], kProductCodeSlotSize, "%s", codes[i].c_str());
  const fenwrack_sim::Verdict v =
      fenwrack_sim::Judge(machine, args, platform::sim::Run(machine, args));
  std::memcpy(SimulatedProductCodes, table, sizeof table);
  EXPECT_EQ(v.achieved, c["achieved"]) << v.Text();
  EXPECT_EQ(v.deciding, c["deciding"]) << v.Text();
  EXPECT_EQ(v.details, c.value("details", std::vector<std::string>{})) << v.Text();
}

INSTANTIATE_TEST_SUITE_P(Table, Verdicts, testing::ValuesIn(Rows("fenwrack-sim/verdicts.json")),
                         RowName);

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

class Fleet : public testing::TestWithParam<json> {};

// A row: the files of a folder, and the fleet's text and JSON lines (one form for every fleet:
// one row shows it); @ stands for the folder.
TEST_P(Fleet, JudgesEachMachineFileOfAFolderAndNamesOneThatIsNot) {
  const json& c = GetParam();
  const std::string folder = testing::TempDir() + "fleet " + std::to_string(c.dump().size());
  std::filesystem::create_directories(folder);
  for (const auto& [name, content] : c["files"].items())
    std::ofstream(folder + "/" + name) << content.get<std::string>();
  const auto in = [&folder](const std::string& s) {
    return std::regex_replace(s, std::regex("@"), folder);
  };
  const auto fleet = fenwrack_sim::JudgeFleet(
      folder, {u"Fenwrack.exe", platform::text::Utf8ToUtf16(c["op"].get<std::string>())});
  EXPECT_EQ(fenwrack_sim::FleetText(fleet), in(c["text"]));
  if (c.contains("json_lines")) {
    EXPECT_EQ(fenwrack_sim::FleetJsonLines(fleet), in(c["json_lines"]));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Fleet, testing::ValuesIn(Rows("fenwrack-sim/fleets.json")),
                         RowName);

struct CheckCase {
  const char* what;
  std::function<void(json&)> change;  // from the prediction to the capture
  std::vector<std::string> lines;
};

void PrintTo(const CheckCase& c, std::ostream* out) {
  *out << c.what;
}

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
