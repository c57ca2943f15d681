// Applies the payload of a patch file to an install folder with the
// platform's progress interface, and prints the run's result; or carries on
// an interrupted update of the folder, as a start of the program does first:
//   apply_patch <patch file> <install folder>
//   apply_patch --recover <install folder>
// For measuring and trying the update run without the start-up sequence.
// Exit status: 0 for UPDATE_OK, 1 for any other result, 2 usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "update/recovery.h"
#include "update/update_run.h"
#include "platform/ui.h"
#include "text/text_codec.h"

int main(int argc, char** argv) {
  bool recover = argc == 3 && std::strcmp(argv[1], "--recover") == 0;
  if (argc != 3) {
    std::fprintf(stderr, "usage: apply_patch <patch file> <install folder>\n"
                         "       apply_patch --recover <install folder>\n");
    return 2;
  }
  std::unique_ptr<char16_t[]> patch = NarrowToWide(argv[1]);
  std::unique_ptr<char16_t[]> folder = NarrowToWide(argv[2]);
  if (!patch || !folder) {
    std::fprintf(stderr, "apply_patch: cannot convert the arguments\n");
    return 2;
  }
  UpdateResult result;
  if (recover) {
    Recovered what = Recovered::Nothing;
    result = RecoverInterruptedUpdate(folder.get(), &what);
    std::printf("%s\n", what == Recovered::Finished ? "finished" : what == Recovered::PutBack ? "put back" : "nothing");
  } else {
    std::unique_ptr<ProgressUi> ui = CreatePlatformProgressUi();
    result = RunUpdateFrom(patch.get(), folder.get(), *ui);
  }
  std::printf("result 0x%08X\n", result);
  return result == UPDATE_OK ? 0 : 1;
}
