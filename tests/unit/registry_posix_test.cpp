// The POSIX registry stand-in: the .reg files it reads, and those it refuses.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <optional>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/test_files.h"

namespace {

struct Read {
  uint32_t type;
  std::vector<uint8_t> data;
  friend bool operator==(const Read&, const Read&) = default;
};

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* previous = getenv(kPosixRegistryVariable);
    if (previous != nullptr) saved = previous;
    setenv(kPosixRegistryVariable, dir.Native("registry.reg").c_str(), 1);
  }
  void TearDown() override {
    if (saved) {
      setenv(kPosixRegistryVariable, saved->c_str(), 1);
    } else {
      unsetenv(kPosixRegistryVariable);
    }
  }

  void WriteRegistry(const std::string& text) { WriteFileBytes(dir.Native("registry.reg"), Bytes(text)); }

  uint32_t OpenStatus(const std::u16string& subkey) {
    OsRegKey key = 0;
    uint32_t status = OsRegOpenLocalMachineKey(subkey.c_str(), OS_KEY_READ, &key);
    if (status == OS_ERROR_SUCCESS) OsRegCloseKey(key);
    return status;
  }

  // A value of an existing key; nothing when the value is missing.
  std::optional<Read> Value(const std::u16string& subkey, const std::u16string& name) {
    OsRegKey key = 0;
    EXPECT_EQ(OsRegOpenLocalMachineKey(subkey.c_str(), OS_KEY_READ, &key), OS_ERROR_SUCCESS);
    if (key == 0) return std::nullopt;
    Read read{0, std::vector<uint8_t>(256)};
    uint32_t size = 256;
    uint32_t status = OsRegQueryValue(key, name.c_str(), &read.type, read.data.data(), &size);
    OsRegCloseKey(key);
    if (status != OS_ERROR_SUCCESS) return std::nullopt;
    read.data.resize(size);
    return read;
  }

  TempDir dir;
  std::optional<std::string> saved;
};

TEST_F(RegistryFileTest, ReadsEveryValueForm) {
  WriteRegistry(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\PELWIN SOFT\\Lumetria]\r\n"
      "\"InstalledFolder\"=\"C:\\\\Games\\\\\\\"ルメ\\\"\"\r\n"
      "@=\"default\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Blob\"=hex:01,02,ff\r\n"
      "\"Path\"=hex(2):25,00,54,00,\\\r\n"
      "  4d,00,50,00,25,00,00,00\r\n"
      "\"Bare\"=hex(1):41,00,42,00\r\n"
      "\"Empty\"=hex(0):\r\n"
      "\"Spaced\" = \"x\" \r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\PELWIN SOFT\\Lumetria]\r\n"
      "\"User\"=\"ignored\"\r\n");
  const std::u16string key = u"Software\\PELWIN SOFT\\Lumetria";
  struct Case {
    const char16_t* name;
    std::optional<Read> expected;
  };
  const Case cases[] = {
      {u"InstalledFolder", Read{OS_REG_SZ, RegistryString(u"C:\\Games\\\"ルメ\"")}},
      {u"", Read{OS_REG_SZ, RegistryString(u"default")}},
      {u"count", Read{OS_REG_DWORD, {0x2a, 0, 0, 0}}},
      {u"Blob", Read{OS_REG_BINARY, {1, 2, 0xff}}},
      {u"Path", Read{OS_REG_EXPAND_SZ, RegistryString(u"%TMP%")}},
      {u"Bare", Read{OS_REG_SZ, {'A', 0, 'B', 0}}},
      {u"Empty", Read{OS_REG_NONE, {}}},
      {u"Spaced", Read{OS_REG_SZ, RegistryString(u"x")}},
      {u"User", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
    EXPECT_EQ(Value(key, c.name), c.expected);
  }
  EXPECT_EQ(OpenStatus(u"software\\pelwin soft\\LUMETRIA"), OS_ERROR_SUCCESS);
  EXPECT_EQ(OpenStatus(u"Software"), OS_ERROR_SUCCESS) << "the keys on the way exist";
  EXPECT_EQ(OpenStatus(u""), OS_ERROR_SUCCESS) << "the root itself";
}

TEST_F(RegistryFileTest, LaterLinesOverrideAndRemove) {
  WriteRegistry(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\n"
      "\"v\"=\"first\"\n"
      "\"gone\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A\\Sub]\n"
      "\"w\"=\"y\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\B]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a]\n"
      "\"V\"=\"second\"\n"
      "\"gone\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\B]\n"
      "\"orphan\"=\"dropped\"\n");
  EXPECT_EQ(Value(u"Software\\A", u"v"), (Read{OS_REG_SZ, RegistryString(u"second")}));
  EXPECT_EQ(Value(u"Software\\A", u"gone"), std::nullopt);
  EXPECT_EQ(Value(u"Software\\A\\Sub", u"w"), (Read{OS_REG_SZ, RegistryString(u"y")}));
  EXPECT_EQ(OpenStatus(u"Software\\B"), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenStatus(u"Software\\A\\Sub\\Deeper"), OS_ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryFileTest, KeyNamesFoldBeyondAscii) {
  WriteRegistry("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Ärger\\ＡＢＣ]\n\"Ö\"=\"1\"\n");
  EXPECT_EQ(OpenStatus(u"SOFTWARE\\ärger\\ａｂｃ"), OS_ERROR_SUCCESS);
  EXPECT_EQ(Value(u"Software\\Ärger\\ＡＢＣ", u"ö"), (Read{OS_REG_SZ, RegistryString(u"1")}));
}

TEST_F(RegistryFileTest, UnusableFilesFailEveryOpen) {
  const char* const files[] = {
      "",
      "\n\n",
      "REGEDIT5\n[HKEY_LOCAL_MACHINE\\Software\\A]\n",
      "\"v\"=\"x\"\nREGEDIT4\n",
      "REGEDIT4\n\"v\"=\"outside any key\"\n",
      "REGEDIT4\n[HKEY_NOWHERE\\Software\\A]\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\\\A]\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"unknown \\n escape\"\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"unterminated\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"x\" trailing\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=hex:1g\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=hex:100\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=hex:01,,02\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=dword:123456789\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=hex(x):00\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=text\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\nv=\"unquoted name\"\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"\xFF not UTF-8\"\n",
  };
  for (const char* file : files) {
    SCOPED_TRACE(file);
    WriteRegistry(file);
    EXPECT_EQ(OpenStatus(u"Software\\A"), OS_ERROR_BADDB);
  }
  WriteRegistry("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=hex:01, 02 ,\n");
  EXPECT_EQ(Value(u"Software\\A", u"v"), (Read{OS_REG_BINARY, {1, 2}})) << "blanks and a final comma are fine";

  std::filesystem::create_directory(dir.Native("folder.reg"));
  setenv(kPosixRegistryVariable, dir.Native("folder.reg").c_str(), 1);
  EXPECT_EQ(OpenStatus(u"Software\\A"), OS_ERROR_BADDB) << "a file that cannot be read";
}

TEST_F(RegistryFileTest, AMissingFileHoldsNoKeys) {
  EXPECT_EQ(OpenStatus(u"Software\\A"), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenStatus(u""), OS_ERROR_SUCCESS);
}

TEST_F(RegistryFileTest, OpenKeysKeepTheirValuesAndOnlyReadingIsGranted) {
  WriteRegistry("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"old\"\n");
  OsRegKey key = 0;
  EXPECT_EQ(OsRegOpenLocalMachineKey(u"Software\\A", 0x20006 /* KEY_WRITE */, &key), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(OsRegOpenLocalMachineKey(u"Software\\A", OS_KEY_READ | 0x0100 /* KEY_WOW64_64KEY */, &key),
            OS_ERROR_SUCCESS);
  WriteRegistry("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"v\"=\"new\"\n");
  uint8_t data[32];
  uint32_t size = sizeof data;
  EXPECT_EQ(OsRegQueryValue(key, u"v", nullptr, data, &size), OS_ERROR_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(data, data + size), RegistryString(u"old"));
  EXPECT_EQ(OsRegCloseKey(key), OS_ERROR_SUCCESS);
  EXPECT_EQ(Value(u"Software\\A", u"v"), (Read{OS_REG_SZ, RegistryString(u"new")})) << "a new open reads again";
  EXPECT_EQ(OsRegQueryValue(0, u"v", nullptr, nullptr, &size), OS_ERROR_INVALID_HANDLE);
}

}  // namespace
