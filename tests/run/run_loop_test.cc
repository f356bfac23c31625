// fenwrack-run: which programs the loop starts for each answer of the ones before, the status it
// ends with, what its record says; and the quoting of the command lines it hands on.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "rows.h"
#include "run/command_line.h"
#include "run/run_loop.h"

namespace {

constexpr int kCannotStart = -1;
constexpr int kEndedBySystem = -2;  // the power-off or reboot ends everything, us too
struct EndedBySystem {};

// An exit code or status as loops.json gives it: a number, or by name what comes instead of one.
struct Code {
  int value = 0;
};
const std::map<std::string, int> kNamedCodes = {{"cannot start", kCannotStart},
                                                {"ended by the system", kEndedBySystem}};
void from_json(const nlohmann::json& j, Code& code) {
  code.value = j.is_string() ? kNamedCodes.at(j.get<std::string>()) : j.get<int>();
}
void to_json(nlohmann::json& j, const Code& code) {
  j = code.value;
}

const std::string kFolder = "C:\\Service Tools\\Prüfstand";
const std::string kRecord = "C:\\ProgramData\\Fenwrack\\records\\20261208T153012Z-restart";

// A row of loops.json, its fields named as these; the fields it leaves out take these values.
struct LoopCase {
  std::string what;
  std::vector<std::string> args;      // fenwrack-run's
  int captureBefore = 0;              // fenwrack-capture.exe's status
  int dryRun = 0;                     // fenwrack-sim.exe's
  std::string predictedEnd = "exit";  // the trace's end
  int predictedCode = 0;
  bool achieved = true;  // the trace's verdict
  Code tool;             // Fenwrack.exe's exit code, "cannot start" or "ended by the system"
  int captureAfter = 0;
  int check = 0;
  bool recordTaken = false;  // a record of that name exists
  bool dryRunDone = false;   // a record of an earlier run: for check
  std::vector<std::string> started;
  Code status;  // fenwrack-run's; "ended by the system" when it never returns
  std::string record = kRecord;
  std::vector<std::string> recordLines;  // record.txt holds them, after their times
  std::string checkLine;                 // check.txt holds it
  bool elevated = false;
  std::vector<std::string> unprotected;  // paths ending so are not protected
  std::vector<std::string> links;        // record files that are links
  std::string operation = "/restart";    // the verdict's
  std::string name = "Halvmark.exe";     // in every text the programs write
  std::vector<std::string> says;         // printed
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(LoopCase, what, args, captureBefore, dryRun,
                                                predictedEnd, predictedCode, achieved, tool,
                                                captureAfter, check, recordTaken, dryRunDone,
                                                started, status, record, recordLines, checkLine,
                                                elevated, unprotected, links, operation, name, says)
using testing_support::PrintTo;

struct FakeSystem : run::System {
  using Error = std::optional<std::string>;
  explicit FakeSystem(const LoopCase& c) : c_(c) {
    for (const char* exe : {"fenwrack-capture.exe", "fenwrack-sim.exe", "Fenwrack.exe"})
      files[kFolder + "\\" + exe] = "MZ";
  }

  Error Link(const std::string& path) const {
    for (const std::string& name : c_.links) {
      if (path.ends_with("\\" + name))
        return "is a link";
    }
    return Error();
  }
  Error Run(const host::Program& p, std::uint32_t& code) override {
    if (const Error link = Link(p.output) ? Link(p.output) : Link(p.error))
      return link;
    const std::string exe = p.path.substr(p.path.rfind('\\') + 1);
    const std::string quoted = run::QuoteArgument(p.path);
    EXPECT_EQ(p.commandLine.substr(0, quoted.size() + 1), quoted + " ");
    EXPECT_EQ(p.path, kFolder + "\\" + exe);
    started.push_back(exe + p.commandLine.substr(quoted.size()));
    // The tool runs where we were started; the others in the record, writing there.
    EXPECT_EQ(p.folder, exe == "Fenwrack.exe" ? "" : c_.record) << exe;
    int status = c_.tool.value;
    if (exe == "fenwrack-capture.exe") {
      status = p.commandLine.ends_with(" before.json") ? c_.captureBefore : c_.captureAfter;
      files[p.error] = status == 1 ? "fenwrack-capture: unknown: processes: " + c_.name +
                                         " could not be opened\nfenwrack-capture: unknown: "
                                         "processes: the list\n"
                                   : "";
    } else if (exe == "fenwrack-sim.exe" && p.commandLine.find(" --check ") != std::string::npos) {
      status = c_.check;
      files[p.output] = status == 0 ? "The instrument is as predicted.\n"
                                    : "The instrument is not as predicted:\n  " + c_.name +
                                          ": 1 instance running predicted, 0 instances observed\n";
    } else if (exe == "fenwrack-sim.exe") {
      status = c_.dryRun;
      files[p.error] = status == 2 ? "fenwrack-sim: before.json: not JSON\n"
                                   : "fenwrack-sim: /processes/0/name: " + c_.name + "\n";
      if (status != 2) {
        files[p.folder + "\\trace.jsonl"] = Trace();
        files[p.output] = "    0.000  main  sleep  1000 ms\n\nVerdict: /restart: " + c_.name + "\n";
      }
    }
    if (status == kEndedBySystem)
      throw EndedBySystem();
    code = static_cast<std::uint32_t>(status);
    return status == kCannotStart ? Error("no such file") : Error();
  }
  std::string Trace() const {
    return R"({"t":0,"thread":"main","event":"end","how":")" + c_.predictedEnd + R"(","code":)" +
           std::to_string(c_.predictedCode) +
           "}\n{\"t\":0,\"thread\":\"fenwrack-sim\",\"event\":\"verdict\",\"operation\":\"" +
           c_.operation + "\",\"achieved\":" + (c_.achieved ? "true" : "false") +
           R"(,"deciding":"it","details":[]})" + "\n";
  }
  host::Made MakeFolder(const std::string& path, std::string&) override {
    return folders.insert(path).second ? host::Made::kMade : host::Made::kExists;
  }
  Error Read(const std::string& p, std::string& text) override {
    if (const Error link = Link(p))
      return link;
    return files.count(p) ? (text = files[p], Error()) : "no such file";
  }
  Error Append(const std::string& p, std::string_view t) override {
    return Link(p) ? Link(p) : (files[p] += t, Error());
  }
  Error Replace(const std::string& p, std::string_view t) override {
    return Link(p) ? Link(p) : (files[p] = t, Error());
  }
  bool Elevated() override { return c_.elevated; }
  // A path that is missing is not protected either.
  bool Protected(const std::string& path) override {
    const auto inside = files.lower_bound(path + "\\");
    if (!folders.count(path) && !files.count(path) &&
        (inside == files.end() || !inside->first.starts_with(path + "\\")))
      return false;
    for (const std::string& end : c_.unprotected) {
      if (path.ends_with(end))
        return false;
    }
    return true;
  }
  std::string FullPath(const std::string& path) override { return path; }
  std::string ProgramFolder() override { return kFolder; }
  std::string DataFolder() override { return "C:\\ProgramData"; }
  host::UtcTime Now() override {
    return {.year = 2026, .month = 12, .day = 8, .hour = 15, .minute = 30, .second = 12};
  }
  void Print(int, std::string_view text) override { printed += text; }

  std::vector<std::string> started;
  std::set<std::string> folders = {kFolder};
  std::map<std::string, std::string> files;
  std::string printed;
  const LoopCase& c_;
};

class Loop : public testing::TestWithParam<LoopCase> {};

TEST_P(Loop, StartsTheStepsTheAnswersAllowAndEndsWithTheirStatus) {
  const LoopCase& c = GetParam();
  FakeSystem system(c);
  if (c.recordTaken)
    system.folders.insert(kRecord);
  if (c.dryRunDone) {
    system.files[c.record + "\\trace.jsonl"] = system.Trace();
    system.files[c.record + "\\predicted.json"] = "{}";
  }
  std::vector<std::string> args = {kFolder + "\\fenwrack-run.exe"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  int status = kEndedBySystem;
  try {
    status = run::Main(args, system);
  } catch (const EndedBySystem&) {
  }
  EXPECT_EQ(system.started, c.started);
  EXPECT_EQ(status, c.status.value) << system.printed;
  for (const std::string& text : c.says)
    EXPECT_NE(system.printed.find(text), std::string::npos) << text << "\n" << system.printed;
  // What the programs wrote reaches a terminal as text, never as what would act on it.
  EXPECT_TRUE(std::none_of(system.printed.begin(), system.printed.end(), [](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f;
  })) << system.printed;
  const std::string& record = system.files[c.record + "\\record.txt"];
  for (const std::string& line : c.recordLines)
    EXPECT_NE(record.find("2026-12-08T15:30:12Z " + line + "\n"), std::string::npos) << record;
  if (!c.checkLine.empty()) {
    EXPECT_NE(system.files[c.record + "\\check.txt"].find("\n  " + c.checkLine + "\n"),
              std::string::npos);
    EXPECT_NE(system.printed.find(c.checkLine), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Loop,
                         testing::ValuesIn(testing_support::Rows<LoopCase>("run/loops.json")),
                         testing_support::CaseName<LoopCase>);

class Quoting : public testing::TestWithParam<nlohmann::json> {};

TEST_P(Quoting, IsWhatCommandLineToArgvWReadsBackAsTheArgument) {
  EXPECT_EQ(run::QuoteArgument(GetParam()["what"].get<std::string>()), GetParam()["quoted"]);
}

INSTANTIATE_TEST_SUITE_P(Rows, Quoting,
                         testing::ValuesIn(testing_support::Rows("run/quoting.json")),
                         testing_support::RowName);

}  // namespace
