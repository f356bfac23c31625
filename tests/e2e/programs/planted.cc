// A library planted beside the exes under the name of one they load, msi.dll: once loaded it
// appends the loading program's path to C:\e2e\planted.txt. No exe of ours may ever load it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH)
    return TRUE;
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  path[n] = '\n';
  const HANDLE file =
      CreateFileA("C:\\e2e\\planted.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, path, n + 1, &written, nullptr);
  CloseHandle(file);
  return TRUE;
}
