// The command-line walk and the six switch fields it leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/fenwrack_app.h"
#include "sim_support.h"

namespace {

using testing_support::MachineBuilder;

// Fields in declaration order: terminate, shutdown, restart, show usage, checkUSB, deinstall.
struct WalkCase {
  std::vector<std::u16string> args;
  std::string fields;
};

std::string FieldsAfterWalk(const std::vector<std::u16string>& args) {
  std::vector<std::u16string> argv{u"Fenwrack.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string fields;
  platform::sim::RunFunction(
      MachineBuilder().Build(),
      [&] {
        FenwrackCommandLine cmd;
        theApp->ParseCommandLine(cmd);
        for (int f : {cmd.m_bTerminate, cmd.m_bShutdown, cmd.m_bRestart, cmd.m_bShowUsage,
                      cmd.m_bCheckUSB, cmd.m_bDeinstall}) {
          fields += static_cast<char>('0' + f);
        }
      },
      argv);
  return fields;
}

class CommandLineWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(CommandLineWalk, LeavesTheSwitchFields) {
  EXPECT_EQ(FieldsAfterWalk(GetParam().args), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineWalk,
    testing::Values(
        WalkCase{{}, "000100"}, WalkCase{{u"/terminate"}, "100000"},
        WalkCase{{u"/TERMINATE"}, "100000"}, WalkCase{{u"-Terminate"}, "100000"},
        WalkCase{{u"/shutdown"}, "010000"}, WalkCase{{u"-RESTART"}, "001000"},
        WalkCase{{u"/checkusb"}, "000010"}, WalkCase{{u"/CheckUSB"}, "000010"},
        WalkCase{{u"/deinstall"}, "000001"},
        // Without a mark a keyword is a plain argument.
        WalkCase{{u"terminate"}, "000100"},
        // The last of the operation switches and "?"/"h" decides the usage box.
        WalkCase{{u"/terminate", u"/?"}, "100100"}, WalkCase{{u"/?", u"/terminate"}, "100000"},
        WalkCase{{u"/shutdown", u"-H"}, "010100"}, WalkCase{{u"-h", u"/shutdown"}, "010000"},
        WalkCase{{u"/restart", u"/deinstall"}, "001001"},
        WalkCase{{u"/terminate", u"/terminate"}, "100000"},
        // Unrecognised switches change nothing.
        WalkCase{{u"/help"}, "000100"}, WalkCase{{u"/help", u"/shutdown"}, "010000"},
        WalkCase{{u"/rundeinst"}, "000100"}, WalkCase{{u"//terminate"}, "000100"},
        WalkCase{{u"/", u"terminate"}, "000100"}, WalkCase{{u"-/terminate"}, "000100"},
        WalkCase{{u""}, "000100"}, WalkCase{{u"/terminate:1"}, "000100"},
        WalkCase{{u"/terminate "}, "000100"}, WalkCase{{u"/ terminate"}, "000100"},
        WalkCase{{u"/terminat"}, "000100"}, WalkCase{{u"/terminatex"}, "000100"},
        // Only A to Z fold: a dotted capital I is not an i.
        WalkCase{{u"/TERM\u0130NATE"}, "000100"}, WalkCase{{u"/\uFF54erminate"}, "000100"}));

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

}  // namespace
