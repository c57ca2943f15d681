// The payload container that the patch carries inside its own executable.
//
// Layout (integers little-endian), starting at file offset kPayloadOffset:
//   header     12-byte magic, u32 entry count (at most kPayloadMaxEntries)
//   directory  count records; "VORNAK ARC20" selects 128-byte records with a
//              96-byte name field, any other magic 32-byte records with a
//              16-byte name field. Each record: name (zero-terminated inside
//              its field), u32 offset, u32 size, reserved bytes.
//   data area  right after the directory; an entry's bytes lie at data area
//              + offset and run for size bytes.
// The reader keeps the executable open for the whole run and reads entries
// from it in pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "payload/file_dx.h"
#include "payload/update_result.h"

inline constexpr uint32_t kPayloadOffset = 0x100000;
inline constexpr uint32_t kPayloadHeaderSize = 16;
inline constexpr uint32_t kPayloadMaxEntries = 32;
inline constexpr char kPayloadLongMagic[12] = {'V', 'O', 'R', 'N', 'A', 'K', ' ', 'A', 'R', 'C', '2', '0'};

// One directory record layout. The name field starts the record; the offset
// and size follow it directly, then reserved bytes fill the record.
struct PayloadLayout {
  uint32_t recordSize;
  uint32_t nameSize;
};
inline constexpr PayloadLayout kPayloadLongLayout{128, 96};
inline constexpr PayloadLayout kPayloadShortLayout{32, 16};

// Capacity, in UTF-16 units with the terminator, of the executable's path.
inline constexpr uint32_t kExecutablePathCapacity = 780;

// One directory record as the run uses it; name points into the directory.
struct PayloadEntry {
  const char* name;
  uint32_t offset;
  uint32_t size;
};

class PayloadContainer {
 public:
  // Opens the executable at exePath for reading and reads the header and the
  // directory. Returns UPDATE_OK, or:
  //  UPDATE_E_PAYLOAD           the file cannot be opened, is shorter than
  //                             1 MiB, or its header or directory is short;
  //                             a name has no terminator inside its field;
  //                             an entry would reach past 4 GiB of file
  //                             offset, where 32-bit positions wrap;
  //  UPDATE_E_TOO_MANY_ENTRIES  the count is above 32 (nothing of the
  //                             directory is read).
  // A container may be opened once.
  UpdateResult Open(const char16_t* exePath);

  uint32_t EntryCount() const { return m_count; }
  bool IsLongLayout() const { return m_layout.recordSize == kPayloadLongLayout.recordSize; }

  // Absolute file offset of the data area: 0x100010 + count x record size.
  uint32_t DataAreaOffset() const { return m_dataArea; }

  // The index must be below EntryCount().
  PayloadEntry Entry(uint32_t index) const;

  // Positions the executable at the first byte of the entry. 1 on success.
  int PositionAt(uint32_t index);

  // Reads the next bytes at the current position (one read); the byte count.
  uint32_t ReadNext(void* buffer, uint32_t length) { return m_file.Read(buffer, length); }

  // The executable, for callers that position it themselves.
  CFileDX& File() { return m_file; }

 private:
  const uint8_t* Record(uint32_t index) const { return m_directory.data() + size_t{index} * m_layout.recordSize; }
  UpdateResult CheckDirectory() const;

  CFileDX m_file;
  std::array<uint8_t, kPayloadHeaderSize> m_header{};
  std::array<uint8_t, kPayloadMaxEntries * kPayloadLongLayout.recordSize> m_directory{};
  PayloadLayout m_layout = kPayloadShortLayout;
  uint32_t m_count = 0;
  uint32_t m_dataArea = 0;
};
