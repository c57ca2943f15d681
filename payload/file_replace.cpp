#include "payload/file_replace.h"

#include "payload/file_dx.h"
#include "platform/filesystem.h"

namespace {

// The steps of a replace, on paths or on the names of one open folder.
struct ByPath {
  const char16_t* target;
  const char16_t* sibling;
  uint32_t TargetAttributes() const { return OsGetFileAttributes(target); }
  void ClearSibling() const {
    OsSetFileAttributes(sibling, OS_FILE_ATTRIBUTE_NORMAL);
    OsDeleteFile(sibling);
  }
  bool CreateSibling(CFileDX& file) const { return file.CreateNew(sibling) == 1; }
  void CopyAttributes() const { OsCopyFileAttributes(target, sibling); }
  bool Rename() const { return OsMoveFileWhenFree(sibling, target, true); }
  void DeleteSibling() const { OsDeleteFile(sibling); }
};

struct InFolder {
  OsFolder folder;
  const char16_t* target;
  const char16_t* sibling;
  uint32_t TargetAttributes() const { return OsGetFileAttributesIn(folder, target); }
  void ClearSibling() const {
    OsSetFileAttributesIn(folder, sibling, OS_FILE_ATTRIBUTE_NORMAL);
    OsDeleteFileIn(folder, sibling);
  }
  bool CreateSibling(CFileDX& file) const { return file.CreateNewIn(folder, sibling) == 1; }
  void CopyAttributes() const { OsCopyFileAttributesIn(folder, target, sibling); }
  bool Rename() const { return OsMoveFileWhenFreeIn(folder, sibling, folder, target, true); }
  void DeleteSibling() const { OsDeleteFileIn(folder, sibling); }
};

template <typename Steps>
bool Replace(const Steps& steps, const void* data, uint32_t size) {
  // A read-only target refuses the rename: refuse before writing anything.
  uint32_t attributes = steps.TargetAttributes();
  if (attributes != OS_INVALID_FILE_ATTRIBUTES &&
      (attributes & (OS_FILE_ATTRIBUTE_READONLY | OS_FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return false;
  }
  // A leftover of an earlier attempt, or a link planted at the name, is
  // removed itself; the sibling is then created new, never opened through
  // whatever was there.
  steps.ClearSibling();
  bool written = false;
  {
    CFileDX temporary;
    if (steps.CreateSibling(temporary)) {
      written = (size == 0 || temporary.Write(data, size) == size) && temporary.Flush();
      written = temporary.Close() == 1 && written;
    }
  }
  // The rewritten file keeps the original's attributes (hidden, system; the
  // permission bits on POSIX).
  if (written && attributes != OS_INVALID_FILE_ATTRIBUTES) steps.CopyAttributes();
  if (written && steps.Rename()) return true;
  steps.DeleteSibling();
  return false;
}

}  // namespace

bool ReplaceFileContents(const char16_t* target, const char16_t* temporaryPath, const void* data, uint32_t size) {
  return Replace(ByPath{target, temporaryPath}, data, size);
}

bool ReplaceFileContentsIn(OsFolder folder, const char16_t* target, const char16_t* sibling, const void* data,
                           uint32_t size) {
  return Replace(InFolder{folder, target, sibling}, data, size);
}
