// Looks at a Wine prefix from the inside, for the end-to-end runner. Prints JSON on stdout.
//
//   probe windows [FILTER] [--child ID]... [--children] [--text ID=TEXT] [--wait MS]
//   probe post [FILTER] --message escape|enter [--wait MS]
//   probe click [FILTER] --id ID [--wait MS]
//   probe state [--reg KEY NAME]... [--msi CODE]...   values under HKLM, products' states
//
// FILTER: --title TEXT | --no-title, --class NAME, --exe NAME (any case). Top-level windows
// only. Exit code 0 when something matched, 1 when nothing did, 2 for bad arguments.

#include <windows.h>
// After windows.h, which they need.
#include <msi.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();

long long ElapsedMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count();
}

// JSON in ASCII only, so that no code page stands between the probe and the runner.
std::string Quote(const std::wstring& text) {
  std::string out = "\"";
  for (const wchar_t c : text) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
    out += c == L'"' || c == L'\\' ? std::string{'\\', static_cast<char>(c)}
           : c >= 0x20 && c < 0x7F ? std::string{static_cast<char>(c)}
                                   : std::string{escaped};
  }
  return out + "\"";
}

std::string Hex(unsigned long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "\"0x%08llx\"", value);
  return text;
}

struct Options {
  std::optional<std::wstring> title;
  bool noTitle = false;
  std::optional<std::wstring> windowClass;
  std::optional<std::wstring> exe;
  std::vector<int> childIds;
  bool children = false;
  std::optional<std::pair<int, std::wstring>> text;
  long long waitMs = 0;
  std::wstring message;
  int id = 0;
  std::vector<std::pair<std::wstring, std::wstring>> values;
  std::vector<std::wstring> products;
};

bool ParseOptions(int count, wchar_t** argv, Options& options) {
  for (int i = 2; i < count; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < count;
    if (arg == L"--no-title") {
      options.noTitle = true;
    } else if (arg == L"--children") {
      options.children = true;
    } else if (!hasValue) {
      return false;
    } else if (arg == L"--title") {
      options.title = argv[++i];
    } else if (arg == L"--class") {
      options.windowClass = argv[++i];
    } else if (arg == L"--exe") {
      options.exe = argv[++i];
    } else if (arg == L"--child") {
      options.childIds.push_back(_wtoi(argv[++i]));
    } else if (arg == L"--text") {
      const std::wstring wanted = argv[++i];
      const std::size_t equals = wanted.find(L'=');
      if (equals == std::wstring::npos)
        return false;
      options.text =
          std::make_pair(_wtoi(wanted.substr(0, equals).c_str()), wanted.substr(equals + 1));
      options.childIds.push_back(options.text->first);
    } else if (arg == L"--wait") {
      options.waitMs = _wtoi(argv[++i]);
    } else if (arg == L"--message") {
      options.message = argv[++i];
    } else if (arg == L"--id") {
      options.id = _wtoi(argv[++i]);
    } else if (arg == L"--reg" && i + 2 < count) {
      options.values.emplace_back(argv[i + 1], argv[i + 2]);
      i += 2;
    } else if (arg == L"--msi") {
      options.products.push_back(argv[++i]);
    } else {
      return false;
    }
  }
  return true;
}

std::map<DWORD, std::wstring> ProcessNames() {
  std::map<DWORD, std::wstring> names;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return names;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    names[entry.th32ProcessID] = entry.szExeFile;
  }
  CloseHandle(snapshot);
  return names;
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

std::string OptionalText(const std::optional<std::wstring>& text) {
  return text ? Quote(*text) : "null";
}

std::vector<HWND> Enumerate(HWND parent) {
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

struct Found {
  HWND window;
  bool hasText;
  std::string json;
};

std::vector<Found> FindWindows(const Options& options) {
  const auto names = ProcessNames();
  std::vector<Found> found;
  for (const HWND window : Enumerate(nullptr)) {
    wchar_t title[1024] = {};
    GetWindowTextW(window, title, 1024);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    const auto name = names.find(pid);
    const std::wstring exe = name == names.end() ? L"" : name->second;
    if ((options.title && title != *options.title) || (options.noTitle && title[0] != 0) ||
        (options.windowClass && ClassName(window) != *options.windowClass) ||
        (options.exe && _wcsicmp(exe.c_str(), options.exe->c_str()) != 0)) {
      continue;
    }
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::string json =
        "{\"title\":" + Quote(title) + ",\"class\":" + Quote(ClassName(window)) +
        ",\"exe\":" + Quote(exe) + ",\"x\":" + std::to_string(rect.left) +
        ",\"y\":" + std::to_string(rect.top) +
        ",\"width\":" + std::to_string(rect.right - rect.left) +
        ",\"height\":" + std::to_string(rect.bottom - rect.top) +
        ",\"style\":" + Hex(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))) +
        ",\"exstyle\":" + Hex(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE))) +
        ",\"visible\":" + (IsWindowVisible(window) ? "true" : "false") + ",\"child_text\":{";
    bool hasText = !options.text;
    for (std::size_t i = 0; i < options.childIds.size(); ++i) {
      const HWND child = GetDlgItem(window, options.childIds[i]);
      const auto text = child ? ReadText(child) : std::nullopt;
      json += (i ? ",\"" : "\"") + std::to_string(options.childIds[i]) + "\":" + OptionalText(text);
      if (options.text && options.text->first == options.childIds[i])
        hasText = text == options.text->second;
    }
    json += "},\"children\":[";
    const std::vector<HWND> children = options.children ? Enumerate(window) : std::vector<HWND>{};
    for (std::size_t i = 0; i < children.size(); ++i) {
      json += std::string(i ? ",{" : "{") + "\"id\":" + std::to_string(GetDlgCtrlID(children[i])) +
              ",\"class\":" + Quote(ClassName(children[i])) +
              ",\"text\":" + OptionalText(ReadText(children[i])) +
              ",\"style\":" + Hex(static_cast<DWORD>(GetWindowLongW(children[i], GWL_STYLE))) + "}";
    }
    found.push_back({window, hasText, json + "]}"});
  }
  return found;
}

// Polls until a window passes the filter (and has the text asked for), or the wait is over.
std::vector<Found> WaitForWindows(const Options& options, bool& matched) {
  for (;;) {
    std::vector<Found> found = FindWindows(options);
    std::vector<Found> withText;
    for (const Found& f : found) {
      if (f.hasText)
        withText.push_back(f);
    }
    matched = !withText.empty();
    if (matched || ElapsedMs() >= options.waitMs)
      return matched ? withText : found;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string ToJson(const std::vector<Found>& windows) {
  std::string out = "[";
  for (std::size_t i = 0; i < windows.size(); ++i)
    out += (i ? "," : "") + windows[i].json;
  return out + "]";
}

// Posted as the keyboard would queue them, so the dialog manager handles the key as typed.
void PostKey(HWND window, WPARAM key) {
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC));
  PostMessageW(window, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageW(window, WM_KEYUP, key, 1 | (scan << 16) | (3LL << 30));
}

int CommandWindows(const Options& options) {
  bool matched = false;
  const std::vector<Found> found = WaitForWindows(options, matched);
  Print(std::string("{\"found\":") + (matched ? "true" : "false") +
        ",\"elapsed_ms\":" + std::to_string(ElapsedMs()) + ",\"windows\":" + ToJson(found) + "}");
  return matched ? 0 : 1;
}

int CommandPost(const Options& options) {
  const std::map<std::wstring, WPARAM> keys = {{L"escape", VK_ESCAPE}, {L"enter", VK_RETURN}};
  if (!keys.contains(options.message))
    return 2;
  bool matched = false;
  const std::vector<Found> found = WaitForWindows(options, matched);
  for (const Found& f : found)
    PostKey(f.window, keys.at(options.message));
  Print("{\"posted\":" + std::to_string(found.size()) + "}");
  return found.empty() ? 1 : 0;
}

int CommandClick(const Options& options) {
  bool matched = false;
  int clicked = 0;
  for (const Found& f : WaitForWindows(options, matched)) {
    if (const HWND button = GetDlgItem(f.window, options.id)) {
      PostMessageW(button, BM_CLICK, 0, 0);
      ++clicked;
    }
  }
  Print("{\"clicked\":" + std::to_string(clicked) + "}");
  return clicked ? 0 : 1;
}

// Each value as {"status", "type", "hex"}; each product's installed state.
int CommandState(const Options& options) {
  std::string out = "{\"reg\":[";
  for (std::size_t i = 0; i < options.values.size(); ++i) {
    BYTE data[4096] = {};
    DWORD type = 0;
    DWORD size = sizeof data;
    const LONG status = RegGetValueW(HKEY_LOCAL_MACHINE, options.values[i].first.c_str(),
                                     options.values[i].second.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                                     &type, data, &size);
    std::string hex;
    for (DWORD b = 0; status == ERROR_SUCCESS && b < size; ++b) {
      char digits[4];
      std::snprintf(digits, sizeof digits, "%02x", data[b]);
      hex += digits;
    }
    out += std::string(i ? "," : "") + "{\"status\":" + std::to_string(status) +
           ",\"type\":" + std::to_string(type) + ",\"hex\":\"" + hex + "\"}";
  }
  out += "],\"msi\":[";
  for (std::size_t i = 0; i < options.products.size(); ++i)
    out += (i ? "," : "") + std::to_string(MsiQueryProductStateW(options.products[i].c_str()));
  Print(out + "]}");
  return 0;
}

}  // namespace

int wmain(int count, wchar_t** argv) {
  Options options;
  if (count < 2 || !ParseOptions(count, argv, options))
    return 2;
  const std::wstring command = argv[1];
  if (command == L"windows")
    return CommandWindows(options);
  if (command == L"post")
    return CommandPost(options);
  if (command == L"click")
    return CommandClick(options);
  if (command == L"state")
    return CommandState(options);
  return 2;
}
