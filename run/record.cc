#include "run/record.h"

#include <cstdio>

#include "platform/text/ascii.h"
#include "run/command_line.h"

namespace run {

namespace {

std::string Digits(int value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

}  // namespace

std::string Stamp(const host::UtcTime& t) {
  return Digits(t.year, 4) + Digits(t.month, 2) + Digits(t.day, 2) + "T" + Digits(t.hour, 2) +
         Digits(t.minute, 2) + Digits(t.second, 2) + "Z";
}

std::string Iso(const host::UtcTime& t) {
  return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + "T" +
         Digits(t.hour, 2) + ":" + Digits(t.minute, 2) + ":" + Digits(t.second, 2) + "Z";
}

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

bool Record::Make() {
  System& system = session_.system;
  const Options& options = session_.options;
  std::string reason;
  // One place per instrument, whichever folder this program was copied to: a new version keeps
  // the history, and removing a version does not take it.
  const std::string shared = system.DataFolder();
  if (!options.records && shared.empty()) {
    session_.Complain(
        "cannot find the folder for the records (%ProgramData%): give one with --records");
    return false;
  }
  const std::string records =
      system.FullPath(options.records ? *options.records : Join(shared, kRecordsFolder));
  if (system.MakeFolder(records, reason) == host::Made::kFailed) {
    session_.Complain("cannot make the records folder " + records + ": " + reason);
    return false;
  }
  // Made or found, it is looked at: one found may be a link to anywhere.
  if (!session_.Trusted("the records folder", records))
    return false;
  const std::string stem = Join(records, Stamp(system.Now()) + "-" + RecordName(options.tool));
  for (int n = 1;; ++n) {
    folder_ = n == 1 ? stem : stem + "-" + std::to_string(n);
    const host::Made made = system.MakeFolder(folder_, reason);
    if (made == host::Made::kMade)
      break;
    if (made == host::Made::kFailed || n == 999) {
      session_.Complain("cannot make the record folder " + folder_ + ": " +
                        (made == host::Made::kFailed ? reason : "all taken"));
      return false;
    }
  }
  session_.Say("Record: " + folder_ + "\n");
  recording_ = true;
  return Note("run: " + CommandLine(session_.args)) && Note("record: " + folder_);
}

bool Record::Note(const std::string& line) {
  if (!recording_)
    return false;
  System& system = session_.system;
  const auto error = system.Append(Path("record.txt"), Iso(system.Now()) + " " + line + "\n");
  if (error && !noteFailed_)
    session_.Complain("cannot write " + Path("record.txt") + ": " + *error);
  noteFailed_ = noteFailed_ || error;
  return !error;
}

std::string Record::ReadOr(const std::string& name) {
  std::string text;
  return session_.system.Read(Path(name), text) ? std::string() : text;
}

bool Record::Claim(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (const auto error = session_.system.Replace(Path(name), "")) {
      Note("cannot write " + name + ": " + *error);
      session_.Complain("cannot write " + Path(name) + ": " + *error);
      return false;
    }
  }
  return true;
}

}  // namespace run
