#include "tools/patchkit/patch_file.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "text/text_codec.h"
#include "tools/patchkit/cli.h"
#include "update/payload_plan.h"

namespace fs = std::filesystem;

namespace {

uint32_t Le32(const uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}
uint16_t Le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

uint64_t Le64(const uint8_t* bytes) { return Le32(bytes) | (uint64_t{Le32(bytes + 4)} << 32); }

// The native build's program: the end of its section header table and of
// its segments (little-endian ELF, 32 or 64 bits).
ImageFacts ElfFacts(const std::vector<uint8_t>& head, size_t got) {
  ImageFacts facts;
  bool wide = head[4] == 2;
  if (head[5] != 1) return facts;
  uint64_t programHeaders = wide ? Le64(&head[0x20]) : Le32(&head[0x1C]);
  uint64_t sectionHeaders = wide ? Le64(&head[0x28]) : Le32(&head[0x20]);
  size_t at = wide ? 0x36 : 0x2A;
  uint16_t programSize = Le16(&head[at]), programCount = Le16(&head[at + 2]);
  uint16_t sectionSize = Le16(&head[at + 4]), sectionCount = Le16(&head[at + 6]);
  uint64_t table = uint64_t{sectionSize} * sectionCount;
  uint64_t end = table > UINT64_MAX - sectionHeaders ? UINT64_MAX : sectionHeaders + table;
  for (uint16_t i = 0; i < programCount; ++i) {
    // Checked without adding to the header's offset, which may be anything.
    uint64_t need = wide ? 0x28 : 0x14;
    if (programHeaders > got || uint64_t{i} * programSize > got - programHeaders ||
        programHeaders + uint64_t{i} * programSize > got - need) {
      return facts;
    }
    size_t place = static_cast<size_t>(programHeaders + uint64_t{i} * programSize);  // below got, so it fits
    uint64_t offset = wide ? Le64(&head[place + 8]) : Le32(&head[place + 4]);
    uint64_t size = wide ? Le64(&head[place + 0x20]) : Le32(&head[place + 0x10]);
    uint64_t reach = size > UINT64_MAX - offset ? UINT64_MAX : offset + size;
    if (reach > end) end = reach;
  }
  facts.isProgram = true;
  facts.is64 = wide;
  facts.imageEnd = end;
  return facts;
}

// Reads the PE headers from the first 4 KiB of the file.
ImageFacts ReadImageFacts(const fs::path& path) {
  ImageFacts facts;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> head(4096, 0);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  size_t got = static_cast<size_t>(in.gcount());
  if (got >= 64 && std::memcmp(head.data(), "\x7F" "ELF", 4) == 0) return ElfFacts(head, got);
  if (got < 64 || head[0] != 'M' || head[1] != 'Z') return facts;
  uint32_t pe = Le32(&head[0x3C]);
  if (pe > got - 24 || std::memcmp(&head[pe], "PE\0\0", 4) != 0) return facts;
  uint16_t sections = Le16(&head[pe + 6]);
  uint16_t optionalSize = Le16(&head[pe + 20]);
  size_t optional = pe + 24;
  if (optional + 2 > got) return facts;
  uint16_t magic = Le16(&head[optional]);
  if (magic != 0x10B && magic != 0x20B) return facts;
  facts.is64 = magic == 0x20B;
  size_t directories = optional + (facts.is64 ? 112 : 96);
  size_t countAt = optional + (facts.is64 ? 108 : 92);
  if (countAt + 4 > got) return facts;
  uint32_t directoryCount = Le32(&head[countAt]);
  if (directoryCount > 4 && directories + 5 * 8 <= got) {
    facts.signatureOffset = Le32(&head[directories + 4 * 8]);
    facts.signatureSize = Le32(&head[directories + 4 * 8 + 4]);
  }
  uint32_t headersSize = optional + 60 + 4 <= got ? Le32(&head[optional + 60]) : 0;
  uint64_t end = headersSize;
  size_t table = optional + optionalSize;
  for (uint16_t i = 0; i < sections; ++i) {
    size_t at = table + size_t{i} * 40;
    if (at + 40 > got) return facts;
    uint64_t rawSize = Le32(&head[at + 16]);
    uint64_t rawOffset = Le32(&head[at + 20]);
    if (rawSize > 0 && rawOffset + rawSize > end) end = rawOffset + rawSize;
  }
  facts.imageEnd = end;
  facts.isProgram = true;
  return facts;
}

}  // namespace

std::u16string CorePath(const fs::path& path) { return path.u16string(); }

std::string NameAsText(const char* stored) {
  std::unique_ptr<char[]> text = RecodeNarrow(stored, TARGET_UTF8);
  if (text) return text.get();
  std::string escaped;
  for (const char* p = stored; *p != 0; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x80 && c >= 0x20) {
      escaped += static_cast<char>(c);
    } else {
      escaped += "\\x" + Hex(&c, 1);
    }
  }
  return escaped;
}

const char* DescribeOpenResult(UpdateResult result) {
  switch (result) {
    case UPDATE_OK:
      return "readable";
    case UPDATE_E_TOO_MANY_ENTRIES:
      return "the payload has more entries than the patch takes (32)";
    default:
      return "no readable payload at 1 MiB (short file, or a damaged header or directory)";
  }
}

bool OpenPatch(const fs::path& path, OpenedPatch* patch, std::string* error) {
  std::error_code code;
  if (!fs::is_regular_file(path, code)) {
    *error = Shown(path) + ": no such file";
    return false;
  }
  patch->fileSize = fs::file_size(path, code);
  if (code) {
    *error = Shown(path) + ": " + code.message();
    return false;
  }
  patch->image = ReadImageFacts(path);
  std::u16string core = CorePath(path);
  patch->opened = patch->container.Open(core.c_str());
  if (patch->opened != UPDATE_OK) return true;
  patch->hashListIndex = FindPayloadHashList(patch->container);
  patch->hashListDamaged = !LoadPayloadHashList(patch->container, &patch->hashes);
  return true;
}
