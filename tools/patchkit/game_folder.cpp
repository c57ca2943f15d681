#include "tools/patchkit/game_folder.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "install/version_check.h"
#include "platform/filesystem.h"
#include "text/text_codec.h"
#include "update/relative_path.h"

namespace fs = std::filesystem;

namespace {

// A component's bytes as the file system spells it: UTF-8 on Windows, the
// raw bytes on POSIX.
std::string ComponentBytes(const fs::path& component) {
#ifdef _WIN32
  std::u8string text = component.u8string();
  return std::string(text.begin(), text.end());
#else
  return component.string();
#endif
}

// name relative to root, '\' between components; *backslash when a
// component holds one itself.
std::string RelativeName(const fs::path& root, const fs::path& path, bool* backslash) {
  std::string name;
  *backslash = false;
  for (const fs::path& component : path.lexically_relative(root)) {
    std::string bytes = ComponentBytes(component);
    if (bytes.find('\\') != std::string::npos) *backslash = true;
    if (!name.empty()) name += '\\';
    name += bytes;
  }
  return name;
}

// A symbolic link or junction. On Windows the standard library's
// symlink_status follows every link and never reports one, so the platform
// layer's attributes tell it there; on POSIX the status does (and a name
// need not convert to UTF-16 there).
bool IsLink(const fs::path& path, const fs::file_status& status) {
  if (fs::is_symlink(status)) return true;
#ifdef _WIN32
  uint32_t attributes = OsGetFileAttributes(path.u16string().c_str());
  return attributes != OS_INVALID_FILE_ATTRIBUTES && (attributes & OS_FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
  (void)path;
  return false;
#endif
}

}  // namespace

std::string VersionArchiveName() {
  std::unique_ptr<char[]> name = WideToNarrow(kVersionArchiveName, TARGET_UTF8);
  return name ? name.get() : "";
}

bool WalkFolder(const fs::path& root, FolderTree* tree, std::string* error) {
  std::error_code code;
  if (!fs::is_directory(root, code)) {
    *error = Shown(root) + (fs::exists(root, code) ? ": not a folder" : ": no such folder");
    return false;
  }
  // Links below root are never followed: the options leave folder links
  // alone, and every entry is judged by its own status, not its target's.
  fs::recursive_directory_iterator walk(root, fs::directory_options::none, code);
  for (; !code && walk != fs::recursive_directory_iterator(); walk.increment(code)) {
    const fs::directory_entry& item = *walk;
    bool backslash = false;
    std::string name = RelativeName(root, item.path(), &backslash);
    fs::file_status status = item.symlink_status(code);
    if (code) break;
    if (IsLink(item.path(), status)) {
      tree->skipped.push_back({item.path(), name, "a link (never followed)"});
      walk.disable_recursion_pending();
    } else if (fs::is_directory(status)) {
      // A folder whose name holds a '\' is no folder the patch could name;
      // its files carry the flag.
      if (!backslash) tree->folders.push_back(name);
    } else if (fs::is_regular_file(status)) {
      uint64_t size = item.file_size(code);
      if (code) break;
      tree->files.push_back({item.path(), name, size, backslash});
    } else {
      tree->skipped.push_back({item.path(), name, "not a plain file"});
    }
  }
  if (code) {
    *error = "cannot list " + Shown(walk == fs::recursive_directory_iterator() ? root : walk->path()) + ": " +
             code.message();
    return false;
  }
  auto byName = [](const auto& a, const auto& b) { return a.name < b.name; };
  std::sort(tree->files.begin(), tree->files.end(), byName);
  std::sort(tree->folders.begin(), tree->folders.end());
  std::sort(tree->skipped.begin(), tree->skipped.end(), byName);
  return true;
}

void DropTopLevelHashList(FolderTree* tree) {
  std::unique_ptr<char[]> listName = WideToNarrow(kHashListFileName, TARGET_UTF8);
  std::string normal = NormalName(listName.get());
  std::erase_if(tree->files, [&](const FolderFile& file) { return NormalName(file.name) == normal; });
}

void DropFile(FolderTree* tree, const fs::path& target) {
  std::error_code code;
  if (!fs::exists(target, code)) return;
  std::erase_if(tree->files, [&](const FolderFile& file) {
    std::error_code ignored;
    return fs::equivalent(file.path, target, ignored);
  });
}

void WarnSkipped(const char* command, const FolderTree& tree) {
  for (const FolderSkip& skip : tree.skipped) {
    std::fprintf(stderr, "patchkit %s: warning: %s: %s, skipped\n", command, Shown(skip.path).c_str(),
                 skip.what.c_str());
  }
}

std::string NormalName(const std::string& name) {
  std::unique_ptr<char16_t[]> wide = NarrowToWide(name.c_str());
  std::string normal = wide ? NormalRelativeName(wide.get()) : "";
  if (normal.empty()) {
    // Not text: the bytes, ASCII letters lowered, still tell names apart.
    normal = name;
    for (char& c : normal) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return normal;
}

std::string FinalComponent(const std::string& name) {
  size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string FolderPart(const std::string& name) {
  size_t slash = name.rfind('\\');
  return slash == std::string::npos ? "" : name.substr(0, slash);
}

std::string RecordNameProblem(const FolderFile& file, HashListLayout layout) {
  if (file.backslashInComponent) return "its name holds a '\\', which Windows reads as a folder separator";
  size_t field = (layout == HashListLayout::Long ? kHashListLongRecordSize : kHashListShortRecordSize) - 8;
  if (file.name.size() >= field) {
    return "its name is " + std::to_string(file.name.size()) + " bytes; a " +
           (layout == HashListLayout::Long ? "long" : "short") + "-layout record holds at most " +
           std::to_string(field - 1);
  }
  std::unique_ptr<char16_t[]> wide = NarrowToWide(file.name.c_str());
  std::unique_ptr<char[]> utf8 = RecodeNarrow(file.name.c_str(), TARGET_UTF8);
  if (!wide || !utf8) return "its name cannot be read as text";
  // The program keeps every name in UTF-8, in at most 247 bytes.
  size_t utf8Size = std::strlen(utf8.get());
  if (utf8Size >= sizeof(HashListEntry::name)) {
    return "its name is " + std::to_string(utf8Size) + " bytes in UTF-8; the patch program reads at most " +
           std::to_string(sizeof(HashListEntry::name) - 1);
  }
  if (!IsSafeRelativeName(wide.get())) {
    return "the patch program refuses this name (outside the folder, a device, a character Windows forbids, or a "
           "name of its own)";
  }
  return "";
}

std::string FingerprintText(const ContentHash& hash) { return Hex(hash.bytes, sizeof hash.bytes); }

bool StreamFile(const fs::path& path, uint64_t expectedSize, ContentHash* hash, std::ostream* out, Progress* progress,
                std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + Shown(path);
    return false;
  }
  std::unique_ptr<char[]> piece(new char[kFilePiece]);
  uint64_t done = 0;
  while (in) {
    in.read(piece.get(), kFilePiece);
    std::streamsize got = in.gcount();
    if (got <= 0) break;
    UpdateContentHash(hash, piece.get(), static_cast<uint32_t>(got));
    if (out != nullptr && !out->write(piece.get(), got)) {
      *error = "cannot write the bytes of " + Shown(path);
      return false;
    }
    done += static_cast<uint64_t>(got);
    if (progress != nullptr) progress->Advance(static_cast<uint64_t>(got));
  }
  if (in.bad()) {
    *error = "cannot read " + Shown(path);
    return false;
  }
  if (done != expectedSize) {
    *error = Shown(path) + " changed while it was read (" + std::to_string(expectedSize) + " bytes, now " +
             std::to_string(done) + ")";
    return false;
  }
  return true;
}

bool CompareFiles(const fs::path& newer, const fs::path& older, uint64_t expectedSize, ContentHash* hash, bool* same,
                  Progress* progress, std::string* error) {
  std::ifstream first(newer, std::ios::binary), second(older, std::ios::binary);
  if (!first || !second) {
    *error = "cannot read " + Shown(!first ? newer : older);
    return false;
  }
  std::unique_ptr<char[]> a(new char[kFilePiece]), b(new char[kFilePiece]);
  uint64_t done = 0;
  *same = true;
  while (first) {
    first.read(a.get(), kFilePiece);
    std::streamsize got = first.gcount();
    if (got <= 0) break;
    UpdateContentHash(hash, a.get(), static_cast<uint32_t>(got));
    if (*same) {
      second.read(b.get(), got);
      *same = second.gcount() == got && std::memcmp(a.get(), b.get(), static_cast<size_t>(got)) == 0;
    }
    done += static_cast<uint64_t>(got);
    if (progress != nullptr) progress->Advance(static_cast<uint64_t>(got));
  }
  if (first.bad() || second.bad()) {
    *error = "cannot read " + Shown(first.bad() ? newer : older);
    return false;
  }
  if (done != expectedSize) {
    *error = Shown(newer) + " changed while it was read";
    return false;
  }
  // The older file may have grown since it was listed.
  if (*same && second.peek() != std::char_traits<char>::eof()) *same = false;
  return true;
}

bool FingerprintFiles(const std::vector<FolderFile>& files, std::vector<ContentHash>* hashes, bool quiet,
                      std::string* error) {
  uint64_t total = 0;
  for (const FolderFile& file : files) total += file.size;
  Progress progress("fingerprinting", total, quiet);
  hashes->assign(files.size(), ContentHash{});
  for (size_t i = 0; i < files.size(); ++i) {
    if (!StreamFile(files[i].path, files[i].size, &(*hashes)[i], nullptr, &progress, error)) return false;
  }
  return true;
}
