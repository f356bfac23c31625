// The rules of Windows the simulated machine follows where the tool meets them: how paths are
// normalised, and what the command interpreter makes of its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/simulator.h"

namespace {

using nlohmann::json;
using platform::sim::Machine;
using platform::sim::RunResult;

std::u16string Wide(const char* text) {
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

RunResult RunInterpreter(const Machine& machine, const std::string& arguments) {
  return platform::sim::RunFunction(machine, [&] {
    const platform::WString application = u"C:\\W\\cmd.exe";
    platform::WString line = Wide(arguments.c_str());
    platform::StartedProcess started;
    ASSERT_EQ(platform::StartProcess(&application, line, 0, 0, started), 1);
  });
}

struct PathCase {
  const char* path;
  bool found;
};

void PrintTo(const PathCase& c, std::ostream* os) {
  *os << c.path;
}

class PathForms : public testing::TestWithParam<PathCase> {};

// A search, an open and the interpreter's script lookup agree on every form.
TEST_P(PathForms, AreNormalisedAsWindowsDoesForEveryLookup) {
  const Machine machine = Machine::FromJson(
      {{"files",
        {{{"path", "C:\\W\\cmd.exe"}}, {{"path", "C:\\K\\bin\\a.bat"}, {"starts", {"a.exe"}}}}}},
      "test");
  bool found = false, opened = false;
  platform::sim::RunFunction(machine, [&] {
    found = static_cast<bool>(platform::FindFirst(Wide(GetParam().path)));
    opened = static_cast<bool>(platform::OpenCrtFile(Wide(GetParam().path), u"r"));
  });
  EXPECT_EQ(found, GetParam().found);
  EXPECT_EQ(opened, GetParam().found);
  const RunResult script =
      RunInterpreter(machine, std::string("/C \"\"") + GetParam().path + "\"\"");
  EXPECT_EQ(script.Named("process_start").size(), GetParam().found ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, PathForms,
                         testing::Values(PathCase{"C:\\K\\\\bin\\a.bat", true},
                                         PathCase{"C:/K//bin/a.bat", true},
                                         PathCase{"C:\\K\\.\\x\\..\\bin\\a.bat", true},
                                         PathCase{"C:\\..\\K\\bin\\a.bat", true},
                                         PathCase{"C:\\K\\bin.\\a.bat. . ", true},
                                         PathCase{"C:\\K\\bin..\\a.bat", false},
                                         PathCase{"C:\\K \\bin\\a.bat", false},
                                         PathCase{"C:\\K\\bin\\a.b at", false}));

TEST(PathForms, AFileCreatedThroughAnOddFormIsListedUnderItsFoldersSpelling) {
  const RunResult run = platform::sim::RunFunction(
      Machine::FromJson({{"files", {{{"path", "C:\\Log"}, {"directory", true}}}}}, "test"),
      [] { EXPECT_TRUE(platform::OpenCrtFile(u"c:\\LOG\\\\.\\Kill.log.", u"a")); });
  EXPECT_EQ(run.changes, std::vector<std::string>{"C:\\Log\\Kill.log: created"});
}

struct CommandCase {
  const char* commandLine;
  const char* commands;  // per command run: + a script that runs, - nothing found, = built in
};

void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.commandLine;
}

class Interpreter : public testing::TestWithParam<CommandCase> {};

TEST_P(Interpreter, QuotesThenExpandsThenRunsEachCommandItWould) {
  const Machine machine = Machine::FromJson(json::parse(R"({
      "environment": {"Root": "C:\\K", "PF": "C:\\Program Files"},
      "files": [{"path": "C:\\W\\cmd.exe"}, {"path": "C:\\K\\dir.bat", "directory": true},
        {"path": "C:\\Program Files (x86)\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
        {"path": "C:\\Program Files\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
        {"path": "C:\\K\\bin\\StartUpFW.bat", "starts": ["a.exe"]},
        {"path": "C:\\K\\b.bat", "starts": ["b.exe"]}]})"),
                                            "test");
  const RunResult run = RunInterpreter(machine, GetParam().commandLine);
  std::string commands;
  std::size_t runs = 0;
  for (const auto& e : run.Named("script")) {
    const bool builtIn = e.fields.value("builtin", false);
    runs += e.fields["runs"] && !builtIn ? 1 : 0;
    commands += std::string(commands.empty() ? "" : " | ") +
                (builtIn            ? "="
                 : e.fields["runs"] ? "+"
                                    : "-") +
                e.fields[builtIn ? "command" : "path"].get<std::string>();
  }
  EXPECT_EQ(commands, GetParam().commands);
  EXPECT_EQ(run.Named("process_start").size(), runs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Interpreter,
    testing::Values(
        CommandCase{R"(/C "C:\Program Files (x86)\K\bin\StartUpFW.bat")", R"(-C:\Program)"},
        CommandCase{R"(/C ""C:\Program Files (x86)\K\bin\StartUpFW.bat"")",
                    R"(+C:\Program Files (x86)\K\bin\StartUpFW.bat)"},
        CommandCase{R"(/C "C:\Program Files\K\bin\StartUpFW.bat")",
                    R"(+C:\Program Files\K\bin\StartUpFW.bat)"},
        CommandCase{R"(/C "C:\Program Files\K\bin\Missing.bat")", R"(-C:\Program)"},
        CommandCase{R"(/C "C:\K\bin\StartUpFW.bat")", R"(+C:\K\bin\StartUpFW.bat)"},
        CommandCase{R"(/c C:\k\BIN\startupfw.bat)", R"(+C:\k\BIN\startupfw.bat)"},
        CommandCase{R"(/C ""C:\K\dir.bat"")", R"(-C:\K\dir.bat)"},
        CommandCase{R"(/C ""%ROOT%\bin\StartUpFW.bat"")", R"(+C:\K\bin\StartUpFW.bat)"},
        CommandCase{R"(/C ""%PF%\K\bin\StartUpFW.bat"")",
                    R"(+C:\Program Files\K\bin\StartUpFW.bat)"},
        CommandCase{R"(/C "%NOPE%\b.bat")", R"(-%NOPE%\b.bat)"},
        CommandCase{R"(/C C:\K\bin\StartUpFW.bat&x)", R"(+C:\K\bin\StartUpFW.bat | -x)"},
        CommandCase{R"(/C x && C:\K\b.bat || %root%\b.bat)", R"(-x | +C:\K\b.bat)"},
        CommandCase{R"(/C C:\K\b.bat || x | echo "a&b" ^& y && @C:\K\b.bat)",
                    R"(+C:\K\b.bat | =echo "a&b" ^& y | +C:\K\b.bat)"}));

}  // namespace
