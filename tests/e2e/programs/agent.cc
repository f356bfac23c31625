// Every process the suite needs inside the prefix, one program copied under many names:
//
//   agent.exe --launch PLAN   starts the plan's programs (lines "TAG<tab>COMMAND LINE", the tool
//                             last), each but the tool once it waits for input; logs their
//                             starts and ends
//   agent.exe --spawn PLAN    the same from a start-up script, returning once all are up
//   NAME.exe --standin TAG [--title T]... [--close-ms N | --hang]
//                             a firmware program: one top-level window per title; after the first
//                             close request it ends N ms later with code 100, or never
//   NAME.exe ANYTHING         a recorder: logs its command line and, when C:\e2e\real\NAME exists,
//                             runs that with the same command line and ends with its code; as
//                             msiexec.exe it removes the product after /x itself
//
// Lines go to C:\e2e\events.txt under one named mutex, so the file's order is the events' order.

#include <windows.h>
// After windows.h, which it needs.
#include <msi.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

constexpr int kClosedCode = 100;
constexpr wchar_t kRealFolder[] = L"C:\\e2e\\real\\";

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 3 + 1, '\0');
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size > 0 ? size : 0));
  return out;
}

void Log(const std::wstring& line) {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, L"FenwrackE2EEvents");
  WaitForSingleObject(mutex, 10000);
  const HANDLE file =
      CreateFileW(L"C:\\e2e\\events.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    const std::string text = Utf8(line) + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
  }
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

// ---- The stand-in

std::wstring g_tag;
std::vector<HWND> g_windows;
bool g_hang = false;
UINT g_closeMs = 100;
bool g_ending = false;

LRESULT CALLBACK StandinProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      for (std::size_t i = 0; i < g_windows.size(); ++i) {
        if (g_windows[i] == window)
          Log(L"close " + g_tag + L" " + std::to_wstring(i));
      }
      // A repeated request must not push the end further out.
      if (!g_hang && !g_ending) {
        g_ending = true;
        SetTimer(nullptr, 0, g_closeMs, nullptr);
      }
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam)
        Log(L"endsession " + g_tag);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

int Standin(HINSTANCE instance, int count, wchar_t** argv) {
  g_tag = argv[2];
  std::vector<std::wstring> titles;
  for (int i = 3; i < count; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--hang")
      g_hang = true;
    else if (arg == L"--title" && i + 1 < count)
      titles.push_back(argv[++i]);
    else if (arg == L"--close-ms" && i + 1 < count)
      g_closeMs = static_cast<UINT>(_wtoi(argv[++i]));
    else
      return 2;
  }
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &StandinProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"FenwrackE2EStandin";
  RegisterClassW(&windowClass);
  for (const std::wstring& title : titles) {
    const HWND window =
        CreateWindowExW(0, windowClass.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 200, 200,
                        320, 160, nullptr, nullptr, instance, nullptr);
    if (!window)
      return 3;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    g_windows.push_back(window);
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // The thread timer of the delayed end is the only message without a window.
    if (message.message == WM_TIMER && message.hwnd == nullptr)
      return kClosedCode;
    DispatchMessageW(&message);
  }
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
  if (file == INVALID_HANDLE_VALUE)
    return started;
  std::string bytes(1 << 16, '\0');
  DWORD size = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &size, nullptr);
  CloseHandle(file);
  std::wstring text(size, L'\0');
  text.resize(static_cast<std::size_t>(MultiByteToWideChar(
      CP_UTF8, 0, bytes.data(), static_cast<int>(size), text.data(), static_cast<int>(size))));
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(L'\n', at);
    end = end == std::wstring::npos ? text.size() : end;
    const std::wstring line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t tab = line.find(L'\t');
    if (tab == std::wstring::npos)
      continue;
    std::wstring commandLine = line.substr(tab + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // As on the instrument, everything runs from drive C.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, L"C:\\",
                        &startup, &info)) {
      Log(L"failed " + line.substr(0, tab) + L" " + std::to_wstring(GetLastError()));
      continue;
    }
    CloseHandle(info.hThread);
    if (line.substr(0, tab) != L"tool")
      WaitForInputIdle(info.hProcess, 30000);
    Log(L"start " + line.substr(0, tab));
    started.push_back({line.substr(0, tab), info.hProcess});
  }
  return started;
}

int Launch(const wchar_t* plan) {
  std::vector<Started> running = StartPlan(plan);
  while (!running.empty()) {
    std::vector<HANDLE> handles;
    for (const Started& s : running)
      handles.push_back(s.process);
    const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                               FALSE, INFINITE) -
                        WAIT_OBJECT_0;
    if (which >= running.size())
      return 1;
    DWORD code = 0;
    GetExitCodeProcess(running[which].process, &code);
    Log(L"exit " + running[which].tag + L" " + std::to_wstring(code));
    CloseHandle(running[which].process);
    running.erase(running.begin() + which);
  }
  return 0;
}

int Spawn(const wchar_t* plan) {
  for (const Started& s : StartPlan(plan))
    CloseHandle(s.process);
  return 0;
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
  const std::wstring mode = argv && count > 2 ? argv[1] : L"";
  if (mode == L"--standin")
    return Standin(instance, count, argv);
  if (mode == L"--launch")
    return Launch(argv[2]);
  if (mode == L"--spawn")
    return Spawn(argv[2]);
  return Record(count, argv);
}
