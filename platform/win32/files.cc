// Environment, folders and files.
// The system headers below need <windows.h> first.
#include "platform/win32/win32.h"

#include <shlobj.h>

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

void CrtFileTraits::Close(RawHandle raw) {
  std::fclose(static_cast<FILE*>(raw));
}

CrtFile OpenCrtFile(const WString& path, const char16_t* mode) {
  return CrtFile(_wfopen(Wide(path), Wide(mode)));
}

int WriteCrtText(const CrtFile& file, const char* text) {
  return std::fputs(text, As<FILE*>(file));
}

}  // namespace platform
