// The registry fixture on Win32: keys and values in the registry itself,
// under HKEY_LOCAL_MACHINE\Software\<publisher>, removed with the fixture.
#include <windows.h>
// After <windows.h>, which it needs.
#include <sddl.h>

#include <gtest/gtest.h>

#include "tests/support/registry_fixture.h"

namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// Deletes a key with everything below it; a missing key is no error.
void DeleteTree(HKEY parent, const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, subkey.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return;
  wchar_t child[256];
  for (;;) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    DeleteTree(key, child);
  }
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyW(parent, subkey.c_str()), ERROR_SUCCESS);
}

HKEY Create(const std::u16string& subkey) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(subkey), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  EXPECT_EQ(status, ERROR_SUCCESS) << "cannot create the key";
  return status == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

struct RegistryFixture::Store {};

RegistryFixture::RegistryFixture() : m_publisher(UniqueRegistryPublisher()), m_store(new Store) {}

RegistryFixture::~RegistryFixture() { Clear(); }

void RegistryFixture::CreateKey(const std::u16string& subkey) {
  if (HKEY key = Create(subkey)) RegCloseKey(key);
}

void RegistryFixture::SetValue(const std::u16string& subkey, const std::u16string& name, uint32_t type,
                               const std::vector<uint8_t>& data) {
  HKEY key = Create(subkey);
  ASSERT_NE(key, nullptr);
  // RegSetValueExW counts a terminator the caller left out when the unit
  // after the data is zero; a non-zero unit there keeps the bytes exact.
  std::vector<uint8_t> guarded = data;
  guarded.insert(guarded.end(), {'X', 'X', 'X', 'X'});
  LSTATUS status = RegSetValueExW(key, Wide(name), 0, type, guarded.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  ASSERT_EQ(status, ERROR_SUCCESS) << "cannot store the value";
}

void RegistryFixture::Clear() { DeleteTree(HKEY_LOCAL_MACHINE, L"Software\\" + std::wstring(Wide(m_publisher))); }

bool RegistryFixture::ExposeProtectedValues(Exposure) { return false; }

bool RegistryFixture::LetEveryoneChange(const std::u16string& subkey) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(subkey), 0, nullptr, 0, KEY_WRITE | WRITE_DAC | READ_CONTROL, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // Everyone, the administrators and the system: full control.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool done = ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)",
                                                                    SDDL_REVISION_1, &descriptor, nullptr) != FALSE &&
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
  LocalFree(descriptor);
  RegCloseKey(key);
  return done;
}
