// Every process the suite needs inside the prefix, one program copied under many names:
//   --launch PLAN [--close-box MS] [--key escape|enter MS]: starts the plan's programs (lines
//     "TAG<tab>COMMAND LINE", the tool last), each but the tool once it waits for input, and the
//     one tagged "capture" run to its end; logs their starts and ends and the tool's windows
//     whenever what they show changes; clicks OK in a message box MS after it appears, presses
//     the key in the status window MS after the start
//   --spawn PLAN: the same from a start-up script, returning once all are up
//   --standin TAG [--title T]... [--close-ms N]: a firmware program with one window per title;
//     after the first close request it ends N ms later with code 100, never when N < 0; with
//     N = -2 it never reads a message once its windows are up (hung)
//   --inherit FILE PROGRAM [ARG]...: a deployment system that holds an inheritable handle to FILE
//     (its number in FENWRACK_E2E_HANDLE) and runs PROGRAM with every inheritable handle
//   anything else: a recorder that logs its command line, and whether it holds the handle of
//     --inherit; as msiexec.exe it removes the product itself, else it runs
//     C:\e2e\real\ITS-NAME with the same command line when that exists
// Lines go to C:\e2e\events.txt under one named mutex, so the file's order is the events' order.

#include <windows.h>
// After windows.h, which it needs.
#include <imm.h>
#include <msi.h>
#include <shellapi.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kClosedCode = 100;
constexpr wchar_t kRealFolder[] = L"C:\\e2e\\real\\";

void Log(const std::wstring& line) {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, L"FenwrackE2EEvents");
  WaitForSingleObject(mutex, 10000);
  const HANDLE file =
      CreateFileW(L"C:\\e2e\\events.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, 0, nullptr);
  const std::wstring text = line + L"\n";
  std::string utf8(text.size() * 3, '\0');
  DWORD written = static_cast<DWORD>(WideCharToMultiByte(
      CP_UTF8, 0, text.c_str(), -1, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr));
  WriteFile(file, utf8.data(), written - 1, &written, nullptr);
  CloseHandle(file);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

// ---- The stand-in

std::wstring g_tag;
std::vector<HWND> g_windows;
int g_closeMs = 100;  // negative: hung
bool g_ending = false;

LRESULT CALLBACK StandinProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_CLOSE)
    return DefWindowProcW(window, message, wParam, lParam);
  const auto index = std::find(g_windows.begin(), g_windows.end(), window) - g_windows.begin();
  Log(L"close " + g_tag + L" " + std::to_wstring(index));
  // A repeated request must not push the end further out.
  if (g_closeMs >= 0 && !g_ending)
    SetTimer(nullptr, 0, static_cast<UINT>(g_closeMs), nullptr);
  g_ending = true;
  return 0;
}

int Standin(HINSTANCE instance, int count, wchar_t** argv) {
  g_tag = argv[2];
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &StandinProc;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"FenwrackE2EStandin";
  RegisterClassW(&windowClass);
  // Exactly the machine's windows: no input-method window per thread.
  ImmDisableIME(static_cast<DWORD>(-1));
  for (int i = 3; i + 1 < count; i += 2) {
    if (std::wstring(argv[i]) == L"--close-ms") {
      g_closeMs = _wtoi(argv[i + 1]);
      continue;
    }
    g_windows.push_back(CreateWindowExW(0, windowClass.lpszClassName, argv[i + 1],
                                        WS_OVERLAPPEDWINDOW, 200, 200, 320, 160, nullptr, nullptr,
                                        instance, nullptr));
    ShowWindow(g_windows.back(), SW_SHOWNOACTIVATE);
  }
  MSG message;
  if (g_closeMs == -2) {
    // Idle once, so that the launcher goes on, then never again.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
    Sleep(INFINITE);
  }
  // The thread timer of the delayed end is the only message without a window.
  while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.hwnd)
    DispatchMessageW(&message);
  return kClosedCode;
}

// ---- The launcher

struct Started {
  std::wstring tag;
  HANDLE process;
};

std::vector<Started> StartPlan(const wchar_t* plan) {
  std::vector<Started> started;
  const HANDLE file =
      CreateFileW(plan, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::wstring text(1 << 16, L'\0');  // UTF-16
  DWORD size = 0;
  ReadFile(file, text.data(), static_cast<DWORD>(text.size() * 2), &size, nullptr);
  CloseHandle(file);
  text.resize(size / 2);
  for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
    end = std::min(text.find(L'\n', at), text.size());
    const std::wstring line = text.substr(at, end - at);
    const std::wstring tag = line.substr(0, line.find(L'\t'));
    std::wstring commandLine = line.substr(tag.size() + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // As on the instrument, everything runs from drive C. Detached: Wine, unlike Windows, would
    // leave a script's console (and its conhost.exe) to the GUI programs the script starts.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                        nullptr, L"C:\\", &startup, &info)) {
      Log(L"failed " + tag + L" " + std::to_wstring(GetLastError()));
      continue;
    }
    CloseHandle(info.hThread);
    if (tag == L"capture") {
      DWORD code = WaitForSingleObject(info.hProcess, 120000);
      GetExitCodeProcess(info.hProcess, &code);
      Log(L"done capture " + std::to_wstring(code));
      CloseHandle(info.hProcess);
      continue;
    }
    if (tag != L"tool")
      WaitForInputIdle(info.hProcess, 30000);
    Log(L"start " + tag);
    started.push_back({tag, info.hProcess});
  }
  return started;
}

// Text of a window of any process: WM_GETTEXT is carried across processes by the system.
std::wstring ReadText(HWND window) {
  wchar_t text[2048] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      2000, &copied);
  std::wstring out;
  for (const wchar_t c : std::wstring(text, copied))
    out += c == L'\\' ? L"\\\\" : c == L'\t' ? L"\\t" : c == L'\n' ? L"\\n" : std::wstring(1, c);
  return out;
}

std::vector<HWND> Windows(HWND parent) {
  std::vector<HWND> windows;
  const WNDENUMPROC add = [](HWND window, LPARAM context) -> BOOL {
    reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
    return TRUE;
  };
  if (parent)
    EnumChildWindows(parent, add, reinterpret_cast<LPARAM>(&windows));
  else
    EnumWindows(add, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

// "HWND CLASS STYLE EXSTYLE X Y WIDTH HEIGHT<tab>TITLE", then "<tab>ID CLASS STYLE TEXT" per
// child; tabs, line ends and backslashes in texts as \t, \n and \\.
std::wstring Describe(HWND window) {
  const auto about = [](HWND w) {
    wchar_t name[256] = {};
    GetClassNameW(w, name, 256);
    return std::wstring(name) + L" " +
           std::to_wstring(static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE)));
  };
  RECT r = {};
  GetWindowRect(window, &r);
  std::wstring out = std::to_wstring(reinterpret_cast<ULONG_PTR>(window)) + L" " + about(window) +
                     L" " + std::to_wstring(GetWindowLongW(window, GWL_EXSTYLE));
  for (const LONG n : {r.left, r.top, r.right - r.left, r.bottom - r.top})
    out += L" " + std::to_wstring(n);
  out += L"\t" + ReadText(window);
  for (const HWND child : Windows(window))
    out +=
        L"\t" + std::to_wstring(GetDlgCtrlID(child)) + L" " + about(child) + L" " + ReadText(child);
  return out;
}

// Posted as the keyboard would queue them, so the dialog manager handles the key as typed.
void PostKey(HWND window, WPARAM key) {
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC));
  PostMessageW(window, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageW(window, WM_KEYUP, key, 1 | (scan << 16) | (3LL << 30));
}

struct Watch {
  DWORD pid = 0;
  ULONGLONG start = 0;
  long long closeBoxMs = -1;
  WPARAM key = 0;
  long long keyMs = -1;
  std::map<HWND, std::pair<ULONGLONG, std::wstring>> seen;  // first seen, last description
};

// One look at the tool's top-level windows; the user's actions when they are due.
void Look(Watch& watch) {
  const ULONGLONG now = GetTickCount64();
  std::map<HWND, std::pair<ULONGLONG, std::wstring>> seen;
  for (const HWND window : Windows(nullptr)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != watch.pid)
      continue;
    const auto before = watch.seen.find(window);
    const std::wstring now_shows = Describe(window);
    seen[window] = {before == watch.seen.end() ? now : before->second.first, now_shows};
    if (before == watch.seen.end() || before->second.second != now_shows)
      Log(L"window " + now_shows);
    const bool box = GetDlgItem(window, 0xFFFF) && GetDlgItem(window, IDOK);
    if (box && watch.closeBoxMs >= 0 && now >= seen[window].first + watch.closeBoxMs) {
      PostMessageW(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
      watch.closeBoxMs = -1;
    }
    if (!box && GetWindowTextLengthW(window) == 0 && watch.keyMs >= 0 &&
        now >= watch.start + watch.keyMs) {
      Log(L"key");
      PostKey(window, watch.key);
      watch.keyMs = -1;
    }
  }
  for (const auto& [window, what] : watch.seen) {
    if (!seen.contains(window))
      Log(L"gone " + std::to_wstring(reinterpret_cast<ULONG_PTR>(window)));
  }
  watch.seen = std::move(seen);
}

int Launch(int count, wchar_t** argv) {
  if (std::wstring(argv[1]) == L"--spawn") {
    for (const Started& s : StartPlan(argv[2]))
      CloseHandle(s.process);
    return 0;
  }
  Watch watch;
  for (int i = 3; i + 1 < count; ++i) {
    if (std::wstring(argv[i]) == L"--close-box")
      watch.closeBoxMs = _wtoi(argv[++i]);
    else if (std::wstring(argv[i]) == L"--key" && i + 2 < count)
      watch.key = std::wstring(argv[++i]) == L"enter" ? VK_RETURN : VK_ESCAPE,
      watch.keyMs = _wtoi(argv[++i]);
  }
  std::vector<Started> running = StartPlan(argv[2]);
  watch.start = GetTickCount64();
  if (!running.empty() && running.back().tag == L"tool")
    watch.pid = GetProcessId(running.back().process);
  while (!running.empty()) {
    std::vector<HANDLE> handles;
    for (const Started& s : running)
      handles.push_back(s.process);
    const DWORD which =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 20) -
        WAIT_OBJECT_0;
    if (which >= running.size()) {
      Look(watch);
      continue;
    }
    DWORD code = 0;
    GetExitCodeProcess(running[which].process, &code);
    Log(L"exit " + running[which].tag + L" " + std::to_wstring(code));
    CloseHandle(running[which].process);
    running.erase(running.begin() + which);
  }
  return 0;
}

// ---- Handles

int Inherit(int count, wchar_t** argv) {
  if (count < 4)
    return 1;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  const HANDLE held = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, OPEN_ALWAYS, 0, nullptr);
  SetEnvironmentVariableW(L"FENWRACK_E2E_HELD", argv[2]);
  SetEnvironmentVariableW(L"FENWRACK_E2E_HANDLE",
                          std::to_wstring(reinterpret_cast<ULONG_PTR>(held)).c_str());
  std::wstring line;
  for (int i = 3; i < count; ++i)
    line += (i > 3 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (held == INVALID_HANDLE_VALUE || !CreateProcessW(argv[3], line.data(), nullptr, nullptr, TRUE,
                                                      0, nullptr, nullptr, &startup, &info))
    return 1;
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(info.hProcess, &code);
  return static_cast<int>(code);
}

// Whether the number in FENWRACK_E2E_HANDLE is, here too, a handle to the file of --inherit: in
// a process that did not inherit it, the number is no handle or another one.
bool HoldsInherited() {
  wchar_t number[32] = {}, held[MAX_PATH] = {};
  GetEnvironmentVariableW(L"FENWRACK_E2E_HANDLE", number, 32);
  GetEnvironmentVariableW(L"FENWRACK_E2E_HELD", held, MAX_PATH);
  const HANDLE file = CreateFileW(held, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION mine = {}, theirs = {};
  const bool same = GetFileInformationByHandle(file, &mine) &&
                    GetFileInformationByHandle(
                        reinterpret_cast<HANDLE>(_wcstoui64(number, nullptr, 10)), &theirs) &&
                    mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                    mine.nFileIndexHigh == theirs.nFileIndexHigh &&
                    mine.nFileIndexLow == theirs.nFileIndexLow;
  CloseHandle(file);
  return same;
}

// ---- The recorders

// Wine's msiexec cannot be run from here: the override that put this program in its place holds
// for every child. The installer's own call does what `msiexec /x CODE` does.
int Uninstall(int count, wchar_t** argv) {
  for (int i = 1; i + 1 < count; ++i) {
    if (_wcsicmp(argv[i], L"/x") == 0) {
      MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
      const UINT code =
          MsiConfigureProductW(argv[i + 1], INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT);
      Log(L"done msiexec.exe " + std::to_wstring(code));
      return static_cast<int>(code);
    }
  }
  return 1639;  // ERROR_INVALID_COMMAND_LINE
}

int Record(int count, wchar_t** argv) {
  wchar_t own[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, own, MAX_PATH);
  const std::wstring path = own;
  const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
  std::wstring commandLine = GetCommandLineW();
  Log(L"run " + name + L" " + commandLine);
  if (GetEnvironmentVariableW(L"FENWRACK_E2E_HANDLE", nullptr, 0))
    Log(L"handle " + name + (HoldsInherited() ? L" inherited" : L" not inherited"));
  if (_wcsicmp(name.c_str(), L"msiexec.exe") == 0)
    return Uninstall(count, argv);
  const std::wstring real = kRealFolder + name;
  if (GetFileAttributesW(real.c_str()) == INVALID_FILE_ATTRIBUTES)
    return 0;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(real.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &info)) {
    Log(L"done " + name + L" failed");
    return 1;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  Log(L"done " + name + L" " + std::to_wstring(code));
  return static_cast<int>(code);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::wstring mode = argv && count > 1 ? argv[1] : L"";
  if (mode == L"--standin")
    return Standin(instance, count, argv);
  if (mode == L"--launch" || mode == L"--spawn")
    return Launch(count, argv);
  if (mode == L"--inherit")
    return Inherit(count, argv);
  return Record(count, argv);
}
