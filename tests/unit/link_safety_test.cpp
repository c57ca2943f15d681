// The patch runs elevated in a folder that other users may write to: a
// symbolic link planted below the install folder, at any name the run
// creates, reads or walks through, never gets anything written outside it.
#include <gtest/gtest.h>

#include <system_error>

#include "platform/fault.h"
#include "tests/support/host_links.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_files.h"
#include "tests/support/update_fixture.h"
#include "update/journal.h"
#include "update/recovery.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

class LinkSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Game() / "sys");
    WriteFileBytes(Game() / "data01100.arc", Bytes("old archive"));
    WriteFileBytes(Game() / "uninst.lst", Bytes("data01100.arc\r\n"));
    fs::create_directories(Outside() / "folder");
    WriteFileBytes(Victim(), Bytes("a file the player cannot write"));
    files = {{"data01100.arc", PatternBytes(3000, 1)}, {"DATA.ARC", PatternBytes(500, 2), true, "sys\\data.arc"}};
    WritePatch(dir.Path() / "patch.exe", files);
  }

  fs::path Game() const { return dir.Path() / "game"; }
  fs::path Outside() const { return dir.Path() / "outside"; }
  fs::path Victim() const { return Outside() / "victim.txt"; }

  void TearDown() override { RemovePlanted(); }

  // Plants a link (under Wine, the host makes it); false when this platform
  // cannot make one here.
  bool Plant(const fs::path& link, const fs::path& target, bool folder = false) {
    std::error_code error;
    fs::remove(link, error);
    planted.push_back(link);
    return MakeLink(link, target, folder);
  }
  // Removes the links planted so far, themselves: under Wine a Win32
  // removal of a link to a file would remove the file.
  void RemovePlanted() {
    for (const fs::path& link : planted) RemoveLink(link);
    planted.clear();
  }

  UpdateResult Run() {
    ScriptedProgressUi ui;
    return RunUpdateFrom(dir.Core(u"patch.exe").c_str(), dir.Core(u"game").c_str(), ui);
  }

  TempDir dir;
  std::vector<PayloadFile> files;
  std::vector<fs::path> planted;
};

TEST_F(LinkSafetyTest, NothingIsWrittenThroughALinkAtANameTheRunCreates) {
  struct Case {
    const char* name;      // where the link is planted, in the install folder
    bool dangling;         // the link leads to a file that does not exist yet
    UpdateResult expected;
  };
  const Case cases[] = {
      {"data01100.arc.tmp", false, UPDATE_OK},
      {"data01100.arc.tmp", true, UPDATE_OK},
      {"sys/data.arc.tmp", false, UPDATE_OK},
      {"TLM.hvl.new", false, UPDATE_OK},
      {"uninst.lst.new", false, UPDATE_OK},
      {"uninst.lst.new", true, UPDATE_OK},
      {"lumetria-patch.journal", false, UPDATE_OK},
      {"lumetria-patch.journal", true, UPDATE_OK},
      {"data01100.arc.lumetria-bak", false, UPDATE_OK},
      // The installed file itself: replaced by a real file, its target kept.
      {"data01100.arc", false, UPDATE_OK},
      // A list reached through a link is not read or written: the merge fails.
      {"uninst.lst", false, UPDATE_E_UNINSTALL_LIST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + std::string(c.dangling ? " (dangling)" : ""));
    SetUp();
    fs::path target = c.dangling ? Outside() / "created.txt" : Victim();
    if (!Plant(Game() / c.name, target)) GTEST_SKIP() << "this platform cannot make symbolic links here";
    UpdateResult result = Run();
    if (RunningUnderWine() && result != c.expected) {
      // Wine follows a host link wherever a Win32 call names one, so there
      // the layer refuses a name it finds to be a link rather than replace
      // it: the run stops before its commit, or in its records.
      EXPECT_TRUE(result == UPDATE_E_WRITE || result == UPDATE_E_UNINSTALL_LIST) << std::hex << result;
    } else {
      EXPECT_EQ(result, c.expected) << std::hex << result;
    }
    EXPECT_EQ(ReadFileBytes(Victim()), Bytes("a file the player cannot write"));
    EXPECT_FALSE(fs::exists(Outside() / "created.txt"));
    // Whole: every file new, or (stopped before the commit) every one old.
    const bool committed = result == UPDATE_OK || result == UPDATE_E_UNINSTALL_LIST;
    const bool linkIsTheFile = std::string(c.name) == "data01100.arc";
    EXPECT_EQ(ReadFileBytes(Game() / "data01100.arc"),
              committed ? files[0].data : linkIsTheFile ? ReadFileBytes(Victim()) : Bytes("old archive"));
    if (linkIsTheFile) {
      EXPECT_EQ(IsLink(Game() / "data01100.arc"), !committed);
    }
    if (committed) {
      EXPECT_EQ(ReadFileBytes(Game() / "sys" / "data.arc"), files[1].data);
    } else {
      EXPECT_FALSE(fs::exists(Game() / "sys" / "data.arc"));
    }
    // The journal is kept out of the folder: nothing is made at its old
    // name, and a link planted there is left alone.
    bool atJournal = std::string(c.name) == "lumetria-patch.journal";
    EXPECT_EQ(IsLink(Game() / "lumetria-patch.journal"), atJournal);
    RemovePlanted();
    fs::remove_all(Game());
  }
}

TEST_F(LinkSafetyTest, ASubFolderThatIsALinkRefusesThePayloadBeforeAnythingIsWritten) {
  fs::remove_all(Game() / "sys");
  if (!Plant(Game() / "sys", Outside() / "folder", true)) GTEST_SKIP() << "this platform cannot make symbolic links here";
  FolderSnapshot before = Snapshot(Game());
  EXPECT_EQ(Run(), UPDATE_E_WRITE);
  EXPECT_EQ(Snapshot(Game()), before);
  EXPECT_TRUE(fs::is_empty(Outside() / "folder"));
}

TEST_F(LinkSafetyTest, TheInstallFolderItselfMayBeALink) {
  fs::rename(Game(), dir.Path() / "moved");
  if (!Plant(Game(), dir.Path() / "moved", true)) GTEST_SKIP() << "this platform cannot make symbolic links here";
  EXPECT_EQ(Run(), UPDATE_OK);
  EXPECT_EQ(ReadFileBytes(dir.Path() / "moved" / "data01100.arc"), files[0].data);
}

TEST_F(LinkSafetyTest, RecoveryNeverReadsOrTouchesAnythingAtTheOldJournalName) {
  if (!Plant(Game() / "lumetria-patch.journal", Victim())) GTEST_SKIP() << "this platform cannot make symbolic links here";
  FolderSnapshot before = Snapshot(Game());
  Recovered what = Recovered::Finished;
  EXPECT_EQ(RecoverInterruptedUpdate(dir.Core(u"game").c_str(), &what), UPDATE_OK);
  EXPECT_EQ(what, Recovered::Nothing);
  EXPECT_TRUE(IsLink(Game() / "lumetria-patch.journal"));
  EXPECT_EQ(Snapshot(Game()), before);
  EXPECT_EQ(ReadFileBytes(Victim()), Bytes("a file the player cannot write"));
}

// Another program swaps the sub-folder sys (where the entry sys\data.arc,
// its temporary and its backup live) for a link to a folder outside, at one
// chosen platform call: the real folder is moved aside and the link takes
// its name, as a player could at any moment (on Windows an opportunistic
// lock times it to the call).
struct FolderSwap {
  fs::path folder;
  fs::path movedTo;
  fs::path target;
  uint32_t at = 0;
  bool done = false;
  bool failed = false;

  static void OnCall(uint32_t call, void* context) {
    auto* swap = static_cast<FolderSwap*>(context);
    if (call != swap->at || swap->done) return;
    swap->done = true;
    std::error_code error;
    fs::rename(swap->folder, swap->movedTo, error);
    swap->failed = error || !MakeLink(swap->folder, swap->target, true);
  }
};

class FolderSwapTest : public LinkSafetyTest {
 protected:
  void SetUp() override {
    LinkSafetyTest::SetUp();
    RemoveJournal(JournalValueName(dir.Core(u"game")));
    WriteFileBytes(Game() / "sys" / "data.arc", Bytes("old sys archive"));
    // What a swapped-in link would lead the run to: files of the names the
    // run writes, renames and deletes in sys.
    for (const char* name : {"data.arc", "data.arc.tmp", "data.arc.lumetria-bak", "keep.txt"}) {
      WriteFileBytes(Outside() / "folder" / name, Bytes(std::string("outside: ") + name));
    }
    fs::copy(Game(), dir.Path() / "pristine", fs::copy_options::recursive);
  }
  void TearDown() override {
    OsFaultSetCallHook(nullptr, nullptr);
    OsFaultReset();
    if (fs::exists(Game() / "sys-moved")) RemoveLink(Game() / "sys");
    LinkSafetyTest::TearDown();
  }
  void Restore() {
    RemoveJournal(JournalValueName(dir.Core(u"game")));
    // The link first, itself: under Wine a Win32 removal would go through it.
    if (fs::exists(Game() / "sys-moved")) RemoveLink(Game() / "sys");
    fs::remove_all(Game());
    fs::copy(dir.Path() / "pristine", Game(), fs::copy_options::recursive);
  }
  // Runs work with the swap at call at; false when this platform cannot
  // make the link.
  template <typename Work>
  bool WithSwapAt(uint32_t at, Work work) {
    FolderSwap swap{Game() / "sys", Game() / "sys-moved", Outside() / "folder", at};
    OsFaultReset();
    OsFaultSetCallHook(&FolderSwap::OnCall, &swap);
    work();
    OsFaultSetCallHook(nullptr, nullptr);
    OsFaultReset();
    return !swap.failed;
  }
};

TEST_F(FolderSwapTest, ASubFolderSwappedForALinkAtAnyCallOfTheRunGetsNothingOutside) {
  OsFaultReset();
  ASSERT_EQ(Run(), UPDATE_OK);
  const uint32_t calls = OsFaultTotalCalls();
  const FolderSnapshot outside = Snapshot(Outside());
  for (uint32_t at = 1; at <= calls; ++at) {
    SCOPED_TRACE(testing::Message() << "swapped at call " << at << " of " << calls);
    Restore();
    UpdateResult result = UPDATE_OK;
    if (!WithSwapAt(at, [&] { result = Run(); })) GTEST_SKIP() << "this platform cannot make symbolic links here";
    ASSERT_EQ(Snapshot(Outside()), outside) << "result " << std::hex << result;
    // Whatever the run did, it did to the real folder it opened.
    if (result == UPDATE_OK) {
      EXPECT_EQ(ReadFileBytes(Game() / "sys-moved" / "data.arc"), files[1].data);
    }
  }
}

// A run whose commit failed part way and whose undo failed too leaves its
// journal; the next start's recovery is swapped at each of its calls.
TEST_F(FolderSwapTest, ASubFolderSwappedForALinkAtAnyCallOfTheRecoveryGetsNothingOutside) {
  const FolderSnapshot outside = Snapshot(Outside());
  auto interrupted = [&] {
    Restore();
    // The payload's TLM.hvl and data01100.arc go in; sys\data.arc's rename
    // and every rename of the undo fail.
    OsFaultReset();
    OsFaultArm(OsOp::Move, 3, OsFault::Fail, true);
    EXPECT_EQ(Run(), UPDATE_E_WRITE);
    OsFaultReset();
    Journal journal;
    return ReadJournal(dir.Core(u"game"), &journal) == JournalLookup::Found;
  };
  ASSERT_TRUE(interrupted());
  OsFaultReset();
  ASSERT_EQ(RecoverInterruptedUpdate(dir.Core(u"game").c_str()), UPDATE_OK);
  const uint32_t calls = OsFaultTotalCalls();
  for (uint32_t at = 1; at <= calls; ++at) {
    SCOPED_TRACE(testing::Message() << "swapped at call " << at << " of " << calls);
    ASSERT_TRUE(interrupted());
    UpdateResult result = UPDATE_OK;
    if (!WithSwapAt(at, [&] { result = RecoverInterruptedUpdate(dir.Core(u"game").c_str()); })) {
      GTEST_SKIP() << "this platform cannot make symbolic links here";
    }
    ASSERT_EQ(Snapshot(Outside()), outside) << "result " << std::hex << result;
  }
}

}  // namespace
