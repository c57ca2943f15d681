#include "payload/hash_list.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "payload/byte_order.h"
#include "payload/file_replace.h"
#include "platform/filesystem.h"
#include "platform/folder.h"
#include "text/text_codec.h"

namespace {

// The name field's size for a record size: the hash takes the last 8 bytes.
uint32_t NameFieldSize(uint32_t recordSize) { return recordSize - 8; }

// The record size the magic selects, or 0 for anything else.
uint32_t RecordSizeOf(const uint8_t* header) {
  if (std::memcmp(header, kHashListMagicLong, 8) == 0) return kHashListLongRecordSize;
  if (std::memcmp(header, kHashListMagicShort, 8) == 0) return kHashListShortRecordSize;
  return 0;
}

// The header and all records of a list, read and checked; empty (records
// null) when the data is no usable list.
struct RawHashList {
  uint8_t header[kHashListHeaderSize] = {};
  uint32_t recordSize = 0;
  uint32_t count = 0;
  std::unique_ptr<uint8_t[]> records;

  const uint8_t* Record(uint32_t index) const { return records.get() + size_t{index} * recordSize; }
  const char* Name(uint32_t index) const { return reinterpret_cast<const char*>(Record(index)); }
};

bool ReadRawHashList(CFileDX& file, uint64_t available, RawHashList* list) {
  if (file.Read(list->header, kHashListHeaderSize) != kHashListHeaderSize) return false;
  list->recordSize = RecordSizeOf(list->header);
  list->count = LoadLe32(list->header + 12);
  if (list->recordSize == 0) return false;
  // The count is trusted only as far as the bytes that can be there.
  uint64_t size = uint64_t{list->count} * list->recordSize;
  if (kHashListHeaderSize + size > available) return false;
  list->records.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
  if (!list->records) return false;
  uint32_t wanted = static_cast<uint32_t>(size);
  if (wanted != 0 && file.Read(list->records.get(), wanted) != wanted) return false;
  for (uint32_t i = 0; i < list->count; ++i) {
    if (std::memchr(list->Record(i), 0, NameFieldSize(list->recordSize)) == nullptr) return false;
  }
  return true;
}

}  // namespace

HashListTable LoadHashList(CFileDX& file, uint64_t available) {
  RawHashList raw;
  if (!ReadRawHashList(file, available, &raw)) return {};
  HashListTable table;
  if (raw.count == 0) {
    table.loaded = true;
    return table;
  }
  table.entries.reset(new (std::nothrow) HashListEntry[raw.count]);
  if (!table.entries) return {};
  for (uint32_t i = 0; i < raw.count; ++i) {
    HashListEntry& entry = table.entries[i];
    std::memset(entry.name, 0, sizeof entry.name);
    std::unique_ptr<char[]> name = RecodeNarrow(raw.Name(i), TARGET_UTF8);
    if (!name || CopyNarrow(entry.name, sizeof entry.name, name.get()) == nullptr) return {};
    std::memcpy(entry.hash.bytes, raw.Record(i) + NameFieldSize(raw.recordSize), sizeof entry.hash.bytes);
  }
  table.count = raw.count;
  table.loaded = true;
  return table;
}

const HashListEntry* FindHashListEntry(const HashListTable& table, const char* storedName) {
  std::unique_ptr<char[]> key = RecodeNarrow(storedName, TARGET_UTF8);
  if (!key) return nullptr;
  LowerCaseNarrow(key.get());
  for (uint32_t i = 0; i < table.count; ++i) {
    char base[kPathCapacity];
    char extension[kPathCapacity];
    char finalComponent[2 * kPathCapacity];
    SplitPathNarrow({nullptr, 0, nullptr, 0, base, sizeof base, extension, sizeof extension}, table.entries[i].name);
    if (FormatNarrow(finalComponent, sizeof finalComponent, "%s%s", base, extension) < 0) continue;
    LowerCaseNarrow(finalComponent);
    if (CompareNarrow(finalComponent, key.get()) == 0) return &table.entries[i];
  }
  return nullptr;
}

namespace {

// Whether the entry that a record names exists below the open folder root,
// walking each folder on its way without following a link. A name that
// cannot be walked safely (a link or something else in the way, a "." or
// ".." component, an empty one) cannot be checked: it counts as there.
// Consecutive records mostly share their folder, which stays open.
class ExistenceCheck {
 public:
  explicit ExistenceCheck(OsFolder root) : m_root(root) {}
  ~ExistenceCheck() { OsCloseFolder(m_folder); }
  ExistenceCheck(const ExistenceCheck&) = delete;
  ExistenceCheck& operator=(const ExistenceCheck&) = delete;

  bool Exists(const std::u16string& name) {
    size_t split = name.find_last_of(u"\\/");
    std::u16string folderPart = split == std::u16string::npos ? std::u16string() : name.substr(0, split);
    std::u16string leaf = split == std::u16string::npos ? name : name.substr(split + 1);
    if (!Plain(leaf)) return true;
    OsFolder folder = m_root;
    if (!folderPart.empty()) {
      if (folderPart != m_folderPart || m_folder == kOsInvalidFolder) {
        bool missing = false;
        OsFolder opened = OpenChain(folderPart, &missing);
        if (opened == kOsInvalidFolder) return !missing;
        OsCloseFolder(m_folder);
        m_folder = opened;
        m_folderPart = folderPart;
      }
      folder = m_folder;
    }
    if (OsGetFileAttributesIn(folder, leaf.c_str()) != OS_INVALID_FILE_ATTRIBUTES) return true;
    uint32_t error = OsLastError();
    return error != OS_ERROR_FILE_NOT_FOUND && error != OS_ERROR_PATH_NOT_FOUND;
  }

 private:
  static bool Plain(const std::u16string& component) {
    return !component.empty() && component != u"." && component != u"..";
  }

  // The folders of folderPart opened one by one from the root; *missing
  // when one of them is not there at all. Its names are split first, so
  // that no open folder is left without an owner by a shortage of memory.
  OsFolder OpenChain(const std::u16string& folderPart, bool* missing) {
    std::vector<std::u16string> components;
    for (size_t start = 0; start <= folderPart.size();) {
      size_t end = folderPart.find_first_of(u"\\/", start);
      if (end == std::u16string::npos) end = folderPart.size();
      components.push_back(folderPart.substr(start, end - start));
      start = end + 1;
    }
    OsFolder current = kOsInvalidFolder;
    for (const std::u16string& component : components) {
      OsFolder next = Plain(component) ? OsOpenSubFolder(current == kOsInvalidFolder ? m_root : current,
                                                         component.c_str())
                                       : kOsInvalidFolder;
      uint32_t error = OsLastError();
      OsCloseFolder(current);
      if (next == kOsInvalidFolder) {
        *missing = Plain(component) && (error == OS_ERROR_FILE_NOT_FOUND || error == OS_ERROR_PATH_NOT_FOUND);
        return kOsInvalidFolder;
      }
      current = next;
    }
    return current;
  }

  OsFolder m_root;
  OsFolder m_folder = kOsInvalidFolder;
  std::u16string m_folderPart;
};

}  // namespace

bool PruneInstalledHashListIn(OsFolder installFolder) {
  RawHashList raw;
  {
    CFileDX file;
    // A link planted at the list's name is never read through.
    if (!file.OpenReadIn(installFolder, kHashListFileName)) return false;
    if (!ReadRawHashList(file, file.GetSize(), &raw)) return false;
  }

  uint64_t capacity = kHashListHeaderSize + uint64_t{raw.count} * raw.recordSize;
  std::unique_ptr<uint8_t[]> pruned(new (std::nothrow) uint8_t[capacity]);
  if (!pruned) return false;
  std::memcpy(pruned.get(), raw.header, kHashListHeaderSize);
  uint8_t* next = pruned.get() + kHashListHeaderSize;
  uint32_t kept = 0;
  ExistenceCheck check(installFolder);
  for (uint32_t i = 0; i < raw.count; ++i) {
    std::unique_ptr<char16_t[]> name = NarrowToWide(raw.Name(i));
    // A record whose name cannot be read cannot be checked; it stays.
    if (name && !check.Exists(name.get())) continue;
    std::memcpy(next, raw.Record(i), raw.recordSize);
    next += raw.recordSize;
    ++kept;
  }
  StoreLe32(pruned.get() + 12, kept);
  return ReplaceFileContentsIn(installFolder, kHashListFileName, kHashListSiblingName, pruned.get(),
                               static_cast<uint32_t>(next - pruned.get()));
}

bool PruneInstalledHashList(const char16_t* installFolder) {
  OsFolderOwner folder(OsOpenFolder(installFolder));
  return folder.Get() != kOsInvalidFolder && PruneInstalledHashListIn(folder.Get());
}
