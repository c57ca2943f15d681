// Scratch folders and file helpers for tests that run on both layers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// A fresh, empty folder under the system's temporary folder, removed with
// everything in it (read-only files included) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  std::filesystem::path Native(std::string_view relativeUtf8) const;
  // The folder, or a name inside it, as the core spells paths: UTF-16 with
  // '\' between the folder and the name, on every platform.
  std::u16string Core() const;
  std::u16string Core(std::u16string_view relative) const;

 private:
  std::filesystem::path m_path;
};

std::u16string ToCore(const std::filesystem::path& path);

std::vector<uint8_t> Bytes(std::string_view text);
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);

// Writes or reads a whole file; failures stop the test with a fatal error.
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

void SetReadOnly(const std::filesystem::path& path, bool readOnly);
