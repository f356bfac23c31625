#include "run/steps.h"

#include <algorithm>

#include "run/command_line.h"

namespace run {

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

std::optional<std::uint32_t> Steps::Start(const std::string& step,
                                          const std::vector<std::string>& args, const char* output,
                                          const char* error) {
  const bool tool = output == nullptr;
  // The tool runs where we were started: what /restart starts inherits its folder.
  const host::Program program{.path = args[0],
                              .commandLine = CommandLine(args),
                              .folder = tool ? "" : record_.Folder(),
                              .output = tool || !*output ? "" : record_.Path(output),
                              .error = tool ? "" : record_.Path(error)};
  record_.Note(step + ": " + program.commandLine);
  std::uint32_t code = 0;
  if (const auto why = session_.system.Run(program, code)) {
    record_.Note(step + ": cannot start: " + *why);
    session_.Complain("cannot start " + args[0] + ": " + *why);
    return std::nullopt;
  }
  record_.Note(step + ": " + (tool ? "exit code " : "status ") + std::to_string(code));
  return code;
}

bool Steps::Capture(const std::string& which, std::string& unknown) {
  std::vector<std::string> args = {session_.Exe("fenwrack-capture.exe")};
  if (session_.options.firmware)
    args.insert(args.end(), {"--firmware", *session_.options.firmware});
  args.push_back(which + ".json");
  const std::string log = which + "-capture.txt";
  if (!record_.Claim({which + ".json"}))
    return false;
  const auto status = Start("capture " + which, args, "", log.c_str());
  if (!status)
    return false;
  unknown.clear();
  if (*status == 0) {
    session_.Say("Captured the instrument " + which + " the tool: " + which + ".json\n");
    return true;
  }
  const std::string text = record_.ReadOr(log);
  if (*status != 1) {
    session_.Say(text);
    session_.Complain("fenwrack-capture.exe ended with status " + std::to_string(*status) + " (" +
                      log + ")");
    return false;
  }
  session_.Say("Captured the instrument " + which + " the tool: " + which +
               ".json, but a part could not be read:\n");
  for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end;
    if (text.substr(at, end - at).find("unknown:") != std::string::npos)
      session_.Say("  " + text.substr(at, end - at) + "\n");
  }
  unknown = UnknownParts(text);
  record_.Note("capture " + which + ": could not read " + unknown);
  return true;
}

bool Steps::CaptureAfter() {
  std::string unknown;
  if (!Capture("after", unknown))
    return false;
  if (unknown.empty())
    return true;
  session_.Complain("the capture after the run could not read " + unknown +
                    " (after-capture.txt): the instrument cannot be checked against the "
                    "prediction");
  return false;
}

std::optional<Prediction> Steps::DryRun() {
  std::vector<std::string> dry = {session_.Exe("fenwrack-sim.exe"), "--machine", "before.json"};
  for (const char* arg : {"--trace", "trace.jsonl", "--svg", "picture.svg", "--dump-machine",
                          "predicted.json", "--require-achieved", "--"})
    dry.push_back(arg);
  dry.insert(dry.end(), session_.options.tool.begin(), session_.options.tool.end());
  if (!record_.Claim({"trace.jsonl", "picture.svg", "predicted.json"}))
    return std::nullopt;
  const auto status = Start("dry run", dry, "timeline.txt", "warnings.txt");
  if (!status)
    return std::nullopt;
  session_.Say(record_.ReadOr("warnings.txt"));
  // 3: a run that never ends, which the trace tells.
  if (*status != 0 && *status != 3 && *status != 4) {
    session_.Complain("fenwrack-sim.exe ended with status " + std::to_string(*status) +
                      " (warnings.txt)");
    return std::nullopt;
  }
  Prediction prediction;
  if (const auto error = ReadTrace(record_.ReadOr("trace.jsonl"), prediction)) {
    session_.Complain(*error);
    return std::nullopt;
  }
  if (prediction.achieved != (*status == 0) || (prediction.how == "stuck") != (*status == 3)) {
    session_.Complain("the dry run's status and its verdict disagree");
    return std::nullopt;
  }
  const std::string timeline = record_.ReadOr("timeline.txt");
  const std::size_t verdict = timeline.rfind("Verdict:");
  if (verdict != std::string::npos && (verdict == 0 || timeline[verdict - 1] == '\n')) {
    session_.Say(timeline.substr(verdict));
  } else {
    session_.Say(std::string("Verdict: ") + (prediction.achieved ? "achieved" : "NOT achieved") +
                 "; " + prediction.deciding + "\n");
    for (const std::string& line : prediction.details)
      session_.Say("  " + line + "\n");
  }
  record_.Note(std::string("dry run: ") + (prediction.achieved ? "achieved" : "NOT achieved") +
               "; " + prediction.deciding + "; ends with " + prediction.End());
  return prediction;
}

int Steps::Compare(const Prediction& prediction, std::optional<std::uint32_t> tool) {
  std::vector<std::string> args = {session_.Exe("fenwrack-sim.exe"), "--check"};
  // After a restart what runs is what the system started: nothing to compare.
  if (prediction.GoesDown() && !tool)
    args.push_back("--restarted");
  args.insert(args.end(), {"predicted.json", "after.json"});
  const auto status = Start("check", args, "check.txt", "check.txt");
  if (!status)
    return kNotDone;
  std::string text = record_.ReadOr("check.txt");
  if (*status != 0 && *status != 1) {
    session_.Say(text);
    session_.Complain("fenwrack-sim.exe --check ended with status " + std::to_string(*status) +
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
    if (const auto error = session_.system.Replace(record_.Path("check.txt"), text))
      session_.Complain("cannot write " + record_.Path("check.txt") + ": " + *error);
  }
  session_.Say(text);
  const bool asPredicted = *status == 0 && differences.empty();
  record_.Note(asPredicted ? "check: as predicted" : "check: not as predicted (check.txt)");
  if (!asPredicted)
    return kNotAsPredicted;
  return prediction.achieved ? kAsPredicted : kForcedAsPredicted;
}

}  // namespace run
