// The operation controller: every maintenance operation of a run is one of its members.
#pragma once

#include <cstdint>

#include "instrument/instrument.h"
#include "platform/platform.h"
#include "platform/process_global.h"

// The places on the instrument that the operations read or act on.
namespace places = instrument::places;

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

  void* m_owner;  // kept, never read: the start-up routine passes null
  platform::CriticalSection m_lock;
};

// The stop worker's thread routine; its argument is the controller.
unsigned StopWorkerProc(void* controller);
