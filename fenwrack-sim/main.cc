// fenwrack-sim: runs the tool against a simulated analyzer and tells what it did.
#include <array>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "capture/machine_capture.h"
#include "fenwrack-sim/check.h"
#include "fenwrack-sim/console.h"
#include "fenwrack-sim/fleet.h"
#include "fenwrack-sim/options.h"
#include "fenwrack-sim/outputs.h"
#include "fenwrack-sim/product_codes.h"
#include "fenwrack-sim/timeline_svg.h"
#include "fenwrack-sim/timeline_text.h"
#include "fenwrack-sim/verdict.h"
#include "fenwrack-sim/warnings.h"
#include "machine_file/machine.h"
#include "machine_file/machine_model.h"
#include "platform/host/host.h"
#include "platform/text/text.h"
#include "removal/product_table_digest.h"
#include "sim/entry.h"
#include "sim/events.h"
#include "sim/run_result.h"

namespace {

// Exit statuses.
constexpr int kRan = 0;         // the tool exited with 0, or the system powered off or rebooted
constexpr int kToolFailed = 1;  // the tool exited with another code
constexpr int kUsageError = 2;  // bad options or machine file, or an output not written
constexpr int kStuck = 3;
constexpr int kNotAchieved = 4;  // with --require-achieved

// A run and what fenwrack-sim makes of it.
struct Report {
  const sim::RunResult& run;
  std::string title;  // the tool's command line and the machine
  std::optional<fenwrack_sim::Verdict> verdict;
};

// The trace ends with the verdict, at the run's end.
std::string TraceOf(const Report& r) {
  std::string trace = fenwrack_sim::FormatJsonLines(r.run);
  if (r.verdict) {
    nlohmann::json line = {
        {"t", r.run.virtualMs}, {"thread", "fenwrack-sim"}, {"event", sim::events::kVerdict}};
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
    {fenwrack_sim::kOutputOptions[0], &TraceOf},
    {fenwrack_sim::kOutputOptions[1],
     [](const Report& r) {
       return machine_file::FormatMachine(machine_file::ToJson(r.run.machineAfter));
     }},
    {fenwrack_sim::kOutputOptions[2],
     [](const Report& r) { return fenwrack_sim::TimelineSvg(r.run, r.title, r.verdict); }},
};
static_assert(std::size(kOutputs) == std::size(fenwrack_sim::kOutputOptions));

using fenwrack_sim::Input;
using fenwrack_sim::Options;
using fenwrack_sim::Output;
using fenwrack_sim::Outputs;

// Error lines: one each, short, nothing in them that a terminal would act on.
void Complain(const std::string& what) {
  // Nowhere left to tell when this fails.
  host::WriteStandard(2, machine_file::Printable("fenwrack-sim: " + what, 200) + "\n");
}

// Running out of memory anywhere, on any thread, ends the program with one line: nothing has to
// unwind through code that would need memory to do so. The outputs it made go with it.
[[noreturn]] void OutOfMemory() {
  if (Outputs* outputs = Outputs::current())
    outputs->Discard();
  host::WriteStandardAscii(2, "fenwrack-sim: out of memory\n");
  std::_Exit(kUsageError);
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

// Every output's text, made before any is written, so that nothing is half done when making one
// fails. The timeline comes last, from the run with its names escaped for a console.
std::vector<std::string> Texts(std::vector<Output>& outputs, const Report& report,
                               sim::RunResult& run, bool capture) {
  std::vector<std::string> texts(outputs.size());
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (const OutputKind& kind : kOutputs) {
      if (outputs[i].name == kind.option)
        texts[i] = kind.format(report);
    }
  }
  if (outputs[0].name == "standard output") {
    if (capture) {
      texts[0] = run.standardOutput;
    } else {
      fenwrack_sim::ForConsole(run);
      texts[0] = fenwrack_sim::FormatTimeline(run) +
                 (report.verdict ? "\n" + fenwrack_sim::ForConsole(*report.verdict).Text() : "");
    }
  }
  return texts;
}

// Writes every output; the first failure is told.
int WriteOutputs(Outputs& outputs, const Report& report, sim::RunResult& run, bool capture,
                 bool requireAchieved) {
  const std::vector<std::string> texts = Texts(outputs.list(), report, run, capture);
  std::optional<std::string> failure;
  for (std::size_t i = 0; i < texts.size() && !failure; ++i)
    failure = outputs.list()[i].Write(texts[i]);
  if (failure) {
    Complain(*failure);
    return kUsageError;
  }
  outputs.Keep();
  if (requireAchieved && report.verdict && !report.verdict->achieved)
    return kNotAchieved;
  return Status(run, capture);
}

std::vector<std::u16string> ToolArgs(const Options& options, std::string& title,
                                     std::string& error) {
  const char* program = options.capture ? "fenwrack-capture.exe" : "Fenwrack.exe";
  std::vector<std::u16string> args = {platform::text::Utf8ToUtf16(program)};
  title = program;
  for (const std::string& arg : options.toolArgs) {
    if (const auto at = platform::text::Utf8ErrorAt(arg)) {
      error = "argument " + std::to_string(args.size()) + " of the tool is not UTF-8 (byte " +
              std::to_string(*at) + ")";
      return {};
    }
    args.push_back(platform::text::Utf8ToUtf16(arg));
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
  if (!options.fleetJson) {
    for (fenwrack_sim::FleetEntry& entry : fleet)
      entry = fenwrack_sim::ForConsole(std::move(entry));
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
  std::optional<machine_file::Machine> expected, observed;
  try {
    expected = machine_file::Machine::FromFile(expectedPath);
    observed = machine_file::Machine::FromFile(observedPath);
  } catch (const machine_file::MachineError& e) {
    Complain(e.what());
    return kUsageError;
  }
  const std::vector<std::string> differences =
      fenwrack_sim::Differences(expected->model(), observed->model(), restarted);
  std::string text = differences.empty() ? "The instrument is as predicted.\n"
                                         : "The instrument is not as predicted:\n";
  for (const std::string& line : differences)
    text += "  " + fenwrack_sim::ForConsole(line) + "\n";
  if (const auto error = host::WriteStandard(1, text)) {
    Complain("standard output: cannot write: " + error->reason);
    return kUsageError;
  }
  return differences.empty() ? kRan : kToolFailed;
}

// A run of the tool, or of the capture, on one machine.
int Simulate(const Options& options) {
  std::string title, error;
  const std::vector<std::u16string> toolArgs = ToolArgs(options, title, error);
  if (!error.empty()) {
    Complain(error);
    return kUsageError;
  }
  title += options.machine ? " on " + *options.machine : " on the demo analyzer";

  std::optional<machine_file::Machine> machine;
  try {
    machine = options.machine ? machine_file::Machine::FromFile(*options.machine)
                              : machine_file::Machine::Demo();
  } catch (const machine_file::MachineError& e) {
    Complain(e.what());
    return kUsageError;
  }

  // Before the run: what in the machine looks meant for the tool but will never be acted on.
  for (const std::string& warning : fenwrack_sim::Warnings(machine->model()))
    Complain("warning: " + (options.machine ? *options.machine : std::string("demo")) + ": " +
             warning);

  std::vector<Input> inputs;
  if (options.machine)
    inputs.push_back({"--machine", *options.machine});
  if (options.productCodes)
    inputs.push_back({"--product-codes", *options.productCodes});
  Outputs outputs;
  if (const auto error = outputs.Open(options, inputs)) {
    Complain(*error);
    return kUsageError;
  }
  std::optional<sim::RunResult> run;
  try {
    run = options.capture
              ? sim::RunProcess(*machine, toolArgs, [&] { return capture::CaptureMain(toolArgs); })
              : sim::Run(*machine, toolArgs);
  } catch (const std::exception& e) {
    Complain(std::string("the run failed: ") + e.what());
    return kUsageError;
  }
  if (options.capture && host::WriteStandard(2, run->standardError))
    return kUsageError;
  Report report{*run, title, std::nullopt};
  if (!options.capture)
    report.verdict = fenwrack_sim::Judge(*machine, toolArgs, *run);
  return WriteOutputs(outputs, report, *run, options.capture, options.requireAchieved);
}

}  // namespace

int main(int argc, char** argv) {
  host::UseSystemLibrariesOnly();
  std::set_new_handler(&OutOfMemory);
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
  if (const auto error = fenwrack_sim::Parse(args, options)) {
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
    const auto error =
        host::WriteStandard(1, options.help ? std::string(fenwrack_sim::kHelp) : version);
    if (!error)
      return kRan;
    Complain("standard output: cannot write: " + error->reason);
    return kUsageError;
  }

  if (options.fleet)
    return Fleet(options);

  return Simulate(options);
}
