#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937 random(seed());
  fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("lumetria-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      m_path = candidate;
      return;
    }
  }
  ADD_FAILURE() << "cannot create a scratch folder under " << base;
}

TempDir::~TempDir() {
  if (m_path.empty()) return;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(m_path, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
  }
  fs::remove_all(m_path, error);
}

fs::path TempDir::Native(std::string_view relativeUtf8) const {
  std::u8string name(relativeUtf8.begin(), relativeUtf8.end());
  return m_path / fs::path(name);
}

std::u16string TempDir::Core() const { return ToCore(m_path); }

std::u16string TempDir::Core(std::u16string_view relative) const {
  return Core() + u"\\" + std::u16string(relative);
}

std::u16string ToCore(const fs::path& path) { return path.u16string(); }

std::vector<uint8_t> Bytes(std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out) << "cannot create " << path;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out) << "cannot write " << path;
}

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << path;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void SetReadOnly(const fs::path& path, bool readOnly) {
  std::error_code error;
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add, error);
  ASSERT_FALSE(error) << "cannot change " << path << ": " << error.message();
}
