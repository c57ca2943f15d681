// Conversions between code page 932, UTF-8 and UTF-16. The same expected
// units and bytes hold for the Win32 layer (Windows' own conversion, run
// under Wine) and for the POSIX layer.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/codepage.h"
#include "tests/support/cp932_table.h"
#include "text/text_codec.h"

namespace {

std::u16string Decode(uint32_t codePage, const std::string& text) {
  uint32_t needed = OsMultiByteToWide(codePage, text.c_str(), nullptr, 0);
  std::u16string out(needed, u'#');
  uint32_t written = OsMultiByteToWide(codePage, text.c_str(), out.data(), needed);
  EXPECT_EQ(written, needed) << "the size query and the conversion agree";
  return out;
}

std::string Encode(uint32_t codePage, const std::u16string& text) {
  uint32_t needed = OsWideToMultiByte(codePage, text.c_str(), nullptr, 0);
  std::string out(needed, '#');
  uint32_t written = OsWideToMultiByte(codePage, text.c_str(), out.data(), needed);
  EXPECT_EQ(written, needed) << "the size query and the conversion agree";
  return out;
}

std::string Units(const std::u16string& text) {
  std::string out;
  char hex[8];
  for (char16_t unit : text) {
    std::snprintf(hex, sizeof hex, " %04X", static_cast<unsigned>(unit));
    out += hex;
  }
  return out;
}

std::string HexBytes(const std::string& text) {
  std::string out;
  char hex[4];
  for (char byte : text) {
    std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned>(static_cast<uint8_t>(byte)));
    out += hex;
  }
  return out;
}

struct DecodeCase {
  uint32_t codePage;
  const char* text;
  std::u16string expected;  // terminator included
  const char* why;
};

TEST(CodePageTest, DecodingSubstitutesLikeWindows) {
  const DecodeCase cases[] = {
      {932, "\x82\xA0", u"\u3042", "hiragana a"},
      {932, "\x95\x5C\\", u"\u8868\\", "0x5C as a trail byte, then a real backslash"},
      {932, "\x83\x5C", u"\u30BD", "katakana so, trail 0x5C"},
      {932, "\\~", u"\\~", "0x5C and 0x7E stay ASCII"},
      {932, "\xA1\xB1\xDF", u"\uFF61\uFF71\uFF9F", "half-width katakana"},
      {932, "\x87\x40\x87\x54", u"\u2460\u2160", "NEC special characters"},
      {932, "\xED\x40\xFA\x5C\xFA\x40", u"\u7E8A\u7E8A\u2170", "NEC-selected and IBM extensions"},
      {932, "\xF0\x40\xF9\xFC", u"\uE000\uE757", "user-defined area"},
      {932, "\x80\xA0\xFD\xFE\xFF", u"\u0080\uF8F0\uF8F1\uF8F2\uF8F3", "Windows' extra single bytes"},
      {932, "\xFF\x41", u"\uF8F3A", "0xFF is a single byte"},
      {932, "a\x82", u"a\u30FB", "lead byte before the terminator"},
      {932, "\x81\x7F", u"\u30FB", "trail 0x7F is never valid"},
      {932, "\x85\x40", u"\u30FB", "unassigned pair"},
      {932, "\x81\x20x", u"\u30FBx", "an invalid trail byte is taken with its lead (as Wine does)"},
      {65001, "\xE3\x81\x82", u"\u3042", "three-byte sequence"},
      {65001, "\xF0\x9F\x98\x80", u"\U0001F600", "four bytes to a surrogate pair"},
      {65001, "\xEF\xBB\xBF" "a", u"\uFEFFa", "a byte-order mark is kept"},
      {65001, "\x80\xBF", u"\uFFFD\uFFFD", "stray continuation bytes"},
      {65001, "\xC0\x80\xC1\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD", "C0 and C1 never lead"},
      {65001, "\xE0\x80\x80", u"\uFFFD\uFFFD", "overlong: the out-of-range second byte goes with the lead"},
      {65001, "\xED\xA0\xBD\xED\xB8\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", "encoded surrogates"},
      {65001, "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD", "beyond U+10FFFF"},
      {65001, "\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", "five-byte form"},
      {65001, "\xE3\x41", u"\uFFFDA", "cut by a non-continuation byte"},
      {65001, "ab\xC3", u"ab\uFFFD", "cut by the terminator"},
      {65001, "a\xF0\x9F", u"a\uFFFD", "cut by the terminator; Wine drops the terminator, the layer restores it"},
      // Real Windows would keep the 'A'; Wine's decoder drops the rest of
      // the text after a lead byte that needs more bytes than are left, and
      // the POSIX layer follows what the Win32 layer gives under Wine.
      {65001, "\xF0\x41", u"\uFFFD", "lead byte needing more bytes than the text has left"},
      {65001, "\xFE\xFF", u"\uFFFD\uFFFD", "FE and FF"},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(std::string(c.why) + ":" + HexBytes(c.text));
    std::u16string expected = c.expected;
    expected += u'\0';
    EXPECT_EQ(Units(Decode(c.codePage, c.text)), Units(expected));
  }
}

struct EncodeCase {
  uint32_t codePage;
  std::u16string text;
  std::string expected;  // terminator not included
  const char* why;
};

TEST(CodePageTest, EncodingUsesBestFitAndDefaultsLikeWindows) {
  const EncodeCase cases[] = {
      {932, u"\u3042\u8868\u30BD", "\x82\xA0\x95\x5C\x83\x5C", "hiragana and trail-0x5C kanji"},
      {932, u"\uFF61\uFF71\uFF9F", "\xA1\xB1\xDF", "half-width katakana"},
      {932, u"\u2460\u2160", "\x87\x40\x87\x54", "NEC special characters"},
      {932, u"\u2170\u7E8A", "\xFA\x40\xFA\x5C", "IBM extensions win over the NEC-selected copies"},
      {932, u"\u2252\u2235\uFFE2\uFF5E", "\x81\xE0\x81\xE6\x81\xCA\x81\x60", "JIS row 2 wins over NEC row 13"},
      {932, u"\uE000\uE757", "\xF0\x40\xF9\xFC", "user-defined area"},
      {932, u"\u0080\uF8F0\uF8F3", "\x80\xA0\xFF", "Windows' extra single bytes"},
      {932, u"\u00A5\u00E9\u00C5\u00AB\u00B5", "\x5C" "eA\x81\xE1\x83\xCA", "best fit"},
      {932, u"\u2014\u2016\u203E\u2212\u301C", "?????", "JIS mappings Windows does not make"},
      {932, u"\u20AC\uFFFD\u00C6x", "??Ax", "unrepresentable, and best fit of AE"},
      {932, u"\U0001F600", "??", "one default per unit of a surrogate pair"},
      {932, u"A\u0301", "A?", "no composition"},
      {65001, u"\U0001F600", "\xF0\x9F\x98\x80", "surrogate pair"},
      {65001, std::u16string(1, u'\xD800') + u"a", "\xEF\xBF\xBD" "a", "lone high surrogate"},
      {65001, std::u16string{u'\xDC00', u'\xD800'}, "\xEF\xBF\xBD\xEF\xBF\xBD", "reversed pair"},
      {65001, u"\u00E9\u3042", "\xC3\xA9\xE3\x81\x82", "two and three bytes"},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(std::string(c.why) + ":" + Units(c.text));
    std::string expected = c.expected;
    expected += '\0';
    EXPECT_EQ(HexBytes(Encode(c.codePage, c.text)), HexBytes(expected));
  }
}

TEST(CodePageTest, SmallBuffersAndUnknownCodePagesFail) {
  char16_t units[2];
  EXPECT_EQ(OsMultiByteToWide(932, "\x82\xA0" "a", units, 2), 0u) << "needs 3 units";
  EXPECT_EQ(OsLastError(), OS_ERROR_INSUFFICIENT_BUFFER);
  char bytes[2];
  EXPECT_EQ(OsWideToMultiByte(65001, u"\u3042", bytes, 2), 0u) << "needs 4 bytes";
  EXPECT_EQ(OsMultiByteToWide(1252, "a", units, 2), 0u);
  EXPECT_EQ(OsLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OsWideToMultiByte(437, u"a", bytes, 2), 0u);
}

// Every double-byte code and every BMP unit against the table that the
// Win32 layer recorded under Wine. On Win32 this shows the table is
// Windows' conversion; on POSIX that the layer gives the same results.
TEST(CodePageTest, EveryCodeMatchesTheWindowsTable) {
  std::ifstream file(PATCH_TEST_DATA_DIR "/cp932-windows.bin", std::ios::binary);
  ASSERT_TRUE(file) << "missing " PATCH_TEST_DATA_DIR "/cp932-windows.bin";
  std::vector<uint8_t> table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<uint16_t> codes = Cp932DoubleByteCodes();
  ASSERT_EQ(table.size(), sizeof kCp932TableMagic + 2 * (codes.size() + 0x10000));
  ASSERT_EQ(0, std::memcmp(table.data(), kCp932TableMagic, sizeof kCp932TableMagic));
  size_t at = sizeof kCp932TableMagic;
  auto next = [&] {
    uint16_t value = static_cast<uint16_t>(table[at] | table[at + 1] << 8);
    at += 2;
    return value;
  };

  int mismatches = 0;
  for (uint16_t code : codes) {
    uint16_t expected = next();
    char text[3] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF), 0};
    char16_t units[4] = {};
    uint32_t count = OsMultiByteToWide(kCodePageJapanese, text, units, 4);
    if ((count != 2 || units[0] != expected) && ++mismatches <= 20) {
      ADD_FAILURE() << std::hex << "decode " << code << ": expected U+" << expected << ", got " << count
                    << " units, first U+" << static_cast<unsigned>(units[0]);
    }
  }
  for (uint32_t unit = 1; unit <= 0xFFFF; ++unit) {
    at = sizeof kCp932TableMagic + 2 * (codes.size() + unit);
    uint16_t expected = next();
    char16_t text[2] = {static_cast<char16_t>(unit), 0};
    char bytes[4] = {};
    uint32_t count = OsWideToMultiByte(kCodePageJapanese, text, bytes, 4);
    uint16_t got = count == 0 ? 0xFFFF : PackCp932Bytes(bytes, count - 1);
    if (got != expected && ++mismatches <= 20) {
      ADD_FAILURE() << std::hex << "encode U+" << unit << ": expected " << expected << ", got " << got;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// UTF-8 for every BMP unit: standard encoding, U+FFFD for a lone
// surrogate, and back again.
TEST(CodePageTest, EveryBmpUnitRoundTripsThroughUtf8) {
  int mismatches = 0;
  for (uint32_t unit = 1; unit <= 0xFFFF; ++unit) {
    bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    uint32_t code = surrogate ? 0xFFFD : unit;
    std::string expected;
    if (code < 0x80) {
      expected = {static_cast<char>(code)};
    } else if (code < 0x800) {
      expected = {static_cast<char>(0xC0 | code >> 6), static_cast<char>(0x80 | (code & 0x3F))};
    } else {
      expected = {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                  static_cast<char>(0x80 | (code & 0x3F))};
    }
    char16_t text[2] = {static_cast<char16_t>(unit), 0};
    char bytes[8] = {};
    uint32_t count = OsWideToMultiByte(kCodePageUtf8, text, bytes, 8);
    char16_t back[4] = {};
    uint32_t units = OsMultiByteToWide(kCodePageUtf8, bytes, back, 4);
    bool ok = count == expected.size() + 1 && std::string(bytes) == expected && units == 2 && back[0] == code;
    if (!ok && ++mismatches <= 20) ADD_FAILURE() << std::hex << "U+" << unit;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(CodePageTest, CoreConversionsFollowTheTextsClass) {
  EXPECT_EQ(std::u16string(NarrowToWide("\x82\xA0").get()), u"\u3042");
  EXPECT_EQ(std::u16string(NarrowToWide("\xE3\x81\x82").get()), u"\u3042");
  EXPECT_EQ(std::u16string(NarrowToWide("").get()), u"");
  EXPECT_EQ(std::string(RecodeNarrow("\x82\xA0\x95\x5C", TARGET_UTF8).get()), "\xE3\x81\x82\xE8\xA1\xA8");
  EXPECT_EQ(std::string(RecodeNarrow("\xE3\x81\x82", TARGET_UTF8).get()), "\xE3\x81\x82");
  EXPECT_EQ(std::string(RecodeNarrow("abc", TARGET_UTF8).get()), "abc");
  EXPECT_EQ(std::string(RecodeNarrow("\xE3\x81\x82", TARGET_LEGACY).get()), "\x82\xA0");
  EXPECT_EQ(std::string(RecodeNarrow("\xE3\x81\x82", 5).get()), "\x82\xA0") << "other targets: current code page";
  EXPECT_EQ(std::string(WideToNarrow(u"\u8868", TARGET_LEGACY).get()), "\x95\x5C");
  EXPECT_EQ(std::string(WideToNarrow(u"\u8868", TARGET_UTF8).get()), "\xE8\xA1\xA8");

  char16_t wide[3] = {u'x', u'x', u'x'};
  EXPECT_EQ(NarrowToWide(wide, 2, "\x82\xA0"), nullptr);
  EXPECT_EQ(std::u16string(wide), u"\u3042") << "fits exactly";
  EXPECT_EQ(NarrowToWide(wide, 2, "\x82\xA0" "a"), nullptr);
  EXPECT_EQ(wide[0], u'\0') << "too small: emptied, nothing written past it";
  char narrow[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(RecodeNarrow(narrow, 4, "\x82\xA0", TARGET_UTF8), nullptr);
  EXPECT_EQ(std::string(narrow), "\xE3\x81\x82");
  EXPECT_EQ(RecodeNarrow(narrow, 3, "\x82\xA0", TARGET_UTF8), nullptr);
  EXPECT_EQ(narrow[0], 0);
  EXPECT_EQ(RecodeNarrow(narrow, 3, "abc", TARGET_UTF8), nullptr) << "the unchanged copy is bounded too";
  EXPECT_EQ(narrow[0], 0);
  EXPECT_EQ(WideToNarrow(narrow, 4, u"\u3042", TARGET_UTF8), nullptr);
  EXPECT_EQ(std::string(narrow), "\xE3\x81\x82");
  EXPECT_EQ(WideToNarrow(narrow, 3, u"\u3042", TARGET_UTF8), nullptr);
  EXPECT_EQ(narrow[0], 0);
}

TEST(CodePageTest, SplitPathGivesUtf8Parts) {
  struct Case {
    std::string path;
    const char* drive;
    const char* folder;
    const char* base;
    const char* extension;
  };
  const Case cases[] = {
      {"data\\sub\\File.Name.arc", "", "data\\sub\\", "File.Name", ".arc"},
      {"C:readme", "C:", "", "readme", ""},
      {"C:\\x\\y.z", "C:", "\\x\\", "y", ".z"},
      {"a.b\\c", "", "a.b\\", "c", ""},
      {".hvl", "", "", "", ".hvl"},
      {"a/b/c.d", "", "a/b/", "c", ".d"},
      {"\x95\x5C\\\x83\x5C.arc", "", "\xE8\xA1\xA8\\", "\xE3\x82\xBD", ".arc"},  // 0x5C trail bytes are no separators
      {"\xE8\xA1\xA8\\x", "", "\xE8\xA1\xA8\\", "x", ""},
      {std::string(254, 'f') + "\\n.e", "", nullptr, "n", ".e"},  // a folder of 255 units fits
      {std::string(255, 'f') + "\\n.e", "", "", "", ""},          // one of 256 empties every part
      {std::string(780, 'p'), "", "", "", ""},                     // beyond the 780-unit work buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.size() > 40 ? std::to_string(c.path.size()) + " bytes" : c.path);
    char drive[780], folder[780], base[780], extension[780];
    std::fill(std::begin(base), std::end(base), '#');
    SplitPathNarrow({drive, 780, folder, 780, base, 780, extension, 780}, c.path.c_str());
    EXPECT_STREQ(drive, c.drive);
    if (c.folder) {
      EXPECT_STREQ(folder, c.folder);
    }
    EXPECT_STREQ(base, c.base);
    EXPECT_STREQ(extension, c.extension);
  }

  char base[16], extension[16];
  SplitPathNarrow({nullptr, 0, nullptr, 0, base, sizeof base, extension, sizeof extension}, "Sys\\Data.ARC");
  EXPECT_STREQ(base, "Data");
  EXPECT_STREQ(extension, ".ARC");

  char16_t wideBase[4] = {u'#', u'#', u'#', u'#'};
  char16_t wideExtension[8];
  SplitPathWide({nullptr, 0, nullptr, 0, wideBase, 4, wideExtension, 8}, "dir\\name.txt");
  EXPECT_EQ(wideBase[0], u'\0') << "a base name of 4 units does not fit 4";
  EXPECT_EQ(wideExtension[0], u'\0') << "and then no part is given";
}

}  // namespace
