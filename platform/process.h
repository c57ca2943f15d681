// Named mutexes: how copies of the patch, and the game, find each other.
//
// Win32: CreateMutexA in the default (per-logon) namespace. POSIX: a lock
// file per name in a fixed runtime folder, held with flock() for as long as
// the handle is open; the folder is $XDG_RUNTIME_DIR/lumetria-patch when that
// variable is set, else /tmp/lumetria-patch-<uid>.
#pragma once

#include <cstdint>

#include "platform/os_error.h"

// An open mutex handle; 0 when creation failed.
using OsMutex = std::uintptr_t;

// Creates (or opens) the named mutex, initially owned when initiallyOwned
// and nobody else has it. *error receives the error code that follows the
// call: 0 when this call created it, OS_ERROR_ALREADY_EXISTS when it existed
// (the handle is then valid but not owned), another code when creation
// failed (the handle is then 0).
OsMutex OsCreateNamedMutex(const char* name, bool initiallyOwned, uint32_t* error);

// Closes a handle from OsCreateNamedMutex; 0 is ignored.
void OsCloseMutex(OsMutex mutex);
