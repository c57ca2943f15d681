// Shared pieces of the fuzz targets: a private scratch folder, file helpers
// that stay cheap at thousands of runs a second, a reader that turns fuzz
// bytes into values, and the check that ends a run as a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// A folder of this process's own, made on first use under /dev/shm (where
// the run's flushes cost nothing) when it can write there, else under
// $TMPDIR or /tmp; removed with everything in it when the process exits.
const std::filesystem::path& ScratchRoot();

// A path as the core spells it: UTF-16, with '\' before the last component
// appended by callers.
std::u16string Core(const std::filesystem::path& path);

// Writes size bytes at offset into the file at path (created when missing)
// and cuts the file off right behind them. The bytes before offset stay as
// they were; in a new file they read as zero without taking space.
void WriteAt(const std::filesystem::path& path, uint64_t offset, const void* data, size_t size);
void WriteWhole(const std::filesystem::path& path, const void* data, size_t size);
std::vector<uint8_t> ReadWhole(const std::filesystem::path& path);
bool Exists(const std::filesystem::path& path);
bool IsReadOnly(const std::filesystem::path& path);
void SetReadOnly(const std::filesystem::path& path);

// Empties a folder (read-only files included), creating it when missing.
void ResetFolder(const std::filesystem::path& folder);

// Prints what broke, removes the scratch folder and aborts: libFuzzer keeps
// the input as a crash file.
[[noreturn]] void Fail(const char* file, int line, const std::string& what);

// Strict UTF-8 (no overlong forms, surrogates or codes above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Hex of a few bytes, for messages.
std::string Hex(std::string_view bytes);

// Reads the fuzz input front to back; past its end every value is zero.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t U8() { return m_next < m_size ? m_data[m_next++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
  // Up to count bytes (fewer at the end of the input).
  std::string_view Bytes(size_t count);
  std::string_view Rest() { return Bytes(Remaining()); }
  size_t Remaining() const { return m_size - m_next; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_next = 0;
};

}  // namespace fuzz

#define FUZZ_CHECK(condition, message)                                                     \
  do {                                                                                     \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, std::string(#condition ": ") + (message)); \
  } while (0)
