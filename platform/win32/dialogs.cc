// Modal dialogs from the module's own templates, and the window calls their procedures make.
#include "platform/win32/win32.h"

namespace platform {

using win32::Hwnd;

namespace {

INT_PTR CALLBACK DialogThunk(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG)
    SetWindowLongPtrW(window, DWLP_USER, lParam);
  auto* procedure = reinterpret_cast<DialogProcedure*>(GetWindowLongPtrW(window, DWLP_USER));
  // Messages before WM_INITDIALOG (WM_SETFONT) have no procedure yet: the dialog manager handles
  // them.
  if (procedure == nullptr)
    return FALSE;
  return procedure->HandleDialogMessage(win32::Ref(window), message, wParam, lParam) ? TRUE : FALSE;
}

}  // namespace

std::intptr_t RunModalDialog(int templateId, WindowRef parent, DialogProcedure& procedure) {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), Hwnd(parent),
                         &DialogThunk, reinterpret_cast<LPARAM>(&procedure));
}

Bool EndModalDialog(WindowRef dialog, std::intptr_t result) {
  return EndDialog(Hwnd(dialog), result);
}

std::uintptr_t StartTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) {
  return SetTimer(Hwnd(window), id, ms, nullptr);
}

Bool ReadWindowRect(WindowRef window, Rect& rect) {
  RECT r{};
  const BOOL read = GetWindowRect(Hwnd(window), &r);
  rect = Rect{r.left, r.top, r.right, r.bottom};
  return read;
}

Bool PlaceWindow(WindowRef window, WindowRef insertAfter, int x, int y, int cx, int cy,
                 std::uint32_t flags) {
  return SetWindowPos(Hwnd(window), Hwnd(insertAfter), x, y, cx, cy, flags);
}

WindowRef DialogItem(WindowRef dialog, int id) {
  return win32::Ref(GetDlgItem(Hwnd(dialog), id));
}

Bool WriteWindowText(WindowRef window, const WString& text) {
  return SetWindowTextW(Hwnd(window), win32::Wide(text));
}

std::intptr_t DefaultWindowProcedure(WindowRef window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) {
  return DefWindowProcW(Hwnd(window), message, wParam, lParam);
}

}  // namespace platform
