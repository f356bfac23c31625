#include "firmware/window_closer.h"

#include <string_view>

platform::Bool CloseFirmwareWindowProc(platform::WindowRef window, std::intptr_t) {
  // 256 units: a longer title arrives cut and can never equal a firmware title.
  char16_t title[256] = {};
  platform::ReadWindowText(window, title, 256);
  for (const char16_t* firmwareTitle : FirmwareWindowTitles) {
    if (std::u16string_view(title) == firmwareTitle) {
      // Posted, never sent: a hung firmware window cannot hold us up.
      platform::PostWindowMessage(window, platform::kWmClose, 0, 0);
      break;
    }
  }
  return 1;
}
