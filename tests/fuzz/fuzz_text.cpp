// The text operations on narrow text in any encoding and UTF-16 text with
// any units, with destination buffers of every capacity (each allocated at
// exactly its capacity, so AddressSanitizer sees a single byte too many).
//
// Input: capacities of the narrow and the UTF-16 destinations, of the four
// split parts (0xFF: not wanted), a 32-bit character code, then the text
// (up to its first zero byte); the whole rest, read as UTF-16 units, is the
// wide text.
//
// Oracles: DetectEncoding's class against the bytes; every destination
// form gives the allocating form's result when it fits and the empty string
// when not; UTF-8 and UTF-16 convert into each other without loss; recoding
// into the text's own class copies it; lowering changes exactly the letters
// A-Z of well-formed text and is idempotent; FindCharNarrow stops only at a
// character of the walk that has the code, and code 0 finds the
// terminator; the split parts put together give the path back.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "text/text_codec.h"

namespace {

template <typename Char>
std::unique_ptr<Char[]> Buffer(size_t capacity) {
  // At least one unit, so that the pointer is real even for capacity 0.
  std::unique_ptr<Char[]> buffer(new Char[capacity == 0 ? 1 : capacity]);
  std::memset(buffer.get(), 0x55, (capacity == 0 ? 1 : capacity) * sizeof(Char));
  return buffer;
}

template <typename Char>
std::basic_string<Char> Str(const Char* text) {
  return text == nullptr ? std::basic_string<Char>() : std::basic_string<Char>(text);
}

// A destination form against its allocating form: the same text when it fits
// the capacity, else (and when the conversion fails) the empty string.
template <typename Char>
void CheckDestination(const char* what, const Char* destination, size_t capacity, const Char* allocated) {
  if (capacity == 0) return;
  std::basic_string<Char> got = destination;
  if (allocated != nullptr && Str(allocated).size() + 1 <= capacity) {
    FUZZ_CHECK(got == allocated, std::string(what) + ": the destination form differs from the allocating form");
  } else {
    FUZZ_CHECK(got.empty(), std::string(what) + ": a result that does not fit is not the empty string");
  }
}

std::string Narrow(const std::u16string& wide) {
  std::unique_ptr<char[]> narrow = WideToNarrow(wide.c_str(), TARGET_UTF8);
  return narrow ? narrow.get() : "";
}

void CheckDetect(const std::string& text, int32_t encoding) {
  bool sevenBit = true;
  for (char c : text) sevenBit = sevenBit && static_cast<uint8_t>(c) < 0x80;
  FUZZ_CHECK(encoding == ENCODING_ASCII || encoding == ENCODING_UTF8 || encoding == ENCODING_LEGACY, "unknown class");
  FUZZ_CHECK((encoding == ENCODING_ASCII) == sevenBit, "ASCII class for " + fuzz::Hex(text));
  if (!sevenBit && fuzz::IsValidUtf8(text)) FUZZ_CHECK(encoding == ENCODING_UTF8, "UTF-8 text not classed UTF-8");
}

void CheckConversions(const std::string& text, int32_t encoding, size_t narrowCapacity, size_t wideCapacity) {
  std::unique_ptr<char16_t[]> wide = NarrowToWide(text.c_str());
  FUZZ_CHECK(wide != nullptr, "NarrowToWide failed on " + fuzz::Hex(text));
  auto wideInto = Buffer<char16_t>(wideCapacity);
  FUZZ_CHECK(NarrowToWide(wideInto.get(), wideCapacity, text.c_str()) == nullptr, "destination form returned non-null");
  CheckDestination("NarrowToWide", wideInto.get(), wideCapacity, wide.get());
  if (encoding == ENCODING_ASCII) {
    FUZZ_CHECK(Str(wide.get()) == std::u16string(text.begin(), text.end()), "7-bit text widened to other units");
  }
  if (encoding != ENCODING_LEGACY && fuzz::IsValidUtf8(text)) {
    FUZZ_CHECK(Narrow(wide.get()) == text, "UTF-8 text does not survive UTF-16: " + fuzz::Hex(text));
  }

  for (int32_t target : {TARGET_LEGACY, TARGET_UTF8, 2}) {
    std::unique_ptr<char[]> recoded = RecodeNarrow(text.c_str(), target);
    FUZZ_CHECK(recoded != nullptr, "RecodeNarrow failed");
    auto into = Buffer<char>(narrowCapacity);
    FUZZ_CHECK(RecodeNarrow(into.get(), narrowCapacity, text.c_str(), target) == nullptr, "non-null");
    CheckDestination("RecodeNarrow", into.get(), narrowCapacity, recoded.get());
    bool sameClass = encoding == ENCODING_ASCII || (encoding == ENCODING_UTF8) == (target == TARGET_UTF8);
    if (sameClass) FUZZ_CHECK(Str(recoded.get()) == text, "recoding into the text's own class changed it");
    if (target == TARGET_UTF8) {
      // UTF-8 results of a conversion are well-formed.
      if (encoding == ENCODING_LEGACY) FUZZ_CHECK(fuzz::IsValidUtf8(recoded.get()), "ill-formed UTF-8 from code page 932");
    }
    std::unique_ptr<char[]> back = WideToNarrow(wide.get(), target);
    FUZZ_CHECK(back != nullptr, "WideToNarrow failed");
    if (!sameClass) FUZZ_CHECK(Str(back.get()) == Str(recoded.get()), "recoding differs from the way through UTF-16");
  }
}

void CheckWide(const std::u16string& wide, size_t narrowCapacity) {
  bool loneSurrogate = false;
  for (size_t i = 0; i < wide.size(); ++i) {
    char16_t unit = wide[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      loneSurrogate = true;
    }
  }
  for (int32_t target : {TARGET_LEGACY, TARGET_UTF8}) {
    std::unique_ptr<char[]> narrow = WideToNarrow(wide.c_str(), target);
    FUZZ_CHECK(narrow != nullptr, "WideToNarrow failed");
    auto into = Buffer<char>(narrowCapacity);
    FUZZ_CHECK(WideToNarrow(into.get(), narrowCapacity, wide.c_str(), target) == nullptr, "non-null");
    CheckDestination("WideToNarrow", into.get(), narrowCapacity, narrow.get());
    if (target != TARGET_UTF8) continue;
    FUZZ_CHECK(fuzz::IsValidUtf8(narrow.get()), "ill-formed UTF-8 from UTF-16");
    if (!loneSurrogate) {
      std::unique_ptr<char16_t[]> again = NarrowToWide(narrow.get());
      FUZZ_CHECK(again && Str(again.get()) == wide, "UTF-16 does not survive UTF-8");
    }
  }
}

void CheckLower(const std::string& text, int32_t encoding) {
  std::string lowered = text;
  FUZZ_CHECK(LowerCaseNarrow(lowered.data()) == lowered.data(), "LowerCaseNarrow result");
  FUZZ_CHECK(std::strlen(lowered.c_str()) == text.size(), "lowering changed the length");
  for (size_t i = 0; i < text.size(); ++i) {
    if (lowered[i] == text[i]) continue;
    FUZZ_CHECK(text[i] >= 'A' && text[i] <= 'Z' && lowered[i] == text[i] + 0x20, "lowering changed a non-letter");
  }
  if (encoding == ENCODING_ASCII || fuzz::IsValidUtf8(text)) {
    for (size_t i = 0; i < text.size(); ++i) {
      FUZZ_CHECK(!(lowered[i] >= 'A' && lowered[i] <= 'Z'), "a capital left in well-formed text");
    }
  }
  std::string twice = lowered;
  LowerCaseNarrow(twice.data());
  FUZZ_CHECK(twice == lowered, "lowering is not idempotent");
}

void CheckFind(const std::string& text, uint32_t code, int32_t detected) {
  const char* begin = text.c_str();
  const char* end = begin + text.size();
  for (int32_t encoding : {ENCODING_AUTO, ENCODING_LEGACY, ENCODING_UTF8, ENCODING_ASCII}) {
    int32_t walk = encoding == ENCODING_AUTO ? detected : encoding;
    FUZZ_CHECK(FindCharNarrow(begin, 0, encoding) == end, "code 0 does not find the terminator");
    const char* found = FindCharNarrow(begin, code, encoding);
    // The walk in that class, as DecodeCharNarrow steps: the first
    // character with the code, never a byte inside another character.
    const char* expected = nullptr;
    for (const char* p = begin; p < end;) {
      uint32_t value = 0;
      uint32_t length = DecodeCharNarrow(&value, nullptr, p, walk);
      FUZZ_CHECK(length >= 1 && p + length <= end, "a character runs past the terminator");
      if (value == code) {
        expected = p;
        break;
      }
      p += length;
    }
    if (code == 0) expected = end;
    FUZZ_CHECK(found == expected, "FindCharNarrow for U+" + std::to_string(code) + " in class " +
                                      std::to_string(walk) + " stopped at " +
                                      (found ? std::to_string(found - begin) : "none") + " of " + fuzz::Hex(text));
  }
}

void CheckSplit(const std::string& path, const uint8_t capacities[4]) {
  // The reference split with every part wanted at its full size.
  char16_t drive[3], folder[256], base[256], extension[256];
  SplitPathWide({drive, 3, folder, 256, base, 256, extension, 256}, path.c_str());
  std::u16string whole = Str(drive) + Str(folder) + Str(base) + Str(extension);
  std::unique_ptr<char16_t[]> wide = NarrowToWide(path.c_str());
  bool cleared = whole.empty();
  if (!cleared) {
    FUZZ_CHECK(wide && whole == wide.get(), "the parts do not make the path");
    std::u16string d = drive, f = folder, b = base, e = extension;
    FUZZ_CHECK(d.empty() || (d.size() == 2 && d[1] == u':'), "drive part");
    FUZZ_CHECK(f.empty() || f.back() == u'\\' || f.back() == u'/', "folder part does not end in a separator");
    FUZZ_CHECK((b + e).find_first_of(u"\\/") == std::u16string::npos, "a separator in the final component");
    FUZZ_CHECK(e.empty() || (e[0] == u'.' && e.find(u'.', 1) == std::u16string::npos), "extension part");
  } else if (wide && wide[0] != 0) {
    // Cleared only when the path or a part is too long.
    size_t length = std::char_traits<char16_t>::length(wide.get());
    FUZZ_CHECK(length >= 255, "a short path split into nothing: " + fuzz::Hex(path));
  }

  // The same split with the fuzzer's capacities, against the parts worked
  // out here: every wanted part, or every wanted part empty when the path
  // does not fit the work buffer or one of them does not fit.
  std::u16string expectedParts[4];
  bool fits = wide != nullptr && std::char_traits<char16_t>::length(wide.get()) + 1 <= kPathCapacity;
  if (fits) {
    std::u16string all = wide.get();
    size_t driveEnd = all.size() >= 2 && all[1] == u':' ? 2 : 0;
    size_t folderEnd = all.find_last_of(u"\\/");
    folderEnd = folderEnd == std::u16string::npos || folderEnd < driveEnd ? driveEnd : folderEnd + 1;
    size_t dot = all.find_last_of(u'.');
    if (dot == std::u16string::npos || dot < folderEnd) dot = all.size();
    expectedParts[0] = all.substr(0, driveEnd);
    expectedParts[1] = all.substr(driveEnd, folderEnd - driveEnd);
    expectedParts[2] = all.substr(folderEnd, dot - folderEnd);
    expectedParts[3] = all.substr(dot);
  }
  size_t limits[4] = {3, 256, 256, 256};
  std::unique_ptr<char16_t[]> wideParts[4];
  std::unique_ptr<char[]> narrowParts[4];
  size_t capacity[4] = {0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    if (capacities[k] == 0xFF) continue;
    capacity[k] = capacities[k] * size_t{5} % 301;
    wideParts[k] = Buffer<char16_t>(capacity[k]);
    narrowParts[k] = Buffer<char>(capacity[k]);
    fits = fits && expectedParts[k].size() + 1 <= std::min(capacity[k], limits[k]);
  }
  SplitPathWide({wideParts[0].get(), capacity[0], wideParts[1].get(), capacity[1], wideParts[2].get(), capacity[2],
                 wideParts[3].get(), capacity[3]},
                path.c_str());
  SplitPathNarrow({narrowParts[0].get(), capacity[0], narrowParts[1].get(), capacity[1], narrowParts[2].get(),
                   capacity[2], narrowParts[3].get(), capacity[3]},
                  path.c_str());
  const char16_t* reference[4] = {drive, folder, base, extension};
  for (int k = 0; k < 4; ++k) {
    if (!wideParts[k] || capacity[k] == 0) continue;
    std::u16string got = wideParts[k].get();
    FUZZ_CHECK(got == (fits ? expectedParts[k] : std::u16string()), "split part " + std::to_string(k));
    // The narrow split converts each full-size part to UTF-8 on its own.
    std::string utf8 = Narrow(reference[k]);
    std::string narrowGot = narrowParts[k].get();
    FUZZ_CHECK(narrowGot == (utf8.size() + 1 <= capacity[k] ? utf8 : std::string()), "narrow split part " + std::to_string(k));
  }
}

void CheckFormat(const std::string& first, const std::string& second, size_t capacity) {
  auto buffer = Buffer<char>(capacity);
  int32_t written = FormatNarrow(buffer.get(), capacity, "%s-%%-%s", first.c_str(), second.c_str());
  std::string expected = first + "-%-" + second;
  if (capacity == 0) {
    FUZZ_CHECK(written == -1, "format into no room");
  } else if (expected.size() + 1 <= capacity) {
    FUZZ_CHECK(written == static_cast<int32_t>(expected.size()) && buffer.get() == expected, "format result");
  } else {
    FUZZ_CHECK(written == -1 && buffer[0] == 0, "format that does not fit");
  }
  FUZZ_CHECK(FormatNarrow(buffer.get(), capacity, "%d", first.c_str()) == -1, "unknown conversion accepted");
  auto copy = Buffer<char>(capacity);
  char* copied = CopyNarrow(copy.get(), capacity, first.c_str());
  if (first.size() + 1 <= capacity) {
    FUZZ_CHECK(copied == copy.get() && first == copy.get(), "CopyNarrow");
  } else {
    FUZZ_CHECK(copied == nullptr && (capacity == 0 || copy[0] == 0), "CopyNarrow that does not fit");
  }
  int order = CompareNarrow(first.c_str(), second.c_str());
  std::basic_string<unsigned char> a(first.begin(), first.end()), b(second.begin(), second.end());
  int expectedOrder = a < b ? -1 : (a == b ? 0 : 1);
  FUZZ_CHECK(order == expectedOrder, "CompareNarrow");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader reader(data, size);
  size_t narrowCapacity = reader.U8();
  size_t wideCapacity = reader.U8();
  uint8_t splitCapacities[4] = {reader.U8(), reader.U8(), reader.U8(), reader.U8()};
  uint32_t code = reader.U32();
  // Codes near the interesting ones more often than not.
  if ((code & 0x80000000u) == 0) code &= 0xFFFF;
  std::string_view rest = reader.Rest();
  std::string text(rest.substr(0, rest.find('\0')));
  std::u16string wide;
  for (size_t i = 0; i + 1 < rest.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(static_cast<uint8_t>(rest[i]) | static_cast<uint8_t>(rest[i + 1]) << 8);
    if (unit == 0) break;
    wide.push_back(unit);
  }

  int32_t encoding = DetectEncoding(text.c_str());
  CheckDetect(text, encoding);
  CheckConversions(text, encoding, narrowCapacity, wideCapacity);
  CheckWide(wide, narrowCapacity);
  CheckLower(text, encoding);
  CheckFind(text, code, encoding);
  CheckSplit(text, splitCapacities);
  size_t half = text.size() / 2;
  CheckFormat(text.substr(0, half), text.substr(half), narrowCapacity);
  return 0;
}
