// patchkit hash: files' fingerprints, printed or checked like sha256sum.
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "tools/patchkit/cli.h"

namespace {

const char kUsage[] =
    "usage: patchkit hash [--quiet] FILE...\n"
    "       patchkit hash --check [--quiet] LIST...\n"
    "\n"
    "Prints each FILE's fingerprint (the one TLM.hvl records) as 16 hex\n"
    "digits, two spaces and the name, as sha256sum does. With --check, reads\n"
    "such lines from each LIST and says OK or FAILED for every file; exit 1\n"
    "when any file differs, is missing, or a line is not such a line.\n"
    "  -c, --check   check lists instead of printing\n"
    "  -q, --quiet   with --check, print only failures\n";

constexpr size_t kPiece = 1u << 20;

bool HashFile(const std::string& path, ContentHash* hash) {
  std::ifstream in(PathArg(path), std::ios::binary);
  if (!in) return false;
  std::unique_ptr<char[]> piece(new char[kPiece]);
  while (in) {
    in.read(piece.get(), kPiece);
    std::streamsize got = in.gcount();
    if (got > 0) UpdateContentHash(hash, piece.get(), static_cast<uint32_t>(got));
  }
  return !in.bad();
}

bool IsHexDigits(const std::string& text) {
  if (text.size() != 16) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

int Check(const std::vector<std::string>& lists, bool quiet) {
  int status = kExitOk;
  for (const std::string& list : lists) {
    std::ifstream in(PathArg(list), std::ios::binary);
    if (!in) {
      Fail("hash", list + ": cannot be read");
      status = kExitFailed;
      continue;
    }
    std::string text;
    unsigned number = 0;
    while (std::getline(in, text)) {
      ++number;
      if (!text.empty() && text.back() == '\r') text.pop_back();
      if (text.empty()) continue;
      // "<16 hex>  <name>" or "<16 hex> *<name>".
      if (text.size() < 19 || !IsHexDigits(text.substr(0, 16)) || text[16] != ' ' ||
          (text[17] != ' ' && text[17] != '*')) {
        Fail("hash", list + ":" + std::to_string(number) + ": not a fingerprint line");
        status = kExitFailed;
        continue;
      }
      std::string expected = text.substr(0, 16), name = text.substr(18);
      for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      ContentHash hash;
      if (!HashFile(name, &hash)) {
        std::printf("%s: FAILED (cannot be read)\n", name.c_str());
        status = kExitFailed;
      } else if (Hex(hash.bytes, sizeof hash.bytes) != expected) {
        std::printf("%s: FAILED\n", name.c_str());
        status = kExitFailed;
      } else if (!quiet) {
        std::printf("%s: OK\n", name.c_str());
      }
    }
  }
  return status;
}

}  // namespace

int RunHash(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!line.Parse(args, {{"check", 'c', false}, {"quiet", 'q', false}}, &error)) {
    return UsageError("hash", error, kUsage);
  }
  if (line.WantsHelp()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.Operands().empty()) return UsageError("hash", "needs at least one file", kUsage);
  if (line.Has("check")) return Check(line.Operands(), line.Has("quiet"));
  int status = kExitOk;
  for (const std::string& path : line.Operands()) {
    ContentHash hash;
    if (!HashFile(path, &hash)) {
      Fail("hash", path + ": cannot be read");
      status = kExitFailed;
      continue;
    }
    std::printf("%s  %s\n", Hex(hash.bytes, sizeof hash.bytes).c_str(), path.c_str());
  }
  return status;
}
