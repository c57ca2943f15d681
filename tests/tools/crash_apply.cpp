// Runs the update from a patch file into a folder and dies, as a killed
// process would, at the entry of its nth platform operation:
//   crash_apply <n> <patch file> <install folder>
// Exit status: 86 when it died there, 0 when the run ended first (whatever
// its result), 2 usage. For the crash-state tests.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/fault.h"
#include "tests/support/scripted_ui.h"
#include "text/text_codec.h"
#include "update/update_run.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: crash_apply <n> <patch file> <install folder>\n");
    return 2;
  }
  std::unique_ptr<char16_t[]> patch = NarrowToWide(argv[2]);
  std::unique_ptr<char16_t[]> folder = NarrowToWide(argv[3]);
  if (!patch || !folder) return 2;
  ScriptedProgressUi ui;
  OsFaultReset();
  OsFaultDieAt(static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)));
  RunUpdateFrom(patch.get(), folder.get(), ui);
  return 0;
}
