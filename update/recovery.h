// Recovery of an update that was interrupted during its commit (the process
// killed, the machine switched off): run at every start, before the
// installed version is checked.
#pragma once

#include "payload/update_result.h"

// Carries a journal left in installFolder by an interrupted run through to
// the end: when every file can be finished (its new contents are in place,
// or in its temporary file, verified by fingerprint), the commit is
// finished exactly as the run would have finished it (files installed, the
// installed hash list pruned, the uninstall list merged, backups, temporary
// files and the journal removed). Otherwise every original is put back
// from its backup and the folder is as it was before that run. A journal
// cut short by the crash, or one that names files the run could not have
// written, is removed: the commit it describes never began.
//
// UPDATE_OK when there was nothing to recover or the recovery completed;
// UPDATE_E_WRITE when it could not complete (a file locked, say): the
// journal then stays for the next start.
UpdateResult RecoverInterruptedUpdate(const char16_t* installFolder);
