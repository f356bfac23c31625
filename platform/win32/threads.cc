// Threads, critical sections and pauses.
// The system headers below need <windows.h> first.
#include "platform/win32/win32.h"

#include <process.h>

#include <type_traits>

namespace platform {

// On x86-64 there is one calling convention, so the runtime's routine type is the tool's own and
// the routine is handed over unchanged.
static_assert(std::is_same_v<_beginthreadex_proc_type, ThreadRoutine>);

bool BeginThread(ThreadRoutine routine, void* arg, const ThreadTag&) {
  unsigned id = 0;
  const std::uintptr_t thread = _beginthreadex(nullptr, 0, routine, arg, 0, &id);
  // Nobody waits for the thread: its handle goes at once.
  const KernelHandle owner(reinterpret_cast<RawHandle>(thread));
  return thread != 0;
}

static_assert(sizeof(CRITICAL_SECTION) <= 48, "CriticalSection's storage is too small");
static_assert(alignof(CRITICAL_SECTION) <= 8, "CriticalSection's storage is not aligned enough");

namespace {
CRITICAL_SECTION* Section(CriticalSection& section) {
  return static_cast<CRITICAL_SECTION*>(section.storage());
}
}  // namespace

CriticalSection::CriticalSection() {
  InitializeCriticalSection(Section(*this));
}

CriticalSection::~CriticalSection() {
  DeleteCriticalSection(Section(*this));
}

void CriticalSection::Enter() {
  EnterCriticalSection(Section(*this));
}

void CriticalSection::Leave() {
  LeaveCriticalSection(Section(*this));
}

void Pause(std::uint32_t ms) {
  Sleep(ms);
}

}  // namespace platform
