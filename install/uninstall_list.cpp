#include "install/uninstall_list.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "payload/file_dx.h"
#include "payload/file_replace.h"
#include "text/text_codec.h"

namespace {

// The output buffer's first size; it doubles as long as a name does not fit.
constexpr size_t kInitialOutputCapacity = 65536;

bool Contains(const UninstallNames& list, const char* name) {
  for (const std::string& entry : list) {
    if (CompareNarrow(entry.c_str(), name) == 0) return true;
  }
  return false;
}

// Puts one line (not zero-terminated, not empty) in normal form and files it.
bool AddLine(const char* line, size_t length, UninstallNames* plainList, UninstallNames* dollarList) {
  // Lines up to the program's line capacity need no allocation; longer ones
  // are kept whole in a buffer of their own.
  char fixed[kPathCapacity];
  std::unique_ptr<char[]> large;
  char* copy = fixed;
  if (length + 1 > sizeof fixed) {
    large.reset(new (std::nothrow) char[length + 1]);
    if (!large) return false;
    copy = large.get();
  }
  std::memcpy(copy, line, length);
  copy[length] = 0;

  // Each line is classified on its own: a list may mix code page 932 and
  // UTF-8 lines.
  std::unique_ptr<char[]> name = RecodeNarrow(copy, TARGET_UTF8);
  if (!name) return false;
  LowerCaseNarrow(name.get());
  UninstallNames* list = name[0] == '$' ? dollarList : plainList;
  if (!Contains(*list, name.get())) list->emplace_back(name.get());
  return true;
}

// The whole list file as zero-terminated text, or null when it cannot be
// opened, is empty, cannot be read in full or memory runs out.
std::unique_ptr<char[]> ReadListText(const char16_t* path) {
  CFileDX file;
  // A link planted at the list's name is never read through.
  if (!file.OpenReadNoFollow(path)) return nullptr;
  uint32_t size = file.GetSize();
  // All bits set is also GetSize's failure value, and one byte more would
  // not fit a 32-bit size_t.
  if (size == 0 || size == UINT32_MAX) return nullptr;
  std::unique_ptr<char[]> text(new (std::nothrow) char[size_t{size} + 1]);
  if (!text) return nullptr;
  if (file.Read(text.get(), size) != size) return nullptr;
  // The file's own zero byte, if any, ends the text earlier.
  text[size] = 0;
  // A list whose reading did not end cleanly is not rewritten.
  if (file.Close() != 1) return nullptr;
  return text;
}

}  // namespace

bool ParseUninstallList(const char* text, UninstallNames* plainList, UninstallNames* dollarList) {
  try {
    const char* p = text;
    while (*p != 0) {
      while (*p == ' ' || *p == '\t') ++p;
      // Both walks classify the text from here on, so a lead byte of code
      // page 932 swallows a CR or LF that follows it.
      const char* cr = FindCharNarrow(p, 13, ENCODING_AUTO);
      const char* lf = FindCharNarrow(p, 10, ENCODING_AUTO);
      const char* end = cr != nullptr && (lf == nullptr || cr < lf) ? cr : lf;
      if (end == nullptr) end = p + std::strlen(p);
      if (end != p && !AddLine(p, static_cast<size_t>(end - p), plainList, dollarList)) return false;
      p = end;
      // An overlong UTF-8 form of CR or LF also ends the line, but is no CR
      // or LF byte to step over; without stepping over it the parse would
      // stop at it for ever.
      if (*p != 0 && *p != '\r' && *p != '\n') p += DecodeUtf8Sequence(nullptr, p);
      while (*p == '\r' || *p == '\n') ++p;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool WriteUninstallList(const char16_t* path, const UninstallNames& plainList, const UninstallNames& dollarList) {
  char16_t temporaryPath[kPathCapacity];
  if (FormatWide(temporaryPath, kPathCapacity, u"%s.new", path) < 0) return false;

  size_t capacity = kInitialOutputCapacity;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]);
  if (!buffer) return false;
  buffer[0] = 0;
  size_t used = 0;
  for (const UninstallNames* list : {&plainList, &dollarList}) {
    for (const std::string& name : *list) {
      // The name, its LF and the terminator that FormatNarrow adds.
      while (used + name.size() + 2 > capacity) {
        if (capacity > SIZE_MAX / 2) return false;
        std::unique_ptr<char[]> larger(new (std::nothrow) char[capacity * 2]);
        if (!larger) return false;
        std::memcpy(larger.get(), buffer.get(), used);
        buffer = std::move(larger);
        capacity *= 2;
      }
      int32_t written = FormatNarrow(buffer.get() + used, capacity - used, "%s\n", name.c_str());
      if (written < 0) return false;
      used += static_cast<size_t>(written);
    }
  }
  // The terminator after the last line is part of the file.
  size_t size = used + 1;
  if (size > UINT32_MAX) return false;
  return ReplaceFileContents(path, temporaryPath, buffer.get(), static_cast<uint32_t>(size));
}

bool MergeUninstallList(const char16_t* installFolder, const char16_t* const* names) {
  char16_t listPath[kPathCapacity];
  if (FormatWide(listPath, kPathCapacity, u"%s\\%s", installFolder, kUninstallListFileName) < 0) return false;
  std::unique_ptr<char[]> text = ReadListText(listPath);
  if (!text) return false;
  try {
    UninstallNames plainList;
    UninstallNames dollarList;
    if (!ParseUninstallList(text.get(), &plainList, &dollarList)) return false;
    text.reset();
    // Only the plain names count as listed: a run name that appears only
    // among the '$' lines is added as a plain name.
    for (const char16_t* const* name = names; name != nullptr && *name != nullptr; ++name) {
      std::unique_ptr<char[]> narrow = WideToNarrow(*name, TARGET_UTF8);
      if (!narrow) return false;
      LowerCaseNarrow(narrow.get());
      if (!Contains(plainList, narrow.get())) plainList.emplace_back(narrow.get());
    }
    return WriteUninstallList(listPath, plainList, dollarList);
  } catch (const std::bad_alloc&) {
    return false;
  }
}
