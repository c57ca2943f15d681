// Recovery of an update that was interrupted during its commit (the process
// killed, the machine switched off, a file held by another program): run at
// every start, before the installed version is checked.
#pragma once

#include "payload/update_result.h"
#include "platform/folder.h"

// What the recovery did.
enum class Recovered {
  Nothing,   // no journal for this folder (or one that cannot be trusted, left alone)
  PutBack,   // the update could not be finished: every original is back
  Finished,  // the interrupted update is complete now (or its records still fail)
};

// Carries the journal of installFolder (journal.h) through to the end.
// While some file may still be old, the commit is finished when every file
// can be (its new contents in place, or in its temporary file, verified by
// fingerprint); otherwise every original is put back from its backup and
// the folder is as it was before that run. Once every file is new, the
// records are brought up to date and the backups, temporary files and the
// journal removed, exactly as an uninterrupted run leaves the folder. Every
// step is repeated safely: a recovery stopped anywhere is carried on by the
// next. A journal that cannot be trusted is never acted on; one that is
// damaged, or names files the run could not have written, is removed.
//
// The result is what to tell the user, *what what happened:
//  - UPDATE_OK: nothing to do, the originals put back (the start goes on as
//    a fresh one), or the update finished (Recovered::Finished);
//  - UPDATE_E_UNINSTALL_LIST (Finished): every file is new but the
//    uninstall list could not be merged; when the list is there the
//    journal stays and the next start tries again;
//  - UPDATE_E_WRITE: the recovery could not complete (a file held open, a
//    folder on a file's path that is no longer a real folder); the journal
//    stays for the next start.
UpdateResult RecoverInterruptedUpdate(const char16_t* installFolder, Recovered* what = nullptr);

// The same in the install folder the caller has open (platform/folder.h);
// installFolder is its path, which names its journal.
UpdateResult RecoverInterruptedUpdateIn(OsFolder root, const char16_t* installFolder, Recovered* what = nullptr);
