// File-system calls on POSIX, with Windows' refusals: read-only files (no
// write permission bits) and files held open are neither replaced nor
// deleted, whoever runs the program. Like Windows' calls, these act on a
// symbolic link itself and never on what it points to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/fault.h"
#include "platform/filesystem.h"
#include "platform/posix/posix_util.h"

namespace {

bool Fail(uint32_t error) {
  SetOsError(error);
  return false;
}

bool IsReadOnly(const struct stat& info) { return (info.st_mode & 0222) == 0; }

// Sets the permission bits of a file, never through a link: a link has no
// bits of its own here, so there is nothing to set on one.
bool SetMode(const char* path, mode_t mode) {
  if (fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno == EOPNOTSUPP) return true;
  return FailWithErrno();
}

}  // namespace

uint32_t OsGetFileAttributes(const char16_t* path) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) {
    SetOsError(OS_ERROR_ACCESS_DENIED);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  NativePath native;
  if (!ToNativePath(path, &native)) return OS_INVALID_FILE_ATTRIBUTES;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) {
    SetOsError(OsErrorForPath(native.c_str(), errno));
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISLNK(info.st_mode)) {
    // As on Windows: the link's own attributes, a folder link marked as one.
    struct stat target;
    bool folder = stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return OS_FILE_ATTRIBUTE_REPARSE_POINT | (folder ? OS_FILE_ATTRIBUTE_DIRECTORY : OS_FILE_ATTRIBUTE_ARCHIVE);
  }
  if (S_ISDIR(info.st_mode)) return OS_FILE_ATTRIBUTE_DIRECTORY;
  return OS_FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(info) ? OS_FILE_ATTRIBUTE_READONLY : 0);
}

bool OsSetFileAttributes(const char16_t* path, uint32_t attributes) {
  if (OsFaultCheck(OsOp::SetAttributes) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  NativePath native;
  if (!ToNativePath(path, &native)) return false;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return Fail(OsErrorForPath(native.c_str(), errno));
  // A read-only folder on Windows still takes new files; leave folders be.
  if (S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode)) return true;
  mode_t mode = info.st_mode & 07777;
  mode_t wanted = (attributes & OS_FILE_ATTRIBUTE_READONLY) != 0 ? mode & ~0222 : mode | 0200;
  if (wanted != mode && !SetMode(native.c_str(), wanted)) return false;
  OsTracePath(OsOp::SetAttributes, path, nullptr, attributes);
  return true;
}

bool OsMoveFile(const char16_t* from, const char16_t* to, bool replaceExisting) {
  // An injected failure is the device's (not retried); Busy and Denied are
  // another program holding the file for a moment.
  OsFault fault = OsFaultCheck(OsOp::Move);
  if (fault != OsFault::None) return Fail(OsFaultMoveError(fault));
  NativePath source;
  NativePath target;
  if (!ToNativePath(from, &source) || !ToNativePath(to, &target)) return false;
  struct stat info;
  if (lstat(source.c_str(), &info) != 0) return Fail(OsErrorForPath(source.c_str(), errno));
  if (!S_ISDIR(info.st_mode) && IsFileHeldOpen(source.c_str())) return Fail(OS_ERROR_SHARING_VIOLATION);
  // Windows gives the file the name as the caller spells it, also when it
  // replaces a file whose name differs only in case, or renames a file to
  // another case of its own name.
  NativePath spelled;
  if (target.leafRespelled && !ToNativePathRespelled(target, to, &spelled)) return false;
  bool sameName = std::strcmp(source.c_str(), target.c_str()) == 0;
  if (target.leafRespelled && sameName) {
    if (rename(source.c_str(), spelled.c_str()) != 0) return FailWithErrno();
    OsTracePath(OsOp::Move, from, to);
    return true;
  }
  if (lstat(target.c_str(), &info) == 0) {
    if (!replaceExisting) return Fail(OS_ERROR_ALREADY_EXISTS);
    if (S_ISDIR(info.st_mode) || IsReadOnly(info)) return Fail(OS_ERROR_ACCESS_DENIED);
    if (IsFileHeldOpen(target.c_str())) return Fail(OS_ERROR_SHARING_VIOLATION);
  }
  // The replace is one rename onto the entry that is there, so the name is
  // never without a file; the new spelling follows. Should that second
  // rename fail, the file is in place under a name Windows' rule holds the
  // same.
  if (rename(source.c_str(), target.c_str()) != 0) return FailWithErrno();
  if (target.leafRespelled) renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, spelled.c_str(), RENAME_NOREPLACE);
  OsTracePath(OsOp::Move, from, to);
  return true;
}

bool OsFileInUse(const char16_t* path) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  NativePath native;
  if (!ToNativePath(path, &native)) return false;
  return IsFileHeldOpen(native.c_str());
}

bool OsLinkFile(const char16_t* existing, const char16_t* newName) {
  if (OsFaultCheck(OsOp::Link) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  NativePath source;
  NativePath target;
  if (!ToNativePath(existing, &source) || !ToNativePath(newName, &target)) return false;
  // link() makes a second name for a symbolic link itself, never for its
  // target.
  if (link(source.c_str(), target.c_str()) != 0) {
    if (errno == EEXIST) return Fail(OS_ERROR_ALREADY_EXISTS);
    if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK) return Fail(OS_ERROR_NOT_SUPPORTED);
    return Fail(OsErrorForPath(source.c_str(), errno));
  }
  OsTracePath(OsOp::Link, existing, newName);
  return true;
}

bool OsDeleteFile(const char16_t* path) {
  if (OsFaultCheck(OsOp::Delete) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  NativePath native;
  if (!ToNativePath(path, &native)) return false;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return Fail(OsErrorForPath(native.c_str(), errno));
  if (S_ISDIR(info.st_mode) || IsReadOnly(info)) return Fail(OS_ERROR_ACCESS_DENIED);
  if (IsFileHeldOpen(native.c_str())) return Fail(OS_ERROR_SHARING_VIOLATION);
  if (unlink(native.c_str()) != 0) return FailWithErrno();
  OsTracePath(OsOp::Delete, path);
  return true;
}

bool OsFlushFolder(const char16_t* folder) {
  if (OsFaultCheck(OsOp::FlushFolder) != OsFault::None) return Fail(OS_ERROR_WRITE_FAULT);
  NativePath native;
  if (!ToNativePath(folder, &native)) return false;
  int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(OsErrorForPath(native.c_str(), errno));
  bool ok = fsync(fd) == 0 || FailWithErrno();
  close(fd);
  if (ok) OsTracePath(OsOp::FlushFolder, folder);
  return ok;
}

bool OsCopyFileAttributes(const char16_t* from, const char16_t* to) {
  if (OsFaultCheck(OsOp::CopyAttributes) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  NativePath source;
  NativePath target;
  if (!ToNativePath(from, &source) || !ToNativePath(to, &target)) return false;
  struct stat info;
  if (lstat(source.c_str(), &info) != 0) return Fail(OsErrorForPath(source.c_str(), errno));
  if (!S_ISREG(info.st_mode)) return true;
  if (!SetMode(target.c_str(), info.st_mode & 07777)) return false;
  OsTracePath(OsOp::CopyAttributes, from, to, IsReadOnly(info) ? OS_FILE_ATTRIBUTE_READONLY : 0);
  return true;
}

uint32_t OsGetModulePath(char16_t* buffer, uint32_t capacity) {
  if (OsFaultCheck(OsOp::ModulePath) != OsFault::None) {
    SetOsError(OS_ERROR_ACCESS_DENIED);
    return 0;
  }
  char native[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", native, sizeof native);
  if (length < 0 || static_cast<size_t>(length) >= sizeof native) {
    SetOsError(length < 0 ? OsErrorFromErrno(errno) : OS_ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  std::u16string path = FromNativePath(std::string_view(native, static_cast<size_t>(length)));
  if (capacity == 0) {
    SetOsError(OS_ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= capacity) {
    path.copy(buffer, capacity - 1);
    buffer[capacity - 1] = 0;
    SetOsError(OS_ERROR_INSUFFICIENT_BUFFER);
    return capacity;
  }
  path.copy(buffer, path.size());
  buffer[path.size()] = 0;
  return static_cast<uint32_t>(path.size());
}

void OsSleep(uint32_t milliseconds) {
  timespec wait = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void OsDropCachedContents(const char16_t* path) {
  NativePath native;
  if (!ToNativePath(path, &native)) return;
  int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}
