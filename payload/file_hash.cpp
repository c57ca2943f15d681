#include "payload/file_hash.h"

#include <algorithm>
#include <memory>
#include <new>

bool HashFileBytes(CFileDX& file, uint32_t size, ContentHash* hash) {
  if (size == 0) return true;
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[std::min(size, kFileHashPieceBytes)]);
  if (!piece) return false;
  for (uint32_t remaining = size; remaining > 0;) {
    uint32_t count = std::min(remaining, kFileHashPieceBytes);
    if (file.Read(piece.get(), count) != count) return false;
    UpdateContentHash(hash, piece.get(), count);
    remaining -= count;
  }
  return true;
}
