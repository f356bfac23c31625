// USB write protection: read the system's setting, import the protection settings.
#include <cstring>

#include "firmware/firmware_control.h"

int CFirmwareControl::IsUsbWriteProtected() {
  int answer = 0;
  platform::RegKey key;
  if (platform::OpenRegistryKey(platform::RegistryRoot::kLocalMachine, places::kPolicyKey, 0,
                                platform::kKeyRead, key) != platform::kErrorSuccess) {
    return answer;
  }
  // Zeroed first, so a value shorter than 4 bytes reads the same every time.
  unsigned char data[4] = {};
  std::uint32_t size = sizeof data;
  if (platform::QueryRegistryValue(key, places::kPolicyValue, nullptr, data, &size) ==
      platform::kErrorSuccess) {
    std::uint32_t value = 0;
    std::memcpy(&value, data, sizeof value);
    if (value == 1)
      answer = 1;
  }
  return answer;
}

void CFirmwareControl::InstallUsbProtection() {
  platform::WString commandLine = u" /s \"" + platform::WString(places::kSettingsFile) + u"\"";
  char16_t windowsFolder[platform::kMaxPath] = {};
  // Without the Windows folder there is no editor path to start.
  if (platform::GetFolderPath(platform::kCsidlWindows, 0, windowsFolder) < 0)
    return;
  const platform::WString application = platform::WString(windowsFolder) + places::kEditorName;
  platform::StartedProcess started;
  if (!platform::StartProcess(&application, commandLine, 0,
                              platform::kCreateNoWindow | platform::kNormalPriorityClass,
                              started)) {
    return;
  }
  platform::WaitForObject(started.process, platform::kInfinite);
}
