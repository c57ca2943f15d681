// Replacing a file's contents so that a failure cannot lose the file.
#pragma once

#include <cstdint>

// Writes data to temporaryPath (a sibling of target), checks every byte
// written, flushes it to the device, and renames it over target. On any
// failure the temporary file is removed and target is left exactly as it
// was; true only when target holds the new contents. Like every rename over
// a file, it fails when target is read-only or held open.
bool ReplaceFileContents(const char16_t* target, const char16_t* temporaryPath, const void* data, uint32_t size);
