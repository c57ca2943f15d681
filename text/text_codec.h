// Narrow text in code page 932 or UTF-8, and its bridge to UTF-16.
//
// File names arrive as narrow strings from the payload directory, the hash
// list and the uninstall list, and nothing records their encoding. These
// stateless operations classify a narrow string, convert it to UTF-16 or
// to another narrow encoding, and do the few narrow-string jobs that must
// respect double-byte and multi-byte characters. Two names denote the same
// file when their normal forms (UTF-8, ASCII capitals lowered) are equal
// byte for byte.
//
// Every operation that writes into a caller's buffer takes the buffer's
// capacity (in units of its element type, terminator included) and fails
// instead of writing past it. No operation reads past a string's terminator.
// Allocating forms return an owning pointer, null when the conversion or the
// allocation fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

// Encoding classes of narrow text.
inline constexpr int32_t ENCODING_LEGACY = 0;           // code page 932, or not well-formed UTF-8
inline constexpr int32_t ENCODING_UTF8 = 1;             // UTF-8 with at least one multi-byte sequence
inline constexpr int32_t ENCODING_ASCII = INT32_MIN;    // empty, or bytes below 0x80 only
inline constexpr int32_t ENCODING_AUTO = -1;            // argument only: no class named

// Conversion targets of WideToNarrow and RecodeNarrow.
inline constexpr int32_t TARGET_LEGACY = 0;  // g_legacyCodePage
inline constexpr int32_t TARGET_UTF8 = 1;    // code page 65001; any other number: g_currentCodePage

// Capacity, in UTF-16 units, of the split operations' work buffers and of
// every path and line buffer of the program.
inline constexpr size_t kPathCapacity = 780;
// Capacities of the parts of a wide split, terminator included.
inline constexpr size_t kSplitDriveCapacity = 3;
inline constexpr size_t kSplitPartCapacity = 256;

// Process-wide settings; nothing in the program changes them.
extern uint32_t g_legacyCodePage;    // 932: how non-UTF-8 narrow text is read and written
extern uint32_t g_currentCodePage;   // 932: targets other than 0 and 1
extern int32_t g_defaultEncoding;    // ENCODING_LEGACY: what ENCODING_AUTO decodes as

// Classifies text by its first three multi-byte sequences (or the first byte
// that rules UTF-8 out); reads no further.
int32_t DetectEncoding(const char* text);

// Decodes the UTF-8 sequence that starts at text without testing its
// continuation bytes; stores the code where given and returns the length.
// A sequence cut short by the terminator ends before it, with code U+FFFD.
uint32_t DecodeUtf8Sequence(uint32_t* code, const char* text);

// Decodes one character in the given class (ENCODING_AUTO: g_defaultEncoding);
// stores its code and full-width flag where given and returns its length in
// bytes (0 for an unknown class).
uint32_t DecodeCharNarrow(uint32_t* code, int32_t* fullWidth, const char* text, int32_t encoding);

// 1 when the byte at text leads a double-byte character of code page 932.
int IsLegacyLeadByte(const char* text);

// 1 for every code but 7-bit ones and half-width katakana (0xFF61-0xFF9F).
int IsFullWidthChar(uint32_t code);

// Narrow text to UTF-16, in the code page its class implies. The allocating
// form holds one unit more than the result needs. With a destination the
// result is always null; a destination too small is set to the empty string.
std::unique_ptr<char16_t[]> NarrowToWide(const char* text);
char16_t* NarrowToWide(char16_t* destination, size_t capacity, const char* text);

// UTF-16 text to the code page of the target number; as NarrowToWide.
std::unique_ptr<char[]> WideToNarrow(const char16_t* text, int32_t target);
char* WideToNarrow(char* destination, size_t capacity, const char16_t* text, int32_t target);

// Narrow text to the code page of the target number, copied unchanged when
// it is 7-bit or already in that code page; as NarrowToWide.
std::unique_ptr<char[]> RecodeNarrow(const char* text, int32_t target);
char* RecodeNarrow(char* destination, size_t capacity, const char* text, int32_t target);

// The first character whose code equals code, walking in the given class
// (ENCODING_AUTO: the class of the text from here on); a trail byte is never
// matched alone. Code 0 finds the terminator. Null when there is none.
const char* FindCharNarrow(const char* text, uint32_t code, int32_t encoding);
inline char* FindCharNarrow(char* text, uint32_t code, int32_t encoding) {
  return const_cast<char*>(FindCharNarrow(static_cast<const char*>(text), code, encoding));
}

// Lowers the one-byte characters A to Z in place; nothing else changes.
char* LowerCaseNarrow(char* text);

// Byte-wise comparison as unsigned values: -1, 0 or 1.
int CompareNarrow(const char* first, const char* second);

// Copies source with its terminator; the destination, or null (destination
// set to the empty string) when it does not fit.
char* CopyNarrow(char* destination, size_t capacity, const char* source);

// Splits a narrow path into drive ("C:"), folder (up to and including the
// last '\' or '/'), base name and extension (from the last dot of the final
// component). Null parts are not wanted. Each part's capacity is the smaller
// of the one given and the fixed one (drive 3, others 256 units); when a
// wanted part does not fit, or the path exceeds the 780-unit work buffer,
// every wanted part is set to the empty string.
struct WidePathParts {
  char16_t* drive = nullptr;
  size_t driveCapacity = 0;
  char16_t* folder = nullptr;
  size_t folderCapacity = 0;
  char16_t* base = nullptr;
  size_t baseCapacity = 0;
  char16_t* extension = nullptr;
  size_t extensionCapacity = 0;
};
void SplitPathWide(const WidePathParts& parts, const char* path);

// As SplitPathWide, always splitting into all four parts, then each wanted
// part converted to UTF-8 (at most 780 bytes), whatever the path's encoding.
struct NarrowPathParts {
  char* drive = nullptr;
  size_t driveCapacity = 0;
  char* folder = nullptr;
  size_t folderCapacity = 0;
  char* base = nullptr;
  size_t baseCapacity = 0;
  char* extension = nullptr;
  size_t extensionCapacity = 0;
};
void SplitPathNarrow(const NarrowPathParts& parts, const char* path);

// Formats with literal text, "%s" (one string argument each, in order) and
// "%%". Returns the units written without the terminator, or -1 for any
// other conversion, a missing argument, or a result that does not fit the
// capacity (the buffer is then set to the empty string).
int32_t FormatWideList(char16_t* buffer, size_t capacity, const char16_t* format,
                       std::initializer_list<const char16_t*> arguments);
int32_t FormatNarrowList(char* buffer, size_t capacity, const char* format,
                         std::initializer_list<const char*> arguments);

template <typename... Strings>
int32_t FormatWide(char16_t* buffer, size_t capacity, const char16_t* format, const Strings&... strings) {
  return FormatWideList(buffer, capacity, format, {static_cast<const char16_t*>(strings)...});
}

template <typename... Strings>
int32_t FormatNarrow(char* buffer, size_t capacity, const char* format, const Strings&... strings) {
  return FormatNarrowList(buffer, capacity, format, {static_cast<const char*>(strings)...});
}
