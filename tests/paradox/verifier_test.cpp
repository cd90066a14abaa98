// Verifier: corruption tests on tables written by our writer (in memory), damaged with
// named mutators; each asserts the check id, its location and the verdict.
#include "paradox/verify/verifier.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <map>
#include <set>

#include "faulty_file_system.h"
#include "mutators.h"
#include "paradox/format/crypt.h"
#include "paradox/format/file.h"
#include "paradox/format/value.h"
#include "paradox/format/writer.h"

namespace paradox {
namespace {

using namespace paradox::test;

constexpr const char* kDb = "t/T.DB";

struct Built {
  uint32_t blocks = 0;
  uint32_t recordSize = 0;
  uint32_t headerSize = 0;
  uint32_t blockSize = 0;
};

class VerifierTest : public ::testing::Test {
 protected:
  // A keyed level-7 table: Id I (key), Name A20, Born D, Ok L, Amount #2, Note M10,
  // 200 records at 10 per block (20 blocks), a secondary index on Name.
  void WriteStandard(uint32_t records = 200, bool withIndex = true, uint32_t key = 0) {
    TableSchema s;
    s.level = TableLevel::k7;
    s.blockSize = 1024;
    s.codePage = 1252;
    s.fields = {{"Id", FieldType::kLong},       {"Name", FieldType::kAlpha, 20},
                {"Born", FieldType::kDate},     {"Ok", FieldType::kLogical},
                {"Amount", FieldType::kBcd, 2}, {"Note", FieldType::kMemo, 10}};
    s.keyFieldCount = 1;
    s.encryptionKey = key;
    if (withIndex) s.secondaryIndexes = {{"", {"Name"}}};
    (void)fs_.MakeDir("t");
    WriteOptions o;
    o.recordsPerBlock = 10;
    o.sync = false;
    auto w = TableWriter::Create(&fs_, kDb, s, o);
    ASSERT_TRUE(w.ok()) << w.status().ToString();
    for (uint32_t i = 1; i <= records; ++i) {
      std::string note = i % 7 == 0 ? std::string(300 + i, 'n') : "short";
      std::vector<Value> v = {int64_t(i),
                              std::string("name") + std::to_string(1000 + i),
                              Date{730000 + int32_t(i)},
                              bool(i % 2),
                              Bcd{std::to_string(i) + ".25"},
                              note};
      ASSERT_TRUE(w.value()->AddRecord(v).ok());
    }
    ASSERT_TRUE(w.value()->Finish().ok());
    const Bytes& db = *fs_.Contents(kDb);
    built_.headerSize = HeaderSize(db);
    built_.blockSize = BlockSize(db);
    built_.recordSize = DecodeU16(db.data());
    built_.blocks = DecodeU16(db.data() + 0x0C);
  }

  Bytes& File(const char* path = kDb) { return *fs_.Contents(path); }

  VerifyReport Verify(size_t budget = 500) {
    VerifyOptions o;
    o.fs = &fs_;
    o.maxFindings = budget;
    return VerifyTable(kDb, o);
  }

  // Offset of record r (0-based) of block k, and of a field inside it.
  uint64_t RecordAt(uint32_t k, uint32_t r) const {
    return built_.headerSize + uint64_t(k - 1) * built_.blockSize + 6 +
           uint64_t(r) * built_.recordSize;
  }

  static std::string Dump(const VerifyReport& r) {
    std::string s;
    for (const Finding& f : r.findings) s += f.ToString() + "\n";
    return s;
  }
  static const Finding* First(const VerifyReport& r, std::string_view check) {
    for (const Finding& f : r.findings)
      if (f.check == check) return &f;
    return nullptr;
  }

  MemFileSystem fs_;
  Built built_;
};

// Field offsets in the standard record: Id 0 (4), Name 4 (20), Born 24 (4), Ok 28 (1),
// Amount 29 (17), Note 46 (20).
constexpr uint32_t kName = 4, kBorn = 24, kOk = 28, kAmount = 29, kNote = 46;

TEST_F(VerifierTest, WrittenTablesVerifyClean) {
  WriteStandard();
  VerifyReport r = Verify();
  EXPECT_EQ(r.verdict, Verdict::kClean) << Dump(r);
  EXPECT_EQ(r.errors, 0u) << Dump(r);
  EXPECT_EQ(r.warnings, 0u) << Dump(r);
  EXPECT_EQ(r.summary.countedRecords, 200u);
  EXPECT_EQ(r.summary.chainBlocks, 20u);
  EXPECT_EQ(built_.recordSize, 66u);
}

TEST_F(VerifierTest, EveryLevelAndBlockSizeVerifiesClean) {
  struct Case {
    TableLevel level;
    uint32_t blockSize;
    uint16_t keys;
  };
  for (Case c : {Case{TableLevel::k3_0, 1024, 1}, Case{TableLevel::k3_5, 2048, 0},
                 Case{TableLevel::k4, 4096, 2}, Case{TableLevel::k5, 2048, 1},
                 Case{TableLevel::k7, 16384, 1}, Case{TableLevel::k7, 32768, 0}}) {
    MemFileSystem fs;
    ASSERT_TRUE(fs.MakeDir("d").ok());
    TableSchema s;
    s.level = c.level;
    s.blockSize = c.blockSize;
    s.codePage = 850;
    s.fields = {{"Code", FieldType::kShort},
                {"City", FieldType::kAlpha, 30},
                {"Pop", FieldType::kNumber},
                {"Since", FieldType::kDate},
                {"Fee", FieldType::kMoney}};
    s.keyFieldCount = c.keys;
    WriteOptions o;
    o.sync = false;
    auto w = TableWriter::Create(&fs, "d/CITY.DB", s, o);
    ASSERT_TRUE(w.ok()) << w.status().ToString();
    for (int i = 0; i < 700; ++i)
      ASSERT_TRUE(w.value()
                      ->AddRecord({int64_t(i + 1), "city " + std::to_string(i), double(i) * 1.5,
                                   Date{700000 + i}, double(i) / 4})
                      .ok());
    ASSERT_TRUE(w.value()->Finish().ok());
    VerifyOptions vo;
    vo.fs = &fs;
    VerifyReport r = VerifyTable("d/CITY.DB", vo);
    EXPECT_EQ(r.verdict, Verdict::kClean) << LevelName(c.level) << " " << c.blockSize << "\n"
                                          << Dump(r);
    EXPECT_EQ(r.warnings, 0u) << Dump(r);
    EXPECT_EQ(r.summary.countedRecords, 700u);
  }
}

TEST_F(VerifierTest, EncryptedTableIsCheckedAfterDecryption) {
  WriteStandard(60, false, KeyFromPassword("secret"));
  VerifyReport r = Verify();
  EXPECT_EQ(r.verdict, Verdict::kClean) << Dump(r);
  EXPECT_TRUE(r.summary.encrypted);
  EXPECT_TRUE(r.Has("crypt.encrypted"));
  EXPECT_EQ(r.summary.countedRecords, 60u);

  // Another key in the header: the blocks decrypt to noise.
  SetU32(File(), 0x5C, KeyFromPassword("other"));
  r = Verify();
  const Finding* f = First(r, "crypt.bad-key");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 1u);
  EXPECT_EQ(r.verdict, Verdict::kIncomplete);
}

// --- header ---------------------------------------------------------------------

TEST_F(VerifierTest, HeaderDamageGivesItsCheckAndVerdict) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* check;
    Verdict verdict;
    uint64_t offset;
  };
  const std::vector<Case> cases = {
      {"record count", [](Bytes& f) { SetRecordCount(f, 7); }, "header.record-count",
       Verdict::kRepairable, 0x06},
      // The name area and the data blocks still show a table: a damaged one, not a
      // foreign file.
      {"level byte", [](Bytes& f) { SetU8(f, 0x39, 99); }, "header.damaged",
       Verdict::kNeedsStructure, 0x39},
      {"file type", [](Bytes& f) { SetU8(f, 0x04, 7); }, "header.damaged", Verdict::kNeedsStructure,
       0x04},
      {"fixed part zeroed", [](Bytes& f) { FillBytes(f, 0, 0x78, 0); }, "header.damaged",
       Verdict::kNeedsStructure, 0x39},
      {"block size", [](Bytes& f) { SetU8(f, 0x05, 0); }, "header.block-size",
       Verdict::kNeedsStructure, 0x05},
      {"field type", [](Bytes& f) { SetU8(f, 0x78 + 2, 0x07); }, "header.field-type",
       Verdict::kNeedsStructure, 0x7A},
      {"field count", [](Bytes& f) { SetNumFields(f, 0); }, "header.field-count",
       Verdict::kNeedsStructure, 0x21},
      {"field count 5", [](Bytes& f) { SetNumFields(f, 5); }, "header.field-layout",
       Verdict::kNeedsStructure, 0x21},
      {"record size", [](Bytes& f) { SetRecordSize(f, 70); }, "header.record-size",
       Verdict::kRepairable, 0x00},
      {"rebuild flag", [](Bytes& f) { SetU8(f, 0x14, 1); }, "header.rebuild-flag",
       Verdict::kRepairable, 0x14},
      {"level copy", [](Bytes& f) { SetU16(f, 0x5A, 0x0109); }, "header.version-copy",
       Verdict::kRepairable, 0x58},
      {"header size", [](Bytes& f) { SetU16(f, 0x02, 0x40); }, "header.header-size",
       Verdict::kNeedsStructure, 0x02},
  };
  for (const Case& c : cases) {
    WriteStandard(40, false);
    c.damage(File());
    VerifyReport r = Verify();
    const Finding* f = First(r, c.check);
    ASSERT_NE(f, nullptr) << c.name << "\n" << Dump(r);
    EXPECT_EQ(f->where.file, "T.DB");
    EXPECT_EQ(f->where.offset, c.offset) << c.name;
    EXPECT_EQ(r.verdict, c.verdict) << c.name << "\n" << Dump(r);
  }
}

TEST_F(VerifierTest, TooShortOrForeignFilesAreNotTables) {
  WriteStandard(10, false);
  Truncate(File(), 40);
  VerifyReport r = Verify();
  EXPECT_TRUE(r.Has("header.too-short"));
  EXPECT_EQ(r.verdict, Verdict::kNotRebuildable);

  Bytes text(5000, 'x');
  VerifyReport g = VerifyBytes(text);
  EXPECT_EQ(g.verdict, Verdict::kNotRebuildable) << Dump(g);
  EXPECT_EQ(VerifyBytes(Bytes{}).verdict, Verdict::kNotRebuildable);
}

// --- chain, free list, blocks -------------------------------------------------------

TEST_F(VerifierTest, ChainDamageIsFoundWithItsBlock) {
  WriteStandard(100, false);  // 10 blocks
  BreakChain(File(), 4);
  VerifyReport r = Verify();
  const Finding* f = First(r, "chain.out-of-range");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 4u);
  EXPECT_TRUE(r.Has("chain.length"));
  EXPECT_TRUE(r.Has("header.record-count"));
  EXPECT_TRUE(r.Has("blocks.orphan"));  // blocks 5..10 unreachable
  EXPECT_EQ(r.verdict, Verdict::kRepairable);

  WriteStandard(100, false);
  MakeChainCycle(File(), 6);
  r = Verify();
  f = First(r, "chain.cycle");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 6u);

  WriteStandard(100, false);
  SetPrevBlock(File(), 3, 9);
  r = Verify();
  f = First(r, "chain.prev-link");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 3u);
  EXPECT_EQ(f->detail, "previous-block link of block 3 is 9 but should be 2");

  WriteStandard(100, false);
  SetLastBlock(File(), 7);
  r = Verify();
  EXPECT_TRUE(r.Has("chain.last-block")) << Dump(r);

  WriteStandard(100, false);
  SetFirstBlock(File(), 0);
  r = Verify();
  EXPECT_TRUE(r.Has("chain.first-block")) << Dump(r);
}

TEST_F(VerifierTest, CrossLinkedFreeListAndBadRecordCounts) {
  WriteStandard(100, false);
  SetFirstFreeBlock(File(), 5);  // block 5 is chained
  VerifyReport r = Verify();
  const Finding* f = First(r, "freelist.cross-link");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 5u);

  WriteStandard(100, false);
  SetAddDataSize(File(), 2, 13);  // not a multiple of the record size
  r = Verify();
  f = First(r, "block.record-count");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 2u);
  EXPECT_EQ(f->where.offset, BlockStart(File(), 2) + 4);

  WriteStandard(100, false);
  SetAddDataSize(File(), 8, int16_t(-built_.recordSize));  // empties a block: count off by 10
  r = Verify();
  f = First(r, "header.record-count");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->detail, "record count is 100 but the chain holds 90");
  EXPECT_TRUE(r.Has("block.empty"));
}

TEST_F(VerifierTest, TruncationAndTrailingData) {
  WriteStandard(100, false);
  Truncate(File(), File().size() - 3 * built_.blockSize);
  VerifyReport r = Verify();
  EXPECT_TRUE(r.Has("file.truncated")) << Dump(r);
  EXPECT_TRUE(r.Has("chain.beyond-eof")) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kRepairable);

  // DOS-era short last block that still holds its records: a warning only.
  WriteStandard(95, false);  // last block holds 5 records of 66 bytes
  Truncate(File(), File().size() - built_.blockSize + 6 + 5 * 66 + 10);
  r = Verify();
  EXPECT_TRUE(r.Has("file.short-last-block")) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kClean) << Dump(r);

  WriteStandard(20, false);
  File().resize(File().size() + 100, 0);
  r = Verify();
  EXPECT_TRUE(r.Has("file.trailing-data"));
  EXPECT_EQ(r.verdict, Verdict::kClean);
}

TEST_F(VerifierTest, FreeListAndOrphanBlocks) {
  // Take block 10 out of the chain (counts adjusted): it becomes an orphan, a warning.
  WriteStandard(100, false);
  Bytes& f = File();
  SetNextBlock(f, 9, 0);
  SetLastBlock(f, 9);
  SetBlocksInUse(f, 9);
  SetRecordCount(f, 90);
  VerifyReport r = Verify();
  const Finding* o = First(r, "blocks.orphan");
  ASSERT_NE(o, nullptr) << Dump(r);
  EXPECT_EQ(o->where.block, 10u);
  EXPECT_EQ(r.Count("blocks.orphan"), 1u);
  // (The .PX still maps block 10: an index finding, repairable.)
  EXPECT_TRUE(r.Has("index.block-map")) << Dump(r);

  // Put it on the free list: no orphan any more; then make the list loop.
  SetFirstFreeBlock(f, 10);
  r = Verify();
  EXPECT_FALSE(r.Has("blocks.orphan")) << Dump(r);
  EXPECT_EQ(r.summary.freeBlocks, 1u);
  SetNextBlock(f, 10, 10);
  r = Verify();
  o = First(r, "freelist.cycle");
  ASSERT_NE(o, nullptr) << Dump(r);
  EXPECT_EQ(o->where.block, 10u);
  SetNextBlock(f, 10, 400);
  r = Verify();
  EXPECT_TRUE(r.Has("freelist.out-of-range")) << Dump(r);
}

// --- values and keys ------------------------------------------------------------------

TEST_F(VerifierTest, BadFieldValuesAreLocatedToRecordAndField) {
  WriteStandard(50, false);
  SetU8(File(), RecordAt(2, 3) + kOk, 0x42);
  SetU32(File(), RecordAt(3, 0) + kBorn, 0x000000FF);  // bytes FF 00 00 00: far beyond 9999-12-31
  SetU8(File(), RecordAt(4, 1) + kAmount, 0xC5);       // 5 decimals in a #2 field
  SetU8(File(), RecordAt(4, 2) + kName + 15, 'z');     // garbage after the NUL
  VerifyReport r = Verify();
  const Finding* f = First(r, "value.logical");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 2u);
  EXPECT_EQ(f->where.record, 3);
  EXPECT_EQ(f->field, "Ok");
  EXPECT_EQ(f->where.offset, RecordAt(2, 3) + kOk);
  f = First(r, "value.date");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 3u);
  EXPECT_EQ(f->field, "Born");
  f = First(r, "value.bcd");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.record, 1);
  f = First(r, "value.alpha-tail");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->severity, Severity::kWarning);
  EXPECT_EQ(r.verdict, Verdict::kRepairable);
}

TEST_F(VerifierTest, KeyOrderAndDuplicatesInsideAndAcrossBlocks) {
  WriteStandard(50, false);
  // Swap the keys of records 2 and 3 of block 1.
  Bytes& f = File();
  for (int i = 0; i < 4; ++i) std::swap(f[RecordAt(1, 2) + i], f[RecordAt(1, 3) + i]);
  VerifyReport r = Verify();
  const Finding* k = First(r, "key.order");
  ASSERT_NE(k, nullptr) << Dump(r);
  EXPECT_EQ(k->where.block, 1u);
  EXPECT_EQ(k->where.record, 3);

  WriteStandard(50, false);
  // First key of block 3 repeats the last key of block 2.
  for (int i = 0; i < 4; ++i) File()[RecordAt(3, 0) + i] = File()[RecordAt(2, 9) + i];
  r = Verify();
  k = First(r, "key.duplicate");
  ASSERT_NE(k, nullptr) << Dump(r);
  EXPECT_EQ(k->where.block, 3u);
  EXPECT_TRUE(r.Has("index.first-key")) << Dump(r);  // the PX still has the old key
}

// Fuzz find (fuzz/regressions/byte-identical-alpha-keys-under-a-collation.fam): alpha keys
// under a collation other than "ascii" cannot be ordered by bytes, but byte-identical
// keys are duplicates in every collation (and a rebuild sets them aside).
TEST_F(VerifierTest, ByteIdenticalKeysAreDuplicatesUnderAnyCollation) {
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 1024;
  s.codePage = 1252;  // its collation is not byte order
  s.fields = {{"Name", FieldType::kAlpha, 10}, {"N", FieldType::kLong}};
  s.keyFieldCount = 1;
  (void)fs_.MakeDir("t");
  WriteOptions o;
  o.recordsPerBlock = 10;
  o.sync = false;
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 30; ++i) rows.push_back({"k" + std::to_string(100 + i), int64_t(i)});
  ASSERT_TRUE(WriteTable(&fs_, kDb, s, rows, o).ok());
  const Bytes& db = File();
  built_.headerSize = HeaderSize(db);
  built_.blockSize = BlockSize(db);
  built_.recordSize = DecodeU16(db.data());
  auto h = ReadHeader(&fs_, kDb);
  ASSERT_TRUE(h.ok());
  ASSERT_NE(h->sortOrderId, "ascii");
  ASSERT_EQ(Verify().errors, 0u) << Dump(Verify());
  // Record 5 of block 1 repeats record 4; the first key of block 3 repeats block 2's last.
  for (int i = 0; i < 10; ++i) {
    File()[RecordAt(1, 5) + i] = File()[RecordAt(1, 4) + i];
    File()[RecordAt(3, 0) + i] = File()[RecordAt(2, 9) + i];
  }
  VerifyReport r = Verify();
  std::vector<std::pair<uint32_t, int64_t>> at;
  for (const Finding& f : r.findings)
    if (f.check == "key.duplicate") at.push_back({f.where.block, f.where.record});
  EXPECT_EQ(at, (std::vector<std::pair<uint32_t, int64_t>>{{1, 5}, {3, 0}})) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kRepairable);
}

// --- indexes ------------------------------------------------------------------------------

TEST_F(VerifierTest, PrimaryIndexAgainstTheData) {
  WriteStandard(100, false);
  (void)fs_.Remove("t/T.PX");
  VerifyReport r = Verify();
  // An engine cannot open a keyed table without its .PX; a rebuild writes one.
  const Finding* missing = First(r, "index.px-missing");
  ASSERT_NE(missing, nullptr) << Dump(r);
  EXPECT_EQ(missing->severity, Severity::kError);
  EXPECT_EQ(r.verdict, Verdict::kRepairable) << Dump(r);

  WriteStandard(100, false);
  SetRecordCount(File(), 100);  // unchanged
  Bytes& px = File("t/T.PX");
  // First leaf entry's count: key 4 bytes, child 2, count 2 (sortable 16-bit).
  const uint64_t entry = BlockStart(px, 1) + 6;
  SetU8(px, entry + 4 + 2 + 1, 9);
  r = Verify();
  const Finding* f = First(r, "index.count");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.file, "T.PX");
  EXPECT_EQ(r.verdict, Verdict::kRepairable);

  // A sync counter that differs proves nothing alone (common in healthy files); beside
  // contents that disagree it is reported as the explanation.
  WriteStandard(100, false);
  SetU8(File("t/T.PX"), 0x2C, 77);
  r = Verify();
  EXPECT_FALSE(r.Has("index.sync")) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kClean);
  SetU8(File("t/T.PX"), BlockStart(File("t/T.PX"), 1) + 6 + 4 + 2 + 1, 9);
  r = Verify();
  EXPECT_TRUE(r.Has("index.sync")) << Dump(r);

  // Index header damage never makes the table unrebuildable.
  WriteStandard(100, false);
  SetU8(File("t/T.PX"), 0x39, 99);
  r = Verify();
  EXPECT_TRUE(r.Has("index.header")) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kRepairable);
}

TEST_F(VerifierTest, SecondaryIndexAgainstTheData) {
  WriteStandard(100, true);
  std::string x, y;
  for (const std::string& p : fs_.AllFiles()) {
    if (p.find(".X") != std::string::npos) x = p;
    if (p.find(".Y") != std::string::npos) y = p;
  }
  ASSERT_FALSE(x.empty());
  ASSERT_FALSE(y.empty());
  VerifyReport r = Verify();
  ASSERT_EQ(r.verdict, Verdict::kClean) << Dump(r);

  SetRecordCount(File(x.c_str()), 99);
  r = Verify();
  EXPECT_TRUE(r.Has("index.count")) << Dump(r);

  WriteStandard(100, true);
  (void)fs_.Remove(y);
  r = Verify();
  EXPECT_TRUE(r.Has("index.y-missing")) << Dump(r);
}

// The last field of an X record over a keyed table is the hint: the data block where
// the record was when the entry was written. Engines leave stale hints in normal use and
// only start their search there; a hint beyond the table's blocks is damage.
TEST_F(VerifierTest, SecondaryIndexHintsStaleAreWarningsOutOfRangeAreErrors) {
  auto xPath = [&] {
    for (const std::string& p : fs_.AllFiles())
      if (p.find(".X") != std::string::npos) return p;
    return std::string();
  };
  auto setHint = [&](uint32_t rec, uint16_t block) {
    Bytes& x = File(xPath().c_str());
    const uint16_t rs = DecodeU16(x.data());
    const uint64_t at = BlockStart(x, 1) + 6 + uint64_t(rec) * rs + rs - 2;
    SetU8(x, at, uint8_t((block >> 8) ^ 0x80));
    SetU8(x, at + 1, uint8_t(block & 0xFF));
  };
  WriteStandard(100, true);
  ASSERT_FALSE(xPath().empty());
  const Bytes& x = File(xPath().c_str());
  const uint32_t inBlock1 =
      uint32_t(int16_t(DecodeU16(x.data() + BlockStart(x, 1) + 4))) / DecodeU16(x.data()) + 1;
  ASSERT_GT(inBlock1, 3u);
  // Every entry of the first X block names data block 5, which holds other keys.
  for (uint32_t rec = 0; rec < inBlock1; ++rec) setHint(rec, 5);
  VerifyReport r = Verify();
  EXPECT_EQ(r.Count("index.x-hint"), inBlock1) << Dump(r);
  const Finding* f = First(r, "index.x-hint");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->severity, Severity::kWarning);
  EXPECT_EQ(r.errors, 0u) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kClean) << Dump(r);

  for (uint16_t beyond : {uint16_t(0), uint16_t(built_.blocks + 1), uint16_t(999)}) {
    WriteStandard(100, true);
    setHint(2, beyond);
    r = Verify();
    f = First(r, "index.x-hint-range");
    ASSERT_NE(f, nullptr) << beyond << "\n" << Dump(r);
    EXPECT_EQ(f->where.record, 2);
    EXPECT_FALSE(r.Has("index.x-hint")) << Dump(r);
    EXPECT_EQ(r.verdict, Verdict::kRepairable) << Dump(r);
  }
}

// --- blobs --------------------------------------------------------------------------

TEST_F(VerifierTest, BlobPointersAgainstTheBlobFile) {
  WriteStandard(30, false);  // records 7, 14, 21, 28 have memos in the .MB
  // Record 7 = block 1 record 6. Pointer after the 10-byte leader: offset u32, length u32.
  const uint64_t ptr = RecordAt(1, 6) + kNote + 10;
  SetU32(File(), ptr, 0x00FFFF00 | 0xFF);
  VerifyReport r = Verify();
  const Finding* f = First(r, "blob.pointer");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 1u);
  EXPECT_EQ(f->where.record, 6);
  EXPECT_EQ(f->field, "Note");

  WriteStandard(30, false);
  SetU32(File(), RecordAt(2, 3) + kNote + 10 + 4, 5000);  // record 14's length
  r = Verify();
  EXPECT_TRUE(r.Has("blob.length")) << Dump(r);

  WriteStandard(30, false);
  (void)fs_.Remove("t/T.MB");
  r = Verify();
  f = First(r, "mb.missing");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->detail, "4 blob values are stored in the blob file (.MB), which is missing");
  EXPECT_EQ(r.verdict, Verdict::kRepairable);

  // Record 21 (block 3 record 0) keeps 10 leader bytes of its 321-byte memo.
  WriteStandard(30, false);
  SetU8(File(), RecordAt(3, 0) + kNote + 2, 'X');
  r = Verify();
  f = First(r, "blob.leader");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.block, 3u);
  EXPECT_EQ(f->detail, "leader byte 2 is 0x58 but the stored blob has 0x6E");
  EXPECT_EQ(r.verdict, Verdict::kClean);

  WriteStandard(30, false);
  const uint32_t wholeUnits = uint32_t(File("t/T.MB").size());
  File("t/T.MB").resize(wholeUnits + 100, 0);
  r = Verify();
  EXPECT_TRUE(r.Has("mb.size")) << Dump(r);
  // Fuzz find (fuzz/regressions/blob-pointer-into-partial-last-unit-of-mb.fam): a pointer
  // into the partial last unit indexed past the table of whole units.
  SetU32(File(), ptr, wholeUnits | 0xFF);
  r = Verify();
  f = First(r, "blob.pointer");
  ASSERT_NE(f, nullptr) << Dump(r);
  EXPECT_EQ(f->where.record, 6);
  EXPECT_NE(f->detail.find("should be a 4096-aligned offset inside T.MB"), std::string::npos)
      << f->detail;

  WriteStandard(30, false);
  SetU8(File("t/T.MB"), 4096, 9);  // first blob block gets an invalid type
  r = Verify();
  EXPECT_TRUE(r.Has("mb.block")) << Dump(r);
}

// --- family, budget, progress, I/O ------------------------------------------------------

TEST_F(VerifierTest, LockFilesAndStaleValAreWarnings) {
  WriteStandard(20, false);
  fs_.SetContents("t/PDOXUSRS.LCK", Bytes(100, 1));
  fs_.SetContents("t/T.VAL", Bytes{42, 9, 0, 0});
  VerifyReport r = Verify();
  EXPECT_TRUE(r.Has("lock.present")) << Dump(r);
  EXPECT_TRUE(r.Has("val.stale")) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kClean);
}

TEST_F(VerifierTest, BudgetKeepsCountingAfterItIsFull) {
  WriteStandard(100, false);
  for (uint32_t k = 1; k <= 10; ++k)
    for (uint32_t rec = 0; rec < 10; ++rec) SetU8(File(), RecordAt(k, rec) + kOk, 0x55);
  VerifyReport r = Verify(5);
  EXPECT_EQ(r.findings.size(), 5u);
  EXPECT_EQ(r.Count("value.logical"), 5u);
  EXPECT_EQ(r.suppressed, 95u);
  EXPECT_EQ(r.errors, 100u);
}

TEST_F(VerifierTest, ProgressReachesHundredOncePerStepInEveryPhase) {
  WriteStandard(200, true);
  std::map<int, std::vector<int>> seen;
  VerifyOptions o;
  o.fs = &fs_;
  o.progress = [&](int phase, int pct) { seen[phase].push_back(pct); };
  VerifyReport r = VerifyTable(kDb, o);
  ASSERT_EQ(r.verdict, Verdict::kClean);
  for (int phase : {0, 1, 2, 8}) {
    ASSERT_TRUE(seen.count(phase)) << phase;
    const std::vector<int>& v = seen[phase];
    EXPECT_EQ(v.back(), 100) << phase;
    for (size_t i = 1; i < v.size(); ++i) EXPECT_LT(v[i - 1], v[i]) << phase;
  }
}

// Each bar moves in steps of one percent (the work has hundreds of blocks), at most
// 101 reports a bar, and the overall bar moves all along, weighted by the phases' work.
TEST_F(VerifierTest, ProgressStepsByOnePercentAndOverallMovesThroughout) {
  WriteStandard(3000, true);
  std::vector<std::pair<int, int>> seen;
  VerifyOptions o;
  o.fs = &fs_;
  o.progress = [&](int phase, int pct) { seen.emplace_back(phase, pct); };
  VerifyReport r = VerifyTable(kDb, o);
  ASSERT_EQ(r.verdict, Verdict::kClean) << Dump(r);
  std::map<int, std::vector<int>> bars;
  int overallAtDataHalf = -1, overallAtIndexStart = -1;
  for (auto [phase, pct] : seen) {
    std::vector<int>& bar = bars[phase];
    const int overall = bars[8].empty() ? 0 : bars[8].back();
    if (phase == 2 && pct >= 50 && overallAtDataHalf < 0) overallAtDataHalf = overall;
    if (phase == 1 && overallAtIndexStart < 0) overallAtIndexStart = overall;
    bar.push_back(pct);
  }
  for (int phase : {0, 1, 2, 8}) {
    const std::vector<int>& bar = bars[phase];
    ASSERT_FALSE(bar.empty()) << phase;
    EXPECT_LE(bar.size(), 101u) << phase;
    EXPECT_EQ(bar.front(), 0) << phase;
    EXPECT_EQ(bar.back(), 100) << phase;
    int widest = 0;
    for (size_t i = 1; i < bar.size(); ++i) {
      EXPECT_LT(bar[i - 1], bar[i]) << phase;
      widest = std::max(widest, bar[i] - bar[i - 1]);
    }
    // The index bar counts each file's header and free blocks when the file is done.
    EXPECT_LE(widest, phase == 1 ? 3 : 1) << "phase " << phase;
  }
  EXPECT_GT(overallAtDataHalf, 5);
  EXPECT_LT(overallAtDataHalf, 80);
  EXPECT_GT(overallAtIndexStart, overallAtDataHalf);
  EXPECT_LT(overallAtIndexStart, 99);
}

TEST_F(VerifierTest, MissingFolderUnreadableAndFailingReads) {
  VerifyOptions o;
  o.fs = &fs_;
  VerifyReport r = VerifyTable("nowhere/T.DB", o);
  EXPECT_TRUE(r.Has("file.missing"));
  EXPECT_EQ(r.verdict, Verdict::kIncomplete);

  ASSERT_TRUE(fs_.MakeDir("folder.DB").ok());
  r = VerifyTable("folder.DB", o);
  EXPECT_TRUE(r.Has("file.not-a-file"));
  EXPECT_EQ(r.verdict, Verdict::kIncomplete);

  WriteStandard(100, false);
  FaultyFileSystem faulty(&fs_);
  faulty.FailAt(FaultyFileSystem::Op::kRead, 4, Status::IOError("disk gone"), true);
  o.fs = &faulty;
  r = VerifyTable(kDb, o);
  EXPECT_TRUE(r.Has("file.unreadable")) << Dump(r);
  EXPECT_EQ(r.verdict, Verdict::kIncomplete);
}

// A file system that refuses to open the files of given names, as the OS does for a
// user without read permission.
class RefusingFileSystem : public MemFileSystem {
 public:
  std::set<std::string> refused;  // base names
  Result<std::unique_ptr<paradox::File>> Open(const std::string& path, OpenMode mode) override {
    if (refused.count(PathBaseName(path)))
      return Status::IOError("open " + path + ": Permission denied");
    return MemFileSystem::Open(path, mode);
  }
};

// A member the system will not let us read is no damage: the check is incomplete
// (verdict 2) and says which file and why.
TEST_F(VerifierTest, MemberThatCannotBeReadMakesTheCheckIncomplete) {
  WriteStandard(30, true);
  fs_.SetContents("t/T.VAL", Bytes(64, 0));
  std::vector<std::string> members;
  for (const std::string& p : fs_.AllFiles())
    if (PathBaseName(p) != "T.DB") members.push_back(PathBaseName(p));
  ASSERT_GE(members.size(), 5u);  // .PX, .MB, .VAL, .Xnn, .Ynn
  for (const std::string& m : members) {
    RefusingFileSystem fs;
    for (const std::string& p : fs_.AllFiles()) fs.SetContents(p, *fs_.Contents(p));
    fs.refused = {m};
    VerifyOptions o;
    o.fs = &fs;
    VerifyReport r = VerifyTable(kDb, o);
    EXPECT_EQ(r.verdict, Verdict::kIncomplete) << m << "\n" << Dump(r);
    const Finding* f = First(r, "file.unreadable");
    ASSERT_NE(f, nullptr) << m << "\n" << Dump(r);
    EXPECT_EQ(f->where.file, m);
    EXPECT_NE(f->detail.find("Permission denied"), std::string::npos) << f->detail;
  }
}

// Fuzz find (fuzz/regressions/timestamp-far-before-year-1.DB): a timestamp of about
// -2e211 ms was cast to an integer for the message, which is undefined behaviour.
TEST(VerifierRegression, TimestampFarOutsideTheCalendar) {
  MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("d").ok());
  TableSchema s;
  s.level = TableLevel::k7;
  s.fields = {{"When", FieldType::kTimestamp}};
  WriteOptions o;
  o.sync = false;
  auto w = TableWriter::Create(&fs, "d/TS.DB", s, o);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w.value()->AddRecord({Timestamp{6.3e13}}).ok());
  ASSERT_TRUE(w.value()->AddRecord({Timestamp{6.31e13}}).ok());
  ASSERT_TRUE(w.value()->Finish().ok());
  Bytes& f = *fs.Contents("d/TS.DB");
  const uint64_t rec0 = BlockStart(f, 1) + 6;
  EncodeDouble(-2.15e211, f.data() + rec0);
  EncodeDouble(std::numeric_limits<double>::infinity(), f.data() + rec0 + 8);
  VerifyOptions vo;
  vo.fs = &fs;
  VerifyReport r = VerifyTable("d/TS.DB", vo);
  ASSERT_EQ(r.findings.size(), 2u);
  EXPECT_EQ(r.findings[0].check, "value.timestamp");
  EXPECT_EQ(r.findings[0].detail, "timestamp is day -2.48843e+203, before -9999-01-01");
  EXPECT_EQ(r.findings[1].check, "value.timestamp");
  EXPECT_EQ(r.findings[1].detail, "timestamp is infinity, after 9999-12-31");
}

TEST(VerifierCatalogue, IdsAreUniqueAndFindable) {
  std::set<std::string_view> ids;
  for (const CheckInfo& c : AllChecks()) {
    EXPECT_TRUE(ids.insert(c.id).second) << c.id;
    EXPECT_EQ(FindCheck(c.id), &c);
    // Classes that decide a verdict above 1 are errors.
    if (c.klass == FindingClass::kStructure || c.klass == FindingClass::kNotTable) {
      EXPECT_EQ(c.severity, Severity::kError);
    }
  }
  EXPECT_EQ(FindCheck("no.such-check"), nullptr);
}

}  // namespace
}  // namespace paradox
