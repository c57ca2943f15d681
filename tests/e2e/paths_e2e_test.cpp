// Where the installation and the patch lie: folders with Japanese names and
// spaces, names code page 932 cannot spell, and install folders at the
// longest length the program updates and past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/patch_fixture.h"

namespace {

using namespace patch_e2e;

// The names a tree holds, in UTF-8 with '/' between folders as Snapshot
// spells them.
std::string Utf8Name(const std::wstring& name) {
  int size = WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), narrow.data(), size, nullptr, nullptr);
  std::replace(narrow.begin(), narrow.end(), '\\', '/');
  return narrow;
}

std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot open " << Utf8Name(path);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  uint8_t piece[65536];
  DWORD read = 0;
  while (ReadFile(file, piece, sizeof piece, &read, nullptr) && read > 0) {
    bytes.insert(bytes.end(), piece, piece + read);
  }
  CloseHandle(file);
  return bytes;
}

// Calls visit(relative name, attributes) for everything below root, a
// folder before what it holds when foldersFirst, else after.
void WalkTree(const std::wstring& root, const std::wstring& relative, bool foldersFirst,
              const std::function<void(const std::wstring&, DWORD)>& visit) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE) << "cannot list " << Utf8Name(root + L"\\" + relative);
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring item = relative.empty() ? name : relative + L"\\" + name;
    DWORD attributes = found.dwFileAttributes;
    bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder || foldersFirst) visit(item, attributes);
    if (folder) WalkTree(root, item, foldersFirst, visit);
    if (folder && !foldersFirst) visit(item, attributes);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// Snapshot through the wide Win32 calls: the C runtime's directory walk
// behind Snapshot gives up on paths longer than MAX_PATH, as these are.
FolderSnapshot TreeSnapshot(const fs::path& root) {
  FolderSnapshot snapshot;
  WalkTree(root.wstring(), L"", true, [&](const std::wstring& name, DWORD attributes) {
    snapshot[Utf8Name(name)] =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Bytes("<folder>") : ReadWholeFile(root.wstring() + L"\\" + name);
  });
  return snapshot;
}

class PatchPathsTest : public PatchFixture {
 protected:
  // The scratch folder's own removal cannot walk paths past MAX_PATH either.
  void TearDown() override {
    const std::wstring root = dir.Path().wstring();
    WalkTree(root, L"", false, [&](const std::wstring& name, DWORD attributes) {
      std::wstring path = root + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveDirectoryW(path.c_str());
      } else {
        DeleteFileW(path.c_str());
      }
    });
    PatchFixture::TearDown();
  }
};

// What every successful run of the standard installation leaves.
const std::vector<uint8_t> kMergedUninstallList =
    Bytes(std::string("data01100.arc\ndata01110.arc\ntlm.hvl\nreadme.txt\n") + '\0');

// A relative name as a snapshot spells it.
std::string SnapshotName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// The installation holds what the payload installs, the payload's hash list
// (every record's file is there, so the prune keeps it whole) and the merged
// uninstall list; of names like the run's own, only those planted before.
void ExpectUpdated(const fs::path& game, const std::vector<PayloadFile>& payload,
                   const std::vector<uint8_t>& uninstallList, const std::vector<std::string>& planted = {}) {
  FolderSnapshot after = TreeSnapshot(game);
  for (const PayloadFile& file : payload) {
    std::string name = SnapshotName(file.recordName.empty() ? file.name : file.recordName);
    EXPECT_EQ(after[name], file.data) << name;
  }
  EXPECT_EQ(after["TLM.hvl"], PayloadHashList(payload));
  EXPECT_EQ(after["uninst.lst"], uninstallList);
  EXPECT_EQ(Leftovers(after), planted);
}

TEST_F(PatchPathsTest, UpdatesWhereverTheInstallationAndThePatchLie) {
  struct Case {
    const char* what;
    const wchar_t* installation;  // under the scratch folder
    const wchar_t* patch;
  };
  const Case cases[] = {
      {"install folder with Japanese names and spaces", L"ゲーム フォルダ\\ルメトリア 体験版", L"patched.exe"},
      {"patch in a Japanese folder with a space", L"game", L"ダウンロード フォルダ\\パッチ.exe"},
      // Code page 932 has none of é, 한, ẞ or the emoji (a surrogate pair):
      // a path that went through the ANSI code page would name another file.
      {"names outside code page 932", L"Café 한국어 😀\\ルメトリア", L"Straße ẞ 😀\\パッチ 😀.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Install(dir.Path() / c.installation);
    fs::path patch = dir.Path() / c.patch;
    WritePatchAt(patch);
    StartPatch(patch);
    Answer(kConfirm, IDI_QUESTION, IDYES);
    Answer(kCompleted, IDI_INFORMATION, IDOK);
    EXPECT_EQ(ExitStatus(), 0);
    ExpectUpdated(game, payload, kMergedUninstallList);
  }
}

// A folder below base whose path is exactly units UTF-16 units long, of
// components with Japanese characters (one unit each, three bytes in UTF-8).
fs::path FolderOfLength(const fs::path& base, size_t units) {
  static const std::wstring kComponent = L"ルメトリアの長いフォルダ名-long-folder-name-0123";
  std::wstring path = base.wstring();
  if (path.size() + 2 > units) {
    ADD_FAILURE() << "the scratch folder is too long: " << path.size() << " units";
    return base;
  }
  while (path.size() < units) {
    size_t room = units - path.size() - 1;  // after the separator
    size_t take = std::min(room, kComponent.size());
    // A component of its own for the last unit, never an empty one.
    if (room - take == 1) --take;
    path += L'\\';
    path.append(kComponent, 0, take);
  }
  return fs::path(path);
}

// Nothing below the install folder is reached by a path, and the folder is
// opened as an NT path: the longest install folder the patch updates is the
// longest the registry lookup takes (779 units, its buffer less the
// terminator), whatever Windows' classic MAX_PATH.
constexpr size_t kLongestInstallFolder = 779;

// At the limit, with the longest paths the run forms below it: an entry
// whose hash-list record names it at the longest a record holds (247 bytes),
// replacing a file whose backups 0 to 98 are taken already, so its backup is
// "<name>.lumetria-bak99".
TEST_F(PatchPathsTest, UpdatesAnInstallFolderAtTheLongestLength) {
  fs::path folder = FolderOfLength(dir.Path(), kLongestInstallFolder);
  ASSERT_EQ(folder.wstring().size(), kLongestInstallFolder);
  Install(folder);

  const std::string stored = std::string(91, 'n') + ".arc";  // a directory name field holds 95 bytes
  const std::string first(75, 'a');
  const std::string second(75, 'b');
  const std::string record = first + "\\" + second + "\\" + stored;
  ASSERT_EQ(record.size(), 247u);
  fs::create_directories(game / first / second);
  WriteFileBytes(game / record, PatternBytes(500, 8));
  // Names of another program, as far as the run knows: they stay as they are.
  FolderSnapshot planted;
  for (int number = 0; number < 99; ++number) {
    std::string name = record + ".lumetria-bak" + (number > 0 ? std::to_string(number) : "");
    planted[SnapshotName(name)] = Bytes("not the run's: " + std::to_string(number));
    WriteFileBytes(game / name, planted[SnapshotName(name)]);
  }
  payload.push_back({stored, PatternBytes(70000, 9), true, record});
  const size_t longestPath = folder.wstring().size() + 1 + record.size() + std::string(".lumetria-bak99").size();
  SCOPED_TRACE(testing::Message() << "the longest path: " << longestPath << " units");

  fs::path patch = dir.Path() / "patched.exe";
  WritePatchAt(patch);
  StartPatch(patch);
  Answer(kConfirm, IDI_QUESTION, IDYES);
  Answer(kCompleted, IDI_INFORMATION, IDOK);
  EXPECT_EQ(ExitStatus(), 0);

  std::vector<std::string> plantedNames;
  for (const auto& [name, bytes] : planted) plantedNames.push_back(name);
  ExpectUpdated(game, payload,
                Bytes("data01100.arc\ndata01110.arc\ntlm.hvl\nreadme.txt\n" + record + "\n" + '\0'), plantedNames);
  FolderSnapshot after = TreeSnapshot(game);
  for (const auto& [name, bytes] : planted) EXPECT_EQ(after[name], bytes) << name;
}

// Past the limit the patch refuses before it asks anything, and writes
// nothing anywhere: at 780 units the folder no longer fits the lookup's
// buffer and the game counts as not installed.
TEST_F(PatchPathsTest, RefusesAnInstallFolderPastTheLongestLength) {
  struct Case {
    size_t units;
    std::wstring message;
  };
  const Case cases[] = {
      {kLongestInstallFolder + 1, kNotInstalled},
  };
  fs::path patch = dir.Path() / "patched.exe";
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.units << " units");
    fs::path folder = FolderOfLength(dir.Path() / std::to_wstring(c.units), c.units);
    ASSERT_EQ(folder.wstring().size(), c.units);
    Install(folder);
    WritePatchAt(patch);
    const FolderSnapshot before = TreeSnapshot(dir.Path());
    StartPatch(patch);
    Answer(c.message, IDI_WARNING, IDOK);
    EXPECT_EQ(ExitStatus(), -1);
    EXPECT_EQ(TreeSnapshot(dir.Path()), before);
  }
}

}  // namespace
