#include "update/payload_plan.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "text/text_codec.h"
#include "update/relative_path.h"

int FindPayloadHashList(const PayloadContainer& container) {
  for (uint32_t i = 0; i < container.EntryCount(); ++i) {
    std::unique_ptr<char[]> name = RecodeNarrow(container.Entry(i).name, TARGET_UTF8);
    if (!name) continue;
    LowerCaseNarrow(name.get());
    if (CompareNarrow(name.get(), "tlm.hvl") == 0) return static_cast<int>(i);
  }
  return -1;
}

bool LoadPayloadHashList(PayloadContainer& container, HashListTable* table) {
  *table = {};
  int found = FindPayloadHashList(container);
  if (found < 0) return true;
  uint32_t index = static_cast<uint32_t>(found);
  if (!container.PositionAt(index)) return false;
  uint64_t start = uint64_t{container.DataAreaOffset()} + container.Entry(index).offset;
  uint64_t fileSize = container.File().GetSize();
  uint64_t inFile = start < fileSize ? fileSize - start : 0;
  uint64_t available = std::min<uint64_t>(container.Entry(index).size, inFile);
  *table = LoadHashList(container.File(), available);
  return table->loaded;
}

PlanProblem PlanPayloadEntries(const PayloadContainer& container, const HashListTable& hashes,
                               std::vector<PlannedEntry>* plans, uint32_t* bad) {
  // Normal forms of the names so far and of their temporary files, each
  // with the index of its entry.
  std::vector<std::pair<std::string, uint32_t>> destinations;
  std::vector<std::pair<std::string, uint32_t>> temporaries;
  auto holds = [](const std::vector<std::pair<std::string, uint32_t>>& names, const std::string& name) {
    return std::any_of(names.begin(), names.end(), [&](const auto& item) { return item.first == name; });
  };
  for (uint32_t i = 0; i < container.EntryCount(); ++i) {
    *bad = i;
    PlannedEntry plan;
    plan.entry = container.Entry(i);
    plan.record = FindHashListEntry(hashes, plan.entry.name);
    std::unique_ptr<char16_t[]> wide = NarrowToWide(plan.record ? plan.record->name : plan.entry.name);
    if (!wide) return PlanProblem::UnreadableName;
    plan.name = wide.get();
    if (!IsSafeRelativeName(plan.name)) return PlanProblem::UnsafeName;
    std::string destination = NormalRelativeName(plan.name);
    std::string temporary = NormalRelativeName(plan.name + u".tmp");
    if (holds(destinations, destination)) return PlanProblem::SameFileTwice;
    if (holds(temporaries, destination) || holds(destinations, temporary)) return PlanProblem::LandsOnTemporary;
    destinations.emplace_back(std::move(destination), i);
    temporaries.emplace_back(std::move(temporary), i);
    plans->push_back(std::move(plan));
  }
  return PlanProblem::None;
}

const char* DescribePlanProblem(PlanProblem problem) {
  switch (problem) {
    case PlanProblem::None:
      return "accepted";
    case PlanProblem::UnreadableName:
      return "the name cannot be read as text";
    case PlanProblem::UnsafeName:
      return "the name is not one the patch may write (outside the folder, a device, or a name of its own)";
    case PlanProblem::SameFileTwice:
      return "another entry names the same file";
    case PlanProblem::LandsOnTemporary:
      return "the file would land on another entry's temporary file";
  }
  return "refused";
}
