#include "firmware/firmware_control.h"

platform::ProcessGlobal<std::int32_t> g_workerRunning;
platform::ProcessGlobal<std::int32_t> g_killOnTimeout;

CFirmwareControl::CFirmwareControl(void* owner) : m_owner(owner) {}

bool CFirmwareControl::IsWorkerRunning() {
  m_lock.Enter();
  const std::int32_t running = *g_workerRunning;
  m_lock.Leave();
  return running != 0;
}
