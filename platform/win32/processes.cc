// Process list, termination, start and wait.
// The system headers below need <windows.h> first.
#include "platform/win32/win32.h"

#include <tlhelp32.h>

#include <cstring>

namespace platform {

using win32::As;

void KernelHandleTraits::Close(RawHandle raw) {
  CloseHandle(raw);
}

void SnapshotTraits::Close(RawHandle raw) {
  CloseHandle(raw);
}

Snapshot TakeSnapshot(std::uint32_t flags, std::uint32_t processId) {
  return Snapshot(CreateToolhelp32Snapshot(flags, processId));
}

static_assert(sizeof(PROCESSENTRY32W) == 568);
static_assert(sizeof(ProcessEntry::exeFile) == sizeof(PROCESSENTRY32W::szExeFile));

namespace {

template <class Walk>
Bool ReadProcess(Walk walk, const Snapshot& snapshot, ProcessEntry& entry) {
  PROCESSENTRY32W record;
  std::memset(&record, 0, sizeof record);
  record.dwSize = sizeof record;
  const BOOL found = walk(As<HANDLE>(snapshot), &record);
  if (found) {
    entry.processId = record.th32ProcessID;
    std::memcpy(entry.exeFile, record.szExeFile, sizeof entry.exeFile);
  }
  return found;
}

}  // namespace

Bool FirstProcess(const Snapshot& snapshot, ProcessEntry& entry) {
  return ReadProcess(&Process32FirstW, snapshot, entry);
}

Bool NextProcess(const Snapshot& snapshot, ProcessEntry& entry) {
  return ReadProcess(&Process32NextW, snapshot, entry);
}

KernelHandle OpenProcessHandle(std::uint32_t access, Bool inherit, std::uint32_t processId) {
  return KernelHandle(OpenProcess(access, inherit, processId));
}

std::uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

Bool TerminateProcessHandle(const KernelHandle& process, std::uint32_t exitCode) {
  return TerminateProcess(As<HANDLE>(process), exitCode);
}

static_assert(sizeof(STARTUPINFOW) == 104);

Bool StartProcess(const WString* application, WString& commandLine, Bool inheritHandles,
                  std::uint32_t flags, StartedProcess& started) {
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  // The system may write into the command line: the string itself is the buffer.
  const BOOL created = CreateProcessW(application != nullptr ? win32::Wide(*application) : nullptr,
                                      win32::Wide(commandLine.data()), nullptr, nullptr,
                                      inheritHandles, flags, nullptr, nullptr, &startup, &info);
  started.process = KernelHandle(info.hProcess);
  started.thread = KernelHandle(info.hThread);
  return created;
}

std::uint32_t WaitForObject(const KernelHandle& object, std::uint32_t ms) {
  return WaitForSingleObject(As<HANDLE>(object), ms);
}

void WaitOnCurrentThread() {
  WaitForSingleObject(GetCurrentThread(), INFINITE);
}

}  // namespace platform
