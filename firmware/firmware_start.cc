// The last step of a restart: start the firmware's start-up script, without waiting for it.
#include "firmware/firmware_control.h"

namespace {

constexpr char16_t kInterpreter[] = u"C:\\WINNT\\system32\\cmd.exe";
constexpr const char16_t* kTestedScripts[] = {u"\\bin\\StartUpFW.bat",
                                              u"\\binRelease\\StartUpFW.bat"};
// Taken untested when neither of the others exists.
constexpr char16_t kFallbackScript[] = u"\\binDebug\\StartUpFW.bat";

}  // namespace

int CFirmwareControl::FileExists(const platform::WString& path) {
  return platform::FindFirst(path) ? 1 : 0;
}

void CFirmwareControl::StartFirmware() {
  const std::optional<platform::WString> root = platform::ReadEnvironment(u"Kestrix_SYSTEM_ROOT");
  // Without a root the script would be looked for under the current drive's root folder, where
  // anyone may plant one; no valid path holds a double quote.
  if (!root || root->empty() || root->find(u'"') != platform::WString::npos)
    return;

  platform::WString path = *root + kFallbackScript;
  for (const char16_t* suffix : kTestedScripts) {
    if (FileExists(*root + suffix)) {
      path = *root + suffix;
      break;
    }
  }

  // The interpreter strips the outer pair of quotes only, so the path stays quoted whatever
  // characters the root holds.
  platform::WString commandLine = u"/C \"\"" + path + u"\"\"";
  const platform::WString application = kInterpreter;
  platform::StartedProcess started;
  platform::StartProcess(&application, commandLine, 0,
                         platform::kCreateNoWindow | platform::kNormalPriorityClass, started);
}
