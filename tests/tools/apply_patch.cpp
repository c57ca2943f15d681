// Applies the payload of a patch file to an install folder with the
// platform's progress interface, and prints the run's result:
//   apply_patch <patch file> <install folder>
// For measuring and trying the update run without the start-up sequence.
#include <cstdio>
#include <string>

#include "update/update_run.h"
#include "platform/ui.h"
#include "text/text_codec.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: apply_patch <patch file> <install folder>\n");
    return 2;
  }
  std::unique_ptr<char16_t[]> patch = NarrowToWide(argv[1]);
  std::unique_ptr<char16_t[]> folder = NarrowToWide(argv[2]);
  if (!patch || !folder) {
    std::fprintf(stderr, "apply_patch: cannot convert the arguments\n");
    return 2;
  }
  std::unique_ptr<ProgressUi> ui = CreatePlatformProgressUi();
  UpdateResult result = RunUpdateFrom(patch.get(), folder.get(), *ui);
  std::printf("result 0x%08X\n", result);
  return result == UPDATE_OK ? 0 : 1;
}
