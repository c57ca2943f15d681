// The installed-version check, with its warnings read back from the
// terminal stand-in of the message box (the Win32 boxes are read by the
// end-to-end test).
#include <gtest/gtest.h>

#include <memory>

#include <cstdio>
#include <functional>
#include <random>

#include "install/version_check.h"
#include "platform/fault.h"
#include "tests/support/console_capture.h"
#include "platform/ui.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_files.h"
#include "tests/tools/hash_suffix.h"

namespace {

const char16_t kCaption[] = u"「Lumetria」 ver 1.01 更新パッチ";
const char kCaptionUtf8[] = "「Lumetria」 ver 1.01 更新パッチ";

// The texts as the user must see them, spelled out here on their own.
const std::string kAlreadyPatched = "パッチは適用済みです" + [] {
  std::string padding;
  for (int i = 0; i < 16; ++i) padding += "\u3000";
  return padding;
}();
const std::string kOtherVersion = "新しいバージョンのパッチを適用済みな可能性があります";
const std::string kReadFailure =
    "バージョンチェックに失敗しました。正しくインストール\n"
    "されていないか、データが壊れている可能性があります\u3000\u3000";

// Content of the given size whose fingerprint is target.
std::vector<uint8_t> ArchiveWith(const ContentHash& target, size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes = PatternBytes(size, seed);
  EXPECT_TRUE(AppendHashSuffix(&bytes, target)) << FormatContentHash(target);
  return bytes;
}

ContentHash WithByte(ContentHash hash, int index, uint8_t value) {
  hash.bytes[index] = value;
  return hash;
}

class VersionCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OsFaultReset();
    ResetUiState();
    std::copy(std::begin(kCaption), std::end(kCaption), g_caption);
    console = std::make_unique<ConsoleCapture>("\n\n\n");
  }
  void TearDown() override {
    console.reset();
    OsFaultReset();
  }

  std::string Shown() { return console->Shown(); }

  // One warning box with the caption and exactly this text, or nothing.
  void ExpectShown(const std::string& text) {
    std::string shown = Shown();
    if (text.empty()) {
      EXPECT_EQ(shown, "");
      return;
    }
    EXPECT_EQ(shown, "\n[warning] " + std::string(kCaptionUtf8) + "\n" + text + "\n[OK] ");
  }

  // The folder's files and their bytes, to show that the check wrote nothing.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Snapshot() {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.Path())) {
      files.emplace_back(item.path().string(), item.is_regular_file() ? ReadFileBytes(item.path()) : std::vector<uint8_t>());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  TempDir dir;
  std::unique_ptr<ConsoleCapture> console;
};

TEST_F(VersionCheckTest, TheArchiveFingerprintDecides) {
  ContentHash sevenEqual = EXPECTED_ARCHIVE_HASH;
  sevenEqual.bytes[7] ^= 0x02;  // bit 0 of the last byte is tied to byte 0
  struct Case {
    const char* what;
    std::vector<uint8_t> archive;
    int32_t result;
    std::string message;
  };
  const Case cases[] = {
      {"the version the patch applies to", ArchiveWith(EXPECTED_ARCHIVE_HASH, 5000, 1), 1, ""},
      {"expected, across several 1 MiB pieces", ArchiveWith(EXPECTED_ARCHIVE_HASH, 3 * (1u << 20) + 77, 2), 1, ""},
      {"already patched", ArchiveWith(PATCHED_ARCHIVE_HASH, 5000, 3), 0, kAlreadyPatched},
      {"already patched, about 2 MiB", ArchiveWith(PATCHED_ARCHIVE_HASH, 2 * (1u << 20) - 111, 4), 0,
       kAlreadyPatched},
      {"equal in the first seven bytes", ArchiveWith(sevenEqual, 5000, 5), 0, kOtherVersion},
      {"equal but in byte 3", ArchiveWith(WithByte(EXPECTED_ARCHIVE_HASH, 3, 0x52), 100, 6), 0, kOtherVersion},
      {"empty archive", {}, 0, kOtherVersion},
      {"other content", PatternBytes(4096, 7), 0, kOtherVersion},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(dir.Native("data01110.arc"), c.archive);
    auto before = Snapshot();
    EXPECT_EQ(CheckInstalledVersion(dir.Core().c_str()), c.result);
    ExpectShown(c.message);
    EXPECT_EQ(Snapshot(), before) << "nothing written";
  }
}

TEST_F(VersionCheckTest, AnArchiveThatCannotBeReadWholeIsAReadFailure) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
  };
  const std::vector<uint8_t> expected = ArchiveWith(EXPECTED_ARCHIVE_HASH, (1u << 20) + 500, 8);
  auto archive = [&] { WriteFileBytes(dir.Native("data01110.arc"), expected); };
  const Case cases[] = {
      {"missing archive", [] {}},
      {"a folder in its place", [&] { std::filesystem::create_directory(dir.Native("data01110.arc")); }},
      {"the open fails", [&] {
         archive();
         OsFaultArm(OsOp::OpenRead, 1);
       }},
      {"the first read fails", [&] {
         archive();
         OsFaultArm(OsOp::Read, 1);
       }},
      {"the first read falls short", [&] {
         archive();
         OsFaultArm(OsOp::Read, 1, OsFault::Short);
       }},
      {"the second piece fails", [&] {
         archive();
         OsFaultArm(OsOp::Read, 2);
       }},
      {"the second piece falls short", [&] {
         archive();
         OsFaultArm(OsOp::Read, 2, OsFault::Short);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir.Native("data01110.arc"));
    c.arrange();
    auto before = Snapshot();
    EXPECT_EQ(CheckInstalledVersion(dir.Core().c_str()), 0);
    ExpectShown(kReadFailure);
    EXPECT_EQ(Snapshot(), before) << "nothing written";
    OsFaultReset();
  }
  // The same archive without a fault passes: the faults made the difference.
  archive();
  EXPECT_EQ(CheckInstalledVersion(dir.Core().c_str()), 1);
  ExpectShown("");
}

// The archive is opened in the opened folder, not by its path: a folder
// past Windows' classic 260 units works as well as a short one, up to what
// the registry lookup takes; a folder that is not there is a read failure.
TEST_F(VersionCheckTest, AFolderLongerThanTheClassicPathLimitIsChecked) {
  std::u16string base = dir.Core();
  for (size_t units : {size_t{245}, size_t{246}, size_t{700}}) {
    SCOPED_TRACE(units);
    std::u16string folder = base;
    std::string native;
    while (folder.size() < units) {
      size_t take = std::min<size_t>(100, units - folder.size() - 1);
      if (units - folder.size() - 1 - take == 1) --take;
      std::string component(take, static_cast<char>('a' + folder.size() % 26));
      folder += u"\\" + std::u16string(component.begin(), component.end());
      native += (native.empty() ? "" : "/") + component;
    }
    ASSERT_EQ(folder.size(), units);
    std::filesystem::create_directories(dir.Native(native));
    WriteFileBytes(dir.Native(native + "/data01110.arc"), ArchiveWith(EXPECTED_ARCHIVE_HASH, 64, 9));
    EXPECT_EQ(CheckInstalledVersion(folder.c_str()), 1);
    ExpectShown("");
  }
  EXPECT_EQ(CheckInstalledVersion(std::u16string(1000, u'x').c_str()), 0);
  ExpectShown(kReadFailure);
}

}  // namespace
