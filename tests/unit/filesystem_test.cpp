// Attributes, renames, deletes and the module path, on the build's layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "payload/file_dx.h"
#include "payload/payload_container.h"
#include "platform/fault.h"
#include "platform/filesystem.h"
#include "tests/support/test_files.h"

namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { OsFaultReset(); }
  void TearDown() override { OsFaultReset(); }
  TempDir dir;
};

TEST_F(FileSystemTest, AttributesOfFilesFoldersAndNothing) {
  WriteFileBytes(dir.Native("file"), Bytes("x"));
  std::filesystem::create_directory(dir.Native("folder"));

  uint32_t file = OsGetFileAttributes(dir.Core(u"file").c_str());
  ASSERT_NE(file, OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(file & (OS_FILE_ATTRIBUTE_READONLY | OS_FILE_ATTRIBUTE_DIRECTORY), 0u);
  uint32_t folder = OsGetFileAttributes(dir.Core(u"folder").c_str());
  ASSERT_NE(folder, OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(folder & OS_FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(OsGetFileAttributes(dir.Core(u"missing").c_str()), OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);

  ASSERT_TRUE(OsSetFileAttributes(dir.Core(u"file").c_str(), OS_FILE_ATTRIBUTE_READONLY));
  EXPECT_NE(OsGetFileAttributes(dir.Core(u"file").c_str()) & OS_FILE_ATTRIBUTE_READONLY, 0u);
  CFileDX writer;
  EXPECT_EQ(writer.OpenWrite(dir.Core(u"file").c_str(), 0), 0) << "the attribute set here blocks writing";
  ASSERT_TRUE(OsSetFileAttributes(dir.Core(u"file").c_str(), OS_FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(OsGetFileAttributes(dir.Core(u"file").c_str()) & OS_FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(writer.OpenWrite(dir.Core(u"file").c_str(), 0), 1);
  writer.Close();

  EXPECT_FALSE(OsSetFileAttributes(dir.Core(u"missing").c_str(), OS_FILE_ATTRIBUTE_NORMAL));
}

TEST_F(FileSystemTest, DeleteRefusesReadOnlyOpenAndFolders) {
  WriteFileBytes(dir.Native("ro"), Bytes("r"));
  SetReadOnly(dir.Native("ro"), true);
  EXPECT_FALSE(OsDeleteFile(dir.Core(u"ro").c_str()));
  EXPECT_EQ(OsLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_TRUE(std::filesystem::exists(dir.Native("ro")));

  WriteFileBytes(dir.Native("open"), Bytes("o"));
  for (bool forWriting : {false, true}) {
    SCOPED_TRACE(forWriting);
    CFileDX holder;
    ASSERT_EQ(forWriting ? holder.OpenWrite(dir.Core(u"open").c_str(), 1) : holder.OpenRead(dir.Core(u"open").c_str()),
              1);
    EXPECT_FALSE(OsDeleteFile(dir.Core(u"open").c_str()));
    EXPECT_TRUE(std::filesystem::exists(dir.Native("open")));
  }

  std::filesystem::create_directory(dir.Native("folder"));
  EXPECT_FALSE(OsDeleteFile(dir.Core(u"folder").c_str()));
  EXPECT_FALSE(OsDeleteFile(dir.Core(u"missing").c_str()));
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(OsDeleteFile(dir.Core(u"open").c_str()));
  EXPECT_FALSE(std::filesystem::exists(dir.Native("open")));
}

TEST_F(FileSystemTest, MoveReplacesOnlyWhatWindowsWouldReplace) {
  auto reset = [&] {
    WriteFileBytes(dir.Native("new"), Bytes("new"));
    WriteFileBytes(dir.Native("old"), Bytes("old"));
  };
  std::u16string from = dir.Core(u"new");
  std::u16string to = dir.Core(u"old");

  reset();
  EXPECT_FALSE(OsMoveFile(from.c_str(), to.c_str(), false)) << "no replacing without the flag";
  EXPECT_EQ(OsLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFileBytes(dir.Native("old")), Bytes("old"));

  reset();
  SetReadOnly(dir.Native("old"), true);
  EXPECT_FALSE(OsMoveFile(from.c_str(), to.c_str(), true)) << "read-only destination";
  EXPECT_EQ(ReadFileBytes(dir.Native("old")), Bytes("old"));
  SetReadOnly(dir.Native("old"), false);

  for (bool holdDestination : {true, false}) {
    SCOPED_TRACE(holdDestination);
    reset();
    CFileDX holder;
    ASSERT_EQ(holder.OpenRead((holdDestination ? to : from).c_str()), 1);
    EXPECT_FALSE(OsMoveFile(from.c_str(), to.c_str(), true)) << "a file held open is neither moved nor replaced";
    holder.Close();
    EXPECT_EQ(ReadFileBytes(dir.Native("old")), Bytes("old"));
    EXPECT_TRUE(std::filesystem::exists(dir.Native("new")));
  }

  reset();
  ASSERT_TRUE(OsMoveFile(from.c_str(), to.c_str(), true));
  EXPECT_EQ(ReadFileBytes(dir.Native("old")), Bytes("new"));
  EXPECT_FALSE(std::filesystem::exists(dir.Native("new")));

  ASSERT_TRUE(OsMoveFile(to.c_str(), dir.Core(u"fresh").c_str(), false)) << "a plain rename to a free name";
  EXPECT_EQ(ReadFileBytes(dir.Native("fresh")), Bytes("new"));
  EXPECT_FALSE(OsMoveFile(dir.Core(u"missing").c_str(), to.c_str(), true));
  EXPECT_EQ(OsLastError(), OS_ERROR_FILE_NOT_FOUND);

  SetReadOnly(dir.Native("fresh"), true);
  EXPECT_TRUE(OsMoveFile(dir.Core(u"fresh").c_str(), to.c_str(), true)) << "a read-only source may be renamed";
}

TEST_F(FileSystemTest, NamesOutsideAsciiAndSubfolders) {
  std::filesystem::create_directory(dir.Native("サブ"));
  std::u16string name = dir.Core(u"サブ\\ルメトリア①𠀋.arc");
  CFileDX file;
  ASSERT_EQ(file.OpenWrite(name.c_str(), 0), 1);
  EXPECT_EQ(file.Write("jp", 2), 2u);
  file.Close();
  EXPECT_EQ(ReadFileBytes(dir.Native("サブ/ルメトリア①𠀋.arc")), Bytes("jp"));
  EXPECT_NE(OsGetFileAttributes(name.c_str()), OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(OsDeleteFile(name.c_str()));
}

TEST_F(FileSystemTest, ModulePathNamesThisProgramAndIsCutLikeWindows) {
  char16_t path[kExecutablePathCapacity] = {};
  uint32_t length = OsGetModulePath(path, kExecutablePathCapacity);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, kExecutablePathCapacity);
  std::u16string text(path);
  EXPECT_EQ(text.size(), length);
  EXPECT_NE(text.find(u"unit_tests"), std::u16string::npos);
  CFileDX self;
  EXPECT_EQ(self.OpenRead(path), 1) << "the program can read its own file";
  EXPECT_GT(self.GetSize(), 0u);

  char16_t cut[8];
  std::fill(std::begin(cut), std::end(cut), u'#');
  EXPECT_EQ(OsGetModulePath(cut, 8), 8u);
  EXPECT_EQ(std::u16string(cut), text.substr(0, 7));

  // At the boundary: a buffer of exactly the path's length has no room for
  // the terminator, so the path is cut by one unit and the cut reported;
  // one unit more holds it whole. Nothing is written past the capacity.
  for (uint32_t capacity : {length, length + 1}) {
    SCOPED_TRACE(testing::Message() << "capacity " << capacity << " for a path of " << length);
    std::vector<char16_t> buffer(capacity + 1, u'#');
    uint32_t written = OsGetModulePath(buffer.data(), capacity);
    EXPECT_EQ(buffer[capacity], u'#') << "written past the end";
    if (capacity == length) {
      EXPECT_EQ(written, capacity);
      EXPECT_EQ(std::u16string(buffer.data()), text.substr(0, length - 1));
    } else {
      EXPECT_EQ(written, length);
      EXPECT_EQ(std::u16string(buffer.data()), text);
    }
  }

  OsFaultArm(OsOp::ModulePath, 1);
  EXPECT_EQ(OsGetModulePath(path, kExecutablePathCapacity), 0u);
}

TEST_F(FileSystemTest, EveryPathOperationCanBeMadeToFail) {
  WriteFileBytes(dir.Native("a"), Bytes("a"));
  std::u16string a = dir.Core(u"a");
  std::u16string b = dir.Core(u"b");
  OsFaultArm(OsOp::GetAttributes, 1);
  EXPECT_EQ(OsGetFileAttributes(a.c_str()), OS_INVALID_FILE_ATTRIBUTES);
  OsFaultArm(OsOp::SetAttributes, 1);
  EXPECT_FALSE(OsSetFileAttributes(a.c_str(), OS_FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(OsGetFileAttributes(a.c_str()) & OS_FILE_ATTRIBUTE_READONLY, 0u);
  OsFaultArm(OsOp::Move, 1);
  EXPECT_FALSE(OsMoveFile(a.c_str(), b.c_str(), true));
  EXPECT_TRUE(std::filesystem::exists(dir.Native("a")));
  OsFaultArm(OsOp::Delete, 1);
  EXPECT_FALSE(OsDeleteFile(a.c_str()));
  EXPECT_TRUE(std::filesystem::exists(dir.Native("a")));
  EXPECT_EQ(OsFaultCalls(OsOp::Delete), 1u);
}

#ifndef _WIN32
// Pages of the file in the page cache (mincore over a fresh mapping, which
// reports the cache whether or not this process touched them).
size_t ResidentPages(const std::filesystem::path& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return SIZE_MAX;
  size_t size = static_cast<size_t>(lseek(fd, 0, SEEK_END));
  void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return SIZE_MAX;
  long page = sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> resident((size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page));
  size_t count = SIZE_MAX;
  if (mincore(map, size, resident.data()) == 0) {
    count = static_cast<size_t>(std::count_if(resident.begin(), resident.end(), [](unsigned char c) { return c & 1; }));
  }
  munmap(map, size);
  return count;
}

// The hint before files are replaced: the clean cached pages of the file go,
// the file stays as it was, and a link is not followed to its target.
TEST_F(FileSystemTest, DroppingAFilesCachedContentsChangesNothingElse) {
  const std::vector<uint8_t> bytes = PatternBytes(1 << 20, 3);
  for (const char* name : {"file", "target"}) {
    WriteFileBytes(dir.Native(name), bytes);
    int fd = open(dir.Native(name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    fsync(fd);
    close(fd);
    ASSERT_EQ(ReadFileBytes(dir.Native(name)), bytes);  // cached again
  }
  std::filesystem::create_symlink(dir.Native("target"), dir.Native("link"));
  ASSERT_GT(ResidentPages(dir.Native("file")), 0u);
  ASSERT_GT(ResidentPages(dir.Native("target")), 0u);

  OsDropCachedContents(dir.Core(u"file").c_str());
  OsDropCachedContents(dir.Core(u"link").c_str());
  OsDropCachedContents(dir.Core(u"missing").c_str());
  EXPECT_EQ(ResidentPages(dir.Native("file")), 0u);
  EXPECT_GT(ResidentPages(dir.Native("target")), 0u) << "the link was followed";
  EXPECT_EQ(ReadFileBytes(dir.Native("file")), bytes);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Native("link")));
}
#endif

}  // namespace
