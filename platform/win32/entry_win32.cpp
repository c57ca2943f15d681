// The Win32 entry point of patch.exe.
#include <windows.h>

#include "app/patch_main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) { return PatchMain(showCommand); }
