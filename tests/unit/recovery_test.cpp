// The journal's format, where it is kept, and recovery from journals that
// are forged, damaged or not ours, whose files are held open by another
// program, and whose records step fails and is tried again.
#include <gtest/gtest.h>

#include "payload/file_dx.h"
#include "platform/fault.h"
#include "platform/registry.h"
#include "tests/support/host_links.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_files.h"
#include "tests/support/update_fixture.h"
#include "tests/tools/hash_suffix.h"
#include "update/journal.h"
#include "update/recovery.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

Journal SampleJournal() {
  Journal journal;
  journal.folder = u"C:\\Games\\Lumetria";
  journal.state = kJournalInstalling;
  journal.entries.push_back({u"data01100.arc", 0x20, 1234, 0, ContentHash{{1, 2, 3, 4, 5, 6, 7, 8}}});
  journal.entries.push_back({u"sys\\新しい.arc", 0xFFFFFFFF, 0, 7, ContentHash{}});
  return journal;
}

TEST(JournalTest, ReadsBackWhatItWrites) {
  Journal journal = SampleJournal();
  for (uint32_t state : {kJournalInstalling, kJournalInstalled, kJournalRecorded}) {
    journal.state = state;
    journal.recordsResult = state == kJournalRecorded ? UPDATE_E_UNINSTALL_LIST : UPDATE_OK;
    std::vector<uint8_t> bytes = EncodeJournal(journal);
    Journal read;
    ASSERT_TRUE(DecodeJournal(bytes.data(), bytes.size(), &read));
    EXPECT_EQ(read.folder, journal.folder);
    EXPECT_EQ(read.state, state);
    EXPECT_EQ(read.recordsResult, journal.recordsResult);
    ASSERT_EQ(read.entries.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(read.entries[i].name, journal.entries[i].name);
      EXPECT_EQ(read.entries[i].originalAttributes, journal.entries[i].originalAttributes);
      EXPECT_EQ(read.entries[i].size, journal.entries[i].size);
      EXPECT_EQ(read.entries[i].backupNumber, journal.entries[i].backupNumber);
      EXPECT_EQ(read.entries[i].hash, journal.entries[i].hash);
    }
  }
}

TEST(JournalTest, ADamagedOrUnknownJournalIsNoJournal) {
  const std::vector<uint8_t> bytes = EncodeJournal(SampleJournal());
  Journal read;
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(DecodeJournal(bytes.data(), size, &read)) << "cut to " << size << " bytes";
  }
  std::vector<uint8_t> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(DecodeJournal(longer.data(), longer.size(), &read)) << "a byte too many";
  for (size_t at = 0; at < bytes.size(); ++at) {
    std::vector<uint8_t> damaged = bytes;
    damaged[at] ^= 0x10;
    EXPECT_FALSE(DecodeJournal(damaged.data(), damaged.size(), &read)) << "byte " << at << " flipped";
  }
  Journal unknown = SampleJournal();
  unknown.state = 7;
  std::vector<uint8_t> unknownState = EncodeJournal(unknown);
  EXPECT_FALSE(DecodeJournal(unknownState.data(), unknownState.size(), &read)) << "an unknown state";
  unknown.state = kJournalRecorded;
  unknown.recordsResult = UPDATE_E_WRITE;
  std::vector<uint8_t> unknownResult = EncodeJournal(unknown);
  EXPECT_FALSE(DecodeJournal(unknownResult.data(), unknownResult.size(), &read)) << "a result records never give";
}

TEST(JournalTest, EachFolderHasAValueOfItsOwnWhateverTheCase) {
  EXPECT_EQ(JournalValueName(u"C:\\Games\\Lumetria"), JournalValueName(u"c:\\GAMES\\lumetria"));
  EXPECT_NE(JournalValueName(u"C:\\Games\\Lumetria"), JournalValueName(u"C:\\Games\\Lumetria2"));
  EXPECT_EQ(JournalValueName(u"C:\\Games\\Lumetria").rfind(u"PatchJournal ", 0), 0u);
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
    if (fs::exists(Game())) {
      for (const auto& item : fs::recursive_directory_iterator(Game())) {
        if (!fs::is_symlink(item.symlink_status())) SetReadOnly(item.path(), false);
      }
    }
  }

  fs::path Game() const { return dir.Path() / "game"; }
  std::u16string GameCore() const { return dir.Core(u"game"); }

  UpdateResult Run() {
    ScriptedProgressUi ui;
    return RunUpdateFrom(dir.Core(u"patch.exe").c_str(), GameCore().c_str(), ui);
  }
  UpdateResult Recover(Recovered* what) { return RecoverInterruptedUpdate(GameCore().c_str(), what); }

  // The journal value of the game folder: its state, or 0 when there is none.
  uint32_t JournalState() {
    Journal journal;
    return ReadJournal(GameCore(), &journal) == JournalLookup::Found ? journal.state : 0;
  }
  bool HasJournalValue() {
    std::vector<uint8_t> bytes;
    return OsRegReadProtectedValue(kJournalRegistryKey, JournalValueName(GameCore()).c_str(), &bytes) !=
           OS_ERROR_FILE_NOT_FOUND;
  }
  void StoreJournalBytes(const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(StoreJournal(JournalValueName(GameCore()), bytes));
  }

  // A journal that is whole and trusted: the run's, stopped right after its
  // first rename (the payload's TLM.hvl into place) with every temporary
  // file still waiting.
  Journal RealJournal() {
    Journal journal;
    journal.folder = GameCore();
    journal.state = kJournalInstalling;
    for (const PayloadFile& file : files) {
      journal.entries.push_back({ToU16(file.name), 0xFFFFFFFF, static_cast<uint32_t>(file.data.size()), 0,
                                 HashOfBytes(file.data)});
    }
    return journal;
  }
  static std::u16string ToU16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
  // uninst.lst once the run's names are merged: the payload's TLM.hvl is
  // one of them.
  static std::vector<uint8_t> MergedList() {
    std::vector<uint8_t> list = Bytes("data01100.arc\ntlm.hvl\nreadme.txt\nnew.dat\n");
    list.push_back(0);
    return list;
  }

  RegistryFixture registry;  // the journals of this test alone (POSIX: a store of its own)
  TempDir dir;
  std::vector<PayloadFile> files;
};

TEST_F(RecoveryTest, NothingToDoWithoutAJournal) {
  FolderSnapshot before = Snapshot(Game());
  Recovered what = Recovered::Finished;
  EXPECT_EQ(Recover(&what), UPDATE_OK);
  EXPECT_EQ(what, Recovered::Nothing);
  EXPECT_EQ(Snapshot(Game()), before);
}

// The game folder is often writable by every user; a journal found there is
// never read, whatever it says, and a run is not stopped by it either.
TEST_F(RecoveryTest, AJournalInTheGameFolderIsNeverBelieved) {
  // A whole journal that would put back "originals": data01100.arc named as
  // a new file with its real contents, and a file that cannot be finished.
  Journal forged = RealJournal();
  forged.entries = {{u"data01100.arc", 0xFFFFFFFF, 11, 0, HashOfBytes(Bytes("old archive"))},
                    {u"gone.dat", 0xFFFFFFFF, 5, 0, ContentHash{}}};
  WriteFileBytes(Game() / "lumetria-patch.journal", EncodeJournal(forged));
  WriteFileBytes(Game() / "data01100.arc.lumetria-bak", Bytes("a player's file"));
  FolderSnapshot before = Snapshot(Game());
  Recovered what = Recovered::Finished;
  EXPECT_EQ(Recover(&what), UPDATE_OK);
  EXPECT_EQ(what, Recovered::Nothing);
  EXPECT_EQ(Snapshot(Game()), before);

  EXPECT_EQ(Run(), UPDATE_OK);
  EXPECT_EQ(ReadFileBytes(Game() / "lumetria-patch.journal"), EncodeJournal(forged));
  EXPECT_EQ(ReadFileBytes(Game() / "data01100.arc"), files[0].data);
}

// Journals in the protected place that are not what a run of this folder
// wrote: each is removed (it is the program's own value) and nothing else
// changes, as at a fresh start.
TEST_F(RecoveryTest, AJournalThatIsNotAWholeJournalOfThisFolderIsRemovedAndNothingElseTouched) {
  WriteFileBytes(dir.Path() / "outside.txt", Bytes("keep"));
  WriteFileBytes(Game() / "data01100.arc.lumetria-bak", Bytes("a player's file"));
  WriteFileBytes(Game() / "new.dat.tmp", Bytes("new"));
  auto with = [&](auto change) {
    Journal journal = RealJournal();
    change(journal);
    return EncodeJournal(journal);
  };
  std::vector<uint8_t> whole = EncodeJournal(RealJournal());
  std::vector<uint8_t> huge = whole;
  // The entry count, past the folder's name, far beyond the bytes there.
  size_t countAt = 20 + 4 + 4 + 2 + GameCore().size() * 2;
  huge[countAt + 3] = 0x7F;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"torn", std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(whole.size() / 2))},
      {"a count beyond its bytes", huge},
      {"another installation's", with([](Journal& j) { j.folder = u"D:\\Other\\Lumetria"; })},
      {"a name outside the folder", with([](Journal& j) { j.entries[0].name = u"..\\outside.txt"; })},
      {"an absolute name", with([&](Journal& j) { j.entries[0].name = dir.Core(u"outside.txt"); })},
      {"a device name", with([](Journal& j) { j.entries[1].name = u"con.arc"; })},
      {"a name of the run's own", with([](Journal& j) { j.entries[1].name = u"x.lumetria-bak"; })},
      {"a backup number never used", with([](Journal& j) { j.entries[0].backupNumber = 100000; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FolderSnapshot before = Snapshot(Game());
    StoreJournalBytes(c.bytes);
    Recovered what = Recovered::Finished;
    EXPECT_EQ(Recover(&what), UPDATE_OK);
    EXPECT_EQ(what, Recovered::Nothing);
    EXPECT_FALSE(HasJournalValue());
    EXPECT_EQ(Snapshot(Game()), before);
    EXPECT_EQ(ReadFileBytes(dir.Path() / "outside.txt"), Bytes("keep"));
  }
}

// A whole journal of this folder that someone other than an administrator
// could have written (POSIX: the stand-in's folder or file writable by
// others, or owned by another user) is not acted on, nor removed.
TEST_F(RecoveryTest, AJournalOthersCouldHaveWrittenIsLeftAlone) {
  using Exposure = RegistryFixture::Exposure;
  for (Exposure how : {Exposure::FileWritableByOthers, Exposure::FileOfAnotherUser, Exposure::FolderWritableByOthers}) {
    SCOPED_TRACE(static_cast<int>(how));
    RegistryFixture own;
    Journal forged = RealJournal();
    forged.entries = {{u"data01100.arc", 0xFFFFFFFF, 11, 0, HashOfBytes(Bytes("old archive"))},
                      {u"gone.dat", 0xFFFFFFFF, 5, 0, ContentHash{}}};
    ASSERT_TRUE(WriteJournal(forged));
    ASSERT_EQ(JournalState(), kJournalInstalling);
    if (!own.ExposeProtectedValues(how)) {
      RemoveJournal(JournalValueName(GameCore()));
      GTEST_SKIP() << "the journals' place cannot be exposed here";
    }
    FolderSnapshot before = Snapshot(Game());
    Recovered what = Recovered::Finished;
    EXPECT_EQ(Recover(&what), UPDATE_OK);
    EXPECT_EQ(what, Recovered::Nothing);
    EXPECT_EQ(Snapshot(Game()), before);
    Journal journal;
    EXPECT_EQ(ReadJournal(GameCore(), &journal), JournalLookup::Untrusted);
    // Nor does a run believe it, or write where others could.
    if (how == Exposure::FolderWritableByOthers) {
      EXPECT_EQ(Run(), UPDATE_E_WRITE);
    }
  }
}

TEST_F(RecoveryTest, AnUnrecoveredJournalIsNeverOverwrittenByARun) {
  std::vector<uint8_t> journal = EncodeJournal(RealJournal());
  StoreJournalBytes(journal);
  FolderSnapshot before = Snapshot(Game());
  EXPECT_EQ(Run(), UPDATE_E_WRITE);
  EXPECT_EQ(Snapshot(Game()), before);
  std::vector<uint8_t> stored;
  ASSERT_EQ(OsRegReadProtectedValue(kJournalRegistryKey, JournalValueName(GameCore()).c_str(), &stored), 0u);
  EXPECT_EQ(stored, journal);
}

// A journal whose sub-folder has become a link since the run (a player's
// swap), whether the start would put the originals back or finish: nothing
// is done through the link, and the journal stays until the folder is a
// folder again, when the start carries it through.
TEST_F(RecoveryTest, AJournalWhoseSubFolderIsNowALinkWaits) {
  for (uint32_t state : {kJournalInstalling, kJournalInstalled}) {
    SCOPED_TRACE(state == kJournalInstalling ? "installing: put back" : "installed: finish");
    const fs::path outside = dir.Path() / "outside";
    fs::create_directories(outside / "sys");
    WriteFileBytes(outside / "sys" / "victim", Bytes("not the game's"));
    WriteFileBytes(outside / "sys" / "victim.lumetria-bak", Bytes("not the game's either"));
    WriteFileBytes(outside / "sys" / "victim.tmp", Bytes("nor this"));
    if (!MakeLink(Game() / "sys", outside / "sys", true)) GTEST_SKIP() << "this platform cannot make links here";
    Journal journal = RealJournal();
    journal.state = state;
    journal.entries.push_back({u"sys\\victim", 0x20, 3, 0, HashOfBytes(Bytes("new"))});
    ASSERT_TRUE(WriteJournal(journal));
    const FolderSnapshot before = Snapshot(outside);
    EXPECT_EQ(Recover(nullptr), UPDATE_E_WRITE);
    EXPECT_EQ(Snapshot(outside), before);
    EXPECT_EQ(JournalState(), state);

    // The folder is a folder again: the original and the new file as the
    // journal's state has them.
    RemoveLink(Game() / "sys");
    fs::create_directory(Game() / "sys");
    WriteFileBytes(Game() / "sys" / "victim", Bytes(state == kJournalInstalling ? "old" : "new"));
    WriteFileBytes(Game() / "sys" / "victim.lumetria-bak", Bytes("old"));
    Recovered what = Recovered::Nothing;
    EXPECT_EQ(Recover(&what), UPDATE_OK);
    EXPECT_EQ(what, state == kJournalInstalling ? Recovered::PutBack : Recovered::Finished);
    EXPECT_FALSE(HasJournalValue());
    EXPECT_EQ(ReadFileBytes(Game() / "sys" / "victim"), Bytes(state == kJournalInstalling ? "old" : "new"));
    EXPECT_FALSE(fs::exists(Game() / "sys" / "victim.lumetria-bak"));
    EXPECT_EQ(Snapshot(outside), before);

    fs::remove_all(outside);
    TearDown();
    fs::remove_all(Game());
    SetUp();
  }
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
  ASSERT_EQ(JournalState(), kJournalInstalling);
  ASSERT_EQ(ReadFileBytes(Game() / "data01100.arc"), files[0].data) << "the first file was installed";

  {
    CFileDX holder;
    ASSERT_EQ(holder.OpenRead(dir.Core(u"game\\data01100.arc").c_str()), 1);
    EXPECT_EQ(Recover(nullptr), UPDATE_E_WRITE);
    EXPECT_EQ(JournalState(), kJournalInstalling);
  }
  Recovered what = Recovered::Nothing;
  EXPECT_EQ(Recover(&what), UPDATE_OK);
  EXPECT_EQ(what, Recovered::PutBack);
  EXPECT_FALSE(HasJournalValue());
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
  ASSERT_EQ(JournalState(), kJournalInstalling);
  ASSERT_FALSE(fs::exists(Game() / "new.dat.tmp"));
  ASSERT_EQ(ReadFileBytes(Game() / "readme.txt"), files[1].data);
  Recovered what = Recovered::Nothing;
  EXPECT_EQ(Recover(&what), UPDATE_OK);
  EXPECT_EQ(what, Recovered::PutBack);
  EXPECT_EQ(Snapshot(Game()), before);
  EXPECT_EQ(fs::status(Game() / "readme.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

// The journal cannot be marked installed once every file is in place: the
// run touches no record, keeps the backups and reports the failure; the
// next start finishes the update and says so.
TEST_F(RecoveryTest, AnInstalledMarkThatFailsLeavesTheRecordsToTheNextStart) {
  WriteFileBytes(Game() / "TLM.hvl", PayloadHashList({{"data01100.arc", Bytes("old archive")}}));
  const std::vector<uint8_t> list = ReadFileBytes(Game() / "uninst.lst");
  // The journal's values: installing, then the installed mark.
  OsFaultArm(OsOp::WriteValue, 2);
  EXPECT_EQ(Run(), UPDATE_E_WRITE);
  OsFaultReset();
  EXPECT_EQ(JournalState(), kJournalInstalling);
  EXPECT_EQ(ReadFileBytes(Game() / "uninst.lst"), list) << "the records were touched";
  EXPECT_EQ(ReadFileBytes(Game() / "TLM.hvl"), PayloadHashList(files)) << "the hash list was pruned";
  EXPECT_TRUE(fs::exists(Game() / "data01100.arc.lumetria-bak"));
  for (const PayloadFile& file : files) EXPECT_EQ(ReadFileBytes(Game() / file.name), file.data) << file.name;

  Recovered what = Recovered::Nothing;
  EXPECT_EQ(Recover(&what), UPDATE_OK);
  EXPECT_EQ(what, Recovered::Finished);
  EXPECT_FALSE(HasJournalValue());
  EXPECT_EQ(Leftovers(Snapshot(Game())), std::vector<std::string>{});
  EXPECT_EQ(ReadFileBytes(Game() / "uninst.lst"), MergedList());
}

// A list that is there but cannot be rewritten (read-only) keeps the
// journal, at the run and at every start after it, each saying so; once it
// can be, the next start finishes the records and the clean-up.
TEST_F(RecoveryTest, AnUninstallListThatCannotBeRewrittenIsTriedAgainAtEachStart) {
  SetReadOnly(Game() / "uninst.lst", true);
  EXPECT_EQ(Run(), UPDATE_E_UNINSTALL_LIST);
  EXPECT_EQ(JournalState(), kJournalInstalled);
  EXPECT_TRUE(fs::exists(Game() / "data01100.arc.lumetria-bak")) << "backups go only after the records";
  for (int start = 0; start < 2; ++start) {
    Recovered what = Recovered::Nothing;
    EXPECT_EQ(Recover(&what), UPDATE_E_UNINSTALL_LIST);
    EXPECT_EQ(what, Recovered::Finished);
    EXPECT_EQ(JournalState(), kJournalInstalled);
  }
  SetReadOnly(Game() / "uninst.lst", false);
  Recovered what = Recovered::Nothing;
  EXPECT_EQ(Recover(&what), UPDATE_OK);
  EXPECT_EQ(what, Recovered::Finished);
  EXPECT_FALSE(HasJournalValue());
  EXPECT_EQ(Leftovers(Snapshot(Game())), std::vector<std::string>{});
  EXPECT_EQ(ReadFileBytes(Game() / "uninst.lst"), MergedList());
  for (const PayloadFile& file : files) EXPECT_EQ(ReadFileBytes(Game() / file.name), file.data) << file.name;
}

// The patch only ever extends a list that is there: a missing one is
// reported, as the run always did, and not waited for.
TEST_F(RecoveryTest, AMissingUninstallListIsReportedAndNotWaitedFor) {
  fs::remove(Game() / "uninst.lst");
  EXPECT_EQ(Run(), UPDATE_E_UNINSTALL_LIST);
  EXPECT_FALSE(HasJournalValue());
  EXPECT_EQ(Leftovers(Snapshot(Game())), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(Game() / "uninst.lst"));
}

}  // namespace
