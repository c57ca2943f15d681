#include "install/installed_folder.h"

#include <cstring>

#include "platform/registry.h"
#include "text/text_codec.h"

int32_t GetInstalledFolder(char16_t* folder, size_t capacity, const char16_t* publisher, const char16_t* title) {
  if (publisher == nullptr || title == nullptr) return 0;

  // One buffer serves the subkey and then the value.
  constexpr size_t kWorkUnits = kInstalledFolderValueBytes / sizeof(char16_t);
  char16_t work[kWorkUnits];
  if (FormatWide(work, kWorkUnits, u"Software\\%s\\%s", publisher, title) < 0) return 0;

  OsRegKey key = 0;
  if (OsRegOpenLocalMachineKey(work, OS_KEY_READ, &key) != OS_ERROR_SUCCESS) return 0;
  uint32_t type = OS_REG_NONE;
  uint32_t size = kInstalledFolderValueBytes;
  uint32_t status = OsRegQueryValue(key, kInstalledFolderValueName, &type, work, &size);
  OsRegCloseKey(key);
  if (status != OS_ERROR_SUCCESS || type != OS_REG_SZ || size > kInstalledFolderValueBytes) return 0;

  // The value's own bytes end it, whether or not they hold a terminator: the
  // units behind them are still the subkey's. An odd last byte is no unit.
  size_t units = size / sizeof(char16_t);
  size_t length = 0;
  while (length < units && work[length] != 0) ++length;

  const char16_t* start = work;
  if (length >= 2 && work[0] == u'"' && work[length - 1] == u'"') {
    ++start;
    length -= 2;
  }
  if (length >= capacity) return 0;
  std::memcpy(folder, start, length * sizeof(char16_t));
  folder[length] = 0;
  return 1;
}
