// Open files on Win32: thin wrappers over kernel32 with fault injection.
#include "platform/fault.h"
#include "platform/files.h"
#include "platform/win32/win32_util.h"

uint32_t OsLastError() { return GetLastError(); }

OsFile OsOpenRead(const char16_t* path) {
  if (OsFaultCheck(OsOp::OpenRead) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  HANDLE handle = CreateFileW(AsWide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE, nullptr);
  return reinterpret_cast<OsFile>(handle);
}

OsFile OsOpenWrite(const char16_t* path, OsWriteDisposition disposition) {
  if (OsFaultCheck(OsOp::OpenWrite) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  if (IsReadOnlyFile(AsWide(path))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  DWORD creation = disposition == OsWriteDisposition::OpenAlways ? OPEN_ALWAYS : CREATE_ALWAYS;
  HANDLE handle = CreateFileW(AsWide(path), GENERIC_WRITE, 0, nullptr, creation,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE, nullptr);
  return reinterpret_cast<OsFile>(handle);
}

bool OsRead(OsFile file, void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  OsFault fault = OsFaultCheck(OsOp::Read);
  if (fault == OsFault::Fail) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  if (fault == OsFault::Short) count /= 2;
  DWORD moved = 0;
  BOOL ok = ReadFile(AsHandle(file), buffer, count, &moved, nullptr);
  *done = ok ? moved : 0;
  return ok != FALSE;
}

bool OsWrite(OsFile file, const void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  OsFault fault = OsFaultCheck(OsOp::Write);
  if (fault == OsFault::Fail) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  if (fault == OsFault::Short) count /= 2;
  DWORD moved = 0;
  BOOL ok = WriteFile(AsHandle(file), buffer, count, &moved, nullptr);
  *done = ok ? moved : 0;
  return ok != FALSE;
}

bool OsSeek(OsFile file, int64_t position) {
  if (OsFaultCheck(OsOp::Seek) != OsFault::None) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  LONG high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  LONG low = static_cast<LONG>(static_cast<uint32_t>(position));
  // A position whose low half is all ones is returned as
  // INVALID_SET_FILE_POINTER too; only the error code tells it apart.
  SetLastError(NO_ERROR);
  DWORD result = SetFilePointer(AsHandle(file), low, &high, FILE_BEGIN);
  return result != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

uint32_t OsGetSizeLow(OsFile file) { return GetFileSize(AsHandle(file), nullptr); }

bool OsFlush(OsFile file) {
  if (OsFaultCheck(OsOp::Flush) != OsFault::None) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return FlushFileBuffers(AsHandle(file)) != FALSE;
}

bool OsClose(OsFile file) {
  bool ok = CloseHandle(AsHandle(file)) != FALSE;
  if (OsFaultCheck(OsOp::Close) != OsFault::None) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return ok;
}
