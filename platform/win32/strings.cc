// Narrow-to-wide conversion and the process' arguments.
// The system headers below need <windows.h> first.
#include "platform/win32/win32.h"

#include <shellapi.h>

#include <cstring>
#include <memory>

namespace platform {

WString WidenAnsi(const char* text) {
  // No code page turns one byte into more than one UTF-16 unit, so this is always enough room.
  const int room = static_cast<int>(std::strlen(text)) + 1;
  WString wide(static_cast<std::size_t>(room), u'\0');
  const int written =
      MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, win32::Wide(wide.data()), room);
  // `written` counts the terminating null; 0 is a failure.
  wide.resize(written > 0 ? static_cast<std::size_t>(written - 1) : 0);
  return wide;
}

namespace {
struct LocalFreeDeleter {
  void operator()(LPWSTR* block) const { LocalFree(block); }
};
}  // namespace

std::vector<WString> CommandLineArguments() {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreeDeleter> arguments(
      CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<WString> result;
  if (!arguments)
    return result;
  result.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    result.emplace_back(reinterpret_cast<const char16_t*>(arguments.get()[i]));
  return result;
}

}  // namespace platform
