// The state of one simulated run: the machine as it changes, the tool's threads on the virtual
// clock, and the events recorded. Internal to the simulated platform layer.
#pragma once

#include <atomic>
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

#include <nlohmann/json.hpp>

#include "machine_file/machine.h"
#include "machine_file/machine_model.h"
#include "platform/platform.h"
#include "sim_engine/run_result.h"

namespace sim_engine {

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

enum class ProcessEnd { kRunning, kExited, kTerminated, kShutdown };

struct Process {
  ProcessDesc desc;
  bool initial = false;
  ProcessEnd end = ProcessEnd::kRunning;
  bool exitScheduled = false;
  bool running() const { return end == ProcessEnd::kRunning; }
};

struct Window {
  std::uintptr_t hwnd = 0;
  std::u16string title;
  std::uint32_t ownerPid = 0;  // 0: the tool's own
  std::uintptr_t parent = 0;   // a child control's dialog
  int controlId = 0;
  bool alive = true;
  bool titleReadable = true;
  bool acceptsPosts = true;
  Rect rect;
  bool visible = false;
  bool topmost = false;
};

struct File {
  FileDesc desc;
  std::string key;       // of desc.path
  bool created = false;  // by the run
  std::string appended;  // by the run
};

struct DialogMessage {
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

struct Timer {
  std::uintptr_t id;
  std::uint32_t periodMs;
  std::uint64_t nextAt;
};

struct Dialog {
  std::uintptr_t hwnd = 0;
  std::uintptr_t control = 0;
  SimThread* owner = nullptr;
  std::vector<Timer> timers;
  std::deque<DialogMessage> queue;
  bool ending = false;
  bool closed = false;
  std::intptr_t result = 0;
};

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

struct Product {
  ProductDesc desc;
  bool removed = false;
};

class RunState {
 public:
  RunState(MachineModel machine, std::vector<std::u16string> args);
  ~RunState();
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;

  // ---- Run control, called by the run's owner (not a simulated thread).
  // Runs `mainBody` as the main thread until every thread of the run is gone.
  void Execute(std::function<int()> mainBody);
  // Lets the machine finish what it was doing when the process ended (nothing is recorded).
  void Settle();
  RunResult Result();
  std::exception_ptr failure() const { return failure_; }

  // ---- Scheduling; every member below expects `mu` to be held.
  std::mutex mu;
  std::uint64_t now = 0;
  bool ended = false;

  SimThread* AddThread(std::string name, std::string routine, std::function<unsigned()> body);
  // Hands the turn over until woken or `wakeAt`; throws ProcessEnded once the run has ended.
  void Suspend(std::unique_lock<std::mutex>& lock, SimThread& me,
               std::optional<std::uint64_t> wakeAt);
  void Wake(SimThread& thread);
  void At(std::uint64_t time, std::function<void()> action);
  void EndRun(EndHow how, int code, const std::string& thread, const char* reason = nullptr);

  void Emit(const std::string& thread, const char* event, nlohmann::json fields);
  void EmitHere(const char* event, nlohmann::json fields);

  // ---- The machine.
  MachineModel machine;  // what does not change; its other sections are moved below
  std::vector<std::u16string> args;
  std::deque<Process> processes;
  std::deque<Window> windows;
  std::deque<File> files;
  std::vector<RegKeyDesc> registry;
  std::vector<RegKeyDesc> initialRegistry;
  std::vector<Product> products;
  std::vector<std::unique_ptr<Dialog>> dialogs;
  std::map<std::uintptr_t, HandleObject> handles;
  std::map<const void*, std::deque<SimThread*>> lockWaiters;  // by lock
  std::uint64_t snapshotsTaken = 0;
  std::uint64_t widenCalls = 0;
  std::uint32_t locksMade = 0;
  bool shutdownPrivilege = false;  // enabled
  std::string standardStreams[2];  // output, error
  std::optional<EndHow> shutdownPending;

  Process* FindProcess(std::uint32_t pid);
  Window* FindWindow(std::uintptr_t hwnd);  // a window that still exists
  Dialog* FindDialog(std::uintptr_t hwnd);
  HandleObject* FindHandle(void* raw);
  void* NewHandle(HandleObject object);
  void CloseHandle(void* raw);

  std::uintptr_t AddWindow(Window window);
  Process& AddProcess(ProcessDesc desc, bool initial);
  std::uint32_t NewPid();
  // Ends a running process; `exited` records it as ending by itself.
  void EndProcess(std::uint32_t pid, ProcessEnd how);
  void RequestClose(Process& process);

  File* FindEntry(const std::string& key);
  bool IsDirectory(const std::string& key);
  bool IsFile(const std::string& key);
  bool Exists(const std::string& key) { return IsFile(key) || IsDirectory(key); }

  RegKeyDesc* FindKey(const std::string& key);
  bool KeyExists(const std::string& key);
  void SetDword(const std::string& key, const std::string& name, std::uint32_t value);

 private:
  void ThreadMain(SimThread* me, const std::function<unsigned()>& body);
  void Finish(std::unique_lock<std::mutex>& lock, SimThread& me, unsigned code);
  void ScheduleNext(SimThread* caller);
  MachineModel CurrentMachine() const;
  std::vector<std::string> Changes() const;

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
  std::uintptr_t nextHandle_ = 4;
  std::uint32_t maxPid_ = 0;
  std::exception_ptr failure_;
};

// The run in progress, or null outside a run.
RunState* Active();
// The simulated thread that calls, or null on any other thread.
SimThread* CurrentThread();

}  // namespace sim_engine
