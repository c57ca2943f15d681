// The POSIX entry point of the native build of the patch.
#include "app/patch_main.h"

int main() { return PatchMain(0); }
