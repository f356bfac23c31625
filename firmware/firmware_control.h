// The operation controller: every maintenance operation of a run is one of its members.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/process_global.h"

// Places on the instrument that the operations read or act on.
namespace places {
inline constexpr char16_t kRootVariable[] = u"Kestrix_SYSTEM_ROOT";
inline constexpr char16_t kInterpreter[] = u"C:\\WINNT\\system32\\cmd.exe";
// Under the root: the first two are tested in order, the last is taken untested.
inline constexpr const char16_t* kStartScripts[] = {
    u"\\bin\\StartUpFW.bat", u"\\binRelease\\StartUpFW.bat", u"\\binDebug\\StartUpFW.bat"};
inline constexpr char16_t kKillLogFolder[] = u"C:\\Kestrix\\Instr\\log";
inline constexpr char16_t kKillLogPath[] = u"C:\\Kestrix\\Instr\\log\\FWKill.log";
// The first is used when it can be opened for reading and others may not change it, else the
// second.
inline constexpr const char* kMsiexecPaths[] = {"C:\\WINNT\\SYSTEM32\\msiexec.exe",
                                                "C:\\WINDOWS\\SYSTEM32\\msiexec.exe"};
inline constexpr char16_t kPolicyKey[] =
    u"System\\CurrentControlSet\\Control\\StorageDevicePolicies";
inline constexpr char16_t kPolicyValue[] = u"WriteProtect";
inline constexpr char16_t kEditorName[] = u"\\regedit.exe";  // in the Windows folder
inline constexpr char16_t kSettingsFile[] =
    u"C:\\Program Files\\Kestrix\\USBProtect\\SetUSBProtection.reg";
}  // namespace places

// Set while a stop worker has been requested and has not yet finished; guarded by m_lock.
extern platform::ProcessGlobal<std::int32_t> g_workerRunning;
// The argument of the latest StartStopWorker; only 1 makes the worker terminate.
extern platform::ProcessGlobal<std::int32_t> g_killOnTimeout;

class CFirmwareControl {
 public:
  explicit CFirmwareControl(void* owner);
  ~CFirmwareControl() = default;  // m_lock is deleted; a worker is neither stopped nor awaited
  CFirmwareControl(const CFirmwareControl&) = delete;
  CFirmwareControl& operator=(const CFirmwareControl&) = delete;

  // Firmware process control.
  void StartStopWorker(std::int32_t kill);
  void KillHungFirmware();
  void StartFirmware();
  int FileExists(const platform::WString& path);

  // Product removal.
  void RemoveInstalledProducts();
  void RemoveProduct(const platform::WString& code);
  platform::WString GetMsiexecPath();

  // System control.
  void ShutdownAnalyzer();
  void RebootSystem();
  void EnableShutdownPrivilege();
  int IsUsbWriteProtected();
  void InstallUsbProtection();

  // Reads g_workerRunning under m_lock; the value is tested after the lock is left.
  bool IsWorkerRunning();

  void* m_owner;
  platform::CriticalSection m_lock;
};

// The stop worker's thread routine; its argument is the controller.
unsigned StopWorkerProc(void* controller);
