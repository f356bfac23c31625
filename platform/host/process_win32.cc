#include "platform/host/process.h"

#include <vector>

#include "platform/host/win32_text.h"
// After windows.h, which they need.
#include <sddl.h>
#include <shlobj.h>

namespace host {

namespace {

using namespace win32;

// SYSTEM, Administrators and this program's account, each with every right, on the object and
// on what is made in it; nothing from the parent.
class PrivateSecurity {
 public:
  PrivateSecurity() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
      return;
    const Kernel token(raw);
    alignas(8) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof user;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(raw, TokenUser, user, size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text))
      return;
    const Local sid(text);
    const std::wstring sddl =
        std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;") + text + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                             &descriptor, nullptr))
      descriptor_ = Local(descriptor);
  }

  explicit operator bool() const { return descriptor_.valid(); }
  SECURITY_ATTRIBUTES* Attributes(bool inherit) {
    attributes_ = {sizeof attributes_, descriptor_.raw(), inherit};
    return &attributes_;
  }

 private:
  Local descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

FileError IsALink() {
  return {FileError::Kind::kOther, "is a link"};
}

std::optional<FileError> Write(const File& file, std::string_view text) {
  while (!text.empty()) {
    DWORD n = 0;
    if (!WriteFile(file.raw(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr))
      return Error(GetLastError());
    if (n == 0)
      return Error(ERROR_DISK_FULL);
    text.remove_prefix(n);
  }
  return std::nullopt;
}

// A record file for `access`, made when `make` allows, refused when it turns out to be a link.
File OpenRecordFile(const std::string& path, DWORD access, bool make, bool inherit,
                    FileError& error) {
  PrivateSecurity security;
  if (make && !security) {
    error = Error(GetLastError());
    return File();
  }
  File file(CreateFileW(
      SystemPath(path).c_str(), access | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      make ? security.Attributes(inherit) : nullptr, make ? OPEN_ALWAYS : OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.raw(), &info)) {
    error = Error(GetLastError());
    return File();
  }
  // A second name is a hard link: the same file is also elsewhere, wherever its maker chose.
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      info.nNumberOfLinks != 1) {
    error = IsALink();
    return File();
  }
  return file;
}

// A standard handle for the child: a record file it replaces, or NUL.
File Inheritable(const std::string& path, bool output, FileError& error) {
  if (!path.empty()) {
    File file = OpenRecordFile(path, GENERIC_WRITE, true, true, error);
    if (file && !SetEndOfFile(file.raw())) {
      error = Error(GetLastError());
      return File();
    }
    if (!file)
      error.reason = path + ": " + error.reason;
    return file;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  File file(CreateFileW(L"NUL", output ? GENERIC_WRITE : GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    error = Error(GetLastError());
  return file;
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
    FileError why;
    input = Inheritable("", false, why);
    if (input)
      output = Inheritable(program.output, true, why);
    if (output && program.error != program.output)
      error = Inheritable(program.error, true, why);
    if (!input || !output || (!error && program.error != program.output))
      return why;
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
  PrivateSecurity security;
  for (bool above = false;; above = true) {
    if (security && CreateDirectoryW(SystemPath(path).c_str(), security.Attributes(false)))
      return Made::kMade;
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS)
      return Made::kExists;
    const std::size_t cut = path.find_last_of("\\/");
    const std::string parent = cut == std::string::npos ? "" : path.substr(0, cut);
    if (!security || code != ERROR_PATH_NOT_FOUND || above || parent.empty() ||
        parent.back() == ':' || MakeFolder(parent, error) == Made::kFailed) {
      error = Error(code);
      return Made::kFailed;
    }
  }
}

std::string SharedDataFolder() {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
    return "";
  return Utf8(path);
}

std::optional<FileError> AppendToFile(const std::string& path, std::string_view text) {
  FileError why;
  const File file = OpenRecordFile(path, FILE_APPEND_DATA, true, false, why);
  if (!file)
    return why;
  if (auto error = Write(file, text))
    return error;
  if (!FlushFileBuffers(file.raw()))
    return Error(GetLastError());
  return std::nullopt;
}

std::optional<FileError> ReadRecordFile(const std::string& path, std::string& text) {
  FileError why;
  const File file = OpenRecordFile(path, GENERIC_READ, false, false, why);
  if (!file)
    return why;
  text.clear();
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.raw(), buffer, sizeof buffer, &n, nullptr))
      return Error(GetLastError());
    if (n == 0)
      return std::nullopt;
    text.append(buffer, n);
  }
}

std::optional<FileError> ReplaceRecordFile(const std::string& path, std::string_view text) {
  FileError why;
  const File file = OpenRecordFile(path, GENERIC_WRITE, true, false, why);
  if (!file)
    return why;
  if (!SetEndOfFile(file.raw()))
    return Error(GetLastError());
  return Write(file, text);
}

bool RunsElevated() {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL member = FALSE;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
      !CheckTokenMembership(nullptr, administrators, &member) || member)
    return true;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
    return true;
  const Kernel token(raw);
  TOKEN_ELEVATION elevation{};
  return !GetTokenInformation(raw, TokenElevation, &elevation, sizeof elevation, &size) ||
         elevation.TokenIsElevated != 0;
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
