// What the timeline picture makes of a run's events.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fenwrack-sim/timeline_marks.h"
#include "machine_file/machine.h"
#include "platform/text/text.h"
#include "rows.h"
#include "sim/entry.h"

namespace {

namespace timeline = fenwrack_sim::timeline;

struct Wait {
  std::string lane;
  std::uint64_t fromMs = 0, toMs = 0;
  std::string label;
  bool operator==(const Wait&) const = default;
};

void PrintTo(const Wait& w, std::ostream* out) {
  *out << w.lane << " " << w.fromMs << "-" << w.toMs << " " << w.label;
}

struct WaitCase {
  std::string what, op;
  nlohmann::json machine;
  std::vector<Wait> waits;
};

void from_json(const nlohmann::json& j, WaitCase& c) {
  c = {.what = j.at("what"), .op = j.at("op"), .machine = j.at("machine"), .waits = {}};
  for (const nlohmann::json& w : j.at("waits"))
    c.waits.push_back({.lane = w.at("lane"),
                       .fromMs = w.at("from_ms"),
                       .toMs = w.at("to_ms"),
                       .label = w.at("label")});
}

using testing_support::PrintTo;

class Waits : public testing::TestWithParam<WaitCase> {};

// A row: the switch, the machine, and each wait bar of the picture: its lane, from and to (virtual
// ms) and its label.
TEST_P(Waits, EndWhenTheProcessWaitedForEnds) {
  const WaitCase& c = GetParam();
  const machine_file::Machine machine = machine_file::Machine::FromJson(c.machine, c.what);
  const timeline::Picture picture =
      timeline::Collect(sim::Run(machine, {u"Fenwrack.exe", platform::text::Utf8ToUtf16(c.op)}));
  std::vector<Wait> waits;
  for (const timeline::Bar& b : picture.bars) {
    if (b.kind == timeline::kWait)
      waits.push_back(
          {.lane = timeline::kLanes[b.lane], .fromMs = b.from, .toMs = b.to, .label = b.label});
  }
  EXPECT_EQ(waits, c.waits);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Waits, testing::ValuesIn(testing_support::Rows<WaitCase>("fenwrack-sim/waits.json")),
    testing_support::CaseName<WaitCase>);

}  // namespace
