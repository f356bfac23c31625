// Threads, locks and sleeping on the virtual clock.
#include <new>

#include "platform/platform.h"
#include "sim/call.h"

namespace sim {

// A critical section as kept in the storage of platform::CriticalSection.
struct CsState {
  SimThread* owner = nullptr;
  std::int32_t recursion = 0;
  std::uint32_t id = 0;  // numbered per run, for the trace
};

}  // namespace sim

namespace platform {

namespace {
using namespace sim;

CsState& StateOf(CriticalSection& section) {
  static_assert(sizeof(CsState) <= 48);
  return *std::launder(reinterpret_cast<CsState*>(section.storage()));
}

}  // namespace

void Pause(std::uint32_t ms) {
  Call call;
  if (!call)
    return;
  call->EmitHere(events::Sleep{.ms = ms});
  call->Suspend(call.lock, *call.me, call->now + ms);
}

// ---- Threads and locks

bool BeginThread(ThreadRoutine routine, void* arg, const ThreadTag& tag) {
  Call call;
  if (!call || call->ended)
    return false;
  const std::string role = tag.role != nullptr ? tag.role : "thread";
  const std::string name = tag.routine != nullptr ? tag.routine : "";
  bool ok = Faults(call).threadStartFails.count(role) == 0;
  if (ok)
    ok = call->AddThread(role, name, [routine, arg] { return routine(arg); }) != nullptr;
  call->EmitHere(events::ThreadStart{.routine = name, .role = role, .ok = ok});
  return ok;
}

CriticalSection::CriticalSection() {
  CsState& state = *::new (static_cast<void*>(storage_)) CsState();
  Call call;
  if (call.sim != nullptr)
    state.id = ++call->locksMade;
  if (call)
    call->EmitHere(events::LockInit{.lock = state.id});
}

CriticalSection::~CriticalSection() {
  CsState& state = StateOf(*this);
  {
    Call call;
    if (call.sim != nullptr)
      call->lockWaiters.erase(&state);
    if (call)
      call->EmitHere(events::LockDelete{.lock = state.id});
  }
  state.~CsState();
}

void CriticalSection::Enter() {
  CsState& state = StateOf(*this);
  Call call;
  if (!call) {
    ++state.recursion;
    return;
  }
  if (state.recursion == 0 || state.owner == call.me) {
    state.owner = call.me;
    ++state.recursion;
    return;
  }
  call->lockWaiters[&state].push_back(call.me);
  call->EmitHere(events::LockWait{.lock = state.id, .owner = state.owner->name});
  while (state.owner != call.me && !call->ended)
    call->Suspend(call.lock, *call.me, std::nullopt);
}

void CriticalSection::Leave() {
  CsState& state = StateOf(*this);
  Call call;
  if (!call) {
    if (state.recursion > 0 && --state.recursion == 0)
      state.owner = nullptr;
    return;
  }
  if (state.owner != call.me || state.recursion == 0)
    return;
  if (--state.recursion > 0)
    return;
  state.owner = nullptr;
  const auto it = call->lockWaiters.find(&state);
  if (it != call->lockWaiters.end() && !it->second.empty()) {
    // Handed straight to the first waiter, as the system's own sections do.
    state.owner = it->second.front();
    state.recursion = 1;
    it->second.pop_front();
    call->Wake(*state.owner);
  }
}

}  // namespace platform
