// The Windows services the tool uses, in the tool's own terms. Two implementations exist: the
// real one (platform/win32) and the simulated analyzer (sim/); the build links one.
// Each function passes its arguments through to the one system call it is named after, so the
// exact arguments stay visible in the tool's own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"

namespace platform {

using WString = std::u16string;
using Bool = int;  // the system's BOOL: non-zero is true

// ---- Strings

// MultiByteToWideChar with CP_THREAD_ACP.
WString WidenAnsi(const char* text);

// ---- Time

void Pause(std::uint32_t ms);  // Sleep

// ---- Threads and locks

using ThreadRoutine = unsigned (*)(void* arg);

// Names a thread for traces; the real system ignores it.
struct ThreadTag {
  const char* routine;
  const char* role;
};

// The runtime library's thread start: default security and stack, runs at once. The thread's
// handle is released at once; returns whether the thread was created.
bool BeginThread(ThreadRoutine routine, void* arg, const ThreadTag& tag);

// A Windows critical section, initialised by the constructor and deleted by the destructor.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void Enter();
  void Leave();

  // For the platform implementation only.
  void* storage() { return storage_; }

 private:
  alignas(8) unsigned char storage_[48];
};

// ---- Environment and folders

inline constexpr std::size_t kMaxPath = 260;
inline constexpr int kCsidlWindows = 36;

// The runtime library's wide environment lookup; nothing when the variable is not set.
std::optional<WString> ReadEnvironment(const WString& name);

// SHGetFolderPathW(no owner, csidl, no token, flags, path); returns the HRESULT.
std::int32_t GetFolderPath(int csidl, std::uint32_t flags, char16_t (&path)[kMaxPath]);

// ---- Files

// FindFirstFileW; the found record is not kept.
FindHandle FindFirst(const WString& path);

inline constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;

// FindFirstFileW; of the found record only its attributes are kept.
FindHandle FindFirst(const WString& path, std::uint32_t& attributes);

// Whether nobody but SYSTEM, Administrators, TrustedInstaller and the calling account may change
// the file or folder at `path`, nor any folder on its way (platform/protection.h gives the rule):
// GetNamedSecurityInfoW of each, read against the caller's token. A path that is missing, a link,
// or whose security cannot be read is not protected.
bool IsProtected(const WString& path);

// The runtime library's _wfopen; mode "r" or "a" (text mode: "\n" is written as CR LF).
CrtFile OpenCrtFile(const WString& path, const char16_t* mode);

// fputs into an open file; returns a negative value on failure.
int WriteCrtText(const CrtFile& file, const char* text);
// fread of bytes; returns how many were read (fewer at the end of the file).
std::size_t ReadCrtBytes(const CrtFile& file, void* buffer, std::size_t size);
// fflush; returns 0 when everything written so far reached the file.
int FlushCrtFile(const CrtFile& file);

// ---- Standard streams

// Writes the bytes unchanged to standard output (1) or standard error (2); false when they could
// not all be written.
bool WriteStandardStream(int stream, std::string_view bytes);

// ---- Process list and termination

inline constexpr std::uint32_t kSnapProcess = 0x2;            // TH32CS_SNAPPROCESS
inline constexpr std::uint32_t kProcessAllAccess = 0x1F0FFF;  // PROCESS_ALL_ACCESS

struct ProcessEntry {
  std::uint32_t processId = 0;
  char16_t exeFile[kMaxPath] = {};  // base name, null-terminated
};

// CreateToolhelp32Snapshot; an invalid owner on failure.
Snapshot TakeSnapshot(std::uint32_t flags, std::uint32_t processId);
// Process32FirstW / Process32NextW on a record of the system's size (568 bytes).
Bool FirstProcess(const Snapshot& snapshot, ProcessEntry& entry);
Bool NextProcess(const Snapshot& snapshot, ProcessEntry& entry);
KernelHandle OpenProcessHandle(std::uint32_t access, Bool inherit, std::uint32_t processId);
std::uint32_t CurrentProcessId();  // GetCurrentProcessId
Bool TerminateProcessHandle(const KernelHandle& process, std::uint32_t exitCode);

// ---- Process start and wait

inline constexpr std::uint32_t kNormalPriorityClass = 0x20;
inline constexpr std::uint32_t kCreateNoWindow = 0x08000000;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

struct StartedProcess {
  KernelHandle process;
  KernelHandle thread;
};

// CreateProcessW(application or null, writable command line, no security attributes, inherit,
// flags, own environment, own current folder, start-up record zeroed but its size, zeroed
// process information).
Bool StartProcess(const WString* application, WString& commandLine, Bool inheritHandles,
                  std::uint32_t flags, StartedProcess& started);
std::uint32_t WaitForObject(const KernelHandle& object, std::uint32_t ms);  // WaitForSingleObject
// WaitForSingleObject on the pseudo-handle of the calling thread, without limit: never returns
// unless the system abandons the process' end.
void WaitOnCurrentThread();

// ---- Windows and messages

// A window the tool does not own.
struct WindowRef {
  std::uintptr_t value = 0;
  explicit operator bool() const { return value != 0; }
  friend bool operator==(WindowRef, WindowRef) = default;
};

inline constexpr std::uint32_t kWmInitDialog = 0x0110;
inline constexpr std::uint32_t kWmCommand = 0x0111;
inline constexpr std::uint32_t kWmTimer = 0x0113;
inline constexpr std::uint32_t kWmClose = 0x0010;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr std::uint32_t kMbIconInformation = 0x40;

using WindowEnumProc = Bool (*)(WindowRef window, std::intptr_t context);

Bool EnumTopLevelWindows(WindowEnumProc proc, std::intptr_t context);  // EnumWindows
int ReadWindowText(WindowRef window, char16_t* buffer, int maxCount);  // GetWindowTextW
// GetWindowTextW, telling an empty title (`readable` true) from one that could not be read.
int ReadWindowTitle(WindowRef window, char16_t* buffer, int maxCount, bool& readable);
// GetWindowThreadProcessId: the process that owns the window; 0 when there is no such window.
std::uint32_t WindowProcessId(WindowRef window);
Bool PostWindowMessage(WindowRef window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam);  // PostMessageW
int ShowMessageBox(WindowRef owner, const WString& text, const WString& caption,
                   std::uint32_t type);  // MessageBoxW

// ---- Modal dialogs

struct Rect {
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;
};

inline const WindowRef kHwndTopmost{~std::uintptr_t{0}};  // HWND_TOPMOST, (HWND)-1
inline constexpr std::uint32_t kSwpShowWindow = 0x0040;

class DialogProcedure {
 public:
  // Returns whether the message was handled; an unhandled one gets the default handling.
  virtual bool HandleDialogMessage(WindowRef dialog, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) = 0;

 protected:
  ~DialogProcedure() = default;
};

// DialogBoxParamW with a template of the running module; -1 when the window cannot be created.
std::intptr_t RunModalDialog(int templateId, WindowRef parent, DialogProcedure& procedure);
Bool EndModalDialog(WindowRef dialog, std::intptr_t result);                       // EndDialog
std::uintptr_t StartTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms);  // SetTimer
Bool ReadWindowRect(WindowRef window, Rect& rect);                                 // GetWindowRect
Bool PlaceWindow(WindowRef window, WindowRef insertAfter, int x, int y, int cx, int cy,
                 std::uint32_t flags);                        // SetWindowPos
WindowRef DialogItem(WindowRef dialog, int id);               // GetDlgItem
Bool WriteWindowText(WindowRef window, const WString& text);  // SetWindowTextW
std::intptr_t DefaultWindowProcedure(WindowRef window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam);  // DefWindowProcW

// ---- Privilege and shutdown

inline constexpr std::uint32_t kTokenAdjustPrivileges = 0x20;
inline constexpr std::uint32_t kTokenQuery = 0x8;
inline constexpr std::uint32_t kSePrivilegeEnabled = 0x2;
inline constexpr std::uint32_t kEwxReboot = 0x2;
inline constexpr std::uint32_t kEwxForce = 0x4;
inline constexpr std::uint32_t kEwxPowerOff = 0x8;

struct Luid {
  std::uint32_t lowPart = 0;
  std::int32_t highPart = 0;
};

// TOKEN_PRIVILEGES with room for one entry.
struct SinglePrivilege {
  std::uint32_t count = 0;
  Luid luid;
  std::uint32_t attributes = 0;
};

// OpenProcessToken on GetCurrentProcess().
Bool OpenCurrentProcessToken(std::uint32_t access, KernelHandle& token);
Bool LookupPrivilege(const char16_t* systemName, const WString& name, Luid& luid);
// AdjustTokenPrivileges(token, disableAll, newState, 0, no previous state, no length).
Bool AdjustPrivileges(const KernelHandle& token, Bool disableAll, const SinglePrivilege& newState);
Bool RequestExitWindows(std::uint32_t flags, std::uint32_t reason);  // ExitWindowsEx
// GetTokenInformation(token, TokenPrivileges): every privilege the token holds, enabled or not.
Bool ReadTokenPrivileges(const KernelHandle& token, std::vector<Luid>& held);
// CheckTokenMembership(no token: the caller's own, the built-in Administrators group, member).
// A filtered token of an administrator holds the group for denial only: not a member.
Bool CheckAdministratorsMembership(Bool& member);

// ---- Registry

enum class RegistryRoot { kLocalMachine };

inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegQword = 11;

std::int32_t OpenRegistryKey(RegistryRoot root, const WString& subKey, std::uint32_t options,
                             std::uint32_t access, RegKey& key);  // RegOpenKeyExW
// RegQueryValueExW(key, name, no reserved, type or null, data, size).
std::int32_t QueryRegistryValue(const RegKey& key, const WString& name, std::uint32_t* type,
                                void* data, std::uint32_t* size);

// ---- Installer

inline constexpr std::int32_t kInstallStateUnknown = -1;
inline constexpr std::int32_t kInstallStateDefault = 5;  // installed

// The installer's product-state query, bound to msi.dll by export number 113 at run time.
class ProductStateQuery {
 public:
  static ProductStateQuery Bind();
  bool bound() const { return entry_ != nullptr; }
  // Unknown when the library or the export could not be had.
  std::int32_t operator()(const WString& productCode) const;

 private:
  Library library_;
  void* entry_ = nullptr;
};

inline constexpr std::uint32_t kErrorNoMoreItems = 259;

// The installer's list of installed products, bound to msi.dll by name at run time.
class InstalledProducts {
 public:
  static InstalledProducts Bind();
  bool bound() const { return enumEntry_ != nullptr && infoEntry_ != nullptr; }
  // MsiEnumProductsW: 0 and the code of product `index`, kErrorNoMoreItems past the last.
  std::uint32_t Code(std::uint32_t index, WString& code) const;
  // MsiGetProductInfoW(code, "ProductName").
  std::uint32_t Name(const WString& code, WString& name) const;

 private:
  Library library_;
  void* enumEntry_ = nullptr;
  void* infoEntry_ = nullptr;
};

// ---- Command line

// The process' arguments as the platform splits its command line; [0] is the program.
std::vector<WString> CommandLineArguments();

}  // namespace platform
