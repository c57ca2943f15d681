// Loading, lookup and pruning of hash lists in both layouts.
#include <gtest/gtest.h>

#include <cstring>

#include "payload/byte_order.h"
#include "payload/hash_list.h"
#include "text/text_codec.h"
#include "platform/fault.h"
#include "tests/support/test_files.h"
#include "tools/patchkit/hash_list_writer.h"

namespace {

ContentHash HashOf(uint8_t seed) {
  ContentHash hash;
  for (int i = 0; i < 8; ++i) hash.bytes[i] = static_cast<uint8_t>(seed * 16 + i);
  return hash;
}

std::vector<uint8_t> ListBytes(const std::vector<HashListRecord>& records, HashListLayout layout,
                               uint32_t reserved = 0) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BuildHashList(records, layout, reserved, &bytes, &error)) << error;
  return bytes;
}

class HashListTest : public ::testing::Test {
 protected:
  void SetUp() override { OsFaultReset(); }
  void TearDown() override { OsFaultReset(); }

  // Loads bytes written to a file, with available bytes (default: all).
  HashListTable Load(const std::vector<uint8_t>& bytes, int64_t available = -1) {
    WriteFileBytes(dir.Native("list.bin"), bytes);
    CFileDX file;
    EXPECT_EQ(file.OpenRead(dir.Core(u"list.bin").c_str()), 1);
    return LoadHashList(file, available < 0 ? bytes.size() : static_cast<uint64_t>(available));
  }

  TempDir dir;
};

const HashListLayout kLayouts[] = {HashListLayout::Long, HashListLayout::Short};

TEST_F(HashListTest, LoadsBothLayoutsWithNamesInUtf8) {
  for (HashListLayout layout : kLayouts) {
    SCOPED_TRACE(layout == HashListLayout::Long ? "256-byte records" : "64-byte records");
    std::vector<uint8_t> bytes = ListBytes({{"data.arc", HashOf(1)},
                                            {"\x83\x8b\x83\x81.arc", HashOf(2)},  // ルメ in code page 932
                                            {"Sys\\Data.ARC", HashOf(3)},
                                            {"\xE3\x83\xAB.dat", HashOf(4)}},
                                           layout, 0xDEADBEEF);
    bytes.insert(bytes.end(), {1, 2, 3});  // bytes after the last record are never read
    HashListTable table = Load(bytes);
    ASSERT_EQ(table.count, 4u);
    EXPECT_STREQ(table.entries[0].name, "data.arc");
    EXPECT_STREQ(table.entries[1].name, "\xE3\x83\xAB\xE3\x83\xA1.arc");
    EXPECT_STREQ(table.entries[2].name, "Sys\\Data.ARC");
    EXPECT_STREQ(table.entries[3].name, "\xE3\x83\xAB.dat");
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(table.entries[i].hash, HashOf(static_cast<uint8_t>(i + 1)));
  }
}

TEST_F(HashListTest, UnusableListsGiveAnEmptyTable) {
  std::vector<uint8_t> good = ListBytes({{"a.arc", HashOf(1)}, {"b.arc", HashOf(2)}}, HashListLayout::Long);
  std::vector<uint8_t> goodShort = ListBytes({{"a.arc", HashOf(1)}}, HashListLayout::Short);
  auto with = [](std::vector<uint8_t> bytes, auto change) {
    change(bytes);
    return bytes;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int64_t available;
  };
  // 83 kanji are 166 bytes in code page 932 but 249 in UTF-8.
  std::string longKanji;
  for (int i = 0; i < 83; ++i) longKanji += "\x8A\xBF";
  const Case cases[] = {
      {"header cut", std::vector<uint8_t>(good.begin(), good.begin() + 15), -1},
      {"unknown magic", with(good, [](auto& b) { b[7] = 'X'; }), -1},
      {"lower-case magic", with(good, [](auto& b) { b[0] = 't'; }), -1},
      {"records cut", std::vector<uint8_t>(good.begin(), good.end() - 1), -1},
      {"count beyond the file", with(good, [](auto& b) { StoreLe32(b.data() + 12, 3); }), -1},
      {"count beyond the payload entry", good, static_cast<int64_t>(good.size()) - 1},
      {"count that no memory holds", with(good, [](auto& b) { StoreLe32(b.data() + 12, 0xFFFFFFFF); }), -1},
      {"unterminated name, 256-byte layout", with(good, [](auto& b) { std::memset(b.data() + 16 + 256, 'n', 248); }),
       -1},
      {"unterminated name, 64-byte layout", with(goodShort, [](auto& b) { std::memset(b.data() + 16, 'n', 56); }),
       -1},
      {"name longer than 247 bytes in UTF-8", ListBytes({{longKanji, HashOf(1)}}, HashListLayout::Long), -1},
      {"no records", ListBytes({}, HashListLayout::Long), -1},
      {"empty data", {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HashListTable table = Load(c.bytes, c.available);
    EXPECT_EQ(table.count, 0u);
    EXPECT_EQ(table.entries, nullptr);
  }
  std::string fitting;
  for (int i = 0; i < 82; ++i) fitting += "\x8A\xBF";
  EXPECT_EQ(Load(ListBytes({{fitting, HashOf(1)}}, HashListLayout::Long)).count, 1u) << "246 bytes in UTF-8 fit";
}

TEST_F(HashListTest, LookupComparesFinalComponentsInNormalForm) {
  std::vector<uint8_t> bytes = ListBytes({{"Sys\\Data.ARC", HashOf(1)},
                                          {"other/data.arc", HashOf(2)},  // same final component: the earlier wins
                                          {"\x83\x8b.Arc", HashOf(3)},
                                          {"noext", HashOf(4)},
                                          {"dir.d\\file", HashOf(5)}},
                                         HashListLayout::Short);
  HashListTable table = Load(bytes);
  ASSERT_EQ(table.count, 5u);
  struct Case {
    const char* stored;
    int expected;  // index, or -1
  };
  const Case cases[] = {
      {"data.arc", 0},  {"DATA.ARC", 0},        {"\x83\x8b.arc", 2},  // code page 932 against UTF-8
      {"\xE3\x83\xAB.ARC", 2}, {"NoExt", 3},    {"file", 4},
      {"Sys\\Data.ARC", -1},  // a stored name with a folder part never matches
      {"data", -1},     {"dir.d", -1},          {"", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    const HashListEntry* found = FindHashListEntry(table, c.stored);
    if (c.expected < 0) {
      EXPECT_EQ(found, nullptr);
    } else {
      EXPECT_EQ(found, &table.entries[c.expected]);
    }
  }
  EXPECT_EQ(FindHashListEntry(HashListTable{}, "data.arc"), nullptr);
}

class PruneTest : public HashListTest {
 protected:
  std::filesystem::path ListPath() const { return dir.Native("TLM.hvl"); }
  void Touch(const char* name) { WriteFileBytes(dir.Native(name), Bytes("x")); }

  // Leftovers of a rewrite would show as files other than the list.
  void ExpectNoLeftovers() {
    for (const auto& item : std::filesystem::directory_iterator(dir.Path())) {
      std::string name = item.path().filename().string();
      EXPECT_TRUE(name.find(".new") == std::string::npos) << name;
    }
  }
};

TEST_F(PruneTest, KeepsRecordsOfExistingFilesAndFoldersInBothLayouts) {
  for (HashListLayout layout : kLayouts) {
    SCOPED_TRACE(layout == HashListLayout::Long ? "256-byte records" : "64-byte records");
    std::filesystem::create_directories(dir.Native("sys"));
    std::filesystem::create_directories(dir.Native("folder"));
    Touch("a.arc");
    Touch("sys/b.arc");
    WriteFileBytes(dir.Native("\xE3\x83\xAB.arc"), Bytes("x"));
    std::vector<HashListRecord> records = {{"a.arc", HashOf(1)},     {"gone.arc", HashOf(2)},
                                           {"sys\\b.arc", HashOf(3)}, {"sys\\gone.arc", HashOf(4)},
                                           {"folder", HashOf(5)},    {"\x83\x8b.arc", HashOf(6)}};
    std::vector<uint8_t> bytes = ListBytes(records, layout, 0x01020304);
    bytes.insert(bytes.end(), {9, 9, 9});
    WriteFileBytes(ListPath(), bytes);

    EXPECT_TRUE(PruneInstalledHashList(dir.Core().c_str()));
    std::vector<uint8_t> expected =
        ListBytes({records[0], records[2], records[4], records[5]}, layout, 0x01020304);
    EXPECT_EQ(ReadFileBytes(ListPath()), expected) << "records kept byte for byte, names not re-encoded";
    ExpectNoLeftovers();
  }
}

// An install folder far longer than Windows' classic 260 units, with
// records whose whole paths go past the program's path capacity: every file
// is reached through the open folder, not by a path, so every record of a
// file that exists stays and every other goes, however long the whole path.
TEST_F(PruneTest, RecordsUnderALongInstallFolderAreCheckedWhole) {
  std::u16string component(80, u'\u30eb');  // 80 units, 240 bytes in UTF-8
  std::u16string relative;
  for (int i = 0; i < 8; ++i) relative += (i ? u"\\" : u"") + component;
  std::filesystem::path folder = dir.Path();
  for (int i = 0; i < 8; ++i) folder /= std::filesystem::path(component);
  std::filesystem::create_directories(folder);
  std::u16string core = dir.Core(relative);
  ASSERT_GT(core.size(), 650u);
  std::string longName(kPathCapacity - core.size() - 2 - 4, 'n');  // the whole path just fits
  for (const std::string& name : {std::string("a.arc"), longName + ".arc", longName + "x.arc"}) {
    WriteFileBytes(folder / name, Bytes("x"));
  }
  std::vector<HashListRecord> records = {{"a.arc", HashOf(1)},
                                         {"gone.arc", HashOf(2)},
                                         {longName + ".arc", HashOf(3)},
                                         {longName + ".gon", HashOf(4)},
                                         {longName + "x.arc", HashOf(5)},
                                         {longName + "x.gon", HashOf(6)}};
  WriteFileBytes(folder / "TLM.hvl", ListBytes(records, HashListLayout::Long));
  EXPECT_TRUE(PruneInstalledHashList(core.c_str()));
  EXPECT_EQ(ReadFileBytes(folder / "TLM.hvl"), ListBytes({records[0], records[2], records[4]}, HashListLayout::Long));
}

// Records below sub-folders are checked through folders opened without
// following a link: a record behind a link cannot be checked and stays, and
// one in a folder that is gone goes.
TEST_F(PruneTest, RecordsBehindALinkStayAndInAMissingFolderGo) {
  std::filesystem::create_directories(dir.Path() / "sys");
  std::filesystem::create_directories(dir.Path() / "outside");
  WriteFileBytes(dir.Path() / "sys" / "a.arc", Bytes("x"));
  std::error_code error;
  std::filesystem::create_directory_symlink(dir.Path() / "outside", dir.Path() / "linked", error);
  if (error) GTEST_SKIP() << "this platform cannot make symbolic links here";
  std::vector<HashListRecord> records = {{"sys\\a.arc", HashOf(1)},
                                         {"sys\\gone.arc", HashOf(2)},
                                         {"linked\\gone.arc", HashOf(3)},
                                         {"nofolder\\gone.arc", HashOf(4)},
                                         {"sys/../sys/a.arc", HashOf(5)}};
  WriteFileBytes(ListPath(), ListBytes(records, HashListLayout::Long));
  EXPECT_TRUE(PruneInstalledHashList(dir.Core().c_str()));
  EXPECT_EQ(ReadFileBytes(ListPath()), ListBytes({records[0], records[2], records[4]}, HashListLayout::Long));
}

TEST_F(PruneTest, EveryRecordMissingLeavesTheHeaderAlone) {
  WriteFileBytes(ListPath(), ListBytes({{"x.arc", HashOf(1)}, {"y.arc", HashOf(2)}}, HashListLayout::Long, 77));
  EXPECT_TRUE(PruneInstalledHashList(dir.Core().c_str()));
  EXPECT_EQ(ReadFileBytes(ListPath()), ListBytes({}, HashListLayout::Long, 77));

  WriteFileBytes(ListPath(), ListBytes({}, HashListLayout::Short, 5));
  EXPECT_TRUE(PruneInstalledHashList(dir.Core().c_str())) << "a list with no records is rewritten as it is";
  EXPECT_EQ(ReadFileBytes(ListPath()), ListBytes({}, HashListLayout::Short, 5));
}

TEST_F(PruneTest, UnusableOrMissingListsAreLeftAlone) {
  EXPECT_FALSE(PruneInstalledHashList(dir.Core().c_str())) << "no list at all";
  EXPECT_FALSE(std::filesystem::exists(ListPath()));

  std::vector<uint8_t> good = ListBytes({{"gone.arc", HashOf(1)}}, HashListLayout::Long);
  std::vector<std::vector<uint8_t>> unusable = {
      std::vector<uint8_t>(good.begin(), good.begin() + 10),
      std::vector<uint8_t>(good.begin(), good.end() - 1),
  };
  unusable.push_back(good);
  unusable.back()[3] = 'x';
  unusable.push_back(good);
  std::memset(unusable.back().data() + 16, 'n', 248);
  unusable.push_back(good);
  StoreLe32(unusable.back().data() + 12, 0x7FFFFFFF);
  for (const std::vector<uint8_t>& bytes : unusable) {
    WriteFileBytes(ListPath(), bytes);
    EXPECT_FALSE(PruneInstalledHashList(dir.Core().c_str()));
    EXPECT_EQ(ReadFileBytes(ListPath()), bytes);
  }
  ExpectNoLeftovers();
}

TEST_F(PruneTest, ReadOnlyOrHeldListIsLeftAlone) {
  std::vector<uint8_t> bytes = ListBytes({{"gone.arc", HashOf(1)}}, HashListLayout::Long);
  WriteFileBytes(ListPath(), bytes);
  SetReadOnly(ListPath(), true);
  EXPECT_FALSE(PruneInstalledHashList(dir.Core().c_str()));
  SetReadOnly(ListPath(), false);
  EXPECT_EQ(ReadFileBytes(ListPath()), bytes);

  CFileDX holder;
  ASSERT_EQ(holder.OpenRead(dir.Core(u"TLM.hvl").c_str()), 1);
  EXPECT_FALSE(PruneInstalledHashList(dir.Core().c_str()));
  holder.Close();
  EXPECT_EQ(ReadFileBytes(ListPath()), bytes);
  ExpectNoLeftovers();
}

TEST_F(PruneTest, AFailureAtAnyStepOfTheRewriteKeepsTheList) {
  Touch("kept.arc");
  std::vector<uint8_t> bytes =
      ListBytes({{"kept.arc", HashOf(1)}, {"gone.arc", HashOf(2)}}, HashListLayout::Short, 3);
  // Count each operation's calls in a clean run, then fail each call in turn.
  WriteFileBytes(ListPath(), bytes);
  OsFaultReset();
  ASSERT_TRUE(PruneInstalledHashList(dir.Core().c_str()));
  std::vector<uint8_t> pruned = ReadFileBytes(ListPath());
  const OsOp operations[] = {OsOp::OpenWrite, OsOp::Write, OsOp::Flush, OsOp::Close, OsOp::Move};
  uint32_t calls[std::size(operations)];
  for (size_t k = 0; k < std::size(operations); ++k) calls[k] = OsFaultCalls(operations[k]);

  for (size_t k = 0; k < std::size(operations); ++k) {
    for (uint32_t nth = 1; nth <= calls[k]; ++nth) {
      for (OsFault kind : {OsFault::Fail, OsFault::Short}) {
        if (kind == OsFault::Short && operations[k] != OsOp::Write) continue;
        SCOPED_TRACE(testing::Message() << "operation " << static_cast<int>(operations[k]) << " call " << nth
                                        << (kind == OsFault::Short ? " short" : ""));
        WriteFileBytes(ListPath(), bytes);
        OsFaultReset();
        OsFaultArm(operations[k], nth, kind);
        bool pruneDone = PruneInstalledHashList(dir.Core().c_str());
        OsFaultReset();
        // The list is never half-written: it is the old one or the new one,
        // and only a failed close of the list that was read may pass.
        EXPECT_EQ(ReadFileBytes(ListPath()), pruneDone ? pruned : bytes);
        bool closeOfTheReadList = operations[k] == OsOp::Close && nth < calls[k];
        EXPECT_EQ(pruneDone, closeOfTheReadList);
        ExpectNoLeftovers();
      }
    }
  }
  EXPECT_NE(pruned, bytes) << "the clean run did prune";
  EXPECT_GE(calls[1], 1u);
}

TEST_F(PruneTest, ALeftoverTemporaryFileDoesNotBlockThePrune) {
  WriteFileBytes(ListPath(), ListBytes({{"gone.arc", HashOf(1)}}, HashListLayout::Long));
  WriteFileBytes(dir.Native("TLM.hvl.new"), Bytes("stale"));
  SetReadOnly(dir.Native("TLM.hvl.new"), true);
  EXPECT_TRUE(PruneInstalledHashList(dir.Core().c_str()));
  EXPECT_EQ(ReadFileBytes(ListPath()), ListBytes({}, HashListLayout::Long));
  ExpectNoLeftovers();
}

}  // namespace
