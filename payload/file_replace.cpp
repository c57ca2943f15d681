#include "payload/file_replace.h"

#include "payload/file_dx.h"
#include "platform/filesystem.h"

bool ReplaceFileContents(const char16_t* target, const char16_t* temporaryPath, const void* data, uint32_t size) {
  // A read-only leftover of an earlier attempt would refuse the open.
  OsSetFileAttributes(temporaryPath, OS_FILE_ATTRIBUTE_NORMAL);
  bool written = false;
  {
    CFileDX temporary;
    if (temporary.OpenWrite(temporaryPath, 0)) {
      written = (size == 0 || temporary.Write(data, size) == size) && temporary.Flush();
      written = temporary.Close() == 1 && written;
    }
  }
  if (written && OsMoveFile(temporaryPath, target, true)) return true;
  OsDeleteFile(temporaryPath);
  return false;
}
