// File-system calls on Win32.
#include "platform/fault.h"
#include "platform/files.h"
#include "platform/filesystem.h"
#include "platform/win32/win32_util.h"

uint32_t OsGetFileAttributes(const char16_t* path) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesW(AsWide(path));
}

bool OsSetFileAttributes(const char16_t* path, uint32_t attributes) {
  if (OsFaultCheck(OsOp::SetAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return SetFileAttributesW(AsWide(path), attributes) != FALSE;
}

bool OsMoveFile(const char16_t* from, const char16_t* to, bool replaceExisting) {
  if (OsFaultCheck(OsOp::Move) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (replaceExisting && IsReadOnlyFile(AsWide(to))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  DWORD flags = replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0;
  return MoveFileExW(AsWide(from), AsWide(to), flags) != FALSE;
}

bool OsDeleteFile(const char16_t* path) {
  if (OsFaultCheck(OsOp::Delete) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (IsReadOnlyFile(AsWide(path))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return DeleteFileW(AsWide(path)) != FALSE;
}

uint32_t OsGetModulePath(char16_t* buffer, uint32_t capacity) {
  if (OsFaultCheck(OsOp::ModulePath) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  DWORD length = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(buffer), capacity);
  // Windows XP left a cut path unterminated; later versions and Wine end it.
  if (capacity != 0 && length == capacity) buffer[capacity - 1] = 0;
  return length;
}
