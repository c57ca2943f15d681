// The update run from end to end on the build's layer, with the scripted
// progress interface standing in for the dialog.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "update/journal.h"
#include "update/recovery.h"
#include "update/relative_path.h"
#include "update/update_run.h"
#include "platform/fault.h"
#include "tests/support/alloc_fault.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_files.h"
#include "tests/support/update_fixture.h"
#include "tests/tools/hash_suffix.h"
#include "tools/patchkit/hash_list_writer.h"

namespace {

namespace fs = std::filesystem;
using Action = ScriptedProgressUi::Action;
using Event = ScriptedProgressUi::Event;

constexpr size_t kMiB = 0x100000;

// A payload of every size class that matters to the piece loop.
std::vector<PayloadFile> SizeClassPayload() {
  return {{"empty.dat", {}},
          {"one.dat", PatternBytes(1, 1)},
          {"exact.arc", PatternBytes(kMiB, 2)},
          {"plus.arc", PatternBytes(kMiB + 1, 3)},
          {"big.arc", PatternBytes(3 * kMiB + 5, 4)}};
}

// A small payload for tables that run the whole update many times.
std::vector<PayloadFile> SmallPayload() {
  return {{"data01100.arc", PatternBytes(kMiB + 7, 5)},
          {"empty.dat", {}},
          {"new.dat", PatternBytes(3000, 6)},
          {"readme.txt", Bytes("new readme")}};
}

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OsFaultReset();
    ResetUiState();
    fs::create_directory(Game());
    // An installation to update: an old archive, a read-only file, the
    // installed hash list (one record names a file that is gone) and the
    // uninstall list.
    WriteFileBytes(Game() / "data01100.arc", PatternBytes(5000, 9));
    WriteFileBytes(Game() / "one.dat", Bytes("old"));
    WriteFileBytes(Game() / "readme.txt", Bytes("old readme"));
    SetReadOnly(Game() / "readme.txt", true);
    std::vector<uint8_t> installedList;
    ASSERT_TRUE(BuildHashList({{"data01100.arc", ContentHash{}}, {"gone.arc", ContentHash{}}}, HashListLayout::Long, 0,
                              &installedList, nullptr));
    WriteFileBytes(Game() / "TLM.hvl", installedList);
    WriteFileBytes(Game() / "uninst.lst", Bytes("data01100.arc\r\n$savedata\r\n"));
  }
  void TearDown() override {
    OsFaultReset();
    ResetUiState();
  }

  fs::path Game() const { return dir.Path() / "game"; }
  std::u16string GameCore() const { return dir.Core(u"game"); }

  // Tables that run the whole update many times: the patch of files, and
  // the installation before and after a complete run, kept to start each
  // run from (RestorePristine).
  std::pair<FolderSnapshot, FolderSnapshot> StartTable(const std::vector<PayloadFile>& files) {
    WritePatch(dir.Path() / "patch.exe", files);
    FolderSnapshot before = Snapshot(Game());
    fs::copy(Game(), dir.Path() / "pristine", fs::copy_options::recursive);
    return {before, Updated(before, files)};
  }
  void RestorePristine() {
    for (const auto& item : fs::recursive_directory_iterator(Game())) {
      fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    fs::remove_all(Game());
    fs::copy(dir.Path() / "pristine", Game(), fs::copy_options::recursive);
    SetReadOnly(Game() / "readme.txt", true);
  }
  std::u16string PatchCore() const { return dir.Core(u"patch.exe"); }

  UpdateResult Run(const std::vector<PayloadFile>& files, ScriptedProgressUi& ui, const PatchOptions& options = {}) {
    WritePatch(dir.Path() / "patch.exe", files, options);
    return RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui);
  }

  // The installation after a complete run: every payload file (and the
  // payload's TLM.hvl) in place, everything else as it was.
  FolderSnapshot Updated(const FolderSnapshot& before, const std::vector<PayloadFile>& files) {
    FolderSnapshot after = before;
    for (const PayloadFile& file : files) {
      std::string name = file.recordName.empty() ? file.name : file.recordName;
      std::replace(name.begin(), name.end(), '\\', '/');
      after[name] = file.data;
    }
    return after;
  }

  static void ExpectSameExceptRecords(FolderSnapshot actual, FolderSnapshot expected) {
    actual.erase("TLM.hvl");
    actual.erase("uninst.lst");
    expected.erase("TLM.hvl");
    expected.erase("uninst.lst");
    EXPECT_EQ(actual, expected);
  }

  TempDir dir;
};

TEST_F(UpdateRunTest, InstallsEveryFileAndShowsItsProgress) {
  std::vector<PayloadFile> files = SizeClassPayload();
  FolderSnapshot before = Snapshot(Game());
  ScriptedProgressUi ui;
  ASSERT_EQ(Run(files, ui), UPDATE_OK);

  FolderSnapshot after = Snapshot(Game());
  EXPECT_EQ(Leftovers(after), std::vector<std::string>{});
  ExpectSameExceptRecords(after, Updated(before, files));
  // The payload's list replaced the installed one and was pruned to the
  // files that exist; the uninstall list gained every installed name.
  std::vector<HashListRecord> kept;
  for (const PayloadFile& file : files) kept.push_back({file.name, HashOfBytes(file.data)});
  std::vector<uint8_t> expectedList;
  ASSERT_TRUE(BuildHashList(kept, HashListLayout::Long, 0, &expectedList, nullptr));
  EXPECT_EQ(after["TLM.hvl"], expectedList);
  EXPECT_EQ(after["uninst.lst"], Bytes(std::string("data01100.arc\ntlm.hvl\nempty.dat\none.dat\nexact.arc\n"
                                                   "plus.arc\nbig.arc\n$savedata\n") +
                                       std::string(1, '\0')));

  EXPECT_EQ(ui.Statuses(), (std::vector<std::u16string>{u"TLM.hvlをインストール中", u"empty.datをインストール中",
                                                         u"one.datをインストール中", u"exact.arcをインストール中",
                                                         u"plus.arcをインストール中", u"big.arcをインストール中"}));
  EXPECT_EQ(ui.Values(Event::FileRange), std::vector<uint32_t>{0xFFFF});
  EXPECT_EQ(ui.Values(Event::OverallRange), std::vector<uint32_t>{6});
  EXPECT_EQ(ui.Values(Event::OverallPosition), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6}));
  // Per file: reset to 0, then one position per piece, the last at 65535.
  const uint32_t plusFirst = static_cast<uint32_t>(uint64_t{kMiB} * 65535 / (kMiB + 1));
  const uint32_t big1 = static_cast<uint32_t>(uint64_t{kMiB} * 65535 / (3 * kMiB + 5));
  const uint32_t big2 = static_cast<uint32_t>(uint64_t{2 * kMiB} * 65535 / (3 * kMiB + 5));
  const uint32_t big3 = static_cast<uint32_t>(uint64_t{3 * kMiB} * 65535 / (3 * kMiB + 5));
  EXPECT_EQ(ui.Values(Event::FilePosition),
            (std::vector<uint32_t>{0, 0, 65535, 0, 0, 65535, 0, 65535, 0, plusFirst, 65535, 0, big1, big2, big3, 65535}));
  EXPECT_EQ(ui.PumpCalls(), 1u + 6 * 2 + 1 + 0 + 1 + 1 + 2 + 4);
}

// Cancel, close or quit at every call of the interface, that is at every
// pump and right before every stop test: the run stops before the commit,
// leaves the installation as it was and removes what it wrote.
TEST_F(UpdateRunTest, StopsAtEveryPointWithNothingChanged) {
  std::vector<PayloadFile> files = SizeClassPayload();
  WritePatch(dir.Path() / "patch.exe", files);
  FolderSnapshot before = Snapshot(Game());
  ScriptedProgressUi clean;
  // A dry run that stops at the last call shows how many calls there are.
  clean.At(1000, Action::Cancel);
  {
    TempDir scratch;
    fs::copy(Game(), scratch.Path() / "game", fs::copy_options::recursive);
    ASSERT_EQ(RunUpdateFrom(PatchCore().c_str(), scratch.Core(u"game").c_str(), clean), UPDATE_OK);
  }
  const uint32_t calls = clean.Calls();
  ASSERT_GT(calls, 40u);

  struct ActionCase {
    Action action;
    UpdateResult expected;
  };
  for (ActionCase c : {ActionCase{Action::Cancel, UPDATE_E_CANCELLED}, ActionCase{Action::Close, UPDATE_E_CLOSED},
                       ActionCase{Action::Quit, UPDATE_E_CLOSED}}) {
    for (uint32_t call = 1; call <= calls; ++call) {
      SCOPED_TRACE(testing::Message() << "action " << static_cast<int>(c.action) << " at call " << call);
      ResetUiState();
      ScriptedProgressUi ui;
      ui.At(call, c.action);
      ASSERT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui), c.expected);
      ASSERT_EQ(Snapshot(Game()), before);
      // Up to the stop, the run showed what a complete run shows.
      ASSERT_LE(ui.Calls(), calls);
      // The stop is answered at once: at most the pump that notices it
      // follows, never the rest of the file being copied.
      uint32_t pumpsAfter = 0;
      for (uint32_t k = call; k < ui.Calls(); ++k) pumpsAfter += ui.Events()[k].kind == Event::Pump;
      ASSERT_LE(pumpsAfter, 1u);
      for (uint32_t k = 0; k < ui.Calls(); ++k) {
        const Event& shown = ui.Events()[k];
        const Event& expected = clean.Events()[k];
        ASSERT_EQ(shown.kind, expected.kind);
        if (shown.kind != Event::Pump) {
          ASSERT_EQ(shown.value, expected.value);
        }
        ASSERT_EQ(shown.text, expected.text);
      }
    }
  }
}

TEST_F(UpdateRunTest, BothFlagsEndAsCancelled) {
  ScriptedProgressUi ui;
  ui.At(3, Action::Close);
  ui.At(4, Action::Cancel);
  EXPECT_EQ(Run(SmallPayload(), ui), UPDATE_E_CANCELLED);
}

// The installation as it must be once the next start has recovered what a
// run left: updated when the run reported success (or only a failed merge),
// as it was otherwise, with nothing of the run's own left either way.
void ExpectWholeAfterRecovery(const fs::path& game, const std::u16string& gameCore, UpdateResult result,
                              const FolderSnapshot& before, const FolderSnapshot& updated) {
  // A run whose files were all installed but whose journal was not marked
  // so (or whose records must be done again) is finished by the next start.
  Recovered what = Recovered::Nothing;
  EXPECT_EQ(RecoverInterruptedUpdate(gameCore.c_str(), &what), UPDATE_OK);
  Journal journal;
  EXPECT_EQ(ReadJournal(gameCore, &journal), JournalLookup::None);
  FolderSnapshot after = Snapshot(game);
  EXPECT_EQ(Leftovers(after), std::vector<std::string>{});
  if (result == UPDATE_OK || result == UPDATE_E_UNINSTALL_LIST || what == Recovered::Finished) {
    FolderSnapshot expected = updated;
    for (const char* record : {"TLM.hvl", "uninst.lst"}) {
      after.erase(record);
      expected.erase(record);
    }
    EXPECT_EQ(after, expected);
  } else {
    EXPECT_EQ(after, before);
    // Put back means the attributes too: the installed read-only file is
    // read-only again.
    EXPECT_EQ(fs::status(game / "readme.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  }
}

// The files a run flushed and closed, in call order (empty names for files
// opened only to be read).
struct WrittenFileCalls {
  std::map<OsFile, std::u16string> open;
  std::vector<std::u16string> flushes;
  std::vector<std::u16string> closes;
};

void RecordWrittenFileCall(const OsTraceEvent& event, void* context) {
  auto* calls = static_cast<WrittenFileCalls*>(context);
  if (event.op == OsOp::CreateNew || event.op == OsOp::OpenWrite) calls->open[event.file] = event.path;
  if (event.op == OsOp::Flush) calls->flushes.push_back(calls->open[event.file]);
  if (event.op == OsOp::Close) {
    calls->closes.push_back(calls->open[event.file]);
    calls->open.erase(event.file);
  }
}

bool EndsWith(const std::u16string& text, std::u16string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What a run must report when the flush or the close of this file fails:
// a temporary file not known to be whole is never installed; the rewritten
// uninstall list is its own failure; the installed hash list's pruning may
// fail quietly. Empty where the general table decides.
std::vector<UpdateResult> ResultOfAFailedFlushOrClose(const std::u16string& file) {
  if (EndsWith(file, u".tmp")) return {UPDATE_E_WRITE};
  if (EndsWith(file, u"uninst.lst.new")) return {UPDATE_E_UNINSTALL_LIST};
  if (EndsWith(file, u"TLM.hvl.new")) return {UPDATE_OK};
  return {};
}

// Every file-system call of a complete run fails in turn. Each failure gives
// the one result the table names for that call, and once the next start has
// recovered what the run left (as the program does before anything else),
// the installation is as it was after a failure and completely updated
// after a success, with nothing of the run's own left behind.
TEST_F(UpdateRunTest, AFailureAtAnyCallLeavesTheInstallationWholeOrUpdated) {
  const auto [before, updated] = StartTable(SmallPayload());

  OsFaultReset();
  ScriptedProgressUi clean;
  // The clean run's flushes and closes in call order, each with the file it
  // was made on, so that each failure point can be held to its own result.
  WrittenFileCalls written;
  OsTraceSet(RecordWrittenFileCall, &written);
  ASSERT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), clean), UPDATE_OK);
  OsTraceSet(nullptr, nullptr);
  auto temporaries = [](const std::vector<std::u16string>& files) {
    return std::count_if(files.begin(), files.end(), [](const std::u16string& f) { return EndsWith(f, u".tmp"); });
  };
  ASSERT_EQ(temporaries(written.flushes), static_cast<long>(SmallPayload().size() + 1)) << "each entry and TLM.hvl";
  ASSERT_EQ(temporaries(written.closes), temporaries(written.flushes));
  // What a failure of each call of the clean run must give, call by call.
  // The run reads the patch, writes and flushes a temporary per entry (the
  // payload's TLM.hvl first, then data01100.arc, empty.dat, new.dat and the
  // read-only readme.txt), stores the journal, installs, marks the journal
  // installed, prunes the installed TLM.hvl, merges uninst.lst, marks the
  // records done, and clears the backups and the journal. Until the
  // installed mark is stored, a failure fails the run (a damaged payload
  // when the patch cannot be read); after it the update stands, and only
  // the uninstall list's own failure is reported.
  constexpr UpdateResult P = UPDATE_E_PAYLOAD, W = UPDATE_E_WRITE, OK = UPDATE_OK, U = UPDATE_E_UNINSTALL_LIST;
  struct OpCase {
    OsOp op;
    std::vector<UpdateResult> results;  // what a failure of the nth call must give
  };
  const OpCase ops[] = {
      // The patch; the installed TLM.hvl (the prune may fail quietly); uninst.lst.
      {OsOp::OpenRead, {P, OK, U}},
      // Five temporaries, TLM.hvl.new, uninst.lst.new.
      {OsOp::CreateNew, {W, W, W, W, W, OK, U}},
      // The patch, nine pieces; the installed TLM.hvl; uninst.lst.
      {OsOp::Read, {P, P, P, P, P, P, P, P, P, OK, OK, U}},
      // The temporaries (empty.dat has nothing to write, data01100.arc two
      // pieces); TLM.hvl.new; uninst.lst.new.
      {OsOp::Write, {W, W, W, W, W, OK, U}},
      // The patch's directory, hash list and entries.
      {OsOp::Seek, {P, P, P, P, P, P, P}},
      // Five temporaries, TLM.hvl.new; uninst.lst.new.
      {OsOp::Flush, {W, W, W, W, W, OK, U}},
      // Five temporaries; the installed TLM.hvl read, TLM.hvl.new; uninst.lst
      // read, uninst.lst.new; the patch.
      {OsOp::Close, {W, W, W, W, W, OK, OK, U, U, OK}},
      // Five installs; TLM.hvl.new over TLM.hvl; uninst.lst.new over uninst.lst.
      {OsOp::Move, {W, W, W, W, W, OK, U}},
      // Each backup: the run makes it by a rename instead.
      {OsOp::Link, {OK, OK, OK}},
      // Leftover temporaries, the backups: nothing to lose.
      {OsOp::Delete, std::vector<UpdateResult>(15, OK)},
      // Each original's attributes (W: a file not known to be absent is
      // never taken for a new one) and its backup name's (taken as free: the
      // backup then fails if it is not); during the installs and after,
      // every check only decides between two safe ways.
      {OsOp::GetAttributes, {W, OK, W, OK, W, W, W, OK, OK, OK, OK, OK, OK, OK, OK, OK, OK, OK, OK, OK, OK, OK}},
      // Leftover temporaries; the originals made writable once backed up
      // (the read-only readme.txt then cannot be replaced); the backups and
      // records afterwards.
      {OsOp::SetAttributes, {OK, OK, OK, OK, OK, OK, OK, W, OK, OK, OK, OK, OK}},
      // Before the journal; after the installs (the journal is then not
      // marked, and the next start finishes); after the records (they are
      // done again at the next start); after the clean-up.
      {OsOp::FlushFolder, {W, W, U, OK}},
      {OsOp::CopyAttributes, {OK, OK}},
      // Whether a journal of an earlier run is in the way: not known, it is.
      {OsOp::ReadValue, {W}},
      // The journal stored; marked installed; marked recorded (the update
      // stands; the next start only clears up).
      {OsOp::WriteValue, {W, W, OK}},
      {OsOp::DeleteValue, {OK}},
  };
  std::vector<uint32_t> counts;
  for (const OpCase& c : ops) counts.push_back(OsFaultCalls(c.op));
  RestorePristine();

  int runs = 0;
  for (size_t k = 0; k < std::size(ops); ++k) {
    ASSERT_EQ(counts[k], ops[k].results.size())
        << "operation " << static_cast<int>(ops[k].op) << ": the clean run no longer makes the calls the table lists";
    for (uint32_t nth = 1; nth <= counts[k]; ++nth) {
      // A write may also fail for want of room: the same result as any
      // other failed write.
      for (OsFault kind : {OsFault::Fail, OsFault::Short, OsFault::Full}) {
        if (kind == OsFault::Short && ops[k].op != OsOp::Read && ops[k].op != OsOp::Write) continue;
        if (kind == OsFault::Full && ops[k].op != OsOp::Write) continue;
        SCOPED_TRACE(testing::Message() << "operation " << static_cast<int>(ops[k].op) << " call " << nth
                                        << (kind == OsFault::Short ? " short" : kind == OsFault::Full ? " disk full" : ""));
        ++runs;
        OsFaultReset();
        OsFaultArm(ops[k].op, nth, kind);
        ScriptedProgressUi ui;
        UpdateResult result = RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui);
        OsFaultReset();
        EXPECT_EQ(result, ops[k].results[nth - 1]) << std::hex << result;
        // The flushes and closes of the files the run writes, as the trace
        // of the clean run names them, agree with the table.
        if (ops[k].op == OsOp::Flush || ops[k].op == OsOp::Close) {
          const std::vector<std::u16string>& files = ops[k].op == OsOp::Flush ? written.flushes : written.closes;
          if (nth <= files.size()) {
            std::vector<UpdateResult> exact = ResultOfAFailedFlushOrClose(files[nth - 1]);
            if (!exact.empty()) {
              EXPECT_EQ(result, exact[0]) << std::hex << result;
            }
          }
        }
        ExpectWholeAfterRecovery(Game(), GameCore(), result, before, updated);
        RestorePristine();
      }
    }
  }
  EXPECT_GT(runs, 40);
}

// The renames of a run, in call order.
void RecordMove(const OsTraceEvent& event, void* context) {
  if (event.op == OsOp::Move) {
    static_cast<std::vector<std::pair<std::u16string, std::u16string>>*>(context)->emplace_back(event.path, event.path2);
  }
}

// Where the folder takes no hard links (FAT32, some network shares), each
// original is renamed to its backup name before the new file takes its
// name. A failure of any of those renames fails the run before that
// original is touched, and everything comes back, attributes included.
TEST_F(UpdateRunTest, WithoutHardLinksAFailedMoveToABackupFailsTheRun) {
  const auto [before, updated] = StartTable(SmallPayload());
  OsFaultReset();
  OsFaultArm(OsOp::Link, 1, OsFault::Fail, true);
  std::vector<std::pair<std::u16string, std::u16string>> moves;
  OsTraceSet(RecordMove, &moves);
  ScriptedProgressUi clean;
  UpdateResult cleanResult = RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), clean);
  OsTraceSet(nullptr, nullptr);
  ASSERT_EQ(cleanResult, UPDATE_OK);
  ExpectWholeAfterRecovery(Game(), GameCore(), cleanResult, before, updated);
  RestorePristine();
  const auto isBackup = [](const std::u16string& to) { return to.find(kBackupMarker) != std::u16string::npos; };
  ASSERT_EQ(std::count_if(moves.begin(), moves.end(), [&](const auto& move) { return isBackup(move.second); }), 3)
      << "TLM.hvl, data01100.arc and readme.txt are backed up by renames";

  for (uint32_t nth = 1; nth <= moves.size(); ++nth) {
    const auto& [from, to] = moves[nth - 1];
    UpdateResult expected = UPDATE_OK;  // TLM.hvl.new over TLM.hvl: the prune may fail quietly
    if (isBackup(to) || EndsWith(from, u".tmp")) expected = UPDATE_E_WRITE;
    if (EndsWith(from, u"uninst.lst.new")) expected = UPDATE_E_UNINSTALL_LIST;
    SCOPED_TRACE(testing::Message() << "rename " << nth << " of " << moves.size()
                                    << (isBackup(to) ? " (an original to its backup)" : ""));
    OsFaultReset();
    OsFaultArm(OsOp::Link, 1, OsFault::Fail, true);
    OsFaultArm(OsOp::Move, nth);
    ScriptedProgressUi ui;
    UpdateResult result = RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui);
    OsFaultReset();
    EXPECT_EQ(result, expected) << std::hex << result;
    ExpectWholeAfterRecovery(Game(), GameCore(), result, before, updated);
    RestorePristine();
  }
}

// The durable steps of a run, in the order the layer issued them: renames
// and links (with their destination's folder), folder flushes and the
// journal's values.
struct DurableStep {
  OsOp op;
  std::u16string path;   // renames and links: the destination; flushes: the folder
  std::u16string from;   // renames: the source
};

void RecordDurableStep(const OsTraceEvent& event, void* context) {
  auto* steps = static_cast<std::vector<DurableStep>*>(context);
  if (event.op == OsOp::Move || event.op == OsOp::Link) {
    steps->push_back({event.op, event.path2, event.path});
  } else if (event.op == OsOp::FlushFolder || event.op == OsOp::WriteValue || event.op == OsOp::DeleteValue) {
    steps->push_back({event.op, event.path != nullptr ? event.path : u"", {}});
  }
}

std::u16string FolderPart(const std::u16string& path) { return path.substr(0, path.find_last_of(u'\\')); }

// Nothing is assumed of the file system's order: every rename of the
// commit reaches the device through a flush of its folder before the
// journal says "installed", and where there are no hard links each
// original's move to its backup is flushed before the rename that replaces
// it. With hard links and without, on both layers.
TEST_F(UpdateRunTest, RenamesAreFlushedBeforeTheInstalledMarkAndBackupsBeforeTheirReplacement) {
  std::vector<PayloadFile> files = SmallPayload();
  files.push_back({"SUB.DAT", PatternBytes(300, 4), true, "sys\\sub.dat"});
  fs::create_directories(Game() / "sys");
  WriteFileBytes(Game() / "sys" / "sub.dat", Bytes("old sub"));
  const auto [before, updated] = StartTable(files);
  for (bool hardLinks : {true, false}) {
    SCOPED_TRACE(hardLinks ? "with hard links" : "without hard links");
    std::vector<DurableStep> steps;
    OsFaultReset();
    if (!hardLinks) OsFaultArm(OsOp::Link, 1, OsFault::Fail, true);
    OsTraceSet(RecordDurableStep, &steps);
    ScriptedProgressUi ui;
    UpdateResult result = RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui);
    OsTraceSet(nullptr, nullptr);
    OsFaultReset();
    ASSERT_EQ(result, UPDATE_OK);
    // The journal's values: stored, installed, recorded, removed.
    std::vector<size_t> values;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].op == OsOp::WriteValue) values.push_back(i);
    }
    ASSERT_EQ(values.size(), 3u);
    const size_t installedMark = values[1];
    size_t commitRenames = 0;
    size_t backupsLinked = 0;
    size_t backupsMoved = 0;
    for (size_t i = values[0]; i < installedMark; ++i) {
      if (steps[i].op != OsOp::Move && steps[i].op != OsOp::Link) continue;
      ++commitRenames;
      const std::u16string folder = FolderPart(steps[i].path);
      bool flushed = false;
      for (size_t k = i + 1; k < installedMark && !flushed; ++k) {
        flushed = steps[k].op == OsOp::FlushFolder && steps[k].path == folder;
      }
      EXPECT_TRUE(flushed) << "not flushed before the installed mark: " << fs::path(steps[i].path).string();
      const bool toBackup = steps[i].path.find(kBackupMarker) != std::u16string::npos;
      if (toBackup) ++(steps[i].op == OsOp::Link ? backupsLinked : backupsMoved);
      if (!toBackup || steps[i].op != OsOp::Move) continue;
      // Its folder flushed before the rename that replaces the original.
      bool flushedFirst = false;
      for (size_t k = i + 1; k < installedMark; ++k) {
        if (steps[k].op == OsOp::FlushFolder && steps[k].path == folder) flushedFirst = true;
        if (steps[k].op == OsOp::Move && steps[k].path == steps[i].from) {
          EXPECT_TRUE(flushedFirst) << "replaced before its backup was flushed: " << fs::path(steps[k].path).string();
          break;
        }
      }
    }
    // TLM.hvl, data01100.arc, readme.txt and sys\sub.dat have originals;
    // new.dat and empty.dat have none.
    EXPECT_EQ(commitRenames, 10u);
    EXPECT_EQ(backupsLinked, hardLinks ? 4u : 0u);
    EXPECT_EQ(backupsMoved, hardLinks ? 0u : 4u);
    RestorePristine();
  }
}

// Another program (an antivirus scanner, say) holds a file for a moment
// just as the run renames it, and the rename fails with a sharing violation
// or (a file held for deletion, a scanner on Windows) access denied: every
// rename of the run, the commit's and the records', waits that out and the
// update completes. Held for good, the rename gives up after five tries and
// the run fails, leaving the installation whole once the next start has
// recovered.
TEST_F(UpdateRunTest, ARenameHeldForAMomentIsWaitedOutAndHeldForGoodFailsCleanly) {
  const auto [before, updated] = StartTable(SmallPayload());
  OsFaultReset();
  ScriptedProgressUi clean;
  ASSERT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), clean), UPDATE_OK);
  const uint32_t moves = OsFaultCalls(OsOp::Move);
  ASSERT_EQ(moves, 7u) << "five installs and the two records";
  RestorePristine();

  for (uint32_t n = 0; n < 2 * moves; ++n) {
    const uint32_t nth = n % moves + 1;
    const OsFault kind = n < moves ? OsFault::Busy : OsFault::Denied;
    SCOPED_TRACE(testing::Message() << "rename " << nth << " held once, " << (n < moves ? "busy" : "denied"));
    OsFaultReset();
    OsFaultArm(OsOp::Move, nth, kind);
    ScriptedProgressUi ui;
    UpdateResult result = RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui);
    EXPECT_EQ(OsFaultCalls(OsOp::Move), moves + 1) << "the held rename is tried once more";
    OsFaultReset();
    EXPECT_EQ(result, UPDATE_OK) << std::hex << result;
    ExpectWholeAfterRecovery(Game(), GameCore(), result, before, updated);
    RestorePristine();
  }

  // The first install's rename (TLM.hvl, backed up by a link) held for good;
  // so is every rename after it, the undo's included.
  OsFaultReset();
  OsFaultArm(OsOp::Move, 1, OsFault::Busy, true);
  ScriptedProgressUi ui;
  UpdateResult result = RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui);
  EXPECT_EQ(OsFaultCalls(OsOp::Move), 5u) << "five tries, then the undo needs no rename";
  OsFaultReset();
  EXPECT_EQ(result, UPDATE_E_WRITE) << std::hex << result;
  ExpectWholeAfterRecovery(Game(), GameCore(), result, before, updated);
}

// Memory runs out at each allocation of a complete run in turn: the run
// ends cleanly (no exception escapes), and what it leaves is whole.
TEST_F(UpdateRunTest, AnAllocationFailureAnywhereLeavesTheInstallationWholeOrUpdated) {
  const auto [before, updated] = StartTable(SmallPayload());
  const std::u16string patch = PatchCore();
  const std::u16string game = GameCore();
  ScriptedProgressUi clean;
  AllocFaultArm(0);
  UpdateResult cleanResult = RunUpdateFrom(patch.c_str(), game.c_str(), clean);
  const uint32_t allocations = AllocFaultDisarm();
  ASSERT_EQ(cleanResult, UPDATE_OK);
  ASSERT_GT(allocations, 20u);
  RestorePristine();

  std::set<UpdateResult> seen;
  for (uint32_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth << " of " << allocations);
    ScriptedProgressUi ui;
    AllocFaultArm(nth);
    UpdateResult result = RunUpdateFrom(patch.c_str(), game.c_str(), ui);
    AllocFaultDisarm();
    seen.insert(result);
    ExpectWholeAfterRecovery(Game(), GameCore(), result, before, updated);
    RestorePristine();
  }
  // Failures before the commit refuse the update; those in the records
  // after it leave it installed.
  EXPECT_TRUE(seen.count(UPDATE_E_WRITE) != 0 || seen.count(UPDATE_E_PAYLOAD) != 0);
  EXPECT_TRUE(seen.count(UPDATE_OK) != 0 || seen.count(UPDATE_E_UNINSTALL_LIST) != 0);
}

// Every rename (or deletion) from some point of the run on fails, so the
// undo cannot put anything back: the run reports a write failure and keeps
// its journal, and the next start puts the installation back.
TEST_F(UpdateRunTest, AnUndoThatCannotRestoreLeavesTheJournalForTheNextStart) {
  const auto [before, updated] = StartTable(SmallPayload());
  OsFaultReset();
  ScriptedProgressUi clean;
  ASSERT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), clean), UPDATE_OK);
  const uint32_t moves = OsFaultCalls(OsOp::Move);
  const uint32_t deletes = OsFaultCalls(OsOp::Delete);
  RestorePristine();

  int journalsLeft = 0;
  for (OsOp op : {OsOp::Move, OsOp::Delete}) {
    for (uint32_t nth = 1; nth <= (op == OsOp::Move ? moves : deletes); ++nth) {
      SCOPED_TRACE(testing::Message() << "operation " << static_cast<int>(op) << " from call " << nth);
      OsFaultReset();
      OsFaultArm(op, nth, OsFault::Fail, true);
      ScriptedProgressUi ui;
      UpdateResult result = RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), ui);
      OsFaultReset();
      Journal journal;
      if (ReadJournal(GameCore(), &journal) == JournalLookup::Found) ++journalsLeft;
      ExpectWholeAfterRecovery(Game(), GameCore(), result, before, updated);
      RestorePristine();
    }
  }
  EXPECT_GT(journalsLeft, 0) << "no case left the undo to the next start";
}

TEST_F(UpdateRunTest, AHashMismatchStopsBeforeAnythingIsReplaced) {
  std::vector<PayloadFile> files = SmallPayload();
  FolderSnapshot before = Snapshot(Game());
  for (size_t k = 0; k < files.size(); ++k) {
    SCOPED_TRACE(files[k].name);
    std::vector<PayloadFile> damaged = files;
    ContentHash wrong = HashOfBytes(files[k].data);
    wrong.bytes[7] ^= 1;
    damaged[k].recordHash = wrong;
    ScriptedProgressUi ui;
    EXPECT_EQ(Run(damaged, ui), UPDATE_E_PAYLOAD);
    EXPECT_EQ(Snapshot(Game()), before);
    // The mismatching entry was written whole before it was checked.
    EXPECT_EQ(ui.Statuses().size(), k + 2);
  }
}

// Without a hash list every entry installs unverified; a hash list that is
// there but cannot be read would do the same, so it makes the payload
// damaged and nothing is written.
TEST_F(UpdateRunTest, WithoutAHashListNothingIsVerifiedAndADamagedOneRefusesThePayload) {
  std::vector<PayloadFile> files = SmallPayload();
  files[1].recordHash = ContentHash{{1, 2, 3, 4, 5, 6, 7, 8}};  // wrong, but never looked at
  std::vector<uint8_t> list = PayloadHashList(files);
  std::vector<uint8_t> badMagic = list;
  badMagic[4] = 'X';
  std::vector<uint8_t> cut(list.begin(), list.end() - 1);
  std::vector<uint8_t> unterminated = list;
  std::fill(unterminated.begin() + 16, unterminated.begin() + 16 + 248, 'a');
  std::vector<uint8_t> huge = list;
  for (int i = 12; i < 16; ++i) huge[i] = 0xFF;
  std::vector<uint8_t> empty(list.begin(), list.begin() + 16);
  for (int i = 12; i < 16; ++i) empty[i] = 0;
  struct Case {
    const char* what;
    PatchOptions options;
    UpdateResult want;
  };
  const Case cases[] = {
      {"no hash list", {false, std::nullopt}, UPDATE_OK},
      {"a whole list of no records", {true, empty}, UPDATE_OK},
      {"unknown magic", {true, badMagic}, UPDATE_E_PAYLOAD},
      {"records cut", {true, cut}, UPDATE_E_PAYLOAD},
      {"a name without its terminator", {true, unterminated}, UPDATE_E_PAYLOAD},
      {"a count no file holds", {true, huge}, UPDATE_E_PAYLOAD},
  };
  FolderSnapshot before = Snapshot(Game());
  fs::copy(Game(), dir.Path() / "pristine", fs::copy_options::recursive);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RestorePristine();
    ScriptedProgressUi ui;
    ASSERT_EQ(Run(files, ui, c.options), c.want);
    FolderSnapshot after = Snapshot(Game());
    if (c.want == UPDATE_OK) {
      for (const PayloadFile& file : files) EXPECT_EQ(after[file.name], file.data);
    } else {
      EXPECT_EQ(after, before) << "nothing may be written from a payload that cannot be verified";
    }
    EXPECT_EQ(Leftovers(after), std::vector<std::string>{});
  }
}

// The directory may claim the hash list is far larger than the file: its
// count is then trusted only as far as the bytes really there, and nothing
// of that claimed size is allocated.
TEST_F(UpdateRunTest, AHashListCountIsCheckedAgainstTheBytesInTheFile) {
  std::vector<PayloadFile> files = SmallPayload();
  std::vector<uint8_t> list = PayloadHashList(files);
  const uint32_t kClaimed = 0xE0000000u;
  uint32_t count = kClaimed / 256 - 1;
  for (int i = 0; i < 4; ++i) list[12 + i] = static_cast<uint8_t>(count >> (8 * i));
  fs::path patch = dir.Path() / "claims.bin";
  WritePatch(patch, files, {true, list});
  // The hash list is the first entry: its size field follows the 96-byte name.
  {
    std::fstream out(patch, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(0x100010 + 96 + 4);
    for (int i = 0; i < 4; ++i) out.put(static_cast<char>(kClaimed >> (8 * i)));
  }
  FolderSnapshot before = Snapshot(Game());
  ScriptedProgressUi ui;
  AllocFaultArm(0);
  UpdateResult result = RunUpdateFrom(dir.Core(u"claims.bin").c_str(), GameCore().c_str(), ui);
  AllocFaultDisarm();
  EXPECT_EQ(result, UPDATE_E_PAYLOAD);
  EXPECT_LT(AllocFaultLargest(), size_t{64} << 20) << "an allocation sized by the claimed count";
  EXPECT_EQ(Snapshot(Game()), before);
}

TEST_F(UpdateRunTest, ARecordWithAFolderPartInstallsIntoThatFolder) {
  std::vector<PayloadFile> files = {{"Data.ARC", PatternBytes(100, 7), true, "sys\\data.arc"}};
  FolderSnapshot before = Snapshot(Game());
  ScriptedProgressUi missing;
  EXPECT_EQ(Run(files, missing), UPDATE_E_WRITE) << "the run creates no folders";
  EXPECT_EQ(Snapshot(Game()), before);

  fs::create_directory(Game() / "sys");
  ScriptedProgressUi ui;
  ASSERT_EQ(Run(files, ui), UPDATE_OK);
  EXPECT_EQ(ReadFileBytes(Game() / "sys" / "data.arc"), files[0].data);
  EXPECT_FALSE(fs::exists(Game() / "Data.ARC"));
  EXPECT_EQ(ui.Statuses()[1], u"sys\\data.arcをインストール中");
}

TEST_F(UpdateRunTest, ReadOnlyFilesAreReplacedAndLeftoversCleared) {
  // readme.txt is installed read-only; a read-only leftover temporary file
  // of new.dat lies in the way.
  WriteFileBytes(Game() / "new.dat.tmp", Bytes("stale"));
  SetReadOnly(Game() / "new.dat.tmp", true);
  std::vector<PayloadFile> files = SmallPayload();
  ScriptedProgressUi ui;
  ASSERT_EQ(Run(files, ui), UPDATE_OK);
  EXPECT_EQ(ReadFileBytes(Game() / "readme.txt"), Bytes("new readme"));
  EXPECT_EQ(ReadFileBytes(Game() / "new.dat"), files[2].data);
  EXPECT_EQ(Leftovers(Snapshot(Game())), std::vector<std::string>{});
}

TEST_F(UpdateRunTest, ZeroEntriesStillPruneAndMerge) {
  ScriptedProgressUi ui;
  EXPECT_EQ(Run({}, ui, {false, std::nullopt}), UPDATE_OK);
  EXPECT_EQ(ui.Values(Event::OverallRange), std::vector<uint32_t>{0});
  EXPECT_EQ(ReadFileBytes(Game() / "uninst.lst"), Bytes(std::string("data01100.arc\n$savedata\n") + '\0'));
  std::vector<uint8_t> pruned;
  ASSERT_TRUE(BuildHashList({{"data01100.arc", ContentHash{}}}, HashListLayout::Long, 0, &pruned, nullptr));
  EXPECT_EQ(ReadFileBytes(Game() / "TLM.hvl"), pruned);

  fs::remove(Game() / "uninst.lst");
  ScriptedProgressUi again;
  EXPECT_EQ(Run({}, again, {false, std::nullopt}), UPDATE_E_UNINSTALL_LIST);
  EXPECT_FALSE(fs::exists(Game() / "uninst.lst"));
}

TEST_F(UpdateRunTest, AMissingUninstallListKeepsTheNewFiles) {
  fs::remove(Game() / "uninst.lst");
  std::vector<PayloadFile> files = SmallPayload();
  ScriptedProgressUi ui;
  EXPECT_EQ(Run(files, ui), UPDATE_E_UNINSTALL_LIST);
  EXPECT_EQ(ReadFileBytes(Game() / "data01100.arc"), files[0].data);
  EXPECT_FALSE(fs::exists(Game() / "uninst.lst"));
}

TEST_F(UpdateRunTest, DamagedPayloadsAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    std::vector<PayloadFile> files;
  };
  const std::vector<uint8_t> data = Bytes("x");
  const Case cases[] = {
      {"parent folder", {{"..\\evil.dll", data}}},
      {"parent folder inside", {{"sys\\..\\..\\evil.dll", data}}},
      {"absolute", {{"\\windows\\evil.dll", data}}},
      {"slash absolute", {{"/etc/evil", data}}},
      {"drive", {{"C:evil.dll", data}}},
      {"stream", {{"a.arc:hidden", data}}},
      {"wildcard", {{"a*.arc", data}}},
      {"device", {{"con.txt", data}}},
      {"trailing dot", {{"a.arc.", data}}},
      {"empty component", {{"sys\\\\a.arc", data}}},
      {"backup marker", {{"a.arc.lumetria-bak", data}}},
      {"the journal", {{"lumetria-patch.journal", data}}},
      {"the hash list's rewrite", {{"TLM.hvl.new", data}}},
      {"the uninstall list's rewrite", {{"UNINST.LST.NEW", data}}},
      {"console input", {{"CONIN$", data}}},
      {"console output", {{"conout$.txt", data}}},
      {"port 0", {{"COM0", data}}},
      {"printer 0", {{"lpt0.dat", data}}},
      {"superscript one", {{"COM\xC2\xB9", data}}},
      {"superscript three", {{"LPT\xC2\xB3.txt", data}}},
      {"device before spaces", {{"nul .txt", data}}},
      {"device in a folder", {{"sys\\aux", data, false}}},
      {"record escapes", {{"a.arc", data, true, "..\\a.arc"}}},
      {"duplicate names", {{"a.arc", data}, {"A.ARC", data}}},
      {"duplicate names outside ASCII", {{"\xC3\x89t\xC3\xA9.arc", data}, {"\xC3\xA9T\xC3\x89.ARC", data}}},
      {"duplicate Cyrillic names", {{"\xD0\x96.arc", data}, {"\xD0\xB6.arc", data}}},
      {"duplicate fullwidth names", {{"\xEF\xBC\xA1.arc", data}, {"\xEF\xBD\x81.arc", data}}},
      {"destination on a temporary name outside ASCII", {{"\xC3\x89", data}, {"\xC3\xA9.tmp", data}}},
      {"duplicate through a record", {{"data.arc", data, true, "sys\\data.arc"}, {"sys\\data.arc", data, false}}},
      {"destination on a temporary name", {{"a", data}, {"a.tmp", data}}},
      // The other order: the later entry's temporary name is an earlier
      // entry's file, which the extraction would overwrite.
      {"temporary name on an earlier destination", {{"a.tmp", data}, {"a", data}}},
      {"temporary name on an earlier destination in a folder", {{"sys\\A.TMP", data}, {"SYS\\a", data}}},
      {"temporary name on an earlier destination outside ASCII", {{"\xC3\xA9.tmp", data}, {"\xC3\x89", data}}},
  };
  FolderSnapshot before = Snapshot(Game());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedProgressUi ui;
    EXPECT_EQ(Run(c.files, ui), UPDATE_E_PAYLOAD);
    EXPECT_EQ(Snapshot(Game()), before);
    EXPECT_EQ(ui.Statuses(), std::vector<std::u16string>{}) << "refused before the extraction";
  }
  EXPECT_FALSE(fs::exists(dir.Path() / "evil.dll"));

  // Paths that would not fit: refused as damage rather than tried (trying
  // would fail to create the temporary file, a write failure).
  std::u16string deepFolder = GameCore() + u"\\" + std::u16string(760, u'x');
  ScriptedProgressUi deep;
  EXPECT_EQ(RunUpdateFrom(PatchCore().c_str(), deepFolder.c_str(), deep), UPDATE_E_PAYLOAD);
  EXPECT_EQ(Snapshot(Game()), before);
}

TEST_F(UpdateRunTest, AFailedRenameAtTheThirdEntryPutsEverythingBack) {
  std::vector<PayloadFile> files = SmallPayload();  // TLM.hvl first, then data01100.arc, then empty.dat
  WriteFileBytes(Game() / "empty.dat", Bytes("installed"));
  // A read-only original among those replaced before the failure.
  SetReadOnly(Game() / "data01100.arc", true);
  FolderSnapshot before = Snapshot(Game());
  // Another program holds the third destination open.
  CFileDX holder;
  ASSERT_EQ(holder.OpenRead(dir.Core(u"game\\empty.dat").c_str()), 1);
  ScriptedProgressUi ui;
  EXPECT_EQ(Run(files, ui), UPDATE_E_WRITE);
  holder.Close();
  EXPECT_EQ(Snapshot(Game()), before);
  for (const char* name : {"data01100.arc", "readme.txt"}) {
    EXPECT_EQ(fs::status(Game() / name).permissions() & fs::perms::owner_write, fs::perms::none)
        << name << ": attributes restored too";
  }
}

TEST_F(UpdateRunTest, AFolderInTheWayFailsTheCommitAndRestores) {
  fs::create_directory(Game() / "new.dat");
  FolderSnapshot before = Snapshot(Game());
  ScriptedProgressUi ui;
  EXPECT_EQ(Run(SmallPayload(), ui), UPDATE_E_WRITE);
  EXPECT_EQ(Snapshot(Game()), before);
}

TEST_F(UpdateRunTest, BackupsNeverTakeAnExistingName) {
  WriteFileBytes(Game() / "data01100.arc.lumetria-bak", Bytes("someone else's"));
  std::vector<PayloadFile> files = SmallPayload();
  ScriptedProgressUi ui;
  ASSERT_EQ(Run(files, ui), UPDATE_OK);
  EXPECT_EQ(ReadFileBytes(Game() / "data01100.arc.lumetria-bak"), Bytes("someone else's"));
  EXPECT_EQ(ReadFileBytes(Game() / "data01100.arc"), files[0].data);
  EXPECT_FALSE(fs::exists(Game() / "data01100.arc.lumetria-bak1")) << "the backup is removed after the commit";
}

TEST_F(UpdateRunTest, DamagedContainersAndTheProgramsOwnPath) {
  FolderSnapshot before = Snapshot(Game());
  WriteFileBytes(dir.Path() / "patch.exe", std::vector<uint8_t>(kMiB, 0));
  ScriptedProgressUi short1;
  EXPECT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), short1), UPDATE_E_PAYLOAD);
  std::vector<uint8_t> tooMany(kMiB + 16, 0);
  tooMany[kMiB + 12] = 33;
  WriteFileBytes(dir.Path() / "patch.exe", tooMany);
  ScriptedProgressUi many;
  EXPECT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), many), UPDATE_E_TOO_MANY_ENTRIES);
  EXPECT_EQ(many.Calls(), 0u) << "nothing shown for a container that cannot be read";
  OsFaultArm(OsOp::ModulePath, 1);
  ScriptedProgressUi own;
  EXPECT_EQ(RunUpdate(GameCore().c_str(), own), UPDATE_E_PAYLOAD);
  g_windowClosed = 1;
  EXPECT_EQ(RunUpdateFrom(PatchCore().c_str(), GameCore().c_str(), own), UPDATE_E_CLOSED)
      << "the flags decide the final code on every path";
  EXPECT_EQ(Snapshot(Game()), before);
}

}  // namespace
