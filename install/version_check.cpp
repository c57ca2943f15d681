#include "install/version_check.h"

#include "payload/file_dx.h"
#include "payload/file_hash.h"
#include "platform/ui.h"
#include "text/text_codec.h"

namespace {

// The archive's fingerprint, read piece by piece up to the size the file
// reports; false when it cannot be opened or any piece falls short.
bool HashArchive(const char16_t* path, ContentHash* hash) {
  CFileDX file;
  return file.OpenRead(path) && HashFileBytes(file, file.GetSize(), hash);
}

int32_t Refuse(const char16_t* message) {
  ShowWarning(message);
  return 0;
}

}  // namespace

int32_t CheckInstalledVersion(const char16_t* installFolder) {
  char16_t path[kVersionArchivePathCapacity];
  if (installFolder == nullptr ||
      FormatWide(path, kVersionArchivePathCapacity, u"%s\\%s", installFolder, kVersionArchiveName) < 0) {
    return Refuse(kVersionCheckFailedMessage);
  }
  ContentHash hash;
  if (!HashArchive(path, &hash)) return Refuse(kVersionCheckFailedMessage);
  if (hash == EXPECTED_ARCHIVE_HASH) return 1;
  if (hash == PATCHED_ARCHIVE_HASH) return Refuse(kAlreadyPatchedMessage);
  return Refuse(kOtherVersionMessage);
}
