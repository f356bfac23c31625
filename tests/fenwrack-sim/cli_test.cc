// The fenwrack-sim program as people run it: exit statuses, outputs, error lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/text/utf8.h"
#include "rows.h"

namespace {

using testing_support::PrintTo;  // a table's case prints as its label

// Test cases run as processes side by side: each gets a folder of its own, gone when it ends.
const struct Folder {
  std::string path = testing::TempDir() + "fenwrack_cli_" + std::to_string(getpid()) + "/";
  Folder() { std::filesystem::create_directory(path); }
  ~Folder() { std::filesystem::remove_all(path); }
  std::string operator()(const std::string& name) const { return path + name; }
} Temp;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A child running `args`, a `resource` limited to `limit` bytes: how it ended (a signal as minus
// its number), what it wrote and the most memory it held.
struct Child {
  int status;
  std::string out, err;
  long long peakBytes;
};

Child Spawn(std::vector<std::string> args, rlim_t limit = RLIM_INFINITY, int resource = RLIMIT_AS) {
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string out = Temp("child.out"), err = Temp("child.err");
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit bytes{limit, limit};
    setrlimit(resource, &bytes);
    signal(SIGXFSZ, SIG_IGN);  // a write past the size limit fails instead
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int raw = 0;
  rusage usage{};
  wait4(pid, &raw, 0, &usage);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw), ReadFile(out), ReadFile(err),
          usage.ru_maxrss * 1024LL};
}

// fenwrack-sim by the shell: `arguments` may end with redirections of its own.
Child Sim(const std::string& arguments) {
  return Spawn({"/bin/sh", "-c", std::string("exec '") + FENWRACK_SIM_PROGRAM + "' " + arguments});
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // memory as a sanitizer keeps it, and its own out-of-memory end
#else
constexpr bool kSanitized = false;
#endif

class ExitStatus : public testing::TestWithParam<nlohmann::json> {};

// A row: the arguments (@ is this test's folder, % the sources; they may end with redirections),
// the status, and with status 2 what the one line on stderr holds (and no output is made, no
// input changed), else what stdout holds (none: stderr stays empty) and at most how many lines
// the timeline takes.
TEST_P(ExitStatus, TellsHowTheRunEnded) {
  std::string many;
  for (int i = 0; i < 97; ++i)
    many += "{3F2A9C61-7B04-4E8D-A1C5-92D0E6B47F13}\n";
  const std::map<std::string, std::string> inputs = {
      {"stuck.json", R"({"user": {"closes_usage_box_after_ms": null}})"},
      {"bad.json", R"({"processes": [{"pid": 1, "name": "a", "on_close": 5}]})"},
      {"off.json", R"({"system": {"power_off": "accept"}})"},
      {"fw.json", R"({"processes": [{"name": "Halvmark.exe"}]})"},
      {"oom.json", R"({"faults": {"widen_fails_from_call": 1}})"},
      {"open.json", R"({"environment": {"Kestrix_SYSTEM_ROOT": "C:\\K"},
          "files": [{"path": "C:\\WINNT\\system32\\cmd.exe", "protected": false}]})"},
      {"bad.txt", "# one code\n{XYZ}\n"},
      {"codes.txt", "{3F2A9C61-7B04-4E8D-A1C5-92D0E6B47F13}\n"},
      {"long.txt", "{" + std::string(78, 'A') + "}"},
      {"many.txt", many}};
  for (const auto& [name, text] : inputs)
    WriteFile(Temp(name), text);
  const std::string doc = FENWRACK_MACHINE_DOC, sources = doc.substr(0, doc.rfind("machine_file/"));
  const std::string args = std::regex_replace(
      std::regex_replace(GetParam()["args"].get<std::string>(), std::regex("@"), Temp("")),
      std::regex("%"), sources);
  const int status = GetParam()["status"];
  const std::string says = GetParam().value("says", "");
  const Child o = Sim(args);
  EXPECT_EQ(o.status, status) << o.err;
  if (status != 2) {
    EXPECT_TRUE(o.err.empty()) << o.err;
    EXPECT_NE(o.out.find(says), std::string::npos) << o.out;
    if (GetParam().contains("timeline_lines_at_most")) {
      EXPECT_LE(std::ranges::count(o.out.substr(0, o.out.find("\nEnded:")), '\n'),
                GetParam()["timeline_lines_at_most"].get<int>());
    }
    return;
  }
  EXPECT_NE(o.err.find(says), std::string::npos) << o.err;
  EXPECT_EQ(o.err.rfind("fenwrack-sim: ", 0), 0u);
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  EXPECT_TRUE(o.out.empty()) << "nothing is run or written";
  EXPECT_FALSE(std::filesystem::exists(Temp("new.t")) || std::filesystem::exists(Temp("new.s")));
  for (const auto& [name, text] : inputs)
    EXPECT_EQ(ReadFile(Temp(name)), text) << name << " is changed";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatus, testing::ValuesIn(testing_support::Rows("fenwrack-sim/exit_statuses.json")),
    testing_support::RowName);

// Texts of about `size` bytes on which a reader that keeps more than it has read takes far more
// memory than the text, each refused at its end, after all has been read.
struct Shape {
  const char* what;
  std::string (*text)(std::size_t size);
};

// `head`, then `unit` over and over, comma-separated, to `size` bytes with `tail`.
std::string Repeated(std::size_t size, const std::string& head, const std::string& unit,
                     const std::string& tail) {
  std::string text = head + unit;
  while (text.size() + unit.size() + tail.size() < size)
    text += "," + unit;
  return text + tail;
}

const Shape kShapes[] = {
    {"one long key over many values",
     [](std::size_t n) {
       return Repeated(n, R"({"faults": {")" + std::string(n / 4, 'k') + R"(": [)", "1", "]}}");
     }},
    {"one key as long as the file",
     [](std::size_t n) { return R"({"faults": {")" + std::string(n, 'k') + R"(": 1}})"; }},
    {"64 levels, a long key at each",
     [](std::size_t n) {
       std::string head, tail;
       for (int level = 1; level < 64; ++level) {
         head += "{\"" + std::string(n / 256, 'k') + "\": ";
         tail += "}";
       }
       return Repeated(n, head + "[", "1", "]" + tail);
     }},
    {"many tiny values",
     [](std::size_t n) { return Repeated(n, R"({"faults": {"x": [)", "{}", "]}}"); }},
    {"many empty titles",
     [](std::size_t n) {
       return Repeated(n, R"({"processes": [{"name": "a", "windows": [)", R"("")",
                       R"(]}], "user": {"x": 1}})");
     }},
    {"many bare names a script starts",
     [](std::size_t n) {
       return Repeated(n, R"({"files": [{"path": "C:\\a.bat", "starts": [)", R"("a")",
                       R"(]}], "user": {"x": 1}})");
     }},
    {"a long string",
     [](std::size_t n) {
       return R"({"environment": {"A": ")" + std::string(n, 'x') + R"("}, "user": {"x": 1}})";
     }},
    {"a key given twice at the end",
     [](std::size_t n) {
       std::string text = R"({"faults": {)";
       for (std::size_t i = 0; text.size() < n; ++i)
         text += "\"" + std::to_string(i) + "\": 0, ";
       return text + R"("0": 0}})";
     }},
    {"a syntax error at the end",
     [](std::size_t n) { return Repeated(n, R"({"faults": {"x": [)", "1", "]} x"); }},
};

class MachineFileMemory : public testing::TestWithParam<Shape> {};

// Whatever a machine file holds, reading it takes at most 40 times its size and 60 MB, and a
// larger file at most 40 bytes more for each byte more. The larger holds just over 4 Mi values of
// three bytes: a list that grows by doubling has just been copied.
TEST_P(MachineFileMemory, IsInProportionToTheFile) {
  if (kSanitized)
    GTEST_SKIP() << "a sanitizer's memory is not the program's";
  constexpr long long kMiB = 1 << 20, kSizes[] = {4 * kMiB, 51 * kMiB / 4};
  long long peak[2] = {};
  for (int i = 0; i < 2; ++i) {
    WriteFile(Temp("shape.json"), GetParam().text(kSizes[i]));
    // Twice the bound at most, lest a reader gone wrong take the computer's memory.
    const Child c =
        Spawn({FENWRACK_SIM_PROGRAM, "--machine", Temp("shape.json")}, 80 * kSizes[i] + 120 * kMiB);
    EXPECT_EQ(c.status, 2) << c.err;
    EXPECT_LE(peak[i] = c.peakBytes, 40 * kSizes[i] + 60 * kMiB) << kSizes[i] << " bytes";
  }
  EXPECT_LE(peak[1] - peak[0], 40 * (kSizes[1] - kSizes[0]));
}

INSTANTIATE_TEST_SUITE_P(Shapes, MachineFileMemory, testing::ValuesIn(kShapes),
                         testing_support::CaseName<Shape>);

// Out of memory anywhere, reading, running or writing, the program says so in one line and ends
// with status 2, its outputs gone; or else it gives what it gives with all the memory it needs.
TEST(Cli, OutOfMemoryIsOneLineAndStatus2) {
  if (kSanitized)
    GTEST_SKIP() << "a sanitizer ends a program out of memory in its own way";
  nlohmann::json processes = nlohmann::json::array();
  for (int i = 0; i < 3000; ++i)
    processes.push_back({{"name", "p" + std::to_string(i) + ".exe"}, {"windows", {"w"}}});
  WriteFile(Temp("big.json"), nlohmann::json{{"processes", processes}}.dump());
  const std::string files[] = {Temp("oom.t"), Temp("oom.d"), Temp("oom.s")};
  const std::vector<std::string> args = {
      FENWRACK_SIM_PROGRAM, "--machine", Temp("big.json"), "--trace", files[0],
      "--dump-machine",     files[1],    "--svg",          files[2],  "/deinstall"};
  const auto written = [&] {
    std::string all;
    for (const std::string& file : files)
      all += std::filesystem::exists(file) ? "[" + ReadFile(file) + "]" : "-";
    return all;
  };
  const Child full = Spawn(args);
  const std::string outputs = written();
  const std::regex oneLine(
      "fenwrack-sim: (out of memory|the run failed: a thread could not be started: .*)\n");
  int failed = 0, ran = 0;
  for (const rlim_t mb : {16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 1024}) {
    for (const std::string& file : files)
      std::filesystem::remove(file);
    const Child c = Spawn(args, mb << 20);
    if (c.status == 2) {
      ++failed;
      EXPECT_TRUE(std::regex_match(c.err, oneLine)) << mb << " MB: " << c.err;
      EXPECT_EQ(c.out + written(), "---") << mb << " MB";
    } else {
      ++ran;
      EXPECT_EQ(c.status, full.status) << mb << " MB: " << c.err;
      EXPECT_TRUE(c.out == full.out && written() == outputs) << mb << " MB";
    }
  }
  EXPECT_GT(failed, 0) << "no limit was too low";
  EXPECT_GT(ran, 0) << "no limit was high enough";
}

// Control characters of a machine's names and paths reach the console only escaped, as the error
// lines escape them, in the timeline, its summary and verdict, the fleet's lines and the check's;
// the picture holds only what XML allows.
TEST(Cli, NamesShowNoControlCharacter) {
  const std::string root = R"(C:\\K\u001b[2J\u0085)";  // as JSON writes it
  const std::string machine = R"({"environment": {"Kestrix_SYSTEM_ROOT": ")" + root + R"("},
    "files": [{"path": "C:\\WINNT\\system32\\cmd.exe"},
      {"path": ")" + root + R"(\\log", "directory": true},
      {"path": ")" + root + R"(\\bin\\StartUpFW.bat", "starts": ["\u0007\uffff\ufffe\n.exe"]}],
    "processes": [{"pid": 1204, "name": "Halvmark.exe", "on_close": "ignore"}],
    "products": [{"code": "{\u001b}"}]})";
  std::filesystem::create_directory(Temp("fleet"));
  WriteFile(Temp("fleet/\x1b[2J.json"), machine);
  WriteFile(Temp("empty.json"), "{}");
  const std::string shown = R"(C:\K\u001B[2J\u0085\bin\StartUpFW.bat ran)";
  for (const auto& [args, says] :
       {std::pair{
            "--machine '" + Temp("fleet/\x1b[2J.json") + "' --svg " + Temp("names.s") + " /restart",
            R"(the start-up script )" + shown},
        std::pair{"--machine '" + Temp("fleet/\x1b[2J.json") + "' --trace " + Temp("names.t") +
                      " /restart",
                  std::string(R"(\u0007)"
                              "\uFFFF\uFFFE"
                              R"(\n.exe started)")},
        std::pair{"--fleet " + Temp("fleet") + " /restart",
                  std::string(R"(\u001B[2J.json  achieved)")},
        std::pair{"--check '" + Temp("fleet/\x1b[2J.json") + "' " + Temp("empty.json"),
                  std::string(R"(product {\u001B}: installed predicted)")}}) {
    const Child o = Sim(args);
    EXPECT_NE(o.out.find(says), std::string::npos) << args << "\n" << o.out;
    EXPECT_EQ(std::ranges::count_if(o.out, [](unsigned char c) { return c < 0x20 && c != '\n'; }),
              0);
    EXPECT_EQ(o.out.find("\u0085"), std::string::npos) << args;
  }
  EXPECT_NE(ReadFile(Temp("names.t"))
                .find(R"("value":"C:\\K\u001b[2J)"
                      "\u0085"),
            std::string::npos)
      << "the trace keeps the names as they are";
  const std::string svg = ReadFile(Temp("names.s"));
  for (std::size_t i = 0; i < svg.size();) {
    char32_t c = 0;
    const std::size_t n = platform::text::Utf8SequenceAt(svg, i, c);
    ASSERT_TRUE(n != 0 && (c >= 0x20 || c == '\n') && c != 0xFFFE && c != 0xFFFF)
        << "at " << i << ": " << static_cast<unsigned>(c);
    i += n;
  }
}

// A run that fails while it writes an output leaves that output empty, not half written.
TEST(Cli, AnOutputCutShortIsEmptied) {
  WriteFile(Temp("kept"), "kept");
  const Child full =
      Spawn({FENWRACK_SIM_PROGRAM, "--trace", Temp("kept"), "/restart"}, 4096, RLIMIT_FSIZE);
  EXPECT_EQ(full.status, 2) << full.err;
  EXPECT_EQ(ReadFile(Temp("kept")), "");
}

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
    const Child run = Sim("--machine " + Temp("documented.json") + " /restart");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("process_start"), std::string::npos) << at;
  }
}

}  // namespace
