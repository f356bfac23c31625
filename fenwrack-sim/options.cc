#include "fenwrack-sim/options.h"

namespace fenwrack_sim {
namespace {

// The option an argument names, or null.
std::optional<std::string>* Target(Options& options, const std::string& name) {
  if (name == "--machine")
    return &options.machine;
  if (name == "--product-codes")
    return &options.productCodes;
  if (name == "--fleet" || name == "--fleet-json")
    return (options.fleetJson = name == "--fleet-json"), &options.fleet;
  for (std::size_t i = 0; i < std::size(kOutputOptions); ++i) {
    if (name == kOutputOptions[i])
      return &options.outputs[i];
  }
  return nullptr;
}

}  // namespace

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

const char kHelp[] =
    R"(Usage: fenwrack-sim [--machine FILE] [--product-codes FILE] [--trace FILE]
                   [--dump-machine FILE] [--svg FILE] [--capture] [--require-achieved]
                   [--] [ARG...]
       fenwrack-sim --fleet FOLDER | --fleet-json FOLDER [--product-codes FILE]
                   [--require-achieved] [--] [ARG...]
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
                       described in machine_file/MACHINE-FILE.md of the sources); - is stdin. Without
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
When an output goes to stdout, the timeline is not printed. No output may name the file of
another output or of an input (stdout included). Control characters of the machine's names
are shown escaped (\n, \u001B) in the timeline, the verdict and the fleet's and check's lines.

Exit status:
  0  the tool exited with exit code 0, or the system powered off or rebooted
  1  the tool exited with another exit code (3: it ran out of memory)
  2  an unknown option, a machine file that cannot be read or does not fit the format, an
     output that cannot be written, or no memory left: one line on stderr names the file,
     the place in it and what is wrong; with a bad option or machine file the tool is not
     run, and a run that fails leaves no output file of its own
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

}  // namespace fenwrack_sim
