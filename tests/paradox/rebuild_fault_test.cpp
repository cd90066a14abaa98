// Fault injection through the file interface at every operation a rebuild makes: after
// each failure (and after each simulated crash, where every later operation of that
// kind fails too) the table is either the original, byte for byte, or the rebuilt one,
// and once an original file was touched its backup exists.
#include <gtest/gtest.h>

#include "faulty_file_system.h"
#include "mutators.h"
#include "paradox/repair/salvage.h"
#include "rebuild_helpers.h"

namespace paradox::test {
namespace {

constexpr const char* kDb = "/data/ORDERS.DB";
constexpr std::time_t kNow = 1765000000;

struct Original {
  std::map<std::string, Bytes> files;  // family member -> bytes
};

class RebuildFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeTable(&base_, kDb, KeyedSchema(), KeyedRows(60)).ok());
    SetRecordCount(*base_.Contents(kDb), 61);  // damaged: a rebuild changes the .DB
    for (const std::string& p : base_.AllFiles()) original_.files[p] = *base_.Contents(p);
    // The rebuilt table, for comparison.
    MemFileSystem fs;
    CloneFs(base_, fs);
    RebuildOptions o;
    o.fs = &fs;
    o.now = kNow;
    RebuildResult r = RebuildTable(kDb, o);
    ASSERT_TRUE(r.status.ok()) << r.status.ToString();
    rebuilt_ = TakeSnapshot(&fs, kDb);
    ASSERT_TRUE(rebuilt_.ok);
  }

  bool IsOriginal(MemFileSystem& fs) {
    for (const auto& [path, bytes] : original_.files) {
      Bytes* now = fs.Contents(path);
      if (!now || *now != bytes) return false;
    }
    return true;
  }

  bool OriginalTouched(MemFileSystem& fs) { return !IsOriginal(fs); }

  // Renames a rebuild of the damaged table makes when nothing fails (0 if it failed).
  int RenamesOfACleanRebuild() {
    MemFileSystem probe;
    CloneFs(base_, probe);
    FaultyFileSystem f(&probe);
    RebuildOptions o;
    o.fs = &f;
    o.now = kNow;
    if (!RebuildTable(kDb, o).status.ok()) return 0;
    return f.Count(FaultyFileSystem::Op::kRename);
  }

  bool BackupPresent(MemFileSystem& fs) {
    for (const std::string& folder : RepairFolders(&fs, kDb)) {
      Bytes* b = fs.Contents(PathJoin(folder, "Backup.Db"));
      if (b && *b == original_.files[kDb]) return true;
    }
    return false;
  }

  bool JournalPending(MemFileSystem& fs) {
    for (const std::string& folder : RepairFolders(&fs, kDb))
      if (fs.Exists(PathJoin(folder, "swap.journal"))) return true;
    return false;
  }

  // Either the original bytes or a clean rebuilt table with the expected records.
  void ExpectOriginalOrRebuilt(MemFileSystem& fs, const std::string& where) {
    if (IsOriginal(fs)) return;
    EXPECT_TRUE(BackupPresent(fs)) << where << ": original changed without a backup";
    std::string why;
    EXPECT_TRUE(FamilyVerifiesClean(&fs, kDb, &why)) << where << ": half-swapped family\n" << why;
    Snapshot s = TakeSnapshot(&fs, kDb);
    EXPECT_TRUE(s.ok && s.records == rebuilt_.records)
        << where << ": table is neither original nor rebuilt";
  }

  MemFileSystem base_;
  Original original_;
  Snapshot rebuilt_;
};

TEST_F(RebuildFaultTest, EveryFailingOperationLeavesOriginalOrRebuilt) {
  const FaultyFileSystem::Op kOps[] = {
      FaultyFileSystem::Op::kOpen,    FaultyFileSystem::Op::kRead,   FaultyFileSystem::Op::kWrite,
      FaultyFileSystem::Op::kSync,    FaultyFileSystem::Op::kRename, FaultyFileSystem::Op::kRemove,
      FaultyFileSystem::Op::kMakeDir, FaultyFileSystem::Op::kCopy,   FaultyFileSystem::Op::kListDir,
      FaultyFileSystem::Op::kLock};
  // Count the operations of a clean run.
  int counts[FaultyFileSystem::kOpCount] = {};
  {
    MemFileSystem mem;
    CloneFs(base_, mem);
    FaultyFileSystem faulty(&mem);
    RebuildOptions o;
    o.fs = &faulty;
    o.now = kNow;
    ASSERT_TRUE(RebuildTable(kDb, o).status.ok());
    for (auto op : kOps) counts[int(op)] = faulty.Count(op);
  }
  ASSERT_GT(counts[int(FaultyFileSystem::Op::kRename)], 3);
  int injected = 0;
  for (auto op : kOps) {
    for (int n = 1; n <= counts[int(op)]; ++n) {
      for (bool crash : {false, true}) {
        MemFileSystem mem;
        CloneFs(base_, mem);
        FaultyFileSystem faulty(&mem);
        faulty.FailAt(op, n, Status::IOError("injected fault"), /*sticky=*/crash);
        RebuildOptions o;
        o.fs = &faulty;
        o.now = kNow;
        RebuildResult r = RebuildTable(kDb, o);
        std::string where = "op " + std::to_string(int(op)) + " #" + std::to_string(n) +
                            (crash ? " (crash)" : "") + ": " + r.status.ToString();
        ++injected;
        if (r.status.ok()) {
          // A fault the rebuild could live with (e.g. closing the journal).
          Snapshot s = TakeSnapshot(&mem, kDb);
          EXPECT_EQ(s.records, rebuilt_.records) << where;
          EXPECT_TRUE(BackupPresent(mem)) << where;
          continue;
        }
        EXPECT_TRUE(r.status.IsIOError() || r.status.IsCorruption()) << where;
        if (!crash) {
          // A single failure is rolled back at once, and no half-written family is left.
          EXPECT_FALSE(JournalPending(mem)) << where;
          EXPECT_TRUE(IsOriginal(mem)) << where;
          for (const std::string& folder : RepairFolders(&mem, kDb)) {
            auto left = mem.ListDir(PathJoin(folder, "new"));
            if (left.ok()) {
              EXPECT_TRUE(left->empty()) << where << ": files left in " << folder << "/new";
            }
          }
        }
        if (OriginalTouched(mem)) {
          EXPECT_TRUE(BackupPresent(mem)) << where;
        }
        // After the crash, the next run (on a sound file system) finishes or undoes it.
        ASSERT_TRUE(RecoverInterruptedRebuild(&mem, kDb).ok()) << where;
        EXPECT_FALSE(JournalPending(mem)) << where;
        ExpectOriginalOrRebuilt(mem, where);
      }
    }
  }
  EXPECT_GT(injected, 50);
}

TEST_F(RebuildFaultTest, CrashMidSwapIsFinishedByTheNextRebuild) {
  MemFileSystem mem;
  CloneFs(base_, mem);
  FaultyFileSystem faulty(&mem);
  // Everything from the journal's rename on "crashes": renames fail for good.
  const int renames = RenamesOfACleanRebuild();
  ASSERT_GT(renames, 0);
  // Fail the second-to-last rename of the swap (the journal closing is the last).
  faulty.FailAt(FaultyFileSystem::Op::kRename, renames - 1, Status::IOError("power lost"), true);
  RebuildOptions o;
  o.fs = &faulty;
  o.now = kNow;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_EQ(r.status.code(), Status::Code::kIOError) << r.status.ToString();
  EXPECT_TRUE(JournalPending(mem));
  EXPECT_TRUE(BackupPresent(mem));
  // The next rebuild first completes the interrupted swap, then rebuilds again.
  RebuildOptions again;
  again.fs = &mem;
  again.now = kNow + 60;
  RebuildResult r2 = RebuildTable(kDb, again);
  ASSERT_TRUE(r2.status.ok()) << r2.status.ToString();
  EXPECT_FALSE(JournalPending(mem));
  EXPECT_EQ(TakeSnapshot(&mem, kDb).records, rebuilt_.records);
}

// Verify notices a swap a crash interrupted, names its repair folder and says what to
// do; while a rebuild holds the table's lock the swap is under way instead, and the
// check cannot be completed. The next rebuild clears it.
TEST_F(RebuildFaultTest, VerifyReportsAnInterruptedRebuild) {
  MemFileSystem mem;
  CloneFs(base_, mem);
  const int renames = RenamesOfACleanRebuild();
  ASSERT_GT(renames, 0);
  FaultyFileSystem faulty(&mem);
  faulty.FailAt(FaultyFileSystem::Op::kRename, renames - 2, Status::IOError("power lost"), true);
  RebuildOptions o;
  o.fs = &faulty;
  o.now = kNow;
  ASSERT_EQ(RebuildTable(kDb, o).status.code(), Status::Code::kIOError);
  ASSERT_TRUE(JournalPending(mem));
  const std::string repair = RepairFolders(&mem, kDb).at(0);

  VerifyOptions vo;
  vo.fs = &mem;
  VerifyReport v = VerifyTable(kDb, vo);
  ASSERT_TRUE(v.Has("rebuild.interrupted"));
  const Finding* f = nullptr;
  for (const Finding& x : v.findings)
    if (x.check == "rebuild.interrupted") f = &x;
  EXPECT_EQ(f->severity, Severity::kError);
  EXPECT_EQ(f->where.file, "ORDERS.DB");
  EXPECT_NE(f->detail.find(repair), std::string::npos) << f->detail;
  EXPECT_NE(f->detail.find("run the rebuild again"), std::string::npos) << f->detail;
  EXPECT_GE(int(v.verdict), int(Verdict::kRepairable));

  {
    // A rebuild holding the lock is swapping right now: not damage, not yet checkable.
    const std::string lock = PathJoin(RepairFolderRoot(kDb), "rebuild.lock");
    mem.SetContents(lock, Bytes());
    auto held = mem.Lock(lock);
    ASSERT_TRUE(held.ok());
    v = VerifyTable(kDb, vo);
    EXPECT_TRUE(v.Has("rebuild.running"));
    EXPECT_FALSE(v.Has("rebuild.interrupted"));
    EXPECT_EQ(v.verdict, Verdict::kIncomplete);
    // ... and a rebuild then is refused.
    RebuildOptions again;
    again.fs = &mem;
    again.now = kNow + 30;
    EXPECT_TRUE(RebuildTable(kDb, again).status.IsBusy());
  }

  RebuildOptions again;
  again.fs = &mem;
  again.now = kNow + 60;
  ASSERT_TRUE(RebuildTable(kDb, again).status.ok());
  v = VerifyTable(kDb, vo);
  EXPECT_FALSE(v.Has("rebuild.interrupted"));
  EXPECT_EQ(v.verdict, Verdict::kClean);
}

TEST_F(RebuildFaultTest, InterruptedSwapWithoutItsNewFilesIsUndoneFromTheBackup) {
  MemFileSystem mem;
  CloneFs(base_, mem);
  const int renames = RenamesOfACleanRebuild();
  ASSERT_GT(renames, 0);
  // Crash after the first member was swapped in, then lose a rebuilt file that was
  // still waiting in new/: rolling forward is impossible, so the backup comes back.
  FaultyFileSystem faulty(&mem);
  faulty.FailAt(FaultyFileSystem::Op::kRename, renames - 4, Status::IOError("power lost"), true);
  RebuildOptions o;
  o.fs = &faulty;
  o.now = kNow;
  ASSERT_EQ(RebuildTable(kDb, o).status.code(), Status::Code::kIOError);
  ASSERT_TRUE(JournalPending(mem));
  // The rebuilt .DB (swapped in last) is still waiting; it is lost.
  std::string waitingDb = PathJoin(PathJoin(RepairFolders(&mem, kDb).at(0), "new"), "ORDERS.DB");
  ASSERT_TRUE(mem.Exists(waitingDb));
  ASSERT_TRUE(mem.Remove(waitingDb).ok());
  ASSERT_TRUE(RecoverInterruptedRebuild(&mem, kDb).ok());
  EXPECT_FALSE(JournalPending(mem));
  EXPECT_TRUE(IsOriginal(mem));
}

TEST_F(RebuildFaultTest, RollBackRestoresEachMemberFromItsOwnBackup) {
  // Crash as the journal is closed (everything swapped in), then a rebuilt member goes
  // missing: the swap can neither stand nor go forward, so every member - the .DB
  // included, whose backup sits beside Rebuild.DB and the other tables - comes back.
  MemFileSystem mem;
  CloneFs(base_, mem);
  const int renames = RenamesOfACleanRebuild();
  ASSERT_GT(renames, 0);
  FaultyFileSystem faulty(&mem);
  faulty.FailAt(FaultyFileSystem::Op::kRename, renames, Status::IOError("power lost"), true);
  RebuildOptions o;
  o.fs = &faulty;
  o.now = kNow;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(JournalPending(mem)) << r.status.ToString();
  ASSERT_TRUE(mem.Remove("/data/ORDERS.PX").ok());
  ASSERT_TRUE(RecoverInterruptedRebuild(&mem, kDb).ok());
  EXPECT_FALSE(JournalPending(mem));
  EXPECT_TRUE(IsOriginal(mem));
}

TEST_F(RebuildFaultTest, FullDiskLosesNothing) {
  MemFileSystem mem;
  CloneFs(base_, mem);
  FaultyFileSystem faulty(&mem);
  faulty.FailAt(FaultyFileSystem::Op::kWrite, 5,
                Status::IOError("No space left on device (ENOSPC)"), true);
  RebuildOptions o;
  o.fs = &faulty;
  o.now = kNow;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.IsIOError()) << r.status.ToString();
  EXPECT_NE(r.status.message().find("No space left"), std::string::npos) << r.status.message();
  EXPECT_TRUE(IsOriginal(mem));
}

// Regression: a failed read of a block whose records are set aside piece by piece gave
// byte-less problem records and a salvage that reported success.
TEST_F(RebuildFaultTest, FailedReadOfASetAsideBlockFailsTheSalvage) {
  // The file ends inside a record: its first bytes are set aside from a second read.
  Bytes& f = *base_.Contents(kDb);
  const uint16_t rs = DecodeU16(f.data());
  Truncate(f, BlockStart(f, 2) + 6 + 3 * rs + 5);
  auto fam = FindFamily(&base_, kDb);
  ASSERT_TRUE(fam.ok()) << fam.status().ToString();
  FaultyFileSystem counting(&base_);
  auto clean = SalvageTable(&counting, *fam);
  ASSERT_TRUE(clean.ok()) << clean.status().ToString();
  ASSERT_FALSE(clean->problems.empty());
  const int reads = counting.Count(FaultyFileSystem::Op::kRead);
  for (int n = 1; n <= reads; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    FaultyFileSystem faulty(&base_);
    faulty.FailAt(FaultyFileSystem::Op::kRead, n);
    auto sal = SalvageTable(&faulty, *fam);
    if (!sal.ok()) continue;
    EXPECT_EQ(sal->records.size(), clean->records.size());
    ASSERT_EQ(sal->problems.size(), clean->problems.size());
    for (size_t i = 0; i < sal->problems.size(); ++i)
      EXPECT_EQ(sal->problems[i].raw, clean->problems[i].raw) << "problem " << i;
  }
}

// Regression: an index file that could not be opened was left out of the description,
// and so out of a rebuild given it.
TEST_F(RebuildFaultTest, FailedOpenOrReadNeverShortensTheDescribedStructure) {
  FaultyFileSystem counting(&base_);
  auto clean = DescribeTableStructure(&counting, kDb);
  ASSERT_TRUE(clean.ok()) << clean.status().ToString();
  ASSERT_EQ(clean->indexes.size(), 1u);
  // A failed open or read of any member either fails the description or leaves it whole.
  for (FaultyFileSystem::Op op : {FaultyFileSystem::Op::kOpen, FaultyFileSystem::Op::kRead}) {
    const int calls = counting.Count(op);
    ASSERT_GT(calls, 0);
    for (int n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::string(op == FaultyFileSystem::Op::kOpen ? "open " : "read ") +
                   std::to_string(n));
      FaultyFileSystem faulty(&base_);
      faulty.FailAt(op, n);
      auto s = DescribeTableStructure(&faulty, kDb);
      if (!s.ok()) continue;
      EXPECT_EQ(s->fields.size(), clean->fields.size());
      EXPECT_EQ(s->indexes.size(), clean->indexes.size());
      EXPECT_EQ(s->validityChecks, clean->validityChecks);
    }
  }
}

TEST_F(RebuildFaultTest, ReadOnlyFolderIsRefusedUntouched) {
  MemFileSystem mem;
  CloneFs(base_, mem);
  FaultyFileSystem faulty(&mem);
  faulty.FailAt(FaultyFileSystem::Op::kMakeDir, 1, Status::IOError("Permission denied"), true);
  RebuildOptions o;
  o.fs = &faulty;
  o.now = kNow;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.IsIOError()) << r.status.ToString();
  EXPECT_NE(r.status.message().find("Permission denied"), std::string::npos);
  EXPECT_TRUE(IsOriginal(mem));
  EXPECT_EQ(mem.AllFiles().size(), original_.files.size());
}

}  // namespace
}  // namespace paradox::test
