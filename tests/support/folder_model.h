// A model of what the file system holds after a crash, built from the
// platform layer's trace of a run.
//
// It starts from a folder as it is on disk (everything durable) and replays
// the operations that changed it: creations, writes, flushes, renames,
// links, deletions, attribute changes and folder flushes. At any point it
// can lay out either what a killed process leaves (every operation done so
// far) or what a power cut leaves: each file's contents as of its last
// flush (a file never flushed is empty) and each folder's entries as of its
// last flush.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/fault.h"

// One traced operation, copied out of the layer's event.
struct TracedOperation {
  uint32_t index = 0;  // the operation's number in the run (OsFaultTotalCalls)
  OsOp op = OsOp::Count_;
  OsFile file = kOsInvalidFile;
  bool inside = true;  // every path of it lies inside the modelled folder
  std::string path;    // relative to the modelled folder, '/' between components; values: the name
  std::string path2;
  std::vector<uint8_t> data;
  int64_t position = 0;
  uint32_t attributes = 0;
};

// Records the operations of everything run while it exists; paths are
// taken relative to folder (a core path).
class TraceRecorder {
 public:
  explicit TraceRecorder(std::u16string folder);
  ~TraceRecorder();
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  const std::vector<TracedOperation>& Operations() const { return m_operations; }

 private:
  static void OnEvent(const OsTraceEvent& event, void* context);
  std::string Relative(const char16_t* path, bool* inside) const;

  std::u16string m_folder;
  std::vector<TracedOperation> m_operations;
};

class FolderModel {
 public:
  explicit FolderModel(const std::filesystem::path& root);

  void Apply(const TracedOperation& operation);

  // Replaces the folder at root by the modelled state: durable for the
  // power cut, or as a killed process leaves it.
  void LayOut(const std::filesystem::path& root, bool durable) const;
  // Stores the modelled journal as the journal of folder (a core path), or
  // removes that folder's journal when the model has none.
  void LayOutJournal(const std::u16string& folder) const;
  // Starts the journal's model from the given bytes (empty: none).
  void SetJournalBytes(std::vector<uint8_t> bytes) { m_journal = std::move(bytes); }
  // The modelled journal's bytes; empty when there is none.
  const std::vector<uint8_t>& JournalBytes() const { return m_journal; }

 private:
  struct Node {
    std::vector<uint8_t> data;
    std::vector<uint8_t> durable;
    bool readOnly = false;
  };
  using Entries = std::map<std::string, size_t>;  // name in its folder -> node

  static std::pair<std::string, std::string> Split(const std::string& path);
  size_t* Find(const std::string& path);

  std::vector<Node> m_nodes;
  std::map<std::string, Entries> m_folders;  // folder ("" for the root) -> entries
  std::map<std::string, Entries> m_durableFolders;
  std::map<OsFile, std::pair<size_t, size_t>> m_open;  // handle -> node, position
  std::vector<uint8_t> m_journal;
};
