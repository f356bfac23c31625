// The small "Removing firmware..." window, run modally on a thread of its own.
#pragma once

#include "platform/framework.h"
#include "platform/platform.h"
#include "platform/process_global.h"

inline constexpr int IDD_TOOL_DIALOG = 132;
inline constexpr int IDC_STATUS_TEXT = 1001;
inline constexpr int IDI_TOOL_ICON = 134;

class CToolDialog : public framework::CDialog {
 public:
  static const framework::CRuntimeClass classCToolDialog;
  const framework::CRuntimeClass* GetRuntimeClass() const override { return &classCToolDialog; }

  explicit CToolDialog(framework::CDialog* parent = nullptr);
  ~CToolDialog() override = default;

  framework::Bool OnInitDialog() override;
  void OnTimer(std::uintptr_t id) override;

  platform::CriticalSection m_textLock;
  platform::WString m_text;
};

extern platform::ProcessGlobal<CToolDialog> g_toolDialog;

// The status thread: runs g_toolDialog modally; the argument is not used.
unsigned StatusThreadProc(void* arg);
