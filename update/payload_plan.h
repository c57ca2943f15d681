// How the run names and judges a payload's entries before anything is
// written, with no installation needed: the run and the publisher's toolkit
// share it, so a payload the toolkit passes is one the run accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload/hash_list.h"
#include "payload/payload_container.h"

// One entry as the run installs it.
struct PlannedEntry {
  PayloadEntry entry;
  const HashListEntry* record = nullptr;  // the hash-list record it is verified against, if any
  std::u16string name;                    // relative to the install folder: the record's name, else the stored one
};

enum class PlanProblem {
  None,
  UnreadableName,    // the name does not convert to UTF-16
  UnsafeName,        // outside the folder, a device, a name of the run's own...
  SameFileTwice,     // another entry already names this file (in any case)
  LandsOnTemporary,  // the file is another entry's temporary file
};

// The index of the payload's own hash list, its first entry named "tlm.hvl"
// in any case; -1 when there is none.
int FindPayloadHashList(const PayloadContainer& container);

// The payload's hash list as the run reads it into *table (empty when there
// is none). False when the payload carries one that cannot be used: the
// payload is then damaged, since nothing in it could be verified. The list's
// count is trusted only as far as the bytes that are really in the file,
// whatever size the directory claims for the entry.
bool LoadPayloadHashList(PayloadContainer& container, HashListTable* table);

// Works out every entry's name, in order, and stops at the first entry the
// run would refuse: *bad is then its index (the later of two entries naming
// one file). plans gets the entries planned before it.
PlanProblem PlanPayloadEntries(const PayloadContainer& container, const HashListTable& hashes,
                               std::vector<PlannedEntry>* plans, uint32_t* bad);

// Why an entry is refused, in words, for tools.
const char* DescribePlanProblem(PlanProblem problem);
