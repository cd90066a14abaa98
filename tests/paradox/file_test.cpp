// The file interface: in-memory and OS implementations behave alike; the failing
// one fails exactly the N-th operation of a kind.
#include "paradox/format/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "faulty_file_system.h"

namespace paradox {
namespace {

void ExerciseFileSystem(FileSystem* fs, const std::string& root) {
  ASSERT_TRUE(fs->MakeDir(root + "/sub").ok());
  ASSERT_TRUE(fs->MakeDir(root + "/sub").ok());  // already there
  EXPECT_TRUE(fs->IsDirectory(root + "/sub"));
  const Bytes data = {1, 2, 3, 4, 5};
  ASSERT_TRUE(fs->WriteFile(root + "/sub/A.DB", data).ok());
  EXPECT_EQ(fs->ReadFile(root + "/sub/A.DB", UINT64_MAX).value(), data);
  EXPECT_EQ(fs->ReadFile(root + "/sub/A.DB", 5).value(), data);  // the limit is inclusive
  EXPECT_EQ(fs->ReadFile(root + "/sub/A.DB", 4).status().code(), Status::Code::kCorruption);
  EXPECT_EQ(fs->FileSize(root + "/sub/A.DB").value(), 5u);
  auto f = fs->Open(root + "/sub/A.DB", OpenMode::kReadWrite);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f.value()->WriteAt(8, Bytes{9}).ok());  // gap is zero-filled
  Bytes buf(20);
  size_t got = 0;
  ASSERT_TRUE(f.value()->ReadAt(0, buf, &got).ok());
  EXPECT_EQ(got, 9u);
  EXPECT_EQ(buf[6], 0);
  EXPECT_EQ(buf[8], 9);
  EXPECT_TRUE(f.value()->ReadExact(5, MutableByteSpan(buf.data(), 10)).IsCorruption());
  ASSERT_TRUE(f.value()->Truncate(2).ok());
  ASSERT_TRUE(f.value()->Sync().ok());
  ASSERT_TRUE(f.value()->Close().ok());
  EXPECT_EQ(fs->FileSize(root + "/sub/A.DB").value(), 2u);
  EXPECT_TRUE(fs->Open(root + "/sub/A.DB", OpenMode::kCreateNew).status().IsIOError());
  ASSERT_TRUE(fs->Copy(root + "/sub/A.DB", root + "/sub/B.DB").ok());
  ASSERT_TRUE(fs->Rename(root + "/sub/B.DB", root + "/sub/C.DB").ok());
  EXPECT_FALSE(fs->Exists(root + "/sub/B.DB"));
  EXPECT_EQ(fs->ListDir(root + "/sub").value(), (std::vector<std::string>{"A.DB", "C.DB"}));
  ASSERT_TRUE(fs->Remove(root + "/sub/C.DB").ok());
  EXPECT_TRUE(fs->Remove(root + "/sub/C.DB").IsNotFound());
  EXPECT_TRUE(fs->Open(root + "/sub/none", OpenMode::kRead).status().IsNotFound());
  EXPECT_TRUE(fs->Open(root + "/nodir/x", OpenMode::kCreate).status().IsNotFound());
  EXPECT_TRUE(fs->ListDir(root + "/nodir").status().IsNotFound());
  EXPECT_FALSE(fs->IsLocked(root + "/sub/A.DB").value());
  auto lock = fs->Lock(root + "/sub/A.DB");
  EXPECT_TRUE(lock.ok());
  // A second holder in this same process is refused too, until the first lets go.
  EXPECT_TRUE(fs->Lock(root + "/sub/A.DB").status().IsBusy());
  lock = Status::NotFound("released");
  auto again = fs->Lock(root + "/sub/A.DB");
  EXPECT_TRUE(again.ok()) << again.status().ToString();
  again = Status::NotFound("released");
  EXPECT_EQ(fs->ResolveLink(root + "/sub/A.DB").value(), root + "/sub/A.DB");
  ASSERT_TRUE(fs->SyncDir(root + "/sub").ok());
  // Remove takes an empty directory (a rebuild's scratch folder), never a full one.
  EXPECT_EQ(fs->Remove(root + "/sub").code(), Status::Code::kIOError);
  EXPECT_TRUE(fs->Exists(root + "/sub/A.DB"));
  ASSERT_TRUE(fs->MakeDir(root + "/empty").ok());
  ASSERT_TRUE(fs->Remove(root + "/empty").ok());
  EXPECT_FALSE(fs->IsDirectory(root + "/empty"));
}

TEST(MemFileSystemTest, BehavesLikeAFileSystem) {
  MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("/r").ok());
  ExerciseFileSystem(&fs, "/r");
  fs.SetLocked("/r/sub/A.DB", true);
  EXPECT_TRUE(fs.IsLocked("/r/sub/A.DB").value());
  EXPECT_TRUE(fs.Lock("/r/sub/A.DB").status().IsBusy());
  EXPECT_TRUE(fs.IsDirectory("\\r\\sub"));  // backslashes separate too
}

TEST(OsFileSystemTest, BehavesLikeTheMemoryOne) {
  char tmpl[] = "/tmp/paradox_fs_XXXXXX";
  std::string root = mkdtemp(tmpl);
  ExerciseFileSystem(DefaultFileSystem(), root);
  std::filesystem::remove_all(root);
}

// A copy is byte for byte, whether the kernel copies (a big file, in chunks, each one
// reported) or the copy falls back to reading and writing (a file the kernel cannot
// copy, or whose size it does not know: /proc). The reported bytes only grow and end
// at the size.
TEST(OsFileSystemTest, CopiesInChunksAndFallsBackWhereTheKernelCannot) {
  char tmpl[] = "/tmp/paradox_fs_XXXXXX";
  const std::string root = mkdtemp(tmpl);
  FileSystem* fs = DefaultFileSystem();
  Bytes big((size_t(20) << 20) + 12345);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 2654435761u >> 13);
  ASSERT_TRUE(fs->WriteFile(root + "/BIG.DB", big).ok());
  for (const std::string& from : {root + "/BIG.DB", std::string("/proc/self/cmdline")}) {
    SCOPED_TRACE(from);
    // Read as a stream: a /proc file's stat size is 0.
    std::ifstream in(from, std::ios::binary);
    const Bytes want{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(want.empty());
    std::vector<uint64_t> reports;
    Status st = fs->Copy(from, root + "/COPY", [&](uint64_t copied, uint64_t size) {
      EXPECT_LE(copied, std::max<uint64_t>(size, want.size()));
      reports.push_back(copied);
    });
    ASSERT_TRUE(st.ok()) << st.ToString();
    EXPECT_EQ(fs->ReadFile(root + "/COPY", UINT64_MAX).value(), want);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), want.size());
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    if (from == root + "/BIG.DB") {
      EXPECT_GE(reports.size(), 3u);  // 8 MiB chunks
    }
  }
  EXPECT_TRUE(fs->Copy(root + "/NONE", root + "/COPY2").IsNotFound());
  EXPECT_FALSE(fs->Exists(root + "/COPY2"));
  std::filesystem::remove_all(root);
}

// Every kind of lock another program may hold: record locks for writing and for reading
// (fcntl), and whole-file locks (flock), exclusive and shared.
TEST(OsFileSystemTest, SeesALockHeldByAnotherProcess) {
  char tmpl[] = "/tmp/paradox_lock_XXXXXX";
  std::string root = mkdtemp(tmpl);
  std::string path = root + "/T.DB";
  ASSERT_TRUE(DefaultFileSystem()->WriteFile(path, Bytes(10)).ok());
  enum Kind { kWriteRecordLock, kReadRecordLock, kExclusiveFlock, kSharedFlock };
  for (Kind kind : {kWriteRecordLock, kReadRecordLock, kExclusiveFlock, kSharedFlock}) {
    int pipefd[2], release[2];
    ASSERT_EQ(pipe(pipefd), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    if (child == 0) {
      close(release[1]);  // the parent's end: closed when it exits, even by a crash
      int fd = open(path.c_str(), O_RDWR);
      struct flock fl = {};
      fl.l_type = kind == kReadRecordLock ? F_RDLCK : F_WRLCK;
      fl.l_whence = SEEK_SET;
      bool ok = kind == kExclusiveFlock ? flock(fd, LOCK_EX) == 0
                : kind == kSharedFlock  ? flock(fd, LOCK_SH) == 0
                                        : fcntl(fd, F_SETLK, &fl) == 0;
      char c = ok ? 'y' : 'n';
      (void)!write(pipefd[1], &c, 1);
      (void)!read(release[0], &c, 1);  // holds the lock until the parent lets go or ends
      _exit(0);
    }
    close(release[0]);
    char c = 0;
    ASSERT_EQ(read(pipefd[0], &c, 1), 1);
    close(pipefd[0]);
    close(pipefd[1]);
    EXPECT_EQ(c, 'y') << "lock kind " << kind;
    EXPECT_TRUE(DefaultFileSystem()->IsLocked(path).value()) << "lock kind " << kind;
    if (kind == kWriteRecordLock || kind == kReadRecordLock) {
      EXPECT_TRUE(DefaultFileSystem()->Lock(path).status().IsBusy()) << "lock kind " << kind;
    }
    close(release[1]);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(DefaultFileSystem()->IsLocked(path).value()) << "lock kind " << kind;
  }
  std::filesystem::remove_all(root);
}

// A symbolic link resolves to the file it leads to, through a chain of links.
TEST(OsFileSystemTest, ResolvesSymbolicLinks) {
  char tmpl[] = "/tmp/paradox_link_XXXXXX";
  std::string root = mkdtemp(tmpl);
  ASSERT_TRUE(DefaultFileSystem()->MakeDir(root + "/real").ok());
  ASSERT_TRUE(DefaultFileSystem()->WriteFile(root + "/real/T.DB", Bytes(10)).ok());
  ASSERT_EQ(symlink("real/T.DB", (root + "/L1.DB").c_str()), 0);
  ASSERT_EQ(symlink(root.c_str(), (root + "/dir").c_str()), 0);
  ASSERT_EQ(symlink("L1.DB", (root + "/L2.DB").c_str()), 0);
  char* real = realpath((root + "/real/T.DB").c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  const std::string target = real;
  free(real);
  EXPECT_EQ(DefaultFileSystem()->ResolveLink(root + "/L2.DB").value(), target);
  EXPECT_EQ(DefaultFileSystem()->ResolveLink(root + "/L1.DB").value(), target);
  EXPECT_EQ(DefaultFileSystem()->ResolveLink(root + "/real/T.DB").value(), root + "/real/T.DB");
  // Only a link as the last part counts: a rename inside a linked folder is fine.
  EXPECT_EQ(DefaultFileSystem()->ResolveLink(root + "/dir/real/T.DB").value(),
            root + "/dir/real/T.DB");
  ASSERT_EQ(symlink("nowhere.DB", (root + "/dangling.DB").c_str()), 0);
  EXPECT_TRUE(DefaultFileSystem()->ResolveLink(root + "/dangling.DB").status().IsNotFound());
  std::filesystem::remove_all(root);
}

TEST(FaultyFileSystemTest, FailsTheNthOperationOfAKind) {
  MemFileSystem mem;
  FaultyFileSystem fs(&mem);
  fs.FailAt(FaultyFileSystem::Op::kWrite, 2, Status::IOError("disk full"));
  auto f = fs.Open("x", OpenMode::kCreate);
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(f.value()->WriteAt(0, Bytes{1}).ok());
  Status st = f.value()->WriteAt(1, Bytes{2});
  EXPECT_TRUE(st.IsIOError());
  EXPECT_EQ(st.message(), "disk full");
  EXPECT_TRUE(f.value()->WriteAt(1, Bytes{2}).ok());  // only the 2nd
  EXPECT_TRUE(fs.Fired());
  EXPECT_EQ(fs.Count(FaultyFileSystem::Op::kWrite), 3);

  fs.Reset();
  fs.FailAt(FaultyFileSystem::Op::kRename, 1, Status::IOError("rename"), /*sticky=*/true);
  EXPECT_TRUE(fs.Rename("x", "y").IsIOError());
  EXPECT_TRUE(fs.Rename("x", "y").IsIOError());
  EXPECT_TRUE(mem.Exists("x"));
  fs.FailAt(FaultyFileSystem::Op::kSync, 1);
  EXPECT_TRUE(fs.SyncDir("").IsIOError());
  fs.FailAt(FaultyFileSystem::Op::kRemove, 1);
  EXPECT_TRUE(fs.Remove("x").IsIOError());
  fs.FailAt(FaultyFileSystem::Op::kMakeDir, 1);
  EXPECT_TRUE(fs.MakeDir("d").IsIOError());
  fs.FailAt(FaultyFileSystem::Op::kCopy, 1);
  EXPECT_TRUE(fs.Copy("x", "z").IsIOError());
  fs.FailAt(FaultyFileSystem::Op::kListDir, 1);
  EXPECT_TRUE(fs.ListDir("").status().IsIOError());
  fs.FailAt(FaultyFileSystem::Op::kLock, 1);
  EXPECT_TRUE(fs.IsLocked("x").status().IsIOError());
  fs.FailAt(FaultyFileSystem::Op::kRead, 1);
  auto g = fs.Open("x", OpenMode::kRead);
  Bytes b(1);
  size_t got;
  EXPECT_TRUE(g.value()->ReadAt(0, b, &got).IsIOError());
}

TEST(PathHelpers, SplitBothSeparators) {
  EXPECT_EQ(PathDirName("a/b\\C.DB"), "a/b");
  EXPECT_EQ(PathBaseName("a/b\\C.DB"), "C.DB");
  EXPECT_EQ(PathStem("x/C.DB"), "C");
  EXPECT_EQ(PathExtension("x/C.db"), ".db");
  EXPECT_EQ(PathJoin("a", "b"), "a/b");
  EXPECT_EQ(PathJoin("", "b"), "b");
}

}  // namespace
}  // namespace paradox
