// Top-level windows, their titles and messages, and the message box.
#include <algorithm>
#include <vector>

#include "platform/platform.h"
#include "sim/call.h"

namespace platform {

namespace {
using namespace sim;

}  // namespace

Bool EnumTopLevelWindows(WindowEnumProc proc, std::intptr_t context) {
  std::vector<std::uintptr_t> list;
  {
    Call call;
    if (!call)
      return 0;
    // The tool's own windows are top-most and come first.
    for (const Window& w : call->windows) {
      if (w.alive && w.parent == 0 && w.ownerPid == 0)
        list.push_back(w.hwnd);
    }
    for (const Window& w : call->windows) {
      if (w.alive && w.parent == 0 && w.ownerPid != 0)
        list.push_back(w.hwnd);
    }
  }
  for (const std::uintptr_t hwnd : list) {
    if (proc(WindowRef{hwnd}, context) == 0)
      break;
  }
  return 1;
}

int ReadWindowText(WindowRef window, char16_t* buffer, int maxCount) {
  Call call;
  if (buffer == nullptr || maxCount <= 0)
    return 0;
  buffer[0] = 0;
  const Window* w = LiveWindow(call, window);
  if (w == nullptr || !w->titleReadable)
    return 0;
  const std::size_t n = std::min(w->title.size(), static_cast<std::size_t>(maxCount - 1));
  std::copy_n(w->title.begin(), n, buffer);
  buffer[n] = 0;
  return static_cast<int>(n);
}

int ReadWindowTitle(WindowRef window, char16_t* buffer, int maxCount, bool& readable) {
  const int length = ReadWindowText(window, buffer, maxCount);
  Call call;
  const Window* w = LiveWindow(call, window);
  readable = w != nullptr && w->titleReadable;
  return length;
}

std::uint32_t WindowProcessId(WindowRef window) {
  Call call;
  const Window* w = LiveWindow(call, window);
  return w != nullptr ? w->ownerPid : 0;
}

Bool PostWindowMessage(WindowRef window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  Call call;
  if (!call)
    return 0;
  Window* w = call->FindWindow(window.value);
  const Process* owner =
      w != nullptr && w->ownerPid != 0 ? call->FindProcess(w->ownerPid) : nullptr;
  const bool isolated = owner != nullptr && OutOfReach(call->machine.system, owner->desc);
  const bool ok = w != nullptr && w->acceptsPosts && !isolated;
  call->EmitHere(events::MessagePosted{
      .hwnd = window.value,
      .title = w != nullptr ? std::optional<std::string>(U8(w->title)) : std::nullopt,
      .pid = w != nullptr ? std::optional<std::uint32_t>(w->ownerPid) : std::nullopt,
      .message = {message},
      .ok = ok});
  if (!ok)
    return 0;
  if (w->ownerPid != 0) {
    if (message == kWmClose) {
      if (Process* p = call->FindProcess(w->ownerPid))
        call->RequestClose(*p);
    }
  } else if (Dialog* d = call->FindDialog(w->hwnd)) {
    d->queue.push_back({message, wParam, lParam});
    call->Wake(*d->owner);
  }
  return 1;
}

int ShowMessageBox(WindowRef, const WString& text, const WString& caption, std::uint32_t type) {
  constexpr int kIdOkResult = 1;
  Call call;
  if (!call)
    return 0;
  call->EmitHere(events::MessageBoxShown{.caption = U8(caption), .text = U8(text), .style = type});
  const auto& after = call->machine.user.closesUsageBoxAfterMs;
  const std::uint64_t closeAt = call->now + after.value_or(0);
  while (!call->ended && (!after || call->now < closeAt)) {
    call->Suspend(call.lock, *call.me,
                  after ? std::optional<std::uint64_t>(closeAt) : std::nullopt);
  }
  call->EmitHere(events::MessageBoxClosed{.result = kIdOkResult});
  return kIdOkResult;
}

}  // namespace platform

// ---- The machine's windows.

namespace sim {

Window* MachineState::FindWindow(std::uintptr_t hwnd) {
  if (hwnd == 0 || hwnd > windows.size() || !windows[hwnd - 1].alive)
    return nullptr;
  return &windows[hwnd - 1];
}

std::uintptr_t MachineState::AddWindow(Window window) {
  window.hwnd = windows.size() + 1;
  windows.push_back(std::move(window));
  return windows.back().hwnd;
}

}  // namespace sim
