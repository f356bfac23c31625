#include "sim/machine_state.h"

#include <algorithm>

#include "platform/text/text.h"
#include "sim/events.h"

namespace sim {

using namespace platform::text;

namespace {

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

// ---- The machine

MachineState::MachineState(Scheduler& scheduler, MachineModel m)
    : machine(std::move(m)), scheduler_(scheduler) {
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
}

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

Window* MachineState::FindWindow(std::uintptr_t hwnd) {
  if (hwnd == 0 || hwnd > windows.size() || !windows[hwnd - 1].alive)
    return nullptr;
  return &windows[hwnd - 1];
}

Dialog* MachineState::FindDialog(std::uintptr_t hwnd) {
  for (auto& d : dialogs) {
    if (d->hwnd == hwnd && !d->closed)
      return d.get();
  }
  return nullptr;
}

HandleObject* MachineState::FindHandle(void* raw) {
  const auto it = handles.find(reinterpret_cast<std::uintptr_t>(raw));
  return it == handles.end() ? nullptr : &it->second;
}

void* MachineState::NewHandle(HandleObject object) {
  const std::uintptr_t id = nextHandle_;
  nextHandle_ += 4;
  handles.emplace(id, std::move(object));
  return reinterpret_cast<void*>(id);
}

void MachineState::CloseHandle(void* raw) {
  handles.erase(reinterpret_cast<std::uintptr_t>(raw));
}

std::uintptr_t MachineState::AddWindow(Window window) {
  window.hwnd = windows.size() + 1;
  windows.push_back(std::move(window));
  return windows.back().hwnd;
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

void MachineState::RunEnded(EndHow how) {
  for (Window& w : windows) {
    if (w.ownerPid == 0)
      w.alive = false;
  }
  for (auto& d : dialogs)
    d->closed = true;
  if (how == EndHow::kPowerOff || how == EndHow::kReboot) {
    // The system goes down with everything that runs on it.
    for (Process& p : processes) {
      if (p.running())
        p.end = ProcessEnd::kShutdown;
    }
    for (Window& w : windows)
      w.alive = false;
  }
}

File* MachineState::FindEntry(const std::string& key) {
  for (File& f : files) {
    if (f.key == key)
      return &f;
  }
  return nullptr;
}

bool MachineState::IsDirectory(const std::string& key) {
  if (key.size() == 2 && key[1] == ':')
    return true;  // a drive's root
  if (const File* f = FindEntry(key))
    return f->desc.directory;
  const std::string prefix = key + "\\";
  for (const File& f : files) {
    if (f.key.compare(0, prefix.size(), prefix) == 0)
      return true;
  }
  return false;
}

bool MachineState::IsFile(const std::string& key) {
  const File* f = FindEntry(key);
  return f != nullptr && !f->desc.directory;
}

RegKeyDesc* MachineState::FindKey(const std::string& key) {
  const std::string folded = FoldUtf8(key);
  for (RegKeyDesc& k : registry) {
    if (FoldUtf8(k.key) == folded)
      return &k;
  }
  return nullptr;
}

bool MachineState::KeyExists(const std::string& key) {
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

void MachineState::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
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

MachineModel MachineState::CurrentMachine() const {
  MachineModel m = machine;
  m.files.clear();
  for (const File& f : files)
    m.files.push_back(f.desc);
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

std::vector<std::string> MachineState::Changes(EndHow how) const {
  std::vector<std::string> changes;
  const char* byShutdown =
      how == EndHow::kReboot ? "ended by the reboot" : "ended by the power-off";
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
    std::string line = f.desc.path + ":";
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

}  // namespace sim
