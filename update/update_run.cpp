#include "update/update_run.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "payload/hash_list.h"
#include "payload/payload_container.h"
#include "platform/filesystem.h"
#include "update/payload_plan.h"
#include "update/transaction.h"
#include "text/text_codec.h"

namespace {

constexpr uint32_t kPieceSize = 0x100000;
constexpr uint32_t kFileBarHigh = 0xFFFF;

bool StopRequested() { return g_windowClosed != 0 || g_cancelRequested != 0; }

// Pumps; a quit request closes the run like a closed dialog.
bool PumpQuit(ProgressUi& ui) {
  if (ui.Pump() != 1) return false;
  g_windowClosed = 1;
  return true;
}

UpdateResult FinalResult(UpdateResult result) {
  if (g_windowClosed) result = UPDATE_E_CLOSED;
  if (g_cancelRequested) result = UPDATE_E_CANCELLED;
  return result;
}

class UpdateRun {
 public:
  UpdateRun(const char16_t* installFolder, OsFolder root, ProgressUi& ui)
      : m_ui(ui), m_transaction(installFolder, root) {}

  UpdateResult Run(const char16_t* patchPath);
  // Deletes the temporary file of every entry the extraction began.
  void RemoveTemporaryFiles();

 private:
  UpdateResult PlanEntries();
  bool Extract(uint32_t index, uint8_t* piece, UpdateResult* result);
  bool FlushTemporaryFiles();
  UpdateResult Commit();

  ProgressUi& m_ui;
  PayloadContainer m_container;
  HashListTable m_hashes;
  std::vector<PlannedEntry> m_plans;  // index for index with the transaction's files
  Transaction m_transaction;
  std::vector<std::unique_ptr<CFileDX>> m_written;  // complete temporary files, open until the flush pass
  uint32_t m_begun = 0;
};

// Works out every entry's names and paths before anything is written, and
// refuses a payload that would write outside the install folder, whose
// paths would not fit, that names one file twice, one of whose files would
// land on another entry's temporary file, or that names a file of the run's
// own (UPDATE_E_PAYLOAD); and an installation where a folder on an entry's
// path is a link (UPDATE_E_WRITE).
UpdateResult UpdateRun::PlanEntries() {
  uint32_t bad = 0;
  if (PlanPayloadEntries(m_container, m_hashes, &m_plans, &bad) != PlanProblem::None) return UPDATE_E_PAYLOAD;
  for (const PlannedEntry& plan : m_plans) {
    if (!m_transaction.AddFile(plan.name)) return UPDATE_E_PAYLOAD;
  }
  // The run writes below the install folder only through folders opened
  // once here, never through a link, and never over the journal of a run
  // that was not recovered.
  if (!m_transaction.OpenFolders(false)) return UPDATE_E_WRITE;
  if (m_transaction.JournalInTheWay()) return UPDATE_E_WRITE;
  // What the files to be replaced hold is not read again (the undo moves
  // whole files): their cached pages can serve the new files instead.
  for (const TransactionFile& file : m_transaction.Files()) {
    OsDropCachedContentsIn(m_transaction.FolderOf(file), file.leaf.c_str());
  }
  return UPDATE_OK;
}

// Extracts entry index into its temporary file, hashing every piece on the
// way, and verifies it. True when the entry is complete and verified (or has
// no record); false to leave the extraction, with *result set where the
// failure has a code of its own.
bool UpdateRun::Extract(uint32_t index, uint8_t* piece, UpdateResult* result) {
  const PlannedEntry& plan = m_plans[index];
  TransactionFile& file = m_transaction.Files()[index];
  if (!m_container.PositionAt(index)) return false;
  m_begun = index + 1;

  char16_t status[kPathCapacity];
  if (FormatWide(status, kPathCapacity, u"%sをインストール中", file.name.c_str()) >= 0) m_ui.SetStatus(status);
  m_ui.SetFilePosition(0);
  if (PumpQuit(m_ui)) return false;

  auto temporary = std::make_unique<CFileDX>();
  // Whatever is at the temporary name (a read-only leftover, or a link
  // planted there) is removed itself; the file is then created new, so
  // nothing is ever written through a link.
  OsFolder folder = m_transaction.FolderOf(file);
  OsSetFileAttributesIn(folder, file.temporary.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
  OsDeleteFileIn(folder, file.temporary.c_str());
  if (!temporary->CreateNewIn(folder, file.temporary.c_str())) {
    *result = UPDATE_E_WRITE;
    return false;
  }
  ContentHash computed;
  uint32_t size = plan.entry.size;
  uint32_t done = 0;
  bool failed = false;
  while (done < size) {
    if (StopRequested()) break;
    uint32_t length = std::min(kPieceSize, size - done);
    if (m_container.ReadNext(piece, length) != length) {
      failed = true;
      break;
    }
    UpdateContentHash(&computed, piece, length);
    if (temporary->Write(piece, length) != length) {
      *result = UPDATE_E_WRITE;
      failed = true;
      break;
    }
    // The device starts on this piece while the next one is read; the
    // flush before the commit then waits for little.
    temporary->StartWriteback(done, length);
    done += length;
    m_ui.SetFilePosition(static_cast<uint32_t>(uint64_t{done} * kFileBarHigh / size));
    if (PumpQuit(m_ui)) break;
  }
  // A complete file stays open until the flush pass before the commit.
  if (!failed && done == size && !StopRequested()) m_written.push_back(std::move(temporary));
  if (StopRequested() || failed) return false;
  if (plan.record != nullptr && !(plan.record->hash == computed)) return false;
  // The journal records what the file must hold, so that recovery can tell
  // a finished file from an unfinished one.
  file.size = size;
  file.hash = computed;
  m_ui.SetOverallPosition(index + 1);
  return !PumpQuit(m_ui);
}

// Puts every temporary file on the device and closes it, in one pass: the
// flushes overlap the writing of the files after each, instead of making it
// wait. A file that cannot be flushed or closed cleanly is not trusted.
bool UpdateRun::FlushTemporaryFiles() {
  bool flushed = true;
  for (std::unique_ptr<CFileDX>& file : m_written) {
    flushed = file->Flush() == 1 && flushed;
    flushed = file->Close() == 1 && flushed;
  }
  m_written.clear();
  return flushed;
}

// The commit: journal, renames, records, clean-up, in this order, so that a
// crash at any point leaves a journal the next start can carry on from.
UpdateResult UpdateRun::Commit() {
  if (!FlushTemporaryFiles()) return UPDATE_E_WRITE;
  if (!m_transaction.Prepare() || !m_transaction.BeginJournal()) {
    return UPDATE_E_WRITE;
  }
  if (!m_transaction.Install()) {
    // Every original back, then the journal goes. When something cannot be
    // put back, the journal stays and the next start finishes the undo.
    if (m_transaction.Undo() && m_transaction.FlushFolders()) m_transaction.EndJournal();
    return UPDATE_E_WRITE;
  }
  // The records are touched only once the journal says "installed", and it
  // says so only once the renames are on the disk. Otherwise the journal
  // stays as it is: every file is new and verified, and the next start
  // finishes the update.
  if (!m_transaction.FlushFolders() || !m_transaction.MarkInstalled()) return UPDATE_E_WRITE;
  bool retry = false;
  UpdateResult records = m_transaction.UpdateRecords(&retry);
  // A list that can be repaired keeps the journal (and the backups) for the
  // next start, which tries the records again.
  if (retry) return records;
  if (!m_transaction.MarkRecorded(records)) return records;
  bool cleaned = m_transaction.RemoveBackups();
  cleaned = m_transaction.FlushFolders() && cleaned;
  // A backup that could not go, or deletions not known to be on the
  // device: the journal stays, and the next start completes the clean-up.
  if (cleaned) m_transaction.EndJournal();
  return records;
}

void UpdateRun::RemoveTemporaryFiles() {
  // An open file cannot be deleted.
  m_written.clear();
  for (uint32_t i = 0; i < m_begun; ++i) {
    const TransactionFile& file = m_transaction.Files()[i];
    OsDeleteFileIn(m_transaction.FolderOf(file), file.temporary.c_str());
  }
}

UpdateResult UpdateRun::Run(const char16_t* patchPath) {
  UpdateResult result = UPDATE_E_PAYLOAD;
  UpdateResult opened = m_container.Open(patchPath);
  if (opened != UPDATE_OK) return opened;
  // A hash list that cannot be read would leave every entry unverified.
  if (!LoadPayloadHashList(m_container, &m_hashes)) return UPDATE_E_PAYLOAD;
  UpdateResult planned = PlanEntries();
  if (planned != UPDATE_OK) return planned;

  uint32_t count = m_container.EntryCount();
  m_ui.SetFileRange(kFileBarHigh);
  m_ui.SetFilePosition(0);
  m_ui.SetOverallRange(count);
  m_ui.SetOverallPosition(0);
  PumpQuit(m_ui);

  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPieceSize]);
  if (!piece) return UPDATE_E_WRITE;
  uint32_t completed = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (StopRequested() || !Extract(i, piece.get(), &result)) break;
    ++completed;
  }
  piece.reset();

  if (completed != count || StopRequested()) return result;
  return Commit();
}

}  // namespace

UpdateResult RunUpdateFromIn(const char16_t* patchPath, OsFolder root, const char16_t* installFolder, ProgressUi& ui) {
  // Memory running out is a clean failure wherever it happens: nothing is
  // allocated from the first rename on, so it can only stop the run before
  // the commit or in the records after it.
  UpdateResult result = UPDATE_E_WRITE;
  try {
    UpdateRun run(installFolder, root, ui);
    try {
      result = run.Run(patchPath);
    } catch (const std::bad_alloc&) {
      result = UPDATE_E_WRITE;
    }
    run.RemoveTemporaryFiles();
  } catch (const std::bad_alloc&) {
    result = UPDATE_E_WRITE;
  }
  return FinalResult(result);
}

UpdateResult RunUpdateFrom(const char16_t* patchPath, const char16_t* installFolder, ProgressUi& ui) {
  return RunUpdateFromIn(patchPath, kOsInvalidFolder, installFolder, ui);
}

UpdateResult RunUpdateIn(OsFolder root, const char16_t* installFolder, ProgressUi& ui) {
  char16_t path[kExecutablePathCapacity];
  // A path cut to the buffer would name another file, or none.
  uint32_t length = OsGetModulePath(path, kExecutablePathCapacity);
  if (length == 0 || length >= kExecutablePathCapacity) return FinalResult(UPDATE_E_PAYLOAD);
  return RunUpdateFromIn(path, root, installFolder, ui);
}

UpdateResult RunUpdate(const char16_t* installFolder, ProgressUi& ui) {
  return RunUpdateIn(kOsInvalidFolder, installFolder, ui);
}
