#include "app/patch_main.h"

// The start-up sequence (mutexes, install-folder lookup, version check,
// confirmation, dialog and update run) is not built yet; until it is, the
// program ends at once with status 0.
int PatchMain() { return 0; }
