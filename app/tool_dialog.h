// The small "Removing firmware..." window, run modally on a thread of its own.
#pragma once

#include "app/resource.h"
#include "platform/framework.h"
#include "platform/platform.h"
#include "platform/process_global.h"

class CToolDialog : public framework::CDialog {
 public:
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
