// The application object: its start-up hook runs the whole of a run.
#pragma once

#include "app/command_line.h"
#include "platform/framework.h"
#include "platform/process_global.h"

class CFirmwareControl;

// Shown when no operation is asked for; people compare it with the manual, keep it as it is.
inline constexpr char16_t kUsageText[] =
    u"Fenwrack.exe \t[/restart] [/shutdown] [/terminate]\n"
    u"                    \t\t[/checkUSB] [/deinstall] [/rundeinst]\n"
    u"\n"
    u"/restart\t\tRestarts the firmware            \n"
    u"/shutdown\tShutdown the analyzer           \n"
    u"/terminate\tTerminate the firmware         \n"
    u"/checkUSB\tChecks if the USB Write Protection is installed \n"
    u"/deinstall\t\tRemove all installed firmware applications\n"
    u"/rundeinst\tRun all deinstalltion files\n";
inline constexpr char16_t kUsageCaption[] = u"Fenwrack Usage";

class CFenwrackApp : public framework::CWinApp {
 public:
  CFenwrackApp() = default;
  ~CFenwrackApp() override = default;

  framework::Bool InitInstance() override;

  FenwrackCommandLine m_cmdInfo;

 private:
  void Dispatch(CFirmwareControl& control);
};

extern platform::ProcessGlobal<CFenwrackApp> theApp;
