// patchkit list: a patch's layout and entries, with their hash-list records.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/patchkit/cli.h"
#include "tools/patchkit/patch_file.h"

namespace {

const char kUsage[] =
    "usage: patchkit list [--json] PATCH\n"
    "\n"
    "Shows the payload's layout (long or short directory records) and, for\n"
    "each entry: its index, offset in the data area, size, name (as text, and\n"
    "its stored bytes in hex when they are not plain ASCII) and the record of\n"
    "the payload's TLM.hvl it is verified against, if any.\n"
    "  --json   the same as one JSON object\n";

bool PlainAscii(const char* text) {
  for (const char* p = text; *p != 0; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  }
  return true;
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args, {{"json", 0, false}, {"quiet", 'q', false}}, &error)) return UsageError("list", error, kUsage);
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.Operands().size() != 1) return UsageError("list", "needs one patch", kUsage);
  const std::string& path = line.Operands()[0];
  OpenedPatch patch;
  if (!OpenPatch(PathArg(path), &patch, &error)) return Fail("list", error);
  if (patch.opened != UPDATE_OK) return Fail("list", path + ": " + DescribeOpenResult(patch.opened));
  PayloadContainer& container = patch.container;
  bool json = line.Has("json");
  const char* layout = container.IsLongLayout() ? "long" : "short";
  if (json) {
    std::printf("{\"file\":%s,\"layout\":\"%s\",\"data_offset\":%u,\"entries\":[", JsonString(path).c_str(), layout,
                container.DataAreaOffset());
  } else {
    std::printf("%s: %s layout (%u-byte records), %u entries, data area at 0x%X\n", path.c_str(), layout,
                container.IsLongLayout() ? 128 : 32, container.EntryCount(), container.DataAreaOffset());
    std::printf("%5s %10s %10s  %-16s  %s\n", "index", "offset", "size", "fingerprint", "name");
  }
  for (uint32_t i = 0; i < container.EntryCount(); ++i) {
    PayloadEntry entry = container.Entry(i);
    const HashListEntry* record = FindHashListEntry(patch.hashes, entry.name);
    std::string stored = Hex(reinterpret_cast<const uint8_t*>(entry.name), std::char_traits<char>::length(entry.name));
    std::string text = NameAsText(entry.name);
    std::string fingerprint = record ? Hex(record->hash.bytes, sizeof record->hash.bytes) : "";
    if (json) {
      std::printf("%s{\"index\":%u,\"offset\":%u,\"size\":%u,\"name\":%s,\"stored\":\"%s\"", i ? "," : "", i,
                  entry.offset, entry.size, JsonString(text).c_str(), stored.c_str());
      if (record) {
        std::printf(",\"record\":{\"name\":%s,\"fingerprint\":\"%s\"}", JsonString(record->name).c_str(),
                    fingerprint.c_str());
      }
      if (static_cast<int>(i) == patch.hashListIndex) std::printf(",\"hash_list\":true");
      std::printf("}");
      continue;
    }
    std::printf("%5u 0x%08X %10u  %-16s  %s", i, entry.offset, entry.size, record ? fingerprint.c_str() : "-",
                text.c_str());
    if (!PlainAscii(entry.name)) std::printf("  [stored %s]", stored.c_str());
    if (record && text != record->name) std::printf("  -> %s", record->name);
    if (static_cast<int>(i) == patch.hashListIndex) std::printf("  (the hash list)");
    std::printf("\n");
  }
  if (json) std::printf("]}\n");
  return kExitOk;
}
