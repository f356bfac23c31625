// fenwrack-sim: runs the tool against a simulated analyzer and tells what it did.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/sim/machine_model.h"
#include "platform/sim/simulator.h"
#include "platform/sim/text.h"
#include "removal/product_table_digest.h"
#include "sim/check.h"
#include "sim/fleet.h"
#include "sim/product_codes.h"
#include "sim/timeline_svg.h"
#include "sim/verdict.h"
#include "sim/warnings.h"

namespace {

namespace sim = platform::sim;

// Exit statuses.
constexpr int kRan = 0;         // the tool exited with 0, or the system powered off or rebooted
constexpr int kToolFailed = 1;  // the tool exited with another code
constexpr int kUsageError = 2;  // bad options or machine file, or an output not written
constexpr int kStuck = 3;
constexpr int kNotAchieved = 4;  // with --require-achieved

constexpr char kHelp[] =
    R"(Usage: fenwrack-sim [--machine FILE] [--product-codes FILE] [--trace FILE]
                   [--dump-machine FILE] [--svg FILE] [--capture] [--require-achieved]
                   [--] [ARG...]
       fenwrack-sim --check [--restarted] PREDICTED OBSERVED

Runs Fenwrack.exe on a simulated analyzer, on a virtual clock, and prints what happened:
one line per event (virtual time in seconds, thread, event, details; repeated polling is
shown once, with a count), then how the run ended, its virtual length and what changed on
the machine, and the verdict: what the switch is for, whether this run achieved it, and what
it left on the machine that matters. The same arguments on the same machine give the same
output, byte for byte.

  ARG...               the tool's own command line (argument 0 is Fenwrack.exe); the first
                       argument that does not start with -- begins it, and everything after
                       -- belongs to it. No ARG: the tool shows its usage box.
  --machine FILE       the analyzer, described in a machine file (JSON, below; every part is
                       described in sim/MACHINE-FILE.md of the sources); - is stdin. Without
                       it: the demo analyzer, firmware up, its server Halvmark.exe hung.
  --product-codes FILE the product-code table that /deinstall removes, instead of the
                       compiled-in one: a file such as removal/product_codes.txt, checked as
                       the build checks it (a bad line is named as the build names it).
  --trace FILE         also write every event as JSON Lines, one object per event with t
                       (virtual ms), thread, event and the event's fields. - is stdout.
  --dump-machine FILE  write the machine as the run left it, in the machine-file format, so
                       that runs can be chained. - is stdout.
  --svg FILE           also draw the run as a picture: one SVG, a lane per thread, pauses and
                       waits as bars, the tool's actions as labelled marks. - is stdout.
  --capture            run fenwrack-capture instead of the tool, with ARG... as its command
                       line: its standard output and error take the timeline's place, and
                       the exit status is its own (0 to 3, see fenwrack-capture --help).
  --require-achieved   exit with status 4 when the verdict is that the run did not achieve
                       what its switch is for (for scripts; without it, the statuses below).
  --fleet FOLDER       run ARG... on each machine file (*.json) of FOLDER, the captures of
                       many instruments, and print a line per instrument: the file, whether
                       the run achieved what its switch is for, the fact that decides it.
                       --fleet-json FOLDER: the same as JSON Lines, with the details.
                       Status 2 when a file is not a machine (its line says why).
  --check PREDICTED OBSERVED
                       after the real run: compare the machine the dry run left
                       (--dump-machine) with a capture of the instrument (fenwrack-capture),
                       on what matters: the firmware programs running, the kill log,
                       WriteProtect as the tool reads it, the products' states. Pids are not
                       compared, nor, with --restarted (a capture after the power-off or
                       reboot the run ended with), the programs running. Exit 0: as
                       predicted; 1: not (each difference on a line); 2: a file that cannot
                       be read or is not a machine file.
  --help, --version    this text; the version and a digest of the product-code table.
When an output goes to stdout, the timeline is not printed. Two outputs cannot name the
same file.

Exit status:
  0  the tool exited with exit code 0, or the system powered off or rebooted
  1  the tool exited with another exit code (3: it ran out of memory)
  2  an unknown option, a machine file that cannot be read or does not fit the format, or
     an output that cannot be written: one line on stderr names the file, the place in it
     and what is wrong; with a bad option or machine file the tool is not run
  3  the run could never end (a usage box that nobody closes, a wait without end) and was
     stopped after one hour of virtual time, or when nothing could run any more
  4  with --require-achieved: the run did not achieve what its switch is for

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

// A run and what fenwrack-sim makes of it.
struct Report {
  const sim::RunResult& run;
  std::string title;  // the tool's command line and the machine
  std::optional<fenwrack_sim::Verdict> verdict;
};

// The trace ends with the verdict, at the run's end.
std::string TraceOf(const Report& r) {
  std::string trace = sim::FormatJsonLines(r.run);
  if (r.verdict) {
    nlohmann::json line = {
        {"t", r.run.virtualMs}, {"thread", "fenwrack-sim"}, {"event", "verdict"}};
    line.update(r.verdict->Json());
    trace += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
  return trace;
}

// The outputs besides the timeline, each to a file or stdout.
struct OutputKind {
  const char* option;
  std::string (*format)(const Report& report);
};
const OutputKind kOutputs[] = {
    {"--trace", &TraceOf},
    {"--dump-machine", [](const Report& r) { return sim::FormatMachine(r.run.machineAfter); }},
    {"--svg", [](const Report& r) { return fenwrack_sim::TimelineSvg(r.run, r.title, r.verdict); }},
};
constexpr std::size_t kOutputCount = std::size(kOutputs);

struct Options {
  std::optional<std::string> machine;
  std::optional<std::string> productCodes;
  std::array<std::optional<std::string>, kOutputCount> outputs;
  std::vector<std::string> toolArgs;
  bool help = false;
  bool version = false;
  bool capture = false;
  bool requireAchieved = false;
  std::optional<std::string> fleet;  // a folder of machine files
  bool fleetJson = false;
};

// Error lines: one each, short, nothing in them that a terminal would act on.
void Complain(const std::string& what) {
  // Nowhere left to tell when this fails.
  host::WriteStandard(2, sim::detail::Printable("fenwrack-sim: " + what, 200) + "\n");
}

// The option an argument names, or null.
std::optional<std::string>* Target(Options& options, const std::string& name) {
  if (name == "--machine")
    return &options.machine;
  if (name == "--product-codes")
    return &options.productCodes;
  if (name == "--fleet" || name == "--fleet-json")
    return (options.fleetJson = name == "--fleet-json"), &options.fleet;
  for (std::size_t i = 0; i < kOutputCount; ++i) {
    if (name == kOutputs[i].option)
      return &options.outputs[i];
  }
  return nullptr;
}

// Returns an error message, or nothing when the command line is good.
std::optional<std::string> Parse(const std::vector<std::string>& argv, Options& options) {
  const std::size_t argc = argv.size();
  bool ownOptions = true;
  for (std::size_t i = 1; i < argc; ++i) {
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
    const std::pair<const char*, bool*> flags[] = {
        {"--help", &options.help},
        {"--version", &options.version},
        {"--capture", &options.capture},
        {"--require-achieved", &options.requireAchieved}};
    bool flag = false;
    for (const auto& [flagName, value] : flags) {
      if (name == flagName && equals == std::string::npos)
        flag = *value = true;
    }
    if (flag)
      continue;
    std::optional<std::string>* target = Target(options, name);
    if (target == nullptr) {
      return "unknown option " + name +
             " (the tool's own arguments that start with -- go after --; see --help)";
    }
    if (target->has_value())
      return name + " given twice";
    if (equals != std::string::npos)
      *target = arg.substr(equals + 1);
    else if (i + 1 < argc)
      *target = argv[++i];
    if (!target->has_value() || (*target)->empty())
      return name + " needs a file name";
  }
  return std::nullopt;
}

// An output opened before the run, so that a bad path stops everything early; a file is emptied
// only once every output is known to be good.
struct Output {
  std::string name;  // the option, or "standard output"
  std::string path;  // "-": stdout
  host::OutputFile file;

  std::optional<std::string> Open() { return Failed(file.Open(path)); }
  // Written, then closed; stdout stays open for the others.
  std::optional<std::string> Write(const std::string& text) { return Failed(file.Replace(text)); }
  std::optional<std::string> Failed(const std::optional<host::FileError>& error) const {
    if (!error)
      return std::nullopt;
    return name + ": cannot write" + (path == "-" ? "" : " " + path) + ": " + error->reason;
  }
};

// The outputs to write, stdout first when the timeline goes there.
std::optional<std::string> OpenOutputs(const Options& options, std::vector<Output>& outputs) {
  bool toStdout = false;
  for (const auto& path : options.outputs)
    toStdout = toStdout || path == "-";
  if (!toStdout)
    outputs.push_back({"standard output", "-", {}});
  for (std::size_t i = 0; i < kOutputCount; ++i) {
    if (options.outputs[i])
      outputs.push_back({kOutputs[i].option, *options.outputs[i], {}});
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (const auto error = outputs[i].Open())
      return error;
    for (std::size_t j = 0; j < i; ++j) {
      if (outputs[i].path == "-" ? outputs[j].path == "-"
                                 : outputs[i].file.SameFileAs(outputs[j].file))
        return outputs[j].name + " and " + outputs[i].name + " cannot both write to " +
               (outputs[i].path == "-" ? "stdout" : outputs[i].path);
    }
  }
  return std::nullopt;
}

int Status(const sim::RunResult& run, bool capture) {
  if (capture)
    return run.exitCode;
  switch (run.how) {
    case sim::EndHow::kExit:
      return run.exitCode == 0 ? kRan : kToolFailed;
    case sim::EndHow::kPowerOff:
    case sim::EndHow::kReboot:
      return kRan;
    case sim::EndHow::kStuck:
      return kStuck;
  }
  return kStuck;
}

// Writes every output; the first failure is told.
int WriteOutputs(std::vector<Output>& outputs, const Report& report, bool capture,
                 bool requireAchieved) {
  const sim::RunResult& run = report.run;
  std::optional<std::string> failure;
  for (Output& out : outputs) {
    std::string text;
    if (out.name == "standard output") {
      text = capture
                 ? run.standardOutput
                 : sim::FormatTimeline(run) + (report.verdict ? "\n" + report.verdict->Text() : "");
    } else {
      for (const OutputKind& kind : kOutputs) {
        if (out.name == kind.option)
          text = kind.format(report);
      }
    }
    const auto error = out.Write(text);
    failure = failure ? failure : error;
  }
  if (failure) {
    Complain(*failure);
    return kUsageError;
  }
  if (requireAchieved && report.verdict && !report.verdict->achieved)
    return kNotAchieved;
  return Status(run, capture);
}

std::vector<std::u16string> ToolArgs(const Options& options, std::string& title,
                                     std::string& error) {
  const char* program = options.capture ? "fenwrack-capture.exe" : "Fenwrack.exe";
  std::vector<std::u16string> args = {sim::detail::Utf8ToUtf16(program)};
  title = program;
  for (const std::string& arg : options.toolArgs) {
    if (const auto at = sim::detail::Utf8ErrorAt(arg)) {
      error = "argument " + std::to_string(args.size()) + " of the tool is not UTF-8 (byte " +
              std::to_string(*at) + ")";
      return {};
    }
    args.push_back(sim::detail::Utf8ToUtf16(arg));
    title += " " + arg;
  }
  return args;
}

// fenwrack-sim --fleet FOLDER: a line per instrument.
int Fleet(const Options& options) {
  std::string title, error;
  const std::vector<std::u16string> args = ToolArgs(options, title, error);
  if (!error.empty()) {
    Complain(error);
    return kUsageError;
  }
  std::vector<fenwrack_sim::FleetEntry> fleet;
  try {
    fleet = fenwrack_sim::JudgeFleet(*options.fleet, args);
  } catch (const std::exception& e) {
    Complain(std::string("--fleet: ") + e.what());
    return kUsageError;
  }
  if (const auto error =
          host::WriteStandard(1, options.fleetJson ? fenwrack_sim::FleetJsonLines(fleet)
                                                   : fenwrack_sim::FleetText(fleet))) {
    Complain("standard output: cannot write: " + error->reason);
    return kUsageError;
  }
  int status = kRan;
  for (const fenwrack_sim::FleetEntry& e : fleet) {
    if (!e.error.empty())
      status = kUsageError;
    else if (options.requireAchieved && !e.verdict.achieved && status == kRan)
      status = kNotAchieved;
  }
  return status;
}

// fenwrack-sim --check [--restarted] EXPECTED OBSERVED
int Check(const std::string& expectedPath, const std::string& observedPath, bool restarted) {
  std::optional<sim::Machine> expected, observed;
  try {
    expected = sim::Machine::FromFile(expectedPath);
    observed = sim::Machine::FromFile(observedPath);
  } catch (const sim::MachineError& e) {
    Complain(e.what());
    return kUsageError;
  }
  const std::vector<std::string> differences =
      fenwrack_sim::Differences(expected->json(), observed->json(), restarted);
  std::string text = differences.empty() ? "The instrument is as predicted.\n"
                                         : "The instrument is not as predicted:\n";
  for (const std::string& line : differences)
    text += "  " + line + "\n";
  if (const auto error = host::WriteStandard(1, text)) {
    Complain("standard output: cannot write: " + error->reason);
    return kUsageError;
  }
  return differences.empty() ? kRan : kToolFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = host::Arguments(argc, argv);
  if (args.size() > 1 && args[1] == "--check") {
    const bool restarted = args.size() > 2 && args[2] == "--restarted";
    if (args.size() != 4u + restarted) {
      Complain("--check takes two machine files: the predicted one and the observed one");
      return kUsageError;
    }
    return Check(args[2 + restarted], args[3 + restarted], restarted);
  }
  Options options;
  if (const auto error = Parse(args, options)) {
    Complain(*error);
    return kUsageError;
  }
  if (options.productCodes) {
    if (const auto error =
            fenwrack_sim::ReadProductCodes(*options.productCodes, SimulatedProductCodes)) {
      Complain(*error);
      return kUsageError;
    }
  }
  if (options.help || options.version) {
    const std::string version =
        "fenwrack-sim " FENWRACK_VERSION ", product-code table " + ProductTableDigest() + "\n";
    const auto error = host::WriteStandard(1, options.help ? std::string(kHelp) : version);
    if (!error)
      return kRan;
    Complain("standard output: cannot write: " + error->reason);
    return kUsageError;
  }

  if (options.fleet)
    return Fleet(options);

  std::optional<sim::Machine> machine;
  try {
    machine = options.machine ? sim::Machine::FromFile(*options.machine) : sim::Machine::Demo();
  } catch (const sim::MachineError& e) {
    Complain(e.what());
    return kUsageError;
  }

  // Before the run: what in the machine looks meant for the tool but will never be acted on.
  for (const std::string& warning : fenwrack_sim::Warnings(machine->json()))
    Complain("warning: " + (options.machine ? *options.machine : std::string("demo")) + ": " +
             warning);

  std::vector<Output> outputs;
  if (const auto error = OpenOutputs(options, outputs)) {
    Complain(*error);
    return kUsageError;
  }

  std::string title, error;
  const std::vector<std::u16string> toolArgs = ToolArgs(options, title, error);
  if (!error.empty()) {
    Complain(error);
    return kUsageError;
  }
  title += options.machine ? " on " + *options.machine : " on the demo analyzer";
  std::optional<sim::RunResult> run;
  try {
    run = options.capture ? sim::RunCapture(*machine, toolArgs) : sim::Run(*machine, toolArgs);
  } catch (const std::exception& e) {
    Complain(std::string("the run failed: ") + e.what());
    return kUsageError;
  }
  if (options.capture && host::WriteStandard(2, run->standardError))
    return kUsageError;
  Report report{*run, title, std::nullopt};
  if (!options.capture)
    report.verdict = fenwrack_sim::Judge(*machine, toolArgs, *run);
  return WriteOutputs(outputs, report, options.capture, options.requireAchieved);
}
