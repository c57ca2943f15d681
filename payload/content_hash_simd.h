// The vector implementations behind UpdateContentHash; private to
// content_hash.cpp and its tests' build.
#pragma once

#include <cstdint>

namespace content_hash_simd {

// The fingerprint's running state, unpacked from its 8 bytes.
struct FoldState {
  uint32_t h;
  uint8_t a, b, c, d;
};

// The bytes a vector fold consumes per step; the caller folds the rest of
// the input with the byte loop.
constexpr uint32_t kBlockBytes = 32;

// True when the processor and the operating system run the instructions.
bool CpuHasSse2();
bool CpuHasAvx2();

// The bytes before data that the folds read (and ignore); they must be
// readable.
constexpr uint32_t kBytesBefore = 2;

// Fold the first length / kBlockBytes * kBlockBytes bytes of data into
// state, with exactly the byte loop's result, and return how many bytes
// that was. Each may only be called when its CpuHas... answers true. They
// run fastest with data on a kBlockBytes boundary.
uint32_t FoldBlocksSse2(FoldState* state, const uint8_t* data, uint32_t length);
uint32_t FoldBlocksAvx2(FoldState* state, const uint8_t* data, uint32_t length);

}  // namespace content_hash_simd
