// The journal's format, and recovery from journals that are torn, forged,
// or whose files are held open by another program.
#include <gtest/gtest.h>

#include "payload/file_dx.h"
#include "platform/fault.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_files.h"
#include "tests/support/update_fixture.h"
#include "update/journal.h"
#include "update/recovery.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

Journal SampleJournal() {
  Journal journal;
  journal.state = kJournalInstalling;
  journal.entries.push_back({u"data01100.arc", 0x20, 1234, 0, ContentHash{{1, 2, 3, 4, 5, 6, 7, 8}}});
  journal.entries.push_back({u"sys\\新しい.arc", 0xFFFFFFFF, 0, 7, ContentHash{}});
  return journal;
}

TEST(JournalTest, ReadsBackWhatItWrites) {
  Journal journal = SampleJournal();
  std::vector<uint8_t> bytes = EncodeJournal(journal);
  Journal read;
  ASSERT_TRUE(DecodeJournal(bytes.data(), bytes.size(), &read));
  EXPECT_EQ(read.state, kJournalInstalling);
  ASSERT_EQ(read.entries.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(read.entries[i].name, journal.entries[i].name);
    EXPECT_EQ(read.entries[i].originalAttributes, journal.entries[i].originalAttributes);
    EXPECT_EQ(read.entries[i].size, journal.entries[i].size);
    EXPECT_EQ(read.entries[i].backupNumber, journal.entries[i].backupNumber);
    EXPECT_EQ(read.entries[i].hash, journal.entries[i].hash);
  }
  // The state is rewritten in place, outside the checksum.
  bytes[kJournalStateOffset] = static_cast<uint8_t>(kJournalInstalled);
  ASSERT_TRUE(DecodeJournal(bytes.data(), bytes.size(), &read));
  EXPECT_EQ(read.state, kJournalInstalled);
  bytes[kJournalStateOffset] = 0x7F;
  ASSERT_TRUE(DecodeJournal(bytes.data(), bytes.size(), &read));
  EXPECT_EQ(read.state, kJournalInstalling) << "an unknown state assumes the least";
}

TEST(JournalTest, ATornOrDamagedJournalIsNoJournal) {
  const std::vector<uint8_t> bytes = EncodeJournal(SampleJournal());
  Journal read;
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(DecodeJournal(bytes.data(), size, &read)) << "cut to " << size << " bytes";
  }
  std::vector<uint8_t> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(DecodeJournal(longer.data(), longer.size(), &read)) << "a byte too many";
  for (size_t at = 0; at < bytes.size(); ++at) {
    if (at >= kJournalStateOffset && at < kJournalStateOffset + 4) continue;
    std::vector<uint8_t> damaged = bytes;
    damaged[at] ^= 0x10;
    EXPECT_FALSE(DecodeJournal(damaged.data(), damaged.size(), &read)) << "byte " << at << " flipped";
  }
}

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OsFaultReset();
    fs::create_directory(Game());
    WriteFileBytes(Game() / "data01100.arc", Bytes("old archive"));
    WriteFileBytes(Game() / "readme.txt", Bytes("old readme"));
    SetReadOnly(Game() / "readme.txt", true);
    WriteFileBytes(Game() / "uninst.lst", Bytes("data01100.arc\n"));
    files = {{"data01100.arc", PatternBytes(4000, 1)}, {"readme.txt", Bytes("new readme")}, {"new.dat", Bytes("new")}};
    WritePatch(dir.Path() / "patch.exe", files);
  }
  void TearDown() override {
    OsFaultReset();
    SetReadOnly(Game() / "readme.txt", false);
  }

  fs::path Game() const { return dir.Path() / "game"; }
  std::u16string GameCore() const { return dir.Core(u"game"); }
  fs::path JournalFile() const { return Game() / "lumetria-patch.journal"; }

  UpdateResult Run() {
    ScriptedProgressUi ui;
    return RunUpdateFrom(dir.Core(u"patch.exe").c_str(), GameCore().c_str(), ui);
  }

  TempDir dir;
  std::vector<PayloadFile> files;
};

TEST_F(RecoveryTest, NothingToDoWithoutAJournal) {
  FolderSnapshot before = Snapshot(Game());
  EXPECT_EQ(RecoverInterruptedUpdate(GameCore().c_str()), UPDATE_OK);
  EXPECT_EQ(Snapshot(Game()), before);
}

TEST_F(RecoveryTest, AJournalThatIsNotWholeOrNamesFilesOutsideIsRemovedAndNothingElseTouched) {
  Journal escaping = SampleJournal();
  escaping.entries[0].name = u"..\\outside.txt";
  Journal device = SampleJournal();
  device.entries[1].name = u"con.arc";
  std::vector<uint8_t> whole = EncodeJournal(SampleJournal());
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"torn", std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(whole.size() / 2))},
      {"escaping name", EncodeJournal(escaping)},
      {"device name", EncodeJournal(device)},
  };
  WriteFileBytes(dir.Path() / "outside.txt", Bytes("keep"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FolderSnapshot before = Snapshot(Game());
    WriteFileBytes(JournalFile(), c.bytes);
    EXPECT_EQ(RecoverInterruptedUpdate(GameCore().c_str()), UPDATE_OK);
    EXPECT_EQ(Snapshot(Game()), before);
    EXPECT_EQ(ReadFileBytes(dir.Path() / "outside.txt"), Bytes("keep"));
  }
}

TEST_F(RecoveryTest, AnUnrecoveredJournalIsNeverOverwrittenByARun) {
  std::vector<uint8_t> journal = EncodeJournal(SampleJournal());
  WriteFileBytes(JournalFile(), journal);
  FolderSnapshot before = Snapshot(Game());
  EXPECT_EQ(Run(), UPDATE_E_WRITE);
  EXPECT_EQ(Snapshot(Game()), before);
}

// The undo fails (every rename from the commit's first on fails), so the run
// leaves its journal; the next start cannot put a file back while another
// program holds it open, keeps the journal and reports it, and succeeds
// once the file is free.
TEST_F(RecoveryTest, AFileHeldOpenKeepsTheJournalUntilTheNextStart) {
  FolderSnapshot before = Snapshot(Game());
  OsFaultReset();
  ASSERT_EQ(Run(), UPDATE_OK);
  // TLM.hvl, data01100.arc, readme.txt and new.dat into place, then the
  // two records' rewrites.
  ASSERT_EQ(OsFaultCalls(OsOp::Move), 6u);
  SetReadOnly(Game() / "readme.txt", false);
  fs::remove_all(Game());
  SetUp();
  // readme.txt's rename fails, and so does every rename of the undo.
  OsFaultArm(OsOp::Move, 3, OsFault::Fail, true);
  EXPECT_EQ(Run(), UPDATE_E_WRITE);
  OsFaultReset();
  ASSERT_TRUE(fs::exists(JournalFile()));
  ASSERT_EQ(ReadFileBytes(Game() / "data01100.arc"), files[0].data) << "the first file was installed";

  {
    CFileDX holder;
    ASSERT_EQ(holder.OpenRead(dir.Core(u"game\\data01100.arc").c_str()), 1);
    EXPECT_EQ(RecoverInterruptedUpdate(GameCore().c_str()), UPDATE_E_WRITE);
    EXPECT_TRUE(fs::exists(JournalFile()));
  }
  EXPECT_EQ(RecoverInterruptedUpdate(GameCore().c_str()), UPDATE_OK);
  EXPECT_EQ(Snapshot(Game()), before);
  EXPECT_EQ(fs::status(Game() / "readme.txt").permissions() & fs::perms::owner_write, fs::perms::none)
      << "the original's read-only attribute is back";
}

// The undo fails after readme.txt (installed read-only) was replaced and
// new.dat's temporary file is gone: the next start cannot finish, so it puts
// every original back, its read-only attribute included.
TEST_F(RecoveryTest, PuttingBackAtTheNextStartRestoresTheOriginalsAttributes) {
  FolderSnapshot before = Snapshot(Game());
  // new.dat's rename is the fourth; it and every rename of the undo fail.
  OsFaultArm(OsOp::Move, 4, OsFault::Fail, true);
  EXPECT_EQ(Run(), UPDATE_E_WRITE);
  OsFaultReset();
  ASSERT_TRUE(fs::exists(JournalFile()));
  ASSERT_FALSE(fs::exists(Game() / "new.dat.tmp"));
  ASSERT_EQ(ReadFileBytes(Game() / "readme.txt"), files[1].data);
  // A journal made read-only meanwhile is still removed at the end.
  SetReadOnly(JournalFile(), true);
  EXPECT_EQ(RecoverInterruptedUpdate(GameCore().c_str()), UPDATE_OK);
  EXPECT_EQ(Snapshot(Game()), before);
  EXPECT_EQ(fs::status(Game() / "readme.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

}  // namespace
