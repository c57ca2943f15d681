// Runs the update from a patch file into a folder, or the recovery of an
// interrupted one, and dies, as a killed process would, at the entry of its
// nth platform operation:
//   crash_apply <n> <patch file> <install folder>
//   crash_apply --recover <n> <install folder>
// Exit status: 86 when it died there, 0 when the work ended first (whatever
// its result), 2 usage. For the crash-state tests.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/fault.h"
#include "tests/support/scripted_ui.h"
#include "text/text_codec.h"
#include "update/recovery.h"
#include "update/update_run.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--recover") {
    std::unique_ptr<char16_t[]> folder = NarrowToWide(argv[3]);
    if (!folder) return 2;
    OsFaultReset();
    OsFaultDieAt(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    RecoverInterruptedUpdate(folder.get());
    return 0;
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: crash_apply <n> <patch file> <install folder>\n"
                         "       crash_apply --recover <n> <install folder>\n");
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
