// The registry: reading values under HKEY_LOCAL_MACHINE.
//
// The calls keep the results of RegOpenKeyExW, RegQueryValueExW and
// RegCloseKey: each returns OS_ERROR_SUCCESS or a Windows error code (they
// report through their result, not through OsLastError()). Key and value
// names compare without regard to case.
//
// Win32: advapi32, in the process's own registry view (a 32-bit program on
// 64-bit Windows sees the 32-bit view). POSIX: a read-only stand-in that
// reads a file in the .reg export format, again at every open, from the path
// in the environment variable LUMETRIA_REGISTRY or else from
// kPosixRegistryDefaultPath; docs/platform.md describes the format it accepts.
// There a missing file holds no keys, and a file it cannot read or parse
// makes every open fail with OS_ERROR_BADDB.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/os_error.h"

// An open key (an HKEY on Win32).
using OsRegKey = std::uintptr_t;

// Value types, as Windows numbers them.
inline constexpr uint32_t OS_REG_NONE = 0;
inline constexpr uint32_t OS_REG_SZ = 1;
inline constexpr uint32_t OS_REG_EXPAND_SZ = 2;
inline constexpr uint32_t OS_REG_BINARY = 3;
inline constexpr uint32_t OS_REG_DWORD = 4;
inline constexpr uint32_t OS_REG_MULTI_SZ = 7;
inline constexpr uint32_t OS_REG_QWORD = 11;

// Access rights: reading a key's values and subkeys.
inline constexpr uint32_t OS_KEY_READ = 0x20019;

// The registry calls' own results, beside those of platform/os_error.h.
inline constexpr uint32_t OS_ERROR_MORE_DATA = 234;
inline constexpr uint32_t OS_ERROR_BADDB = 1009;

inline constexpr char kPosixRegistryVariable[] = "LUMETRIA_REGISTRY";
inline constexpr char kPosixRegistryDefaultPath[] = "/etc/lumetria-patch/registry.reg";

// Opens HKEY_LOCAL_MACHINE\subkey with the given access (options 0). On
// success *key is the open key, which the caller closes with OsRegCloseKey.
// A missing key is OS_ERROR_FILE_NOT_FOUND. The POSIX stand-in grants
// OS_KEY_READ only and refuses any other right with OS_ERROR_ACCESS_DENIED.
uint32_t OsRegOpenLocalMachineKey(const char16_t* subkey, uint32_t access, OsRegKey* key);

// Reads a value of an open key, as RegQueryValueExW does: a null or empty
// name is the key's default value; *type, when given, receives its type.
// With data null and size given, *size receives the value's byte count.
// With data given, *size is the buffer's capacity in bytes on entry and the
// value's byte count on return; a value larger than the buffer fails with
// OS_ERROR_MORE_DATA, *size then holding the bytes it needs and the buffer's
// content left undefined. The bytes are the value's as stored, and *size counts
// only them; but as on Windows, a string value (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) whose last unit is not zero gets a zero unit written behind
// it when the buffer has room for one. Without room it comes back
// unterminated. A missing value is OS_ERROR_FILE_NOT_FOUND.
uint32_t OsRegQueryValue(OsRegKey key, const char16_t* name, uint32_t* type, void* data, uint32_t* size);

// Closes a key that OsRegOpenLocalMachineKey opened.
uint32_t OsRegCloseKey(OsRegKey key);

// Values the program keeps for itself from one start to the next (the
// journal of an interrupted commit), where only the machine's administrators
// can write: a REG_BINARY value of HKEY_LOCAL_MACHINE\subkey. Whoever can
// write that key already chooses the install folder, so a value there is
// as trusted as the folder itself; a value that someone else could have
// written is never handed out as if it were ours.
//
// Win32: RegCreateKeyExW, RegSetValueExW, RegDeleteValueW, each followed
// by RegFlushKey, so the change is on the disk when the call returns. A
// key whose access list lets a standard user (Everyone, Authenticated Users,
// Users, Interactive, Guests) change it, or that has no access list at
// all, is not trusted.
//
// POSIX: the stand-in keeps each value in a file of its own, in the folder
// kPosixProtectedFolderSuffix beside the registry file (made with mode
// 0700 when missing), replaced whole through a flushed sibling and its
// folder flushed. It trusts a value only when its file is a plain file
// owned by the running user that no one else can write, in a folder owned
// by the running user or root that no one else can write (checked with
// fstat on the opened folder and file, never through a link).
inline constexpr char kPosixProtectedFolderSuffix[] = ".values";
inline constexpr uint32_t OS_ERROR_INVALID_OWNER = 1307;  // the value is not trusted

// Stores data as the value name of subkey (created when missing), durably.
// OS_ERROR_SUCCESS, or the failure.
uint32_t OsRegWriteProtectedValue(const char16_t* subkey, const char16_t* name, const void* data, uint32_t size);

// Reads the value whole into *data. OS_ERROR_FILE_NOT_FOUND when there is
// none; OS_ERROR_INVALID_OWNER when it is there but could have been written
// by someone other than the machine's administrators (*data is then left
// empty); other codes when it cannot be read now.
uint32_t OsRegReadProtectedValue(const char16_t* subkey, const char16_t* name, std::vector<uint8_t>* data);

// Removes the value, durably. A missing value is OS_ERROR_SUCCESS.
uint32_t OsRegDeleteProtectedValue(const char16_t* subkey, const char16_t* name);
