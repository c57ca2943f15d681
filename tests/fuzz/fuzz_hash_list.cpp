// The hash list in both layouts: loading (from all of its bytes or from
// fewer than the file holds), looking records up by a payload entry's
// stored name, and pruning an installed list in a scratch folder.
//
// Input: one control byte, then the list's bytes. Control bits 0-1: 1 puts
// the long magic over the first 8 bytes, 2 the short one; bits 2-3: how many
// bytes the loader may read (all, all but one, half, all but a record);
// bits 4-6: which records' files exist for the prune; bit 7: the installed
// list is read-only.
//
// Oracles: the loader's verdict and records against an independent reading
// of the bytes; every record is found by its own final component, in any
// case, and never by a name with a folder part; the prune keeps exactly the
// records whose files exist, byte for byte and in order, under the same
// header, or leaves the list untouched, and never leaves its sibling behind.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "payload/byte_order.h"
#include "payload/file_dx.h"
#include "payload/hash_list.h"
#include "tests/fuzz/fuzz_support.h"
#include "text/text_codec.h"

namespace fs = std::filesystem;

namespace {

struct Expected {
  bool wellFormed = false;  // header, records and terminators all there
  uint32_t recordSize = 0;
  uint32_t count = 0;
};

Expected ReadIndependently(const std::string& bytes, uint64_t available) {
  Expected expected;
  if (bytes.size() < 16 || available < 16) return expected;
  if (std::memcmp(bytes.data(), "TLH_V2__", 8) == 0) {
    expected.recordSize = 256;
  } else if (std::memcmp(bytes.data(), "TLH_____", 8) == 0) {
    expected.recordSize = 64;
  } else {
    return expected;
  }
  expected.count = LoadLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + 12);
  uint64_t end = 16 + uint64_t{expected.count} * expected.recordSize;
  if (end > available || end > bytes.size()) return expected;
  for (uint32_t i = 0; i < expected.count; ++i) {
    if (std::memchr(bytes.data() + 16 + size_t{i} * expected.recordSize, 0, expected.recordSize - 8) == nullptr) {
      return expected;
    }
  }
  expected.wellFormed = true;
  return expected;
}

const char* RecordName(const std::string& bytes, const Expected& list, uint32_t index) {
  return bytes.data() + 16 + size_t{index} * list.recordSize;
}

std::string Lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return text;
}

// Names the prune check can predict: plain ASCII file names, no folders.
bool IsSimpleName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '.';
    if (!ok) return false;
  }
  std::string lowered = Lowered(name);
  return lowered != "tlm.hvl" && lowered != "tlm.hvl.new";
}

void CheckLoad(const std::string& bytes, const fs::path& file, uint64_t available) {
  CFileDX input;
  FUZZ_CHECK(input.OpenRead(fuzz::Core(file).c_str()) == 1, "cannot open the list");
  HashListTable table = LoadHashList(input, available);
  Expected expected = ReadIndependently(bytes, available);
  if (!expected.wellFormed) {
    FUZZ_CHECK(table.count == 0 && table.entries == nullptr, "a damaged list loaded");
    return;
  }
  // Names are recoded to UTF-8, which may not fit; ASCII names always do.
  bool allAscii = true;
  for (uint32_t i = 0; i < expected.count; ++i) {
    allAscii = allAscii && DetectEncoding(RecordName(bytes, expected, i)) == ENCODING_ASCII;
  }
  if (allAscii) FUZZ_CHECK(table.count == expected.count, "a well-formed list of ASCII names did not load");
  if (table.count == 0) return;
  FUZZ_CHECK(table.count == expected.count, "record count");
  for (uint32_t i = 0; i < table.count; ++i) {
    const HashListEntry& entry = table.entries[i];
    const char* stored = RecordName(bytes, expected, i);
    FUZZ_CHECK(std::memchr(entry.name, 0, sizeof entry.name) != nullptr, "record name without terminator");
    FUZZ_CHECK(std::memcmp(entry.hash.bytes, stored + expected.recordSize - 8, 8) == 0, "record hash");
    if (DetectEncoding(stored) != ENCODING_LEGACY) {
      FUZZ_CHECK(std::strcmp(entry.name, stored) == 0, "a UTF-8 or ASCII name changed on loading");
    }
  }

  // Every record is found by its final component, any case: the first
  // record with that component.
  for (uint32_t i = 0; i < table.count && i < 16; ++i) {
    std::string name = table.entries[i].name;
    if (DetectEncoding(name.c_str()) != ENCODING_ASCII || name.find(':') != std::string::npos) continue;
    size_t separator = name.find_last_of("\\/");
    std::string final = separator == std::string::npos ? name : name.substr(separator + 1);
    if (final.empty() || final.size() > 200) continue;
    for (const std::string& key : {final, Lowered(final)}) {
      const HashListEntry* found = FindHashListEntry(table, key.c_str());
      FUZZ_CHECK(found != nullptr, "record " + std::to_string(i) + " not found by " + fuzz::Hex(key));
      FUZZ_CHECK(found <= &table.entries[i], "a later record found first");
      std::string foundName = found->name;
      size_t foundSeparator = foundName.find_last_of("\\/");
      std::string foundFinal = foundSeparator == std::string::npos ? foundName : foundName.substr(foundSeparator + 1);
      FUZZ_CHECK(Lowered(foundFinal) == Lowered(final), "found " + fuzz::Hex(foundName) + "for " + fuzz::Hex(key));
    }
    std::string withFolder = "sub\\" + final;
    FUZZ_CHECK(FindHashListEntry(table, withFolder.c_str()) == nullptr, "a name with a folder part matched");
  }
}

void CheckPrune(const std::string& bytes, uint8_t existMask, bool readOnly) {
  static const fs::path folder = fuzz::ScratchRoot() / "prune";
  fuzz::ResetFolder(folder);
  fs::path list = folder / "TLM.hvl";
  fuzz::WriteWhole(list, bytes.data(), bytes.size());
  Expected expected = ReadIndependently(bytes, bytes.size());
  // Files for some of the records with plain names; the rest are missing.
  // A record that names a made file in another case of letters is left
  // unjudged: whether it exists is the layer's rule for case.
  std::set<std::string> made;
  std::set<std::string> madeLowered;
  uint32_t judged = expected.wellFormed ? std::min<uint32_t>(expected.count, 64) : 0;
  for (uint32_t i = 0; i < judged; ++i) {
    std::string name = RecordName(bytes, expected, i);
    if (!IsSimpleName(name) || (existMask >> (i % 3) & 1) == 0) continue;
    fuzz::WriteWhole(folder / name, "x", 1);
    made.insert(name);
    madeLowered.insert(Lowered(name));
  }
  std::vector<int> exists(judged, -1);  // -1 unjudged, 0 missing, 1 there
  for (uint32_t i = 0; i < judged; ++i) {
    std::string name = RecordName(bytes, expected, i);
    if (!IsSimpleName(name)) continue;
    if (made.count(name) != 0) {
      exists[i] = 1;
    } else if (madeLowered.count(Lowered(name)) == 0) {
      exists[i] = 0;
    }
  }
  if (readOnly) fuzz::SetReadOnly(list);

  bool rewritten = PruneInstalledHashList(fuzz::Core(folder).c_str());
  FUZZ_CHECK(!fuzz::Exists(folder / "TLM.hvl.new"), "the prune left its sibling behind");
  std::vector<uint8_t> after = fuzz::ReadWhole(list);
  FUZZ_CHECK(fuzz::IsReadOnly(list) == readOnly, "the list's read-only attribute changed");
  if (!rewritten) {
    FUZZ_CHECK(std::string(after.begin(), after.end()) == bytes, "a failed prune changed the list");
    FUZZ_CHECK(!expected.wellFormed || readOnly, "a well-formed, writable list was not rewritten");
    return;
  }
  FUZZ_CHECK(expected.wellFormed && !readOnly, "a list that cannot be used, or is read-only, was rewritten");
  FUZZ_CHECK(after.size() >= 16 && std::memcmp(after.data(), bytes.data(), 12) == 0, "the header changed");
  uint32_t kept = LoadLe32(after.data() + 12);
  FUZZ_CHECK(after.size() == 16 + size_t{kept} * expected.recordSize, "size of the pruned list");
  // The kept records are a subsequence of the old ones, byte for byte.
  uint32_t next = 0;
  for (uint32_t k = 0; k < kept; ++k) {
    const uint8_t* record = after.data() + 16 + size_t{k} * expected.recordSize;
    while (next < expected.count &&
           std::memcmp(RecordName(bytes, expected, next), record, expected.recordSize) != 0) {
      FUZZ_CHECK(next >= exists.size() || exists[next] != 1, "record " + std::to_string(next) + " of an existing file dropped");
      ++next;
    }
    FUZZ_CHECK(next < expected.count, "a kept record that was not in the list");
    FUZZ_CHECK(next >= exists.size() || exists[next] != 0, "record " + std::to_string(next) + " of a missing file kept");
    ++next;
  }
  for (; next < expected.count; ++next) {
    FUZZ_CHECK(next >= exists.size() || exists[next] != 1, "record " + std::to_string(next) + " of an existing file dropped");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path file = fuzz::ScratchRoot() / "list.bin";
  fuzz::Reader reader(data, size);
  uint8_t control = reader.U8();
  std::string bytes(reader.Rest());
  if ((control & 3) == 1 && bytes.size() >= 8) std::memcpy(bytes.data(), "TLH_V2__", 8);
  if ((control & 3) == 2 && bytes.size() >= 8) std::memcpy(bytes.data(), "TLH_____", 8);
  fuzz::WriteWhole(file, bytes.data(), bytes.size());

  uint64_t available = bytes.size();
  switch (control >> 2 & 3) {
    case 1:
      available = available > 0 ? available - 1 : 0;
      break;
    case 2:
      available /= 2;
      break;
    case 3:
      available = available > 64 ? available - 64 : 0;
      break;
  }
  CheckLoad(bytes, file, available);
  CheckPrune(bytes, static_cast<uint8_t>(control >> 4 & 7), (control & 0x80) != 0);
  return 0;
}
