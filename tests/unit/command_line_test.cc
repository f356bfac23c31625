// The switches: what the walk leaves, which one operation runs, the usage box.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/fenwrack_app.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

// Which sequence ran, told by the first thing only that sequence does; terminate only starts the
// stop worker beside the status window.
std::string SequenceOf(const RunResult& run) {
  // clang-format off
  const std::map<std::string, std::string> marks = {{"message_box", "usage"}, {"exit_windows", "shutdown"},
      {"reg_open", "checkUSB"}, {"msi_query", "deinstall"}, {"create_process", "restart"}};
  // clang-format on
  for (const Event& e : run.events) {
    if (marks.count(e.event))
      return marks.at(e.event);
  }
  return Count(run, "thread_start") == 2 ? "terminate" : "none";
}

struct SwitchCase {
  std::vector<std::u16string> args;
  std::string fields;
  std::string sequence;
};
void PrintTo(const SwitchCase& c, std::ostream* out) {
  for (const std::u16string& arg : c.args)
    *out << '[' << std::string(arg.begin(), arg.end()) << ']';
}

class Switches : public testing::TestWithParam<SwitchCase> {};

// The six fields after the walk, in declaration order: terminate, shutdown, restart, usage,
// checkUSB, deinstall.
TEST_P(Switches, SetTheirFieldsAndTheFirstSequenceRunsAlone) {
  std::vector<std::u16string> argv{u"Fenwrack.exe"};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  std::string fields;
  const MachineBuilder machine =
      MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K").PowerOff(false).Reboot(false);
  const RunResult run = platform::sim::RunFunction(
      machine.Build(),
      [&] {
        theApp->InitInstance();
        const FenwrackCommandLine& cmd = theApp->m_cmdInfo;
        for (int f : {cmd.m_bTerminate, cmd.m_bShutdown, cmd.m_bRestart, cmd.m_bShowUsage,
                      cmd.m_bCheckUSB, cmd.m_bDeinstall})
          fields += static_cast<char>('0' + f);
      },
      argv);
  EXPECT_EQ(fields, GetParam().fields);
  EXPECT_EQ(SequenceOf(run), GetParam().sequence);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Switches, testing::ValuesIn(std::vector<SwitchCase>{
    // Without a mark a keyword is a plain argument.
    {{u"terminate"}, "000100", "usage"},
    // Operations run in a fixed order, whatever order the switches came in.
    {{u"/shutdown", u"/terminate"}, "110000", "terminate"}, {{u"/restart", u"/shutdown"}, "011000", "shutdown"},
    {{u"/checkUSB", u"-RESTART"}, "001010", "restart"},     {{u"/checkusb", u"/deinstall"}, "000011", "checkUSB"},
    // The last of the operation switches and "?"/"h" decides the usage box.
    {{u"/terminate", u"/?"}, "100100", "usage"}, {{u"/shutdown", u"-H"}, "010100", "usage"},
    {{u"/terminate", u"/terminate"}, "100000", "terminate"},
    // Unrecognised switches change nothing; only whole keywords count.
    {{u"/rundeinst"}, "000100", "usage"},   {{u"/ terminate"}, "000100", "usage"},
    {{u"/terminat"}, "000100", "usage"},    {{u"/terminatex"}, "000100", "usage"},
    // Only A to Z fold: a dotted capital I is not an i.
    {{u"/TERM\u0130NATE"}, "000100", "usage"}}));
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

// The status window beside it: at the corner, top-most, its template's size.
TEST(UsageBox, ShowsTheNineLinesOnTheMainThreadUntilClosedBesideTheStatusWindow) {
  const RunResult run = RunTool(MachineBuilder().UsageBoxClosedAfter(2500), {});
  const auto shown = run.Named("status_window");
  ASSERT_EQ(shown.size(), 1u);
  nlohmann::json placed = shown[0].fields;
  placed.erase("hwnd");
  EXPECT_EQ(placed.dump(),
            R"({"height":68,"text":"Statisch","topmost":true,"width":360,"x":0,"y":0})");
  const auto texts = run.Named("status_text");
  ASSERT_EQ(texts.size(), 1u) << "written on every tick, recorded when it changes";
  EXPECT_EQ(Str(texts[0].fields["text"]), "Removing firmware...");
  EXPECT_EQ(texts[0].t, shown[0].t + 100) << "\"Statisch\" until the first tick";
  const auto boxes = run.Named("message_box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].thread, "main");
  EXPECT_EQ(Str(boxes[0].fields["caption"]), "Fenwrack Usage");
  EXPECT_EQ(boxes[0].fields["style"], 0x40);
  EXPECT_EQ(Str(boxes[0].fields["text"]),
            "Fenwrack.exe \t[/restart] [/shutdown] [/terminate]\n"
            "                    \t\t[/checkUSB] [/deinstall] [/rundeinst]\n\n"
            "/restart\t\tRestarts the firmware            \n"
            "/shutdown\tShutdown the analyzer           \n"
            "/terminate\tTerminate the firmware         \n"
            "/checkUSB\tChecks if the USB Write Protection is installed \n"
            "/deinstall\t\tRemove all installed firmware applications\n"
            "/rundeinst\tRun all deinstalltion files\n");
  EXPECT_EQ(run.virtualMs, 2500u) << "the run ends when the box is closed";
}

}  // namespace
