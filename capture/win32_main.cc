// The capture program's entry point: a console program.
#include "capture/machine_capture.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"

int wmain(int, wchar_t**) {
  // Libraries only from the system folder: a DLL beside the exe would run with our rights.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Only an allocation failure can throw; the program tells one of its own.
  try {
    return capture::CaptureMain(platform::CommandLineArguments());
  } catch (...) {
    return 3;
  }
}
