// The registry on POSIX: a read-only stand-in fed by a .reg export file.
//
// The file is read again at every open, so a test (or a user) can change it
// between runs without anything cached going stale. Only the sections under
// HKEY_LOCAL_MACHINE are kept; sections of the other roots are parsed and
// dropped. An open key owns a copy of its values, so later changes to the
// file do not reach a key that is already open.
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fault.h"
#include "platform/registry.h"

namespace {

struct RegValue {
  uint32_t type = OS_REG_NONE;
  std::vector<uint8_t> data;
};

struct RegKeyData {
  std::map<std::u16string, RegValue> values;  // by folded name
};

// Every key of the file by its folded path below HKEY_LOCAL_MACHINE,
// components joined by '\'.
using Hive = std::map<std::u16string, RegKeyData>;

// Windows compares key and value names after mapping each UTF-16 unit to
// upper case; glibc's C.UTF-8 tables give the same simple mapping. Without
// that locale only ASCII letters are folded.
char16_t FoldUnit(char16_t unit) {
  static locale_t upper = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (unit >= u'a' && unit <= u'z') return static_cast<char16_t>(unit - u'a' + u'A');
  if (unit < 0x80 || upper == static_cast<locale_t>(nullptr) || (unit >= 0xD800 && unit <= 0xDFFF)) return unit;
  wint_t folded = towupper_l(unit, upper);
  return folded <= 0xFFFF ? static_cast<char16_t>(folded) : unit;
}

std::u16string Fold(std::u16string_view text) {
  std::u16string folded(text);
  for (char16_t& unit : folded) unit = FoldUnit(unit);
  return folded;
}

// Strict UTF-8 to UTF-16: false for any byte sequence that is not UTF-8.
bool DecodeUtf8(std::string_view text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    uint32_t code = 0;
    size_t length = 1;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code = lead & 0x1F, length = 2, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0F, length = 3, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07, length = 4, minimum = 0x10000;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      uint8_t next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      out->push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to maxDigits hex digits as a number; false for anything else.
bool ParseHexNumber(std::string_view text, size_t maxDigits, uint32_t* number) {
  if (text.empty() || text.size() > maxDigits) return false;
  uint32_t value = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *number = value;
  return true;
}

// A comma-separated list of one- or two-digit hex bytes, possibly empty,
// with blanks around the items and an optional comma at the end.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  text = Trim(text);
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view item = Trim(text.substr(0, comma));
    uint32_t value = 0;
    if (!ParseHexNumber(item, 2, &value)) return false;
    bytes->push_back(static_cast<uint8_t>(value));
    if (comma == std::string_view::npos) break;
    text = Trim(text.substr(comma + 1));
  }
  return true;
}

// A quoted string at the start of text with the escapes \\ and \"; *rest is
// what follows the closing quote.
bool ParseQuoted(std::string_view text, std::u16string* value, std::string_view* rest) {
  if (text.empty() || text.front() != '"') return false;
  std::string raw;
  size_t i = 1;
  for (; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return false;
      ++i;
    }
    raw += text[i];
  }
  if (i >= text.size()) return false;
  *rest = text.substr(i + 1);
  return DecodeUtf8(raw, value);
}

// Components separated by single backslashes, none of them empty; the
// empty path is the root itself.
bool IsWellFormedPath(const std::u16string& path) {
  if (path.empty()) return true;
  return path.front() != u'\\' && path.back() != u'\\' && path.find(u"\\\\") == std::u16string::npos;
}

bool IsSameOrBelow(const std::u16string& path, const std::u16string& ancestor) {
  if (ancestor.empty()) return true;
  return path.size() >= ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
         (path.size() == ancestor.size() || path[ancestor.size()] == u'\\');
}

// The key path of a section header's inside, folded, without its root; false
// for an unknown root or an empty component. *localMachine tells whether the
// root is HKEY_LOCAL_MACHINE.
bool ParseKeyPath(std::string_view text, std::u16string* path, bool* localMachine) {
  std::u16string wide;
  if (!DecodeUtf8(text, &wide)) return false;
  size_t separator = wide.find(u'\\');
  std::u16string root = Fold(wide.substr(0, separator));
  static const char16_t* const kOtherRoots[] = {u"HKEY_CURRENT_USER", u"HKEY_CLASSES_ROOT", u"HKEY_USERS",
                                                u"HKEY_CURRENT_CONFIG"};
  *localMachine = root == u"HKEY_LOCAL_MACHINE";
  bool known = *localMachine;
  for (const char16_t* other : kOtherRoots) known = known || root == other;
  if (!known) return false;
  if (separator == std::u16string::npos) {
    path->clear();
    return true;
  }
  *path = Fold(wide.substr(separator + 1));
  return IsWellFormedPath(*path);
}

// The file's lines with continuations joined: a line ending in '\' goes on
// in the next one, whose leading blanks are dropped.
std::vector<std::string> LogicalLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string current;
  bool continuing = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (continuing) line = Trim(line);
    std::string_view trimmed = Trim(line);
    bool continues = !trimmed.empty() && trimmed.back() == '\\' && trimmed.front() != '[' && trimmed.front() != ';';
    if (continues) trimmed.remove_suffix(1);
    current += continues ? trimmed : line;
    continuing = continues;
    if (!continuing) {
      lines.push_back(current);
      current.clear();
    }
  }
  if (continuing) lines.push_back(current);
  return lines;
}

// The data of a value line after its '='; *remove for "-".
bool ParseData(std::string_view text, RegValue* value, bool* remove) {
  *remove = false;
  text = Trim(text);
  if (text == "-") {
    *remove = true;
    return true;
  }
  if (!text.empty() && text.front() == '"') {
    std::u16string string;
    std::string_view rest;
    if (!ParseQuoted(text, &string, &rest) || !Trim(rest).empty()) return false;
    value->type = OS_REG_SZ;
    value->data.clear();
    for (char16_t unit : string) {
      value->data.push_back(static_cast<uint8_t>(unit & 0xFF));
      value->data.push_back(static_cast<uint8_t>(unit >> 8));
    }
    value->data.insert(value->data.end(), {0, 0});
    return true;
  }
  if (StartsWithNoCase(text, "dword:")) {
    uint32_t number = 0;
    if (!ParseHexNumber(Trim(text.substr(6)), 8, &number)) return false;
    value->type = OS_REG_DWORD;
    value->data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number >> 16),
                   static_cast<uint8_t>(number >> 24)};
    return true;
  }
  if (StartsWithNoCase(text, "hex:")) {
    value->type = OS_REG_BINARY;
    return ParseHexBytes(text.substr(4), &value->data);
  }
  if (StartsWithNoCase(text, "hex(")) {
    size_t close = text.find("):");
    if (close == std::string_view::npos || !ParseHexNumber(text.substr(4, close - 4), 8, &value->type)) return false;
    return ParseHexBytes(text.substr(close + 2), &value->data);
  }
  return false;
}

// Parses the whole file into hive; false when it is not a .reg file this
// stand-in understands.
bool ParseRegFile(std::string_view text, Hive* hive) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string> lines = LogicalLines(text);
  size_t next = 0;
  while (next < lines.size() && Trim(lines[next]).empty()) ++next;
  if (next == lines.size()) return false;
  std::string_view header = Trim(lines[next++]);
  if (header != "REGEDIT4" && header != "Windows Registry Editor Version 5.00") return false;

  RegKeyData* section = nullptr;
  bool inSection = false;
  for (; next < lines.size(); ++next) {
    std::string_view line = Trim(lines[next]);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return false;
      std::string_view inside = line.substr(1, line.size() - 2);
      bool removal = !inside.empty() && inside.front() == '-';
      if (removal) inside.remove_prefix(1);
      std::u16string path;
      bool localMachine = false;
      if (!ParseKeyPath(inside, &path, &localMachine)) return false;
      inSection = true;
      section = nullptr;
      if (!localMachine) continue;
      if (removal) {
        for (auto it = hive->begin(); it != hive->end();) {
          it = IsSameOrBelow(it->first, path) ? hive->erase(it) : std::next(it);
        }
        // Values after a removal header belong to no key.
        continue;
      }
      section = &(*hive)[path];
      continue;
    }
    if (!inSection) return false;
    std::u16string name;
    std::string_view rest;
    if (line.front() == '@') {
      rest = line.substr(1);
    } else if (!ParseQuoted(line, &name, &rest)) {
      return false;
    }
    rest = Trim(rest);
    if (rest.empty() || rest.front() != '=') return false;
    RegValue value;
    bool remove = false;
    if (!ParseData(rest.substr(1), &value, &remove)) return false;
    if (section == nullptr) continue;
    if (remove) {
      section->values.erase(Fold(name));
    } else {
      section->values[Fold(name)] = std::move(value);
    }
  }
  return true;
}

const char* RegistryFilePath() {
  const char* path = std::getenv(kPosixRegistryVariable);
  return path == nullptr || *path == 0 ? kPosixRegistryDefaultPath : path;
}

// Reads the registry file: OS_ERROR_SUCCESS with the hive (empty when there
// is no file), or OS_ERROR_BADDB.
uint32_t LoadHive(Hive* hive) {
  std::FILE* file = std::fopen(RegistryFilePath(), "rb");
  if (file == nullptr) return errno == ENOENT || errno == ENOTDIR ? OS_ERROR_SUCCESS : OS_ERROR_BADDB;
  std::string text;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed || !ParseRegFile(text, hive)) return OS_ERROR_BADDB;
  return OS_ERROR_SUCCESS;
}

// The rights a read-only registry can grant: KEY_READ's parts and the two
// view flags.
constexpr uint32_t kGrantableAccess = OS_KEY_READ | 0x0100 | 0x0200;

}  // namespace

uint32_t OsRegOpenLocalMachineKey(const char16_t* subkey, uint32_t access, OsRegKey* key) {
  *key = 0;
  if ((access & ~kGrantableAccess) != 0) return OS_ERROR_ACCESS_DENIED;
  std::u16string path = subkey != nullptr ? Fold(subkey) : std::u16string();
  if (!IsWellFormedPath(path)) return OS_ERROR_FILE_NOT_FOUND;
  try {
    Hive hive;
    uint32_t status = LoadHive(&hive);
    if (status != OS_ERROR_SUCCESS) return status;
    // A key exists when a section names it or a key below it, as importing
    // the file would have created every key on the way.
    bool exists = path.empty();
    for (const auto& entry : hive) exists = exists || IsSameOrBelow(entry.first, path);
    if (!exists) return OS_ERROR_FILE_NOT_FOUND;
    RegKeyData* opened = new RegKeyData;
    auto exact = hive.find(path);
    if (exact != hive.end()) opened->values = std::move(exact->second.values);
    *key = reinterpret_cast<OsRegKey>(opened);
    return OS_ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return OS_ERROR_NOT_ENOUGH_MEMORY;
  }
}

uint32_t OsRegQueryValue(OsRegKey key, const char16_t* name, uint32_t* type, void* data, uint32_t* size) {
  if (key == 0) return OS_ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return OS_ERROR_INVALID_PARAMETER;
  const RegKeyData* opened = reinterpret_cast<const RegKeyData*>(key);
  auto found = opened->values.find(name != nullptr ? Fold(name) : std::u16string());
  if (found == opened->values.end()) return OS_ERROR_FILE_NOT_FOUND;
  const RegValue& value = found->second;
  uint32_t needed = static_cast<uint32_t>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (size == nullptr) return OS_ERROR_SUCCESS;
  uint32_t capacity = *size;
  *size = needed;
  if (data == nullptr) return OS_ERROR_SUCCESS;
  if (needed > capacity) return OS_ERROR_MORE_DATA;
  if (needed > 0) std::memcpy(data, value.data.data(), needed);
  bool isString = value.type == OS_REG_SZ || value.type == OS_REG_EXPAND_SZ || value.type == OS_REG_MULTI_SZ;
  if (isString && needed >= 2 && capacity - needed >= 2 && (value.data[needed - 2] != 0 || value.data[needed - 1] != 0)) {
    static_cast<uint8_t*>(data)[needed] = 0;
    static_cast<uint8_t*>(data)[needed + 1] = 0;
  }
  return OS_ERROR_SUCCESS;
}

uint32_t OsRegCloseKey(OsRegKey key) {
  if (key == 0) return OS_ERROR_INVALID_HANDLE;
  delete reinterpret_cast<RegKeyData*>(key);
  return OS_ERROR_SUCCESS;
}

// The protected values: one file each, in a folder beside the registry file
// that only the running user may write.
namespace {

uint32_t ErrnoStatus(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return OS_ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ELOOP: return OS_ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return OS_ERROR_DISK_FULL;
    case ENOMEM: return OS_ERROR_NOT_ENOUGH_MEMORY;
    default: return OS_ERROR_GEN_FAILURE;
  }
}

// The value's file name: 16 hex digits of a hash (FNV-1a, 64 bits) of the
// folded "subkey\\name", so names compare without case as the registry's
// do; ".new" after them names the sibling a write goes through. Allocates
// nothing: a commit stores its journal while memory may have run out.
struct ValueFile {
  char name[21];
  char sibling[21];
};

void HashUnits(const char16_t* text, uint64_t* hash) {
  for (; text != nullptr && *text != 0; ++text) {
    char16_t unit = FoldUnit(*text);
    for (int shift : {0, 8}) {
      *hash ^= static_cast<uint8_t>(unit >> shift);
      *hash *= 0x100000001B3ull;
    }
  }
}

ValueFile ValueFileName(const char16_t* subkey, const char16_t* name) {
  uint64_t hash = 0xCBF29CE484222325ull;
  HashUnits(subkey, &hash);
  HashUnits(u"\\", &hash);
  HashUnits(name, &hash);
  ValueFile file;
  std::snprintf(file.name, sizeof file.name, "%016llX", static_cast<unsigned long long>(hash));
  std::snprintf(file.sibling, sizeof file.sibling, "%016llX.new", static_cast<unsigned long long>(hash));
  return file;
}

// No one but the running user (and, for the folder, root) can change it.
bool IsProtected(const struct stat& info, bool folder) {
  bool owner = info.st_uid == geteuid() || (folder && info.st_uid == 0);
  return owner && (info.st_mode & 022) == 0 && (folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode));
}

// Opens the values' folder (made when create and missing) without following
// a link at its name. -1 with *status set when it is missing or cannot be
// opened; OS_ERROR_INVALID_OWNER when others could write it.
int OpenValueFolder(bool create, uint32_t* status) {
  char folder[4096];
  int length = std::snprintf(folder, sizeof folder, "%s%s", RegistryFilePath(), kPosixProtectedFolderSuffix);
  if (length < 0 || static_cast<size_t>(length) >= sizeof folder) {
    *status = OS_ERROR_FILENAME_EXCED_RANGE;
    return -1;
  }
  if (create && mkdir(folder, 0700) != 0 && errno != EEXIST) {
    *status = ErrnoStatus(errno);
    return -1;
  }
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *status = ErrnoStatus(errno);
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !IsProtected(info, true)) {
    close(fd);
    *status = OS_ERROR_INVALID_OWNER;
    return -1;
  }
  *status = OS_ERROR_SUCCESS;
  return fd;
}

uint32_t Finish(int folder, uint32_t status) {
  if (status == OS_ERROR_SUCCESS && fsync(folder) != 0) status = ErrnoStatus(errno);
  close(folder);
  return status;
}

}  // namespace

uint32_t OsRegWriteProtectedValue(const char16_t* subkey, const char16_t* name, const void* data, uint32_t size) {
  if (OsFaultCheck(OsOp::WriteValue) != OsFault::None) return OS_ERROR_WRITE_FAULT;
  uint32_t status;
  int folder = OpenValueFolder(true, &status);
  if (folder < 0) return status;
  ValueFile file = ValueFileName(subkey, name);
  unlinkat(folder, file.sibling, 0);
  int fd = openat(folder, file.sibling, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Finish(folder, ErrnoStatus(errno));
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (uint32_t done = 0; done < size && status == OS_ERROR_SUCCESS;) {
    ssize_t moved = write(fd, bytes + done, size - done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) status = moved < 0 ? ErrnoStatus(errno) : OS_ERROR_WRITE_FAULT;
    else done += static_cast<uint32_t>(moved);
  }
  if (status == OS_ERROR_SUCCESS && fsync(fd) != 0) status = ErrnoStatus(errno);
  if (close(fd) != 0 && status == OS_ERROR_SUCCESS) status = ErrnoStatus(errno);
  if (status == OS_ERROR_SUCCESS && renameat(folder, file.sibling, folder, file.name) != 0) status = ErrnoStatus(errno);
  if (status != OS_ERROR_SUCCESS) unlinkat(folder, file.sibling, 0);
  status = Finish(folder, status);
  if (status == OS_ERROR_SUCCESS) OsTraceValue(OsOp::WriteValue, name, data, size);
  return status;
}

uint32_t OsRegReadProtectedValue(const char16_t* subkey, const char16_t* name, std::vector<uint8_t>* data) {
  data->clear();
  if (OsFaultCheck(OsOp::ReadValue) != OsFault::None) return OS_ERROR_READ_FAULT;
  uint32_t status;
  int folder = OpenValueFolder(false, &status);
  if (folder < 0) return status;
  int fd = openat(folder, ValueFileName(subkey, name).name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(folder);
  if (fd < 0) return ErrnoStatus(errno);
  struct stat info;
  if (fstat(fd, &info) != 0 || !IsProtected(info, false) || info.st_nlink != 1) {
    close(fd);
    return OS_ERROR_INVALID_OWNER;
  }
  try {
    data->resize(static_cast<size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    close(fd);
    return OS_ERROR_NOT_ENOUGH_MEMORY;
  }
  size_t done = 0;
  while (done < data->size()) {
    ssize_t moved = read(fd, data->data() + done, data->size() - done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;
    done += static_cast<size_t>(moved);
  }
  close(fd);
  if (done != data->size()) {
    data->clear();
    return OS_ERROR_READ_FAULT;
  }
  return OS_ERROR_SUCCESS;
}

uint32_t OsRegDeleteProtectedValue(const char16_t* subkey, const char16_t* name) {
  if (OsFaultCheck(OsOp::DeleteValue) != OsFault::None) return OS_ERROR_WRITE_FAULT;
  uint32_t status;
  int folder = OpenValueFolder(false, &status);
  // Without the folder there is no value; one others can write holds none
  // of ours.
  if (folder < 0) return status == OS_ERROR_FILE_NOT_FOUND ? OS_ERROR_SUCCESS : status;
  if (unlinkat(folder, ValueFileName(subkey, name).name, 0) != 0 && errno != ENOENT) {
    return Finish(folder, ErrnoStatus(errno));
  }
  status = Finish(folder, OS_ERROR_SUCCESS);
  if (status == OS_ERROR_SUCCESS) OsTraceValue(OsOp::DeleteValue, name);
  return status;
}
