// Reading the machine's registry.
#include "platform/win32/win32.h"

namespace platform {

using win32::As;

void RegKeyTraits::Close(RawHandle raw) {
  RegCloseKey(static_cast<HKEY>(raw));
}

std::int32_t OpenRegistryKey(RegistryRoot root, const WString& subKey, std::uint32_t options,
                             std::uint32_t access, RegKey& key) {
  HKEY parent = nullptr;
  switch (root) {
    case RegistryRoot::kLocalMachine:
      parent = HKEY_LOCAL_MACHINE;
      break;
  }
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExW(parent, win32::Wide(subKey), options, access, &opened);
  if (status == ERROR_SUCCESS)
    key = RegKey(opened);
  return status;
}

std::int32_t QueryRegistryValue(const RegKey& key, const WString& name, std::uint32_t* type,
                                void* data, std::uint32_t* size) {
  DWORD length = size != nullptr ? *size : 0;
  DWORD kind = 0;
  const LONG status =
      RegQueryValueExW(As<HKEY>(key), win32::Wide(name), nullptr, type != nullptr ? &kind : nullptr,
                       static_cast<BYTE*>(data), size != nullptr ? &length : nullptr);
  if (size != nullptr)
    *size = length;
  if (type != nullptr)
    *type = kind;
  return status;
}

}  // namespace platform
