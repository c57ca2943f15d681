// patchkit extract: writes a patch's entries into a folder, under the names
// the program would install them as, refusing what the program refuses.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "payload/file_dx.h"
#include "platform/filesystem.h"
#include "tools/patchkit/cli.h"
#include "tools/patchkit/patch_file.h"
#include "update/payload_plan.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: patchkit extract [--quiet] PATCH DIR\n"
    "\n"
    "Writes every entry of PATCH into DIR (created when missing) under the\n"
    "name the program would install it as (its TLM.hvl record's name, which\n"
    "may hold folders, else its stored name), checking each against its record\n"
    "on the way. Refuses, before writing anything, a payload whose names the\n"
    "program would refuse. Never writes through a link inside DIR and never\n"
    "replaces an existing file: such an entry fails the run.\n";

constexpr uint32_t kPiece = 1u << 20;

// Splits a relative name at '\' and '/'.
std::vector<std::u16string> Components(const std::u16string& name) {
  std::vector<std::u16string> parts(1);
  for (char16_t c : name) {
    if (c == u'\\' || c == u'/') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// Creates the folders of name below root, refusing links; the file's path.
bool PrepareFolders(const fs::path& root, const std::u16string& name, fs::path* file, std::string* error) {
  std::vector<std::u16string> parts = Components(name);
  fs::path at = root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    at /= fs::path(parts[i]);
    std::error_code code;
    fs::file_status status = fs::symlink_status(at, code);
    uint32_t attributes = OsGetFileAttributes(CorePath(at).c_str());
    bool reparse = attributes != OS_INVALID_FILE_ATTRIBUTES && (attributes & OS_FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (fs::is_symlink(status) || reparse) {
      *error = Shown(at) + " is a link; nothing is written through it";
      return false;
    }
    if (!fs::exists(status) && !fs::create_directory(at, code)) {
      *error = "cannot create " + Shown(at) + (code ? ": " + code.message() : "");
      return false;
    }
    if (!fs::is_directory(fs::symlink_status(at, code))) {
      *error = Shown(at) + " is not a folder";
      return false;
    }
  }
  *file = at / fs::path(parts.back());
  return true;
}

}  // namespace

int RunExtract(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args, {{"quiet", 'q', false}}, &error)) return UsageError("extract", error, kUsage);
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.Operands().size() != 2) return UsageError("extract", "needs a patch and a folder", kUsage);
  const std::string& path = line.Operands()[0];
  fs::path root = PathArg(line.Operands()[1]);
  bool quiet = line.Has("quiet");
  OpenedPatch patch;
  if (!OpenPatch(PathArg(path), &patch, &error)) return Fail("extract", error);
  if (patch.opened != UPDATE_OK) return Fail("extract", path + ": " + DescribeOpenResult(patch.opened));
  if (patch.hashListDamaged) return Fail("extract", path + ": TLM.hvl is damaged; nothing could be verified");
  PayloadContainer& container = patch.container;
  std::vector<PlannedEntry> plans;
  uint32_t bad = 0;
  PlanProblem planned = PlanPayloadEntries(container, patch.hashes, &plans, &bad);
  if (planned != PlanProblem::None) {
    return Fail("extract", path + ": entry " + std::to_string(bad) + " (" + NameAsText(container.Entry(bad).name) +
                               "): " + DescribePlanProblem(planned) + "; nothing written");
  }
  std::error_code code;
  if (!fs::is_directory(root, code) && !fs::create_directories(root, code)) {
    return Fail("extract", "cannot create " + Shown(root) + (code ? ": " + code.message() : ""));
  }

  uint64_t total = 0;
  for (const PlannedEntry& plan : plans) total += plan.entry.size;
  Progress progress("extract", total, quiet);
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kPiece]);
  // Every folder first, so that a link anywhere stops the run before any
  // file is written.
  std::vector<fs::path> targets(plans.size());
  for (uint32_t i = 0; i < plans.size(); ++i) {
    if (!PrepareFolders(root, plans[i].name, &targets[i], &error)) return Fail("extract", error);
  }
  for (uint32_t i = 0; i < plans.size(); ++i) {
    const PlannedEntry& plan = plans[i];
    const fs::path& target = targets[i];
    std::u16string core = CorePath(target);
    CFileDX out;
    if (!out.CreateNew(core.c_str())) {
      bool taken = fs::exists(fs::symlink_status(target, code));
      return Fail("extract", Shown(target) + (taken ? ": already exists (or is a link); not replaced" : ": cannot be created"));
    }
    ContentHash computed;
    uint32_t done = 0;
    bool ok = container.PositionAt(i) == 1;
    while (ok && done < plan.entry.size) {
      uint32_t length = std::min(kPiece, plan.entry.size - done);
      ok = container.ReadNext(piece.get(), length) == length && out.Write(piece.get(), length) == length;
      UpdateContentHash(&computed, piece.get(), length);
      done += length;
      progress.Advance(length);
    }
    ok = out.Close() == 1 && ok;
    std::string name = NameAsText(plan.entry.name);
    if (!ok) {
      OsDeleteFile(core.c_str());
      return Fail("extract", path + ": entry " + std::to_string(i) + " (" + name + ") cannot be read or written whole");
    }
    if (plan.record != nullptr && !(plan.record->hash == computed)) {
      OsDeleteFile(core.c_str());
      return Fail("extract", path + ": entry " + std::to_string(i) + " (" + name +
                                 ") does not match its record in TLM.hvl; not written");
    }
    if (!quiet) std::printf("%s\n", Shown(target).c_str());
  }
  return kExitOk;
}
