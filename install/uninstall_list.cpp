#include "install/uninstall_list.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_set>

#include "payload/file_dx.h"
#include "payload/file_replace.h"
#include "text/text_codec.h"

namespace {

// The output buffer's first size; it doubles as long as a name does not fit.
constexpr size_t kInitialOutputCapacity = 65536;

// One list of names with an index of them, so that whether a name is
// already there takes constant time on average instead of a walk over the
// list. Names compare as CompareNarrow compares them: up to their first zero
// byte.
class IndexedNames {
 public:
  // Indexes what the list holds already.
  explicit IndexedNames(UninstallNames* list) : m_list(list), m_index(0, Hash{list}, Equal{list}) {
    m_index.reserve(list->size());
    for (size_t i = 0; i < list->size(); ++i) m_index.insert(i);
  }

  // Appends name unless the list holds it already. Throws std::bad_alloc.
  void Add(const char* name) {
    m_list->emplace_back(name);
    if (!m_index.insert(m_list->size() - 1).second) m_list->pop_back();
  }

 private:
  static std::string_view Key(const std::string& name) { return std::string_view(name.c_str()); }
  struct Hash {
    const UninstallNames* list;
    size_t operator()(size_t i) const { return std::hash<std::string_view>{}(Key((*list)[i])); }
  };
  struct Equal {
    const UninstallNames* list;
    bool operator()(size_t a, size_t b) const { return Key((*list)[a]) == Key((*list)[b]); }
  };

  UninstallNames* m_list;
  std::unordered_set<size_t, Hash, Equal> m_index;
};

// DetectEncoding of the text from each line's start, for starts that only
// move forward, in time linear in the whole text.
//
// DetectEncoding reads from its start to the first byte of 0x80 or above,
// checks the sequence that byte leads, and so on for at most three
// sequences; all it needs is where the next such byte is after a given
// point. Each of the three steps keeps the stretch of 7-bit bytes its last
// search crossed. The points a step searches from never move backwards as
// the line starts move forwards (a start inside the sequence an earlier
// step accepted meets a continuation byte, which settles the class at once),
// so no byte is searched twice by the same step.
class LineClassifier {
 public:
  int32_t ClassOf(const char* start) {
    const char* lead = m_steps[0].Next(start);
    uint32_t accepted = 0;
    while (true) {
      if (*lead == 0) return accepted == 0 ? ENCODING_ASCII : ENCODING_UTF8;
      uint32_t length = SequenceLength(lead);
      if (length == 0) return ENCODING_LEGACY;
      if (++accepted == 3) return ENCODING_UTF8;
      lead = m_steps[accepted].Next(lead + length);
    }
  }

 private:
  // The first byte of 0x80 or above, or the terminator, at or after a point;
  // the last answer stands for every point between its question and itself.
  class NextNonAscii {
   public:
    const char* Next(const char* from) {
      if (m_from == nullptr || from < m_from || from > m_found) {
        m_from = from;
        m_found = from;
        while (*m_found != 0 && static_cast<uint8_t>(*m_found) < 0x80) ++m_found;
      }
      return m_found;
    }

   private:
    const char* m_from = nullptr;
    const char* m_found = nullptr;
  };

  // The length of the UTF-8 sequence that the byte at lead (0x80 or above)
  // starts as DetectEncoding accepts it, or 0 when that byte or one of its
  // continuation bytes rules UTF-8 out. Reads no further than the first byte
  // that fails.
  static uint32_t SequenceLength(const char* lead) {
    uint8_t b = static_cast<uint8_t>(*lead);
    if (b <= 0xC1) return 0;
    uint32_t length = 0;
    while (length < 8 && (b & (0x80u >> length)) != 0) ++length;
    for (uint32_t k = 1; k < length; ++k) {
      uint8_t next = static_cast<uint8_t>(lead[k]);
      if (next < 0x80 || next > 0xBF) return 0;
    }
    return length;
  }

  NextNonAscii m_steps[3];
};

// Where the line that starts at start ends: the first character of the walk
// in the given class whose code is CR or LF, or the terminator. The walk and
// its characters are FindCharNarrow's, so a CR or LF that a double-byte
// character takes as its trail byte does not end the line.
const char* LineEnd(const char* start, int32_t encoding) {
  const char* p = start;
  if (encoding == ENCODING_ASCII) {
    while (*p != 0 && *p != '\r' && *p != '\n') ++p;
    return p;
  }
  while (*p != 0) {
    uint32_t code = 0;
    uint32_t length = DecodeCharNarrow(&code, nullptr, p, encoding);
    if (code == 13 || code == 10) return p;
    p += length;
  }
  return p;
}

// Puts one line (not zero-terminated, not empty) in normal form and files it.
bool AddLine(const char* line, size_t length, IndexedNames* plainList, IndexedNames* dollarList) {
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
  (name[0] == '$' ? dollarList : plainList)->Add(name.get());
  return true;
}

// ParseUninstallList into indexed lists. Throws std::bad_alloc.
bool ParseInto(const char* text, IndexedNames* plainList, IndexedNames* dollarList) {
  LineClassifier classifier;
  const char* p = text;
  while (*p != 0) {
    while (*p == ' ' || *p == '\t') ++p;
    // The line ends where a walk of the text from here on, in the class of
    // that text, first meets a CR or LF, so a lead byte of code page 932
    // swallows a CR or LF that follows it.
    const char* end = LineEnd(p, classifier.ClassOf(p));
    if (end != p && !AddLine(p, static_cast<size_t>(end - p), plainList, dollarList)) return false;
    p = end;
    // An overlong UTF-8 form of CR or LF also ends the line, but is no CR
    // or LF byte to step over; without stepping over it the parse would
    // stop at it for ever.
    if (*p != 0 && *p != '\r' && *p != '\n') p += DecodeUtf8Sequence(nullptr, p);
    while (*p == '\r' || *p == '\n') ++p;
  }
  return true;
}

// The whole list file as zero-terminated text, or null when it cannot be
// opened, is empty, cannot be read in full or memory runs out.
std::unique_ptr<char[]> ReadListText(OsFolder folder) {
  CFileDX file;
  // A link planted at the list's name is never read through.
  if (!file.OpenReadIn(folder, kUninstallListFileName)) return nullptr;
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

// The list's new content: plainList then dollarList, one name and an LF
// each, then one zero byte. Null when memory runs out; *size is its bytes.
std::unique_ptr<char[]> ListContent(const UninstallNames& plainList, const UninstallNames& dollarList, uint32_t* size) {
  size_t capacity = kInitialOutputCapacity;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]);
  if (!buffer) return nullptr;
  buffer[0] = 0;
  size_t used = 0;
  for (const UninstallNames* list : {&plainList, &dollarList}) {
    for (const std::string& name : *list) {
      // The name, its LF and the terminator that FormatNarrow adds.
      while (used + name.size() + 2 > capacity) {
        if (capacity > SIZE_MAX / 2) return nullptr;
        std::unique_ptr<char[]> larger(new (std::nothrow) char[capacity * 2]);
        if (!larger) return nullptr;
        std::memcpy(larger.get(), buffer.get(), used);
        buffer = std::move(larger);
        capacity *= 2;
      }
      int32_t written = FormatNarrow(buffer.get() + used, capacity - used, "%s\n", name.c_str());
      if (written < 0) return nullptr;
      used += static_cast<size_t>(written);
    }
  }
  // The terminator after the last line is part of the file.
  if (used + 1 > UINT32_MAX) return nullptr;
  *size = static_cast<uint32_t>(used + 1);
  return buffer;
}

}  // namespace

bool ParseUninstallList(const char* text, UninstallNames* plainList, UninstallNames* dollarList) {
  try {
    IndexedNames plain(plainList);
    IndexedNames dollar(dollarList);
    return ParseInto(text, &plain, &dollar);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool WriteUninstallList(const char16_t* path, const UninstallNames& plainList, const UninstallNames& dollarList) {
  char16_t temporaryPath[kPathCapacity];
  if (FormatWide(temporaryPath, kPathCapacity, u"%s.new", path) < 0) return false;
  uint32_t size = 0;
  std::unique_ptr<char[]> content = ListContent(plainList, dollarList, &size);
  return content && ReplaceFileContents(path, temporaryPath, content.get(), size);
}

bool MergeUninstallListIn(OsFolder installFolder, const char16_t* const* names) {
  std::unique_ptr<char[]> text = ReadListText(installFolder);
  if (!text) return false;
  try {
    UninstallNames plainList;
    UninstallNames dollarList;
    IndexedNames plain(&plainList);
    IndexedNames dollar(&dollarList);
    if (!ParseInto(text.get(), &plain, &dollar)) return false;
    text.reset();
    // Only the plain names count as listed: a run name that appears only
    // among the '$' lines is added as a plain name.
    for (const char16_t* const* name = names; name != nullptr && *name != nullptr; ++name) {
      std::unique_ptr<char[]> narrow = WideToNarrow(*name, TARGET_UTF8);
      if (!narrow) return false;
      LowerCaseNarrow(narrow.get());
      plain.Add(narrow.get());
    }
    uint32_t size = 0;
    std::unique_ptr<char[]> content = ListContent(plainList, dollarList, &size);
    return content && ReplaceFileContentsIn(installFolder, kUninstallListFileName, kUninstallListSiblingName,
                                            content.get(), size);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool MergeUninstallList(const char16_t* installFolder, const char16_t* const* names) {
  OsFolderOwner folder(OsOpenFolder(installFolder));
  return folder.Get() != kOsInvalidFolder && MergeUninstallListIn(folder.Get(), names);
}
