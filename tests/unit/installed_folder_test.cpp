// The install-folder lookup against values stored in the platform's
// registry: the real one under Wine, the .reg stand-in natively.
#include <gtest/gtest.h>

#include <optional>

#include "install/installed_folder.h"
#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace {

constexpr char16_t kTitle[] = u"Lumetria";
constexpr size_t kStartUpCapacity = 780;

std::u16string Repeat(char16_t unit, size_t count) { return std::u16string(count, unit); }

class InstalledFolderTest : public ::testing::Test {
 protected:
  std::u16string Key() const { return u"Software\\" + registry.Publisher() + u"\\" + kTitle; }

  // Runs the lookup into a buffer full of a marker, so that what it leaves
  // behind shows; the folder when the result is 1, else nothing (and then
  // the buffer must be untouched).
  std::optional<std::u16string> Lookup(size_t capacity = kStartUpCapacity) {
    std::vector<char16_t> buffer(capacity + 1, u'#');
    int32_t result = GetInstalledFolder(buffer.data(), capacity, registry.Publisher().c_str(), kTitle);
    EXPECT_TRUE(result == 0 || result == 1) << result;
    if (result == 1) return std::u16string(buffer.data());
    EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()), Repeat(u'#', capacity + 1)) << "buffer changed on failure";
    return std::nullopt;
  }

  RegistryFixture registry;
};

TEST_F(InstalledFolderTest, ReadsTheValueAndRemovesOnePairOfSurroundingQuotes) {
  struct Case {
    const char* what;
    uint32_t type;
    std::vector<uint8_t> data;
    std::optional<std::u16string> folder;  // nothing: result 0
    size_t capacity = kStartUpCapacity;
  };
  const std::u16string longest = u"C:\\" + Repeat(u'a', 776);  // 779 characters
  const Case cases[] = {
      {"plain folder", OS_REG_SZ, RegistryString(u"C:\\Games\\Lumetria"), u"C:\\Games\\Lumetria"},
      {"Japanese folder", OS_REG_SZ, RegistryString(u"D:\\ゲーム\\ルメトリア"), u"D:\\ゲーム\\ルメトリア"},
      {"trailing backslash kept", OS_REG_SZ, RegistryString(u"C:\\Games\\"), u"C:\\Games\\"},
      {"blanks kept", OS_REG_SZ, RegistryString(u" C:\\Games "), u" C:\\Games "},
      {"variables not expanded", OS_REG_SZ, RegistryString(u"%ProgramFiles%\\L"), u"%ProgramFiles%\\L"},
      {"one pair of quotes", OS_REG_SZ, RegistryString(u"\"C:\\Games\""), u"C:\\Games"},
      {"quotes inside kept", OS_REG_SZ, RegistryString(u"\"C:\\a\"b\""), u"C:\\a\"b"},
      {"two pairs keep the inner", OS_REG_SZ, RegistryString(u"\"\"C:\\Games\"\""), u"\"C:\\Games\""},
      {"only leading quote", OS_REG_SZ, RegistryString(u"\"C:\\Games"), u"\"C:\\Games"},
      {"only trailing quote", OS_REG_SZ, RegistryString(u"C:\\Games\""), u"C:\\Games\""},
      {"just a pair of quotes", OS_REG_SZ, RegistryString(u"\"\""), u""},
      {"a lone quote", OS_REG_SZ, RegistryString(u"\""), u"\""},
      {"empty value", OS_REG_SZ, RegistryString(u""), u""},
      {"no bytes at all", OS_REG_SZ, {}, u""},
      {"ends at its first zero", OS_REG_SZ, RegistryString(u"C:\\A" + std::u16string(1, u'\0') + u"junk"), u"C:\\A"},
      // The working buffer still holds the subkey behind a value without a
      // terminator; none of it may show.
      {"no terminator", OS_REG_SZ, RegistryString(u"D:\\G", false), u"D:\\G"},
      {"no terminator, quoted", OS_REG_SZ, RegistryString(u"\"D:\\G\"", false), u"D:\\G"},
      // Without room behind the value the query cannot end it either.
      {"no terminator, filling the working buffer", OS_REG_SZ, RegistryString(Repeat(u'y', 4096), false),
       Repeat(u'y', 4096), 4097},
      {"odd byte count", OS_REG_SZ, {'C', 0, ':', 0, 'x'}, u"C:"},
      {"779 characters fit", OS_REG_SZ, RegistryString(longest), longest},
      {"780 characters are refused, not cut", OS_REG_SZ, RegistryString(longest + u"b"), std::nullopt},
      {"quotes do not count against the buffer", OS_REG_SZ, RegistryString(u"\"" + longest + u"\""), longest},
      {"capacity of one takes the empty folder", OS_REG_SZ, RegistryString(u""), u"", 1},
      {"capacity of one refuses anything more", OS_REG_SZ, RegistryString(u"C"), std::nullopt, 1},
      {"8192 bytes are read", OS_REG_SZ, RegistryString(Repeat(u'x', 4095)), Repeat(u'x', 4095), 4096},
      {"8194 bytes are not", OS_REG_SZ, RegistryString(Repeat(u'x', 4096)), std::nullopt, 8192},
      {"REG_EXPAND_SZ", OS_REG_EXPAND_SZ, RegistryString(u"C:\\Games"), std::nullopt},
      {"REG_MULTI_SZ", OS_REG_MULTI_SZ, RegistryString(std::u16string(u"C:\\Games") + u'\0'), std::nullopt},
      {"REG_BINARY", OS_REG_BINARY, RegistryString(u"C:\\Games"), std::nullopt},
      {"REG_DWORD", OS_REG_DWORD, {1, 0, 0, 0}, std::nullopt},
      {"REG_NONE", OS_REG_NONE, RegistryString(u"C:\\Games"), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    registry.SetValue(Key(), kInstalledFolderValueName, c.type, c.data);
    EXPECT_EQ(Lookup(c.capacity), c.folder);
  }
}

TEST_F(InstalledFolderTest, MissingKeysAndValuesGiveZero) {
  EXPECT_EQ(Lookup(), std::nullopt) << "no key";

  registry.CreateKey(u"Software\\" + registry.Publisher());
  EXPECT_EQ(Lookup(), std::nullopt) << "only the publisher's key";

  registry.SetValue(Key(), u"InstallFolder", OS_REG_SZ, RegistryString(u"C:\\Games"));
  registry.SetValue(Key(), u"", OS_REG_SZ, RegistryString(u"C:\\Games"));
  EXPECT_EQ(Lookup(), std::nullopt) << "other values only";

  registry.SetValue(u"Software\\" + registry.Publisher() + u"\\Other", kInstalledFolderValueName, OS_REG_SZ,
                    RegistryString(u"C:\\Games"));
  EXPECT_EQ(Lookup(), std::nullopt) << "the value under another title";
}

TEST_F(InstalledFolderTest, KeyAndValueNamesIgnoreCase) {
  std::u16string shouted = u"SOFTWARE\\" + registry.Publisher() + u"\\LUMETRIA";
  for (char16_t& unit : shouted) {
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  }
  registry.SetValue(shouted, u"INSTALLEDFOLDER", OS_REG_SZ, RegistryString(u"C:\\Games"));
  EXPECT_EQ(Lookup(), u"C:\\Games");
}

TEST_F(InstalledFolderTest, MissingArgumentsGiveZeroWithoutTouchingTheBuffer) {
  registry.SetValue(Key(), kInstalledFolderValueName, OS_REG_SZ, RegistryString(u"C:\\Games"));
  char16_t buffer[16] = u"marker";
  EXPECT_EQ(GetInstalledFolder(buffer, 16, nullptr, kTitle), 0);
  EXPECT_EQ(GetInstalledFolder(buffer, 16, registry.Publisher().c_str(), nullptr), 0);
  EXPECT_EQ(std::u16string(buffer), u"marker");
  EXPECT_EQ(GetInstalledFolder(buffer, 16, registry.Publisher().c_str(), kTitle), 1) << "the value is there";
  EXPECT_EQ(std::u16string(buffer), u"C:\\Games");
}

TEST_F(InstalledFolderTest, NamesTooLongForTheWorkingBufferGiveZero) {
  registry.SetValue(Key(), kInstalledFolderValueName, OS_REG_SZ, RegistryString(u"C:\\Games"));
  std::u16string title(4096, u'T');
  char16_t buffer[8] = u"marker";
  EXPECT_EQ(GetInstalledFolder(buffer, 8, registry.Publisher().c_str(), title.c_str()), 0);
  EXPECT_EQ(std::u16string(buffer), u"marker");
}

}  // namespace
