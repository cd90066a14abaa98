// Tables at the format's limits, built in memory: block numbers, block counts and index
// hints are unsigned 16-bit words (up to 65535 blocks, not 32767).
#include <gtest/gtest.h>

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
  s.fields = {{"Id", FieldType::kLong, 0},    {"Name", FieldType::kAlpha, 12},
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
    EXPECT_TRUE(after.records == before.records);
    why.clear();
    EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
  }
  // One block more than the words hold is refused, naming the file.
  MemFileSystem fs;
  Status st = WriteOneRecordPerBlock(&fs, "/data/BIG.DB", 65536);
  EXPECT_TRUE(st.IsInvalidArgument()) << st.ToString();
  EXPECT_NE(st.message().find("BIG.DB would need more than 65535 blocks"), std::string::npos) << st.message();
}

}  // namespace
}  // namespace paradox::test
