// The tool's threads on the virtual clock: whose turn it is, what is due when, how the run ended
// and the events recorded. One thread runs at a time, so a run replays exactly.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/events.h"
#include "sim/run_result.h"

namespace sim {

// Thrown out of a blocking call once the simulated process has ended. Not a std::exception, so
// nothing in the tool's code can catch it by accident.
struct ProcessEnded {};

inline constexpr std::uint64_t kTimeLimitMs = 60 * 60 * 1000;
inline constexpr const char* kSystemThread = "system";

enum class ThreadState { kNew, kRunnable, kBlocked, kRunning, kFinished };

struct SimThread {
  std::size_t index = 0;
  std::string name;
  std::string routine;
  ThreadState state = ThreadState::kNew;
  std::uint64_t wakeAt = 0;      // when runnable
  std::uint32_t waitingPid = 0;  // while waiting for a process to end
  std::condition_variable cv;
  std::thread thread;
};

class Scheduler {
 public:
  Scheduler() = default;
  virtual ~Scheduler() = default;
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // ---- Run control, called by the run's owner (not a simulated thread).
  // Runs `mainBody` as the main thread until every thread of the run is gone.
  void Execute(std::function<int()> mainBody);
  // Lets the machine finish what it was doing when the process ended (nothing is recorded).
  void Settle();
  std::exception_ptr failure() const { return failure_; }

  // ---- Scheduling; every member below expects `mu` to be held.
  std::mutex mu;
  std::uint64_t now = 0;
  bool ended = false;
  std::optional<EndHow> shutdownPending;  // accepted; it ends the run once nothing can run now
  std::map<const void*, std::deque<SimThread*>> lockWaiters;  // by lock
  std::uint32_t locksMade = 0;

  // Null when the computer cannot start another thread: the run then ends with failure() set.
  SimThread* AddThread(std::string name, std::string routine, std::function<unsigned()> body);
  // Hands the turn over until woken or `wakeAt`; throws ProcessEnded once the run has ended.
  void Suspend(std::unique_lock<std::mutex>& lock, SimThread& me,
               std::optional<std::uint64_t> wakeAt);
  void Wake(SimThread& thread);
  // Wakes the threads that wait for process `pid` to end.
  void WakeWaiting(std::uint32_t pid);
  void At(std::uint64_t time, std::function<void()> action);
  void EndRun(EndHow how, int code, const std::string& thread, const char* reason = nullptr);

  // Records an event of `thread`, or of the calling simulated thread (else the system's).
  void Emit(const std::string& thread, events::Any fields);
  void EmitHere(events::Any fields);

 protected:
  // What the end does to the machine, once "end" is recorded.
  virtual void Ended(EndHow how) = 0;
  // The events and how and when the run ended; the machine's part is the owner's.
  RunResult Recorded() const;

 private:
  void ThreadMain(SimThread* me, const std::function<unsigned()>& body);
  void Finish(std::unique_lock<std::mutex>& lock, SimThread& me, unsigned code);
  void ScheduleNext(SimThread* caller);

  std::vector<std::unique_ptr<SimThread>> threads_;
  SimThread* current_ = nullptr;
  SimThread* main_ = nullptr;
  std::condition_variable doneCv_;
  bool allDone_ = false;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::function<void()>> pending_;
  std::uint64_t pendingSeq_ = 0;
  std::vector<Event> events_;
  EndHow how_ = EndHow::kExit;
  int exitCode_ = 0;
  std::uint64_t endTime_ = 0;
  std::exception_ptr failure_;
};

// The simulated thread that calls, or null on any other thread.
SimThread* CurrentThread();

}  // namespace sim
