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
uint32_t OsErrorForPath(const std::string& path, int error);

// Records the translation of errno and returns false, for one-line failures.
bool FailWithErrno();

// A core path (UTF-16, '\' separators) as a file-system path (UTF-8, '/').
// Unpaired surrogates become U+FFFD. The empty path stays empty.
std::string ToNativePath(const char16_t* path);

// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, uint32_t code);

// UTF-16 text as UTF-8 for the terminal; unpaired surrogates become U+FFFD.
std::string ToNativeText(const char16_t* text);

// A file-system path as a core path: UTF-8 to UTF-16 with '/' turned into
// '\'. Bytes that are not UTF-8 become U+FFFD.
std::u16string FromNativePath(std::string_view path);

// True when some open of the file holds it (a shared or exclusive lock), so
// that Windows would refuse to rename over it or delete it.
bool IsFileHeldOpen(const std::string& path);
