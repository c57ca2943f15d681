// The whole update run: a patch built from the fuzz input with the
// toolkit's own writers (so that most inputs get past the container and the
// hash list into planning, extraction, the commit and the records), a few
// bytes of it then flipped, applied by RunUpdateFrom with a scripted
// interface to an install folder that the input lays out too.
//
// Input, front to back (zeros past the end):
//   flags      bit 0 short container layout, 1 short hash-list layout,
//              2 no hash list in the payload, 3 hash list last instead of
//              first, 4 an uninstall list in the folder, 5 an installed
//              hash list, 6 a "data" sub-folder, 7 flip bytes at the end
//   ui         bits 0-5: the interface call at which bits 6-7 act
//              (1 cancel, 2 close, 3 quit)
//   count      entries, modulo 7
//   per entry  name selector (below 200: a name from the table below; else
//              a length byte and raw bytes), entry flags (bit 0 listed, 1
//              record names it inside "data\", 2 record hash wrong, 3 an
//              original exists, 4 which is read-only, 5 bytes from the input
//              rather than a pattern, 6 stored name in capitals, 7 something
//              planted at its temporary name: a link out of the folder or a
//              read-only leftover), a size byte (pattern sizes are scaled),
//              and the bytes when taken from the input
//   uninstall  a length byte and the list's text
//   flips      (u16 position, u8 mask) triples, at most three
//
// Oracles, after every run:
//   - nothing outside the install folder was created, changed or removed:
//     every path of every operation that changes something lies below it
//     (no "." or ".." component), and the files beside it are as they were;
//   - a run that did not commit (any result but UPDATE_OK and
//     UPDATE_E_UNINSTALL_LIST) left the folder exactly as it was (only
//     things at the names it writes through, temporaries and the records'
//     rewrite siblings, may be gone);
//   - a run that committed left only the names that were there and the
//     names of its entries: no temporary, backup, rewrite sibling or
//     journal; every entry's file holds exactly the entry's bytes as they
//     are in the (flipped) patch, and every entry with a hash-list record
//     matches the record's fingerprint; files the payload does not name are
//     untouched; UPDATE_OK means the uninstall list names every entry
//     (when the old list's names are ones that read back as written).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "install/uninstall_list.h"
#include "payload/byte_order.h"
#include "payload/content_hash.h"
#include "payload/hash_list.h"
#include "payload/payload_container.h"
#include "platform/fault.h"
#include "platform/registry.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/scripted_ui.h"
#include "text/text_codec.h"
#include "tools/patchkit/container_writer.h"
#include "tools/patchkit/hash_list_writer.h"
#include "update/journal.h"
#include "update/payload_plan.h"
#include "update/update_run.h"

namespace fs = std::filesystem;

namespace {

// Names that reach the run's checks: plain and nested names, names of the
// records it rewrites, its own files, temporaries of other entries, ways
// out of the folder, devices, names Windows refuses, and names in code page
// 932 (one with 0x5C, '\', as its trail byte) and UTF-8.
const char* const kNames[] = {
    "data01100.arc",
    "data01110.arc",
    "DATA01100.ARC",
    "readme.txt",
    "TLM.hvl",
    "tlm.HVL",
    "uninst.lst",
    "data\\sub.dat",
    "data/sub.dat",
    "a",
    "a.tmp",
    "a.tmp.tmp",
    "..\\outside\\sentinel",
    "../evil.txt",
    "C:\\evil.txt",
    "\\evil.txt",
    "con",
    "CON.txt",
    "nul ",
    "COM1",
    "lpt0.dat",
    "conin$",
    "COM\xC2\xB9",
    "x.lumetria-bak",
    "lumetria-patch.journal",
    "TLM.hvl.new",
    "uninst.lst.new",
    "trailing.",
    "trailing ",
    "a:b",
    "data\\..\\a",
    "\x95\x5C.dat",
    "\x83\x5C\x83\x74\x83\x67.bin",
    "\xE6\x97\xA5\xE6\x9C\xAC.dat",
    "data",
    "data\\",
    "missing\\deep.dat",
    "ab*.txt",
    "data\\TLM.hvl",
    "sub.dat",
};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

struct Entry {
  std::string name;        // as stored
  std::string recordName;  // the record's, when listed
  std::vector<uint8_t> bytes;
  uint8_t flags = 0;
};

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

ContentHash HashOf(const uint8_t* data, size_t size) {
  ContentHash hash;
  UpdateContentHash(&hash, data, static_cast<uint32_t>(size));
  return hash;
}

std::string Lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return text;
}

// A narrow name as the POSIX layer spells it on disk: UTF-8, '/' between
// components. Empty when it does not convert.
std::string DiskName(const std::string& name) {
  std::unique_ptr<char16_t[]> wide = NarrowToWide(name.c_str());
  if (!wide) return {};
  std::unique_ptr<char[]> utf8 = WideToNarrow(wide.get(), TARGET_UTF8);
  if (!utf8) return {};
  std::string disk = utf8.get();
  std::replace(disk.begin(), disk.end(), '\\', '/');
  return disk;
}

// A relative name that stays inside the folder, for laying things out.
bool StaysInside(const std::string& disk) {
  if (disk.empty() || disk.front() == '/' || disk.back() == '/' || disk.find(':') != std::string::npos) return false;
  size_t start = 0;
  for (size_t i = 0; i <= disk.size(); ++i) {
    if (i < disk.size() && disk[i] != '/') continue;
    std::string component = disk.substr(start, i - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = i + 1;
  }
  return true;
}

// What a folder holds, by relative path: kind, bytes or link target, and
// the read-only attribute.
struct Item {
  char kind = 'f';  // f file, d folder, l link
  std::string content;
  bool readOnly = false;
  friend bool operator==(const Item&, const Item&) = default;
};
using Snapshot = std::map<std::string, Item>;

Snapshot Take(const fs::path& folder) {
  Snapshot snapshot;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    std::string name = it->path().lexically_relative(folder).generic_string();
    Item item;
    struct stat info {};
    FUZZ_CHECK(lstat(it->path().c_str(), &info) == 0, "cannot stat " + name);
    if (S_ISLNK(info.st_mode)) {
      item.kind = 'l';
      item.content = fs::read_symlink(it->path(), error).string();
    } else if (S_ISDIR(info.st_mode)) {
      item.kind = 'd';
    } else {
      std::vector<uint8_t> bytes = fuzz::ReadWhole(it->path());
      item.content.assign(bytes.begin(), bytes.end());
      item.readOnly = (info.st_mode & 0222) == 0;
    }
    snapshot[name] = std::move(item);
  }
  FUZZ_CHECK(!error, "cannot list " + folder.string() + ": " + error.message());
  return snapshot;
}

// The trace of the run: every path that an operation changing something
// names must lie below the install folder.
struct TraceCheck {
  std::u16string folder;
  std::string violation;
};

bool IsBelow(const std::u16string& path, const std::u16string& folder) {
  if (path == folder) return true;
  if (path.size() <= folder.size() + 1 || path.compare(0, folder.size(), folder) != 0) return false;
  if (path[folder.size()] != u'\\' && path[folder.size()] != u'/') return false;
  size_t start = folder.size() + 1;
  for (size_t i = start; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != u'\\' && path[i] != u'/') continue;
    std::u16string component = path.substr(start, i - start);
    if (component.empty() || component == u"." || component == u"..") return false;
    start = i + 1;
  }
  return true;
}

void OnTrace(const OsTraceEvent& event, void* context) {
  auto* check = static_cast<TraceCheck*>(context);
  // The journal is a value kept beside the registry, not a file.
  if (event.op == OsOp::WriteValue || event.op == OsOp::DeleteValue) return;
  for (const char16_t* path : {event.path, event.path2}) {
    if (path == nullptr || IsBelow(path, check->folder) || !check->violation.empty()) continue;
    std::unique_ptr<char[]> narrow = WideToNarrow(path, TARGET_UTF8);
    check->violation = "operation " + std::to_string(static_cast<int>(event.op)) + " on " +
                       (narrow ? narrow.get() : "?") + ", outside the install folder";
  }
}

// The entry's bytes read from the container by its directory, with no code
// of the reader's; false when the directory is not one the reader accepts
// or the bytes are not all in the file.
bool EntryBytes(const std::vector<uint8_t>& container, uint32_t index, std::string* bytes) {
  if (container.size() < 16) return false;
  uint32_t count = LoadLe32(container.data() + 12);
  bool isLong = std::memcmp(container.data(), "VORNAK ARC20", 12) == 0;
  uint32_t recordSize = isLong ? 128 : 32;
  uint32_t nameSize = isLong ? 96 : 16;
  if (index >= count || count > 32 || container.size() < 16 + size_t{count} * recordSize) return false;
  const uint8_t* record = container.data() + 16 + size_t{index} * recordSize;
  uint64_t start = 16 + uint64_t{count} * recordSize + LoadLe32(record + nameSize);
  uint64_t size = LoadLe32(record + nameSize + 4);
  // No bytes are in any file, wherever the directory says they start.
  if (size != 0 && start + size > container.size()) return false;
  bytes->assign(size == 0 ? "" : reinterpret_cast<const char*>(container.data() + start), size);
  return true;
}

// The snapshot entry for a relative name: its own spelling, else one that
// differs only in the case of ASCII letters.
const Item* Find(const Snapshot& snapshot, const std::string& name) {
  auto exact = snapshot.find(name);
  if (exact != snapshot.end()) return &exact->second;
  for (const auto& [other, item] : snapshot) {
    if (Lowered(other) == Lowered(name)) return &item;
  }
  return nullptr;
}

// How often each result came out, printed at exit when FUZZ_RESULTS is set:
// a check that the inputs reach the commit and each way of failing.
std::map<UpdateResult, uint64_t> g_results;

void PrintResults() {
  for (const auto& [result, times] : g_results) {
    std::fprintf(stderr, "result 0x%08X: %llu runs\n", static_cast<unsigned>(result),
                 static_cast<unsigned long long>(times));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::getenv("FUZZ_RESULTS") != nullptr) std::atexit(PrintResults);
  // The registry stand-in, and so the commit's journal, in the scratch
  // folder of this process.
  setenv(kPosixRegistryVariable, (fuzz::ScratchRoot() / "registry.reg").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path root = fuzz::ScratchRoot() / "run";
  static const fs::path patch = root / "patch.exe";
  static const fs::path game = root / "game";
  static const fs::path outside = root / "outside";
  static const std::string sentinel = "the player's own file";
  static bool laidOut = false;
  if (!laidOut) {
    fuzz::ResetFolder(root);
    fuzz::ResetFolder(outside);
    fuzz::WriteWhole(outside / "sentinel", sentinel.data(), sentinel.size());
    fuzz::WriteAt(patch, 0, "MZ", 2);
    laidOut = true;
  }

  fuzz::Reader reader(data, size);
  uint8_t flags = reader.U8();
  uint8_t ui = reader.U8();
  uint32_t count = reader.U8() % 7;
  std::vector<Entry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    Entry entry;
    uint8_t selector = reader.U8();
    if (selector < 200) {
      entry.name = kNames[selector % kNameCount];
    } else {
      entry.name = std::string(reader.Bytes(reader.U8() % 40 + 1));
      std::replace(entry.name.begin(), entry.name.end(), '\0', '_');
    }
    entry.flags = reader.U8();
    uint8_t sizeByte = reader.U8();
    if ((entry.flags & 0x20) != 0) {
      std::string_view bytes = reader.Bytes(sizeByte % 64);
      entry.bytes.assign(bytes.begin(), bytes.end());
    } else {
      entry.bytes = Pattern(size_t{sizeByte} * sizeByte / 8, i + sizeByte);
    }
    if ((entry.flags & 0x40) != 0) {
      for (char& c : entry.name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
      }
    }
    entry.recordName = (entry.flags & 0x02) != 0 ? "data\\" + entry.name : entry.name;
    entries.push_back(std::move(entry));
  }
  std::string uninstallText(reader.Bytes(reader.U8()));

  // The payload: hash list, then the entries (or the other way round).
  std::vector<HashListRecord> records;
  for (const Entry& entry : entries) {
    if ((entry.flags & 0x01) == 0) continue;
    ContentHash hash = HashOf(entry.bytes.data(), entry.bytes.size());
    if ((entry.flags & 0x04) != 0) hash.bytes[entry.bytes.size() % 8] ^= 0x40;
    records.push_back({entry.recordName, hash});
  }
  std::string error;
  std::vector<uint8_t> hashList;
  HashListLayout hashLayout = (flags & 0x02) != 0 ? HashListLayout::Short : HashListLayout::Long;
  if (!BuildHashList(records, hashLayout, 0, &hashList, &error)) return 0;
  std::vector<ContainerFile> files;
  for (const Entry& entry : entries) files.push_back({entry.name, entry.bytes});
  if ((flags & 0x04) == 0) {
    ContainerFile list{"TLM.hvl", hashList};
    if ((flags & 0x08) != 0) {
      files.push_back(list);
    } else {
      files.insert(files.begin(), list);
    }
  }
  if (files.empty() || files.size() > kPayloadMaxEntries) return 0;
  std::vector<uint8_t> container;
  ContainerLayout layout = (flags & 0x01) != 0 ? ContainerLayout::Short : ContainerLayout::Long;
  if (!BuildContainer(files, layout, &container, &error)) return 0;
  if ((flags & 0x80) != 0) {
    for (int flip = 0; flip < 3 && reader.Remaining() >= 3; ++flip) {
      uint16_t position = reader.U16();
      uint8_t mask = reader.U8();
      container[position % container.size()] ^= mask;
    }
  }
  fuzz::WriteAt(patch, kPayloadOffset, container.data(), container.size());

  // The installation.
  fuzz::ResetFolder(game);
  // A journal kept by the last input (its uninstall list could not be
  // merged) would stop this run before its commit.
  RemoveJournal(JournalValueName(fuzz::Core(game)));
  if ((flags & 0x40) != 0) fs::create_directory(game / "data");
  if ((flags & 0x10) != 0) fuzz::WriteWhole(game / "uninst.lst", uninstallText.data(), uninstallText.size());
  if ((flags & 0x20) != 0) {
    std::vector<HashListRecord> installed = {{"gone.dat", {}}, {"data01000.arc", {}}};
    for (const Entry& entry : entries) installed.push_back({entry.recordName, {}});
    std::vector<uint8_t> bytes;
    if (BuildHashList(installed, HashListLayout::Long, 7, &bytes, &error)) {
      fuzz::WriteWhole(game / "TLM.hvl", bytes.data(), bytes.size());
    }
    fuzz::WriteWhole(game / "data01000.arc", "unchanged", 9);
  }
  std::set<std::string> planted;  // names the run may remove: things at the names it writes through
  for (const Entry& entry : entries) {
    std::string disk = DiskName((entry.flags & 0x01) != 0 ? entry.recordName : entry.name);
    if (!StaysInside(disk)) continue;
    fs::path target = game / fs::path(std::u8string(disk.begin(), disk.end()));
    std::error_code ignored;
    if (!fs::is_directory(target.parent_path(), ignored)) continue;
    if ((entry.flags & 0x08) != 0 && !fuzz::Exists(target)) {
      std::vector<uint8_t> old = Pattern(entry.bytes.size() + 3, 99);
      fuzz::WriteWhole(target, old.data(), old.size());
      if ((entry.flags & 0x10) != 0) fuzz::SetReadOnly(target);
    }
    fs::path temporary = target;
    temporary += ".tmp";
    if ((entry.flags & 0x80) != 0 && !fuzz::Exists(temporary)) {
      if ((entry.flags & 0x10) != 0) {
        fuzz::WriteWhole(temporary, "leftover", 8);
        fuzz::SetReadOnly(temporary);
      } else {
        fs::create_symlink(outside / "sentinel", temporary, ignored);
      }
      planted.insert(disk + ".tmp");
    }
  }
  Snapshot before = Take(game);
  // The records' rewrite siblings are names of the run's own: a leftover
  // there (of an interrupted rewrite) is removed before the list is
  // rewritten through it.
  for (const auto& [name, item] : before) {
    if (Lowered(name) == "tlm.hvl.new" || Lowered(name) == "uninst.lst.new") planted.insert(name);
  }

  // The run.
  ResetUiState();
  ScriptedProgressUi progress;
  if ((ui >> 6) != 0) {
    static const ScriptedProgressUi::Action kActions[] = {ScriptedProgressUi::Action::Cancel,
                                                           ScriptedProgressUi::Action::Close,
                                                           ScriptedProgressUi::Action::Quit};
    progress.At((ui & 0x3F) + 1u, kActions[(ui >> 6) - 1]);
  }
  TraceCheck trace{fuzz::Core(game), {}};
  OsTraceSet(OnTrace, &trace);
  UpdateResult result = RunUpdateFrom(fuzz::Core(patch).c_str(), fuzz::Core(game).c_str(), progress);
  OsTraceSet(nullptr, nullptr);
  ResetUiState();
  ++g_results[result];

  // Nothing outside the folder.
  FUZZ_CHECK(trace.violation.empty(), trace.violation);
  FUZZ_CHECK(fuzz::ReadWhole(outside / "sentinel") == std::vector<uint8_t>(sentinel.begin(), sentinel.end()),
             "the file outside the install folder changed");
  size_t besideCount = 0;
  for (const auto& item : fs::directory_iterator(root)) {
    std::string name = item.path().filename().string();
    FUZZ_CHECK(name == "patch.exe" || name == "game" || name == "outside", "the run left " + name + " beside the folder");
    ++besideCount;
  }
  FUZZ_CHECK(besideCount == 3, "something beside the install folder is gone");
  for (const auto& item : fs::directory_iterator(outside)) {
    FUZZ_CHECK(item.path().filename() == "sentinel", "the run left " + item.path().string());
  }
  FUZZ_CHECK(fs::file_size(patch) == kPayloadOffset + container.size(), "the patch changed");

  Snapshot after = Take(game);
  bool committed = result == UPDATE_OK || result == UPDATE_E_UNINSTALL_LIST;
  if (!committed) {
    // As it was, but for what was at names the run writes through.
    for (const auto& [name, item] : before) {
      auto now = after.find(name);
      if (planted.count(name) != 0 && now == after.end()) continue;
      FUZZ_CHECK(now != after.end(), "run " + std::to_string(result) + " that did not commit removed " + name);
      FUZZ_CHECK(now->second == item, "run " + std::to_string(result) + " that did not commit changed " + name);
    }
    for (const auto& [name, item] : after) {
      FUZZ_CHECK(before.count(name) != 0, "run " + std::to_string(result) + " that did not commit left " + name);
    }
    return 0;
  }

  // The run's own reading of the patch names the files it installed.
  PayloadContainer reread;
  FUZZ_CHECK(reread.Open(fuzz::Core(patch).c_str()) == UPDATE_OK, "a committed patch that does not open");
  HashListTable table;
  FUZZ_CHECK(LoadPayloadHashList(reread, &table), "a committed patch whose hash list does not load");
  std::vector<PlannedEntry> plans;
  uint32_t bad = 0;
  FUZZ_CHECK(PlanPayloadEntries(reread, table, &plans, &bad) == PlanProblem::None, "a committed patch that plans badly");
  std::set<std::string> expectedNames;  // lowered
  for (const auto& [name, item] : before) expectedNames.insert(Lowered(name));
  std::set<std::string> installedNames;  // lowered
  for (size_t i = 0; i < plans.size(); ++i) {
    const PlannedEntry& plan = plans[i];
    std::unique_ptr<char[]> utf8 = WideToNarrow(plan.name.c_str(), TARGET_UTF8);
    FUZZ_CHECK(utf8 != nullptr, "planned name does not convert");
    std::string disk = utf8.get();
    std::replace(disk.begin(), disk.end(), '\\', '/');
    expectedNames.insert(Lowered(disk));
    installedNames.insert(Lowered(disk));
    std::string lowered = Lowered(disk);
    if (lowered == "tlm.hvl" || lowered == "uninst.lst") continue;
    std::string bytes;
    FUZZ_CHECK(EntryBytes(container, static_cast<uint32_t>(i), &bytes),
               "entry " + std::to_string(i) + " committed with bytes that are not in the patch");
    const Item* installed = Find(after, disk);
    FUZZ_CHECK(installed != nullptr && installed->kind == 'f', "entry " + disk + " is not installed");
    FUZZ_CHECK(installed->content == bytes, "entry " + disk + " does not hold the entry's bytes");
    if (plan.record != nullptr) {
      ContentHash hash = HashOf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      FUZZ_CHECK(hash == plan.record->hash, "entry " + disk + " installed against its hash-list record");
    }
  }
  // An uninstall list that is there but could not be merged keeps the
  // journal, in its installed state, and the originals' backups, for the
  // next start; nothing else is left.
  Journal journal;
  JournalLookup pending = ReadJournal(fuzz::Core(game), &journal);
  FUZZ_CHECK(pending == JournalLookup::None || (pending == JournalLookup::Found && result == UPDATE_E_UNINSTALL_LIST &&
                                                journal.state == kJournalInstalled),
             "a committed run left a journal it should not have");
  for (const auto& [name, item] : after) {
    bool backup = pending == JournalLookup::Found && name.find(".lumetria-bak") != std::string::npos;
    FUZZ_CHECK(backup || expectedNames.count(Lowered(name)) != 0, "the run left " + name + " in the folder");
  }
  for (const auto& [name, item] : before) {
    std::string lowered = Lowered(name);
    auto now = after.find(name);
    if (planted.count(name) != 0) {
      FUZZ_CHECK(now == after.end() || now->second == item, "the run left " + name + " changed");
      continue;
    }
    if (installedNames.count(lowered) != 0 || lowered == "tlm.hvl" || lowered == "uninst.lst") continue;
    FUZZ_CHECK(now != after.end() && now->second == item, "the run changed " + name + ", which it does not install");
  }
  // The merged list names every entry, read as the uninstaller reads it;
  // but names of the old list that are not well-formed UTF-8 or hold a line
  // break are written as they are and can take the next line with them when
  // read back (see fuzz_uninstall_list.cpp), so then the check is left out.
  // An entry installed as the list itself is merged instead of the old one.
  bool listReadsBack = false;
  const Item* old = Find(before, "uninst.lst");
  if (installedNames.count("uninst.lst") == 0 && old != nullptr && old->kind == 'f') {
    UninstallNames plain;
    UninstallNames dollar;
    std::string text = old->content.substr(0, old->content.find('\0'));
    listReadsBack = ParseUninstallList(text.c_str(), &plain, &dollar);
    for (const UninstallNames* names : {&plain, &dollar}) {
      for (const std::string& name : *names) {
        listReadsBack = listReadsBack && fuzz::IsValidUtf8(name) && name.find_first_of("\r\n") == std::string::npos;
      }
    }
  }
  if (result == UPDATE_OK && listReadsBack) {
    const Item* list = Find(after, "uninst.lst");
    FUZZ_CHECK(list != nullptr && list->kind == 'f', "UPDATE_OK without an uninstall list");
    UninstallNames plain;
    UninstallNames dollar;
    FUZZ_CHECK(ParseUninstallList(list->content.c_str(), &plain, &dollar), "the merged list does not parse");
    std::set<std::string> listed(plain.begin(), plain.end());
    listed.insert(dollar.begin(), dollar.end());
    for (const PlannedEntry& plan : plans) {
      std::unique_ptr<char[]> utf8 = WideToNarrow(plan.name.c_str(), TARGET_UTF8);
      LowerCaseNarrow(utf8.get());
      // The list's lines lose their leading blanks when read, so a name
      // that starts with one is listed without it.
      const char* name = utf8.get();
      while (*name == ' ' || *name == '\t') ++name;
      FUZZ_CHECK(listed.count(name) != 0, std::string("the uninstall list misses ") + utf8.get());
    }
  }
  return 0;
}
