// The fixture tool that gives a byte stream a chosen fingerprint.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_files.h"
#include "tests/tools/hash_suffix.h"

namespace {

ContentHash Fingerprint(const std::vector<uint8_t>& bytes) {
  ContentHash hash;
  UpdateContentHash(&hash, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return hash;
}

ContentHash RandomHash(std::mt19937& random) {
  ContentHash hash;
  for (uint8_t& byte : hash.bytes) byte = static_cast<uint8_t>(random());
  return hash;
}

// Bends a hash so that it keeps the relations of every byte stream's
// fingerprint: bit 0 of C and D equal, bit 0 of A and B equal, and
// 233 * h = 232 * A + C (mod 256), which sets the low byte of h (89 * 233 = 1).
ContentHash Reachable(ContentHash hash) {
  hash.bytes[6] = static_cast<uint8_t>((hash.bytes[6] & ~1) | (hash.bytes[7] & 1));
  hash.bytes[5] = static_cast<uint8_t>((hash.bytes[5] & ~1) | (hash.bytes[4] & 1));
  hash.bytes[0] = static_cast<uint8_t>(89u * (232u * hash.bytes[4] + hash.bytes[6]));
  return hash;
}

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

TEST(HashSuffixTest, EveryByteStreamKeepsTheRelations) {
  std::mt19937 random(8);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> bytes = RandomBytes(random, random() % 300);
    ContentHash hash = Fingerprint(bytes);
    EXPECT_EQ(hash, Reachable(hash)) << "a stream of " << bytes.size() << " bytes";
    EXPECT_EQ(HashSuffixUnreachableReason(ContentHash{}, hash), "");
  }
}

TEST(HashSuffixTest, ReachesRandomTargetsFromRandomStreams) {
  std::mt19937 random(1);
  for (int i = 0; i < 100; ++i) {
    std::vector<uint8_t> bytes = RandomBytes(random, random() % 4000);
    ContentHash target = Reachable(RandomHash(random));
    SCOPED_TRACE(FormatContentHash(target));
    std::vector<uint8_t> suffix;
    ASSERT_TRUE(FindHashSuffix(Fingerprint(bytes), target, &suffix));
    EXPECT_LE(suffix.size(), kHashSuffixMaxBytes);
    bytes.insert(bytes.end(), suffix.begin(), suffix.end());
    EXPECT_EQ(Fingerprint(bytes), target);
  }
}

TEST(HashSuffixTest, AppendsToByteStrings) {
  std::mt19937 random(5);
  std::vector<uint8_t> bytes = RandomBytes(random, 33);
  const std::vector<uint8_t> start = bytes;
  ContentHash target = Reachable(RandomHash(random));
  ASSERT_TRUE(AppendHashSuffix(&bytes, target));
  EXPECT_TRUE(std::equal(start.begin(), start.end(), bytes.begin()));
  EXPECT_EQ(Fingerprint(bytes), target);

  const std::vector<uint8_t> done = bytes;
  target.bytes[6] ^= 0x80;
  EXPECT_FALSE(AppendHashSuffix(&bytes, target));
  EXPECT_EQ(bytes, done);
}

TEST(HashSuffixTest, SameArgumentsGiveTheSameSuffixAndAReachedTargetNeedsNone) {
  std::mt19937 random(2);
  ContentHash from = Fingerprint(RandomBytes(random, 100));
  ContentHash target = Reachable(RandomHash(random));
  std::vector<uint8_t> first, second;
  ASSERT_TRUE(FindHashSuffix(from, target, &first));
  ASSERT_TRUE(FindHashSuffix(from, target, &second));
  EXPECT_EQ(first, second);
  EXPECT_FALSE(first.empty());

  std::vector<uint8_t> none = {1, 2, 3};
  EXPECT_TRUE(FindHashSuffix(from, from, &none));
  EXPECT_TRUE(none.empty());
}

TEST(HashSuffixTest, RefusesTargetsThatBreakARelation) {
  std::mt19937 random(3);
  ContentHash from = Fingerprint(RandomBytes(random, 50));
  ContentHash reachable = Reachable(RandomHash(random));
  struct Case {
    const char* what;
    int byte;
    uint8_t flipped;  // bits
    const char* named;
  };
  const Case cases[] = {
      {"C against D", 7, 1, "bit 0 of lane C"},
      {"A against B", 5, 1, "bit 0 of lane A"},
      {"h against D, and the tie", 0, 1, "bit 0 of h"},
      {"bit 1 of h", 0, 2, "233 * h - 232 * A - C"},
      {"bit 7 of h", 0, 0x80, "233 * h - 232 * A - C"},
      {"bit 3 of A", 4, 8, "233 * h - 232 * A - C"},
      {"bit 7 of C", 6, 0x80, "233 * h - 232 * A - C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ContentHash target = reachable;
    target.bytes[c.byte] ^= c.flipped;
    EXPECT_NE(HashSuffixUnreachableReason(from, target).find(c.named), std::string::npos);
    std::vector<uint8_t> suffix = {9};
    EXPECT_FALSE(FindHashSuffix(from, target, &suffix));
    EXPECT_TRUE(suffix.empty());
  }
  // Bits of A above bit 4 do not enter the tie (232 * 32 = 0 mod 256), and
  // the upper bytes of h enter nothing.
  for (auto [byte, bits] : {std::pair{4, 0xE0}, std::pair{1, 0xFF}, std::pair{3, 0x80}}) {
    ContentHash target = reachable;
    target.bytes[byte] ^= static_cast<uint8_t>(bits);
    EXPECT_EQ(HashSuffixUnreachableReason(from, target), "") << byte;
  }
}

TEST(HashSuffixTest, AppendsToFiles) {
  TempDir dir;
  std::mt19937 random(4);
  const size_t sizes[] = {0, 1, 65536 + 17};  // the last one is read in two chunks
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> bytes = RandomBytes(random, size);
    WriteFileBytes(dir.Native("file.bin"), bytes);
    ContentHash target = Reachable(RandomHash(random));
    size_t appended = 0;
    std::string error;
    ASSERT_TRUE(AppendHashSuffix(dir.Native("file.bin"), target, &appended, &error)) << error;
    std::vector<uint8_t> written = ReadFileBytes(dir.Native("file.bin"));
    ASSERT_EQ(written.size(), size + appended);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), written.begin())) << "the file's own bytes stay";
    EXPECT_EQ(Fingerprint(written), target);
  }

  std::vector<uint8_t> before = ReadFileBytes(dir.Native("file.bin"));
  ContentHash unreachable = Reachable(RandomHash(random));
  unreachable.bytes[6] ^= 1;
  size_t appended = 1;
  std::string error;
  EXPECT_FALSE(AppendHashSuffix(dir.Native("file.bin"), unreachable, &appended, &error));
  EXPECT_NE(error.find("cannot follow"), std::string::npos) << error;
  EXPECT_EQ(appended, 0u);
  EXPECT_EQ(ReadFileBytes(dir.Native("file.bin")), before) << "a refused target leaves the file alone";

  error.clear();
  EXPECT_FALSE(AppendHashSuffix(dir.Native("missing.bin"), unreachable, &appended, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.Native("missing.bin")));
}

TEST(HashSuffixTest, ParsesAndFormatsFingerprints) {
  ContentHash hash;
  ASSERT_TRUE(ParseContentHash("dede0353B57306CE", &hash));
  EXPECT_EQ(hash, (ContentHash{{0xDE, 0xDE, 0x03, 0x53, 0xB5, 0x73, 0x06, 0xCE}}));
  EXPECT_EQ(FormatContentHash(hash), "DEDE0353B57306CE");
  for (const char* bad : {"", "DEDE0353B57306C", "DEDE0353B57306CE0", "DEDE0353B57306CG", "0x DE0353B57306CE"}) {
    SCOPED_TRACE(bad);
    ContentHash untouched = hash;
    EXPECT_FALSE(ParseContentHash(bad, &untouched));
    EXPECT_EQ(untouched, hash);
  }
}

}  // namespace
