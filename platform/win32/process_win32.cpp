// Named mutexes on Win32.
#include "platform/process.h"
#include "platform/win32/win32_util.h"

OsMutex OsCreateNamedMutex(const char* name, bool initiallyOwned, uint32_t* error) {
  HANDLE mutex = CreateMutexA(nullptr, initiallyOwned ? TRUE : FALSE, name);
  *error = GetLastError();
  return reinterpret_cast<OsMutex>(mutex);
}

void OsCloseMutex(OsMutex mutex) {
  if (mutex != 0) CloseHandle(reinterpret_cast<HANDLE>(mutex));
}
