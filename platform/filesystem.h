// File-system calls that act on paths rather than open files: attributes,
// renames, deletes and the running program's own path. Paths follow the
// rules of platform/files.h; so do the read-only and open-file refusals.
#pragma once

#include <cstdint>

#include "platform/os_error.h"

inline constexpr uint32_t OS_FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr uint32_t OS_FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t OS_FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t OS_FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t OS_INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// The attributes of a file or folder (GetFileAttributesW), or
// OS_INVALID_FILE_ATTRIBUTES when the path names nothing.
uint32_t OsGetFileAttributes(const char16_t* path);

// Sets the attributes (SetFileAttributesW). Only the read-only bit has an
// effect off Windows; OS_FILE_ATTRIBUTE_NORMAL clears it.
bool OsSetFileAttributes(const char16_t* path, uint32_t attributes);

// Renames a file (MoveFileExW). With replaceExisting an existing destination
// is replaced (MOVEFILE_REPLACE_EXISTING), unless it is read-only, open or a
// folder; without it an existing destination makes the call fail with
// OS_ERROR_ALREADY_EXISTS. Never copies across volumes.
bool OsMoveFile(const char16_t* from, const char16_t* to, bool replaceExisting);

// Deletes a file (DeleteFileW); read-only and open files are refused.
bool OsDeleteFile(const char16_t* path);

// The running program's own path, as GetModuleFileNameW gives it: the path is
// cut to capacity - 1 units and always ended by a zero. Returns the units
// written without the terminator, or capacity when the path was cut
// (OS_ERROR_INSUFFICIENT_BUFFER), or 0 on failure.
uint32_t OsGetModulePath(char16_t* buffer, uint32_t capacity);
