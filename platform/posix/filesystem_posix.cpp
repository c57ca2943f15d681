// File-system calls on POSIX, with Windows' refusals: read-only files (no
// write permission bits) and files held open are neither replaced nor
// deleted, whoever runs the program.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/fault.h"
#include "platform/filesystem.h"
#include "platform/posix/posix_util.h"

namespace {

bool Fail(uint32_t error) {
  SetOsError(error);
  return false;
}

bool IsReadOnly(const struct stat& info) { return (info.st_mode & 0222) == 0; }

}  // namespace

uint32_t OsGetFileAttributes(const char16_t* path) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) {
    SetOsError(OS_ERROR_ACCESS_DENIED);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  std::string native = ToNativePath(path);
  struct stat info;
  if (native.empty() || stat(native.c_str(), &info) != 0) {
    SetOsError(native.empty() ? OS_ERROR_PATH_NOT_FOUND : OsErrorForPath(native, errno));
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(info.st_mode)) return OS_FILE_ATTRIBUTE_DIRECTORY;
  return OS_FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(info) ? OS_FILE_ATTRIBUTE_READONLY : 0);
}

bool OsSetFileAttributes(const char16_t* path, uint32_t attributes) {
  if (OsFaultCheck(OsOp::SetAttributes) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  std::string native = ToNativePath(path);
  struct stat info;
  if (native.empty()) return Fail(OS_ERROR_PATH_NOT_FOUND);
  if (stat(native.c_str(), &info) != 0) return Fail(OsErrorForPath(native, errno));
  // A read-only folder on Windows still takes new files; leave folders be.
  if (S_ISDIR(info.st_mode)) return true;
  mode_t mode = info.st_mode & 07777;
  mode_t wanted = (attributes & OS_FILE_ATTRIBUTE_READONLY) != 0 ? mode & ~0222 : mode | 0200;
  if (wanted != mode && chmod(native.c_str(), wanted) != 0) return FailWithErrno();
  return true;
}

bool OsMoveFile(const char16_t* from, const char16_t* to, bool replaceExisting) {
  if (OsFaultCheck(OsOp::Move) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  std::string source = ToNativePath(from);
  std::string target = ToNativePath(to);
  struct stat info;
  if (source.empty() || target.empty()) return Fail(OS_ERROR_PATH_NOT_FOUND);
  if (lstat(source.c_str(), &info) != 0) return Fail(OsErrorForPath(source, errno));
  if (!S_ISDIR(info.st_mode) && IsFileHeldOpen(source)) return Fail(OS_ERROR_SHARING_VIOLATION);
  if (lstat(target.c_str(), &info) == 0) {
    if (!replaceExisting) return Fail(OS_ERROR_ALREADY_EXISTS);
    if (S_ISDIR(info.st_mode) || IsReadOnly(info)) return Fail(OS_ERROR_ACCESS_DENIED);
    if (IsFileHeldOpen(target)) return Fail(OS_ERROR_SHARING_VIOLATION);
  }
  if (rename(source.c_str(), target.c_str()) != 0) return FailWithErrno();
  return true;
}

bool OsDeleteFile(const char16_t* path) {
  if (OsFaultCheck(OsOp::Delete) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  std::string native = ToNativePath(path);
  struct stat info;
  if (native.empty()) return Fail(OS_ERROR_PATH_NOT_FOUND);
  if (lstat(native.c_str(), &info) != 0) return Fail(OsErrorForPath(native, errno));
  if (S_ISDIR(info.st_mode) || IsReadOnly(info)) return Fail(OS_ERROR_ACCESS_DENIED);
  if (IsFileHeldOpen(native)) return Fail(OS_ERROR_SHARING_VIOLATION);
  if (unlink(native.c_str()) != 0) return FailWithErrno();
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
