#include "run/run_loop.h"

#include <algorithm>
#include <cstdio>

#include "platform/text/ascii.h"
#include "platform/text/printable.h"
#include "run/command_line.h"
#include "run/options.h"
#include "run/prediction.h"

namespace run {

namespace {

const char* Meaning(int status) {
  switch (status) {
    case kAsPredicted:
      return "achieved, and the instrument is as predicted";
    case kNotAsPredicted:
      return "the tool ran, and the instrument is not as predicted";
    case kNotRun:
      return "not run: the dry run says the switch would not achieve its goal (--force runs it "
             "anyway)";
    case kForcedAsPredicted:
      return "run with --force: the instrument is as predicted, and, as predicted, the goal is "
             "not achieved";
    default:
      return "a step could not be done, or was refused";
  }
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/' || folder.back() == ':')
    return folder + name;
  return folder + "\\" + name;
}

std::string Digits(int value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

// 20261208T153012Z: sorts as it happened, and holds no character a folder name cannot.
std::string Stamp(const host::UtcTime& t) {
  return Digits(t.year, 4) + Digits(t.month, 2) + Digits(t.day, 2) + "T" + Digits(t.hour, 2) +
         Digits(t.minute, 2) + Digits(t.second, 2) + "Z";
}

std::string Iso(const host::UtcTime& t) {
  return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + "T" +
         Digits(t.hour, 2) + ":" + Digits(t.minute, 2) + ":" + Digits(t.second, 2) + "Z";
}

// The switch's letters and digits: whatever else the argument holds stays out of the path.
std::string RecordName(const std::vector<std::string>& tool) {
  const std::string first = tool.empty() ? "" : tool[0];
  std::string name;
  for (char c : first) {
    c = platform::text::AsciiLower(c);
    if (name.size() < 32 && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
      name += c;
  }
  return name.empty() ? "usage" : name;
}

// The parts a capture could not read, from its lines "...unknown: PART: why".
std::string UnknownParts(const std::string& log) {
  std::vector<std::string> parts;
  for (std::size_t at = log.find("unknown: "); at != std::string::npos;
       at = log.find("unknown: ", at + 1)) {
    const std::size_t from = at + 9, to = log.find_first_of(":\n", from);
    const std::string part = log.substr(from, to == std::string::npos ? to : to - from);
    if (std::find(parts.begin(), parts.end(), part) == parts.end())
      parts.push_back(part);
  }
  std::string text;
  for (const std::string& part : parts)
    text += (text.empty() ? "" : ", ") + part;
  // Its status says a part is missing, whatever its lines say.
  return text.empty() ? "a part" : text;
}

class Loop {
 public:
  Loop(const std::vector<std::string>& args, const Options& options, System& system)
      : args_(args),
        options_(options),
        system_(system),
        folder_(system.ProgramFolder()),
        elevated_(system.Elevated()) {}

  int Run();
  int Check();

 private:
  // What it read from its children shows on a terminal as text, never as its controls.
  void Say(const std::string& text) { system_.Print(1, platform::text::Printable(text, true)); }
  void Complain(const std::string& line) {
    system_.Print(2, "fenwrack-run: " + platform::text::Printable(line, false) + "\n");
  }
  bool Note(const std::string& line);
  int End(int status);
  bool Trusted(const std::string& what, const std::string& path);
  bool TrustedPrograms(bool tool);
  std::string Exe(const char* name) const { return Join(folder_, name); }
  std::string InRecord(const std::string& name) const { return Join(record_, name); }
  std::string ReadOr(const std::string& name);
  bool Claim(const std::vector<std::string>& names);
  bool MakeRecord();
  std::optional<std::uint32_t> Start(const std::string& step, const std::vector<std::string>& args,
                                     const char* output, const char* error);
  bool Capture(const std::string& which, std::string& unknown);
  bool CaptureAfter();
  std::optional<Prediction> DryRun();
  bool Runnable(const Prediction& prediction);
  int Compare(const Prediction& prediction, std::optional<std::uint32_t> tool);

  const std::vector<std::string>& args_;
  const Options& options_;
  System& system_;
  const std::string folder_;  // ours, where the other programs are
  const bool elevated_;
  std::string record_;
  bool recording_ = false;  // record.txt can be written
  bool noteFailed_ = false;
};

bool Loop::Note(const std::string& line) {
  if (!recording_)
    return false;
  const auto error = system_.Append(InRecord("record.txt"), Iso(system_.Now()) + " " + line + "\n");
  if (error && !noteFailed_)
    Complain("cannot write " + InRecord("record.txt") + ": " + *error);
  noteFailed_ = noteFailed_ || error;
  return !error;
}

int Loop::End(int status) {
  Note("status " + std::to_string(status) + ": " + Meaning(status));
  Say("Status " + std::to_string(status) + ": " + Meaning(status) + "\n");
  return status;
}

// With an administrator's rights nothing is started from, or written into, a place that others
// may change: they would choose the program that runs so, or what its record says.
bool Loop::Trusted(const std::string& what, const std::string& path) {
  if (!elevated_ || system_.Protected(path))
    return true;
  Complain("refused with an administrator's rights: others may change " + what + " " + path +
           " (or a folder above it, or it is a link)");
  return false;
}

// Those it will start, and their folder, where a DLL put beside them would be loaded too.
bool Loop::TrustedPrograms(bool tool) {
  if (!Trusted("this program's folder", folder_))
    return false;
  std::vector<const char*> programs = {"fenwrack-capture.exe", "fenwrack-sim.exe"};
  if (tool)
    programs.push_back("Fenwrack.exe");
  for (const char* exe : programs) {
    if (!Trusted("the program", Exe(exe)))
      return false;
  }
  return true;
}

std::string Loop::ReadOr(const std::string& name) {
  std::string text;
  return system_.Read(InRecord(name), text) ? std::string() : text;
}

// The files a child writes by name are made first, as record files: in a record folder that
// others may add to, a link put in the place of one would lead its writes anywhere.
bool Loop::Claim(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (const auto error = system_.Replace(InRecord(name), "")) {
      Note("cannot write " + name + ": " + *error);
      Complain("cannot write " + InRecord(name) + ": " + *error);
      return false;
    }
  }
  return true;
}

bool Loop::MakeRecord() {
  std::string reason;
  // One place per instrument, whichever folder this program was copied to: a new version keeps
  // the history, and removing a version does not take it.
  const std::string shared = system_.DataFolder();
  if (!options_.records && shared.empty()) {
    Complain("cannot find the folder for the records (%ProgramData%): give one with --records");
    return false;
  }
  const std::string records =
      system_.FullPath(options_.records ? *options_.records : Join(shared, kRecordsFolder));
  if (system_.MakeFolder(records, reason) == host::Made::kFailed) {
    Complain("cannot make the records folder " + records + ": " + reason);
    return false;
  }
  // Made or found, it is looked at: one found may be a link to anywhere.
  if (!Trusted("the records folder", records))
    return false;
  const std::string stem = Join(records, Stamp(system_.Now()) + "-" + RecordName(options_.tool));
  for (int n = 1;; ++n) {
    record_ = n == 1 ? stem : stem + "-" + std::to_string(n);
    const host::Made made = system_.MakeFolder(record_, reason);
    if (made == host::Made::kMade)
      break;
    if (made == host::Made::kFailed || n == 999) {
      Complain("cannot make the record folder " + record_ + ": " +
               (made == host::Made::kFailed ? reason : "all taken"));
      return false;
    }
  }
  Say("Record: " + record_ + "\n");
  recording_ = true;
  return Note("run: " + CommandLine(args_)) && Note("record: " + record_);
}

std::optional<std::uint32_t> Loop::Start(const std::string& step,
                                         const std::vector<std::string>& args, const char* output,
                                         const char* error) {
  const bool tool = output == nullptr;
  // The tool runs where we were started: what /restart starts inherits its folder.
  const host::Program program{args[0], CommandLine(args), tool ? "" : record_,
                              tool || !*output ? "" : InRecord(output),
                              tool ? "" : InRecord(error)};
  Note(step + ": " + program.commandLine);
  std::uint32_t code = 0;
  if (const auto why = system_.Run(program, code)) {
    Note(step + ": cannot start: " + *why);
    Complain("cannot start " + args[0] + ": " + *why);
    return std::nullopt;
  }
  Note(step + ": " + (tool ? "exit code " : "status ") + std::to_string(code));
  return code;
}

// `unknown`: the parts it could not read, or nothing.
bool Loop::Capture(const std::string& which, std::string& unknown) {
  std::vector<std::string> args = {Exe("fenwrack-capture.exe")};
  if (options_.firmware)
    args.insert(args.end(), {"--firmware", *options_.firmware});
  args.push_back(which + ".json");
  const std::string log = which + "-capture.txt";
  if (!Claim({which + ".json"}))
    return false;
  const auto status = Start("capture " + which, args, "", log.c_str());
  if (!status)
    return false;
  unknown.clear();
  if (*status == 0) {
    Say("Captured the instrument " + which + " the tool: " + which + ".json\n");
    return true;
  }
  const std::string text = ReadOr(log);
  if (*status != 1) {
    Say(text);
    Complain("fenwrack-capture.exe ended with status " + std::to_string(*status) + " (" + log +
             ")");
    return false;
  }
  Say("Captured the instrument " + which + " the tool: " + which +
      ".json, but a part could not be read:\n");
  for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end;
    if (text.substr(at, end - at).find("unknown:") != std::string::npos)
      Say("  " + text.substr(at, end - at) + "\n");
  }
  unknown = UnknownParts(text);
  Note("capture " + which + ": could not read " + unknown);
  return true;
}

// After the tool there is nothing left to go on to: what a capture could not see, it cannot check.
bool Loop::CaptureAfter() {
  std::string unknown;
  if (!Capture("after", unknown))
    return false;
  if (unknown.empty())
    return true;
  Complain("the capture after the run could not read " + unknown +
           " (after-capture.txt): the instrument cannot be checked against the prediction");
  return false;
}

// The tool on the capture: told, noted, and read back from its trace.
std::optional<Prediction> Loop::DryRun() {
  std::vector<std::string> dry = {Exe("fenwrack-sim.exe"), "--machine", "before.json"};
  for (const char* arg : {"--trace", "trace.jsonl", "--svg", "picture.svg", "--dump-machine",
                          "predicted.json", "--require-achieved", "--"})
    dry.push_back(arg);
  dry.insert(dry.end(), options_.tool.begin(), options_.tool.end());
  if (!Claim({"trace.jsonl", "picture.svg", "predicted.json"}))
    return std::nullopt;
  const auto status = Start("dry run", dry, "timeline.txt", "warnings.txt");
  if (!status)
    return std::nullopt;
  Say(ReadOr("warnings.txt"));
  // 3: a run that never ends, which the trace tells.
  if (*status != 0 && *status != 3 && *status != 4) {
    Complain("fenwrack-sim.exe ended with status " + std::to_string(*status) + " (warnings.txt)");
    return std::nullopt;
  }
  Prediction prediction;
  if (const auto error = ReadTrace(ReadOr("trace.jsonl"), prediction)) {
    Complain(*error);
    return std::nullopt;
  }
  if (prediction.achieved != (*status == 0) || (prediction.how == "stuck") != (*status == 3)) {
    Complain("the dry run's status and its verdict disagree");
    return std::nullopt;
  }
  const std::string timeline = ReadOr("timeline.txt");
  const std::size_t verdict = timeline.rfind("Verdict:");
  if (verdict != std::string::npos && (verdict == 0 || timeline[verdict - 1] == '\n')) {
    Say(timeline.substr(verdict));
  } else {
    Say(std::string("Verdict: ") + (prediction.achieved ? "achieved" : "NOT achieved") + "; " +
        prediction.deciding + "\n");
    for (const std::string& line : prediction.details)
      Say("  " + line + "\n");
  }
  Note(std::string("dry run: ") + (prediction.achieved ? "achieved" : "NOT achieved") + "; " +
       prediction.deciding + "; ends with " + prediction.End());
  return prediction;
}

// Unattended, nobody is there to close a usage box or end a run that does not end: a run that
// waits for ever would hold the deployment that started it.
bool Loop::Runnable(const Prediction& prediction) {
  std::string why;
  if (prediction.operation == "usage box")
    why = "Fenwrack.exe " +
          (options_.tool.empty() ? std::string("without a switch") : CommandLine(options_.tool)) +
          " would show its usage box and wait until someone closes it (the switches: /terminate, "
          "/restart, /shutdown, /deinstall, /checkUSB)";
  else if (prediction.how == "stuck")
    why = "the dry run never ends (" + prediction.deciding +
          "): Fenwrack.exe would not end by itself";
  if (why.empty())
    return true;
  Note("not run: " + why);
  Complain("not run, even with --force: " + why);
  return false;
}

int Loop::Run() {
  Say("Switch: " + (options_.tool.empty() ? "none (the usage box)" : CommandLine(options_.tool)) +
      "\n");
  if (!TrustedPrograms(true) || !MakeRecord())
    return End(kNotDone);
  std::string unknown;
  if (!Capture("before", unknown))
    return End(kNotDone);
  if (!unknown.empty() && !options_.force) {
    Complain("the capture before the run could not read " + unknown +
             " (before-capture.txt): a dry run on it may miss what matters; not run (--force "
             "runs it, and still ends with status 2)");
    return End(kNotDone);
  }
  if (!unknown.empty())
    Note("capture before: going on with --force; the status will be 2");

  const std::optional<Prediction> predicted = DryRun();
  if (!predicted || !Runnable(*predicted))
    return End(kNotDone);
  const Prediction& prediction = *predicted;
  if (!prediction.achieved && !options_.force)
    return End(kNotRun);

  if (prediction.GoesDown()) {
    // The system ends every program, this one too, before the tool could come back to it.
    const std::string check = "fenwrack-run check \"" + record_ + "\"";
    Say("The dry run ends with " + prediction.End() +
        ": the instrument goes down while Fenwrack.exe runs, and this program with it. After "
        "the restart, check it with:\n  " +
        check + "\n");
    Note("note: the instrument will go down (" + prediction.how + "); after the restart: " + check);
  }
  std::vector<std::string> tool = {Exe("Fenwrack.exe")};
  tool.insert(tool.end(), options_.tool.begin(), options_.tool.end());
  Say("Running " + CommandLine(tool) + "\n");
  const auto code = Start("tool", tool, nullptr, nullptr);
  if (!code)
    return End(kNotDone);
  Say("Fenwrack.exe ended with exit code " + std::to_string(*code) + "\n");
  if (!CaptureAfter())
    return End(kNotDone);
  const int status = Compare(prediction, code);
  if (status == kNotDone || unknown.empty())
    return End(status);
  Complain("the capture before the run could not read " + unknown +
           ": the check cannot vouch for what it could not see");
  return End(kNotDone);
}

int Loop::Check() {
  record_ = system_.FullPath(*options_.check);
  Say("Record: " + record_ + "\n");
  if (!TrustedPrograms(false) || !Trusted("the record", record_))
    return End(kNotDone);
  std::string trace, predicted;
  if (system_.Read(InRecord("trace.jsonl"), trace) ||
      system_.Read(InRecord("predicted.json"), predicted)) {
    Complain(record_ + " holds no trace.jsonl and predicted.json of a dry run: nothing to check");
    return End(kNotDone);
  }
  Prediction prediction;
  if (const auto error = ReadTrace(trace, prediction)) {
    Complain(*error);
    return End(kNotDone);
  }
  recording_ = true;
  Note("check: " + CommandLine(args_));
  if (!CaptureAfter())
    return End(kNotDone);
  return End(Compare(prediction, std::nullopt));
}

// `tool`: the tool's exit code, when it ended by itself. The status, not yet told.
int Loop::Compare(const Prediction& prediction, std::optional<std::uint32_t> tool) {
  std::vector<std::string> args = {Exe("fenwrack-sim.exe"), "--check"};
  // After a restart what runs is what the system started: nothing to compare.
  if (prediction.GoesDown() && !tool)
    args.push_back("--restarted");
  args.insert(args.end(), {"predicted.json", "after.json"});
  const auto status = Start("check", args, "check.txt", "check.txt");
  if (!status)
    return kNotDone;
  std::string text = ReadOr("check.txt");
  if (*status != 0 && *status != 1) {
    Say(text);
    Complain("fenwrack-sim.exe --check ended with status " + std::to_string(*status) +
             " (check.txt)");
    return kNotDone;
  }
  std::vector<std::string> differences;
  if (tool && prediction.how == "exit" && prediction.code && *prediction.code != *tool)
    differences.push_back("Fenwrack.exe: exit code " + std::to_string(*prediction.code) +
                          " predicted, " + std::to_string(*tool) + " observed");
  if (tool && prediction.GoesDown())
    differences.push_back("Fenwrack.exe ended by itself with exit code " + std::to_string(*tool) +
                          "; the dry run predicted " + prediction.End());
  if (!differences.empty()) {
    if (*status == 0)
      text = "The instrument is not as predicted:\n";
    for (const std::string& line : differences)
      text += "  " + line + "\n";
    if (const auto error = system_.Replace(InRecord("check.txt"), text))
      Complain("cannot write " + InRecord("check.txt") + ": " + *error);
  }
  Say(text);
  const bool asPredicted = *status == 0 && differences.empty();
  Note(asPredicted ? "check: as predicted" : "check: not as predicted (check.txt)");
  if (!asPredicted)
    return kNotAsPredicted;
  return prediction.achieved ? kAsPredicted : kForcedAsPredicted;
}

}  // namespace

int Main(const std::vector<std::string>& args, System& system) {
  Options options;
  if (const auto error = Parse(args, options)) {
    system.Print(2, "fenwrack-run: " + platform::text::Printable(*error, false) + "\n");
    return kNotDone;
  }
  if (options.help || options.version) {
    system.Print(1, options.help ? kHelp : "fenwrack-run " FENWRACK_VERSION "\n");
    return kAsPredicted;
  }
  Loop loop(args, options, system);
  return options.check ? loop.Check() : loop.Run();
}

}  // namespace run
