// Replacing a file's contents so that a failure cannot lose the file.
#pragma once

#include <cstdint>

#include "platform/folder.h"

// Writes data to temporaryPath (a sibling of target), checks every byte
// written, flushes it to the device, gives it target's attributes and
// renames it over target. The sibling is created new: whatever is at its
// name (a leftover, or a link planted there) is removed first, never written
// through. On any failure the temporary file is removed and target is left
// exactly as it was; true only when target holds the new contents. Like
// every rename over a file, it fails when target is read-only or held open.
// The rename is durable only once the folder is flushed.
bool ReplaceFileContents(const char16_t* target, const char16_t* temporaryPath, const void* data, uint32_t size);

// The same for the entry target of an open folder, through its sibling
// entry sibling (platform/folder.h): no path is resolved again.
bool ReplaceFileContentsIn(OsFolder folder, const char16_t* target, const char16_t* sibling, const void* data,
                           uint32_t size);
