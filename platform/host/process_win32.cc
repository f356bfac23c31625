#include <windows.h>

#include "platform/handles.h"
#include "platform/host/process.h"

namespace host {

namespace {

struct FileTraits {  // CreateFileW: INVALID_HANDLE_VALUE when invalid
  static platform::RawHandle Invalid() { return platform::InvalidHandleValue(); }
  static void Close(platform::RawHandle raw) { CloseHandle(raw); }
};
struct KernelTraits {  // a process or thread: null when invalid
  static platform::RawHandle Invalid() { return nullptr; }
  static void Close(platform::RawHandle raw) { CloseHandle(raw); }
};
using File = platform::Owner<FileTraits>;
using Kernel = platform::Owner<KernelTraits>;

FileError Error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return {FileError::Kind::kNotFound, "no such file"};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return {FileError::Kind::kOther, "permission denied"};
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return {FileError::Kind::kOther, "no space left on the device"};
    case ERROR_BAD_EXE_FORMAT:
      return {FileError::Kind::kOther, "not a Windows program"};
    default:
      // The system's own message is in the system's language: a number reads the same anywhere.
      return {FileError::Kind::kOther, "Windows error " + std::to_string(error)};
  }
}

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty())
    return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty())
    return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// A standard handle for the child: a file it replaces, or NUL.
File Inheritable(const std::string& path, bool output) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return File(CreateFileW(
      path.empty() ? L"NUL" : Wide(path).c_str(), output ? GENERIC_WRITE : GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
      output && !path.empty() ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::optional<FileError> RunToEnd(const Program& program, std::uint32_t& exitCode) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  const bool redirected = !program.output.empty() || !program.error.empty();
  File input, output, error;
  if (redirected) {
    // The handles are inheritable only from here to the child's start, and this program starts
    // one child at a time from one thread: the child gets these and nothing else of ours.
    input = Inheritable("", false);
    output = Inheritable(program.output, true);
    error = program.error == program.output ? File() : Inheritable(program.error, true);
    if (!input || !output || (!error && program.error != program.output))
      return Error(GetLastError());
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.raw();
    startup.hStdOutput = output.raw();
    startup.hStdError = error ? error.raw() : output.raw();
  }
  std::wstring line = Wide(program.commandLine);
  const std::wstring folder = Wide(program.folder.empty() ? "" : FullPath(program.folder));
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(Wide(program.path).c_str(), line.data(), nullptr, nullptr, redirected, 0,
                      nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &started))
    return Error(GetLastError());
  const Kernel process(started.hProcess), thread(started.hThread);
  // Ours closed now: the child's end closes its output files.
  input.reset();
  output.reset();
  error.reset();
  DWORD code = 0;
  if (WaitForSingleObject(process.raw(), INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.raw(), &code))
    return Error(GetLastError());
  exitCode = code;
  return std::nullopt;
}

Made MakeFolder(const std::string& path, FileError& error) {
  if (CreateDirectoryW(Wide(path).c_str(), nullptr))
    return Made::kMade;
  const DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS)
    return Made::kExists;
  error = Error(code);
  return Made::kFailed;
}

std::optional<FileError> AppendToFile(const std::string& path, std::string_view text) {
  const File file(CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return Error(GetLastError());
  while (!text.empty()) {
    DWORD n = 0;
    if (!WriteFile(file.raw(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr))
      return Error(GetLastError());
    if (n == 0)
      return Error(ERROR_DISK_FULL);
    text.remove_prefix(n);
  }
  if (!FlushFileBuffers(file.raw()))
    return Error(GetLastError());
  return std::nullopt;
}

std::string FullPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0)
    return path;
  std::wstring full(size, L'\0');
  full.resize(GetFullPathNameW(wide.c_str(), size, full.data(), nullptr));
  return Utf8(full);
}

std::string ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0)
      return ".";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::size_t cut = path.find_last_of(L"\\/");
  cut = cut == std::wstring::npos ? 0 : cut;
  // The drive's root keeps its backslash: "C:" alone is that drive's current folder.
  return Utf8(path.substr(0, cut > 0 && path[cut - 1] == L':' ? cut + 1 : cut));
}

UtcTime UtcNow() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace host
