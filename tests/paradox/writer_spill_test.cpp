// The writer's index rows (and given-order keys) in bounded memory: a budget of a few
// KB, which sends them through many temporary runs, must write the very same family
// as the default budget, and leave no run file behind, also when Finish fails.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "faulty_file_system.h"
#include "paradox/format/collation.h"
#include "paradox/format/crypt.h"
#include "paradox/format/file.h"
#include "paradox/format/writer.h"

namespace paradox {
namespace {

struct Order {
  uint16_t codePage;
  const char* id;  // nullptr: the code page's; unknown names sort alpha fields by bytes
};
const Order kOrders[] = {{1252, nullptr},   {1252, "ANSIINTL"}, {1250, "anpolish"},
                         {852, "DB852CZ0"}, {437, "DB437US0"},  {1252, "ZZNOSUCH"}};

// Short values from a small alphabet with accents and both cases: many equal values,
// values equal but for case, and values that only a collation puts side by side.
std::string Text(std::mt19937& rng, size_t maxLen) {
  static const char kChars[] = "aAbB\xe9\xc9\xb3\xa3zZ -";
  std::string s(rng() % (maxLen + 1), 'a');
  for (char& c : s) c = kChars[rng() % (sizeof kChars - 1)];
  return s;
}

std::vector<std::string> RunFiles(MemFileSystem& fs) {
  std::vector<std::string> out;
  for (const std::string& f : fs.AllFiles())
    if (f.find(".rows.tmp") != std::string::npos) out.push_back(f);
  return out;
}

// Every file under `dir` in both file systems, byte for byte.
void ExpectSameFamily(MemFileSystem& a, MemFileSystem& b, const std::string& what) {
  std::vector<std::string> fa = a.AllFiles(), fb = b.AllFiles();
  ASSERT_EQ(fa, fb) << what;
  for (const std::string& f : fa)
    EXPECT_EQ(*a.Contents(f), *b.Contents(f)) << what << ": " << f << " differs";
}

struct Case {
  TableSchema schema;
  WriteOptions options;
  std::vector<std::vector<Value>> records;
};

Case MakeCase(uint32_t seed) {
  std::mt19937 rng(seed);
  Case c;
  TableSchema& s = c.schema;
  const Order& o = kOrders[seed % std::size(kOrders)];
  s.level = TableLevel::k7;
  s.blockSize = 1024u << (rng() % 3);
  s.indexBlockSize = 1024u << (rng() % 2);
  s.codePage = o.codePage;
  if (o.id) {
    const Collation* known = Collation::ForName(o.id);
    s.sortOrder = known ? known->id() : uint8_t{0x7E};
    s.sortOrderId = o.id;
  }
  s.fields = {{"Id", FieldType::kLong},
              {"Name", FieldType::kAlpha, 6},
              {"Code", FieldType::kShort},
              {"Tag", FieldType::kAlpha, 2}};
  // Unkeyed, keyed on a number (records in order), or keyed on text in the order given.
  const int keying = int(seed / std::size(kOrders) % 3);
  const bool givenOrder = keying == 2;
  if (givenOrder) s.fields[0] = {"Key", FieldType::kAlpha, 5};
  s.keyFieldCount = keying == 0 ? 0 : 1;
  if (rng() % 4 == 0) s.encryptionKey = KeyFromPassword("spill");  // runs scrambled too
  c.options.keepGivenOrder = givenOrder;
  c.options.fileUpdateTime = 1;
  c.options.sync = false;
  const bool unique = rng() % 2 == 0;
  s.secondaryIndexes = {{"", {"Name"}},
                        {"Folded", {"Name", "Tag"}, true},
                        {"Down", {"Code", "Name"}, false, true},
                        {"Both", {"Tag"}, true, true}};
  if (unique) s.secondaryIndexes.push_back({"Once", {s.fields[0].name}, false, false, true});
  const size_t n = rng() % 2500;
  c.options.expectedRecords = rng() % 2 ? n : 0;
  for (size_t i = 0; i < n; ++i) {
    Value key = int64_t(i * 3 + 1);
    // Given order: distinct keys in no particular order (i in base 26, scrambled).
    if (givenOrder) {
      std::string k;
      for (size_t v = (i * 7919) % 100000 + 100000; v; v /= 26) k.push_back(char('a' + v % 26));
      key = k.substr(0, 5);
    }
    c.records.push_back({key, Text(rng, 6), int64_t(int(rng() % 7) - 3), Text(rng, 2)});
  }
  if (givenOrder) {  // keys from the formula repeat after their 5-letter cut: keep the first
    std::set<std::string> seen;
    std::vector<std::vector<Value>> kept;
    for (auto& r : c.records)
      if (seen.insert(std::get<std::string>(r[0])).second) kept.push_back(std::move(r));
    c.records = std::move(kept);
  }
  return c;
}

TEST(WriterSpill, ATinyBudgetWritesTheSameFamilyAndLeavesNoRunFile) {
  int spilled = 0;
  for (uint32_t seed = 0; seed < 54; ++seed) {
    Case c = MakeCase(seed);
    const std::string what =
        "seed " + std::to_string(seed) + ", " + std::to_string(c.records.size()) + " records";
    MemFileSystem whole, small;
    ASSERT_TRUE(whole.MakeDir("/t").ok() && small.MakeDir("/t").ok());
    Status written = WriteTable(&whole, "/t/T.DB", c.schema, c.records, c.options);
    ASSERT_TRUE(written.ok()) << what << ": " << written.ToString();

    FaultyFileSystem counted(&small);  // counts the removals of runs
    WriteOptions tiny = c.options;
    tiny.indexMemory = 2048 + seed * 97;
    uint64_t lastDone = 0;
    tiny.progress = [&](bool indexes, uint64_t done, uint64_t total) {
      if (!indexes) return;
      EXPECT_LE(done, total) << what;
      EXPECT_GE(done, lastDone) << what;
      lastDone = done;
    };
    auto w = TableWriter::Create(&counted, "/t/T.DB", c.schema, tiny);
    ASSERT_TRUE(w.ok()) << what;
    for (const auto& r : c.records) ASSERT_TRUE(w.value()->AddRecord(r).ok()) << what;
    ASSERT_TRUE(w.value()->Finish().ok()) << what;
    for (const std::string& f : w.value()->files())
      EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
    EXPECT_TRUE(RunFiles(small).empty()) << what;
    ExpectSameFamily(whole, small, what);
    if (counted.Count(FaultyFileSystem::Op::kRemove) > 0) ++spilled;
  }
  EXPECT_GT(spilled, 40);  // most tables went through runs
}

// A unique index repeating a value far apart, a key given twice far apart, a write that
// fails, a writer dropped unfinished: no run file stays.
TEST(WriterSpill, FailuresAndUnfinishedWritersLeaveNoRunFile) {
  TableSchema s;
  s.level = TableLevel::k7;
  s.fields = {{"Id", FieldType::kAlpha, 8}, {"N", FieldType::kLong}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"Once", {"N"}, false, false, true}};
  auto id = [](int i) { return std::string("k") + std::to_string(100000 + i); };
  WriteOptions o;
  o.indexMemory = 4096;
  o.spillDir = "/runs";
  {
    MemFileSystem fs;
    ASSERT_TRUE(fs.MakeDir("/t").ok() && fs.MakeDir("/runs").ok());
    // A file that has a run's name is someone else's: left as it is.
    const std::string theirs = "/runs/T.1.rows.tmp";
    fs.SetContents(theirs, Bytes{1, 2, 3});
    auto w = TableWriter::Create(&fs, "/t/T.DB", s, o);
    ASSERT_TRUE(w.ok()) << w.status().ToString();
    for (int i = 0; i < 3000; ++i)
      ASSERT_TRUE(w.value()->AddRecord({id(i), int64_t(i == 2999 ? 5 : i)}).ok());
    EXPECT_GT(RunFiles(fs).size(), 2u);
    for (const std::string& f : RunFiles(fs)) EXPECT_EQ(f.rfind("/runs/T.", 0), 0u) << f;
    Status st = w.value()->Finish();
    EXPECT_TRUE(st.IsInvalidArgument()) << st.ToString();
    EXPECT_NE(st.message().find("Once"), std::string::npos) << st.message();
    EXPECT_EQ(RunFiles(fs), std::vector<std::string>{theirs});
    EXPECT_EQ(*fs.Contents(theirs), (Bytes{1, 2, 3}));
  }
  {
    MemFileSystem fs;
    ASSERT_TRUE(fs.MakeDir("/t").ok() && fs.MakeDir("/runs").ok());
    WriteOptions given = o;
    given.keepGivenOrder = true;
    s.secondaryIndexes.clear();
    auto w = TableWriter::Create(&fs, "/t/T.DB", s, given);
    ASSERT_TRUE(w.ok());
    for (int i = 0; i < 3000; ++i)
      ASSERT_TRUE(w.value()->AddRecord({id((i * 7) % 3000), int64_t(i)}).ok());
    // A key given again while it is still held is refused at once ...
    EXPECT_TRUE(w.value()->AddRecord({id(2999 * 7 % 3000), int64_t(1)}).IsInvalidArgument());
    // ... and one that went to a run is found by Finish.
    ASSERT_TRUE(w.value()->AddRecord({id(7), int64_t(1)}).ok());
    Status st = w.value()->Finish();
    EXPECT_TRUE(st.IsInvalidArgument()) << st.ToString();
    EXPECT_EQ(st.message(), "duplicate key in record 3001");
    EXPECT_TRUE(RunFiles(fs).empty());
  }
  {
    MemFileSystem mem;
    ASSERT_TRUE(mem.MakeDir("/t").ok() && mem.MakeDir("/runs").ok());
    FaultyFileSystem fs(&mem);
    s.secondaryIndexes = {{"", {"N"}}};
    fs.FailAt(FaultyFileSystem::Op::kRead, 3);
    auto w = TableWriter::Create(&fs, "/t/T.DB", s, o);
    ASSERT_TRUE(w.ok());
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(w.value()->AddRecord({id(i), int64_t(i % 10)}).ok());
    EXPECT_TRUE(w.value()->Finish().IsIOError());
    EXPECT_TRUE(fs.Fired());
    EXPECT_TRUE(RunFiles(mem).empty());
  }
  {
    MemFileSystem fs;
    ASSERT_TRUE(fs.MakeDir("/t").ok() && fs.MakeDir("/runs").ok());
    s.encryptionKey = KeyFromPassword("spill");
    auto w = TableWriter::Create(&fs, "/t/T.DB", s, o);
    ASSERT_TRUE(w.ok());
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(w.value()->AddRecord({id(i), int64_t(i % 10)}).ok());
    ASSERT_FALSE(RunFiles(fs).empty());
    // The runs of an encrypted table do not show its keys.
    const Bytes& run = *fs.Contents(RunFiles(fs)[0]);
    EXPECT_EQ(std::string(run.begin(), run.end()).find("k1000"), std::string::npos);
    w.value().reset();
    EXPECT_TRUE(RunFiles(fs).empty());
  }
}

}  // namespace
}  // namespace paradox
