// Code page conversion on POSIX, giving the results of Windows' own
// conversion (as measured under Wine 8) byte for byte.
//
// Code page 932 goes through glibc iconv ("CP932", Windows' mapping), one
// character at a time so that every place where iconv refuses can be given
// Windows' answer instead:
//  - decoding: the single bytes 80, A0, FD, FE, FF map to U+0080 and the
//    private-use U+F8F0-F8F3; a lead byte with a trail byte that has no
//    mapping (any byte but the terminator) becomes U+30FB for both bytes;
//    a lead byte before the terminator becomes U+30FB alone.
//  - encoding: Windows' best-fit table (Latin-1 letters to ASCII, a few
//    signs to full-width forms, U+3094), the five private single bytes, and
//    '?' for everything else it cannot represent, one per UTF-16 unit;
//    glibc's one-way JIS mappings of U+2014, U+2016, U+203E, U+2212 and
//    U+301C are not Windows' and give '?' too.
// UTF-8 is converted here directly; glibc stops at the first malformed
// sequence, while Windows substitutes U+FFFD by rules of its own (below).
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "platform/posix/posix_util.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kJapaneseDefault = 0x30FB;  // KATAKANA MIDDLE DOT

struct SingleByteExtra {
  uint8_t byte;
  char16_t unit;
};
constexpr SingleByteExtra kSingleByteExtras[] = {
    {0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}};

// Windows' best-fit mappings for code page 932: ranges of UTF-16 units that
// map to one byte sequence.
struct BestFit {
  char16_t first;
  char16_t last;
  uint16_t bytes;  // one byte, or lead * 256 + trail
};
constexpr BestFit kBestFit[] = {
    {0x00A1, 0x00A1, 0x21},   {0x00A6, 0x00A6, 0x7C},   {0x00A9, 0x00A9, 0x63},   {0x00AA, 0x00AA, 0x61},
    {0x00AB, 0x00AB, 0x81E1}, {0x00AD, 0x00AD, 0x2D},   {0x00AE, 0x00AE, 0x52},   {0x00AF, 0x00AF, 0x8150},
    {0x00B2, 0x00B2, 0x32},   {0x00B3, 0x00B3, 0x33},   {0x00B5, 0x00B5, 0x83CA}, {0x00B7, 0x00B7, 0x8145},
    {0x00B8, 0x00B8, 0x8143}, {0x00B9, 0x00B9, 0x31},   {0x00BA, 0x00BA, 0x6F},   {0x00BB, 0x00BB, 0x81E2},
    {0x00C0, 0x00C6, 0x41},   {0x00C7, 0x00C7, 0x43},   {0x00C8, 0x00CB, 0x45},   {0x00CC, 0x00CF, 0x49},
    {0x00D0, 0x00D0, 0x44},   {0x00D1, 0x00D1, 0x4E},   {0x00D2, 0x00D6, 0x4F},   {0x00D8, 0x00D8, 0x4F},
    {0x00D9, 0x00DC, 0x55},   {0x00DD, 0x00DD, 0x59},   {0x00DE, 0x00DE, 0x54},   {0x00DF, 0x00DF, 0x73},
    {0x00E0, 0x00E6, 0x61},   {0x00E7, 0x00E7, 0x63},   {0x00E8, 0x00EB, 0x65},   {0x00EC, 0x00EF, 0x69},
    {0x00F0, 0x00F0, 0x64},   {0x00F1, 0x00F1, 0x6E},   {0x00F2, 0x00F6, 0x6F},   {0x00F8, 0x00F8, 0x6F},
    {0x00F9, 0x00FC, 0x75},   {0x00FD, 0x00FD, 0x79},   {0x00FE, 0x00FE, 0x74},   {0x00FF, 0x00FF, 0x79},
    {0x3094, 0x3094, 0x8394},
};

// Units glibc maps but Windows does not.
constexpr char16_t kNotInWindows[] = {0x2014, 0x2016, 0x203E, 0x2212, 0x301C};

bool IsLeadByte(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// One iconv descriptor per direction, opened on first use and kept for the
// life of the process (the program converts on one thread).
iconv_t Converter(bool toWide) {
  static iconv_t decoder = iconv_open("UTF-16LE", "CP932");
  static iconv_t encoder = iconv_open("CP932", "UTF-16LE");
  return toWide ? decoder : encoder;
}

// Converts exactly the given bytes with iconv; false when iconv refuses any
// of them. The output is whatever iconv produced.
bool IconvWhole(bool toWide, const void* input, size_t inputSize, uint8_t* output, size_t outputCapacity,
                size_t* produced) {
  iconv_t cd = Converter(toWide);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(static_cast<const char*>(input));
  char* out = reinterpret_cast<char*>(output);
  size_t inLeft = inputSize;
  size_t outLeft = outputCapacity;
  if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return false;
  *produced = outputCapacity - outLeft;
  return true;
}

// Decodes one character of code page 932 text at text[0], which is not the
// terminator; appends its unit and returns the bytes it took.
size_t DecodeJapaneseChar(const uint8_t* text, std::u16string& out) {
  uint8_t b = text[0];
  for (const SingleByteExtra& extra : kSingleByteExtras) {
    if (extra.byte == b) {
      out += extra.unit;
      return 1;
    }
  }
  size_t length = IsLeadByte(b) ? 2 : 1;
  if (length == 2 && text[1] == 0) {
    out += kJapaneseDefault;
    return 1;
  }
  uint8_t units[8];
  size_t produced = 0;
  if (IconvWhole(true, text, length, units, sizeof units, &produced) && produced == 2) {
    out += static_cast<char16_t>(units[0] | units[1] << 8);
  } else {
    out += kJapaneseDefault;
  }
  return length;
}

void AppendJapaneseBytes(uint16_t bytes, std::string& out) {
  if (bytes > 0xFF) out += static_cast<char>(bytes >> 8);
  out += static_cast<char>(bytes & 0xFF);
}

void EncodeJapaneseUnit(char16_t unit, std::string& out) {
  if (std::find(std::begin(kNotInWindows), std::end(kNotInWindows), unit) != std::end(kNotInWindows)) {
    out += '?';
    return;
  }
  for (const SingleByteExtra& extra : kSingleByteExtras) {
    if (extra.unit == unit) {
      out += static_cast<char>(extra.byte);
      return;
    }
  }
  if (unit < 0xD800 || unit > 0xDFFF) {
    uint8_t input[2] = {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)};
    uint8_t bytes[8];
    size_t produced = 0;
    if (IconvWhole(false, input, 2, bytes, sizeof bytes, &produced) && produced >= 1 && produced <= 2) {
      out.append(reinterpret_cast<const char*>(bytes), produced);
      return;
    }
  }
  for (const BestFit& fit : kBestFit) {
    if (unit >= fit.first && unit <= fit.last) {
      AppendJapaneseBytes(fit.bytes, out);
      return;
    }
  }
  out += '?';
}

// Windows' UTF-8 decoding with substitution, over text including its
// terminator:
//  - bytes 80-C1 and F5-FF give one U+FFFD each;
//  - a sequence whose lead byte needs more bytes than the text has left
//    gives one U+FFFD for all that is left (the terminator is kept);
//  - otherwise the lead and the continuation bytes read so far give one
//    U+FFFD at the first byte that is not a continuation byte, or when the
//    second byte is out of range for the lead (E0: A0-BF, ED: 80-9F,
//    F0: 90-BF, F4: 80-8F; the out-of-range byte is taken with the lead).
void DecodeUtf8(const uint8_t* text, size_t size, std::u16string& out) {
  size_t p = 0;
  while (p < size) {
    uint8_t lead = text[p];
    if (lead < 0x80) {
      out += lead;
      ++p;
      continue;
    }
    size_t need = lead >= 0xC2 && lead <= 0xDF ? 1 : lead >= 0xE0 && lead <= 0xEF ? 2 : lead >= 0xF0 && lead <= 0xF4 ? 3 : 0;
    if (need == 0) {
      out += kReplacement;
      ++p;
      continue;
    }
    if (p + 1 + need > size) {
      out += kReplacement;
      out += u'\0';
      return;
    }
    uint32_t code = lead & (need == 1 ? 0x1Fu : need == 2 ? 0x0Fu : 0x07u);
    size_t q = p + 1;
    bool ok = true;
    for (size_t k = 0; k < need; ++k) {
      uint8_t next = text[q];
      if (next < 0x80 || next > 0xBF) {
        ok = false;
        break;
      }
      ++q;
      code = code << 6 | (next & 0x3Fu);
      if (k == 0 && need >= 2) {
        uint8_t low = 0x80, high = 0xBF;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
        if (next < low || next > high) {
          ok = false;
          break;
        }
      }
    }
    if (!ok) {
      out += kReplacement;
    } else if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    p = q;
  }
}

template <typename Char, typename String>
uint32_t Deliver(const String& result, Char* out, uint32_t capacity) {
  if (capacity == 0) return static_cast<uint32_t>(result.size());
  if (result.size() > capacity) {
    SetOsError(OS_ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(result.begin(), result.end(), out);
  return static_cast<uint32_t>(result.size());
}

}  // namespace

uint32_t OsMultiByteToWide(uint32_t codePage, const char* text, char16_t* out, uint32_t capacity) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text);
  std::u16string result;
  if (codePage == kCodePageUtf8) {
    DecodeUtf8(bytes, std::strlen(text) + 1, result);
  } else if (codePage == kCodePageJapanese) {
    for (size_t p = 0; bytes[p] != 0;) p += DecodeJapaneseChar(bytes + p, result);
    result += u'\0';
  } else {
    SetOsError(OS_ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Deliver(result, out, capacity);
}

uint32_t OsWideToMultiByte(uint32_t codePage, const char16_t* text, char* out, uint32_t capacity) {
  std::string result;
  if (codePage == kCodePageUtf8) {
    // Windows' UTF-8 encoding, like the terminal's: an unpaired surrogate
    // becomes U+FFFD.
    result = ToNativeText(text);
    result += '\0';
  } else if (codePage == kCodePageJapanese) {
    for (size_t i = 0; text[i] != 0; ++i) EncodeJapaneseUnit(text[i], result);
    result += '\0';
  } else {
    SetOsError(OS_ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Deliver(result, out, capacity);
}
