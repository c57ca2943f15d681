// The program's top-level flow, called by the platform's entry point.
#pragma once

// Runs the patch and returns the process exit status.
int PatchMain();
