#include "platform/sim/run_state.h"

#include <algorithm>
#include <exception>

#include "platform/sim/text.h"

namespace platform::sim::detail {

namespace {

std::atomic<RunState*> g_active{nullptr};
thread_local SimThread* t_thread = nullptr;

const char* EndName(ProcessEnd end) {
  switch (end) {
    case ProcessEnd::kExited:
      return "ended";
    case ProcessEnd::kTerminated:
      return "terminated";
    default:
      return "ended";
  }
}

std::string RegValueText(const RegValueDesc& v) {
  switch (v.type) {
    case RegType::kDword:
    case RegType::kQword:
      return std::to_string(v.number);
    case RegType::kSz:
      return Quote(v.text);
    case RegType::kBinary: {
      std::string out = "hex:";
      for (std::size_t i = 0; i < v.bytes.size(); ++i)
        out += (i ? "," : "") + Hex(v.bytes[i], 2).substr(2);
      return out;
    }
  }
  return {};
}

std::size_t LineCount(const std::string& data) {
  std::size_t lines = static_cast<std::size_t>(std::count(data.begin(), data.end(), '\n'));
  if (!data.empty() && data.back() != '\n')
    ++lines;
  return lines;
}

}  // namespace

RunState* Active() {
  return g_active.load();
}

SimThread* CurrentThread() {
  return t_thread;
}

RunState::RunState(MachineModel m, std::vector<std::u16string> a)
    : machine(std::move(m)), args(std::move(a)) {
  initialMachine_ = machine;
  for (const ProcessDesc& p : machine.processes)
    AddProcess(p, true);
  for (const FileDesc& f : machine.files) {
    File file;
    file.path = f.path;
    file.key = PathKey(f.path);
    file.directory = f.directory;
    file.content = f.content;
    file.starts = f.starts;
    file.readable = f.readable;
    file.writable = f.writable;
    files.push_back(std::move(file));
  }
  registry = machine.registry;
  initialRegistry = machine.registry;
  for (const ProductDesc& p : machine.products)
    products.push_back({p, false});
  if (const auto& key = machine.user.statusWindowKey) {
    At(key->afterMs, [this, name = key->key] {
      for (auto& d : dialogs) {
        if (d->closed || d->ending)
          continue;
        // The key reaches the window's own thread.
        Emit(d->owner->name, "key_press", {{"key", name}, {"hwnd", d->hwnd}});
        d->queue.push_back(
            {kWmCommand, static_cast<std::uintptr_t>(name == "Escape" ? kIdCancel : kIdOk), 0});
        Wake(*d->owner);
        return;
      }
      Emit("status", "key_press", {{"key", name}, {"hwnd", nullptr}});
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
    if (shutdownPending) {
      EndRun(*shutdownPending, 0, me.name);
    } else if (&me == main_) {
      EndRun(EndHow::kExit, static_cast<int>(code), me.name);
    } else {
      Emit(me.name, "thread_end", {{"routine", me.routine}, {"code", code}});
    }
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
  if (shutdownPending) {
    EndRun(*shutdownPending, 0, me.name);
    return endedHere();
  }
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
// with the earliest wake time, ties going to the thread created first.
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
  Emit(thread, "end", std::move(fields));
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

// ---- The machine

// A pid may come back after its process ended; the running one wins.
Process* RunState::FindProcess(std::uint32_t pid) {
  Process* found = nullptr;
  for (Process& p : processes) {
    if (p.desc.pid == pid) {
      found = &p;
      if (p.running())
        break;
    }
  }
  return found;
}

Window* RunState::FindWindow(std::uintptr_t hwnd) {
  if (hwnd == 0 || hwnd > windows.size())
    return nullptr;
  return &windows[hwnd - 1];
}

Dialog* RunState::FindDialog(std::uintptr_t hwnd) {
  for (auto& d : dialogs) {
    if (d->hwnd == hwnd && !d->closed)
      return d.get();
  }
  return nullptr;
}

HandleObject* RunState::FindHandle(void* raw) {
  const auto it = handles.find(reinterpret_cast<std::uintptr_t>(raw));
  return it == handles.end() ? nullptr : &it->second;
}

void* RunState::NewHandle(HandleObject object) {
  const std::uintptr_t id = nextHandle_;
  nextHandle_ += 4;
  handles.emplace(id, std::move(object));
  return reinterpret_cast<void*>(id);
}

void RunState::CloseHandle(void* raw) {
  handles.erase(reinterpret_cast<std::uintptr_t>(raw));
}

std::uintptr_t RunState::AddWindow(Window window) {
  window.hwnd = windows.size() + 1;
  windows.push_back(std::move(window));
  return windows.back().hwnd;
}

Process& RunState::AddProcess(ProcessDesc desc, bool initial) {
  maxPid_ = std::max(maxPid_, desc.pid);
  Process p;
  p.initial = initial;
  for (const WindowDesc& w : desc.windows) {
    Window window;
    window.title = Utf8ToUtf16(w.title);
    window.ownerPid = desc.pid;
    window.titleReadable = w.titleReadable;
    window.acceptsPosts = w.acceptsPosts;
    window.visible = true;
    window.rect = {100, 100, 740, 580};
    AddWindow(std::move(window));
  }
  p.desc = std::move(desc);
  processes.push_back(std::move(p));
  return processes.back();
}

std::uint32_t RunState::NewPid() {
  maxPid_ = (maxPid_ / 4 + 1) * 4;
  return maxPid_;
}

void RunState::EndProcess(std::uint32_t pid, ProcessEnd how) {
  Process* p = FindProcess(pid);
  if (p == nullptr || !p->running())
    return;
  p->end = how;
  for (Window& w : windows) {
    if (w.ownerPid == pid)
      w.alive = false;
  }
  if (how == ProcessEnd::kExited)
    Emit(kSystemThread, "process_exit", {{"pid", pid}, {"name", p->desc.name}});
  for (const auto& t : threads_) {
    if (t->waitingPid == pid)
      Wake(*t);
  }
  // Helpers that live as long as their program.
  const std::string name = FoldUtf8(p->desc.name);
  for (const Process& q : processes) {
    if (q.running() && FoldUtf8(q.desc.name) == name)
      return;
  }
  std::vector<std::uint32_t> followers;
  for (const Process& q : processes) {
    if (q.running() && !q.desc.endsWith.empty() && FoldUtf8(q.desc.endsWith) == name)
      followers.push_back(q.desc.pid);
  }
  for (const std::uint32_t follower : followers)
    EndProcess(follower, ProcessEnd::kExited);
}

void RunState::RequestClose(Process& process) {
  if (process.desc.onClose.ignore || process.exitScheduled || !process.running())
    return;
  process.exitScheduled = true;
  const std::uint32_t pid = process.desc.pid;
  At(now + process.desc.onClose.exitAfterMs, [this, pid] { EndProcess(pid, ProcessEnd::kExited); });
}

File* RunState::FindEntry(const std::string& key) {
  for (File& f : files) {
    if (f.key == key)
      return &f;
  }
  return nullptr;
}

bool RunState::IsDirectory(const std::string& key) {
  if (key.size() == 2 && key[1] == ':')
    return true;  // a drive's root
  if (const File* f = FindEntry(key))
    return f->directory;
  const std::string prefix = key + "\\";
  for (const File& f : files) {
    if (f.key.compare(0, prefix.size(), prefix) == 0)
      return true;
  }
  return false;
}

bool RunState::IsFile(const std::string& key) {
  const File* f = FindEntry(key);
  return f != nullptr && !f->directory;
}

RegKeyDesc* RunState::FindKey(const std::string& key) {
  const std::string folded = FoldUtf8(key);
  for (RegKeyDesc& k : registry) {
    if (FoldUtf8(k.key) == folded)
      return &k;
  }
  return nullptr;
}

bool RunState::KeyExists(const std::string& key) {
  const std::string folded = FoldUtf8(key);
  if (folded.empty())
    return true;
  for (const RegKeyDesc& k : registry) {
    const std::string other = FoldUtf8(k.key);
    if (other == folded || other.compare(0, folded.size() + 1, folded + "\\") == 0)
      return true;
  }
  return false;
}

void RunState::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
  RegKeyDesc* k = FindKey(key);
  if (k == nullptr) {
    registry.push_back({key, {}});
    k = &registry.back();
  }
  RegValueDesc v;
  v.name = name;
  v.type = RegType::kDword;
  v.number = value;
  for (RegValueDesc& existing : k->values) {
    if (EqualNoCase(existing.name, name)) {
      v.name = existing.name;
      existing = v;
      return;
    }
  }
  k->values.push_back(v);
}

// ---- Results

MachineModel RunState::CurrentMachine() const {
  MachineModel m = machine;
  m.files.clear();
  for (const File& f : files)
    m.files.push_back({f.path, f.directory, f.content, f.starts, f.readable, f.writable});
  m.registry = registry;
  m.processes.clear();
  for (const Process& p : processes) {
    if (p.running())
      m.processes.push_back(p.desc);
  }
  m.products.clear();
  for (const Product& p : products) {
    if (!p.removed)
      m.products.push_back(p.desc);
  }
  return m;
}

std::vector<std::string> RunState::Changes() const {
  std::vector<std::string> changes;
  const char* byShutdown =
      how_ == EndHow::kReboot ? "ended by the reboot" : "ended by the power-off";
  for (const Process& p : processes) {
    const std::string head = "process " + std::to_string(p.desc.pid) + " " + p.desc.name + " ";
    if (p.initial && !p.running())
      changes.push_back(head + (p.end == ProcessEnd::kShutdown ? byShutdown : EndName(p.end)));
    else if (!p.initial && p.running())
      changes.push_back(head + "started");
    else if (!p.initial)
      changes.push_back(head + "started and " +
                        (p.end == ProcessEnd::kShutdown ? byShutdown : EndName(p.end)));
  }
  for (const File& f : files) {
    if (!f.created && f.appended.empty())
      continue;
    std::string line = f.path + ":";
    if (f.created)
      line += " created";
    if (!f.appended.empty()) {
      const std::size_t lines = LineCount(f.appended);
      line += (f.created ? "," : "") + std::string(" ") + std::to_string(lines) +
              (lines == 1 ? " line" : " lines") + " appended";
    }
    changes.push_back(line);
  }
  for (const RegKeyDesc& k : registry) {
    const RegKeyDesc* before = nullptr;
    for (const RegKeyDesc& old : initialRegistry) {
      if (EqualNoCase(old.key, k.key))
        before = &old;
    }
    for (const RegValueDesc& v : k.values) {
      const RegValueDesc* was = nullptr;
      if (before != nullptr) {
        for (const RegValueDesc& old : before->values) {
          if (EqualNoCase(old.name, v.name))
            was = &old;
        }
      }
      const std::string now = RegValueText(v);
      const std::string then = was != nullptr ? RegValueText(*was) : "(none)";
      if (was == nullptr || was->type != v.type || then != now) {
        changes.push_back("registry HKLM\\" + k.key + "\\" + v.name + ": " + then + " -> " + now);
      }
    }
  }
  for (const Product& p : products) {
    if (p.removed)
      changes.push_back("product " + p.desc.code + " removed");
  }
  return changes;
}

RunResult RunState::Result() {
  std::lock_guard<std::mutex> lock(mu);
  RunResult result;
  result.events = events_;
  result.how = how_;
  result.exitCode = exitCode_;
  result.virtualMs = endTime_;
  result.machineAfter = ToJson(CurrentMachine());
  result.changes = Changes();
  return result;
}

}  // namespace platform::sim::detail
