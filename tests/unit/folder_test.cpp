// Folders opened once (platform/folder.h), on the build's layer: every call
// names one entry of an open folder, keeps the rules of the path calls, and
// reaches only the folders opened at first, whatever is swapped in later.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/fault.h"
#include "platform/files.h"
#include "platform/filesystem.h"
#include "platform/folder.h"
#include "tests/support/host_links.h"
#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;

// Closes the folder when the test is done with it.
class HeldFolder {
 public:
  explicit HeldFolder(OsFolder folder = kOsInvalidFolder) : m_folder(folder) {}
  ~HeldFolder() { OsCloseFolder(m_folder); }
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  OsFolder get() const { return m_folder; }

 private:
  OsFolder m_folder;
};

// Keeps a file open while it lives.
class HeldFile {
 public:
  explicit HeldFile(OsFile file) : m_file(file) {}
  ~HeldFile() {
    if (m_file != kOsInvalidFile) OsClose(m_file);
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool open() const { return m_file != kOsInvalidFile; }

 private:
  OsFile m_file;
};

// True when a call that should be refused opened nothing; closes what it
// opened otherwise, so that the test fails rather than holds it.
bool NoFolder(OsFolder folder) {
  OsCloseFolder(folder);
  return folder == kOsInvalidFolder;
}
bool NoFile(OsFile file) {
  if (file == kOsInvalidFile) return true;
  OsClose(file);
  return false;
}

// Every file and folder below root (which holds no links: Windows'
// std::filesystem would walk into one), a folder marked "<folder>".
std::map<std::string, std::string> Contents(const fs::path& root) {
  std::map<std::string, std::string> contents;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(entry.path(), root).generic_string();
    if (entry.is_directory()) {
      contents[name] = "<folder>";
    } else {
      std::vector<uint8_t> bytes = ReadFileBytes(entry.path());
      contents[name] = std::string(bytes.begin(), bytes.end());
    }
  }
  return contents;
}

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::vector<uint8_t> ReadAll(OsFile file) {
  std::vector<uint8_t> bytes;
  uint8_t buffer[256];
  uint32_t done = 0;
  while (OsRead(file, buffer, sizeof buffer, &done) && done != 0) bytes.insert(bytes.end(), buffer, buffer + done);
  return bytes;
}

bool WriteAll(OsFile file, const std::vector<uint8_t>& bytes) {
  uint32_t done = 0;
  return OsWrite(file, bytes.data(), static_cast<uint32_t>(bytes.size()), &done) && done == bytes.size();
}

class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OsFaultReset();
    fs::create_directories(Game() / "sys");
    fs::create_directories(Outside());
    WriteFileBytes(Outside() / "keep.txt", Bytes("outside"));
  }
  void TearDown() override {
    OsFaultReset();
    for (const fs::path& link : m_links) RemoveLink(link);
  }

  fs::path Game() const { return dir.Path() / "game"; }
  fs::path Outside() const { return dir.Path() / "outside"; }
  std::u16string GameCore() const { return dir.Core(u"game"); }

  OsFolder OpenGame() const { return OsOpenFolder(GameCore().c_str()); }

  // A link at a free name of the install folder; false (and a note) where
  // links cannot be made.
  bool Plant(const char* name, const fs::path& target, bool folder) {
    if (MakeLink(Game() / name, target, folder)) {
      m_links.push_back(Game() / name);
      return true;
    }
    m_noLinks = true;
    return false;
  }
  // Ends a test whose cases with links could not run.
  void SkipIfLinksMissing() {
    if (m_noLinks) GTEST_SKIP() << "this platform cannot make symbolic links here; the cases with links did not run";
  }

  TempDir dir;

 private:
  bool m_noLinks = false;
  std::vector<fs::path> m_links;
};

TEST_F(FolderTest, OpensFoldersAndSubFoldersAndRefusesWhatIsNotAFolder) {
  WriteFileBytes(Game() / "file.txt", Bytes("f"));
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();

  EXPECT_TRUE(NoFolder(OsOpenFolder(dir.Core(u"game\\file.txt").c_str())));
  EXPECT_EQ(OsLastError(), OS_ERROR_DIRECTORY);
  EXPECT_TRUE(NoFolder(OsOpenFolder(dir.Core(u"missing").c_str())));
  EXPECT_TRUE(OsLastError() == OS_ERROR_FILE_NOT_FOUND || OsLastError() == OS_ERROR_PATH_NOT_FOUND) << OsLastError();

  struct Case {
    const char16_t* name;
    uint32_t error;  // 0: opens
  };
  const Case cases[] = {
      {u"sys", 0},
      {u"SYS", 0},  // names compare without case
      {u"file.txt", OS_ERROR_DIRECTORY},
      {u"missing", OS_ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(fs::path(c.name).string());
    HeldFolder sub(OsOpenSubFolder(game.get(), c.name));
    if (c.error != 0) {
      EXPECT_EQ(sub.get(), kOsInvalidFolder);
      EXPECT_EQ(OsLastError(), c.error);
      continue;
    }
    ASSERT_NE(sub.get(), kOsInvalidFolder) << OsLastError();
    // The sub-folder is the one below the install folder.
    OsFile file = OsCreateNewIn(sub.get(), u"made.txt");
    ASSERT_NE(file, kOsInvalidFile) << OsLastError();
    EXPECT_TRUE(OsClose(file));
    EXPECT_TRUE(Exists(Game() / "sys" / "made.txt"));
    fs::remove(Game() / "sys" / "made.txt");
  }

  // A name is one entry of the folder: nothing above or below it, not the
  // folder itself.
  for (const char16_t* name : {u"", u".", u"..", u"sys\\deeper", u"sys/deeper"}) {
    SCOPED_TRACE(fs::path(name).string());
    fs::create_directories(Game() / "sys" / "deeper");
    EXPECT_TRUE(NoFolder(OsOpenSubFolder(game.get(), name)));
    EXPECT_EQ(OsGetFileAttributesIn(game.get(), name), OS_INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(OsDeleteFileIn(game.get(), name));
  }
  EXPECT_TRUE(fs::is_directory(Game() / "sys" / "deeper"));
}

TEST_F(FolderTest, AnInstallFolderThatIsALinkIsFollowedButALinkBelowItIsNot) {
  fs::create_directories(Outside() / "folder");
  if (!Plant("linked", Outside() / "folder", true)) GTEST_SKIP() << "this platform cannot make symbolic links here";

  // The install folder itself may be a link: a game moved to another drive.
  HeldFolder viaLink(OsOpenFolder(dir.Core(u"game\\linked").c_str()));
  ASSERT_NE(viaLink.get(), kOsInvalidFolder) << OsLastError();
  OsFile file = OsCreateNewIn(viaLink.get(), u"made.txt");
  ASSERT_NE(file, kOsInvalidFile) << OsLastError();
  EXPECT_TRUE(OsClose(file));
  EXPECT_TRUE(Exists(Outside() / "folder" / "made.txt"));
  fs::remove(Outside() / "folder" / "made.txt");

  WriteFileBytes(Outside() / "file.txt", Bytes("f"));
  struct Case {
    const char* name;
    fs::path target;
    bool folder;
    uint32_t error;  // 0: refused, whatever the code
  };
  const Case cases[] = {
      {"linked", Outside() / "folder", true, OS_ERROR_ACCESS_DENIED},
      {"dangling", Outside() / "nothing", true, 0},
      {"to-file", Outside() / "file.txt", false, 0},
  };
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) != "linked") {
      ASSERT_TRUE(Plant(c.name, c.target, c.folder));
    }
    std::map<std::string, std::string> before = Contents(Outside());
    std::u16string name = fs::path(c.name).u16string();
    EXPECT_TRUE(NoFolder(OsOpenSubFolder(game.get(), name.c_str())));
    if (c.error != 0) {
      EXPECT_EQ(OsLastError(), c.error);
    }
    EXPECT_EQ(Contents(Outside()), before);
  }
}

TEST_F(FolderTest, CreateNewRefusesAnythingAtTheNameAndWritesAFileReadableBack) {
  struct Case {
    const char* name;
    std::function<bool()> plant;  // false: links cannot be made here
    fs::path untouched;           // must keep its contents (or stay absent)
  };
  const Case cases[] = {
      {"file", [&] { WriteFileBytes(Game() / "file", Bytes("old")); return true; }, Game() / "file"},
      {"folder", [&] { return fs::create_directory(Game() / "folder"); }, Outside() / "keep.txt"},
      {"link", [&] { return Plant("link", Outside() / "keep.txt", false); }, Outside() / "keep.txt"},
      {"dangling", [&] { return Plant("dangling", Outside() / "created.txt", false); }, Outside() / "created.txt"},
  };
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.plant()) continue;
    bool existed = Exists(c.untouched);
    std::vector<uint8_t> before = existed ? ReadFileBytes(c.untouched) : std::vector<uint8_t>();
    std::u16string name = fs::path(c.name).u16string();
    EXPECT_TRUE(NoFile(OsCreateNewIn(game.get(), name.c_str())));
    EXPECT_EQ(OsLastError(), OS_ERROR_FILE_EXISTS);
    ASSERT_EQ(Exists(c.untouched), existed);
    if (existed) {
      EXPECT_EQ(ReadFileBytes(c.untouched), before);
    }
  }

  OsFile file = OsCreateNewIn(game.get(), u"name");
  ASSERT_NE(file, kOsInvalidFile) << OsLastError();
  EXPECT_TRUE(NoFile(OsOpenReadIn(game.get(), u"name"))) << "a file being written shares nothing";
  EXPECT_EQ(OsLastError(), OS_ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(WriteAll(file, Bytes("written in the folder")));
  EXPECT_TRUE(OsClose(file));
  EXPECT_EQ(ReadFileBytes(Game() / "name"), Bytes("written in the folder"));
  OsFile reader = OsOpenReadIn(game.get(), u"NAME");
  ASSERT_NE(reader, kOsInvalidFile) << OsLastError();
  EXPECT_EQ(ReadAll(reader), Bytes("written in the folder"));
  EXPECT_TRUE(OsClose(reader));
  SkipIfLinksMissing();
}

TEST_F(FolderTest, OpenForReadingTakesAPlainFileOnly) {
  WriteFileBytes(Game() / "plain", Bytes("plain"));
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  OsFile plain = OsOpenReadIn(game.get(), u"plain");
  ASSERT_NE(plain, kOsInvalidFile) << OsLastError();
  EXPECT_EQ(ReadAll(plain), Bytes("plain"));
  EXPECT_TRUE(OsClose(plain));

  EXPECT_TRUE(NoFile(OsOpenReadIn(game.get(), u"sys")));
  EXPECT_EQ(OsLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_TRUE(NoFile(OsOpenReadIn(game.get(), u"missing")));
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);

  if (!Plant("link", Outside() / "keep.txt", false)) GTEST_SKIP() << "this platform cannot make symbolic links here";
  EXPECT_TRUE(NoFile(OsOpenReadIn(game.get(), u"link"))) << "a link is never read through";
}

TEST_F(FolderTest, RenamesBetweenOpenFoldersReplaceOnlyWhatWindowsWouldReplace) {
  enum class Held { Nothing, Source, Destination };
  struct Case {
    const char* what;
    bool replace;
    const char* destination;  // contents of the destination beforehand; null: none
    bool readOnly;
    Held held;
    uint32_t error;  // 0: moves; otherwise the error, or ~0u for any
  };
  const Case cases[] = {
      {"to a free name", false, nullptr, false, Held::Nothing, 0},
      {"to a free name, replacing", true, nullptr, false, Held::Nothing, 0},
      {"over a file, replacing", true, "old", false, Held::Nothing, 0},
      {"over a file, not replacing", false, "old", false, Held::Nothing, OS_ERROR_ALREADY_EXISTS},
      {"over a read-only file", true, "old", true, Held::Nothing, OS_ERROR_ACCESS_DENIED},
      {"a file held open", true, "old", false, Held::Source, OS_ERROR_SHARING_VIOLATION},
      {"over a file held open", true, "old", false, Held::Destination, ~0u},
  };
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  HeldFolder sys(OsOpenSubFolder(game.get(), u"sys"));
  ASSERT_NE(sys.get(), kOsInvalidFolder) << OsLastError();
  fs::path from = Game() / "new.arc";
  fs::path to = Game() / "sys" / "data.arc";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(from);
    if (Exists(to)) SetReadOnly(to, false);
    fs::remove(to);
    WriteFileBytes(from, Bytes("new"));
    if (c.destination != nullptr) WriteFileBytes(to, Bytes(c.destination));
    if (c.readOnly) SetReadOnly(to, true);
    std::u16string heldPath = c.held == Held::Source ? dir.Core(u"game\\new.arc") : dir.Core(u"game\\sys\\data.arc");
    HeldFile holder(c.held == Held::Nothing ? kOsInvalidFile : OsOpenRead(heldPath.c_str()));
    ASSERT_EQ(holder.open(), c.held != Held::Nothing);

    bool moved = OsMoveFileIn(game.get(), u"new.arc", sys.get(), u"data.arc", c.replace);
    uint32_t error = OsLastError();
    if (c.error == 0) {
      ASSERT_TRUE(moved) << error;
      EXPECT_EQ(ReadFileBytes(to), Bytes("new"));
      EXPECT_FALSE(Exists(from));
      continue;
    }
    EXPECT_FALSE(moved);
    if (c.error != ~0u) {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(ReadFileBytes(from), Bytes("new"));
    EXPECT_EQ(ReadFileBytes(to), Bytes(c.destination));
  }

  EXPECT_FALSE(OsMoveFileIn(game.get(), u"missing", sys.get(), u"data.arc", true));
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);
  // Within one folder, and back into the other.
  ASSERT_TRUE(OsMoveFileIn(sys.get(), u"data.arc", sys.get(), u"renamed.arc", false)) << OsLastError();
  ASSERT_TRUE(OsMoveFileWhenFreeIn(sys.get(), u"renamed.arc", game.get(), u"back.arc", false)) << OsLastError();
  EXPECT_EQ(ReadFileBytes(Game() / "back.arc"), Bytes("old"));
  EXPECT_FALSE(Exists(Game() / "sys" / "renamed.arc"));
}

TEST_F(FolderTest, AHardLinkGivesTheSameFileASecondNameInAnotherFolder) {
  WriteFileBytes(Game() / "data.arc", Bytes("first"));
  HeldFolder game(OpenGame());
  HeldFolder sys(OsOpenSubFolder(game.get(), u"sys"));
  ASSERT_NE(sys.get(), kOsInvalidFolder) << OsLastError();
  ASSERT_TRUE(OsLinkFileIn(game.get(), u"data.arc", sys.get(), u"backup.arc")) << OsLastError();
  EXPECT_EQ(ReadFileBytes(Game() / "sys" / "backup.arc"), Bytes("first"));
  // One file under two names: a change through one shows through the other.
  WriteFileBytes(Game() / "data.arc", Bytes("second"));
  EXPECT_EQ(ReadFileBytes(Game() / "sys" / "backup.arc"), Bytes("second"));

  EXPECT_FALSE(OsLinkFileIn(game.get(), u"data.arc", sys.get(), u"backup.arc"));
  EXPECT_EQ(OsLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(OsLinkFileIn(game.get(), u"missing", sys.get(), u"other.arc"));
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Exists(Game() / "sys" / "other.arc"));
}

TEST_F(FolderTest, DeleteRemovesFilesAndLinksButNotReadOnlyOpenFilesOrFolders) {
  // Under Wine every call on a host link reaches its target, and deletions
  // act on the target's path: the layer refuses them (a dangling link
  // cannot even be opened), and the target stays.
  bool wine = RunningUnderWine();
  struct Case {
    const char* name;
    std::function<bool()> plant;  // false: links cannot be made here
    uint32_t error;               // 0: deleted
  };
  fs::create_directories(Outside() / "folder");
  WriteFileBytes(Outside() / "folder" / "inside.txt", Bytes("inside"));
  const Case cases[] = {
      {"file", [&] { WriteFileBytes(Game() / "file", Bytes("x")); return true; }, 0},
      {"read-only",
       [&] {
         WriteFileBytes(Game() / "read-only", Bytes("x"));
         SetReadOnly(Game() / "read-only", true);
         return true;
       },
       OS_ERROR_ACCESS_DENIED},
      {"folder", [&] { return fs::create_directory(Game() / "folder"); }, OS_ERROR_ACCESS_DENIED},
      {"file-link", [&] { return Plant("file-link", Outside() / "keep.txt", false); },
       wine ? OS_ERROR_ACCESS_DENIED : 0},
      {"dangling", [&] { return Plant("dangling", Outside() / "nothing", false); }, wine ? OS_ERROR_FILE_NOT_FOUND : 0},
      {"folder-link", [&] { return Plant("folder-link", Outside() / "folder", true); },
       wine ? OS_ERROR_ACCESS_DENIED : 0},
  };
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.plant()) continue;
    std::map<std::string, std::string> outside = Contents(Outside());
    std::u16string name = fs::path(c.name).u16string();
    bool deleted = OsDeleteFileIn(game.get(), name.c_str());
    uint32_t error = OsLastError();
    EXPECT_EQ(deleted, c.error == 0) << error;
    if (c.error != 0) {
      EXPECT_EQ(error, c.error);
    }
    if (deleted) {
      EXPECT_FALSE(Exists(Game() / c.name));
    }
    EXPECT_EQ(Contents(Outside()), outside) << "a link's target is never touched";
  }
  EXPECT_TRUE(Exists(Game() / "read-only"));
  EXPECT_TRUE(fs::is_directory(Game() / "folder"));

  WriteFileBytes(Game() / "held", Bytes("h"));
  {
    HeldFile holder(OsOpenRead(dir.Core(u"game\\held").c_str()));
    ASSERT_TRUE(holder.open());
    EXPECT_FALSE(OsDeleteFileIn(game.get(), u"held"));
    EXPECT_EQ(OsLastError(), OS_ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(Exists(Game() / "held"));
  }
  EXPECT_TRUE(OsDeleteFileIn(game.get(), u"held")) << OsLastError();
  EXPECT_FALSE(OsDeleteFileIn(game.get(), u"held"));
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);
  SkipIfLinksMissing();
}

TEST_F(FolderTest, AttributesAreSetAndReadOnTheEntryItself) {
  WriteFileBytes(Game() / "file", Bytes("x"));
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();

  uint32_t file = OsGetFileAttributesIn(game.get(), u"file");
  ASSERT_NE(file, OS_INVALID_FILE_ATTRIBUTES) << OsLastError();
  EXPECT_EQ(file & (OS_FILE_ATTRIBUTE_READONLY | OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_REPARSE_POINT), 0u);
  uint32_t folder = OsGetFileAttributesIn(game.get(), u"sys");
  EXPECT_EQ(folder & (OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_REPARSE_POINT), OS_FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(OsGetFileAttributesIn(game.get(), u"missing"), OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(OsSetFileAttributesIn(game.get(), u"missing", OS_FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);

  // The read-only bit, as the path calls see it and enforce it.
  ASSERT_TRUE(OsSetFileAttributesIn(game.get(), u"file", OS_FILE_ATTRIBUTE_READONLY)) << OsLastError();
  EXPECT_NE(OsGetFileAttributesIn(game.get(), u"file") & OS_FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_NE(OsGetFileAttributes(dir.Core(u"game\\file").c_str()) & OS_FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_TRUE(NoFile(OsOpenWrite(dir.Core(u"game\\file").c_str(), OsWriteDisposition::OpenAlways)));
  EXPECT_FALSE(OsDeleteFileIn(game.get(), u"file"));
  ASSERT_TRUE(OsSetFileAttributesIn(game.get(), u"file", OS_FILE_ATTRIBUTE_NORMAL)) << OsLastError();
  EXPECT_EQ(OsGetFileAttributesIn(game.get(), u"file") & OS_FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(OsGetFileAttributes(dir.Core(u"game\\file").c_str()) & OS_FILE_ATTRIBUTE_READONLY, 0u);

  // Copied attributes leave the copy writable when the original is.
  WriteFileBytes(Game() / "copy", Bytes("c"));
  SetReadOnly(Game() / "copy", true);
  ASSERT_TRUE(OsCopyFileAttributesIn(game.get(), u"file", u"copy")) << OsLastError();
  EXPECT_EQ(OsGetFileAttributesIn(game.get(), u"copy") & OS_FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(ReadFileBytes(Game() / "copy"), Bytes("c"));
  EXPECT_FALSE(OsCopyFileAttributesIn(game.get(), u"missing", u"copy"));

  // Links: their own attributes, never their target's.
  fs::create_directories(Outside() / "folder");
  struct Case {
    const char* name;
    fs::path target;
    bool folder;
  };
  const Case links[] = {
      {"folder-link", Outside() / "folder", true},
      {"file-link", Outside() / "keep.txt", false},
  };
  for (const Case& c : links) {
    SCOPED_TRACE(c.name);
    if (!Plant(c.name, c.target, c.folder)) GTEST_SKIP() << "this platform cannot make symbolic links here";
    std::u16string name = fs::path(c.name).u16string();
    uint32_t own = OsGetFileAttributesIn(game.get(), name.c_str());
    EXPECT_EQ(own & (OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_REPARSE_POINT),
              OS_FILE_ATTRIBUTE_REPARSE_POINT | (c.folder ? OS_FILE_ATTRIBUTE_DIRECTORY : 0u))
        << own;
    uint32_t target = OsGetFileAttributes(ToCore(c.target).c_str());
    // Set on the link itself where it has attributes of its own, refused
    // or a no-op elsewhere: either way not on the target.
    OsSetFileAttributesIn(game.get(), name.c_str(), OS_FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(OsGetFileAttributes(ToCore(c.target).c_str()), target);
  }
}

TEST_F(FolderTest, AFileHeldOpenWithoutSharingDeletionIsInUse) {
  WriteFileBytes(Game() / "file", Bytes("x"));
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  EXPECT_FALSE(OsFileInUseIn(game.get(), u"file"));
  EXPECT_FALSE(OsFileInUseIn(game.get(), u"missing"));
  {
    HeldFile reader(OsOpenRead(dir.Core(u"game\\file").c_str()));
    ASSERT_TRUE(reader.open());
    EXPECT_TRUE(OsFileInUseIn(game.get(), u"file"));
  }
  {
    HeldFile writer(OsOpenWrite(dir.Core(u"game\\file").c_str(), OsWriteDisposition::OpenAlways));
    ASSERT_TRUE(writer.open());
    EXPECT_TRUE(OsFileInUseIn(game.get(), u"file"));
  }
  EXPECT_FALSE(OsFileInUseIn(game.get(), u"file"));
}

// The reason for the folder API: once a sub-folder is open, swapping it for
// a link to somewhere else redirects nothing.
TEST_F(FolderTest, ASubFolderSwappedForALinkAfterItWasOpenedRedirectsNothing) {
  const char* const names[] = {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "ro.txt"};
  std::map<std::string, std::string> real;
  for (const char* name : names) {
    real[name] = std::string("real ") + name;
    WriteFileBytes(Game() / "sys" / name, Bytes(real[name]));
    WriteFileBytes(Outside() / name, Bytes(std::string("outside ") + name));
  }
  WriteFileBytes(Game() / "top.txt", Bytes("top"));
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  HeldFolder sys(OsOpenSubFolder(game.get(), u"sys"));
  ASSERT_NE(sys.get(), kOsInvalidFolder) << OsLastError();

  fs::rename(Game() / "sys", Game() / "moved");
  if (!Plant("sys", Outside(), true)) GTEST_SKIP() << "this platform cannot make symbolic links here";
  std::map<std::string, std::string> outside = Contents(Outside());
  EXPECT_TRUE(NoFolder(OsOpenSubFolder(game.get(), u"sys"))) << "the link itself is refused";

  // Windows and POSIX act on the open folder itself. Wine renames, links,
  // deletes and names what a handle opened after the swap by paths through
  // the link; the layer sees that and refuses those calls instead.
  bool wine = RunningUnderWine();
  struct Step {
    const char* what;
    std::function<bool()> run;
    bool refusedByWine;
    std::function<void(std::map<std::string, std::string>&)> effect;  // on the moved folder's contents
  };
  const Step steps[] = {
      {"create",
       [&] {
         OsFile file = OsCreateNewIn(sys.get(), u"new.txt");
         bool ok = file != kOsInvalidFile && WriteAll(file, Bytes("created"));
         return file != kOsInvalidFile && OsClose(file) && ok;
       },
       false, [](auto& contents) { contents["new.txt"] = "created"; }},
      {"rename within", [&] { return OsMoveFileIn(sys.get(), u"a.txt", sys.get(), u"renamed.txt", false); }, true,
       [](auto& contents) {
         contents["renamed.txt"] = contents["a.txt"];
         contents.erase("a.txt");
       }},
      {"rename into, replacing", [&] { return OsMoveFileIn(game.get(), u"top.txt", sys.get(), u"b.txt", true); }, true,
       [](auto& contents) { contents["b.txt"] = "top"; }},
      {"link", [&] { return OsLinkFileIn(sys.get(), u"c.txt", sys.get(), u"linked.txt"); }, true,
       [](auto& contents) { contents["linked.txt"] = contents["c.txt"]; }},
      {"delete", [&] { return OsDeleteFileIn(sys.get(), u"d.txt"); }, true,
       [](auto& contents) { contents.erase("d.txt"); }},
      {"set attributes", [&] { return OsSetFileAttributesIn(sys.get(), u"ro.txt", OS_FILE_ATTRIBUTE_READONLY); }, true,
       [](auto&) {}},
      {"read",
       [&] {
         OsFile file = OsOpenReadIn(sys.get(), u"e.txt");
         bool ok = file != kOsInvalidFile && ReadAll(file) == Bytes("real e.txt");
         return file != kOsInvalidFile && OsClose(file) && ok;
       },
       true, [](auto&) {}},
      {"flush", [&] { return OsFlushOpenFolder(sys.get()); }, false, [](auto&) {}},
  };
  std::map<std::string, std::string> expected = real;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    bool refused = wine && step.refusedByWine;
    bool done = step.run();
    EXPECT_EQ(done, !refused) << OsLastError();
    if (refused) {
      EXPECT_EQ(OsLastError(), OS_ERROR_ACCESS_DENIED);
    } else {
      step.effect(expected);
    }
    EXPECT_EQ(Contents(Outside()), outside);
  }
  EXPECT_EQ(Contents(Game() / "moved"), expected);
  uint32_t readOnly = OsGetFileAttributes(dir.Core(u"game\\moved\\ro.txt").c_str()) & OS_FILE_ATTRIBUTE_READONLY;
  EXPECT_EQ(readOnly != 0, !wine);
  EXPECT_EQ(OsGetFileAttributes(ToCore(Outside() / "ro.txt").c_str()) & OS_FILE_ATTRIBUTE_READONLY, 0u);
}

// The host path for a file call of the test itself: Windows takes paths
// beyond MAX_PATH only as "\\?\" paths.
fs::path HostPath(const fs::path& path) {
#ifdef _WIN32
  return fs::path(L"\\\\?\\" + path.wstring());
#else
  return path;
#endif
}

bool HostFileExists(const fs::path& path) { return std::ifstream(HostPath(path), std::ios::binary).good(); }

// Removes what a test made below a long path, deepest first, when it ends:
// std::filesystem cannot be used there on Windows (it asks the C runtime's
// stat first, which stops at MAX_PATH), nor can TempDir's clean-up.
class LongPathCleanup {
 public:
  LongPathCleanup() = default;
  LongPathCleanup(const LongPathCleanup&) = delete;
  LongPathCleanup& operator=(const LongPathCleanup&) = delete;
  ~LongPathCleanup() {
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
#ifdef _WIN32
      std::wstring host = HostPath(it->first).wstring();
      if (it->second) {
        RemoveDirectoryW(host.c_str());
      } else {
        DeleteFileW(host.c_str());
      }
#else
      std::error_code ignored;
      fs::remove(it->first, ignored);
#endif
    }
  }
  void Add(const fs::path& path, bool folder) { m_entries.emplace_back(path, folder); }

 private:
  std::vector<std::pair<fs::path, bool>> m_entries;
};

TEST_F(FolderTest, ALongInstallFolderOpensAndTakesEveryChange) {
  // Nested folders down to a path of about 700 units: beyond MAX_PATH, and
  // within the 779 units the registry value may hold.
  LongPathCleanup cleanup;
  fs::path deep = dir.Path();
  for (int level = 0; ToCore(deep).size() < 640; ++level) {
    deep /= "level" + std::to_string(level) + "-" + std::string(50, 'x');
    cleanup.Add(deep, true);
    ASSERT_TRUE(fs::create_directory(HostPath(deep))) << deep;
  }
  for (const char* file : {"old.txt", "new.txt"}) cleanup.Add(deep / file, false);
  cleanup.Add(deep / "sub", true);
  cleanup.Add(deep / "sub" / "moved.txt", false);
  ASSERT_GT(ToCore(deep).size(), 300u);
  ASSERT_LE(ToCore(deep).size(), 700u);
  ASSERT_TRUE(fs::create_directory(HostPath(deep / "sub")));
  WriteFileBytes(HostPath(deep / "old.txt"), Bytes("old"));

  {
    HeldFolder folder(OsOpenFolder(ToCore(deep).c_str()));
    ASSERT_NE(folder.get(), kOsInvalidFolder) << OsLastError();
    HeldFolder sub(OsOpenSubFolder(folder.get(), u"sub"));
    ASSERT_NE(sub.get(), kOsInvalidFolder) << OsLastError();
    OsFile file = OsCreateNewIn(folder.get(), u"new.txt");
    ASSERT_NE(file, kOsInvalidFile) << OsLastError();
    EXPECT_TRUE(WriteAll(file, Bytes("new")));
    EXPECT_TRUE(OsClose(file));
    EXPECT_TRUE(OsMoveFileIn(folder.get(), u"new.txt", sub.get(), u"moved.txt", false)) << OsLastError();
    EXPECT_TRUE(OsDeleteFileIn(folder.get(), u"old.txt")) << OsLastError();
    EXPECT_TRUE(OsFlushOpenFolder(folder.get())) << OsLastError();
  }
  EXPECT_EQ(ReadFileBytes(HostPath(deep / "sub" / "moved.txt")), Bytes("new"));
  EXPECT_FALSE(HostFileExists(deep / "new.txt"));
  EXPECT_FALSE(HostFileExists(deep / "old.txt"));
}

TEST_F(FolderTest, EveryCallCanBeMadeToFailAndThenChangesNothing) {
  WriteFileBytes(Game() / "a.txt", Bytes("a"));
  WriteFileBytes(Game() / "b.txt", Bytes("b"));
  WriteFileBytes(Game() / "d.txt", Bytes("d"));
  WriteFileBytes(Game() / "held.txt", Bytes("h"));
  HeldFile holder(OsOpenRead(dir.Core(u"game\\held.txt").c_str()));
  ASSERT_TRUE(holder.open());
  HeldFolder game(OpenGame());
  ASSERT_NE(game.get(), kOsInvalidFolder) << OsLastError();
  OsFolder folder = game.get();

  struct Case {
    const char* what;
    OsOp op;
    OsFault kind;
    uint32_t error;
    std::function<bool()> call;  // true when the call did its work
  };
  const Case cases[] = {
      {"open a folder", OsOp::OpenFolder, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] {
         OsFolder opened = OsOpenFolder(GameCore().c_str());
         OsCloseFolder(opened);
         return opened != kOsInvalidFolder;
       }},
      {"open a sub-folder", OsOp::OpenFolder, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] {
         OsFolder opened = OsOpenSubFolder(folder, u"sys");
         OsCloseFolder(opened);
         return opened != kOsInvalidFolder;
       }},
      {"open for reading", OsOp::OpenRead, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] {
         OsFile file = OsOpenReadIn(folder, u"a.txt");
         return file != kOsInvalidFile && OsClose(file);
       }},
      {"create", OsOp::CreateNew, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] {
         OsFile file = OsCreateNewIn(folder, u"new.txt");
         if (file == kOsInvalidFile) return false;
         OsClose(file);
         fs::remove(Game() / "new.txt");
         return true;
       }},
      {"read attributes", OsOp::GetAttributes, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] { return OsGetFileAttributesIn(folder, u"a.txt") != OS_INVALID_FILE_ATTRIBUTES; }},
      {"ask whether in use", OsOp::GetAttributes, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] { return OsFileInUseIn(folder, u"held.txt"); }},
      {"set attributes", OsOp::SetAttributes, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] {
         return OsSetFileAttributesIn(folder, u"a.txt", OS_FILE_ATTRIBUTE_READONLY) &&
                OsSetFileAttributesIn(folder, u"a.txt", OS_FILE_ATTRIBUTE_NORMAL);
       }},
      {"copy attributes", OsOp::CopyAttributes, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] { return OsCopyFileAttributesIn(folder, u"a.txt", u"b.txt"); }},
      {"rename (device)", OsOp::Move, OsFault::Fail, OS_ERROR_WRITE_FAULT,
       [&] {
         return OsMoveFileIn(folder, u"a.txt", folder, u"c.txt", false) &&
                OsMoveFileIn(folder, u"c.txt", folder, u"a.txt", false);
       }},
      {"rename (busy)", OsOp::Move, OsFault::Busy, OS_ERROR_SHARING_VIOLATION,
       [&] {
         return OsMoveFileIn(folder, u"a.txt", folder, u"c.txt", false) &&
                OsMoveFileIn(folder, u"c.txt", folder, u"a.txt", false);
       }},
      {"rename (denied)", OsOp::Move, OsFault::Denied, OS_ERROR_ACCESS_DENIED,
       [&] {
         return OsMoveFileIn(folder, u"a.txt", folder, u"c.txt", false) &&
                OsMoveFileIn(folder, u"c.txt", folder, u"a.txt", false);
       }},
      {"link", OsOp::Link, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] {
         if (!OsLinkFileIn(folder, u"a.txt", folder, u"c.txt")) return false;
         fs::remove(Game() / "c.txt");
         return true;
       }},
      {"delete", OsOp::Delete, OsFault::Fail, OS_ERROR_ACCESS_DENIED,
       [&] { return OsDeleteFileIn(folder, u"d.txt"); }},
      {"flush the folder", OsOp::FlushFolder, OsFault::Fail, OS_ERROR_WRITE_FAULT,
       [&] { return OsFlushOpenFolder(folder); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<std::string, std::string> before = Contents(Game());
    uint32_t calls = OsFaultCalls(c.op);
    OsFaultArm(c.op, 1, c.kind);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(OsLastError(), c.error);
    EXPECT_EQ(OsFaultCalls(c.op), calls + 1) << "the call is counted once, as its path counterpart";
    EXPECT_EQ(Contents(Game()), before);
    EXPECT_TRUE(c.call()) << "only the armed call fails: " << OsLastError();
  }
}

struct Traced {
  OsOp op;
  std::u16string path;
  std::u16string path2;
  uint32_t attributes;
  bool operator==(const Traced& other) const {
    return op == other.op && path == other.path && path2 == other.path2 && attributes == other.attributes;
  }
};

void Record(const OsTraceEvent& event, void* context) {
  if (event.op == OsOp::Write || event.op == OsOp::Close || event.op == OsOp::Flush) return;
  static_cast<std::vector<Traced>*>(context)->push_back(
      {event.op, event.path != nullptr ? event.path : u"", event.path2 != nullptr ? event.path2 : u"",
       event.op == OsOp::SetAttributes ? event.attributes : 0});
}

TEST_F(FolderTest, ChangesAreTracedWithTheFolderPathJoinedWithTheName) {
  WriteFileBytes(Game() / "a.txt", Bytes("a"));
  HeldFolder game(OpenGame());
  HeldFolder sys(OsOpenSubFolder(game.get(), u"sys"));
  ASSERT_NE(sys.get(), kOsInvalidFolder) << OsLastError();
  std::vector<Traced> events;
  OsTraceSet(Record, &events);
  OsFile file = OsCreateNewIn(sys.get(), u"new.txt");
  bool ok = file != kOsInvalidFile && OsClose(file);
  ok = ok && OsMoveFileIn(game.get(), u"a.txt", sys.get(), u"b.txt", false);
  ok = ok && OsLinkFileIn(sys.get(), u"b.txt", game.get(), u"c.txt");
  ok = ok && OsSetFileAttributesIn(game.get(), u"c.txt", OS_FILE_ATTRIBUTE_READONLY);
  ok = ok && OsDeleteFileIn(sys.get(), u"new.txt");
  ok = ok && OsFlushOpenFolder(sys.get());
  OsTraceSet(nullptr, nullptr);
  ASSERT_TRUE(ok) << OsLastError();

  const std::vector<Traced> expected = {
      {OsOp::CreateNew, dir.Core(u"game\\sys\\new.txt"), u"", 0},
      {OsOp::Move, dir.Core(u"game\\a.txt"), dir.Core(u"game\\sys\\b.txt"), 0},
      {OsOp::Link, dir.Core(u"game\\sys\\b.txt"), dir.Core(u"game\\c.txt"), 0},
      {OsOp::SetAttributes, dir.Core(u"game\\c.txt"), u"", OS_FILE_ATTRIBUTE_READONLY},
      {OsOp::Delete, dir.Core(u"game\\sys\\new.txt"), u"", 0},
      {OsOp::FlushFolder, dir.Core(u"game\\sys"), u"", 0},
  };
  EXPECT_EQ(events, expected);
}

}  // namespace
