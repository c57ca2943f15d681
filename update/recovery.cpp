#include "update/recovery.h"

#include <memory>
#include <new>

#include "update/journal.h"
#include "update/transaction.h"

namespace {

// Every file can be finished: its new contents are installed, or waiting,
// verified, in its temporary file. Marks the installed ones.
bool CanFinish(Transaction& transaction) {
  for (TransactionFile& file : transaction.Files()) {
    OsFolder folder = transaction.FolderOf(file);
    bool waiting = EntryHasContents(folder, file.temporary, file.size, file.hash);
    file.installed = !waiting && EntryHasContents(folder, file.leaf, file.size, file.hash);
    if (!waiting && !file.installed) return false;
  }
  return true;
}

// Moves every waiting file into place as the run does; an original the
// interrupted run already kept as its backup is not backed up again.
bool Finish(Transaction& transaction) {
  for (TransactionFile& file : transaction.Files()) {
    if (file.originalAttributes == OS_INVALID_FILE_ATTRIBUTES) continue;
    OsFolder folder = transaction.FolderOf(file);
    // Kept already (or nothing left at the name to keep).
    file.backedUp = EntryExists(folder, file.backup) || !EntryExists(folder, file.leaf);
    // An original that is still in place may still be read-only.
    if (file.backedUp && !file.installed) OsSetFileAttributesIn(folder, file.leaf.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
  }
  return transaction.Install();
}

// Puts every original back from its backup and removes the new files that
// had none, newest first.
bool PutBack(Transaction& transaction) {
  std::vector<TransactionFile>& files = transaction.Files();
  for (size_t k = files.size(); k-- > 0;) {
    TransactionFile& file = files[k];
    OsFolder folder = transaction.FolderOf(file);
    const char16_t* leaf = file.leaf.c_str();
    if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES) {
      if (EntryExists(folder, file.backup)) {
        // A backup that is a second name of the original, still in place,
        // is left over by the rename; it is removed after it.
        OsSetFileAttributesIn(folder, leaf, OS_FILE_ATTRIBUTE_NORMAL);
        if (!OsMoveFileWhenFreeIn(folder, file.backup.c_str(), folder, leaf, true)) return false;
        OsSetFileAttributesIn(folder, file.backup.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
        if (EntryExists(folder, file.backup) && !OsDeleteFileIn(folder, file.backup.c_str())) return false;
      }
      OsSetFileAttributesIn(folder, leaf, file.originalAttributes);
    } else if (EntryHasContents(folder, file.leaf, file.size, file.hash) && !OsDeleteFileIn(folder, leaf)) {
      return false;
    }
    if (EntryExists(folder, file.temporary)) {
      OsSetFileAttributesIn(folder, file.temporary.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
      if (!OsDeleteFileIn(folder, file.temporary.c_str())) return false;
    }
  }
  return true;
}

UpdateResult Recover(OsFolder root, const std::u16string& folder, Recovered* what) {
  Journal journal;
  switch (ReadJournal(folder, &journal)) {
    case JournalLookup::None:
    case JournalLookup::Untrusted:
      return UPDATE_OK;
    case JournalLookup::Unreadable:
      return UPDATE_E_WRITE;
    case JournalLookup::Damaged:
      // Ours, but not a commit that can be carried on: it goes.
      return RemoveJournal(JournalValueName(folder)) ? UPDATE_OK : UPDATE_E_WRITE;
    case JournalLookup::Found:
      break;
  }
  Transaction transaction(folder, root);
  for (const JournalEntry& entry : journal.entries) {
    // Not a journal the run could have written: nothing to carry through.
    if (!transaction.AddJournalEntry(entry)) {
      return RemoveJournal(JournalValueName(folder)) ? UPDATE_OK : UPDATE_E_WRITE;
    }
  }
  // Every folder opened once, never through a link: one on a file's path
  // that has become a link since is refused, and the journal waits until
  // it is a folder again. A folder that is gone holds none of the files.
  if (!transaction.OpenFolders(true) || !transaction.PrepareJournal()) return UPDATE_E_WRITE;

  uint32_t state = journal.state;
  if (state == kJournalInstalling) {
    if (!CanFinish(transaction)) {
      if (!PutBack(transaction) || !transaction.FlushFolders()) return UPDATE_E_WRITE;
      if (!transaction.EndJournal()) return UPDATE_E_WRITE;
      *what = Recovered::PutBack;
      return UPDATE_OK;
    }
    // Installed, on the disk, and only then marked so.
    if (!Finish(transaction) || !transaction.FlushFolders() || !transaction.MarkInstalled()) return UPDATE_E_WRITE;
    state = kJournalInstalled;
  }
  *what = Recovered::Finished;
  UpdateResult records = journal.recordsResult;
  if (state == kJournalInstalled) {
    bool retry = false;
    records = transaction.UpdateRecords(&retry);
    if (retry || !transaction.MarkRecorded(records)) return retry ? records : UPDATE_E_WRITE;
  }
  if (!transaction.RemoveBackups()) return UPDATE_E_WRITE;
  transaction.RemoveTemporaries();
  if (!transaction.FlushFolders() || !transaction.EndJournal()) return UPDATE_E_WRITE;
  return records;
}

}  // namespace

UpdateResult RecoverInterruptedUpdateIn(OsFolder root, const char16_t* installFolder, Recovered* what) {
  Recovered ignored = Recovered::Nothing;
  if (what == nullptr) what = &ignored;
  *what = Recovered::Nothing;
  try {
    return Recover(root, installFolder, what);
  } catch (const std::bad_alloc&) {
    return UPDATE_E_WRITE;
  }
}

UpdateResult RecoverInterruptedUpdate(const char16_t* installFolder, Recovered* what) {
  return RecoverInterruptedUpdateIn(kOsInvalidFolder, installFolder, what);
}
