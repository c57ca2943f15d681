#include "update/transaction.h"

#include <algorithm>
#include <memory>
#include <new>

#include "install/uninstall_list.h"
#include "payload/byte_order.h"
#include "payload/file_hash.h"
#include "payload/hash_list.h"
#include "text/text_codec.h"
#include "update/relative_path.h"

namespace {

// Backups are named "<destination>.lumetria-bak" or, when a file of that
// name is already there, "<destination>.lumetria-bak1" up to "...bak99".
constexpr uint32_t kBackupAttempts = 100;

std::u16string Join(const std::u16string& folder, const std::u16string& name, const char16_t* suffix = u"") {
  char16_t buffer[kPathCapacity];
  if (FormatWide(buffer, kPathCapacity, u"%s\\%s%s", folder.c_str(), name.c_str(), suffix) < 0) return {};
  return buffer;
}

}  // namespace

bool PathExists(const std::u16string& path) { return OsGetFileAttributes(path.c_str()) != OS_INVALID_FILE_ATTRIBUTES; }

bool FileHasContents(const std::u16string& path, uint32_t size, const ContentHash& hash) {
  CFileDX file;
  ContentHash computed;
  return file.OpenReadNoFollow(path.c_str()) && file.GetSize() == size && HashFileBytes(file, size, &computed) &&
         computed == hash;
}

Transaction::Transaction(const std::u16string& installFolder)
    : m_folder(installFolder), m_journalName(JournalValueName(installFolder)) {
  m_folders.push_back(m_folder);
  m_folderKeys.push_back({});
}

bool Transaction::AddFile(const std::u16string& name) {
  TransactionFile file;
  file.name = name;
  file.temporary = Join(m_folder, name, u".tmp");
  file.destination = Join(m_folder, name);
  // The longest backup name must fit as well.
  if (file.temporary.empty() || file.destination.empty() ||
      file.destination.size() + std::char_traits<char16_t>::length(kBackupMarker) + 2 >= kPathCapacity) {
    return false;
  }
  size_t separator = name.find_last_of(u"\\/");
  if (separator != std::u16string::npos) {
    std::string key = NormalRelativeName(name.substr(0, separator));
    if (std::find(m_folderKeys.begin(), m_folderKeys.end(), key) == m_folderKeys.end()) {
      m_folderKeys.push_back(key);
      m_folders.push_back(file.destination.substr(0, m_folder.size() + 1 + separator));
    }
  }
  m_files.push_back(std::move(file));
  return true;
}

bool Transaction::AddJournalEntry(const JournalEntry& entry) {
  if (!IsSafeRelativeName(entry.name) || entry.backupNumber >= kBackupAttempts || !AddFile(entry.name)) return false;
  TransactionFile& file = m_files.back();
  file.originalAttributes = entry.originalAttributes;
  file.backupNumber = entry.backupNumber;
  if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES) file.backup = BackupName(file.destination, entry.backupNumber);
  file.size = entry.size;
  file.hash = entry.hash;
  return true;
}

bool Transaction::FoldersAreReal() const {
  for (const TransactionFile& file : m_files) {
    // Every folder between the install folder and the file; the install
    // folder itself may be a link (a game moved to another drive).
    for (size_t at = file.destination.find_first_of(u"\\/", m_folder.size() + 1); at != std::u16string::npos;
         at = file.destination.find_first_of(u"\\/", at + 1)) {
      uint32_t attributes = OsGetFileAttributes(file.destination.substr(0, at).c_str());
      if (attributes == OS_INVALID_FILE_ATTRIBUTES) break;
      if ((attributes & OS_FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & OS_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
      }
    }
  }
  return true;
}

std::u16string Transaction::BackupName(const std::u16string& destination, uint32_t number) const {
  std::u16string name = destination + kBackupMarker;
  if (number > 0) {
    std::string digits = std::to_string(number);
    name.append(digits.begin(), digits.end());
  }
  return name;
}

void Transaction::BuildMergeNames() {
  m_mergeNames.clear();
  for (const TransactionFile& file : m_files) m_mergeNames.push_back(file.name.c_str());
  m_mergeNames.push_back(nullptr);
}

bool Transaction::Prepare() {
  BuildMergeNames();
  for (TransactionFile& file : m_files) {
    file.originalAttributes = OsGetFileAttributes(file.destination.c_str());
    file.backup.clear();
    if (file.originalAttributes == OS_INVALID_FILE_ATTRIBUTES) {
      // Only a file known to be absent has no original to keep.
      uint32_t error = OsLastError();
      if (error != OS_ERROR_FILE_NOT_FOUND && error != OS_ERROR_PATH_NOT_FOUND) return false;
      continue;
    }
    // A folder where a file goes cannot be replaced; a link to one can.
    if ((file.originalAttributes & OS_FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (file.originalAttributes & OS_FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      return false;
    }
    for (uint32_t number = 0; number < kBackupAttempts && file.backup.empty(); ++number) {
      std::u16string candidate = BackupName(file.destination, number);
      if (!PathExists(candidate)) {
        file.backup = std::move(candidate);
        file.backupNumber = number;
      }
    }
    if (file.backup.empty()) return false;
  }
  return true;
}

Journal Transaction::ToJournal(uint32_t state) const {
  Journal journal;
  journal.folder = m_folder;
  journal.state = state;
  for (const TransactionFile& file : m_files) {
    JournalEntry entry;
    entry.name = file.name;
    entry.originalAttributes = file.originalAttributes;
    entry.size = file.size;
    entry.backupNumber = file.backupNumber;
    entry.hash = file.hash;
    journal.entries.push_back(std::move(entry));
  }
  return journal;
}

bool Transaction::JournalInTheWay() const {
  Journal journal;
  JournalLookup lookup = ReadJournal(m_folder, &journal);
  return lookup != JournalLookup::None && lookup != JournalLookup::Untrusted;
}

bool Transaction::PrepareJournal() {
  if (m_mergeNames.empty()) BuildMergeNames();
  m_installed = EncodeJournal(ToJournal(kJournalInstalled));
  Journal recorded = ToJournal(kJournalRecorded);
  m_recorded = EncodeJournal(recorded);
  recorded.recordsResult = UPDATE_E_UNINSTALL_LIST;
  m_recordedListFailed = EncodeJournal(recorded);
  return m_recordedListFailed.size() <= kJournalMaxBytes;
}

bool Transaction::BeginJournal() {
  if (!PrepareJournal()) return false;
  // The temporary files' names go to the device before the journal that
  // counts on them: with the journal on the device, every new file is too,
  // and recovery can finish the commit.
  if (!FlushFolders()) return false;
  return WriteJournal(ToJournal(kJournalInstalling));
}

bool Transaction::Install() {
  for (TransactionFile& file : m_files) {
    if (file.installed) continue;
    const char16_t* destination = file.destination.c_str();
    // A file held open cannot be replaced: find out before anything is done
    // to it, so that the undo has the least to put back.
    if (OsFileInUse(destination)) return false;
    if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES && !file.backedUp) {
      // The original keeps a name at every instant: a second name first,
      // then the new file replaces the first in one rename. A link stands
      // for itself and is moved aside whole.
      uint32_t now = OsGetFileAttributes(destination);
      bool isLink = now != OS_INVALID_FILE_ATTRIBUTES && (now & OS_FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if (!isLink && OsLinkFile(destination, file.backup.c_str())) {
        file.backedUp = true;
        // Lets a read-only original be replaced; Undo restores the attribute.
        OsSetFileAttributes(destination, OS_FILE_ATTRIBUTE_NORMAL);
      } else if (OsMoveFileWhenFree(destination, file.backup.c_str(), false)) {
        // No hard links here: the name is free until the rename below.
        file.backedUp = true;
        file.movedAway = true;
      } else {
        return false;
      }
    }
    if (!OsMoveFileWhenFree(file.temporary.c_str(), destination, true)) return false;
    file.installed = true;
  }
  return true;
}

bool Transaction::Undo() {
  bool complete = true;
  for (size_t k = m_files.size(); k-- > 0;) {
    TransactionFile& file = m_files[k];
    const char16_t* destination = file.destination.c_str();
    if (file.backedUp) {
      if (file.installed || file.movedAway) {
        // The original comes back under its name in one rename.
        if (!OsMoveFileWhenFree(file.backup.c_str(), destination, true)) {
          complete = false;
          continue;
        }
      } else {
        // Only a second name of the original, still in place, to remove;
        // the original's attributes come back below.
        OsSetFileAttributes(file.backup.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
        if (!OsDeleteFile(file.backup.c_str())) {
          complete = false;
          continue;
        }
      }
      file.backedUp = file.movedAway = file.installed = false;
    } else if (file.installed) {
      if (!OsDeleteFile(destination)) {
        complete = false;
        continue;
      }
      file.installed = false;
    }
    if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES) OsSetFileAttributes(destination, file.originalAttributes);
  }
  return complete;
}

bool Transaction::FlushFolders() {
  bool flushed = true;
  for (const std::u16string& folder : m_folders) flushed = OsFlushFolder(folder.c_str()) && flushed;
  return flushed;
}

bool Transaction::MarkInstalled() { return !m_installed.empty() && StoreJournal(m_journalName, m_installed); }

UpdateResult Transaction::UpdateRecords(bool* retry) {
  *retry = false;
  // Past the commit a shortage of memory costs the records at most, never
  // the files: the prune keeps the old list, the merge reports failure.
  try {
    if (m_mergeNames.empty()) BuildMergeNames();
    PruneInstalledHashList(m_folder.c_str());
  } catch (const std::bad_alloc&) {
  }
  bool merged = false;
  try {
    merged = !m_mergeNames.empty() && MergeUninstallList(m_folder.c_str(), m_mergeNames.data());
  } catch (const std::bad_alloc&) {
  }
  // The rewritten lists' names reach the device before the journal says
  // the records are done; until they do, the step is to be repeated.
  if (!FlushFolders()) {
    *retry = true;
    return UPDATE_E_UNINSTALL_LIST;
  }
  if (merged) return UPDATE_OK;
  // A list that is there but was not rewritten is tried again later; one
  // that is missing or empty, or something that is no list (a folder or a
  // link at its name, never read through), never will be.
  std::u16string list = Join(m_folder, kUninstallListFileName);
  uint32_t attributes = OsGetFileAttributes(list.c_str());
  bool absent;
  if (attributes == OS_INVALID_FILE_ATTRIBUTES) {
    absent = OsLastError() == OS_ERROR_FILE_NOT_FOUND || OsLastError() == OS_ERROR_PATH_NOT_FOUND;
  } else if ((attributes & (OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    absent = true;
  } else {
    CFileDX file;
    absent = file.OpenReadNoFollow(list.c_str()) && file.GetSize() == 0;
  }
  *retry = !absent;
  return UPDATE_E_UNINSTALL_LIST;
}

bool Transaction::MarkRecorded(UpdateResult records) {
  const std::vector<uint8_t>& bytes = records == UPDATE_OK ? m_recorded : m_recordedListFailed;
  return !bytes.empty() && StoreJournal(m_journalName, bytes);
}

bool Transaction::RemoveBackups() {
  bool removed = true;
  for (const TransactionFile& file : m_files) {
    if (file.originalAttributes == OS_INVALID_FILE_ATTRIBUTES) continue;
    const char16_t* backup = file.backup.c_str();
    // The original may still carry its read-only attribute.
    OsSetFileAttributes(backup, OS_FILE_ATTRIBUTE_NORMAL);
    if (!OsDeleteFile(backup) && OsLastError() != OS_ERROR_FILE_NOT_FOUND) removed = false;
  }
  return removed;
}

void Transaction::RemoveTemporaries() {
  for (const TransactionFile& file : m_files) OsDeleteFile(file.temporary.c_str());
  // The records' rewrite siblings, left by a records step cut short.
  for (const char16_t* sibling : {kHashListSiblingName, kUninstallListSiblingName}) {
    std::u16string path = Join(m_folder, sibling);
    if (path.empty()) continue;
    OsSetFileAttributes(path.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
    OsDeleteFile(path.c_str());
  }
}

bool Transaction::EndJournal() { return RemoveJournal(m_journalName); }
