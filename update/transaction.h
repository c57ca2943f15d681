// The commit of an update as a transaction over the install folder: every
// name worked out before the first rename, a journal written and flushed
// before it, each file moved into place while its original stays reachable,
// and the journal removed last. The update run drives it forward; the
// recovery at the next start reads the journal back into one and carries an
// interrupted commit to its end, or back to its start.
//
// From the first rename on (Install, Undo, FlushFolders, MarkInstalled,
// MarkRecorded, RemoveBackups, EndJournal) nothing is allocated: a commit
// cannot be stopped half-way by a shortage of memory. Only the records step
// (UpdateRecords) allocates, and a shortage there costs the records, never
// the files.
//
// The journal goes through its states in order (journal.h): installing
// until every file is new and on the disk, installed until the records are
// done, recorded until the backups are gone. Each state is durable before
// the step it allows begins, so a run stopped anywhere, or a recovery
// stopped anywhere, leaves a journal the next start carries on from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "payload/file_dx.h"
#include "payload/update_result.h"
#include "platform/filesystem.h"
#include "platform/folder.h"
#include "update/journal.h"

// One file of the transaction, named by an entry of one of its open folders.
struct TransactionFile {
  std::u16string name;       // relative to the install folder
  size_t folder = 0;         // the transaction's folder that holds it (0: the install folder)
  std::u16string leaf;       // its name in that folder
  std::u16string temporary;  // "<leaf>.tmp": the new contents until installed
  std::u16string backup;     // "<leaf>.lumetria-bak[n]", when there is an original
  uint32_t originalAttributes = OS_INVALID_FILE_ATTRIBUTES;  // none: there was no original
  uint32_t backupNumber = 0;
  uint32_t size = 0;  // the new contents: their size and fingerprint
  ContentHash hash;
  // How far the commit got with this file.
  bool backedUp = false;   // backup names the original
  bool movedAway = false;  // the original was moved to backup rather than given a second name
  bool installed = false;  // the leaf holds the new contents
};

class Transaction {
 public:
  // root, when given, is the install folder already open (the caller's,
  // closed by the caller); otherwise OpenFolders opens it.
  explicit Transaction(const std::u16string& installFolder, OsFolder root = kOsInvalidFolder);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Planning. Adds a file by its relative name; false when the name (with
  // its longest backup suffix) would not fit a path buffer on its own.
  bool AddFile(const std::u16string& name);
  // Recovery: adds a file as the journal recorded it; false as AddFile, or
  // when the name is not one the run could have written.
  bool AddJournalEntry(const JournalEntry& entry);
  // Opens the install folder once, and every folder on a file's path
  // relative to its parent, never following a link: every later call of
  // the transaction names an entry of these open folders, so a folder
  // swapped for a link afterwards leads nowhere. False when the install
  // folder cannot be opened, or a folder below it is a link, junction or
  // other reparse point, or no folder. A missing folder fails too, unless
  // missingIsEmpty (recovery: its files are simply not there).
  bool OpenFolders(bool missingIsEmpty);
  // The open install folder, and the open folder that holds a file.
  OsFolder Root() const { return m_handles.empty() ? kOsInvalidFolder : m_handles[0]; }
  OsFolder FolderOf(const TransactionFile& file) const {
    return file.folder < m_handles.size() ? m_handles[file.folder] : kOsInvalidFolder;
  }

  std::vector<TransactionFile>& Files() { return m_files; }

  // Before the first rename: records every original's attributes and picks
  // a free backup name for it. False when a folder stands where a file goes
  // or no backup name is free.
  bool Prepare();
  // True when this folder has a journal already (one that could not be
  // trusted aside): an interrupted run's, which is never overwritten.
  bool JournalInTheWay() const;
  // Encodes the journal of every state to come, so that marking a state
  // later allocates nothing. Recovery calls it before carrying a journal on;
  // BeginJournal calls it itself.
  bool PrepareJournal();
  // Flushes every folder of the transaction (the temporary files' names),
  // then stores the journal in its installing state, durably.
  bool BeginJournal();

  // The commit: every file not installed yet moved into place, in order,
  // each original first given a second name (or, where the file system has
  // no hard links, moved) as its backup unless backedUp says it has one.
  // False at the first failure; Undo then puts back what was done.
  bool Install();
  // Puts every original back and removes new files that had none. False
  // when anything could not be put back.
  bool Undo();
  // Flushes every folder the transaction touched.
  bool FlushFolders();
  // Records in the journal that every file is installed (call it once the
  // renames are on the disk).
  bool MarkInstalled();
  // Prunes the installed hash list and merges the names into the uninstall
  // list: UPDATE_OK, or UPDATE_E_UNINSTALL_LIST when the merge failed. A
  // failed merge of a list that is there (read-only, held open, the disk
  // full) sets *retry: the journal must stay so that a later start repeats
  // the step. A missing or empty list is not retried: the merge only ever
  // extends a list that exists.
  UpdateResult UpdateRecords(bool* retry);
  // Records in the journal that the records are done, with their result.
  bool MarkRecorded(UpdateResult records);
  // Removes every backup that exists. False when one cannot be removed.
  bool RemoveBackups();
  // Removes every temporary file that exists, and the records' rewrite
  // siblings.
  void RemoveTemporaries();
  // Removes the journal, durably.
  bool EndJournal();

  // Journal contents for the files as they stand.
  Journal ToJournal(uint32_t state) const;

 private:
  void BuildMergeNames();

  std::u16string m_folder;
  std::u16string m_journalName;  // the journal's value
  std::vector<TransactionFile> m_files;
  std::vector<std::u16string> m_folders;      // every folder holding a file, relative; "" (the install folder) first
  std::vector<std::string> m_folderKeys;      // their normal forms, to find duplicates
  std::vector<OsFolder> m_handles;            // the folders, open, index for index
  OsFolder m_givenRoot;                       // the caller's open install folder, if any
  std::vector<const char16_t*> m_mergeNames;  // the names for the uninstall list, null-ended
  // The journal's bytes in each state to come: installed, recorded with
  // UPDATE_OK, recorded with UPDATE_E_UNINSTALL_LIST.
  std::vector<uint8_t> m_installed;
  std::vector<uint8_t> m_recorded;
  std::vector<uint8_t> m_recordedListFailed;
};

// True when something (a link included) is at the name in folder.
bool EntryExists(OsFolder folder, const std::u16string& name);

// True when the entry name of folder is a plain file (not a link) of size
// bytes whose fingerprint is hash.
bool EntryHasContents(OsFolder folder, const std::u16string& name, uint32_t size, const ContentHash& hash);
