// Loads a DLL by its bare name, as any program without a narrowed DLL
// search would: the DLL-planting test runs it beside the planted DLLs to
// show that Wine, as the test sets it up, does load them from there.
//   dll_probe <name.dll>
// Exit status 0 when the DLL loaded and came back, 1 when it did not load,
// 2 usage; a planted DLL ends the process itself with its own status.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  return LoadLibraryW(argv[1]) != nullptr ? 0 : 1;
}
