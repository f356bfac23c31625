#include "sim_engine/run_state.h"

#include <algorithm>
#include <exception>

#include "platform/text/text.h"
#include "sim_engine/events.h"

namespace sim_engine {

using namespace platform::text;

namespace {

std::atomic<RunState*> g_active{nullptr};
thread_local SimThread* t_thread = nullptr;

}  // namespace

RunState* Active() {
  return g_active.load();
}

SimThread* CurrentThread() {
  return t_thread;
}

RunState::RunState(MachineModel m, std::vector<std::u16string> a)
    : machine(std::move(m)), args(std::move(a)) {
  // The sections that change move into the run's own records; `machine` keeps the rest.
  for (ProcessDesc& p : machine.processes)
    AddProcess(std::move(p), true);
  for (FileDesc& f : machine.files) {
    std::string key = PathKey(f.path);
    files.push_back({std::move(f), std::move(key), false, {}});
  }
  for (ProductDesc& p : machine.products)
    products.push_back({std::move(p), false});
  initialRegistry = machine.registry;
  registry = std::move(machine.registry);
  machine.processes.clear();
  machine.files.clear();
  machine.products.clear();
  machine.registry.clear();
  if (const auto& key = machine.user.statusWindowKey) {
    At(key->afterMs, [this, name = key->key] {
      for (auto& d : dialogs) {
        if (d->closed || d->ending)
          continue;
        // The key reaches the window's own thread.
        Emit(d->owner->name, events::kKeyPress, {{"key", name}, {"hwnd", d->hwnd}});
        d->queue.push_back(
            {platform::kWmCommand,
             static_cast<std::uintptr_t>(name == "Escape" ? platform::kIdCancel : platform::kIdOk),
             0});
        Wake(*d->owner);
        return;
      }
      Emit("status", events::kKeyPress, {{"key", name}, {"hwnd", nullptr}});
    });
  }
  g_active.store(this);
}

RunState::~RunState() {
  RunState* self = this;
  g_active.compare_exchange_strong(self, nullptr);
}

// ---- Scheduling

SimThread* RunState::AddThread(std::string name, std::string routine,
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
  } catch (...) {
    raw->state = ThreadState::kFinished;
    return nullptr;
  }
  return raw;
}

void RunState::ThreadMain(SimThread* me, const std::function<unsigned()>& body) {
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

void RunState::Finish(std::unique_lock<std::mutex>&, SimThread& me, unsigned code) {
  me.state = ThreadState::kFinished;
  if (!ended) {
    if (&me == main_ && shutdownPending)
      EndRun(*shutdownPending, 0, me.name);
    else if (&me == main_)
      EndRun(EndHow::kExit, static_cast<int>(code), me.name);
    else
      Emit(me.name, events::kThreadEnd, {{"routine", me.routine}, {"code", code}});
  }
  ScheduleNext(&me);
}

void RunState::Suspend(std::unique_lock<std::mutex>& lock, SimThread& me,
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

void RunState::Wake(SimThread& thread) {
  if (thread.state == ThreadState::kBlocked ||
      (thread.state == ThreadState::kRunnable && thread.wakeAt > now)) {
    thread.state = ThreadState::kRunnable;
    thread.wakeAt = now;
  }
}

void RunState::At(std::uint64_t time, std::function<void()> action) {
  pending_.emplace(std::make_pair(time, pendingSeq_++), std::move(action));
}

// The caller holds the turn and gives it up: machine events due first, then the runnable thread
// with the earliest wake time, ties going to the thread created first. An accepted shutdown
// takes the process once nothing more can run at the moment: the system needs some time to
// end a session, and threads ready then still get their turn.
void RunState::ScheduleNext(SimThread* caller) {
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

void RunState::EndRun(EndHow how, int code, const std::string& thread, const char* reason) {
  if (ended)
    return;
  nlohmann::json fields = {{"how", EndHowName(how)}};
  if (how == EndHow::kExit)
    fields["code"] = code;
  if (reason != nullptr)
    fields["reason"] = reason;
  Emit(thread, events::kEnd, std::move(fields));
  ended = true;
  how_ = how;
  exitCode_ = how == EndHow::kExit ? code : 0;
  endTime_ = now;
  for (Window& w : windows) {
    if (w.ownerPid == 0)
      w.alive = false;
  }
  for (auto& d : dialogs)
    d->closed = true;
  if (how == EndHow::kPowerOff || how == EndHow::kReboot) {
    // The system goes down with everything that runs on it.
    pending_.clear();
    for (Process& p : processes) {
      if (p.running())
        p.end = ProcessEnd::kShutdown;
    }
    for (Window& w : windows)
      w.alive = false;
  }
}

void RunState::Emit(const std::string& thread, const char* event, nlohmann::json fields) {
  if (ended)
    return;
  events_.push_back({now, thread, event, std::move(fields)});
}

void RunState::EmitHere(const char* event, nlohmann::json fields) {
  Emit(t_thread != nullptr ? t_thread->name : std::string(kSystemThread), event, std::move(fields));
}

void RunState::Execute(std::function<int()> mainBody) {
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

void RunState::Settle() {
  std::lock_guard<std::mutex> lock(mu);
  // Bounded: an action may schedule another, but no chain of them is endless.
  for (int guard = 0; guard < 100000 && !pending_.empty(); ++guard) {
    std::function<void()> action = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
    action();
  }
}

}  // namespace sim_engine
