// What every simulated platform call starts from: the run, its lock and the calling simulated
// thread. Every call takes the run's lock for its own work only: the tool's code (thread
// routines, window callbacks, dialog procedures) always runs without it.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/handles.h"
#include "platform/text/text.h"
#include "sim/events.h"
#include "sim/run_state.h"

namespace sim {

// The seams speak the text rules of Windows.
using namespace platform::text;

// Empty outside a run; false on a thread that is not one of the run's.
struct Call {
  RunState* sim = Active();
  SimThread* me = CurrentThread();
  std::unique_lock<std::mutex> lock;
  Call() {
    if (sim != nullptr)
      lock = std::unique_lock<std::mutex>(sim->mu);
  }
  explicit operator bool() const { return sim != nullptr && me != nullptr; }
  RunState* operator->() const { return sim; }
};

// What the tool passes, for lookups and the trace.
inline std::string U8(std::u16string_view text) {
  return Utf16ToUtf8Lossy(text);
}

// A window that still exists; null outside a run.
inline Window* LiveWindow(Call& call, platform::WindowRef window) {
  return call ? call->FindWindow(window.value) : nullptr;
}

inline const FaultDesc& Faults(const Call& call) {
  return call.sim->machine.faults;
}

inline HandleObject* HandleOf(Call& call, platform::RawHandle raw, HandleObject::Kind kind) {
  HandleObject* h = call->FindHandle(raw);
  return h != nullptr && h->kind == kind ? h : nullptr;
}

inline void CloseSimulated(platform::RawHandle raw) {
  RunState* sim = Active();
  if (sim == nullptr)
    return;
  std::lock_guard<std::mutex> lock(sim->mu);
  sim->CloseHandle(raw);
}

}  // namespace sim
