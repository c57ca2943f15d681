// patchkit verify: judges a patch as the program would, through the same
// reader, hash list, entry planning and fingerprint.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "tools/patchkit/cli.h"
#include "tools/patchkit/patch_file.h"
#include "update/payload_plan.h"

namespace {

const char kUsage[] =
    "usage: patchkit verify [--json] [--quiet] PATCH\n"
    "\n"
    "Checks PATCH as the patch program would before it writes anything: the\n"
    "payload at 1 MiB, its TLM.hvl, every entry's name (the same checks as the\n"
    "program's), and every entry's bytes against its record. Also reports\n"
    "entries without a record (installed unverified), a program image that\n"
    "reaches into the payload at 1 MiB, and an Authenticode signature.\n"
    "Exit status 1 when the program would refuse the patch, naming the first\n"
    "bad entry; a damaged TLM.hvl counts as refused.\n"
    "  --json    the findings as one JSON object\n"
    "  --quiet   only the verdict (and problems on standard error)\n";

constexpr uint32_t kPiece = 1u << 20;

struct EntryVerdict {
  std::string name;
  uint32_t size = 0;
  std::string status;  // ok, unverified, hash-list, mismatch, short
  std::string detail;
};

}  // namespace

int RunVerify(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args, {{"json", 0, false}, {"quiet", 'q', false}}, &error)) {
    return UsageError("verify", error, kUsage);
  }
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.Operands().size() != 1) return UsageError("verify", "needs one patch", kUsage);
  const std::string& path = line.Operands()[0];
  bool json = line.Has("json"), quiet = line.Has("quiet");
  OpenedPatch patch;
  if (!OpenPatch(PathArg(path), &patch, &error)) return Fail("verify", error);

  std::vector<std::string> problems;  // each refuses the patch
  std::vector<std::string> notes;     // worth knowing, not refused
  std::vector<EntryVerdict> verdicts;
  if (!patch.image.isProgram) {
    problems.push_back("no program image at the start of the file");
  } else if (patch.image.imageEnd > kPayloadOffset) {
    problems.push_back("the program image is " + std::to_string(patch.image.imageEnd) +
                       " bytes and reaches into the payload at 1 MiB");
  }
  bool signedPatch = patch.image.signatureOffset != 0 && patch.image.signatureSize != 0;
  if (signedPatch) {
    notes.push_back("Authenticode signature: " + std::to_string(patch.image.signatureSize) + " bytes at offset " +
                    std::to_string(patch.image.signatureOffset));
    if (uint64_t{patch.image.signatureOffset} + patch.image.signatureSize > patch.fileSize) {
      problems.push_back("the signature directory reaches past the end of the file");
    }
  }

  if (patch.opened != UPDATE_OK) {
    problems.push_back(DescribeOpenResult(patch.opened));
  } else {
    PayloadContainer& container = patch.container;
    if (patch.hashListIndex < 0) {
      notes.push_back("no TLM.hvl in the payload: no entry is verified");
    } else if (patch.hashListDamaged) {
      problems.push_back("TLM.hvl (entry " + std::to_string(patch.hashListIndex) +
                         ") is damaged: the program could verify nothing against it");
    }
    std::vector<PlannedEntry> plans;
    uint32_t bad = 0;
    PlanProblem planned = PlanPayloadEntries(container, patch.hashes, &plans, &bad);
    if (planned != PlanProblem::None) {
      problems.push_back("entry " + std::to_string(bad) + " (" + NameAsText(container.Entry(bad).name) +
                         "): " + DescribePlanProblem(planned));
    }
    uint64_t total = 0;
    for (uint32_t i = 0; i < container.EntryCount(); ++i) total += container.Entry(i).size;
    Progress progress("verify", total, quiet || json);
    std::unique_ptr<uint8_t[]> piece(new uint8_t[kPiece]);
    for (uint32_t i = 0; i < container.EntryCount(); ++i) {
      PayloadEntry entry = container.Entry(i);
      const HashListEntry* record = FindHashListEntry(patch.hashes, entry.name);
      EntryVerdict verdict{NameAsText(entry.name), entry.size, "ok", ""};
      ContentHash computed;
      uint32_t done = 0;
      bool readable = container.PositionAt(i) == 1;
      while (readable && done < entry.size) {
        uint32_t length = std::min(kPiece, entry.size - done);
        if (container.ReadNext(piece.get(), length) != length) {
          readable = false;
          break;
        }
        UpdateContentHash(&computed, piece.get(), length);
        done += length;
        progress.Advance(length);
      }
      std::string fingerprint = Hex(computed.bytes, sizeof computed.bytes);
      if (!readable) {
        verdict.status = "short";
        verdict.detail = "its bytes run past the end of the file";
        problems.push_back("entry " + std::to_string(i) + " (" + verdict.name + "): " + verdict.detail);
      } else if (static_cast<int>(i) == patch.hashListIndex) {
        verdict.status = "hash-list";
        verdict.detail = std::to_string(patch.hashes.count) + " records";
      } else if (record == nullptr) {
        verdict.status = "unverified";
        verdict.detail = "no record in TLM.hvl; fingerprint " + fingerprint;
        notes.push_back("entry " + std::to_string(i) + " (" + verdict.name + ") has no record and is installed unverified");
      } else if (!(record->hash == computed)) {
        verdict.status = "mismatch";
        verdict.detail = "fingerprint " + fingerprint + ", TLM.hvl says " + Hex(record->hash.bytes, 8);
        problems.push_back("entry " + std::to_string(i) + " (" + verdict.name + "): " + verdict.detail);
      } else {
        verdict.detail = fingerprint;
      }
      verdicts.push_back(verdict);
    }
  }

  bool ok = problems.empty();
  if (json) {
    std::printf("{\"file\":%s,\"ok\":%s,\"signed\":%s,\"entries\":[", JsonString(path).c_str(), ok ? "true" : "false",
                signedPatch ? "true" : "false");
    for (size_t i = 0; i < verdicts.size(); ++i) {
      std::printf("%s{\"name\":%s,\"size\":%u,\"status\":\"%s\",\"detail\":%s}", i ? "," : "",
                  JsonString(verdicts[i].name).c_str(), verdicts[i].size, verdicts[i].status.c_str(),
                  JsonString(verdicts[i].detail).c_str());
    }
    std::printf("],\"problems\":[");
    for (size_t i = 0; i < problems.size(); ++i) std::printf("%s%s", i ? "," : "", JsonString(problems[i]).c_str());
    std::printf("],\"notes\":[");
    for (size_t i = 0; i < notes.size(); ++i) std::printf("%s%s", i ? "," : "", JsonString(notes[i]).c_str());
    std::printf("]}\n");
  } else {
    if (!quiet) {
      for (const EntryVerdict& verdict : verdicts) {
        std::printf("%-10s %s (%u bytes)%s%s\n", verdict.status.c_str(), verdict.name.c_str(), verdict.size,
                    verdict.detail.empty() ? "" : ": ", verdict.detail.c_str());
      }
      for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
      if (!signedPatch) std::printf("note: not signed\n");
    }
    for (const std::string& problem : problems) std::fprintf(stderr, "patchkit verify: %s: %s\n", path.c_str(), problem.c_str());
    std::printf("%s: %s\n", path.c_str(), ok ? "OK, the patch program accepts this payload" : "REFUSED");
  }
  return ok ? kExitOk : kExitFailed;
}
