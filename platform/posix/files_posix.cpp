// Open files on POSIX, with Windows' sharing and read-only rules.
//
// Sharing is emulated with flock(): a read open takes a shared lock and a
// write open an exclusive one, both without waiting, so readers exclude
// writers and a writer excludes everyone, across processes and within one
// (flock locks belong to the open, not to the process). The read-only
// attribute is "no write permission bits" and is checked explicitly, so it
// holds for root as well.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fault.h"
#include "platform/files.h"
#include "platform/posix/posix_util.h"

namespace {

int AsDescriptor(OsFile file) { return file == kOsInvalidFile ? -1 : static_cast<int>(file); }

OsFile FailOpen(uint32_t error) {
  SetOsError(error);
  return kOsInvalidFile;
}

OsFile FailOpenClosing(int fd, uint32_t error) {
  close(fd);
  return FailOpen(error);
}

// Takes the sharing lock; on a conflict the open fails as on Windows.
bool LockForSharing(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

OsFile OpenForReading(const char16_t* path, int flags) {
  NativePath native;
  if (!ToNativePath(path, &native)) return kOsInvalidFile;
  int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | flags);
  // O_NOFOLLOW refuses a link with ELOOP; Windows would deny the access.
  if (fd < 0) return FailOpen(errno == ELOOP ? OS_ERROR_ACCESS_DENIED : OsErrorForPath(native.c_str(), errno));
  struct stat info;
  if (fstat(fd, &info) != 0) return FailOpenClosing(fd, OsErrorFromErrno(errno));
  if (S_ISDIR(info.st_mode)) return FailOpenClosing(fd, OS_ERROR_ACCESS_DENIED);
  // A careful open takes only a plain file: not a pipe or a device planted
  // at the name.
  if ((flags & O_NOFOLLOW) != 0 && !S_ISREG(info.st_mode)) return FailOpenClosing(fd, OS_ERROR_ACCESS_DENIED);
  if (!LockForSharing(fd, LOCK_SH)) return FailOpenClosing(fd, OS_ERROR_SHARING_VIOLATION);
  return static_cast<OsFile>(fd);
}

}  // namespace

OsFile OsOpenRead(const char16_t* path) {
  if (OsFaultCheck(OsOp::OpenRead) != OsFault::None) return FailOpen(OS_ERROR_ACCESS_DENIED);
  return OpenForReading(path, 0);
}

OsFile OsOpenReadNoFollow(const char16_t* path) {
  if (OsFaultCheck(OsOp::OpenRead) != OsFault::None) return FailOpen(OS_ERROR_ACCESS_DENIED);
  return OpenForReading(path, O_NOFOLLOW | O_NONBLOCK);
}

OsFile OsCreateNew(const char16_t* path) {
  if (OsFaultCheck(OsOp::CreateNew) != OsFault::None) return FailOpen(OS_ERROR_ACCESS_DENIED);
  NativePath native;
  if (!ToNativePath(path, &native)) return kOsInvalidFile;
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return FailOpen(errno == EEXIST ? OS_ERROR_FILE_EXISTS : OsErrorForPath(native.c_str(), errno));
  if (!LockForSharing(fd, LOCK_EX)) return FailOpenClosing(fd, OS_ERROR_SHARING_VIOLATION);
  OsTraceOpen(OsOp::CreateNew, path, static_cast<OsFile>(fd), true);
  return static_cast<OsFile>(fd);
}

OsFile OsOpenWrite(const char16_t* path, OsWriteDisposition disposition) {
  if (OsFaultCheck(OsOp::OpenWrite) != OsFault::None) return FailOpen(OS_ERROR_ACCESS_DENIED);
  NativePath native;
  if (!ToNativePath(path, &native)) return kOsInvalidFile;
  struct stat info;
  if (stat(native.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode) || (info.st_mode & 0222) == 0) return FailOpen(OS_ERROR_ACCESS_DENIED);
  }
  // No O_TRUNC: an existing file may only be cut once the exclusive lock shows
  // that nobody else has it open.
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return FailOpen(OsErrorForPath(native.c_str(), errno));
  if (fstat(fd, &info) != 0) return FailOpenClosing(fd, OsErrorFromErrno(errno));
  if (!S_ISREG(info.st_mode)) return FailOpenClosing(fd, OS_ERROR_ACCESS_DENIED);
  if (!LockForSharing(fd, LOCK_EX)) return FailOpenClosing(fd, OS_ERROR_SHARING_VIOLATION);
  bool truncate = disposition == OsWriteDisposition::CreateAlways;
  if (truncate && ftruncate(fd, 0) != 0) return FailOpenClosing(fd, OsErrorFromErrno(errno));
  OsTraceOpen(OsOp::OpenWrite, path, static_cast<OsFile>(fd), truncate);
  return static_cast<OsFile>(fd);
}

bool OsRead(OsFile file, void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  OsFault fault = OsFaultCheck(OsOp::Read);
  if (fault == OsFault::Fail) {
    SetOsError(OS_ERROR_READ_FAULT);
    return false;
  }
  if (fault == OsFault::Short) count /= 2;
  ssize_t moved;
  do {
    moved = read(AsDescriptor(file), buffer, count);
  } while (moved < 0 && errno == EINTR);
  if (moved < 0) return FailWithErrno();
  *done = static_cast<uint32_t>(moved);
  return true;
}

bool OsWrite(OsFile file, const void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  OsFault fault = OsFaultCheck(OsOp::Write);
  if (fault == OsFault::Fail || fault == OsFault::Full) {
    SetOsError(fault == OsFault::Full ? OS_ERROR_DISK_FULL : OS_ERROR_WRITE_FAULT);
    return false;
  }
  if (fault == OsFault::Short) count /= 2;
  ssize_t moved;
  do {
    moved = write(AsDescriptor(file), buffer, count);
  } while (moved < 0 && errno == EINTR);
  if (moved < 0) return FailWithErrno();
  *done = static_cast<uint32_t>(moved);
  OsTraceFile(OsOp::Write, file, buffer, *done);
  return true;
}

bool OsSeek(OsFile file, int64_t position) {
  if (OsFaultCheck(OsOp::Seek) != OsFault::None) {
    SetOsError(OS_ERROR_READ_FAULT);
    return false;
  }
  if (position < 0) {
    SetOsError(OS_ERROR_NEGATIVE_SEEK);
    return false;
  }
  if (lseek(AsDescriptor(file), static_cast<off_t>(position), SEEK_SET) < 0) return FailWithErrno();
  OsTraceFile(OsOp::Seek, file, nullptr, 0, position);
  return true;
}

uint32_t OsGetSizeLow(OsFile file) {
  struct stat info;
  if (fstat(AsDescriptor(file), &info) != 0) {
    FailWithErrno();
    return 0xFFFFFFFF;
  }
  return static_cast<uint32_t>(static_cast<uint64_t>(info.st_size));
}

void OsStartWriteback(OsFile file, uint64_t offset, uint32_t count) {
  int fd = AsDescriptor(file);
  sync_file_range(fd, static_cast<off64_t>(offset), count, SYNC_FILE_RANGE_WRITE);
  // The same range kOsWritebackLag earlier has had time to reach the device:
  // wait for it and let the cache drop it. A long file then streams through
  // a small, warm set of pages instead of taking fresh ones for every byte
  // (and pushing out everything else cached), and the flush before the
  // commit has only the last stretch of each file left to write.
  if (offset < kOsWritebackLag) return;
  off64_t behind = static_cast<off64_t>(offset - kOsWritebackLag);
  const unsigned int wait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  if (sync_file_range(fd, behind, count, wait) == 0) posix_fadvise(fd, behind, count, POSIX_FADV_DONTNEED);
}

bool OsFlush(OsFile file) {
  if (OsFaultCheck(OsOp::Flush) != OsFault::None) {
    SetOsError(OS_ERROR_WRITE_FAULT);
    return false;
  }
  if (fsync(AsDescriptor(file)) != 0) return FailWithErrno();
  OsTraceFile(OsOp::Flush, file);
  return true;
}

bool OsClose(OsFile file) {
  OsFault fault = OsFaultCheck(OsOp::Close);
  // The descriptor is gone after close() whatever it reports, so EINTR is not
  // retried.
  bool ok = close(AsDescriptor(file)) == 0 || FailWithErrno();
  OsTraceFile(OsOp::Close, file);
  if (fault != OsFault::None) {
    SetOsError(OS_ERROR_WRITE_FAULT);
    return false;
  }
  return ok;
}
