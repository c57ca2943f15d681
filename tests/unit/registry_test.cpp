// The registry calls of the platform layer keep RegOpenKeyExW's and
// RegQueryValueExW's results on both layers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  std::u16string Key() const { return u"Software\\" + registry.Publisher() + u"\\Game"; }

  // Opens a key that must exist.
  OsRegKey Open(const std::u16string& subkey) {
    OsRegKey key = 0;
    EXPECT_EQ(OsRegOpenLocalMachineKey(subkey.c_str(), OS_KEY_READ, &key), OS_ERROR_SUCCESS);
    return key;
  }

  RegistryFixture registry;
};

TEST_F(RegistryTest, OpensExistingKeysAndTheKeysAboveThem) {
  OsRegKey key = 0;
  EXPECT_EQ(OsRegOpenLocalMachineKey(Key().c_str(), OS_KEY_READ, &key), OS_ERROR_FILE_NOT_FOUND);

  registry.SetValue(Key(), u"v", OS_REG_DWORD, {1, 2, 3, 4});
  const std::u16string opened[] = {Key(), u"Software\\" + registry.Publisher(), u"SOFTWARE\\" + registry.Publisher()};
  for (const std::u16string& subkey : opened) {
    ASSERT_EQ(OsRegOpenLocalMachineKey(subkey.c_str(), OS_KEY_READ, &key), OS_ERROR_SUCCESS);
    EXPECT_EQ(OsRegCloseKey(key), OS_ERROR_SUCCESS);
  }
  const std::u16string missing[] = {Key() + u"\\Below", u"Software\\" + registry.Publisher() + u"\\Gam",
                                    u"Software\\" + registry.Publisher() + u"\\Game2"};
  for (const std::u16string& subkey : missing) {
    EXPECT_EQ(OsRegOpenLocalMachineKey(subkey.c_str(), OS_KEY_READ, &key), OS_ERROR_FILE_NOT_FOUND);
  }
}

TEST_F(RegistryTest, QueriesGiveTypeSizeAndExactBytes) {
  const std::vector<uint8_t> bytes = {'C', 0, ':', 0, '\\', 0};  // a string without its terminator
  registry.SetValue(Key(), u"Folder", OS_REG_SZ, bytes);
  registry.SetValue(Key(), u"", OS_REG_EXPAND_SZ, RegistryString(u"%TEMP%"));
  registry.SetValue(Key(), u"Empty", OS_REG_BINARY, {});
  OsRegKey key = Open(Key());

  uint32_t type = 99;
  uint32_t size = 0;
  EXPECT_EQ(OsRegQueryValue(key, u"Folder", &type, nullptr, &size), OS_ERROR_SUCCESS) << "size only";
  EXPECT_EQ(type, OS_REG_SZ);
  EXPECT_EQ(size, 6u);

  uint8_t buffer[16];
  std::memset(buffer, 0xAA, sizeof buffer);
  size = 6;
  EXPECT_EQ(OsRegQueryValue(key, u"fOLDER", &type, buffer, &size), OS_ERROR_SUCCESS) << "exact fit, any case";
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), (std::vector<uint8_t>{'C', 0, ':', 0, '\\', 0, 0xAA, 0xAA}))
      << "no terminator added";

  // Windows ends an unterminated string when the buffer has room, without
  // counting the zero.
  std::memset(buffer, 0xAA, sizeof buffer);
  size = 9;
  EXPECT_EQ(OsRegQueryValue(key, u"Folder", &type, buffer, &size), OS_ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 10), (std::vector<uint8_t>{'C', 0, ':', 0, '\\', 0, 0, 0, 0xAA, 0xAA}));

  size = 5;
  EXPECT_EQ(OsRegQueryValue(key, u"Folder", nullptr, buffer, &size), OS_ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u) << "the size it needs";

  std::memset(buffer, 0xAA, sizeof buffer);
  size = sizeof buffer;
  EXPECT_EQ(OsRegQueryValue(key, nullptr, &type, buffer, &size), OS_ERROR_SUCCESS) << "the default value";
  EXPECT_EQ(type, OS_REG_EXPAND_SZ);
  std::vector<uint8_t> expected = RegistryString(u"%TEMP%");
  expected.insert(expected.end(), {0xAA, 0xAA});
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size + 2), expected) << "a terminated string gets nothing more";

  size = sizeof buffer;
  EXPECT_EQ(OsRegQueryValue(key, u"Empty", &type, buffer, &size), OS_ERROR_SUCCESS);
  EXPECT_EQ(type, OS_REG_BINARY);
  EXPECT_EQ(size, 0u);

  size = sizeof buffer;
  EXPECT_EQ(OsRegQueryValue(key, u"Missing", &type, buffer, &size), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OsRegCloseKey(key), OS_ERROR_SUCCESS);
}

TEST_F(RegistryTest, LargeValuesComeBackWhole) {
  std::vector<uint8_t> large(20000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  registry.SetValue(Key(), u"Large", OS_REG_BINARY, large);
  OsRegKey key = Open(Key());
  std::vector<uint8_t> buffer(8192);
  uint32_t size = 8192;
  EXPECT_EQ(OsRegQueryValue(key, u"Large", nullptr, buffer.data(), &size), OS_ERROR_MORE_DATA);
  EXPECT_EQ(size, 20000u);
  buffer.resize(size);
  EXPECT_EQ(OsRegQueryValue(key, u"Large", nullptr, buffer.data(), &size), OS_ERROR_SUCCESS);
  EXPECT_EQ(buffer, large);
  EXPECT_EQ(OsRegCloseKey(key), OS_ERROR_SUCCESS);
}

// The values the program keeps for itself (the commit's journal): stored,
// read back whole and removed; and, once every user may change the place
// they are kept, neither believed nor written.
TEST_F(RegistryTest, ProtectedValuesAreTrustedOnlyWhereOthersCannotWriteThem) {
  const std::u16string subkey = u"Software\\" + registry.Publisher() + u"\\Kept";
  std::vector<uint8_t> bytes(70000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(OsRegWriteProtectedValue(subkey.c_str(), u"Journal A", bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
  std::vector<uint8_t> read;
  ASSERT_EQ(OsRegReadProtectedValue(subkey.c_str(), u"journal a", &read), 0u) << "names compare without case";
  EXPECT_EQ(read, bytes);
  EXPECT_EQ(OsRegReadProtectedValue(subkey.c_str(), u"Journal B", &read), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(read.empty());
  EXPECT_EQ(OsRegDeleteProtectedValue(subkey.c_str(), u"Journal A"), 0u);
  EXPECT_EQ(OsRegReadProtectedValue(subkey.c_str(), u"Journal A", &read), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OsRegDeleteProtectedValue(subkey.c_str(), u"Journal A"), 0u) << "a missing value is no failure";

  ASSERT_EQ(OsRegWriteProtectedValue(subkey.c_str(), u"Journal A", bytes.data(), 16), 0u);
  if (!registry.LetEveryoneChange(subkey)) GTEST_SKIP() << "the key's protection cannot be changed here";
  EXPECT_EQ(OsRegReadProtectedValue(subkey.c_str(), u"Journal A", &read), OS_ERROR_INVALID_OWNER);
  EXPECT_TRUE(read.empty());
  EXPECT_EQ(OsRegWriteProtectedValue(subkey.c_str(), u"Journal A", bytes.data(), 16), OS_ERROR_INVALID_OWNER);
}

}  // namespace
