// The program's top-level flow, called by the platform's entry point.
#pragma once

#include <cstdint>

#include "app/patch_texts.h"

// Runs the patch and returns the process exit status. showCommand is how
// the dialog is shown (the entry point's show command on Win32).
int32_t PatchMain(int showCommand);
