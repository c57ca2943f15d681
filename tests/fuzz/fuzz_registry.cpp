// The POSIX registry stand-in's .reg parser: the fuzz input is the file,
// read again at every open as the program reads it.
//
// Keys opened: the game's key, the root, and the keys of the file's first
// HKEY_LOCAL_MACHINE sections; values queried: the game's, the default and
// the names of the file's first value lines.
//
// Oracles: every open of one file agrees (a file that cannot be parsed
// fails every open with ERROR_BADDB); keys and value names compare without
// case; a write access is refused; a query reports the size it then fills
// exactly, fails with ERROR_MORE_DATA one byte short, and adds a string's
// missing terminator only where the caller's buffer has room for it.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/fuzz/fuzz_support.h"
#include "text/text_codec.h"

namespace fs = std::filesystem;

namespace {

std::u16string Wide(std::string_view utf8) {
  std::string text(utf8);
  std::unique_ptr<char[]> recoded = RecodeNarrow(text.c_str(), TARGET_UTF8);
  std::unique_ptr<char16_t[]> wide = recoded ? NarrowToWide(recoded.get()) : nullptr;
  return wide ? std::u16string(wide.get()) : std::u16string();
}

std::u16string SwapAsciiCase(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - 0x20);
    } else if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c + 0x20);
    }
  }
  return text;
}

bool IsString(uint32_t type) { return type == OS_REG_SZ || type == OS_REG_EXPAND_SZ || type == OS_REG_MULTI_SZ; }

void CheckValue(OsRegKey key, OsRegKey sameKey, const std::u16string& name) {
  uint32_t type = 0xDEAD;
  uint32_t size = 0;
  uint32_t status = OsRegQueryValue(key, name.c_str(), &type, nullptr, &size);
  uint32_t otherType = 0xDEAD;
  uint32_t otherSize = 0;
  uint32_t otherStatus = OsRegQueryValue(sameKey, SwapAsciiCase(name).c_str(), &otherType, nullptr, &otherSize);
  FUZZ_CHECK(status == otherStatus && (status != OS_ERROR_SUCCESS || (type == otherType && size == otherSize)),
             "a value name in other letter case reads differently");
  if (status != OS_ERROR_SUCCESS) {
    FUZZ_CHECK(status == OS_ERROR_FILE_NOT_FOUND, "query status " + std::to_string(status));
    return;
  }
  FUZZ_CHECK(size < (1u << 24), "an implausible value size");

  // Exactly the size it reported: filled, no byte more touched.
  std::vector<uint8_t> exact(size + 2, 0xA5);
  uint32_t capacity = size;
  uint32_t gotType = 0;
  FUZZ_CHECK(OsRegQueryValue(key, name.c_str(), &gotType, exact.data(), &capacity) == OS_ERROR_SUCCESS,
             "a query with the reported size failed");
  FUZZ_CHECK(capacity == size && gotType == type, "size or type changed between queries");
  FUZZ_CHECK(exact[size] == 0xA5 && exact[size + 1] == 0xA5, "a query wrote past the buffer it was given");

  // With room for a terminator: the same bytes, and a terminator after an
  // unterminated string.
  std::vector<uint8_t> roomy(size + 2, 0xA5);
  capacity = size + 2;
  FUZZ_CHECK(OsRegQueryValue(sameKey, SwapAsciiCase(name).c_str(), nullptr, roomy.data(), &capacity) == OS_ERROR_SUCCESS,
             "a query with room to spare failed");
  FUZZ_CHECK(capacity == size && std::memcmp(roomy.data(), exact.data(), size) == 0, "the value read differently");
  bool terminated = size >= 2 && exact[size - 2] == 0 && exact[size - 1] == 0;
  if (IsString(type) && size >= 2 && !terminated) {
    FUZZ_CHECK(roomy[size] == 0 && roomy[size + 1] == 0, "an unterminated string got no terminator");
  } else {
    FUZZ_CHECK(roomy[size] == 0xA5 && roomy[size + 1] == 0xA5, "bytes written behind a value");
  }

  if (size > 0) {
    // A byte short: ERROR_MORE_DATA with the size it needs.
    std::unique_ptr<uint8_t[]> small(new uint8_t[size - 1 == 0 ? 1 : size - 1]);
    capacity = size - 1;
    FUZZ_CHECK(OsRegQueryValue(key, name.c_str(), nullptr, small.get(), &capacity) == OS_ERROR_MORE_DATA,
               "a value larger than the buffer did not fail");
    FUZZ_CHECK(capacity == size, "ERROR_MORE_DATA without the size needed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path file = [] {
    fs::path path = fuzz::ScratchRoot() / "registry.reg";
    setenv(kPosixRegistryVariable, path.c_str(), 1);
    return path;
  }();
  fuzz::WriteWhole(file, data, size);
  std::string_view text(reinterpret_cast<const char*>(data), size);

  // Keys: the game's, the root, and a few from the file's own sections.
  std::vector<std::u16string> keys = {u"Software\\PELWIN SOFT\\Lumetria", u"", u"Software"};
  const std::string_view root = "[HKEY_LOCAL_MACHINE\\";
  for (size_t at = text.find(root); at != std::string_view::npos && keys.size() < 6; at = text.find(root, at + 1)) {
    size_t close = text.find_first_of("]\r\n", at);
    if (close == std::string_view::npos || text[close] != ']') continue;
    keys.push_back(Wide(text.substr(at + root.size(), close - at - root.size())));
  }
  // Value names: the game's, the default, and a few quoted ones.
  std::vector<std::u16string> names = {u"InstalledFolder", u""};
  for (size_t at = text.find("\n\""); at != std::string_view::npos && names.size() < 6; at = text.find("\n\"", at + 1)) {
    size_t close = text.find('"', at + 2);
    if (close == std::string_view::npos) break;
    names.push_back(Wide(text.substr(at + 2, close - at - 2)));
  }

  uint32_t firstStatus = OS_ERROR_SUCCESS;
  for (size_t k = 0; k < keys.size(); ++k) {
    const std::u16string& path = keys[k];
    OsRegKey key = 0;
    uint32_t status = OsRegOpenLocalMachineKey(path.c_str(), OS_KEY_READ, &key);
    if (k == 0) firstStatus = status;
    FUZZ_CHECK(status == OS_ERROR_SUCCESS || status == OS_ERROR_FILE_NOT_FOUND || status == OS_ERROR_BADDB,
               "open status " + std::to_string(status));
    // A path with an empty component names no key, whatever the file holds.
    bool wellFormed = path.empty() || (path.front() != u'\\' && path.back() != u'\\' &&
                                       path.find(u"\\\\") == std::u16string::npos);
    if (!wellFormed) {
      FUZZ_CHECK(status == OS_ERROR_FILE_NOT_FOUND, "a path with an empty component opened");
      continue;
    }
    FUZZ_CHECK((status == OS_ERROR_BADDB) == (firstStatus == OS_ERROR_BADDB), "one file, parsed two ways");
    FUZZ_CHECK((status == OS_ERROR_SUCCESS) == (key != 0), "key handle and status disagree");
    if (path.empty()) FUZZ_CHECK(status != OS_ERROR_FILE_NOT_FOUND, "the root is missing");
    OsRegKey denied = 0;
    FUZZ_CHECK(OsRegOpenLocalMachineKey(path.c_str(), 0x20006, &denied) == OS_ERROR_ACCESS_DENIED && denied == 0,
               "write access granted");
    OsRegKey sameKey = 0;
    uint32_t sameStatus = OsRegOpenLocalMachineKey(SwapAsciiCase(path).c_str(), OS_KEY_READ, &sameKey);
    FUZZ_CHECK(sameStatus == status, "a key path in other letter case opens differently");
    if (status != OS_ERROR_SUCCESS) continue;
    for (const std::u16string& name : names) CheckValue(key, sameKey, name);
    FUZZ_CHECK(OsRegCloseKey(key) == OS_ERROR_SUCCESS && OsRegCloseKey(sameKey) == OS_ERROR_SUCCESS, "close");
  }
  return 0;
}
