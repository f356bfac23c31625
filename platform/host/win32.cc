#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>

#include "platform/host/win32_text.h"

namespace host {

namespace {

using namespace win32;

FileError IsADirectory() {
  return {FileError::Kind::kDirectory, "is a directory"};
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<FileError> WriteAll(HANDLE handle, std::string_view text) {
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    const std::wstring wide = Wide(text);
    for (std::size_t done = 0; done < wide.size();) {
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
      if (!WriteConsoleW(handle, wide.data() + done, chunk, &n, nullptr) || n == 0)
        return Error(GetLastError());
      done += n;
    }
    return std::nullopt;
  }
  while (!text.empty()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 20));
    if (!WriteFile(handle, text.data(), chunk, &n, nullptr))
      return Error(GetLastError());
    if (n == 0)
      return Error(ERROR_DISK_FULL);
    text.remove_prefix(n);
  }
  return std::nullopt;
}

// A file on a disk, by volume and file index (MinGW's stat has no inode numbers).
std::optional<FileIdentity> Identity(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info))
    return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool Empty(HANDLE handle) {
  return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         SetEndOfFile(handle);
}

}  // namespace

void UseSystemLibrariesOnly() {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::vector<std::string> Arguments(int, char**) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; argv != nullptr && i < argc; ++i)
    args.push_back(Utf8(argv[i]));
  LocalFree(argv);
  return args;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/' || folder.back() == '\\' || folder.back() == ':')
    return folder + name;
  // A folder written with forward slashes only gets one more, as on other systems.
  return folder + (folder.find('\\') == std::string::npos ? "/" : "\\") + name;
}

std::optional<FileError> ReadWholeFile(const std::string& path, std::string& text) {
  const bool standardInput = path == "-";
  const std::wstring name = standardInput ? L"" : SystemPath(path);
  if (!standardInput && IsFolder(name))
    return IsADirectory();
  HANDLE raw = standardInput
                   ? GetStdHandle(STD_INPUT_HANDLE)
                   : CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE || raw == nullptr)
    return Error(GetLastError());
  const File owned(standardInput ? INVALID_HANDLE_VALUE : raw);
  text.clear();
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(raw, buffer, sizeof buffer, &n, nullptr)) {
      // The writer of a pipe has closed it: the end of the input.
      const DWORD error = GetLastError();
      return error == ERROR_BROKEN_PIPE ? std::nullopt : std::optional(Error(error));
    }
    if (n == 0)
      return std::nullopt;
    text.append(buffer, n);
  }
}

std::optional<FileError> ListFolder(const std::string& path, std::vector<std::string>& names) {
  const std::wstring folder = SystemPath(path);
  if (!IsFolder(folder)) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ? Error(GetLastError()) : Error(ERROR_DIRECTORY);
  }
  WIN32_FIND_DATAW found;
  const Search search(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0));
  if (!search)
    return Error(GetLastError());
  names.clear();
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..")
      names.push_back(Utf8(name));
  } while (FindNextFileW(search.raw(), &found));
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? std::nullopt : std::optional(Error(error));
}

std::optional<FileError> WriteStandard(int stream, std::string_view text) {
  return WriteAll(GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), text);
}

void WriteStandardAscii(int stream, std::string_view text) noexcept {
  const HANDLE handle = GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0, n = 0;
  // ASCII reads the same in every code page. Nowhere left to tell when this fails.
  if (GetConsoleMode(handle, &mode))
    WriteConsoleA(handle, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  else
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  // Neither reading nor writing: a file that others hold open still tells who it is.
  const File file(CreateFileW(SystemPath(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file ? Identity(file.raw()) : std::nullopt;
}

std::optional<FileIdentity> IdentityOfStandard(int stream) {
  return Identity(GetStdHandle(stream == 0 ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE));
}

void OutputFile::Close() noexcept {
  if (handle_ != -1 && !standard_)
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

std::optional<FileError> OutputFile::Open(const std::string& path) {
  Close();
  standard_ = path == "-";
  created_ = false;
  HANDLE raw = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!standard_) {
    name_ = SystemPath(path);
    if (IsFolder(name_))
      return IsADirectory();
    raw = CreateFileW(name_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE)
      return Error(GetLastError());
    created_ = GetLastError() != ERROR_ALREADY_EXISTS;
  }
  handle_ = reinterpret_cast<std::intptr_t>(raw);
  const DWORD type = GetFileType(raw);
  regular_ = type == FILE_TYPE_DISK;
  created_ = created_ && regular_;
  identity_ = Identity(raw);
  // A pipe has no file index: its handle tells it apart.
  if (!identity_ && type != FILE_TYPE_CHAR)
    identity_ = FileIdentity{0, static_cast<std::uint64_t>(handle_)};
  return std::nullopt;
}

std::optional<FileError> OutputFile::Replace(std::string_view text) {
  const HANDLE raw = reinterpret_cast<HANDLE>(handle_);
  if (!standard_ && regular_ && !Empty(raw))
    return Error(GetLastError());
  if (auto error = WriteAll(raw, text)) {
    if (!standard_ && regular_)
      Empty(raw);  // rather than half written; nothing more to tell when this fails too
    return error;
  }
  if (!standard_) {
    handle_ = -1;
    if (!CloseHandle(raw))
      return Error(GetLastError());
  }
  return std::nullopt;
}

void OutputFile::Discard() noexcept {
  Close();
  if (created_)
    DeleteFileW(name_.c_str());
  created_ = false;
}

}  // namespace host
