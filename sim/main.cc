// fenwrack-sim: runs the tool against a simulated analyzer and tells what it did.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/simulator.h"
#include "platform/sim/text.h"
#include "sim/timeline_svg.h"

namespace {

constexpr int kEnded = 0;
constexpr int kUsageError = 2;
constexpr int kStuck = 3;

constexpr char kHelp[] =
    R"(Usage: fenwrack-sim [--machine FILE] [--trace FILE] [--dump-machine FILE] [--svg FILE]
                   [--] [ARG...]

Runs Fenwrack.exe on a simulated analyzer, on a virtual clock, and prints what happened:
one line per event (virtual time in seconds, thread, event, details), then how the run
ended, its virtual length and what changed on the machine. The same arguments on the same
machine give the same output, byte for byte.

  ARG...               the tool's own command line (argument 0 is Fenwrack.exe); the first
                       argument that does not start with -- begins it, and everything after
                       -- belongs to it. No ARG: the tool shows its usage box.
  --machine FILE       the analyzer, described in a machine file (JSON, below; every part is
                       described in sim/MACHINE-FILE.md of the sources). Without it: the demo
                       analyzer, firmware up, its server Halvmark.exe hung.
  --trace FILE         also write the events as JSON Lines, one object per event with t
                       (virtual ms), thread, event and the event's fields. - is stdout.
  --dump-machine FILE  write the machine as the run left it, in the machine-file format, so
                       that runs can be chained. - is stdout.
  --svg FILE           also draw the run as a picture: one SVG, a lane per thread, pauses and
                       waits as bars, the tool's actions as labelled marks. - is stdout.
  --help               this text.
When --trace, --dump-machine or --svg writes to stdout, the timeline is not printed.

Exit status:
  0  the run ended: the tool exited, or the system powered off or rebooted
  2  an unknown option, or a machine file that cannot be read or does not fit the format
     (one line on stderr names the file, the place in it and what is wrong); the tool is
     not run
  3  the run could never end (a usage box that nobody closes, a wait without end) and was
     stopped after one hour of virtual time, or when nothing could run any more

A machine file has the parts environment, files, registry, processes, products, system,
user and faults, all optional. A small one, with a hung server and a slow window:
  {"environment": {"Kestrix_SYSTEM_ROOT": "C:\\Kestrix\\Instr"},
   "files": [{"path": "C:\\WINNT\\system32\\cmd.exe"},
             {"path": "C:\\Kestrix\\Instr\\log", "directory": true},
             {"path": "C:\\Kestrix\\Instr\\bin\\StartUpFW.bat", "starts": ["Halvmark.exe"]}],
   "processes": [{"pid": 1204, "name": "Halvmark.exe", "on_close": "ignore"},
                 {"pid": 1312, "name": "Talvora.exe", "windows": ["Talvora"],
                  "on_close": {"exit_after_ms": 800}}],
   "faults": {"snapshot_fails_from": 20}}

Example: restart the firmware, then check the USB write protection on what is left:
  fenwrack-sim --dump-machine after.json /restart
  fenwrack-sim --machine after.json --trace trace.jsonl /checkUSB
)";

struct Options {
  std::optional<std::string> machine;
  std::optional<std::string> trace;
  std::optional<std::string> dump;
  std::optional<std::string> svg;
  std::vector<std::string> toolArgs;
  bool help = false;
};

// Returns an error message, or nothing when the command line is good.
std::optional<std::string> Parse(int argc, char** argv, Options& options) {
  bool ownOptions = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (ownOptions && arg == "--") {
      ownOptions = false;
      continue;
    }
    if (!ownOptions || arg.rfind("--", 0) != 0) {
      ownOptions = false;
      options.toolArgs.push_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (name == "--help" && equals == std::string::npos) {
      options.help = true;
      continue;
    }
    std::optional<std::string>* target = name == "--machine"        ? &options.machine
                                         : name == "--trace"        ? &options.trace
                                         : name == "--dump-machine" ? &options.dump
                                         : name == "--svg"          ? &options.svg
                                                                    : nullptr;
    if (target == nullptr) {
      return "unknown option " + name +
             " (the tool's own arguments that start with -- go after --; see --help)";
    }
    if (target->has_value())
      return name + " given twice";
    if (equals != std::string::npos) {
      *target = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      *target = argv[++i];
    } else {
      return name + " needs a file name";
    }
    if ((*target)->empty())
      return name + " needs a file name";
  }
  if ((options.trace == "-") + (options.dump == "-") + (options.svg == "-") > 1)
    return "only one of --trace, --dump-machine and --svg can write to stdout";
  return std::nullopt;
}

// An output file opened before the run, so that a bad path stops everything early.
struct Output {
  std::ofstream file;
  bool toStdout = false;
  bool Open(const std::optional<std::string>& path) {
    if (!path)
      return true;
    if (*path == "-") {
      toStdout = true;
      return true;
    }
    file.open(*path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file);
  }
  bool Write(const std::optional<std::string>& path, const std::string& text) {
    if (!path)
      return true;
    if (toStdout) {
      std::cout << text;
      return static_cast<bool>(std::cout);
    }
    file << text;
    file.close();
    return !file.fail();
  }
};

}  // namespace

int main(int argc, char** argv) {
  namespace sim = platform::sim;
  Options options;
  if (const auto error = Parse(argc, argv, options)) {
    std::cerr << "fenwrack-sim: " << *error << "\n";
    return kUsageError;
  }
  if (options.help) {
    std::cout << kHelp;
    return kEnded;
  }

  std::optional<sim::Machine> machine;
  try {
    machine = options.machine ? sim::Machine::FromFile(*options.machine) : sim::Machine::Demo();
  } catch (const sim::MachineError& e) {
    std::cerr << "fenwrack-sim: " << e.what() << "\n";
    return kUsageError;
  }

  Output trace;
  Output dump;
  Output svg;
  if (!trace.Open(options.trace)) {
    std::cerr << "fenwrack-sim: --trace: cannot write " << *options.trace << "\n";
    return kUsageError;
  }
  if (!dump.Open(options.dump)) {
    std::cerr << "fenwrack-sim: --dump-machine: cannot write " << *options.dump << "\n";
    return kUsageError;
  }
  if (!svg.Open(options.svg)) {
    std::cerr << "fenwrack-sim: --svg: cannot write " << *options.svg << "\n";
    return kUsageError;
  }

  std::vector<std::u16string> args = {u"Fenwrack.exe"};
  for (const std::string& arg : options.toolArgs)
    args.push_back(sim::detail::Utf8ToUtf16(arg));
  const sim::RunResult result = sim::Run(*machine, args);

  if (!trace.toStdout && !dump.toStdout && !svg.toStdout)
    std::cout << sim::FormatTimeline(result);
  bool written = trace.Write(options.trace, sim::FormatJsonLines(result));
  written = dump.Write(options.dump, sim::FormatMachine(result.machineAfter)) && written;
  if (options.svg) {
    std::string title = "Fenwrack.exe";
    for (const std::string& arg : options.toolArgs)
      title += " " + arg;
    title += options.machine ? " on " + *options.machine : " on the demo analyzer";
    written = svg.Write(options.svg, fenwrack_sim::TimelineSvg(result, title)) && written;
  }
  std::cout.flush();
  if (!written) {
    std::cerr << "fenwrack-sim: an output file could not be written\n";
    return kUsageError;
  }
  return result.how == sim::EndHow::kStuck ? kStuck : kEnded;
}
