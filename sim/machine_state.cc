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
  files = FilesOf(std::move(machine.files));
  for (ProductDesc& p : machine.products)
    products.push_back({std::move(p), false});
  initialRegistry = machine.registry;
  registry = std::move(machine.registry);
  machine.processes.clear();
  machine.files.clear();
  machine.products.clear();
  machine.registry.clear();
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
