// The stop worker: closes the firmware's windows and watches its processes, pass by pass.
#include "firmware/firmware_control.h"
#include "firmware/window_closer.h"
#include "instrument/instrument.h"

namespace {

constexpr int kMaxPasses = 30;
// The firmware gets this long to act on a close request before the first look.
constexpr std::uint32_t kFirstLookMs = 4000;
constexpr std::uint32_t kPassMs = 1000;

}  // namespace

void CFirmwareControl::StartStopWorker(std::int32_t kill) {
  m_lock.Enter();
  *g_workerRunning = 1;
  *g_killOnTimeout = kill;
  m_lock.Leave();
  if (!platform::BeginThread(&StopWorkerProc, this, {"StopWorkerProc", "worker"})) {
    // No worker will ever clear the flag: clear it here so that every wait ends.
    m_lock.Enter();
    *g_workerRunning = 0;
    m_lock.Leave();
  }
}

unsigned StopWorkerProc(void* arg) {
  auto& control = *static_cast<CFirmwareControl*>(arg);
  platform::Pause(kFirstLookMs);

  int passes = 0;
  std::uint32_t rememberedId = 0;
  bool found = false;
  while (passes < kMaxPasses) {
    platform::EnumTopLevelWindows(&CloseFirmwareWindowProc, 0);
    ++passes;
    platform::Pause(kPassMs);
    found = false;
    const platform::Snapshot snapshot = platform::TakeSnapshot(platform::kSnapProcess, 0);
    if (!snapshot)
      break;
    platform::ProcessEntry entry;
    for (platform::Bool more = platform::FirstProcess(snapshot, entry); more == 1;
         more = platform::NextProcess(snapshot, entry)) {
      if (instrument::IsStopWorkerName(entry.exeFile)) {
        found = true;
        rememberedId = entry.processId;  // the last match in snapshot order wins
      }
    }
    if (!found)
      break;
  }

  // Written before this thread was created and not again while it runs: read without the lock.
  if (*g_killOnTimeout == 1 && found) {
    const platform::KernelHandle process =
        platform::OpenProcessHandle(platform::kProcessAllAccess, 0, rememberedId);
    if (process)
      platform::TerminateProcessHandle(process, 0);
  }

  control.m_lock.Enter();
  *g_workerRunning = 0;
  control.m_lock.Leave();
  return 1;
}
