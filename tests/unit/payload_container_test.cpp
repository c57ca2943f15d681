// The payload container reader, with fixtures built by the toolkit's writer.
#include <gtest/gtest.h>

#include <cstring>

#include "payload/byte_order.h"
#include "payload/payload_container.h"
#include "platform/fault.h"
#include "tests/support/test_files.h"
#include "tools/patchkit/container_writer.h"

namespace {

const std::vector<uint8_t> kStub = [] {
  std::vector<uint8_t> stub = PatternBytes(4096, 7);
  stub[0] = 'M';
  stub[1] = 'Z';
  return stub;
}();

class PayloadContainerTest : public ::testing::Test {
 protected:
  void SetUp() override { OsFaultReset(); }
  void TearDown() override { OsFaultReset(); }

  // Writes stub + padding + container bytes as patch.exe; returns its path.
  std::u16string WritePatch(const std::vector<uint8_t>& container) {
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_TRUE(BuildPatchImage(kStub, container, &image, &error)) << error;
    WriteFileBytes(dir.Native("patch.exe"), image);
    return dir.Core(u"patch.exe");
  }

  std::vector<uint8_t> Container(const std::vector<ContainerFile>& files, ContainerLayout layout) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(BuildContainer(files, layout, &bytes, &error)) << error;
    return bytes;
  }

  std::vector<uint8_t> ReadEntry(PayloadContainer& container, uint32_t index, uint32_t piece) {
    PayloadEntry entry = container.Entry(index);
    std::vector<uint8_t> out(entry.size);
    EXPECT_EQ(container.PositionAt(index), 1);
    for (uint32_t done = 0; done < entry.size;) {
      uint32_t length = std::min(piece, entry.size - done);
      EXPECT_EQ(container.ReadNext(out.data() + done, length), length);
      done += length;
    }
    return out;
  }

  TempDir dir;
};

TEST_F(PayloadContainerTest, ReadsBothLayoutsAndEveryEntryInPieces) {
  const std::vector<ContainerFile> files = {
      {"TLM.hvl", PatternBytes(300, 1)},
      {"empty.arc", {}},
      {"\x83\x8b\x83\x81\x83\x67\x83\x8a\x83\x41.arc", PatternBytes(70000, 2)},  // ルメトリア in code page 932
      {"\xe3\x83\xab.dat", PatternBytes(1, 3)},                                  // ル in UTF-8
  };
  struct Case {
    ContainerLayout layout;
    bool isLong;
    uint32_t recordSize;
  };
  for (const Case& c : {Case{ContainerLayout::Long, true, 128}, Case{ContainerLayout::Short, false, 32}}) {
    SCOPED_TRACE(c.recordSize);
    std::u16string path = WritePatch(Container(files, c.layout));
    PayloadContainer container;
    ASSERT_EQ(container.Open(path.c_str()), UPDATE_OK);
    EXPECT_EQ(container.IsLongLayout(), c.isLong);
    ASSERT_EQ(container.EntryCount(), files.size());
    EXPECT_EQ(container.DataAreaOffset(), 0x100010u + 4 * c.recordSize);
    // Read out of directory order, in odd piece sizes, to show entries are
    // independent of each other and of the position left by the last read.
    for (uint32_t index : {2u, 0u, 3u, 1u}) {
      SCOPED_TRACE(index);
      EXPECT_STREQ(container.Entry(index).name, files[index].name.c_str());
      EXPECT_EQ(container.Entry(index).size, files[index].data.size());
      EXPECT_EQ(ReadEntry(container, index, 4093), files[index].data);
    }
    EXPECT_EQ(container.PositionAt(4), 0) << "no such entry";
  }
}

TEST_F(PayloadContainerTest, EntriesMayLieInAnyOrder) {
  std::vector<uint8_t> container = Container({{"a", Bytes("AAAA")}, {"b", Bytes("BB")}}, ContainerLayout::Long);
  // Swap the two entries' data: b first, then a, and point the records there.
  const uint32_t dataStart = 16 + 2 * 128;
  std::vector<uint8_t> data = Bytes("BBAAAA");
  std::copy(data.begin(), data.end(), container.begin() + dataStart);
  StoreLe32(container.data() + 16 + 96, 2);
  StoreLe32(container.data() + 16 + 128 + 96, 0);
  PayloadContainer reader;
  ASSERT_EQ(reader.Open(WritePatch(container).c_str()), UPDATE_OK);
  EXPECT_EQ(ReadEntry(reader, 0, 3), Bytes("AAAA"));
  EXPECT_EQ(ReadEntry(reader, 1, 3), Bytes("BB"));
}

TEST_F(PayloadContainerTest, CountLimitsAndLayoutChoice) {
  struct Case {
    const char* what;
    uint32_t count;
    int magicByteFlipped;  // -1: keep the long magic
    UpdateResult expected;
    bool isLong;
  };
  const Case cases[] = {
      {"no entries", 0, -1, UPDATE_OK, true},
      {"32 entries", 32, -1, UPDATE_OK, true},
      {"33 entries", 33, -1, UPDATE_E_TOO_MANY_ENTRIES, true},
      {"huge count", 0xFFFFFFFF, -1, UPDATE_E_TOO_MANY_ENTRIES, true},
      {"first magic byte", 1, 0, UPDATE_OK, false},
      {"middle magic byte", 1, 6, UPDATE_OK, false},
      {"last magic byte", 1, 11, UPDATE_OK, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t built = std::min(c.count, 32u);
    std::vector<ContainerFile> files;
    for (uint32_t i = 0; i < built; ++i) files.push_back({"f" + std::to_string(i), Bytes("x")});
    // A flipped magic makes the reader take 32-byte records, so build those.
    std::vector<uint8_t> bytes =
        Container(files, c.magicByteFlipped < 0 ? ContainerLayout::Long : ContainerLayout::Short);
    if (c.magicByteFlipped >= 0) {
      std::memcpy(bytes.data(), kPayloadLongMagic, 12);
      bytes[static_cast<size_t>(c.magicByteFlipped)] ^= 0x01;
    }
    StoreLe32(bytes.data() + 12, c.count);
    if (c.expected == UPDATE_E_TOO_MANY_ENTRIES) bytes.resize(16);  // no directory to read at all
    PayloadContainer container;
    EXPECT_EQ(container.Open(WritePatch(bytes).c_str()), c.expected);
    if (c.expected != UPDATE_OK) continue;
    EXPECT_EQ(container.IsLongLayout(), c.isLong);
    EXPECT_EQ(container.EntryCount(), c.count);
    EXPECT_EQ(container.DataAreaOffset(), 0x100010u + c.count * (c.isLong ? 128 : 32));
    if (c.count > 0) {
      EXPECT_EQ(ReadEntry(container, c.count - 1, 1), Bytes("x"));
    }
  }
}

TEST_F(PayloadContainerTest, DamagedOrMissingPayloadIsRefused) {
  std::vector<uint8_t> good = Container({{"a.arc", Bytes("abc")}, {"b.arc", Bytes("de")}}, ContainerLayout::Long);
  struct Case {
    const char* what;
    size_t fileSize;  // the patch file is cut to this many bytes
  };
  const Case cases[] = {
      {"shorter than 1 MiB", 0x100000 - 1},
      {"exactly 1 MiB: no header", 0x100000},
      {"header cut", 0x100000 + 15},
      {"directory cut", 0x100000 + 16 + 2 * 128 - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> image;
    ASSERT_TRUE(BuildPatchImage(kStub, good, &image, nullptr));
    image.resize(c.fileSize);
    WriteFileBytes(dir.Native("cut.exe"), image);
    PayloadContainer container;
    EXPECT_EQ(container.Open(dir.Core(u"cut.exe").c_str()), UPDATE_E_PAYLOAD);
  }
  PayloadContainer missing;
  EXPECT_EQ(missing.Open(dir.Core(u"missing.exe").c_str()), UPDATE_E_PAYLOAD);
  PayloadContainer empty;
  WriteFileBytes(dir.Native("empty.exe"), {});
  EXPECT_EQ(empty.Open(dir.Core(u"empty.exe").c_str()), UPDATE_E_PAYLOAD);
}

TEST_F(PayloadContainerTest, NamesMustEndInsideTheirField) {
  for (ContainerLayout layout : {ContainerLayout::Long, ContainerLayout::Short}) {
    const PayloadLayout& format = layout == ContainerLayout::Long ? kPayloadLongLayout : kPayloadShortLayout;
    SCOPED_TRACE(format.recordSize);
    std::string longest(format.nameSize - 1, 'n');
    std::vector<uint8_t> bytes = Container({{"first", Bytes("1")}, {longest, Bytes("2")}}, layout);
    {
      PayloadContainer container;
      ASSERT_EQ(container.Open(WritePatch(bytes).c_str()), UPDATE_OK) << "the longest name that fits";
      EXPECT_EQ(std::string(container.Entry(1).name), longest);
    }
    // Fill the last byte of the second name's field: no terminator is left.
    bytes[16 + format.recordSize + format.nameSize - 1] = 'n';
    PayloadContainer container;
    EXPECT_EQ(container.Open(WritePatch(bytes).c_str()), UPDATE_E_PAYLOAD);
    EXPECT_EQ(container.EntryCount(), 0u) << "no record of a refused directory is offered";
  }
}

TEST_F(PayloadContainerTest, EntriesMustLieBelow4GiB) {
  struct Case {
    uint32_t offset;
    uint32_t size;
    UpdateResult expected;
  };
  const uint32_t dataArea = 0x100010 + 128;
  const Case cases[] = {
      {0, 0xFFFFFFFF - dataArea + 1, UPDATE_OK},  // ends exactly at 4 GiB
      {0, 0xFFFFFFFF - dataArea + 2, UPDATE_E_PAYLOAD},
      {0xFFFFFFFF, 1, UPDATE_E_PAYLOAD},  // the 32-bit position would wrap to the header
      {0xFFFFFFFF - dataArea, 1, UPDATE_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    std::vector<uint8_t> bytes = Container({{"big", Bytes("z")}}, ContainerLayout::Long);
    StoreLe32(bytes.data() + 16 + 96, c.offset);
    StoreLe32(bytes.data() + 16 + 100, c.size);
    PayloadContainer container;
    EXPECT_EQ(container.Open(WritePatch(bytes).c_str()), c.expected);
  }
}

TEST_F(PayloadContainerTest, ReadFailuresDuringOpenAreDamage) {
  std::u16string path = WritePatch(Container({{"a", Bytes("abc")}}, ContainerLayout::Short));
  for (uint32_t nth : {1u, 2u}) {  // the header read, then the directory read
    SCOPED_TRACE(nth);
    OsFaultArm(OsOp::Read, nth);
    PayloadContainer container;
    EXPECT_EQ(container.Open(path.c_str()), UPDATE_E_PAYLOAD);
    OsFaultReset();
  }
  OsFaultArm(OsOp::OpenRead, 1);
  PayloadContainer unopened;
  EXPECT_EQ(unopened.Open(path.c_str()), UPDATE_E_PAYLOAD);
  OsFaultArm(OsOp::Seek, 1);
  PayloadContainer unpositioned;
  EXPECT_EQ(unpositioned.Open(path.c_str()), UPDATE_E_PAYLOAD);
}

TEST_F(PayloadContainerTest, TheExecutableStaysOpenForReadingOnly) {
  std::u16string path = WritePatch(Container({{"a", Bytes("abc")}}, ContainerLayout::Long));
  PayloadContainer container;
  ASSERT_EQ(container.Open(path.c_str()), UPDATE_OK);
  CFileDX other;
  EXPECT_EQ(other.OpenRead(path.c_str()), 1) << "others may read it";
  other.Close();
  EXPECT_EQ(other.OpenWrite(path.c_str(), 1), 0) << "nobody may write it";
  EXPECT_EQ(container.Open(path.c_str()), UPDATE_E_PAYLOAD) << "a container is opened once";
}

}  // namespace
