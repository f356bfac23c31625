// The small application framework the tool is written against: an application object whose
// start-up hook does all the work, a command-line record filled one argument at a time, and a
// modal dialog with default OK and Cancel.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace framework {

using platform::Bool;

class CCommandLineInfo {
 public:
  CCommandLineInfo() = default;
  virtual ~CCommandLineInfo() = default;
  // One argument, its single switch mark removed; bFlag tells whether it had one.
  virtual void ParseParam(const char16_t* pszParam, Bool bFlag, Bool bLast);
};

// Walks arguments 1 to n-1 in order: a leading "/" or "-" is removed and sets bFlag; every
// argument reaches ParseParam, an empty one included; bLast marks the last one.
void ParseCommandLine(const std::vector<platform::WString>& args, CCommandLineInfo& info);

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual Bool InitInstance();
  virtual int ExitInstance();

  // The walk below over the process's own command line.
  void ParseCommandLine(CCommandLineInfo& info);

  // The framework's entry: InitInstance, then (no message loop) ExitInstance; the exit code.
  int Run();

  static CWinApp* Current();
};

// Runs the one application object and gives the exit code; the platform's entry point calls it.
// An exception that leaves the application (the string class out of memory) ends it with
// kExitUnexpectedError.
int RunApplication();
inline constexpr int kExitUnexpectedError = 3;

class CDialog : private platform::DialogProcedure {
 public:
  CDialog(int templateId, CDialog* parent);
  virtual ~CDialog() = default;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Runs the dialog modally on the calling thread; -1 when its window cannot be created.
  std::intptr_t DoModal();

  virtual Bool OnInitDialog();
  virtual void OnTimer(std::uintptr_t id);
  virtual void OnOK();
  virtual void OnCancel();

 protected:
  platform::WindowRef window() const { return window_; }
  void EndDialog(std::intptr_t result);
  // The default handling of the message being handled.
  void Default();

 private:
  bool HandleDialogMessage(platform::WindowRef dialog, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override;

  struct CurrentMessage {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
  };

  int templateId_;
  CDialog* parent_;
  platform::WindowRef window_;
  CurrentMessage current_;
};

}  // namespace framework
