// What the patch program will make of a payload and of a hash list, worked
// out by the program's own code (its container reader, LoadHashList and
// PlanPayloadEntries), so that what the toolkit writes is what the program
// accepts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "update/payload_plan.h"

// One entry as the program plans it.
struct PlannedFile {
  std::string stored;       // the stored name, as text
  std::string destination;  // relative to the install folder, as text
  std::string normal;       // the destination's normal form
  bool hasRecord = false;   // a record of the payload's hash list verifies it
  std::string recordName;
  ContentHash recordHash;
};

struct PayloadVerdict {
  PlanProblem problem = PlanProblem::None;
  uint32_t bad = 0;                  // the refused entry, when problem is not None
  std::vector<PlannedFile> entries;  // the entries planned before it (all of them without a problem)
  int hashListIndex = -1;            // the payload's TLM.hvl, -1 without one
  uint32_t hashListRecords = 0;      // the records the program took from it (0: none, or not usable)
  bool hashListUsable = true;        // false: the program refuses the payload as damaged
};

// Opens the patch at path as the program does and plans its entries. False
// with *error when the program could not read the payload at all.
bool JudgePayload(const std::filesystem::path& path, PayloadVerdict* verdict, std::string* error);

// Writes the start of a patch: the stub's bytes (none when stub is empty),
// zero bytes up to the payload offset, the container's head and the bytes
// of its first entry. False with *error naming the stub when it cannot be
// read or is too large.
bool WritePatchStart(std::ostream& out, const std::filesystem::path& stub, const std::vector<uint8_t>& head,
                     const std::vector<uint8_t>& firstEntry, std::string* error);

// The layout facts of a hash list's 16-byte header.
struct HashListHeader {
  bool isLong = false;
  uint32_t recordSize = 0;
  uint32_t reserved = 0;
  uint32_t count = 0;
};

// Reads the header of the hash list at path (size bytes). Empty when the
// header is whole and its magic known; else why not.
std::string ReadHashListHeader(const std::filesystem::path& path, uint64_t size, HashListHeader* header);

// Why LoadHashList refuses the list at path (size bytes): the first fault
// it meets, in words; empty when none is found.
std::string DescribeHashListDamage(const std::filesystem::path& path, uint64_t size);
