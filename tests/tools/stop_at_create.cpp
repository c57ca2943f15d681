// Preloaded (LD_PRELOAD) into the POSIX patch program by flows that must
// catch a run in the middle: the first time the program creates a file whose
// path ends with $STOP_AT_CREATE, it stops itself (SIGSTOP) right after the
// create (the program opens files with open() or, in an open folder,
// openat(), which on 64-bit glibc are also what open64 and openat64 name).
// The flow then sends its signal while the run is certainly part way
// through, however fast or loaded the machine is, and lets it go on.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

namespace {

bool g_stopped = false;

void StopOnceAtMatch(const char* path, int flags) {
  const char* suffix = getenv("STOP_AT_CREATE");
  if (g_stopped || suffix == nullptr || (flags & O_CREAT) == 0) return;
  size_t length = strlen(path);
  size_t wanted = strlen(suffix);
  if (length < wanted || strcmp(path + length - wanted, suffix) != 0) return;
  g_stopped = true;
  raise(SIGSTOP);
}

using OpenFunction = int (*)(const char*, int, ...);

int OpenThenMaybeStop(const char* path, int flags, mode_t mode) {
  static auto real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, "open"));
  int fd = real(path, flags, mode);
  if (fd >= 0) StopOnceAtMatch(path, flags);
  return fd;
}

using OpenAtFunction = int (*)(int, const char*, int, ...);

int OpenAtThenMaybeStop(int folder, const char* path, int flags, mode_t mode) {
  static auto real = reinterpret_cast<OpenAtFunction>(dlsym(RTLD_NEXT, "openat"));
  int fd = real(folder, path, flags, mode);
  if (fd >= 0) StopOnceAtMatch(path, flags);
  return fd;
}

mode_t ModeArgument(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenThenMaybeStop(path, flags, mode);
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  return OpenAtThenMaybeStop(folder, path, flags, mode);
}
