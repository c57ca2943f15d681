// Renames that wait out a file held for a moment by another program.
#include "platform/filesystem.h"
#include "platform/folder.h"
#include "platform/os_error.h"

namespace {

constexpr uint32_t kWaits[] = {50, 100, 200, 400};

}  // namespace

namespace {

// Tries move up to five times while the failure is another program's hold.
template <typename Move>
bool WhenFree(Move move) {
  for (uint32_t wait : kWaits) {
    if (move()) return true;
    uint32_t error = OsLastError();
    if (error != OS_ERROR_SHARING_VIOLATION && error != OS_ERROR_ACCESS_DENIED) return false;
    OsSleep(wait);
  }
  return move();
}

}  // namespace

bool OsMoveFileWhenFree(const char16_t* from, const char16_t* to, bool replaceExisting) {
  return WhenFree([&] { return OsMoveFile(from, to, replaceExisting); });
}

bool OsMoveFileWhenFreeIn(OsFolder fromFolder, const char16_t* from, OsFolder toFolder, const char16_t* to,
                          bool replaceExisting) {
  return WhenFree([&] { return OsMoveFileIn(fromFolder, from, toFolder, to, replaceExisting); });
}
