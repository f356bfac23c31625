// Power-off and forced reboot of the analyzer.
#include "firmware/firmware_control.h"
#include "firmware/window_closer.h"

void CFirmwareControl::EnableShutdownPrivilege() {
  platform::KernelHandle token;
  platform::OpenCurrentProcessToken(platform::kTokenAdjustPrivileges | platform::kTokenQuery,
                                    token);
  platform::SinglePrivilege privilege;
  platform::LookupPrivilege(nullptr, u"SeShutdownPrivilege", privilege.luid);
  privilege.count = 1;
  privilege.attributes = platform::kSePrivilegeEnabled;
  // A failure here still leaves the request to the system, which then refuses it.
  if (token)
    platform::AdjustPrivileges(token, 0, privilege);
}

namespace {

// After the close requests, before the power-off: the firmware's time to end.
constexpr std::uint32_t kCloseBeforePowerOffMs = 5000;

// An accepted request ends the process with the system: block this thread for good.
void RequestShutdown(std::uint32_t flags) {
  if (platform::RequestExitWindows(flags, 0) != 0)
    platform::WaitOnCurrentThread();
}

}  // namespace

void CFirmwareControl::ShutdownAnalyzer() {
  platform::EnumTopLevelWindows(&CloseFirmwareWindowProc, 0);
  platform::Pause(kCloseBeforePowerOffMs);
  EnableShutdownPrivilege();
  RequestShutdown(platform::kEwxPowerOff);
}

void CFirmwareControl::RebootSystem() {
  EnableShutdownPrivilege();
  RequestShutdown(platform::kEwxReboot | platform::kEwxForce);
}
