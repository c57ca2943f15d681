// Patches and installations for the update run's tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "payload/content_hash.h"

// One file of a payload.
struct PayloadFile {
  PayloadFile(std::string name_, std::vector<uint8_t> data_, bool listed_ = true, std::string recordName_ = {},
              std::optional<ContentHash> recordHash_ = {})
      : name(std::move(name_)),
        data(std::move(data_)),
        listed(listed_),
        recordName(std::move(recordName_)),
        recordHash(recordHash_) {}

  std::string name;           // as stored in the directory
  std::vector<uint8_t> data;
  bool listed = true;         // the payload's hash list has a record for it
  std::string recordName;     // the record's name when it differs from name
  std::optional<ContentHash> recordHash;  // the record's hash when it differs from data's
};

// The hash list (256-byte records) for the listed files.
std::vector<uint8_t> PayloadHashList(const std::vector<PayloadFile>& files);

// Writes a patch (stub, padding, long-layout container) at path. The first
// entry is TLM.hvl built from the listed files unless hashList is given
// (an empty optional leaves the hash list out).
struct PatchOptions {
  bool withHashList = true;
  std::optional<std::vector<uint8_t>> hashListBytes;
  std::vector<uint8_t> stub = {'M', 'Z'};  // the program the payload is appended to
};
void WritePatch(const std::filesystem::path& path, const std::vector<PayloadFile>& files,
                const PatchOptions& options = {});

// Every file and folder under a folder: relative path ('/' separated) to its
// bytes; folders map to the marker "<folder>".
using FolderSnapshot = std::map<std::string, std::vector<uint8_t>>;
FolderSnapshot Snapshot(const std::filesystem::path& folder);

// Names in a snapshot that look like the run's temporary, backup, rewrite or
// journal files.
std::vector<std::string> Leftovers(const FolderSnapshot& snapshot);
