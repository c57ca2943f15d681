// The update run: installs every file of the payload into the install
// folder, all of them or none.
//
// Every entry is extracted beside its destination as "<name>.tmp" while its
// ContentHash is computed, and checked against the payload's hash list. Only
// when every entry has been extracted and verified are the temporary files
// renamed over the installed ones; each installed file that gets replaced is
// kept as a backup until all renames have succeeded, so a failed rename puts
// every original back. After a complete commit the installed hash list is
// pruned and the installed names are merged into the uninstall list.
// Whatever happens, the run's temporary files are removed before it returns.
//
// The run talks to the user only through ui: status text, the two bars and
// the pump. It stops at fixed points once g_cancelRequested or
// g_windowClosed is raised, and raises g_windowClosed itself when the pump
// reports a quit request.
#pragma once

#include "payload/update_result.h"
#include "platform/folder.h"
#include "platform/ui.h"

// Runs the update from the running program's own file.
UpdateResult RunUpdate(const char16_t* installFolder, ProgressUi& ui);

// Runs the update from the payload of the patch file at patchPath.
UpdateResult RunUpdateFrom(const char16_t* patchPath, const char16_t* installFolder, ProgressUi& ui);

// The same in the install folder the caller has open (platform/folder.h):
// the start-up opens it once for the recovery, the version check and the
// run, so that nothing swapped in at its path meanwhile is reached.
// installFolder is its path, which names its journal.
UpdateResult RunUpdateIn(OsFolder root, const char16_t* installFolder, ProgressUi& ui);
UpdateResult RunUpdateFromIn(const char16_t* patchPath, OsFolder root, const char16_t* installFolder, ProgressUi& ui);
