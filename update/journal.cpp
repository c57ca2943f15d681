#include "update/journal.h"

#include <cstring>

#include "payload/byte_order.h"

namespace {

constexpr char kMagic[8] = {'L', 'M', 'P', 'J', 'R', 'N', 'L', '1'};
constexpr size_t kHeaderSize = 24;
constexpr size_t kEntryFixedSize = 4 + 4 + 4 + 8 + 2;

void Append32(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t bytes[4];
  StoreLe32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
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
  bool AtEnd() const { return m_used == m_size; }

 private:
  const uint8_t* m_bytes;
  size_t m_size;
  size_t m_used = 0;
};

}  // namespace

std::vector<uint8_t> EncodeJournal(const Journal& journal) {
  std::vector<uint8_t> body;
  Append32(body, static_cast<uint32_t>(journal.entries.size()));
  for (const JournalEntry& entry : journal.entries) {
    Append32(body, entry.originalAttributes);
    Append32(body, entry.size);
    Append32(body, entry.backupNumber);
    body.insert(body.end(), entry.hash.bytes, entry.hash.bytes + sizeof entry.hash.bytes);
    body.push_back(static_cast<uint8_t>(entry.name.size()));
    body.push_back(static_cast<uint8_t>(entry.name.size() >> 8));
    for (char16_t unit : entry.name) {
      body.push_back(static_cast<uint8_t>(unit));
      body.push_back(static_cast<uint8_t>(unit >> 8));
    }
  }
  ContentHash check;
  UpdateContentHash(&check, body.data(), static_cast<uint32_t>(body.size()));

  std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
  Append32(out, journal.state);
  Append32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), check.bytes, check.bytes + sizeof check.bytes);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool DecodeJournal(const uint8_t* bytes, size_t size, Journal* journal) {
  if (size < kHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  uint32_t bodySize = LoadLe32(bytes + 12);
  if (bodySize != size - kHeaderSize) return false;
  const uint8_t* body = bytes + kHeaderSize;
  ContentHash check;
  UpdateContentHash(&check, body, bodySize);
  if (std::memcmp(check.bytes, bytes + 16, sizeof check.bytes) != 0) return false;

  Journal result;
  result.state = LoadLe32(bytes + kJournalStateOffset) == kJournalInstalled ? kJournalInstalled : kJournalInstalling;
  Reader reader(body, bodySize);
  const uint8_t* at;
  if (!reader.Take(4, &at)) return false;
  uint32_t count = LoadLe32(at);
  // Every entry takes at least its fixed part: a count beyond that is damage.
  if (count > bodySize / kEntryFixedSize) return false;
  result.entries.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    JournalEntry entry;
    if (!reader.Take(kEntryFixedSize, &at)) return false;
    entry.originalAttributes = LoadLe32(at);
    entry.size = LoadLe32(at + 4);
    entry.backupNumber = LoadLe32(at + 8);
    std::memcpy(entry.hash.bytes, at + 12, sizeof entry.hash.bytes);
    size_t units = static_cast<size_t>(at[20]) | static_cast<size_t>(at[21]) << 8;
    if (!reader.Take(units * 2, &at)) return false;
    for (size_t k = 0; k < units; ++k) {
      entry.name += static_cast<char16_t>(at[2 * k] | at[2 * k + 1] << 8);
    }
    result.entries.push_back(std::move(entry));
  }
  if (!reader.AtEnd()) return false;
  *journal = std::move(result);
  return true;
}
