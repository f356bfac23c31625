// The names of the events a run records, as the trace spells them. Each is written once here so
// that the seams that record an event and the readers that tell what happened cannot drift apart.
#pragma once

#include <string_view>

namespace sim::events {

// Threads, locks and the run itself.
inline constexpr char kSleep[] = "sleep";
inline constexpr char kThreadStart[] = "thread_start";
inline constexpr char kThreadEnd[] = "thread_end";
inline constexpr char kLockInit[] = "lock_init";
inline constexpr char kLockDelete[] = "lock_delete";
inline constexpr char kLockWait[] = "lock_wait";
inline constexpr char kWidenFailed[] = "widen_failed";
inline constexpr char kEnd[] = "end";
// Written by fenwrack-sim after "end", not by the engine.
inline constexpr char kVerdict[] = "verdict";

// Message boxes, dialogs and windows.
inline constexpr char kMessageBox[] = "message_box";
inline constexpr char kMessageBoxClosed[] = "message_box_closed";
inline constexpr char kDialogCreate[] = "dialog_create";
inline constexpr char kDialogEnd[] = "dialog_end";
inline constexpr char kStatusWindow[] = "status_window";
inline constexpr char kStatusText[] = "status_text";
inline constexpr char kKeyPress[] = "key_press";
inline constexpr char kPostMessage[] = "post_message";

// Processes.
inline constexpr char kSnapshot[] = "snapshot";
inline constexpr char kOpenProcess[] = "open_process";
inline constexpr char kTerminateProcess[] = "terminate_process";
inline constexpr char kCreateProcess[] = "create_process";
inline constexpr char kWaitProcess[] = "wait_process";
inline constexpr char kWaitSelf[] = "wait_self";
inline constexpr char kProcessStart[] = "process_start";
inline constexpr char kProcessExit[] = "process_exit";
inline constexpr char kScript[] = "script";

// Environment, files, installer, registry, folders, privilege and shutdown.
inline constexpr char kReadEnv[] = "read_env";
inline constexpr char kFindFile[] = "find_file";
inline constexpr char kOpenFile[] = "open_file";
inline constexpr char kFileAppend[] = "file_append";
inline constexpr char kProtection[] = "protection";
inline constexpr char kGetFolder[] = "get_folder";
inline constexpr char kMsiBind[] = "msi_bind";
inline constexpr char kMsiQuery[] = "msi_query";
inline constexpr char kMsiUninstall[] = "msi_uninstall";
inline constexpr char kRegOpen[] = "reg_open";
inline constexpr char kRegQuery[] = "reg_query";
inline constexpr char kRegImport[] = "reg_import";
inline constexpr char kRegImportFailed[] = "reg_import_failed";
inline constexpr char kPrivilege[] = "privilege";
inline constexpr char kExitWindows[] = "exit_windows";

// What happens at one moment to several windows, processes or products (the close requests of a
// pass, the programs a script starts, the installer's queries) reads as one line, one mark.
constexpr bool SharesLine(std::string_view event) {
  return event == kPostMessage || event == kProcessExit || event == kProcessStart ||
         event == kMsiQuery;
}

}  // namespace sim::events
