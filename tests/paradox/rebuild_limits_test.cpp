// Tables at the format's limits, built in memory: block numbers, block counts and index
// hints are unsigned 16-bit words (up to 65535 blocks, not 32767), and a rebuild keeps
// every block size a level's tables really have.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "paradox/format/format.h"
#include "rebuild_helpers.h"

namespace paradox::test {
namespace {

constexpr std::time_t kNow = 1765000000;

// One record fills a 1 KiB block, so the block count equals the record count; a
// secondary index on Name gives X records whose hints are the DB block numbers.
TableSchema OneRecordPerBlockSchema() {
  TableSchema s;
  s.level = TableLevel::k5;
  s.blockSize = 1024;
  s.codePage = 1252;
  s.sortOrder = 0;
  s.sortOrderId = "ascii";
  s.fields = {{"Id", FieldType::kLong, 0},      {"Name", FieldType::kAlpha, 12},
              {"Pad1", FieldType::kAlpha, 250}, {"Pad2", FieldType::kAlpha, 250},
              {"Pad3", FieldType::kAlpha, 250}, {"Pad4", FieldType::kAlpha, 240}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"Name"}, false, false, false}};
  return s;
}

// Writes `n` records (ids 1..n, names in an order unrelated to the key) to `db`.
Status WriteOneRecordPerBlock(FileSystem* fs, const std::string& db, uint32_t n) {
  PARADOX_RETURN_IF_ERROR(fs->MakeDir(PathDirName(db)));
  auto w = TableWriter::Create(fs, db, OneRecordPerBlockSchema());
  if (!w.ok()) return w.status();
  const std::string pad(250, 'p');
  for (uint32_t i = 1; i <= n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "N%08u", (i * 40503u) % 100003u);
    PARADOX_RETURN_IF_ERROR(w.value()->AddRecord({int64_t(i), std::string(name), pad.substr(i % 7),
                                                  std::string("x") + std::to_string(i), Value{},
                                                  pad.substr(0, 240 - i % 240)}));
  }
  return w.value()->Finish();
}

// Above 32767 blocks and right at 65535: the .PX leaf entries, the upper-level counts
// (over 32767 records below one entry) and the .X02 hints all pass 32767.
TEST(RebuildLimits, KeyedTableUpTo65535BlocksVerifiesAndRebuildsIdentically) {
  for (uint32_t blocks : {40000u, 65535u}) {
    SCOPED_TRACE("blocks " + std::to_string(blocks));
    MemFileSystem fs;
    const std::string db = "/data/BIG.DB";
    ASSERT_TRUE(WriteOneRecordPerBlock(&fs, db, blocks).ok());
    auto h = ReadHeader(&fs, db);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->fixed.fileBlocks, blocks);
    EXPECT_EQ(h->fixed.lastBlock, blocks);

    std::string why;
    EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
    Snapshot before = TakeSnapshot(&fs, db);
    ASSERT_TRUE(before.ok) << before.error;
    ASSERT_EQ(before.records.size(), blocks);

    RebuildOptions o;
    o.fs = &fs;
    o.now = kNow;
    RebuildResult r = RebuildTable(db, o);
    ASSERT_TRUE(r.status.ok()) << r.status.ToString();
    EXPECT_EQ(r.recordsKept, blocks);
    EXPECT_EQ(r.problems, 0u);
    EXPECT_EQ(r.keyViolations, 0u);
    EXPECT_EQ(r.issues, 0u);
    EXPECT_NE(fs.Contents("/data/BIG.X02"), nullptr);
    Snapshot after = TakeSnapshot(&fs, db);
    ASSERT_TRUE(after.ok) << after.error;
    EXPECT_EQ(after.records, before.records);
    why.clear();
    EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
  }
  // One block more than the words hold is refused, naming the file.
  MemFileSystem fs;
  Status st = WriteOneRecordPerBlock(&fs, "/data/BIG.DB", 65536);
  EXPECT_TRUE(st.IsInvalidArgument()) << st.ToString();
  EXPECT_NE(st.message().find("BIG.DB would need more than 65535 blocks"), std::string::npos)
      << st.message();
}

// 16 KiB and 32 KiB blocks exist from level 5 on; a rebuild keeps the table's level and
// block size, even one its level does not give new tables (a level-4 table with 16 KiB
// blocks), while sizes the format has not stay refused.
TEST(RebuildLimits, RebuildKeepsLevelAndLargeBlockSize) {
  struct Case {
    TableLevel level;
    uint32_t blockSize;
  };
  for (Case c : {Case{TableLevel::k5, 16384}, Case{TableLevel::k5, 32768},
                 Case{TableLevel::k7, 16384}, Case{TableLevel::k4, 16384}}) {
    SCOPED_TRACE(std::string("level ") + LevelName(c.level) + ", block size " +
                 std::to_string(c.blockSize));
    MemFileSystem fs;
    const std::string db = "/data/WIDE.DB";
    ASSERT_TRUE(fs.MakeDir("/data").ok());
    TableSchema s;
    s.level = c.level;
    s.blockSize = c.blockSize;
    s.codePage = 437;
    s.fields = {{"Code", FieldType::kAlpha, 10},
                {"Name", FieldType::kAlpha, 24},
                {"Amount", FieldType::kNumber, 0},
                {"Born", FieldType::kDate, 0},
                {"Note", FieldType::kMemo, 12}};
    s.keyFieldCount = 1;
    s.secondaryIndexes = {{"ByName", {"Name", "Born"}, true, false, false}};
    WriteOptions wo;
    const bool levelMakesIt = BlockSizeAllowed(c.level, c.blockSize);
    EXPECT_EQ(levelMakesIt, c.level != TableLevel::k4);
    if (!levelMakesIt) {
      // A new table of that level is refused; only a table that has the size keeps it.
      EXPECT_TRUE(HeaderForSchema(s, db).status().IsInvalidArgument());
      TableSchema small = s;
      small.blockSize = 4096;
      auto base = HeaderForSchema(small, db);
      ASSERT_TRUE(base.ok()) << base.status().ToString();
      base->fixed.blockSizeCode = uint8_t(c.blockSize / 1024);
      wo.baseHeader = *base;
    }
    auto w = TableWriter::Create(&fs, db, s, wo);
    ASSERT_TRUE(w.ok()) << w.status().ToString();
    for (int i = 0; i < 900; ++i) {
      char code[12];
      std::snprintf(code, sizeof code, "C%06d", i);
      Value note = i % 4 ? Value{} : Value{std::string(30 + i % 50, char('a' + i % 26))};
      ASSERT_TRUE((*w)->AddRecord({std::string(code), "Name " + std::to_string(i * 7 % 101),
                                   i * 0.5 - 3, Date{720000 + i % 300}, note})
                      .ok());
    }
    ASSERT_TRUE((*w)->Finish().ok());
    std::string why;
    EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
    Snapshot before = TakeSnapshot(&fs, db);
    ASSERT_TRUE(before.ok) << before.error;

    RebuildOptions o;
    o.fs = &fs;
    o.now = kNow;
    RebuildResult r = RebuildTable(db, o);
    ASSERT_TRUE(r.status.ok()) << r.status.ToString();
    EXPECT_EQ(r.recordsKept, 900u);
    EXPECT_EQ(r.issues, 0u);
    for (const char* member : {"/data/WIDE.DB", "/data/WIDE.XG0"}) {
      auto h = ReadHeader(&fs, member);
      ASSERT_TRUE(h.ok()) << member;
      EXPECT_EQ(h->fixed.fileVersionId, VersionIdForLevel(c.level)) << member;
      EXPECT_EQ(h->BlockSize(), c.blockSize) << member;
    }
    EXPECT_EQ(TakeSnapshot(&fs, db).records, before.records);
    why.clear();
    EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
  }
  for (TableLevel level :
       {TableLevel::k3_0, TableLevel::k3_5, TableLevel::k4, TableLevel::k5, TableLevel::k7}) {
    for (uint32_t bs : {0u, 1536u, 5120u, 65536u}) {
      EXPECT_FALSE(BlockSizeAllowed(level, bs)) << bs;
      EXPECT_FALSE(BlockSizeKnown(bs)) << bs;
    }
    EXPECT_TRUE(BlockSizeAllowed(level, 1024));
    EXPECT_TRUE(BlockSizeAllowed(level, 4096));
  }
}

// A .VAL of 1 TiB beside a real table (sparse: it takes no disk) is no .VAL any table
// has: the rebuild stops with Corruption naming it, leaves the table as it was and lets
// go of it, so the next rebuild in the same process is not refused as one under way.
// Once the .VAL is gone, the table rebuilds.
TEST(RebuildLimits, OversizedValStopsTheRebuildAndReleasesTheTable) {
  std::string dir = ::testing::TempDir() + "rebuild_big_val_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr) << dir;
  FileSystem* fs = DefaultFileSystem();
  const std::string db = PathJoin(dir, "ORDERS.DB"), val = PathJoin(dir, "ORDERS.VAL");
  ASSERT_TRUE(WriteOneRecordPerBlock(fs, db, 20).ok());
  const int fd = ::open(val.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const bool sparse = ::ftruncate(fd, off_t(1) << 40) == 0;
  const int why = errno;
  ::close(fd);
  if (!sparse) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "the file system under " << ::testing::TempDir()
                 << " refuses a sparse file of 1 TiB: " << std::strerror(why);
  }
  const Bytes before = *fs->ReadFile(db, UINT64_MAX);
  RebuildOptions o;
  o.fs = fs;
  o.now = kNow;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    RebuildResult r = RebuildTable(db, o);
    EXPECT_EQ(r.status.code(), Status::Code::kCorruption) << attempt << ": " << r.status.ToString();
    EXPECT_NE(r.status.message().find("ORDERS.VAL"), std::string::npos) << r.status.message();
  }
  EXPECT_EQ(*fs->ReadFile(db, UINT64_MAX), before);
  VerifyOptions vo;
  vo.fs = fs;
  VerifyReport report = VerifyTable(db, vo);
  EXPECT_TRUE(std::any_of(report.findings.begin(), report.findings.end(), [](const Finding& f) {
    return f.check == "val.corrupt" && f.where.file == "ORDERS.VAL";
  }));

  ASSERT_TRUE(fs->Remove(val).ok());
  RebuildResult r = RebuildTable(db, o);
  EXPECT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.recordsKept, 20u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace paradox::test
