// Starting the firmware: which start-up script, how it is quoted, and when nothing is started.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_control.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using testing_support::PrintTo;  // for the test names of the tables below
using Texts = std::vector<std::string>;

struct StartCase {
  const char* what;
  MachineBuilder machine;
  std::string script;   // the script chosen, empty for none
  Texts started;        // what the script brought up
  bool trusted = true;  // the interpreter is started
};

class FirmwareStart : public testing::TestWithParam<StartCase> {};

TEST_P(FirmwareStart, StartsTheFirstExistingScriptQuotedElseTheDebugOne) {
  const RunResult run =
      RunControl(GetParam().machine, [](CFirmwareControl& c) { c.StartFirmware(); });
  EXPECT_EQ(Fields(run, "create_process", "command_line"),
            Texts(GetParam().script.empty() || !GetParam().trusted ? 0 : 1,
                  "/C \"\"" + GetParam().script + "\"\""));
  for (const std::string& path : Fields(run, "find_file", "path"))
    EXPECT_EQ(path.find("binDebug"), std::string::npos) << "the debug script is taken unseen";
  EXPECT_EQ(Count(run, "find_file") == 0, GetParam().script.empty()) << "no look without a root";
  EXPECT_EQ(Fields(run, "process_start", "name"), GetParam().started);
}

MachineBuilder Root(const std::string& root) {
  return MachineBuilder().Env("Kestrix_SYSTEM_ROOT", root).File(kInterpreter);
}
const std::vector<ProcessSpec> kServer{{.name = "Halvmark.exe"}};
const std::string kBin = "C:\\K\\bin\\StartUpFW.bat";
const std::string kRelease = "C:\\K\\binRelease\\StartUpFW.bat";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, FirmwareStart, testing::ValuesIn(std::vector<StartCase>{
    {.what = "both", .machine = Root("C:\\K").Script(kBin, kServer).File(kRelease), .script = kBin, .started = {"Halvmark.exe"}},
    {.what = "release only", .machine = Root("C:\\K").Script(kRelease, kServer), .script = kRelease, .started = {"Halvmark.exe"}},
    {.what = "a directory counts", .machine = Root("C:\\K").Directory(kBin), .script = kBin, .started = {}},
    {.what = "root ends in a backslash", .machine = Root("C:\\K\\"), .script = "C:\\K\\\\binDebug\\StartUpFW.bat", .started = {}},
    {.what = "no interpreter", .machine = MachineBuilder().Env("Kestrix_SYSTEM_ROOT", "C:\\K").Script(kBin, kServer), .script = kBin, .started = {}, .trusted = false},
    {.what = "others may change the interpreter", .machine = Root("C:\\K").Script(kBin, kServer).Unprotected(kInterpreter), .script = kBin, .started = {}, .trusted = false},
    {.what = "others may change a folder above it", .machine = Root("C:\\K").Script(kBin, kServer).Unprotected("C:\\WINNT"), .script = kBin, .started = {}, .trusted = false},
    {.what = "others may change the script, or a folder beside", .machine = Root("C:\\K").Script(kBin, kServer).Unprotected(kBin).Unprotected("C:\\WINNT\\system"), .script = kBin, .started = {"Halvmark.exe"}},
    {.what = "empty root", .machine = Root("").File("C:\\bin\\StartUpFW.bat"), .script = "", .started = {}},
    {.what = "a quote in the root", .machine = Root("C:\\K\" & evil"), .script = "", .started = {}},
    {.what = "a percent sign in the root", .machine = Root("C:\\K%").Script("C:\\K%\\bin\\StartUpFW.bat", kServer), .script = "", .started = {}}}), CaseName<StartCase>);
// clang-format on

}  // namespace
