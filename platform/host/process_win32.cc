#include "platform/host/process.h"

#include <vector>

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

// The attribute that gives a child these handles and no other, even those marked inheritable.
class HandleList {
 public:
  explicit HandleList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size / sizeof(std::uint64_t) + 1);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    made_ = InitializeProcThreadAttributeList(list_, 1, 0, &size);
    ok_ = made_ &&
          UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                    handles_.size() * sizeof(HANDLE), nullptr, nullptr);
  }
  HandleList(const HandleList&) = delete;
  HandleList& operator=(const HandleList&) = delete;
  ~HandleList() {
    if (made_)
      DeleteProcThreadAttributeList(list_);
  }

  bool ok() const { return ok_; }
  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  std::vector<HANDLE> handles_;  // read by CreateProcessW, so kept until then
  std::vector<std::uint64_t> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  bool made_ = false, ok_ = false;
};

}  // namespace

std::optional<FileError> RunToEnd(const Program& program, std::uint32_t& exitCode) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  const bool redirected = !program.output.empty() || !program.error.empty();
  File input, output, error;
  std::vector<HANDLE> inherited;
  if (redirected) {
    // Inheritable for the child's start only: this program starts one child at a time from one
    // thread. Whatever else is inheritable here, the deployment system's pipes included, stays.
    input = Inheritable("", false);
    output = Inheritable(program.output, true);
    error = program.error == program.output ? File() : Inheritable(program.error, true);
    if (!input || !output || (!error && program.error != program.output))
      return Error(GetLastError());
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.raw();
    startup.StartupInfo.hStdOutput = output.raw();
    startup.StartupInfo.hStdError = error ? error.raw() : output.raw();
    inherited = {input.raw(), output.raw()};
    if (error)
      inherited.push_back(error.raw());
  }
  const HandleList list(inherited);
  if (redirected && !list.ok())
    return Error(GetLastError());
  startup.lpAttributeList = redirected ? list.list() : nullptr;
  std::wstring line = Wide(program.commandLine);
  const std::wstring folder = Wide(program.folder.empty() ? "" : FullPath(program.folder));
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(Wide(program.path).c_str(), line.data(), nullptr, nullptr, redirected,
                      redirected ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &started))
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
