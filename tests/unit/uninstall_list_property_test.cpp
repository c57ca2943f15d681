// The uninstall list's parse and merge against the plainest reading of the
// same rules, on random lists: code page 932, UTF-8 and stray bytes mixed
// line by line, blank lines, runs of CR and LF, leading and trailing blanks,
// '$' lines and the same names again in other case.
//
// The reference below does what the rules say and nothing clever: each
// line's end is where FindCharNarrow, classifying the text from the line's
// start on, meets the first CR or LF, and each name is looked for in the
// whole list built so far. It is quadratic, so the lists stay short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "install/uninstall_list.h"
#include "text/text_codec.h"
#include "tests/support/test_files.h"

namespace {

// ---------------------------------------------------------------------------
// The reference.

void ReferenceAdd(UninstallNames* list, const char* name) {
  for (const std::string& entry : *list) {
    if (CompareNarrow(entry.c_str(), name) == 0) return;
  }
  list->emplace_back(name);
}

bool ReferenceParse(const char* text, UninstallNames* plain, UninstallNames* dollar) {
  const char* p = text;
  while (*p != 0) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* cr = FindCharNarrow(p, 13, ENCODING_AUTO);
    const char* lf = FindCharNarrow(p, 10, ENCODING_AUTO);
    const char* end = cr != nullptr && (lf == nullptr || cr < lf) ? cr : lf;
    if (end == nullptr) end = p + std::strlen(p);
    if (end != p) {
      std::string line(p, end);
      std::unique_ptr<char[]> name = RecodeNarrow(line.c_str(), TARGET_UTF8);
      if (!name) return false;
      LowerCaseNarrow(name.get());
      ReferenceAdd(name[0] == '$' ? dollar : plain, name.get());
    }
    p = end;
    if (*p != 0 && *p != '\r' && *p != '\n') p += DecodeUtf8Sequence(nullptr, p);
    while (*p == '\r' || *p == '\n') ++p;
  }
  return true;
}

// The list file the merge leaves, or nothing (the file as it was) when the
// merge fails.
struct ReferenceMerge {
  bool merged = false;
  std::vector<uint8_t> content;
};

ReferenceMerge ReferenceMergeOf(const std::vector<uint8_t>& file, const std::vector<std::u16string>& run) {
  std::string text(file.begin(), file.end());  // the first zero byte ends the text
  UninstallNames plain;
  UninstallNames dollar;
  if (!ReferenceParse(text.c_str(), &plain, &dollar)) return {};
  for (const std::u16string& name : run) {
    std::unique_ptr<char[]> narrow = WideToNarrow(name.c_str(), TARGET_UTF8);
    if (!narrow) return {};
    LowerCaseNarrow(narrow.get());
    ReferenceAdd(&plain, narrow.get());
  }
  ReferenceMerge result;
  result.merged = true;
  for (const UninstallNames* list : {&plain, &dollar}) {
    for (const std::string& name : *list) {
      result.content.insert(result.content.end(), name.begin(), name.end());
      result.content.push_back('\n');
    }
  }
  result.content.push_back(0);
  return result;
}

// ---------------------------------------------------------------------------
// Random lists.

// What most characters of a list are.
enum class Flavour { Ascii, Legacy, Utf8, Mixed };

const char* FlavourName(Flavour flavour) {
  switch (flavour) {
    case Flavour::Ascii: return "ASCII";
    case Flavour::Legacy: return "code page 932";
    case Flavour::Utf8: return "UTF-8";
    case Flavour::Mixed: return "mixed";
  }
  return "?";
}

// Code page 932 characters, among them trail bytes that are ASCII letters
// or a backslash, half-width katakana and a full-width space.
const char* const kLegacyCharacters[] = {
    "\x83\x8B", "\x83\x81", "\x83\x67", "\x83\x41", "\x83\x5C", "\x82\xA0", "\x88\x9F",
    "\x95\x5C", "\xB1",     "\xDF",     "\x81\x40", "\x82\x60", "\xE0\x40", "\xFC\x4B",
};
// UTF-8 characters of every length, half-width katakana, and a surrogate
// pair encoded one half at a time.
const char* const kUtf8Characters[] = {
    "\xE3\x81\x82", "\xE3\x83\xAB", "\xC3\xA9",         "\xC3\x89",    "\xF0\x9D\x84\x9E",
    "\xEF\xBD\xB1", "\xEF\xBC\xA1", "\xED\xA0\xBD\xED\xB8\x80", "\xC2\xA0", "\xEF\xBB\xBF",
};
// Bytes that fit neither encoding, lead bytes on their own (which take a
// following CR or LF as their trail byte), and overlong forms of CR and LF.
const char* const kStrayBytes[] = {
    "\x81",         "\x9F", "\xE3", "\xFC", "\x80", "\xA0", "\xC0", "\xC1", "\xFD", "\xFF", "\xE3\x81",
    "\xC0\x8D",     "\xC0\x8A", "\xE0\x80\x8D", "\x80\x8A", "\xC0\x0D", "\xF8\x88\x80\x80\x80",
    "\xFE\x80\x80\x80\x80\x80", "\xFF\x80\x80\x80\x80\x80\x80", "\xFF\x80\x80\x80\x80\x80\x80\x80",
};
const char* const kLineEnds[] = {"\r\n", "\n", "\r", "\r\r\n", "\n\r", "\n\n", "\r\n\r\n", "\r\r"};
const char kAsciiCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\\/._-~ $\t";

class ListMaker {
 public:
  explicit ListMaker(uint32_t seed) : m_random(seed) {}

  // Percent chance.
  bool Chance(uint32_t percent) { return Below(100) < percent; }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(m_random() % bound); }
  template <typename T, size_t N>
  const T& Pick(const T (&table)[N]) {
    return table[Below(static_cast<uint32_t>(N))];
  }

  // One character of a line's body.
  std::string Piece(Flavour flavour) {
    uint32_t roll = Below(100);
    uint32_t ascii = flavour == Flavour::Ascii ? 94 : flavour == Flavour::Mixed ? 55 : 65;
    if (roll < ascii) return std::string(1, kAsciiCharacters[Below(sizeof kAsciiCharacters - 1)]);
    if (roll < 97) {
      bool legacy = flavour == Flavour::Legacy || (flavour != Flavour::Utf8 && Chance(50));
      return legacy ? Pick(kLegacyCharacters) : Pick(kUtf8Characters);
    }
    if (Chance(50)) return Pick(kStrayBytes);
    // One to four bytes of 0x80 and above: continuation bytes and lead
    // bytes of every length, in and out of place.
    std::string bytes(1 + Below(4), '\0');
    for (char& c : bytes) c = static_cast<char>(0x80 + Below(0x80));
    return bytes;
  }

  // A line's body: a name, a '$' name, nothing, blanks only, or an earlier
  // body with the case of its ASCII letters changed at random.
  std::string Body(Flavour flavour, const std::vector<std::string>& earlier) {
    uint32_t roll = Below(100);
    if (roll < 8) return "";
    if (roll < 12) return std::string(1 + Below(3), Chance(50) ? ' ' : '\t');
    if (roll < 35 && !earlier.empty()) {
      std::string body = earlier[Below(static_cast<uint32_t>(earlier.size()))];
      for (char& c : body) {
        if (Chance(50) && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c = static_cast<char>(c ^ 0x20);
      }
      return body;
    }
    std::string body;
    if (Chance(10)) body += Chance(70) ? " " : "\t ";
    if (Chance(12)) body += '$';
    uint32_t length = 1 + Below(Chance(5) ? 40 : 12);
    for (uint32_t i = 0; i < length; ++i) body += Piece(flavour);
    if (Chance(8)) body += Chance(50) ? " " : "\t";
    // A byte of 0x80 or above right before the line end: whether the CR or
    // LF after it ends the line depends on the class of the text.
    if (Chance(10)) body += static_cast<char>(0x80 + Below(0x80));
    return body;
  }

  // A whole list file: lines and their ends, sometimes no end after the
  // last, sometimes a zero byte that cuts the text short.
  std::vector<uint8_t> List(Flavour flavour, uint32_t maxLines) {
    std::vector<std::string> bodies;
    std::string text;
    uint32_t lines = Below(maxLines + 1);
    for (uint32_t i = 0; i < lines; ++i) {
      // A line of another flavour now and then, so that the class of the
      // text from a line's start changes a few lines further on.
      Flavour lineFlavour = Chance(15) ? static_cast<Flavour>(Below(4)) : flavour;
      std::string body = Body(lineFlavour, bodies);
      if (!body.empty()) bodies.push_back(body);
      text += body;
      if (i + 1 < lines || Chance(80)) text += Pick(kLineEnds);
    }
    if (Chance(4)) text.insert(Below(static_cast<uint32_t>(text.size()) + 1), 1, '\0');
    if (text.empty()) text.push_back(Chance(50) ? '\0' : '\n');  // the merge leaves a 0-byte list alone
    return std::vector<uint8_t>(text.begin(), text.end());
  }

  // The run's names: new ones, names of the list in other case (as UTF-16,
  // read in the class of their own text), '$' names, repeats.
  std::vector<std::u16string> RunNames(const std::vector<uint8_t>& list) {
    std::vector<std::u16string> names;
    uint32_t count = Below(7);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t roll = Below(100);
      if (roll < 40 && !list.empty()) {
        // A line of the list, from some line start to its first CR or LF byte.
        std::string text(list.begin(), list.end());
        text = text.c_str();
        size_t start = Below(static_cast<uint32_t>(text.size()) + 1);
        start = start == 0 ? 0 : text.find_first_of("\r\n", start - 1);
        if (start == std::string::npos) start = text.size();
        start = text.find_first_not_of("\r\n \t", start);
        if (start == std::string::npos) continue;
        std::string line = text.substr(start, text.find_first_of("\r\n", start) - start);
        for (char& c : line) {
          if (Chance(50) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
        }
        std::unique_ptr<char16_t[]> wide = NarrowToWide(line.c_str());
        if (wide && wide[0] != 0) names.emplace_back(wide.get());
      } else if (roll < 60 && !names.empty()) {
        names.push_back(names[Below(static_cast<uint32_t>(names.size()))]);
      } else {
        const char16_t* const fresh[] = {u"DATA\\NEW.ARC", u"ルメトリア.ARC", u"$Setup.EXE",   u"セーブ\\Save01.dat",
                                         u"a.arc",        u"Ａ.arc",        u"\xD800x.arc", u"voice\\ＡＢＣ.ogg"};
        names.emplace_back(Pick(fresh));
      }
    }
    return names;
  }

 private:
  std::mt19937 m_random;
};

std::vector<const char16_t*> NullEnded(const std::vector<std::u16string>& names) {
  std::vector<const char16_t*> pointers;
  for (const std::u16string& name : names) pointers.push_back(name.c_str());
  pointers.push_back(nullptr);
  return pointers;
}

std::string Printable(const std::vector<uint8_t>& bytes) {
  return testing::PrintToString(std::string(bytes.begin(), bytes.end()));
}

// How many random lists of each flavour, and their most lines.
struct Batch {
  Flavour flavour;
  uint32_t lists;
  uint32_t maxLines;
};
const Batch kBatches[] = {
    {Flavour::Ascii, 150, 40},  {Flavour::Legacy, 150, 40}, {Flavour::Utf8, 150, 40},
    {Flavour::Mixed, 250, 40},  {Flavour::Mixed, 20, 300},  {Flavour::Utf8, 20, 300},
};
// Fewer for the merge, which writes and flushes a file for each.
const Batch kMergeBatches[] = {
    {Flavour::Ascii, 60, 40},  {Flavour::Legacy, 60, 40}, {Flavour::Utf8, 60, 40},
    {Flavour::Mixed, 120, 40}, {Flavour::Mixed, 10, 300}, {Flavour::Utf8, 10, 300},
};

// ---------------------------------------------------------------------------
// The properties.

TEST(UninstallListPropertyTest, ParseGivesTheReferenceNamesForRandomLists) {
  uint32_t seed = 1;
  size_t names = 0;
  for (const Batch& batch : kBatches) {
    for (uint32_t i = 0; i < batch.lists; ++i, ++seed) {
      ListMaker maker(seed);
      std::vector<uint8_t> file = maker.List(batch.flavour, batch.maxLines);
      std::string text(file.begin(), file.end());
      SCOPED_TRACE(testing::Message() << FlavourName(batch.flavour) << " list, seed " << seed << ": "
                                      << Printable(file));
      UninstallNames expectedPlain, expectedDollar, plain, dollar;
      bool expected = ReferenceParse(text.c_str(), &expectedPlain, &expectedDollar);
      ASSERT_EQ(ParseUninstallList(text.c_str(), &plain, &dollar), expected);
      ASSERT_EQ(plain, expectedPlain);
      ASSERT_EQ(dollar, expectedDollar);
      names += plain.size() + dollar.size();
    }
  }
  // The lists are not all empty: the comparison had something to compare.
  EXPECT_GT(names, 5000u);
}

// Lists handed in that already hold names (some of which the text names
// again, some twice over) get only the text's names they lack.
TEST(UninstallListPropertyTest, ParseAddsOnlyMissingNamesToListsThatAlreadyHoldSome) {
  uint32_t seed = 100000;
  for (const Batch& batch : kBatches) {
    for (uint32_t i = 0; i < batch.lists; ++i, ++seed) {
      ListMaker maker(seed);
      std::vector<uint8_t> file = maker.List(batch.flavour, batch.maxLines);
      std::string text(file.begin(), file.end());
      SCOPED_TRACE(testing::Message() << FlavourName(batch.flavour) << " list, seed " << seed << ": "
                                      << Printable(file));
      // Names the text may hold, the same name twice, and one that only
      // compares equal up to its zero byte.
      UninstallNames plain;
      UninstallNames dollar;
      ReferenceParse(text.c_str(), &plain, &dollar);
      UninstallNames seededPlain, seededDollar;
      for (const std::string& name : plain) {
        if (maker.Chance(40)) seededPlain.push_back(name);
        if (maker.Chance(10)) seededPlain.push_back(name);
      }
      for (const std::string& name : dollar) {
        if (maker.Chance(40)) seededDollar.push_back(name);
      }
      seededPlain.push_back("fresh.arc");
      if (!plain.empty() && maker.Chance(30)) seededPlain.push_back(plain.back() + std::string(1, '\0') + "tail");
      if (maker.Chance(50)) std::shuffle(seededPlain.begin(), seededPlain.end(), std::mt19937(seed));

      UninstallNames expectedPlain = seededPlain, expectedDollar = seededDollar;
      bool expected = ReferenceParse(text.c_str(), &expectedPlain, &expectedDollar);
      ASSERT_EQ(ParseUninstallList(text.c_str(), &seededPlain, &seededDollar), expected);
      ASSERT_EQ(seededPlain, expectedPlain);
      ASSERT_EQ(seededDollar, expectedDollar);
    }
  }
}

TEST(UninstallListPropertyTest, MergeWritesTheReferenceFileByteForByte) {
  TempDir dir;
  const std::filesystem::path listPath = dir.Native("uninst.lst");
  uint32_t seed = 200000;
  size_t merged = 0;
  for (const Batch& batch : kMergeBatches) {
    for (uint32_t i = 0; i < batch.lists; ++i, ++seed) {
      ListMaker maker(seed);
      std::vector<uint8_t> file = maker.List(batch.flavour, batch.maxLines);
      std::vector<std::u16string> run = maker.RunNames(file);
      SCOPED_TRACE(testing::Message() << FlavourName(batch.flavour) << " list, seed " << seed << ": "
                                      << Printable(file) << ", " << run.size() << " run names");
      ReferenceMerge expected = ReferenceMergeOf(file, run);
      WriteFileBytes(listPath, file);
      ASSERT_EQ(MergeUninstallList(dir.Core().c_str(), NullEnded(run).data()), expected.merged);
      ASSERT_EQ(ReadFileBytes(listPath), expected.merged ? expected.content : file);
      if (expected.merged) ++merged;
    }
  }
  EXPECT_GT(merged, 300u);
}

// Texts built around the limits of the classification of the text from a
// line's start: how many sequences it reads, which lead and continuation
// bytes it accepts, and where a stretch of 7-bit lines ends. Each is also
// tried with a probe after it, a line ending in 0xC3 right before its CR:
// read as UTF-8, 0xC3 takes the CR and the line goes on; read as code page
// 932 it does not, so a wrong class shows in the names.
TEST(UninstallListPropertyTest, ParseGivesTheReferenceNamesAroundTheClassificationsLimits) {
  const std::string a = "\xE3\x81\x82";  // UTF-8 あ
  const std::string e = "\xC3\xA9";      // UTF-8 é
  const std::string sjis = "\x82\xA0";    // code page 932 あ
  const std::string manyAscii = [] {
    std::string text;
    for (int i = 0; i < 200; ++i) text += "Data\\File" + std::to_string(i % 50) + ".ARC\r\n";
    return text;
  }();
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"two UTF-8 characters, then code page 932", a + "\r\n" + a + "\r\n" + sjis + "\r\n"},
      {"three UTF-8 characters, then code page 932", a + a + "\r\n" + a + "\r\n" + sjis + "\r\n"},
      {"UTF-8 lines after a code page 932 one", sjis + "\r\n" + a + "\r\n" + a + "\r\n" + a + "\r\n"},
      {"lowest two-byte lead", "\xC2\x80\xC2\x80\xC2\x80"},
      {"0xC1 leads nothing", "\xC1\x80" + e + e},
      {"0xC0 leads nothing", "\xC0\x80" + e + e},
      {"highest continuation byte", "\xC3\xBF" + e + e},
      {"0xC0 continues nothing", "\xC3\xC0" + e + e},
      {"7-bit byte after a lead", "\xC3\x7F" + e + e},
      {"continuation byte first", "\x80" + e + e + e},
      {"second sequence cut short", e + "\xE3\x81" + "x" + e},
      {"third sequence broken", e + e + "\xE3\x81\x41"},
      {"fourth sequence broken", e + e + e + "\xE3\x81\x41"},
      {"five- to eight-byte forms",
       "\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80\xFE\x80\x80\x80\x80\x80\x80"},
      {"eight-byte form", "\xFF\x80\x80\x80\x80\x80\x80\x80" + e + e},
      {"eight-byte form one byte short", "\xFF\x80\x80\x80\x80\x80\x80" + e + e},
      {"7-bit lines, then one UTF-8 character", manyAscii + a + "\n" + manyAscii},
      {"7-bit lines, then one code page 932 character", manyAscii + sjis + "\n" + manyAscii},
      {"7-bit lines, then characters one per line", manyAscii + a + "\n" + manyAscii + a + "\n" + manyAscii + sjis},
      {"lead byte before each line end", "A\x81\r\nB\x81\nc\x81\r" + a + "\r\n" + a},
      {"overlong line ends", "a\xC0\x8D" "b\xE0\x80\x8A" "c\n" + a + "\x80\x8D" "d"},
      {"surrogate halves", "\xED\xA0\xBD\xED\xB8\x80.arc\n\xED\xA0\xBD\r\n" + a + "\n" + sjis},
      {"blanks and line ends only", " \t\r\n\r\r\n\n \n\t"},
  };
  const std::string probe = "P\xC3\r\nQ\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string texts[] = {c.text, " \t" + c.text, c.text + probe, c.text + "\r\n" + probe,
                                 "x" + c.text + "\r\n" + probe + c.text + probe};
    for (const std::string& text : texts) {
      UninstallNames expectedPlain, expectedDollar, plain, dollar;
      bool expected = ReferenceParse(text.c_str(), &expectedPlain, &expectedDollar);
      EXPECT_EQ(ParseUninstallList(text.c_str(), &plain, &dollar), expected);
      EXPECT_EQ(plain, expectedPlain) << testing::PrintToString(text);
      EXPECT_EQ(dollar, expectedDollar) << testing::PrintToString(text);
    }
  }
}

}  // namespace
