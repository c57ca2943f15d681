#include "payload/content_hash.h"

#include "payload/byte_order.h"
#include "payload/content_hash_simd.h"

namespace {

using content_hash_simd::FoldState;

FoldState Unpack(const ContentHash& hash) {
  return {LoadLe32(hash.bytes), hash.bytes[4], hash.bytes[5], hash.bytes[6], hash.bytes[7]};
}

void Pack(const FoldState& state, ContentHash* hash) {
  StoreLe32(hash->bytes, state.h);
  hash->bytes[4] = state.a;
  hash->bytes[5] = state.b;
  hash->bytes[6] = state.c;
  hash->bytes[7] = state.d;
}

// The definition of the hash; the vector paths must match it bit for bit.
void FoldReference(FoldState* state, const uint8_t* data, uint32_t length) {
  uint32_t h = state->h;
  uint8_t a = state->a, b = state->b, c = state->c, d = state->d;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t x = data[i];
    h = h * 233u + x;
    a = static_cast<uint8_t>(a + h);
    b = static_cast<uint8_t>(b ^ h);
    c = static_cast<uint8_t>(c + x);
    d = static_cast<uint8_t>(d ^ x);
  }
  *state = {h, a, b, c, d};
}

// Asked once: the answers cannot change while the program runs.
struct CpuSupport {
  bool sse2 = content_hash_simd::CpuHasSse2();
  bool avx2 = content_hash_simd::CpuHasAvx2();
  bool avx512 = content_hash_simd::CpuHasAvx512();
};

const CpuSupport& Cpu() {
  static const CpuSupport support;
  return support;
}

}  // namespace

bool IsContentHashPathAvailable(ContentHashPath path) {
  switch (path) {
    case ContentHashPath::Reference:
      return true;
    case ContentHashPath::Sse2:
      return Cpu().sse2;
    case ContentHashPath::Avx2:
      return Cpu().avx2;
    case ContentHashPath::Avx512:
      return Cpu().avx512;
  }
  return false;
}

ContentHashPath FastestContentHashPath() {
  if (Cpu().avx512) return ContentHashPath::Avx512;
  if (Cpu().avx2) return ContentHashPath::Avx2;
  if (Cpu().sse2) return ContentHashPath::Sse2;
  return ContentHashPath::Reference;
}

// A path the processor lacks folds with the byte loop instead, so a wrong
// choice costs speed, never a wrong fingerprint or a crash.
void UpdateContentHashWith(ContentHashPath path, ContentHash* hash, const void* data, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  FoldState state = Unpack(*hash);
  uint32_t done = 0;
  auto* fold = content_hash_simd::FoldBlocksSse2;
  uint32_t block = content_hash_simd::kBlockBytes;
  if (path == ContentHashPath::Avx2) fold = content_hash_simd::FoldBlocksAvx2;
  if (path == ContentHashPath::Avx512) {
    fold = content_hash_simd::FoldBlocksAvx512;
    block = content_hash_simd::kWideBlockBytes;
  }
  if (path != ContentHashPath::Reference && IsContentHashPathAvailable(path)) {
    // The byte loop takes the bytes up to a block boundary, and at least
    // the ones the vector fold reads before its start.
    uint32_t head = static_cast<uint32_t>(0u - reinterpret_cast<uintptr_t>(bytes)) % block;
    if (head < content_hash_simd::kBytesBefore) head += block;
    if (length >= head + block) {
      FoldReference(&state, bytes, head);
      done = head + fold(&state, bytes + head, length - head);
    }
  }
  FoldReference(&state, bytes + done, length - done);
  Pack(state, hash);
}

void UpdateContentHash(ContentHash* hash, const void* data, uint32_t length) {
  UpdateContentHashWith(FastestContentHashPath(), hash, data, length);
}
