// Folders opened once, and the file calls relative to them, on Win32.
//
// Every call on a name opens that name with NtCreateFile relative to the
// folder's handle, with FILE_OPEN_REPARSE_POINT, and then changes what it
// opened through the handle; no path is resolved again after the folder was
// opened. The calls allocate nothing: the commit runs them.
//
// Wine 8 differs in two ways, both checked for here:
//  - It follows a link on the host even with FILE_OPEN_REPARSE_POINT: a
//    handle "opened on a link" is whatever the link leads to, with no
//    reparse attribute. The folder's listing shows a link to a folder for
//    what it is (the reparse attribute, and the target's file id), so
//    wherever a handle turns out to be a folder the listing is asked too.
//  - It opens a name relative to the folder's descriptor, but records for
//    the new handle the host path realpath("<folder's path>/<name>"), and
//    renames, links and deletions act on that path, not on the handle. A
//    link at the name, or a folder swapped for a link after it was opened,
//    shows in that path (NtQueryObject gives it). So under Wine a handle is
//    taken for the entry only when its path is the folder's path and the
//    name, and just before a rename, link or deletion the folder's path must
//    still lead to the folder. A window remains between that check and the
//    call; Windows acts on the handle and has none.
#include "platform/win32/win32_util.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "platform/fault.h"
#include "platform/filesystem.h"
#include "platform/folder.h"

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                               PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass, BOOLEAN returnSingleEntry,
                                               PUNICODE_STRING fileName, BOOLEAN restartScan);

namespace {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr ULONG kFileSequentialOnly = 0x00000004;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr FILE_INFORMATION_CLASS kFileIdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What an open folder handle may do: list and walk it, and add entries.
// FILE_ADD_FILE is FILE_WRITE_DATA, which FlushFileBuffers needs.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                      FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// A name is one component; NTFS allows 255 units in one.
constexpr size_t kMaxName = 255;

// Trace paths are built on the stack, so a folder's path must leave room for
// a separator, a name and the terminator. Far more than the registry's
// install folder (779 units) and the payload's sub-folders below it need.
constexpr size_t kTracePathCapacity = 2048;
constexpr size_t kMaxFolderPath = kTracePathCapacity - kMaxName - 2;

struct Folder {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::u16string path;    // as the core spells it, for the traces only
  std::wstring winePath;  // under Wine: the NT path Wine records for the folder
  DWORD volume = 0;       // the folder's volume serial number and file index
  uint64_t index = 0;
};

bool RunningUnderWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

// Room for the NT path Wine records for a handle: the folder's path
// (bounded below, and longer by the drive or share it starts with) and a
// name.
constexpr size_t kRecordedPathCapacity = 4096;

Folder* FolderOf(OsFolder folder) { return reinterpret_cast<Folder*>(folder); }

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The folder's path joined with a name, as the path calls would trace it.
class TracePath {
 public:
  TracePath(const Folder& folder, const char16_t* name) {
    size_t length = folder.path.size();
    std::memcpy(m_text, folder.path.data(), length * sizeof(char16_t));
    if (length != 0 && !IsSeparator(m_text[length - 1])) m_text[length++] = u'\\';
    while (*name != 0 && length + 1 < kTracePathCapacity) m_text[length++] = *name++;
    m_text[length] = 0;
  }
  const char16_t* c_str() const { return m_text; }

 private:
  char16_t m_text[kTracePathCapacity];
};

// Leaves the Win32 error for a failed NT call, as kernel32 would.
void SetStatusError(NTSTATUS status) { SetLastError(RtlNtStatusToDosError(status)); }

// Checks that name is a single component and describes it for the NT
// calls. A separator would walk through entries (and links) below the
// folder; the empty name would reach the folder itself.
bool TakeName(const char16_t* name, UNICODE_STRING* out) {
  size_t length = 0;
  if (name != nullptr) {
    while (name[length] != 0) {
      if (IsSeparator(name[length])) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
      }
      if (++length > kMaxName) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
      }
    }
  }
  if (length == 0 || (name[0] == u'.' && (length == 1 || (length == 2 && name[1] == u'.')))) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  out->Buffer = const_cast<PWSTR>(AsWide(name));
  out->Length = static_cast<USHORT>(length * sizeof(wchar_t));
  out->MaximumLength = out->Length;
  return true;
}

// Opens name relative to folder, synchronously and never through a link
// the system can see (the caller adds FILE_DIRECTORY_FILE or
// FILE_NON_DIRECTORY_FILE where only one kind will do).
NTSTATUS OpenIn(HANDLE folder, UNICODE_STRING name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                HANDLE* handle, ULONG attributes = 0) {
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io;
  *handle = INVALID_HANDLE_VALUE;
  NTSTATUS status = NtCreateFile(handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share, disposition,
                                 options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status != kStatusSuccess) *handle = INVALID_HANDLE_VALUE;
  return status;
}

// Opens an existing entry of either kind; false with the error set.
bool OpenEntry(HANDLE folder, const UNICODE_STRING& name, ACCESS_MASK access, ULONG share, HANDLE* handle,
               ULONG options = 0) {
  NTSTATUS status = OpenIn(folder, name, access, share, FILE_OPEN, options, handle);
  if (status == kStatusSuccess) return true;
  SetStatusError(status);
  return false;
}

uint64_t FileIndex(const BY_HANDLE_FILE_INFORMATION& information) {
  return (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
}

struct ListedEntry {
  DWORD attributes = 0;
  uint64_t id = 0;
};

// The entry name as the folder lists it. The folder is opened again for
// the listing: a listing's name pattern sticks to the handle that first
// used it.
bool ListEntry(HANDLE folder, const UNICODE_STRING& name, ListedEntry* entry) {
  HANDLE listing = INVALID_HANDLE_VALUE;
  NTSTATUS status = OpenIn(folder, UNICODE_STRING{0, 0, nullptr}, FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN,
                           FILE_DIRECTORY_FILE, &listing);
  if (status != kStatusSuccess) return false;
  alignas(8) unsigned char buffer[offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) + (kMaxName + 1) * sizeof(wchar_t)];
  IO_STATUS_BLOCK io;
  UNICODE_STRING pattern = name;
  status = NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                kFileIdBothDirectoryInformation, TRUE, &pattern, TRUE);
  CloseHandle(listing);
  if (status != kStatusSuccess) return false;
  const auto* information = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(buffer);
  // The pattern could match another entry only through wildcards, which no
  // name that opened can hold; the comparison makes sure of it.
  if (information->FileNameLength != name.Length ||
      CompareStringOrdinal(information->FileName, static_cast<int>(name.Length / sizeof(wchar_t)), name.Buffer,
                           static_cast<int>(name.Length / sizeof(wchar_t)), TRUE) != CSTR_EQUAL) {
    return false;
  }
  entry->attributes = information->FileAttributes;
  entry->id = static_cast<uint64_t>(information->FileId.QuadPart);
  return true;
}

// Under Wine: the NT path recorded for a handle (NtQueryObject; Wine's
// GetFinalPathNameByHandleW gives it too, but only up to MAX_PATH).
struct RecordedPath {
  alignas(8) unsigned char buffer[sizeof(OBJECT_NAME_INFORMATION) + kRecordedPathCapacity * sizeof(wchar_t)];
  const wchar_t* text = nullptr;
  size_t length = 0;
};

// False on failure.
bool RecordedPathOf(HANDLE handle, RecordedPath* path) {
  ULONG returned = 0;
  NTSTATUS status = NtQueryObject(handle, ObjectNameInformation, path->buffer, sizeof path->buffer, &returned);
  if (status != kStatusSuccess) return false;
  const auto* information = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(path->buffer);
  path->text = information->Name.Buffer;
  path->length = information->Name.Length / sizeof(wchar_t);
  return path->text != nullptr && path->length != 0;
}

// Under Wine: whether the path recorded for handle is the folder's path
// joined with name, which it is not when a link at the name or above it
// was followed.
bool WinePathIsEntry(const Folder& folder, HANDLE handle, const UNICODE_STRING& name) {
  RecordedPath recorded;
  if (!RecordedPathOf(handle, &recorded)) return false;
  const wchar_t* path = recorded.text;
  size_t length = recorded.length;
  size_t folderLength = folder.winePath.size();
  size_t nameLength = name.Length / sizeof(wchar_t);
  bool separator = folderLength != 0 && folder.winePath[folderLength - 1] != L'\\';
  if (length != folderLength + (separator ? 1 : 0) + nameLength) return false;
  if (separator && path[folderLength] != L'\\') return false;
  return CompareStringOrdinal(path, static_cast<int>(folderLength), folder.winePath.c_str(), static_cast<int>(folderLength),
                              TRUE) == CSTR_EQUAL &&
         CompareStringOrdinal(path + length - nameLength, static_cast<int>(nameLength), name.Buffer,
                              static_cast<int>(nameLength), TRUE) == CSTR_EQUAL;
}

// Under Wine: whether the folder's recorded path still leads to the
// folder, rather than through a link swapped in since it was opened.
bool StillThere(const Folder& folder) {
  UNICODE_STRING path;
  path.Buffer = const_cast<PWSTR>(folder.winePath.c_str());
  path.Length = static_cast<USHORT>(folder.winePath.size() * sizeof(wchar_t));
  path.MaximumLength = path.Length;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (OpenIn(nullptr, path, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &handle) != kStatusSuccess) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information;
  bool same = GetFileInformationByHandle(handle, &information) != FALSE &&
              information.dwVolumeSerialNumber == folder.volume && FileIndex(information) == folder.index;
  CloseHandle(handle);
  return same;
}

// Whether a rename, link or deletion of handle, opened at name in folder,
// acts on that entry (and puts it into destination, when given): always on
// Windows, which acts on the handle; under Wine, which acts on the recorded
// paths, when they still lead there.
bool ActsOnEntry(const Folder& folder, const UNICODE_STRING& name, HANDLE handle, const Folder* destination = nullptr) {
  if (!RunningUnderWine()) return true;
  return WinePathIsEntry(folder, handle, name) && StillThere(folder) &&
         (destination == nullptr || StillThere(*destination));
}

// Whether handle, opened at name in folder, is the entry itself rather
// than what a link there leads to. On Windows a file or a reparse point is
// (the link itself was opened); a folder is only when the listing shows a
// plain folder with the handle's file id. Ids a file system does not give
// (0, or all ones when they need more than 64 bits) are not compared: Wine
// always gives them, and on Windows the handle's attributes decided
// already. Under Wine the handle's recorded path must match as well.
bool IsEntryItself(const Folder& folder, const UNICODE_STRING& name, HANDLE handle,
                   const BY_HANDLE_FILE_INFORMATION& information) {
  if (RunningUnderWine() && !WinePathIsEntry(folder, handle, name)) return false;
  DWORD attributes = information.dwFileAttributes;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
  ListedEntry entry;
  if (!ListEntry(folder.handle, name, &entry)) return false;
  if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  uint64_t id = FileIndex(information);
  bool known = id != 0 && entry.id != 0 && entry.id != ~uint64_t{0};
  return !known || id == entry.id;
}

// The attributes of the entry opened as handle: its own, a link's
// included. Where the system showed the handle only what a link leads to
// (Wine), the entry is reported as a link, a folder link marked as one.
DWORD OwnAttributes(const Folder& folder, const UNICODE_STRING& name, HANDLE handle,
                    const BY_HANDLE_FILE_INFORMATION& information) {
  if (IsEntryItself(folder, name, handle, information)) return information.dwFileAttributes;
  bool isFolder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return FILE_ATTRIBUTE_REPARSE_POINT | (isFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
}

// Sets the attributes through an open handle; zero times leave the times
// as they are. The system reads an attribute value of 0 as "unchanged", so
// FILE_ATTRIBUTE_NORMAL stands for none.
bool SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// Opens name for an attribute change: only the entry itself, never what a
// link on the host leads to.
bool OpenForAttributes(const Folder& folder, const UNICODE_STRING& name, HANDLE* handle,
                       BY_HANDLE_FILE_INFORMATION* information) {
  if (!OpenEntry(folder.handle, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, handle)) return false;
  if (GetFileInformationByHandle(*handle, information) == FALSE) {
    CloseHandle(*handle);
    return false;
  }
  if (!IsEntryItself(folder, name, *handle, *information)) {
    CloseHandle(*handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// Sets the error for a call on no open folder.
bool Usable(const Folder* folder) {
  if (folder != nullptr) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

// The folder's path as an NT path ("\\?\C:\...", "\\?\UNC\server\share\..."),
// which CreateFileW takes beyond MAX_PATH. An empty string on failure, with
// the error set.
std::wstring NtPathOf(const char16_t* path) {
  DWORD needed = GetFullPathNameW(AsWide(path), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(AsWide(path), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) {
    if (length != 0) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::wstring();
  }
  full.resize(length);
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  return full;
}

// Takes handle, the folder at path, into a new open folder; closes the
// handle on failure.
OsFolder Adopt(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& information, const char16_t* path) {
  Folder* folder = new (std::nothrow) Folder;
  if (folder == nullptr) {
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kOsInvalidFolder;
  }
  folder->handle = handle;
  folder->volume = information.dwVolumeSerialNumber;
  folder->index = FileIndex(information);
  OsFolder result = reinterpret_cast<OsFolder>(folder);
  DWORD error = ERROR_SUCCESS;
  try {
    folder->path = path;
    if (RunningUnderWine()) {
      RecordedPath recorded;
      if (!RecordedPathOf(handle, &recorded)) {
        error = ERROR_ACCESS_DENIED;
      } else if (recorded.length >= kRecordedPathCapacity - kMaxName - 2) {
        error = ERROR_FILENAME_EXCED_RANGE;
      } else {
        folder->winePath.assign(recorded.text, recorded.length);
      }
    }
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error == ERROR_SUCCESS) return result;
  OsCloseFolder(result);
  SetLastError(error);
  return kOsInvalidFolder;
}

}  // namespace

OsFolder OsOpenFolder(const char16_t* path) {
  if (OsFaultCheck(OsOp::OpenFolder) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFolder;
  }
  if (std::char_traits<char16_t>::length(path) > kMaxFolderPath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kOsInvalidFolder;
  }
  try {
    std::wstring ntPath = NtPathOf(path);
    if (ntPath.empty()) return kOsInvalidFolder;
    // Backup semantics open a folder; a link at path itself is followed.
    HANDLE handle = CreateFileW(ntPath.c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kOsInvalidFolder;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information) == FALSE ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      CloseHandle(handle);
      SetLastError(ERROR_DIRECTORY);
      return kOsInvalidFolder;
    }
    return Adopt(handle, information, path);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kOsInvalidFolder;
  }
}

OsFolder OsOpenSubFolder(OsFolder parent, const char16_t* name) {
  if (OsFaultCheck(OsOp::OpenFolder) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFolder;
  }
  Folder* folder = FolderOf(parent);
  UNICODE_STRING ntName;
  if (!Usable(folder) || !TakeName(name, &ntName)) return kOsInvalidFolder;
  HANDLE handle = INVALID_HANDLE_VALUE;
  NTSTATUS status = OpenIn(folder->handle, ntName, kFolderAccess, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &handle);
  if (status != kStatusSuccess) {
    SetStatusError(status);
    return kOsInvalidFolder;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information) == FALSE) {
    CloseHandle(handle);
    return kOsInvalidFolder;
  }
  // On Windows the handle is the entry itself, so its reparse attribute
  // tells a link or junction without a race. Under Wine it may be the
  // folder a host link leads to: the listing, and the file id the handle
  // must share with the listed entry, catch that (and a swap in between).
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      !IsEntryItself(*folder, ntName, handle, information)) {
    CloseHandle(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFolder;
  }
  if (folder->path.size() + 1 + ntName.Length / sizeof(wchar_t) > kMaxFolderPath) {
    CloseHandle(handle);
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kOsInvalidFolder;
  }
  return Adopt(handle, information, TracePath(*folder, name).c_str());
}

void OsCloseFolder(OsFolder folder) {
  Folder* open = FolderOf(folder);
  if (open == nullptr) return;
  CloseHandle(open->handle);
  delete open;
}

bool OsFlushOpenFolder(OsFolder folder) {
  if (OsFaultCheck(OsOp::FlushFolder) != OsFault::None) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  Folder* open = FolderOf(folder);
  if (!Usable(open)) return false;
  if (FlushFileBuffers(open->handle) == FALSE) return false;
  OsTracePath(OsOp::FlushFolder, open->path.c_str());
  return true;
}

OsFile OsOpenReadIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::OpenRead) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  Folder* open = FolderOf(folder);
  UNICODE_STRING ntName;
  if (!Usable(open) || !TakeName(name, &ntName)) return kOsInvalidFile;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!OpenEntry(open->handle, ntName, GENERIC_READ, FILE_SHARE_READ, &handle,
                 kFileNonDirectoryFile | kFileSequentialOnly)) {
    return kOsInvalidFile;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information) == FALSE ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      GetFileType(handle) != FILE_TYPE_DISK || !IsEntryItself(*open, ntName, handle, information)) {
    CloseHandle(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  return reinterpret_cast<OsFile>(handle);
}

OsFile OsCreateNewIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::CreateNew) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return kOsInvalidFile;
  }
  Folder* open = FolderOf(folder);
  UNICODE_STRING ntName;
  if (!Usable(open) || !TakeName(name, &ntName)) return kOsInvalidFile;
  // FILE_CREATE fails on anything at the name, a dangling link included.
  // The size is read through the handle too, hence FILE_READ_ATTRIBUTES.
  HANDLE handle = INVALID_HANDLE_VALUE;
  NTSTATUS status = OpenIn(open->handle, ntName, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                           kFileNonDirectoryFile | kFileSequentialOnly, &handle, FILE_ATTRIBUTE_ARCHIVE);
  if (status != kStatusSuccess) {
    // CREATE_NEW reports an existing name so; the NT status maps to 183.
    if (status == kStatusObjectNameCollision) {
      SetLastError(ERROR_FILE_EXISTS);
    } else {
      SetStatusError(status);
    }
    return kOsInvalidFile;
  }
  OsFile file = reinterpret_cast<OsFile>(handle);
  OsTraceOpen(OsOp::CreateNew, TracePath(*open, name).c_str(), file, true);
  return file;
}

uint32_t OsGetFileAttributesIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return OS_INVALID_FILE_ATTRIBUTES;
  }
  Folder* open = FolderOf(folder);
  UNICODE_STRING ntName;
  if (!Usable(open) || !TakeName(name, &ntName)) return OS_INVALID_FILE_ATTRIBUTES;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!OpenEntry(open->handle, ntName, FILE_READ_ATTRIBUTES, kShareAll, &handle)) return OS_INVALID_FILE_ATTRIBUTES;
  BY_HANDLE_FILE_INFORMATION information;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (GetFileInformationByHandle(handle, &information) != FALSE) {
    attributes = OwnAttributes(*open, ntName, handle, information);
  }
  CloseHandle(handle);
  return attributes;
}

bool OsSetFileAttributesIn(OsFolder folder, const char16_t* name, uint32_t attributes) {
  if (OsFaultCheck(OsOp::SetAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  Folder* open = FolderOf(folder);
  UNICODE_STRING ntName;
  if (!Usable(open) || !TakeName(name, &ntName)) return false;
  HANDLE handle = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION information;
  if (!OpenForAttributes(*open, ntName, &handle, &information)) return false;
  bool ok = SetAttributes(handle, attributes);
  CloseHandle(handle);
  if (!ok) return false;
  OsTracePath(OsOp::SetAttributes, TracePath(*open, name).c_str(), nullptr, attributes);
  return true;
}

bool OsMoveFileIn(OsFolder fromFolder, const char16_t* from, OsFolder toFolder, const char16_t* to,
                  bool replaceExisting) {
  // An injected failure is the device's (not retried); Busy and Denied are
  // another program holding the file for a moment.
  OsFault fault = OsFaultCheck(OsOp::Move);
  if (fault != OsFault::None) {
    SetLastError(OsFaultMoveError(fault));
    return false;
  }
  Folder* source = FolderOf(fromFolder);
  Folder* destination = FolderOf(toFolder);
  UNICODE_STRING fromName;
  UNICODE_STRING toName;
  if (!Usable(source) || !Usable(destination) || !TakeName(from, &fromName) || !TakeName(to, &toName)) return false;
  // Wine running as root renames over a read-only file (IsReadOnlyFile).
  if (replaceExisting) {
    HANDLE existing = INVALID_HANDLE_VALUE;
    if (OpenIn(destination->handle, toName, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &existing) ==
        kStatusSuccess) {
      BY_HANDLE_FILE_INFORMATION information;
      bool readOnly = GetFileInformationByHandle(existing, &information) != FALSE &&
                      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                      (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
      CloseHandle(existing);
      if (readOnly) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
      }
    }
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!OpenEntry(source->handle, fromName, DELETE, kShareAll, &handle)) return false;
  if (!ActsOnEntry(*source, fromName, handle, destination)) {
    CloseHandle(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  alignas(8) unsigned char buffer[offsetof(FILE_RENAME_INFORMATION, FileName) + (kMaxName + 1) * sizeof(wchar_t)] = {};
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer);
  rename->ReplaceIfExists = replaceExisting ? TRUE : FALSE;
  rename->RootDirectory = destination->handle;
  rename->FileNameLength = toName.Length;
  std::memcpy(rename->FileName, toName.Buffer, toName.Length);
  IO_STATUS_BLOCK io;
  NTSTATUS status = NtSetInformationFile(handle, &io, rename, sizeof buffer, FileRenameInformation);
  CloseHandle(handle);
  if (status != kStatusSuccess) {
    SetStatusError(status);
    return false;
  }
  OsTracePath(OsOp::Move, TracePath(*source, from).c_str(), TracePath(*destination, to).c_str());
  return true;
}

bool OsLinkFileIn(OsFolder folder, const char16_t* existing, OsFolder newFolder, const char16_t* newName) {
  if (OsFaultCheck(OsOp::Link) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  Folder* source = FolderOf(folder);
  Folder* destination = FolderOf(newFolder);
  UNICODE_STRING existingName;
  UNICODE_STRING linkName;
  if (!Usable(source) || !Usable(destination) || !TakeName(existing, &existingName) || !TakeName(newName, &linkName)) {
    return false;
  }
  // The access CreateHardLinkW asks for.
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!OpenEntry(source->handle, existingName, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, &handle)) {
    return false;
  }
  if (!ActsOnEntry(*source, existingName, handle, destination)) {
    CloseHandle(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  alignas(8) unsigned char buffer[offsetof(FILE_LINK_INFORMATION, FileName) + (kMaxName + 1) * sizeof(wchar_t)] = {};
  auto* link = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer);
  link->ReplaceIfExists = FALSE;
  link->RootDirectory = destination->handle;
  link->FileNameLength = linkName.Length;
  std::memcpy(link->FileName, linkName.Buffer, linkName.Length);
  IO_STATUS_BLOCK io;
  NTSTATUS status = NtSetInformationFile(handle, &io, link, sizeof buffer, FileLinkInformation);
  CloseHandle(handle);
  if (status != kStatusSuccess) {
    SetStatusError(status);
    return false;
  }
  OsTracePath(OsOp::Link, TracePath(*source, existing).c_str(), TracePath(*destination, newName).c_str());
  return true;
}

bool OsDeleteFileIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::Delete) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  Folder* open = FolderOf(folder);
  UNICODE_STRING ntName;
  if (!Usable(open) || !TakeName(name, &ntName)) return false;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!OpenEntry(open->handle, ntName, DELETE | FILE_READ_ATTRIBUTES, kShareAll, &handle)) return false;
  // Refused as DeleteFileW refuses them: a read-only file, and a folder
  // without the reparse attribute (a real folder on Windows; under Wine
  // possibly the target of a host link, which must stay).
  BY_HANDLE_FILE_INFORMATION information;
  bool refused = GetFileInformationByHandle(handle, &information) == FALSE;
  if (!refused) {
    DWORD attributes = information.dwFileAttributes;
    refused = ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
               (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) ||
              !ActsOnEntry(*open, ntName, handle);
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  bool ok = !refused && SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
  DWORD error = GetLastError();
  CloseHandle(handle);
  if (!ok) {
    SetLastError(refused ? ERROR_ACCESS_DENIED : error);
    return false;
  }
  OsTracePath(OsOp::Delete, TracePath(*open, name).c_str());
  return true;
}

bool OsFileInUseIn(OsFolder folder, const char16_t* name) {
  if (OsFaultCheck(OsOp::GetAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  Folder* open = FolderOf(folder);
  UNICODE_STRING ntName;
  if (!Usable(open) || !TakeName(name, &ntName)) return false;
  // Asks for what a rename over the file needs: delete access, sharing
  // everything with whoever has it open.
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!OpenEntry(open->handle, ntName, DELETE, kShareAll, &handle)) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(handle);
  return false;
}

bool OsCopyFileAttributesIn(OsFolder folder, const char16_t* from, const char16_t* to) {
  if (OsFaultCheck(OsOp::CopyAttributes) != OsFault::None) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  Folder* open = FolderOf(folder);
  UNICODE_STRING fromName;
  UNICODE_STRING toName;
  if (!Usable(open) || !TakeName(from, &fromName) || !TakeName(to, &toName)) return false;
  HANDLE source = INVALID_HANDLE_VALUE;
  if (!OpenEntry(open->handle, fromName, FILE_READ_ATTRIBUTES, kShareAll, &source)) return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool read = GetFileInformationByHandle(source, &information) != FALSE;
  DWORD attributes = read ? OwnAttributes(*open, fromName, source, information) : 0;
  CloseHandle(source);
  if (!read) return false;
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  HANDLE target = INVALID_HANDLE_VALUE;
  if (!OpenForAttributes(*open, toName, &target, &information)) return false;
  bool ok = SetAttributes(target, attributes & kept);
  CloseHandle(target);
  if (!ok) return false;
  OsTracePath(OsOp::CopyAttributes, TracePath(*open, from).c_str(), TracePath(*open, to).c_str());
  return true;
}

void OsDropCachedContentsIn(OsFolder, const char16_t*) {}
