// The journal of a commit: what an interrupted update needs so that the next
// start can finish it or put everything back.
//
// The run writes it into the install folder, and flushes it and the folder,
// before its first rename, and removes it last. Layout (integers
// little-endian):
//   0   8 bytes  magic "LMPJRNL1"
//   8   u32      state (kJournalInstalling, kJournalInstalled), rewritten in
//                place, outside the checksum
//   12  u32      body length in bytes
//   16  8 bytes  ContentHash of the body: a journal cut short by a crash
//                fails this check and is known as never complete
//   24  body: u32 entry count, then per entry
//         u32 attributes of the original (0xFFFFFFFF: there was none)
//         u32 size of the new contents
//         u32 backup number (0: "<name>.lumetria-bak", n: "...bak<n>")
//         8 bytes ContentHash of the new contents
//         u16 name length in UTF-16 units, then the name (relative to the
//         install folder; its temporary file is "<name>.tmp")
// The names to merge into the uninstall list are the entries' names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload/content_hash.h"

// In the install folder; no payload entry may have this name.
inline constexpr char16_t kJournalFileName[] = u"lumetria-patch.journal";

// Before kJournalInstalled, some files may still be old: the originals are
// all kept in their backups. From kJournalInstalled on, every file is new
// and only the records and the clean-up remain.
inline constexpr uint32_t kJournalInstalling = 1;
inline constexpr uint32_t kJournalInstalled = 2;
inline constexpr uint32_t kJournalStateOffset = 8;
// Nothing the run writes comes near this; a larger file is not a journal.
inline constexpr uint32_t kJournalMaxBytes = 1u << 20;

struct JournalEntry {
  std::u16string name;
  uint32_t originalAttributes = 0xFFFFFFFF;
  uint32_t size = 0;
  uint32_t backupNumber = 0;
  ContentHash hash;
};

struct Journal {
  uint32_t state = kJournalInstalling;
  std::vector<JournalEntry> entries;
};

// The journal's bytes.
std::vector<uint8_t> EncodeJournal(const Journal& journal);

// Reads a journal back; false when the bytes are not a whole journal (torn
// by a crash, damaged, or something else). An unknown state reads as
// kJournalInstalling, the state that assumes the least.
bool DecodeJournal(const uint8_t* bytes, size_t size, Journal* journal);
