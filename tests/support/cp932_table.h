// The code page 932 reference table: what Windows' own conversion gives for
// every double-byte code and every BMP unit. tests/tools/cp932_table writes
// it (under Wine, from the Win32 layer); the cross-check test compares the
// build's layer with it.
//
// File layout, little-endian u16 values after an 8-byte magic "CP932TB1":
//   decode  for lead 81-9F and E0-FC, trail 40-FC (in that order): the one
//           UTF-16 unit that the two bytes decode to
//   encode  for every unit 0000-FFFF: its bytes, a single byte as its value
//           and a double byte as lead * 256 + trail (unit 0000 holds 0)
#pragma once

#include <cstdint>
#include <vector>

inline constexpr char kCp932TableMagic[8] = {'C', 'P', '9', '3', '2', 'T', 'B', '1'};

// The double-byte codes of the table, in table order.
inline std::vector<uint16_t> Cp932DoubleByteCodes() {
  std::vector<uint16_t> codes;
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (lead > 0x9F && lead < 0xE0) continue;
    for (int trail = 0x40; trail <= 0xFC; ++trail) codes.push_back(static_cast<uint16_t>(lead << 8 | trail));
  }
  return codes;
}

// Packs a conversion's bytes (without the terminator) as the table stores
// them; 0xFFFF when there are more than two.
inline uint16_t PackCp932Bytes(const char* bytes, uint32_t count) {
  if (count == 1) return static_cast<uint8_t>(bytes[0]);
  if (count == 2) return static_cast<uint16_t>(static_cast<uint8_t>(bytes[0]) << 8 | static_cast<uint8_t>(bytes[1]));
  return 0xFFFF;
}
