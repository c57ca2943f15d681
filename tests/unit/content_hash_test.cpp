// ContentHash: the byte loop's known values, and every vector path the
// processor runs against the byte loop, bit for bit, whatever the length,
// alignment, starting state or split into pieces.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "payload/content_hash.h"

namespace {

// Slowest first: the fastest path available is the last available here.
constexpr ContentHashPath kAllPaths[] = {ContentHashPath::Reference, ContentHashPath::Sse2, ContentHashPath::Avx2,
                                         ContentHashPath::Avx512};

std::string PathName(ContentHashPath path) {
  switch (path) {
    case ContentHashPath::Reference:
      return "Reference";
    case ContentHashPath::Sse2:
      return "Sse2";
    case ContentHashPath::Avx2:
      return "Avx2";
    case ContentHashPath::Avx512:
      return "Avx512";
  }
  return "?";
}

std::vector<ContentHashPath> VectorPaths() {
  std::vector<ContentHashPath> paths;
  for (ContentHashPath path : kAllPaths) {
    if (path == ContentHashPath::Reference) continue;
    if (IsContentHashPathAvailable(path)) paths.push_back(path);
  }
  return paths;
}

std::string Hex(const ContentHash& hash) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : hash.bytes) {
    if (!text.empty()) text += ' ';
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

ContentHash Fold(ContentHashPath path, ContentHash start, const uint8_t* data, size_t length) {
  UpdateContentHashWith(path, &start, data, static_cast<uint32_t>(length));
  return start;
}

std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(length);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random() >> 24);
  return bytes;
}

// A buffer whose usable bytes start on a 64-byte boundary plus offset.
class OffsetBuffer {
 public:
  OffsetBuffer(const std::vector<uint8_t>& bytes, size_t offset) : storage_(bytes.size() + offset + 64) {
    auto address = reinterpret_cast<uintptr_t>(storage_.data());
    data_ = storage_.data() + ((64 - address % 64) % 64) + offset;
    if (!bytes.empty()) memcpy(data_, bytes.data(), bytes.size());
  }
  const uint8_t* data() const { return data_; }

 private:
  std::vector<uint8_t> storage_;
  uint8_t* data_;
};

TEST(ContentHashTest, KnownFingerprintsOnEveryPath) {
  struct Case {
    const char* text;
    ContentHash expected;
  };
  const Case cases[] = {
      {"", {{0, 0, 0, 0, 0, 0, 0, 0}}},
      {"abc", {{0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60}}},
  };
  for (const Case& c : cases) {
    for (ContentHashPath path : kAllPaths) {
      ContentHash hash;
      UpdateContentHashWith(path, &hash, c.text, static_cast<uint32_t>(strlen(c.text)));
      EXPECT_EQ(Hex(hash), Hex(c.expected)) << "\"" << c.text << "\" on " << PathName(path);
    }
    ContentHash hash;
    UpdateContentHash(&hash, c.text, static_cast<uint32_t>(strlen(c.text)));
    EXPECT_EQ(Hex(hash), Hex(c.expected)) << "\"" << c.text << "\" on the fastest path";
  }
}

TEST(ContentHashTest, FoldingInPiecesEqualsFoldingAtOnce) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const ContentHash whole = Fold(ContentHashPath::Reference, ContentHash{}, abc, 3);
  for (ContentHashPath path : kAllPaths) {
    for (size_t first = 0; first <= 3; ++first) {
      ContentHash hash = Fold(path, ContentHash{}, abc, first);
      hash = Fold(path, hash, abc + first, 3 - first);
      EXPECT_EQ(Hex(hash), Hex(whole)) << PathName(path) << ", " << first << " + " << 3 - first << " bytes";
    }
  }
}

TEST(ContentHashTest, ReferenceAndTheFastestPathAreAvailable) {
  EXPECT_TRUE(IsContentHashPathAvailable(ContentHashPath::Reference));
  EXPECT_TRUE(IsContentHashPathAvailable(FastestContentHashPath())) << PathName(FastestContentHashPath());
#if defined(__x86_64__)
  EXPECT_TRUE(IsContentHashPathAvailable(ContentHashPath::Sse2)) << "every x86-64 processor has SSE2";
  EXPECT_NE(FastestContentHashPath(), ContentHashPath::Reference);
#endif
  ContentHashPath widest = ContentHashPath::Reference;
  for (ContentHashPath path : kAllPaths) {
    if (IsContentHashPathAvailable(path)) widest = path;
  }
  EXPECT_EQ(PathName(FastestContentHashPath()), PathName(widest));
  std::cout << "[ INFO     ] vector paths on this processor:";
  for (ContentHashPath path : VectorPaths()) std::cout << ' ' << PathName(path);
  std::cout << "; fastest " << PathName(FastestContentHashPath()) << "\n";
}

// Every length up to 4 KiB covers the byte loop's head and tail, partial and
// whole superblocks and more than one of them. The offsets from a 64-byte
// boundary give every kind of head: none, short, and one a whole 32- or
// 64-byte block longer because the folds read two bytes before their start.
TEST(ContentHashTest, VectorPathsMatchTheByteLoopForEveryLengthAlignmentAndStart) {
  constexpr size_t kMaxLength = 4096;
  const std::vector<uint8_t> bytes = RandomBytes(kMaxLength, 1);
  ContentHash random_start;
  const std::vector<uint8_t> start_bytes = RandomBytes(8, 2);
  memcpy(random_start.bytes, start_bytes.data(), 8);
  const ContentHash starts[] = {ContentHash{}, random_start};
  const size_t offsets[] = {0, 1, 2, 15, 31, 33, 62, 63};

  for (size_t offset : offsets) {
    const OffsetBuffer buffer(bytes, offset);
    for (const ContentHash& start : starts) {
      for (size_t length = 0; length <= kMaxLength; ++length) {
        const ContentHash expected = Fold(ContentHashPath::Reference, start, buffer.data(), length);
        for (ContentHashPath path : VectorPaths()) {
          const ContentHash actual = Fold(path, start, buffer.data(), length);
          ASSERT_EQ(Hex(actual), Hex(expected)) << PathName(path) << ", " << length << " bytes at offset " << offset
                                                << ", start " << Hex(start);
        }
      }
    }
  }
}

// Bytes at the ends of the signed and unsigned ranges, where the vector
// paths' offset pair values reach their extremes.
TEST(ContentHashTest, VectorPathsMatchTheByteLoopOnConstantBytes) {
  const uint8_t fills[] = {0x00, 0xFF, 0x80, 0x7F, 0x01};
  const size_t lengths[] = {32, 64, 1000, 1024, 1057, 2048, 4099, 70000};
  for (uint8_t fill : fills) {
    for (size_t length : lengths) {
      const std::vector<uint8_t> bytes(length, fill);
      const ContentHash expected = Fold(ContentHashPath::Reference, ContentHash{}, bytes.data(), length);
      for (ContentHashPath path : VectorPaths()) {
        EXPECT_EQ(Hex(Fold(path, ContentHash{}, bytes.data(), length)), Hex(expected))
            << PathName(path) << ", " << length << " bytes of " << int{fill};
      }
    }
  }
}

// Each length in a buffer of exactly that size: under AddressSanitizer a
// read before or past the bytes given fails the test. Every length up to
// 300 ends the buffer at every offset from a block boundary, wherever the
// allocator puts it; the others end around whole superblocks.
TEST(ContentHashTest, VectorPathsReadOnlyTheBytesGiven) {
  const std::vector<uint8_t> source = RandomBytes(5000, 3);
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= 300; ++length) lengths.push_back(length);
  for (size_t length : {1090, 2047, 2048, 2049, 2050, 2051, 2113, 4096, 4097, 5000}) lengths.push_back(length);
  for (size_t length : lengths) {
    const std::vector<uint8_t> bytes(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(length));
    const ContentHash expected = Fold(ContentHashPath::Reference, ContentHash{}, bytes.data(), length);
    for (ContentHashPath path : VectorPaths()) {
      EXPECT_EQ(Hex(Fold(path, ContentHash{}, bytes.data(), length)), Hex(expected)) << PathName(path) << ", " << length;
    }
  }
}

// 64 MiB folded at once by the byte loop, then by each path in random
// pieces, from a byte up to megabytes, so that the state crosses calls at
// every kind of position.
TEST(ContentHashTest, VectorPathsMatchTheByteLoopOnRandomSplitsOf64MiB) {
  constexpr size_t kSize = size_t{64} << 20;
  const std::vector<uint8_t> bytes = RandomBytes(kSize, 4);
  const ContentHash expected = Fold(ContentHashPath::Reference, ContentHash{}, bytes.data(), kSize);

  std::mt19937 random(5);
  auto piece_length = [&random]() -> size_t {
    switch (random() % 4) {
      case 0:
        return random() % 40;
      case 1:
        return random() % 5000;
      case 2:
        return random() % 100000;
      default:
        return random() % (size_t{4} << 20);
    }
  };
  std::vector<ContentHashPath> paths = VectorPaths();
  for (ContentHashPath path : paths) {
    ContentHash hash;
    size_t pieces = 0;
    for (size_t at = 0; at < kSize; ++pieces) {
      const size_t length = std::min(piece_length(), kSize - at);
      hash = Fold(path, hash, bytes.data() + at, length);
      at += length;
    }
    EXPECT_EQ(Hex(hash), Hex(expected)) << PathName(path) << " in " << pieces << " pieces";
  }
  ContentHash hash;
  for (size_t at = 0; at < kSize;) {
    const size_t length = std::min(piece_length(), kSize - at);
    UpdateContentHash(&hash, bytes.data() + at, static_cast<uint32_t>(length));
    at += length;
  }
  EXPECT_EQ(Hex(hash), Hex(expected)) << "the fastest path";
}

}  // namespace
