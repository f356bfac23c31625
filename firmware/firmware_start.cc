// The last step of a restart: start the firmware's start-up script, without waiting for it.
#include "firmware/firmware_control.h"

int CFirmwareControl::FileExists(const platform::WString& path) {
  return platform::FindFirst(path) ? 1 : 0;
}

void CFirmwareControl::StartFirmware() {
  const std::optional<platform::WString> root = platform::ReadEnvironment(places::kRootVariable);
  // Without a root the script would be looked for under the current drive's root folder, where
  // anyone may plant one; no valid path holds a double quote, and the interpreter would expand a
  // percent sign into whatever another variable holds.
  if (!root || root->empty() || root->find_first_of(u"\"%") != platform::WString::npos)
    return;

  platform::WString path = *root + places::kStartScripts[2];
  for (const char16_t* suffix : {places::kStartScripts[0], places::kStartScripts[1]}) {
    if (FileExists(*root + suffix)) {
      path = *root + suffix;
      break;
    }
  }

  // The interpreter strips the outer pair of quotes only, so the path stays quoted whatever
  // characters the root holds.
  platform::WString commandLine = u"/C \"\"" + path + u"\"\"";
  const platform::WString application = places::kInterpreter;
  // It runs with the tool's rights: one that others may change is theirs, as good as absent.
  if (!platform::IsProtected(application))
    return;
  platform::StartedProcess started;
  platform::StartProcess(&application, commandLine, 0,
                         platform::kCreateNoWindow | platform::kNormalPriorityClass, started);
}
