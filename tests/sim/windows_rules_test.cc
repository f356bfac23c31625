// The rules of Windows the simulated machine follows where the tool meets them: how paths are
// normalised, what the programs the tool starts make of their command lines, text and case.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "machine_file/machine.h"
#include "platform/platform.h"
#include "platform/sim/entry.h"
#include "platform/text/text.h"
#include "sim_engine/run_result.h"

namespace {

using machine_file::Machine;
using nlohmann::json;
using sim_engine::RunResult;

const Machine& Analyzer() {
  static const Machine machine = Machine::FromJson(json::parse(R"({
      "environment": {"Root": "C:\\K"},
      "files": [{"path": "C:\\W\\cmd.exe"}, {"path": "C:\\K\\dir.bat", "directory": true},
        {"path": "C:\\Program Files (x86)\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
        {"path": "C:\\Program Files\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
        {"path": "C:\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
        {"path": "C:\\K\\b.bat", "starts": ["b.exe", "c.exe"]}, {"path": "C:\\W\\msiexec.exe"},
        {"path": "C:\\W\\regedit.exe"}, {"path": "C:\\K\\x.reg", "readable": false},
        {"path": "C:\\K\\a b.reg", "content": "\"X\"=dword:1\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=dword:0000000A\r\n  \"B\"=DWORD:b\r\n@=dword:2\r\n\"q\\\"t\"=dword:3\r\n\"N\"=dword:100000000\r\n\"S\"=\"4\"\r\n[HKEY_CURRENT_USER\\K]\r\n\"C\"=dword:4\r\n[hkey_local_machine\\L]\r\n\"D\"=dword:5\r\n[HKEY_LOCAL_MACHINE\\]\r\n\"E\"=dword:6\r\n"}],
      "products": [{"code": "{A}"}, {"code": "{B}", "removal_works": false}]})"),
                                                   "test");
  return machine;
}

// Runs a command line until its program ends; one that starts with / is the interpreter's, one
// after "user " runs for an account that is not an administrator.
RunResult Start(std::string command) {
  json user = Analyzer().json();
  user["system"]["administrator"] = false;
  const bool standard = command.rfind("user ", 0) == 0;
  command.erase(0, standard ? 5 : 0);
  return platform::sim::RunFunction(standard ? Machine::FromJson(user, "user") : Analyzer(), [&] {
    platform::WString line =
        platform::WidenAnsi((command[0] == '/' ? "C:\\W\\cmd.exe " + command : command).c_str());
    platform::StartedProcess started;
    ASSERT_EQ(platform::StartProcess(nullptr, line, 0, 0, started), 1);
    platform::WaitForObject(started.process, platform::kInfinite);
  });
}

// A search finds files and folders; an open and the interpreter's lookup want a file; a file
// made takes its folder's spelling.
TEST(PathForms, AreNormalisedAsWindowsDoesForEveryLookup) {
  struct Case {
    const char* path;
    bool found, isFile;
  };
  for (const Case& c :
       std::vector<Case>{{"c:/k//BIN\\\\startupfw.bat", true, true},
                         {"C:\\..\\K\\.\\x\\..\\bin.\\StartUpFW.bat. . ", true, true},
                         {"C:\\K\\bin..\\StartUpFW.bat", false, false},
                         {"C:\\K \\bin\\StartUpFW.bat", false, false},
                         {"C:\\K\\bi", false, false},
                         {"C:\\K\\dir.bat", true, false}}) {
    bool found = false, opened = false;
    platform::sim::RunFunction(Analyzer(), [&] {
      found = static_cast<bool>(platform::FindFirst(platform::WidenAnsi(c.path)));
      opened = static_cast<bool>(platform::OpenCrtFile(platform::WidenAnsi(c.path), u"r"));
    });
    EXPECT_EQ(std::pair(found, opened), std::pair(c.found, c.isFile)) << c.path;
    const RunResult run = Start(std::string("/C \"\"") + c.path + "\"\"");
    EXPECT_EQ(run.Named("process_start").size(), c.isFile ? 1u : 0u) << c.path;
  }
  const RunResult run = platform::sim::RunFunction(Analyzer(), [] {
    EXPECT_TRUE(platform::OpenCrtFile(u"c:\\k\\DIR.BAT\\\\.\\Kill.log.", u"a"));
  });
  EXPECT_EQ(run.changes, std::vector<std::string>{"C:\\K\\dir.bat\\Kill.log: created"});
}

// Per command run: + a script that runs, - nothing found, = built in.
TEST(Interpreter, QuotesThenExpandsThenRunsEachCommandItWould) {
  for (const auto& [line, expected] : std::vector<std::pair<std::string, std::string>>{
           {R"(/C "C:\Program Files (x86)\K\bin\StartUpFW.bat")", R"(-C:\Program)"},
           {R"(/C "C:\Program Files\K\bin\StartUpFW.bat")",
            R"(+C:\Program Files\K\bin\StartUpFW.bat)"},
           {R"(/C "C:\Program Files\K\bin\Missing.bat")", R"(-C:\Program)"},
           {R"(/C ""%ROOT%\bin\StartUpFW.bat"")", R"(+C:\K\bin\StartUpFW.bat)"},
           {R"(/c "%NOPE%\b.bat")", R"(-%NOPE%\b.bat)"},
           {R"(/C C:\K\bin\StartUpFW.bat&call x)", R"(+C:\K\bin\StartUpFW.bat | -x)"},
           {R"(/C x && C:\K\b.bat || %root%\bin\StartUpFW.bat)", R"(-x | +C:\K\bin\StartUpFW.bat)"},
           {R"(/C C:\K\b.bat || x | echo "a&b" ^& y && @C:\K\b.bat)",
            R"(+C:\K\b.bat | =echo "a&b" ^& y | +C:\K\b.bat)"},
           {R"(/C "C:\Program Files\K\bin\StartUpFW.bat" "x")", R"(-C:\Program)"},
           {R"(/C "C:\K\b.bat"x)", R"(-C:\K\b.batx)"},
           {R"(/Q x/C y /C C:\K\dir.bat & C:\K\b^.bat>x)", R"(-C:\K\dir.bat | +C:\K\b.bat)"}}) {
    std::string commands;
    for (const auto& e : Start(line).Named("script")) {
      commands += (commands.empty() ? "" : " | ") +
                  (e.fields.contains("builtin")
                       ? "=" + e.fields["command"].get<std::string>()
                       : (e.fields["runs"] ? "+" : "-") + e.fields["path"].get<std::string>());
    }
    EXPECT_EQ(commands, expected) << line;
  }
}

// Per program: when it ended, and what the system did meanwhile.
TEST(OutsidePrograms, DoWhatTheirSwitchesSayInTheirTime) {
  for (const auto& [command, expected] : std::vector<std::pair<std::string, std::string>>{
           {R"(C:\W\cmd.exe /C C:\K\b.bat)", "50: process_start b.exe 8 process_start c.exe 12"},
           {R"(C:\W\msiexec.exe /x {A} /qb!-)", "1500: msi_uninstall {A} true"},
           {"C:\\W\\msiexec.exe -X\t\"{a}\"", "1500: msi_uninstall {a} true"},
           {R"(C:\W\msiexec.exe /xx {A} /x {B})", "1500: msi_uninstall {B} false"},
           {R"(user C:\W\msiexec.exe /x {A})", "1500: msi_uninstall {A} 1625 false"},
           {R"(C:\W\regedit.exe /s "C:\K\a b.reg")",
            R"(300: reg_import K A 10 reg_import K B 11 reg_import K  2 reg_import K q"t 3 )"
            R"(reg_import L D 5)"},
           {R"(C:\W\regedit.exe -S C:\K\dir.bat)", R"(300: reg_import_failed C:\K\dir.bat)"},
           {R"(C:\W\regedit.exe /s C:\K\x.reg)", R"(300: reg_import_failed C:\K\x.reg)"}}) {
    const RunResult run = Start(command);
    std::string done = std::to_string(run.virtualMs) + ":";
    for (const auto& e : run.events) {
      if (e.thread != "system" || e.event == "script" || e.event == "process_exit")
        continue;
      done += " " + e.event;
      for (const auto& value : e.fields)
        done += " " + (value.is_string() ? value.get<std::string>() : value.dump());
    }
    EXPECT_EQ(done, expected) << command;
  }
}

std::string Problem(const std::string& bytes) {
  try {
    return platform::text::Utf16ToUtf8(platform::text::Utf8ToUtf16(bytes)) == bytes ? ""
                                                                                    : "changed";
  } catch (const platform::text::TextError& e) {
    return e.what();
  }
}

// Only well-formed UTF-8 and UTF-16 pass, the bad offset named; names compare as Windows
// upper-cases each 16-bit unit.
TEST(Text, ConvertsStrictlyAndFoldsAsWindows) {
  EXPECT_EQ(Problem("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "");
  const std::vector<std::string> bad = {"ab\xE0\x80\xAF",   "\xC0\xAF",   "x\xED\xA0\x80",
                                        "\xF4\x90\x80\x80", "xy\xE2\x82", "\x80",
                                        "\xF8\x88\x80"};
  // Overlong twice, a surrogate, above U+10FFFF, cut short, a stray trail, a five-byte lead.
  const int at[] = {2, 0, 1, 0, 2, 0, 0};
  for (std::size_t i = 0; i < bad.size(); ++i)
    EXPECT_EQ(Problem(bad[i]), "not well-formed UTF-8 at byte " + std::to_string(at[i]));
  EXPECT_THROW(platform::text::Utf16ToUtf8(std::u16string{u'a', 0xDC00}),
               platform::text::TextError);
  EXPECT_EQ(platform::WidenAnsi("A\x80\x81\x8A\x9F\xA0\xE9\xFF"),
            u"A\u20AC\u0081\u0160\u0178\u00A0\u00E9\u00FF");
  EXPECT_TRUE(platform::text::EqualNoCase("c:\\ärger\\ωμέγα\\ǆ\\ա\\ｚ\\я\\ÿ",
                                          "C:\\ÄRGER\\ΩΜΈΓΑ\\ǅ\\Ա\\Ｚ\\Я\\Ÿ"));
  EXPECT_FALSE(platform::text::EqualNoCase("\U0001D4B6", "\U0001D49C"))
      << "beyond 16 bits: as they are";
}

}  // namespace
