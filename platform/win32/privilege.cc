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

Bool ReadTokenPrivileges(const KernelHandle& token, std::vector<Luid>& held) {
  DWORD size = 0;
  GetTokenInformation(As<HANDLE>(token), TokenPrivileges, nullptr, 0, &size);
  if (size < sizeof(TOKEN_PRIVILEGES) - sizeof(LUID_AND_ATTRIBUTES))
    return 0;
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(As<HANDLE>(token), TokenPrivileges, buffer.data(), size, &size))
    return 0;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  held.clear();
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID& luid = privileges->Privileges[i].Luid;
    held.push_back(Luid{luid.LowPart, luid.HighPart});
  }
  return 1;
}

Bool CheckAdministratorsMembership(Bool& member) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size))
    return 0;
  return CheckTokenMembership(nullptr, sid, &member);
}

Bool RequestExitWindows(std::uint32_t flags, std::uint32_t reason) {
  return ExitWindowsEx(flags, reason);
}

}  // namespace platform
