// The calling process' privileges and the request to end the system's session.
#include "platform/win32/win32.h"

namespace platform {

using win32::As;

Bool OpenCurrentProcessToken(std::uint32_t access, KernelHandle& token) {
  HANDLE raw = nullptr;
  const BOOL opened = OpenProcessToken(GetCurrentProcess(), access, &raw);
  if (opened)
    token = KernelHandle(raw);
  return opened;
}

Bool LookupPrivilege(const char16_t* systemName, const WString& name, Luid& luid) {
  LUID value{};
  const BOOL found = LookupPrivilegeValueW(win32::Wide(systemName), win32::Wide(name), &value);
  luid = Luid{value.LowPart, value.HighPart};
  return found;
}

Bool AdjustPrivileges(const KernelHandle& token, Bool disableAll, const SinglePrivilege& newState) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = newState.count;
  privileges.Privileges[0].Luid.LowPart = newState.luid.lowPart;
  privileges.Privileges[0].Luid.HighPart = newState.luid.highPart;
  privileges.Privileges[0].Attributes = newState.attributes;
  return AdjustTokenPrivileges(As<HANDLE>(token), disableAll, &privileges, 0, nullptr, nullptr);
}

Bool RequestExitWindows(std::uint32_t flags, std::uint32_t reason) {
  return ExitWindowsEx(flags, reason);
}

}  // namespace platform
