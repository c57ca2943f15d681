// Open files: the one place where the core touches file handles.
//
// Paths are UTF-16 with '\' as the separator on every platform. The
// semantics are Windows' own and the POSIX layer reproduces them, even when
// the process runs as root:
//  - A file opened for reading shares reading only: others may read it, but
//    nobody may open it for writing, replace it by a rename or delete it.
//  - A file opened for writing shares nothing: any other open of it fails
//    with OS_ERROR_SHARING_VIOLATION, and so do renames over it and deletes.
//  - A file with the read-only attribute cannot be opened for writing,
//    replaced by a rename or deleted (OS_ERROR_ACCESS_DENIED).
//  - A folder cannot be opened as a file (OS_ERROR_ACCESS_DENIED).
// Every failure leaves its code for OsLastError().
#pragma once

#include <cstdint>

#include "platform/os_error.h"

// An open file as the layer hands it out; kOsInvalidFile (all bits set, the
// value of INVALID_HANDLE_VALUE) when nothing is open.
using OsFile = std::uintptr_t;
inline constexpr OsFile kOsInvalidFile = ~OsFile{0};

enum class OsWriteDisposition {
  OpenAlways,    // open an existing file as it is, or create it
  CreateAlways,  // create the file, or truncate an existing one to 0 bytes
};

// Opens an existing file for sequential reading (CreateFileW with
// GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING). kOsInvalidFile on failure.
OsFile OsOpenRead(const char16_t* path);

// As OsOpenRead, but a symbolic link, junction or other reparse point at
// path is refused (OS_ERROR_ACCESS_DENIED) instead of followed: for files in
// a folder that others may write to.
OsFile OsOpenReadNoFollow(const char16_t* path);

// Creates a new file for sequential writing, exclusively (CreateFileW with
// CREATE_NEW and FILE_FLAG_OPEN_REPARSE_POINT; O_CREAT | O_EXCL |
// O_NOFOLLOW). Fails with OS_ERROR_FILE_EXISTS when anything is at path, a
// link or a dangling link included, so nothing is ever written through a
// link planted at the name. kOsInvalidFile on failure.
OsFile OsCreateNew(const char16_t* path);

// Opens a file for sequential writing, exclusively (CreateFileW with
// GENERIC_WRITE, share mode 0). kOsInvalidFile on failure.
OsFile OsOpenWrite(const char16_t* path, OsWriteDisposition disposition);

// One read at the current position, no retry. False when the call fails;
// *done is the byte count moved (fewer than asked at the end of the file).
bool OsRead(OsFile file, void* buffer, uint32_t count, uint32_t* done);

// One write at the current position. False when the call fails; *done is the
// byte count moved, which a full disk may make short.
bool OsWrite(OsFile file, const void* buffer, uint32_t count, uint32_t* done);

// Moves the position to an absolute offset from the start. Positions beyond
// the end are allowed; negative ones fail (OS_ERROR_NEGATIVE_SEEK).
bool OsSeek(OsFile file, int64_t position);

// The low 32 bits of the file's size; 0xFFFFFFFF (INVALID_FILE_SIZE) when the
// file is not open.
uint32_t OsGetSizeLow(OsFile file);

// Starts writing count bytes from offset to the device without waiting for
// them. POSIX: sync_file_range with SYNC_FILE_RANGE_WRITE; called piece by
// piece along a file, it also waits for the piece kOsWritebackLag bytes
// earlier to reach the device and drops it from the cache, so a long file
// does not fill the page cache. Win32: each time the writing crosses
// another kOsWritebackLag bytes, a helper thread flushes the file while the
// caller goes on (OsClose waits for it). Only a hint: nothing is durable
// until OsFlush.
constexpr uint64_t kOsWritebackLag = 16u << 20;
void OsStartWriteback(OsFile file, uint64_t offset, uint32_t count);

// Hands written data to the storage device (FlushFileBuffers, fsync).
bool OsFlush(OsFile file);

// Closes the file. The file is closed even when the call reports failure.
bool OsClose(OsFile file);
