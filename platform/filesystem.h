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
inline constexpr uint32_t OS_FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr uint32_t OS_INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// The attributes of a file or folder (GetFileAttributesW), or
// OS_INVALID_FILE_ATTRIBUTES when the path names nothing. A link is not
// followed: a symbolic link or junction reports OS_FILE_ATTRIBUTE_REPARSE_POINT
// (with OS_FILE_ATTRIBUTE_DIRECTORY when it leads to a folder), a dangling
// one included.
uint32_t OsGetFileAttributes(const char16_t* path);

// Sets the attributes (SetFileAttributesW). Only the read-only bit has an
// effect off Windows; OS_FILE_ATTRIBUTE_NORMAL clears it. A link's own
// attributes are set, never its target's (off Windows a link has none).
bool OsSetFileAttributes(const char16_t* path, uint32_t attributes);

// Renames a file (MoveFileExW). With replaceExisting an existing destination
// is replaced (MOVEFILE_REPLACE_EXISTING), unless it is read-only, open or a
// folder; without it an existing destination makes the call fail with
// OS_ERROR_ALREADY_EXISTS. Never copies across volumes. A link at either name
// is moved or replaced itself. On Win32 the rename is on the device when the
// call returns (MOVEFILE_WRITE_THROUGH); on POSIX only once the folder is
// flushed (OsFlushFolder).
bool OsMoveFile(const char16_t* from, const char16_t* to, bool replaceExisting);

// OsMoveFile, tried again for a little under a second while either file is
// held by another program for a moment: an antivirus scanner opens a file
// right after it is written, and renaming it then fails with a sharing
// violation or access denied. Up to five tries, 50, 100, 200 and 400 ms
// apart; any other failure, or the fifth, is returned at once with its
// error.
bool OsMoveFileWhenFree(const char16_t* from, const char16_t* to, bool replaceExisting);

// A hint that the file's contents will not be read again soon: the POSIX
// layer lets the page cache drop its clean pages, so that files written
// next reuse that memory (posix_fadvise). Never follows a link, changes
// nothing in the file, reports nothing; does nothing on Win32, which has no
// such call for a file that is not open.
void OsDropCachedContents(const char16_t* path);

// Waits for the given time.
void OsSleep(uint32_t milliseconds);

// Deletes a file (DeleteFileW); read-only and open files are refused. A
// link is removed itself, a link to a folder (junction) included; its target
// is never touched.
bool OsDeleteFile(const char16_t* path);

// True when some program holds the file open in a way that refuses renaming
// it, replacing it or deleting it (on Win32: without FILE_SHARE_DELETE).
// False when it is free, or there is no such file.
bool OsFileInUse(const char16_t* path);

// Gives the existing file a second name (CreateHardLinkW, link()), so that
// both names reach the same contents. Fails when newName exists
// (OS_ERROR_ALREADY_EXISTS) and where the file system has no hard links.
bool OsLinkFile(const char16_t* existing, const char16_t* newName);

// Makes the folder's entries durable: renames, creations and deletions in it
// survive a power cut once this returns (fsync of the folder on POSIX; on
// Win32 every rename is written through already and this does nothing).
bool OsFlushFolder(const char16_t* folder);

// Gives the file at to the attributes of the file at from that a rewrite
// must keep (hidden, system and archive on Win32; the permission bits on
// POSIX), without following a link at either name.
bool OsCopyFileAttributes(const char16_t* from, const char16_t* to);

// The running program's own path, as GetModuleFileNameW gives it: the path is
// cut to capacity - 1 units and always ended by a zero. Returns the units
// written without the terminator, or capacity when the path was cut
// (OS_ERROR_INSUFFICIENT_BUFFER), or 0 on failure.
uint32_t OsGetModulePath(char16_t* buffer, uint32_t capacity);
