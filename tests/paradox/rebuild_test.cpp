// Rebuild of damaged tables: each named corruption is applied to a healthy table and
// the rebuild must recover every intact record, set the rest aside, and leave a family
// that verifies clean and that pxlib reads back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "faulty_file_system.h"
#include "mutators.h"
#include "paradox/format/crypt.h"
#include "paradox/repair/salvage.h"
#include "rebuild_helpers.h"

namespace paradox::test {
namespace {

constexpr const char* kDb = "/data/CUSTOMER.DB";
constexpr const char* kUnkeyedDb = "/data/ITEMS.DB";
constexpr std::time_t kNow = 1765000000;  // fixed, so repair folder names are predictable

struct Expect {
  // Indexes (into the healthy table's records) of records the damage destroyed.
  std::vector<size_t> lost;
  size_t keyViolations = 0;
  size_t minProblems = 0;
  bool blobsBroken = false;  // compare without blob values
};

struct Case {
  const char* name;
  bool keyed;
  // Damages the family in `fs`; returns what the rebuild should achieve.
  std::function<Expect(MemFileSystem& fs, const std::string& db)> damage;
};

Bytes& File(MemFileSystem& fs, const std::string& path) {
  Bytes* b = fs.Contents(path);
  EXPECT_NE(b, nullptr) << path;
  static Bytes empty;
  return b ? *b : empty;
}

uint16_t RecordSizeOf(const Bytes& f) {
  return DecodeU16(f.data());
}
uint32_t Capacity(const Bytes& f) {
  return (BlockSize(f) - 6) / RecordSizeOf(f);
}
std::vector<size_t> Range(size_t from, size_t to) {
  std::vector<size_t> v;
  for (size_t i = from; i < to; ++i) v.push_back(i);
  return v;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"WrongRecordCount", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetRecordCount(File(fs, db), 150);
         return Expect{};
       }},
      {"RecordCountTooSmallUnkeyed", false,
       [](MemFileSystem& fs, const std::string& db) {
         SetRecordCount(File(fs, db), 3);
         return Expect{};
       }},
      {"BrokenChain", true,
       [](MemFileSystem& fs, const std::string& db) {
         BreakChain(File(fs, db), 3);
         return Expect{};
       }},
      {"BrokenChainUnkeyed", false,
       [](MemFileSystem& fs, const std::string& db) {
         BreakChain(File(fs, db), 2);
         return Expect{};
       }},
      {"CyclicChain", true,
       [](MemFileSystem& fs, const std::string& db) {
         MakeChainCycle(File(fs, db), 5);
         return Expect{};
       }},
      {"CycleBackToStart", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetNextBlock(File(fs, db), 6, 1);
         return Expect{};
       }},
      {"OrphanedBlocks", true,
       [](MemFileSystem& fs, const std::string& db) {
         Bytes& f = File(fs, db);
         SetNextBlock(f, 6, 0);
         SetLastBlock(f, 6);
         SetBlocksInUse(f, 6);
         return Expect{};
       }},
      {"BlocksBeyondStaleCounters", true,
       [](MemFileSystem& fs, const std::string& db) {
         Bytes& f = File(fs, db);
         SetFileBlocks(f, 5);
         SetBlocksInUse(f, 5);
         SetLastBlock(f, 5);
         SetNextBlock(f, 5, 0);
         return Expect{};
       }},
      {"TruncatedInsideABlock", true,
       [](MemFileSystem& fs, const std::string& db) {
         Bytes& f = File(fs, db);
         uint32_t cap = Capacity(f);
         size_t total = DecodeU32(f.data() + 6);
         Truncate(f, BlockStart(f, 10) + 6 + 5 * RecordSizeOf(f) + 3);
         return Expect{Range(9 * cap + 5, total)};
       }},
      {"GarbageBlock", true,
       [](MemFileSystem& fs, const std::string& db) {
         Bytes& f = File(fs, db);
         uint32_t cap = Capacity(f);
         FillBlock(f, 4, 0xEE);
         return Expect{Range(3 * cap, 4 * cap), 0, 1};
       }},
      {"BogusAddDataSize", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetAddDataSize(File(fs, db), 2, 1001);
         return Expect{};
       }},
      {"MissingPrimaryIndex", true,
       [](MemFileSystem& fs, const std::string&) {
         EXPECT_TRUE(fs.Remove("/data/CUSTOMER.PX").ok());
         return Expect{};
       }},
      {"StalePrimaryIndex", true,
       [](MemFileSystem& fs, const std::string&) {
         Bytes& px = File(fs, "/data/CUSTOMER.PX");
         FillBytes(px, HeaderSize(px) + 6, 40, 0x7A);
         SetRecordCount(px, 999);
         return Expect{};
       }},
      {"StaleSecondaryIndex", true,
       [](MemFileSystem& fs, const std::string&) {
         auto fam = FindFamily(&fs, kDb);
         EXPECT_TRUE(fam.ok() && !fam->secondary.empty());
         Bytes& x = File(fs, fam->secondary[0].x);
         SetRecordCount(x, 3);
         FillBlock(x, 1, 0);
         return Expect{};
       }},
      {"DamagedBlobFile", true,
       [](MemFileSystem& fs, const std::string&) {
         Bytes& mb = File(fs, "/data/CUSTOMER.MB");
         SetU8(mb, 4096, 0x77);  // first blob block: an invalid type
         Expect e;
         e.blobsBroken = true;
         return e;
       }},
      {"DamagedBlobPointer", true,
       [](MemFileSystem& fs, const std::string& db) {
         Bytes& f = File(fs, db);
         // Record 1 (i = 2 % 3 == 1 keeps its memo in the .MB): its pointer's offset
         // byte is overwritten; the value is found again by searching the blob file.
         const uint64_t ptr = BlockStart(f, 1) + 6 + 0 * RecordSizeOf(f) + 41 + 12;
         SetU8(f, ptr + 1, 0x7F);
         return Expect{};
       }},
      {"MissingBlobFile", true,
       [](MemFileSystem& fs, const std::string&) {
         EXPECT_TRUE(fs.Remove("/data/CUSTOMER.MB").ok());
         Expect e;
         e.blobsBroken = true;
         return e;
       }},
      {"HeaderFieldCountDamaged", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetNumFields(File(fs, db), 9);
         return Expect{};
       }},
      {"HeaderRecordSizeDamaged", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetRecordSize(File(fs, db), 70);
         return Expect{};
       }},
      {"HeaderBlockSizeDamaged", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetU8(File(fs, db), 0x05, 7);
         return Expect{};
       }},
      {"HeaderLevelDamaged", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetU8(File(fs, db), 0x39, 0x77);
         return Expect{};
       }},
      {"KeyFieldDescriptorDamaged", true,  // back from the .PX
       [](MemFileSystem& fs, const std::string& db) {
         SetU8(File(fs, db), 0x78, 0x7E);
         return Expect{};
       }},
      {"IndexedFieldDescriptorDamaged", true,  // back from the .X02
       [](MemFileSystem& fs, const std::string& db) {
         SetU8(File(fs, db), 0x78 + 2, 0x7E);
         return Expect{};
       }},
      {"FixedFieldSizeDamaged", true,  // a Number field is 8 bytes whatever the byte says
       [](MemFileSystem& fs, const std::string& db) {
         SetU8(File(fs, db), 0x78 + 2 * 2 + 1, 99);
         return Expect{};
       }},
      {"HeaderFileTypeDamaged", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetU8(File(fs, db), 0x04, 0x66);
         return Expect{};
       }},
      {"HeaderSizeDamaged", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetU16(File(fs, db), 0x02, 0x1234);
         return Expect{};
       }},
      {"FirstBlockDamaged", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetFirstBlock(File(fs, db), 0);
         return Expect{};
       }},
      {"DuplicateKey", true,
       [](MemFileSystem& fs, const std::string& db) {
         Bytes& f = File(fs, db);
         uint32_t cap = Capacity(f);
         uint16_t rs = RecordSizeOf(f);
         // Record 0 of block 2 becomes a copy of record 0 of block 1 (same key).
         std::copy(f.begin() + BlockStart(f, 1) + 6, f.begin() + BlockStart(f, 1) + 6 + rs,
                   f.begin() + BlockStart(f, 2) + 6);
         return Expect{{cap}, 1, 0};
       }},
      {"InvalidFieldValue", true,
       [](MemFileSystem& fs, const std::string& db) {
         Bytes& f = File(fs, db);
         // "Active" (logical) of record 3 in block 1: a byte no writer produces.
         SetU8(f, BlockStart(f, 1) + 6 + 3 * RecordSizeOf(f) + 40, 0x55);
         return Expect{{3}, 0, 1};
       }},
      {"RebuildFlagsSet", true,
       [](MemFileSystem& fs, const std::string& db) {
         SetU8(File(fs, db), 0x14, 1);
         return Expect{};
       }},
  };
  return cases;
}

class RebuildCaseTest : public ::testing::TestWithParam<size_t> {};

TEST_P(RebuildCaseTest, RecoversIntactRecordsAndVerifiesClean) {
  const Case& c = Cases()[GetParam()];
  MemFileSystem fs;
  const std::string db = c.keyed ? kDb : kUnkeyedDb;
  ASSERT_TRUE(c.keyed ? MakeTable(&fs, db, KeyedSchema(), KeyedRows(200)).ok()
                      : MakeTable(&fs, db, UnkeyedSchema(), UnkeyedRows(150)).ok());
  Snapshot healthy = TakeSnapshot(&fs, db);
  ASSERT_TRUE(healthy.ok) << healthy.error;
  Expect e = c.damage(fs, db);
  Bytes damagedDb = *fs.Contents(db);

  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << c.name << ": " << r.status.ToString();

  std::string why;
  EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << c.name << ":\n" << why;
  Snapshot after = TakeSnapshot(&fs, db);
  ASSERT_TRUE(after.ok) << after.error;

  std::vector<Bytes> expected;
  for (size_t i = 0; i < healthy.records.size(); ++i) {
    if (std::find(e.lost.begin(), e.lost.end(), i) == e.lost.end())
      expected.push_back(healthy.records[i]);
  }
  if (e.blobsBroken) {
    std::vector<Bytes> plain;
    for (size_t i = 0; i < healthy.withoutBlobValues.size(); ++i)
      if (std::find(e.lost.begin(), e.lost.end(), i) == e.lost.end())
        plain.push_back(healthy.withoutBlobValues[i]);
    EXPECT_EQ(after.withoutBlobValues, plain) << c.name;
    EXPECT_GT(r.blobsBroken, 0u);
  } else {
    // Same records in the same order (keyed: key order; unkeyed: chain then orphans,
    // which for these damages is the original order).
    EXPECT_EQ(after.records.size(), expected.size()) << c.name;
    EXPECT_EQ(after.records, expected) << c.name << ": records differ";
  }
  EXPECT_EQ(r.recordsKept, after.records.size());
  EXPECT_EQ(r.keyViolations, e.keyViolations) << c.name;
  EXPECT_GE(r.problems, e.minProblems) << c.name;
  EXPECT_GT(r.issues, 0u) << c.name << ": damage went unreported";
  // Report verbs are words a user reads (an identifier once leaked into one).
  for (const RebuildAction& a : r.actions)
    EXPECT_EQ(a.action.find_first_of("_"), std::string::npos) << c.name << ": " << a.action;
  if (c.name == std::string("OrphanedBlocks")) {
    EXPECT_TRUE(std::any_of(r.actions.begin(), r.actions.end(), [](const RebuildAction& a) {
      return a.action == "recovered";
    })) << "records from blocks outside the chain are reported as recovered";
  }

  // The backup holds the damaged original byte for byte; the report table exists.
  ASSERT_FALSE(r.repairFolder.empty());
  Bytes* backup = fs.Contents(PathJoin(r.repairFolder, "Backup.Db"));
  ASSERT_NE(backup, nullptr);
  EXPECT_EQ(*backup, damagedDb);
  Snapshot report = TakeSnapshot(&fs, PathJoin(r.repairFolder, "Rebuild.DB"));
  EXPECT_TRUE(report.ok) << report.error;
  EXPECT_GE(report.records.size(), r.actions.size() > 0 ? 1u : 0u);
  if (r.problems > 0) {
    Snapshot problems = TakeSnapshot(&fs, PathJoin(r.repairFolder, "PROBLEM.DB"));
    ASSERT_TRUE(problems.ok) << problems.error;
    EXPECT_EQ(problems.records.size(), r.problems);
  }
  if (r.keyViolations > 0) {
    Snapshot kv = TakeSnapshot(&fs, PathJoin(r.repairFolder, "KEYVIOL.DB"));
    ASSERT_TRUE(kv.ok) << kv.error;
    EXPECT_EQ(kv.records.size(), r.keyViolations);
  }

  // Another library reads the rebuilt table to the same records.
  // A folder of this process's own (tests of other processes run at the same time).
  std::string tmp = ::testing::TempDir() + "rebuild_px_" + c.name + "_XXXXXX";
  ASSERT_NE(mkdtemp(tmp.data()), nullptr) << tmp;
  std::string onDisk = CopyFamilyToDisk(&fs, db, tmp);
  ASSERT_FALSE(onDisk.empty());
  std::vector<Bytes> px;
  std::string pxWhy;
  if (ReadWithPxlib(onDisk, &px, &pxWhy)) {
    auto reader = TableReader::Open(&fs, db);
    ASSERT_TRUE(reader.ok());
    std::vector<Bytes> ours;
    auto cur = (*reader)->Records();
    while (cur.Next()) ours.emplace_back(cur.record().bytes.begin(), cur.record().bytes.end());
    EXPECT_EQ(px, ours) << c.name << ": pxlib reads other records (" << px.size() << " vs "
                        << ours.size() << ")";
  } else {
    ADD_FAILURE() << "pxlib cannot read the rebuilt table: " << pxWhy;
  }
  std::filesystem::remove_all(tmp);
}

INSTANTIATE_TEST_SUITE_P(Damage, RebuildCaseTest, ::testing::Range<size_t>(0, Cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& i) {
                           return std::string(Cases()[i.param].name);
                         });

class RebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeTable(&fs_, kDb, KeyedSchema(), KeyedRows(120)).ok());
    healthy_ = TakeSnapshot(&fs_, kDb);
    ASSERT_TRUE(healthy_.ok) << healthy_.error;
  }
  RebuildOptions Options() {
    RebuildOptions o;
    o.fs = &fs_;
    o.now = kNow;
    return o;
  }
  MemFileSystem fs_;
  Snapshot healthy_;
};

TEST_F(RebuildTest, HealthyTableKeepsItsRecordsAndRegeneratesEveryMember) {
  RebuildResult r = RebuildTable(kDb, Options());
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  Snapshot after = TakeSnapshot(&fs_, kDb);
  EXPECT_EQ(after.records, healthy_.records);
  EXPECT_EQ(r.recordsKept, 120u);
  EXPECT_EQ(r.problems, 0u);
  EXPECT_EQ(r.keyViolations, 0u);
  EXPECT_EQ(r.issues, 0u);
  // .DB, .PX, .MB, .X02 and .Y02 are written anew.
  EXPECT_EQ(r.membersRegenerated, 5u);
  for (const char* name :
       {"Backup.Db", "Backup.PX", "Backup.MB", "Backup.X02", "Backup.Y02", "Rebuild.DB"})
    EXPECT_NE(fs_.Contents(PathJoin(r.repairFolder, name)), nullptr) << name;
  // Nothing was set aside: the two tables exist and are empty.
  for (const char* name : {"PROBLEM.DB", "KEYVIOL.DB"}) {
    auto aside = TableReader::Open(&fs_, PathJoin(r.repairFolder, name));
    ASSERT_TRUE(aside.ok()) << name;
    EXPECT_EQ(aside.value()->header().fixed.numRecords, 0u) << name;
  }
  EXPECT_EQ(r.repairFolder, "/data/CUSTOMER.rekasto/20251206-054640");
}

TEST_F(RebuildTest, NewFamilyKeepsLevelBlockSizeCodePageSortOrderAndUnknownBytes) {
  Bytes& f = *fs_.Contents(kDb);
  SetU8(f, 0x12, 0x33);  // unknown bytes the engine wrote
  SetU8(f, 0x6C, 0x02);
  SetU8(f, 0x2E, 0x07);  // structure version: indexes and .VAL are written against it
  Bytes before = f;
  RebuildResult r = RebuildTable(kDb, Options());
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  const Bytes& after = *fs_.Contents(kDb);
  for (size_t off : {0x05, 0x12, 0x29, 0x2E, 0x39, 0x6A, 0x6B, 0x6C})
    EXPECT_EQ(after[off], before[off]) << "header byte 0x" << std::hex << off;
  auto h = ReadHeader(&fs_, kDb);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->sortOrderId, "ascii");
  EXPECT_EQ(h->fixed.numRecords, 120u);
}

TEST_F(RebuildTest, SetAsideRecordsKeepTheirBytesAndReasons) {
  Bytes& f = *fs_.Contents(kDb);
  const uint16_t rs = RecordSizeOf(f);
  // Record 2 of block 1 gets an impossible logical byte; record 0 of block 2 a copy of
  // record 1 of block 1's key.
  SetU8(f, BlockStart(f, 1) + 6 + 2 * rs + 40, 0x55);
  Bytes bad(f.begin() + BlockStart(f, 1) + 6 + 2 * rs, f.begin() + BlockStart(f, 1) + 6 + 3 * rs);
  std::copy(f.begin() + BlockStart(f, 1) + 6 + rs, f.begin() + BlockStart(f, 1) + 6 + rs + 4,
            f.begin() + BlockStart(f, 2) + 6);
  Bytes dup(f.begin() + BlockStart(f, 2) + 6, f.begin() + BlockStart(f, 2) + 6 + rs);
  RebuildResult r = RebuildTable(kDb, Options());
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  ASSERT_EQ(r.problems, 1u);
  ASSERT_EQ(r.keyViolations, 1u);
  EXPECT_EQ(r.recordsKept, 120u - 2);

  auto problems = TableReader::Open(&fs_, PathJoin(r.repairFolder, "PROBLEM.DB"));
  ASSERT_TRUE(problems.ok()) << problems.status().ToString();
  auto fam = FindFamily(&fs_, PathJoin(r.repairFolder, "PROBLEM.DB"));
  ASSERT_TRUE(fam.ok() && !fam->mb.empty());
  auto mb = BlobFile::Open(&fs_, fam->mb, (*problems)->header().EncryptionKey());
  ASSERT_TRUE(mb.ok());
  auto cur = (*problems)->Records();
  ASSERT_TRUE(cur.Next());
  auto values = cur.Decode();
  ASSERT_TRUE(values.ok()) << values.status().ToString();
  EXPECT_EQ(std::get<int64_t>((*values)[0]), 1);  // block
  EXPECT_EQ(std::get<int64_t>((*values)[1]), 2);  // record in the block
  EXPECT_NE(std::get<std::string>((*values)[3]).find("Active"), std::string::npos)
      << std::get<std::string>((*values)[3]);
  auto raw = (*mb)->Read(std::get<BlobRef>((*values)[4]));
  ASSERT_TRUE(raw.ok()) << raw.status().ToString();
  EXPECT_EQ(*raw, bad);
  EXPECT_FALSE(cur.Next());

  auto kv = TableReader::Open(&fs_, PathJoin(r.repairFolder, "KEYVIOL.DB"));
  ASSERT_TRUE(kv.ok()) << kv.status().ToString();
  auto kcur = (*kv)->Records();
  ASSERT_TRUE(kcur.Next());
  // The duplicate's fixed fields are kept as they were (its memo lives in KEYVIOL.MB).
  EXPECT_TRUE(Bytes(kcur.record().bytes.begin(), kcur.record().bytes.begin() + 41) ==
              Bytes(dup.begin(), dup.begin() + 41));
}

// Records that repeat a unique secondary index's value (compared as the index compares:
// case folded for a case-insensitive one) go to the key-violation table, the first in
// key order kept, whichever of them the damage touched; the rebuild never fails on them.
TEST(RebuildKeyViolations, RepeatedUniqueIndexValuesGoToTheKeyViolationTable) {
  MemFileSystem fs;
  TableSchema s = KeyedSchema();
  s.secondaryIndexes.push_back({"NameU", {"Name"}, true, false, true});
  s.secondaryIndexes.push_back({"AmountU", {"Amount"}, false, true, true});
  ASSERT_TRUE(MakeTable(&fs, kDb, s, KeyedRows(40)).ok());
  Bytes& f = *fs.Contents(kDb);
  const uint16_t rs = RecordSizeOf(f);
  const uint32_t cap = Capacity(f);
  auto at = [&](int row) {  // 1-based row of KeyedRows, in key order
    const uint32_t i = uint32_t(row - 1);
    return BlockStart(f, i / cap + 1) + 6 + uint64_t(i % cap) * rs;
  };
  const size_t name = 4, nameLen = 24, amount = 28;
  // Row 20 takes row 5's name in lower case: row 20 repeats it (row 5 comes first).
  for (size_t k = 0; k < nameLen; ++k)
    f[at(20) + name + k] = uint8_t(std::tolower(f[at(5) + name + k]));
  // Row 7 takes row 30's amount: row 30, untouched, repeats it.
  std::copy_n(f.begin() + long(at(30) + amount), 8, f.begin() + long(at(7) + amount));
  Snapshot before = TakeSnapshot(&fs, kDb);
  ASSERT_TRUE(before.ok) << before.error;
  ASSERT_EQ(before.records.size(), 40u);

  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.keyViolations, 2u);
  EXPECT_EQ(r.problems, 0u);
  std::vector<Bytes> expected = before.records;
  expected.erase(expected.begin() + 29);
  expected.erase(expected.begin() + 19);
  Snapshot after = TakeSnapshot(&fs, kDb);
  EXPECT_EQ(after.records, expected) << after.records.size() << " records kept";
  std::string why;
  EXPECT_TRUE(FamilyVerifiesClean(&fs, kDb, &why)) << why;

  Snapshot kv = TakeSnapshot(&fs, PathJoin(r.repairFolder, "KEYVIOL.DB"));
  ASSERT_TRUE(kv.ok) << kv.error;
  EXPECT_EQ(kv.records.size(), 2u);
  EXPECT_TRUE(ContainsAll(kv.records, {before.records[19], before.records[29]}));
  for (const char* index : {"\"NameU\"", "\"AmountU\""}) {
    EXPECT_TRUE(std::any_of(r.actions.begin(), r.actions.end(),
                            [&](const RebuildAction& a) {
                              return a.action == "key violation" &&
                                     a.detail.find(index) != std::string::npos;
                            }))
        << "no action line names " << index;
  }
}

TEST_F(RebuildTest, EveryRebuildGetsANewRepairFolderAndKeepsEarlierBackups) {
  RebuildResult a = RebuildTable(kDb, Options());
  ASSERT_TRUE(a.status.ok()) << a.status.ToString();
  Bytes firstBackup = *fs_.Contents(PathJoin(a.repairFolder, "Backup.Db"));
  SetRecordCount(*fs_.Contents(kDb), 7);           // differ from the first backup
  RebuildResult b = RebuildTable(kDb, Options());  // same clock: name gets "-2"
  ASSERT_TRUE(b.status.ok()) << b.status.ToString();
  EXPECT_NE(a.repairFolder, b.repairFolder);
  EXPECT_EQ(b.repairFolder, a.repairFolder + "-2");
  EXPECT_EQ(*fs_.Contents(PathJoin(a.repairFolder, "Backup.Db")), firstBackup);
  EXPECT_EQ(DecodeU32(fs_.Contents(PathJoin(b.repairFolder, "Backup.Db"))->data() + 6), 7u);
  EXPECT_EQ(RepairFolders(&fs_, kDb).size(), 2u);
}

TEST_F(RebuildTest, DryRunWritesNothing) {
  SetRecordCount(*fs_.Contents(kDb), 3);
  std::vector<std::string> before = fs_.AllFiles();
  Bytes db = *fs_.Contents(kDb);
  RebuildOptions o = Options();
  o.dryRun = true;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(fs_.AllFiles(), before);
  EXPECT_EQ(*fs_.Contents(kDb), db);
  EXPECT_EQ(r.recordsKept, 120u);
  EXPECT_GT(r.issues, 0u);
  EXPECT_TRUE(r.repairFolder.empty());
}

TEST_F(RebuildTest, RefusesTablesInUse) {
  std::vector<std::string> before = fs_.AllFiles();
  fs_.SetLocked(kDb, true);
  RebuildResult r = RebuildTable(kDb, Options());
  EXPECT_TRUE(r.status.IsBusy()) << r.status.ToString();
  fs_.SetLocked(kDb, false);
  fs_.SetLocked("/data/CUSTOMER.MB", true);
  r = RebuildTable(kDb, Options());
  EXPECT_TRUE(r.status.IsBusy()) << r.status.ToString();
  EXPECT_NE(r.status.message().find("CUSTOMER.MB"), std::string::npos);
  fs_.SetLocked("/data/CUSTOMER.MB", false);
  EXPECT_EQ(fs_.AllFiles(), before);

  for (const char* lock : {"/data/PARADOX.LCK", "/data/PDOXUSRS.LCK"}) {
    fs_.SetContents(lock, Bytes(32, 1));
    r = RebuildTable(kDb, Options());
    EXPECT_TRUE(r.status.IsBusy()) << lock << ": " << r.status.ToString();
    EXPECT_NE(r.status.message().find(PathBaseName(lock)), std::string::npos);
    ASSERT_TRUE(fs_.Remove(lock).ok());
  }
  EXPECT_EQ(fs_.AllFiles(), before);
}

// A second rebuild of the table while one runs is refused with Busy, from any caller;
// the one running is not disturbed, and its lock goes with it.
TEST_F(RebuildTest, OneRebuildOfATableAtATime) {
  std::vector<Status> inner;
  RebuildOptions o = Options();
  o.progress = [&](int phase, int percent) {
    if (phase != kPhaseOverall || percent < 10 || !inner.empty()) return;
    inner.push_back(RebuildTable(kDb, Options()).status);
    RebuildOptions dry = Options();
    dry.dryRun = true;
    inner.push_back(RebuildTable(kDb, dry).status);
  };
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_TRUE(inner[0].IsBusy()) << inner[0].ToString();
  EXPECT_TRUE(inner[1].IsBusy()) << inner[1].ToString();
  EXPECT_EQ(RepairFolders(&fs_, kDb).size(), 1u);  // the refused one made none
  EXPECT_FALSE(fs_.Exists(PathJoin(RepairFolderRoot(kDb), "rebuild.lock")));
  EXPECT_TRUE(RebuildTable(kDb, Options()).status.ok());
}

TEST_F(RebuildTest, MissingTableIsNotFound) {
  RebuildResult r = RebuildTable("/data/NOSUCH.DB", Options());
  EXPECT_TRUE(r.status.IsNotFound()) << r.status.ToString();
}

TEST_F(RebuildTest, AuxiliaryTableNamesCannotLeaveTheRepairFolder) {
  std::vector<std::string> before = fs_.AllFiles();
  for (const char* bad : {"../Backup.Db", "sub/KEYVIOL.DB", "..\\PROBLEM.DB", "", ".."}) {
    RebuildOptions o = Options();
    o.problemName = bad;
    RebuildResult r = RebuildTable(kDb, o);
    EXPECT_TRUE(r.status.IsInvalidArgument()) << bad << ": " << r.status.ToString();
  }
  EXPECT_EQ(fs_.AllFiles(), before);
}

TEST_F(RebuildTest, ForeignFileIsRefusedAndLeftAlone) {
  Bytes junk(5000);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 37 + 11);
  fs_.SetContents("/data/JUNK.DB", junk);
  RebuildResult r = RebuildTable("/data/JUNK.DB", Options());
  EXPECT_TRUE(r.status.IsCorruption()) << r.status.ToString();
  EXPECT_EQ(*fs_.Contents("/data/JUNK.DB"), junk);
  EXPECT_TRUE(RepairFolders(&fs_, "/data/JUNK.DB").empty());
}

TEST_F(RebuildTest, ProgressReportsEachPhaseOncePerStepEndingAt100) {
  std::map<int, std::vector<int>> seen;
  RebuildOptions o = Options();
  o.progress = [&](int phase, int pct) { seen[phase].push_back(pct); };
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  for (int phase : {kPhaseHeader, kPhaseIndexes, kPhaseData, kPhaseOverall}) {
    ASSERT_FALSE(seen[phase].empty()) << "phase " << phase;
    EXPECT_EQ(seen[phase].back(), 100) << "phase " << phase;
    for (size_t i = 1; i < seen[phase].size(); ++i)
      EXPECT_LT(seen[phase][i - 1], seen[phase][i]) << "phase " << phase;
  }
}

// The overall bar moves in every step of a rebuild of a table of a few hundred blocks
// (keyed, a memo, a secondary index, one damaged block): never more than a few points
// at once, only forward, at most once per percent; every bar ends at 100. The file
// operations are logged beside the reports, so the steps that read, write and copy are
// seen moving the bar while they run.
TEST(RebuildProgressTest, OverallBarMovesInEveryStep) {
  // Logs the file operations that mark the steps, in order with the reports.
  class LoggingFileSystem : public MemFileSystem {
   public:
    std::vector<std::string>* log = nullptr;
    Result<std::unique_ptr<paradox::File>> Open(const std::string& path, OpenMode mode) override {
      if (path.find("/new/") != std::string::npos)
        log->push_back(mode == OpenMode::kRead ? "read new" : "write new");
      return MemFileSystem::Open(path, mode);
    }
    Status Copy(const std::string& from, const std::string& to,
                const CopyProgress& progress) override {
      log->push_back("copy");
      return MemFileSystem::Copy(from, to, progress);
    }
  };
  for (const bool withIndex : {true, false}) {
    SCOPED_TRACE(withIndex ? "keyed with a secondary index" : "keyed");
    LoggingFileSystem fs;
    std::vector<std::string> log;
    fs.log = &log;
    ASSERT_TRUE(fs.MakeDir("/big").ok());
    TableSchema s;
    s.level = TableLevel::k7;
    s.blockSize = 2048;
    s.fields = {
        {"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 30}, {"Note", FieldType::kMemo, 12}};
    s.keyFieldCount = 1;
    if (withIndex) s.secondaryIndexes = {{"", {"Name"}, false, false, false}};
    std::vector<std::vector<Value>> rows;
    for (int64_t i = 1; i <= 12000; ++i)
      rows.push_back(
          {i, "Name " + std::to_string(i * 7919 % 10007),
           i % 5 ? Value{} : Value{std::string(size_t(20 + i % 300), char('a' + i % 26))}});
    WriteOptions wo;
    wo.sync = false;
    ASSERT_TRUE(WriteTable(&fs, "/big/BIG.DB", s, rows, wo).ok());
    Bytes& db = *fs.Contents("/big/BIG.DB");
    ASSERT_GE(db.size() / 2048, 300u);
    BreakChain(db, 100);

    std::map<int, std::vector<int>> seen;
    RebuildOptions o;
    o.fs = &fs;
    o.now = kNow;
    o.progress = [&](int phase, int pct) {
      seen[phase].push_back(pct);
      if (phase == kPhaseOverall) log.push_back("overall " + std::to_string(pct));
    };
    RebuildResult r = RebuildTable("/big/BIG.DB", o);
    ASSERT_TRUE(r.status.ok()) << r.status.ToString();
    for (const auto& [phase, pcts] : seen) {
      EXPECT_LE(pcts.size(), 101u) << "phase " << phase;
      EXPECT_EQ(pcts.back(), 100) << "phase " << phase;
      for (size_t i = 1; i < pcts.size(); ++i) EXPECT_LT(pcts[i - 1], pcts[i]) << "phase " << phase;
    }
    const std::vector<int>& overall = seen[kPhaseOverall];
    ASSERT_GE(overall.size(), 50u);
    EXPECT_EQ(overall.front(), 0);
    for (size_t i = 1; i < overall.size(); ++i)
      EXPECT_LE(overall[i] - overall[i - 1], 8) << "the bar jumps from " << overall[i - 1];
    // Reports while the new family is written, and while the members are backed up.
    auto first = [&](const std::string& what) {
      return size_t(std::find(log.begin(), log.end(), what) - log.begin());
    };
    auto reportsBetween = [&](size_t from, size_t to) {
      size_t n = 0;
      for (size_t i = from; i < to && i < log.size(); ++i) n += log[i].rfind("overall ", 0) == 0;
      return n;
    };
    const size_t writing = first("write new"), verifying = first("read new"),
                 copying = first("copy");
    ASSERT_LT(writing, verifying);
    ASSERT_LT(verifying, copying);
    EXPECT_GE(reportsBetween(writing, verifying), 10u);
    const size_t lastCopy =
        log.size() - size_t(std::find(log.rbegin(), log.rend(), "copy") - log.rbegin()) - 1;
    EXPECT_GE(reportsBetween(copying, lastCopy), 1u);
  }
}

TEST_F(RebuildTest, GivenStructureMustFitTheTable) {
  auto s = DescribeTableStructure(&fs_, kDb);
  ASSERT_TRUE(s.ok()) << s.status().ToString();
  EXPECT_EQ(s->fields.size(), 6u);
  EXPECT_EQ(s->keyFields, 1);
  ASSERT_EQ(s->indexes.size(), 1u);
  EXPECT_EQ(s->indexes[0].fields, std::vector<uint16_t>{2});

  TableStructure wrong = *s;
  wrong.fields[1].size = 30;
  RebuildOptions o = Options();
  o.structure = &wrong;
  std::vector<std::string> before = fs_.AllFiles();
  RebuildResult r = RebuildTable(kDb, o);
  EXPECT_TRUE(r.status.IsInvalidArgument()) << r.status.ToString();
  EXPECT_NE(r.status.message().find("field 2"), std::string::npos) << r.status.message();
  EXPECT_EQ(fs_.AllFiles(), before);

  o.structure = &*s;
  r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(TakeSnapshot(&fs_, kDb).records, healthy_.records);
  EXPECT_TRUE(fs_.Exists("/data/CUSTOMER.X02"));

  // A description that lists no secondary index drops the family's one.
  TableStructure noIndex = *s;
  noIndex.indexes.clear();
  o.structure = &noIndex;
  o.now = kNow + 1;
  r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_FALSE(fs_.Exists("/data/CUSTOMER.X02"));
  EXPECT_FALSE(fs_.Exists("/data/CUSTOMER.Y02"));
  EXPECT_TRUE(fs_.Exists(PathJoin(r.repairFolder, "removed/CUSTOMER.X02")));
  EXPECT_EQ(TakeSnapshot(&fs_, kDb).records, healthy_.records);
}

TEST_F(RebuildTest, WhollyDestroyedDescriptorsAreReadWithAGivenStructure) {
  auto s = DescribeTableStructure(&fs_, kDb);
  ASSERT_TRUE(s.ok());
  Bytes& f = *fs_.Contents(kDb);
  // Field descriptors, pointers and names overwritten; counts zeroed.
  FillBytes(f, 0x21, 4, 0);
  FillBytes(f, 0x78, 0x300, 0xCC);
  FillBytes(f, 0x30, 8, 0);
  FillBytes(f, 0x66, 10, 0);
  RebuildResult bare = RebuildTable(kDb, Options());
  EXPECT_EQ(bare.status.code(), Status::Code::kCorruption) << bare.status.ToString();
  RebuildOptions o = Options();
  o.structure = &*s;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(TakeSnapshot(&fs_, kDb).records, healthy_.records);
}

// A header zeroed whole: the family alone gives no structure; another table's is
// checked against the data before use (a misfit is refused and nothing is written); a
// healthy copy's gives every record back; after a rebuild of the sound table, its backup
// in the repair folder gives the structure by itself.
TEST_F(RebuildTest, AStructureFromElsewhereIsCheckedAgainstTheDataFirst) {
  const Bytes healthyDb = *fs_.Contents(kDb);
  ASSERT_TRUE(fs_.MakeDir("/other").ok());
  fs_.SetContents("/other/COPY.DB", healthyDb);
  ASSERT_TRUE(MakeTable(&fs_, "/other/WRONG.DB", UnkeyedSchema(), UnkeyedRows(30)).ok());
  auto zeroHeader = [this] {
    Bytes& f = *fs_.Contents(kDb);
    FillBytes(f, 0, DecodeU16(f.data() + 2), 0);
  };
  zeroHeader();
  VerifyOptions vo;
  vo.fs = &fs_;
  VerifyReport v = VerifyTable(kDb, vo);
  EXPECT_EQ(v.verdict, Verdict::kNeedsStructure);
  EXPECT_TRUE(v.Has("header.damaged"));

  RebuildResult bare = RebuildTable(kDb, Options());
  EXPECT_TRUE(bare.status.IsCorruption()) << bare.status.ToString();

  std::map<std::string, Bytes> before;
  for (const std::string& p : fs_.AllFiles()) before[p] = *fs_.Contents(p);
  RebuildOptions o = Options();
  o.structureFrom = "/other/WRONG.DB";
  RebuildResult wrong = RebuildTable(kDb, o);
  EXPECT_TRUE(wrong.status.IsInvalidArgument()) << wrong.status.ToString();
  EXPECT_NE(wrong.status.message().find("does not fit"), std::string::npos);
  for (const auto& [p, bytes] : before) EXPECT_TRUE(*fs_.Contents(p) == bytes) << p;
  EXPECT_TRUE(RepairFolders(&fs_, kDb).empty());

  o.structureFrom = "/other/COPY.DB";
  RebuildResult given = RebuildTable(kDb, o);
  ASSERT_TRUE(given.status.ok()) << given.status.ToString();
  EXPECT_TRUE(TakeSnapshot(&fs_, kDb).records == healthy_.records);
  EXPECT_TRUE(std::any_of(given.actions.begin(), given.actions.end(), [](const RebuildAction& a) {
    return a.detail.find("structure taken from COPY.DB (given)") != std::string::npos;
  }));

  // A rebuild of the mended table keeps a sound backup; the damaged one kept before it
  // is passed over.
  RebuildOptions plain = Options();
  plain.now = kNow + 30;
  ASSERT_TRUE(RebuildTable(kDb, plain).status.ok());
  zeroHeader();
  RebuildOptions again = Options();
  again.now = kNow + 60;
  RebuildResult found = RebuildTable(kDb, again);
  ASSERT_TRUE(found.status.ok()) << found.status.ToString();
  EXPECT_TRUE(TakeSnapshot(&fs_, kDb).records == healthy_.records);
  EXPECT_TRUE(std::any_of(found.actions.begin(), found.actions.end(), [](const RebuildAction& a) {
    return a.detail.find("the earlier rebuild's backup") != std::string::npos;
  }));
}

// A header rebuilt from another table's structure keeps what the damaged one still says:
// here every field type is gone, and the copy named differs in its code page and
// next autoincrement value, which the rebuilt table takes from its own header.
TEST_F(RebuildTest, AStructureFromElsewhereKeepsWhatTheDamagedHeaderStillSays) {
  Bytes copy = *fs_.Contents(kDb);
  const TableHeader own = *DecodeTableHeader(ByteSpan(copy));
  EncodeU16(copy.data() + 0x6A, 852);
  EncodeU32(copy.data() + 0x49, own.fixed.autoInc + 1000);
  ASSERT_TRUE(fs_.MakeDir("/other").ok());
  fs_.SetContents("/other/COPY.DB", copy);
  Bytes& f = *fs_.Contents(kDb);
  for (size_t i = 0; i < own.fields.size(); ++i) f[0x78 + 2 * i] = 0xFF;
  RebuildOptions o = Options();
  o.structureFrom = "/other/COPY.DB";
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_TRUE(TakeSnapshot(&fs_, kDb).records == healthy_.records);
  auto h = DecodeTableHeader(ByteSpan(*fs_.Contents(kDb)));
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->CodePage(), own.CodePage());
  EXPECT_EQ(h->fixed.sortOrder, own.fixed.sortOrder);
  EXPECT_EQ(h->sortOrderId, own.sortOrderId);
  EXPECT_EQ(h->fixed.autoInc, own.fixed.autoInc);
  EXPECT_EQ(h->tableName, own.tableName);
}

TEST_F(RebuildTest, ValidityFileKeptWithItsCounterUpdated) {
  // A level 5 table with a .VAL whose field list matches and a stale counter.
  TableSchema s = UnkeyedSchema();
  const std::string db = "/v/T.DB";
  ASSERT_TRUE(MakeTable(&fs_, db, s, UnkeyedRows(10)).ok());
  uint8_t cc2 = fs_.Contents(db)->at(0x2E);
  Bytes val(0x35, 0);
  val[0] = uint8_t(cc2 + 5);
  val[1] = 11;
  size_t footer = val.size();
  EncodeU32(&val[0x09], uint32_t(footer));
  auto put16 = [&](uint16_t v) {
    val.push_back(uint8_t(v));
    val.push_back(uint8_t(v >> 8));
  };
  put16(3);
  for (int i = 0; i < 4; ++i) val.push_back(0);
  for (uint16_t i = 1; i <= 3; ++i) put16(i);
  val.insert(val.end(), {0x01, 30, 0x03, 2, 0x15, 8});
  val.resize(val.size() + 79, 0);
  for (const char* n : {"Item", "Qty", "When"}) val.insert(val.end(), n, n + std::strlen(n) + 1);
  fs_.SetContents("/v/T.VAL", val);
  RebuildOptions o = Options();
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  Bytes* after = fs_.Contents("/v/T.VAL");
  ASSERT_NE(after, nullptr);
  EXPECT_EQ((*after)[0], fs_.Contents(db)->at(0x2E));
  EXPECT_EQ(Bytes(after->begin() + 1, after->end()), Bytes(val.begin() + 1, val.end()));
}

TEST(RebuildDeleted, FreeBlocksAndStaleTailsStayDeleted) {
  MemFileSystem fs;
  const std::string db = kUnkeyedDb;
  ASSERT_TRUE(MakeTable(&fs, db, UnkeyedSchema(), UnkeyedRows(150)).ok());
  Snapshot healthy = TakeSnapshot(&fs, db);
  ASSERT_TRUE(healthy.ok);
  Bytes& f = *fs.Contents(db);
  const uint16_t rs = RecordSizeOf(f);
  const uint32_t cap = Capacity(f);
  uint16_t blocks = DecodeU16(f.data() + 0x0C);
  ASSERT_GE(blocks, 3);
  // The last block is released to the free list (its records stay in its bytes), and
  // block 1 keeps only its first 5 records (the rest become a stale tail).
  SetNextBlock(f, blocks - 1, 0);
  SetLastBlock(f, blocks - 1);
  SetBlocksInUse(f, blocks - 1);
  SetFirstFreeBlock(f, blocks);
  SetAddDataSize(f, blocks, int16_t(-rs));
  SetAddDataSize(f, 1, int16_t(4 * rs));
  uint32_t live = 5 + (blocks - 2) * cap;
  SetRecordCount(f, live);
  std::vector<Bytes> expected(healthy.records.begin(), healthy.records.begin() + 5);
  expected.insert(expected.end(), healthy.records.begin() + cap,
                  healthy.records.begin() + (blocks - 1) * cap);
  ASSERT_EQ(expected.size(), live);

  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  Snapshot after = TakeSnapshot(&fs, db);
  EXPECT_EQ(after.records, expected) << after.records.size() << " records";
  EXPECT_EQ(r.problems, 0u);
  EXPECT_EQ(r.issues, 0u);  // a table with a free block and stale bytes is healthy
}

// Fuzz find (fuzz/regressions/header-then-trailing-bytes-taken-for-blocks.fam): fewer
// bytes than a block header after a table with no blocks made its header look wrong, and
// the header recovery chose a smaller header size, reading header bytes as a record.
TEST(RebuildDeleted, AFewBytesAfterTheHeaderOfAnEmptyTableAreNoRecords) {
  MemFileSystem fs;
  ASSERT_TRUE(MakeTable(&fs, kDb, KeyedSchema(), {}).ok());
  Bytes& f = *fs.Contents(kDb);
  ASSERT_EQ(f.size(), HeaderSize(f));
  f.insert(f.end(), {0x02, 0x41, 0x42});
  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.recordsKept + r.keyViolations + r.problems, 0u);
  for (const RebuildAction& a : r.actions) EXPECT_NE(a.action, "header") << a.detail;
}

// Fuzz find (fuzz/regressions/level-3-secondary-index-moved-to-field-1.fam): below level 4
// an X header has no field numbers, so every index was read as one on field 1 and a
// rebuild moved it there.
TEST(RebuildStructure, SecondaryIndexOfALevel3TableKeepsItsField) {
  MemFileSystem fs;
  TableSchema s;
  s.level = TableLevel::k3_0;
  s.blockSize = 1024;
  s.fields = {
      {"Id", FieldType::kShort}, {"Name", FieldType::kAlpha, 12}, {"Day", FieldType::kDate}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"Day"}}};
  std::vector<std::vector<Value>> rows;
  for (int i = 1; i <= 30; ++i)
    rows.push_back({int64_t(i), "n" + std::to_string(i), Date{730000 - i}});
  ASSERT_TRUE(MakeTable(&fs, kDb, s, rows).ok());
  auto d = DescribeTableStructure(&fs, kDb);
  ASSERT_TRUE(d.ok()) << d.status().ToString();
  ASSERT_EQ(d->indexes.size(), 1u);
  EXPECT_EQ(d->indexes[0].fields, std::vector<uint16_t>{3});
  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(kDb, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.issues, 0u);
  EXPECT_NE(fs.Contents("/data/CUSTOMER.X03"), nullptr);
  EXPECT_EQ(fs.Contents("/data/CUSTOMER.X01"), nullptr);
}

TEST(RebuildStructure, DestroyedDescriptorsComeBackFromTheValidityFile) {
  MemFileSystem fs;
  const std::string db = "/v/T.DB";
  ASSERT_TRUE(MakeTable(&fs, db, UnkeyedSchema(), UnkeyedRows(40)).ok());
  Snapshot healthy = TakeSnapshot(&fs, db);
  Bytes val(0x35, 0);
  val[0] = fs.Contents(db)->at(0x2E);
  val[1] = 11;
  EncodeU32(&val[0x09], uint32_t(val.size()));
  auto put16 = [&](uint16_t v) {
    val.push_back(uint8_t(v));
    val.push_back(uint8_t(v >> 8));
  };
  put16(3);
  for (int i = 0; i < 4; ++i) val.push_back(0);
  for (uint16_t i = 1; i <= 3; ++i) put16(i);
  val.insert(val.end(), {0x01, 30, 0x03, 2, 0x15, 8});
  val.resize(val.size() + 79, 0);
  for (const char* n : {"Item", "Qty", "When"}) val.insert(val.end(), n, n + std::strlen(n) + 1);
  fs.SetContents("/v/T.VAL", val);
  Bytes& f = *fs.Contents(db);
  FillBytes(f, 0x21, 2, 0);     // field count
  FillBytes(f, 0x78, 6, 0xFF);  // the three descriptors
  FillBytes(f, 0x30, 8, 0);     // pointers that would give the count back
  FillBytes(f, 0x66, 10, 0);    // and the offsets that would
  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(TakeSnapshot(&fs, db).records, healthy.records);
  bool said = false;
  for (const auto& a : r.actions) said = said || a.detail.find(".VAL") != std::string::npos;
  EXPECT_TRUE(said);
}

TEST(RebuildOrder, EngineCollationOrderIsNeverSetAside) {
  // Engine order under "ANSII850": "apple" before "Banana" (letters folded), which is
  // not byte order. The writer keeps the driver's order.
  MemFileSystem fs;
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 2048;
  s.codePage = 1252;
  s.sortOrder = 0x11;
  s.sortOrderId = "ANSII850";
  s.fields = {{"Name", FieldType::kAlpha, 10}, {"N", FieldType::kShort, 0}};
  s.keyFieldCount = 1;
  const std::string db = "/c/FRUIT.DB";
  ASSERT_TRUE(MakeTable(&fs, db, s,
                        {{std::string("apple"), int64_t(1)}, {std::string("Banana"), int64_t(2)}})
                  .ok());
  Snapshot engineOrder = TakeSnapshot(&fs, db);
  ASSERT_TRUE(engineOrder.ok);
  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.problems, 0u);
  EXPECT_EQ(r.recordsKept, 2u);
  Snapshot after = TakeSnapshot(&fs, db);
  // Kept as the engine stored it, not reordered into byte order.
  EXPECT_EQ(after.records, engineOrder.records);
  for (const RebuildAction& a : r.actions) EXPECT_NE(a.action, "order") << a.detail;
  std::string why;
  EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
}

// A table of a collation other than "ascii" over several blocks, written in a letter-
// folded order ("k1000" "K1001" "k1002" ...) as such an engine stores it.
TableSchema FoldedSchema() {
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 1024;
  s.indexBlockSize = 1024;
  s.codePage = 1252;
  s.sortOrder = 0x4C;
  s.sortOrderId = "DBWINUS0";
  s.fields = {
      {"Name", FieldType::kAlpha, 12}, {"N", FieldType::kLong, 0}, {"Text", FieldType::kAlpha, 30}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"N"}}};
  return s;
}

Status MakeFoldedTable(FileSystem* fs, const std::string& db, int n) {
  PARADOX_RETURN_IF_ERROR(fs->MakeDir(PathDirName(db)));
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < n; ++i) {
    std::string k = "k" + std::to_string(1000 + i);
    if (i % 2) k[0] = 'K';
    rows.push_back({k, int64_t(n - i), std::string("text ") + std::to_string(i)});
  }
  WriteOptions o;
  o.keepGivenOrder = true;
  return WriteTable(fs, db, FoldedSchema(), rows, o);
}

TEST(RebuildOrder, LeadingNumbersOutOfOrderAreSortedKeepingTheCollationOrderWithin) {
  // Key (Id, Name) under "ANSII850": the engine sorts Id by value whatever the collation;
  // a chain that breaks that is damage, put right without touching the order of names
  // within one Id.
  MemFileSystem fs;
  TableSchema s;
  s.level = TableLevel::k7;
  s.codePage = 1252;
  s.sortOrder = 0x11;
  s.sortOrderId = "ANSII850";
  s.fields = {{"Id", FieldType::kLong, 0}, {"Name", FieldType::kAlpha, 10}};
  s.keyFieldCount = 2;
  const std::string db = "/c/PAIRS.DB";
  ASSERT_TRUE(fs.MakeDir("/c").ok());
  WriteOptions wo;
  wo.keepGivenOrder = true;
  const std::vector<std::vector<Value>> rows = {{int64_t{2}, std::string("apple")},
                                                {int64_t{2}, std::string("Banana")},
                                                {int64_t{1}, std::string("cherry")},
                                                {int64_t{1}, std::string("Date")}};
  ASSERT_TRUE(WriteTable(&fs, db, s, rows, wo).ok());
  Snapshot given = TakeSnapshot(&fs, db);
  ASSERT_TRUE(given.ok && given.records.size() == 4);
  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.recordsKept, 4u);
  bool said = false;
  for (const RebuildAction& a : r.actions) said = said || a.action == "order";
  EXPECT_TRUE(said);
  Snapshot after = TakeSnapshot(&fs, db);
  const std::vector<Bytes> want = {given.records[2], given.records[3], given.records[0],
                                   given.records[1]};
  EXPECT_EQ(after.records, want);
  std::string why;
  EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
}

TEST(RebuildOrder, UnreadableBlockFailsTheRebuildAndLosesNothing) {
  const std::string db = "/c/FOLDED.DB";
  MemFileSystem base;
  ASSERT_TRUE(MakeFoldedTable(&base, db, 200).ok());
  const Bytes original = *base.Contents(db);

  // The salvage reader marks a block it could not read by its code.
  {
    FaultyFileSystem faulty(&base);
    ReadOptions ro;
    ro.mode = ReadMode::kSalvage;
    auto rd = TableReader::Open(&faulty, db, ro);
    ASSERT_TRUE(rd.ok()) << rd.status().ToString();
    faulty.FailAt(FaultyFileSystem::Op::kRead, faulty.Count(FaultyFileSystem::Op::kRead) + 1);
    auto cur = (*rd)->Records();
    size_t n = 0;
    while (cur.Next()) ++n;
    ASSERT_FALSE((*rd)->dropped().empty());
    const DroppedSpan& d = (*rd)->dropped()[0];
    EXPECT_EQ(d.code, anomaly::kReadError);
    EXPECT_EQ(d.reason.rfind("block unreadable: ", 0), 0u) << d.reason;
    EXPECT_LT(n, 200u);
  }

  // Each read of a rebuild failing in turn: the rebuild fails (original intact) or keeps
  // every record in its order; it never drops the records of an unreadable block.
  Snapshot healthy = TakeSnapshot(&base, db);
  ASSERT_TRUE(healthy.ok);
  int reads = 0;
  {
    MemFileSystem mem;
    CloneFs(base, mem);
    FaultyFileSystem faulty(&mem);
    RebuildOptions o;
    o.fs = &faulty;
    o.now = kNow;
    ASSERT_TRUE(RebuildTable(db, o).status.ok());
    reads = faulty.Count(FaultyFileSystem::Op::kRead);
  }
  ASSERT_GT(reads, 5);
  int failed = 0;
  for (int n = 1; n <= reads; ++n) {
    MemFileSystem mem;
    CloneFs(base, mem);
    FaultyFileSystem faulty(&mem);
    faulty.FailAt(FaultyFileSystem::Op::kRead, n);
    RebuildOptions o;
    o.fs = &faulty;
    o.now = kNow;
    RebuildResult r = RebuildTable(db, o);
    if (!r.status.ok()) {
      ++failed;
      EXPECT_TRUE(r.status.IsIOError() || r.status.IsCorruption())
          << n << ": " << r.status.ToString();
      EXPECT_EQ(*mem.Contents(db), original) << n;
      continue;
    }
    EXPECT_EQ(r.problems, 0u) << n;
    Snapshot s = TakeSnapshot(&mem, db);
    EXPECT_EQ(s.records, healthy.records) << n;
  }
  EXPECT_GT(failed, 0);
}

TEST(RebuildOrder, GivenOrderTableRebuildsToTheSameOrderAndVerifiesClean) {
  MemFileSystem fs;
  const std::string db = "/c/FOLDED.DB";
  ASSERT_TRUE(MakeFoldedTable(&fs, db, 300).ok());
  Snapshot before = TakeSnapshot(&fs, db);
  ASSERT_TRUE(before.ok);
  std::string why;
  ASSERT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.recordsKept, 300u);
  Snapshot after = TakeSnapshot(&fs, db);
  EXPECT_EQ(after.records, before.records);
  EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
}

TEST(RebuildEncrypted, DecryptsRepairsAndReencryptsWithTheSameKey) {
  MemFileSystem fs;
  TableSchema s = KeyedSchema();
  s.encryptionKey = KeyFromPassword("123");
  const std::string db = "/e/SECRET.DB";
  ASSERT_TRUE(MakeTable(&fs, db, s, KeyedRows(100)).ok());
  Snapshot healthy = TakeSnapshot(&fs, db);
  ASSERT_TRUE(healthy.ok) << healthy.error;
  Bytes& f = *fs.Contents(db);
  const uint32_t cap = Capacity(f);
  SetRecordCount(f, 5);
  FillBlock(f, 3, 0x5A);  // scrambled garbage: decrypts to garbage
  RebuildOptions o;
  o.fs = &fs;
  o.now = kNow;
  RebuildResult r = RebuildTable(db, o);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  std::vector<Bytes> expected = healthy.records;
  expected.erase(expected.begin() + 2 * cap, expected.begin() + 3 * cap);
  Snapshot after = TakeSnapshot(&fs, db);
  EXPECT_EQ(after.records, expected) << after.records.size() << " vs " << expected.size();
  std::string why;
  EXPECT_TRUE(FamilyVerifiesClean(&fs, db, &why)) << why;
  auto h = ReadHeader(&fs, db);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->EncryptionKey(), KeyFromPassword("123"));
  if (r.problems > 0) {
    auto ph = ReadHeader(&fs, PathJoin(r.repairFolder, "PROBLEM.DB"));
    ASSERT_TRUE(ph.ok());
    EXPECT_EQ(ph->EncryptionKey(), KeyFromPassword("123")) << "set-aside data left unprotected";
  }
}

// Random damage (fixed seed): the rebuild either refuses, leaving the family as it
// was, or produces a family that verifies clean, and no record is counted twice.
TEST(RebuildRandomDamage, EitherRefusedUntouchedOrRebuiltClean) {
  MemFileSystem base;
  ASSERT_TRUE(MakeTable(&base, kDb, KeyedSchema(), KeyedRows(90)).ok());
  uint32_t seed = 12345;
  auto next = [&]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  int rebuilt = 0, refused = 0;
  for (int round = 0; round < 300; ++round) {
    MemFileSystem fs;
    CloneFs(base, fs);
    const char* members[] = {kDb, "/data/CUSTOMER.PX", "/data/CUSTOMER.MB"};
    int hits = 1 + int(next() % 6);
    for (int k = 0; k < hits; ++k) {
      Bytes& f = *fs.Contents(members[next() % 3]);
      // Mostly the .DB header and block headers, sometimes anywhere.
      uint64_t at = (next() % 2) ? next() % 0x80 : next() % f.size();
      f[at] = uint8_t(next());
    }
    std::map<std::string, Bytes> before;
    for (const std::string& p : fs.AllFiles()) before[p] = *fs.Contents(p);
    RebuildOptions o;
    o.fs = &fs;
    o.now = kNow;
    RebuildResult r = RebuildTable(kDb, o);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + r.status.ToString());
    if (!r.status.ok()) {
      ++refused;
      if (std::getenv("REKASTO_SHOW_REFUSALS"))
        std::printf("refused: %s\n", r.status.ToString().c_str());
      for (const auto& [path, bytes] : before) EXPECT_EQ(*fs.Contents(path), bytes) << path;
      continue;
    }
    ++rebuilt;
    std::string why;
    EXPECT_TRUE(FamilyVerifiesClean(&fs, kDb, &why)) << why;
    Snapshot after = TakeSnapshot(&fs, kDb);
    ASSERT_TRUE(after.ok) << after.error;
    EXPECT_EQ(after.records.size(), r.recordsKept);
  }
  EXPECT_GT(rebuilt, 150);
  RecordProperty("rebuilt", rebuilt);
  RecordProperty("refused", refused);
}

TEST(RebuildNaming, RepairFolderSitsBesideTheTable) {
  EXPECT_EQ(RepairFolderRoot("/a/b/ORDERS.DB"), "/a/b/ORDERS.rekasto");
  MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("/a").ok());
  auto a = CreateRepairFolder(&fs, "/a/ORDERS.DB", 0);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(*a, "/a/ORDERS.rekasto/19700101-000000");
  auto b = CreateRepairFolder(&fs, "/a/ORDERS.DB", 0);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(*b, "/a/ORDERS.rekasto/19700101-000000-2");
}

TEST(SalvageKeys, AsciiIsByteOrderOtherCollationsFoldLetters) {
  TableHeader h;
  h.fixed.primaryKeyFields = 1;
  FieldDesc f;
  f.type = FieldType::kAlpha;
  f.sizeByte = 4;
  h.fields = {f};
  Bytes a{'a', 'b', 0, 0}, B{'B', 0, 0, 0}, ab{'a', 'b', 'c', 0};
  EXPECT_GT(CompareKeys(h, a, B, true), 0);   // 'a' > 'B' in byte order
  EXPECT_LT(CompareKeys(h, a, B, false), 0);  // folded: "AB" < "B"
  EXPECT_LT(CompareKeys(h, a, ab, true), 0);
  EXPECT_EQ(CompareKeys(h, a, a, false), 0);
}

}  // namespace
}  // namespace paradox::test
