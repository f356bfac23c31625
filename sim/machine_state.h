// The simulated machine as a run changes it: processes, windows, dialogs, handles, files,
// registry and products, and what the run leaves behind.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "machine_file/machine_model.h"
#include "platform/platform.h"
#include "sim/dialogs.h"
#include "sim/files.h"
#include "sim/installer.h"
#include "sim/processes.h"
#include "sim/run_result.h"
#include "sim/scheduler.h"
#include "sim/windows.h"

namespace sim {

// The machine file's model is what the engine starts from and gives back.
using machine_file::FaultDesc;
using machine_file::FileDesc;
using machine_file::MachineModel;
using machine_file::ProcessDesc;
using machine_file::ProductDesc;
using machine_file::RegKeyDesc;
using machine_file::RegType;
using machine_file::RegValueDesc;
using machine_file::WindowDesc;
using platform::Rect;

struct HandleObject {
  enum class Kind { kProcess, kThread, kToken, kSnapshot, kFind, kRegKey, kCrtFile, kLibrary };
  Kind kind = Kind::kProcess;
  std::uint32_t pid = 0;
  std::vector<std::pair<std::uint32_t, std::u16string>> entries;  // snapshot
  std::size_t cursor = 0;
  std::string path;  // registry key as opened, or file path key
  bool writable = false;
  bool textMode = true;
};

class MachineState {
 public:
  // A process that ends wakes the threads waiting for it, and a closing one ends later: both go
  // through the run's `scheduler`.
  MachineState(Scheduler& scheduler, MachineModel machine);
  MachineState(const MachineState&) = delete;
  MachineState& operator=(const MachineState&) = delete;

  // ---- Every member below expects the run's lock to be held.
  MachineModel machine;  // what does not change; its other sections are moved below
  std::deque<Process> processes;
  std::deque<Window> windows;
  Files files;
  std::vector<RegKeyDesc> registry;
  std::vector<RegKeyDesc> initialRegistry;
  std::vector<Product> products;
  std::vector<std::unique_ptr<Dialog>> dialogs;
  std::map<std::uintptr_t, HandleObject> handles;
  std::uint64_t snapshotsTaken = 0;
  std::uint64_t widenCalls = 0;
  bool shutdownPrivilege = false;  // enabled
  std::string standardStreams[2];  // output, error

  Process* FindProcess(std::uint32_t pid);
  Window* FindWindow(std::uintptr_t hwnd);  // a window that still exists
  Dialog* FindDialog(std::uintptr_t hwnd);
  HandleObject* FindHandle(void* raw);
  void* NewHandle(HandleObject object);
  void CloseHandle(void* raw);

  std::uintptr_t AddWindow(Window window);
  Process& AddProcess(ProcessDesc desc, bool initial);
  std::uint32_t NewPid();
  // Ends a running process. Only an end by itself (`how` kExited) is recorded as an exit; any
  // end takes along the helpers that live only as long as their program.
  void EndProcess(std::uint32_t pid, ProcessEnd how);
  void RequestClose(Process& process);

  File* FindEntry(const std::string& key);
  bool IsDirectory(const std::string& key) const { return sim::IsDirectory(files, key); }
  bool IsFile(const std::string& key) const { return sim::IsFile(files, key); }
  bool Exists(const std::string& key) const { return sim::Exists(files, key); }

  RegKeyDesc* FindKey(const std::string& key);
  bool KeyExists(const std::string& key);
  void SetDword(const std::string& key, const std::string& name, std::uint32_t value);

  // The process's windows and dialogs go with it; a power-off or reboot takes everything.
  void RunEnded(EndHow how);

 protected:
  MachineModel CurrentMachine() const;
  // `how` the run ended tells what a shutdown ended.
  std::vector<std::string> Changes(EndHow how) const;

 private:
  Scheduler& scheduler_;
  std::uintptr_t nextHandle_ = 4;
  std::uint32_t maxPid_ = 0;
};

}  // namespace sim
