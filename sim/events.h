// The events a run records: each kind's name as the trace spells it and its fields, declared once
// here, so that the seams that record an event and the readers that tell what happened cannot
// drift apart. Each kind lists its fields with the keys the trace gives them (`Fields`); the trace
// itself is written from these at its edge (FieldsJson, sim/run_result.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "machine_file/machine_model.h"
#include "platform/platform.h"

namespace sim {

enum class EndHow { kExit, kPowerOff, kReboot, kStuck };

const char* EndHowName(EndHow how);  // "exit", "power-off", "reboot", "stuck"

namespace events {

// A field that may have no value: the trace writes an empty std::optional as null and leaves an
// empty IfSet out.
template <typename T>
struct IfSet : std::optional<T> {
  using std::optional<T>::optional;
  template <typename U>
  requires(!std::is_base_of_v<std::optional<T>, std::remove_cvref_t<U>>) IfSet& operator=(
      U&& value) {
    std::optional<T>::operator=(std::forward<U>(value));
    return *this;
  }
};

// Each kind: `kName`, its fields, and `Fields(event, visit)`, which hands each field to `visit`
// with its key, in any order (the trace sorts the keys).
#define SIM_FIELDS(...)                        \
  template <typename Self, typename Visit>     \
  static void Fields(Self& e, Visit&& visit) { \
    __VA_ARGS__;                               \
  }

// ---- Threads, locks and the run itself.
struct Sleep {
  static constexpr char kName[] = "sleep";
  std::uint32_t ms = 0;
  SIM_FIELDS(visit("ms", e.ms))
};
struct ThreadStart {
  static constexpr char kName[] = "thread_start";
  std::string routine{}, role{};
  bool ok = false;
  SIM_FIELDS(visit("routine", e.routine); visit("role", e.role); visit("ok", e.ok))
};
struct ThreadEnd {
  static constexpr char kName[] = "thread_end";
  std::string routine{};
  std::uint32_t code = 0;
  SIM_FIELDS(visit("routine", e.routine); visit("code", e.code))
};
struct LockInit {
  static constexpr char kName[] = "lock_init";
  std::uint32_t lock = 0;
  SIM_FIELDS(visit("lock", e.lock))
};
struct LockDelete {
  static constexpr char kName[] = "lock_delete";
  std::uint32_t lock = 0;
  SIM_FIELDS(visit("lock", e.lock))
};
struct LockWait {
  static constexpr char kName[] = "lock_wait";
  std::uint32_t lock = 0;
  std::string owner{};  // the thread that holds it
  SIM_FIELDS(visit("lock", e.lock); visit("owner", e.owner))
};
struct WidenFailed {
  static constexpr char kName[] = "widen_failed";
  std::string text{};
  SIM_FIELDS(visit("text", e.text))
};
struct End {
  static constexpr char kName[] = "end";
  EndHow how = EndHow::kExit;
  IfSet<int> code{};  // for kExit
  IfSet<std::string> reason{};
  SIM_FIELDS(visit("how", e.how); visit("code", e.code); visit("reason", e.reason))
};

// ---- Message boxes, dialogs and windows.
struct MessageBoxShown {
  static constexpr char kName[] = "message_box";
  std::string caption{}, text{};
  std::uint32_t style = 0;
  SIM_FIELDS(visit("caption", e.caption); visit("text", e.text); visit("style", e.style))
};
struct MessageBoxClosed {
  static constexpr char kName[] = "message_box_closed";
  int result = 0;
  SIM_FIELDS(visit("result", e.result))
};
struct DialogCreate {
  static constexpr char kName[] = "dialog_create";
  int templateId = 0;
  IfSet<std::uintptr_t> hwnd{}, parent{};  // when created
  bool ok = false;
  SIM_FIELDS(visit("template", e.templateId); visit("hwnd", e.hwnd); visit("parent", e.parent);
             visit("ok", e.ok))
};
struct DialogEnd {
  static constexpr char kName[] = "dialog_end";
  std::uintptr_t hwnd = 0;
  std::intptr_t result = 0;
  SIM_FIELDS(visit("hwnd", e.hwnd); visit("result", e.result))
};
struct StatusWindow {
  static constexpr char kName[] = "status_window";
  std::uintptr_t hwnd = 0;
  std::int32_t x = 0, y = 0, width = 0, height = 0;
  bool topmost = false;
  std::string text{};
  SIM_FIELDS(visit("hwnd", e.hwnd); visit("x", e.x); visit("y", e.y); visit("width", e.width);
             visit("height", e.height); visit("topmost", e.topmost); visit("text", e.text))
};
struct StatusText {
  static constexpr char kName[] = "status_text";
  std::uintptr_t hwnd = 0;
  std::string text{};
  SIM_FIELDS(visit("hwnd", e.hwnd); visit("text", e.text))
};
struct KeyPress {
  static constexpr char kName[] = "key_press";
  std::string key{};
  std::optional<std::uintptr_t> hwnd{};  // none: no status window took it
  SIM_FIELDS(visit("key", e.key); visit("hwnd", e.hwnd))
};
// A window message the trace names; others are written as their number.
struct Message {
  std::uint32_t number = 0;
};
struct MessagePosted {
  static constexpr char kName[] = "post_message";
  std::uintptr_t hwnd = 0;
  std::optional<std::string> title{};  // none: no such window
  std::optional<std::uint32_t> pid{};  // the window owner's
  Message message{};
  bool ok = false;
  SIM_FIELDS(visit("hwnd", e.hwnd); visit("title", e.title); visit("pid", e.pid);
             visit("message", e.message); visit("ok", e.ok))
};

// ---- Processes.
struct Snapshot {
  static constexpr char kName[] = "snapshot";
  bool ok = false;
  IfSet<std::vector<std::string>> processes{};  // the names listed, when taken
  SIM_FIELDS(visit("ok", e.ok); visit("processes", e.processes))
};
struct OpenProcess {
  static constexpr char kName[] = "open_process";
  std::uint32_t pid = 0;
  bool ok = false;
  SIM_FIELDS(visit("pid", e.pid); visit("ok", e.ok))
};
struct TerminateProcess {
  static constexpr char kName[] = "terminate_process";
  std::optional<std::uint32_t> pid{};  // none: not a process handle
  std::optional<std::string> name{};   // none: no such process
  std::uint32_t exitCode = 0;
  bool ok = false;
  SIM_FIELDS(visit("pid", e.pid); visit("name", e.name); visit("exit_code", e.exitCode);
             visit("ok", e.ok))
};
struct ProcessCreate {
  static constexpr char kName[] = "create_process";
  std::optional<std::string> application{};
  std::string commandLine{};
  std::uint32_t flags = 0;
  bool ok = false;
  IfSet<std::uint32_t> pid{};  // when started
  SIM_FIELDS(visit("application", e.application); visit("command_line", e.commandLine);
             visit("flags", e.flags); visit("ok", e.ok); visit("pid", e.pid))
};
struct WaitProcess {
  static constexpr char kName[] = "wait_process";
  std::uint32_t pid = 0;
  IfSet<std::uint32_t> ms{};  // none: without end
  SIM_FIELDS(visit("pid", e.pid); visit("ms", e.ms))
};
struct WaitSelf {
  static constexpr char kName[] = "wait_self";
  SIM_FIELDS((void)e, (void)visit)
};
struct ProcessStart {
  static constexpr char kName[] = "process_start";
  std::uint32_t pid = 0;
  std::string name{};
  SIM_FIELDS(visit("pid", e.pid); visit("name", e.name))
};
struct ProcessExit {
  static constexpr char kName[] = "process_exit";
  std::uint32_t pid = 0;
  std::string name{};
  SIM_FIELDS(visit("pid", e.pid); visit("name", e.name))
};
struct Script {
  static constexpr char kName[] = "script";
  std::string path{};
  bool runs = false;
  std::string command{};
  IfSet<bool> builtin{};  // set (true) for the interpreter's own commands
  SIM_FIELDS(visit("path", e.path); visit("runs", e.runs); visit("command", e.command);
             visit("builtin", e.builtin))
};

// ---- Environment, files, installer, registry, folders, privilege and shutdown.
struct ReadEnv {
  static constexpr char kName[] = "read_env";
  std::string name{};
  std::optional<std::string> value{};  // none: not set
  SIM_FIELDS(visit("name", e.name); visit("value", e.value))
};
struct FindFile {
  static constexpr char kName[] = "find_file";
  std::string path{};
  bool found = false;
  SIM_FIELDS(visit("path", e.path); visit("found", e.found))
};
struct OpenFile {
  static constexpr char kName[] = "open_file";
  std::string path{}, mode{};
  bool ok = false;
  SIM_FIELDS(visit("path", e.path); visit("mode", e.mode); visit("ok", e.ok))
};
struct FileAppend {
  static constexpr char kName[] = "file_append";
  std::string path{}, data{};
  SIM_FIELDS(visit("path", e.path); visit("data", e.data))
};
struct Protection {
  static constexpr char kName[] = "protection";
  std::string path{};
  bool isProtected = false;
  SIM_FIELDS(visit("path", e.path); visit("protected", e.isProtected))
};
struct GetFolder {
  static constexpr char kName[] = "get_folder";
  int csidl = 0;
  IfSet<std::string> path{};  // when found
  std::int32_t hresult = 0;
  SIM_FIELDS(visit("csidl", e.csidl); visit("path", e.path); visit("hresult", e.hresult))
};
struct MsiBind {
  static constexpr char kName[] = "msi_bind";
  bool ok = false;
  SIM_FIELDS(visit("ok", e.ok))
};
struct MsiQuery {
  static constexpr char kName[] = "msi_query";
  std::string code{};
  std::int32_t state = 0;
  SIM_FIELDS(visit("code", e.code); visit("state", e.state))
};
struct MsiUninstall {
  static constexpr char kName[] = "msi_uninstall";
  std::string code{};
  bool removed = false;
  IfSet<int> exitCode{};  // when the installer refused
  SIM_FIELDS(visit("code", e.code); visit("removed", e.removed); visit("exit_code", e.exitCode))
};
struct RegOpen {
  static constexpr char kName[] = "reg_open";
  std::string key{};
  std::int32_t status = 0;
  SIM_FIELDS(visit("key", e.key); visit("status", e.status))
};
struct RegQuery {
  static constexpr char kName[] = "reg_query";
  std::string key{}, name{};
  std::int32_t status = 0;
  std::optional<machine_file::RegValueDesc> value{};  // when read
  SIM_FIELDS(visit("key", e.key); visit("name", e.name); visit("status", e.status);
             visit("value", e.value))
};
struct RegImport {
  static constexpr char kName[] = "reg_import";
  std::string key{}, name{};
  std::uint32_t value = 0;
  IfSet<bool> ok{};  // set (false) when denied
  SIM_FIELDS(visit("key", e.key); visit("name", e.name); visit("value", e.value); visit("ok", e.ok))
};
struct RegImportFailed {
  static constexpr char kName[] = "reg_import_failed";
  std::string path{};
  SIM_FIELDS(visit("path", e.path))
};
// Each step sets the fields it has: open_token (access, ok), lookup (name, ok), adjust (name, ok,
// enabled), read (held), administrators (ok, member).
struct Privilege {
  static constexpr char kName[] = "privilege";
  std::string step{};
  IfSet<std::uint32_t> access{};
  IfSet<std::string> name{};
  IfSet<bool> ok{}, enabled{}, member{};
  IfSet<std::size_t> held{};
  SIM_FIELDS(visit("step", e.step); visit("access", e.access); visit("name", e.name);
             visit("ok", e.ok); visit("enabled", e.enabled); visit("member", e.member);
             visit("held", e.held))
};
struct ExitRequest {
  static constexpr char kName[] = "exit_windows";
  std::uint32_t flags = 0, reason = 0;
  std::optional<EndHow> kind{};  // none: neither a power-off nor a reboot
  bool accepted = false;
  SIM_FIELDS(visit("flags", e.flags); visit("reason", e.reason); visit("kind", e.kind);
             visit("accepted", e.accepted))
};

#undef SIM_FIELDS

using Any = std::variant<Sleep, ThreadStart, ThreadEnd, LockInit, LockDelete, LockWait, WidenFailed,
                         End, MessageBoxShown, MessageBoxClosed, DialogCreate, DialogEnd,
                         StatusWindow, StatusText, KeyPress, MessagePosted, Snapshot, OpenProcess,
                         TerminateProcess, ProcessCreate, WaitProcess, WaitSelf, ProcessStart,
                         ProcessExit, Script, ReadEnv, FindFile, OpenFile, FileAppend, Protection,
                         GetFolder, MsiBind, MsiQuery, MsiUninstall, RegOpen, RegQuery, RegImport,
                         RegImportFailed, Privilege, ExitRequest>;

inline const char* NameOf(const Any& fields) {
  return std::visit([](const auto& e) -> const char* { return e.kName; }, fields);
}

// The name the trace gives a window message, or null: written as its number.
inline const char* MessageName(Message message) {
  switch (message.number) {
    case platform::kWmClose:
      return "WM_CLOSE";
    case platform::kWmCommand:
      return "WM_COMMAND";
    case platform::kWmTimer:
      return "WM_TIMER";
    case platform::kWmInitDialog:
      return "WM_INITDIALOG";
    default:
      return nullptr;
  }
}

// Written by fenwrack-sim after "end", not by the engine.
inline constexpr char kVerdict[] = "verdict";

// What happens at one moment to several windows, processes or products (the close requests of a
// pass, the programs a script starts, the installer's queries) reads as one line, one mark.
constexpr bool SharesLine(std::string_view event) {
  return event == MessagePosted::kName || event == ProcessExit::kName ||
         event == ProcessStart::kName || event == MsiQuery::kName;
}

}  // namespace events

}  // namespace sim
