// Code page conversion on Win32: the system's own tables.
#include <cstring>
#include <memory>
#include <new>

#include "platform/codepage.h"
#include "platform/win32/win32_util.h"

namespace {
bool IsSupported(uint32_t codePage) { return codePage == kCodePageJapanese || codePage == kCodePageUtf8; }

int ClampCapacity(uint32_t capacity) { return capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity); }
}  // namespace

uint32_t OsMultiByteToWide(uint32_t codePage, const char* text, char16_t* out, uint32_t capacity) {
  if (!IsSupported(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int needed = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (needed <= 0) return 0;
  // Wine's UTF-8 decoder drops the terminator (and whatever precedes it)
  // after a sequence cut short by the end of the text; convert into a buffer
  // with room for one more unit and put the terminator back.
  std::unique_ptr<wchar_t[]> result(new (std::nothrow) wchar_t[static_cast<size_t>(needed) + 1]);
  if (!result) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  int units = MultiByteToWideChar(codePage, 0, text, -1, result.get(), needed);
  if (units <= 0) return 0;
  if (result[units - 1] != 0) result[units++] = 0;
  if (capacity == 0) return static_cast<uint32_t>(units);
  if (static_cast<uint32_t>(units) > capacity) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, result.get(), static_cast<size_t>(units) * sizeof(char16_t));
  return static_cast<uint32_t>(units);
}

uint32_t OsWideToMultiByte(uint32_t codePage, const char16_t* text, char* out, uint32_t capacity) {
  if (!IsSupported(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int bytes = WideCharToMultiByte(codePage, 0, AsWide(text), -1, out, ClampCapacity(capacity), nullptr, nullptr);
  return bytes > 0 ? static_cast<uint32_t>(bytes) : 0;
}
