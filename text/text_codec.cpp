#include "text/text_codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/codepage.h"

uint32_t g_legacyCodePage = kCodePageJapanese;
uint32_t g_currentCodePage = kCodePageJapanese;
int32_t g_defaultEncoding = ENCODING_LEGACY;

namespace {

uint8_t ByteAt(const char* text, size_t index) { return static_cast<uint8_t>(text[index]); }

uint32_t TargetCodePage(int32_t target) {
  if (target == TARGET_LEGACY) return g_legacyCodePage;
  if (target == TARGET_UTF8) return kCodePageUtf8;
  return g_currentCodePage;
}

uint32_t SourceCodePage(int32_t encoding) {
  return encoding == ENCODING_LEGACY ? g_legacyCodePage : kCodePageUtf8;
}

// Number of consecutive 1-bits of b from the top, for b of 0xC2 and above.
uint32_t LeadingOnes(uint8_t b) {
  uint32_t count = 0;
  while (count < 8 && (b & (0x80u >> count)) != 0) ++count;
  return count;
}

template <typename Char>
void SetEmpty(Char* buffer, size_t capacity) {
  if (buffer != nullptr && capacity > 0) buffer[0] = 0;
}

template <typename Char>
size_t Length(const Char* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// The platform conversions, as one signature for the helpers below.
template <typename From, typename To>
using Conversion = uint32_t (*)(uint32_t codePage, const From* text, To* out, uint32_t capacity);

// Converts into the destination when the whole result fits; the units
// needed, or 0 when the query fails or the result does not fit.
template <typename From, typename To>
uint32_t ConvertInto(Conversion<From, To> convert, uint32_t codePage, const From* text, To* destination,
                     size_t capacity) {
  uint32_t needed = convert(codePage, text, nullptr, 0);
  if (needed < 1) return 0;
  if (needed > capacity) {
    SetEmpty(destination, capacity);
    return 0;
  }
  return convert(codePage, text, destination, needed);
}

// The result in a new block one unit larger than it needs; null on failure.
template <typename From, typename To>
std::unique_ptr<To[]> ConvertAllocated(Conversion<From, To> convert, uint32_t codePage, const From* text) {
  uint32_t needed = convert(codePage, text, nullptr, 0);
  if (needed < 1) return nullptr;
  std::unique_ptr<To[]> result(new (std::nothrow) To[size_t{needed} + 1]);
  if (!result || convert(codePage, text, result.get(), needed) == 0) return nullptr;
  return result;
}

uint32_t ToWideInto(uint32_t codePage, const char* text, char16_t* destination, size_t capacity) {
  return ConvertInto(OsMultiByteToWide, codePage, text, destination, capacity);
}

uint32_t ToNarrowInto(uint32_t codePage, const char16_t* text, char* destination, size_t capacity) {
  return ConvertInto(OsWideToMultiByte, codePage, text, destination, capacity);
}

std::unique_ptr<char16_t[]> ToWideAllocated(uint32_t codePage, const char* text) {
  return ConvertAllocated(OsMultiByteToWide, codePage, text);
}

std::unique_ptr<char[]> ToNarrowAllocated(uint32_t codePage, const char16_t* text) {
  return ConvertAllocated(OsWideToMultiByte, codePage, text);
}

// True when RecodeNarrow copies the text as it is for this target.
bool IsAlreadyIn(const char* text, uint32_t codePage) {
  int32_t encoding = DetectEncoding(text);
  return encoding == ENCODING_ASCII || SourceCodePage(encoding) == codePage;
}

template <typename Char>
int32_t FormatList(Char* buffer, size_t capacity, const Char* format, std::initializer_list<const Char*> arguments) {
  if (buffer == nullptr || capacity == 0) return -1;
  const Char* const* next = arguments.begin();
  size_t written = 0;
  auto fail = [&] {
    buffer[0] = 0;
    return -1;
  };
  auto put = [&](Char c) {
    if (written + 1 >= capacity) return false;
    buffer[written++] = c;
    return true;
  };
  for (const Char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      if (!put(*p)) return fail();
      continue;
    }
    ++p;
    if (*p == '%') {
      if (!put('%')) return fail();
    } else if (*p == 's') {
      if (next == arguments.end() || *next == nullptr) return fail();
      for (const Char* s = *next++; *s != 0; ++s) {
        if (!put(*s)) return fail();
      }
    } else {
      return fail();
    }
  }
  buffer[written] = 0;
  return written > 0x7FFFFFFF ? fail() : static_cast<int32_t>(written);
}

}  // namespace

int32_t DetectEncoding(const char* text) {
  uint32_t accepted = 0;
  size_t i = 0;
  while (ByteAt(text, i) != 0) {
    uint8_t b = ByteAt(text, i);
    if (b < 0x80) {
      ++i;
      continue;
    }
    if (b <= 0xC1) return ENCODING_LEGACY;
    uint32_t length = LeadingOnes(b);
    for (uint32_t k = 1; k < length; ++k) {
      uint8_t next = ByteAt(text, i + k);
      if (next < 0x80 || next > 0xBF) return ENCODING_LEGACY;
    }
    if (++accepted == 3) return ENCODING_UTF8;
    i += length;
  }
  return accepted == 0 ? ENCODING_ASCII : ENCODING_UTF8;
}

uint32_t DecodeUtf8Sequence(uint32_t* code, const char* text) {
  uint8_t lead = ByteAt(text, 0);
  if (lead < 0x80) {
    if (code) *code = lead;
    return 1;
  }
  uint32_t length = 2;
  for (int bit = 5; bit >= 0 && (lead & (1u << bit)) != 0; --bit) ++length;
  uint32_t value = length + 1 >= 8 ? 0 : lead & (0xFFu >> (length + 1));
  uint32_t taken = 1;
  // The continuation bytes are taken as they come, but never the terminator.
  while (taken < length && ByteAt(text, taken) != 0) {
    value = (value << 6) | (ByteAt(text, taken) & 0x3Fu);
    ++taken;
  }
  // A sequence cut short by the terminator is no character; its partial
  // value could even be 0 and pass for the terminator.
  if (code) *code = taken < length ? 0xFFFD : value;
  return taken;
}

int IsLegacyLeadByte(const char* text) {
  uint8_t b = ByteAt(text, 0);
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) || b == 0xFF ? 1 : 0;
}

int IsFullWidthChar(uint32_t code) { return code <= 0x7F || (code >= 0xFF61 && code <= 0xFF9F) ? 0 : 1; }

uint32_t DecodeCharNarrow(uint32_t* code, int32_t* fullWidth, const char* text, int32_t encoding) {
  if (encoding == ENCODING_AUTO) encoding = g_defaultEncoding;
  uint32_t value = 0;
  uint32_t length = 0;
  int32_t wide = 0;
  if (encoding == ENCODING_LEGACY) {
    // A lead byte right before the terminator stands alone.
    if (IsLegacyLeadByte(text) && ByteAt(text, 1) != 0) {
      value = ByteAt(text, 0) * 256u + ByteAt(text, 1);
      length = 2;
      wide = 1;
    } else {
      value = ByteAt(text, 0);
      length = 1;
    }
  } else if (encoding == ENCODING_UTF8) {
    length = DecodeUtf8Sequence(&value, text);
    if (value >= 0xD800 && value <= 0xDBFF && ByteAt(text, length) != 0) {
      uint32_t low = 0;
      uint32_t lowLength = DecodeUtf8Sequence(&low, text + length);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        value = 0x10000 + (value - 0xD800) * 1024 + (low - 0xDC00);
        length += lowLength;
      }
    }
    wide = IsFullWidthChar(value);
  } else if (encoding == ENCODING_ASCII) {
    value = ByteAt(text, 0);
    length = 1;
  }
  if (code) *code = value;
  if (fullWidth) *fullWidth = wide;
  return length;
}

std::unique_ptr<char16_t[]> NarrowToWide(const char* text) {
  return ToWideAllocated(SourceCodePage(DetectEncoding(text)), text);
}

char16_t* NarrowToWide(char16_t* destination, size_t capacity, const char* text) {
  ToWideInto(SourceCodePage(DetectEncoding(text)), text, destination, capacity);
  return nullptr;
}

std::unique_ptr<char[]> WideToNarrow(const char16_t* text, int32_t target) {
  return ToNarrowAllocated(TargetCodePage(target), text);
}

char* WideToNarrow(char* destination, size_t capacity, const char16_t* text, int32_t target) {
  ToNarrowInto(TargetCodePage(target), text, destination, capacity);
  return nullptr;
}

std::unique_ptr<char[]> RecodeNarrow(const char* text, int32_t target) {
  uint32_t codePage = TargetCodePage(target);
  if (IsAlreadyIn(text, codePage)) {
    size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy) std::memcpy(copy.get(), text, size);
    return copy;
  }
  std::unique_ptr<char16_t[]> wide = NarrowToWide(text);
  if (!wide) return nullptr;
  return ToNarrowAllocated(codePage, wide.get());
}

char* RecodeNarrow(char* destination, size_t capacity, const char* text, int32_t target) {
  uint32_t codePage = TargetCodePage(target);
  if (IsAlreadyIn(text, codePage)) {
    CopyNarrow(destination, capacity, text);
    return nullptr;
  }
  std::unique_ptr<char16_t[]> wide = NarrowToWide(text);
  if (wide) ToNarrowInto(codePage, wide.get(), destination, capacity);
  return nullptr;
}

const char* FindCharNarrow(const char* text, uint32_t code, int32_t encoding) {
  if (encoding == ENCODING_AUTO) encoding = DetectEncoding(text);
  if (encoding == ENCODING_ASCII) {
    // Each byte is a character whose code is the byte: a code above 0xFF
    // is no byte's, never its low byte's.
    for (const char* p = text;; ++p) {
      if (static_cast<uint8_t>(*p) == code) return p;
      if (*p == 0) return nullptr;
    }
  }
  if (encoding != ENCODING_LEGACY && encoding != ENCODING_UTF8) return nullptr;
  const char* p = text;
  while (*p != 0) {
    uint32_t found = 0;
    uint32_t length = DecodeCharNarrow(&found, nullptr, p, encoding);
    // An overlong UTF-8 form of U+0000 decodes to 0 too, but only the
    // terminator is code 0.
    if (found == code && code != 0) return p;
    p += length;
  }
  return code == 0 ? p : nullptr;
}

char* LowerCaseNarrow(char* text) {
  int32_t encoding = DetectEncoding(text);
  char* p = text;
  while (*p != 0) {
    uint32_t code = 0;
    uint32_t length = encoding == ENCODING_ASCII ? 1 : DecodeCharNarrow(&code, nullptr, p, encoding);
    if (length == 1 && *p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 0x20);
    p += length;
  }
  return text;
}

int CompareNarrow(const char* first, const char* second) {
  for (size_t i = 0;; ++i) {
    uint8_t a = ByteAt(first, i);
    uint8_t b = ByteAt(second, i);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

char* CopyNarrow(char* destination, size_t capacity, const char* source) {
  size_t size = std::strlen(source) + 1;
  if (destination == nullptr || size > capacity) {
    SetEmpty(destination, capacity);
    return nullptr;
  }
  std::memcpy(destination, source, size);
  return destination;
}

void SplitPathWide(const WidePathParts& parts, const char* path) {
  struct Part {
    char16_t* buffer;
    size_t capacity;
  };
  Part wanted[4] = {
      {parts.drive, parts.drive ? std::min(parts.driveCapacity, kSplitDriveCapacity) : 0},
      {parts.folder, parts.folder ? std::min(parts.folderCapacity, kSplitPartCapacity) : 0},
      {parts.base, parts.base ? std::min(parts.baseCapacity, kSplitPartCapacity) : 0},
      {parts.extension, parts.extension ? std::min(parts.extensionCapacity, kSplitPartCapacity) : 0},
  };
  auto clearAll = [&] {
    for (Part& part : wanted) SetEmpty(part.buffer, part.capacity);
  };

  char16_t work[kPathCapacity] = {};
  if (ToWideInto(SourceCodePage(DetectEncoding(path)), path, work, kPathCapacity) == 0) {
    clearAll();
    return;
  }
  size_t length = Length(work);
  size_t driveEnd = length >= 2 && work[1] == u':' ? 2 : 0;
  size_t folderEnd = driveEnd;
  for (size_t i = driveEnd; i < length; ++i) {
    if (work[i] == u'\\' || work[i] == u'/') folderEnd = i + 1;
  }
  size_t dot = length;
  for (size_t i = folderEnd; i < length; ++i) {
    if (work[i] == u'.') dot = i;
  }
  const size_t bounds[4][2] = {{0, driveEnd}, {driveEnd, folderEnd}, {folderEnd, dot}, {dot, length}};
  for (int k = 0; k < 4; ++k) {
    if (wanted[k].buffer && bounds[k][1] - bounds[k][0] + 1 > wanted[k].capacity) {
      clearAll();
      return;
    }
  }
  for (int k = 0; k < 4; ++k) {
    if (!wanted[k].buffer) continue;
    size_t count = bounds[k][1] - bounds[k][0];
    std::memcpy(wanted[k].buffer, work + bounds[k][0], count * sizeof(char16_t));
    wanted[k].buffer[count] = 0;
  }
}

void SplitPathNarrow(const NarrowPathParts& parts, const char* path) {
  char16_t drive[kPathCapacity], folder[kPathCapacity], base[kPathCapacity], extension[kPathCapacity];
  SplitPathWide({drive, kPathCapacity, folder, kPathCapacity, base, kPathCapacity, extension, kPathCapacity}, path);
  const struct {
    char* buffer;
    size_t capacity;
    const char16_t* wide;
  } out[4] = {{parts.drive, parts.driveCapacity, drive},
              {parts.folder, parts.folderCapacity, folder},
              {parts.base, parts.baseCapacity, base},
              {parts.extension, parts.extensionCapacity, extension}};
  for (const auto& part : out) {
    if (part.buffer) ToNarrowInto(kCodePageUtf8, part.wide, part.buffer, std::min(part.capacity, kPathCapacity));
  }
}

int32_t FormatWideList(char16_t* buffer, size_t capacity, const char16_t* format,
                       std::initializer_list<const char16_t*> arguments) {
  return FormatList(buffer, capacity, format, arguments);
}

int32_t FormatNarrowList(char* buffer, size_t capacity, const char* format,
                         std::initializer_list<const char*> arguments) {
  return FormatList(buffer, capacity, format, arguments);
}
