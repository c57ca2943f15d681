#include "tools/patchkit/container_writer.h"

#include <cstring>
#include <fstream>

#include "payload/byte_order.h"

namespace {

bool Fail(std::string* error, std::string message) {
  if (error) *error = std::move(message);
  return false;
}

}  // namespace

bool BuildContainerHead(const std::vector<ContainerItem>& items, ContainerLayout layout, std::vector<uint8_t>* head,
                        std::string* error) {
  const PayloadLayout& format = layout == ContainerLayout::Long ? kPayloadLongLayout : kPayloadShortLayout;
  if (items.size() > kPayloadMaxEntries) {
    return Fail(error, "a container holds at most " + std::to_string(kPayloadMaxEntries) + " entries, got " +
                           std::to_string(items.size()));
  }
  uint32_t count = static_cast<uint32_t>(items.size());
  std::vector<uint8_t> out(kPayloadHeaderSize + size_t{count} * format.recordSize, 0);
  std::memcpy(out.data(), layout == ContainerLayout::Long ? kPayloadLongMagic : kPayloadShortMagic, 12);
  StoreLe32(out.data() + 12, count);

  uint64_t dataArea = uint64_t{kPayloadOffset} + out.size();
  uint64_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const ContainerItem& item = items[i];
    if (item.name.empty() || item.name.find('\0') != std::string::npos) {
      return Fail(error, "entry " + std::to_string(i) + " has an empty name or a name with a zero byte");
    }
    if (item.name.size() >= format.nameSize) {
      return Fail(error, "name '" + item.name + "' is " + std::to_string(item.name.size()) +
                             " bytes; this layout holds at most " + std::to_string(format.nameSize - 1));
    }
    if (dataArea + offset + item.size > 0x100000000ull) {
      return Fail(error, "entry '" + item.name + "' would reach past 4 GiB of file offset");
    }
    uint8_t* record = out.data() + kPayloadHeaderSize + size_t{i} * format.recordSize;
    std::memcpy(record, item.name.data(), item.name.size());
    StoreLe32(record + format.nameSize, static_cast<uint32_t>(offset));
    StoreLe32(record + format.nameSize + 4, item.size);
    offset += item.size;
  }
  *head = std::move(out);
  return true;
}

bool BuildContainer(const std::vector<ContainerFile>& files, ContainerLayout layout, std::vector<uint8_t>* container,
                    std::string* error) {
  std::vector<ContainerItem> items;
  for (const ContainerFile& file : files) {
    if (file.data.size() > 0xFFFFFFFFu) return Fail(error, "entry '" + file.name + "' is 4 GiB or larger");
    items.push_back({file.name, static_cast<uint32_t>(file.data.size())});
  }
  std::vector<uint8_t> out;
  if (!BuildContainerHead(items, layout, &out, error)) return false;
  for (const ContainerFile& file : files) out.insert(out.end(), file.data.begin(), file.data.end());
  *container = std::move(out);
  return true;
}

bool BuildPatchImage(const std::vector<uint8_t>& executable, const std::vector<uint8_t>& container,
                     std::vector<uint8_t>* image, std::string* error) {
  if (executable.size() > kPayloadOffset) {
    return Fail(error, "the executable is " + std::to_string(executable.size()) +
                           " bytes; the payload must start at " + std::to_string(kPayloadOffset));
  }
  std::vector<uint8_t> out(executable);
  out.resize(kPayloadOffset, 0);
  out.insert(out.end(), container.begin(), container.end());
  *image = std::move(out);
  return true;
}

bool WriteWholeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return Fail(error, "cannot create " + path.string());
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Fail(error, "cannot write " + path.string());
  return true;
}
