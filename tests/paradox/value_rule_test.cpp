// One rule for stored values (paradox/format/field_rules.h), held together by a
// property: the strict reader decodes a field exactly when the verifier reports no value
// error at it. Over generated tables (the history simulator, then values drawn around
// the rule's edges written into their records), the fuzz corpus (packed families) and
// the shared real tables.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "family_input.h"
#include "paradox/format/crypt.h"
#include "paradox/format/field_rules.h"
#include "paradox/format/reader.h"
#include "paradox/format/value.h"
#include "paradox/format/writer.h"
#include "paradox/repair/rebuild.h"
#include "paradox/verify/verifier.h"
#include "stored_values.h"
#include "table_history.h"

namespace paradox {
namespace {

namespace stdfs = std::filesystem;

// What the property saw over the tables of one source.
struct Tally {
  size_t tables = 0, skipped = 0, fields = 0, refused = 0, odd = 0, disagreements = 0;
  std::string first;  // the first few disagreements
  void Disagree(const std::string& what) {
    if (disagreements++ < 8) first += "\n  " + what;
  }
};

// Check ids of the values the reader refuses (a descriptor no table has stops both
// sides before any record).
bool IsValueError(const std::string& check) {
  for (int i = 0; i < kFieldIssueCount; ++i) {
    const FieldIssue issue = FieldIssue(i);
    if (IsInvalid(issue) && issue != FieldIssue::kDescriptor && IssueInfo(issue).check == check)
      return true;
  }
  return false;
}

// The value errors of the .DB by file offset. Without the .MB checks, which judge the
// blob file and not the stored value: blob.pointer then comes from the rule alone.
std::map<uint64_t, Finding> ValueErrors(FileSystem* fs, const std::string& db, bool* recordPass) {
  VerifyOptions vo;
  vo.fs = fs;
  vo.maxFindings = SIZE_MAX;
  vo.checkBlobs = false;
  vo.checkIndexes = false;
  const VerifyReport report = VerifyTable(db, vo);
  std::map<uint64_t, Finding> errors;
  for (const Finding& f : report.findings)
    if (f.where.file == PathBaseName(db) && f.where.offset && IsValueError(f.check))
      errors[*f.where.offset] = f;
  // The record pass counts the chain's records; a header the verifier stops at leaves 0.
  *recordPass = report.summary.countedRecords > 0;
  return errors;
}

void CompareOn(FileSystem* fs, const std::string& db, const std::string& label, Tally* t) {
  bool recordPass = false;
  std::map<uint64_t, Finding> errors = ValueErrors(fs, db, &recordPass);
  auto reader = TableReader::Open(fs, db);
  if (!reader.ok()) {
    ++t->skipped;  // nothing is read
    return;
  }
  const TableHeader& h = reader.value()->header();
  auto cur = reader.value()->Records();
  if (!recordPass) {
    if (cur.Next()) ++t->skipped;  // records the verifier never reached
    return;
  }
  ++t->tables;
  while (cur.Next()) {
    const RecordRef& rec = cur.record();
    for (const FieldDesc& f : h.fields) {
      const ByteSpan raw = rec.bytes.subspan(f.offset, f.Size());
      const Result<Value> v = DecodeField(f, raw);
      const uint64_t at = rec.fileOffset + f.offset;
      auto it = errors.lower_bound(at);
      const bool flagged = it != errors.end() && it->first < at + f.Size();
      ++t->fields;
      t->refused += !v.ok();
      t->odd += CheckField(f, raw.data()).issue() != FieldIssue::kNone && v.ok();
      if (v.ok() == flagged)
        t->Disagree(label + " block " + std::to_string(rec.block) + " record " +
                    std::to_string(rec.indexInBlock) + " field \"" + f.name + "\": reader " +
                    (v.ok() ? "keeps it" : "refuses it (" + v.status().message() + ")") +
                    ", verifier " + (flagged ? it->second.ToString() : "reports no value error"));
      while (it != errors.end() && it->first < at + f.Size()) it = errors.erase(it);
    }
  }
  for (const auto& [offset, f] : errors)
    t->Disagree(label + ": verifier " + f.ToString() + ", where the reader reads no field");
}

// Values drawn around the rule's edges into about half the records of a simulated table
// (through the block cipher when the table is encrypted).
void DrawValuesInto(sim::SimTable& t) {
  std::mt19937_64 rng(t.seed * 7919 + 1);
  Bytes& file = *t.fs->Contents(t.db);
  const TableHeader& h = t.header;
  const uint32_t bs = h.BlockSize(), rs = h.fixed.recordSize, key = h.EncryptionKey();
  for (uint16_t k : t.chain) {
    const uint64_t off = BlockOffset(h.fixed.headerSize, bs, k);
    Bytes b(file.begin() + long(off), file.begin() + long(off + bs));
    if (key) DecryptBlock(key, k, b);
    for (size_t i = 0; i < t.live[k].size(); ++i) {
      if (rng() % 2) continue;
      const FieldDesc& f = h.fields[rng() % h.fields.size()];
      sim::DrawStoredValue(rng, f, false, b.data() + 6 + i * rs + f.offset);
    }
    if (key) EncryptBlock(key, k, b);
    std::copy(b.begin(), b.end(), file.begin() + long(off));
  }
}

std::string Report(const Tally& t) {
  return std::to_string(t.disagreements) + " disagreements over " + std::to_string(t.fields) +
         " fields of " + std::to_string(t.tables) + " tables:" + t.first;
}

TEST(ValueRule, ReaderAndVerifierAgreeOnGeneratedTables) {
  Tally t;
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    auto table = sim::Simulate(seed);
    ASSERT_TRUE(table.ok()) << "seed " << seed << ": " << table.status().ToString();
    DrawValuesInto(*table);
    CompareOn(table->fs.get(), table->db, "seed " + std::to_string(seed), &t);
  }
  EXPECT_EQ(t.disagreements, 0u) << Report(t);
  EXPECT_EQ(t.skipped, 0u);
  RecordProperty("fields", std::to_string(t.fields));
  RecordProperty("refused", std::to_string(t.refused));
  RecordProperty("odd", std::to_string(t.odd));
  // Not vacuous: many values of each kind.
  EXPECT_GT(t.refused, 500u);
  EXPECT_GT(t.odd, 500u);
  EXPECT_GT(t.fields - t.refused - t.odd, 5000u);
}

TEST(ValueRule, ReaderAndVerifierAgreeOnTheFuzzCorpus) {
  Tally t;
  size_t inputs = 0;
  for (const char* dir : {"corpus", "regressions"}) {
    for (const auto& e : stdfs::recursive_directory_iterator(stdfs::path(REKASTO_FUZZ_DIR) / dir)) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path(), std::ios::binary);
      const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::vector<fuzzfam::Member> members = fuzzfam::Split(data.data(), data.size());
      MemFileSystem fs;
      const std::string db = fuzzfam::Install(fs, members);
      ++inputs;
      if (!db.empty()) CompareOn(&fs, db, e.path().filename().string(), &t);
    }
  }
  EXPECT_EQ(t.disagreements, 0u) << Report(t);
  EXPECT_GT(inputs, 50u);
  EXPECT_GT(t.tables, 50u);
}

TEST(ValueRule, ReaderAndVerifierAgreeOnRealTables) {
  if (!stdfs::is_directory(REKASTO_TABLES_DIR))
    GTEST_SKIP() << "shared real tables not found at " << REKASTO_TABLES_DIR;
  Tally t;
  for (const auto& e : stdfs::recursive_directory_iterator(REKASTO_TABLES_DIR)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (ext == ".DB") CompareOn(DefaultFileSystem(), e.path().string(), e.path().string(), &t);
  }
  EXPECT_EQ(t.disagreements, 0u) << Report(t);
  EXPECT_GT(t.tables, 30u);
  EXPECT_GT(t.odd, 0u);  // dates before year 1, BCD nibbles above 9
}

// A table of one field holding `stored` in its only record: what each side says.
struct Judged {
  FieldCheck check;
  Status decoded;
  std::vector<std::string> findings;  // check ids
};
Judged Judge(const FieldDesc& field, const Bytes& stored) {
  MemFileSystem fs;
  EXPECT_TRUE(fs.MakeDir("/t").ok());
  TableSchema s;
  s.level = TableLevel::k7;
  s.fields = {{"V", field.type, field.sizeByte}};
  auto w = TableWriter::Create(&fs, "/t/V.DB", s);
  EXPECT_TRUE(w.ok());
  EXPECT_TRUE(w.value()->AddRecord({Value{}}).ok());
  EXPECT_TRUE(w.value()->Finish().ok());
  Bytes& f = *fs.Contents("/t/V.DB");
  const TableHeader h = ReadHeader(&fs, "/t/V.DB").value();
  std::copy(stored.begin(), stored.end(),
            f.begin() + long(BlockOffset(h.fixed.headerSize, h.BlockSize(), 1) + 6));
  Judged j;
  j.check = CheckField(h.fields[0], stored.data());
  j.decoded = DecodeField(h.fields[0], stored).status();
  VerifyOptions vo;
  vo.fs = &fs;
  for (const Finding& x : VerifyTable("/t/V.DB", vo).findings) j.findings.push_back(x.check);
  return j;
}

Bytes DateBytes(int32_t day) {
  Bytes b(4);
  EncodeInt32(day, b.data());
  return b;
}
Bytes TimestampBytes(double ms) {
  Bytes b(8);
  EncodeDouble(ms, b.data());
  return b;
}

// The edges of the rule, each seen by the rule, the reader and the verifier. The first
// is the regression that started it: a BCD first byte of 0x03 with zero digits in a
// field of 2 decimals read as blank, while the verifier called it an error.
TEST(ValueRule, EdgesOfTheRule) {
  const FieldDesc bcd2{FieldType::kBcd, 2, "B"}, date{FieldType::kDate, 4, "D"},
      stamp{FieldType::kTimestamp, 8, "T"};
  Bytes bare3(17, 0), bare2(17, 0);
  bare3[0] = 0x03;
  bare2[0] = 0x02;
  struct Case {
    const char* what;
    FieldDesc field;
    Bytes stored;
    FieldIssue issue;
    bool blank;
  };
  const Case cases[] = {
      {"BCD 0x03, zero digits, 2 decimals", bcd2, bare3, FieldIssue::kBcdFirstByte, false},
      {"BCD bare decimals byte", bcd2, bare2, FieldIssue::kNone, true},
      {"date -366 (TypSammlung)", date, DateBytes(-366), FieldIssue::kDateEarly, false},
      {"date -9999-01-01", date, DateBytes(kMinDay), FieldIssue::kDateEarly, false},
      {"date before -9999", date, DateBytes(kMinDay - 1), FieldIssue::kDateRange, false},
      {"date day -664929659", date, DateBytes(-664929659), FieldIssue::kDateRange, false},
      {"date 9999-12-31", date, DateBytes(kMaxDay), FieldIssue::kNone, false},
      {"date after 9999", date, DateBytes(kMaxDay + 1), FieldIssue::kDateRange, false},
      {"timestamp -9999-01-01", stamp, TimestampBytes(kMinTimestampMs), FieldIssue::kDateEarly,
       false},
      {"timestamp day -7.7e88", stamp, TimestampBytes(-7.7e88 * kMsPerDay),
       FieldIssue::kTimestampRange, false},
      {"timestamp NaN", stamp, TimestampBytes(std::nan("")), FieldIssue::kTimestampRange, false},
      {"timestamp after 9999", stamp, TimestampBytes(kEndTimestampMs), FieldIssue::kTimestampRange,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Judged j = Judge(c.field, c.stored);
    EXPECT_EQ(j.check.issue(), c.issue);
    EXPECT_EQ(j.check.blank(), c.blank);
    const FieldIssueInfo& info = IssueInfo(c.issue);
    EXPECT_EQ(j.decoded.code(), info.invalid ? Status::Code::kCorruption : Status::Code::kOk);
    const std::vector<std::string> want = c.issue == FieldIssue::kNone
                                              ? std::vector<std::string>{}
                                              : std::vector<std::string>{std::string(info.check)};
    EXPECT_EQ(j.findings, want);
  }
  // The range is the years the text forms write: its ends read back as its ends.
  EXPECT_EQ(FormatDate(Date{kMinDay}), "-9999-01-01");
  EXPECT_EQ(FormatDate(Date{kMaxDay}), "9999-12-31");
  Date d;
  ASSERT_TRUE(ParseDate("-9999-01-01", &d));
  EXPECT_EQ(d.days, kMinDay);
}

// Dates and timestamps lie in the years -9999 to 9999, the same rule on both sides of
// year 1: a value before year 1 within them is kept (verify warns), one beyond them is
// no value, and a rebuild sends its record to PROBLEM.DB whichever end it passed.
TEST(ValueRule, RebuildSetsAsideDatesBeyondTheYearsAndKeepsEarlyOnes) {
  MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("/t").ok());
  TableSchema s;
  s.level = TableLevel::k7;
  s.fields = {{"Id", FieldType::kLong}, {"Day", FieldType::kDate}, {"When", FieldType::kTimestamp}};
  auto w = TableWriter::Create(&fs, "/t/DAYS.DB", s);
  ASSERT_TRUE(w.ok());
  const double noon = 43200000.0;
  ASSERT_TRUE(
      w.value()->AddRecord({int64_t(1), Date{-366}, Timestamp{-366.0 * kMsPerDay + noon}}).ok());
  ASSERT_TRUE(w.value()->AddRecord({int64_t(2), Date{kMinDay}, Timestamp{kMinTimestampMs}}).ok());
  for (int i = 3; i <= 8; ++i)
    ASSERT_TRUE(w.value()
                    ->AddRecord({int64_t(i), Date{730000 + i}, Timestamp{730000.0 * kMsPerDay + i}})
                    .ok());
  ASSERT_TRUE(w.value()->Finish().ok());
  Bytes& f = *fs.Contents("/t/DAYS.DB");
  const TableHeader h = ReadHeader(&fs, "/t/DAYS.DB").value();
  auto at = [&](int record, const char* field) {
    const FieldDesc& fd = h.fields[size_t(h.FieldIndex(field))];
    return f.data() + BlockOffset(h.fixed.headerSize, h.BlockSize(), 1) + 6 +
           size_t(record) * h.fixed.recordSize + fd.offset;
  };
  EncodeInt32(-664929659, at(2, "Day"));
  EncodeInt32(kMinDay - 1, at(3, "Day"));
  EncodeInt32(kMaxDay + 1, at(4, "Day"));
  EncodeDouble(-7.7e88 * kMsPerDay, at(5, "When"));
  EncodeDouble(std::nan(""), at(6, "When"));
  VerifyOptions vo;
  vo.fs = &fs;
  const VerifyReport before = VerifyTable("/t/DAYS.DB", vo);
  EXPECT_EQ(before.Count("value.date"), 3u);
  EXPECT_EQ(before.Count("value.timestamp"), 2u);
  RebuildOptions ro;
  ro.fs = &fs;
  ro.now = 1765000000;
  const RebuildResult r = RebuildTable("/t/DAYS.DB", ro);
  ASSERT_TRUE(r.status.ok()) << r.status.ToString();
  EXPECT_EQ(r.recordsKept, 3u);
  EXPECT_EQ(r.problems, 5u);
  const VerifyReport after = VerifyTable("/t/DAYS.DB", vo);
  EXPECT_EQ(after.verdict, Verdict::kClean);
  EXPECT_EQ(after.Count("value.date-early"), 4u);  // the date and the timestamp of 1 and 2
}

// The verifier's catalogue gives each reason's check the severity the rule gives it.
TEST(ValueRule, CatalogueSeveritiesAreTheRules) {
  for (int i = 1; i < kFieldIssueCount; ++i) {
    const FieldIssueInfo& info = IssueInfo(FieldIssue(i));
    const CheckInfo* c = FindCheck(info.check);
    ASSERT_NE(c, nullptr) << info.check;
    EXPECT_EQ(c->severity == Severity::kError, info.invalid) << info.check;
    EXPECT_EQ(info.anomaly.empty(), !info.invalid) << info.check;
  }
}

}  // namespace
}  // namespace paradox
