// Writes the code page 932 reference table (see tests/support/cp932_table.h)
// from the platform layer's conversion. Run the Win32 build under Wine to
// record Windows' own results:
//   cmake/wine-run build/win32/wineprefix build/win32/tests/cp932_table.exe tests/data/cp932-windows.bin
// (Wine takes the relative output path from the current folder.)
#include <cstdio>
#include <fstream>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/cp932_table.h"

namespace {

void PutU16(std::vector<char>& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: cp932_table <output file>\n");
    return 2;
  }
  std::vector<char> out(kCp932TableMagic, kCp932TableMagic + sizeof kCp932TableMagic);
  for (uint16_t code : Cp932DoubleByteCodes()) {
    char text[3] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF), 0};
    char16_t units[8] = {};
    uint32_t count = OsMultiByteToWide(kCodePageJapanese, text, units, 8);
    if (count != 2) {
      std::fprintf(stderr, "cp932_table: %04X decodes to %u units; the table holds one\n", code, count);
      return 1;
    }
    PutU16(out, units[0]);
  }
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    char16_t text[2] = {static_cast<char16_t>(unit), 0};
    char bytes[8] = {};
    uint32_t count = unit == 0 ? 1 : OsWideToMultiByte(kCodePageJapanese, text, bytes, 8);
    uint16_t packed = count == 0 ? 0xFFFF : PackCp932Bytes(bytes, count - 1);
    if (unit != 0 && (packed == 0xFFFF || packed == 0)) {
      std::fprintf(stderr, "cp932_table: U+%04X encodes to %u bytes\n", unit, count);
      return 1;
    }
    PutU16(out, unit == 0 ? 0 : packed);
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "cp932_table: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("cp932_table: wrote %zu bytes to %s\n", out.size(), argv[1]);
  return 0;
}
