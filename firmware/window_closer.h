// Asks the firmware's user-interface programs to end: a posted close request to each top-level
// window whose whole title is one of the firmware's.
#pragma once

#include <cstdint>

#include "platform/platform.h"

inline constexpr const char16_t* FirmwareWindowTitles[] = {
    u"Kestrix Analyzer Interface",
    u"Pelmo",
    u"Talvora",
};

// For EnumWindows: always TRUE, so every window is visited. The context is ignored.
platform::Bool CloseFirmwareWindowProc(platform::WindowRef window, std::intptr_t context);
