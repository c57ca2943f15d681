// The payload container's directory, read from a patch image whose payload
// is the fuzz input, and the run's planning of its entries.
//
// Oracles: the reader's verdict against an independent reading of the same
// bytes (a count above 32, a short header or directory, a name without its
// terminator, an entry past 4 GiB are refused; anything else is accepted
// with exactly the records in the bytes); every entry's bytes as the reader
// positions and reads them against the input; and every planned name stays
// inside the install folder, names no device and is planned once.
#include <cstring>
#include <string>
#include <vector>

#include "payload/byte_order.h"
#include "payload/payload_container.h"
#include "tests/fuzz/fuzz_support.h"
#include "text/text_codec.h"
#include "update/payload_plan.h"
#include "update/relative_path.h"

namespace fs = std::filesystem;

namespace {

// The container's bytes read the way the layout describes them, with no
// code of the reader's.
struct Expected {
  UpdateResult verdict = UPDATE_OK;
  bool longLayout = false;
  uint32_t count = 0;
  uint32_t recordSize = 0;
  uint32_t nameSize = 0;
};

Expected ReadIndependently(const uint8_t* data, size_t size) {
  Expected expected;
  if (size < 16) {
    expected.verdict = UPDATE_E_PAYLOAD;
    return expected;
  }
  expected.count = LoadLe32(data + 12);
  if (expected.count > 32) {
    expected.verdict = UPDATE_E_TOO_MANY_ENTRIES;
    return expected;
  }
  expected.longLayout = std::memcmp(data, "VORNAK ARC20", 12) == 0;
  expected.recordSize = expected.longLayout ? 128 : 32;
  expected.nameSize = expected.longLayout ? 96 : 16;
  uint64_t directoryEnd = 16 + uint64_t{expected.count} * expected.recordSize;
  if (size < directoryEnd) {
    expected.verdict = UPDATE_E_PAYLOAD;
    return expected;
  }
  uint64_t dataArea = 0x100000 + directoryEnd;
  for (uint32_t i = 0; i < expected.count; ++i) {
    const uint8_t* record = data + 16 + size_t{i} * expected.recordSize;
    if (std::memchr(record, 0, expected.nameSize) == nullptr) expected.verdict = UPDATE_E_PAYLOAD;
    uint64_t end = dataArea + LoadLe32(record + expected.nameSize) + LoadLe32(record + expected.nameSize + 4);
    if (end > 0x100000000ull) expected.verdict = UPDATE_E_PAYLOAD;
  }
  return expected;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::u16string UpperAscii(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  }
  return text;
}

// What a name the run writes must never be, checked component by
// component without the run's code: a way out of the folder, a drive or a
// stream, a device, or one of the run's own files.
std::string WhyUnsafe(const std::u16string& name) {
  if (name.empty()) return "empty";
  if (IsSeparator(name.front())) return "absolute";
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparator(name[i])) continue;
    std::u16string component = name.substr(start, i - start);
    start = i + 1;
    if (component.empty() || component == u"." || component == u"..") return "empty, . or .. component";
    for (char16_t c : component) {
      if (c < 0x20 || c == u':' || c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'|' || c == u'"') {
        return "character Windows refuses";
      }
    }
    if (component.back() == u'.' || component.back() == u' ') return "ends in a dot or space";
    std::u16string stem = UpperAscii(component.substr(0, component.find(u'.')));
    while (!stem.empty() && stem.back() == u' ') stem.pop_back();
    for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
      if (stem == device) return "device";
    }
    if (stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0)) {
      char16_t digit = stem[3];
      if ((digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3') {
        return "device";
      }
    }
    if (UpperAscii(component).find(u".LUMETRIA-BAK") != std::u16string::npos) return "backup marker";
  }
  std::u16string upper = UpperAscii(name);
  for (const char16_t* own : {u"LUMETRIA-PATCH.JOURNAL", u"TLM.HVL.NEW", u"UNINST.LST.NEW"}) {
    if (upper == own) return "a file of the run's own";
  }
  return {};
}

std::string Lowered(const char* text) {
  std::string lowered = text;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return lowered;
}

std::string FinalComponent(const std::string& name) {
  size_t separator = name.find_last_of("\\/");
  return separator == std::string::npos ? name : name.substr(separator + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path image = [] {
    fs::path path = fuzz::ScratchRoot() / "patch.exe";
    fuzz::WriteAt(path, 0, "MZ", 2);
    return path;
  }();
  fuzz::WriteAt(image, kPayloadOffset, data, size);

  Expected expected = ReadIndependently(data, size);
  PayloadContainer container;
  UpdateResult verdict = container.Open(fuzz::Core(image).c_str());
  FUZZ_CHECK(verdict == expected.verdict,
             "Open gave " + std::to_string(verdict) + ", the bytes say " + std::to_string(expected.verdict));
  if (verdict != UPDATE_OK) {
    FUZZ_CHECK(container.EntryCount() == 0, "a refused container lists entries");
    return 0;
  }
  FUZZ_CHECK(container.EntryCount() == expected.count, "entry count");
  FUZZ_CHECK(container.IsLongLayout() == expected.longLayout, "layout");
  uint32_t dataArea = kPayloadOffset + kPayloadHeaderSize + expected.count * expected.recordSize;
  FUZZ_CHECK(container.DataAreaOffset() == dataArea, "data area offset");

  std::vector<uint8_t> read(4096);
  for (uint32_t i = 0; i < container.EntryCount(); ++i) {
    const uint8_t* record = data + 16 + size_t{i} * expected.recordSize;
    PayloadEntry entry = container.Entry(i);
    FUZZ_CHECK(std::strcmp(entry.name, reinterpret_cast<const char*>(record)) == 0, "entry name");
    FUZZ_CHECK(entry.offset == LoadLe32(record + expected.nameSize), "entry offset");
    FUZZ_CHECK(entry.size == LoadLe32(record + expected.nameSize + 4), "entry size");

    // The entry's first bytes as the run reads them: exactly the input's,
    // cut short only where the file ends.
    FUZZ_CHECK(container.PositionAt(i) == 1, "PositionAt failed for entry " + std::to_string(i));
    uint64_t start = uint64_t{dataArea} - kPayloadOffset + entry.offset;
    uint32_t wanted = entry.size < read.size() ? entry.size : static_cast<uint32_t>(read.size());
    uint64_t inInput = start < size ? size - start : 0;
    uint32_t expectGot = inInput < wanted ? static_cast<uint32_t>(inInput) : wanted;
    uint32_t got = container.ReadNext(read.data(), wanted);
    FUZZ_CHECK(got == expectGot, "entry " + std::to_string(i) + " read " + std::to_string(got) + " bytes, " +
                                     std::to_string(expectGot) + " are there");
    FUZZ_CHECK(got == 0 || std::memcmp(read.data(), data + start, got) == 0, "entry bytes differ from the file's");
  }
  FUZZ_CHECK(container.PositionAt(container.EntryCount()) == 0, "PositionAt past the last entry");

  // The run's planning of the entries: whatever it accepts must be safe to
  // write, and each file planned once.
  HashListTable hashes;
  if (!LoadPayloadHashList(container, &hashes)) return 0;
  std::vector<PlannedEntry> plans;
  uint32_t bad = 0;
  PlanProblem problem = PlanPayloadEntries(container, hashes, &plans, &bad);
  if (problem == PlanProblem::None) {
    FUZZ_CHECK(plans.size() == container.EntryCount(), "an accepted payload with entries left out");
  } else {
    FUZZ_CHECK(bad < container.EntryCount() && plans.size() == bad, "refused entry index");
  }
  std::vector<std::string> normal;
  for (const PlannedEntry& plan : plans) {
    std::string why = WhyUnsafe(plan.name);
    std::unique_ptr<char[]> utf8 = WideToNarrow(plan.name.c_str(), TARGET_UTF8);
    FUZZ_CHECK(why.empty(), "planned name " + fuzz::Hex(utf8 ? utf8.get() : "") + "is unsafe: " + why);
    FUZZ_CHECK(IsSafeRelativeName(plan.name), "a planned name the name check refuses");
    std::string key = NormalRelativeName(plan.name);
    for (char& c : key) c = c == '/' ? '\\' : c;
    for (const std::string& other : normal) FUZZ_CHECK(other != key, "one file planned twice: " + fuzz::Hex(key));
    normal.push_back(key);
    if (plan.record != nullptr) {
      // The record verifies the entry whose stored name is its final
      // component, in any case of ASCII letters.
      std::unique_ptr<char[]> stored = RecodeNarrow(plan.entry.name, TARGET_UTF8);
      FUZZ_CHECK(stored != nullptr, "record found for a name that does not convert");
      if (DetectEncoding(plan.record->name) == ENCODING_ASCII && DetectEncoding(stored.get()) == ENCODING_ASCII) {
        FUZZ_CHECK(Lowered(FinalComponent(plan.record->name).c_str()) == Lowered(stored.get()),
                   "record " + fuzz::Hex(plan.record->name) + "for entry " + fuzz::Hex(stored.get()));
      }
    }
  }
  return 0;
}
