// The parts of the registry fixture that both platforms share.
#include <random>

#include "tests/support/registry_fixture.h"

std::vector<uint8_t> RegistryString(const std::u16string& text, bool terminated) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// Parallel test processes share a Wine prefix, and with it the registry.
std::u16string UniqueRegistryPublisher() {
  std::random_device seed;
  std::u16string name = u"LumetriaTest ";
  for (int i = 0; i < 12; ++i) name += static_cast<char16_t>(u'a' + seed() % 26);
  return name;
}
