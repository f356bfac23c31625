#include "sim/scheduler.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "sim/events.h"

namespace sim {

namespace {

thread_local SimThread* t_thread = nullptr;

}  // namespace

SimThread* CurrentThread() {
  return t_thread;
}

SimThread* Scheduler::AddThread(std::string name, std::string routine,
                                std::function<unsigned()> body) {
  auto thread = std::make_unique<SimThread>();
  SimThread* raw = thread.get();
  raw->index = threads_.size();
  raw->name = std::move(name);
  raw->routine = std::move(routine);
  raw->state = ThreadState::kNew;
  raw->wakeAt = now;
  threads_.push_back(std::move(thread));
  try {
    raw->thread = std::thread([this, raw, body = std::move(body)] { ThreadMain(raw, body); });
  } catch (const std::system_error& e) {
    // The computer running the simulation is out of threads or memory: no fact of the machine.
    raw->state = ThreadState::kFinished;
    if (!failure_)
      failure_ = std::make_exception_ptr(
          std::runtime_error(std::string("a thread could not be started: ") + e.what()));
    EndRun(EndHow::kStuck, 0, kSystemThread, "a thread could not be started");
    return nullptr;
  }
  return raw;
}

void Scheduler::ThreadMain(SimThread* me, const std::function<unsigned()>& body) {
  t_thread = me;
  std::unique_lock<std::mutex> lock(mu);
  me->cv.wait(lock, [&] { return current_ == me; });
  unsigned code = 0;
  if (!ended) {
    me->state = ThreadState::kRunning;
    lock.unlock();
    std::exception_ptr failure;
    try {
      code = body();
    } catch (const ProcessEnded&) {
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure) {
      if (!failure_)
        failure_ = failure;
      EndRun(EndHow::kExit, -1, me->name, "an exception left the thread");
    }
  }
  Finish(lock, *me, code);
  t_thread = nullptr;
}

void Scheduler::Finish(std::unique_lock<std::mutex>&, SimThread& me, unsigned code) {
  me.state = ThreadState::kFinished;
  if (!ended) {
    if (&me == main_ && shutdownPending)
      EndRun(*shutdownPending, 0, me.name);
    else if (&me == main_)
      EndRun(EndHow::kExit, static_cast<int>(code), me.name);
    else
      Emit(me.name, events::ThreadEnd{.routine = me.routine, .code = code});
  }
  ScheduleNext(&me);
}

void Scheduler::Suspend(std::unique_lock<std::mutex>& lock, SimThread& me,
                        std::optional<std::uint64_t> wakeAt) {
  // Once the process has ended, a blocking call reached while unwinding returns at once.
  const auto endedHere = [&] {
    if (std::uncaught_exceptions() == 0)
      throw ProcessEnded{};
  };
  if (ended)
    return endedHere();
  me.state = wakeAt ? ThreadState::kRunnable : ThreadState::kBlocked;
  me.wakeAt = wakeAt.value_or(0);
  ScheduleNext(&me);
  me.cv.wait(lock, [&] { return current_ == &me; });
  me.state = ThreadState::kRunning;
  if (ended)
    endedHere();
}

void Scheduler::Wake(SimThread& thread) {
  if (thread.state == ThreadState::kBlocked ||
      (thread.state == ThreadState::kRunnable && thread.wakeAt > now)) {
    thread.state = ThreadState::kRunnable;
    thread.wakeAt = now;
  }
}

void Scheduler::At(std::uint64_t time, std::function<void()> action) {
  pending_.emplace(std::make_pair(time, pendingSeq_++), std::move(action));
}

// The caller holds the turn and gives it up: machine events due first, then the runnable thread
// with the earliest wake time, ties going to the thread created first. An accepted shutdown
// takes the process once nothing more can run at the moment: the system needs some time to
// end a session, and threads ready then still get their turn.
void Scheduler::ScheduleNext(SimThread* caller) {
  while (!ended) {
    SimThread* best = nullptr;
    for (const auto& t : threads_) {
      if ((t->state == ThreadState::kRunnable || t->state == ThreadState::kNew) &&
          (best == nullptr || t->wakeAt < best->wakeAt)) {
        best = t.get();
      }
    }
    const auto event = pending_.begin();
    const bool eventFirst =
        event != pending_.end() && (best == nullptr || event->first.first <= best->wakeAt);
    const std::uint64_t next =
        eventFirst ? event->first.first : (best != nullptr ? best->wakeAt : kTimeLimitMs + 1);
    if (shutdownPending && next > now) {
      EndRun(*shutdownPending, 0, kSystemThread);
      break;
    }
    if (best == nullptr && !eventFirst) {
      EndRun(EndHow::kStuck, 0, kSystemThread, "nothing can run any more");
      break;
    }
    if (next > kTimeLimitMs) {
      now = std::max(now, kTimeLimitMs);
      EndRun(EndHow::kStuck, 0, kSystemThread, "the time limit of one hour was reached");
      break;
    }
    now = std::max(now, next);
    if (eventFirst) {
      std::function<void()> action = std::move(event->second);
      pending_.erase(event);
      action();
      continue;
    }
    current_ = best;
    if (best != caller)
      best->cv.notify_one();
    return;
  }
  // The process has ended: let each remaining thread unwind, one at a time, in creation order.
  for (const auto& t : threads_) {
    if (t->state != ThreadState::kFinished) {
      current_ = t.get();
      if (t.get() != caller)
        t->cv.notify_one();
      return;
    }
  }
  current_ = nullptr;
  allDone_ = true;
  doneCv_.notify_all();
}

void Scheduler::EndRun(EndHow how, int code, const std::string& thread, const char* reason) {
  if (ended)
    return;
  events::End end{.how = how};
  if (how == EndHow::kExit)
    end.code = code;
  if (reason != nullptr)
    end.reason = std::string(reason);
  Emit(thread, std::move(end));
  ended = true;
  how_ = how;
  exitCode_ = how == EndHow::kExit ? code : 0;
  endTime_ = now;
  // Nothing the machine had due happens once the system goes down.
  if (how == EndHow::kPowerOff || how == EndHow::kReboot)
    pending_.clear();
  Ended(how);
}

void Scheduler::WakeWaiting(std::uint32_t pid) {
  for (const auto& t : threads_) {
    if (t->waitingPid == pid)
      Wake(*t);
  }
}

void Scheduler::Emit(const std::string& thread, events::Any fields) {
  if (ended)
    return;
  events_.push_back({now, thread, events::NameOf(fields), std::move(fields)});
}

void Scheduler::EmitHere(events::Any fields) {
  Emit(t_thread != nullptr ? t_thread->name : std::string(kSystemThread), std::move(fields));
}

void Scheduler::Execute(std::function<int()> mainBody) {
  std::unique_lock<std::mutex> lock(mu);
  main_ = AddThread("main", "RunApplication",
                    [body = std::move(mainBody)] { return static_cast<unsigned>(body()); });
  if (main_ == nullptr) {
    EndRun(EndHow::kStuck, 0, kSystemThread, "the main thread could not be created");
    return;
  }
  ScheduleNext(nullptr);
  doneCv_.wait(lock, [&] { return allDone_; });
  lock.unlock();
  for (const auto& t : threads_) {
    if (t->thread.joinable())
      t->thread.join();
  }
}

void Scheduler::Settle() {
  std::lock_guard<std::mutex> lock(mu);
  // Bounded: an action may schedule another, but no chain of them is endless.
  for (int guard = 0; guard < 100000 && !pending_.empty(); ++guard) {
    std::function<void()> action = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
    action();
  }
}

RunResult Scheduler::Recorded() const {
  RunResult result;
  result.events = events_;
  result.how = how_;
  result.exitCode = exitCode_;
  result.virtualMs = endTime_;
  return result;
}

}  // namespace sim
