// The process list, termination, starting processes and waiting for them.
#include <algorithm>
#include <optional>

#include "platform/platform.h"
#include "sim/call.h"
#include "sim/outside_programs.h"

namespace platform {

namespace {
using namespace sim;
}  // namespace

void KernelHandleTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

void SnapshotTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

Snapshot TakeSnapshot(std::uint32_t flags, std::uint32_t) {
  Call call;
  if (!call)
    return Snapshot();
  // A slow system: the snapshot shows the processes as they are when it is done.
  if (const std::uint64_t delay = Faults(call).snapshotDelayMs) {
    const std::uint64_t done = call->now + delay;
    while (!call->ended && call->now < done)
      call->Suspend(call.lock, *call.me, done);
  }
  const std::uint64_t number = ++call->snapshotsTaken;
  const auto& from = Faults(call).snapshotFailsFrom;
  if (from && number >= *from) {
    call->EmitHere(events::Snapshot{.ok = false});
    return Snapshot();
  }
  HandleObject h;
  h.kind = HandleObject::Kind::kSnapshot;
  std::vector<std::string> names;
  if (flags & kSnapProcess) {
    for (const Process& p : call->processes) {
      if (p.running()) {
        h.entries.emplace_back(p.desc.pid, Utf8ToUtf16(p.desc.name));
        names.push_back(p.desc.name);
      }
    }
  }
  call->EmitHere(events::Snapshot{.ok = true, .processes = std::move(names)});
  return Snapshot(call->NewHandle(std::move(h)));
}

namespace {

Bool ReadEntry(const Snapshot& snapshot, ProcessEntry& entry, bool first) {
  Call call;
  if (!call)
    return 0;
  HandleObject* h = HandleOf(call, snapshot.raw(), HandleObject::Kind::kSnapshot);
  if (h == nullptr)
    return 0;
  if (first) {
    h->cursor = 0;
    if (Faults(call).firstEntryUnreadable)
      return 0;
  } else {
    ++h->cursor;
  }
  if (h->cursor >= h->entries.size())
    return 0;
  const auto& [pid, name] = h->entries[h->cursor];
  entry.processId = pid;
  std::fill(std::begin(entry.exeFile), std::end(entry.exeFile), u'\0');
  std::copy_n(name.begin(), std::min(name.size(), kMaxPath - 1), entry.exeFile);
  return 1;
}

}  // namespace

Bool FirstProcess(const Snapshot& snapshot, ProcessEntry& entry) {
  return ReadEntry(snapshot, entry, true);
}

Bool NextProcess(const Snapshot& snapshot, ProcessEntry& entry) {
  return ReadEntry(snapshot, entry, false);
}

KernelHandle OpenProcessHandle(std::uint32_t, Bool, std::uint32_t processId) {
  Call call;
  if (!call)
    return KernelHandle();
  const Process* p = call->FindProcess(processId);
  const bool ok =
      p != nullptr && p->running() && p->desc.canOpen && !OutOfReach(call->machine.system, p->desc);
  call->EmitHere(events::OpenProcess{.pid = processId, .ok = ok});
  if (!ok)
    return KernelHandle();
  HandleObject h;
  h.kind = HandleObject::Kind::kProcess;
  h.pid = processId;
  return KernelHandle(call->NewHandle(std::move(h)));
}

std::uint32_t CurrentProcessId() {
  return 0;  // the simulated program is not in its machine's process list
}

Bool TerminateProcessHandle(const KernelHandle& process, std::uint32_t exitCode) {
  Call call;
  if (!call)
    return 0;
  const HandleObject* h = HandleOf(call, process.raw(), HandleObject::Kind::kProcess);
  Process* p = h != nullptr ? call->FindProcess(h->pid) : nullptr;
  const bool ok = p != nullptr && p->running() && p->desc.canTerminate;
  call->EmitHere(events::TerminateProcess{
      .pid = h != nullptr ? std::optional<std::uint32_t>(h->pid) : std::nullopt,
      .name = p != nullptr ? std::optional<std::string>(p->desc.name) : std::nullopt,
      .exitCode = exitCode,
      .ok = ok});
  if (ok)
    call->EndProcess(p->desc.pid, ProcessEnd::kTerminated);
  return ok ? 1 : 0;
}

// ---- Process start and wait

namespace {

// Without an application name the system takes the command line's first word, quoted or not,
// as the program; returns what follows it.
std::u16string_view SplitProgram(std::u16string_view line, std::u16string& program) {
  std::size_t i = 0;
  while (i < line.size() && IsBlank(line[i]))
    ++i;
  std::size_t end = i;
  if (i < line.size() && line[i] == u'"') {
    end = line.find(u'"', i + 1);
    if (end == std::u16string_view::npos)
      end = line.size();
    program = line.substr(i + 1, end - i - 1);
    end = std::min(end + 1, line.size());
  } else {
    while (end < line.size() && !IsBlank(line[end]))
      ++end;
    program = line.substr(i, end - i);
  }
  return line.substr(end);
}

}  // namespace

Bool StartProcess(const WString* application, WString& commandLine, Bool, std::uint32_t flags,
                  StartedProcess& started) {
  Call call;
  if (!call)
    return 0;
  std::u16string program;
  std::u16string_view arguments = commandLine;
  if (application != nullptr)
    program = *application;
  else
    arguments = SplitProgram(arguments, program);

  std::string key = PathKey(U8(program));
  if (!call->IsFile(key) && BaseName(key).find('.') == std::string::npos)
    key += ".EXE";
  const File* file = call->IsFile(key) ? call->FindEntry(key) : nullptr;
  const std::string name = file != nullptr ? BaseName(file->desc.path) : "";
  bool ok = file != nullptr;
  for (const std::string& failing : Faults(call).processStartFails)
    ok = ok && !EqualNoCase(failing, name);

  events::ProcessCreate fields{.application = application != nullptr
                                                  ? std::optional<std::string>(U8(*application))
                                                  : std::nullopt,
                               .commandLine = U8(commandLine),
                               .flags = flags,
                               .ok = ok};
  if (!ok) {
    call->EmitHere(std::move(fields));
    return 0;
  }
  ProcessDesc desc;
  desc.pid = call->NewPid();
  desc.name = name;
  const std::uint32_t pid = call->AddProcess(desc, false).desc.pid;
  fields.pid = pid;
  call->EmitHere(std::move(fields));

  RunOutsideProgram(*call.sim, name, arguments, pid);

  HandleObject process;
  process.kind = HandleObject::Kind::kProcess;
  process.pid = pid;
  HandleObject thread = process;
  thread.kind = HandleObject::Kind::kThread;
  void* processRaw = call->NewHandle(std::move(process));
  void* threadRaw = call->NewHandle(std::move(thread));
  call.lock.unlock();  // the owners below may close what they held
  started.process = KernelHandle(processRaw);
  started.thread = KernelHandle(threadRaw);
  return 1;
}

std::uint32_t WaitForObject(const KernelHandle& object, std::uint32_t ms) {
  constexpr std::uint32_t kWaitObject0 = 0;
  constexpr std::uint32_t kWaitTimeout = 258;
  constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
  Call call;
  if (!call)
    return kWaitFailed;
  const HandleObject* h = call->FindHandle(object.raw());
  if (h == nullptr ||
      (h->kind != HandleObject::Kind::kProcess && h->kind != HandleObject::Kind::kThread)) {
    return kWaitFailed;
  }
  const std::uint32_t pid = h->pid;
  events::WaitProcess fields{.pid = pid};
  if (ms != kInfinite)
    fields.ms = ms;
  call->EmitHere(std::move(fields));
  const auto running = [&] {
    const Process* p = call->FindProcess(pid);
    return p != nullptr && p->running();
  };
  const std::uint64_t deadline = call->now + ms;
  while (running() && !call->ended && (ms == kInfinite || call->now < deadline)) {
    call.me->waitingPid = pid;
    call->Suspend(call.lock, *call.me,
                  ms == kInfinite ? std::nullopt : std::optional<std::uint64_t>(deadline));
    call.me->waitingPid = 0;
  }
  return running() ? kWaitTimeout : kWaitObject0;
}

void WaitOnCurrentThread() {
  Call call;
  if (!call)
    return;
  call->EmitHere(events::WaitSelf{});
  // A thread never becomes signalled while it waits on itself.
  while (!call->ended)
    call->Suspend(call.lock, *call.me, std::nullopt);
}

}  // namespace platform

// ---- The machine's processes, as the seams above and the outside programs change them.

namespace sim {

// A pid may come back after its process ended; the running one wins.
Process* MachineState::FindProcess(std::uint32_t pid) {
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

Process& MachineState::AddProcess(ProcessDesc desc, bool initial) {
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

std::uint32_t MachineState::NewPid() {
  maxPid_ = (maxPid_ / 4 + 1) * 4;
  return maxPid_;
}

void MachineState::EndProcess(std::uint32_t pid, ProcessEnd how) {
  Process* p = FindProcess(pid);
  if (p == nullptr || !p->running())
    return;
  p->end = how;
  for (Window& w : windows) {
    if (w.ownerPid == pid)
      w.alive = false;
  }
  if (how == ProcessEnd::kExited)
    scheduler_.Emit(kSystemThread, events::ProcessExit{.pid = pid, .name = p->desc.name});
  scheduler_.WakeWaiting(pid);
  // Helpers that live as long as their program.
  const std::string name = FoldUtf8(p->desc.name);
  for (const Process& q : processes) {
    if (q.running() && FoldUtf8(q.desc.name) == name)
      return;
  }
  std::vector<std::uint32_t> followers;
  for (const Process& q : processes) {
    if (q.running() && !q.desc.endsWith.empty() && FoldUtf8(q.desc.endsWith.str()) == name)
      followers.push_back(q.desc.pid);
  }
  for (const std::uint32_t follower : followers)
    EndProcess(follower, ProcessEnd::kExited);
}

void MachineState::RequestClose(Process& process) {
  if (process.desc.onClose.ignore || process.exitScheduled || !process.running())
    return;
  process.exitScheduled = true;
  const std::uint32_t pid = process.desc.pid;
  scheduler_.At(scheduler_.now + process.desc.onClose.exitAfterMs,
                [this, pid] { EndProcess(pid, ProcessEnd::kExited); });
}

}  // namespace sim
