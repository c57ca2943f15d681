// The installed-version check on Win32: ui_host runs it on a prepared
// folder, and the driver reads the warning box it shows and presses OK.
#include <gtest/gtest.h>

#include <optional>

#include "install/version_check.h"
#include "tests/e2e/e2e_driver.h"
#include "tests/support/test_files.h"
#include "tests/tools/hash_suffix.h"

namespace {

const std::wstring kCaption = L"「Lumetria」 ver 1.01 更新パッチ";
// The texts as the user must see them, spelled out here on their own.
const std::wstring kAlreadyPatched = L"パッチは適用済みです" + std::wstring(16, L'\u3000');
const std::wstring kOtherVersion = L"新しいバージョンのパッチを適用済みな可能性があります";
const std::wstring kReadFailure =
    L"バージョンチェックに失敗しました。正しくインストール\n"
    L"されていないか、データが壊れている可能性があります\u3000\u3000";

std::vector<uint8_t> ArchiveWith(const ContentHash& target, size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes = PatternBytes(size, seed);
  EXPECT_TRUE(AppendHashSuffix(&bytes, target)) << FormatContentHash(target);
  return bytes;
}

TEST(VersionCheckE2eTest, WarningBoxesNameWhatTheArchiveIs) {
  TempDir dir;
  ContentHash sevenEqual = EXPECTED_ARCHIVE_HASH;
  sevenEqual.bytes[7] ^= 0x02;
  struct Case {
    const char* what;
    std::optional<std::vector<uint8_t>> archive;  // nothing: no archive at all
    int result;
    std::wstring message;  // empty: no box
    bool folderTooLong = false;
  };
  const Case cases[] = {
      {"expected", ArchiveWith(EXPECTED_ARCHIVE_HASH, 3000, 1), 1, L""},
      {"expected, over 1 MiB", ArchiveWith(EXPECTED_ARCHIVE_HASH, (1u << 20) + 3000, 2), 1, L""},
      {"already patched", ArchiveWith(PATCHED_ARCHIVE_HASH, 3000, 3), 0, kAlreadyPatched},
      {"equal in the first seven bytes", ArchiveWith(sevenEqual, 3000, 4), 0, kOtherVersion},
      {"empty archive", std::vector<uint8_t>(), 0, kOtherVersion},
      {"missing archive", std::nullopt, 0, kReadFailure},
      {"folder too long", std::nullopt, 0, kReadFailure, true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = "case" + std::to_string(index++);
    std::filesystem::create_directory(dir.Native(name));
    if (c.archive) WriteFileBytes(dir.Native(name + "/data01110.arc"), *c.archive);
    std::filesystem::path folder = dir.Native(name);
    // 246 characters: the archive's path would need 261 units.
    if (c.folderTooLong) folder = std::wstring(L"C:\\") + std::wstring(243, L'x');
    std::vector<uint8_t> before = c.archive ? ReadFileBytes(dir.Native(name + "/data01110.arc")) : std::vector<uint8_t>();

    HostProcess host;
    ASSERT_TRUE(host.Start(ProgramFolder() + L"ui_host.exe", L"version \"" + folder.wstring() + L"\""));
    if (!c.message.empty()) {
      HWND box = WaitForWindow([&] { return FindMessageBox(host.ProcessId()); });
      ASSERT_NE(box, nullptr) << "a warning appears";
      MessageBoxView view = ReadMessageBox(box);
      EXPECT_EQ(view.caption, kCaption);
      EXPECT_EQ(view.text, c.message);
      EXPECT_EQ(view.buttons, std::vector<int>{IDOK});
      EXPECT_EQ(ShownSystemIcon(view.iconControl), IDI_WARNING);
      EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "no owner";
      ClickButton(box, IDOK);
    }
    // With no box to dismiss the host ends by itself: the check showed none.
    DWORD status = 0;
    ASSERT_TRUE(host.Wait(20000, &status)) << "the host ends";
    EXPECT_NE(host.Output().find("version=" + std::to_string(c.result)), std::string::npos) << host.Output();
    if (c.archive) {
      EXPECT_EQ(ReadFileBytes(dir.Native(name + "/data01110.arc")), before) << "nothing written";
    }
  }
}

}  // namespace
