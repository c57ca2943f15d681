// The journal of a commit: what an interrupted update needs so that the next
// start can finish it or put everything back.
//
// It is kept where only the machine's administrators can write: a value of
// the game's own registry key, beside the install folder's value
// (platform/registry.h's protected values), never in the install folder,
// which ordinary users can often write. One value per install folder: its
// name carries the fingerprint of the folder's normal form, and the journal
// names the folder it belongs to. Every change replaces the whole value and
// is on the disk when the call returns.
//
// Layout (integers little-endian):
//   0   8 bytes  magic "LMPJRNL2"
//   8   u32      body length in bytes
//   12  8 bytes  ContentHash of the body
//   20  body: u32 state, u32 records result (the UpdateResult of the
//       records step, once kJournalRecorded), u16 folder length in UTF-16
//       units and the folder, u32 entry count, then per entry
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

// The journal's file name of earlier versions, in the install folder. It is
// never read; no payload entry may have this name.
inline constexpr char16_t kJournalFileName[] = u"lumetria-patch.journal";

// The key that holds the journals, below HKEY_LOCAL_MACHINE: the game's own.
inline constexpr char16_t kJournalRegistryKey[] = u"Software\\PELWIN SOFT\\Lumetria";

// The states, in the order a commit goes through them:
//  - kJournalInstalling: some files may still be old; every original is
//    kept in its backup.
//  - kJournalInstalled: every file is new, on the disk; the records (the
//    installed hash list and the uninstall list) are still to be brought
//    up to date.
//  - kJournalRecorded: the records are done (their outcome kept as records
//    result); only the backups and the temporary files are left to remove.
inline constexpr uint32_t kJournalInstalling = 1;
inline constexpr uint32_t kJournalInstalled = 2;
inline constexpr uint32_t kJournalRecorded = 3;
// Nothing the run writes comes near this; a larger value is not a journal.
inline constexpr uint32_t kJournalMaxBytes = 1u << 20;

struct JournalEntry {
  std::u16string name;
  uint32_t originalAttributes = 0xFFFFFFFF;
  uint32_t size = 0;
  uint32_t backupNumber = 0;
  ContentHash hash;
};

struct Journal {
  std::u16string folder;  // the install folder, as the run was given it
  uint32_t state = kJournalInstalling;
  uint32_t recordsResult = 0;  // UPDATE_OK or UPDATE_E_UNINSTALL_LIST
  std::vector<JournalEntry> entries;
};

// The journal's bytes.
std::vector<uint8_t> EncodeJournal(const Journal& journal);

// Reads a journal back; false when the bytes are not a whole journal
// (damaged, of an unknown state, or something else).
bool DecodeJournal(const uint8_t* bytes, size_t size, Journal* journal);

// The name of the value that holds the journal of the install folder.
std::u16string JournalValueName(const std::u16string& folder);

enum class JournalLookup {
  None,        // no journal for this folder
  Found,       // *journal is this folder's, as the run wrote it
  Untrusted,   // there is one, but someone else could have written it: left alone
  Damaged,     // a value of ours that is not a whole journal of this folder
  Unreadable,  // it cannot be read now
};

// The journal of the install folder, if any.
JournalLookup ReadJournal(const std::u16string& folder, Journal* journal);

// Stores encoded journal bytes as the value valueName, durably; allocates
// nothing. False on failure.
bool StoreJournal(const std::u16string& valueName, const std::vector<uint8_t>& bytes);

// Stores the journal as its folder's value, durably. False on failure.
bool WriteJournal(const Journal& journal);

// Removes the journal value valueName, durably. True when none is left.
bool RemoveJournal(const std::u16string& valueName);
