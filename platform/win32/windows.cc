// Other programs' windows and the message box.
#include "platform/win32/win32.h"

namespace platform {

using win32::Hwnd;
using win32::Wide;

namespace {

struct EnumCall {
  WindowEnumProc proc;
  std::intptr_t context;
};

BOOL CALLBACK EnumThunk(HWND window, LPARAM lParam) {
  const EnumCall& call = *reinterpret_cast<const EnumCall*>(lParam);
  return call.proc(win32::Ref(window), call.context);
}

}  // namespace

Bool EnumTopLevelWindows(WindowEnumProc proc, std::intptr_t context) {
  const EnumCall call{proc, context};
  return EnumWindows(&EnumThunk, reinterpret_cast<LPARAM>(&call));
}

int ReadWindowText(WindowRef window, char16_t* buffer, int maxCount) {
  return GetWindowTextW(Hwnd(window), Wide(buffer), maxCount);
}

int ReadWindowTitle(WindowRef window, char16_t* buffer, int maxCount, bool& readable) {
  // For another process' window the system reads the stored title: no message is sent.
  SetLastError(ERROR_SUCCESS);
  const int length = GetWindowTextW(Hwnd(window), Wide(buffer), maxCount);
  readable = length > 0 || GetLastError() == ERROR_SUCCESS;
  return length;
}

std::uint32_t WindowProcessId(WindowRef window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(Hwnd(window), &pid);
  return pid;
}

Bool PostWindowMessage(WindowRef window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  return PostMessageW(Hwnd(window), message, wParam, lParam);
}

int ShowMessageBox(WindowRef owner, const WString& text, const WString& caption,
                   std::uint32_t type) {
  return MessageBoxW(Hwnd(owner), Wide(text), Wide(caption), type);
}

}  // namespace platform
