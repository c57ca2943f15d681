// patchkit: the publisher's command-line toolkit. Every subcommand reads
// patches and hash lists through the same code as the patch program itself,
// so what patchkit accepts is what the program accepts.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "text/text_codec.h"
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

// args: the words after the program's name, in UTF-8 on Windows (see
// wmain) and as given on POSIX.
int Run(const std::vector<std::string>& args) {
  if (args.empty()) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string& name = args[0];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return kExitOk;
  }
  for (const Command& command : kCommands) {
    if (name == command.name) return command.run(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  std::fprintf(stderr, "patchkit: unknown command '%s'\n", name.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}

}  // namespace

#ifdef _WIN32
// The narrow arguments of main are in the ANSI code page, which cannot spell
// every name, and which the narrow paths of the standard library do not
// read as such: the arguments are taken as UTF-16 and passed on in UTF-8,
// the encoding of every name patchkit prints (PathArg reads them back).
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::unique_ptr<char[]> text = WideToNarrow(reinterpret_cast<const char16_t*>(argv[i]), TARGET_UTF8);
    if (!text) {
      std::fprintf(stderr, "patchkit: argument %d cannot be read as text\n", i);
      return kExitUsage;
    }
    args.emplace_back(text.get());
  }
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
