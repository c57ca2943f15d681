// Merging the update run's names into the install folder's uninstall list.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "install/uninstall_list.h"
#include "payload/file_dx.h"
#include "platform/fault.h"
#include "platform/filesystem.h"
#include "tests/support/alloc_fault.h"
#include "tests/support/test_files.h"
#include "text/text_codec.h"

namespace {

std::filesystem::path Fixture(const std::string& name) {
  return std::filesystem::path(PATCH_TEST_DATA_DIR "/uninstall/" + name);
}

// The bytes of a list file: its lines and the zero byte that ends it.
std::vector<uint8_t> ListContent(std::string_view lines) {
  std::vector<uint8_t> bytes = Bytes(lines);
  bytes.push_back(0);
  return bytes;
}

// A run's names as MergeUninstallList takes them: ended by a null pointer.
std::vector<const char16_t*> RunNames(std::initializer_list<const char16_t*> names) {
  std::vector<const char16_t*> list(names);
  list.push_back(nullptr);
  return list;
}

class UninstallListTest : public ::testing::Test {
 protected:
  void SetUp() override { OsFaultReset(); }
  void TearDown() override { OsFaultReset(); }

  std::filesystem::path ListPath() const { return dir.Native("uninst.lst"); }
  bool Merge(const std::vector<const char16_t*>& names) { return MergeUninstallList(dir.Core().c_str(), names.data()); }

  // The folder holds the list and nothing else: no temporary file survives.
  void ExpectOnlyTheList() {
    for (const auto& item : std::filesystem::directory_iterator(dir.Path())) {
      EXPECT_EQ(item.path().filename().string(), "uninst.lst");
    }
  }

  TempDir dir;
};

TEST_F(UninstallListTest, MergesIntoNormalFormAsTheReferenceFilesShow) {
  struct Case {
    const char* name;  // fixtures NAME.in.lst and NAME.expected.lst
    std::vector<const char16_t*> run;
  };
  const Case cases[] = {
      {"crlf", RunNames({u"DATA01110.ARC"})},
      {"lf", RunNames({u"sys\\new.arc"})},
      {"cr", RunNames({u"c.arc"})},
      {"mixed_case", RunNames({u"DATA\\VOICE.arc", u"Data\\Bgm.Arc"})},
      {"cp932_utf8", RunNames({u"ルメトリア.ARC", u"セーブ.dat"})},
      {"leading_blanks", RunNames({u"a.arc"})},
      {"trailing_blanks", RunNames({u"a.arc", u"b.arc"})},
      {"dollar_lines", RunNames({u"new.arc"})},
      {"nul_inside", RunNames({u"c.arc"})},
      {"only_nul", RunNames({u"data01100.arc", u"data01110.arc"})},
      {"no_final_line_end", RunNames({u"c.arc"})},
      {"long_lines", RunNames({u"LAST.arc"})},
      {"duplicates_across_case", RunNames({u"SAVE\\A.DAT", u"B.DAT", u"c.dat", u"C.DAT"})},
      // Only plain names count as listed: "$data.arc" ends up twice.
      {"listed_only_as_dollar", RunNames({u"$data.arc", u"OTHER.arc"})},
      // A later line makes the walk read the UTF-8 "あ" as code page 932,
      // whose last byte then takes the CR as a trail byte: the name keeps it.
      {"line_end_inside_character", RunNames({u"あ"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> input = ReadFileBytes(Fixture(std::string(c.name) + ".in.lst"));
    std::vector<uint8_t> expected = ReadFileBytes(Fixture(std::string(c.name) + ".expected.lst"));
    ASSERT_FALSE(input.empty());
    WriteFileBytes(ListPath(), input);
    EXPECT_TRUE(Merge(c.run));
    EXPECT_EQ(ReadFileBytes(ListPath()), expected);
    ExpectOnlyTheList();
  }
}

TEST_F(UninstallListTest, TwoNamesMakeATwentyNineByteFileAndNoNamesOneZeroByte) {
  WriteFileBytes(ListPath(), {0});
  EXPECT_TRUE(Merge(RunNames({})));
  EXPECT_EQ(ReadFileBytes(ListPath()), std::vector<uint8_t>{0});

  EXPECT_TRUE(Merge(RunNames({u"data01100.arc", u"data01110.arc"})));
  EXPECT_EQ(ReadFileBytes(ListPath()).size(), 29u);
  EXPECT_TRUE(Merge(RunNames({u"data01110.arc"}))) << "merging again changes nothing";
  EXPECT_EQ(ReadFileBytes(ListPath()), ListContent("data01100.arc\ndata01110.arc\n"));
}

TEST(UninstallListParseTest, StepsOverLineEndsThatAreNotSingleBytes) {
  struct Case {
    const char* what;
    const char* text;
    UninstallNames plain;
  };
  // Overlong UTF-8 forms of CR and LF decode as line ends when the text
  // from the line's start is classified UTF-8.
  const Case cases[] = {
      {"overlong CR opening a line", "\xE0\x80\x8D" "a.arc\n", {"a.arc"}},
      {"overlong LF inside a line", "x\xE0\x80\x8Ay.arc", {"x", "y.arc"}},
      {"overlong CR ending the text", "z.arc\xF0\x80\x80\x8D", {"z.arc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UninstallNames plain;
    UninstallNames dollar;
    EXPECT_TRUE(ParseUninstallList(c.text, &plain, &dollar));
    EXPECT_EQ(plain, c.plain);
    EXPECT_TRUE(dollar.empty());
  }
}

TEST_F(UninstallListTest, AListThatCannotBeReadIsNeitherCreatedNorChanged) {
  EXPECT_FALSE(Merge(RunNames({u"a.arc"}))) << "no list";
  EXPECT_FALSE(std::filesystem::exists(ListPath()));

  WriteFileBytes(ListPath(), {});
  EXPECT_FALSE(Merge(RunNames({u"a.arc"}))) << "0-byte list";
  EXPECT_EQ(std::filesystem::file_size(ListPath()), 0u);
  ExpectOnlyTheList();

  std::vector<uint8_t> bytes = Bytes("Old.arc\r\n");
  WriteFileBytes(ListPath(), bytes);
  CFileDX writer;
  ASSERT_EQ(writer.OpenWrite(dir.Core(u"uninst.lst").c_str(), 1), 1);
  EXPECT_FALSE(Merge(RunNames({u"a.arc"}))) << "list held open for writing";
  writer.Close();
  EXPECT_EQ(ReadFileBytes(ListPath()), bytes);
  ExpectOnlyTheList();
}

TEST_F(UninstallListTest, AReadOnlyListIsLeftAsItIs) {
  std::vector<uint8_t> bytes = Bytes("Old.arc\r\n");
  WriteFileBytes(ListPath(), bytes);
  SetReadOnly(ListPath(), true);
  EXPECT_FALSE(Merge(RunNames({u"a.arc"})));
  SetReadOnly(ListPath(), false);
  EXPECT_EQ(ReadFileBytes(ListPath()), bytes);
  ExpectOnlyTheList();
}

TEST_F(UninstallListTest, AFailureAtAnyStepKeepsTheListAsItWas) {
  std::vector<uint8_t> bytes = Bytes("Old.arc\r\n$Setup.exe\r\n");
  std::vector<const char16_t*> run = RunNames({u"new.arc"});
  // Count each operation's calls in a clean merge, then fail each in turn.
  WriteFileBytes(ListPath(), bytes);
  OsFaultReset();
  ASSERT_TRUE(Merge(run));
  EXPECT_EQ(ReadFileBytes(ListPath()), ListContent("old.arc\nnew.arc\n$setup.exe\n"));
  const OsOp operations[] = {OsOp::OpenRead, OsOp::Read,  OsOp::CreateNew, OsOp::Write,
                             OsOp::Flush,    OsOp::Close, OsOp::Move};
  uint32_t calls[std::size(operations)];
  for (size_t k = 0; k < std::size(operations); ++k) {
    calls[k] = OsFaultCalls(operations[k]);
    EXPECT_GE(calls[k], 1u) << "operation " << static_cast<int>(operations[k]);
  }

  for (size_t k = 0; k < std::size(operations); ++k) {
    bool movesBytes = operations[k] == OsOp::Read || operations[k] == OsOp::Write;
    for (uint32_t nth = 1; nth <= calls[k]; ++nth) {
      for (OsFault kind : {OsFault::Fail, OsFault::Short}) {
        if (kind == OsFault::Short && !movesBytes) continue;
        SCOPED_TRACE(testing::Message() << "operation " << static_cast<int>(operations[k]) << " call " << nth
                                        << (kind == OsFault::Short ? " short" : ""));
        WriteFileBytes(ListPath(), bytes);
        OsFaultReset();
        OsFaultArm(operations[k], nth, kind);
        bool merged = Merge(run);
        OsFaultReset();
        EXPECT_FALSE(merged);
        EXPECT_EQ(ReadFileBytes(ListPath()), bytes);
        ExpectOnlyTheList();
      }
    }
  }
}

// Memory runs out at each allocation of a merge in turn (the lines' copies
// and conversions, the lists, their indexes, the output): the merge fails
// without an exception and the list stays as it was.
TEST_F(UninstallListTest, MemoryRunningOutAnywhereKeepsTheListAsItWas) {
  const std::string longName(kPathCapacity + 10, 'L');
  std::vector<uint8_t> bytes = Bytes("Old.arc\r\n$Setup.exe\r\n\x83\x8B\x83\x81.ARC\r\nold.ARC\n\xE3\x83\xAB.dat\r\n" +
                                     longName + "\r\n$setup.EXE\r\n");
  std::vector<const char16_t*> run = RunNames({u"new.arc", u"OLD.arc", u"ルメ.arc"});
  // Nothing but the merge allocates while the countdown runs.
  const std::u16string folder = dir.Core();
  WriteFileBytes(ListPath(), bytes);
  AllocFaultArm(0);
  bool cleanMerge = MergeUninstallList(folder.c_str(), run.data());
  const uint32_t allocations = AllocFaultDisarm();
  ASSERT_TRUE(cleanMerge);
  std::string lowered = longName;
  for (char& c : lowered) c = 'l';
  EXPECT_EQ(ReadFileBytes(ListPath()), ListContent("old.arc\n\xE3\x83\xAB\xE3\x83\xA1.arc\n\xE3\x83\xAB.dat\n" + lowered +
                                                   "\nnew.arc\n$setup.exe\n"));
  ASSERT_GT(allocations, 10u);

  for (uint32_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth << " of " << allocations);
    WriteFileBytes(ListPath(), bytes);
    AllocFaultArm(nth);
    bool merged = MergeUninstallList(folder.c_str(), run.data());
    AllocFaultDisarm();
    EXPECT_FALSE(merged);
    EXPECT_EQ(ReadFileBytes(ListPath()), bytes);
    ExpectOnlyTheList();
  }
}

// The rewritten list is a new file renamed over the old one; it keeps what
// the old one's attributes said (hidden and system on Windows, the
// permission bits on POSIX).
TEST_F(UninstallListTest, TheRewrittenListKeepsTheOriginalsAttributes) {
  WriteFileBytes(ListPath(), Bytes("a.arc\n"));
#ifdef _WIN32
  const uint32_t hiddenSystem = 0x2 | 0x4;
  ASSERT_TRUE(OsSetFileAttributes(dir.Core(u"uninst.lst").c_str(), hiddenSystem));
#else
  namespace fs = std::filesystem;
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(ListPath(), mode);
#endif
  EXPECT_TRUE(Merge(RunNames({u"b.arc"})));
  EXPECT_EQ(ReadFileBytes(ListPath()), ListContent("a.arc\nb.arc\n"));
#ifdef _WIN32
  EXPECT_EQ(OsGetFileAttributes(dir.Core(u"uninst.lst").c_str()) & hiddenSystem, hiddenSystem);
#else
  EXPECT_EQ(fs::status(ListPath()).permissions(), mode);
#endif
}

TEST_F(UninstallListTest, ALeftoverTemporaryFileDoesNotBlockTheMerge) {
  WriteFileBytes(ListPath(), Bytes("a.arc\n"));
  WriteFileBytes(dir.Native("uninst.lst.new"), Bytes("stale"));
  SetReadOnly(dir.Native("uninst.lst.new"), true);
  EXPECT_TRUE(Merge(RunNames({u"b.arc"})));
  EXPECT_EQ(ReadFileBytes(ListPath()), ListContent("a.arc\nb.arc\n"));
  ExpectOnlyTheList();
}

TEST_F(UninstallListTest, OutputGrowsPastItsFirstBufferWithoutLosingBytes) {
  // A long plain name, a run name and a '$' name sized so that the content
  // with its zero byte takes exactly the first 65,536-byte buffer, then one
  // byte more, which makes the last name move the buffer.
  const std::string plain(40000, 'p');
  for (size_t total : {size_t{65536}, size_t{65537}}) {
    SCOPED_TRACE(total);
    const std::string dollar = "$" + std::string(total - 40001 - 8 - 2 - 1, 'd');
    std::string input = plain + "\r\n" + dollar + "\r\n";
    for (char& c : input) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    WriteFileBytes(ListPath(), Bytes(input));
    EXPECT_TRUE(Merge(RunNames({u"new.arc"})));
    std::vector<uint8_t> expected = ListContent(plain + "\n" + "new.arc\n" + dollar + "\n");
    ASSERT_EQ(expected.size(), total);
    EXPECT_EQ(ReadFileBytes(ListPath()), expected);
  }
}

}  // namespace
