#include "install/version_check.h"

#include <algorithm>
#include <memory>
#include <new>

#include "payload/file_dx.h"
#include "platform/ui.h"
#include "text/text_codec.h"

namespace {

// The archive's fingerprint, read piece by piece up to the size the file
// reports; false when it cannot be opened or any piece falls short.
bool HashArchive(const char16_t* path, ContentHash* hash) {
  CFileDX file;
  if (!file.OpenRead(path)) return false;
  uint32_t remaining = file.GetSize();
  if (remaining == 0) return true;
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[std::min(remaining, kVersionCheckPieceBytes)]);
  if (!piece) return false;
  while (remaining > 0) {
    uint32_t count = std::min(remaining, kVersionCheckPieceBytes);
    if (file.Read(piece.get(), count) != count) return false;
    UpdateContentHash(hash, piece.get(), count);
    remaining -= count;
  }
  return true;
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
