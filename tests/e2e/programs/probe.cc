// Looks at a Wine prefix from the inside, for the end-to-end runner. Prints JSON on stdout.
//
//   probe windows [FILTER] [--child ID]... [--children] [--text ID=TEXT] [--wait MS]
//   probe watch [FILTER] [--child ID]... --timeout MS [--until-gone EXE]
//   probe post [FILTER] --message close|escape [--wait MS]
//   probe click [FILTER] --id ID [--wait MS]
//   probe processes
//   probe regread HKLM\KEY VALUE
//   probe msistate CODE [--repeat N]
//   probe dialog-size --module FILE --template ID
//   probe noop
//
// FILTER: --title TEXT | --no-title, --class NAME, --exe NAME (any case), --pid ID. Top-level
// windows only. Exit code 0 when something matched, 1 when nothing did, 2 for bad arguments.

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "owners.h"

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();

long long ElapsedMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count();
}

// ---- JSON, ASCII only so that no code page stands between the probe and the runner.

std::string Quote(const std::wstring& text) {
  std::string out = "\"";
  for (const wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    }
  }
  return out + "\"";
}

std::string Hex(unsigned long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "\"0x%08llx\"", value);
  return text;
}

// ---- Options

struct Options {
  std::optional<std::wstring> title;
  bool noTitle = false;
  std::optional<std::wstring> windowClass;
  std::optional<std::wstring> exe;
  std::optional<DWORD> pid;
  std::vector<int> childIds;
  bool children = false;
  std::optional<std::pair<int, std::wstring>> text;
  long long waitMs = 0;
  long long timeoutMs = 0;
  std::optional<std::wstring> untilGone;
  std::wstring message;
  int id = 0;
  std::wstring module;
  int templateId = 0;
  int repeat = 1;
  std::vector<std::wstring> positional;
};

bool ParseOptions(int count, wchar_t** argv, Options& options) {
  for (int i = 2; i < count; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < count;
    auto number = [&] { return std::wcstoll(argv[++i], nullptr, 0); };
    if (arg == L"--no-title") {
      options.noTitle = true;
    } else if (arg == L"--children") {
      options.children = true;
    } else if (!arg.starts_with(L"--")) {
      options.positional.push_back(arg);
    } else if (!hasValue) {
      return false;
    } else if (arg == L"--title") {
      options.title = argv[++i];
    } else if (arg == L"--class") {
      options.windowClass = argv[++i];
    } else if (arg == L"--exe") {
      options.exe = argv[++i];
    } else if (arg == L"--pid") {
      options.pid = static_cast<DWORD>(number());
    } else if (arg == L"--child") {
      options.childIds.push_back(static_cast<int>(number()));
    } else if (arg == L"--text") {
      const std::wstring wanted = argv[++i];
      const std::size_t equals = wanted.find(L'=');
      if (equals == std::wstring::npos)
        return false;
      const int id = static_cast<int>(std::wcstol(wanted.substr(0, equals).c_str(), nullptr, 0));
      options.text = std::make_pair(id, wanted.substr(equals + 1));
      options.childIds.push_back(id);
    } else if (arg == L"--wait") {
      options.waitMs = number();
    } else if (arg == L"--timeout") {
      options.timeoutMs = number();
    } else if (arg == L"--until-gone") {
      options.untilGone = argv[++i];
    } else if (arg == L"--message") {
      options.message = argv[++i];
    } else if (arg == L"--id") {
      options.id = static_cast<int>(number());
    } else if (arg == L"--module") {
      options.module = argv[++i];
    } else if (arg == L"--template") {
      options.templateId = static_cast<int>(number());
    } else if (arg == L"--repeat") {
      options.repeat = static_cast<int>(number());
    } else {
      return false;
    }
  }
  return true;
}

// ---- Processes

std::map<DWORD, std::wstring> ProcessNames() {
  std::map<DWORD, std::wstring> names;
  const e2e::FileHandle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
  if (!snapshot)
    return names;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    names[entry.th32ProcessID] = entry.szExeFile;
  }
  return names;
}

bool ProcessRuns(const std::wstring& exe) {
  for (const auto& [pid, name] : ProcessNames()) {
    if (_wcsicmp(name.c_str(), exe.c_str()) == 0)
      return true;
  }
  return false;
}

// ---- Windows

// Text of a window of any process: WM_GETTEXT is carried across processes by the system.
std::optional<std::wstring> ReadText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
    return std::nullopt;
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, 2000, &copied)) {
    return std::nullopt;
  }
  text.resize(copied);
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

struct ChildInfo {
  int id = 0;
  std::wstring windowClass;
  std::optional<std::wstring> text;
  LONG style = 0;
};

struct WindowInfo {
  HWND window = nullptr;
  std::wstring title;
  std::wstring windowClass;
  DWORD pid = 0;
  std::wstring exe;
  RECT rect = {};
  LONG style = 0;
  LONG exStyle = 0;
  bool visible = false;
  HWND owner = nullptr;
  std::map<int, std::optional<std::wstring>> childTexts;
  std::vector<ChildInfo> children;
};

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::vector<ChildInfo> Children(HWND parent) {
  std::vector<HWND> handles;
  EnumChildWindows(
      parent,
      [](HWND window, LPARAM context) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&handles));
  std::vector<ChildInfo> children;
  for (const HWND child : handles) {
    children.push_back(
        {GetDlgCtrlID(child), ClassName(child), ReadText(child), GetWindowLongW(child, GWL_STYLE)});
  }
  return children;
}

WindowInfo Describe(HWND window, const std::map<DWORD, std::wstring>& names) {
  WindowInfo info;
  info.window = window;
  wchar_t title[1024] = {};
  GetWindowTextW(window, title, 1024);
  info.title = title;
  info.windowClass = ClassName(window);
  GetWindowThreadProcessId(window, &info.pid);
  if (const auto name = names.find(info.pid); name != names.end())
    info.exe = name->second;
  GetWindowRect(window, &info.rect);
  info.style = GetWindowLongW(window, GWL_STYLE);
  info.exStyle = GetWindowLongW(window, GWL_EXSTYLE);
  info.visible = IsWindowVisible(window) != FALSE;
  info.owner = GetWindow(window, GW_OWNER);
  return info;
}

bool Matches(const WindowInfo& info, const Options& options) {
  if (options.title && info.title != *options.title)
    return false;
  if (options.noTitle && !info.title.empty())
    return false;
  if (options.windowClass && info.windowClass != *options.windowClass)
    return false;
  if (options.exe && _wcsicmp(info.exe.c_str(), options.exe->c_str()) != 0)
    return false;
  if (options.pid && info.pid != *options.pid)
    return false;
  return true;
}

void AddDetails(WindowInfo& info, const Options& options) {
  for (const int id : options.childIds) {
    const HWND child = GetDlgItem(info.window, id);
    info.childTexts[id] = child ? ReadText(child) : std::nullopt;
  }
  if (options.children)
    info.children = Children(info.window);
}

std::vector<WindowInfo> FindWindows(const Options& options) {
  const auto names = ProcessNames();
  std::vector<WindowInfo> found;
  for (const HWND window : TopLevelWindows()) {
    WindowInfo info = Describe(window, names);
    if (!Matches(info, options))
      continue;
    AddDetails(info, options);
    found.push_back(std::move(info));
  }
  return found;
}

bool HasText(const WindowInfo& info, const Options& options) {
  if (!options.text)
    return true;
  const auto text = info.childTexts.find(options.text->first);
  return text != info.childTexts.end() && text->second && *text->second == options.text->second;
}

std::string OptionalText(const std::optional<std::wstring>& text) {
  return text ? Quote(*text) : "null";
}

std::string ToJson(const WindowInfo& info) {
  std::string out = "{\"hwnd\":" + Hex(reinterpret_cast<ULONG_PTR>(info.window));
  out += ",\"title\":" + Quote(info.title);
  out += ",\"class\":" + Quote(info.windowClass);
  out += ",\"pid\":" + std::to_string(info.pid);
  out += ",\"exe\":" + Quote(info.exe);
  out += ",\"x\":" + std::to_string(info.rect.left);
  out += ",\"y\":" + std::to_string(info.rect.top);
  out += ",\"width\":" + std::to_string(info.rect.right - info.rect.left);
  out += ",\"height\":" + std::to_string(info.rect.bottom - info.rect.top);
  out += ",\"style\":" + Hex(static_cast<DWORD>(info.style));
  out += ",\"exstyle\":" + Hex(static_cast<DWORD>(info.exStyle));
  out += std::string(",\"visible\":") + (info.visible ? "true" : "false");
  out += ",\"owner\":" + Hex(reinterpret_cast<ULONG_PTR>(info.owner));
  out += ",\"child_text\":{";
  bool first = true;
  for (const auto& [id, text] : info.childTexts) {
    out += (first ? "\"" : ",\"") + std::to_string(id) + "\":" + OptionalText(text);
    first = false;
  }
  out += "},\"children\":[";
  first = true;
  for (const ChildInfo& child : info.children) {
    out += first ? "{" : ",{";
    out += "\"id\":" + std::to_string(child.id) + ",\"class\":" + Quote(child.windowClass) +
           ",\"text\":" + OptionalText(child.text) +
           ",\"style\":" + Hex(static_cast<DWORD>(child.style)) + "}";
    first = false;
  }
  return out + "]}";
}

std::string ToJson(const std::vector<WindowInfo>& windows) {
  std::string out = "[";
  for (std::size_t i = 0; i < windows.size(); ++i)
    out += (i ? "," : "") + ToJson(windows[i]);
  return out + "]";
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

constexpr auto kPollInterval = std::chrono::milliseconds(20);

// Polls until a window passes the filter and the text test, or the wait is over.
int CommandWindows(const Options& options) {
  std::optional<long long> firstSeen;
  std::vector<WindowInfo> matched;
  std::vector<WindowInfo> last;
  for (;;) {
    last = FindWindows(options);
    if (!last.empty() && !firstSeen)
      firstSeen = ElapsedMs();
    for (const WindowInfo& info : last) {
      if (HasText(info, options))
        matched.push_back(info);
    }
    if (!matched.empty() || ElapsedMs() >= options.waitMs)
      break;
    std::this_thread::sleep_for(kPollInterval);
  }
  const std::string found = matched.empty() ? "false" : "true";
  Print("{\"found\":" + found + ",\"elapsed_ms\":" + std::to_string(ElapsedMs()) +
        ",\"first_seen_ms\":" + (firstSeen ? std::to_string(*firstSeen) : "null") +
        ",\"windows\":" + ToJson(matched.empty() ? last : matched) + "}");
  return matched.empty() ? 1 : 0;
}

// Notes every window that passes the filter while it watches, with the moment it was first seen.
int CommandWatch(const Options& options) {
  std::map<HWND, std::pair<long long, WindowInfo>> seen;
  bool processSeen = false;
  std::string reason = "timeout";
  while (ElapsedMs() < options.timeoutMs) {
    for (WindowInfo& info : FindWindows(options)) {
      if (!seen.contains(info.window))
        seen.emplace(info.window, std::make_pair(ElapsedMs(), std::move(info)));
    }
    if (options.untilGone) {
      const bool runs = ProcessRuns(*options.untilGone);
      if (processSeen && !runs) {
        reason = "gone";
        break;
      }
      processSeen = processSeen || runs;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  std::string list = "[";
  for (const auto& [window, entry] : seen) {
    std::string json = ToJson(entry.second);
    json.insert(1, "\"first_seen_ms\":" + std::to_string(entry.first) + ",");
    list += (list.size() > 1 ? "," : "") + json;
  }
  Print("{\"ended\":\"" + reason + "\",\"elapsed_ms\":" + std::to_string(ElapsedMs()) +
        ",\"windows\":" + list + "]}");
  return seen.empty() ? 1 : 0;
}

std::vector<WindowInfo> WaitForWindows(const Options& options) {
  for (;;) {
    std::vector<WindowInfo> found = FindWindows(options);
    if (!found.empty() || ElapsedMs() >= options.waitMs)
      return found;
    std::this_thread::sleep_for(kPollInterval);
  }
}

// Posted as the keyboard would queue them, so the dialog manager handles the key as typed.
void PostKey(HWND window, WPARAM key) {
  const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
  PostMessageW(window, WM_KEYDOWN, key, 1 | (static_cast<LPARAM>(scan) << 16));
  PostMessageW(window, WM_KEYUP, key, 1 | (static_cast<LPARAM>(scan) << 16) | (3LL << 30));
}

int CommandPost(const Options& options) {
  if (options.message != L"close" && options.message != L"escape")
    return 2;
  const std::vector<WindowInfo> windows = WaitForWindows(options);
  for (const WindowInfo& info : windows) {
    if (options.message == L"close")
      PostMessageW(info.window, WM_CLOSE, 0, 0);
    else
      PostKey(info.window, VK_ESCAPE);
  }
  Print("{\"posted\":" + std::to_string(windows.size()) + ",\"windows\":" + ToJson(windows) + "}");
  return windows.empty() ? 1 : 0;
}

int CommandClick(const Options& options) {
  int clicked = 0;
  for (const WindowInfo& info : WaitForWindows(options)) {
    if (const HWND button = GetDlgItem(info.window, options.id)) {
      PostMessageW(button, BM_CLICK, 0, 0);
      ++clicked;
    }
  }
  Print("{\"clicked\":" + std::to_string(clicked) + "}");
  return clicked ? 0 : 1;
}

int CommandProcesses() {
  std::string list = "[";
  for (const auto& [pid, name] : ProcessNames()) {
    list += (list.size() > 1 ? "," : "") + std::string("{\"pid\":") + std::to_string(pid) +
            ",\"exe\":" + Quote(name) + "}";
  }
  Print(list + "]");
  return 0;
}

int CommandRegRead(const Options& options) {
  if (options.positional.size() != 2)
    return 2;
  std::wstring path = options.positional[0];
  const std::wstring prefix = L"HKLM\\";
  if (!path.starts_with(prefix))
    return 2;
  path.erase(0, prefix.size());
  e2e::RegKey key;
  HKEY opened = nullptr;
  const LONG openStatus = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &opened);
  if (openStatus == ERROR_SUCCESS)
    key = e2e::RegKey{opened};
  std::string out = "{\"open_status\":" + std::to_string(openStatus);
  if (key) {
    BYTE data[512] = {};
    DWORD type = 0;
    DWORD size = sizeof data;
    const LONG status =
        RegQueryValueExW(key.get(), options.positional[1].c_str(), nullptr, &type, data, &size);
    out += ",\"status\":" + std::to_string(status) + ",\"type\":" + std::to_string(type) +
           ",\"size\":" + std::to_string(size);
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == 4) {
      DWORD value = 0;
      std::memcpy(&value, data, 4);
      out += ",\"dword\":" + std::to_string(value);
    }
  }
  Print(out + "}");
  return key ? 0 : 1;
}

int CommandMsiState(const Options& options) {
  if (options.positional.size() != 1 || options.repeat < 1)
    return 2;
  const e2e::Library msi{LoadLibraryW(L"msi.dll")};
  using StateQuery = INT(WINAPI*)(LPCWSTR);
  const auto query = msi ? reinterpret_cast<StateQuery>(reinterpret_cast<void*>(
                               GetProcAddress(msi.get(), "MsiQueryProductStateW")))
                         : nullptr;
  if (!query)
    return 1;
  INT state = 0;
  const Clock::time_point begin = Clock::now();
  for (int i = 0; i < options.repeat; ++i)
    state = query(options.positional[0].c_str());
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
  Print("{\"state\":" + std::to_string(state) + ",\"repeat\":" + std::to_string(options.repeat) +
        ",\"elapsed_us\":" + std::to_string(micros) + "}");
  return 0;
}

// The outer size of a dialog made from another module's template, in this prefix's fonts.
int CommandDialogSize(const Options& options) {
  const e2e::Library module{
      LoadLibraryExW(options.module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)};
  if (!module)
    return 1;
  const e2e::Window dialog{CreateDialogParamW(
      module.get(), MAKEINTRESOURCEW(options.templateId), nullptr,
      [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0)};
  if (!dialog)
    return 1;
  RECT rect = {};
  GetWindowRect(dialog.get(), &rect);
  RECT client = {};
  GetClientRect(dialog.get(), &client);
  Print("{\"width\":" + std::to_string(rect.right - rect.left) +
        ",\"height\":" + std::to_string(rect.bottom - rect.top) + ",\"client_width\":" +
        std::to_string(client.right) + ",\"client_height\":" + std::to_string(client.bottom) + "}");
  return 0;
}

}  // namespace

int wmain(int count, wchar_t** argv) {
  if (count < 2)
    return 2;
  const std::wstring command = argv[1];
  Options options;
  if (!ParseOptions(count, argv, options))
    return 2;
  if (command == L"windows")
    return CommandWindows(options);
  if (command == L"watch")
    return CommandWatch(options);
  if (command == L"post")
    return CommandPost(options);
  if (command == L"click")
    return CommandClick(options);
  if (command == L"processes")
    return CommandProcesses();
  if (command == L"regread")
    return CommandRegRead(options);
  if (command == L"msistate")
    return CommandMsiState(options);
  if (command == L"dialog-size")
    return CommandDialogSize(options);
  if (command == L"noop") {
    Print("{}");
    return 0;
  }
  return 2;
}
