#include "payload/content_hash.h"

#include "payload/byte_order.h"

// The fast paths live in content_hash_simd.cpp; until they exist every path
// is the reference loop.
namespace {

void FoldReference(ContentHash* hash, const uint8_t* data, uint32_t length) {
  uint32_t h = LoadLe32(hash->bytes);
  uint8_t a = hash->bytes[4], b = hash->bytes[5], c = hash->bytes[6], d = hash->bytes[7];
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t x = data[i];
    h = h * 233u + x;
    a = static_cast<uint8_t>(a + h);
    b = static_cast<uint8_t>(b ^ h);
    c = static_cast<uint8_t>(c + x);
    d = static_cast<uint8_t>(d ^ x);
  }
  StoreLe32(hash->bytes, h);
  hash->bytes[4] = a;
  hash->bytes[5] = b;
  hash->bytes[6] = c;
  hash->bytes[7] = d;
}

}  // namespace

bool IsContentHashPathAvailable(ContentHashPath path) { return path == ContentHashPath::Reference; }

ContentHashPath FastestContentHashPath() { return ContentHashPath::Reference; }

void UpdateContentHashWith(ContentHashPath, ContentHash* hash, const void* data, uint32_t length) {
  FoldReference(hash, static_cast<const uint8_t*>(data), length);
}

void UpdateContentHash(ContentHash* hash, const void* data, uint32_t length) {
  UpdateContentHashWith(FastestContentHashPath(), hash, data, length);
}
