// Plays one firmware program: a top-level window that ends on a close request, or ignores it.
//
//   standin.exe [--title TEXT] [--marker FILE] [--ready FILE] [--log FILE] [--delay MS] [--hang]
//
// --marker gets one word when the program ends by itself ("closed", or "endsession" when the
// session ends under it); a terminated program leaves none. --ready gets "<pid>" once the window
// exists. --log gets one line per close or session message. --delay postpones the end after a
// close request; --hang ignores close requests.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "owners.h"

namespace {

struct Options {
  std::wstring title;
  bool hasTitle = false;
  std::wstring marker;
  std::wstring ready;
  std::wstring log;
  UINT delayMs = 0;
  bool hang = false;
};

Options g_options;
constexpr UINT_PTR kDelayTimer = 1;
// A repeated close request must not push the end further out.
bool g_endPending = false;

// Opened and closed per write, so a terminated program still leaves whole lines behind.
void WriteFileText(const std::wstring& path, const wchar_t* mode, const std::string& text) {
  if (path.empty())
    return;
  if (const e2e::CrtFile file{_wfopen(path.c_str(), mode)})
    std::fputs(text.c_str(), file.get());
}

void Log(const char* what) {
  WriteFileText(g_options.log, L"ab", std::to_string(GetTickCount64()) + " " + what + "\n");
}

void Finish(HWND window, const char* how) {
  WriteFileText(g_options.marker, L"wb", std::string(how) + "\n");
  DestroyWindow(window);
}

LRESULT CALLBACK StandinProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      Log("WM_CLOSE");
      if (g_options.hang)
        return 0;
      if (g_options.delayMs > 0) {
        if (!g_endPending)
          SetTimer(window, kDelayTimer, g_options.delayMs, nullptr);
        g_endPending = true;
        return 0;
      }
      Finish(window, "closed");
      return 0;
    case WM_TIMER:
      if (wParam == kDelayTimer) {
        KillTimer(window, kDelayTimer);
        Finish(window, "closed");
      }
      return 0;
    case WM_QUERYENDSESSION:
      Log("WM_QUERYENDSESSION");
      return TRUE;
    case WM_ENDSESSION:
      Log(wParam ? "WM_ENDSESSION 1" : "WM_ENDSESSION 0");
      if (wParam)
        WriteFileText(g_options.marker, L"wb", "endsession\n");
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

bool ParseOptions(Options& options) {
  int count = 0;
  const e2e::ArgvBlock argv{CommandLineToArgvW(GetCommandLineW(), &count)};
  if (!argv)
    return false;
  for (int i = 1; i < count; ++i) {
    const std::wstring arg = argv.get()[i];
    const bool hasValue = i + 1 < count;
    if (arg == L"--hang") {
      options.hang = true;
    } else if (arg == L"--title" && hasValue) {
      options.title = argv.get()[++i];
      options.hasTitle = true;
    } else if (arg == L"--marker" && hasValue) {
      options.marker = argv.get()[++i];
    } else if (arg == L"--ready" && hasValue) {
      options.ready = argv.get()[++i];
    } else if (arg == L"--log" && hasValue) {
      options.log = argv.get()[++i];
    } else if (arg == L"--delay" && hasValue) {
      options.delayMs = static_cast<UINT>(std::wcstoul(argv.get()[++i], nullptr, 10));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  if (!ParseOptions(g_options))
    return 2;

  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &StandinProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"FenwrackE2EStandin";
  if (!RegisterClassW(&windowClass))
    return 3;

  // Owned by the message loop below: it ends when WM_DESTROY has run.
  const HWND window = CreateWindowExW(
      0, windowClass.lpszClassName, g_options.hasTitle ? g_options.title.c_str() : nullptr,
      WS_OVERLAPPEDWINDOW, 200, 200, 320, 160, nullptr, nullptr, instance, nullptr);
  if (!window)
    return 4;
  ShowWindow(window, SW_SHOWNOACTIVATE);
  WriteFileText(g_options.ready, L"wb", std::to_string(GetCurrentProcessId()) + "\n");

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
