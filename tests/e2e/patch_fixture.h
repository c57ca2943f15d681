// patch.exe from end to end under Wine: an installation with the archive made
// to the fingerprint the version check knows, laid out where the test says,
// the registry value naming it, the patch (the real program with a payload
// appended by the container writer) written where the test says, and the
// user's answers given through the program's own windows.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "install/version_check.h"
#include "payload/content_hash.h"
#include "tests/e2e/e2e_driver.h"
#include "tests/support/test_files.h"
#include "tests/support/update_fixture.h"
#include "tests/tools/hash_suffix.h"
#include "update/journal.h"
#include "tools/patchkit/hash_list_writer.h"

namespace patch_e2e {

namespace fs = std::filesystem;

inline const std::wstring kCaption = L"「Lumetria」 ver 1.01 更新パッチ";
inline const std::wstring kConfirm = L"アップデートを行いますか？　　　　　　　　　　　　　";
inline const std::wstring kCancelQuestion = L"アップデートを中止しますか？　　　　　　　　　　　　";
inline const std::wstring kCompleted = L"アップデートが完了しました　　　　　　　　　　　　　";
inline const std::wstring kNotInstalled = L"ゲームがインストールされていません　　　　　　　　　";
inline const std::wstring kCheckFailed =
    L"バージョンチェックに失敗しました。正しくインストール\nされていないか、データが壊れている可能性があります　　";

inline const wchar_t kGameKey[] = L"Software\\PELWIN SOFT\\Lumetria";

// Bytes whose fingerprint is target.
inline std::vector<uint8_t> WithFingerprint(std::vector<uint8_t> bytes, const ContentHash& target) {
  std::vector<uint8_t> suffix;
  EXPECT_TRUE(FindHashSuffix(HashOfBytes(bytes), target, &suffix));
  bytes.insert(bytes.end(), suffix.begin(), suffix.end());
  return bytes;
}

class PatchFixture : public ::testing::Test {
 protected:
  void TearDown() override { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kGameKey); }

  // Lays out the installation the patch applies to in folder (created with
  // its parents), registers it, and sets the payload that updates it.
  void Install(const fs::path& folder) {
    game = folder;
    std::error_code ignored;
    fs::remove_all(game, ignored);
    fs::create_directories(game);
    WriteFileBytes(game / "data01110.arc", WithFingerprint(PatternBytes(4000, 1), EXPECTED_ARCHIVE_HASH));
    WriteFileBytes(game / "data01100.arc", PatternBytes(3000, 2));
    WriteFileBytes(game / "uninst.lst", Bytes("data01100.arc\r\ndata01110.arc\r\n"));
    std::vector<uint8_t> installedList;
    ASSERT_TRUE(BuildHashList({{"data01100.arc", ContentHash{}}, {"gone.arc", ContentHash{}}}, HashListLayout::Long,
                              0, &installedList, nullptr));
    WriteFileBytes(game / "TLM.hvl", installedList);
    SetInstalledFolder(game.wstring());
    payload = {{"data01110.arc", WithFingerprint(PatternBytes(6000, 3), PATCHED_ARCHIVE_HASH)},
               {"data01100.arc", PatternBytes(2 * 0x100000 + 17, 4)},
               {"readme.txt", Bytes("patched")}};
  }

  // The value as the game's installer writes it, in double quotes.
  static void SetInstalledFolder(const std::wstring& folder) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGameKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::wstring quoted = L"\"" + folder + L"\"";
    LONG status = RegSetValueExW(key, L"InstalledFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(quoted.c_str()),
                                 static_cast<DWORD>((quoted.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS);
  }

  // Writes the patch (the real program with the payload) at path, its
  // folder created with its parents.
  void WritePatchAt(const fs::path& path) {
    fs::create_directories(path.parent_path());
    PatchOptions options;
    options.stub = ReadFileBytes(fs::path(PATCH_EXE_PATH));
    WritePatch(path, payload, options);
  }

  void StartPatch(const fs::path& path) {
    host = std::make_unique<HostProcess>();
    ASSERT_TRUE(host->Start(path.wstring(), L"")) << "cannot start " << path;
  }

  // Waits for a message box, checks its caption, text, buttons and icon, and
  // answers it.
  void Answer(const std::wstring& text, LPCWSTR icon, int answer) {
    HWND box = WaitForWindow([&] { return FindMessageBox(host->ProcessId()); }, 30000);
    ASSERT_NE(box, nullptr) << "no box for: " << testing::PrintToString(text);
    // Only the cancel question belongs to the progress dialog; every other
    // box comes before it exists or after it is gone.
    if (text != kCancelQuestion) {
      EXPECT_EQ(FindProgressDialog(host->ProcessId()), nullptr)
          << "the box is shown while the progress dialog is: " << testing::PrintToString(text);
    }
    MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(view.caption, kCaption);
    EXPECT_EQ(view.text, text);
    bool question = icon == IDI_QUESTION;
    EXPECT_EQ(view.buttons, question ? (std::vector<int>{IDYES, IDNO}) : std::vector<int>{IDOK});
    EXPECT_EQ(view.defaultButton, question ? IDNO : IDOK);
    EXPECT_EQ(ShownSystemIcon(view.iconControl), icon);
    ClickButton(box, answer);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
  }

  // Whether the program keeps a journal of this installation beside the
  // game's registry values (none once every run has ended or been carried
  // through). Other tests' installations may have theirs there too.
  bool HasJournal() const {
    const std::wstring folder = game.wstring();
    const std::u16string name = JournalValueName(std::u16string(folder.begin(), folder.end()));
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGameKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    LONG status = RegQueryValueExW(key, reinterpret_cast<const wchar_t*>(name.c_str()), nullptr, nullptr, nullptr,
                                   nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
  }

  int32_t ExitStatus() {
    DWORD status = 0;
    EXPECT_TRUE(host->Wait(60000, &status)) << "the patch did not end";
    return static_cast<int32_t>(status);
  }

  TempDir dir;
  fs::path game;
  std::vector<PayloadFile> payload;
  std::unique_ptr<HostProcess> host;
};

}  // namespace patch_e2e
