// Helpers shared by the POSIX layer's sources.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Records the error that OsLastError() reports on this thread.
void SetOsError(uint32_t error);

// Translates an errno value into the Windows error code for the same case.
uint32_t OsErrorFromErrno(int error);

// As OsErrorFromErrno for a call on path: a missing file whose folder is
// missing too is OS_ERROR_PATH_NOT_FOUND, as Windows reports it.
uint32_t OsErrorForPath(const char* path, int error);

// Records the translation of errno and returns false, for one-line failures.
bool FailWithErrno();

// A core path (UTF-16, '\' separators) as a file-system path (UTF-8, '/'),
// in a buffer of its own: the conversion allocates nothing, so the file
// calls of a commit work when memory has run out. Unpaired surrogates become
// U+FFFD.
inline constexpr size_t kNativePathBytes = 4096;
struct NativePath {
  char text[kNativePathBytes];
  const char* c_str() const { return text; }
};

// False (with the error recorded) when path is empty or too long.
bool ToNativePath(const char16_t* path, NativePath* native);

// Writes one code point (at most U+10FFFF) as UTF-8 to out (room for 4
// bytes); returns the bytes written.
size_t EncodeUtf8(uint32_t code, char* out);

// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, uint32_t code);

// UTF-16 text as UTF-8 for the terminal; unpaired surrogates become U+FFFD.
std::string ToNativeText(const char16_t* text);

// A file-system path as a core path: UTF-8 to UTF-16 with '/' turned into
// '\'. Bytes that are not UTF-8 become U+FFFD.
std::u16string FromNativePath(std::string_view path);

// True when some open of the file holds it (a shared or exclusive lock), so
// that Windows would refuse to rename over it or delete it.
bool IsFileHeldOpen(const char* path);
