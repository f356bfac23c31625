// The switches: what the walk leaves, which one operation runs, the usage box.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/fenwrack_app.h"
#include "platform/text/text.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

// The switch fields after the walk.
struct Fields {
  bool terminate = false, shutdown = false, restart = false, usage = false, checkUsb = false,
       deinstall = false;
  bool operator==(const Fields&) const = default;
};
void PrintTo(const Fields& f, std::ostream* out) {
  *out << (f.terminate ? "terminate " : "") << (f.shutdown ? "shutdown " : "")
       << (f.restart ? "restart " : "") << (f.usage ? "usage " : "")
       << (f.checkUsb ? "checkUSB " : "") << (f.deinstall ? "deinstall" : "");
}

// Which sequence ran, told by the first thing only that sequence does; terminate only starts the
// stop worker beside the status window.
std::string SequenceOf(const RunResult& run) {
  const std::map<std::string, std::string> marks = {{"message_box", "usage"},
                                                    {"exit_windows", "shutdown"},
                                                    {"reg_open", "checkUSB"},
                                                    {"msi_query", "deinstall"},
                                                    {"create_process", "restart"}};
  for (const Event& e : run.events) {
    if (marks.count(e.event))
      return marks.at(e.event);
  }
  return Count(run, "thread_start") == 2 ? "terminate" : "none";
}

struct SwitchCase {
  std::vector<std::u16string> args;
  Fields fields;
  std::string sequence;
};
void PrintTo(const SwitchCase& c, std::ostream* out) {
  for (const std::u16string& arg : c.args)
    *out << '[' << std::string(arg.begin(), arg.end()) << ']';
}

class Switches : public testing::TestWithParam<SwitchCase> {};

TEST_P(Switches, SetTheirFieldsAndTheFirstSequenceRunsAlone) {
  std::vector<std::u16string> argv{u"Fenwrack.exe"};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  Fields fields;
  const MachineBuilder machine =
      MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K").PowerOff(false).Reboot(false);
  const RunResult run = platform::sim::RunFunction(
      machine.Build(),
      [&] {
        theApp->InitInstance();
        const FenwrackCommandLine& cmd = theApp->m_cmdInfo;
        fields = {cmd.m_bTerminate != 0, cmd.m_bShutdown != 0, cmd.m_bRestart != 0,
                  cmd.m_bShowUsage != 0, cmd.m_bCheckUSB != 0, cmd.m_bDeinstall != 0};
      },
      argv);
  EXPECT_EQ(fields, GetParam().fields);
  EXPECT_EQ(SequenceOf(run), GetParam().sequence);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Switches, testing::ValuesIn(std::vector<SwitchCase>{
    // Without a mark a keyword is a plain argument.
    {{u"terminate"}, {.usage = true}, "usage"},
    // Operations run in a fixed order, whatever order the switches came in.
    {{u"/shutdown", u"/terminate"}, {.terminate = true, .shutdown = true}, "terminate"},
    {{u"/restart", u"/shutdown"}, {.shutdown = true, .restart = true}, "shutdown"},
    {{u"/checkUSB", u"-RESTART"}, {.restart = true, .checkUsb = true}, "restart"},
    {{u"/checkusb", u"/deinstall"}, {.checkUsb = true, .deinstall = true}, "checkUSB"},
    // The last of the operation switches and "?"/"h" decides the usage box.
    {{u"/terminate", u"/?"}, {.terminate = true, .usage = true}, "usage"},
    {{u"/shutdown", u"-H"}, {.shutdown = true, .usage = true}, "usage"},
    {{u"/terminate", u"/terminate"}, {.terminate = true}, "terminate"},
    // Unrecognised switches change nothing; only whole keywords count.
    {{u"/rundeinst"}, {.usage = true}, "usage"}, {{u"/ terminate"}, {.usage = true}, "usage"},
    {{u"/terminat"}, {.usage = true}, "usage"},  {{u"/terminatex"}, {.usage = true}, "usage"},
    // Only A to Z fold: a dotted capital I is not an i.
    {{u"/TERM\u0130NATE"}, {.usage = true}, "usage"}}));
// clang-format on

// The framework hands every argument over, in order, with its bFlag and bLast.
TEST(CommandLineWalk, VisitsEveryArgumentInOrder) {
  struct Recorder : framework::CCommandLineInfo {
    void ParseParam(const char16_t* param, framework::Bool flag, framework::Bool last) override {
      seen += std::u16string(param) + (flag ? u"F" : u"f") + (last ? u"L" : u"l") + u"|";
    }
    std::u16string seen;
  } recorder;
  platform::sim::RunFunction(MachineBuilder().Build(), [&] { theApp->ParseCommandLine(recorder); },
                             {u"Fenwrack.exe", u"/a", u"", u"-", u"b", u"//c"});
  EXPECT_EQ(recorder.seen, u"aFl|fl|Fl|bfl|/cFL|");
}

// The box is the main thread's and holds the run until closed; beside it the status window shows
// its template's text until its first tick. The text itself: tests/cases/usage_no_arguments.json.
TEST(UsageBox, IsShownOnTheMainThreadUntilClosedBesideTheStatusWindow) {
  const RunResult run = RunTool(MachineBuilder().UsageBoxClosedAfter(2500), {});
  const auto shown = run.Named("status_window");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(Str(shown[0].fields["text"]), "Statisch");
  const auto texts = run.Named("status_text");
  ASSERT_EQ(texts.size(), 1u) << "written on every tick, recorded when it changes";
  EXPECT_EQ(texts[0].t, shown[0].t + 100);
  const auto boxes = run.Named("message_box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].thread, "main");
  EXPECT_EQ(Str(boxes[0].fields["text"]), platform::text::Utf16ToUtf8(kUsageText));
  EXPECT_EQ(boxes[0].fields["style"], 0x40) << "an information icon, OK alone";
  EXPECT_EQ(run.virtualMs, 2500u) << "the run ends when the box is closed";
}

}  // namespace
