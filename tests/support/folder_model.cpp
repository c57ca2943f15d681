#include "tests/support/folder_model.h"

#include <gtest/gtest.h>

#include "platform/filesystem.h"
#include "update/journal.h"
#include "tests/support/test_files.h"

namespace fs = std::filesystem;

namespace {

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size()) code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (code == u'\\') code = '/';
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

}  // namespace

TraceRecorder::TraceRecorder(std::u16string folder) : m_folder(std::move(folder)) { OsTraceSet(&OnEvent, this); }

TraceRecorder::~TraceRecorder() { OsTraceSet(nullptr, nullptr); }

std::string TraceRecorder::Relative(const char16_t* path, bool* inside) const {
  if (path == nullptr) return {};
  std::u16string full = path;
  if (full == m_folder) return {};
  if (full.size() > m_folder.size() && full.compare(0, m_folder.size(), m_folder) == 0 &&
      full[m_folder.size()] == u'\\') {
    return Utf8(full.substr(m_folder.size() + 1));
  }
  *inside = false;
  return Utf8(full);
}

void TraceRecorder::OnEvent(const OsTraceEvent& event, void* context) {
  auto* self = static_cast<TraceRecorder*>(context);
  TracedOperation operation;
  operation.index = OsFaultTotalCalls();
  operation.op = event.op;
  operation.file = event.file;
  if (event.op == OsOp::WriteValue || event.op == OsOp::DeleteValue) {
    operation.path = Utf8(event.path);
  } else {
    operation.path = self->Relative(event.path, &operation.inside);
    operation.path2 = self->Relative(event.path2, &operation.inside);
  }
  if (event.op == OsOp::Write || (event.op == OsOp::WriteValue && event.data != nullptr)) {
    const auto* bytes = static_cast<const uint8_t*>(event.data);
    operation.data.assign(bytes, bytes + event.size);
  }
  operation.position = event.position;
  operation.attributes = event.attributes;
  self->m_operations.push_back(std::move(operation));
}

FolderModel::FolderModel(const fs::path& root) {
  m_folders[""];
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(item.path(), root).generic_string();
    if (item.is_directory()) {
      m_folders[name];
      continue;
    }
    Node node;
    node.data = node.durable = ReadFileBytes(item.path());
    node.readOnly = (fs::status(item.path()).permissions() & fs::perms::owner_write) == fs::perms::none;
    m_nodes.push_back(std::move(node));
    auto [folder, leaf] = Split(name);
    m_folders[folder][leaf] = m_nodes.size() - 1;
  }
  m_durableFolders = m_folders;
}

std::pair<std::string, std::string> FolderModel::Split(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

size_t* FolderModel::Find(const std::string& path) {
  auto [folder, leaf] = Split(path);
  auto entries = m_folders.find(folder);
  if (entries == m_folders.end()) return nullptr;
  auto entry = entries->second.find(leaf);
  return entry == entries->second.end() ? nullptr : &entry->second;
}

void FolderModel::Apply(const TracedOperation& operation) {
  auto [folder, leaf] = Split(operation.path);
  switch (operation.op) {
    case OsOp::OpenWrite:
    case OsOp::CreateNew: {
      size_t* existing = Find(operation.path);
      size_t node;
      if (existing != nullptr && operation.op == OsOp::OpenWrite) {
        node = *existing;
      } else {
        m_nodes.emplace_back();
        node = m_nodes.size() - 1;
        m_folders[folder][leaf] = node;
      }
      if (operation.attributes != 0) m_nodes[node].data.clear();
      m_open[operation.file] = {node, 0};
      break;
    }
    case OsOp::Write: {
      auto& [node, position] = m_open.at(operation.file);
      std::vector<uint8_t>& data = m_nodes[node].data;
      size_t end = static_cast<size_t>(position) + operation.data.size();
      if (data.size() < end) data.resize(end);
      std::copy(operation.data.begin(), operation.data.end(), data.begin() + static_cast<ptrdiff_t>(position));
      position += operation.data.size();
      break;
    }
    case OsOp::Seek:
      if (m_open.count(operation.file) != 0) m_open[operation.file].second = static_cast<size_t>(operation.position);
      break;
    case OsOp::Flush:
      if (m_open.count(operation.file) != 0) {
        Node& node = m_nodes[m_open[operation.file].first];
        node.durable = node.data;
      }
      break;
    case OsOp::Close:
      m_open.erase(operation.file);
      break;
    case OsOp::Move:
    case OsOp::Link: {
      size_t node = *Find(operation.path);
      auto [toFolder, toLeaf] = Split(operation.path2);
      m_folders[toFolder][toLeaf] = node;
      if (operation.op == OsOp::Move && operation.path != operation.path2) m_folders[folder].erase(leaf);
      break;
    }
    case OsOp::Delete:
      m_folders[folder].erase(leaf);
      break;
    case OsOp::FlushFolder:
      m_durableFolders[operation.path] = m_folders[operation.path];
      break;
    case OsOp::SetAttributes:
      if (size_t* node = Find(operation.path)) m_nodes[*node].readOnly = (operation.attributes & OS_FILE_ATTRIBUTE_READONLY) != 0;
      break;
    case OsOp::WriteValue:
      m_journal = operation.data;
      break;
    case OsOp::DeleteValue:
      m_journal.clear();
      break;
    case OsOp::CopyAttributes:
      if (size_t* node = Find(operation.path2)) m_nodes[*node].readOnly = (operation.attributes & OS_FILE_ATTRIBUTE_READONLY) != 0;
      break;
    default:
      break;
  }
}

void FolderModel::LayOut(const fs::path& root, bool durable) const {
  if (fs::exists(root)) {
    for (const auto& item : fs::recursive_directory_iterator(root)) {
      fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    fs::remove_all(root);
  }
  const std::map<std::string, Entries>& folders = durable ? m_durableFolders : m_folders;
  for (const auto& [folder, entries] : folders) fs::create_directories(folder.empty() ? root : root / folder);
  std::map<size_t, fs::path> laidOut;
  for (const auto& [folder, entries] : folders) {
    for (const auto& [leaf, node] : entries) {
      fs::path path = (folder.empty() ? root : root / folder) / leaf;
      auto first = laidOut.find(node);
      if (first != laidOut.end()) {
        fs::create_hard_link(first->second, path);
        continue;
      }
      WriteFileBytes(path, durable ? m_nodes[node].durable : m_nodes[node].data);
      if (m_nodes[node].readOnly) SetReadOnly(path, true);
      laidOut[node] = path;
    }
  }
}

void FolderModel::LayOutJournal(const std::u16string& folder) const {
  if (m_journal.empty()) {
    ASSERT_TRUE(RemoveJournal(JournalValueName(folder)));
  } else {
    ASSERT_TRUE(StoreJournal(JournalValueName(folder), m_journal));
  }
}
