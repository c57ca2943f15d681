// The uninstall list: parsing its text, writing names back, and merging a
// run's names into the list file in a scratch folder.
//
// Input: a control byte, a length byte and that many bytes of run names
// (split at zero bytes and '|', at most 7), then the list file's bytes.
// Control bit 0: the file is there; bit 1: it is read-only; bit 2: the run
// names are taken as UTF-8 rather than in the detected encoding.
//
// Oracles: the parsed names are in normal form (not empty, no leading
// blank, no ASCII capitals, '$' names in their own list), each once; the
// written list parses back to the same names; a merge either fails and
// leaves the file as it was, or rewrites it to exactly the old names
// followed by the run's new ones, one per LF-ended line and a final zero
// byte, keeping the read-only attribute; the sibling never stays behind.
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "install/uninstall_list.h"
#include "tests/fuzz/fuzz_support.h"
#include "text/text_codec.h"

namespace fs = std::filesystem;

namespace {

void CheckNames(const UninstallNames& names, bool dollar) {
  std::unordered_set<std::string> seen;
  for (const std::string& name : names) {
    FUZZ_CHECK(!name.empty(), "an empty name");
    FUZZ_CHECK(name.find('\0') == std::string::npos, "a zero byte inside a name");
    FUZZ_CHECK(name[0] != ' ' && name[0] != '\t', "a name with a leading blank: " + fuzz::Hex(name));
    FUZZ_CHECK((name[0] == '$') == dollar, "a name in the wrong list: " + fuzz::Hex(name));
    std::string lowered = name;
    LowerCaseNarrow(lowered.data());
    FUZZ_CHECK(lowered == name, "a name not in lower case: " + fuzz::Hex(name));
    FUZZ_CHECK(seen.insert(name).second, "a name listed twice: " + fuzz::Hex(name));
  }
}

std::string Joined(const UninstallNames& plain, const UninstallNames& dollar) {
  std::string text;
  for (const UninstallNames* list : {&plain, &dollar}) {
    for (const std::string& name : *list) text += name + "\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path folder = fuzz::ScratchRoot() / "game";
  static const fs::path written = fuzz::ScratchRoot() / "written.lst";
  fuzz::Reader reader(data, size);
  uint8_t control = reader.U8();
  std::string_view nameBytes = reader.Bytes(reader.U8());
  std::string fileBytes(reader.Rest());
  std::string text = fileBytes.substr(0, fileBytes.find('\0'));

  // Parsing.
  UninstallNames plain;
  UninstallNames dollar;
  bool parsed = ParseUninstallList(text.c_str(), &plain, &dollar);
  if (parsed) {
    CheckNames(plain, false);
    CheckNames(dollar, true);
    // Written back, the names read as they were.
    FUZZ_CHECK(WriteUninstallList(fuzz::Core(written).c_str(), plain, dollar), "cannot write the list");
    std::vector<uint8_t> back = fuzz::ReadWhole(written);
    std::string expected = Joined(plain, dollar);
    FUZZ_CHECK(back.size() == expected.size() + 1 && back.back() == 0 &&
                   std::memcmp(back.data(), expected.data(), expected.size()) == 0,
               "the written list is not its names, one per line, and a zero byte");
    UninstallNames plainAgain;
    UninstallNames dollarAgain;
    FUZZ_CHECK(ParseUninstallList(expected.c_str(), &plainAgain, &dollarAgain), "the written list does not parse");
    // Only names that are well-formed UTF-8 without a line break can read
    // back as one line each. A line's walk takes bytes as the character its
    // class says, so a name may keep a CR or LF as the second byte of a
    // code page 932 character led by 0xFF (which the conversion then splits
    // off), and a line classed UTF-8 by its first sequences is copied as it
    // is: a malformed sequence at its end takes the written LF as a
    // continuation byte when read back.
    bool readsBack = true;
    for (const UninstallNames* list : {&plain, &dollar}) {
      for (const std::string& name : *list) {
        readsBack = readsBack && fuzz::IsValidUtf8(name) && name.find_first_of("\r\n") == std::string::npos;
      }
    }
    if (readsBack) {
      FUZZ_CHECK(plainAgain == plain && dollarAgain == dollar,
                 "the written list reads back as other names: " + fuzz::Hex(expected));
    }
  }

  // The run's names.
  std::vector<std::u16string> runNames;
  size_t start = 0;
  for (size_t i = 0; i <= nameBytes.size() && runNames.size() < 7; ++i) {
    if (i < nameBytes.size() && nameBytes[i] != '\0' && nameBytes[i] != '|') continue;
    std::string name(nameBytes.substr(start, i - start));
    start = i + 1;
    if (name.empty()) continue;
    std::unique_ptr<char16_t[]> wide;
    if ((control & 4) != 0) {
      // Forced UTF-8 goes through the text operations' own UTF-8 reading.
      std::unique_ptr<char[]> utf8 = RecodeNarrow(name.c_str(), TARGET_UTF8);
      if (utf8) wide = NarrowToWide(utf8.get());
    } else {
      wide = NarrowToWide(name.c_str());
    }
    if (wide && wide[0] != 0) runNames.emplace_back(wide.get());
  }
  std::vector<const char16_t*> namePointers;
  for (const std::u16string& name : runNames) namePointers.push_back(name.c_str());
  namePointers.push_back(nullptr);

  // Merging into the file.
  fuzz::ResetFolder(folder);
  fs::path list = folder / "uninst.lst";
  bool present = (control & 1) != 0;
  bool readOnly = present && (control & 2) != 0;
  if (present) fuzz::WriteWhole(list, fileBytes.data(), fileBytes.size());
  if (readOnly) fuzz::SetReadOnly(list);
  bool merged = MergeUninstallList(fuzz::Core(folder).c_str(), namePointers.data());
  FUZZ_CHECK(!fuzz::Exists(folder / "uninst.lst.new"), "the merge left its sibling behind");
  if (!present) {
    FUZZ_CHECK(!merged && !fuzz::Exists(list), "a missing list was created");
    return 0;
  }
  std::vector<uint8_t> after = fuzz::ReadWhole(list);
  FUZZ_CHECK(fuzz::IsReadOnly(list) == readOnly, "the list's read-only attribute changed");
  if (!merged) {
    FUZZ_CHECK(std::string(after.begin(), after.end()) == fileBytes, "a failed merge changed the list");
    FUZZ_CHECK(fileBytes.empty() || readOnly || !parsed, "a readable list was not merged");
    return 0;
  }
  FUZZ_CHECK(!fileBytes.empty() && parsed && !readOnly, "an empty, unparsable or read-only list was rewritten");
  // The old names, then the run's names that were not among the plain ones.
  std::unordered_set<std::string> listed(plain.begin(), plain.end());
  for (const std::u16string& name : runNames) {
    std::unique_ptr<char[]> narrow = WideToNarrow(name.c_str(), TARGET_UTF8);
    FUZZ_CHECK(narrow != nullptr, "a run name that does not convert was merged");
    LowerCaseNarrow(narrow.get());
    if (listed.insert(narrow.get()).second) plain.emplace_back(narrow.get());
  }
  std::string expected = Joined(plain, dollar);
  expected.push_back('\0');
  FUZZ_CHECK(std::string(after.begin(), after.end()) == expected,
             "merged list " + fuzz::Hex(std::string(after.begin(), after.end())) + " expected " + fuzz::Hex(expected));
  return 0;
}
