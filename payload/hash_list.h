// The hash list: the fingerprints of the game's files, stored as TLM.hvl in
// the install folder and carried in the payload.
//
// On disk (integers little-endian): a 16-byte header, 8-byte magic
// ("TLH_V2__": 256-byte records, "TLH_____": 64-byte records), u32 reserved
// (kept as it is on a rewrite), u32 record count; then the records: a name
// field (248 or 56 bytes: a path relative to the install folder, code page
// 932 or UTF-8, zero-terminated inside the field) followed by the 8-byte
// ContentHash. Bytes after the last record are never read.
#pragma once

#include <cstdint>
#include <memory>

#include "payload/content_hash.h"
#include "payload/file_dx.h"
#include "platform/folder.h"

inline constexpr uint32_t kHashListHeaderSize = 16;
inline constexpr char kHashListMagicLong[8] = {'T', 'L', 'H', '_', 'V', '2', '_', '_'};
inline constexpr char kHashListMagicShort[8] = {'T', 'L', 'H', '_', '_', '_', '_', '_'};
inline constexpr uint32_t kHashListLongRecordSize = 256;
inline constexpr uint32_t kHashListShortRecordSize = 64;
inline constexpr char16_t kHashListFileName[] = u"TLM.hvl";
// The sibling through which the installed list is rewritten.
inline constexpr char16_t kHashListSiblingName[] = u"TLM.hvl.new";

// One record in memory, whatever the file's layout: the name in UTF-8 (at
// most 247 bytes and its terminator) and the hash as stored.
struct HashListEntry {
  char name[248];
  ContentHash hash;
};
static_assert(sizeof(HashListEntry) == 256);

// The payload's hash list as the update run uses it. An empty table stands
// for the absence of a usable list: nothing is then verified.
struct HashListTable {
  std::unique_ptr<HashListEntry[]> entries;
  uint32_t count = 0;
  bool loaded = false;  // the list was read whole (it may still hold no record)
};

// Reads a hash list from file, positioned at its first byte, of which
// available bytes may be read (the payload entry's size, or the file's).
// Returns an empty table, with loaded false, when the data is not a usable
// list: short header, unknown magic, more records than the available bytes
// hold (nothing is allocated then), records read short, a name without its
// terminator, or a name longer than 247 bytes in UTF-8; also when memory
// runs out. A whole list of no records is loaded, with count 0.
HashListTable LoadHashList(CFileDX& file, uint64_t available);

// The first entry whose name's final component equals the stored name of a
// payload entry, both compared in normal form (UTF-8, ASCII letters lowered);
// null when none does. A stored name with a folder part matches nothing.
const HashListEntry* FindHashListEntry(const HashListTable& table, const char* storedName);

// Drops from the installed hash list (installFolder\TLM.hvl) every record
// whose name no longer names an existing file or folder, keeping the layout,
// the reserved field, the order and the bytes of the records that stay. The
// list is rewritten through a temporary sibling, so any failure leaves it as
// it was; a missing or unusable list is left alone. True when the list was
// rewritten.
bool PruneInstalledHashList(const char16_t* installFolder);

// The same in the open install folder (platform/folder.h): every file is
// reached through folders opened without following a link; a record behind
// a link in the way cannot be checked and stays.
bool PruneInstalledHashListIn(OsFolder installFolder);
