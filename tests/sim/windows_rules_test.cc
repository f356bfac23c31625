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

}  // namespace
