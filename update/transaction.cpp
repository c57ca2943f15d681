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

// Backups are named "<name>.lumetria-bak" or, when a file of that name is
// already there, "<name>.lumetria-bak1" up to "...bak99".
constexpr uint32_t kBackupAttempts = 100;

std::u16string BackupName(const std::u16string& leaf, uint32_t number) {
  std::u16string name = leaf + kBackupMarker;
  if (number > 0) {
    std::string digits = std::to_string(number);
    name.append(digits.begin(), digits.end());
  }
  return name;
}

}  // namespace

bool EntryExists(OsFolder folder, const std::u16string& name) {
  return OsGetFileAttributesIn(folder, name.c_str()) != OS_INVALID_FILE_ATTRIBUTES;
}

bool EntryHasContents(OsFolder folder, const std::u16string& name, uint32_t size, const ContentHash& hash) {
  CFileDX file;
  ContentHash computed;
  return file.OpenReadIn(folder, name.c_str()) && file.GetSize() == size && HashFileBytes(file, size, &computed) &&
         computed == hash;
}

Transaction::Transaction(const std::u16string& installFolder, OsFolder root)
    : m_folder(installFolder), m_journalName(JournalValueName(installFolder)), m_givenRoot(root) {
  m_folders.push_back({});
  m_folderKeys.push_back({});
}

Transaction::~Transaction() {
  for (size_t i = m_givenRoot != kOsInvalidFolder ? 1 : 0; i < m_handles.size(); ++i) OsCloseFolder(m_handles[i]);
}

bool Transaction::AddFile(const std::u16string& name) {
  // No path is formed below the install folder (every call names an entry
  // of an open folder), but the name with its longest backup suffix must
  // still fit a path buffer of its own.
  if (name.empty() || name.size() + std::char_traits<char16_t>::length(kBackupMarker) + 2 >= kPathCapacity) {
    return false;
  }
  TransactionFile file;
  file.name = name;
  size_t separator = name.find_last_of(u"\\/");
  file.leaf = separator == std::u16string::npos ? name : name.substr(separator + 1);
  file.temporary = file.leaf + u".tmp";
  if (separator != std::u16string::npos) {
    std::u16string folder = name.substr(0, separator);
    std::string key = NormalRelativeName(folder);
    auto found = std::find(m_folderKeys.begin(), m_folderKeys.end(), key);
    file.folder = static_cast<size_t>(found - m_folderKeys.begin());
    if (found == m_folderKeys.end()) {
      m_folderKeys.push_back(key);
      m_folders.push_back(folder);
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
  if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES) file.backup = BackupName(file.leaf, entry.backupNumber);
  file.size = entry.size;
  file.hash = entry.hash;
  return true;
}

bool Transaction::OpenFolders(bool missingIsEmpty) {
  if (!m_handles.empty()) return true;
  // Everything that allocates comes first, so that no open folder is ever
  // left without an owner by a shortage of memory.
  m_handles.reserve(m_folders.size());
  std::vector<std::vector<std::u16string>> components(m_folders.size());
  for (size_t index = 1; index < m_folders.size(); ++index) {
    const std::u16string& relative = m_folders[index];
    for (size_t start = 0; start <= relative.size();) {
      size_t end = relative.find_first_of(u"\\/", start);
      if (end == std::u16string::npos) end = relative.size();
      components[index].push_back(relative.substr(start, end - start));
      start = end + 1;
    }
  }
  OsFolder root = m_givenRoot != kOsInvalidFolder ? m_givenRoot : OsOpenFolder(m_folder.c_str());
  if (root == kOsInvalidFolder) return false;
  m_handles.push_back(root);
  for (size_t index = 1; index < m_folders.size(); ++index) {
    // Each folder on the way opened from its parent, never through a link.
    OsFolder current = kOsInvalidFolder;
    bool missing = false;
    for (const std::u16string& component : components[index]) {
      OsFolder next = OsOpenSubFolder(current == kOsInvalidFolder ? root : current, component.c_str());
      uint32_t error = OsLastError();
      OsCloseFolder(current);
      current = next;
      if (current == kOsInvalidFolder) {
        missing = error == OS_ERROR_FILE_NOT_FOUND || error == OS_ERROR_PATH_NOT_FOUND;
        break;
      }
    }
    // Kept invalid when missing: nothing is found in it, nothing made.
    m_handles.push_back(current);
    if (current == kOsInvalidFolder && !(missing && missingIsEmpty)) return false;
  }
  return true;
}

void Transaction::BuildMergeNames() {
  m_mergeNames.clear();
  for (const TransactionFile& file : m_files) m_mergeNames.push_back(file.name.c_str());
  m_mergeNames.push_back(nullptr);
}

bool Transaction::Prepare() {
  BuildMergeNames();
  for (TransactionFile& file : m_files) {
    OsFolder folder = FolderOf(file);
    file.originalAttributes = OsGetFileAttributesIn(folder, file.leaf.c_str());
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
      std::u16string candidate = BackupName(file.leaf, number);
      if (!EntryExists(folder, candidate)) {
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
    OsFolder folder = FolderOf(file);
    const char16_t* leaf = file.leaf.c_str();
    // A file held open cannot be replaced: find out before anything is done
    // to it, so that the undo has the least to put back.
    if (OsFileInUseIn(folder, leaf)) return false;
    if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES && !file.backedUp) {
      // The original keeps a name at every instant: a second name first,
      // then the new file replaces the first in one rename. A link stands
      // for itself and is moved aside whole.
      uint32_t now = OsGetFileAttributesIn(folder, leaf);
      bool isLink = now != OS_INVALID_FILE_ATTRIBUTES && (now & OS_FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if (!isLink && OsLinkFileIn(folder, leaf, folder, file.backup.c_str())) {
        file.backedUp = true;
        // Lets a read-only original be replaced; Undo restores the attribute.
        OsSetFileAttributesIn(folder, leaf, OS_FILE_ATTRIBUTE_NORMAL);
      } else if (OsMoveFileWhenFreeIn(folder, leaf, folder, file.backup.c_str(), false)) {
        // No hard links here (FAT32, exFAT, some shares): the name is free
        // until the rename below. The original's new name goes to the device
        // first: a file system that keeps no order between two renames
        // could otherwise keep the replacing one and lose this one, and with
        // it the original.
        file.backedUp = true;
        file.movedAway = true;
        if (!OsFlushOpenFolder(folder)) return false;
      } else {
        return false;
      }
    }
    if (!OsMoveFileWhenFreeIn(folder, file.temporary.c_str(), folder, leaf, true)) return false;
    file.installed = true;
  }
  return true;
}

bool Transaction::Undo() {
  bool complete = true;
  for (size_t k = m_files.size(); k-- > 0;) {
    TransactionFile& file = m_files[k];
    OsFolder folder = FolderOf(file);
    const char16_t* leaf = file.leaf.c_str();
    if (file.backedUp) {
      if (file.installed || file.movedAway) {
        // The original comes back under its name in one rename.
        if (!OsMoveFileWhenFreeIn(folder, file.backup.c_str(), folder, leaf, true)) {
          complete = false;
          continue;
        }
      } else {
        // Only a second name of the original, still in place, to remove;
        // the original's attributes come back below.
        OsSetFileAttributesIn(folder, file.backup.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
        if (!OsDeleteFileIn(folder, file.backup.c_str())) {
          complete = false;
          continue;
        }
      }
      file.backedUp = file.movedAway = file.installed = false;
    } else if (file.installed) {
      if (!OsDeleteFileIn(folder, leaf)) {
        complete = false;
        continue;
      }
      file.installed = false;
    }
    if (file.originalAttributes != OS_INVALID_FILE_ATTRIBUTES) OsSetFileAttributesIn(folder, leaf, file.originalAttributes);
  }
  return complete;
}

bool Transaction::FlushFolders() {
  bool flushed = true;
  // A folder that is not there has nothing to flush.
  for (OsFolder folder : m_handles) {
    if (folder != kOsInvalidFolder) flushed = OsFlushOpenFolder(folder) && flushed;
  }
  return flushed;
}

bool Transaction::MarkInstalled() { return !m_installed.empty() && StoreJournal(m_journalName, m_installed); }

UpdateResult Transaction::UpdateRecords(bool* retry) {
  *retry = false;
  // Past the commit a shortage of memory costs the records at most, never
  // the files: the prune keeps the old list, the merge reports failure.
  try {
    if (m_mergeNames.empty()) BuildMergeNames();
    PruneInstalledHashListIn(Root());
  } catch (const std::bad_alloc&) {
  }
  bool merged = false;
  try {
    merged = !m_mergeNames.empty() && MergeUninstallListIn(Root(), m_mergeNames.data());
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
  uint32_t attributes = OsGetFileAttributesIn(Root(), kUninstallListFileName);
  bool absent;
  if (attributes == OS_INVALID_FILE_ATTRIBUTES) {
    absent = OsLastError() == OS_ERROR_FILE_NOT_FOUND || OsLastError() == OS_ERROR_PATH_NOT_FOUND;
  } else if ((attributes & (OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    absent = true;
  } else {
    CFileDX file;
    absent = file.OpenReadIn(Root(), kUninstallListFileName) && file.GetSize() == 0;
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
    OsFolder folder = FolderOf(file);
    // The original may still carry its read-only attribute.
    OsSetFileAttributesIn(folder, file.backup.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
    if (!OsDeleteFileIn(folder, file.backup.c_str()) && OsLastError() != OS_ERROR_FILE_NOT_FOUND &&
        OsLastError() != OS_ERROR_PATH_NOT_FOUND) {
      removed = false;
    }
  }
  return removed;
}

void Transaction::RemoveTemporaries() {
  for (const TransactionFile& file : m_files) OsDeleteFileIn(FolderOf(file), file.temporary.c_str());
  // The records' rewrite siblings, left by a records step cut short.
  for (const char16_t* sibling : {kHashListSiblingName, kUninstallListSiblingName}) {
    OsSetFileAttributesIn(Root(), sibling, OS_FILE_ATTRIBUTE_NORMAL);
    OsDeleteFileIn(Root(), sibling);
  }
}

bool Transaction::EndJournal() { return RemoveJournal(m_journalName); }
