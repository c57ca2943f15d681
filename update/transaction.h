// The commit of an update as a transaction over the install folder: every
// name worked out before the first rename, a journal written and flushed
// before it, each file moved into place while its original stays reachable,
// and the journal removed last. The update run drives it forward; the
// recovery at the next start reads the journal back into one and carries an
// interrupted commit to its end, or back to its start.
//
// From the first rename on (Install, Undo, FlushFolders, MarkInstalled,
// RemoveBackups, EndJournal) nothing is allocated: a commit cannot be
// stopped half-way by a shortage of memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "payload/file_dx.h"
#include "platform/filesystem.h"
#include "update/journal.h"

// One file of the transaction.
struct TransactionFile {
  std::u16string name;         // relative to the install folder
  std::u16string temporary;    // "<folder>\<name>.tmp": the new contents until installed
  std::u16string destination;  // "<folder>\<name>"
  std::u16string backup;       // "<destination>.lumetria-bak[n]", when there is an original
  uint32_t originalAttributes = OS_INVALID_FILE_ATTRIBUTES;  // none: there was no original
  uint32_t backupNumber = 0;
  uint32_t size = 0;  // the new contents: their size and fingerprint
  ContentHash hash;
  // How far the commit got with this file.
  bool backedUp = false;   // backup names the original
  bool movedAway = false;  // the original was moved to backup rather than given a second name
  bool installed = false;  // destination holds the new contents
};

class Transaction {
 public:
  explicit Transaction(const std::u16string& installFolder);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Planning. Adds a file by its relative name; false when one of its paths
  // (its longest backup name included) would not fit a path buffer.
  bool AddFile(const std::u16string& name);
  // Recovery: adds a file as the journal recorded it; false as AddFile, or
  // when the name is not one the run could have written.
  bool AddJournalEntry(const JournalEntry& entry);
  // False when the journal's own path would not fit.
  bool HasJournalPath() const { return !m_journalPath.empty(); }
  // UPDATE-style check before anything is written: false when a folder on
  // some file's path below the install folder is a link, junction or other
  // reparse point, or is not a folder. Missing folders pass.
  bool FoldersAreReal() const;

  std::vector<TransactionFile>& Files() { return m_files; }
  const std::u16string& JournalPath() const { return m_journalPath; }

  // Before the first rename: records every original's attributes and picks
  // a free backup name for it. False when a folder stands where a file goes
  // or no backup name is free.
  bool Prepare();
  // True when a journal (not a link planted at its name) is already there:
  // an interrupted run's, which is never overwritten.
  bool JournalInTheWay() const;
  // Flushes every folder of the transaction (the temporary files' names),
  // then creates the journal (never through a link: a link at its name is
  // removed, an existing journal refuses the commit), writes and flushes it
  // and its folder. The journal stays open until EndJournal.
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
  // Records in the journal that every file is installed.
  bool MarkInstalled();
  // Prunes the installed hash list and merges the names into the uninstall
  // list; the merge's result.
  bool UpdateRecords();
  // Removes every backup that exists. False when one cannot be removed.
  bool RemoveBackups();
  // Removes every temporary file that exists.
  void RemoveTemporaries();
  // Closes and removes the journal, and flushes the install folder.
  bool EndJournal();

  // Journal contents for the files as they stand.
  Journal ToJournal(uint32_t state) const;

 private:
  std::u16string BackupName(const std::u16string& destination, uint32_t number) const;
  void BuildMergeNames();

  std::u16string m_folder;
  std::u16string m_journalPath;
  std::vector<TransactionFile> m_files;
  std::vector<std::u16string> m_folders;      // every folder holding a destination, the install folder first
  std::vector<std::string> m_folderKeys;      // their normal forms, to find duplicates
  std::vector<const char16_t*> m_mergeNames;  // the names for the uninstall list, null-ended
  CFileDX m_journal;
};

// True when something (a link included) is at path.
bool PathExists(const std::u16string& path);

// True when the file at path is a plain file (not a link) of size bytes
// whose fingerprint is hash.
bool FileHasContents(const std::u16string& path, uint32_t size, const ContentHash& hash);
