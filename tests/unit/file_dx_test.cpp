// CFileDX on the platform layer of the build: the same cases run natively
// against the POSIX layer and under Wine against the Win32 layer.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <linux/magic.h>
#else
#include <windows.h>
#endif

#include "payload/file_dx.h"
#include "platform/fault.h"
#include "platform/filesystem.h"
#include "tests/support/test_files.h"

namespace {

class FileDxTest : public ::testing::Test {
 protected:
  void SetUp() override { OsFaultReset(); }
  void TearDown() override { OsFaultReset(); }
  TempDir dir;
};

TEST_F(FileDxTest, FreshObjectIsClosedAndReportsClosedResults) {
  CFileDX file;
  uint8_t byte = 0;
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.LastError(), 0u);
  EXPECT_EQ(file.GetSize(), 0xFFFFFFFFu);
  EXPECT_EQ(file.Read(&byte, 1), 0u);
  EXPECT_EQ(file.Write(&byte, 1), 0u);
  EXPECT_EQ(file.Seek(0, 0), 0);
  EXPECT_EQ(file.Flush(), 0);
  EXPECT_EQ(file.Close(), -1);
  EXPECT_EQ(file.Close(), -1);
}

TEST_F(FileDxTest, WritesThenReadsBackThroughOneObject) {
  std::u16string path = dir.Core(u"data.bin");
  std::vector<uint8_t> bytes = PatternBytes(5000, 1);
  CFileDX file;
  ASSERT_EQ(file.OpenWrite(path.c_str(), 0), 1);
  EXPECT_EQ(file.Write(bytes.data(), 5000), 5000u);
  EXPECT_EQ(file.Flush(), 1);
  EXPECT_EQ(file.GetSize(), 5000u);
  EXPECT_EQ(file.Close(), 1);
  EXPECT_FALSE(file.IsOpen());

  ASSERT_EQ(file.OpenRead(path.c_str()), 1);
  EXPECT_EQ(file.GetSize(), 5000u);
  std::vector<uint8_t> back(6000, 0xAA);
  EXPECT_EQ(file.Read(back.data(), 3000), 3000u);
  EXPECT_EQ(file.Read(back.data() + 3000, 3000), 2000u) << "a read at the end moves what is left";
  EXPECT_EQ(file.Read(back.data(), 10), 0u);
  back.resize(5000);
  EXPECT_EQ(back, bytes);

  ASSERT_EQ(file.Seek(4990, 0), 1);
  uint8_t tail[10];
  EXPECT_EQ(file.Read(tail, 10), 10u);
  EXPECT_EQ(0, memcmp(tail, bytes.data() + 4990, 10));
}

TEST_F(FileDxTest, OpenOnAnOpenObjectFailsAndLeavesTheFileOpen) {
  WriteFileBytes(dir.Native("a"), Bytes("first"));
  WriteFileBytes(dir.Native("b"), Bytes("second"));
  CFileDX file;
  ASSERT_EQ(file.OpenRead(dir.Core(u"a").c_str()), 1);
  EXPECT_EQ(file.OpenRead(dir.Core(u"b").c_str()), 0);
  EXPECT_EQ(file.OpenWrite(dir.Core(u"b").c_str(), 0), 0);
  EXPECT_EQ(file.LastError(), 0u) << "a refused open is not a system error";
  char text[8] = {};
  EXPECT_EQ(file.Read(text, 8), 5u);
  EXPECT_STREQ(text, "first");
  EXPECT_EQ(ReadFileBytes(dir.Native("b")), Bytes("second"));
}

TEST_F(FileDxTest, OpenReadOfMissingFileKeepsTheSystemError) {
  CFileDX file;
  EXPECT_EQ(file.OpenRead(dir.Core(u"missing.bin").c_str()), 0);
  EXPECT_EQ(file.LastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(file.GetSize(), 0xFFFFFFFFu);
  EXPECT_EQ(file.OpenRead(dir.Core(u"no-folder\\missing.bin").c_str()), 0);
  EXPECT_EQ(file.LastError(), OS_ERROR_PATH_NOT_FOUND);
}

TEST_F(FileDxTest, FolderCannotBeOpenedAsAFile) {
  std::filesystem::create_directory(dir.Native("sub"));
  CFileDX file;
  EXPECT_EQ(file.OpenRead(dir.Core(u"sub").c_str()), 0);
  EXPECT_EQ(file.LastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(file.OpenWrite(dir.Core(u"sub").c_str(), 0), 0);
  EXPECT_EQ(file.OpenWrite(dir.Core(u"sub").c_str(), 1), 0);
}

TEST_F(FileDxTest, WriteModesTruncateOrKeep) {
  struct Case {
    int32_t mode;
    const char* expected;  // after writing "XY" at the start of "abcdef"
  };
  const Case cases[] = {{0, "XY"}, {2, "XY"}, {-1, "XY"}, {1, "XYcdef"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    WriteFileBytes(dir.Native("m"), Bytes("abcdef"));
    CFileDX file;
    ASSERT_EQ(file.OpenWrite(dir.Core(u"m").c_str(), c.mode), 1);
    EXPECT_EQ(file.Write("XY", 2), 2u);
    file.Close();
    EXPECT_EQ(ReadFileBytes(dir.Native("m")), Bytes(c.expected));
  }
  for (int32_t mode : {0, 1}) {
    SCOPED_TRACE(mode);
    std::filesystem::remove(dir.Native("new"));
    CFileDX file;
    ASSERT_EQ(file.OpenWrite(dir.Core(u"new").c_str(), mode), 1) << "both modes create a missing file";
    file.Close();
    EXPECT_TRUE(std::filesystem::exists(dir.Native("new")));
  }
}

TEST_F(FileDxTest, WriterExcludesEveryOtherOpen) {
  WriteFileBytes(dir.Native("x"), Bytes("content"));
  std::u16string path = dir.Core(u"x");
  CFileDX writer;
  ASSERT_EQ(writer.OpenWrite(path.c_str(), 1), 1);

  CFileDX second;
  EXPECT_EQ(second.OpenWrite(path.c_str(), 0), 0) << "second exclusive open";
  EXPECT_EQ(second.OpenWrite(path.c_str(), 1), 0);
  EXPECT_EQ(second.OpenRead(path.c_str()), 0);
  EXPECT_EQ(second.LastError(), OS_ERROR_SHARING_VIOLATION);
  writer.Close();
  EXPECT_EQ(ReadFileBytes(dir.Native("x")), Bytes("content")) << "the refused truncating open cut nothing";
  EXPECT_EQ(second.OpenWrite(path.c_str(), 0), 1) << "free again once closed";
}

TEST_F(FileDxTest, ReadersShareWithReadersOnly) {
  WriteFileBytes(dir.Native("r"), Bytes("shared"));
  std::u16string path = dir.Core(u"r");
  CFileDX first, second, writer;
  ASSERT_EQ(first.OpenRead(path.c_str()), 1);
  EXPECT_EQ(second.OpenRead(path.c_str()), 1);
  EXPECT_EQ(writer.OpenWrite(path.c_str(), 0), 0);
  first.Close();
  EXPECT_EQ(writer.OpenWrite(path.c_str(), 0), 0) << "one reader still holds it";
  second.Close();
  EXPECT_EQ(writer.OpenWrite(path.c_str(), 0), 1);
}

TEST_F(FileDxTest, DestructorReleasesTheFile) {
  std::u16string path = dir.Core(u"d");
  {
    CFileDX scoped;
    ASSERT_EQ(scoped.OpenWrite(path.c_str(), 0), 1);
    scoped.Write("z", 1);
  }
  CFileDX after;
  EXPECT_EQ(after.OpenWrite(path.c_str(), 1), 1);
}

TEST_F(FileDxTest, ReadOnlyFileCannotBeOpenedForWriting) {
  WriteFileBytes(dir.Native("ro"), Bytes("keep me"));
  SetReadOnly(dir.Native("ro"), true);
  std::u16string path = dir.Core(u"ro");
  for (int32_t mode : {0, 1}) {
    SCOPED_TRACE(mode);
    CFileDX file;
    EXPECT_EQ(file.OpenWrite(path.c_str(), mode), 0);
    EXPECT_FALSE(file.IsOpen());
  }
  EXPECT_EQ(ReadFileBytes(dir.Native("ro")), Bytes("keep me"));
  CFileDX reader;
  EXPECT_EQ(reader.OpenRead(path.c_str()), 1) << "reading a read-only file is fine";
}

TEST_F(FileDxTest, SeekToAPositionWhoseLowHalfIsAllOnes) {
  WriteFileBytes(dir.Native("s"), Bytes("abc"));
  CFileDX file;
  ASSERT_EQ(file.OpenRead(dir.Core(u"s").c_str()), 1);
  EXPECT_EQ(file.Seek(0xFFFFFFFF, 0), 1);
  uint8_t byte;
  EXPECT_EQ(file.Read(&byte, 1), 0u) << "nothing lies beyond the end";
  EXPECT_EQ(file.Seek(0xFFFFFFFF, 0xFFFFFFFF), 0) << "a negative position";
  EXPECT_EQ(file.Seek(1, 0), 1);
  EXPECT_EQ(file.Read(&byte, 1), 1u);
  EXPECT_EQ(byte, 'b');
}

TEST_F(FileDxTest, InjectedFailuresReachTheCaller) {
  std::u16string path = dir.Core(u"f");
  WriteFileBytes(dir.Native("f"), Bytes("0123456789"));
  CFileDX file;

  OsFaultArm(OsOp::OpenRead, 1);
  EXPECT_EQ(file.OpenRead(path.c_str()), 0);
  EXPECT_NE(file.LastError(), 0u);
  ASSERT_EQ(file.OpenRead(path.c_str()), 1) << "only the armed call fails";

  uint8_t buffer[10];
  OsFaultArm(OsOp::Read, 2);
  EXPECT_EQ(file.Read(buffer, 2), 2u);
  EXPECT_EQ(file.Read(buffer, 2), 0u);
  OsFaultArm(OsOp::Read, 1, OsFault::Short);
  EXPECT_EQ(file.Read(buffer, 4), 2u);
  OsFaultArm(OsOp::Seek, 1);
  EXPECT_EQ(file.Seek(0, 0), 0);
  file.Close();

  ASSERT_EQ(file.OpenWrite(path.c_str(), 0), 1);
  OsFaultArm(OsOp::Write, 1);
  EXPECT_EQ(file.Write("abc", 3), 0u);
  OsFaultArm(OsOp::Write, 1, OsFault::Short);
  EXPECT_EQ(file.Write("abcd", 4), 2u);
  OsFaultArm(OsOp::Flush, 1);
  EXPECT_EQ(file.Flush(), 0);
  OsFaultArm(OsOp::Close, 1);
  EXPECT_EQ(file.Close(), 0);
  EXPECT_FALSE(file.IsOpen()) << "a failed close still releases the handle";
  EXPECT_EQ(file.OpenWrite(path.c_str(), 1), 1);
  file.Close();
  EXPECT_EQ(ReadFileBytes(dir.Native("f")), Bytes("ab"));

  OsFaultArm(OsOp::OpenWrite, 1, OsFault::Fail, true);
  EXPECT_EQ(file.OpenWrite(path.c_str(), 0), 0);
  EXPECT_EQ(file.OpenWrite(path.c_str(), 0), 0) << "a repeating fault keeps failing";
  EXPECT_EQ(OsFaultCalls(OsOp::OpenWrite), 4u);
}

// Open handles of this process; Windows only (elsewhere 0).
unsigned long OpenHandles() {
#ifdef _WIN32
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
#else
  return 0;
#endif
}

// Writes `pieces` pieces of 1 MiB through a new file at path, starting the
// writeback of each as the run does, and closes it.
void StreamFile(const std::u16string& path, uint32_t pieces, uint32_t seed) {
  const uint32_t kPiece = 1u << 20;
  std::vector<uint8_t> piece = PatternBytes(kPiece, seed);
  CFileDX file;
  ASSERT_EQ(file.CreateNew(path.c_str()), 1);
  for (uint32_t i = 0; i < pieces; ++i) {
    piece[0] = static_cast<uint8_t>(i);
    ASSERT_EQ(file.Write(piece.data(), kPiece), kPiece);
    file.StartWriteback(i * kPiece, kPiece);
  }
  ASSERT_EQ(file.Close(), 1);
}

// Checks that the file at path holds what StreamFile wrote.
void ExpectStreamed(const std::filesystem::path& path, uint32_t pieces, uint32_t seed) {
  const size_t kPiece = size_t{1} << 20;
  std::vector<uint8_t> back = ReadFileBytes(path);
  std::vector<uint8_t> piece = PatternBytes(kPiece, seed);
  ASSERT_EQ(back.size(), size_t{pieces} * kPiece);
  for (uint32_t i = 0; i < pieces; ++i) {
    piece[0] = static_cast<uint8_t>(i);
    ASSERT_EQ(0, memcmp(back.data() + i * kPiece, piece.data(), kPiece)) << "piece " << i;
  }
}

// Starting the writeback along a file leaves nothing behind once the file is
// closed: it can be moved and deleted at once (a handle still held for a
// flush in the background would refuse both on Windows), it holds every
// byte, and no handle is left open.
TEST_F(FileDxTest, WritebackLeavesNothingOpenOnceTheFileIsClosed) {
  const uint32_t kPieces = static_cast<uint32_t>(kOsWritebackLag >> 20) * 3 + 5;
  unsigned long handles = 0;
  for (uint32_t round = 0; round < 4; ++round) {
    std::u16string written = dir.Core(u"streamed.tmp");
    std::u16string moved = dir.Core(u"streamed.bin");
    ASSERT_NO_FATAL_FAILURE(StreamFile(written, kPieces, round));
    ASSERT_TRUE(OsMoveFile(written.c_str(), moved.c_str(), false)) << "round " << round;
    ASSERT_NO_FATAL_FAILURE(ExpectStreamed(dir.Native("streamed.bin"), kPieces, round));
    ASSERT_TRUE(OsDeleteFile(moved.c_str())) << "round " << round;
    // The first round may set up what later rounds reuse.
    if (round == 0) handles = OpenHandles();
    EXPECT_EQ(OpenHandles(), handles) << "round " << round;
  }
}

#ifndef _WIN32
// Pages of path's first `bytes` bytes that are in the page cache.
size_t CachedPages(const std::filesystem::path& path, size_t bytes) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return SIZE_MAX;
  void* map = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fileno(file), 0);
  fclose(file);
  if (map == MAP_FAILED) return SIZE_MAX;
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((bytes + page - 1) / page);
  size_t cached = SIZE_MAX;
  if (mincore(map, bytes, resident.data()) == 0) {
    cached = 0;
    for (unsigned char flags : resident) cached += flags & 1;
  }
  munmap(map, bytes);
  return cached;
}

// A file written piece by piece, starting the writeback of each piece, keeps
// only its last stretch in the page cache; and every byte is still there.
TEST_F(FileDxTest, StreamedFileLeavesOnlyItsLastStretchCached) {
  struct statfs where {};
  ASSERT_EQ(statfs(dir.Path().c_str(), &where), 0);
  if (where.f_type == TMPFS_MAGIC) GTEST_SKIP() << "a tmpfs file lives in the cache";
  const uint32_t kPieces = static_cast<uint32_t>(kOsWritebackLag >> 20) + 12;
  ASSERT_NO_FATAL_FAILURE(StreamFile(dir.Core(u"streamed.bin"), kPieces, 7));

  size_t early = size_t{12} << 20;
  EXPECT_LT(CachedPages(dir.Native("streamed.bin"), early), early / 4096 / 8)
      << "the pieces written long before the end were left in the cache";
  ExpectStreamed(dir.Native("streamed.bin"), kPieces, 7);
}
#endif

}  // namespace
