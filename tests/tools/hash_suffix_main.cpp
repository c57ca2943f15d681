// hash_suffix <file> <16 hex digits>: appends to the file the bytes (at most
// 128) that give it the fingerprint named by the digits, byte 0 first.
// Exit status 0 when done, 1 when the file cannot be read or written or the
// fingerprint cannot be reached (the file is then unchanged), 2 for a usage
// error.
#include <cstdio>
#include <string>

#include "tests/tools/hash_suffix.h"

int main(int argc, char** argv) {
  ContentHash target;
  if (argc != 3 || !ParseContentHash(argv[2], &target)) {
    std::fprintf(stderr, "usage: hash_suffix <file> <16 hex digits: the fingerprint, byte 0 first>\n");
    return 2;
  }
  size_t appended = 0;
  std::string error;
  if (!AppendHashSuffix(argv[1], target, &appended, &error)) {
    std::fprintf(stderr, "hash_suffix: %s\n", error.c_str());
    return 1;
  }
  std::printf("appended %lu bytes; fingerprint %s\n", static_cast<unsigned long>(appended),
              FormatContentHash(target).c_str());
  return 0;
}
