// The tool's modal dialog, built from its template, and the dialog's controls and timers.
#include <algorithm>
#include <memory>

#include "platform/platform.h"
#include "sim/call.h"
#include "sim/resources.h"

namespace platform {

namespace {
using namespace sim;

constexpr std::uint32_t kWsExTopmost = 0x8;

// The dialog's frame and its controls, as the template gives them.
Dialog& CreateDialog(Call& call, const DialogTemplate& t) {
  Window frame;
  frame.rect = {t.x, t.y, t.x + DialogPixelWidth(t), t.y + DialogPixelHeight(t)};
  frame.topmost = (t.exStyle & kWsExTopmost) != 0;
  auto dialog = std::make_unique<Dialog>();
  dialog->hwnd = call->AddWindow(frame);
  dialog->owner = call.me;
  for (const ControlTemplate& c : t.controls) {
    // The fault takes away what the program could address by id.
    if (c.id != kNoControlId && Faults(call).statusControlMissing)
      continue;
    Window control;
    control.parent = dialog->hwnd;
    control.controlId = c.id;
    control.title =
        c.className == "static" && c.text.rfind('#', 0) == 0 ? u"" : Utf8ToUtf16(c.text);
    control.rect = {PixelsX(c.x), PixelsY(c.y), PixelsX(c.x + c.cx), PixelsY(c.y + c.cy)};
    control.visible = true;
    call->AddWindow(std::move(control));
  }
  call->dialogs.push_back(std::move(dialog));
  return *call->dialogs.back();
}

// Hands the procedure one message without the run's lock; whether it handled it.
bool Deliver(Call& call, DialogProcedure& procedure, std::uintptr_t hwnd, const DialogMessage& m) {
  call.lock.unlock();
  const bool handled =
      procedure.HandleDialogMessage(WindowRef{hwnd}, m.message, m.wParam, m.lParam);
  call.lock.lock();
  return handled;
}

// The modal loop: posted messages first, then the timer due first, until the dialog ends.
void PumpMessages(Call& call, DialogProcedure& procedure, Dialog& d) {
  while (!d.ending && !call->ended) {
    if (!d.queue.empty()) {
      const DialogMessage m = d.queue.front();
      d.queue.pop_front();
      // The dialog manager's default: a close is a Cancel.
      if (!Deliver(call, procedure, d.hwnd, m) && m.message == kWmClose)
        d.queue.push_back({kWmCommand, static_cast<std::uintptr_t>(kIdCancel), 0});
      continue;
    }
    Timer* due = nullptr;
    for (Timer& t : d.timers) {
      if (due == nullptr || t.nextAt < due->nextAt)
        due = &t;
    }
    if (due != nullptr && due->nextAt <= call->now) {
      const std::uintptr_t id = due->id;
      due->nextAt += due->periodMs;
      if (due->nextAt <= call->now)
        due->nextAt = call->now + due->periodMs;
      Deliver(call, procedure, d.hwnd, {kWmTimer, id, 0});
      continue;
    }
    call->Suspend(call.lock, *call.me,
                  due != nullptr ? std::optional<std::uint64_t>(due->nextAt) : std::nullopt);
  }
}

// What a window's controls show, in their order, one line each.
std::string ShownText(Call& call, std::uintptr_t hwnd) {
  std::string text;
  for (const Window& c : call->windows) {
    if (c.alive && c.parent == hwnd && !c.title.empty())
      text += (text.empty() ? "" : "\n") + U8(c.title);
  }
  return text;
}

}  // namespace

std::intptr_t RunModalDialog(int templateId, WindowRef parent, DialogProcedure& procedure) {
  Call call;
  if (!call)
    return -1;
  const DialogTemplate* dialogTemplate = FindDialogTemplate(templateId);
  if (dialogTemplate == nullptr || Faults(call).statusWindowFails) {
    call->EmitHere(events::DialogCreate{.templateId = templateId, .ok = false});
    return -1;
  }
  Dialog& d = CreateDialog(call, *dialogTemplate);
  const std::uintptr_t hwnd = d.hwnd;
  call->EmitHere(events::DialogCreate{
      .templateId = templateId, .hwnd = hwnd, .parent = parent.value, .ok = true});
  Deliver(call, procedure, hwnd, {kWmInitDialog, 0, 0});
  PumpMessages(call, procedure, d);
  d.closed = true;
  d.timers.clear();
  for (Window& w : call->windows) {
    if (w.hwnd == hwnd || w.parent == hwnd)
      w.alive = false;
  }
  call->EmitHere(events::DialogEnd{.hwnd = hwnd, .result = d.result});
  return d.result;
}

Bool EndModalDialog(WindowRef dialog, std::intptr_t result) {
  Call call;
  if (!call)
    return 0;
  Dialog* d = call->FindDialog(dialog.value);
  if (d == nullptr)
    return 0;
  d->ending = true;
  d->result = result;
  call->Wake(*d->owner);
  return 1;
}

std::uintptr_t StartTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) {
  constexpr std::uint32_t kMinimumMs = 10;
  Call call;
  if (!call)
    return 0;
  Dialog* d = call->FindDialog(window.value);
  if (d == nullptr || Faults(call).timerFails)
    return 0;
  const std::uint32_t period = std::max(ms, kMinimumMs);
  const auto same =
      std::find_if(d->timers.begin(), d->timers.end(), [&](const Timer& t) { return t.id == id; });
  if (same != d->timers.end())
    d->timers.erase(same);
  d->timers.push_back({id, period, call->now + period});
  return id != 0 ? id : 1;
}

Bool ReadWindowRect(WindowRef window, Rect& rect) {
  Call call;
  const Window* w = LiveWindow(call, window);
  if (w == nullptr)
    return 0;
  rect = w->rect;
  return 1;
}

Bool PlaceWindow(WindowRef window, WindowRef insertAfter, int x, int y, int cx, int cy,
                 std::uint32_t flags) {
  constexpr std::uint32_t kNoSize = 0x1, kNoMove = 0x2, kNoZOrder = 0x4, kHide = 0x80;
  constexpr std::uintptr_t kNoTopmost = ~std::uintptr_t{0} - 1;
  Call call;
  Window* w = LiveWindow(call, window);
  if (w == nullptr)
    return 0;
  if (!(flags & kNoMove)) {
    w->rect.right += x - w->rect.left;
    w->rect.bottom += y - w->rect.top;
    w->rect.left = x;
    w->rect.top = y;
  }
  if (!(flags & kNoSize)) {
    w->rect.right = w->rect.left + cx;
    w->rect.bottom = w->rect.top + cy;
  }
  if (!(flags & kNoZOrder)) {
    if (insertAfter == kHwndTopmost)
      w->topmost = true;
    else if (insertAfter.value == kNoTopmost)
      w->topmost = false;
  }
  if (flags & kSwpShowWindow)
    w->visible = true;
  if (flags & kHide)
    w->visible = false;
  if ((flags & kSwpShowWindow) && w->ownerPid == 0 && w->parent == 0) {
    call->EmitHere(events::StatusWindow{.hwnd = w->hwnd,
                                        .x = w->rect.left,
                                        .y = w->rect.top,
                                        .width = w->rect.right - w->rect.left,
                                        .height = w->rect.bottom - w->rect.top,
                                        .topmost = w->topmost,
                                        .text = ShownText(call, w->hwnd)});
  }
  return 1;
}

WindowRef DialogItem(WindowRef dialog, int id) {
  Call call;
  if (!call)
    return {};
  for (const Window& w : call->windows) {
    if (w.alive && w.parent == dialog.value && dialog.value != 0 && w.controlId == id)
      return WindowRef{w.hwnd};
  }
  return {};
}

Bool WriteWindowText(WindowRef window, const WString& text) {
  Call call;
  Window* w = LiveWindow(call, window);
  if (w == nullptr)
    return 0;
  if (w->title != text) {
    w->title = text;
    if (w->ownerPid == 0)
      call->EmitHere(events::StatusText{.hwnd = w->hwnd, .text = U8(text)});
  }
  return 1;
}

std::intptr_t DefaultWindowProcedure(WindowRef, std::uint32_t, std::uintptr_t, std::intptr_t) {
  return 0;
}

}  // namespace platform

// ---- The tool's dialogs.

namespace sim {

Dialog* MachineState::FindDialog(std::uintptr_t hwnd) {
  for (auto& d : dialogs) {
    if (d->hwnd == hwnd && !d->closed)
      return d.get();
  }
  return nullptr;
}

}  // namespace sim
