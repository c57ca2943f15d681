// The install-folder lookup: where the game is installed, as its registry
// key records it.
//
// The folder is the REG_SZ value "InstalledFolder" of the key
// HKEY_LOCAL_MACHINE\Software\<publisher>\<title>, read in the process's own
// registry view. It is taken as stored (no trimming, no expansion, a trailing
// backslash kept) except that one pair of double quotes around the whole
// value is removed.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char16_t kGamePublisher[] = u"PELWIN SOFT";
inline constexpr char16_t kGameTitle[] = u"Lumetria";
inline constexpr char16_t kInstalledFolderValueName[] = u"InstalledFolder";

// Bytes of the working buffer that holds the subkey and then the value; a
// value larger than this is refused.
inline constexpr uint32_t kInstalledFolderValueBytes = 8192;

// Stores the install folder in folder (capacity in UTF-16 units, terminator
// included) and returns 1, or returns 0 and leaves folder as it was: when
// publisher or title is null (the registry is then not read), the key or the
// value is missing, the value is not REG_SZ (REG_EXPAND_SZ included), it is
// larger than kInstalledFolderValueBytes, or the folder would not fit folder
// whole (it is never cut).
//
// The value ends at its first zero unit or, for a value stored without one,
// at its last whole unit. The quote rule: when the value begins and ends with
// a double quote, those two characters are removed, once; a lone double
// quote has no pair and stays. Fitting is judged on the folder after that.
int32_t GetInstalledFolder(char16_t* folder, size_t capacity, const char16_t* publisher, const char16_t* title);
