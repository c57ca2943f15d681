// The uninstall list: uninst.lst in the install folder, a plain-text list of
// the names (relative to the install folder) that the game's uninstaller
// removes, one per line.
//
// The file's lines may end in CR LF, LF or CR and may be in code page 932 or
// UTF-8, line by line. The update run adds the names of the files it
// installed and writes the list back in normal form: UTF-8, ASCII capitals
// lowered, each name followed by one LF, the lines that start with '$' last,
// and a single zero byte after the last line.
#pragma once

#include <string>
#include <vector>

#include "platform/folder.h"

inline constexpr char16_t kUninstallListFileName[] = u"uninst.lst";
// The sibling through which the list is rewritten (its name with ".new").
inline constexpr char16_t kUninstallListSiblingName[] = u"uninst.lst.new";

// Names in normal form, in the order first seen, each at most once.
using UninstallNames = std::vector<std::string>;

// Splits zero-terminated list text into its names. Per line: spaces and tabs
// in front are dropped (trailing ones are part of the name); the line ends at
// the first CR or LF that the character walk of the text from the line's
// start meets as a character of its own, so a CR or LF taken as the second
// byte of a double-byte character belongs to the line; empty lines name
// nothing; each line is put in normal form on its own, whatever the
// encoding of its neighbours. Names starting with '$' go to dollarList, all
// others to plainList; a name already in its list is not added again. Lines
// of any length are kept whole. Time grows linearly with the text and the
// lists (names are looked up by hash). False when a line cannot be
// converted or memory runs out; the lists are then in an unspecified state.
bool ParseUninstallList(const char* text, UninstallNames* plainList, UninstallNames* dollarList);

// Writes plainList then dollarList, one name and an LF each, then one zero
// byte, as the whole new content of the file at path. The content goes to a
// temporary sibling (path with ".new" appended) that replaces the file only
// once completely written and flushed, so any failure leaves the file as it
// was and no temporary file behind. True when the file holds the new content.
bool WriteUninstallList(const char16_t* path, const UninstallNames& plainList, const UninstallNames& dollarList);

// Makes sure every file the update run installed is named in the install
// folder's uninstall list, and rewrites the list in normal form: its own
// names first (file order), then the run's names that were not among its
// plain names (run order). names holds UTF-16 names relative to
// installFolder and ends with a null pointer.
//
// A missing, empty (0-byte) or unreadable list is left alone and never
// created. A zero byte in the file ends its text; a file of one zero byte is
// an empty list. True only when the list was rewritten completely; on false
// it is unchanged.
bool MergeUninstallList(const char16_t* installFolder, const char16_t* const* names);

// The same in the open install folder (platform/folder.h).
bool MergeUninstallListIn(OsFolder installFolder, const char16_t* const* names);
