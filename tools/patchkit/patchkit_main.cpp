// patchkit: the publisher's command-line toolkit for building patches.
//
//   patchkit build [--short-layout] [--hash-list] --stub <patch.exe> --out <file> <payload folder>
//
// build  appends the files of the payload folder (its top level, in name
//        order, TLM.hvl first when present) as a payload container after the
//        stub, padded to 1 MiB. With --hash-list, a TLM.hvl listing every
//        other file with its fingerprint is generated first (and replaces
//        one in the folder). Names are stored as their bytes on disk.
// Exit status: 0 done, 1 failed (the reason on standard error), 2 usage.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "payload/content_hash.h"
#include "tools/patchkit/container_writer.h"
#include "tools/patchkit/hash_list_writer.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: patchkit build [--short-layout] [--hash-list] --stub <patch.exe> --out <file> <payload folder>\n"
    "       patchkit --help\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "patchkit: %s\n", message.c_str());
  return 1;
}

bool ReadWhole(const fs::path& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int Build(int argc, char** argv) {
  bool shortLayout = false;
  bool hashList = false;
  std::string stubPath, outPath, folder;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--short-layout") {
      shortLayout = true;
    } else if (arg == "--hash-list") {
      hashList = true;
    } else if (arg == "--stub" && i + 1 < argc) {
      stubPath = argv[++i];
    } else if (arg == "--out" && i + 1 < argc) {
      outPath = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && folder.empty()) {
      folder = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (stubPath.empty() || outPath.empty() || folder.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::vector<uint8_t> stub;
  if (!ReadWhole(stubPath, &stub)) return Fail("cannot read the stub " + stubPath);
  std::vector<fs::path> paths;
  std::error_code error;
  for (const auto& item : fs::directory_iterator(folder, error)) {
    if (item.is_regular_file() && item.path().filename() != "TLM.hvl") paths.push_back(item.path());
  }
  if (error) return Fail("cannot list " + folder + ": " + error.message());
  std::sort(paths.begin(), paths.end());

  std::vector<ContainerFile> files;
  std::vector<HashListRecord> records;
  for (const fs::path& path : paths) {
    ContainerFile file{path.filename().string(), {}};
    if (!ReadWhole(path, &file.data)) return Fail("cannot read " + path.string());
    ContentHash hash;
    UpdateContentHash(&hash, file.data.data(), static_cast<uint32_t>(file.data.size()));
    records.push_back({file.name, hash});
    files.push_back(std::move(file));
  }
  ContainerFile list{"TLM.hvl", {}};
  std::string message;
  if (hashList) {
    if (!BuildHashList(records, HashListLayout::Long, 0, &list.data, &message)) return Fail(message);
    files.insert(files.begin(), std::move(list));
  } else if (fs::exists(fs::path(folder) / "TLM.hvl")) {
    if (!ReadWhole(fs::path(folder) / "TLM.hvl", &list.data)) return Fail("cannot read TLM.hvl");
    files.insert(files.begin(), std::move(list));
  }

  std::vector<uint8_t> container, image;
  if (!BuildContainer(files, shortLayout ? ContainerLayout::Short : ContainerLayout::Long, &container, &message) ||
      !BuildPatchImage(stub, container, &image, &message) || !WriteWholeFile(outPath, image, &message)) {
    return Fail(message);
  }
  std::printf("patchkit: wrote %s: %zu entries, %zu bytes\n", outPath.c_str(), files.size(), image.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "build") == 0) return Build(argc, argv);
  std::fputs(kUsage, stderr);
  return 2;
}
