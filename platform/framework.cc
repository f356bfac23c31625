#include "platform/framework.h"

#include <cstddef>
#include <exception>

namespace framework {

namespace {
CWinApp* g_currentApp = nullptr;
}

void CCommandLineInfo::ParseParam(const char16_t*, Bool, Bool) {}

CWinApp::CWinApp() {
  g_currentApp = this;
}

CWinApp::~CWinApp() {
  if (g_currentApp == this)
    g_currentApp = nullptr;
}

Bool CWinApp::InitInstance() {
  return 1;
}

int CWinApp::ExitInstance() {
  return 0;
}

void ParseCommandLine(const std::vector<platform::WString>& args, CCommandLineInfo& info) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const platform::WString& arg = args[i];
    const bool flag = !arg.empty() && (arg[0] == u'/' || arg[0] == u'-');
    const char16_t* param = arg.c_str() + (flag ? 1 : 0);
    info.ParseParam(param, flag ? 1 : 0, i + 1 == args.size() ? 1 : 0);
  }
}

void CWinApp::ParseCommandLine(CCommandLineInfo& info) {
  framework::ParseCommandLine(platform::CommandLineArguments(), info);
}

int CWinApp::Run() {
  // No main window and no message loop: whatever InitInstance returns, the run ends here.
  InitInstance();
  return ExitInstance();
}

CWinApp* CWinApp::Current() {
  return g_currentApp;
}

int RunApplication() {
  CWinApp* app = CWinApp::Current();
  if (app == nullptr)
    return 0;
  try {
    return app->Run();
  } catch (const std::exception&) {
    // Only running out of memory gets here; that is no success.
    return kExitUnexpectedError;
  }
}

CDialog::CDialog(int templateId, CDialog* parent) : templateId_(templateId), parent_(parent) {}

std::intptr_t CDialog::DoModal() {
  const platform::WindowRef parent = parent_ != nullptr ? parent_->window_ : platform::WindowRef{};
  const std::intptr_t result = platform::RunModalDialog(templateId_, parent, *this);
  window_ = {};
  return result;
}

Bool CDialog::OnInitDialog() {
  return 1;
}

void CDialog::OnTimer(std::uintptr_t) {
  Default();
}

void CDialog::OnOK() {
  EndDialog(platform::kIdOk);
}

void CDialog::OnCancel() {
  EndDialog(platform::kIdCancel);
}

void CDialog::EndDialog(std::intptr_t result) {
  platform::EndModalDialog(window_, result);
}

void CDialog::Default() {
  platform::DefaultWindowProcedure(window_, current_.message, current_.wParam, current_.lParam);
}

bool CDialog::HandleDialogMessage(platform::WindowRef dialog, std::uint32_t message,
                                  std::uintptr_t wParam, std::intptr_t lParam) {
  window_ = dialog;
  const CurrentMessage outer = current_;
  current_ = {message, wParam, lParam};
  bool handled = true;
  switch (message) {
    case platform::kWmInitDialog:
      // The dialog manager sets the focus when this is non-zero.
      handled = OnInitDialog() != 0;
      break;
    case platform::kWmTimer:
      OnTimer(wParam);
      break;
    case platform::kWmCommand:
      if ((wParam & 0xFFFF) == platform::kIdOk) {
        OnOK();
      } else if ((wParam & 0xFFFF) == platform::kIdCancel) {
        OnCancel();
      } else {
        handled = false;
      }
      break;
    default:
      handled = false;
  }
  current_ = outer;
  return handled;
}

}  // namespace framework
