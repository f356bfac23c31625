#include "platform/host/process.h"
#include "platform/host/win32_text.h"

namespace host {

namespace {

using namespace win32;

// A standard handle for the child: a file it replaces, or NUL.
File Inheritable(const std::string& path, bool output) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return File(CreateFileW(
      path.empty() ? L"NUL" : SystemPath(path).c_str(), output ? GENERIC_WRITE : GENERIC_READ,
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
  if (CreateDirectoryW(SystemPath(path).c_str(), nullptr))
    return Made::kMade;
  const DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS)
    return Made::kExists;
  error = Error(code);
  return Made::kFailed;
}

std::optional<FileError> AppendToFile(const std::string& path, std::string_view text) {
  const File file(CreateFileW(SystemPath(path).c_str(), FILE_APPEND_DATA,
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
  return Utf8(FullPathOf(Wide(path)));
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
