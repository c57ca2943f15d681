// patchkit: the publisher's command-line toolkit. Every subcommand reads
// patches and hash lists through the same code as the patch program itself,
// so what patchkit accepts is what the program accepts.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/patchkit/cli.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
  const char* summary;
};

const Command kCommands[] = {
    {"build", RunBuild, "append a payload folder to the patch program"},
    {"list", RunList, "show a patch's layout and entries"},
    {"verify", RunVerify, "check a patch as the program would judge it"},
    {"extract", RunExtract, "write a patch's entries into a folder"},
    {"hash", RunHash, "print or check files' fingerprints"},
    {"hashlist", RunHashList, "show a hash list, or make one from a folder"},
    {"diff", RunDiff, "make a payload folder from an old and a new game folder"},
};

void PrintUsage(FILE* out) {
  std::fputs("usage: patchkit <command> [options] [arguments]\n\ncommands:\n", out);
  for (const Command& command : kCommands) std::fprintf(out, "  %-9s %s\n", command.name, command.summary);
  std::fputs("\n'patchkit <command> --help' describes each one.\n"
             "Exit status: 0 done, 1 failed (the reason on standard error), 2 usage.\n",
             out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return kExitOk;
  }
  for (const Command& command : kCommands) {
    if (name == command.name) return command.run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "patchkit: unknown command '%s'\n", name.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}
