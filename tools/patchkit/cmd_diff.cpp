// patchkit diff: makes a payload folder from an installed old version of the
// game and the new version: the files that differ, and a TLM.hvl for the
// whole new version.
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "install/uninstall_list.h"
#include "install/version_check.h"
#include "payload/hash_list.h"
#include "payload/payload_container.h"
#include "tools/patchkit/cli.h"
#include "tools/patchkit/container_writer.h"
#include "tools/patchkit/game_folder.h"
#include "tools/patchkit/hash_list_writer.h"
#include "text/text_codec.h"
#include "tools/patchkit/payload_check.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: patchkit diff [--json] [--quiet] OLD NEW -o DIR\n"
    "\n"
    "OLD is an installed old version of the game, NEW the new version. Writes\n"
    "into DIR (created; an existing DIR must be empty) the files of NEW that\n"
    "are new or whose bytes differ from OLD's (names compared as Windows does,\n"
    "without case), at their relative paths, and a TLM.hvl (long layout)\n"
    "listing every file of NEW with its fingerprint, the shipped files first.\n"
    "DIR is then a payload folder for 'patchkit build'.\n"
    "\n"
    "The list names every file of NEW, not only the shipped ones: the patch\n"
    "installs its TLM.hvl over the installed one and then only drops records\n"
    "of files that are gone, so the installed list after the update is this\n"
    "one. The patch verifies each entry against the first record whose final\n"
    "name component is the entry's name, and installs it at that record's\n"
    "name; the shipped files' records come first so that each entry finds its\n"
    "own.\n"
    "\n"
    "Left out, each with the reason: unchanged files; files only in OLD (a\n"
    "patch cannot delete); the top-level uninst.lst (the patch keeps each\n"
    "installation's own); links (never followed, skipped with a warning) and\n"
    "other things that are not plain files; names the patch program refuses\n"
    "or a record cannot hold (not listed either); files whose folder is not a\n"
    "real folder in OLD (the patch creates no folders); files whose name is\n"
    "too long for a payload entry, is TLM.hvl, or is another shipped file's\n"
    "name in another folder; anything the patch program's own plan refuses.\n"
    "More than 31 files to ship (a patch holds 32 entries with its TLM.hvl)\n"
    "fails, writing nothing.\n"
    "\n"
    "Warnings (standard error; the exit status stays 0): OLD's data01110.arc\n"
    "is missing or has not the fingerprint the patch expects (the patch would\n"
    "refuse that installation); NEW's has not the fingerprint of the patched\n"
    "version (the patch would not recognise the installation as patched\n"
    "afterwards); data01110.arc is not among the shipped files.\n"
    "  -o, --out DIR   the payload folder to write\n"
    "  --json          the shipped and left-out files as one JSON object\n"
    "  -q, --quiet     print nothing but warnings and errors\n";

// The most files a payload holds besides its TLM.hvl.
constexpr size_t kMostShipped = kPayloadMaxEntries - 1;

struct NewFile {
  const FolderFile* file = nullptr;
  const FolderFile* old = nullptr;  // OLD's file of the same name, if any
  bool listed = false;
  bool shipped = false;
  std::string why;     // shipped: "changed" or "new"
  std::string reason;  // left out: why
  ContentHash hash;
};

struct LeftOut {
  std::string name;
  std::string reason;
  bool listed;
  const char* from;
};

// A scratch patch in the temporary folder, removed when it goes.
class ScratchFile {
 public:
  ScratchFile() {
    std::random_device random;
    std::error_code code;
    m_path = fs::temp_directory_path(code) /
             ("patchkit-diff-" + std::to_string(random()) + "-" + std::to_string(random()) + ".plan");
  }
  ~ScratchFile() {
    std::error_code code;
    fs::remove(m_path, code);
  }
  const fs::path& Path() const { return m_path; }

 private:
  fs::path m_path;
};

// A narrow name of the program's, in normal form.
std::string NormalOwnName(const char16_t* name) {
  std::unique_ptr<char[]> narrow = WideToNarrow(name, TARGET_UTF8);
  return NormalName(narrow ? narrow.get() : "");
}

// The TLM.hvl of the new version: the shipped files' records first (in
// their order), then every other listed file, each group in name order.
std::vector<HashListRecord> ListRecords(const std::vector<NewFile>& files) {
  std::vector<HashListRecord> records;
  for (bool shipped : {true, false}) {
    for (const NewFile& item : files) {
      if (item.listed && item.shipped == shipped) records.push_back({item.file->name, item.hash});
    }
  }
  return records;
}

// Lays out the payload as build would, and lets the patch program's own
// plan judge it; leaves out the first entry it would refuse, or that would
// not land at its own name. True when every shipped file stands; false with
// *error only when the plan cannot be made at all.
bool PlanOnce(std::vector<NewFile*>& shipped, const std::vector<NewFile>& files, bool* settled, std::string* error) {
  std::vector<uint8_t> list, head;
  if (!BuildHashList(ListRecords(files), HashListLayout::Long, 0, &list, error)) return false;
  std::vector<ContainerItem> items{{"TLM.hvl", static_cast<uint32_t>(list.size())}};
  for (const NewFile* item : shipped) {
    items.push_back({FinalComponent(item->file->name), static_cast<uint32_t>(item->file->size)});
  }
  if (!BuildContainerHead(items, ContainerLayout::Long, &head, error)) return false;
  ScratchFile scratch;
  {
    std::ofstream out(scratch.Path(), std::ios::binary | std::ios::trunc);
    if (!out || !WritePatchStart(out, fs::path(), head, list, error)) {
      *error = "cannot write a scratch patch in " + Shown(scratch.Path().parent_path());
      return false;
    }
  }
  PayloadVerdict verdict;
  if (!JudgePayload(scratch.Path(), &verdict, error)) return false;
  *settled = false;
  if (verdict.problem != PlanProblem::None) {
    if (verdict.bad == 0) {
      *error = "the patch program refuses the payload's TLM.hvl entry";
      return false;
    }
    NewFile* item = shipped[verdict.bad - 1];
    item->shipped = false;
    item->reason = std::string("the patch program's plan refuses it: ") + DescribePlanProblem(verdict.problem);
    shipped.erase(shipped.begin() + verdict.bad - 1);
    return true;
  }
  for (size_t i = 0; i < shipped.size(); ++i) {
    const PlannedFile& plan = verdict.entries[i + 1];
    NewFile* item = shipped[i];
    if (plan.normal != NormalName(item->file->name) || !plan.hasRecord || !(plan.recordHash == item->hash)) {
      item->shipped = false;
      item->reason = "the patch would install it at " + plan.destination +
                     (plan.hasRecord ? ", the first record with its file name"
                                     : ": no record matches its file name as the patch program reads it");
      shipped.erase(shipped.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  *settled = true;
  return true;
}

}  // namespace

int RunDiff(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args, {{"out", 'o', true}, {"json", 0, false}, {"quiet", 'q', false}}, &error)) {
    return UsageError("diff", error, kUsage);
  }
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const fs::path out = PathArg(line.Value("out"));
  if (out.empty() || line.Operands().size() != 2) return UsageError("diff", "needs OLD, NEW and -o DIR", kUsage);
  const fs::path oldRoot = PathArg(line.Operands()[0]), newRoot = PathArg(line.Operands()[1]);
  bool json = line.Has("json"), quiet = line.Has("quiet");

  std::error_code code;
  if (fs::exists(out, code)) {
    if (!fs::is_directory(out, code)) return Fail("diff", Shown(out) + ": exists and is not a folder");
    if (!fs::is_empty(out, code)) return Fail("diff", Shown(out) + ": exists and is not empty");
  }
  FolderTree oldTree, newTree;
  if (!WalkFolder(oldRoot, &oldTree, &error) || !WalkFolder(newRoot, &newTree, &error)) return Fail("diff", error);
  DropTopLevelHashList(&oldTree);
  DropTopLevelHashList(&newTree);
  WarnSkipped("diff", oldTree);
  WarnSkipped("diff", newTree);

  std::map<std::string, const FolderFile*> oldFiles;
  for (const FolderFile& file : oldTree.files) oldFiles.emplace(NormalName(file.name), &file);
  std::set<std::string> oldFolders;
  for (const std::string& folder : oldTree.folders) oldFolders.insert(NormalName(folder));

  // Which files the list can name, and which have a counterpart in OLD.
  std::vector<NewFile> files(newTree.files.size());
  std::map<std::string, const FolderFile*> listedNames;
  std::set<std::string> newNames;
  uint64_t toRead = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    NewFile& item = files[i];
    item.file = &newTree.files[i];
    std::string normal = NormalName(item.file->name);
    newNames.insert(normal);
    item.reason = RecordNameProblem(*item.file, HashListLayout::Long);
    if (!item.reason.empty()) continue;
    auto [twin, fresh] = listedNames.emplace(normal, item.file);
    if (!fresh) {
      item.reason = twin->second->name + " has the same name but for case, and Windows keeps one of them";
      continue;
    }
    item.listed = true;
    auto old = oldFiles.find(normal);
    if (old != oldFiles.end()) item.old = old->second;
    toRead += item.file->size;
  }

  // One pass over the bytes: each listed file's fingerprint, and whether it
  // is OLD's file unchanged.
  {
    Progress progress("comparing", toRead, quiet || json);
    for (NewFile& item : files) {
      if (!item.listed) continue;
      bool same = false;
      bool read = item.old != nullptr && item.old->size == item.file->size
                      ? CompareFiles(item.file->path, item.old->path, item.file->size, &item.hash, &same, &progress,
                                     &error)
                      : StreamFile(item.file->path, item.file->size, &item.hash, nullptr, &progress, &error);
      if (!read) return Fail("diff", error);
      std::string normal = NormalName(item.file->name);
      std::string folder = FolderPart(item.file->name);
      if (same) {
        item.reason = "unchanged";
      } else if (folder.empty() && normal == NormalOwnName(kUninstallListFileName)) {
        item.reason = "the uninstall list: each installation keeps its own, and the patch adds what it installs";
      } else {
        item.why = item.old != nullptr ? "changed" : "new";
        if (oldFolders.count(normal) != 0) {
          item.reason = "OLD has a folder at this name, and the patch replaces only files";
        } else if (!folder.empty() && oldFolders.count(NormalName(folder)) == 0) {
          item.reason = "its folder " + folder + " is not a real folder in OLD, and the patch creates no folders";
        } else {
          item.shipped = true;
        }
      }
    }
  }

  // What a payload entry can carry: its name is the file's final component.
  std::vector<NewFile*> shipped;
  std::map<std::string, const NewFile*> entryNames;
  std::string listName = NormalOwnName(kHashListFileName);
  for (NewFile& item : files) {
    if (!item.shipped) continue;
    std::string entryName = FinalComponent(item.file->name);
    std::string normal = NormalName(entryName);
    item.shipped = false;
    if (item.file->size > 0xFFFFFFFFu) {
      item.reason = "4 GiB or larger; a payload entry holds less";
    } else if (entryName.size() >= kPayloadLongLayout.nameSize) {
      item.reason = "its file name is " + std::to_string(entryName.size()) +
                    " bytes; a payload entry's name holds at most " + std::to_string(kPayloadLongLayout.nameSize - 1);
    } else if (normal == listName) {
      item.reason = "an entry of this file name would be taken for the patch's own hash list";
    } else if (entryNames.count(normal) != 0) {
      item.reason = "another shipped file, " + entryNames[normal]->file->name +
                    ", has the same file name, and the patch matches entries to records by file name alone";
    } else {
      item.shipped = true;
      entryNames.emplace(normal, &item);
      shipped.push_back(&item);
    }
  }
  if (shipped.size() > kMostShipped) {
    return Fail("diff", std::to_string(shipped.size()) + " files of " + Shown(newRoot) +
                            " would be shipped; a patch holds at most " + std::to_string(kMostShipped) +
                            " besides its TLM.hvl; nothing written");
  }
  for (bool settled = false; !settled;) {
    if (!PlanOnce(shipped, files, &settled, &error)) return Fail("diff", error);
  }

  // The payload folder.
  fs::create_directories(out, code);
  if (code) return Fail("diff", "cannot create " + Shown(out) + ": " + code.message());
  {
    uint64_t toCopy = 0;
    for (const NewFile* item : shipped) toCopy += item->file->size;
    Progress progress("copying", toCopy, quiet || json);
    for (const NewFile* item : shipped) {
      fs::path target = out / item->file->path.lexically_relative(newRoot);
      fs::create_directories(target.parent_path(), code);
      std::ofstream copy(target, std::ios::binary | std::ios::trunc);
      if (code || !copy) return Fail("diff", "cannot create " + Shown(target));
      ContentHash again;
      if (!StreamFile(item->file->path, item->file->size, &again, &copy, &progress, &error)) {
        return Fail("diff", error);
      }
      copy.close();
      if (!copy) return Fail("diff", "cannot write " + Shown(target));
      if (!(again == item->hash)) return Fail("diff", Shown(item->file->path) + " changed while diff ran");
    }
  }
  std::vector<HashListRecord> records = ListRecords(files);
  std::vector<uint8_t> list;
  if (!BuildHashList(records, HashListLayout::Long, 0, &list, &error) ||
      !WriteWholeFile(out / "TLM.hvl", list, &error)) {
    return Fail("diff", error);
  }

  // The version the patch recognises, before and after.
  std::vector<std::string> warnings;
  std::string archive = VersionArchiveName();
  auto oldArchive = oldFiles.find(NormalName(archive));
  if (oldArchive == oldFiles.end()) {
    warnings.push_back("OLD has no " + archive + ": the patch's version check would fail on that installation");
  } else {
    ContentHash hash;
    if (!StreamFile(oldArchive->second->path, oldArchive->second->size, &hash, nullptr, nullptr, &error)) {
      return Fail("diff", error);
    }
    if (!(hash == EXPECTED_ARCHIVE_HASH)) {
      warnings.push_back("OLD's " + archive + " has fingerprint " + FingerprintText(hash) + ", not " +
                         FingerprintText(EXPECTED_ARCHIVE_HASH) + ": the patch would refuse that installation");
    }
  }
  const NewFile* newArchive = nullptr;
  for (const NewFile& item : files) {
    if (item.listed && NormalName(item.file->name) == NormalName(archive)) newArchive = &item;
  }
  if (newArchive != nullptr && !(newArchive->hash == PATCHED_ARCHIVE_HASH)) {
    warnings.push_back("NEW's " + archive + " has fingerprint " + FingerprintText(newArchive->hash) + ", not " +
                       FingerprintText(PATCHED_ARCHIVE_HASH) +
                       ": the patch would not recognise a patched installation (no 'already applied')");
  }
  if (newArchive == nullptr || !newArchive->shipped) {
    warnings.push_back(archive +
                       " is not among the shipped files: the patch would leave the version it checks unchanged");
  }
  // What the patch cannot carry of the new version.
  for (const NewFile& item : files) {
    if (!item.listed) {
      warnings.push_back(item.file->name + " is neither listed nor shipped: " + item.reason);
    } else if (!item.shipped && !item.why.empty()) {
      warnings.push_back(item.file->name + " is " + item.why + " but cannot be shipped: " + item.reason);
    }
  }
  for (const std::string& warning : warnings) std::fprintf(stderr, "patchkit diff: warning: %s\n", warning.c_str());

  std::vector<LeftOut> leftOut;
  for (const NewFile& item : files) {
    if (!item.shipped) leftOut.push_back({item.file->name, item.reason, item.listed, "new"});
  }
  for (const FolderSkip& skip : newTree.skipped) leftOut.push_back({skip.name, skip.what, false, "new"});
  for (const FolderFile& file : oldTree.files) {
    if (newNames.count(NormalName(file.name)) == 0) {
      leftOut.push_back({file.name, "only in OLD; a patch cannot delete files", false, "old"});
    }
  }
  if (json) {
    std::printf("{\"old\":%s,\"new\":%s,\"out\":%s,\"listed\":%zu,\"shipped\":[", JsonString(Shown(oldRoot)).c_str(),
                JsonString(Shown(newRoot)).c_str(), JsonString(Shown(out)).c_str(), records.size());
    for (size_t i = 0; i < shipped.size(); ++i) {
      const NewFile& item = *shipped[i];
      std::printf("%s{\"name\":%s,\"size\":%llu,\"fingerprint\":\"%s\",\"why\":\"%s\"}", i ? "," : "",
                  JsonString(item.file->name).c_str(), static_cast<unsigned long long>(item.file->size),
                  FingerprintText(item.hash).c_str(), item.why.c_str());
    }
    std::printf("],\"left_out\":[");
    for (size_t i = 0; i < leftOut.size(); ++i) {
      std::printf("%s{\"name\":%s,\"from\":\"%s\",\"listed\":%s,\"reason\":%s}", i ? "," : "",
                  JsonString(leftOut[i].name).c_str(), leftOut[i].from, leftOut[i].listed ? "true" : "false",
                  JsonString(leftOut[i].reason).c_str());
    }
    std::printf("],\"warnings\":[");
    for (size_t i = 0; i < warnings.size(); ++i) std::printf("%s%s", i ? "," : "", JsonString(warnings[i]).c_str());
    std::printf("]}\n");
  } else if (!quiet) {
    for (const NewFile* item : shipped) std::printf("shipped   %s (%s)\n", item->file->name.c_str(), item->why.c_str());
    for (const LeftOut& item : leftOut) {
      std::printf("left out  %s: %s%s\n", item.name.c_str(), item.reason.c_str(),
                  !item.listed && item.from[0] == 'n' ? " (not listed)" : "");
    }
    std::printf("patchkit: wrote %s: %zu files and TLM.hvl listing %zu\n", Shown(out).c_str(), shipped.size(),
                records.size());
  }
  return kExitOk;
}
