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
// the input with the byte loop. The AVX-512 fold takes wide blocks.
constexpr uint32_t kBlockBytes = 32;
constexpr uint32_t kWideBlockBytes = 64;

// True when the processor and the operating system run the instructions.
bool CpuHasSse2();
bool CpuHasAvx2();
bool CpuHasAvx512();  // AVX-512 F and BW

// The bytes before data that the folds read (and ignore); they must be
// readable.
constexpr uint32_t kBytesBefore = 2;

// Fold the first length / kBlockBytes * kBlockBytes bytes of data into
// state, with exactly the byte loop's result, and return how many bytes
// that was. FoldBlocksAvx512 also reads the byte after the blocks it folds,
// so it folds (length - 1) / kWideBlockBytes blocks of kWideBlockBytes.
// Each may only be called when its CpuHas... answers true. They run fastest
// with data on a boundary of their block size.
uint32_t FoldBlocksSse2(FoldState* state, const uint8_t* data, uint32_t length);
uint32_t FoldBlocksAvx2(FoldState* state, const uint8_t* data, uint32_t length);
uint32_t FoldBlocksAvx512(FoldState* state, const uint8_t* data, uint32_t length);

}  // namespace content_hash_simd
