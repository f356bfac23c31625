// The capture program's entry point: a console program.
#include "capture/machine_capture.h"
#include "platform/platform.h"

int wmain(int, wchar_t**) {
  // Only an allocation failure can throw; the program tells one of its own.
  try {
    return capture::CaptureMain(platform::CommandLineArguments());
  } catch (...) {
    return 3;
  }
}
