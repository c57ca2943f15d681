// A built patch opened for inspection: its payload through the program's own
// reader, the program's hash list, and what the executable image says about
// its own end and its signature.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "payload/hash_list.h"
#include "payload/payload_container.h"

// What the program's headers at the start of the file say: a Windows (PE)
// image, or the native build's ELF one.
struct ImageFacts {
  bool isProgram = false;
  bool is64 = false;
  uint64_t imageEnd = 0;        // end of the headers and the last section's raw data
  uint32_t signatureOffset = 0;  // the security directory (Authenticode), 0 when absent
  uint32_t signatureSize = 0;
};

struct OpenedPatch {
  PayloadContainer container;
  UpdateResult opened = UPDATE_E_PAYLOAD;
  uint64_t fileSize = 0;
  ImageFacts image;
  int hashListIndex = -1;  // the payload's TLM.hvl entry, -1 without one
  HashListTable hashes;    // empty when there is none or it cannot be used
  bool hashListDamaged = false;
};

// Opens path; false with *error set when the file cannot be read at all.
// A payload the reader refuses is not an error here: opened says why.
bool OpenPatch(const std::filesystem::path& path, OpenedPatch* patch, std::string* error);

// The reader's verdict in words.
const char* DescribeOpenResult(UpdateResult result);

// path in the form the platform layer takes (UTF-16).
std::u16string CorePath(const std::filesystem::path& path);

// A stored (narrow) name as UTF-8 text; the bytes escaped when they do not
// convert.
std::string NameAsText(const char* stored);
