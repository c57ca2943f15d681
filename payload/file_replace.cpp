#include "payload/file_replace.h"

#include "payload/file_dx.h"
#include "platform/filesystem.h"

bool ReplaceFileContents(const char16_t* target, const char16_t* temporaryPath, const void* data, uint32_t size) {
  // A read-only target refuses the rename: refuse before writing anything.
  uint32_t attributes = OsGetFileAttributes(target);
  if (attributes != OS_INVALID_FILE_ATTRIBUTES &&
      (attributes & (OS_FILE_ATTRIBUTE_READONLY | OS_FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return false;
  }
  // A leftover of an earlier attempt, or a link planted at the name, is
  // removed itself; the sibling is then created new, never opened through
  // whatever was there.
  OsSetFileAttributes(temporaryPath, OS_FILE_ATTRIBUTE_NORMAL);
  OsDeleteFile(temporaryPath);
  bool written = false;
  {
    CFileDX temporary;
    if (temporary.CreateNew(temporaryPath)) {
      written = (size == 0 || temporary.Write(data, size) == size) && temporary.Flush();
      written = temporary.Close() == 1 && written;
    }
  }
  // The rewritten file keeps the original's attributes (hidden, system; the
  // permission bits on POSIX).
  if (written && attributes != OS_INVALID_FILE_ATTRIBUTES) OsCopyFileAttributes(target, temporaryPath);
  if (written && OsMoveFileWhenFree(temporaryPath, target, true)) return true;
  OsDeleteFile(temporaryPath);
  return false;
}
