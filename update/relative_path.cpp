#include "update/relative_path.h"

#include <memory>

#include "install/uninstall_list.h"
#include "payload/hash_list.h"
#include "platform/name_case.h"
#include "text/text_codec.h"
#include "update/journal.h"

std::string NormalRelativeName(const std::u16string& name);

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

// A digit as Windows reads it after COM or LPT: 0-9 and the superscripts
// ¹ ² ³, which it takes for 1, 2 and 3.
bool IsDeviceDigit(char16_t c) { return (c >= u'0' && c <= u'9') || c == u'\u00B9' || c == u'\u00B2' || c == u'\u00B3'; }

// DOS device names stay devices whatever extension follows them, and
// whatever spaces end the part before it.
bool IsDeviceName(const std::u16string& component) {
  std::u16string stem = component.substr(0, component.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.pop_back();
  for (char16_t& c : stem) c = Upper(c);
  if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL" || stem == u"CONIN$" ||
      stem == u"CONOUT$") {
    return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0) &&
         IsDeviceDigit(stem[3]);
}

// The files the run itself writes into the install folder: a payload entry
// of one of these names would be overwritten or renamed away by the run.
bool IsNameOfTheRun(const std::u16string& name) {
  std::string normal = NormalRelativeName(name);
  for (const char16_t* own : {kJournalFileName, kHashListSiblingName, kUninstallListSiblingName}) {
    std::u16string ownName = own;
    if (normal == NormalRelativeName(ownName)) return true;
  }
  return false;
}

bool IsSafeComponent(const std::u16string& component) {
  if (component.empty() || component == u"." || component == u"..") return false;
  for (char16_t c : component) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*') {
      return false;
    }
  }
  char16_t last = component.back();
  if (last == u'.' || last == u' ') return false;
  std::u16string upper = component;
  for (char16_t& c : upper) c = Upper(c);
  std::u16string marker = kBackupMarker;
  for (char16_t& c : marker) c = Upper(c);
  if (upper.find(marker) != std::u16string::npos) return false;
  return !IsDeviceName(component);
}

}  // namespace

bool IsSafeRelativeName(const std::u16string& name) {
  if (name.empty() || IsSeparator(name.front()) || IsNameOfTheRun(name)) return false;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || IsSeparator(name[i])) {
      if (!IsSafeComponent(name.substr(start, i - start))) return false;
      start = i + 1;
    }
  }
  return true;
}

std::string NormalRelativeName(const std::u16string& name) {
  // Letters outside ASCII fold as Windows folds them in file names; ASCII
  // letters are lowered below, the form the callers have always compared.
  std::u16string folded = name;
  for (char16_t& unit : folded) {
    if (unit >= 0x80 && (unit < 0xD800 || unit > 0xDFFF)) unit = static_cast<char16_t>(OsFoldNameCase(unit));
  }
  std::unique_ptr<char[]> narrow = WideToNarrow(folded.c_str(), TARGET_UTF8);
  if (!narrow) return {};
  LowerCaseNarrow(narrow.get());
  std::string normal = narrow.get();
  for (char& c : normal) {
    if (c == '/') c = '\\';
  }
  return normal;
}
