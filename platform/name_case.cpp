#include "platform/name_case.h"

uint32_t OsFoldNameCase(uint32_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z' ? c - 0x20 : c;
  if (c < 0x100) {
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    return c == 0xFF ? 0x178 : c;
  }
  if (c < 0x180) {
    // Latin Extended-A: pairs of upper and lower case side by side.
    bool lowerOdd = (c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    bool lowerEven = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    return (lowerOdd && (c & 1) != 0) || (lowerEven && (c & 1) == 0) ? c - 1 : c;
  }
  if (c >= 0x3AC && c <= 0x3CE) {
    if (c == 0x3AC) return 0x386;
    if (c <= 0x3AF) return c - 0x25;
    if (c == 0x3C2) return c;  // final sigma stays apart from sigma, as Wine keeps it
    if (c >= 0x3B1 && c <= 0x3CB) return c - 0x20;
    if (c == 0x3CC) return 0x38C;
    if (c >= 0x3CD) return c - 0x3F;
    return c;
  }
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (c >= 0x2170 && c <= 0x217F) return c - 0x10;  // small Roman numerals
  if (c >= 0x24D0 && c <= 0x24E9) return c - 0x1A;  // circled small letters
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;  // fullwidth small letters
  return c;
}
