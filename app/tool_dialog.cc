#include "app/tool_dialog.h"

namespace {

// The status text is written on the first tick and rewritten on every one after.
constexpr std::uint32_t kTextTickMs = 100;
constexpr std::uintptr_t kTextTimer = 0;

}  // namespace

CToolDialog::CToolDialog(framework::CDialog* parent)
    : CDialog(IDD_TOOL_DIALOG, parent), m_text(platform::WidenAnsi("Removing firmware...")) {}

framework::Bool CToolDialog::OnInitDialog() {
  platform::StartTimer(window(), kTextTimer, kTextTickMs);
  platform::Rect rect;
  platform::ReadWindowRect(window(), rect);
  // Top-left corner, its own size, top-most, shown.
  platform::PlaceWindow(window(), platform::kHwndTopmost, 0, 0, rect.right - rect.left,
                        rect.bottom - rect.top, platform::kSwpShowWindow);
  return 1;
}

void CToolDialog::OnTimer(std::uintptr_t) {
  Default();
  m_textLock.Enter();
  const platform::WString text = m_text;
  m_textLock.Leave();
  if (text.empty())
    return;
  if (const platform::WindowRef control = platform::DialogItem(window(), IDC_STATUS_TEXT)) {
    platform::WriteWindowText(control, text);
  }
}

unsigned StatusThreadProc(void*) {
  g_toolDialog->DoModal();
  return 0;
}
