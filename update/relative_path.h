// Relative names of installed files: which ones the run may write, and when
// two of them denote the same file.
#pragma once

#include <string>

// True when name (UTF-16, '\' or '/' between components) stays inside the
// folder it is relative to and is a name Windows can create: not empty, not
// absolute, no drive or stream (':'), no empty, "." or ".." component, no
// control characters or < > " | ? *, no component ending in a dot or a
// space, no device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and
// LPT0-9 with the superscript digits too, with or without an extension), no
// component carrying the run's backup marker, and none of the names the run
// writes itself (its journal and the rewrite siblings of the records).
bool IsSafeRelativeName(const std::u16string& name);

// The normal form of a relative name: UTF-8, ASCII letters lowered and other
// letters folded as Windows folds file names (OsFoldNameCase), '/' turned
// into '\'. Two names denote the same file when these are equal.
// Empty when the name cannot be converted.
std::string NormalRelativeName(const std::u16string& name);

// The marker that the run's backup names carry; no payload name may.
inline constexpr char16_t kBackupMarker[] = u".lumetria-bak";
