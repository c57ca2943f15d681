// The program's top-level flow, called by the platform's entry point.
#pragma once

#include <cstdint>

#include "app/patch_texts.h"
#include "payload/update_result.h"

// Runs the patch and returns the process exit status. showCommand is how
// the dialog is shown (the entry point's show command on Win32).
int32_t PatchMain(int showCommand);

// Shows the box that says how an update run ended (none for a cancelled or
// closed run, or a result it does not know) and returns the exit status,
// the result itself.
int32_t ReportOutcome(UpdateResult result);
