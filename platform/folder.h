// Folders opened once, and the file calls that act on one name in them.
//
// The patch runs elevated, and the game folder and everything below it can
// often be written by every user, who may swap a sub-folder for a link at
// any moment (on Windows an opportunistic lock even times the swap to the
// call). A call given a path resolves it again, through whatever is there
// by then. So the run opens the install folder once, and each sub-folder on
// an entry's path relative to its parent, refusing a link there; every later
// call names one entry of an open folder and acts on that entry itself,
// never on what a link there leads to. Whatever is swapped in afterwards, a
// call reaches only the folders opened at first.
//
// The calls keep the rules of platform/files.h and platform/filesystem.h
// (sharing, the read-only attribute, Windows' error codes, names compared
// without case) and count and trace as their path counterparts do (the
// trace gives the folder's path joined with the name). A name is one
// component: no separator, not "." or "..". A call given kOsInvalidFolder
// (a folder that is not there) finds nothing in it: it fails with
// OS_ERROR_PATH_NOT_FOUND.
//
// Win32: the install folder is opened with CreateFileW as an NT path
// ("\\?\C:\..."), so its length is bounded by the registry value, not by
// MAX_PATH; everything else is NtCreateFile with the folder as the root
// directory and FILE_OPEN_REPARSE_POINT, and renames, links, deletions and
// attribute changes are set on a handle (NtSetInformationFile,
// SetFileInformationByHandle). POSIX: openat, renameat, linkat, unlinkat,
// fstatat and fchmod on a descriptor opened with O_NOFOLLOW.
#pragma once

#include <cstdint>

#include "platform/files.h"

// An open folder; kOsInvalidFolder when nothing is open.
using OsFolder = std::uintptr_t;
inline constexpr OsFolder kOsInvalidFolder = 0;

// Opens the folder at path. A link or junction at path itself is followed:
// the install folder may be one (a game moved to another drive). Below it,
// nothing is. kOsInvalidFolder on failure.
OsFolder OsOpenFolder(const char16_t* path);

// Opens the sub-folder name of parent. A symbolic link, junction or other
// reparse point at name is refused (OS_ERROR_ACCESS_DENIED), as is a file
// (OS_ERROR_DIRECTORY); a missing one is OS_ERROR_FILE_NOT_FOUND.
// kOsInvalidFolder on failure.
OsFolder OsOpenSubFolder(OsFolder parent, const char16_t* name);

// Closes the folder (kOsInvalidFolder is ignored).
void OsCloseFolder(OsFolder folder);

// Owns an open folder and closes it when it goes, on every path.
class OsFolderOwner {
 public:
  explicit OsFolderOwner(OsFolder folder) : m_folder(folder) {}
  ~OsFolderOwner() { OsCloseFolder(m_folder); }
  OsFolderOwner(const OsFolderOwner&) = delete;
  OsFolderOwner& operator=(const OsFolderOwner&) = delete;
  OsFolder Get() const { return m_folder; }

 private:
  OsFolder m_folder;
};

// Makes the folder's entries durable: renames, creations and deletions in
// it survive a power cut once this returns (fsync; FlushFileBuffers on the
// folder's handle).
bool OsFlushOpenFolder(OsFolder folder);

// As OsOpenReadNoFollow: a plain file only, never through a link.
OsFile OsOpenReadIn(OsFolder folder, const char16_t* name);

// As OsCreateNew: fails on anything at the name, a link included.
OsFile OsCreateNewIn(OsFolder folder, const char16_t* name);

// As OsGetFileAttributes: a link reports its own attributes.
uint32_t OsGetFileAttributesIn(OsFolder folder, const char16_t* name);

// As OsSetFileAttributes: a link's own attributes, never its target's.
bool OsSetFileAttributesIn(OsFolder folder, const char16_t* name, uint32_t attributes);

// As OsMoveFile, from one open folder to another (or the same).
bool OsMoveFileIn(OsFolder fromFolder, const char16_t* from, OsFolder toFolder, const char16_t* to,
                  bool replaceExisting);

// As OsMoveFileWhenFree (platform/filesystem.h), from one open folder to another.
bool OsMoveFileWhenFreeIn(OsFolder fromFolder, const char16_t* from, OsFolder toFolder, const char16_t* to,
                          bool replaceExisting);

// As OsLinkFile: a second name newName in newFolder for the entry existing
// of folder (a link there gets a second name itself).
bool OsLinkFileIn(OsFolder folder, const char16_t* existing, OsFolder newFolder, const char16_t* newName);

// As OsDeleteFile: a link is removed itself; a real folder is refused.
bool OsDeleteFileIn(OsFolder folder, const char16_t* name);

// As OsFileInUse.
bool OsFileInUseIn(OsFolder folder, const char16_t* name);

// As OsCopyFileAttributes, between two entries of one folder.
bool OsCopyFileAttributesIn(OsFolder folder, const char16_t* from, const char16_t* to);

// As OsDropCachedContents.
void OsDropCachedContentsIn(OsFolder folder, const char16_t* name);
