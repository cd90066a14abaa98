// Damage a valid table with the named mutators and check what the strict reader
// reports (code and location) and what the salvage reader keeps and drops.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "mutators.h"
#include "paradox/format/blob.h"
#include "paradox/format/crypt.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/format/writer.h"

namespace paradox {
namespace {

using namespace paradox::test;

constexpr int kRows = 200;

class Corruption : public ::testing::Test {
 protected:
  void SetUp() override {
    TableSchema s;
    s.level = TableLevel::k7;
    s.blockSize = 1024;
    s.fields = {
        {"Id", FieldType::kLong}, {"Day", FieldType::kDate}, {"Name", FieldType::kAlpha, 30}};
    std::vector<std::vector<Value>> rows;
    for (int i = 0; i < kRows; ++i)
      rows.push_back({int64_t{i}, Date{730000 + i}, "name " + std::to_string(i)});
    ASSERT_TRUE(WriteTable(&fs_, "T.DB", s, rows).ok());
    file_ = fs_.Contents("T.DB");
    // 38-byte records, 26 per 1k block -> 8 blocks.
    ASSERT_EQ(BlockSize(*file_), 1024u);
  }

  std::unique_ptr<TableReader> Open(ReadMode mode) {
    ReadOptions o;
    o.mode = mode;
    auto r = TableReader::Open(&fs_, "T.DB", o);
    EXPECT_TRUE(r.ok()) << r.status().ToString();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  static const Anomaly* Find(const TableReader& r, const std::string& code) {
    for (const auto& a : r.anomalies())
      if (a.code == code) return &a;
    return nullptr;
  }
  static std::vector<int64_t> Ids(TableReader& r) {
    std::vector<int64_t> ids;
    auto cur = r.Records();
    while (cur.Next()) {
      auto v = cur.Decode();
      if (v.ok()) ids.push_back(std::get<int64_t>(v.value()[0]));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  MemFileSystem fs_;
  Bytes* file_ = nullptr;
};

TEST_F(Corruption, HealthyTableHasNoAnomalies) {
  auto r = Open(ReadMode::kStrict);
  EXPECT_EQ(r->anomalyCount(), 0u);
  EXPECT_EQ(r->chain().chain.size(), 8u);
  EXPECT_EQ(Ids(*r).size(), static_cast<size_t>(kRows));
}

TEST_F(Corruption, WrongRecordCountIsReportedAtItsOffset) {
  SetRecordCount(*file_, 999);
  auto r = Open(ReadMode::kStrict);
  const Anomaly* a = Find(*r, anomaly::kRecordCount);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->where.offset, 0x06u);
  EXPECT_EQ(a->detail, "record count is 999 but should be 200");
}

TEST_F(Corruption, BrokenChainStrictStopsSalvageRecoversOrphans) {
  BreakChain(*file_, 3);
  auto strict = Open(ReadMode::kStrict);
  const Anomaly* a = Find(*strict, anomaly::kChainOutOfRange);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->where.block, 3u);
  EXPECT_TRUE(strict->chain().chainBroken);
  EXPECT_EQ(strict->chain().orphans, (std::vector<uint16_t>{4, 5, 6, 7, 8}));
  EXPECT_NE(Find(*strict, anomaly::kOrphanBlock), nullptr);
  EXPECT_EQ(Ids(*strict).size(), 3u * 26);
  auto salvage = Open(ReadMode::kSalvage);
  auto ids = Ids(*salvage);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kRows));
  EXPECT_TRUE(salvage->dropped().empty());
}

TEST_F(Corruption, CycleAndBadPrevLinks) {
  MakeChainCycle(*file_, 4);
  SetPrevBlock(*file_, 2, 7);
  auto r = Open(ReadMode::kStrict);
  const Anomaly* cyc = Find(*r, anomaly::kChainCycle);
  ASSERT_NE(cyc, nullptr);
  EXPECT_EQ(cyc->where.block, 4u);
  const Anomaly* prev = Find(*r, anomaly::kChainBadPrev);
  ASSERT_NE(prev, nullptr);
  EXPECT_EQ(prev->where.block, 2u);
  EXPECT_EQ(prev->detail, "previous-block link is 7 but should be 1");
}

TEST_F(Corruption, FreeListOverlappingTheChain) {
  SetFirstFreeBlock(*file_, 2);
  auto r = Open(ReadMode::kStrict);
  ASSERT_NE(Find(*r, anomaly::kFreeInChain), nullptr);
}

TEST_F(Corruption, BogusAddDataSizeSalvagedRecordByRecord) {
  SetAddDataSize(*file_, 2, 5);
  auto strict = Open(ReadMode::kStrict);
  const Anomaly* a = Find(*strict, anomaly::kBadAddDataSize);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->where.block, 2u);
  EXPECT_EQ(a->where.offset, BlockStart(*file_, 2) + 4);
  EXPECT_EQ(Ids(*strict).size(), static_cast<size_t>(kRows - 26));
  auto salvage = Open(ReadMode::kSalvage);
  EXPECT_EQ(Ids(*salvage).size(), static_cast<size_t>(kRows));
}

TEST_F(Corruption, DamagedRecordIsDroppedWithItsLocationAndBytes) {
  // Record 4 of block 2: the date becomes an impossible day number.
  uint64_t off = BlockStart(*file_, 2) + 6 + 4 * 38 + 4;
  SetU32(*file_, off, 0xFFFFFFFF);
  auto strict = Open(ReadMode::kStrict);
  auto cur = strict->Records();
  int bad = 0;
  while (cur.Next())
    if (!cur.Decode().ok()) {
      ++bad;
      EXPECT_EQ(cur.record().block, 2u);
      EXPECT_EQ(cur.record().indexInBlock, 4u);
    }
  EXPECT_EQ(bad, 1);
  auto salvage = Open(ReadMode::kSalvage);
  auto ids = Ids(*salvage);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kRows - 1));
  ASSERT_EQ(salvage->dropped().size(), 1u);
  const DroppedSpan& d = salvage->dropped()[0];
  EXPECT_EQ(d.where.block, 2u);
  EXPECT_EQ(d.where.record, 4);
  EXPECT_EQ(d.where.offset, BlockStart(*file_, 2) + 6 + 4 * 38);
  EXPECT_EQ(d.length, 38u);
  EXPECT_NE(d.reason.find("Day"), std::string::npos) << d.reason;
  EXPECT_EQ(d.bytes.size(), 38u);
}

TEST_F(Corruption, OverwrittenBlockIsDroppedRecordByRecord) {
  FillBlock(*file_, 5, 0xFF);
  auto strict = Open(ReadMode::kStrict);
  EXPECT_NE(Find(*strict, anomaly::kChainOutOfRange), nullptr);
  auto salvage = Open(ReadMode::kSalvage);
  EXPECT_EQ(Ids(*salvage).size(), static_cast<size_t>(kRows - 26));
  EXPECT_EQ(salvage->dropped().size(), 26u);  // capacity, every one failing its date
  for (const auto& d : salvage->dropped()) EXPECT_EQ(d.where.block, 5u);
}

TEST_F(Corruption, TruncatedFile) {
  // The file ends inside the last block's records: a truncation, not the DOS-era short
  // last block (which ends after them).
  Truncate(*file_, BlockStart(*file_, 8) + 6 + 3 * 38 + 10);
  auto strict = Open(ReadMode::kStrict);
  EXPECT_NE(Find(*strict, anomaly::kFileShort), nullptr);
  EXPECT_EQ(Find(*strict, anomaly::kFileShortLastBlock), nullptr);
  auto salvage = Open(ReadMode::kSalvage);
  auto ids = Ids(*salvage);
  EXPECT_EQ(ids.size(), static_cast<size_t>(7 * 26 + 3));
  ASSERT_FALSE(salvage->dropped().empty());
  EXPECT_EQ(salvage->dropped()[0].where.block, 8u);
  EXPECT_EQ(salvage->dropped()[0].reason, "record lies beyond the end of the file");

  Truncate(*file_, BlockStart(*file_, 5));
  auto cut = Open(ReadMode::kStrict);
  EXPECT_NE(Find(*cut, anomaly::kFileShort), nullptr);
  EXPECT_NE(Find(*cut, anomaly::kChainOutOfRange), nullptr);
}

// Fuzz find (fuzz/regressions/chain-block-cut-by-end-of-file-taken-for-read-error.fam):
// a file cut inside a chained block's header is damage, not a read error (which would
// stop a salvage as a failing disk).
TEST_F(Corruption, FileCutInsideABlockHeader) {
  ASSERT_TRUE(Truncate(*file_, BlockStart(*file_, 5) + 3));
  auto salvage = Open(ReadMode::kSalvage);
  EXPECT_TRUE(std::any_of(salvage->anomalies().begin(), salvage->anomalies().end(),
                          [](const Anomaly& a) { return a.code == anomaly::kFileShort; }));
  EXPECT_NE(Find(*salvage, anomaly::kChainOutOfRange), nullptr);
  EXPECT_EQ(Find(*salvage, anomaly::kReadError), nullptr);
  EXPECT_EQ(Ids(*salvage).size(), static_cast<size_t>(4 * 26));
}

TEST_F(Corruption, LongFile) {
  file_->resize(file_->size() + 100, 0);
  auto r = Open(ReadMode::kStrict);
  EXPECT_NE(Find(*r, anomaly::kFileLong), nullptr);
}

TEST_F(Corruption, DamagedHeaderNeedsATemplate) {
  auto good = ReadHeader(&fs_, "T.DB");
  ASSERT_TRUE(good.ok());
  SetNumFields(*file_, 0xFFFF);
  EXPECT_TRUE(TableReader::Open(&fs_, "T.DB").status().IsCorruption());
  ReadOptions o;
  o.mode = ReadMode::kSalvage;
  o.templateHeader = good.value();
  auto r = TableReader::Open(&fs_, "T.DB", o);
  ASSERT_TRUE(r.ok()) << r.status().ToString();
  EXPECT_TRUE(r.value()->usedTemplate());
  EXPECT_EQ(Ids(*r.value()).size(), static_cast<size_t>(kRows));
}

TEST_F(Corruption, ForeignAndTinyFilesAreRefused) {
  fs_.SetContents("J.DB", Bytes{'G', 'I', 'F', '8', '9', 'a'});
  EXPECT_TRUE(TableReader::Open(&fs_, "J.DB").status().IsCorruption());
  Bytes junk(4096, 0x41);
  fs_.SetContents("K.DB", junk);
  EXPECT_TRUE(TableReader::Open(&fs_, "K.DB").status().IsCorruption());
  EXPECT_TRUE(TableReader::Open(&fs_, "missing.DB").status().IsNotFound());
}

TEST(CorruptionEncrypted, SalvageOfAnEncryptedTable) {
  MemFileSystem fs;
  TableSchema s;
  s.blockSize = 1024;
  s.encryptionKey = KeyFromPassword("secret");
  s.fields = {{"Id", FieldType::kLong}, {"Day", FieldType::kDate}};
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 500; ++i) rows.push_back({int64_t{i}, Date{700000 + i}});
  ASSERT_TRUE(WriteTable(&fs, "E.DB", s, rows).ok());
  Bytes& f = *fs.Contents("E.DB");
  // Links are scrambled on disk: damage a whole block instead.
  FillBlock(f, 2, 0x00);
  ReadOptions o;
  o.mode = ReadMode::kSalvage;
  auto r = TableReader::Open(&fs, "E.DB", o);
  ASSERT_TRUE(r.ok());
  auto cur = r.value()->Records();
  int n = 0;
  while (cur.Next()) ++n;
  EXPECT_GT(n, 500 - 2 * 127);
  EXPECT_LT(n, 500);
  EXPECT_FALSE(r.value()->dropped().empty() && r.value()->anomalies().empty());
}

}  // namespace
}  // namespace paradox

namespace paradox {
namespace {

// Random damage anywhere in a family must never crash or read out of bounds; every
// failure is a Status. (Run under the sanitizer preset to make this bite.)
TEST(CorruptionRandom, RandomDamageIsAlwaysAStatus) {
  MemFileSystem fs;
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 1024;
  s.fields = {{"Id", FieldType::kLong},
              {"Name", FieldType::kAlpha, 12},
              {"Memo", FieldType::kMemo, 5},
              {"Dec", FieldType::kBcd, 2}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"Name"}}};
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 120; ++i)
    rows.push_back(
        {int64_t{i}, "n" + std::to_string(i % 9), std::string(i % 3 ? 40 : 3000, 'm'), Bcd{"1.5"}});
  ASSERT_TRUE(WriteTable(&fs, "R.DB", s, rows).ok());
  const std::vector<std::string> members = {"R.DB", "R.PX", "R.MB", "R.X02", "R.Y02"};
  std::map<std::string, Bytes> pristine;
  for (const auto& m : members) pristine[m] = *fs.Contents(m);
  uint32_t seed = 12345;
  auto rnd = [&]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int round = 0; round < 200; ++round) {
    for (const auto& m : members) fs.SetContents(m, pristine[m]);
    const std::string& victim = members[rnd() % members.size()];
    Bytes& f = *fs.Contents(victim);
    int edits = 1 + rnd() % 8;
    for (int e = 0; e < edits; ++e) {
      switch (rnd() % 4) {
        case 0:
          FlipByte(f, rnd() % f.size(), static_cast<uint8_t>(1 + rnd() % 255));
          break;
        case 1:
          SetU16(f, rnd() % 0x80, static_cast<uint16_t>(rnd()));
          break;
        case 2:
          Truncate(f, rnd() % f.size());
          break;
        default:
          SetU32(f, rnd() % f.size(), rnd());
          break;
      }
      if (f.empty()) break;
    }
    for (ReadMode mode : {ReadMode::kStrict, ReadMode::kSalvage}) {
      ReadOptions o;
      o.mode = mode;
      for (const std::string& data : {std::string("R.DB"), std::string("R.X02")}) {
        auto r = TableReader::Open(&fs, data, o);
        if (!r.ok()) continue;
        std::unique_ptr<BlobFile> mb;
        if (data == "R.DB") {
          auto b = BlobFile::Open(&fs, "R.MB", 0);
          if (b.ok()) mb = std::move(b).value();
          if (mb) (void)mb->Scan();
        }
        auto cur = r.value()->Records();
        while (cur.Next()) {
          auto v = cur.Decode();
          if (!v.ok() || !mb) continue;
          for (const auto& x : v.value())
            if (auto* ref = std::get_if<BlobRef>(&x)) (void)mb->Read(*ref);
        }
      }
    }
    for (const std::string& idx : {std::string("R.PX"), std::string("R.Y02")})
      (void)IndexFile::Open(&fs, idx);
    (void)ReadHeader(&fs, victim);
  }
}

}  // namespace
}  // namespace paradox
