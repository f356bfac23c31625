// The verdict of a run: what decides it for each switch, and what it says is left.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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
  const fenwrack_sim::Verdict v = fenwrack_sim::Judge(machine, args, sim::Run(machine, args));
  std::memcpy(SimulatedProductCodes, table, sizeof table);
  EXPECT_EQ(v.achieved, c["achieved"]) << v.Text();
  EXPECT_EQ(v.deciding, c["deciding"]) << v.Text();
  EXPECT_EQ(v.details, c.value("details", std::vector<std::string>{})) << v.Text();
}

INSTANTIATE_TEST_SUITE_P(Table, Verdicts, testing::ValuesIn(Rows("fenwrack-sim/verdicts.json")),
                         RowName);

// Names and values the tool never acts on but that look meant for it; the right ones pass quietly.
TEST(Warnings, NameThePlaceOfEachNearMiss) {
  const json c = json::parse(testing_support::TestFile("fenwrack-sim/near_misses.json"));
  std::vector<std::string> places;
  for (const std::string& line :
       fenwrack_sim::Warnings(Machine::FromJson(c["machine"], "t").model()))
    places.push_back(line.substr(0, line.find(':')));
  EXPECT_EQ(places, c["places"].get<std::vector<std::string>>());
}

class Fleet : public testing::TestWithParam<json> {};

// A row: the files of a folder, and the fleet's text and JSON lines (one form for every fleet:
// one row shows it); @ stands for the folder.
TEST_P(Fleet, JudgesEachMachineFileOfAFolderAndNamesOneThatIsNot) {
  const json& c = GetParam();
  const std::string folder = testing::TempDir() + "fleet " + std::to_string(c.dump().size());
  std::filesystem::remove_all(folder);  // what an earlier run of the row left
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

class Check : public testing::TestWithParam<json> {};

// A row: a JSON patch from the dry run's prediction to the capture, and the lines of the check.
TEST_P(Check, NamesEveryDifferenceThatMattersAndNoPid) {
  // The demo's /restart, beside products that it leaves as they are.
  static const json predicted = [] {
    json m = Machine::Demo().json();
    m["products"] =
        json::parse(R"([{"code": "{A}"}, {"code": "{B}"}, {"code": "{C}", "state": 2}])");
    return machine_file::ToJson(
        sim::Run(Machine::FromJson(m, "p"), {u"Fenwrack.exe", u"/restart"}).machineAfter);
  }();
  EXPECT_EQ(fenwrack_sim::Differences(
                Machine::FromJson(predicted, "p").model(),
                Machine::FromJson(predicted.patch(GetParam()["patch"]), "o").model()),
            GetParam()["lines"].get<std::vector<std::string>>());
}

INSTANTIATE_TEST_SUITE_P(Table, Check, testing::ValuesIn(Rows("fenwrack-sim/checks.json")),
                         RowName);

}  // namespace
