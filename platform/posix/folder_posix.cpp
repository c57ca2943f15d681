// Open folders on POSIX: a descriptor per folder, and every call on one name
// of it through the *at() calls, never following a link at the name.
// Windows' rules hold as in the path calls: read-only files (no write bits)
// and files held open are neither replaced nor deleted, and names compare
// without case.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/fault.h"
#include "platform/filesystem.h"
#include "platform/folder.h"
#include "platform/posix/posix_util.h"

namespace {

struct Folder {
  int fd = -1;
  std::u16string path;  // as the core spells it, for traces
};

Folder* AsFolder(OsFolder folder) { return reinterpret_cast<Folder*>(folder); }

int Descriptor(OsFolder folder) { return folder == kOsInvalidFolder ? -1 : AsFolder(folder)->fd; }

bool Fail(uint32_t error) {
  SetOsError(error);
  return false;
}

OsFile FailOpen(uint32_t error) {
  SetOsError(error);
  return kOsInvalidFile;
}

// Errors of a call on one name: a missing folder cannot happen here, so a
// missing name is always OS_ERROR_FILE_NOT_FOUND.
uint32_t NameError(int error) {
  if (error == ELOOP) return OS_ERROR_ACCESS_DENIED;
  return OsErrorFromErrno(error);
}

bool IsReadOnly(const struct stat& info) { return (info.st_mode & 0222) == 0; }

// "<folder>\<name>" for a trace, in a buffer of the caller's: nothing is
// allocated during a commit.
constexpr size_t kTracePathUnits = 2048;
const char16_t* TracePath(OsFolder folder, const char16_t* name, char16_t* buffer) {
  const std::u16string& path = AsFolder(folder)->path;
  size_t used = 0;
  for (size_t i = 0; i < path.size() && used + 2 < kTracePathUnits; ++i) buffer[used++] = path[i];
  buffer[used++] = u'\\';
  for (; *name != 0 && used + 1 < kTracePathUnits; ++name) buffer[used++] = *name;
  buffer[used] = 0;
  return buffer;
}

// Sets the permission bits of an entry, never through a link: the entry is
// opened without following one (a link has no bits of its own here, so
// there is nothing to set) and changed through the descriptor.
bool SetModeIn(int folder, const char* name, bool readOnly, bool* changed) {
  *changed = false;
  int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP || Fail(NameError(errno));
  struct stat info;
  bool ok = fstat(fd, &info) == 0 || FailWithErrno();
  // A read-only folder on Windows still takes new files; leave folders be.
  if (ok && S_ISREG(info.st_mode)) {
    mode_t mode = info.st_mode & 07777;
    mode_t wanted = readOnly ? mode & ~0222 : mode | 0200;
    if (wanted != mode) {
      ok = fchmod(fd, wanted) == 0 || FailWithErrno();
      *changed = ok;
    }
  }
  close(fd);
  return ok;
}

// The folder of descriptor fd at "<path>" or "<path>\\<name>"; closes fd
// when memory runs out.
OsFolder NewFolder(int fd, const char16_t* path, const char16_t* name) {
  try {
    auto folder = std::make_unique<Folder>();
    folder->path = path;
    if (name != nullptr) folder->path.append(u"\\").append(name);
    folder->fd = fd;
    return reinterpret_cast<OsFolder>(folder.release());
  } catch (const std::bad_alloc&) {
    close(fd);
    SetOsError(OS_ERROR_NOT_ENOUGH_MEMORY);
    return kOsInvalidFolder;
  }
}

}  // namespace

OsFolder OsOpenFolder(const char16_t* path) {
  if (OsFaultCheck(OsOp::OpenFolder) != OsFault::None) {
    SetOsError(OS_ERROR_ACCESS_DENIED);
    return kOsInvalidFolder;
  }
  NativePath native;
  if (!ToNativePath(path, &native)) return kOsInvalidFolder;
  // The folder itself may be a link: followed.
  int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetOsError(errno == ENOTDIR ? OS_ERROR_DIRECTORY : OsErrorForPath(native.c_str(), errno));
    return kOsInvalidFolder;
  }
  return NewFolder(fd, path, nullptr);
}

OsFolder OsOpenSubFolder(OsFolder parent, const char16_t* name) {
  if (OsFaultCheck(OsOp::OpenFolder) != OsFault::None) {
    SetOsError(OS_ERROR_ACCESS_DENIED);
    return kOsInvalidFolder;
  }
  LeafName leaf;
  if (!ResolveNameIn(Descriptor(parent), name, &leaf)) return kOsInvalidFolder;
  int fd = openat(Descriptor(parent), leaf.text, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    struct stat info;
    bool link = fstatat(Descriptor(parent), leaf.text, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
    // A link is refused as on Windows; so is a file where a folder is meant.
    SetOsError(link || error == ELOOP ? OS_ERROR_ACCESS_DENIED
                                      : error == ENOTDIR ? OS_ERROR_DIRECTORY : OsErrorFromErrno(error));
    return kOsInvalidFolder;
  }
  return NewFolder(fd, AsFolder(parent)->path.c_str(), name);
}

void OsCloseFolder(OsFolder folder) {
  if (folder == kOsInvalidFolder) return;
  close(AsFolder(folder)->fd);
  delete AsFolder(folder);
}

bool OsFlushOpenFolder(OsFolder folder) {
  if (OsFaultCheck(OsOp::FlushFolder) != OsFault::None) return Fail(OS_ERROR_WRITE_FAULT);
  if (fsync(Descriptor(folder)) != 0) return FailWithErrno();
  OsTracePath(OsOp::FlushFolder, AsFolder(folder)->path.c_str());
  return true;
}

OsFile OsOpenReadIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::OpenRead) != OsFault::None) return FailOpen(OS_ERROR_ACCESS_DENIED);
  LeafName leaf;
  if (!ResolveNameIn(Descriptor(folder), name, &leaf)) return kOsInvalidFile;
  int fd = openat(Descriptor(folder), leaf.text, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FailOpen(NameError(errno));
  struct stat info;
  // A plain file only: not a folder, pipe or device planted at the name.
  uint32_t error = fstat(fd, &info) != 0 ? OsErrorFromErrno(errno) : !S_ISREG(info.st_mode) ? OS_ERROR_ACCESS_DENIED : 0;
  if (error == 0 && flock(fd, LOCK_SH | LOCK_NB) != 0) error = OS_ERROR_SHARING_VIOLATION;
  if (error != 0) {
    close(fd);
    return FailOpen(error);
  }
  return static_cast<OsFile>(fd);
}

OsFile OsCreateNewIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::CreateNew) != OsFault::None) return FailOpen(OS_ERROR_ACCESS_DENIED);
  LeafName leaf;
  if (!ResolveNameIn(Descriptor(folder), name, &leaf)) return kOsInvalidFile;
  int fd = openat(Descriptor(folder), leaf.text, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return FailOpen(errno == EEXIST ? OS_ERROR_FILE_EXISTS : NameError(errno));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return FailOpen(OS_ERROR_SHARING_VIOLATION);
  }
  char16_t trace[kTracePathUnits];
  OsTraceOpen(OsOp::CreateNew, TracePath(folder, name, trace), static_cast<OsFile>(fd), true);
  return static_cast<OsFile>(fd);
}

uint32_t OsGetFileAttributesIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) {
    SetOsError(OS_ERROR_ACCESS_DENIED);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  LeafName leaf;
  if (!ResolveNameIn(Descriptor(folder), name, &leaf)) return OS_INVALID_FILE_ATTRIBUTES;
  struct stat info;
  if (fstatat(Descriptor(folder), leaf.text, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    SetOsError(NameError(errno));
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISLNK(info.st_mode)) {
    // As on Windows: the link's own attributes, a folder link marked as one.
    struct stat target;
    bool isFolder = fstatat(Descriptor(folder), leaf.text, &target, 0) == 0 && S_ISDIR(target.st_mode);
    return OS_FILE_ATTRIBUTE_REPARSE_POINT | (isFolder ? OS_FILE_ATTRIBUTE_DIRECTORY : OS_FILE_ATTRIBUTE_ARCHIVE);
  }
  if (S_ISDIR(info.st_mode)) return OS_FILE_ATTRIBUTE_DIRECTORY;
  return OS_FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(info) ? OS_FILE_ATTRIBUTE_READONLY : 0);
}

bool OsSetFileAttributesIn(OsFolder folder, const char16_t* name, uint32_t attributes) {
  if (OsFaultCheck(OsOp::SetAttributes) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  LeafName leaf;
  if (!ResolveNameIn(Descriptor(folder), name, &leaf)) return false;
  bool changed = false;
  if (!SetModeIn(Descriptor(folder), leaf.text, (attributes & OS_FILE_ATTRIBUTE_READONLY) != 0, &changed)) return false;
  if (changed) {
    char16_t trace[kTracePathUnits];
    OsTracePath(OsOp::SetAttributes, TracePath(folder, name, trace), nullptr, attributes);
  }
  return true;
}

bool OsMoveFileIn(OsFolder fromFolder, const char16_t* from, OsFolder toFolder, const char16_t* to,
                  bool replaceExisting) {
  // An injected failure is the device's (not retried); Busy and Denied are
  // another program holding the file for a moment.
  OsFault fault = OsFaultCheck(OsOp::Move);
  if (fault != OsFault::None) return Fail(OsFaultMoveError(fault));
  int source = Descriptor(fromFolder);
  int target = Descriptor(toFolder);
  LeafName sourceName;
  LeafName targetName;
  if (!ResolveNameIn(source, from, &sourceName) || !ResolveNameIn(target, to, &targetName)) return false;
  struct stat info;
  if (fstatat(source, sourceName.text, &info, AT_SYMLINK_NOFOLLOW) != 0) return Fail(NameError(errno));
  if (!S_ISDIR(info.st_mode) && IsFileHeldOpenIn(source, sourceName.text)) return Fail(OS_ERROR_SHARING_VIOLATION);
  bool sameEntry = source == target && std::strcmp(sourceName.text, targetName.text) == 0;
  // Windows gives the file the name as the caller spells it, also when it
  // replaces a file whose name differs only in case, or renames a file to
  // another case of its own name.
  if (sameEntry) {
    if (targetName.respelled && renameat(source, sourceName.text, target, targetName.spelled) != 0) return FailWithErrno();
  } else {
    if (fstatat(target, targetName.text, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!replaceExisting) return Fail(OS_ERROR_ALREADY_EXISTS);
      if (S_ISDIR(info.st_mode) || IsReadOnly(info)) return Fail(OS_ERROR_ACCESS_DENIED);
      if (IsFileHeldOpenIn(target, targetName.text)) return Fail(OS_ERROR_SHARING_VIOLATION);
    }
    // The replace is one rename onto the entry that is there, so the name
    // is never without a file; the new spelling follows.
    if (renameat(source, sourceName.text, target, targetName.text) != 0) return FailWithErrno();
    if (targetName.respelled) renameat2(target, targetName.text, target, targetName.spelled, RENAME_NOREPLACE);
  }
  char16_t trace[kTracePathUnits];
  char16_t trace2[kTracePathUnits];
  OsTracePath(OsOp::Move, TracePath(fromFolder, from, trace), TracePath(toFolder, to, trace2));
  return true;
}

bool OsLinkFileIn(OsFolder folder, const char16_t* existing, OsFolder newFolder, const char16_t* newName) {
  if (OsFaultCheck(OsOp::Link) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  LeafName source;
  LeafName target;
  if (!ResolveNameIn(Descriptor(folder), existing, &source) || !ResolveNameIn(Descriptor(newFolder), newName, &target)) {
    return false;
  }
  // Without AT_SYMLINK_FOLLOW a link gets a second name itself.
  if (linkat(Descriptor(folder), source.text, Descriptor(newFolder), target.spelled, 0) != 0) {
    if (errno == EEXIST) return Fail(OS_ERROR_ALREADY_EXISTS);
    if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK) return Fail(OS_ERROR_NOT_SUPPORTED);
    return Fail(NameError(errno));
  }
  char16_t trace[kTracePathUnits];
  char16_t trace2[kTracePathUnits];
  OsTracePath(OsOp::Link, TracePath(folder, existing, trace), TracePath(newFolder, newName, trace2));
  return true;
}

bool OsDeleteFileIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::Delete) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  int fd = Descriptor(folder);
  LeafName leaf;
  if (!ResolveNameIn(fd, name, &leaf)) return false;
  struct stat info;
  if (fstatat(fd, leaf.text, &info, AT_SYMLINK_NOFOLLOW) != 0) return Fail(NameError(errno));
  if (S_ISDIR(info.st_mode) || IsReadOnly(info)) return Fail(OS_ERROR_ACCESS_DENIED);
  if (IsFileHeldOpenIn(fd, leaf.text)) return Fail(OS_ERROR_SHARING_VIOLATION);
  if (unlinkat(fd, leaf.text, 0) != 0) return Fail(NameError(errno));
  char16_t trace[kTracePathUnits];
  OsTracePath(OsOp::Delete, TracePath(folder, name, trace));
  return true;
}

bool OsFileInUseIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  LeafName leaf;
  return ResolveNameIn(Descriptor(folder), name, &leaf) && IsFileHeldOpenIn(Descriptor(folder), leaf.text);
}

bool OsCopyFileAttributesIn(OsFolder folder, const char16_t* from, const char16_t* to) {
  if (OsFaultCheck(OsOp::CopyAttributes) != OsFault::None) return Fail(OS_ERROR_ACCESS_DENIED);
  int fd = Descriptor(folder);
  LeafName source;
  LeafName target;
  if (!ResolveNameIn(fd, from, &source) || !ResolveNameIn(fd, to, &target)) return false;
  struct stat info;
  if (fstatat(fd, source.text, &info, AT_SYMLINK_NOFOLLOW) != 0) return Fail(NameError(errno));
  if (!S_ISREG(info.st_mode)) return true;
  int file = openat(fd, target.text, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) return errno == ELOOP || Fail(NameError(errno));
  struct stat targetInfo;
  bool ok = (fstat(file, &targetInfo) == 0 || FailWithErrno()) &&
            (!S_ISREG(targetInfo.st_mode) || fchmod(file, info.st_mode & 07777) == 0 || FailWithErrno());
  close(file);
  if (!ok) return false;
  char16_t trace[kTracePathUnits];
  char16_t trace2[kTracePathUnits];
  OsTracePath(OsOp::CopyAttributes, TracePath(folder, from, trace), TracePath(folder, to, trace2),
              IsReadOnly(info) ? OS_FILE_ATTRIBUTE_READONLY : 0);
  return true;
}

void OsDropCachedContentsIn(OsFolder folder, const char16_t* name) {
  LeafName leaf;
  if (!ResolveNameIn(Descriptor(folder), name, &leaf)) return;
  int fd = openat(Descriptor(folder), leaf.text, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}
