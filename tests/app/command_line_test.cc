// The switches: what the walk leaves, which one operation runs, the usage box.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/fenwrack_app.h"
#include "platform/text/text.h"
#include "rows.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

// Which sequence ran, told by the first thing only that sequence does (restart reads the root
// before it starts anything); terminate only starts the stop worker beside the status window.
std::string SequenceOf(const RunResult& run) {
  const std::map<std::string, std::string> marks = {{"message_box", "usage"},
                                                    {"exit_windows", "shutdown"},
                                                    {"reg_open", "checkUSB"},
                                                    {"msi_query", "deinstall"},
                                                    {"read_env", "restart"}};
  for (const Event& e : run.events) {
    if (marks.count(e.event))
      return marks.at(e.event);
  }
  return Count(run, "thread_start") == 2 ? "terminate" : "none";
}

class Switches : public testing::TestWithParam<nlohmann::json> {};

// A row: the arguments, the switch fields the walk sets, and the one sequence that runs.
TEST_P(Switches, SetTheirFieldsAndTheFirstSequenceRunsAlone) {
  std::vector<std::u16string> argv{u"Fenwrack.exe"};
  for (const nlohmann::json& arg : GetParam()["args"])
    argv.push_back(platform::text::Utf8ToUtf16(arg.get<std::string>()));
  std::vector<std::string> set;
  const MachineBuilder machine =
      MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K").PowerOff(false).Reboot(false);
  const RunResult run = sim::RunFunction(
      machine.Build(),
      [&] {
        theApp->InitInstance();
        const FenwrackCommandLine& cmd = theApp->m_cmdInfo;
        for (const auto& [field, name] : {std::pair{cmd.m_bTerminate, "terminate"},
                                          {cmd.m_bShutdown, "shutdown"},
                                          {cmd.m_bRestart, "restart"},
                                          {cmd.m_bShowUsage, "usage"},
                                          {cmd.m_bCheckUSB, "checkUSB"},
                                          {cmd.m_bDeinstall, "deinstall"}}) {
          if (field != 0)
            set.push_back(name);
        }
      },
      argv);
  EXPECT_EQ(set, GetParam()["set"]);
  EXPECT_EQ(SequenceOf(run), GetParam()["runs"]);
}

INSTANTIATE_TEST_SUITE_P(Table, Switches, testing::ValuesIn(Rows("app/switches.json")), RowName);

// The framework hands every argument over, in order, with its bFlag and bLast.
TEST(CommandLineWalk, VisitsEveryArgumentInOrder) {
  struct Recorder : framework::CCommandLineInfo {
    void ParseParam(const char16_t* param, framework::Bool flag, framework::Bool last) override {
      seen += std::u16string(param) + (flag ? u"F" : u"f") + (last ? u"L" : u"l") + u"|";
    }
    std::u16string seen;
  } recorder;
  sim::RunFunction(MachineBuilder().Build(), [&] { theApp->ParseCommandLine(recorder); },
                   {u"Fenwrack.exe", u"/a", u"", u"-", u"b", u"//c"});
  EXPECT_EQ(recorder.seen, u"aFl|fl|Fl|bfl|/cFL|");
}

// The box is the main thread's and holds the run until closed; beside it the status window shows
// its template's text until its first tick. The text itself: tests/cases/usage_no_arguments.json.
TEST(UsageBox, IsShownOnTheMainThreadUntilClosedBesideTheStatusWindow) {
  const RunResult run = RunTool(MachineBuilder().UsageBoxClosedAfter(2500), {});
  const auto shown = run.Named("status_window");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(Str(sim::FieldsJson(shown[0])["text"]), "Statisch");
  const auto texts = run.Named("status_text");
  ASSERT_EQ(texts.size(), 1u) << "written on every tick, recorded when it changes";
  EXPECT_EQ(texts[0].t, shown[0].t + 100);
  const auto boxes = run.Named("message_box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].thread, "main");
  EXPECT_EQ(Str(sim::FieldsJson(boxes[0])["text"]), platform::text::Utf16ToUtf8(kUsageText));
  EXPECT_EQ(sim::FieldsJson(boxes[0])["style"], 0x40) << "an information icon, OK alone";
  EXPECT_EQ(run.virtualMs, 2500u) << "the run ends when the box is closed";
}

}  // namespace
