// Restore from a rebuild's repair folder, on the in-memory and the real file system:
// the original family comes back byte for byte, the family it replaces is kept whole,
// the backup stays, refusals change nothing, and a fault at any step (or a crash, which
// the next restore rolls back) leaves the table as it was.
#include "paradox/repair/restore.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "faulty_file_system.h"
#include "mutators.h"
#include "rebuild_helpers.h"

namespace paradox::test {
namespace {

constexpr std::time_t kNow = 1765000000;
using Tree = std::map<std::string, Bytes>;

// Files under `dir` by relative path; with `top` only those directly in it.
Tree Files(FileSystem* fs, const std::string& dir, bool top = false, const std::string& rel = "") {
  Tree out;
  auto names = fs->ListDir(rel.empty() ? dir : PathJoin(dir, rel));
  if (!names.ok()) return out;
  for (const std::string& n : *names) {
    const std::string r = rel.empty() ? n : rel + "/" + n;
    if (fs->IsDirectory(PathJoin(dir, r))) {
      if (!top) out.merge(Files(fs, dir, false, r));
      continue;
    }
    auto data = fs->ReadFile(PathJoin(dir, r), UINT64_MAX);
    out[r] = data.ok() ? *data : Bytes{};
  }
  return out;
}

// The table files among them: without the restore's own journal.
Tree Members(Tree t) {
  std::erase_if(t, [](const auto& e) { return e.first.rfind("restore.", 0) == 0; });
  return t;
}

// Names and sizes, for a failure message that can be read.
std::string Names(const Tree& t) {
  std::string s;
  for (const auto& [n, b] : t) s += n + "(" + std::to_string(b.size()) + ") ";
  return s;
}
#define EXPECT_SAME(a, b) EXPECT_EQ(a, b) << Names(a) << "vs " << Names(b)

void Damage(FileSystem* fs, const std::string& db) {
  auto data = fs->ReadFile(db, UINT64_MAX);
  ASSERT_TRUE(data.ok());
  SetRecordCount(*data, 1000);  // a rebuild rewrites the header
  ASSERT_TRUE(fs->WriteFile(db, ByteSpan(*data), false).ok());
}

RestoreResult Restore(FileSystem* fs, const std::string& db, std::string from = "",
                      bool dryRun = false, std::time_t now = kNow + 3600) {
  RestoreOptions o;
  o.fs = fs;
  o.from = std::move(from);
  o.dryRun = dryRun;
  o.now = now;
  return RestoreTable(db, o);
}

// The whole life of a restore for one table in `dir` (which holds nothing else).
void RoundTrip(FileSystem* fs, const std::string& dir, const std::string& name,
               const TableSchema& schema, const std::vector<std::vector<Value>>& rows) {
  SCOPED_TRACE(name);
  const std::string db = PathJoin(dir, name);
  ASSERT_TRUE(MakeTable(fs, db, schema, rows).ok());
  Damage(fs, db);
  const Tree original = Files(fs, dir, true);
  EXPECT_TRUE(Restore(fs, db).status.IsNotFound());

  RebuildOptions ro;
  ro.fs = fs;
  ro.now = kNow;
  RebuildResult rebuilt = RebuildTable(db, ro);
  ASSERT_TRUE(rebuilt.status.ok()) << rebuilt.status.ToString();
  const Tree after = Files(fs, dir, true);
  ASSERT_FALSE(after == original);
  const Tree everything = Files(fs, dir);

  // Dry run, and each refusal: nothing changes.
  RestoreResult dry = Restore(fs, db, "", true);
  ASSERT_TRUE(dry.status.ok()) << dry.status.ToString();
  EXPECT_EQ(dry.source, rebuilt.repairFolder);
  EXPECT_EQ(dry.restored.size(), original.size());
  EXPECT_EQ(dry.replaced.size(), after.size());
  EXPECT_SAME(Files(fs, dir), everything);
  ASSERT_TRUE(fs->WriteFile(PathJoin(dir, "PARADOX.LCK"), ByteSpan(Bytes(8, 0)), false).ok());
  EXPECT_TRUE(Restore(fs, db).status.IsBusy());
  ASSERT_TRUE(fs->Remove(PathJoin(dir, "PARADOX.LCK")).ok());
  {
    auto lock = TakeRebuildLock(fs, db);
    ASSERT_TRUE(lock.ok()) << lock.status().ToString();
    EXPECT_TRUE(Restore(fs, db).status.IsBusy());
    EXPECT_TRUE(Restore(fs, db, "", true).status.IsBusy());
  }
  EXPECT_TRUE(Restore(fs, db, "20000101-000000").status.IsNotFound());
  EXPECT_TRUE(Restore(fs, db, dir).status.IsInvalidArgument());  // not a repair folder
  EXPECT_SAME(Files(fs, dir), everything);

  // The restore: the original in place, the rebuilt family kept, the backup still there.
  RestoreResult r = Restore(fs, db);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_SAME(Files(fs, dir, true), original);
  EXPECT_SAME(Members(Files(fs, r.keptIn, true)), after);
  // Kept in a new repair folder of the table; the rebuild's stays as it was.
  EXPECT_EQ(PathDirName(PathDirName(r.keptIn)), PathDirName(rebuilt.repairFolder));
  EXPECT_NE(PathDirName(r.keptIn), rebuilt.repairFolder);
  for (const auto& [path, bytes] : everything) {
    if (path.find('/') == std::string::npos) continue;
    auto now = fs->ReadFile(PathJoin(dir, path), UINT64_MAX);
    EXPECT_TRUE(now.ok() && *now == bytes) << path << " changed";
  }

  // A second rebuild, then back to the first one's backup by --from (the same original),
  // and a repeated restore keeps what it replaces in a folder of its own.
  ro.now = kNow + 7200;
  ASSERT_TRUE(RebuildTable(db, ro).status.ok());
  ASSERT_EQ(CompletedRebuilds(fs, db).size(), 2u);
  RestoreResult again = Restore(fs, db, PathBaseName(rebuilt.repairFolder));
  ASSERT_TRUE(again.status.ok()) << again.status.ToString();
  EXPECT_SAME(Files(fs, dir, true), original);
  RestoreResult third = Restore(fs, db, rebuilt.repairFolder);
  ASSERT_TRUE(third.status.ok()) << third.status.ToString();
  EXPECT_NE(third.keptIn, again.keptIn);
  EXPECT_SAME(Members(Files(fs, third.keptIn, true)), original);
  EXPECT_SAME(Files(fs, dir, true), original);

  // The .DB deleted, its companions left: they are kept aside, the family comes back.
  ASSERT_TRUE(fs->Remove(db).ok());
  Tree leftover = original;
  leftover.erase(name);
  RestoreResult fourth = Restore(fs, db, rebuilt.repairFolder);
  ASSERT_TRUE(fourth.status.ok()) << fourth.status.ToString();
  EXPECT_SAME(Files(fs, dir, true), original);
  if (leftover.empty()) {
    EXPECT_EQ(fourth.keptIn, "");  // nothing was in the way
  } else {
    EXPECT_SAME(Members(Files(fs, fourth.keptIn, true)), leftover);
  }
}

TEST(RestoreTest, InMemoryAndOnDiskTheOriginalComesBackAndNothingIsLost) {
  MemFileSystem mem;
  RoundTrip(&mem, "/data", "ORDERS.DB", KeyedSchema(), KeyedRows(60));
  RoundTrip(&mem, "/other", "items.db", UnkeyedSchema(), UnkeyedRows(90));

  std::string tmp = (std::filesystem::temp_directory_path() / "rekasto-restore-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmp.data()), nullptr);
  FileSystem* disk = DefaultFileSystem();
  RoundTrip(disk, PathJoin(tmp, "a"), "ORDERS.DB", KeyedSchema(), KeyedRows(60));
  RoundTrip(disk, PathJoin(tmp, "b"), "items.db", UnkeyedSchema(), UnkeyedRows(90));
  std::filesystem::remove_all(tmp);
}

// A fault at each step of each kind: the table stays as the rebuild left it (or, had the
// step come after the swap, is restored). A crash (every later step of that kind failing)
// leaves it for the next restore, which rolls it back and restores.
TEST(RestoreTest, FaultAtAnyStepLeavesTheTableWholeAndTheNextRestoreFinishes) {
  constexpr const char* kDb = "/data/ORDERS.DB";
  MemFileSystem base;
  ASSERT_TRUE(MakeTable(&base, kDb, KeyedSchema(), KeyedRows(60)).ok());
  Damage(&base, kDb);
  const Tree original = Files(&base, "/data", true);
  RebuildOptions ro;
  ro.fs = &base;
  ro.now = kNow;
  ASSERT_TRUE(RebuildTable(kDb, ro).status.ok());
  const Tree rebuilt = Files(&base, "/data", true);

  using Op = FaultyFileSystem::Op;
  int tried = 0;
  for (Op op :
       {Op::kRename, Op::kCopy, Op::kSync, Op::kMakeDir, Op::kWrite, Op::kListDir, Op::kLock}) {
    MemFileSystem probe;
    CloneFs(base, probe);
    FaultyFileSystem counter(&probe);
    ASSERT_TRUE(Restore(&counter, kDb).status.ok());
    const int steps = counter.Count(op);
    for (int n = 1; n <= steps; ++n) {
      for (bool crash : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << "op " << int(op) << " step " << n << (crash ? " crash" : ""));
        MemFileSystem fs;
        CloneFs(base, fs);
        FaultyFileSystem faulty(&fs);
        faulty.FailAt(op, n, Status::IOError("injected fault"), crash);
        RestoreResult r = Restore(&faulty, kDb);
        ++tried;
        if (!crash) {
          EXPECT_SAME(Files(&fs, "/data", true), r.status.ok() ? original : rebuilt)
              << r.status.ToString();
        }
        if (!r.status.ok()) {
          RestoreResult retry = Restore(&fs, kDb, "", false, kNow + 7200);
          ASSERT_TRUE(retry.status.ok()) << retry.status.ToString();
          EXPECT_SAME(Files(&fs, "/data", true), original);
          EXPECT_SAME(Members(Files(&fs, retry.keptIn, true)), rebuilt);
        }
      }
    }
  }
  EXPECT_GT(tried, 20);
}

}  // namespace
}  // namespace paradox::test
