// Asks the firmware's user-interface programs to end: a posted close request to each top-level
// window whose whole title is one of the firmware's (instrument::FirmwareWindowTitles).
#pragma once

#include <cstdint>

#include "instrument/instrument.h"
#include "platform/platform.h"

// For EnumWindows: always TRUE, so every window is visited. The context is ignored.
platform::Bool CloseFirmwareWindowProc(platform::WindowRef window, std::intptr_t context);
