// Renames that wait out a file held for a moment by another program.
#include "platform/filesystem.h"
#include "platform/os_error.h"

namespace {

constexpr uint32_t kWaits[] = {50, 100, 200, 400};

}  // namespace

bool OsMoveFileWhenFree(const char16_t* from, const char16_t* to, bool replaceExisting) {
  for (uint32_t wait : kWaits) {
    if (OsMoveFile(from, to, replaceExisting)) return true;
    uint32_t error = OsLastError();
    if (error != OS_ERROR_SHARING_VIOLATION && error != OS_ERROR_ACCESS_DENIED) return false;
    OsSleep(wait);
  }
  return OsMoveFile(from, to, replaceExisting);
}
