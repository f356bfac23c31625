// The capture program's entry point: a console program.
#include "capture/machine_capture.h"
#include "platform/platform.h"

int wmain(int, wchar_t**) {
  // Only an allocation failure can throw.
  try {
    return capture::CaptureMain(platform::CommandLineArguments());
  } catch (...) {
    platform::WriteStandardStream(2, "fenwrack-capture: out of memory\n");
    return 3;
  }
}
