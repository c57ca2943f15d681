// Writes hash lists, for the publisher's toolkit and for test fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "payload/hash_list.h"

enum class HashListLayout { Long, Short };

struct HashListRecord {
  std::string name;  // stored bytes (code page 932 or UTF-8), without terminator
  ContentHash hash;
};

// The whole file: header (with the given reserved value) and records. Fails
// with a message in *error when a name is empty, holds a zero byte, or does
// not fit its field with its terminator.
bool BuildHashList(const std::vector<HashListRecord>& records, HashListLayout layout, uint32_t reserved,
                   std::vector<uint8_t>* out, std::string* error);
