// patchkit hashlist: shows a hash list as the patch program reads it, or
// makes one from a game folder.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/file_dx.h"
#include "payload/hash_list.h"
#include "tools/patchkit/cli.h"
#include "tools/patchkit/container_writer.h"
#include "tools/patchkit/game_folder.h"
#include "tools/patchkit/hash_list_writer.h"
#include "tools/patchkit/payload_check.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: patchkit hashlist show [--json] FILE\n"
    "       patchkit hashlist make [--short-layout] [--quiet] -o FILE DIR\n"
    "\n"
    "show: reads FILE through the patch program's own reader and prints its\n"
    "layout, reserved field and record count, then each record's fingerprint\n"
    "(16 hex digits, byte 0 first) and name. A list the program would not\n"
    "use (too short, unknown magic, more records than the file holds, a name\n"
    "without its terminator or too long in UTF-8) fails with the reason.\n"
    "  --json            the same as one JSON object\n"
    "\n"
    "make: writes FILE, a hash list of every plain file below DIR, named\n"
    "relative to DIR with '\\' between folders, in byte order of the names.\n"
    "TLM.hvl at DIR's top and FILE itself are not listed. Links (to files or\n"
    "to folders) are never followed: each is skipped with a warning, as is\n"
    "anything that is neither a plain file nor a folder. A name the layout's\n"
    "field cannot hold, or one the patch program refuses to write, fails the\n"
    "command (each such name is reported) and nothing is written.\n"
    "  -o, --out FILE    the list to write (replaced)\n"
    "  --short-layout    64-byte records (names of at most 55 bytes) instead\n"
    "                    of 256-byte ones (at most 247 bytes)\n"
    "  -q, --quiet       no summary line\n";

int Show(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args, {{"json", 0, false}}, &error)) return UsageError("hashlist", error, kUsage);
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.Operands().size() != 1) return UsageError("hashlist", "show needs one hash list", kUsage);
  const fs::path path = PathArg(line.Operands()[0]);
  std::error_code code;
  if (!fs::is_regular_file(path, code)) {
    return Fail("hashlist", Shown(path) + (fs::exists(path, code) ? ": not a file" : ": no such file"));
  }
  uint64_t size = fs::file_size(path, code);
  if (code) return Fail("hashlist", Shown(path) + ": " + code.message());

  HashListHeader header;
  std::string fault = ReadHashListHeader(path, size, &header);
  if (!fault.empty()) return Fail("hashlist", Shown(path) + ": not a hash list the patch program reads: " + fault);
  HashListTable table;
  {
    CFileDX file;
    std::u16string core = path.u16string();
    if (!file.OpenRead(core.c_str())) {
      return Fail("hashlist", Shown(path) + ": cannot be opened (system error " + std::to_string(file.LastError()) +
                                  ")");
    }
    table = LoadHashList(file, size);
  }
  // An empty table is a whole list without records, or one the program
  // refuses.
  if (table.count == 0 && header.count != 0) {
    fault = DescribeHashListDamage(path, size);
    if (fault.empty()) fault = "the patch program's reader refuses it";
    return Fail("hashlist", Shown(path) + ": damaged: " + fault);
  }
  uint64_t trailing = size - kHashListHeaderSize - uint64_t{header.count} * header.recordSize;
  const char* layout = header.isLong ? "long" : "short";
  if (line.Has("json")) {
    std::printf("{\"file\":%s,\"layout\":\"%s\",\"record_size\":%u,\"reserved\":%u,\"count\":%u,"
                "\"trailing_bytes\":%llu,\"records\":[",
                JsonString(Shown(path)).c_str(), layout, header.recordSize, header.reserved, table.count,
                static_cast<unsigned long long>(trailing));
    for (uint32_t i = 0; i < table.count; ++i) {
      std::printf("%s{\"name\":%s,\"fingerprint\":\"%s\"}", i ? "," : "", JsonString(table.entries[i].name).c_str(),
                  FingerprintText(table.entries[i].hash).c_str());
    }
    std::printf("]}\n");
    return kExitOk;
  }
  std::printf("%s: %s layout (%u-byte records), reserved 0x%08X, %u records", Shown(path).c_str(), layout,
              header.recordSize, header.reserved, table.count);
  if (trailing > 0) std::printf(", %llu bytes after them (never read)", static_cast<unsigned long long>(trailing));
  std::printf("\n");
  for (uint32_t i = 0; i < table.count; ++i) {
    std::printf("%s  %s\n", FingerprintText(table.entries[i].hash).c_str(), table.entries[i].name);
  }
  return kExitOk;
}

int Make(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args, {{"out", 'o', true}, {"short-layout", 0, false}, {"quiet", 'q', false}}, &error)) {
    return UsageError("hashlist", error, kUsage);
  }
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const fs::path out = PathArg(line.Value("out"));
  if (out.empty() || line.Operands().size() != 1) {
    return UsageError("hashlist", "make needs -o FILE and one folder", kUsage);
  }
  const fs::path root = PathArg(line.Operands()[0]);
  bool quiet = line.Has("quiet");
  HashListLayout layout = line.Has("short-layout") ? HashListLayout::Short : HashListLayout::Long;

  FolderTree tree;
  if (!WalkFolder(root, &tree, &error)) return Fail("hashlist", error);
  DropTopLevelHashList(&tree);
  DropFile(&tree, out);
  WarnSkipped("hashlist", tree);
  bool refused = false;
  for (const FolderFile& file : tree.files) {
    std::string problem = RecordNameProblem(file, layout);
    if (!problem.empty()) {
      Fail("hashlist", Shown(file.path) + ": " + problem);
      refused = true;
    }
  }
  if (refused) return Fail("hashlist", "nothing written to " + Shown(out));

  std::vector<ContentHash> hashes;
  if (!FingerprintFiles(tree.files, &hashes, quiet, &error)) return Fail("hashlist", error);
  std::vector<HashListRecord> records;
  for (size_t i = 0; i < tree.files.size(); ++i) records.push_back({tree.files[i].name, hashes[i]});
  std::vector<uint8_t> bytes;
  if (!BuildHashList(records, layout, 0, &bytes, &error) || !WriteWholeFile(out, bytes, &error)) {
    return Fail("hashlist", error);
  }
  if (!quiet) {
    std::printf("patchkit: wrote %s: %zu records, %s layout\n", Shown(out).c_str(), records.size(),
                layout == HashListLayout::Long ? "long" : "short");
  }
  return kExitOk;
}

}  // namespace

int RunHashList(const std::vector<std::string>& args) {
  if (args.empty()) return UsageError("hashlist", "needs show or make", kUsage);
  const std::string& action = args[0];
  if (action == "--help" || action == "-h") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (action == "show") return Show(rest);
  if (action == "make") return Make(rest);
  return UsageError("hashlist", "unknown action '" + action + "' (show or make)", kUsage);
}
