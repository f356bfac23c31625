// Machine files: every misfit is one short line naming file and place, and what a run dumps reads
// back.
#include <gtest/gtest.h>

#include <string>

#include "fenwrack-sim/timeline_text.h"
#include "machine_file/machine.h"
#include "rows.h"
#include "sim/entry.h"
#include "sim/run_result.h"

namespace {

using machine_file::Machine;
using machine_file::MachineError;
using nlohmann::json;

class MachineErrors : public testing::TestWithParam<json> {};

// A row: a document read as m.json, and the one line it is refused with. Long and deep documents
// are in the fuzz corpus.
TEST_P(MachineErrors, AreOneShortLineNamingFileLineColumnPlaceAndWhat) {
  try {
    Machine::FromText(GetParam()["document"].get<std::string>(), "m.json");
    FAIL() << "accepted";
  } catch (const MachineError& e) {
    EXPECT_EQ(std::string(e.what()), GetParam()["message"]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MachineErrors,
    testing::ValuesIn(testing_support::Rows("machine_file/machine_errors.json")));

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
    const auto onDemo = sim::Run(demo, {u"Fenwrack.exe", op});
    const auto onReloaded = sim::Run(reloaded, {u"Fenwrack.exe", op});
    EXPECT_EQ(fenwrack_sim::FormatJsonLines(onDemo), fenwrack_sim::FormatJsonLines(onReloaded));
    const Machine after = Machine::FromText(
        machine_file::FormatMachine(machine_file::ToJson(onDemo.machineAfter)), "after");
    EXPECT_EQ(after.json(), machine_file::ToJson(onDemo.machineAfter));
  }
}

}  // namespace
