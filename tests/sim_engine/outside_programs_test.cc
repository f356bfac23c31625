// The programs the tool starts, as the simulated machine runs them: what the command interpreter
// makes of a command line, and what the installer and the registry editor do in their time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine_file/machine.h"
#include "platform/platform.h"
#include "platform/sim/entry.h"
#include "sim_engine/run_result.h"

namespace {

using machine_file::Machine;
using nlohmann::json;
using sim_engine::RunResult;

// A script that starts `starts`, as a file of the machine.
json Script(const char* path, json starts) {
  return {{"path", path}, {"starts", std::move(starts)}};
}

const Machine& Analyzer() {
  static const Machine machine = Machine::FromJson(
      {{"environment", {{"Root", "C:\\K"}}},
       {"files",
        {{{"path", "C:\\W\\cmd.exe"}},
         {{"path", "C:\\W\\msiexec.exe"}},
         {{"path", "C:\\W\\regedit.exe"}},
         {{"path", "C:\\K\\dir.bat"}, {"directory", true}},
         Script("C:\\Program Files (x86)\\K\\bin\\StartUpFW.bat", {"a.exe"}),
         Script("C:\\Program Files\\K\\bin\\StartUpFW.bat", {"a.exe"}),
         Script("C:\\K\\bin\\StartUpFW.bat", {"a.exe"}),
         Script("C:\\K\\b.bat", {"b.exe", "c.exe"}),
         {{"path", "C:\\K\\x.reg"}, {"readable", false}},
         {{"path", "C:\\K\\a b.reg"},
          {"content",
           "\"X\"=dword:1\r\n"  // before any key: not imported
           "[HKEY_LOCAL_MACHINE\\K]\r\n"
           "\"A\"=dword:0000000A\r\n"
           "  \"B\"=DWORD:b\r\n"
           "@=dword:2\r\n"
           "\"q\\\"t\"=dword:3\r\n"
           "\"N\"=dword:100000000\r\n"  // too large
           "\"S\"=\"4\"\r\n"            // not a DWORD
           "[HKEY_CURRENT_USER\\K]\r\n"
           "\"C\"=dword:4\r\n"
           "[hkey_local_machine\\L]\r\n"
           "\"D\"=dword:5\r\n"
           "[HKEY_LOCAL_MACHINE\\]\r\n"
           "\"E\"=dword:6\r\n"}}}},
       {"products", {{{"code", "{A}"}}, {{"code", "{B}"}, {"removal_works", false}}}}},
      "test");
  return machine;
}

// Runs a command line until its program ends; one that starts with / is the interpreter's.
RunResult Start(std::string command, bool administrator = true) {
  json machine = Analyzer().json();
  machine["system"]["administrator"] = administrator;
  return platform::sim::RunFunction(Machine::FromJson(machine, "test"), [&] {
    platform::WString line =
        platform::WidenAnsi((command[0] == '/' ? "C:\\W\\cmd.exe " + command : command).c_str());
    platform::StartedProcess started;
    ASSERT_EQ(platform::StartProcess(nullptr, line, 0, 0, started), 1);
    platform::WaitForObject(started.process, platform::kInfinite);
  });
}

// One command the interpreter took from the line.
struct Command {
  enum Kind { kRuns, kNotFound, kBuiltIn } kind;
  std::string text;  // the script's path, or the built-in command
  bool operator==(const Command&) const = default;
};
void PrintTo(const Command& c, std::ostream* out) {
  *out << "+-="[c.kind] << c.text;
}
Command Runs(const char* path) {
  return {Command::kRuns, path};
}
Command NotFound(const char* path) {
  return {Command::kNotFound, path};
}

struct InterpreterCase {
  const char* line;
  std::vector<Command> commands;
};
void PrintTo(const InterpreterCase& c, std::ostream* out) {
  *out << c.line;
}

class Interpreter : public testing::TestWithParam<InterpreterCase> {};

TEST_P(Interpreter, QuotesThenExpandsThenRunsEachCommandItWould) {
  std::vector<Command> commands;
  for (const auto& e : Start(GetParam().line).Named("script")) {
    if (e.fields.contains("builtin"))
      commands.push_back({Command::kBuiltIn, e.fields["command"]});
    else
      commands.push_back(
          {e.fields["runs"] ? Command::kRuns : Command::kNotFound, e.fields["path"]});
  }
  EXPECT_EQ(commands, GetParam().commands) << GetParam().line;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Interpreter, testing::ValuesIn(std::vector<InterpreterCase>{
    // One pair of quotes: the first and the last quote go, then a blank ends the program.
    {R"(/C "C:\Program Files (x86)\K\bin\StartUpFW.bat")", {NotFound(R"(C:\Program)")}},
    {R"(/C "C:\Program Files\K\bin\StartUpFW.bat")", {Runs(R"(C:\Program Files\K\bin\StartUpFW.bat)")}},
    {R"(/C "C:\Program Files\K\bin\Missing.bat")", {NotFound(R"(C:\Program)")}},
    {R"(/C "C:\Program Files\K\bin\StartUpFW.bat" "x")", {NotFound(R"(C:\Program)")}},
    {R"(/C "C:\K\b.bat"x)", {NotFound(R"(C:\K\b.batx)")}},
    // Variables expand without regard to case; an unknown one stays.
    {R"(/C ""%ROOT%\bin\StartUpFW.bat"")", {Runs(R"(C:\K\bin\StartUpFW.bat)")}},
    {R"(/c "%NOPE%\b.bat")", {NotFound(R"(%NOPE%\b.bat)")}},
    // & runs on, && on success, || on failure, | both; ^ escapes; a directory is no script.
    {R"(/C C:\K\bin\StartUpFW.bat&call x)", {Runs(R"(C:\K\bin\StartUpFW.bat)"), NotFound("x")}},
    {R"(/C x && C:\K\b.bat || %root%\bin\StartUpFW.bat)", {NotFound("x"), Runs(R"(C:\K\bin\StartUpFW.bat)")}},
    {R"(/C C:\K\b.bat || x | echo "a&b" ^& y && @C:\K\b.bat)",
     {Runs(R"(C:\K\b.bat)"), {Command::kBuiltIn, R"(echo "a&b" ^& y)"}, Runs(R"(C:\K\b.bat)")}},
    {R"(/Q x/C y /C C:\K\dir.bat & C:\K\b^.bat>x)", {NotFound(R"(C:\K\dir.bat)"), Runs(R"(C:\K\b.bat)")}}}));
// clang-format on

// One event of the system thread.
struct SystemEvent {
  std::string event;
  json fields;
  bool operator==(const SystemEvent&) const = default;
};
void PrintTo(const SystemEvent& e, std::ostream* out) {
  *out << e.event << ' ' << e.fields.dump();
}

struct ProgramCase {
  const char* command;
  bool administrator;
  std::uint64_t endsAtMs;
  std::vector<SystemEvent> done;  // apart from the processes' ends and the script lines
};
void PrintTo(const ProgramCase& c, std::ostream* out) {
  *out << c.command << (c.administrator ? "" : " (standard account)");
}

class OutsidePrograms : public testing::TestWithParam<ProgramCase> {};

TEST_P(OutsidePrograms, DoWhatTheirSwitchesSayInTheirTime) {
  const RunResult run = Start(GetParam().command, GetParam().administrator);
  std::vector<SystemEvent> done;
  for (const auto& e : run.events) {
    if (e.thread == "system" && e.event != "script" && e.event != "process_exit")
      done.push_back({e.event, e.fields});
  }
  EXPECT_EQ(run.virtualMs, GetParam().endsAtMs);
  EXPECT_EQ(done, GetParam().done);
}

SystemEvent Started(const char* name, int pid) {
  return {"process_start", {{"name", name}, {"pid", pid}}};
}
SystemEvent Uninstall(const char* code, bool removed) {
  return {"msi_uninstall", {{"code", code}, {"removed", removed}}};
}
SystemEvent Import(const char* key, const char* name, int value) {
  return {"reg_import", {{"key", key}, {"name", name}, {"value", value}}};
}
SystemEvent ImportFailed(const char* path) {
  return {"reg_import_failed", {{"path", path}}};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, OutsidePrograms, testing::ValuesIn(std::vector<ProgramCase>{
    {R"(C:\W\cmd.exe /C C:\K\b.bat)", true, 50, {Started("b.exe", 8), Started("c.exe", 12)}},
    {R"(C:\W\msiexec.exe /x {A} /qb!-)", true, 1500, {Uninstall("{A}", true)}},
    // Either mark, either case, a tab, a quoted code that differs in case.
    {"C:\\W\\msiexec.exe -X\t\"{a}\"", true, 1500, {Uninstall("{a}", true)}},
    // The last /x counts; a product whose removal fails stays.
    {R"(C:\W\msiexec.exe /xx {A} /x {B})", true, 1500, {Uninstall("{B}", false)}},
    {R"(C:\W\msiexec.exe /x {A})", false, 1500, {{"msi_uninstall", {{"code", "{A}"}, {"exit_code", 1625}, {"removed", false}}}}},
    // Only DWORDs in range under HKEY_LOCAL_MACHINE\<key>; keys in any case.
    {R"(C:\W\regedit.exe /s "C:\K\a b.reg")", true, 300,
     {Import("K", "A", 10), Import("K", "B", 11), Import("K", "", 2), Import("K", "q\"t", 3), Import("L", "D", 5)}},
    {R"(C:\W\regedit.exe -S C:\K\dir.bat)", true, 300, {ImportFailed(R"(C:\K\dir.bat)")}},
    {R"(C:\W\regedit.exe /s C:\K\x.reg)", true, 300, {ImportFailed(R"(C:\K\x.reg)")}}}));
// clang-format on

}  // namespace
