// Who may change a path: each file and folder's owner and access list, read against the trusted
// accounts of the calling process.
#include "platform/protection.h"

#include <aclapi.h>

#include <string>

#include "platform/win32/win32.h"

namespace platform {

namespace {

using protection::Who;

struct LocalMemoryTraits {  // what the system allocated with LocalAlloc
  static RawHandle Invalid() { return nullptr; }
  static void Close(RawHandle raw) { LocalFree(raw); }
};
using LocalMemory = Owner<LocalMemoryTraits>;

// SYSTEM, Administrators, TrustedInstaller and the account of this process' token.
class TrustedAccounts {
 public:
  TrustedAccounts() {
    DWORD size = sizeof system_;
    bool ok = CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &size);
    size = sizeof administrators_;
    ok = ok && CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators_, &size);
    // NT SERVICE\TrustedInstaller, which owns the system's own files.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const DWORD service[] = {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464};
    ok = ok && InitializeSid(installer_, &nt, 6);
    for (int i = 0; ok && i < 6; ++i)
      *GetSidSubAuthority(installer_, i) = service[i];
    HANDLE raw = nullptr;
    ok = ok && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
    const KernelHandle token(ok ? raw : nullptr);
    size = sizeof user_;
    ok = ok && GetTokenInformation(raw, TokenUser, user_, size, &size);
    ok_ = ok;
  }

  bool ok() const { return ok_; }
  Who Of(PSID sid) const {
    const TOKEN_USER* user = reinterpret_cast<const TOKEN_USER*>(user_);
    const void* accounts[] = {system_, administrators_, installer_, user->User.Sid};
    for (const void* trusted : accounts) {
      if (EqualSid(sid, const_cast<void*>(trusted)))
        return Who::kTrusted;
    }
    return Who::kOthers;
  }

 private:
  alignas(8) BYTE system_[SECURITY_MAX_SID_SIZE] = {};
  alignas(8) BYTE administrators_[SECURITY_MAX_SID_SIZE] = {};
  alignas(8) BYTE installer_[SECURITY_MAX_SID_SIZE] = {};
  alignas(8) BYTE user_[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  bool ok_ = false;
};

// The owner and access list of one file or folder, as the rule needs them.
bool ReadSecurity(const std::wstring& path, const TrustedAccounts& trusted,
                  protection::Security& security) {
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &list, nullptr, &raw) != ERROR_SUCCESS)
    return false;
  const LocalMemory descriptor(raw);
  security.owner = owner != nullptr ? trusted.Of(owner) : Who::kOthers;
  security.hasAccessList = list != nullptr;
  for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(list, i, &ace))
      return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    protection::Entry entry;
    entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE: {
        // The same layout for all four: header, mask, then the SID.
        const auto* simple = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        entry.allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                       header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        entry.mask = simple->Mask;
        entry.who = trusted.Of(const_cast<DWORD*>(&simple->SidStart));
        break;
      }
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        entry.allows = false;
        break;
      default:  // a kind this rule does not read: taken as granting everything to anyone
        entry.mask = protection::kGenericAll;
        break;
    }
    security.entries.push_back(entry);
  }
  return true;
}

std::wstring FullPath(const wchar_t* path) {
  const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  full.resize(size == 0 ? 0 : GetFullPathNameW(path, size, full.data(), nullptr));
  return full;
}

// The length of the path's root: "C:\", "\\server\share\", each with a "\\?\" before it; 0 when
// the path has no root this rule knows.
std::size_t RootLength(const std::wstring& path) {
  std::size_t at = path.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0;
  const bool unc = at == 0 ? path.rfind(L"\\\\", 0) == 0 : path.rfind(L"UNC\\", at) == at;
  if (!unc)
    return path.size() >= at + 3 && path[at + 1] == L':' && path[at + 2] == L'\\' ? at + 3 : 0;
  at += at == 0 ? 2 : 4;
  for (int separators = 0; at < path.size(); ++at) {
    if (path[at] == L'\\' && ++separators == 2)
      return at + 1;
  }
  return 0;
}

// The form the calls take at any length.
std::wstring Callable(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\?\\", 0) == 0)
    return path;
  return path.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
}

}  // namespace

bool IsProtected(const WString& path) {
  std::wstring at = FullPath(win32::Wide(path));
  const std::size_t root = RootLength(at);
  const TrustedAccounts trusted;
  if (root == 0 || !trusted.ok())
    return false;
  while (at.size() > root && at.back() == L'\\')
    at.pop_back();
  // The object itself, then each folder above it up to the root: whoever may change one of them
  // may put something else in its place.
  for (;;) {
    const std::wstring name = Callable(at);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    protection::Security security;
    // A link's target is elsewhere, and whoever made it may make it point elsewhere again.
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !ReadSecurity(name, trusted, security) ||
        protection::OthersMayChange(security, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
      return false;
    if (at.size() <= root)
      return true;
    const std::size_t cut = at.find_last_of(L'\\');
    at.resize(cut < root ? root : cut);
  }
}

}  // namespace platform
