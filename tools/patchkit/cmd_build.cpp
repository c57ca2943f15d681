// patchkit build: appends a payload folder to the patch program.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "payload/hash_list.h"
#include "payload/payload_container.h"
#include "text/text_codec.h"
#include "tools/patchkit/cli.h"
#include "tools/patchkit/container_writer.h"
#include "tools/patchkit/game_folder.h"
#include "tools/patchkit/hash_list_writer.h"
#include "tools/patchkit/payload_check.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: patchkit build [--short-layout] [--hash-list | --hash-list-from GAMEDIR] [--quiet]\n"
    "                      --stub PATCH.EXE --out FILE PAYLOAD_DIR\n"
    "\n"
    "Appends the files of PAYLOAD_DIR as the payload after the stub, padded to\n"
    "1 MiB: TLM.hvl first when there is one, then every plain file below\n"
    "PAYLOAD_DIR in byte order of its relative name ('\\' between folders).\n"
    "Each entry is stored under its file name alone; the patch installs it at\n"
    "the name of the first TLM.hvl record with that file name, else at the\n"
    "top of the game folder. So a file in a sub-folder of PAYLOAD_DIR needs\n"
    "that record, and two files of one name in different folders cannot\n"
    "travel together. Links are never followed: each is skipped with a\n"
    "warning.\n"
    "\n"
    "Before any file's bytes are written, the payload goes through the patch\n"
    "program's own plan; while they are copied, each file's bytes are checked\n"
    "against its record. A name the program refuses or a directory record\n"
    "cannot hold, two entries for one file, a file in a sub-folder that would\n"
    "land elsewhere, a TLM.hvl the program cannot use, or bytes that differ\n"
    "from their record fail the build (exit 1; no output is left). Files are\n"
    "copied in pieces, so memory does not grow with the payload.\n"
    "  --hash-list          generate a TLM.hvl listing the payload's files with\n"
    "                       their fingerprints (it replaces one in the folder)\n"
    "  --hash-list-from GAMEDIR\n"
    "                       generate TLM.hvl from the whole new version in\n"
    "                       GAMEDIR, as 'patchkit hashlist make' does, with the\n"
    "                       payload's records first; each payload file must be\n"
    "                       GAMEDIR's file of the same relative name and bytes\n"
    "  (with neither, PAYLOAD_DIR's own TLM.hvl is carried as it is, if any)\n"
    "  --short-layout       write 32-byte directory records (15-byte names)\n"
    "  --stub FILE          the patch program\n"
    "  -o, --out FILE       the patch to write\n"
    "  -q, --quiet          no summary line\n";

// Removes the output unless the build completed.
class OutputGuard {
 public:
  explicit OutputGuard(fs::path path) : m_path(std::move(path)) {}
  ~OutputGuard() {
    if (m_keep) return;
    std::error_code code;
    fs::remove(m_path, code);
  }
  void Keep() { m_keep = true; }

 private:
  fs::path m_path;
  bool m_keep = false;
};

std::string OwnName(const char16_t* name) {
  std::unique_ptr<char[]> narrow = WideToNarrow(name, TARGET_UTF8);
  return narrow ? narrow.get() : "";
}

// The payload's files judged before anything is written: each problem is
// reported, naming the file. False when there is any.
bool CheckPayloadFiles(const std::vector<FolderFile>& files, ContainerLayout layout) {
  const PayloadLayout& format = layout == ContainerLayout::Long ? kPayloadLongLayout : kPayloadShortLayout;
  std::string listName = NormalName(OwnName(kHashListFileName));
  std::map<std::string, const FolderFile*> entryNames;
  bool good = true;
  for (const FolderFile& file : files) {
    std::string entryName = FinalComponent(file.name);
    std::string normal = NormalName(entryName);
    std::string problem = RecordNameProblem(file, HashListLayout::Long);
    if (!problem.empty()) {
    } else if (entryName.size() >= format.nameSize) {
      problem = "its file name is " + std::to_string(entryName.size()) + " bytes; a " +
                (layout == ContainerLayout::Long ? "long" : "short") + "-layout directory record holds at most " +
                std::to_string(format.nameSize - 1);
    } else if (file.size > 0xFFFFFFFFu) {
      problem = "4 GiB or larger; a payload entry holds less";
    } else if (normal == listName) {
      problem = "an entry of this file name would be taken for the payload's own hash list";
    } else if (entryNames.count(normal) != 0) {
      problem = "has the same file name as " + entryNames[normal]->name +
                ", and the patch matches entries to records by file name alone";
    } else {
      entryNames.emplace(normal, &file);
      continue;
    }
    Fail("build", Shown(file.path) + ": " + problem);
    good = false;
  }
  return good;
}

// The TLM.hvl made from the new version in gameDir: the payload files'
// records first, in payload order, then the rest in name order.
bool ListFromGameFolder(const fs::path& gameDir, const fs::path& out, const std::vector<FolderFile>& payload,
                        bool quiet, std::vector<uint8_t>* list, std::string* error) {
  FolderTree game;
  if (!WalkFolder(gameDir, &game, error)) return false;
  DropTopLevelHashList(&game);
  DropFile(&game, out);
  WarnSkipped("build", game);
  bool good = true;
  for (const FolderFile& file : game.files) {
    std::string problem = RecordNameProblem(file, HashListLayout::Long);
    if (!problem.empty()) {
      Fail("build", Shown(file.path) + ": " + problem);
      good = false;
    }
  }
  std::map<std::string, size_t> byName;
  for (size_t i = 0; i < game.files.size(); ++i) byName.emplace(NormalName(game.files[i].name), i);
  std::vector<size_t> order;
  std::vector<bool> taken(game.files.size(), false);
  for (const FolderFile& file : payload) {
    auto found = byName.find(NormalName(file.name));
    if (found == byName.end()) {
      Fail("build", Shown(file.path) + ": " + Shown(gameDir) + " has no " + file.name);
      good = false;
      continue;
    }
    const FolderFile& twin = game.files[found->second];
    if (twin.size != file.size) {
      Fail("build", Shown(file.path) + ": " + std::to_string(file.size) + " bytes, but " + Shown(twin.path) +
                        " has " + std::to_string(twin.size));
      good = false;
    }
    order.push_back(found->second);
    taken[found->second] = true;
  }
  if (!good) {
    *error = "nothing written";
    return false;
  }
  for (size_t i = 0; i < game.files.size(); ++i) {
    if (!taken[i]) order.push_back(i);
  }
  std::vector<FolderFile> listed;
  for (size_t index : order) listed.push_back(game.files[index]);
  std::vector<ContentHash> hashes;
  if (!FingerprintFiles(listed, &hashes, quiet, error)) return false;
  std::vector<HashListRecord> records;
  for (size_t i = 0; i < listed.size(); ++i) records.push_back({listed[i].name, hashes[i]});
  return BuildHashList(records, HashListLayout::Long, 0, list, error);
}

bool ReadSmallFile(const fs::path& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::error_code code;
  uint64_t size = fs::file_size(path, code);
  bytes->assign(static_cast<size_t>(code ? 0 : size), 0);
  if (code || !in || !in.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size))) {
    *error = "cannot read " + Shown(path);
    return false;
  }
  return true;
}

}  // namespace

int RunBuild(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args,
                  {{"short-layout", 0, false}, {"hash-list", 0, false}, {"hash-list-from", 0, true},
                   {"stub", 0, true}, {"out", 'o', true}, {"quiet", 'q', false}},
                  &error)) {
    return UsageError("build", error, kUsage);
  }
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const fs::path stub = PathArg(line.Value("stub")), out = PathArg(line.Value("out"));
  if (stub.empty() || out.empty() || line.Operands().size() != 1) {
    return UsageError("build", "needs --stub, --out and one payload folder", kUsage);
  }
  if (line.Has("hash-list") && line.Has("hash-list-from")) {
    return UsageError("build", "--hash-list and --hash-list-from exclude each other", kUsage);
  }
  const fs::path folder = PathArg(line.Operands()[0]);
  bool quiet = line.Has("quiet");
  ContainerLayout layout = line.Has("short-layout") ? ContainerLayout::Short : ContainerLayout::Long;

  std::error_code code;
  if (!fs::is_regular_file(stub, code)) return Fail("build", "cannot read the stub " + Shown(stub));
  FolderTree tree;
  if (!WalkFolder(folder, &tree, &error)) return Fail("build", error);
  // The folder's own TLM.hvl is the payload's list, not one of its files.
  fs::path carriedList;
  std::string listName = NormalName(OwnName(kHashListFileName));
  for (const FolderFile& file : tree.files) {
    if (NormalName(file.name) == listName) carriedList = file.path;
  }
  DropTopLevelHashList(&tree);
  DropFile(&tree, out);
  WarnSkipped("build", tree);
  if (!CheckPayloadFiles(tree.files, layout)) return Fail("build", "nothing written");
  bool listed = line.Has("hash-list") || line.Has("hash-list-from") || !carriedList.empty();
  if (tree.files.size() + (listed ? 1 : 0) > kPayloadMaxEntries) {
    return Fail("build", Shown(folder) + ": " + std::to_string(tree.files.size()) + " files" +
                             (listed ? " and a TLM.hvl" : "") + "; a patch holds at most " +
                             std::to_string(kPayloadMaxEntries) + " entries");
  }

  // The hash list: made, or carried as it is.
  std::vector<uint8_t> list;
  bool hasList = true;
  if (line.Has("hash-list")) {
    std::vector<ContentHash> hashes;
    if (!FingerprintFiles(tree.files, &hashes, quiet, &error)) return Fail("build", error);
    std::vector<HashListRecord> records;
    for (size_t i = 0; i < tree.files.size(); ++i) records.push_back({tree.files[i].name, hashes[i]});
    if (!BuildHashList(records, HashListLayout::Long, 0, &list, &error)) return Fail("build", error);
  } else if (line.Has("hash-list-from")) {
    if (!ListFromGameFolder(PathArg(line.Value("hash-list-from")), out, tree.files, quiet, &list, &error)) {
      return Fail("build", error);
    }
  } else if (!carriedList.empty()) {
    if (!ReadSmallFile(carriedList, &list, &error)) return Fail("build", error);
  } else {
    hasList = false;
  }

  std::vector<ContainerItem> items;
  if (hasList) items.push_back({OwnName(kHashListFileName), static_cast<uint32_t>(list.size())});
  size_t first = items.size();
  for (const FolderFile& file : tree.files) {
    items.push_back({FinalComponent(file.name), static_cast<uint32_t>(file.size)});
  }
  std::vector<uint8_t> head;
  if (!BuildContainerHead(items, layout, &head, &error)) return Fail("build", error);

  OutputGuard guard(out);
  {
    std::ofstream patch(out, std::ios::binary | std::ios::trunc);
    if (!patch) return Fail("build", "cannot create " + Shown(out));
    if (!WritePatchStart(patch, stub, head, list, &error)) return Fail("build", error);
    patch.close();
    if (!patch) return Fail("build", "cannot write " + Shown(out));
  }

  // The program's own judgement of what has been laid out so far: the
  // directory and the hash list are all its plan reads.
  PayloadVerdict verdict;
  if (!JudgePayload(out, &verdict, &error)) return Fail("build", error);
  if (verdict.problem != PlanProblem::None) {
    std::string name = verdict.bad >= first ? Shown(tree.files[verdict.bad - first].path) : Shown(carriedList);
    return Fail("build", name + ": the patch program refuses it: " + DescribePlanProblem(verdict.problem));
  }
  if (hasList && verdict.hashListRecords == 0) {
    std::string damage = carriedList.empty() ? "" : DescribeHashListDamage(carriedList, list.size());
    if (!damage.empty()) {
      return Fail("build", Shown(carriedList) + ": the patch program cannot use this hash list (" + damage +
                               "), so it would verify nothing");
    }
    std::fprintf(stderr, "patchkit build: warning: the hash list names no file; the patch verifies nothing\n");
  }
  // A file in a sub-folder lands there or nowhere; one at the top may be
  // moved by its record.
  std::vector<const PlannedFile*> plans;
  for (size_t i = 0; i < tree.files.size(); ++i) {
    const FolderFile& file = tree.files[i];
    const PlannedFile& plan = verdict.entries[first + i];
    if (!FolderPart(file.name).empty() && plan.normal != NormalName(file.name)) {
      return Fail("build", Shown(file.path) + ": the patch would install it at " + plan.destination +
                               (plan.hasRecord ? " (the first record with its file name)"
                                               : " (no record of the hash list has its file name)"));
    }
    plans.push_back(&plan);
  }
  for (size_t i = 0; i < tree.files.size(); ++i) {
    if (hasList && !plans[i]->hasRecord) {
      std::fprintf(stderr, "patchkit build: warning: %s: no record of the hash list has its file name; the patch "
                   "installs it unverified\n", Shown(tree.files[i].path).c_str());
    }
  }

  // The files' bytes, in pieces, each checked against its record.
  uint64_t total = 0;
  for (const FolderFile& file : tree.files) total += file.size;
  {
    std::ofstream patch(out, std::ios::binary | std::ios::app);
    if (!patch) return Fail("build", "cannot write " + Shown(out));
    Progress progress("writing", total, quiet);
    for (size_t i = 0; i < tree.files.size(); ++i) {
      const FolderFile& file = tree.files[i];
      ContentHash hash;
      if (!StreamFile(file.path, file.size, &hash, &patch, &progress, &error)) return Fail("build", error);
      if (plans[i]->hasRecord && !(plans[i]->recordHash == hash)) {
        return Fail("build", Shown(file.path) + ": its fingerprint is " + FingerprintText(hash) + ", but its record " +
                                 plans[i]->recordName + " says " + FingerprintText(plans[i]->recordHash) +
                                 ": the patch would refuse itself as damaged");
      }
    }
    patch.close();
    if (!patch) return Fail("build", "cannot write " + Shown(out));
  }
  guard.Keep();
  if (!quiet) {
    uint64_t size = kPayloadOffset + head.size() + list.size() + total;
    std::printf("patchkit: wrote %s: %zu entries, %llu bytes\n", Shown(out).c_str(), items.size(),
                static_cast<unsigned long long>(size));
  }
  return kExitOk;
}
