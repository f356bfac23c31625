// fenwrack-run: the whole loop on the instrument (capture, dry run, the tool, capture, check),
// kept in a record folder. The logic is the same everywhere; what it does to the computer goes
// through System, Windows' own in win32.cc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/process.h"

namespace run {

// Exit statuses, the same in both modes.
constexpr int kAsPredicted = 0;        // achieved, and the instrument is as predicted
constexpr int kNotAsPredicted = 1;     // the tool ran, and the instrument is not as predicted
constexpr int kNotDone = 2;            // a step could not be done, or a bad command line
constexpr int kNotRun = 3;             // the dry run says the goal would not be achieved
constexpr int kForcedAsPredicted = 4;  // --force: as predicted, and not achieved as predicted

// Where record folders are made unless --records says otherwise, under System::DataFolder().
inline constexpr char kRecordsFolder[] = "Fenwrack\\records";

class System {
 public:
  virtual ~System() = default;
  // Runs the program to its end: its exit code, or why it could not be started.
  virtual std::optional<std::string> Run(const host::Program& program, std::uint32_t& code) = 0;
  // A folder that only SYSTEM, Administrators and this account may use.
  virtual host::Made MakeFolder(const std::string& path, std::string& reason) = 0;
  // Files of a record, never through a link; each returns why it failed, or nothing.
  virtual std::optional<std::string> Read(const std::string& path, std::string& text) = 0;
  virtual std::optional<std::string> Append(const std::string& path, std::string_view text) = 0;
  virtual std::optional<std::string> Replace(const std::string& path, std::string_view text) = 0;
  // Whether this program has an administrator's rights (elevated, or SYSTEM).
  virtual bool Elevated() = 0;
  // Whether nobody but SYSTEM, Administrators, TrustedInstaller and this account may change the
  // file or folder, nor a folder above it; a link, or a path that is missing, is not protected.
  virtual bool Protected(const std::string& path) = 0;
  virtual std::string FullPath(const std::string& path) = 0;
  virtual std::string ProgramFolder() = 0;
  // Where the programs of this computer keep data they share (%ProgramData%); empty if unknown.
  virtual std::string DataFolder() = 0;
  virtual host::UtcTime Now() = 0;
  virtual void Print(int stream, std::string_view text) = 0;
};

// The whole program: its arguments, argument 0 first; returns the exit status.
int Main(const std::vector<std::string>& args, System& system);

}  // namespace run
