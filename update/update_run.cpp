#include "update/update_run.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "install/uninstall_list.h"
#include "payload/content_hash.h"
#include "payload/hash_list.h"
#include "payload/payload_container.h"
#include "update/relative_path.h"
#include "platform/filesystem.h"
#include "text/text_codec.h"

namespace {

constexpr uint32_t kPieceSize = 0x100000;
constexpr uint32_t kFileBarHigh = 0xFFFF;
// Backups are named "<destination>.lumetria-bak" or, when a file of that name
// is already there, "<destination>.lumetria-bak1" up to "...bak99".
constexpr int kBackupAttempts = 100;

bool StopRequested() { return g_windowClosed != 0 || g_cancelRequested != 0; }

// Pumps; a quit request closes the run like a closed dialog.
bool PumpQuit(ProgressUi& ui) {
  if (ui.Pump() != 1) return false;
  g_windowClosed = 1;
  return true;
}

UpdateResult FinalResult(UpdateResult result) {
  if (g_windowClosed) result = UPDATE_E_CLOSED;
  if (g_cancelRequested) result = UPDATE_E_CANCELLED;
  return result;
}

std::u16string Format(const char16_t* format, const std::u16string& first, const std::u16string& second) {
  char16_t buffer[kPathCapacity];
  if (FormatWide(buffer, kPathCapacity, format, first.c_str(), second.c_str()) < 0) return {};
  return buffer;
}

// One payload entry as the run installs it.
struct EntryPlan {
  PayloadEntry entry;
  const HashListEntry* record = nullptr;  // the hash-list record it is verified against, if any
  std::u16string name;                    // relative to the install folder
  std::u16string temporary;
  std::u16string destination;
};

// What the commit did for one entry, so that it can be undone.
struct CommitStep {
  const EntryPlan* plan;
  uint32_t originalAttributes = OS_INVALID_FILE_ATTRIBUTES;
  std::u16string backup;  // where the original was moved; empty when there was none
  bool installed = false;
};

class UpdateRun {
 public:
  UpdateRun(const char16_t* installFolder, ProgressUi& ui) : m_folder(installFolder), m_ui(ui) {}

  UpdateResult Run(const char16_t* patchPath);
  // Deletes the temporary file of every entry the extraction began.
  void RemoveTemporaryFiles();

 private:
  void LoadPayloadHashList();
  bool PlanEntries();
  bool Extract(uint32_t index, uint8_t* piece, UpdateResult* result);
  bool Commit();
  void Undo(std::vector<CommitStep>& steps);
  std::u16string FreeBackupName(const std::u16string& destination);

  std::u16string m_folder;
  ProgressUi& m_ui;
  PayloadContainer m_container;
  HashListTable m_hashes;
  std::vector<EntryPlan> m_plans;
  uint32_t m_begun = 0;
};

// The payload's own hash list: its first entry named "tlm.hvl" in any case.
void UpdateRun::LoadPayloadHashList() {
  for (uint32_t i = 0; i < m_container.EntryCount(); ++i) {
    std::unique_ptr<char[]> name = RecodeNarrow(m_container.Entry(i).name, TARGET_UTF8);
    if (!name) continue;
    LowerCaseNarrow(name.get());
    if (CompareNarrow(name.get(), "tlm.hvl") != 0) continue;
    if (m_container.PositionAt(i)) m_hashes = LoadHashList(m_container.File(), m_container.Entry(i).size);
    return;
  }
}

// Works out every entry's names and paths before anything is written, and
// refuses a payload that would write outside the install folder, whose
// paths would not fit, that names one file twice, or one of whose files
// would land on another entry's temporary file.
bool UpdateRun::PlanEntries() {
  std::vector<std::string> destinations;
  std::vector<std::string> temporaries;
  for (uint32_t i = 0; i < m_container.EntryCount(); ++i) {
    EntryPlan plan;
    plan.entry = m_container.Entry(i);
    plan.record = FindHashListEntry(m_hashes, plan.entry.name);
    std::unique_ptr<char16_t[]> wide = NarrowToWide(plan.record ? plan.record->name : plan.entry.name);
    if (!wide) return false;
    plan.name = wide.get();
    if (!IsSafeRelativeName(plan.name)) return false;
    plan.temporary = Format(u"%s\\%s.tmp", m_folder, plan.name);
    plan.destination = Format(u"%s\\%s", m_folder, plan.name);
    // The longest backup name must fit as well.
    if (plan.temporary.empty() || plan.destination.empty() ||
        plan.destination.size() + std::char_traits<char16_t>::length(kBackupMarker) + 2 >= kPathCapacity) {
      return false;
    }
    destinations.push_back(NormalRelativeName(plan.name));
    temporaries.push_back(NormalRelativeName(plan.name + u".tmp"));
    m_plans.push_back(std::move(plan));
  }
  std::vector<std::string> sorted = destinations;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return false;
  for (const std::string& temporary : temporaries) {
    if (std::binary_search(sorted.begin(), sorted.end(), temporary)) return false;
  }
  return true;
}

// Extracts entry index into its temporary file, hashing every piece on the
// way, and verifies it. True when the entry is complete and verified (or has
// no record); false to leave the extraction, with *result set where the
// failure has a code of its own.
bool UpdateRun::Extract(uint32_t index, uint8_t* piece, UpdateResult* result) {
  const EntryPlan& plan = m_plans[index];
  if (!m_container.PositionAt(index)) return false;
  m_begun = index + 1;

  char16_t status[kPathCapacity];
  if (FormatWide(status, kPathCapacity, u"%sをインストール中", plan.name.c_str()) >= 0) m_ui.SetStatus(status);
  m_ui.SetFilePosition(0);
  if (PumpQuit(m_ui)) return false;

  CFileDX temporary;
  // A read-only leftover of the same name would refuse the open.
  OsSetFileAttributes(plan.temporary.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
  if (!temporary.OpenWrite(plan.temporary.c_str(), 0)) {
    *result = UPDATE_E_WRITE;
    return false;
  }
  ContentHash computed;
  uint32_t size = plan.entry.size;
  uint32_t done = 0;
  bool failed = false;
  while (done < size) {
    if (StopRequested()) break;
    uint32_t length = std::min(kPieceSize, size - done);
    if (m_container.ReadNext(piece, length) != length) {
      failed = true;
      break;
    }
    UpdateContentHash(&computed, piece, length);
    if (temporary.Write(piece, length) != length) {
      *result = UPDATE_E_WRITE;
      failed = true;
      break;
    }
    done += length;
    m_ui.SetFilePosition(static_cast<uint32_t>(uint64_t{done} * kFileBarHigh / size));
    if (PumpQuit(m_ui)) break;
  }
  // The content must be on the device before the commit can rename it into
  // place; a file that cannot be flushed or closed cleanly is not trusted.
  if (!failed && done == size && !StopRequested() && !temporary.Flush()) {
    *result = UPDATE_E_WRITE;
    failed = true;
  }
  if (temporary.Close() != 1 && !failed && done == size && !StopRequested()) {
    *result = UPDATE_E_WRITE;
    failed = true;
  }
  if (StopRequested() || failed) return false;
  if (plan.record != nullptr && !(plan.record->hash == computed)) return false;
  m_ui.SetOverallPosition(index + 1);
  return !PumpQuit(m_ui);
}

std::u16string UpdateRun::FreeBackupName(const std::u16string& destination) {
  for (int attempt = 0; attempt < kBackupAttempts; ++attempt) {
    std::u16string name = destination + kBackupMarker;
    if (attempt > 0) {
      std::string digits = std::to_string(attempt);
      name.append(digits.begin(), digits.end());
    }
    if (OsGetFileAttributes(name.c_str()) == OS_INVALID_FILE_ATTRIBUTES) return name;
  }
  return {};
}

// Renames every temporary file over its destination, in payload order. An
// existing destination is first moved to a backup name (never over an
// existing file), so that a failure can put every original back.
bool UpdateRun::Commit() {
  std::vector<CommitStep> steps;
  steps.reserve(m_plans.size());
  for (const EntryPlan& plan : m_plans) {
    CommitStep& step = steps.emplace_back();
    step.plan = &plan;
    const char16_t* destination = plan.destination.c_str();
    step.originalAttributes = OsGetFileAttributes(destination);
    if (step.originalAttributes != OS_INVALID_FILE_ATTRIBUTES &&
        (step.originalAttributes & OS_FILE_ATTRIBUTE_DIRECTORY) != 0) {
      Undo(steps);
      return false;
    }
    // Lets a read-only installed file be replaced.
    OsSetFileAttributes(destination, OS_FILE_ATTRIBUTE_NORMAL);
    std::u16string backup = FreeBackupName(plan.destination);
    if (backup.empty()) {
      Undo(steps);
      return false;
    }
    if (OsMoveFile(destination, backup.c_str(), false)) {
      step.backup = backup;
    } else if (OsLastError() != OS_ERROR_FILE_NOT_FOUND) {
      Undo(steps);
      return false;
    }
    if (!OsMoveFile(plan.temporary.c_str(), destination, true)) {
      Undo(steps);
      return false;
    }
    step.installed = true;
  }
  for (const CommitStep& step : steps) {
    if (step.backup.empty()) continue;
    // The original may still carry its read-only attribute.
    OsSetFileAttributes(step.backup.c_str(), OS_FILE_ATTRIBUTE_NORMAL);
    OsDeleteFile(step.backup.c_str());
  }
  return true;
}

// Puts every original back where the commit moved it away, removes the new
// files that had no original, and restores the attributes, newest first.
void UpdateRun::Undo(std::vector<CommitStep>& steps) {
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    const char16_t* destination = step->plan->destination.c_str();
    if (!step->backup.empty()) {
      OsMoveFile(step->backup.c_str(), destination, true);
    } else if (step->installed) {
      OsDeleteFile(destination);
    }
    if (step->originalAttributes != OS_INVALID_FILE_ATTRIBUTES) {
      OsSetFileAttributes(destination, step->originalAttributes);
    }
  }
}

void UpdateRun::RemoveTemporaryFiles() {
  for (uint32_t i = 0; i < m_begun; ++i) OsDeleteFile(m_plans[i].temporary.c_str());
}

UpdateResult UpdateRun::Run(const char16_t* patchPath) {
  UpdateResult result = UPDATE_E_PAYLOAD;
  UpdateResult opened = m_container.Open(patchPath);
  if (opened != UPDATE_OK) return opened;
  LoadPayloadHashList();
  if (!PlanEntries()) return UPDATE_E_PAYLOAD;

  uint32_t count = m_container.EntryCount();
  m_ui.SetFileRange(kFileBarHigh);
  m_ui.SetFilePosition(0);
  m_ui.SetOverallRange(count);
  m_ui.SetOverallPosition(0);
  PumpQuit(m_ui);

  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPieceSize]);
  if (!piece) return UPDATE_E_WRITE;
  uint32_t completed = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (StopRequested() || !Extract(i, piece.get(), &result)) break;
    ++completed;
  }
  piece.reset();

  if (completed != count || StopRequested()) return result;
  if (!Commit()) return UPDATE_E_WRITE;
  PruneInstalledHashList(m_folder.c_str());
  std::vector<const char16_t*> names;
  for (const EntryPlan& plan : m_plans) names.push_back(plan.name.c_str());
  names.push_back(nullptr);
  return MergeUninstallList(m_folder.c_str(), names.data()) ? UPDATE_OK : UPDATE_E_UNINSTALL_LIST;
}

}  // namespace

UpdateResult RunUpdateFrom(const char16_t* patchPath, const char16_t* installFolder, ProgressUi& ui) {
  UpdateRun run(installFolder, ui);
  UpdateResult result;
  try {
    result = run.Run(patchPath);
  } catch (const std::bad_alloc&) {
    result = UPDATE_E_WRITE;
  }
  run.RemoveTemporaryFiles();
  return FinalResult(result);
}

UpdateResult RunUpdate(const char16_t* installFolder, ProgressUi& ui) {
  char16_t path[kExecutablePathCapacity];
  // A path cut to the buffer would name another file, or none.
  uint32_t length = OsGetModulePath(path, kExecutablePathCapacity);
  if (length == 0 || length >= kExecutablePathCapacity) return FinalResult(UPDATE_E_PAYLOAD);
  return RunUpdateFrom(path, installFolder, ui);
}
