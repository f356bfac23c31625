// More of the computer our programs run on: other programs run to their end, new folders, files
// that grow a line at a time, the clock. UTF-8 throughout, as in host.h. Windows only so far
// (process_win32.cc): the one program that needs it runs there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host/host.h"

namespace host {

// A program to run to its end.
struct Program {
  std::string path;         // the exe itself, never looked up in PATH
  std::string commandLine;  // as the program will read it, argument 0 included
  std::string folder;       // its current folder; empty: ours
  // Files its standard output and error replace; empty: NUL. With neither, it gets no standard
  // handles of ours.
  std::string output, error;
};

// Starts the program and waits for its end: its exit code, or why it could not be started (a
// file for its output included). It inherits none of our handles but the standard ones it is
// given; its output files are record files (below).
std::optional<FileError> RunToEnd(const Program& program, std::uint32_t& exitCode);

enum class Made { kMade, kExists, kFailed };
// A new folder whose own access list, not its parent's, lets SYSTEM, Administrators and this
// program's account alone in; what is there already is left as it is. Folders missing above it
// are made first, each the same way.
Made MakeFolder(const std::string& path, FileError& error);

// Windows' folder for data the programs of this computer share (%ProgramData%), read from the
// system, not from the environment; empty when it cannot be read.
std::string SharedDataFolder();

// Record files are never opened through a link (symbolic, a junction, or a second name of a
// file elsewhere): whoever placed the link chose what it leads to. Those made here get the access
// list of MakeFolder.

// Adds `text` at the end of the file, which is made when missing, and returns once it is on the
// disk: a record cut off by a power-off keeps every line written before it.
std::optional<FileError> AppendToFile(const std::string& path, std::string_view text);
// The whole file.
std::optional<FileError> ReadRecordFile(const std::string& path, std::string& text);
// The file, made when missing, holds `text` alone.
std::optional<FileError> ReplaceRecordFile(const std::string& path, std::string_view text);

// Whether this program has an administrator's rights: an elevated token, or SYSTEM's. When that
// cannot be read, it is taken to have them.
bool RunsElevated();

// The path, made absolute against the current folder.
std::string FullPath(const std::string& path);

// The folder of the running program's own exe.
std::string ProgramFolder();

struct UtcTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// From the system clock, in UTC: never a locale's calendar or time zone.
UtcTime UtcNow();

}  // namespace host
