#include "run/options.h"

namespace run {

const char kHelp[] =
    R"(Usage: fenwrack-run [--firmware closes|hangs] [--force] [--records DIR] [--] SWITCH...
       fenwrack-run check RECORD
       fenwrack-run --help | --version

Runs Fenwrack.exe SWITCH... on this instrument inside its own dry run and check, and keeps
everything in a record folder: captures the instrument (fenwrack-capture.exe), dry-runs the
switch on the capture (fenwrack-sim.exe), runs the tool when the dry run says the switch
achieves its goal, captures again and checks the instrument against the prediction. The three
programs sit in this program's folder. Start it from the prompt the tool needs: the captures
see what that account sees.

It never runs the tool where the dry run shows the usage box (an unknown switch, or none) or a
run without end, and says no more than the captures saw: one that could not read a part ends
the loop with status 2 (--force goes on before the run, and the status stays 2). With an
administrator's rights (elevated, or as SYSTEM) it starts nothing from, and writes no record
into, a place that anyone else may change: this folder, the three programs, the records folder
or RECORD, each with every folder above it; nor one that is a link.

  SWITCH...          the tool's own command line, e.g. /restart: the first argument that is
                     not an option below begins it, and everything after -- belongs to it
  --firmware closes|hangs
                     what the captures assume of the firmware's answer to a close request
                     (default: closes; see fenwrack-capture --help)
  --force            run the tool even when the dry run says it will not achieve its goal
  --records DIR      where record folders are made (default: %ProgramData%\Fenwrack\records,
                     whichever folder this program is in); made, with every folder missing
                     above it, for SYSTEM, Administrators and this account alone
  check RECORD       after the power-off or reboot that a run ended with: capture the
                     instrument and check it against RECORD's prediction
  --help, --version  this text; the version

A record folder, DIR\YYYYMMDDTHHMMSSZ-SWITCH (UTC; -2, -3, ... appended when taken), is never
overwritten. It holds record.txt (each step with its time, at the end the status), before.json
and after.json (the captures; before-capture.txt and after-capture.txt: their assumptions),
timeline.txt, warnings.txt, trace.jsonl, picture.svg and predicted.json (the dry run), and
check.txt (the differences). When the dry run ends with a power-off or reboot, the instrument
goes down with this program in it: after the restart, run the check it printed first.

Exit status:
  0  the goal is achieved, and the instrument is as predicted
  1  the tool ran, and the instrument is not as predicted
  2  a step could not be done or was refused: a capture, the dry run or the tool's run
     that failed, a capture that could not read a part, the usage box or a run without end
     foreseen, a place others may change, or a bad command line
  3  not run: the dry run says the switch would not achieve its goal (--force runs it anyway)
  4  run with --force: the instrument is as predicted, and, as predicted, the goal is not
     achieved
)";

std::optional<std::string> Parse(const std::vector<std::string>& args, Options& options) {
  if (args.size() > 1 && args[1] == "check") {
    if (args.size() != 3 || args[2].empty())
      return "check takes one record folder";
    options.check = args[2];
    return std::nullopt;
  }
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg == "--firmware" || arg == "--records") {
      std::optional<std::string>& value = arg == "--firmware" ? options.firmware : options.records;
      if (value)
        return arg + " given twice";
      if (i + 1 == args.size() || args[i + 1].empty())
        return arg == "--firmware" ? "--firmware takes closes or hangs"
                                   : "--records needs a folder";
      value = args[++i];
      if (arg == "--firmware" && value != "closes" && value != "hangs")
        return "--firmware takes closes or hangs";
    } else if (arg.rfind("--", 0) == 0 && arg != "--") {
      return "unknown option " + arg +
             " (the tool's own arguments that start with -- go after --; see --help)";
    } else {
      options.tool.assign(args.begin() + static_cast<std::ptrdiff_t>(i + (arg == "--")),
                          args.end());
      break;
    }
  }
  return std::nullopt;
}

}  // namespace run
