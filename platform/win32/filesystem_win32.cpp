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
  if (SetFileAttributesW(AsWide(path), attributes) == FALSE) return false;
  OsTracePath(OsOp::SetAttributes, path, nullptr, attributes);
  return true;
}

bool OsMoveFile(const char16_t* from, const char16_t* to, bool replaceExisting) {
  // An injected failure is the device's (not retried); Busy and Denied are
  // another program holding the file for a moment.
  OsFault fault = OsFaultCheck(OsOp::Move);
  if (fault != OsFault::None) {
    SetLastError(OsFaultMoveError(fault));
    return false;
  }
  if (replaceExisting && IsReadOnlyFile(AsWide(to))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // Written through: the rename is on the device when the call returns.
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(AsWide(from), AsWide(to), flags) == FALSE) return false;
  OsTracePath(OsOp::Move, from, to);
  return true;
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
  // A junction or a link to a folder is removed as the folder entry it is;
  // RemoveDirectoryW removes the link, never the folder it leads to.
  DWORD attributes = GetFileAttributesW(AsWide(path));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    if (RemoveDirectoryW(AsWide(path)) == FALSE) return false;
  } else if (DeleteFileW(AsWide(path)) == FALSE) {
    return false;
  }
  OsTracePath(OsOp::Delete, path);
  return true;
}

bool OsFileInUse(const char16_t* path) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // Asks for what a rename over the file needs: delete access, sharing
  // everything with whoever has it open.
  HANDLE handle = CreateFileW(AsWide(path), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(handle);
  return false;
}

bool OsLinkFile(const char16_t* existing, const char16_t* newName) {
  if (OsFaultCheck(OsOp::Link) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (CreateHardLinkW(AsWide(newName), AsWide(existing), nullptr) == FALSE) return false;
  OsTracePath(OsOp::Link, existing, newName);
  return true;
}

bool OsFlushFolder(const char16_t* folder) {
  if (OsFaultCheck(OsOp::FlushFolder) != OsFault::None) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  // Renames are written through (MOVEFILE_WRITE_THROUGH) and NTFS logs every
  // change of a folder's entries, so there is nothing left to flush.
  OsTracePath(OsOp::FlushFolder, folder);
  return true;
}

bool OsCopyFileAttributes(const char16_t* from, const char16_t* to) {
  if (OsFaultCheck(OsOp::CopyAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  DWORD attributes = GetFileAttributesW(AsWide(from));
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  attributes &= kept;
  if (SetFileAttributesW(AsWide(to), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL) == FALSE) return false;
  OsTracePath(OsOp::CopyAttributes, from, to);
  return true;
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

void OsSleep(uint32_t milliseconds) { Sleep(milliseconds); }

void OsDropCachedContents(const char16_t*) {}
