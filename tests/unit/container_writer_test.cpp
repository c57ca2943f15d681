// The writer refuses what the reader could not read back, and pads the
// executable to the payload offset with zero bytes.
#include <gtest/gtest.h>

#include "payload/byte_order.h"
#include "tools/patchkit/container_writer.h"

namespace {

TEST(ContainerWriterTest, HeadLaysEntriesBackToBack) {
  std::vector<uint8_t> head;
  std::string error;
  ASSERT_TRUE(BuildContainerHead({{"a", 5}, {"bb", 0}, {"c", 7}}, ContainerLayout::Short, &head, &error)) << error;
  ASSERT_EQ(head.size(), 16u + 3 * 32);
  EXPECT_EQ(std::string(head.begin(), head.begin() + 12), std::string(kPayloadShortMagic, 12));
  EXPECT_EQ(LoadLe32(head.data() + 12), 3u);
  const uint32_t expected[3][2] = {{0, 5}, {5, 0}, {5, 7}};
  for (int i = 0; i < 3; ++i) {
    const uint8_t* record = head.data() + 16 + i * 32;
    EXPECT_EQ(LoadLe32(record + 16), expected[i][0]);
    EXPECT_EQ(LoadLe32(record + 20), expected[i][1]);
    for (int k = 24; k < 32; ++k) EXPECT_EQ(record[k], 0) << "reserved bytes are zero";
  }
}

TEST(ContainerWriterTest, RefusesWhatTheFormatCannotHold) {
  struct Case {
    const char* what;
    std::vector<ContainerItem> items;
    ContainerLayout layout;
  };
  std::vector<ContainerItem> tooMany(33, ContainerItem{"x", 1});
  const Case cases[] = {
      {"33 entries", tooMany, ContainerLayout::Long},
      {"long name in long layout", {{std::string(96, 'a'), 1}}, ContainerLayout::Long},
      {"long name in short layout", {{std::string(16, 'a'), 1}}, ContainerLayout::Short},
      {"empty name", {{"", 1}}, ContainerLayout::Long},
      {"zero byte in name", {{std::string("a\0b", 3), 1}}, ContainerLayout::Long},
      {"past 4 GiB", {{"a", 0xFFFFFFFF}, {"b", 0x10000000}}, ContainerLayout::Long},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> head;
    std::string error;
    EXPECT_FALSE(BuildContainerHead(c.items, c.layout, &head, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(ContainerWriterTest, ImageIsPaddedToThePayloadOffset) {
  std::vector<uint8_t> image;
  std::string error;
  ASSERT_TRUE(BuildPatchImage({'M', 'Z', 1}, {9, 8, 7}, &image, &error)) << error;
  ASSERT_EQ(image.size(), kPayloadOffset + 3u);
  EXPECT_EQ(image[2], 1);
  EXPECT_EQ(std::count(image.begin() + 3, image.begin() + kPayloadOffset, 0), kPayloadOffset - 3);
  EXPECT_EQ(image[kPayloadOffset], 9);

  EXPECT_TRUE(BuildPatchImage(std::vector<uint8_t>(kPayloadOffset, 1), {}, &image, &error)) << "exactly 1 MiB fits";
  EXPECT_FALSE(BuildPatchImage(std::vector<uint8_t>(kPayloadOffset + 1, 1), {}, &image, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
