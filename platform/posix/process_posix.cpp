// Named mutexes on POSIX: one lock file per name. Whoever holds the file's
// exclusive lock owns the mutex; a second creator finds the lock taken and
// reports the mutex as already existing, as Windows does. The lock ends with
// the process, so a crashed copy leaves nothing held.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/posix/posix_util.h"
#include "platform/process.h"

namespace {

std::string RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/lumetria-patch";
  return "/tmp/lumetria-patch-" + std::to_string(getuid());
}

// A file name for a mutex name: letters and digits kept, the rest as '_'
// followed by the byte in hex, so that different names never share a file.
std::string LockFileName(const char* name) {
  static const char kHex[] = "0123456789abcdef";
  std::string file;
  for (const char* p = name; *p != 0; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      file += static_cast<char>(c);
    } else {
      file += '_';
      file += kHex[c >> 4];
      file += kHex[c & 15];
    }
  }
  return file + ".lock";
}

}  // namespace

OsMutex OsCreateNamedMutex(const char* name, bool, uint32_t* error) {
  std::string folder = RuntimeFolder();
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = OsErrorFromErrno(errno);
    return 0;
  }
  std::string path = folder + "/" + LockFileName(name);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = OsErrorFromErrno(errno);
    return 0;
  }
  // The handle must never be 0, which means failure; keep it off fd 0.
  if (fd == 0) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    if (moved < 0) {
      *error = OsErrorFromErrno(errno);
      return 0;
    }
    fd = moved;
  }
  *error = flock(fd, LOCK_EX | LOCK_NB) == 0 ? OS_ERROR_SUCCESS : OS_ERROR_ALREADY_EXISTS;
  return static_cast<OsMutex>(fd);
}

void OsCloseMutex(OsMutex mutex) {
  if (mutex != 0) close(static_cast<int>(mutex));
}
