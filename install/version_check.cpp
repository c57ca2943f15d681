#include "install/version_check.h"

#include "payload/file_dx.h"
#include "payload/file_hash.h"
#include "platform/ui.h"
#include "text/text_codec.h"

namespace {

// The archive's fingerprint, read piece by piece up to the size the file
// reports; false when it cannot be opened or any piece falls short. The
// folder is opened on its own (as an NT path on Windows, so a folder past
// MAX_PATH still works) and the archive in it, never through a link.
bool HashArchive(const char16_t* installFolder, ContentHash* hash) {
  OsFolder folder = OsOpenFolder(installFolder);
  if (folder == kOsInvalidFolder) return false;
  bool hashed = false;
  {
    CFileDX file;
    hashed = file.OpenReadIn(folder, kVersionArchiveName) && HashFileBytes(file, file.GetSize(), hash);
  }
  OsCloseFolder(folder);
  return hashed;
}

int32_t Refuse(const char16_t* message) {
  ShowWarning(message);
  return 0;
}

}  // namespace

int32_t CheckInstalledVersion(const char16_t* installFolder) {
  ContentHash hash;
  if (installFolder == nullptr || !HashArchive(installFolder, &hash)) return Refuse(kVersionCheckFailedMessage);
  if (hash == EXPECTED_ARCHIVE_HASH) return 1;
  if (hash == PATCHED_ARCHIVE_HASH) return Refuse(kAlreadyPatchedMessage);
  return Refuse(kOtherVersionMessage);
}
