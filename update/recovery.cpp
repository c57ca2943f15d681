#include "update/recovery.h"

#include <memory>
#include <new>

#include "update/journal.h"
#include "update/transaction.h"

namespace {

// The journal at path, read without following a link. False when it cannot
// be read now (locked); *valid tells whether what was read is a journal.
bool ReadJournal(const std::u16string& path, Journal* journal, bool* valid) {
  CFileDX file;
  if (!file.OpenReadNoFollow(path.c_str())) return false;
  uint32_t size = file.GetSize();
  *valid = false;
  if (size == 0xFFFFFFFF) return false;
  if (size > kJournalMaxBytes) return true;
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
  if (!bytes) return false;
  if (size != 0 && file.Read(bytes.get(), size) != size) return false;
  *valid = DecodeJournal(bytes.get(), size, journal);
  return true;
}

// Every file can be finished: its new contents are installed, or waiting,
// verified, in its temporary file.
// Marks the installed ones.
bool CanFinish(std::vector<TransactionFile>& files) {
  for (TransactionFile& file : files) {
    bool waiting = FileHasContents(file.temporary, file.size, file.hash);
    file.installed = !waiting && FileHasContents(file.destination, file.size, file.hash);
    if (!waiting && !file.installed) return false;
  }
  return true;
}

// Moves every waiting file into place as the run does; an original the
// interrupted run already kept as its backup is not backed up again.
bool Finish(Transaction& transaction) {
  for (TransactionFile& file : transaction.Files()) {
    if (file.originalAttributes == OS_INVALID_FILE_ATTRIBUTES) continue;
    // Kept already (or nothing left at the name to keep).
    file.backedUp = PathExists(file.backup) || !PathExists(file.destination);
    // An original that is still in place may still be read-only.
    if (file.backedUp && !file.installed) OsSetFileAttributes(file.destination.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
  }
  return transaction.Install();
}

// Puts every original back from its backup and removes the new files that
// had none, newest first.
bool PutBack(Transaction& transaction) {
  std::vector<TransactionFile>& files = transaction.Files();
  for (size_t k = files.size(); k-- > 0;) {
    TransactionFile& file = files[k];
    const char16_t* destination = file.destination.c_str();
    if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES) {
      if (PathExists(file.backup)) {
        // A backup that is a second name of the original, still in place,
        // is left over by the rename; it is removed after it.
        OsSetFileAttributes(destination, OS_FILE_ATTRIBUTE_NORMAL);
        if (!OsMoveFileWhenFree(file.backup.c_str(), destination, true)) return false;
        OsSetFileAttributes(file.backup.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
        if (PathExists(file.backup) && !OsDeleteFile(file.backup.c_str())) return false;
      }
      OsSetFileAttributes(destination, file.originalAttributes);
    } else if (FileHasContents(file.destination, file.size, file.hash) && !OsDeleteFile(destination)) {
      return false;
    }
    if (PathExists(file.temporary)) {
      OsSetFileAttributes(file.temporary.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
      if (!OsDeleteFile(file.temporary.c_str())) return false;
    }
  }
  return true;
}

UpdateResult Recover(const std::u16string& folder) {
  Transaction transaction(folder);
  const std::u16string& path = transaction.JournalPath();
  if (path.empty()) return UPDATE_OK;
  uint32_t attributes = OsGetFileAttributes(path.c_str());
  if (attributes == OS_INVALID_FILE_ATTRIBUTES) return UPDATE_OK;
  if ((attributes & OS_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // Not ours: a link planted at the journal's name is removed itself.
    OsDeleteFile(path.c_str());
    return UPDATE_OK;
  }
  if ((attributes & OS_FILE_ATTRIBUTE_DIRECTORY) != 0) return UPDATE_OK;

  Journal journal;
  bool valid = false;
  if (!ReadJournal(path, &journal, &valid)) return UPDATE_E_WRITE;
  bool usable = valid;
  for (const JournalEntry& entry : journal.entries) {
    if (usable && !transaction.AddJournalEntry(entry)) usable = false;
  }
  if (usable && !transaction.FoldersAreReal()) usable = false;
  if (!usable) {
    // Cut short before it was flushed, so before anything was renamed; or
    // not written by the run. Nothing to carry through.
    OsSetFileAttributes(path.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
    return OsDeleteFile(path.c_str()) && OsFlushFolder(folder.c_str()) ? UPDATE_OK : UPDATE_E_WRITE;
  }

  bool finish = journal.state == kJournalInstalled || CanFinish(transaction.Files());
  if (finish) {
    if (journal.state != kJournalInstalled && !Finish(transaction)) return UPDATE_E_WRITE;
    if (!transaction.FlushFolders()) return UPDATE_E_WRITE;
    // Its outcome is the run's to report; a failed merge is not repeated.
    transaction.UpdateRecords();
    if (!transaction.RemoveBackups()) return UPDATE_E_WRITE;
    transaction.RemoveTemporaries();
  } else if (!PutBack(transaction)) {
    return UPDATE_E_WRITE;
  }
  if (!transaction.FlushFolders()) return UPDATE_E_WRITE;
  return transaction.EndJournal() ? UPDATE_OK : UPDATE_E_WRITE;
}

}  // namespace

UpdateResult RecoverInterruptedUpdate(const char16_t* installFolder) {
  try {
    return Recover(installFolder);
  } catch (const std::bad_alloc&) {
    return UPDATE_E_WRITE;
  }
}
