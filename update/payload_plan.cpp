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

HashListTable LoadPayloadHashList(PayloadContainer& container) {
  int index = FindPayloadHashList(container);
  if (index < 0 || !container.PositionAt(static_cast<uint32_t>(index))) return {};
  return LoadHashList(container.File(), container.Entry(static_cast<uint32_t>(index)).size);
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
