// The machine as Fenwrack.exe would meet it, read without changing anything, in the machine-file
// format. It sends nothing to another program's windows: a hung firmware cannot hold it up.
#pragma once

#include <string>
#include <vector>

#include "capture/json_text.h"

namespace capture {

// How the firmware answers a close request: the one thing about a stop that cannot be seen.
enum class FirmwareReaction { kCloses, kHangs };

struct Capture {
  Json machine;
  std::vector<std::string> assumptions;  // what was not seen, one line each
  std::vector<std::string> unknown;      // reads that failed, one line each
};

Capture CaptureMachine(FirmwareReaction reaction);

// The program: fenwrack-capture [--firmware closes|hangs] [FILE]; returns its exit status.
int CaptureMain(const std::vector<std::u16string>& args);

}  // namespace capture
