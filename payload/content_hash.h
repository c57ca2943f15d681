// ContentHash: the 8-byte fingerprint of a byte stream.
//
// For each input byte x (0-255), in order:
//   h = h * 233 + x (mod 2^32)      bytes 0-3, little-endian
//   A = A + (h mod 256)  (mod 256)  byte 4
//   B = B xor (h mod 256)           byte 5
//   C = C + x            (mod 256)  byte 6
//   D = D xor x                     byte 7
// All eight bytes start at zero. Folding a stream in pieces gives the same
// fingerprint as folding it at once; the fingerprint of "abc" is
// 06 B4 50 00 12 CC 26 60.
#pragma once

#include <cstdint>

struct ContentHash {
  uint8_t bytes[8] = {};

  friend bool operator==(const ContentHash&, const ContentHash&) = default;
};

// Folds length bytes into the hash, with the fastest implementation the
// processor supports. The result is the same bit for bit on every path.
void UpdateContentHash(ContentHash* hash, const void* data, uint32_t length);

// The implementations UpdateContentHash chooses from.
enum class ContentHashPath {
  Reference,  // the plain byte loop, the definition of the hash
  Sse2,
  Avx2,
  Avx512,  // AVX-512 F and BW
};

// True when this processor (and this build) can run the path.
bool IsContentHashPathAvailable(ContentHashPath path);

// The path UpdateContentHash uses on this processor.
ContentHashPath FastestContentHashPath();

// Folds with one given path; it must be available.
void UpdateContentHashWith(ContentHashPath path, ContentHash* hash, const void* data, uint32_t length);
