// How the update run's records scale with the size of the game: the time of
// the uninstall-list merge, the installed hash-list prune and the version
// check for installations of 1,000, 10,000 and 100,000 names, and the cost
// per name. scripts/bench scale builds and runs it.
//
// Each size gets an install folder of its own under the work folder:
//  - uninst.lst naming every file, one list in code page 932 with CR LF line
//    ends and one in UTF-8 with LF line ends (a third of the names Japanese,
//    one with a trail byte that is a backslash), each with ASCII capitals,
//    a repeat of an earlier name in other case every 20th line and a '$' line
//    every 100th (every other one of them repeated);
//  - TLM.hvl (256-byte records) naming the same files, code page 932, of
//    which every tenth does not exist, so that the prune drops it;
//  - the files themselves (empty), a hundred to a sub-folder;
//  - data01110.arc, 1 MiB with the fingerprint the version check accepts.
// The merge adds 100 run names, half of them already listed in other case.
// Before each timed merge or prune the file it rewrites is written afresh
// (not timed); the version check reads the same archive each round. The
// times include flushing the rewritten file and its folder.
//
//   scale_bench [--names 1000,10000,100000] [--rounds 9] [--work FOLDER] [--keep]
//
// An installation of one name is always measured first: its times are the
// operations' fixed part, which the table takes off in its last column.
// Without --work the folder is a new one under the system's temporary
// folder; it is removed at the end unless --keep is given.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "install/uninstall_list.h"
#include "install/version_check.h"
#include "payload/byte_order.h"
#include "payload/hash_list.h"
#include "tests/tools/hash_suffix.h"
#include "text/text_codec.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kArchiveBytes = size_t{1} << 20;
constexpr uint32_t kRunNames = 100;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "scale_bench: %s\n", what.c_str());
  std::exit(1);
}

std::u16string Utf16(const std::string& utf8) {
  std::unique_ptr<char16_t[]> wide = NarrowToWide(utf8.c_str());
  if (!wide) Fail("cannot convert " + utf8);
  return wide.get();
}

std::string Narrow(const std::u16string& wide, int32_t target) {
  std::unique_ptr<char[]> narrow = WideToNarrow(wide.c_str(), target);
  if (!narrow) Fail("cannot convert a name");
  return narrow.get();
}

std::string Digits(uint32_t value, int width) {
  std::string text = std::to_string(value);
  return std::string(text.size() < static_cast<size_t>(width) ? width - text.size() : 0, '0') + text;
}

// The i-th installed file, relative to the install folder, '\' between its
// parts: ASCII, Japanese, and Japanese with a code page 932 trail byte that
// is a backslash (表 is 0x95 0x5C), in turn.
std::u16string FileName(uint32_t i) {
  std::string folder = Digits(i / 100, 4);
  std::string file = Digits(i, 6);
  switch (i % 3) {
    case 0: return Utf16("Data\\Folder" + folder + "\\File" + file + ".ARC");
    case 1: return Utf16("ボイス\\キャラ" + folder + "\\台詞" + file + ".ogg");
    default: return Utf16("画像\\表示" + folder + "\\Bg" + file + ".PNG");
  }
}

std::u16string Upper(std::u16string name) {
  for (char16_t& c : name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  }
  return name;
}

fs::path NativePath(const fs::path& folder, std::u16string relative) {
  std::replace(relative.begin(), relative.end(), u'\\', u'/');
  return folder / fs::path(relative);
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) Fail("cannot write " + path.string());
}

// The uninstall list's text for names 0 to count - 1 in one encoding.
std::string UninstallListText(uint32_t count, int32_t target, const char* lineEnd) {
  std::string text;
  for (uint32_t i = 0; i < count; ++i) {
    text += Narrow(FileName(i), target) + lineEnd;
    if (i % 20 == 19) text += Narrow(Upper(FileName(i - 7)), target) + lineEnd;
    if (i % 100 == 99) {
      std::string dollar = "$Shortcut\\Lumetria" + Digits(i / 100, 4) + ".lnk";
      text += dollar + lineEnd;
      if (i % 200 == 199) text += "$SHORTCUT\\LUMETRIA" + Digits(i / 100, 4) + ".LNK" + lineEnd;
    }
  }
  return text + '\0';
}

// The installed hash list: 256-byte records, every tenth naming a file that
// is not there.
std::string HashListBytes(uint32_t count) {
  std::string bytes(kHashListHeaderSize + size_t{count} * kHashListLongRecordSize, '\0');
  std::memcpy(bytes.data(), kHashListMagicLong, 8);
  StoreLe32(reinterpret_cast<uint8_t*>(bytes.data()) + 12, count);
  for (uint32_t i = 0; i < count; ++i) {
    std::string name = Narrow(FileName(i), TARGET_LEGACY);
    if (i % 10 == 9) name += ".gone";
    char* record = bytes.data() + kHashListHeaderSize + size_t{i} * kHashListLongRecordSize;
    std::memcpy(record, name.c_str(), name.size() + 1);
    for (int k = 0; k < 8; ++k) record[248 + k] = static_cast<char>(i >> (k % 4 * 8));
  }
  return bytes;
}

struct Installation {
  fs::path folder;
  std::u16string core;  // the folder as the core spells it
  std::string cp932List;
  std::string utf8List;
  std::string hashList;
  std::vector<std::u16string> run;
};

Installation MakeInstallation(const fs::path& folder, uint32_t count) {
  Installation install;
  install.folder = folder;
  install.core = folder.u16string();
  fs::create_directories(folder);
  for (uint32_t i = 0; i < count; ++i) {
    fs::path path = NativePath(folder, FileName(i));
    if (i % 100 < 3) fs::create_directories(path.parent_path());
    WriteFile(path, "");
  }
  std::vector<uint8_t> archive(kArchiveBytes);
  std::mt19937 random(count);
  for (uint8_t& byte : archive) byte = static_cast<uint8_t>(random());
  if (!AppendHashSuffix(&archive, EXPECTED_ARCHIVE_HASH)) Fail("no archive with the expected fingerprint");
  WriteFile(NativePath(folder, kVersionArchiveName), std::string(archive.begin(), archive.end()));

  install.cp932List = UninstallListText(count, TARGET_LEGACY, "\r\n");
  install.utf8List = UninstallListText(count, TARGET_UTF8, "\n");
  install.hashList = HashListBytes(count);
  for (uint32_t k = 0; k < kRunNames; ++k) {
    if (k % 2 == 0) {
      install.run.push_back(Upper(FileName(k * (count / kRunNames))));
    } else {
      install.run.push_back(u"Patch\\New" + Utf16(Digits(k, 3)) + u".arc");
    }
  }
  return install;
}

using Clock = std::chrono::steady_clock;

template <typename Prepare, typename Operation>
std::vector<double> Time(uint32_t rounds, Prepare prepare, Operation operation) {
  std::vector<double> seconds;
  for (uint32_t r = 0; r < rounds; ++r) {
    prepare();
    Clock::time_point start = Clock::now();
    operation();
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds;
}

struct Row {
  const char* operation;
  uint32_t names;
  size_t bytes;
  std::vector<double> seconds;  // sorted
  bool perName = true;          // false: the time does not depend on the names
};

std::string Grouped(uint64_t value) {
  std::string text = std::to_string(value);
  for (int i = static_cast<int>(text.size()) - 3; i > 0; i -= 3) text.insert(static_cast<size_t>(i), ",");
  return text;
}

std::string Seconds(double seconds) {
  char text[32];
  if (seconds >= 1) {
    std::snprintf(text, sizeof text, "%.2f s", seconds);
  } else {
    std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
  }
  return text;
}

double Median(const std::vector<double>& sorted) { return sorted[sorted.size() / 2]; }

// One table, grouped by operation. Each group starts with the one-name
// installation, whose time is the operation's fixed part (opening, writing
// and flushing the file and its folder); "beyond 1 name" is the rest of
// the time per name.
void PrintTable(const std::vector<Row>& rows, uint32_t rounds) {
  std::printf("\n%u rounds each; per name: the median divided by the names; beyond 1 name: the same after\n"
              "taking off the median of the one-name installation\n",
              rounds);
  std::printf("%-22s %9s %9s %11s %11s %10s %15s\n", "operation", "names", "file", "median", "min", "per name",
              "beyond 1 name");
  const Row* first = nullptr;
  for (const Row& row : rows) {
    if (first == nullptr || std::strcmp(first->operation, row.operation) != 0) {
      if (first != nullptr) std::printf("\n");
      first = &row;
    }
    double median = Median(row.seconds);
    char perName[32] = "";
    char beyond[32] = "";
    if (&row != first && row.perName) {
      std::snprintf(perName, sizeof perName, "%.2f us", median / row.names * 1e6);
      std::snprintf(beyond, sizeof beyond, "%.2f us", (median - Median(first->seconds)) / row.names * 1e6);
    }
    char size[32];
    if (row.bytes >= 1000000) {
      std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(row.bytes) / 1e6);
    } else if (row.bytes >= 1000) {
      std::snprintf(size, sizeof size, "%s KB", Grouped((row.bytes + 500) / 1000).c_str());
    } else {
      std::snprintf(size, sizeof size, "%zu B", row.bytes);
    }
    std::printf("%-22s %9s %9s %11s %11s %10s %15s\n", row.operation, Grouped(row.names).c_str(), size,
                Seconds(median).c_str(), Seconds(row.seconds.front()).c_str(), perName, beyond);
  }
}

std::vector<uint32_t> ParseCounts(const char* text) {
  std::vector<uint32_t> counts;
  for (const char* p = text; *p != 0;) {
    char* end = nullptr;
    unsigned long value = std::strtoul(p, &end, 10);
    if (end == p || value == 0 || value > 10000000) Fail(std::string("bad --names: ") + text);
    counts.push_back(static_cast<uint32_t>(value));
    p = *end == ',' ? end + 1 : end;
    if (*end != 0 && *end != ',') Fail(std::string("bad --names: ") + text);
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> counts = {1000, 10000, 100000};
  uint32_t rounds = 9;
  fs::path work;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--names" && i + 1 < argc) {
      counts = ParseCounts(argv[++i]);
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = static_cast<uint32_t>(std::max(1l, std::strtol(argv[++i], nullptr, 10)));
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: scale_bench [--names 1000,10000,100000] [--rounds 9] [--work FOLDER] [--keep]\n");
      return 2;
    }
  }
  bool ownWork = work.empty();
  if (ownWork) {
    work = fs::temp_directory_path() / ("lumetria-scale-" + std::to_string(std::random_device()()));
  }
  fs::create_directories(work);

  // The one-name installation first: the operations' fixed part.
  counts.insert(counts.begin(), 1);
  std::vector<Row> merges932, mergesUtf8, prunes, checks;
  for (uint32_t count : counts) {
    std::printf("%s names: setting up\n", Grouped(count).c_str());
    std::fflush(stdout);
    fs::path folder = work / ("names-" + std::to_string(count));
    fs::remove_all(folder);
    Installation install = MakeInstallation(folder, count);
    std::vector<const char16_t*> run;
    for (const std::u16string& name : install.run) run.push_back(name.c_str());
    run.push_back(nullptr);
    const fs::path listPath = folder / "uninst.lst";
    const fs::path hashListPath = folder / "TLM.hvl";

    std::printf("%s names: timing\n", Grouped(count).c_str());
    std::fflush(stdout);
    for (auto [list, rows, label] : {std::tuple{&install.cp932List, &merges932, "merge, code page 932"},
                                     std::tuple{&install.utf8List, &mergesUtf8, "merge, UTF-8"}}) {
      rows->push_back({label, count, list->size(),
                       Time(rounds, [&] { WriteFile(listPath, *list); },
                            [&] {
                              if (!MergeUninstallList(install.core.c_str(), run.data())) Fail("the merge failed");
                            })});
      // Every name once, the run's new names, the '$' names once.
      std::ifstream in(listPath, std::ios::binary);
      std::string merged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const auto lines = static_cast<uint64_t>(std::count(merged.begin(), merged.end(), '\n'));
      if (lines != uint64_t{count} + kRunNames / 2 + count / 100) {
        Fail("the merge wrote the wrong names");
      }
    }
    prunes.push_back({"prune TLM.hvl", count, install.hashList.size(),
                      Time(rounds, [&] { WriteFile(hashListPath, install.hashList); },
                           [&] {
                             if (!PruneInstalledHashList(install.core.c_str())) Fail("the prune failed");
                           })});
    // The prune kept exactly the records of the files that are there.
    if (fs::file_size(hashListPath) != kHashListHeaderSize + (count - count / 10) * uint64_t{kHashListLongRecordSize}) {
      Fail("the prune kept the wrong records");
    }
    checks.push_back({"version check", count, kArchiveBytes,
                      Time(rounds, [] {},
                           [&] {
                             if (CheckInstalledVersion(install.core.c_str()) != 1) Fail("the version check failed");
                           }),
                      false});
    if (!keep) fs::remove_all(folder);
  }
  std::vector<Row> rows;
  for (const std::vector<Row>* group : {&merges932, &mergesUtf8, &prunes, &checks}) {
    rows.insert(rows.end(), group->begin(), group->end());
  }
  PrintTable(rows, rounds);
  if (ownWork && !keep) fs::remove_all(work);
  return 0;
}
