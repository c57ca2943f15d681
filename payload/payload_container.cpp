#include "payload/payload_container.h"

#include <cstring>

#include "payload/byte_order.h"

UpdateResult PayloadContainer::Open(const char16_t* exePath) {
  if (m_file.IsOpen() || !m_file.OpenRead(exePath)) return UPDATE_E_PAYLOAD;
  // GetSize reports only the low 32 bits; a container beyond 4 GiB is not
  // in the format anyway.
  if (m_file.GetSize() < kPayloadOffset) return UPDATE_E_PAYLOAD;
  if (!m_file.Seek(kPayloadOffset, 0)) return UPDATE_E_PAYLOAD;
  if (m_file.Read(m_header.data(), kPayloadHeaderSize) != kPayloadHeaderSize) return UPDATE_E_PAYLOAD;

  uint32_t count = LoadLe32(m_header.data() + 12);
  if (count > kPayloadMaxEntries) return UPDATE_E_TOO_MANY_ENTRIES;
  m_layout = std::memcmp(m_header.data(), kPayloadLongMagic, sizeof kPayloadLongMagic) == 0 ? kPayloadLongLayout
                                                                                           : kPayloadShortLayout;
  uint32_t directorySize = count * m_layout.recordSize;
  if (m_file.Read(m_directory.data(), directorySize) != directorySize) return UPDATE_E_PAYLOAD;
  m_count = count;
  m_dataArea = kPayloadOffset + kPayloadHeaderSize + directorySize;
  UpdateResult checked = CheckDirectory();
  if (checked != UPDATE_OK) m_count = 0;
  return checked;
}

// Refuses records that the format cannot hold: a name without its
// terminator would run into the offset field, and an entry past 4 GiB would
// be read from a wrapped-around position, that is from the wrong bytes.
UpdateResult PayloadContainer::CheckDirectory() const {
  for (uint32_t i = 0; i < m_count; ++i) {
    const uint8_t* record = Record(i);
    if (std::memchr(record, 0, m_layout.nameSize) == nullptr) return UPDATE_E_PAYLOAD;
    PayloadEntry entry = Entry(i);
    uint64_t end = uint64_t{m_dataArea} + entry.offset + entry.size;
    if (end > 0x100000000ull) return UPDATE_E_PAYLOAD;
  }
  return UPDATE_OK;
}

PayloadEntry PayloadContainer::Entry(uint32_t index) const {
  const uint8_t* record = Record(index);
  return PayloadEntry{reinterpret_cast<const char*>(record), LoadLe32(record + m_layout.nameSize),
                      LoadLe32(record + m_layout.nameSize + 4)};
}

int PayloadContainer::PositionAt(uint32_t index) {
  if (index >= m_count) return 0;
  return m_file.Seek(m_dataArea + Entry(index).offset, 0);
}
