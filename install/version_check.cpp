#include "install/version_check.h"

#include "payload/file_dx.h"
#include "payload/file_hash.h"
#include "platform/ui.h"
#include "text/text_codec.h"

namespace {

// The archive's fingerprint, read piece by piece up to the size the file
// reports; false when it cannot be opened (never through a link) or any
// piece falls short.
bool HashArchive(OsFolder folder, ContentHash* hash) {
  CFileDX file;
  return file.OpenReadIn(folder, kVersionArchiveName) && HashFileBytes(file, file.GetSize(), hash);
}

int32_t Refuse(const char16_t* message) {
  ShowWarning(message);
  return 0;
}

}  // namespace

int32_t CheckInstalledVersionIn(OsFolder installFolder) {
  ContentHash hash;
  if (!HashArchive(installFolder, &hash)) return Refuse(kVersionCheckFailedMessage);
  if (hash == EXPECTED_ARCHIVE_HASH) return 1;
  if (hash == PATCHED_ARCHIVE_HASH) return Refuse(kAlreadyPatchedMessage);
  return Refuse(kOtherVersionMessage);
}

int32_t CheckInstalledVersion(const char16_t* installFolder) {
  // The folder is opened on its own (as an NT path on Windows, so a folder
  // past MAX_PATH still works).
  OsFolderOwner folder(installFolder != nullptr ? OsOpenFolder(installFolder) : kOsInvalidFolder);
  return CheckInstalledVersionIn(folder.Get());
}
