// Tables shaped as engines leave them after years of use (chains that start anywhere
// and run against physical order, unlinked blocks of deleted records, stale slots
// after a block's last record), healthy and with one damaged count word: verify and
// rebuild must agree, and a rebuild never loses a record nor brings one back.
#include <gtest/gtest.h>

#include "mutators.h"
#include "rebuild_helpers.h"

namespace paradox::test {
namespace {

constexpr std::time_t kNow = 1765000000;

// Reverses the physical order of the data blocks of a table written in order 1..n:
// the chain becomes n -> n-1 -> ... -> 1 with logical block i at physical n + 1 - i.
void ReverseBlocks(Bytes& f) {
  const uint32_t n = DecodeU16(f.data() + 0x0C);
  const uint32_t bs = BlockSize(f);
  Bytes copy = f;
  for (uint32_t p = 1; p <= n; ++p) {
    const uint32_t logical = n + 1 - p;
    std::copy_n(copy.begin() + long(BlockStart(copy, logical)), bs,
                f.begin() + long(BlockStart(f, p)));
    SetNextBlock(f, p, uint16_t(logical < n ? p - 1 : 0));
    SetPrevBlock(f, p, uint16_t(logical > 1 ? p + 1 : 0));
  }
  SetFirstBlock(f, uint16_t(n));
  SetLastBlock(f, 1);
}

// Appends a block the engine unlinked without listing it as free: deleted records.
void AppendUnlinkedBlock(Bytes& f, uint32_t copyOf) {
  const uint32_t n = DecodeU16(f.data() + 0x0C);
  const uint32_t bs = BlockSize(f);
  Bytes block(f.begin() + long(BlockStart(f, copyOf)),
              f.begin() + long(BlockStart(f, copyOf) + bs));
  block[6] ^= 0x01;  // not byte-equal to a live record
  f.insert(f.end(), block.begin(), block.end());
  SetFileBlocks(f, uint16_t(n + 1));
  SetU16(f, 0x3A, uint16_t(n + 1));  // the engine keeps 0x3A equal to the block count
  SetNextBlock(f, n + 1, 0);
  SetPrevBlock(f, n + 1, 0);
}

// Fills the unused slots of block k with a copy of its first record (stale bytes of
// deleted records, which engines leave in place).
void StaleTail(Bytes& f, uint32_t k) {
  const uint16_t rs = DecodeU16(f.data());
  const uint32_t cap = (BlockSize(f) - 6) / rs;
  const int16_t ads = int16_t(DecodeU16(f.data() + BlockStart(f, k) + 4));
  const uint32_t used = ads < 0 ? 0 : uint32_t(ads / rs + 1);
  const uint64_t first = BlockStart(f, k) + 6;
  for (uint32_t i = used; i < cap; ++i)
    std::copy_n(f.begin() + long(first), rs, f.begin() + long(first + uint64_t(i) * rs));
}

struct Outcome {
  Verdict before = Verdict::kClean;
  RebuildResult rebuild;
  Snapshot after;
  Verdict afterVerdict = Verdict::kClean;
};

Outcome VerifyAndRebuild(MemFileSystem& fs, const std::string& db) {
  Outcome o;
  VerifyOptions vo;
  vo.fs = &fs;
  o.before = VerifyTable(db, vo).verdict;
  RebuildOptions ro;
  ro.fs = &fs;
  ro.now = kNow;
  o.rebuild = RebuildTable(db, ro);
  o.after = TakeSnapshot(&fs, db);
  o.afterVerdict = VerifyTable(db, vo).verdict;
  return o;
}

std::vector<Bytes> Sorted(std::vector<Bytes> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(WildTables, ChainAgainstPhysicalOrderWithDeletedBlocksRebuildsToTheSameRecords) {
  for (int rows : {198, 31, 535}) {
    SCOPED_TRACE(rows);
    MemFileSystem fs;
    const std::string db = "/w/ITEMS.DB";
    ASSERT_TRUE(MakeTable(&fs, db, UnkeyedSchema(), UnkeyedRows(rows)).ok());
    Snapshot healthy = TakeSnapshot(&fs, db);
    ASSERT_TRUE(healthy.ok);
    Bytes& f = *fs.Contents(db);
    StaleTail(f, DecodeU16(f.data() + 0x0C));
    ReverseBlocks(f);
    AppendUnlinkedBlock(f, 1);

    Outcome o = VerifyAndRebuild(fs, db);
    EXPECT_EQ(o.before, Verdict::kClean);
    ASSERT_TRUE(o.rebuild.status.ok()) << o.rebuild.status.ToString();
    EXPECT_EQ(o.rebuild.issues, 0u) << "a healthy table was repaired";
    EXPECT_EQ(o.rebuild.problems, 0u);
    ASSERT_TRUE(o.after.ok) << o.after.error;
    EXPECT_EQ(Sorted(o.after.records), Sorted(healthy.records));
    EXPECT_EQ(o.afterVerdict, Verdict::kClean);
  }
}

TEST(WildTables, DamagedCountWordIsBoundedAndNeverBringsDeletedRecordsBack) {
  struct Shape {
    const char* name;
    TableSchema schema;
    std::vector<std::vector<Value>> rows;
  };
  TableSchema level3 = UnkeyedSchema();
  level3.level = TableLevel::k3_0;
  level3.blockSize = 1024;
  level3.fields = {{"Item", FieldType::kAlpha, 30}, {"Qty", FieldType::kShort, 0}};
  std::vector<std::vector<Value>> fewRows;
  for (int i = 0; i < 5; ++i)
    fewRows.push_back({std::string("part ") + std::to_string(i), int64_t(i)});
  TableSchema keyed = KeyedSchema();
  keyed.secondaryIndexes.clear();
  const Shape shapes[] = {
      {"unkeyed, reversed chain", UnkeyedSchema(), UnkeyedRows(150)},
      {"one-block level 3", level3, fewRows},  // only the header's count can bound it
      {"keyed", keyed, KeyedRows(90)},         // the primary index bounds it
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.name);
    MemFileSystem fs;
    const std::string db = "/w/T.DB";
    ASSERT_TRUE(MakeTable(&fs, db, s.schema, s.rows).ok());
    Snapshot healthy = TakeSnapshot(&fs, db);
    ASSERT_TRUE(healthy.ok);
    Bytes& f = *fs.Contents(db);
    const uint32_t last = DecodeU16(f.data() + 0x10);
    StaleTail(f, last);
    if (s.schema.keyFieldCount == 0 && DecodeU16(f.data() + 0x0C) > 1) ReverseBlocks(f);
    // The last block's count word now claims every slot: the stale ones too.
    const uint32_t lastNow = DecodeU16(f.data() + 0x10);
    const uint16_t rs = DecodeU16(f.data());
    const uint32_t cap = (BlockSize(f) - 6) / rs;
    SetAddDataSize(f, lastNow, int16_t((cap - 1) * rs + 1));  // not a record count at all

    Outcome o = VerifyAndRebuild(fs, db);
    EXPECT_NE(o.before, Verdict::kClean);
    ASSERT_TRUE(o.rebuild.status.ok()) << o.rebuild.status.ToString();
    ASSERT_TRUE(o.after.ok) << o.after.error;
    EXPECT_EQ(Sorted(o.after.records), Sorted(healthy.records))
        << "kept " << o.after.records.size() << " of " << healthy.records.size();
    EXPECT_EQ(o.afterVerdict, Verdict::kClean);
  }
}

}  // namespace
}  // namespace paradox::test
