// The registry on Win32: advapi32 as it is, in the process's own view.
#include <new>

#include "platform/fault.h"
#include "platform/registry.h"
#include "platform/win32/win32_util.h"
// After <windows.h>, which it needs.
#include <aclapi.h>

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

// The protected values.
namespace {

// Rights that let a holder change a key's values or its protection.
constexpr ACCESS_MASK kChangingRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The accounts every standard user belongs to.
bool IsStandardUsersSid(PSID sid) {
  static const WELL_KNOWN_SID_TYPE kTypes[] = {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                               WinInteractiveSid, WinBuiltinGuestsSid, WinAnonymousSid};
  for (WELL_KNOWN_SID_TYPE type : kTypes) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    if (CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer)) return true;
  }
  return false;
}

// False when a standard user could change the key: no access list at all,
// or an entry that allows one of them a changing right.
bool KeyIsProtected(HKEY key) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool protectedKey = dacl != nullptr;
  for (DWORD i = 0; protectedKey && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      protectedKey = false;
      break;
    }
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kChangingRights) != 0 && IsStandardUsersSid(&allowed->SidStart)) protectedKey = false;
  }
  LocalFree(descriptor);
  return protectedKey;
}

}  // namespace

uint32_t OsRegWriteProtectedValue(const char16_t* subkey, const char16_t* name, const void* data, uint32_t size) {
  if (OsFaultCheck(OsOp::WriteValue) != OsFault::None) return ERROR_WRITE_FAULT;
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, AsWide(subkey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_QUERY_VALUE | KEY_SET_VALUE | READ_CONTROL, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  if (!KeyIsProtected(key)) status = ERROR_INVALID_OWNER;
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(key, AsWide(name), 0, REG_BINARY, static_cast<const BYTE*>(data), size);
  }
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS) OsTraceValue(OsOp::WriteValue, name, data, size);
  return static_cast<uint32_t>(status);
}

uint32_t OsRegReadProtectedValue(const char16_t* subkey, const char16_t* name, std::vector<uint8_t>* data) {
  data->clear();
  if (OsFaultCheck(OsOp::ReadValue) != OsFault::None) return ERROR_READ_FAULT;
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(subkey), 0, KEY_QUERY_VALUE | READ_CONTROL, &key);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  DWORD type = 0;
  DWORD size = 0;
  status = RegQueryValueExW(key, AsWide(name), nullptr, &type, nullptr, &size);
  if (status == ERROR_SUCCESS && (type != REG_BINARY || !KeyIsProtected(key))) status = ERROR_INVALID_OWNER;
  if (status == ERROR_SUCCESS) {
    try {
      data->resize(size);
      status = RegQueryValueExW(key, AsWide(name), nullptr, &type, data->data(), &size);
      if (status == ERROR_SUCCESS && size != data->size()) status = ERROR_READ_FAULT;
    } catch (const std::bad_alloc&) {
      status = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) data->clear();
  return static_cast<uint32_t>(status);
}

uint32_t OsRegDeleteProtectedValue(const char16_t* subkey, const char16_t* name) {
  if (OsFaultCheck(OsOp::DeleteValue) != OsFault::None) return ERROR_WRITE_FAULT;
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(subkey), 0, KEY_SET_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  status = RegDeleteValueW(key, AsWide(name));
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS) OsTraceValue(OsOp::DeleteValue, name);
  return static_cast<uint32_t>(status);
}
