#include "app/fenwrack_app.h"

#include "app/tool_dialog.h"
#include "app/worker_waits.h"
#include "firmware/firmware_control.h"

// Built in this order at process start, the status window after the application object.
platform::ProcessGlobal<CFenwrackApp> theApp;
platform::ProcessGlobal<CToolDialog> g_toolDialog;

framework::Bool CFenwrackApp::InitInstance() {
  CFirmwareControl control(nullptr);
  CWinApp::InitInstance();
  platform::BeginThread(&StatusThreadProc, this, {"StatusThreadProc", "status"});
  ParseCommandLine(m_cmdInfo);
  Dispatch(control);
  return 0;
}

void CFenwrackApp::Dispatch(CFirmwareControl& control) {
  const FenwrackCommandLine& cmd = m_cmdInfo;
  if (cmd.m_bShowUsage) {
    platform::ShowMessageBox({}, kUsageText, kUsageCaption, platform::kMbIconInformation);
  } else if (cmd.m_bTerminate) {
    control.StartStopWorker(0);
    WaitForWorker(control);
  } else if (cmd.m_bShutdown) {
    control.ShutdownAnalyzer();
  } else if (cmd.m_bRestart) {
    control.StartStopWorker(0);
    WaitForWorkerBounded(control);
    control.KillHungFirmware();
    WaitForWorker(control);
    platform::Pause(5000);
    control.StartFirmware();
  } else if (cmd.m_bCheckUSB) {
    if (!control.IsUsbWriteProtected()) {
      control.InstallUsbProtection();
      control.RebootSystem();
    }
  } else if (cmd.m_bDeinstall) {
    control.StartStopWorker(1);
    WaitForWorkerBounded(control);
    control.RemoveInstalledProducts();
    // The worker may still use the controller's lock: it must outlive the worker's last step.
    WaitForWorker(control);
  }
}
