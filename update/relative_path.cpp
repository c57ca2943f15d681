#include "update/relative_path.h"

#include <memory>

#include "text/text_codec.h"

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

// DOS device names stay devices whatever extension follows them.
bool IsDeviceName(const std::u16string& component) {
  std::u16string stem = component.substr(0, component.find(u'.'));
  for (char16_t& c : stem) c = Upper(c);
  if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL") return true;
  return stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0) &&
         stem[3] >= u'1' && stem[3] <= u'9';
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
  if (name.empty() || IsSeparator(name.front())) return false;
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
  std::unique_ptr<char[]> narrow = WideToNarrow(name.c_str(), TARGET_UTF8);
  if (!narrow) return {};
  LowerCaseNarrow(narrow.get());
  std::string normal = narrow.get();
  for (char& c : normal) {
    if (c == '/') c = '\\';
  }
  return normal;
}
