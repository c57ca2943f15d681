#include "platform/posix/posix_util.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os_error.h"

namespace {
thread_local uint32_t t_lastError = OS_ERROR_SUCCESS;

void AppendUtf16(std::u16string& out, uint32_t code) {
  if (code < 0x10000) {
    out += static_cast<char16_t>(code);
  } else {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  }
}

// Decodes one well-formed UTF-8 sequence at text[i]; returns its length, or 0
// when the bytes there are not one.
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t* code) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t length;
  uint32_t value;
  uint32_t minimum;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}
}  // namespace

uint32_t OsLastError() { return t_lastError; }

void SetOsError(uint32_t error) { t_lastError = error; }

uint32_t OsErrorFromErrno(int error) {
  switch (error) {
    case 0: return OS_ERROR_SUCCESS;
    case ENOENT: return OS_ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return OS_ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return OS_ERROR_ACCESS_DENIED;
    case EBADF: return OS_ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return OS_ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return OS_ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return OS_ERROR_NOT_SAME_DEVICE;
    case EEXIST: return OS_ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return OS_ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT: return OS_ERROR_DISK_FULL;
    case ENAMETOOLONG: return OS_ERROR_FILENAME_EXCED_RANGE;
    case EWOULDBLOCK: return OS_ERROR_SHARING_VIOLATION;
    case EINVAL: return OS_ERROR_INVALID_PARAMETER;
    default: return OS_ERROR_GEN_FAILURE;
  }
}

uint32_t OsErrorForPath(const char* path, int error) {
  if (error != ENOENT) return OsErrorFromErrno(error);
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr || slash == path) return OS_ERROR_FILE_NOT_FOUND;
  char folder[kNativePathBytes];
  size_t length = static_cast<size_t>(slash - path);
  if (length >= sizeof folder) return OS_ERROR_PATH_NOT_FOUND;
  std::memcpy(folder, path, length);
  folder[length] = 0;
  struct stat info;
  if (stat(folder, &info) != 0 || !S_ISDIR(info.st_mode)) return OS_ERROR_PATH_NOT_FOUND;
  return OS_ERROR_FILE_NOT_FOUND;
}

bool FailWithErrno() {
  SetOsError(OsErrorFromErrno(errno));
  return false;
}

namespace {
// The code point at text[*i], stepping *i past it; an unpaired surrogate
// reads as U+FFFD.
uint32_t NextCodePoint(const char16_t* text, size_t* i) {
  uint32_t unit = text[(*i)++];
  if (unit >= 0xD800 && unit <= 0xDBFF && text[*i] >= 0xDC00 && text[*i] <= 0xDFFF) {
    return 0x10000 + ((unit - 0xD800) << 10) + (text[(*i)++] - 0xDC00);
  }
  return unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit;
}
}  // namespace

bool ToNativePath(const char16_t* path, NativePath* native) {
  size_t used = 0;
  // Room for the longest sequence and the terminator.
  const size_t limit = sizeof native->text - 5;
  for (size_t i = 0; path[i] != 0;) {
    if (used > limit) {
      native->text[0] = 0;
      SetOsError(OS_ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    uint32_t code = NextCodePoint(path, &i);
    used += EncodeUtf8(code == u'\\' ? '/' : code, native->text + used);
  }
  native->text[used] = 0;
  if (used == 0) {
    SetOsError(OS_ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

std::string ToNativeText(const char16_t* text) {
  std::string out;
  for (size_t i = 0; text[i] != 0;) AppendUtf8(out, NextCodePoint(text, &i));
  return out;
}

std::u16string FromNativePath(std::string_view path) {
  std::u16string out;
  size_t i = 0;
  while (i < path.size()) {
    uint32_t code = 0;
    size_t length = DecodeUtf8(path, i, &code);
    if (length == 0) {
      code = 0xFFFD;
      length = 1;
    }
    AppendUtf16(out, code == '/' ? u'\\' : code);
    i += length;
  }
  return out;
}

bool IsFileHeldOpen(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

size_t EncodeUtf8(uint32_t code, char* out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code >> 18));
  out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

void AppendUtf8(std::string& out, uint32_t code) {
  char bytes[4];
  out.append(bytes, EncodeUtf8(code, bytes));
}
