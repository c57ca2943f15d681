// What an update leaves when it is interrupted at any point: the process
// killed at the entry of each of its platform operations in turn, or the
// power cut there (everything not yet flushed lost). After each, the
// program's next start (recovery, then the usual flow) must end with the
// folder exactly as an uninterrupted run leaves it; in between, every file
// is wholly old or wholly new and never missing, and nothing outside the
// folder is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "install/version_check.h"
#include "payload/file_dx.h"
#include "platform/fault.h"
#include "tests/support/child_process.h"
#include "tests/support/folder_model.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_files.h"
#include "tests/support/update_fixture.h"
#include "tests/tools/hash_suffix.h"
#include "tools/patchkit/hash_list_writer.h"
#include "platform/registry.h"
#include "update/journal.h"
#include "update/recovery.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = 0x100000;

// Every how many points the two-deep exploration takes (1: every one); the
// build sets it where each point costs much more (under Wine).
#ifndef CRASH_EXPLORATION_STRIDE
#define CRASH_EXPLORATION_STRIDE 1
#endif
constexpr uint32_t kExplorationStride = CRASH_EXPLORATION_STRIDE;

// Under QEMU (the 32-bit build where the kernel cannot run i386 programs:
// cmake/i386-run says so in the environment, which Wine passes on) every
// point costs ten to twenty times what it costs under Wine elsewhere: the
// explorations take a stride of their points there, and say so.
uint32_t EmulatedStride(uint32_t stride) {
  const char* route = std::getenv("LUMETRIA_I386_ROUTE");
  if (route == nullptr || std::string(route) != "emulated i386") return 1;
  static bool said = false;
  if (!said) std::printf("emulated i386: one point in %u explored\n", stride);
  said = true;
  return stride;
}

// The points first, first + stride, ... up to last, and last itself.
std::vector<uint32_t> PointsUpTo(uint32_t first, uint32_t last, uint32_t stride) {
  std::vector<uint32_t> points;
  for (uint32_t point = first; point <= last; point += stride) points.push_back(point);
  if (!points.empty() && points.back() != last) points.push_back(last);
  return points;
}

std::vector<uint8_t> Fingerprinted(std::vector<uint8_t> bytes, const ContentHash& target) {
  EXPECT_TRUE(AppendHashSuffix(&bytes, target));
  return bytes;
}

class CrashStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OsFaultReset();
    // An installation of the version the patch applies to: the archive the
    // version check reads, an archive to replace, a read-only file to
    // replace, a sub-folder with a file to replace, the installed hash list
    // and the uninstall list; and a folder beside it that nothing may touch.
    fs::create_directories(Initial() / "sys");
    WriteFileBytes(Initial() / "data01110.arc", Fingerprinted(PatternBytes(3000, 1), EXPECTED_ARCHIVE_HASH));
    WriteFileBytes(Initial() / "data01100.arc", PatternBytes(5000, 2));
    WriteFileBytes(Initial() / "data01120.arc", PatternBytes(4000, 9));
    WriteFileBytes(Initial() / "readme.txt", Bytes("old readme"));
    SetReadOnly(Initial() / "readme.txt", true);
    WriteFileBytes(Initial() / "sys" / "sys.arc", PatternBytes(700, 3));
    std::vector<uint8_t> installedList;
    ASSERT_TRUE(BuildHashList({{"data01100.arc", ContentHash{}}, {"gone.arc", ContentHash{}}}, HashListLayout::Long,
                              0, &installedList, nullptr));
    WriteFileBytes(Initial() / "TLM.hvl", installedList);
    WriteFileBytes(Initial() / "uninst.lst", Bytes("data01100.arc\r\ndata01110.arc\r\n$savedata\r\n"));
    fs::create_directory(dir.Path() / "outside");
    WriteFileBytes(dir.Path() / "outside" / "keep.txt", Bytes("not the game's"));

    files = {{"data01110.arc", Fingerprinted(PatternBytes(6000, 4), PATCHED_ARCHIVE_HASH)},
             {"data01100.arc", PatternBytes(LargeEntrySize(), 5)},
             {"readme.txt", Bytes("new readme")},
             {"new.dat", PatternBytes(2000, 6)},
             {"data01120.arc", PatternBytes(3000, 10)},
             {"voice.dat", PatternBytes(300, 11)},
             {"empty.dat", {}},
             {"SYS.ARC", PatternBytes(900, 7), true, "sys\\sys.arc"},
             {"extra.dat", PatternBytes(10, 8), true, "sys\\extra.dat"}};
    // The payload's hash list also names a file the new version no longer
    // has, so the prune after the renames really changes TLM.hvl (itself
    // one of the entries).
    std::vector<PayloadFile> listed = files;
    listed.push_back({"retired.arc", PatternBytes(100, 12)});
    PatchOptions options;
    options.hashListBytes = PayloadHashList(listed);
    WritePatch(dir.Path() / "patch.exe", files, options);
    before = Snapshot(Initial());
    outside = Snapshot(dir.Path() / "outside");

    // The uninterrupted result.
    fs::copy(Initial(), Game(), fs::copy_options::recursive);
    ScriptedProgressUi ui;
    OsFaultReset();
    ASSERT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui), UPDATE_OK);
    operations = OsFaultTotalCalls();
    done = Snapshot(Game());
    ASSERT_EQ(Leftovers(done), std::vector<std::string>{});
  }

  // The largest entry: past one piece of the run's copy, unless a test
  // lays the folder out so often that only the order of the steps matters.
  virtual size_t LargeEntrySize() const { return kMiB + 5; }

  fs::path Initial() const { return dir.Path() / "initial"; }
  fs::path Game() const { return dir.Path() / "game"; }
  std::u16string GameCore() const { return dir.Core(u"game"); }
  std::u16string PatchCore() const { return dir.Core(u"patch.exe"); }

  void ResetGame() {
    ASSERT_TRUE(RemoveJournal(JournalValueName(GameCore())));
    if (fs::exists(Game())) {
      for (const auto& item : fs::recursive_directory_iterator(Game())) {
        fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
      }
      fs::remove_all(Game());
    }
    fs::copy(Initial(), Game(), fs::copy_options::recursive);
    SetReadOnly(Game() / "readme.txt", true);
  }

  // Between the crash and the next start: every file of the payload wholly
  // old or wholly new, and none that existed missing.
  void ExpectWholeFiles(const FolderSnapshot& state, bool listRemoved = false) {
    for (const auto& [name, bytes] : done) {
      auto found = state.find(name);
      auto old = before.find(name);
      if (name == "uninst.lst" && listRemoved) continue;
      if (name == "TLM.hvl" || name == "uninst.lst") {
        // Rewritten after the renames: present at every instant.
        EXPECT_TRUE(found != state.end()) << name << " missing";
        continue;
      }
      if (found == state.end()) {
        EXPECT_TRUE(old == before.end()) << name << " missing";
        continue;
      }
      EXPECT_TRUE(found->second == bytes || (old != before.end() && found->second == old->second))
          << name << " is neither old nor new";
    }
  }

  // The program's next start: recovery, then the version check decides
  // whether the update runs again. A journal means the commit had begun
  // with every new file in place or waiting: recovery finishes it, and
  // says so.
  void StartAgain() {
    Journal journal;
    bool whole = ReadJournal(GameCore(), &journal) == JournalLookup::Found;
    Recovered what = Recovered::Nothing;
    ASSERT_EQ(RecoverInterruptedUpdate(GameCore().c_str(), &what), UPDATE_OK);
    ContentHash archive = HashOfBytes(ReadFileBytes(Game() / "data01110.arc"));
    if (whole) {
      ASSERT_EQ(what, Recovered::Finished) << "a commit recovery could finish was not finished";
      ASSERT_EQ(archive, PATCHED_ARCHIVE_HASH);
    }
    if (archive == EXPECTED_ARCHIVE_HASH) {
      ScriptedProgressUi ui;
      ASSERT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui), UPDATE_OK);
    } else {
      ASSERT_EQ(archive, PATCHED_ARCHIVE_HASH);
    }
    ASSERT_EQ(Snapshot(Game()), done);
    ASSERT_EQ(Snapshot(dir.Path() / "outside"), outside);
    ASSERT_EQ(ReadJournal(GameCore(), &journal), JournalLookup::None);
  }

  // The journal the layer holds for the game folder now; empty when none.
  std::vector<uint8_t> StoredJournal() {
    std::vector<uint8_t> bytes;
    OsRegReadProtectedValue(kJournalRegistryKey, JournalValueName(GameCore()).c_str(), &bytes);
    return bytes;
  }

  TempDir dir;
  std::vector<PayloadFile> files;
  FolderSnapshot before;
  FolderSnapshot done;
  FolderSnapshot outside;
  uint32_t operations = 0;
};

// The trace of a clean run, with the model of the folder it drives.
std::vector<TracedOperation> TraceCleanRun(const std::u16string& patch, const std::u16string& game) {
  TraceRecorder recorder(game);
  ScriptedProgressUi ui;
  OsFaultReset();
  EXPECT_EQ(RunUpdateFrom(patch.c_str(), game.c_str(), ui), UPDATE_OK);
  return recorder.Operations();
}

TEST_F(CrashStateTest, KilledAtAnyOperationTheNextStartEndsAsAnUninterruptedRun) {
  ResetGame();
  const std::vector<TracedOperation> trace = TraceCleanRun(PatchCore(), GameCore());
  for (const TracedOperation& operation : trace) {
    ASSERT_TRUE(operation.inside) << "operation " << operation.index << " acts outside the folder: " << operation.path
                                  << " " << operation.path2;
  }
  ASSERT_GE(operations, 200u) << "too few crash points to explore";

  uint32_t explored = 0;
  const std::vector<uint32_t> points = PointsUpTo(1, operations, EmulatedStride(4));
  for (uint32_t point : points) {
    SCOPED_TRACE(testing::Message() << "killed at operation " << point << " of " << operations);
    ResetGame();
    FolderModel model(Game());
    int status = RunChildProcess(CRASH_APPLY_PATH, {std::to_string(point), fs::path(dir.Core(u"patch.exe")).string(),
                                                    fs::path(GameCore()).string()});
    ASSERT_EQ(status, kOsFaultDeathStatus);
    FolderSnapshot killed = Snapshot(Game());
    ExpectWholeFiles(killed);
    // The trace up to the point explains the folder exactly: the model the
    // power-cut test relies on is the real thing.
    for (const TracedOperation& operation : trace) {
      if (operation.index < point) model.Apply(operation);
    }
    TempDir modelled;
    model.LayOut(modelled.Path() / "game", false);
    ASSERT_EQ(Snapshot(modelled.Path() / "game"), killed);
    ASSERT_EQ(model.JournalBytes(), StoredJournal());
    StartAgain();
    if (HasFatalFailure()) return;
    ++explored;
  }
  EXPECT_EQ(explored, points.size());
  std::printf("explored %u kill points\n", explored);
}

TEST_F(CrashStateTest, PowerCutAtAnyOperationTheNextStartEndsAsAnUninterruptedRun) {
  ResetGame();
  const FolderModel initial(Game());
  const std::vector<TracedOperation> trace = TraceCleanRun(PatchCore(), GameCore());
  ASSERT_GE(operations, 200u);
  uint32_t explored = 0;
  const std::vector<uint32_t> points = PointsUpTo(1, operations + 1, EmulatedStride(4));
  for (uint32_t point : points) {
    SCOPED_TRACE(testing::Message() << "power cut at operation " << point << " of " << operations);
    FolderModel model = initial;
    for (const TracedOperation& operation : trace) {
      if (operation.index < point) model.Apply(operation);
    }
    model.LayOut(Game(), true);
    model.LayOutJournal(GameCore());
    ExpectWholeFiles(Snapshot(Game()));
    StartAgain();
    if (HasFatalFailure()) return;
    ++explored;
  }
  EXPECT_EQ(explored, points.size());
  std::printf("explored %u power-cut points\n", explored);
}

// The operations of a trace at which the journal is first stored and at
// which it is removed: a run stopped between them leaves it behind.
std::pair<uint32_t, uint32_t> JournalSpan(const std::vector<TracedOperation>& trace) {
  uint32_t created = 0;
  uint32_t removed = 0;
  for (const TracedOperation& operation : trace) {
    if (operation.op == OsOp::WriteValue && created == 0) created = operation.index;
    if (operation.op == OsOp::DeleteValue) removed = operation.index;
  }
  return {created, removed};
}

// The trace of the recovery from the folder and journal as they are now.
std::vector<TracedOperation> TraceRecovery(const std::u16string& game) {
  TraceRecorder recorder(game);
  OsFaultReset();
  RecoverInterruptedUpdate(game.c_str());
  OsFaultReset();
  return recorder.Operations();
}

// Killed again while the next start recovers, at each operation of the
// recovery, in real processes: the model of the folder explains what each
// kill leaves (as it does for the run), and the start after that still ends
// whole. Explored from three points of the commit: early in the renames,
// with every file renamed, and in the records after them.
TEST_F(CrashStateTest, KilledAgainDuringRecoveryTheStartAfterStillEndsWhole) {
  ResetGame();
  const FolderModel initial(Game());
  const std::vector<TracedOperation> trace = TraceCleanRun(PatchCore(), GameCore());
  // The run's points at which a kill leaves the journal behind.
  const auto [created, removed] = JournalSpan(trace);
  ASSERT_GT(created, 0u);
  ASSERT_GT(removed, created);
  const uint32_t points[] = {created + 4, created + (removed - created) / 2, removed};

  uint32_t explored = 0;
  for (uint32_t point : points) {
    FolderModel crashed = initial;
    for (const TracedOperation& operation : trace) {
      if (operation.index < point) crashed.Apply(operation);
    }
    crashed.LayOut(Game(), false);
    crashed.LayOutJournal(GameCore());
    ASSERT_FALSE(crashed.JournalBytes().empty());
    const std::vector<TracedOperation> recovery = TraceRecovery(GameCore());
    const uint32_t recoveryOperations = recovery.empty() ? 0 : recovery.back().index;
    for (uint32_t again : PointsUpTo(1, recoveryOperations, EmulatedStride(4))) {
      SCOPED_TRACE(testing::Message() << "run killed at " << point << ", recovery killed at " << again << " of "
                                      << recoveryOperations);
      crashed.LayOut(Game(), false);
      crashed.LayOutJournal(GameCore());
      int status = RunChildProcess(CRASH_APPLY_PATH, {"--recover", std::to_string(again), fs::path(GameCore()).string()});
      ASSERT_EQ(status, kOsFaultDeathStatus);
      FolderSnapshot killed = Snapshot(Game());
      ExpectWholeFiles(killed);
      FolderModel model = crashed;
      for (const TracedOperation& operation : recovery) {
        if (operation.index < again) model.Apply(operation);
      }
      TempDir modelled;
      model.LayOut(modelled.Path() / "game", false);
      ASSERT_EQ(Snapshot(modelled.Path() / "game"), killed);
      ASSERT_EQ(model.JournalBytes(), StoredJournal());
      StartAgain();
      if (HasFatalFailure()) return;
      ++explored;
    }
  }
  std::printf("explored %u recovery kill points\n", explored);
}

// Two interruptions deep: the run stopped at every point where it leaves a
// journal, then its recovery stopped at every one of its own points (killed,
// or the power cut), then the program started again. Modelled from the
// traces (the kill tests above hold the model to the real thing), and under
// conditions that make the first recovery fail part way: a backup held by
// another program, the uninstall list missing, read-only, or on a full disk.
// After the last start the game is whole: every file new with both records
// up to date (the list as the conditions leave it), and no journal.
enum class Condition { None, BackupHeld, ListMissing, ListReadOnly, DiskFull };
struct TwoDeepCase {
  const char* what;
  Condition condition;
  bool powerCut;    // the second interruption cuts the power instead of killing
  uint32_t stride;  // every how many of the run's points are explored
  uint32_t offset;  // and the first of them, so that the cases take different ones
};

void PrintTo(const TwoDeepCase& c, std::ostream* out) { *out << c.what; }

class TwoDeepTest : public CrashStateTest, public ::testing::WithParamInterface<TwoDeepCase> {
 protected:
  size_t LargeEntrySize() const override { return 5000; }
};

TEST_P(TwoDeepTest, InterruptedTwiceAtAnyPairOfPointsTheGameEndsWhole) {
  const TwoDeepCase& c = GetParam();
  ResetGame();
  const FolderModel initial(Game());
  const std::vector<TracedOperation> trace = TraceCleanRun(PatchCore(), GameCore());
  const auto [created, removed] = JournalSpan(trace);
  ASSERT_GT(removed, created);

  // The list the last start ends with: missing stays missing.
  FolderSnapshot expected = done;
  if (c.condition == Condition::ListMissing) expected.erase("uninst.lst");
  uint32_t explored = 0;
  const uint32_t stride = c.stride * kExplorationStride * EmulatedStride(2);
  for (uint32_t first = created + 1 + c.offset % stride; first <= removed; first += stride) {
    FolderModel crashed = initial;
    for (const TracedOperation& operation : trace) {
      if (operation.index < first) crashed.Apply(operation);
    }
    crashed.LayOut(Game(), false);
    crashed.LayOutJournal(GameCore());
    if (c.condition == Condition::ListMissing) fs::remove(Game() / "uninst.lst");
    if (c.condition == Condition::ListReadOnly) SetReadOnly(Game() / "uninst.lst", true);
    // The recovery as it goes under the condition: what every second
    // interruption cuts short.
    FolderModel second(Game());
    second.SetJournalBytes(crashed.JournalBytes());
    std::vector<TracedOperation> recovery;
    {
      CFileDX held;
      if (c.condition == Condition::BackupHeld && fs::exists(Game() / "data01100.arc.lumetria-bak")) {
        ASSERT_EQ(held.OpenRead(dir.Core(u"game\\data01100.arc.lumetria-bak").c_str()), 1);
      }
      TraceRecorder recorder(GameCore());
      OsFaultReset();
      if (c.condition == Condition::DiskFull) OsFaultArm(OsOp::Write, 1, OsFault::Full, true);
      RecoverInterruptedUpdate(GameCore().c_str());
      OsFaultReset();
      recovery = recorder.Operations();
    }
    const uint32_t last = recovery.empty() ? 1 : recovery.back().index + 1;
    for (uint32_t again = 1; again <= last; ++again) {
      SCOPED_TRACE(testing::Message() << "run stopped at " << first << ", recovery at " << again << " of " << last);
      FolderModel model = second;
      for (const TracedOperation& operation : recovery) {
        if (operation.index < again) model.Apply(operation);
      }
      model.LayOut(Game(), c.powerCut);
      model.LayOutJournal(GameCore());
      ExpectWholeFiles(Snapshot(Game()), c.condition == Condition::ListMissing);
      // The condition is gone by the last start.
      if (fs::exists(Game() / "uninst.lst")) SetReadOnly(Game() / "uninst.lst", false);
      Recovered what = Recovered::Nothing;
      UpdateResult result = RecoverInterruptedUpdate(GameCore().c_str(), &what);
      // A whole journal is always finished; none is left when the first
      // recovery completed.
      ASSERT_EQ(what, model.JournalBytes().empty() ? Recovered::Nothing : Recovered::Finished);
      if (c.condition == Condition::ListMissing) {
        ASSERT_TRUE(result == UPDATE_OK || result == UPDATE_E_UNINSTALL_LIST) << std::hex << result;
      } else {
        ASSERT_EQ(result, UPDATE_OK);
      }
      ASSERT_EQ(HashOfBytes(ReadFileBytes(Game() / "data01110.arc")), PATCHED_ARCHIVE_HASH);
      ASSERT_EQ(Snapshot(Game()), expected);
      ASSERT_TRUE(StoredJournal().empty());
      ++explored;
    }
  }
  std::printf("explored %u pairs of interruptions\n", explored);
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, TwoDeepTest,
    ::testing::Values(TwoDeepCase{"KilledTwice", Condition::None, false, 2, 0},
                      TwoDeepCase{"KilledThenPowerCut", Condition::None, true, 2, 1},
                      TwoDeepCase{"BackupHeld", Condition::BackupHeld, false, 5, 0},
                      TwoDeepCase{"ListMissing", Condition::ListMissing, false, 5, 1},
                      TwoDeepCase{"ListReadOnly", Condition::ListReadOnly, false, 5, 2},
                      TwoDeepCase{"DiskFull", Condition::DiskFull, false, 5, 3}),
    [](const ::testing::TestParamInfo<TwoDeepCase>& param) { return std::string(param.param.what); });

}  // namespace
