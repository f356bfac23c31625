// Stands in for the prefix's wineboot.exe: writes down the arguments of the shutdown request that
// ExitWindowsEx turned into a wineboot start, and ends nothing.
//
// The line goes to %FENWRACK_E2E_WINEBOOT_LOG%, or to C:\wineboot-args.txt without it.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "owners.h"

namespace {

std::string Narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1)
    return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size - 1));
  return out;
}

}  // namespace

int wmain() {
  int count = 0;
  const e2e::ArgvBlock argv{CommandLineToArgvW(GetCommandLineW(), &count)};
  std::wstring line;
  for (int i = 1; argv && i < count; ++i) {
    if (i > 1)
      line += L' ';
    line += argv.get()[i];
  }

  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"FENWRACK_E2E_WINEBOOT_LOG", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    lstrcpyW(path, L"C:\\wineboot-args.txt");
  if (const e2e::CrtFile file{_wfopen(path, L"ab")}) {
    const std::string text = Narrow(line) + "\n";
    std::fputs(text.c_str(), file.get());
  }
  return 0;
}
