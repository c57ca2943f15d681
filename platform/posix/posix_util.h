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
  // Where the last name of the path starts in text, and whether that name
  // was taken from an entry of its folder spelled in another case.
  size_t leaf = 0;
  bool leafRespelled = false;
  const char* c_str() const { return text; }
};

// The path with Windows' name rule: names compare without regard to case.
// Each name along the path that is not there as spelled takes the spelling
// of an entry of its folder that differs from it only in case (the exact
// spelling first, as Wine does; letters fold as NamesEqualIgnoringCase
// says). A name that matches nothing is left as spelled, for a create. The
// folders are read with getdents64 into a buffer on the stack: nothing is
// allocated, not even inside the C library. Nothing is followed that the
// call using the path would not follow: only names are compared.
// False (with the error recorded) when path is empty or too long, or a
// folder on the way cannot be read for want of descriptors or memory.
bool ToNativePath(const char16_t* path, NativePath* native);

// The path exactly as spelled, without looking at the file system.
bool ToNativePathAsSpelled(const char16_t* path, NativePath* native);

// For a rename: the folder part of resolved (ToNativePath of path) with the
// last name of path as the caller spelled it. Windows gives a file renamed
// onto a name that differs only in case the name the caller asked for.
bool ToNativePathRespelled(const NativePath& resolved, const char16_t* path, NativePath* native);

// True when the two UTF-8 names are the same under Windows' name rule:
// ASCII letters, Latin-1, Latin Extended-A, Greek, Cyrillic, Roman numerals,
// circled and fullwidth Latin letters fold to upper case (every cased letter
// that code page 932 can spell is among them); everything else, and bytes
// that are not UTF-8, compare exactly.
bool NamesEqualIgnoringCase(std::string_view a, std::string_view b);

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

// One name of an open folder, as the POSIX calls take it: text is the entry
// that is there (taking, as Windows' rule says, the spelling of an entry
// that differs only in case when none is there as spelled), spelled the
// name as the caller gave it (for a rename, which gives the caller's
// spelling). A name that matches nothing is left as spelled, for a create.
struct LeafName {
  char text[256];
  char spelled[256];
  bool respelled = false;
};

// Resolves name (one component) in the open folder. False (with the error
// recorded) when it is not one name or the folder cannot be read. Nothing is
// followed and nothing allocated.
bool ResolveNameIn(int folder, const char16_t* name, LeafName* leaf);

// IsFileHeldOpen for an entry of an open folder (never through a link).
bool IsFileHeldOpenIn(int folder, const char* name);
