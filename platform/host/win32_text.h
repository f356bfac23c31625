// What the Windows files of the host layer share: UTF-8 to the wide calls and back, the words for
// the system's errors, paths of any length, and owners of the handles they open.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/handles.h"
#include "platform/host/host.h"

namespace host::win32 {

inline std::wstring Wide(std::string_view utf8) {
  if (utf8.empty())
    return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

inline std::string Utf8(std::wstring_view wide) {
  if (wide.empty())
    return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// The words of posix.cc where the two systems mean the same.
inline FileError Error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return {FileError::Kind::kNotFound, "no such file"};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return {FileError::Kind::kOther, "permission denied"};
    case ERROR_DIRECTORY:
      return {FileError::Kind::kNotFound, "a part of the path is not a directory"};
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return {FileError::Kind::kOther, "no space left on the device"};
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return {FileError::Kind::kOther, "broken pipe"};
    case ERROR_BAD_EXE_FORMAT:
      return {FileError::Kind::kOther, "not a Windows program"};
    default:
      // The system's own message is in the system's language: a number reads the same anywhere.
      return {FileError::Kind::kOther, "Windows error " + std::to_string(error)};
  }
}

inline std::wstring FullPathOf(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0)
    return path;
  std::wstring full(size, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), size, full.data(), nullptr));
  return full;
}

// A path the wide calls take at any length: absolute, with the \\?\ prefix once it is too long
// for the plain form (248 characters for a folder, 260 for a file).
inline std::wstring SystemPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  if (wide.rfind(L"\\\\?\\", 0) == 0)
    return wide;
  const std::wstring full = FullPathOf(wide);
  if (full.size() < 248 || full.rfind(L"\\\\.\\", 0) == 0)
    return full;
  return full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

struct FileTraits {  // CreateFileW: INVALID_HANDLE_VALUE when invalid
  static platform::RawHandle Invalid() { return platform::InvalidHandleValue(); }
  static void Close(platform::RawHandle raw) { CloseHandle(raw); }
};
struct SearchTraits {  // FindFirstFileExW
  static platform::RawHandle Invalid() { return platform::InvalidHandleValue(); }
  static void Close(platform::RawHandle raw) { FindClose(raw); }
};
struct KernelTraits {  // a process or thread: null when invalid
  static platform::RawHandle Invalid() { return nullptr; }
  static void Close(platform::RawHandle raw) { CloseHandle(raw); }
};
struct LocalTraits {  // memory the system allocated with LocalAlloc
  static platform::RawHandle Invalid() { return nullptr; }
  static void Close(platform::RawHandle raw) { LocalFree(raw); }
};
using File = platform::Owner<FileTraits>;
using Search = platform::Owner<SearchTraits>;
using Kernel = platform::Owner<KernelTraits>;
using Local = platform::Owner<LocalTraits>;

}  // namespace host::win32
