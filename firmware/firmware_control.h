// The operation controller: every maintenance operation of a run is one of its members.
#pragma once

#include <cstddef>
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
  CFirmwareControl() = default;
  // For fenwrack-sim/verdict.cc and tests/support/sim_support.cc, which still pass the owner the
  // controller no longer keeps; remove once they construct it without one.
  explicit CFirmwareControl(std::nullptr_t) {}
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

  platform::CriticalSection m_lock;
};

// The stop worker's thread routine; its argument is the controller.
unsigned StopWorkerProc(void* controller);
