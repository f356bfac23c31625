// Environment, folders and files.
// The system headers below need <windows.h> first.
#include "platform/win32/win32.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace platform {

using win32::As;
using win32::Wide;

std::optional<WString> ReadEnvironment(const WString& name) {
  const wchar_t* value = _wgetenv(Wide(name));
  if (value == nullptr)
    return std::nullopt;
  return WString(reinterpret_cast<const char16_t*>(value));
}

std::int32_t GetFolderPath(int csidl, std::uint32_t flags, char16_t (&path)[kMaxPath]) {
  static_assert(kMaxPath == MAX_PATH);
  return SHGetFolderPathW(nullptr, csidl, nullptr, flags, Wide(path));
}

void FindTraits::Close(RawHandle raw) {
  FindClose(raw);
}

FindHandle FindFirst(const WString& path) {
  WIN32_FIND_DATAW found;
  return FindHandle(FindFirstFileW(Wide(path), &found));
}

FindHandle FindFirst(const WString& path, std::uint32_t& attributes) {
  WIN32_FIND_DATAW found{};
  FindHandle handle(FindFirstFileW(Wide(path), &found));
  attributes = handle ? found.dwFileAttributes : 0;
  return handle;
}

void CrtFileTraits::Close(RawHandle raw) {
  std::fclose(static_cast<FILE*>(raw));
}

CrtFile OpenCrtFile(const WString& path, const char16_t* mode) {
  return CrtFile(_wfopen(Wide(path), Wide(mode)));
}

int WriteCrtText(const CrtFile& file, const char* text) {
  return std::fputs(text, As<FILE*>(file));
}

std::size_t ReadCrtBytes(const CrtFile& file, void* buffer, std::size_t size) {
  return std::fread(buffer, 1, size, As<FILE*>(file));
}

int FlushCrtFile(const CrtFile& file) {
  return std::fflush(As<FILE*>(file));
}

bool WriteStandardStream(int stream, std::string_view bytes) {
  // WriteFile, not the runtime's streams: no text-mode translation, and the console's code page
  // does not matter for a redirected stream.
  const HANDLE out = GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
    if (out == nullptr || out == INVALID_HANDLE_VALUE ||
        !WriteFile(out, bytes.data(), chunk, &written, nullptr) || written == 0)
      return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace platform
