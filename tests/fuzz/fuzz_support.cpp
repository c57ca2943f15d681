#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace fuzz {
namespace {

fs::path g_root;

void RemoveRoot() {
  if (g_root.empty()) return;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(g_root, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(g_root, error);
}

bool CanWriteTo(const char* folder) {
  struct stat info {};
  return stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && access(folder, W_OK | X_OK) == 0;
}

}  // namespace

const fs::path& ScratchRoot() {
  if (!g_root.empty()) return g_root;
  const char* base = "/dev/shm";
  if (!CanWriteTo(base)) {
    base = std::getenv("TMPDIR");
    if (base == nullptr || !CanWriteTo(base)) base = "/tmp";
  }
  std::string pattern = std::string(base) + "/lumetria-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "fuzz: cannot make a scratch folder under %s: %s\n", base, std::strerror(errno));
    std::abort();
  }
  g_root = pattern;
  std::atexit(RemoveRoot);
  return g_root;
}

std::u16string Core(const fs::path& path) { return path.u16string(); }

void WriteAt(const fs::path& path, uint64_t offset, const void* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) Fail(__FILE__, __LINE__, "cannot open " + path.string() + ": " + std::strerror(errno));
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t wrote = pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (wrote <= 0) Fail(__FILE__, __LINE__, "cannot write " + path.string() + ": " + std::strerror(errno));
    done += static_cast<size_t>(wrote);
  }
  if (ftruncate(fd, static_cast<off_t>(offset + size)) != 0) {
    Fail(__FILE__, __LINE__, "cannot size " + path.string() + ": " + std::strerror(errno));
  }
  close(fd);
}

void WriteWhole(const fs::path& path, const void* data, size_t size) { WriteAt(path, 0, data, size); }

std::vector<uint8_t> ReadWhole(const fs::path& path) {
  std::vector<uint8_t> bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(__FILE__, __LINE__, "cannot open " + path.string() + ": " + std::strerror(errno));
  uint8_t chunk[65536];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  close(fd);
  if (got < 0) Fail(__FILE__, __LINE__, "cannot read " + path.string());
  return bytes;
}

bool Exists(const fs::path& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool IsReadOnly(const fs::path& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && (info.st_mode & 0222) == 0;
}

void SetReadOnly(const fs::path& path) {
  if (chmod(path.c_str(), 0444) != 0) Fail(__FILE__, __LINE__, "cannot chmod " + path.string());
}

void ResetFolder(const fs::path& folder) {
  std::error_code error;
  if (fs::exists(folder, error)) {
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
      if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(folder, error);
    if (error) Fail(__FILE__, __LINE__, "cannot empty " + folder.string() + ": " + error.message());
  }
  fs::create_directories(folder, error);
  if (error) Fail(__FILE__, __LINE__, "cannot make " + folder.string() + ": " + error.message());
}

void Fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "\n== fuzz check failed at %s:%d\n   %s\n", file, line, what.c_str());
  std::fflush(stderr);
  // abort() runs no exit handlers: the input reproduces the scratch files.
  RemoveRoot();
  std::abort();
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t length = 1;
    uint32_t code = lead;
    uint32_t minimum = 0;
    if (lead < 0x80) {
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07u, minimum = 0x10000;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      uint8_t next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string Hex(std::string_view bytes) {
  std::string out;
  char digits[4];
  for (size_t i = 0; i < bytes.size() && i < 64; ++i) {
    std::snprintf(digits, sizeof digits, "%02X ", static_cast<uint8_t>(bytes[i]));
    out += digits;
  }
  if (bytes.size() > 64) out += "...";
  return out;
}

std::string_view Reader::Bytes(size_t count) {
  size_t take = count < Remaining() ? count : Remaining();
  std::string_view bytes(reinterpret_cast<const char*>(m_data + m_next), take);
  m_next += take;
  return bytes;
}

}  // namespace fuzz
