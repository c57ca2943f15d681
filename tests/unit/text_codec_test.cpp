// Text classification, decoding and the narrow-string operations. Examples
// are byte strings; code page 932 text is written with \x escapes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "text/text_codec.h"

namespace {

struct ClassCase {
  const char* text;
  int32_t expected;
};

TEST(TextCodecTest, DetectEncodingLooksAtTheFirstThreeSequences) {
  const ClassCase cases[] = {
      {"", ENCODING_ASCII},
      {"abc", ENCODING_ASCII},
      {"\xE3\x81\x82", ENCODING_UTF8},
      {"\x82\xA0", ENCODING_LEGACY},                   // code page 932 lead byte
      {"\xB1\xB2", ENCODING_LEGACY},                   // half-width katakana
      {"\x95\x5C", ENCODING_LEGACY},                   // trail byte is a backslash
      {"\xC0\x80", ENCODING_LEGACY},
      {"\xC1\xBF", ENCODING_LEGACY},
      {"\xE3\x81", ENCODING_LEGACY},                   // cut by the terminator
      {"\xE3\x81\x41", ENCODING_LEGACY},
      {"\xEF\xBB\xBF" "abc", ENCODING_UTF8},           // a byte-order mark is one sequence
      {"\xF8\x88\x80\x80\x80", ENCODING_UTF8},         // five-byte form accepted
      {"\xFF\x80\x80\x80\x80\x80\x80\x80", ENCODING_UTF8},
      {"\xC3\xA9\xC3\xA9\xC3\xA9\x82", ENCODING_UTF8}, // decided after three
      {"\xC3\xA9\xC3\xA9\x82", ENCODING_LEGACY},
      {"ab\xED\xA0\xBD", ENCODING_UTF8},               // encoded surrogate accepted
      {"\x83\x8b\x83\x81\x83\x67", ENCODING_LEGACY},   // ルメト
  };
  for (const ClassCase& c : cases) {
    EXPECT_EQ(DetectEncoding(c.text), c.expected) << testing::PrintToString(std::string(c.text));
  }
}

TEST(TextCodecTest, DecodeUtf8SequenceMeasuresByTheLeadByte) {
  struct Case {
    const char* text;
    uint32_t code;
    uint32_t length;
  };
  const Case cases[] = {
      {"A", 0x41, 1},
      {"\xC3\xA9", 0xE9, 2},
      {"\xE3\x81\x82", 0x3042, 3},
      {"\xF0\x9F\x98\x80", 0x1F600, 4},
      {"\x85\x80", 0x140, 2},        // stray continuation byte measured like a lead
      {"\xA5\x80\x80", 0x5000, 3},   // 0xA5: bit 5 set, bit 4 clear; low 4 bits kept
      {"\xC3\x41", 0xC1, 2},         // continuation bytes are not tested
      {"\xFF\x81\x82\x83\x84\x85\x86\x87", 0, 8},  // code checked below
      {"\xE3\x81", 0xFFFD, 2},       // cut short by the terminator
      {"\xF0", 0xFFFD, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    uint32_t code = 0xDEADBEEF;
    EXPECT_EQ(DecodeUtf8Sequence(&code, c.text), c.length);
    if (c.length == 8) {
      // Seven continuation bytes carry 42 bits; only the last 32 survive.
      uint32_t expected = 0;
      for (int k = 1; k < 8; ++k) expected = (expected << 6) | (static_cast<uint8_t>(c.text[k]) & 0x3F);
      EXPECT_EQ(code, expected);
    } else {
      EXPECT_EQ(code, c.code);
    }
    EXPECT_EQ(DecodeUtf8Sequence(nullptr, c.text), c.length);
  }
}

TEST(TextCodecTest, DecodeCharNarrowByClass) {
  struct Case {
    const char* text;
    int32_t encoding;
    uint32_t code;
    uint32_t length;
    int32_t fullWidth;
  };
  const Case cases[] = {
      {"\xED\xA0\xBD\xED\xB8\x80", ENCODING_UTF8, 0x1F600, 6, 1},  // surrogate pair in two sequences
      {"\xED\xA0\xBD" "a", ENCODING_UTF8, 0xD83D, 3, 1},           // lone high surrogate
      {"\xED\xA0\xBD", ENCODING_UTF8, 0xD83D, 3, 1},
      {"\xEF\xBD\xB1", ENCODING_UTF8, 0xFF71, 3, 0},               // half-width katakana
      {"\xEF\xBC\xA1", ENCODING_UTF8, 0xFF21, 3, 1},               // full-width A
      {"a", ENCODING_UTF8, 0x61, 1, 0},
      {"\x82\xA0", ENCODING_LEGACY, 0x82A0, 2, 1},
      {"\x95\x5C", ENCODING_LEGACY, 0x955C, 2, 1},
      {"\xB1", ENCODING_LEGACY, 0xB1, 1, 0},
      {"\xFF\x41", ENCODING_LEGACY, 0xFF41, 2, 1},
      {"\xFD\x41", ENCODING_LEGACY, 0xFD, 1, 0},
      {"\x82", ENCODING_LEGACY, 0x82, 1, 0},                       // lead byte before the terminator
      {"\x82\xA0", ENCODING_AUTO, 0x82A0, 2, 1},                   // AUTO decodes as code page 932
      {"\x82\xA0", ENCODING_ASCII, 0x82, 1, 0},
      {"\x82\xA0", 7, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)) + " class " + std::to_string(c.encoding));
    uint32_t code = 0xDEADBEEF;
    int32_t fullWidth = -5;
    EXPECT_EQ(DecodeCharNarrow(&code, &fullWidth, c.text, c.encoding), c.length);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(fullWidth, c.fullWidth);
  }
}

TEST(TextCodecTest, LeadBytesAndFullWidthCodes) {
  for (int b = 0; b < 256; ++b) {
    char text[2] = {static_cast<char>(b), 0};
    bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) || b == 0xFF;
    EXPECT_EQ(IsLegacyLeadByte(text), lead ? 1 : 0) << b;
  }
  const std::pair<uint32_t, int> cases[] = {{0x00, 0},    {0x7F, 0},    {0x80, 1},   {0xFF, 1},
                                            {0xFF60, 1},  {0xFF61, 0},  {0xFF9F, 0}, {0xFFA0, 1},
                                            {0xD800, 1},  {0x1F600, 1}, {0x3042, 1}};
  for (auto [code, expected] : cases) EXPECT_EQ(IsFullWidthChar(code), expected) << code;
}

TEST(TextCodecTest, LowerCaseChangesOnlyOneByteCapitals) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"TLM.HVL", "tlm.hvl"},
      {"\x83\x41Z", "\x83\x41z"},                       // trail byte 0x41 of ア stays
      {"\x83\x5A\x83\x41" "DATA", "\x83\x5A\x83\x41" "data"},
      {"\xEF\xBC\xA1" "B", "\xEF\xBC\xA1" "b"},         // full-width A stays
      {"\xC3\x89T\xC3\x89", "\xC3\x89t\xC3\x89"},       // É is not ASCII
      {"@[`{", "@[`{"},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(LowerCaseNarrow(text.data()), text.data());
    EXPECT_EQ(text, c.expected) << testing::PrintToString(c.text);
  }
}

TEST(TextCodecTest, FindCharNeverMatchesATrailByte) {
  struct Case {
    const char* text;
    uint32_t code;
    int32_t encoding;
    int offset;  // -1: not found
  };
  const Case cases[] = {
      {"ab\r\n", 13, ENCODING_AUTO, 2},
      {"ab\r\n", 10, ENCODING_AUTO, 3},
      {"abc", 10, ENCODING_AUTO, -1},
      {"abc", 0, ENCODING_AUTO, 3},
      {"\x95\x5C\x5C", 0x5C, ENCODING_AUTO, 2},
      {"\x95\x5C\n", 10, ENCODING_AUTO, 2},
      {"\x95\x5C", 0x955C, ENCODING_AUTO, 0},
      {"\x82\xA0\x82\xA2", 0x82A2, ENCODING_LEGACY, 2},
      {"\xE3\x81\x82\xE3\x81\x84\xE3\x81\x86\r", 13, ENCODING_AUTO, 9},
      {"\xE3\x81\x82x", 0x3042, ENCODING_UTF8, 0},
      {"\x95\x5C", 0, ENCODING_LEGACY, 2},
      {"\x95\x5C", 0x5C, ENCODING_ASCII, 1},
      {"\x95\x5C", 0x5C, 9, -1},
      // In 7-bit text a code is compared whole, not by its low byte: the
      // double-byte code 0x815C is no backslash, 0x4200 no terminator.
      {"a\\", 0x815C, ENCODING_AUTO, -1},
      {"ab", 0x4200, ENCODING_ASCII, -1},
      {"ab", 0x162, ENCODING_ASCII, -1},
      // Code 0 is the terminator, not an overlong form that decodes to 0.
      {"\xE0\x80\x80x", 0, ENCODING_AUTO, 4},
      {"\xC0\x80", 0, ENCODING_UTF8, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)) + " code " + std::to_string(c.code));
    const char* found = FindCharNarrow(c.text, c.code, c.encoding);
    if (c.offset < 0) {
      EXPECT_EQ(found, nullptr);
    } else {
      EXPECT_EQ(found, c.text + c.offset);
    }
  }
}

TEST(TextCodecTest, CompareAndCopy) {
  EXPECT_EQ(CompareNarrow("abc", "abd"), -1);
  EXPECT_EQ(CompareNarrow("abd", "abc"), 1);
  EXPECT_EQ(CompareNarrow("ab", "abc"), -1);
  EXPECT_EQ(CompareNarrow("abc", "abc"), 0);
  EXPECT_EQ(CompareNarrow("\x82", "A"), 1) << "bytes compare unsigned";
  EXPECT_EQ(CompareNarrow("", ""), 0);

  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(CopyNarrow(buffer, sizeof buffer, "abc"), buffer);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(CopyNarrow(buffer, sizeof buffer, "abcd"), nullptr) << "one byte too long";
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(CopyNarrow(buffer, 0, "a"), nullptr);
}

TEST(TextCodecTest, FormatFillsStringsAndStopsAtTheCapacity) {
  char16_t wide[32];
  EXPECT_EQ(FormatWide(wide, 32, u"%s\\%s.tmp", u"C:\\Game", u"a.arc"), 17);
  EXPECT_EQ(std::u16string(wide), u"C:\\Game\\a.arc.tmp");
  EXPECT_EQ(FormatWide(wide, 32, u"%sをインストール中", u"data.arc"), 16);
  EXPECT_EQ(std::u16string(wide), u"data.arcをインストール中");
  EXPECT_EQ(FormatWide(wide, 32, u"100%% %s", u"x"), 6);
  EXPECT_EQ(std::u16string(wide), u"100% x");
  EXPECT_EQ(FormatWide(wide, 32, u"plain"), 5);

  struct Case {
    const char16_t* format;
    size_t capacity;
    int32_t expected;
  };
  const Case cases[] = {
      {u"%s%s", 32, 12},
      {u"%d", 32, -1},           // only %s and %% are known
      {u"%s\\%s.tmp", 18, 17},  // exactly fits with its terminator
      {u"%s\\%s.tmp", 17, -1},
      {u"%s\\%s.tmp", 0, -1},
      {u"%s %s %s", 32, -1},     // a third argument is missing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::u16string(c.format)) + " in " + std::to_string(c.capacity));
    wide[0] = u'?';
    EXPECT_EQ(FormatWide(wide, c.capacity, c.format, u"C:\\Game", u"a.arc"), c.expected);
    if (c.expected < 0 && c.capacity > 0) {
      EXPECT_EQ(wide[0], 0) << "a failed format leaves an empty string";
    }
  }

  char narrow[8];
  EXPECT_EQ(FormatNarrow(narrow, 8, "%s%s", "ab", "cde"), 5);
  EXPECT_STREQ(narrow, "abcde");
  EXPECT_EQ(FormatNarrow(narrow, 8, "%s%s", "abcd", "efgh"), -1);
  EXPECT_STREQ(narrow, "");
}

}  // namespace

namespace {

// Texts that end inside a character, each copied into a heap block of
// exactly its size, so that the sanitizer build sees any read past the
// terminator.
TEST(TextCodecTest, NothingReadsPastTheTerminator) {
  const std::string texts[] = {
      "\xE3\x81", "\xF0", "a\xFF\x80", "\xFF", "\x82", "ab\x95", "\xED\xA0\xBD", "\xC3\xA9\xC3\xA9\xE3",
      "\xC3\xA9\xC3\xA9\xC3\xA9\xF8\x88", "",
  };
  for (const std::string& source : texts) {
    SCOPED_TRACE(testing::PrintToString(source));
    std::unique_ptr<char[]> text(new char[source.size() + 1]);
    std::memcpy(text.get(), source.c_str(), source.size() + 1);
    DetectEncoding(text.get());
    for (int32_t encoding : {ENCODING_LEGACY, ENCODING_UTF8, ENCODING_ASCII, ENCODING_AUTO}) {
      for (size_t at = 0; at < source.size();) {
        uint32_t length = DecodeCharNarrow(nullptr, nullptr, text.get() + at, encoding);
        ASSERT_GE(length, 1u);
        ASSERT_LE(at + length, source.size()) << "a character ran past the terminator";
        at += length;
      }
      EXPECT_EQ(FindCharNarrow(text.get(), 0, encoding), text.get() + source.size());
      EXPECT_EQ(FindCharNarrow(text.get(), '\n', encoding), nullptr);
    }
    for (size_t at = 0; at < source.size(); ++at) {
      EXPECT_LE(at + DecodeUtf8Sequence(nullptr, text.get() + at), source.size());
    }
    LowerCaseNarrow(text.get());
    EXPECT_NE(NarrowToWide(text.get()), nullptr);
    EXPECT_NE(RecodeNarrow(text.get(), TARGET_UTF8), nullptr);
    char16_t parts[4][kPathCapacity];
    SplitPathWide({parts[0], kPathCapacity, parts[1], kPathCapacity, parts[2], kPathCapacity, parts[3], kPathCapacity},
                  text.get());
  }
}

}  // namespace
