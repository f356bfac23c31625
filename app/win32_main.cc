// The program's entry point.
#include "platform/framework.h"
#include "platform/win32/win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  // Libraries only from the system folder: a DLL beside the exe would run with our rights.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Only an allocation failure can throw; end with an error code rather than an abort box.
  try {
    return framework::RunApplication();
  } catch (...) {
    return framework::kExitUnexpectedError;
  }
}
