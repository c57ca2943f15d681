// Helpers shared by the Win32 layer's sources.
#pragma once

#include <windows.h>

#include "platform/files.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

inline const wchar_t* AsWide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

inline HANDLE AsHandle(OsFile file) { return reinterpret_cast<HANDLE>(file); }

// True when the path names an existing file with the read-only attribute.
// Windows refuses to write, replace or delete such a file by itself, but Wine
// running as root opens it for writing and renames over it; asking first keeps
// the read-only promise wherever the program runs.
inline bool IsReadOnlyFile(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

