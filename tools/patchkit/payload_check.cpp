#include "tools/patchkit/payload_check.h"

#include <cstring>
#include <fstream>
#include <memory>

#include "payload/byte_order.h"
#include "payload/hash_list.h"
#include "payload/payload_container.h"
#include "text/text_codec.h"
#include "tools/patchkit/cli.h"
#include "update/relative_path.h"

namespace fs = std::filesystem;

namespace {

std::string WideText(const std::u16string& text) {
  std::unique_ptr<char[]> narrow = WideToNarrow(text.c_str(), TARGET_UTF8);
  return narrow ? narrow.get() : "";
}

std::string StoredText(const char* stored) {
  std::unique_ptr<char[]> text = RecodeNarrow(stored, TARGET_UTF8);
  return text ? text.get() : stored;
}

}  // namespace

bool JudgePayload(const fs::path& path, PayloadVerdict* verdict, std::string* error) {
  PayloadContainer container;
  std::u16string core = path.u16string();
  UpdateResult opened = container.Open(core.c_str());
  if (opened != UPDATE_OK) {
    *error = Shown(path) + (opened == UPDATE_E_TOO_MANY_ENTRIES
                                ? ": the payload has more entries than the patch program takes"
                                : ": the patch program cannot read its payload");
    return false;
  }
  verdict->hashListIndex = FindPayloadHashList(container);
  HashListTable hashes;
  verdict->hashListUsable = LoadPayloadHashList(container, &hashes);
  verdict->hashListRecords = hashes.count;
  std::vector<PlannedEntry> plans;
  verdict->problem = PlanPayloadEntries(container, hashes, &plans, &verdict->bad);
  for (const PlannedEntry& plan : plans) {
    PlannedFile file;
    file.stored = StoredText(plan.entry.name);
    file.destination = WideText(plan.name);
    file.normal = NormalRelativeName(plan.name);
    if (plan.record != nullptr) {
      file.hasRecord = true;
      file.recordName = plan.record->name;
      file.recordHash = plan.record->hash;
    }
    verdict->entries.push_back(std::move(file));
  }
  return true;
}

bool WritePatchStart(std::ostream& out, const fs::path& stub, const std::vector<uint8_t>& head,
                     const std::vector<uint8_t>& firstEntry, std::string* error) {
  uint64_t written = 0;
  if (!stub.empty()) {
    std::error_code code;
    uint64_t size = fs::file_size(stub, code);
    if (code) {
      *error = "cannot read the stub " + Shown(stub);
      return false;
    }
    if (size > kPayloadOffset) {
      *error = "the stub " + Shown(stub) + " is " + std::to_string(size) + " bytes; the payload must start at " +
               std::to_string(kPayloadOffset);
      return false;
    }
    std::ifstream in(stub, std::ios::binary);
    std::vector<char> bytes(static_cast<size_t>(size));
    if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(size))) {
      *error = "cannot read the stub " + Shown(stub);
      return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(size));
    written = size;
  }
  std::vector<char> zeros(static_cast<size_t>(kPayloadOffset - written), 0);
  out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  out.write(reinterpret_cast<const char*>(firstEntry.data()), static_cast<std::streamsize>(firstEntry.size()));
  if (!out) {
    *error = "cannot write the patch";
    return false;
  }
  return true;
}

std::string ReadHashListHeader(const fs::path& path, uint64_t size, HashListHeader* header) {
  uint8_t bytes[kHashListHeaderSize] = {};
  std::ifstream in(path, std::ios::binary);
  if (size < kHashListHeaderSize || !in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
    return "shorter than the 16-byte header";
  }
  if (std::memcmp(bytes, kHashListMagicLong, 8) == 0) {
    header->isLong = true;
    header->recordSize = kHashListLongRecordSize;
  } else if (std::memcmp(bytes, kHashListMagicShort, 8) == 0) {
    header->recordSize = kHashListShortRecordSize;
  } else {
    return "unknown magic " + Hex(bytes, 8) + " (neither TLH_V2__ nor TLH_____)";
  }
  header->reserved = LoadLe32(bytes + 8);
  header->count = LoadLe32(bytes + 12);
  return "";
}

std::string DescribeHashListDamage(const fs::path& path, uint64_t size) {
  HashListHeader header;
  std::string fault = ReadHashListHeader(path, size, &header);
  if (!fault.empty()) return fault;
  uint64_t needed = uint64_t{header.count} * header.recordSize;
  if (kHashListHeaderSize + needed > size) {
    return "the header counts " + std::to_string(header.count) + " records of " +
           std::to_string(header.recordSize) + " bytes, but only " + std::to_string(size - kHashListHeaderSize) +
           " bytes follow it";
  }
  std::ifstream in(path, std::ios::binary);
  in.seekg(kHashListHeaderSize);
  std::vector<char> record(header.recordSize);
  uint32_t field = header.recordSize - 8;
  for (uint32_t i = 0; i < header.count; ++i) {
    if (!in.read(record.data(), header.recordSize)) return "record " + std::to_string(i) + " cannot be read";
    if (std::memchr(record.data(), 0, field) == nullptr) {
      return "record " + std::to_string(i) + " has no terminator inside its " + std::to_string(field) +
             "-byte name field";
    }
    std::unique_ptr<char[]> name = RecodeNarrow(record.data(), TARGET_UTF8);
    if (!name || std::strlen(name.get()) >= sizeof(HashListEntry::name)) {
      return "record " + std::to_string(i) + "'s name does not convert to UTF-8 of at most " +
             std::to_string(sizeof(HashListEntry::name) - 1) + " bytes";
    }
  }
  return "";
}
