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

OsFile OsOpenReadNoFollow(const char16_t* path) {
  if (OsFaultCheck(OsOp::OpenRead) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of its target;
  // the handle's attributes then tell a link from a file.
  HANDLE handle = CreateFileW(AsWide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kOsInvalidFile;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information) == FALSE ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  return reinterpret_cast<OsFile>(handle);
}

OsFile OsCreateNew(const char16_t* path) {
  if (OsFaultCheck(OsOp::CreateNew) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  HANDLE handle = CreateFileW(AsWide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) OsTraceOpen(OsOp::CreateNew, path, reinterpret_cast<OsFile>(handle), true);
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
  if (handle != INVALID_HANDLE_VALUE) OsTraceOpen(OsOp::OpenWrite, path, reinterpret_cast<OsFile>(handle), creation == CREATE_ALWAYS);
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
  if (fault == OsFault::Fail || fault == OsFault::Full) {
    SetLastError(fault == OsFault::Full ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
    return false;
  }
  if (fault == OsFault::Short) count /= 2;
  DWORD moved = 0;
  BOOL ok = WriteFile(AsHandle(file), buffer, count, &moved, nullptr);
  *done = ok ? moved : 0;
  if (ok != FALSE) OsTraceFile(OsOp::Write, file, buffer, moved);
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
  if (result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  OsTraceFile(OsOp::Seek, file, nullptr, 0, position);
  return true;
}

uint32_t OsGetSizeLow(OsFile file) { return GetFileSize(AsHandle(file), nullptr); }

// Windows has no call that starts writing a range without waiting for it.
// Its lazy writer starts on its own after a while, but Wine writes nothing
// before the flush, so the flush pass before the commit would have every
// byte of every file still to write. Instead a helper thread flushes a
// duplicate of the file's handle each time the writing crosses another
// kOsWritebackLag bytes, while this thread goes on copying: the device then
// works while the next pieces are written. Only a hint, never checked: a
// background flush that fails or is skipped (the helper still busy) leaves
// the work to OsFlush, which reports. Closing any file waits for the helper,
// so no duplicate outlives its file and holds it against a rename or delete.
namespace {

struct BackgroundFlush {
  CRITICAL_SECTION lock;
  HANDLE wake = nullptr;  // auto-reset: a file was handed over
  HANDLE idle = nullptr;  // manual-reset: set while nothing is handed over or being flushed
  HANDLE file = nullptr;  // the duplicate to flush next
  bool started = false;
  bool failed = false;
};

BackgroundFlush& Flusher() {
  static BackgroundFlush flusher;
  return flusher;
}

DWORD WINAPI FlushInBackground(void*) {
  BackgroundFlush& flusher = Flusher();
  for (;;) {
    WaitForSingleObject(flusher.wake, INFINITE);
    EnterCriticalSection(&flusher.lock);
    HANDLE file = flusher.file;
    flusher.file = nullptr;
    LeaveCriticalSection(&flusher.lock);
    if (file != nullptr) {
      FlushFileBuffers(file);
      CloseHandle(file);
    }
    SetEvent(flusher.idle);
  }
}

// Starts the helper thread the first time; false when it cannot run.
bool FlusherRunning() {
  BackgroundFlush& flusher = Flusher();
  if (flusher.started) return true;
  if (flusher.failed) return false;
  flusher.failed = true;
  InitializeCriticalSection(&flusher.lock);
  flusher.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  flusher.idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (flusher.wake == nullptr || flusher.idle == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, 64 * 1024, FlushInBackground, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);
  flusher.failed = false;
  flusher.started = true;
  return true;
}

// Waits until the helper holds no duplicate of any file.
void WaitForBackgroundFlush() {
  BackgroundFlush& flusher = Flusher();
  if (flusher.started) WaitForSingleObject(flusher.idle, INFINITE);
}

}  // namespace

void OsStartWriteback(OsFile file, uint64_t offset, uint32_t count) {
  if (offset / kOsWritebackLag == (offset + count) / kOsWritebackLag || !FlusherRunning()) return;
  BackgroundFlush& flusher = Flusher();
  if (WaitForSingleObject(flusher.idle, 0) != WAIT_OBJECT_0) return;  // still on the last one
  HANDLE duplicate = nullptr;
  HANDLE self = GetCurrentProcess();
  if (DuplicateHandle(self, AsHandle(file), self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS) == FALSE) return;
  EnterCriticalSection(&flusher.lock);
  flusher.file = duplicate;
  ResetEvent(flusher.idle);
  LeaveCriticalSection(&flusher.lock);
  SetEvent(flusher.wake);
}

bool OsFlush(OsFile file) {
  if (OsFaultCheck(OsOp::Flush) != OsFault::None) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  if (FlushFileBuffers(AsHandle(file)) == FALSE) return false;
  OsTraceFile(OsOp::Flush, file);
  return true;
}

bool OsClose(OsFile file) {
  WaitForBackgroundFlush();
  OsFault fault = OsFaultCheck(OsOp::Close);
  bool ok = CloseHandle(AsHandle(file)) != FALSE;
  OsTraceFile(OsOp::Close, file);
  if (fault != OsFault::None) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return ok;
}
