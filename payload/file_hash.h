// The ContentHash of a file's bytes, read piece by piece: a file of any size
// costs one piece of memory.
#pragma once

#include <cstdint>

#include "payload/content_hash.h"
#include "payload/file_dx.h"

inline constexpr uint32_t kFileHashPieceBytes = 1u << 20;

// Folds the next size bytes of file into *hash, reading them in pieces of at
// most kFileHashPieceBytes through one buffer (no larger than size). False
// when a piece falls short or the buffer cannot be had.
bool HashFileBytes(CFileDX& file, uint32_t size, ContentHash* hash);
