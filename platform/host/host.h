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
// The same for ASCII text, allocating nothing: the last words of a program out of memory.
void WriteStandardAscii(int stream, std::string_view text) noexcept;

// Which file a name stands for, so that two names of one file are known as one.
struct FileIdentity {
  std::uint64_t volume = 0, file = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
// Nothing for a name of no file, or of a device (a terminal, /dev/null, NUL), which any number of
// readers and writers may share.
std::optional<FileIdentity> IdentityOf(const std::string& path);
// The same for standard input (0) or standard output (1).
std::optional<FileIdentity> IdentityOfStandard(int stream);

// A file that a program writes once it knows every one of its outputs can be written: Open
// creates it without emptying it, Replace empties it and writes it whole, or leaves it empty when
// the writing fails; Discard removes it again if Open created it.
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
  // Allocates nothing, so that a program out of memory can still call it.
  void Discard() noexcept;

 private:
  void Close() noexcept;

  std::intptr_t handle_ = -1;  // the system's descriptor or handle; -1: none
  bool standard_ = false;
  bool regular_ = false;                  // emptied before it is written
  bool created_ = false;                  // by Open: Discard removes it
  std::optional<FileIdentity> identity_;  // none for a device
#ifdef _WIN32
  std::wstring name_;  // the system's own name of the file, for Discard
#else
  std::string name_;
#endif
};

}  // namespace host
