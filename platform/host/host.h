// The computer a program of ours runs on, as opposed to the analyzer it simulates: its command
// line, files, folders and standard streams, all in UTF-8. One implementation per system
// (posix.cc, win32.cc); where the systems allow, both give the same result in the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Why a file or folder could not be read or written.
struct FileError {
  enum class Kind { kNotFound, kDirectory, kOther };
  Kind kind = Kind::kOther;
  std::string reason;  // a few words: "no such file", "is a directory", "permission denied"
};

// Where Windows looks for a library: the system folder only, never the exe's own, where anyone may
// have put one. First thing at a program's start; nothing to do elsewhere.
void UseSystemLibrariesOnly();

// The program's arguments, argument 0 first. On Windows they come from the wide command line,
// so that any name survives whatever the console's code page.
std::vector<std::string> Arguments(int argc, char** argv);

// `name` in `folder`, with the system's separator unless the folder ends with one.
std::string JoinPath(const std::string& folder, const std::string& name);

// A whole file; "-" reads standard input to its end.
std::optional<FileError> ReadWholeFile(const std::string& path, std::string& text);

// The names in a folder, without "." and "..", in no particular order.
std::optional<FileError> ListFolder(const std::string& path, std::vector<std::string>& names);

// All of `text` to standard output (1) or standard error (2). A file or pipe gets the bytes as
// given; a Windows console shows them as UTF-8 text.
std::optional<FileError> WriteStandard(int stream, std::string_view text);

// A file that a program writes once it knows every one of its outputs can be written: Open
// creates it without emptying it, Replace empties it and writes it whole.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  ~OutputFile();

  // "-" is standard output, which stays open.
  std::optional<FileError> Open(const std::string& path);
  // Devices (a terminal, /dev/null, NUL) may take several outputs; files and pipes may not.
  bool SameFileAs(const OutputFile& other) const;
  std::optional<FileError> Replace(std::string_view text);

 private:
  void Close();

  std::intptr_t handle_ = -1;  // the system's descriptor or handle; -1: none
  bool standard_ = false;
  bool device_ = false;   // takes any number of outputs
  bool regular_ = false;  // emptied before it is written
  std::uint64_t volume_ = 0, file_ = 0;
};

}  // namespace host
