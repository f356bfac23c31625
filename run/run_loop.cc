#include "run/run_loop.h"

#include "platform/text/printable.h"
#include "run/command_line.h"
#include "run/options.h"
#include "run/prediction.h"
#include "run/record.h"
#include "run/session.h"
#include "run/steps.h"

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

// The order of the steps, and the status the run ends with.
class Loop {
 public:
  Loop(const std::vector<std::string>& args, const Options& options, System& system)
      : session_(args, options, system), record_(session_), steps_(session_, record_) {}

  int Run();
  int Check();

 private:
  int End(int status);
  bool TrustedPrograms(bool tool);
  bool Runnable(const Prediction& prediction);
  void TellGoingDown(const Prediction& prediction);

  Session session_;
  Record record_;
  Steps steps_;
};

int Loop::End(int status) {
  record_.Note("status " + std::to_string(status) + ": " + Meaning(status));
  session_.Say("Status " + std::to_string(status) + ": " + Meaning(status) + "\n");
  return status;
}

// Those it will start, and their folder, where a DLL put beside them would be loaded too.
bool Loop::TrustedPrograms(bool tool) {
  if (!session_.Trusted("this program's folder", session_.folder))
    return false;
  std::vector<const char*> programs = {"fenwrack-capture.exe", "fenwrack-sim.exe"};
  if (tool)
    programs.push_back("Fenwrack.exe");
  for (const char* exe : programs) {
    if (!session_.Trusted("the program", session_.Exe(exe)))
      return false;
  }
  return true;
}

// Unattended, nobody is there to close a usage box or end a run that does not end: a run that
// waits for ever would hold the deployment that started it.
bool Loop::Runnable(const Prediction& prediction) {
  const Options& options = session_.options;
  std::string why;
  if (prediction.operation == "usage box")
    why = "Fenwrack.exe " +
          (options.tool.empty() ? std::string("without a switch") : CommandLine(options.tool)) +
          " would show its usage box and wait until someone closes it (the switches: /terminate, "
          "/restart, /shutdown, /deinstall, /checkUSB)";
  else if (prediction.how == "stuck")
    why = "the dry run never ends (" + prediction.deciding +
          "): Fenwrack.exe would not end by itself";
  if (why.empty())
    return true;
  record_.Note("not run: " + why);
  session_.Complain("not run, even with --force: " + why);
  return false;
}

// The system ends every program, this one too, before the tool could come back to it.
void Loop::TellGoingDown(const Prediction& prediction) {
  const std::string check = "fenwrack-run check \"" + record_.Folder() + "\"";
  session_.Say("The dry run ends with " + prediction.End() +
               ": the instrument goes down while Fenwrack.exe runs, and this program with it. "
               "After the restart, check it with:\n  " +
               check + "\n");
  record_.Note("note: the instrument will go down (" + prediction.how +
               "); after the restart: " + check);
}

int Loop::Run() {
  const Options& options = session_.options;
  session_.Say("Switch: " +
               (options.tool.empty() ? "none (the usage box)" : CommandLine(options.tool)) + "\n");
  if (!TrustedPrograms(true) || !record_.Make())
    return End(kNotDone);
  std::string unknown;
  if (!steps_.Capture("before", unknown))
    return End(kNotDone);
  if (!unknown.empty() && !options.force) {
    session_.Complain("the capture before the run could not read " + unknown +
                      " (before-capture.txt): a dry run on it may miss what matters; not run "
                      "(--force runs it, and still ends with status 2)");
    return End(kNotDone);
  }
  if (!unknown.empty())
    record_.Note("capture before: going on with --force; the status will be 2");

  const std::optional<Prediction> predicted = steps_.DryRun();
  if (!predicted || !Runnable(*predicted))
    return End(kNotDone);
  const Prediction& prediction = *predicted;
  if (!prediction.achieved && !options.force)
    return End(kNotRun);

  if (prediction.GoesDown())
    TellGoingDown(prediction);
  std::vector<std::string> tool = {session_.Exe("Fenwrack.exe")};
  tool.insert(tool.end(), options.tool.begin(), options.tool.end());
  session_.Say("Running " + CommandLine(tool) + "\n");
  const auto code = steps_.Start("tool", tool, nullptr, nullptr);
  if (!code)
    return End(kNotDone);
  session_.Say("Fenwrack.exe ended with exit code " + std::to_string(*code) + "\n");
  if (!steps_.CaptureAfter())
    return End(kNotDone);
  const int status = steps_.Compare(prediction, code);
  if (status == kNotDone || unknown.empty())
    return End(status);
  session_.Complain("the capture before the run could not read " + unknown +
                    ": the check cannot vouch for what it could not see");
  return End(kNotDone);
}

int Loop::Check() {
  record_.Use(session_.system.FullPath(*session_.options.check));
  session_.Say("Record: " + record_.Folder() + "\n");
  if (!TrustedPrograms(false) || !session_.Trusted("the record", record_.Folder()))
    return End(kNotDone);
  std::string trace, predicted;
  if (session_.system.Read(record_.Path("trace.jsonl"), trace) ||
      session_.system.Read(record_.Path("predicted.json"), predicted)) {
    session_.Complain(record_.Folder() +
                      " holds no trace.jsonl and predicted.json of a dry run: nothing to check");
    return End(kNotDone);
  }
  Prediction prediction;
  if (const auto error = ReadTrace(trace, prediction)) {
    session_.Complain(*error);
    return End(kNotDone);
  }
  record_.Resume();
  record_.Note("check: " + CommandLine(session_.args));
  if (!steps_.CaptureAfter())
    return End(kNotDone);
  return End(steps_.Compare(prediction, std::nullopt));
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
