// Who may change a file or a folder, read from its owner and access list: the rule by which a
// program that runs with an administrator's rights trusts a path before it starts or writes
// what is there. Plain data, so that the rule is the same on every system and its tests run
// anywhere; platform/win32 reads the descriptors.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::protection {

// SYSTEM, Administrators, TrustedInstaller and the account that runs the program are trusted:
// each of them could change the program itself. Everyone else is others.
enum class Who { kTrusted, kOthers };

struct Entry {
  Who who = Who::kOthers;
  bool allows = true;        // a denying entry only takes rights away
  bool inheritOnly = false;  // for what is made inside a folder, not for the folder itself
  std::uint32_t mask = 0;
};

struct Security {
  Who owner = Who::kOthers;    // an owner may always rewrite the access list
  bool hasAccessList = false;  // without one, everyone may do everything
  std::vector<Entry> entries;
};

inline constexpr std::uint32_t kWriteData = 0x2;     // a file's contents
inline constexpr std::uint32_t kAppendData = 0x4;    // a file's end
inline constexpr std::uint32_t kDeleteChild = 0x40;  // a folder's entries, whoever owns them
inline constexpr std::uint32_t kDelete = 0x10000;
inline constexpr std::uint32_t kWriteDac = 0x40000;
inline constexpr std::uint32_t kWriteOwner = 0x80000;
inline constexpr std::uint32_t kGenericAll = 0x10000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;  // on a folder: only adds entries

// Whether someone else may change the object: a file's contents, a file or folder's access list
// or owner, delete or rename it, or remove what a folder holds. Adding to a folder is harmless:
// it cannot replace what is there.
inline bool OthersMayChange(const Security& security, bool folder) {
  if (security.owner == Who::kOthers || !security.hasAccessList)
    return true;
  const std::uint32_t changes = kDelete | kWriteDac | kWriteOwner | kGenericAll |
                                (folder ? kDeleteChild : kWriteData | kAppendData | kGenericWrite);
  for (const Entry& entry : security.entries) {
    if (entry.who == Who::kOthers && entry.allows && !entry.inheritOnly &&
        (entry.mask & changes) != 0)
      return true;
  }
  return false;
}

}  // namespace platform::protection
