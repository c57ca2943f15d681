// patch.exe from end to end under Wine: a payload appended to the real
// program by the container writer, an installation with archives made to the
// fingerprints the version check knows, the registry value, and the user's
// answers given through the program's own windows.
#include <gtest/gtest.h>

#include <functional>

#include "tests/e2e/patch_fixture.h"

namespace {

using namespace patch_e2e;

const std::wstring kGameRunning =
    L"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません";
const std::wstring kAlreadyPatched = L"パッチは適用済みです　　　　　　　　　　　　　　　　";
const std::wstring kOtherVersion = L"新しいバージョンのパッチを適用済みな可能性があります";
const std::wstring kDamaged = L"アップデートプログラムが破損している可能性があります";
const std::wstring kWriteFailed = L"何らかの要因によりアップデートが行えません　　　　　";
const std::wstring kUninstallFailed = L"アンインストレーションファイルの更新に失敗しました　";

// The installation in the test's own folder, the patch beside it.
class PatchTest : public PatchFixture {
 protected:
  // Also called again by tests that go through several installations.
  void SetUp() override { Install(dir.Path() / "game"); }

  void TearDown() override {
    PatchFixture::TearDown();
    for (HANDLE mutex : mutexes) CloseHandle(mutex);
    mutexes.clear();
  }

  // Writes the patch and starts it.
  void Start() {
    WritePatchAt(dir.Path() / "patched.exe");
    StartPatch(dir.Path() / "patched.exe");
  }

  // True when the program ends without showing any box or dialog.
  bool EndsSilently(int32_t* status) {
    DWORD code = 0;
    bool sawWindow = false;
    bool ended = WaitUntil(
        [&] {
          sawWindow = sawWindow || !DialogWindowsOf(host->ProcessId()).empty();
          return host->Wait(0, &code);
        },
        60000);
    *status = static_cast<int32_t>(code);
    return ended && !sawWindow;
  }

  HWND WaitForDialog() {
    HWND dialog = WaitForWindow([&] { return FindProgressDialog(host->ProcessId()); }, 30000);
    EXPECT_NE(dialog, nullptr);
    return dialog;
  }

  // The installation updated and nothing of the run's own left: every
  // payload file new, no temporary, backup or journal, and uninst.lst
  // holding list (then its terminating zero byte).
  void ExpectUpdatedWhole(const std::string& list) {
    FolderSnapshot after = Snapshot(game);
    for (const PayloadFile& file : payload) EXPECT_EQ(after[file.name], file.data) << file.name;
    EXPECT_EQ(Leftovers(after), std::vector<std::string>{});
    EXPECT_FALSE(HasJournal());
    EXPECT_EQ(ReadFileBytes(game / "uninst.lst"), Bytes(list + '\0'));
  }

  HANDLE HoldMutex(const char* name) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    mutexes.push_back(mutex);
    return mutex;
  }

  std::vector<HANDLE> mutexes;
};

TEST_F(PatchTest, UpdatesTheInstallationAndSaysSo) {
  Start();
  Answer(kConfirm, IDI_QUESTION, IDYES);
  Answer(kCompleted, IDI_INFORMATION, IDOK);
  EXPECT_EQ(ExitStatus(), 0);
  for (const PayloadFile& file : payload) EXPECT_EQ(ReadFileBytes(game / file.name), file.data) << file.name;
  EXPECT_EQ(ReadFileBytes(game / "uninst.lst"),
            Bytes(std::string("data01100.arc\ndata01110.arc\ntlm.hvl\nreadme.txt\n") + '\0'));
  std::vector<HashListRecord> listed;
  for (const char* name : {"data01100.arc", "data01110.arc", "readme.txt"}) {
    for (const PayloadFile& file : payload) {
      if (file.name == name) listed.push_back({file.name, HashOfBytes(file.data)});
    }
  }
  std::vector<uint8_t> expectedList;
  ASSERT_TRUE(BuildHashList({listed[1], listed[0], listed[2]}, HashListLayout::Long, 0, &expectedList, nullptr));
  EXPECT_EQ(ReadFileBytes(game / "TLM.hvl"), expectedList) << "the payload's list, pruned";
}

// Killed (TerminateProcess) at several moments of a large apply, from the
// extraction into the commit and the records, then started again: the
// installation ends whole and updated, with nothing of the run's own left.
TEST_F(PatchTest, KilledAtAnyMomentAndStartedAgainEndsUpdated) {
  for (DWORD delay : {0, 50, 100, 200, 350, 600}) {
    SCOPED_TRACE(testing::Message() << "killed " << delay << " ms into the run");
    SetUp();
    // A large archive first, so that the commit comes late enough to be hit.
    payload.insert(payload.begin(), PayloadFile{"movie.dat", PatternBytes(16 * 0x100000, 7)});
    const FolderSnapshot before = Snapshot(game);
    Start();
    Answer(kConfirm, IDI_QUESTION, IDYES);
    WaitForDialog();
    Sleep(delay);
    host->Kill();

    // Between the kill and the next start: every file old or new, none missing.
    FolderSnapshot killed = Snapshot(game);
    for (const PayloadFile& file : payload) {
      auto found = killed.find(file.name);
      auto old = before.find(file.name);
      if (found == killed.end()) {
        EXPECT_TRUE(old == before.end()) << file.name << " missing";
      } else {
        EXPECT_TRUE(found->second == file.data || (old != before.end() && found->second == old->second))
            << file.name << " is neither old nor new";
      }
    }

    // The next start runs the update again (killed before the commit),
    // finishes the interrupted commit and says the update is complete
    // without asking (killed in it), or finds it applied already (killed
    // after it).
    Start();
    HWND box = WaitForWindow([&] { return FindMessageBox(host->ProcessId()); }, 30000);
    ASSERT_NE(box, nullptr);
    std::wstring first = ReadMessageBox(box).text;
    if (first == kConfirm) {
      Answer(kConfirm, IDI_QUESTION, IDYES);
      Answer(kCompleted, IDI_INFORMATION, IDOK);
      EXPECT_EQ(ExitStatus(), 0);
    } else if (first == kCompleted) {
      Answer(kCompleted, IDI_INFORMATION, IDOK);
      EXPECT_EQ(ExitStatus(), 0);
    } else {
      Answer(kAlreadyPatched, IDI_WARNING, IDOK);
      EXPECT_EQ(ExitStatus(), -1);
    }
    ExpectUpdatedWhole("data01100.arc\ndata01110.arc\ntlm.hvl\nmovie.dat\nreadme.txt\n");
  }
}

// Every file is in place but the uninstall list cannot be rewritten (it is
// read-only): the run says so and keeps its journal and backups. Started
// again once the list can be written, the program finishes that update
// before anything else (the installed archive is the new version already)
// and says it is complete, without asking, leaving nothing behind.
TEST_F(PatchTest, RecordsThatFailedAreFinishedAtTheNextStart) {
  SetFileAttributesW((game / "uninst.lst").c_str(), FILE_ATTRIBUTE_READONLY);
  Start();
  Answer(kConfirm, IDI_QUESTION, IDYES);
  Answer(kUninstallFailed, IDI_WARNING, IDOK);
  EXPECT_EQ(static_cast<uint32_t>(ExitStatus()), 0x80000005u);
  EXPECT_TRUE(HasJournal()) << "the journal waits for the next start";
  EXPECT_NE(Leftovers(Snapshot(game)), std::vector<std::string>{}) << "the backups wait with it";

  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "list writable again" : "the start after");
    if (start == 0) SetFileAttributesW((game / "uninst.lst").c_str(), FILE_ATTRIBUTE_NORMAL);
    Start();
    if (start == 0) {
      Answer(kCompleted, IDI_INFORMATION, IDOK);
      EXPECT_EQ(ExitStatus(), 0);
    } else {
      Answer(kAlreadyPatched, IDI_WARNING, IDOK);
      EXPECT_EQ(ExitStatus(), -1);
    }
    ExpectUpdatedWhole("data01100.arc\ndata01110.arc\ntlm.hvl\nreadme.txt\n");
  }
}

TEST_F(PatchTest, ASecondCopyEndsSilently) {
  HoldMutex("Updater for Lumetria is executing.");
  Start();
  int32_t status = -100;
  EXPECT_TRUE(EndsSilently(&status));
  EXPECT_GT(status, 0) << "the status is the value of the mutex handle";
}

TEST_F(PatchTest, TheRunningGameIsReportedBeforeTheRegistryIsRead) {
  HoldMutex("Talmoret for Lumetria is executing.");
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kGameKey);  // reading it would give another message
  Start();
  Answer(kGameRunning, IDI_WARNING, IDOK);
  EXPECT_EQ(ExitStatus(), -2);
}

TEST_F(PatchTest, PreconditionsThatStopBeforeTheUpdate) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::wstring message;
  };
  const Case cases[] = {
      {"not installed", [] { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kGameKey); }, kNotInstalled},
      {"already patched",
       [&] { WriteFileBytes(game / "data01110.arc", WithFingerprint(PatternBytes(10, 5), PATCHED_ARCHIVE_HASH)); },
       kAlreadyPatched},
      {"other content", [&] { WriteFileBytes(game / "data01110.arc", Bytes("other")); }, kOtherVersion},
      {"empty archive", [&] { WriteFileBytes(game / "data01110.arc", {}); }, kOtherVersion},
      {"missing archive", [&] { fs::remove(game / "data01110.arc"); }, kCheckFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.prepare();
    FolderSnapshot before = Snapshot(game);
    Start();
    Answer(c.message, IDI_WARNING, IDOK);
    EXPECT_EQ(ExitStatus(), -1);
    EXPECT_EQ(Snapshot(game), before);
  }
}

TEST_F(PatchTest, DecliningChangesNothing) {
  FolderSnapshot before = Snapshot(game);
  Start();
  Answer(kConfirm, IDI_QUESTION, IDNO);
  int32_t status = 0;
  EXPECT_TRUE(EndsSilently(&status)) << "no dialog after No";
  EXPECT_EQ(status, -3);
  EXPECT_EQ(Snapshot(game), before);
}

// The dialog's cancel and close, while the run is busy: the program's thread
// is held still while the request is posted, so the run cannot finish first.
TEST_F(PatchTest, CancelAndCloseMidRunLeaveEverythingAsItWas) {
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancel" : "close");
    SetUp();
    payload.push_back({"big.arc", PatternBytes(48 * 0x100000, 6)});
    FolderSnapshot before = Snapshot(game);
    Start();
    Answer(kConfirm, IDI_QUESTION, IDYES);
    HWND dialog = WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    SuspendThread(host->ThreadHandle());
    if (cancel) {
      ClickButton(dialog, 1000);
    } else {
      PostMessageW(dialog, WM_CLOSE, 0, 0);
    }
    ResumeThread(host->ThreadHandle());
    if (cancel) Answer(kCancelQuestion, IDI_QUESTION, IDYES);
    int32_t status = 0;
    DWORD code = 0;
    ASSERT_TRUE(host->Wait(60000, &code));
    status = static_cast<int32_t>(code);
    EXPECT_EQ(static_cast<uint32_t>(status), cancel ? 0x80000006u : 0x80000007u);
    EXPECT_EQ(FindMessageBox(host->ProcessId()), nullptr);
    EXPECT_EQ(Snapshot(game), before);
  }
}

TEST_F(PatchTest, FailuresOfTheRunAreReported) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::wstring message;
    uint32_t status;
    bool installed;
  };
  HANDLE held = INVALID_HANDLE_VALUE;
  const Case cases[] = {
      {"damaged payload", [&] { payload[1].recordHash = ContentHash{{1, 2, 3, 4, 5, 6, 7, 9}}; }, kDamaged,
       0x80000001, false},
      {"destination held open",
       [&] {
         held = CreateFileW((game / "data01100.arc").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
       },
       kWriteFailed, 0x80000004, false},
      {"no uninstall list", [&] { fs::remove(game / "uninst.lst"); }, kUninstallFailed, 0x80000005, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    // Taken first: a file held open without sharing cannot be read.
    FolderSnapshot before = Snapshot(game);
    c.prepare();
    Start();
    Answer(kConfirm, IDI_QUESTION, IDYES);
    Answer(c.message, IDI_WARNING, IDOK);
    EXPECT_EQ(static_cast<uint32_t>(ExitStatus()), c.status);
    if (held != INVALID_HANDLE_VALUE) {
      CloseHandle(held);
      held = INVALID_HANDLE_VALUE;
    }
    if (c.installed) {
      for (const PayloadFile& file : payload) EXPECT_EQ(ReadFileBytes(game / file.name), file.data) << file.name;
      EXPECT_FALSE(fs::exists(game / "uninst.lst"));
    } else {
      EXPECT_EQ(Snapshot(game), before);
    }
  }
}

}  // namespace
