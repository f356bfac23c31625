// A run's record folder: its name, the files its programs write in it, and record.txt, what the
// run did, a line at a time after the time it happened.
#pragma once

#include <string>
#include <vector>

#include "platform/host/process.h"
#include "run/session.h"

namespace run {

// 20261208T153012Z: sorts as it happened, and holds no character a folder name cannot.
std::string Stamp(const host::UtcTime& t);
// 2026-12-08T15:30:12Z, before each line of record.txt.
std::string Iso(const host::UtcTime& t);
// The switch's letters and digits: whatever else the argument holds stays out of the path.
std::string RecordName(const std::vector<std::string>& tool);

class Record {
 public:
  explicit Record(Session& session) : session_(session) {}

  // A new record folder for this run, told and noted; whether it was made and noted.
  bool Make();
  // An earlier run's record folder, for check; nothing is noted in it until Resume().
  void Use(const std::string& folder) { folder_ = folder; }
  void Resume() { recording_ = true; }

  const std::string& Folder() const { return folder_; }
  std::string Path(const std::string& name) const { return Join(folder_, name); }
  // A line of record.txt; whether it was written. The first failure is told.
  bool Note(const std::string& line);
  // The file's text; empty when it cannot be read.
  std::string ReadOr(const std::string& name);
  // The files a child writes by name are made first, as record files: in a record folder that
  // others may add to, a link put in the place of one would lead its writes anywhere.
  bool Claim(const std::vector<std::string>& names);

 private:
  Session& session_;
  std::string folder_;
  bool recording_ = false;  // record.txt can be written
  bool noteFailed_ = false;
};

}  // namespace run
