// A DLL that must never be loaded: the DLL-planting test puts copies of it
// under system DLLs' names beside patch.exe. Loaded, it leaves a marker
// beside itself ("<its path>.loaded") and ends the process at once with
// status 86, so a run that loaded it can neither pass for a good one nor
// hide it.
#include <windows.h>

constexpr UINT kPlantedDllStatus = 86;

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 8];
  DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    const wchar_t suffix[] = L".loaded";
    for (size_t i = 0; i < sizeof suffix / sizeof suffix[0]; ++i) path[length + i] = suffix[i];
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  ExitProcess(kPlantedDllStatus);
}
