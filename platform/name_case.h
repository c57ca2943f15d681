// Windows' rule for file names that differ only in case, shared by the
// layer that emulates it (POSIX) and the code that must tell two names of one
// file apart before it writes either.
#pragma once

#include <cstdint>

// The upper case of a code point as Windows compares file names, for ASCII
// letters, Latin-1, Latin Extended-A, Greek, Cyrillic, Roman numerals,
// circled and fullwidth Latin letters (every cased letter that code page 932
// can spell is among them); every other code point is its own.
uint32_t OsFoldNameCase(uint32_t code);
