#include "tests/support/update_fixture.h"

#include <gtest/gtest.h>

#include "tests/support/test_files.h"
#include "tests/tools/hash_suffix.h"
#include "tools/patchkit/container_writer.h"
#include "tools/patchkit/hash_list_writer.h"

namespace fs = std::filesystem;

std::vector<uint8_t> PayloadHashList(const std::vector<PayloadFile>& files) {
  std::vector<HashListRecord> records;
  for (const PayloadFile& file : files) {
    if (!file.listed) continue;
    records.push_back({file.recordName.empty() ? file.name : file.recordName,
                       file.recordHash ? *file.recordHash : HashOfBytes(file.data)});
  }
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BuildHashList(records, HashListLayout::Long, 0, &bytes, &error)) << error;
  return bytes;
}

void WritePatch(const fs::path& path, const std::vector<PayloadFile>& files, const PatchOptions& options) {
  std::vector<ContainerFile> entries;
  if (options.withHashList) {
    entries.push_back({"TLM.hvl", options.hashListBytes ? *options.hashListBytes : PayloadHashList(files)});
  }
  for (const PayloadFile& file : files) entries.push_back({file.name, file.data});
  std::vector<uint8_t> container;
  std::vector<uint8_t> image;
  std::string error;
  ASSERT_TRUE(BuildContainer(entries, ContainerLayout::Long, &container, &error)) << error;
  ASSERT_TRUE(BuildPatchImage(options.stub, container, &image, &error)) << error;
  WriteFileBytes(path, image);
}

FolderSnapshot Snapshot(const fs::path& folder) {
  FolderSnapshot snapshot;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    std::string name = fs::relative(item.path(), folder).generic_string();
    if (item.is_directory()) {
      snapshot[name] = Bytes("<folder>");
    } else {
      snapshot[name] = ReadFileBytes(item.path());
    }
  }
  return snapshot;
}

std::vector<std::string> Leftovers(const FolderSnapshot& snapshot) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : snapshot) {
    bool temporary = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    if (temporary || name.find(".lumetria-bak") != std::string::npos || name.find(".new") != std::string::npos ||
        name == "lumetria-patch.journal") {
      names.push_back(name);
    }
  }
  return names;
}
