// The tool's modal dialog as the simulated machine runs it: its queue and timers.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/scheduler.h"

namespace sim {

struct DialogMessage {
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

struct Timer {
  std::uintptr_t id;
  std::uint32_t periodMs;
  std::uint64_t nextAt;
};

struct Dialog {
  std::uintptr_t hwnd = 0;
  std::uintptr_t control = 0;
  SimThread* owner = nullptr;
  std::vector<Timer> timers;
  std::deque<DialogMessage> queue;
  bool ending = false;
  bool closed = false;
  std::intptr_t result = 0;
};

}  // namespace sim
