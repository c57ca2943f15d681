#include "update/journal.h"

#include <cstring>

#include "payload/byte_order.h"
#include "payload/update_result.h"
#include "platform/registry.h"
#include "update/relative_path.h"

namespace {

constexpr char kMagic[8] = {'L', 'M', 'P', 'J', 'R', 'N', 'L', '2'};
constexpr size_t kHeaderSize = 20;
constexpr size_t kEntryFixedSize = 4 + 4 + 4 + 8 + 2;

void Append32(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t bytes[4];
  StoreLe32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

void AppendText(std::vector<uint8_t>& out, const std::u16string& text) {
  out.push_back(static_cast<uint8_t>(text.size()));
  out.push_back(static_cast<uint8_t>(text.size() >> 8));
  for (char16_t unit : text) {
    out.push_back(static_cast<uint8_t>(unit));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  }
}

// Reads forward through the body, refusing to step past its end.
class Reader {
 public:
  Reader(const uint8_t* bytes, size_t size) : m_bytes(bytes), m_size(size) {}
  bool Take(size_t count, const uint8_t** at) {
    if (m_size - m_used < count) return false;
    *at = m_bytes + m_used;
    m_used += count;
    return true;
  }
  bool Take32(uint32_t* value) {
    const uint8_t* at;
    if (!Take(4, &at)) return false;
    *value = LoadLe32(at);
    return true;
  }
  bool TakeText(std::u16string* text) {
    const uint8_t* at;
    if (!Take(2, &at)) return false;
    size_t units = static_cast<size_t>(at[0]) | static_cast<size_t>(at[1]) << 8;
    if (!Take(units * 2, &at)) return false;
    text->clear();
    for (size_t k = 0; k < units; ++k) *text += static_cast<char16_t>(at[2 * k] | at[2 * k + 1] << 8);
    return true;
  }
  size_t Left() const { return m_size - m_used; }

 private:
  const uint8_t* m_bytes;
  size_t m_size;
  size_t m_used = 0;
};

}  // namespace

std::vector<uint8_t> EncodeJournal(const Journal& journal) {
  std::vector<uint8_t> body;
  Append32(body, journal.state);
  Append32(body, journal.recordsResult);
  AppendText(body, journal.folder);
  Append32(body, static_cast<uint32_t>(journal.entries.size()));
  for (const JournalEntry& entry : journal.entries) {
    Append32(body, entry.originalAttributes);
    Append32(body, entry.size);
    Append32(body, entry.backupNumber);
    body.insert(body.end(), entry.hash.bytes, entry.hash.bytes + sizeof entry.hash.bytes);
    AppendText(body, entry.name);
  }
  ContentHash check;
  UpdateContentHash(&check, body.data(), static_cast<uint32_t>(body.size()));

  std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
  Append32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), check.bytes, check.bytes + sizeof check.bytes);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool DecodeJournal(const uint8_t* bytes, size_t size, Journal* journal) {
  if (size < kHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  uint32_t bodySize = LoadLe32(bytes + 8);
  if (bodySize != size - kHeaderSize) return false;
  const uint8_t* body = bytes + kHeaderSize;
  ContentHash check;
  UpdateContentHash(&check, body, bodySize);
  if (std::memcmp(check.bytes, bytes + 12, sizeof check.bytes) != 0) return false;

  Journal result;
  Reader reader(body, bodySize);
  uint32_t count = 0;
  if (!reader.Take32(&result.state) || !reader.Take32(&result.recordsResult) || !reader.TakeText(&result.folder) ||
      !reader.Take32(&count)) {
    return false;
  }
  if (result.state < kJournalInstalling || result.state > kJournalRecorded) return false;
  if (result.recordsResult != UPDATE_OK && result.recordsResult != UPDATE_E_UNINSTALL_LIST) return false;
  // Every entry takes at least its fixed part: a count beyond that is damage.
  if (count > reader.Left() / kEntryFixedSize) return false;
  result.entries.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    JournalEntry entry;
    const uint8_t* at;
    if (!reader.Take(kEntryFixedSize - 2, &at)) return false;
    entry.originalAttributes = LoadLe32(at);
    entry.size = LoadLe32(at + 4);
    entry.backupNumber = LoadLe32(at + 8);
    std::memcpy(entry.hash.bytes, at + 12, sizeof entry.hash.bytes);
    if (!reader.TakeText(&entry.name)) return false;
    result.entries.push_back(std::move(entry));
  }
  if (reader.Left() != 0) return false;
  *journal = std::move(result);
  return true;
}

std::u16string JournalValueName(const std::u16string& folder) {
  // Spelled in another case, a folder is the same folder.
  std::string normal = NormalRelativeName(folder);
  ContentHash hash;
  if (!normal.empty()) {
    UpdateContentHash(&hash, normal.data(), static_cast<uint32_t>(normal.size()));
  } else {
    UpdateContentHash(&hash, folder.data(), static_cast<uint32_t>(folder.size() * sizeof(char16_t)));
  }
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string name = u"PatchJournal ";
  for (uint8_t byte : hash.bytes) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name;
}

JournalLookup ReadJournal(const std::u16string& folder, Journal* journal) {
  std::vector<uint8_t> bytes;
  uint32_t status = OsRegReadProtectedValue(kJournalRegistryKey, JournalValueName(folder).c_str(), &bytes);
  if (status == OS_ERROR_FILE_NOT_FOUND || status == OS_ERROR_PATH_NOT_FOUND) return JournalLookup::None;
  if (status == OS_ERROR_INVALID_OWNER) return JournalLookup::Untrusted;
  if (status != OS_ERROR_SUCCESS) return JournalLookup::Unreadable;
  Journal read;
  if (bytes.size() > kJournalMaxBytes || !DecodeJournal(bytes.data(), bytes.size(), &read) ||
      NormalRelativeName(read.folder) != NormalRelativeName(folder) ||
      (NormalRelativeName(folder).empty() && read.folder != folder)) {
    return JournalLookup::Damaged;
  }
  *journal = std::move(read);
  return JournalLookup::Found;
}

bool StoreJournal(const std::u16string& valueName, const std::vector<uint8_t>& bytes) {
  if (bytes.size() > kJournalMaxBytes) return false;
  return OsRegWriteProtectedValue(kJournalRegistryKey, valueName.c_str(), bytes.data(),
                                  static_cast<uint32_t>(bytes.size())) == OS_ERROR_SUCCESS;
}

bool WriteJournal(const Journal& journal) { return StoreJournal(JournalValueName(journal.folder), EncodeJournal(journal)); }

bool RemoveJournal(const std::u16string& valueName) {
  return OsRegDeleteProtectedValue(kJournalRegistryKey, valueName.c_str()) == OS_ERROR_SUCCESS;
}
