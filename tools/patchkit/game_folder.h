// Game folders as the toolkit reads them: every plain file below a folder
// with its name relative to it, spelled as the hash list and the patch
// program spell it, and the files' bytes read in pieces (fingerprinted,
// compared or copied) so that memory stays flat whatever their size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "tools/patchkit/cli.h"
#include "tools/patchkit/hash_list_writer.h"

// The size of the pieces files are read and written in.
inline constexpr size_t kFilePiece = size_t{1} << 20;

// The name of the file that records the version (data01110.arc), narrow.
std::string VersionArchiveName();

// A plain file found below a folder.
struct FolderFile {
  std::filesystem::path path;  // as the walk reached it
  // Relative to the folder, '\' between components. The bytes of the names
  // on disk: UTF-8, or whatever a POSIX file system holds; both are what
  // the hash list may store.
  std::string name;
  uint64_t size = 0;
  // A component holds a '\' itself (possible on POSIX file systems only):
  // Windows would read it as a folder separator.
  bool backslashInComponent = false;
};

// Something the walk passed over: links (never followed, to files or to
// folders) and anything that is neither a plain file nor a folder.
struct FolderSkip {
  std::filesystem::path path;
  std::string name;
  std::string what;
};

struct FolderTree {
  std::vector<FolderFile> files;     // in byte order of their names
  std::vector<std::string> folders;  // the real sub-folders, named like the files
  std::vector<FolderSkip> skipped;
};

// Walks root (which may itself be a link to a folder) and every real folder
// below it. False with *error naming the folder when root is no folder or a
// folder cannot be listed.
bool WalkFolder(const std::filesystem::path& root, FolderTree* tree, std::string* error);

// Drops the top-level TLM.hvl (in any case): the hash list never lists itself.
void DropTopLevelHashList(FolderTree* tree);

// Drops the file that is target (the output of a command written into the
// folder it reads), when there is one.
void DropFile(FolderTree* tree, const std::filesystem::path& target);

// Prints "patchkit <command>: warning: <path>: <what>, skipped" for each
// skipped thing.
void WarnSkipped(const char* command, const FolderTree& tree);

// The normal form of a relative name (UTF-8, ASCII letters lowered, '\'):
// equal for two names that denote one file on Windows.
std::string NormalName(const std::string& name);

// The last component of a relative name, and the folders before it ("" for
// a name at the top).
std::string FinalComponent(const std::string& name);
std::string FolderPart(const std::string& name);

// Why the patch program could not take name as a hash-list record of the
// layout, or as a file it writes; empty when it can. Checks the field size
// (as stored, and as the program reads it back: in UTF-8), the conversion to
// text and IsSafeRelativeName, the program's own test.
std::string RecordNameProblem(const FolderFile& file, HashListLayout layout);

// The fingerprint as 16 upper-case hex digits, byte 0 first.
std::string FingerprintText(const ContentHash& hash);

// Reads a file in pieces. Each piece goes to the fingerprint and, when out
// is given, to out. Fails, naming the file, when it cannot be read or its
// size is no longer expectedSize. progress (may be null) advances per piece.
bool StreamFile(const std::filesystem::path& path, uint64_t expectedSize, ContentHash* hash, std::ostream* out,
                Progress* progress, std::string* error);

// Reads newer and older (both expectedSize bytes) side by side: the
// fingerprint of newer, and whether the two hold the same bytes.
bool CompareFiles(const std::filesystem::path& newer, const std::filesystem::path& older, uint64_t expectedSize,
                  ContentHash* hash, bool* same, Progress* progress, std::string* error);

// The fingerprint of every file of the tree, in pieces.
bool FingerprintFiles(const std::vector<FolderFile>& files, std::vector<ContentHash>* hashes, bool quiet,
                      std::string* error);
