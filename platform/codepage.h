// Conversion between narrow text in a code page and UTF-16, with Windows'
// results on every platform.
//
// Both calls take zero-terminated text and convert it with its terminator,
// as MultiByteToWideChar and WideCharToMultiByte do with length -1 and no
// flags: bytes that cannot be decoded and characters that the code page
// cannot represent are substituted, never reported as an error. Code pages
// 932 (Japanese Shift-JIS as Windows defines it) and 65001 (UTF-8) are
// supported; any other code page fails with OS_ERROR_INVALID_PARAMETER.
#pragma once

#include <cstdint>

#include "platform/os_error.h"

inline constexpr uint32_t kCodePageJapanese = 932;
inline constexpr uint32_t kCodePageUtf8 = 65001;

// With capacity 0: the UTF-16 units the result needs, terminator included.
// Otherwise the units written, or 0 (OS_ERROR_INSUFFICIENT_BUFFER) when they
// do not fit; out is then left in an unspecified state.
uint32_t OsMultiByteToWide(uint32_t codePage, const char* text, char16_t* out, uint32_t capacity);

// With capacity 0: the bytes the result needs, terminator included.
// Otherwise the bytes written, or 0 when they do not fit.
uint32_t OsWideToMultiByte(uint32_t codePage, const char16_t* text, char* out, uint32_t capacity);
