#include "platform/posix/posix_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/name_case.h"
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

namespace {

// The folded code point at name[*i], stepping *i past it; a byte that does
// not start a UTF-8 sequence stands for itself, apart from every code point.
uint32_t FoldedCodePoint(std::string_view name, size_t* i) {
  uint32_t code = 0;
  size_t length = DecodeUtf8(name, *i, &code);
  if (length == 0) {
    code = 0x110000 + static_cast<unsigned char>(name[*i]);
    length = 1;
  }
  *i += length;
  return OsFoldNameCase(code);
}

// Where the last name of a path starts: past the last '/' that has a name
// after it.
size_t LeafStart(const char* text, size_t length) {
  while (length > 0 && text[length - 1] == '/') --length;
  while (length > 0 && text[length - 1] != '/') --length;
  return length;
}

enum class Lookup { Found, Missing, Failed };

// Looks through the folder for an entry whose name equals name under
// NamesEqualIgnoringCase and copies that entry's name into found (room for
// NAME_MAX + 1 bytes). The entries are read with the system call into a
// buffer here: opendir would allocate. A folder that is missing or cannot
// be read holds nothing; Failed (errno set) when descriptors or memory ran
// out.
Lookup FindEntryIgnoringCaseIn(int fd, std::string_view name, char* found, size_t* foundLength);

Lookup FindEntryIgnoringCase(const char* folder, std::string_view name, char* found, size_t* foundLength) {
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    bool missing = errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP;
    return missing ? Lookup::Missing : Lookup::Failed;
  }
  Lookup result = FindEntryIgnoringCaseIn(fd, name, found, foundLength);
  int error = errno;
  close(fd);
  errno = error;
  return result;
}

// As FindEntryIgnoringCase, in an open folder; fd is read from its start
// and left open.
Lookup FindEntryIgnoringCaseIn(int fd, std::string_view name, char* found, size_t* foundLength) {
  if (lseek(fd, 0, SEEK_SET) != 0) return Lookup::Failed;
  alignas(8) char buffer[8192];
  Lookup result = Lookup::Missing;
  int error = 0;
  while (result == Lookup::Missing) {
    ssize_t got = getdents64(fd, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno != EACCES) result = Lookup::Failed, error = errno;
      break;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      std::string_view entryName(entry->d_name);
      if (entryName == "." || entryName == ".." || entryName.size() > NAME_MAX) continue;
      if (NamesEqualIgnoringCase(entryName, name)) {
        std::memcpy(found, entryName.data(), entryName.size() + 1);
        *foundLength = entryName.size();
        result = Lookup::Found;
        break;
      }
    }
  }
  errno = error;
  return result;
}

// Gives every name of the path that is missing as spelled the spelling of
// an entry of its folder that differs only in case. The path as spelled is
// tried first, so a path that is there costs one lstat; otherwise only the
// names past the deepest folder that is there are looked up.
bool ResolveNameCase(NativePath* native) {
  char* text = native->text;
  size_t length = std::strlen(text);
  struct stat info;
  if (lstat(text, &info) == 0 || errno != ENOENT) return true;
  size_t known = length;
  for (;;) {
    size_t start = LeafStart(text, known);
    size_t parentEnd = start;
    while (parentEnd > 0 && text[parentEnd - 1] == '/') --parentEnd;
    if (parentEnd == 0) {
      // The root or the current folder.
      known = start;
      break;
    }
    char saved = text[parentEnd];
    text[parentEnd] = 0;
    int there = lstat(text, &info);
    int error = errno;
    text[parentEnd] = saved;
    known = parentEnd;
    if (there == 0) break;
    if (error != ENOENT) return true;
  }
  for (size_t at = known; at < length;) {
    while (at < length && text[at] == '/') ++at;
    size_t end = at;
    while (end < length && text[end] != '/') ++end;
    if (end == at) break;
    std::string_view name(text + at, end - at);
    if (name != "." && name != "..") {
      char saved = text[end];
      text[end] = 0;
      int there = lstat(text, &info);
      int error = errno;
      text[end] = saved;
      if (there != 0) {
        if (error != ENOENT || name.size() > NAME_MAX) break;
        char wanted[NAME_MAX + 1];
        std::memcpy(wanted, name.data(), name.size());
        char found[NAME_MAX + 1];
        size_t foundLength = 0;
        // The folder is the path up to the name, its '/' kept ("/" for the root).
        char first = text[at];
        text[at] = 0;
        Lookup lookup = FindEntryIgnoringCase(at == 0 ? "." : text, std::string_view(wanted, name.size()), found,
                                              &foundLength);
        text[at] = first;
        if (lookup == Lookup::Failed) {
          SetOsError(OsErrorFromErrno(errno));
          text[0] = 0;
          return false;
        }
        // Nothing there: the rest of the path is not there either.
        if (lookup == Lookup::Missing) break;
        size_t grown = length - name.size() + foundLength;
        if (grown >= sizeof native->text) {
          SetOsError(OS_ERROR_FILENAME_EXCED_RANGE);
          text[0] = 0;
          return false;
        }
        std::memmove(text + at + foundLength, text + end, length - end + 1);
        std::memcpy(text + at, found, foundLength);
        length = grown;
        end = at + foundLength;
        if (LeafStart(text, length) == at) native->leafRespelled = true;
      }
    }
    at = end;
  }
  native->leaf = LeafStart(text, length);
  return true;
}

}  // namespace

bool ToNativePathAsSpelled(const char16_t* path, NativePath* native) {
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
  native->leaf = LeafStart(native->text, used);
  native->leafRespelled = false;
  if (used == 0) {
    SetOsError(OS_ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

bool ToNativePath(const char16_t* path, NativePath* native) {
  return ToNativePathAsSpelled(path, native) && ResolveNameCase(native);
}

bool ToNativePathRespelled(const NativePath& resolved, const char16_t* path, NativePath* native) {
  if (!ToNativePathAsSpelled(path, native)) return false;
  size_t leafBytes = std::strlen(native->text + native->leaf);
  if (resolved.leaf + leafBytes >= sizeof native->text) {
    native->text[0] = 0;
    SetOsError(OS_ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::memmove(native->text + resolved.leaf, native->text + native->leaf, leafBytes + 1);
  std::memcpy(native->text, resolved.text, resolved.leaf);
  native->leaf = resolved.leaf;
  return true;
}

bool ResolveNameIn(int folder, const char16_t* name, LeafName* leaf) {
  // No folder holds nothing.
  if (folder < 0) {
    SetOsError(OS_ERROR_PATH_NOT_FOUND);
    return false;
  }
  NativePath spelled;
  if (!ToNativePathAsSpelled(name, &spelled)) return false;
  size_t length = std::strlen(spelled.text);
  if (length > NAME_MAX || std::strchr(spelled.text, '/') != nullptr || std::strcmp(spelled.text, ".") == 0 ||
      std::strcmp(spelled.text, "..") == 0) {
    SetOsError(OS_ERROR_INVALID_NAME);
    return false;
  }
  std::memcpy(leaf->text, spelled.text, length + 1);
  std::memcpy(leaf->spelled, spelled.text, length + 1);
  leaf->respelled = false;
  struct stat info;
  if (fstatat(folder, leaf->text, &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return true;
  char found[NAME_MAX + 1];
  size_t foundLength = 0;
  Lookup lookup = FindEntryIgnoringCaseIn(folder, std::string_view(leaf->text, length), found, &foundLength);
  if (lookup == Lookup::Failed) {
    SetOsError(OsErrorFromErrno(errno));
    return false;
  }
  if (lookup == Lookup::Found) {
    std::memcpy(leaf->text, found, foundLength + 1);
    leaf->respelled = true;
  }
  return true;
}

bool IsFileHeldOpenIn(int folder, const char* name) {
  int fd = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t k = 0;
  while (i < a.size() && k < b.size()) {
    if (FoldedCodePoint(a, &i) != FoldedCodePoint(b, &k)) return false;
  }
  return i == a.size() && k == b.size();
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
