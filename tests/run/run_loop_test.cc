// fenwrack-run: which programs the loop starts for each answer of the ones before, the status it
// ends with, what its record says; and the quoting of the command lines it hands on.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "run/command_line.h"
#include "run/run_loop.h"

namespace {

constexpr int kCannotStart = -1;
constexpr int kEndedBySystem = -2;  // the power-off or reboot ends everything, us too
struct EndedBySystem {};

const std::string kFolder = "C:\\Service Tools\\Prüfstand";
const std::string kRecord = kFolder + "\\records\\20261208T153012Z-restart";
const std::string kCaptureBefore = "fenwrack-capture.exe before.json";
const std::string kDryRun =
    "fenwrack-sim.exe --machine before.json --trace trace.jsonl --svg picture.svg --dump-machine "
    "predicted.json --require-achieved -- /restart";
const std::string kTool = "Fenwrack.exe /restart";
const std::string kCaptureAfter = "fenwrack-capture.exe after.json";
const std::string kCheck = "fenwrack-sim.exe --check predicted.json after.json";
const std::string kCheckRestarted =
    "fenwrack-sim.exe --check --restarted predicted.json after.json";

struct LoopCase {
  const char* name = "";
  std::vector<std::string> args = {};  // fenwrack-run's
  int before = 0;                      // fenwrack-capture.exe's status
  int dryRun = 0;                      // fenwrack-sim.exe's
  const char* end = "exit";            // the trace's end
  int predictedCode = 0;
  bool achieved = true;  // the trace's verdict
  int tool = 0;          // Fenwrack.exe's exit code
  int after = 0;
  int check = 0;
  bool taken = false;       // a record of that name exists
  bool dryRunDone = false;  // a record of an earlier run: for check
  std::vector<std::string> started = {};
  int status = 0;
  std::string record = kRecord;
  std::vector<std::string> recordLines = {};  // record.txt holds them, after their times
  std::string checkLine = {};                 // check.txt holds it
};
void PrintTo(const LoopCase& c, std::ostream* out) {
  *out << c.name;
}

struct FakeSystem : run::System {
  using Error = std::optional<std::string>;
  explicit FakeSystem(const LoopCase& c) : c_(c) {}

  Error Run(const host::Program& p, std::uint32_t& code) override {
    const std::string exe = p.path.substr(p.path.rfind('\\') + 1);
    const std::string quoted = run::QuoteArgument(p.path);
    EXPECT_EQ(p.commandLine.substr(0, quoted.size() + 1), quoted + " ");
    EXPECT_EQ(p.path, kFolder + "\\" + exe);
    started.push_back(exe + p.commandLine.substr(quoted.size()));
    // The tool runs where we were started; the others in the record, writing there.
    EXPECT_EQ(p.folder, exe == "Fenwrack.exe" ? "" : c_.record) << exe;
    int status = c_.tool;
    if (exe == "fenwrack-capture.exe") {
      status = p.commandLine.ends_with(" before.json") ? c_.before : c_.after;
      files[p.error] = status == 1 ? "fenwrack-capture: unknown: the installed products\n" : "";
    } else if (exe == "fenwrack-sim.exe" && p.commandLine.find(" --check ") != std::string::npos) {
      status = c_.check;
      files[p.output] = status == 0 ? "The instrument is as predicted.\n"
                                    : "The instrument is not as predicted:\n  Halvmark.exe: 1 "
                                      "instance running predicted, 0 instances observed\n";
    } else if (exe == "fenwrack-sim.exe") {
      status = c_.dryRun;
      files[p.error] = status == 2 ? "fenwrack-sim: before.json: not JSON\n" : "";
      if (status != 2) {
        files[c_.record + "\\trace.jsonl"] = Trace();
        files[p.output] = "    0.000  main  sleep  1000 ms\n\nVerdict: /restart: it\n";
      }
    }
    if (status == kEndedBySystem)
      throw EndedBySystem();
    code = static_cast<std::uint32_t>(status);
    return status == kCannotStart ? Error("no such file") : Error();
  }
  std::string Trace() const {
    return R"({"t":0,"thread":"main","event":"end","how":")" + std::string(c_.end) +
           R"(","code":)" + std::to_string(c_.predictedCode) +
           "}\n{\"t\":0,\"thread\":\"fenwrack-sim\",\"event\":\"verdict\",\"achieved\":" +
           (c_.achieved ? "true" : "false") + R"(,"deciding":"it","details":[]})" + "\n";
  }
  host::Made MakeFolder(const std::string& path, std::string&) override {
    return folders.insert(path).second ? host::Made::kMade : host::Made::kExists;
  }
  Error Read(const std::string& p, std::string& text) override {
    return files.count(p) ? (text = files[p], Error()) : "no such file";
  }
  Error Append(const std::string& p, std::string_view t) override { return files[p] += t, Error(); }
  Error Replace(const std::string& p, std::string_view t) override { return files[p] = t, Error(); }
  std::string FullPath(const std::string& path) override { return path; }
  std::string ProgramFolder() override { return kFolder; }
  host::UtcTime Now() override { return {2026, 12, 8, 15, 30, 12}; }
  void Print(int, std::string_view text) override { printed += text; }

  std::vector<std::string> started;
  std::set<std::string> folders;
  std::map<std::string, std::string> files;
  std::string printed;
  const LoopCase& c_;
};

class Loop : public testing::TestWithParam<LoopCase> {};

TEST_P(Loop, StartsTheStepsTheAnswersAllowAndEndsWithTheirStatus) {
  const LoopCase& c = GetParam();
  FakeSystem system(c);
  if (c.taken)
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
  EXPECT_EQ(status, c.status) << system.printed;
  const std::string& record = system.files[c.record + "\\record.txt"];
  for (const std::string& line : c.recordLines)
    EXPECT_NE(record.find("2026-12-08T15:30:12Z " + line + "\n"), std::string::npos) << record;
  if (!c.checkLine.empty()) {
    EXPECT_NE(system.files[c.record + "\\check.txt"].find("\n  " + c.checkLine + "\n"),
              std::string::npos);
    EXPECT_NE(system.printed.find(c.checkLine), std::string::npos);
  }
}

const std::string kRun = "run: \"" + kFolder + "\\fenwrack-run.exe\" /restart";
const std::string kNote =
    "note: the instrument will go down (reboot); after the restart: "
    "fenwrack-run check \"" +
    kRecord + "\"";
const std::vector<std::string> kAll = {kCaptureBefore, kDryRun, kTool, kCaptureAfter, kCheck};
const std::vector<std::string> kUntilDryRun = {kCaptureBefore, kDryRun};
const std::vector<std::string> kUntilTool = {kCaptureBefore, kDryRun, kTool};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Loop, testing::Values(
    LoopCase{.name = "achieved and as predicted", .args = {"/restart"}, .started = kAll, .status = 0,
             .recordLines = {kRun, "record: " + kRecord, "tool: exit code 0", "check: as predicted",
                             "status 0: achieved, and the instrument is as predicted"}},
    LoopCase{.name = "a capture with a part unknown is a capture", .args = {"/restart"}, .before = 1,
             .started = kAll, .status = 0},
    LoopCase{.name = "a capture that fails", .args = {"/restart"}, .before = 2,
             .started = {kCaptureBefore}, .status = 2},
    LoopCase{.name = "not achieved: not run", .args = {"/restart"}, .dryRun = 4, .achieved = false,
             .started = kUntilDryRun, .status = 3, .recordLines = {"status 3: not run: the dry run "
             "says the switch would not achieve its goal (--force runs it anyway)"}},
    LoopCase{.name = "not achieved, forced, as predicted", .args = {"--force", "/restart"},
             .dryRun = 4, .achieved = false, .started = kAll, .status = 4},
    LoopCase{.name = "not achieved, forced, not as predicted", .args = {"--force", "/restart"},
             .dryRun = 4, .achieved = false, .check = 1, .started = kAll, .status = 1},
    LoopCase{.name = "a dry run that fails", .args = {"/restart"}, .dryRun = 2,
             .started = kUntilDryRun, .status = 2},
    LoopCase{.name = "a dry run whose verdict contradicts its status", .args = {"/restart"},
             .achieved = false, .started = kUntilDryRun, .status = 2},
    LoopCase{.name = "a tool that cannot start", .args = {"/restart"}, .tool = kCannotStart,
             .started = kUntilTool, .status = 2, .recordLines = {"tool: cannot start: no such file"}},
    LoopCase{.name = "a second capture that fails", .args = {"/restart"}, .after = 3,
             .started = {kCaptureBefore, kDryRun, kTool, kCaptureAfter}, .status = 2},
    LoopCase{.name = "not as predicted", .args = {"/restart"}, .check = 1, .started = kAll,
             .status = 1, .recordLines = {"status 1: the tool ran, and the instrument is not as "
             "predicted"}, .checkLine = "Halvmark.exe: 1 instance running predicted, 0 instances observed"},
    LoopCase{.name = "a check that fails", .args = {"/restart"}, .check = 2, .started = kAll,
             .status = 2},
    LoopCase{.name = "another exit code", .args = {"/restart"}, .tool = 3, .started = kAll,
             .status = 1, .checkLine = "Fenwrack.exe: exit code 0 predicted, 3 observed"},
    LoopCase{.name = "a reboot ends everything", .args = {"/restart"}, .end = "reboot",
             .tool = kEndedBySystem, .started = kUntilTool, .status = kEndedBySystem,
             .recordLines = {kNote, "tool: \"" + kFolder + "\\Fenwrack.exe\" /restart"}},
    LoopCase{.name = "a reboot predicted, but the tool ended", .args = {"/restart"},
             .end = "reboot", .started = kAll, .status = 1, .checkLine = "Fenwrack.exe ended by "
             "itself with exit code 0; the dry run predicted a reboot"},
    LoopCase{.name = "a record name taken", .args = {"/restart"}, .taken = true,
             .started = kAll, .status = 0, .record = kRecord + "-2"},
    LoopCase{.name = "firmware that hangs", .args = {"--firmware", "hangs", "--", "/restart"},
             .started = {"fenwrack-capture.exe --firmware hangs before.json", kDryRun, kTool,
                         "fenwrack-capture.exe --firmware hangs after.json", kCheck}, .status = 0},
    LoopCase{.name = "a bad option", .args = {"--forse", "/restart"}, .started = {}, .status = 2},
    LoopCase{.name = "check after a reboot", .args = {"check", "C:\\r"}, .end = "reboot",
             .dryRunDone = true, .started = {kCaptureAfter, kCheckRestarted}, .status = 0,
             .record = "C:\\r", .recordLines = {"check: \"" + kFolder + "\\fenwrack-run.exe\" check C:\\r",
             "status 0: achieved, and the instrument is as predicted"}},
    LoopCase{.name = "check after a forced run", .args = {"check", "C:\\r"}, .end = "power-off",
             .achieved = false, .dryRunDone = true, .started = {kCaptureAfter, kCheckRestarted},
             .status = 4, .record = "C:\\r"},
    LoopCase{.name = "check after an exit", .args = {"check", "C:\\r"}, .check = 1,
             .dryRunDone = true, .started = {kCaptureAfter, kCheck}, .status = 1, .record = "C:\\r"},
    LoopCase{.name = "check without a dry run", .args = {"check", "C:\\r"}, .started = {},
             .status = 2, .record = "C:\\r"}),
    [](const testing::TestParamInfo<LoopCase>& info) {
      std::string name = info.param.name;
      for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });
// clang-format on

struct QuoteCase {
  const char* arg;
  const char* quoted;
};
void PrintTo(const QuoteCase& c, std::ostream* out) {
  *out << c.arg;
}

class Quoting : public testing::TestWithParam<QuoteCase> {};

TEST_P(Quoting, IsWhatCommandLineToArgvWReadsBackAsTheArgument) {
  EXPECT_EQ(run::QuoteArgument(GetParam().arg), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(Rows, Quoting,
                         testing::Values(QuoteCase{"/restart", "/restart"}, QuoteCase{"", "\"\""},
                                         QuoteCase{"C:\\Service Tools", "\"C:\\Service Tools\""},
                                         QuoteCase{"a\tb", "\"a\tb\""},
                                         QuoteCase{"say \"hi\"", "\"say \\\"hi\\\"\""},
                                         QuoteCase{"a\\\"b", "\"a\\\\\\\"b\""},
                                         QuoteCase{"C:\\a b\\", "\"C:\\a b\\\\\""},
                                         QuoteCase{"C:\\a\\\\b", "C:\\a\\\\b"},
                                         QuoteCase{"C:\\Prüfstand\\", "C:\\Prüfstand\\"},
                                         QuoteCase{"Prüf stand", "\"Prüf stand\""}));

}  // namespace
