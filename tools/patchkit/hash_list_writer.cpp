#include "tools/patchkit/hash_list_writer.h"

#include <cstring>

#include "payload/byte_order.h"

bool BuildHashList(const std::vector<HashListRecord>& records, HashListLayout layout, uint32_t reserved,
                   std::vector<uint8_t>* out, std::string* error) {
  bool isLong = layout == HashListLayout::Long;
  uint32_t recordSize = isLong ? kHashListLongRecordSize : kHashListShortRecordSize;
  uint32_t nameField = recordSize - 8;
  std::vector<uint8_t> bytes(kHashListHeaderSize + records.size() * recordSize, 0);
  std::memcpy(bytes.data(), isLong ? kHashListMagicLong : kHashListMagicShort, 8);
  StoreLe32(bytes.data() + 8, reserved);
  StoreLe32(bytes.data() + 12, static_cast<uint32_t>(records.size()));
  for (size_t i = 0; i < records.size(); ++i) {
    const HashListRecord& record = records[i];
    if (record.name.empty() || record.name.find('\0') != std::string::npos || record.name.size() >= nameField) {
      if (error) {
        *error = "hash-list name '" + record.name + "' is empty, holds a zero byte or is longer than " +
                 std::to_string(nameField - 1) + " bytes";
      }
      return false;
    }
    uint8_t* at = bytes.data() + kHashListHeaderSize + i * recordSize;
    std::memcpy(at, record.name.data(), record.name.size());
    std::memcpy(at + nameField, record.hash.bytes, 8);
  }
  *out = std::move(bytes);
  return true;
}
