#include "app/fenwrack_app.h"

#include <cstdint>

#include "app/tool_dialog.h"
#include "app/worker_waits.h"
#include "firmware/firmware_control.h"

namespace {

// A restart waits this long between the end of the stop and the start of the firmware.
constexpr std::uint32_t kRestartPauseMs = 5000;

}  // namespace

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
  using Operation = FenwrackCommandLine::Operation;
  switch (m_cmdInfo.Chosen()) {
    case Operation::kUsage:
      platform::ShowMessageBox({}, kUsageText, kUsageCaption, platform::kMbIconInformation);
      break;
    case Operation::kTerminate:
      control.StartStopWorker(0);
      WaitForWorker(control);
      break;
    case Operation::kShutdown:
      control.ShutdownAnalyzer();
      break;
    case Operation::kRestart:
      control.StartStopWorker(0);
      WaitForWorkerBounded(control);
      control.KillHungFirmware();
      WaitForWorker(control);
      platform::Pause(kRestartPauseMs);
      control.StartFirmware();
      break;
    case Operation::kCheckUsb:
      if (!control.IsUsbWriteProtected()) {
        control.InstallUsbProtection();
        control.RebootSystem();
      }
      break;
    case Operation::kDeinstall:
      control.StartStopWorker(1);
      WaitForWorkerBounded(control);
      control.RemoveInstalledProducts();
      // The worker may still use the controller's lock: it must outlive the worker's last step.
      WaitForWorker(control);
      break;
  }
}
