// Real tables made by other software: each family is copied into a temporary folder
// and rebuilt there; the rebuilt table must hold the same records in the same order,
// verify clean, and read the same in pxlib. The shared folder itself is never written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "faulty_file_system.h"
#include "mutators.h"
#include "paradox/repair/salvage.h"
#include "rebuild_helpers.h"

namespace paradox::test {
namespace {

namespace stdfs = std::filesystem;

// A folder of this process's own: other test processes (ctest -j, another build tree) run the
// same tests at the same time, so a fixed name under the temporary folder would be shared.
stdfs::path UniqueDir(const std::string& stem) {
  std::string tmpl = (stdfs::path(::testing::TempDir()) / (stem + "_XXXXXX")).string();
  if (mkdtemp(tmpl.data()) == nullptr)
    ADD_FAILURE() << "mkdtemp " << tmpl << ": " << std::strerror(errno);
  return tmpl;
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<stdfs::path> SharedTables() {
  std::vector<stdfs::path> out;
  stdfs::path root(REKASTO_TABLES_DIR);
  if (!stdfs::is_directory(root)) return out;
  for (const auto& e : stdfs::recursive_directory_iterator(root)) {
    if (e.is_regular_file() && Upper(e.path().extension().string()) == ".DB")
      out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Copies the family of `db` (files of the same stem, any case) into `dir`.
std::string CopyFamily(const stdfs::path& db, const stdfs::path& dir) {
  stdfs::create_directories(dir);
  for (const auto& e : stdfs::directory_iterator(db.parent_path())) {
    if (!e.is_regular_file()) continue;
    if (Upper(e.path().stem().string()) != Upper(db.stem().string())) continue;
    stdfs::copy_file(e.path(), dir / e.path().filename(), stdfs::copy_options::overwrite_existing);
    stdfs::permissions(dir / e.path().filename(),
                       stdfs::perms::owner_read | stdfs::perms::owner_write,
                       stdfs::perm_options::add);
  }
  return (dir / db.filename()).string();
}

TEST(RebuildSharedTables, EveryTableRebuildsToIdenticalRecords) {
  auto tables = SharedTables();
  if (tables.empty()) GTEST_SKIP() << "shared tables folder " << REKASTO_TABLES_DIR << " is absent";
  stdfs::path work = UniqueDir("rebuild_shared");
  stdfs::remove_all(work);
  int rebuilt = 0;
  for (const stdfs::path& t : tables) {
    SCOPED_TRACE(t.string());
    stdfs::path dir = work / stdfs::relative(t.parent_path(), REKASTO_TABLES_DIR) / t.stem();
    std::string db = CopyFamily(t, dir);
    FileSystem* fs = DefaultFileSystem();
    Snapshot before = TakeSnapshot(fs, db);
    ASSERT_TRUE(before.ok) << before.error;
    auto headerBefore = ReadHeader(fs, db);
    ASSERT_TRUE(headerBefore.ok());
    std::string cleanWhy;
    const bool cleanBefore = FamilyVerifiesClean(fs, db, &cleanWhy);

    RebuildOptions o;
    RebuildResult r = RebuildTable(db, o);
    ASSERT_TRUE(r.status.ok()) << r.status.ToString();
    ++rebuilt;
    // What the table is stays as it was; a table the verifier passed needed no repair.
    auto headerAfter = ReadHeader(fs, db);
    ASSERT_TRUE(headerAfter.ok());
    EXPECT_EQ(headerAfter->fixed.fileVersionId, headerBefore->fixed.fileVersionId);
    EXPECT_EQ(headerAfter->BlockSize(), headerBefore->BlockSize());
    EXPECT_EQ(headerAfter->CodePage(), headerBefore->CodePage());
    EXPECT_EQ(headerAfter->fixed.sortOrder, headerBefore->fixed.sortOrder);
    EXPECT_EQ(headerAfter->sortOrderId, headerBefore->sortOrderId);
    if (cleanBefore) {
      EXPECT_EQ(r.issues, 0u) << "a table that verified clean was repaired";
    }
    Snapshot after = TakeSnapshot(fs, db);
    ASSERT_TRUE(after.ok) << after.error;
    EXPECT_EQ(after.records.size(), before.records.size());
    if (r.blobsBroken == 0) {
      EXPECT_EQ(after.records, before.records) << "records differ after the rebuild";
    } else {
      // Blob values whose .MB is missing keep only their leader (MEMBRE.DB lacks its .MB).
      EXPECT_EQ(after.withoutBlobValues, before.withoutBlobValues)
          << "records differ after the rebuild";
    }
    EXPECT_EQ(r.problems, 0u);
    EXPECT_EQ(r.keyViolations, 0u);
    std::string why;
    EXPECT_TRUE(FamilyVerifiesClean(fs, db, &why)) << why;

    std::vector<Bytes> px;
    std::string pxWhy;
    if (ReadWithPxlib(db, &px, &pxWhy)) {
      auto reader = TableReader::Open(fs, db);
      ASSERT_TRUE(reader.ok());
      std::vector<Bytes> ours;
      auto cur = (*reader)->Records();
      while (cur.Next()) ours.emplace_back(cur.record().bytes.begin(), cur.record().bytes.end());
      EXPECT_EQ(px, ours) << "pxlib reads " << px.size() << " records, we read " << ours.size();
    } else {
      ADD_FAILURE() << "pxlib cannot read the rebuilt table: " << pxWhy;
    }
  }
  EXPECT_GT(rebuilt, 50);
  stdfs::remove_all(work);
}

// Keyed tables that lost their .PX (an engine cannot open them so) verify as repairable,
// and the rebuild writes the .PX: afterwards they verify clean.
TEST(RebuildSharedTables, KeyedTablesWithoutTheirPrimaryIndexGetOne) {
  auto tables = SharedTables();
  if (tables.empty()) GTEST_SKIP() << "shared tables folder " << REKASTO_TABLES_DIR << " is absent";
  stdfs::path work = UniqueDir("rebuild_no_px");
  int seen = 0;
  for (const stdfs::path& t : tables) {
    VerifyReport before = VerifyTable(t.string());
    if (!before.Has("index.px-missing")) continue;
    SCOPED_TRACE(t.string());
    ++seen;
    EXPECT_GE(int(before.verdict), int(Verdict::kRepairable));
    std::string db = CopyFamily(t, work / std::to_string(seen));
    FileSystem* fs = DefaultFileSystem();
    RebuildResult r = RebuildTable(db);
    ASSERT_TRUE(r.status.ok()) << r.status.ToString();
    EXPECT_GT(r.issues, 0u);
    auto fam = FindFamily(fs, db);
    ASSERT_TRUE(fam.ok());
    EXPECT_FALSE(fam->px.empty());
    VerifyReport after = VerifyTable(db);
    EXPECT_FALSE(after.Has("index.px-missing"));
    std::string why;
    EXPECT_TRUE(FamilyVerifiesClean(fs, db, &why)) << why;
  }
  EXPECT_GT(seen, 0) << "no keyed table without its .PX among the shared tables";
  stdfs::remove_all(work);
}

// Keyed tables whose collation is not "ascii" keep the engine's record order byte for
// byte (the writer takes it as given): the engine finds its keys through the .PX in its
// own collation, which byte order would break.
TEST(RebuildSharedTables, EngineCollationOrderIsKept) {
  auto tables = SharedTables();
  if (tables.empty()) GTEST_SKIP() << "shared tables folder " << REKASTO_TABLES_DIR << " is absent";
  stdfs::path work = UniqueDir("rebuild_collation");
  stdfs::remove_all(work);
  FileSystem* fs = DefaultFileSystem();
  int notByteOrder = 0;
  std::set<std::string> seen;
  for (const stdfs::path& t : tables) {
    SCOPED_TRACE(t.string());
    {
      auto probe = TableReader::Open(fs, t.string());
      if (!probe.ok() || (*probe)->header().fixed.primaryKeyFields == 0 ||
          IsByteOrderCollation((*probe)->header()))
        continue;
    }
    seen.insert(t.filename().string());
    const std::string name = t.filename().string();
    std::string db =
        CopyFamily(t, work / stdfs::relative(t.parent_path(), REKASTO_TABLES_DIR) / t.stem());
    auto before = TableReader::Open(fs, db);
    ASSERT_TRUE(before.ok()) << before.status().ToString();
    const TableHeader h = (*before)->header();
    size_t klen = 0;
    for (size_t i = 0; i < h.fixed.primaryKeyFields; ++i) klen += h.fields[i].Size();
    std::vector<Bytes> raw;
    auto cur = (*before)->Records();
    while (cur.Next()) raw.emplace_back(cur.record().bytes.begin(), cur.record().bytes.end());
    before->reset();
    for (size_t i = 1; i < raw.size(); ++i)
      if (std::memcmp(raw[i - 1].data(), raw[i].data(), klen) > 0) {
        ++notByteOrder;
        break;
      }
    Snapshot snap = TakeSnapshot(fs, db);
    ASSERT_TRUE(snap.ok) << snap.error;

    RebuildOptions o;
    RebuildResult r = RebuildTable(db, o);
    ASSERT_TRUE(r.status.ok()) << r.status.ToString();
    EXPECT_EQ(r.problems, 0u);
    EXPECT_EQ(r.keyViolations, 0u);
    for (const RebuildAction& a : r.actions) EXPECT_NE(a.action, "order") << a.detail;
    Snapshot after = TakeSnapshot(fs, db);
    ASSERT_TRUE(after.ok) << after.error;
    if (r.blobsBroken == 0)
      EXPECT_EQ(after.records, snap.records) << "record order changed";
    else  // a missing .MB leaves the leaders only (MEMBRE.DB)
      EXPECT_EQ(after.withoutBlobValues, snap.withoutBlobValues) << "record order changed";
    std::string why;
    EXPECT_TRUE(FamilyVerifiesClean(fs, db, &why)) << why;
    // The new .PX points at each block by its first key, as written.
    auto rd = TableReader::Open(fs, db);
    ASSERT_TRUE(rd.ok());
    auto fam = FindFamily(fs, db);
    ASSERT_TRUE(fam.ok() && !fam->px.empty());
    auto px = IndexFile::Open(fs, fam->px);
    ASSERT_TRUE(px.ok()) << px.status().ToString();
    EXPECT_TRUE((*px)->problems().empty());
    const auto& chain = (*rd)->chain().chain;
    const auto& leaves = (*px)->leafEntries();
    ASSERT_EQ(leaves.size(), chain.size());
    Bytes block;
    BlockInfo bi;
    for (size_t i = 0; i < chain.size(); ++i) {
      EXPECT_EQ(leaves[i].child, chain[i]);
      ASSERT_TRUE((*rd)->ReadBlock(chain[i], &block, &bi).ok());
      EXPECT_EQ(Bytes(block.begin() + 6, block.begin() + 6 + long(klen)), leaves[i].key);
    }
  }
  for (const char* name : {"AREACODES.DB", "SERVER.DB", "HERCULES.DB"})
    EXPECT_TRUE(seen.count(name)) << name;
  std::printf("%zu keyed tables of other collations, %d of them not in byte order\n", seen.size(),
              notByteOrder);
  stdfs::remove_all(work);
}

TEST(RebuildOnDisk, ReadOnlyFolderIsRefusedAndUnchanged) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: folder permissions do not apply";
  stdfs::path dir = UniqueDir("rebuild_readonly");
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  std::string db = (dir / "T.DB").string();
  ASSERT_TRUE(MakeTable(DefaultFileSystem(), db, UnkeyedSchema(), UnkeyedRows(20)).ok());
  auto before = DefaultFileSystem()->ReadFile(db, UINT64_MAX);
  ASSERT_TRUE(before.ok());
  chmod(dir.c_str(), 0555);
  RebuildResult r = RebuildTable(db);
  chmod(dir.c_str(), 0755);
  EXPECT_TRUE(r.status.IsIOError()) << r.status.ToString();
  auto after = DefaultFileSystem()->ReadFile(db, UINT64_MAX);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(*after, *before);
  EXPECT_FALSE(stdfs::exists(dir / "T.rekasto"));
  stdfs::remove_all(dir);
}

TEST(RebuildOnDisk, FailedRenamesAndSyncsLeaveTheOriginalOnDisk) {
  stdfs::path dir = UniqueDir("rebuild_disk_faults");
  FileSystem* os = DefaultFileSystem();
  std::map<std::string, Bytes> original;
  auto fresh = [&]() {
    stdfs::remove_all(dir);
    stdfs::create_directories(dir);
    std::string db = (dir / "T.DB").string();
    EXPECT_TRUE(MakeTable(os, db, KeyedSchema(), KeyedRows(50)).ok());
    original.clear();
    for (const auto& e : stdfs::directory_iterator(dir))
      if (e.is_regular_file())
        original[e.path().string()] = *os->ReadFile(e.path().string(), UINT64_MAX);
    return db;
  };
  std::string db = fresh();
  int counts[2] = {};
  {
    FaultyFileSystem f(os);
    RebuildOptions o;
    o.fs = &f;
    ASSERT_TRUE(RebuildTable(db, o).status.ok());
    counts[0] = f.Count(FaultyFileSystem::Op::kRename);
    counts[1] = f.Count(FaultyFileSystem::Op::kSync);
  }
  ASSERT_GT(counts[0], 3);
  const FaultyFileSystem::Op ops[2] = {FaultyFileSystem::Op::kRename, FaultyFileSystem::Op::kSync};
  for (int k = 0; k < 2; ++k) {
    for (int n = 1; n <= counts[k]; ++n) {
      db = fresh();
      FaultyFileSystem f(os);
      f.FailAt(ops[k], n);
      RebuildOptions o;
      o.fs = &f;
      RebuildResult r = RebuildTable(db, o);
      if (r.status.ok()) continue;
      for (const auto& [path, bytes] : original) {
        auto now = os->ReadFile(path, UINT64_MAX);
        EXPECT_TRUE(now.ok() && *now == bytes) << "op " << k << " #" << n << ": " << path;
      }
    }
  }
  stdfs::remove_all(dir);
}

// Whatever lock another program holds on the table: ours, a record lock for reading, or
// flock (exclusive or shared), the rebuild refuses and writes nothing.
TEST(RebuildOnDisk, FileLockHeldByAnotherProcessIsRefused) {
  stdfs::path dir = UniqueDir("rebuild_locked");
  stdfs::remove_all(dir);
  stdfs::create_directories(dir);
  std::string db = (dir / "T.DB").string();
  ASSERT_TRUE(MakeTable(DefaultFileSystem(), db, UnkeyedSchema(), UnkeyedRows(20)).ok());
  enum Kind { kOurLock, kReadRecordLock, kExclusiveFlock, kSharedFlock };
  for (Kind kind : {kOurLock, kReadRecordLock, kExclusiveFlock, kSharedFlock}) {
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Only the parent writes to release: its end closes when the parent exits, even by a
      // crash, so the read below never outlives it.
      close(release[1]);
      bool ok = false;
      std::unique_ptr<FileLock> ours;
      int fd = open(db.c_str(), O_RDONLY);
      struct flock fl = {};
      fl.l_type = F_RDLCK;
      fl.l_whence = SEEK_SET;
      if (kind == kOurLock) {
        auto lock = DefaultFileSystem()->Lock(db);
        ok = lock.ok();
        if (ok) ours = std::move(lock).value();
      } else {
        ok = kind == kExclusiveFlock ? flock(fd, LOCK_EX) == 0
             : kind == kSharedFlock  ? flock(fd, LOCK_SH) == 0
                                     : fcntl(fd, F_SETLK, &fl) == 0;
      }
      char c = ok ? 'y' : 'n';
      (void)!write(ready[1], &c, 1);
      (void)!read(release[0], &c, 1);
      _exit(0);
    }
    close(release[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y') << "lock kind " << kind;
    RebuildResult r = RebuildTable(db);
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], release[1]}) close(fd);
    EXPECT_TRUE(r.status.IsBusy()) << "lock kind " << kind << ": " << r.status.ToString();
    EXPECT_NE(r.status.message().find("holds a lock on T.DB"), std::string::npos)
        << r.status.message();
    EXPECT_FALSE(stdfs::exists(dir / "T.rekasto")) << "lock kind " << kind;
  }
  stdfs::remove_all(dir);
}

// Two rebuilds of one table at once: the second, started while the first runs (here
// from its progress report), is refused with Busy; the first finishes; afterwards the
// table can be rebuilt again. The lock is held by open file, so this holds within one
// process as well as between two.
TEST(RebuildOnDisk, TwoRebuildsOfOneTableExcludeEachOther) {
  stdfs::path dir = UniqueDir("rebuild_twice");
  std::string db = (dir / "T.DB").string();
  ASSERT_TRUE(MakeTable(DefaultFileSystem(), db, KeyedSchema(), KeyedRows(50)).ok());
  std::vector<Status> inner;
  RebuildOptions o;
  o.progress = [&](int phase, int percent) {
    if (phase != kPhaseOverall || !inner.empty() || percent < 10) return;
    inner.push_back(RebuildTable(db).status);
    RebuildOptions dry;
    dry.dryRun = true;
    inner.push_back(RebuildTable(db, dry).status);
  };
  RebuildResult outer = RebuildTable(db, o);
  ASSERT_TRUE(outer.status.ok()) << outer.status.ToString();
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_TRUE(inner[0].IsBusy()) << inner[0].ToString();
  EXPECT_NE(inner[0].message().find("another rebuild of T.DB is under way"), std::string::npos)
      << inner[0].message();
  EXPECT_EQ(inner[1].code(), Status::Code::kBusy)
      << "a dry run while the files may be swapped: " << inner[1].ToString();
  // The lock is gone with the rebuild; the repair folder remains.
  EXPECT_FALSE(stdfs::exists(dir / "T.rekasto" / "rebuild.lock"));
  RebuildResult next = RebuildTable(db);
  EXPECT_TRUE(next.status.ok()) << next.status.ToString();
  std::string why;
  EXPECT_TRUE(FamilyVerifiesClean(DefaultFileSystem(), db, &why)) << why;
  stdfs::remove_all(dir);
}

// A table reached through symbolic links (its .DB, or one member) is rebuilt where the
// links lead, and the links stay links.
TEST(RebuildOnDisk, TableBehindSymbolicLinksIsRebuiltInPlaceOfItsTarget) {
  stdfs::path dir = UniqueDir("rebuild_links");
  FileSystem* os = DefaultFileSystem();
  const std::string real = (dir / "real" / "T.DB").string();
  ASSERT_TRUE(MakeTable(os, real, KeyedSchema(), KeyedRows(60)).ok());
  // The .PX lives elsewhere, reached by a link beside the table.
  stdfs::create_directories(dir / "other");
  stdfs::rename(dir / "real" / "T.PX", dir / "other" / "T.PX");
  stdfs::create_symlink("../other/T.PX", dir / "real" / "T.PX");
  stdfs::create_directories(dir / "links");
  stdfs::create_symlink("../real/T.DB", dir / "links" / "T.DB");
  {
    Bytes data = *os->ReadFile(real, UINT64_MAX);
    SetRecordCount(data, 7);  // damaged: the rebuild writes a new .DB
    ASSERT_TRUE(os->WriteFile(real, ByteSpan(data)).ok());
  }
  const std::string link = (dir / "links" / "T.DB").string();
  Snapshot before = TakeSnapshot(os, real);
  ASSERT_TRUE(before.ok) << before.error;
  RebuildResult r = RebuildTable(link);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_GT(r.issues, 0u);
  EXPECT_TRUE(stdfs::is_symlink(dir / "links" / "T.DB"));
  EXPECT_TRUE(stdfs::is_symlink(dir / "real" / "T.PX"));
  EXPECT_FALSE(stdfs::is_symlink(dir / "real" / "T.DB"));
  // The repair folder is beside the table's real files; nothing was put beside the link.
  EXPECT_TRUE(stdfs::is_directory(dir / "real" / "T.rekasto"));
  EXPECT_FALSE(stdfs::exists(dir / "links" / "T.rekasto"));
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir / "links"), stdfs::directory_iterator()),
            1);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir / "other"), stdfs::directory_iterator()),
            1);
  Snapshot after = TakeSnapshot(os, real);
  ASSERT_TRUE(after.ok) << after.error;
  EXPECT_EQ(after.records, before.records);
  std::string why;
  EXPECT_TRUE(FamilyVerifiesClean(os, real, &why)) << why;
  // Verified through the link, the table is the same family.
  EXPECT_TRUE(FamilyVerifiesClean(os, link, &why)) << why;
  stdfs::remove_all(dir);
}

}  // namespace
}  // namespace paradox::test
