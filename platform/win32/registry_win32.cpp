// The registry on Win32: advapi32 as it is, in the process's own view.
#include "platform/registry.h"
#include "platform/win32/win32_util.h"

static_assert(sizeof(OsRegKey) == sizeof(HKEY), "an HKEY fits OsRegKey");

uint32_t OsRegOpenLocalMachineKey(const char16_t* subkey, uint32_t access, OsRegKey* key) {
  HKEY opened = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(subkey), 0, access, &opened);
  *key = status == ERROR_SUCCESS ? reinterpret_cast<OsRegKey>(opened) : 0;
  return static_cast<uint32_t>(status);
}

uint32_t OsRegQueryValue(OsRegKey key, const char16_t* name, uint32_t* type, void* data, uint32_t* size) {
  DWORD valueType = 0;
  DWORD byteCount = size != nullptr ? *size : 0;
  LSTATUS status = RegQueryValueExW(reinterpret_cast<HKEY>(key), AsWide(name), nullptr, &valueType,
                                    static_cast<BYTE*>(data), size != nullptr ? &byteCount : nullptr);
  if (type != nullptr) *type = valueType;
  if (size != nullptr) *size = byteCount;
  return static_cast<uint32_t>(status);
}

uint32_t OsRegCloseKey(OsRegKey key) { return static_cast<uint32_t>(RegCloseKey(reinterpret_cast<HKEY>(key))); }
