#include "firmware/window_closer.h"

platform::Bool CloseFirmwareWindowProc(platform::WindowRef window, std::intptr_t) {
  char16_t title[instrument::kTitleUnits] = {};
  platform::ReadWindowText(window, title, instrument::kTitleUnits);
  if (instrument::IsFirmwareWindowTitle(title)) {
    // Posted, never sent: a hung firmware window cannot hold us up.
    platform::PostWindowMessage(window, platform::kWmClose, 0, 0);
  }
  return 1;
}
