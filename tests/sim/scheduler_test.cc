// The run's threads on the virtual clock: how they are unwound at the end, how a lock passes,
// and how a failure of the run's body comes out.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "machine_file/machine.h"
#include "platform/platform.h"
#include "sim/entry.h"
#include "sim/run_result.h"

namespace {

using machine_file::Machine;
using sim::EndHow;
using sim::RunResult;

const Machine& Empty() {
  static const Machine machine = Machine::FromJson(nlohmann::json::object(), "test");
  return machine;
}

// A simulated thread running `body`, which must outlive the run.
void Spawn(std::function<void()>& body) {
  platform::BeginThread(
      [](void* b) -> unsigned { return (*static_cast<std::function<void()>*>(b))(), 0; }, &body,
      {"Body", "worker"});
}

TEST(Scheduler, ThreadsStillParkedAtTheEndAreUnwound) {
  int unwound = 0;
  std::function<void()> forever = [&unwound] {
    struct Guard {
      int& count;
      ~Guard() { ++count; }
    } guard{unwound};
    for (;;)
      platform::Pause(10000);
  };
  sim::RunFunction(Empty(), [&] {
    Spawn(forever);
    Spawn(forever);
    platform::Pause(25000);
  });
  EXPECT_EQ(unwound, 2);
}

TEST(Scheduler, AnExceptionOfTheBodyComesOutAfterTheRun) {
  EXPECT_THROW(sim::RunFunction(Empty(), [] { throw std::runtime_error("boom"); }),
               std::runtime_error);
}

// The lock is handed to its waiter on leave, so the main thread waits again for it; a thread
// blocked on a lock held forever leaves the run stuck.
TEST(Lock, GoesToItsWaiterOnLeave) {
  for (const bool holdsForever : {false, true}) {
    platform::CriticalSection* lock = nullptr;
    std::function<void()> waiter = [&] {
      lock->Enter();
      platform::Pause(1);
      if (holdsForever)
        platform::WaitOnCurrentThread();
      lock->Leave();
    };
    const RunResult run = sim::RunFunction(Empty(), [&] {
      platform::CriticalSection mine;
      lock = &mine;
      mine.Enter();
      Spawn(waiter);
      platform::Pause(50);
      mine.Leave();
      platform::Pause(0);
      mine.Enter();  // the waiter has it until its pause is over
      mine.Leave();
    });
    EXPECT_EQ(run.how, holdsForever ? EndHow::kStuck : EndHow::kExit);
    EXPECT_EQ(run.virtualMs, 51u);
    EXPECT_EQ(run.Named("lock_wait").size(), 2u);
  }
}

}  // namespace
