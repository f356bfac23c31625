// A window of the simulated machine: a program's, the tool's own, or a dialog's control.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace sim {

struct Window {
  std::uintptr_t hwnd = 0;
  std::u16string title;
  std::uint32_t ownerPid = 0;  // 0: the tool's own
  std::uintptr_t parent = 0;   // a child control's dialog
  int controlId = 0;
  bool alive = true;
  bool titleReadable = true;
  bool acceptsPosts = true;
  platform::Rect rect;
  bool visible = false;
  bool topmost = false;
};

}  // namespace sim
