// Names compare without regard to case, as on Windows: every file call finds
// a file under any case of its name, and a create never puts a second file
// beside one whose name differs only in case. The same cases run natively
// against the POSIX layer and under Wine against the Win32 layer.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <system_error>

#include "payload/file_dx.h"
#include "platform/fault.h"
#include "platform/files.h"
#include "platform/filesystem.h"
#include "tests/support/alloc_fault.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_files.h"
#include "tests/support/update_fixture.h"
#include "update/update_run.h"

namespace {

namespace fs = std::filesystem;

// The names in a folder, as the file system spells them.
std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) {
    std::u8string name = item.path().filename().u8string();
    names.emplace(name.begin(), name.end());
  }
  return names;
}

// Names as this test compares them after a rename. Windows gives a renamed
// file the name as the caller spells it; Wine's MoveFileExW keeps the
// spelling of the file it replaces, and of the file itself on a rename that
// changes only case. Under Wine only the names' letters are compared, so the
// count of files and their bytes are still checked there.
std::set<std::string> AfterRename(const std::set<std::string>& names) {
#ifdef _WIN32
  std::set<std::string> folded;
  for (std::string name : names) {
    for (char& c : name) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c;
    folded.insert(name);
  }
  return folded;
#else
  return names;
#endif
}

// The one name in folder whose letters are those of upper.
fs::path Named(const fs::path& folder, const std::string& upper) {
  for (const std::string& name : Names(folder)) {
    if (AfterRename({name}) == AfterRename({upper})) return folder / name;
  }
  return folder / upper;
}

std::vector<uint8_t> ReadThrough(const std::u16string& path, bool noFollow) {
  CFileDX file;
  if ((noFollow ? file.OpenReadNoFollow(path.c_str()) : file.OpenRead(path.c_str())) != 1) return Bytes("<refused>");
  std::vector<uint8_t> bytes(file.GetSize());
  if (!bytes.empty() && file.Read(bytes.data(), static_cast<uint32_t>(bytes.size())) != bytes.size()) {
    return Bytes("<short>");
  }
  return bytes;
}

bool WriteThrough(OsFile file, std::string_view text) {
  if (file == kOsInvalidFile) return false;
  uint32_t done = 0;
  bool ok = OsWrite(file, text.data(), static_cast<uint32_t>(text.size()), &done) && done == text.size();
  return OsClose(file) && ok;
}

class NameCaseTest : public ::testing::Test {
 protected:
  void SetUp() override { OsFaultReset(); }
  void TearDown() override { OsFaultReset(); }

  // The folder every case starts from: a.txt, a folder Sub with Inner.Dat
  // in it, and b.tmp to rename.
  void Populate(const fs::path& root) {
    fs::create_directories(root / "Sub");
    WriteFileBytes(root / "a.txt", Bytes("lower"));
    WriteFileBytes(root / "Sub" / "Inner.Dat", Bytes("inner"));
    WriteFileBytes(root / "b.tmp", Bytes("renamed"));
  }

  TempDir dir;
};

TEST_F(NameCaseTest, EveryCallFindsAFileUnderAnyCaseOfItsName) {
  struct Case {
    const char* what;
    // Runs the call in the folder (core spelling of the folder given).
    std::function<bool(const std::u16string& root)> call;
    bool succeeds;
    uint32_t error;                     // OsLastError() after a failure
    std::set<std::string> names;        // the folder's names afterwards
    std::string aTxt;                   // the bytes under whatever case a.txt has now; "" when gone
    std::set<std::string> sub = {"Inner.Dat"};  // the names in Sub afterwards
  };
  const std::set<std::string> untouched = {"Sub", "a.txt", "b.tmp"};
  auto at = [](const std::u16string& root, std::u16string_view name) { return root + u"\\" + std::u16string(name); };
  const Case cases[] = {
      {"open for reading", [&](const std::u16string& r) { return ReadThrough(at(r, u"A.TXT"), false) == Bytes("lower"); },
       true, 0, untouched, "lower"},
      {"careful open for reading",
       [&](const std::u16string& r) { return ReadThrough(at(r, u"A.tXt"), true) == Bytes("lower"); }, true, 0, untouched,
       "lower"},
      {"open in a folder spelled otherwise",
       [&](const std::u16string& r) { return ReadThrough(at(r, u"SUB\\inner.dat"), false) == Bytes("inner"); }, true, 0,
       untouched, "lower"},
      {"create new over another case",
       [&](const std::u16string& r) { return WriteThrough(OsCreateNew(at(r, u"A.TXT").c_str()), "created"); }, false,
       OS_ERROR_FILE_EXISTS, untouched, "lower"},
      {"create new, a new name in a folder spelled otherwise",
       [&](const std::u16string& r) { return WriteThrough(OsCreateNew(at(r, u"sub\\New.Dat").c_str()), "created"); },
       true, 0, untouched, "lower", {"Inner.Dat", "New.Dat"}},
      {"open for writing, truncating",
       [&](const std::u16string& r) {
         return WriteThrough(OsOpenWrite(at(r, u"A.Txt").c_str(), OsWriteDisposition::CreateAlways), "written");
       },
       true, 0, untouched, "written"},
      {"open for writing, keeping",
       [&](const std::u16string& r) {
         return WriteThrough(OsOpenWrite(at(r, u"A.TXT").c_str(), OsWriteDisposition::OpenAlways), "W");
       },
       true, 0, untouched, "Wower"},
      {"rename over another case without replacing",
       [&](const std::u16string& r) { return OsMoveFile(at(r, u"b.tmp").c_str(), at(r, u"A.TXT").c_str(), false); },
       false, OS_ERROR_ALREADY_EXISTS, untouched, "lower"},
      // Windows gives the replacing file the name as the caller spelled it.
      {"rename over another case, replacing",
       [&](const std::u16string& r) { return OsMoveFile(at(r, u"B.TMP").c_str(), at(r, u"A.TXT").c_str(), true); },
       true, 0, {"A.TXT", "Sub"}, "renamed"},
      {"rename to another case of its own name",
       [&](const std::u16string& r) { return OsMoveFile(at(r, u"a.txt").c_str(), at(r, u"A.Txt").c_str(), false); },
       true, 0, {"A.Txt", "Sub", "b.tmp"}, "lower"},
      {"rename into a folder spelled otherwise",
       [&](const std::u16string& r) { return OsMoveFile(at(r, u"b.tmp").c_str(), at(r, u"sUB\\b.tmp").c_str(), false); },
       true, 0, {"Sub", "a.txt"}, "lower", {"Inner.Dat", "b.tmp"}},
      {"delete", [&](const std::u16string& r) { return OsDeleteFile(at(r, u"A.TXT").c_str()); }, true, 0,
       {"Sub", "b.tmp"}, ""},
      {"attributes",
       [&](const std::u16string& r) {
         uint32_t attributes = OsGetFileAttributes(at(r, u"A.TXT").c_str());
         return attributes != OS_INVALID_FILE_ATTRIBUTES && (attributes & OS_FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                (OsGetFileAttributes(at(r, u"sub").c_str()) & OS_FILE_ATTRIBUTE_DIRECTORY) != 0;
       },
       true, 0, untouched, "lower"},
      {"read-only set under another case",
       [&](const std::u16string& r) {
         return OsSetFileAttributes(at(r, u"A.TXT").c_str(), OS_FILE_ATTRIBUTE_READONLY) &&
                (OsGetFileAttributes(at(r, u"a.txt").c_str()) & OS_FILE_ATTRIBUTE_READONLY) != 0 &&
                !OsDeleteFile(at(r, u"a.txt").c_str()) &&
                OsSetFileAttributes(at(r, u"A.txt").c_str(), OS_FILE_ATTRIBUTE_NORMAL);
       },
       true, 0, untouched, "lower"},
      {"in use under another case",
       [&](const std::u16string& r) {
         CFileDX holder;
         return holder.OpenRead(at(r, u"a.txt").c_str()) == 1 && OsFileInUse(at(r, u"A.TXT").c_str()) &&
                !OsDeleteFile(at(r, u"A.TXT").c_str());
       },
       true, 0, untouched, "lower"},
      {"second name for a file named in another case",
       [&](const std::u16string& r) {
         return OsLinkFile(at(r, u"A.TXT").c_str(), at(r, u"c.txt").c_str()) &&
                ReadThrough(at(r, u"c.txt"), false) == Bytes("lower");
       },
       true, 0, {"Sub", "a.txt", "b.tmp", "c.txt"}, "lower"},
      {"second name onto another case of a name",
       [&](const std::u16string& r) { return OsLinkFile(at(r, u"b.tmp").c_str(), at(r, u"A.TXT").c_str()); }, false,
       OS_ERROR_ALREADY_EXISTS, untouched, "lower"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::path root = dir.Path() / ("case" + std::to_string(index++));
    Populate(root);
    std::u16string core = ToCore(root);
    bool result = c.call(core);
    uint32_t error = OsLastError();
    EXPECT_EQ(result, c.succeeds);
    if (!c.succeeds) {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(AfterRename(Names(root)), AfterRename(c.names));
    std::string aTxt;
    for (const std::string& name : Names(root)) {
      if (name == "a.txt" || name == "A.TXT" || name == "A.Txt") {
        std::vector<uint8_t> bytes = ReadFileBytes(root / name);
        aTxt.assign(bytes.begin(), bytes.end());
      }
    }
    EXPECT_EQ(aTxt, c.aTxt);
    EXPECT_EQ(Names(root / "Sub"), c.sub);
  }
}

TEST_F(NameCaseTest, LettersFoldAsWindowsFoldsThemAndNothingElseDoes) {
  struct Case {
    const char8_t* installed;
    const char16_t* asked;
    bool same;
  };
  const Case cases[] = {
      {u8"data01100.arc", u"DATA01100.ARC", true},
      {u8"Data01100.Arc", u"dATA01100.aRC", true},
      {u8"ｄａｔａ.arc", u"ＤＡＴＡ.arc", true},  // fullwidth letters
      {u8"αβγ.dat", u"ΑΒΓ.DAT", true},                            // Greek
      {u8"ς.dat", u"Σ.DAT", false},                               // final sigma is kept apart, as Wine keeps it
      {u8"данныеё.dat", u"ДАННЫЕЁ.DAT", true},  // Cyrillic
      {u8"caféÿ.txt", u"CAFÉŸ.TXT", true},  // Latin-1
      {u8"łódź.txt", u"ŁÓDŹ.TXT", true},  // Latin Extended-A
      {u8"ⅰⅱ.txt", u"ⅠⅡ.TXT", true},     // Roman numerals
      {u8"でーた.arc", u"データ.arc", false},  // hiragana is not katakana
      {u8"ß.txt", u"SS.txt", false},  // no folding that changes the length
      {u8"file1.txt", u"FILE2.TXT", false},
      {u8"abc.txt", u"AB.TXT", false},
      {u8"ab.txt", u"ABC.TXT", false},
      // Signs 0x20 apart from others are not letters.
      {u8"a@.txt", u"A`.TXT", false},
      {u8"a[.txt", u"A{.TXT", false},
      {u8"a^.txt", u"A~.TXT", false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(reinterpret_cast<const char*>(c.installed));
    fs::path root = dir.Path() / ("fold" + std::to_string(index++));
    fs::create_directory(root);
    fs::path installed = root / fs::path(std::u8string(c.installed));
    WriteFileBytes(installed, Bytes("installed"));
    std::u16string asked = ToCore(root) + u"\\" + c.asked;
    EXPECT_EQ(ReadThrough(asked, false), c.same ? Bytes("installed") : Bytes("<refused>"));
    EXPECT_EQ(OsGetFileAttributes(asked.c_str()) != OS_INVALID_FILE_ATTRIBUTES, c.same);
    bool created = WriteThrough(OsCreateNew(asked.c_str()), "created");
    EXPECT_EQ(created, !c.same);
    EXPECT_EQ(Names(root).size(), c.same ? 1u : 2u);
    EXPECT_EQ(ReadFileBytes(installed), Bytes("installed"));
  }
}

TEST_F(NameCaseTest, TheExactSpellingComesFirst) {
  // Two names that differ only in case cannot be made here on Windows, but
  // a folder may have them.
  WriteFileBytes(dir.Native("x.txt"), Bytes("lower"));
  WriteFileBytes(dir.Native("X.TXT"), Bytes("upper"));
  if (Names(dir.Path()).size() != 2) GTEST_SKIP() << "this file system keeps no two names that differ only in case";
  EXPECT_EQ(ReadThrough(dir.Core(u"x.txt"), false), Bytes("lower"));
  EXPECT_EQ(ReadThrough(dir.Core(u"X.TXT"), false), Bytes("upper"));
  ASSERT_TRUE(OsDeleteFile(dir.Core(u"X.TXT").c_str()));
  EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"x.txt"});
  EXPECT_EQ(ReadThrough(dir.Core(u"X.TXT"), false), Bytes("lower"));
}

TEST_F(NameCaseTest, ALinkAtAnotherCaseOfTheNameIsStillNeverFollowed) {
  fs::create_directory(dir.Native("outside"));
  fs::path victim = dir.Native("outside/victim.txt");
  WriteFileBytes(victim, Bytes("victim"));
  struct Case {
    const char* what;
    bool dangling;
    std::function<bool(const std::u16string& name)> call;
    bool succeeds;
    bool linkStays;
  };
  std::u16string other = dir.Core(u"game\\other");
  const Case cases[] = {
      {"careful open", false, [&](const std::u16string& n) { return ReadThrough(n, true) != Bytes("<refused>"); }, false,
       true},
      {"create new", false, [&](const std::u16string& n) { return WriteThrough(OsCreateNew(n.c_str()), "planted"); },
       false, true},
      {"create new, dangling", true,
       [&](const std::u16string& n) { return WriteThrough(OsCreateNew(n.c_str()), "planted"); }, false, true},
      {"attributes", false,
       [&](const std::u16string& n) {
         return (OsGetFileAttributes(n.c_str()) & OS_FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                OsSetFileAttributes(n.c_str(), OS_FILE_ATTRIBUTE_READONLY);
       },
       true, true},
      {"delete", false, [&](const std::u16string& n) { return OsDeleteFile(n.c_str()); }, true, false},
      {"rename over", true, [&](const std::u16string& n) { return OsMoveFile(other.c_str(), n.c_str(), true); }, true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code error;
    fs::remove_all(dir.Native("game"));
    fs::remove(dir.Native("outside/created.txt"));
    fs::create_directory(dir.Native("game"));
    WriteFileBytes(dir.Native("game/other"), Bytes("other"));
    fs::create_symlink(c.dangling ? dir.Native("outside/created.txt") : victim, dir.Native("game/link.txt"), error);
    if (error) GTEST_SKIP() << "this platform cannot make symbolic links here";
    EXPECT_EQ(c.call(dir.Core(u"game\\LINK.TXT")), c.succeeds);
    EXPECT_EQ(fs::is_symlink(dir.Native("game/link.txt")), c.linkStays);
    EXPECT_EQ(ReadFileBytes(victim), Bytes("victim"));
    SetReadOnly(victim, false);
    EXPECT_FALSE(fs::exists(dir.Native("outside/created.txt")));
  }
}

TEST_F(NameCaseTest, LookingUpOtherCasesAllocatesNothing) {
  Populate(dir.Path());
  WriteFileBytes(dir.Native("temp"), Bytes("temp"));
  std::u16string upper = dir.Core(u"A.TXT");
  std::u16string backup = dir.Core(u"A.TXT.BAK");
  std::u16string temp = dir.Core(u"TEMP");
  std::u16string folder = dir.Core(u"SUB");
  std::u16string lowerBackup = dir.Core(u"a.txt.bak");
  AllocFaultArm(0);
  bool linked = OsLinkFile(upper.c_str(), backup.c_str()) || OsMoveFile(upper.c_str(), backup.c_str(), false);
  bool moved = OsMoveFile(temp.c_str(), upper.c_str(), true);
  bool deleted = OsDeleteFile(lowerBackup.c_str());
  bool flushed = OsFlushFolder(folder.c_str());
  uint32_t allocations = AllocFaultDisarm();
  EXPECT_TRUE(linked);
  EXPECT_TRUE(moved);
  EXPECT_TRUE(deleted);
  EXPECT_TRUE(flushed);
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(AfterRename(Names(dir.Path())), AfterRename({"A.TXT", "Sub", "b.tmp"}));
}

class NameCaseUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OsFaultReset();
    ResetUiState();
    fs::create_directories(Game() / "sys");
    WriteFileBytes(Game() / "data01100.arc", PatternBytes(5000, 9));
    WriteFileBytes(Game() / "sys" / "data.arc", PatternBytes(700, 8));
    WriteFileBytes(Game() / "uninst.lst", Bytes("data01100.arc\r\nsys\\data.arc\r\n"));
  }
  void TearDown() override {
    OsFaultReset();
    ResetUiState();
  }
  fs::path Game() const { return dir.Path() / "game"; }
  TempDir dir;
};

TEST_F(NameCaseUpdateTest, AnEntryNamedInAnotherCaseReplacesTheInstalledFile) {
  std::vector<PayloadFile> files = {{"DATA01100.ARC", PatternBytes(4000, 1)},
                                    {"Data.Arc", PatternBytes(900, 2), true, "SYS\\DATA.ARC"}};
  WritePatch(dir.Path() / "patch.exe", files);
  ScriptedProgressUi ui;
  ASSERT_EQ(RunUpdateFrom(dir.Core(u"patch.exe").c_str(), dir.Core(u"game").c_str(), ui), UPDATE_OK);
  // One file each, with the new bytes, under the name the payload spells:
  // the rename that installs it gives it that name, as MoveFileExW does on
  // Windows.
  EXPECT_EQ(AfterRename(Names(Game())), AfterRename({"DATA01100.ARC", "TLM.hvl", "sys", "uninst.lst"}));
  EXPECT_EQ(AfterRename(Names(Game() / "sys")), AfterRename({"DATA.ARC"}));
  EXPECT_EQ(ReadFileBytes(Named(Game(), "DATA01100.ARC")), files[0].data);
  EXPECT_EQ(ReadFileBytes(Named(Game() / "sys", "DATA.ARC")), files[1].data);
  EXPECT_EQ(Leftovers(Snapshot(Game())), std::vector<std::string>{});
}

}  // namespace
