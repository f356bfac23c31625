// Whole runs on the virtual clock: what each operation does outward, in order, and how it ends.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/tool_dialog.h"
#include "flag_names.h"
#include "platform/text/text.h"
#include "rows.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using Texts = std::vector<std::string>;

// The table: its rows, and the events and fields an outline holds (see its "about").
const nlohmann::json& Table() {
  static const nlohmann::json table = nlohmann::json::parse(TestFile("app/runs.json"));
  return table;
}

// The outline of a run as a row writes it: the steps of the main and worker threads whose event
// the table names, with those of its fields; a step repeated at once counts its "times".
nlohmann::json Outline(const RunResult& run) {
  const nlohmann::json& shown = Table()["outline_fields"];
  nlohmann::json steps = nlohmann::json::array(), last;
  for (const Event& e : run.events) {
    if (e.thread == "status" || !shown.contains(e.event))
      continue;
    nlohmann::json step = {{"event", e.event}};
    const nlohmann::json fields = sim::FieldsJson(e);
    for (const std::string key : shown[e.event])
      step[key] = key == "thread" ? nlohmann::json(e.thread) : fields.value(key, nlohmann::json());
    if (step == last) {
      steps.back()["times"] = steps.back().value("times", 1) + 1;
      continue;
    }
    last = step;
    step["t"] = e.t;
    steps.push_back(step);
  }
  return steps;
}

// A row's outline with its flags as numbers.
nlohmann::json Expected(nlohmann::json outline) {
  for (nlohmann::json& step : outline) {
    if (step.contains("flags"))
      step["flags"] = FlagsByName(step["flags"].get<std::string>());
  }
  return outline;
}

class Runs : public testing::TestWithParam<nlohmann::json> {};

TEST_P(Runs, DoTheirStepsInOrderAndEndAsExpected) {
  const nlohmann::json& c = GetParam();
  const RunResult run =
      sim::Run(Machine::FromJson(c["machine"], "test"),
               {u"Fenwrack.exe", platform::text::Utf8ToUtf16(c["op"].get<std::string>())});
  EXPECT_EQ(Outline(run), Expected(c["outline"]));
  EXPECT_EQ(EndHowName(run.how), c["how"]);
  EXPECT_EQ(run.virtualMs, c["ends_at_ms"]);
  EXPECT_EQ(run.exitCode, c.value("exit_code", 0));
  // The controller goes however the operation ended, unless the system went down.
  EXPECT_EQ(Count(run, "lock_delete"), run.how == EndHow::kExit ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, Runs,
                         testing::ValuesIn(Table()["rows"].get<std::vector<nlohmann::json>>()),
                         RowName);

MachineBuilder Analyzer() {
  return MachineBuilder()
      .Process({.pid = 5, .name = "Talvora.exe", .windows = {"Talvora"}, .closesAfterMs = 300})
      .UsageBoxClosedAfter(700)
      .PowerOff(false);
}

// What a run did, apart from the status window itself.
Texts Effects(const RunResult& run) {
  Texts effects;
  for (const Event& e : run.events) {
    if (e.thread != "status" && sim::FieldsJson(e).value("routine", "") != "StatusThreadProc")
      effects.push_back(std::to_string(e.t) + " " + e.thread + " " + e.event + " " +
                        sim::FieldsJson(e).dump());
  }
  return effects;
}

// A key ends the dialog as OK (1) or Cancel (2), and the window for good.
TEST(StatusWindow, EnterEscapeOrAFailedStartLeaveTheOperationAlone) {
  const Texts plain = Effects(RunTool(Analyzer(), {u"/terminate"}));
  for (const auto& [what, machine, ended] :
       std::vector<std::tuple<const char*, MachineBuilder, std::string>>{
           {"escape", Analyzer().StatusKey("Escape", 1500), "1500 2"},
           {"enter", Analyzer().StatusKey("Enter", 50), "50 1"},
           {"thread fails", Analyzer().Fault("thread_start_fails", {"status"}), ""},
           {"window fails", Analyzer().Fault("status_window_fails", true), ""}}) {
    const RunResult run = RunTool(machine, {u"/terminate"});
    EXPECT_EQ(Effects(run), plain) << what;
    EXPECT_EQ(run.exitCode, 0) << what;
    const auto ends = run.Named("dialog_end");
    const std::string end =
        ends.empty() ? ""
                     : std::to_string(ends[0].t) + " " + Str(sim::FieldsJson(ends[0])["result"]);
    EXPECT_EQ(end, ended) << what;
    EXPECT_LE(LastOn(run, "status"), ends.empty() ? 0 : ends[0].t) << what;
  }
}

// The window is shown, yet no text is written: there is none, or no timer to write it.
TEST(StatusWindow, NoTextIsWrittenWhenEmptyOrWithoutATimer) {
  const RunResult empty = sim::RunFunction(Analyzer().Build(), [] {
    g_toolDialog->m_text.clear();
    platform::BeginThread(&StatusThreadProc, nullptr, {"StatusThreadProc", "status"});
    platform::Pause(1000);
  });
  for (const RunResult& run : {empty, RunTool(Analyzer().Fault("timer_fails", true), {u"/?"})}) {
    EXPECT_EQ(Count(run, "status_window"), 1u);
    EXPECT_EQ(Count(run, "status_text"), 0u);
  }
}

// Runs that end while the window ticks, over and over: the sanitizer builds watch the teardown.
TEST(StatusWindow, ManyRunsEndingMidTickTearDownCleanly) {
  const MachineBuilder machine = Analyzer().UsageBoxClosedAfter(250).Reboot(false);
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(RunTool(machine, {i % 2 ? u"/checkUSB" : u"/?"}).how, EndHow::kExit);
}

}  // namespace
