// The platform layer on the simulated machine. Every call takes the run's lock for its own work
// only: the tool's code (thread routines, window callbacks, dialog procedures) always runs
// without it.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/process_global.h"
#include "platform/sim/outside_programs.h"
#include "platform/sim/resources.h"
#include "platform/sim/simulation.h"
#include "platform/sim/text.h"

namespace platform::sim::detail {

// A critical section as kept in the storage of platform::CriticalSection.
struct CsState {
  SimThread* owner = nullptr;
  std::int32_t recursion = 0;
  std::uint32_t id = 0;  // numbered per run, for the trace
};

}  // namespace platform::sim::detail

namespace platform {

namespace {

using namespace platform::sim::detail;
using nlohmann::json;

// The run, its lock and the calling simulated thread; empty outside a run.
struct Call {
  Simulation* sim = Active();
  SimThread* me = CurrentThread();
  std::unique_lock<std::mutex> lock;
  Call() {
    if (sim != nullptr)
      lock = std::unique_lock<std::mutex>(sim->mu);
  }
  explicit operator bool() const { return sim != nullptr && me != nullptr; }
  Simulation* operator->() const { return sim; }
};

std::string U8(std::u16string_view text) {
  return Utf16ToUtf8(text);
}

const FaultDesc& Faults(const Call& call) {
  return call.sim->machine.faults;
}

json MessageName(std::uint32_t message) {
  switch (message) {
    case kWmClose:
      return "WM_CLOSE";
    case kWmCommand:
      return "WM_COMMAND";
    case kWmTimer:
      return "WM_TIMER";
    case kWmInitDialog:
      return "WM_INITDIALOG";
    default:
      return message;
  }
}

bool IsSpace(char16_t c) {
  return c == u' ' || c == u'\t';
}

// Arguments split at blanks; a quoted part keeps its blanks and loses its quotes.
std::vector<std::u16string> SplitArguments(std::u16string_view text) {
  std::vector<std::u16string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSpace(text[i]))
      ++i;
    if (i >= text.size())
      break;
    std::u16string arg;
    bool quoted = false;
    for (; i < text.size() && (quoted || !IsSpace(text[i])); ++i) {
      if (text[i] == u'"')
        quoted = !quoted;
      else
        arg.push_back(text[i]);
    }
    out.push_back(std::move(arg));
  }
  return out;
}

bool IsSwitch(const std::u16string& arg, char16_t letter) {
  return arg.size() == 2 && (arg[0] == u'/' || arg[0] == u'-') && FoldUnit(arg[1]) == letter;
}

// The argument that follows the switch /letter (or -letter), if any.
std::optional<std::string> ArgumentAfterSwitch(std::u16string_view arguments, char16_t letter) {
  const std::vector<std::u16string> args = SplitArguments(arguments);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (IsSwitch(args[i], letter))
      return U8(args[i + 1]);
  }
  return std::nullopt;
}

bool IsMetaCharacter(char16_t c) {
  return std::u16string_view(u"&<>()@^|").find(c) != std::u16string_view::npos;
}

}  // namespace

std::u16string sim::detail::InterpreterScript(Simulation& sim, std::u16string text) {
  if (!text.empty() && text[0] == u'"') {
    const std::size_t quotes = static_cast<std::size_t>(std::count(text.begin(), text.end(), u'"'));
    const std::size_t second = text.find(u'"', 1);
    bool keep = false;
    if (quotes == 2) {
      const std::u16string_view inside = std::u16string_view(text).substr(1, second - 1);
      keep = std::none_of(inside.begin(), inside.end(), IsMetaCharacter) &&
             std::any_of(inside.begin(), inside.end(), IsSpace) && sim.IsFile(PathKey(U8(inside)));
    }
    if (!keep) {
      text.erase(0, 1);
      const std::size_t last = text.rfind(u'"');
      if (last != std::u16string::npos)
        text.erase(last, 1);
    }
  }
  if (!text.empty() && text[0] == u'"') {
    const std::size_t close = text.find(u'"', 1);
    return text.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
  }
  std::size_t end = 0;
  while (end < text.size() && !IsSpace(text[end]) && !IsMetaCharacter(text[end]))
    ++end;
  return text.substr(0, end);
}

namespace {

void RunInterpreter(Simulation& sim, std::u16string_view arguments, std::uint32_t pid) {
  std::size_t at = std::u16string_view::npos;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == u'/' && FoldUnit(arguments[i + 1]) == u'C' &&
        (i == 0 || IsSpace(arguments[i - 1]))) {
      at = i;
      break;
    }
  }
  if (at != std::u16string_view::npos) {
    std::size_t start = at + 2;
    while (start < arguments.size() && IsSpace(arguments[start]))
      ++start;
    const std::u16string script = InterpreterScript(sim, std::u16string(arguments.substr(start)));
    const std::string key = PathKey(U8(script));
    const bool runs = sim.IsFile(key);
    sim.Emit(kSystemThread, "script", {{"path", U8(script)}, {"runs", runs}});
    if (runs) {
      const std::vector<ProcessDesc> starts = sim.FindEntry(key)->starts;
      for (ProcessDesc desc : starts) {
        const Process* holder = desc.pid != 0 ? sim.FindProcess(desc.pid) : nullptr;
        if (desc.pid == 0 || (holder != nullptr && holder->running()))
          desc.pid = sim.NewPid();
        const Process& started = sim.AddProcess(desc, false);
        sim.Emit(kSystemThread, "process_start",
                 {{"pid", started.desc.pid}, {"name", started.desc.name}});
      }
    }
  }
  sim.At(sim.now + sim.machine.system.interpreterMs,
         [&sim, pid] { sim.EndProcess(pid, ProcessEnd::kExited); });
}

void RunInstaller(Simulation& sim, std::u16string_view arguments, std::uint32_t pid) {
  const std::optional<std::string> code = ArgumentAfterSwitch(arguments, u'X');
  sim.At(sim.now + sim.machine.system.installerMs, [&sim, pid, code] {
    if (code) {
      bool removed = false;
      for (Product& p : sim.products) {
        if (!p.removed && EqualNoCase(p.desc.code, *code) && p.desc.removalWorks) {
          p.removed = true;
          p.desc.state = kInstallStateUnknown;
          removed = true;
        }
      }
      sim.Emit(kSystemThread, "msi_uninstall", {{"code", *code}, {"removed", removed}});
    }
    sim.EndProcess(pid, ProcessEnd::kExited);
  });
}

}  // namespace

std::vector<sim::detail::RegSetting> sim::detail::ParseRegFile(const std::string& content) {
  std::vector<RegSetting> out;
  std::optional<std::string> section;
  std::size_t start = 0;
  while (start <= content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos)
      end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
      continue;
    line.erase(0, first);
    if (line.front() == '[' && line.back() == ']') {
      const std::string inner = line.substr(1, line.size() - 2);
      const std::string root = "HKEY_LOCAL_MACHINE\\";
      section.reset();
      if (inner.size() > root.size() && EqualNoCase(inner.substr(0, root.size()), root))
        section = inner.substr(root.size());
      continue;
    }
    if (!section)
      continue;
    std::string name;
    std::size_t i = 0;
    if (line[0] == '@') {
      i = 1;
    } else if (line[0] == '"') {
      for (i = 1; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size())
          ++i;
        name.push_back(line[i]);
      }
      if (i >= line.size())
        continue;
      ++i;
    } else {
      continue;
    }
    const std::string rest = line.substr(i);
    const std::string prefix = "=dword:";
    if (rest.size() <= prefix.size() || rest.size() > prefix.size() + 8 ||
        !EqualNoCase(rest.substr(0, prefix.size()), prefix)) {
      continue;
    }
    const std::string digits = rest.substr(prefix.size());
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      continue;
    out.push_back({*section, name, static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16))});
  }
  return out;
}

namespace {

void RunRegistryEditor(Simulation& sim, std::u16string_view arguments, std::uint32_t pid) {
  const std::optional<std::string> file = ArgumentAfterSwitch(arguments, u'S');
  sim.At(sim.now + sim.machine.system.registryEditorMs, [&sim, pid, file] {
    if (file) {
      const File* f = sim.FindEntry(PathKey(*file));
      if (f != nullptr && !f->directory && f->readable) {
        for (const RegSetting& s : ParseRegFile(f->content)) {
          sim.SetDword(s.key, s.name, s.value);
          sim.Emit(kSystemThread, "reg_import",
                   {{"key", s.key}, {"name", s.name}, {"value", s.value}});
        }
      } else {
        sim.Emit(kSystemThread, "reg_import_failed", {{"path", *file}});
      }
    }
    sim.EndProcess(pid, ProcessEnd::kExited);
  });
}

void CloseSimulated(RawHandle raw) {
  Simulation* sim = Active();
  if (sim == nullptr)
    return;
  std::lock_guard<std::mutex> lock(sim->mu);
  sim->CloseHandle(raw);
}

CsState& StateOf(CriticalSection& section) {
  static_assert(sizeof(CsState) <= 48);
  return *std::launder(reinterpret_cast<CsState*>(section.storage()));
}

HandleObject* HandleOf(Call& call, RawHandle raw, HandleObject::Kind kind) {
  HandleObject* h = call->FindHandle(raw);
  return h != nullptr && h->kind == kind ? h : nullptr;
}

}  // namespace

// ---- Handles

void KernelHandleTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}
void SnapshotTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}
void FindTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}
void RegKeyTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}
void CrtFileTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}
void LibraryTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

// ---- Strings and time

WString WidenAnsi(const char* text) {
  const std::string_view narrow = text != nullptr ? std::string_view(text) : std::string_view();
  Call call;
  if (call) {
    const auto& from = Faults(call).widenFailsFromCall;
    if (from && ++call->widenCalls >= *from) {
      call->EmitHere("widen_failed", {{"text", std::string(narrow)}});
      call.lock.unlock();
      throw std::bad_alloc();  // as the framework's string reports running out of memory
    }
  }
  return Widen1252(narrow);
}

void Pause(std::uint32_t ms) {
  Call call;
  if (!call)
    return;
  call->EmitHere("sleep", {{"ms", ms}});
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
  call->EmitHere("thread_start", {{"routine", name}, {"role", role}, {"ok", ok}});
  return ok;
}

CriticalSection::CriticalSection() {
  CsState& state = *::new (static_cast<void*>(storage_)) CsState();
  Call call;
  if (call.sim != nullptr)
    state.id = ++call->locksMade;
  if (call)
    call->EmitHere("lock_init", {{"lock", state.id}});
}

CriticalSection::~CriticalSection() {
  CsState& state = StateOf(*this);
  {
    Call call;
    if (call.sim != nullptr)
      call->lockWaiters.erase(&state);
    if (call)
      call->EmitHere("lock_delete", {{"lock", state.id}});
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
  call->EmitHere("lock_wait", {{"lock", state.id}, {"owner", state.owner->name}});
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

// ---- Environment and folders

std::optional<WString> ReadEnvironment(const WString& name) {
  Call call;
  if (!call)
    return std::nullopt;
  const std::string wanted = U8(name);
  for (const auto& [key, value] : call->machine.environment) {
    if (EqualNoCase(key, wanted)) {
      call->EmitHere("read_env", {{"name", wanted}, {"value", value}});
      return Utf8ToUtf16(value);
    }
  }
  call->EmitHere("read_env", {{"name", wanted}, {"value", nullptr}});
  return std::nullopt;
}

std::int32_t GetFolderPath(int csidl, std::uint32_t, char16_t (&path)[kMaxPath]) {
  Call call;
  if (!call)
    return static_cast<std::int32_t>(0x80004005u);
  std::int32_t result = 0;
  json fields = {{"csidl", csidl}};
  if (csidl != kCsidlWindows) {
    result = static_cast<std::int32_t>(0x80070057u);  // E_INVALIDARG
  } else if (Faults(call).windowsFolderUnavailable) {
    result = static_cast<std::int32_t>(0x80004005u);  // E_FAIL
  } else {
    const std::u16string folder = Utf8ToUtf16(call->machine.system.windowsFolder);
    const std::size_t n = std::min(folder.size(), kMaxPath - 1);
    std::copy_n(folder.begin(), n, path);
    path[n] = 0;
    fields["path"] = U8(folder.substr(0, n));
  }
  fields["hresult"] = result;
  call->EmitHere("get_folder", std::move(fields));
  return result;
}

// ---- Files

FindHandle FindFirst(const WString& path) {
  Call call;
  if (!call)
    return FindHandle();
  const bool found = call->Exists(PathKey(U8(path)));
  call->EmitHere("find_file", {{"path", U8(path)}, {"found", found}});
  if (!found)
    return FindHandle();
  HandleObject h;
  h.kind = HandleObject::Kind::kFind;
  return FindHandle(call->NewHandle(std::move(h)));
}

CrtFile OpenCrtFile(const WString& path, const char16_t* mode) {
  Call call;
  if (!call)
    return CrtFile();
  const std::string file = U8(path);
  const std::string how = mode != nullptr ? U8(mode) : "";
  const std::string key = PathKey(file);
  File* entry = call->FindEntry(key);
  const bool plus = how.find('+') != std::string::npos;
  bool ok = false;
  bool writable = false;
  if (!how.empty() && how[0] == 'r') {
    ok = entry != nullptr && !entry->directory && entry->readable && (!plus || entry->writable);
    writable = plus;
  } else if (!how.empty() && (how[0] == 'a' || how[0] == 'w')) {
    writable = true;
    if (entry != nullptr) {
      ok = !entry->directory && entry->writable && (!plus || entry->readable);
      if (ok && how[0] == 'w') {
        entry->content.clear();
        entry->appended.clear();
      }
    } else {
      const std::size_t slash = key.find_last_of('\\');
      if (slash != std::string::npos && call->IsDirectory(key.substr(0, slash))) {
        File created;
        created.path = file;
        created.key = key;
        created.created = true;
        call->files.push_back(std::move(created));
        ok = true;
      }
    }
  }
  call->EmitHere("open_file", {{"path", file}, {"mode", how}, {"ok", ok}});
  if (!ok)
    return CrtFile();
  HandleObject h;
  h.kind = HandleObject::Kind::kCrtFile;
  h.path = key;
  h.writable = writable;
  h.textMode = how.find('b') == std::string::npos;
  return CrtFile(call->NewHandle(std::move(h)));
}

int WriteCrtText(const CrtFile& file, const char* text) {
  Call call;
  if (!call || text == nullptr)
    return -1;
  const HandleObject* h = HandleOf(call, file.raw(), HandleObject::Kind::kCrtFile);
  File* entry = h != nullptr ? call->FindEntry(h->path) : nullptr;
  if (h == nullptr || !h->writable || entry == nullptr)
    return -1;
  std::string data;
  for (const char* c = text; *c != 0; ++c) {
    if (*c == '\n' && h->textMode)
      data.push_back('\r');
    data.push_back(*c);
  }
  entry->content += data;
  entry->appended += data;
  call->EmitHere("file_append", {{"path", entry->path}, {"data", data}});
  return 0;
}

// ---- Process list and termination

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
    call->EmitHere("snapshot", {{"ok", false}});
    return Snapshot();
  }
  HandleObject h;
  h.kind = HandleObject::Kind::kSnapshot;
  json names = json::array();
  if (flags & kSnapProcess) {
    for (const Process& p : call->processes) {
      if (p.running()) {
        h.entries.emplace_back(p.desc.pid, Utf8ToUtf16(p.desc.name));
        names.push_back(p.desc.name);
      }
    }
  }
  call->EmitHere("snapshot", {{"ok", true}, {"processes", names}});
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
  const bool ok = p != nullptr && p->running() && p->desc.canOpen;
  call->EmitHere("open_process", {{"pid", processId}, {"ok", ok}});
  if (!ok)
    return KernelHandle();
  HandleObject h;
  h.kind = HandleObject::Kind::kProcess;
  h.pid = processId;
  return KernelHandle(call->NewHandle(std::move(h)));
}

Bool TerminateProcessHandle(const KernelHandle& process, std::uint32_t exitCode) {
  Call call;
  if (!call)
    return 0;
  const HandleObject* h = HandleOf(call, process.raw(), HandleObject::Kind::kProcess);
  Process* p = h != nullptr ? call->FindProcess(h->pid) : nullptr;
  const bool ok = p != nullptr && p->running() && p->desc.canTerminate;
  call->EmitHere("terminate_process", {{"pid", h != nullptr ? json(h->pid) : json(nullptr)},
                                       {"name", p != nullptr ? json(p->desc.name) : json(nullptr)},
                                       {"exit_code", exitCode},
                                       {"ok", ok}});
  if (ok)
    call->EndProcess(p->desc.pid, ProcessEnd::kTerminated);
  return ok ? 1 : 0;
}

// ---- Process start and wait

Bool StartProcess(const WString* application, WString& commandLine, Bool, std::uint32_t flags,
                  StartedProcess& started) {
  Call call;
  if (!call)
    return 0;
  std::u16string program;
  std::u16string_view arguments = commandLine;
  if (application != nullptr) {
    program = *application;
  } else {
    std::size_t i = 0;
    while (i < arguments.size() && IsSpace(arguments[i]))
      ++i;
    std::size_t end = i;
    if (i < arguments.size() && arguments[i] == u'"') {
      end = arguments.find(u'"', i + 1);
      if (end == std::u16string_view::npos)
        end = arguments.size();
      program = arguments.substr(i + 1, end - i - 1);
      end = std::min(end + 1, arguments.size());
    } else {
      while (end < arguments.size() && !IsSpace(arguments[end]))
        ++end;
      program = arguments.substr(i, end - i);
    }
    arguments = arguments.substr(end);
  }

  std::string key = PathKey(U8(program));
  if (!call->IsFile(key) && BaseName(key).find('.') == std::string::npos)
    key += ".EXE";
  const File* file = call->IsFile(key) ? call->FindEntry(key) : nullptr;
  const std::string name = file != nullptr ? BaseName(file->path) : "";
  bool ok = file != nullptr;
  for (const std::string& failing : Faults(call).processStartFails)
    ok = ok && !EqualNoCase(failing, name);

  json fields = {{"application", application != nullptr ? json(U8(*application)) : json(nullptr)},
                 {"command_line", U8(commandLine)},
                 {"flags", flags},
                 {"ok", ok}};
  if (!ok) {
    call->EmitHere("create_process", std::move(fields));
    return 0;
  }
  ProcessDesc desc;
  desc.pid = call->NewPid();
  desc.name = name;
  const std::uint32_t pid = call->AddProcess(desc, false).desc.pid;
  fields["pid"] = pid;
  call->EmitHere("create_process", std::move(fields));

  const std::string folded = FoldUtf8(name);
  if (folded == "CMD.EXE")
    RunInterpreter(*call.sim, arguments, pid);
  else if (folded == "MSIEXEC.EXE")
    RunInstaller(*call.sim, arguments, pid);
  else if (folded == "REGEDIT.EXE")
    RunRegistryEditor(*call.sim, arguments, pid);

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
  json fields = {{"pid", pid}};
  if (ms != kInfinite)
    fields["ms"] = ms;
  call->EmitHere("wait_process", std::move(fields));
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
  call->EmitHere("wait_self", json::object());
  // A thread never becomes signalled while it waits on itself.
  while (!call->ended)
    call->Suspend(call.lock, *call.me, std::nullopt);
}

// ---- Windows and messages

Bool EnumTopLevelWindows(WindowEnumProc proc, std::intptr_t context) {
  std::vector<std::uintptr_t> list;
  {
    Call call;
    if (!call)
      return 0;
    // The tool's own windows are top-most and come first.
    for (const Window& w : call->windows) {
      if (w.alive && w.parent == 0 && w.ownerPid == 0)
        list.push_back(w.hwnd);
    }
    for (const Window& w : call->windows) {
      if (w.alive && w.parent == 0 && w.ownerPid != 0)
        list.push_back(w.hwnd);
    }
  }
  for (const std::uintptr_t hwnd : list) {
    if (proc(WindowRef{hwnd}, context) == 0)
      break;
  }
  return 1;
}

int ReadWindowText(WindowRef window, char16_t* buffer, int maxCount) {
  Call call;
  if (buffer == nullptr || maxCount <= 0)
    return 0;
  buffer[0] = 0;
  if (!call)
    return 0;
  const Window* w = call->FindWindow(window.value);
  if (w == nullptr || !w->alive || !w->titleReadable)
    return 0;
  const std::size_t n = std::min(w->title.size(), static_cast<std::size_t>(maxCount - 1));
  std::copy_n(w->title.begin(), n, buffer);
  buffer[n] = 0;
  return static_cast<int>(n);
}

Bool PostWindowMessage(WindowRef window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  Call call;
  if (!call)
    return 0;
  Window* w = call->FindWindow(window.value);
  const bool ok = w != nullptr && w->alive && w->acceptsPosts;
  call->EmitHere("post_message", {{"hwnd", window.value},
                                  {"title", w != nullptr ? json(U8(w->title)) : json(nullptr)},
                                  {"message", MessageName(message)},
                                  {"ok", ok}});
  if (!ok)
    return 0;
  if (w->ownerPid != 0) {
    if (message == kWmClose) {
      if (Process* p = call->FindProcess(w->ownerPid))
        call->RequestClose(*p);
    }
  } else if (Dialog* d = call->FindDialog(w->hwnd)) {
    d->queue.push_back({message, wParam, lParam});
    call->Wake(*d->owner);
  }
  return 1;
}

int ShowMessageBox(WindowRef, const WString& text, const WString& caption, std::uint32_t type) {
  constexpr int kIdOkResult = 1;
  Call call;
  if (!call)
    return 0;
  call->EmitHere("message_box", {{"caption", U8(caption)}, {"text", U8(text)}, {"style", type}});
  const auto& after = call->machine.user.closesUsageBoxAfterMs;
  const std::uint64_t closeAt = call->now + after.value_or(0);
  while (!call->ended && (!after || call->now < closeAt)) {
    call->Suspend(call.lock, *call.me,
                  after ? std::optional<std::uint64_t>(closeAt) : std::nullopt);
  }
  call->EmitHere("message_box_closed", {{"result", kIdOkResult}});
  return kIdOkResult;
}

// ---- Modal dialogs

std::intptr_t RunModalDialog(int templateId, WindowRef parent, DialogProcedure& procedure) {
  Call call;
  if (!call)
    return -1;
  const DialogTemplate* dialogTemplate = FindDialogTemplate(templateId);
  if (dialogTemplate == nullptr || Faults(call).statusWindowFails) {
    call->EmitHere("dialog_create", {{"template", templateId}, {"ok", false}});
    return -1;
  }
  Window frame;
  frame.rect = {dialogTemplate->x, dialogTemplate->y,
                dialogTemplate->x + DialogPixelWidth(*dialogTemplate),
                dialogTemplate->y + DialogPixelHeight(*dialogTemplate)};
  frame.topmost = (dialogTemplate->exStyle & 0x8) != 0;
  const std::uintptr_t hwnd = call->AddWindow(frame);
  auto dialog = std::make_unique<Dialog>();
  dialog->hwnd = hwnd;
  dialog->owner = call.me;
  for (const ControlTemplate& c : dialogTemplate->controls) {
    if (c.id == 1001 && Faults(call).statusControlMissing)
      continue;
    Window control;
    control.parent = hwnd;
    control.controlId = c.id;
    control.title =
        c.className == "static" && c.text.rfind('#', 0) == 0 ? u"" : Utf8ToUtf16(c.text);
    control.rect = {c.x * 6 / 4, c.y * 13 / 8, (c.x + c.cx) * 6 / 4, (c.y + c.cy) * 13 / 8};
    control.visible = true;
    call->AddWindow(std::move(control));
  }
  Dialog& d = *dialog;
  call->dialogs.push_back(std::move(dialog));
  call->EmitHere(
      "dialog_create",
      {{"template", templateId}, {"hwnd", hwnd}, {"parent", parent.value}, {"ok", true}});

  call.lock.unlock();
  procedure.HandleDialogMessage(WindowRef{hwnd}, kWmInitDialog, 0, 0);
  call.lock.lock();
  while (!d.ending && !call->ended) {
    if (!d.queue.empty()) {
      const DialogMessage m = d.queue.front();
      d.queue.pop_front();
      call.lock.unlock();
      const bool handled =
          procedure.HandleDialogMessage(WindowRef{hwnd}, m.message, m.wParam, m.lParam);
      call.lock.lock();
      // The dialog manager's default: a close is a Cancel.
      if (!handled && m.message == kWmClose)
        d.queue.push_back({kWmCommand, static_cast<std::uintptr_t>(kIdCancel), 0});
      continue;
    }
    Timer* due = nullptr;
    for (Timer& t : d.timers) {
      if (due == nullptr || t.nextAt < due->nextAt)
        due = &t;
    }
    if (due != nullptr && due->nextAt <= call->now) {
      const std::uintptr_t id = due->id;
      due->nextAt += due->periodMs;
      if (due->nextAt <= call->now)
        due->nextAt = call->now + due->periodMs;
      call.lock.unlock();
      procedure.HandleDialogMessage(WindowRef{hwnd}, kWmTimer, id, 0);
      call.lock.lock();
      continue;
    }
    call->Suspend(call.lock, *call.me,
                  due != nullptr ? std::optional<std::uint64_t>(due->nextAt) : std::nullopt);
  }
  d.closed = true;
  d.timers.clear();
  for (Window& w : call->windows) {
    if (w.hwnd == hwnd || w.parent == hwnd)
      w.alive = false;
  }
  call->EmitHere("dialog_end", {{"hwnd", hwnd}, {"result", d.result}});
  return d.result;
}

Bool EndModalDialog(WindowRef dialog, std::intptr_t result) {
  Call call;
  if (!call)
    return 0;
  Dialog* d = call->FindDialog(dialog.value);
  if (d == nullptr)
    return 0;
  d->ending = true;
  d->result = result;
  call->Wake(*d->owner);
  return 1;
}

std::uintptr_t StartTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) {
  constexpr std::uint32_t kMinimumMs = 10;
  Call call;
  if (!call)
    return 0;
  Dialog* d = call->FindDialog(window.value);
  if (d == nullptr || Faults(call).timerFails)
    return 0;
  const std::uint32_t period = std::max(ms, kMinimumMs);
  const auto same =
      std::find_if(d->timers.begin(), d->timers.end(), [&](const Timer& t) { return t.id == id; });
  if (same != d->timers.end())
    d->timers.erase(same);
  d->timers.push_back({id, period, call->now + period});
  return id != 0 ? id : 1;
}

Bool ReadWindowRect(WindowRef window, Rect& rect) {
  Call call;
  if (!call)
    return 0;
  const Window* w = call->FindWindow(window.value);
  if (w == nullptr || !w->alive)
    return 0;
  rect = w->rect;
  return 1;
}

Bool PlaceWindow(WindowRef window, WindowRef insertAfter, int x, int y, int cx, int cy,
                 std::uint32_t flags) {
  constexpr std::uint32_t kNoSize = 0x1, kNoMove = 0x2, kNoZOrder = 0x4, kHide = 0x80;
  constexpr std::uintptr_t kNoTopmost = ~std::uintptr_t{0} - 1;
  Call call;
  if (!call)
    return 0;
  Window* w = call->FindWindow(window.value);
  if (w == nullptr || !w->alive)
    return 0;
  if (!(flags & kNoMove)) {
    w->rect.right += x - w->rect.left;
    w->rect.bottom += y - w->rect.top;
    w->rect.left = x;
    w->rect.top = y;
  }
  if (!(flags & kNoSize)) {
    w->rect.right = w->rect.left + cx;
    w->rect.bottom = w->rect.top + cy;
  }
  if (!(flags & kNoZOrder)) {
    if (insertAfter == kHwndTopmost)
      w->topmost = true;
    else if (insertAfter.value == kNoTopmost)
      w->topmost = false;
  }
  if (flags & kSwpShowWindow)
    w->visible = true;
  if (flags & kHide)
    w->visible = false;
  if ((flags & kSwpShowWindow) && w->ownerPid == 0 && w->parent == 0) {
    call->EmitHere("status_window", {{"hwnd", w->hwnd},
                                     {"x", w->rect.left},
                                     {"y", w->rect.top},
                                     {"width", w->rect.right - w->rect.left},
                                     {"height", w->rect.bottom - w->rect.top},
                                     {"topmost", w->topmost}});
  }
  return 1;
}

WindowRef DialogItem(WindowRef dialog, int id) {
  Call call;
  if (!call)
    return {};
  for (const Window& w : call->windows) {
    if (w.alive && w.parent == dialog.value && dialog.value != 0 && w.controlId == id)
      return WindowRef{w.hwnd};
  }
  return {};
}

Bool WriteWindowText(WindowRef window, const WString& text) {
  Call call;
  if (!call)
    return 0;
  Window* w = call->FindWindow(window.value);
  if (w == nullptr || !w->alive)
    return 0;
  if (w->title != text) {
    w->title = text;
    if (w->ownerPid == 0)
      call->EmitHere("status_text", {{"hwnd", w->hwnd}, {"text", U8(text)}});
  }
  return 1;
}

std::intptr_t DefaultWindowProcedure(WindowRef, std::uint32_t, std::uintptr_t, std::intptr_t) {
  return 0;
}

// ---- Privilege and shutdown

namespace {
constexpr Luid kShutdownLuid{19, 0};
}

Bool OpenCurrentProcessToken(std::uint32_t access, KernelHandle& token) {
  Call call;
  if (!call)
    return 0;
  const bool ok = !Faults(call).tokenOpenFails;
  call->EmitHere("privilege", {{"step", "open_token"}, {"access", access}, {"ok", ok}});
  if (!ok)
    return 0;
  HandleObject h;
  h.kind = HandleObject::Kind::kToken;
  h.writable = (access & kTokenAdjustPrivileges) != 0;
  void* raw = call->NewHandle(std::move(h));
  call.lock.unlock();
  token = KernelHandle(raw);
  return 1;
}

Bool LookupPrivilege(const char16_t*, const WString& name, Luid& luid) {
  Call call;
  if (!call)
    return 0;
  const bool ok =
      !Faults(call).privilegeLookupFails && EqualNoCase(U8(name), "SeShutdownPrivilege");
  call->EmitHere("privilege", {{"step", "lookup"}, {"name", U8(name)}, {"ok", ok}});
  if (ok)
    luid = kShutdownLuid;
  return ok ? 1 : 0;
}

Bool AdjustPrivileges(const KernelHandle& token, Bool disableAll, const SinglePrivilege& newState) {
  Call call;
  if (!call)
    return 0;
  const HandleObject* h = HandleOf(call, token.raw(), HandleObject::Kind::kToken);
  const bool ok = h != nullptr && h->writable && !Faults(call).privilegeAdjustFails;
  if (ok) {
    if (disableAll)
      call->shutdownPrivilege = false;
    else if (newState.count >= 1 && newState.luid.lowPart == kShutdownLuid.lowPart &&
             newState.luid.highPart == kShutdownLuid.highPart)
      call->shutdownPrivilege = (newState.attributes & kSePrivilegeEnabled) != 0;
  }
  call->EmitHere("privilege", {{"step", "adjust"},
                               {"name", "SeShutdownPrivilege"},
                               {"ok", ok},
                               {"enabled", call->shutdownPrivilege}});
  return ok ? 1 : 0;
}

Bool RequestExitWindows(std::uint32_t flags, std::uint32_t reason) {
  Call call;
  if (!call)
    return 0;
  std::optional<sim::EndHow> how;
  bool accepts = false;
  if (flags & kEwxPowerOff) {
    how = sim::EndHow::kPowerOff;
    accepts = call->machine.system.acceptsPowerOff;
  } else if (flags & kEwxReboot) {
    how = sim::EndHow::kReboot;
    accepts = call->machine.system.acceptsReboot;
  }
  // As on Windows: without the shutdown privilege enabled the request is refused.
  const bool accepted = how && accepts && call->shutdownPrivilege;
  call->EmitHere("exit_windows", {{"flags", flags},
                                  {"reason", reason},
                                  {"kind", how ? json(sim::EndHowName(*how)) : json(nullptr)},
                                  {"accepted", accepted}});
  if (accepted && !call->shutdownPending)
    call->shutdownPending = how;
  return accepted ? 1 : 0;
}

// ---- Registry

std::int32_t OpenRegistryKey(RegistryRoot, const WString& subKey, std::uint32_t, std::uint32_t,
                             RegKey& key) {
  constexpr std::int32_t kErrorFileNotFound = 2;
  Call call;
  if (!call)
    return kErrorFileNotFound;
  const std::string path = U8(subKey);
  const std::int32_t status = call->KeyExists(path) ? kErrorSuccess : kErrorFileNotFound;
  call->EmitHere("reg_open", {{"key", path}, {"status", status}});
  if (status != kErrorSuccess)
    return status;
  HandleObject h;
  h.kind = HandleObject::Kind::kRegKey;
  h.path = path;
  void* raw = call->NewHandle(std::move(h));
  call.lock.unlock();
  key = RegKey(raw);
  return status;
}

std::int32_t QueryRegistryValue(const RegKey& key, const WString& name, void* data,
                                std::uint32_t* size) {
  constexpr std::int32_t kErrorFileNotFound = 2;
  constexpr std::int32_t kErrorInvalidHandle = 6;
  constexpr std::int32_t kErrorInvalidParameter = 87;
  constexpr std::int32_t kErrorMoreData = 234;
  Call call;
  if (!call)
    return kErrorInvalidHandle;
  const HandleObject* h = HandleOf(call, key.raw(), HandleObject::Kind::kRegKey);
  if (h == nullptr)
    return kErrorInvalidHandle;
  const std::string valueName = U8(name);
  const RegValueDesc* value = nullptr;
  if (const RegKeyDesc* k = call->FindKey(h->path)) {
    for (const RegValueDesc& v : k->values) {
      if (EqualNoCase(v.name, valueName))
        value = &v;
    }
  }
  std::int32_t status = kErrorFileNotFound;
  json shown = nullptr;
  if (value != nullptr) {
    const std::vector<std::uint8_t> bytes = RegBytes(*value);
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (size == nullptr) {
      status = data != nullptr ? kErrorInvalidParameter : kErrorSuccess;
    } else if (data != nullptr && length > *size) {
      *size = length;
      status = kErrorMoreData;
    } else {
      if (data != nullptr && length > 0)
        std::memcpy(data, bytes.data(), length);
      *size = length;
      status = kErrorSuccess;
    }
    if (status == kErrorSuccess)
      shown = RegDataJson(*value);
  }
  call->EmitHere("reg_query",
                 {{"key", h->path}, {"name", valueName}, {"status", status}, {"value", shown}});
  return status;
}

// ---- Installer

namespace {
// Stands for the bound entry point; the simulated installer answers through the machine.
int g_productStateEntry = 0;
}  // namespace

ProductStateQuery ProductStateQuery::Bind() {
  ProductStateQuery query;
  Call call;
  if (!call)
    return query;
  const bool ok = !Faults(call).msiUnavailable;
  call->EmitHere("msi_bind", {{"ok", ok}});
  if (!ok)
    return query;
  HandleObject h;
  h.kind = HandleObject::Kind::kLibrary;
  void* raw = call->NewHandle(std::move(h));
  call.lock.unlock();
  query.library_ = Library(raw);
  query.entry_ = &g_productStateEntry;
  return query;
}

std::int32_t ProductStateQuery::operator()(const WString& productCode) const {
  if (!bound())
    return kInstallStateUnknown;
  Call call;
  if (!call)
    return kInstallStateUnknown;
  const std::string code = U8(productCode);
  std::int32_t state = kInstallStateUnknown;
  for (const Product& p : call->products) {
    if (!p.removed && EqualNoCase(p.desc.code, code))
      state = p.desc.state;
  }
  call->EmitHere("msi_query", {{"code", code}, {"state", state}});
  return state;
}

// ---- Command line

std::vector<WString> CommandLineArguments() {
  Call call;
  if (call.sim == nullptr)
    return {};
  return call->args;
}

}  // namespace platform
