// The fenwrack-sim program as people run it: exit statuses, outputs, error lines.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

// Test cases run as processes side by side: each gets files of its own.
std::string Temp(const std::string& name) {
  const std::string folder = testing::TempDir() + "fenwrack_cli_" + std::to_string(getpid()) + "/";
  ::mkdir(folder.c_str(), 0755);
  return folder + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// `arguments` may end with redirections of its own.
Outcome Sim(const std::string& arguments) {
  const std::string out = Temp("stdout"), err = Temp("stderr");
  const std::string command =
      std::string("'") + FENWRACK_SIM_PROGRAM + "' >'" + out + "' 2>'" + err + "' " + arguments;
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(out), ReadFile(err)};
}

// One case a line: what | arguments (@ is this test's folder, % the sources) | status | with
// status 2 what the one line on stderr holds, else what stdout holds (none: stderr stays empty).
constexpr const char* kStatusCases = R"(
usage box         |                                              | 0 | Verdict: usage box (show the switches; no operation runs): achieved; the usage box was shown
achieved          | --require-achieved /restart                  | 0 | Verdict: /restart (stop the firmware and start it again): achieved; the firmware was stopped and started again
not achieved      | --require-achieved --machine @oom.json /checkUSB | 4 | Verdict: /checkUSB (make USB storage write-protected): NOT achieved; a reboot was asked for, but the registry editor could not be started
power-off         | --machine @off.json /shutdown                | 0 | Verdict: /shutdown (power the analyzer off): achieved; a power-off was asked for
not as predicted  | --check @off.json @fw.json                   | 1 |
after a restart   | --check --restarted @off.json @fw.json       | 0 | The instrument is as predicted.
help              | --help                                       | 0 |
table digest      | --product-codes %examples/products-installed.codes.txt --version | 0 | product-code table 3963b2f15158
other table       | --product-codes %examples/products-installed.codes.txt --machine %examples/products-installed.json /deinstall | 0 | Verdict: /deinstall (remove the firmware's installed products): achieved; 2 products were removed
out of memory     | --machine @oom.json /deinstall               | 1 |
stuck             | --machine=@stuck.json                        | 3 |
stuck from stdin  | --machine - <@stuck.json                     | 3 |
unknown option    | --fast /restart                              | 2 | unknown option --fast
option without    | --trace                                      | 2 | --trace needs a file name
option twice      | --trace a --trace b                          | 2 | --trace given twice
both to stdout    | --trace - --dump-machine -                   | 2 | cannot both write to stdout
one file twice    | --trace @x --dump-machine @./x               | 2 | --trace and --dump-machine cannot both write
stdout and trace  | --trace @x >@x                               | 2 | standard output and --trace cannot both write
missing machine   | --machine @none.json                         | 2 | none.json: no such file
missing fleet     | --fleet @none /restart                       | 2 | none: no such file
machine directory | --machine @                                  | 2 | : is a directory
bad machine       | --machine @bad.json                          | 2 | bad.json:1:40: /processes/0/on_close: expected "ignore" or {"exit_after_ms": N}
missing table     | --product-codes @none.txt                    | 2 | none.txt: product-code file not found
table directory   | --product-codes @                            | 2 | /: a directory, not a product-code file
not a code        | --product-codes @bad.txt /deinstall          | 2 | bad.txt:2: not a braced GUID such as {01234567-89AB-CDEF-0123-456789ABCDEF}: '{XYZ}'
too long a code   | --product-codes @long.txt /deinstall         | 2 | long.txt:1: product code is 80 characters long; a slot holds at most 79
more than 96      | --product-codes @many.txt /deinstall         | 2 | many.txt:97: more than 96 product codes; the table has 96 slots
unwritable trace  | --trace /nonexistent/t.jsonl                 | 2 | --trace: cannot write /nonexistent/t.jsonl: no such file
full stdout       | /restart >/dev/full                          | 2 | standard output: cannot write: no space left on the device
)";

std::vector<std::vector<std::string>> StatusCases() {
  std::vector<std::vector<std::string>> cases;
  std::istringstream lines(kStatusCases);
  const std::string doc = FENWRACK_MACHINE_DOC, sources = doc.substr(0, doc.rfind("machine_file/"));
  const std::regex row(R"((.*?) *\| *(.*?) *\| (\d) \|(?: (.*))?)");
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, m, row)) {
      const std::string args = std::regex_replace(m[2].str(), std::regex("@"), Temp(""));
      cases.push_back({m[1], std::regex_replace(args, std::regex("%"), sources), m[3], m[4]});
    }
  }
  return cases;
}

class ExitStatus : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ExitStatus, TellsHowTheRunEnded) {
  WriteFile(Temp("stuck.json"), R"({"user": {"closes_usage_box_after_ms": null}})");
  WriteFile(Temp("bad.json"), R"({"processes": [{"pid": 1, "name": "a", "on_close": 5}]})");
  WriteFile(Temp("off.json"), R"({"system": {"power_off": "accept"}})");
  WriteFile(Temp("fw.json"), R"({"processes": [{"name": "Halvmark.exe"}]})");
  WriteFile(Temp("oom.json"), R"({"faults": {"widen_fails_from_call": 1}})");
  WriteFile(Temp("bad.txt"), "# one code\n{XYZ}\n");
  WriteFile(Temp("long.txt"), "{" + std::string(78, 'A') + "}");
  std::string many;
  for (int i = 0; i < 97; ++i)
    many += "{3F2A9C61-7B04-4E8D-A1C5-92D0E6B47F13}\n";
  WriteFile(Temp("many.txt"), many);
  const std::vector<std::string>& c = GetParam();
  const Outcome o = Sim(c[1]);
  EXPECT_EQ(o.status, std::stoi(c[2])) << o.err;
  if (c[2] != "2") {
    EXPECT_TRUE(o.err.empty()) << o.err;
    EXPECT_NE(o.out.find(c[3]), std::string::npos) << o.out;
    return;
  }
  EXPECT_NE(o.err.find(c[3]), std::string::npos) << o.err;
  EXPECT_EQ(o.err.rfind("fenwrack-sim: ", 0), 0u);
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  EXPECT_TRUE(o.out.empty()) << "nothing is run or written";
}

INSTANTIATE_TEST_SUITE_P(Table, ExitStatus, testing::ValuesIn(StatusCases()), [](const auto& info) {
  return std::regex_replace(info.param[0], std::regex("[^A-Za-z0-9]"), "_");
});

// The machines of the help and of MACHINE-FILE.md's full example run and start the firmware.
TEST(Cli, TheDocumentedMachinesRun) {
  std::ifstream in(FENWRACK_MACHINE_DOC);
  const std::string doc{std::istreambuf_iterator<char>(in), {}};
  for (const auto& [text, at] :
       {std::pair{Sim("--help").out, R"(\n(  \{"environment"[\s\S]*?)\n\n)"},
        std::pair{doc, R"(## A full example[\s\S]*?```json\n([\s\S]*?)```)"}}) {
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, std::regex(at))) << at;
    WriteFile(Temp("documented.json"), match[1]);
    const Outcome run = Sim("--machine " + Temp("documented.json") + " /restart");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("process_start"), std::string::npos) << at;
  }
}

// The trace keeps every event; the timeline folds polling, with a count, to fit on one screen.
TEST(Cli, TheTimelineFoldsPollingAndTheTraceKeepsIt) {
  for (const auto& [run, folded] : {std::pair<std::string, std::string>{
                                        "--trace " + Temp("trace.jsonl") + " -- /restart",
                                        "worker snapshot Halvmark.exe (1 process), worker "
                                        "sleep 1000 ms [28 times, to 33.000]\n   34.000  main "},
                                    {"--machine " FENWRACK_EXAMPLES "/slow-firmware.json /restart",
                                     "WM_CLOSE, worker sleep 1000 ms [27 times"},
                                    {"--machine " FENWRACK_EXAMPLES "/products-installed.json "
                                     "/deinstall",
                                     "state -1 \u00d793; (empty code)"}}) {
    const Outcome o = Sim(run);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find(folded), std::string::npos) << o.out;
    EXPECT_LE(std::count(o.out.begin(), o.out.begin() + o.out.find("\nEnded:"), '\n'), 40) << o.out;
  }
  const std::string trace = ReadFile(Temp("trace.jsonl"));
  EXPECT_EQ(trace.substr(0, trace.find('\n')),
            R"({"t":0,"thread":"main","event":"lock_init","lock":2})");
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 129) << "every event, the verdict";
}

// A reboot's machine, dumped and run again: the chained /checkUSB finds protection, changes
// nothing.
TEST(Cli, DumpsChainRuns) {
  const std::string after = Temp("after.json");
  const Outcome first =
      Sim("--machine " FENWRACK_EXAMPLES "/write-protection-off.json --dump-machine " + after +
          " /checkUSB");
  ASSERT_EQ(first.status, 0) << first.err;
  const nlohmann::json machine = nlohmann::json::parse(ReadFile(after));
  EXPECT_TRUE(machine["processes"].empty()) << "nothing runs after the reboot";
  const Outcome second = Sim("--machine " + after + " --dump-machine - /checkUSB");
  EXPECT_EQ(nlohmann::json::parse(second.out), machine) << "protected: nothing changes";
}

}  // namespace
