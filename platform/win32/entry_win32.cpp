// The Win32 entry point of patch.exe.
#include <windows.h>

#include <cstring>

#include "app/patch_main.h"

namespace {

// The patch runs as administrator from wherever it was saved, typically a
// downloads folder that anyone can write to. Windows looks for a DLL that
// is not one of its KnownDLLs in the program's own folder first, so a DLL
// planted there under a system DLL's name would run elevated. Before
// anything else happens, every later load is narrowed to System32: with
// SetDefaultDllDirectories where the system has it (Windows 8, and 7 and
// Vista with KB2533623); elsewhere SetDllDirectoryW(L"") at least takes
// the current folder out of the search. The import table names only
// KnownDLLs, which the loader always takes from System32, and comctl32 is
// loaded from System32 by the user interface when it needs it.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC address = kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
  if (address != nullptr) {
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories;
    static_assert(sizeof setDefaultDllDirectories == sizeof address);
    std::memcpy(&setDefaultDllDirectories, &address, sizeof address);
    if (setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  }
  SetDllDirectoryW(L"");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
  RestrictDllSearch();
  return PatchMain(showCommand);
}
