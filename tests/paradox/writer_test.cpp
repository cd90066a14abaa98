// Write -> read round trips for every level, block size and field type, keyed
// tables with their index, secondary indexes, blobs and encryption; pxlib reads
// the written tables with identical records.
#include "paradox/format/writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "faulty_file_system.h"
#include "paradox/format/blob.h"
#include "paradox/format/collation.h"
#include "paradox/format/crypt.h"
#include "paradox/format/family.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/repair/rebuild.h"
#include "paradox/verify/verifier.h"

extern "C" {
#include <paradox.h>
}

namespace paradox {
namespace {

namespace fsys = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/paradox_writer_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fsys::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<std::vector<Value>> ReadAll(FileSystem* fs, const std::string& path,
                                        size_t* anomalies = nullptr) {
  auto r = TableReader::Open(fs, path);
  EXPECT_TRUE(r.ok()) << r.status().ToString();
  if (!r.ok()) return {};
  if (anomalies) *anomalies = r.value()->anomalyCount();
  for (const auto& a : r.value()->anomalies())
    ADD_FAILURE() << a.code << " " << a.where.ToString() << " " << a.detail;
  std::vector<std::vector<Value>> out;
  auto cur = r.value()->Records();
  while (cur.Next()) {
    auto v = cur.Decode();
    EXPECT_TRUE(v.ok()) << v.status().ToString();
    if (v.ok()) out.push_back(std::move(v).value());
  }
  EXPECT_TRUE(cur.status().ok());
  return out;
}

// One value per type, varied by i; nulls now and then.
Value Sample(FieldType t, int i, uint16_t size) {
  if (i % 11 == 5 && t != FieldType::kAutoInc) return std::monostate{};
  switch (t) {
    case FieldType::kAlpha:
      return std::string("Row ") + std::to_string(i) + std::string(i % 3, 'x');
    case FieldType::kBytes:
      return Bytes{static_cast<uint8_t>(i), 0, 0xFF};
    case FieldType::kShort:
      return int64_t{(i * 37) % 30000 - 15000};
    case FieldType::kLong:
      return int64_t{i * 100003 - 5000000};
    case FieldType::kAutoInc:
      return int64_t{i + 1};
    case FieldType::kMoney:
      return i * 0.25 - 3.5;
    case FieldType::kNumber:
      return std::ldexp(double(i) - 7.0, i % 40 - 20);
    case FieldType::kDate:
      return Date{700000 + i};
    case FieldType::kTime:
      return Time{(i * 7919) % 86400000};
    case FieldType::kTimestamp:
      return Timestamp{63716202001000.0 + i * 1000.0};
    case FieldType::kLogical:
      return bool(i % 2);
    case FieldType::kBcd:
      return Bcd{std::to_string(i - 20) + "." + std::string(size, '5')};
    default: {
      // Blobs: empty, inside the leader, suballocated, and a single-blob block.
      std::string s;
      switch (i % 4) {
        case 0:
          s = "tiny";
          break;
        case 1:
          s = std::string(300 + i, 'a' + i % 26);
          break;
        case 2:
          s = std::string(5000 + i, 'B');
          break;
        default:
          s = "";
          break;
      }
      return s.empty() ? Value(std::monostate{}) : Value(s);
    }
  }
}

// Expected value after a round trip (blobs read back as their full content).
void ExpectSame(const FieldDef& f, const Value& want, const Value& got, BlobFile* mb) {
  if (IsBlobType(f.type)) {
    if (IsNull(want)) {
      EXPECT_TRUE(IsNull(got));
      return;
    }
    auto* ref = std::get_if<BlobRef>(&got);
    ASSERT_NE(ref, nullptr);
    ASSERT_NE(mb, nullptr);
    auto data = mb->Read(*ref);
    ASSERT_TRUE(data.ok()) << data.status().ToString();
    const std::string& s = std::get<std::string>(want);
    EXPECT_EQ(std::string(data->begin(), data->end()), s);
    return;
  }
  if (f.type == FieldType::kBcd && !IsNull(want)) {
    auto* b = std::get_if<Bcd>(&got);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->text, std::get<Bcd>(want).text);
    return;
  }
  EXPECT_EQ(want, got) << f.name;
}

struct LevelCase {
  TableLevel level;
  uint32_t blockSize;
};

class WriterLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(WriterLevels, EveryAllowedFieldTypeRoundTrips) {
  const LevelCase c = GetParam();
  MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("/t").ok());
  TableSchema s;
  s.level = c.level;
  s.blockSize = c.blockSize;
  s.codePage = 1250;
  const std::vector<FieldDef> all = {
      {"Name", FieldType::kAlpha, 24},  {"Day", FieldType::kDate},
      {"Small", FieldType::kShort},     {"Amount", FieldType::kMoney},
      {"Value", FieldType::kNumber},    {"Big", FieldType::kLong},
      {"Flag", FieldType::kLogical},    {"Memo", FieldType::kMemo, 20},
      {"Bin", FieldType::kBlob, 0},     {"Fmt", FieldType::kFmtMemo, 12},
      {"Ole", FieldType::kOle, 0},      {"Pic", FieldType::kGraphic, 0},
      {"Clock", FieldType::kTime},      {"Stamp", FieldType::kTimestamp},
      {"Counter", FieldType::kAutoInc}, {"Dec", FieldType::kBcd, 3},
      {"Raw", FieldType::kBytes, 3}};
  for (const auto& f : all)
    if (static_cast<int>(MinLevelForType(f.type)) <= static_cast<int>(c.level))
      s.fields.push_back(f);
  const int n = 300;
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < n; ++i) {
    std::vector<Value> row;
    for (const auto& f : s.fields) row.push_back(Sample(f.type, i, f.size));
    rows.push_back(row);
  }
  ASSERT_TRUE(WriteTable(&fs, "/t/ALL.DB", s, rows).ok());
  auto got = ReadAll(&fs, "/t/ALL.DB");
  ASSERT_EQ(got.size(), rows.size());
  auto hdr = ReadHeader(&fs, "/t/ALL.DB");
  ASSERT_TRUE(hdr.ok());
  EXPECT_EQ(hdr->fixed.fileVersionId, VersionIdForLevel(c.level));
  EXPECT_EQ(hdr->BlockSize(), c.blockSize);
  EXPECT_EQ(hdr->fixed.numRecords, static_cast<uint32_t>(n));
  std::unique_ptr<BlobFile> mb;
  if (fs.Exists("/t/ALL.MB")) mb = std::move(BlobFile::Open(&fs, "/t/ALL.MB", 0)).value();
  for (int i = 0; i < n; ++i)
    for (size_t k = 0; k < s.fields.size(); ++k)
      ExpectSame(s.fields[k], rows[i][k], got[i][k], mb.get());
}

INSTANTIATE_TEST_SUITE_P(
    AllLevels, WriterLevels,
    ::testing::Values(LevelCase{TableLevel::k3_0, 1024}, LevelCase{TableLevel::k3_0, 4096},
                      LevelCase{TableLevel::k3_5, 2048}, LevelCase{TableLevel::k3_5, 3072},
                      LevelCase{TableLevel::k4, 1024}, LevelCase{TableLevel::k4, 4096},
                      LevelCase{TableLevel::k5, 2048}, LevelCase{TableLevel::k7, 1024},
                      LevelCase{TableLevel::k7, 8192}, LevelCase{TableLevel::k7, 16384},
                      LevelCase{TableLevel::k7, 32768}));

TEST(Writer, KeyedTableGetsAValidPrimaryIndex) {
  MemFileSystem fs;
  TableSchema s;
  s.level = TableLevel::k5;
  s.blockSize = 1024;
  s.indexBlockSize = 1024;
  s.fields = {
      {"Code", FieldType::kAlpha, 10}, {"Seq", FieldType::kShort}, {"Text", FieldType::kAlpha, 60}};
  s.keyFieldCount = 2;
  auto w = TableWriter::Create(&fs, "K.DB", s);
  ASSERT_TRUE(w.ok());
  int n = 0;
  for (char a = 'A'; a <= 'Z'; ++a)
    for (int seq = 0; seq < 150; ++seq, ++n)
      ASSERT_TRUE(w.value()->AddRecord({std::string(3, a), int64_t{seq}, std::string("t")}).ok());
  // Out of order and duplicate keys are refused.
  EXPECT_TRUE(
      w.value()->AddRecord({std::string("AAA"), int64_t{1}, std::string("t")}).IsInvalidArgument());
  ASSERT_TRUE(w.value()->Finish().ok());
  auto r = TableReader::Open(&fs, "K.DB");
  ASSERT_TRUE(r.ok());
  auto px = IndexFile::Open(&fs, "K.PX");
  ASSERT_TRUE(px.ok());
  EXPECT_TRUE(px.value()->problems().empty());
  EXPECT_EQ(px.value()->header().fixed.numIndexLevels, 2);  // 334 blocks > 56 entries per block
  const auto& chain = r.value()->chain().chain;
  const auto& leaves = px.value()->leafEntries();
  ASSERT_EQ(leaves.size(), chain.size());
  uint64_t sum = 0;
  Bytes blockBuf;
  BlockInfo info;
  for (size_t i = 0; i < leaves.size(); ++i) {
    EXPECT_EQ(leaves[i].child, chain[i]);
    sum += leaves[i].count;
    ASSERT_TRUE(r.value()->ReadBlock(chain[i], &blockBuf, &info).ok());
    EXPECT_EQ(Bytes(blockBuf.begin() + 6, blockBuf.begin() + 6 + 12), leaves[i].key);
  }
  EXPECT_EQ(sum, static_cast<uint64_t>(n));
  EXPECT_EQ(px.value()->header().fixed.indexSyncCount, r.value()->header().fixed.changeCount1);
  EXPECT_GE(r.value()->header().fixed.changeCount1, 2);
}

TEST(Writer, SortsInMemoryWhenAsked) {
  MemFileSystem fs;
  TableSchema s;
  s.fields = {{"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 10}};
  s.keyFieldCount = 1;
  WriteOptions o;
  o.sortInMemory = true;
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 500; ++i) rows.push_back({int64_t{(i * 7919) % 500 - 250}, std::string("n")});
  ASSERT_TRUE(WriteTable(&fs, "S.DB", s, rows, o).ok());
  auto got = ReadAll(&fs, "S.DB");
  ASSERT_EQ(got.size(), 500u);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(std::get<int64_t>(got[i][0]), int64_t(i) - 250);
  rows.push_back(rows[0]);
  EXPECT_TRUE(WriteTable(&fs, "D.DB", s, rows, o).IsInvalidArgument());
}

// Keys in an order other than byte order, as an engine with a letter-folding collation
// stores them: "alpha" < "Bravo" < "charlie" < ... (byte order puts capitals first).
std::vector<std::string> FoldedOrderKeys(int n) {
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) {
    std::string k = "k" + std::to_string(1000 + i);
    if (i % 2) k[0] = 'K';
    keys.push_back(k);
  }
  return keys;
}

TEST(Writer, KeepsTheGivenKeyOrderWithAMatchingPrimaryIndex) {
  MemFileSystem fs;
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 1024;
  s.indexBlockSize = 1024;
  s.codePage = 1252;
  s.sortOrder = 0x4C;
  s.sortOrderId = "DBWINUS0";
  s.fields = {
      {"Name", FieldType::kAlpha, 12}, {"N", FieldType::kShort}, {"Text", FieldType::kAlpha, 40}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"N"}}};
  WriteOptions o;
  o.keepGivenOrder = true;
  const auto keys = FoldedOrderKeys(2000);  // "k1000" "K1001" "k1002": not byte order
  auto w = TableWriter::Create(&fs, "F.DB", s, o);
  ASSERT_TRUE(w.ok());
  for (size_t i = 0; i < keys.size(); ++i)
    ASSERT_TRUE(w.value()->AddRecord({keys[i], int64_t(2000 - int(i)), std::string("t")}).ok())
        << i;
  // A key given again, far from its first use, is still a duplicate.
  EXPECT_TRUE(w.value()->AddRecord({keys[3], int64_t{1}, std::string("t")}).IsInvalidArgument());
  ASSERT_TRUE(w.value()->Finish().ok());

  auto got = ReadAll(&fs, "F.DB");
  ASSERT_EQ(got.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(std::get<std::string>(got[i][0]), keys[i]);

  auto r = TableReader::Open(&fs, "F.DB");
  ASSERT_TRUE(r.ok());
  auto px = IndexFile::Open(&fs, "F.PX");
  ASSERT_TRUE(px.ok());
  EXPECT_TRUE(px.value()->problems().empty());
  EXPECT_EQ(px.value()->header().fixed.numIndexLevels, 2);
  const auto& chain = r.value()->chain().chain;
  const auto& leaves = px.value()->leafEntries();
  ASSERT_EQ(leaves.size(), chain.size());
  Bytes blockBuf;
  BlockInfo info;
  for (size_t i = 0; i < leaves.size(); ++i) {
    EXPECT_EQ(leaves[i].child, chain[i]);
    ASSERT_TRUE(r.value()->ReadBlock(chain[i], &blockBuf, &info).ok());
    EXPECT_EQ(Bytes(blockBuf.begin() + 6, blockBuf.begin() + 6 + 12), leaves[i].key);
  }

  // The verifier holds alpha keys of this collation to no byte order: clean.
  VerifyOptions vo;
  vo.fs = &fs;
  VerifyReport rep = VerifyTable("F.DB", vo);
  std::string why;
  for (const Finding& f : rep.findings) why += f.ToString() + "\n";
  EXPECT_EQ(rep.errors, 0u) << why;
  EXPECT_EQ(rep.verdict, Verdict::kClean) << why;
}

TEST(Writer, GivenOrderStillRefusesDuplicatesAndSortingInMemory) {
  MemFileSystem fs;
  TableSchema s;
  s.sortOrderId = "ANSII850";
  s.sortOrder = 0x11;
  s.fields = {{"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 10}};
  s.keyFieldCount = 2;
  WriteOptions o;
  o.keepGivenOrder = true;
  // Same Id, names differing only in case: different keys.
  EXPECT_TRUE(WriteTable(&fs, "A.DB", s,
                         {{int64_t{1}, std::string("b")},
                          {int64_t{1}, std::string("B")},
                          {int64_t{2}, std::string("a")}},
                         o)
                  .ok());
  EXPECT_TRUE(WriteTable(&fs, "B.DB", s,
                         {{int64_t{1}, std::string("b")},
                          {int64_t{2}, std::string("a")},
                          {int64_t{1}, std::string("b")}},
                         o)
                  .IsInvalidArgument());
  WriteOptions both = o;
  both.sortInMemory = true;
  EXPECT_TRUE(TableWriter::Create(&fs, "C.DB", s, both).status().IsInvalidArgument());

  // The leading number is compared by value under any collation: the verifier reports
  // a given order that breaks it.
  ASSERT_TRUE(WriteTable(&fs, "D.DB", s,
                         {{int64_t{2}, std::string("a")}, {int64_t{1}, std::string("b")}}, o)
                  .ok());
  VerifyOptions vo;
  vo.fs = &fs;
  VerifyReport rep = VerifyTable("D.DB", vo);
  bool order = false;
  for (const Finding& f : rep.findings) order = order || f.check == "key.order";
  EXPECT_TRUE(order);
}

TEST(Writer, SecondaryIndexesPointAtTheRightBlocks) {
  MemFileSystem fs;
  for (bool keyed : {true, false}) {
    SCOPED_TRACE(keyed ? "keyed" : "unkeyed");
    TableSchema s;
    s.level = TableLevel::k7;
    s.blockSize = 1024;
    s.fields = {
        {"Id", FieldType::kLong}, {"City", FieldType::kAlpha, 20}, {"Zip", FieldType::kShort}};
    s.keyFieldCount = keyed ? 1 : 0;
    s.secondaryIndexes = {{"", {"City"}}, {"CityZip", {"City", "Zip"}, true}};
    std::vector<std::vector<Value>> rows;
    for (int i = 0; i < 400; ++i)
      rows.push_back({int64_t{i}, std::string(i % 2 ? "city" : "CITY") + std::to_string(i % 17),
                      int64_t{i % 5}});
    std::string db = keyed ? "KX.DB" : "UX.DB";
    ASSERT_TRUE(WriteTable(&fs, db, s, rows).ok());
    auto fam = FindFamily(&fs, db);
    ASSERT_TRUE(fam.ok());
    ASSERT_EQ(fam->secondary.size(), 2u);
    EXPECT_EQ(fam->secondary[0].tag, "X02");
    EXPECT_EQ(fam->secondary[1].tag, "XG0");
    auto dbr = TableReader::Open(&fs, db);
    ASSERT_TRUE(dbr.ok());
    for (const auto& sec : fam->secondary) {
      SCOPED_TRACE(sec.tag);
      auto x = TableReader::Open(&fs, sec.x);
      ASSERT_TRUE(x.ok()) << x.status().ToString();
      EXPECT_EQ(x.value()->anomalyCount(), 0u);
      EXPECT_EQ(x.value()->header().fixed.numRecords, 400u);
      auto info = SecondaryIndexFromHeader(x.value()->header(), s.keyFieldCount);
      ASSERT_TRUE(info.ok());
      EXPECT_EQ(info->dbFields[0], 2);
      EXPECT_EQ(info->maintained, keyed);
      EXPECT_EQ(info->caseInsensitive, sec.tag == "XG0");
      if (sec.tag == "XG0") {
        EXPECT_EQ(x.value()->header().indexName, "CityZip");
      }
      // Every hint names the DB block holding a record with that id; rows sorted.
      auto cur = x.value()->Records();
      const KeyOrder order(x.value()->header());  // X rows are in the table's collation
      Bytes prev;
      int rows2 = 0;
      const size_t keyLen = x.value()->header().fixed.recordSize - 2;
      while (cur.Next()) {
        ++rows2;
        auto v = cur.Decode().value();
        Bytes key(cur.record().bytes.begin(),
                  cur.record().bytes.begin() + static_cast<long>(keyLen));
        if (sec.tag == "X02" && !prev.empty()) {
          EXPECT_LE(order.Compare(prev.data(), key.data()), 0);
        }
        prev = key;
        int64_t blk = keyed ? std::get<int64_t>(v.back()) : std::get<int64_t>(v[v.size() - 2]);
        int64_t id =
            keyed ? std::get<int64_t>(v[v.size() - 2]) : std::get<int64_t>(v[v.size() - 3]) - 1;
        Bytes buf;
        BlockInfo bi;
        ASSERT_TRUE(dbr.value()->ReadBlock(static_cast<uint32_t>(blk), &buf, &bi).ok());
        int count = bi.header.RecordCount(dbr.value()->header().fixed.recordSize, 1024);
        bool found = false;
        for (int k = 0; k < count; ++k) {
          auto rec = dbr.value()->DecodeRecord(
              ByteSpan(buf.data() + 6 + k * dbr.value()->header().fixed.recordSize,
                       dbr.value()->header().fixed.recordSize));
          if (std::get<int64_t>(rec.value()[0]) == id) found = true;
        }
        EXPECT_TRUE(found) << "id " << id << " not in block " << blk;
      }
      EXPECT_EQ(rows2, 400);
      auto y = IndexFile::Open(&fs, sec.y);
      ASSERT_TRUE(y.ok());
      EXPECT_TRUE(y.value()->problems().empty());
      EXPECT_EQ(y.value()->leafEntries().size(), x.value()->chain().chain.size());
    }
  }
}

TEST(Writer, EncryptedFamilyReadsBackAndHidesItsData) {
  MemFileSystem fs;
  TableSchema s;
  s.level = TableLevel::k4;
  s.fields = {{"Secret", FieldType::kAlpha, 40}, {"Note", FieldType::kMemo, 5}};
  s.encryptionKey = KeyFromPassword("123");
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 100; ++i)
    rows.push_back({std::string("password-") + std::to_string(i), std::string(500, 'q')});
  ASSERT_TRUE(WriteTable(&fs, "E.DB", s, rows).ok());
  const Bytes& raw = *fs.Contents("E.DB");
  std::string text(raw.begin(), raw.end());
  EXPECT_EQ(text.find("password-"), std::string::npos);
  const Bytes& mbRaw = *fs.Contents("E.MB");
  EXPECT_NE(mbRaw[0], 0);  // the blob file is scrambled too
  auto h = ReadHeader(&fs, "E.DB");
  EXPECT_EQ(h->EncryptionKey(), 0x0A25E09Au);
  EXPECT_EQ(h->fixed.encryption1, 0xFF00FF00u);
  auto got = ReadAll(&fs, "E.DB");
  ASSERT_EQ(got.size(), 100u);
  auto mb = BlobFile::Open(&fs, "E.MB", h->EncryptionKey());
  ASSERT_TRUE(mb.ok());
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(std::get<std::string>(got[i][0]), "password-" + std::to_string(i));
    EXPECT_EQ(mb.value()->Read(std::get<BlobRef>(got[i][1])).value().size(), 500u);
  }
}

TEST(Writer, RejectsSchemasItCannotWrite) {
  MemFileSystem fs;
  auto make = [&](TableSchema s) { return TableWriter::Create(&fs, "X.DB", s).status(); };
  TableSchema base;
  base.fields = {{"A", FieldType::kAlpha, 10}};
  TableSchema s = base;
  s.fields.push_back({"a", FieldType::kShort});
  EXPECT_TRUE(make(s).IsInvalidArgument());  // duplicate name
  s = base;
  s.level = TableLevel::k4;
  s.fields.push_back({"L", FieldType::kLogical});
  EXPECT_TRUE(make(s).IsInvalidArgument());  // type too new for the level
  s = base;
  s.blockSize = 16384;
  s.level = TableLevel::k4;
  EXPECT_TRUE(make(s).IsInvalidArgument());  // 16k blocks need level 5
  s = base;
  s.fields = {{"A", FieldType::kAlpha, 255},
              {"B", FieldType::kAlpha, 255},
              {"C", FieldType::kAlpha, 255},
              {"D", FieldType::kAlpha, 255},
              {"E", FieldType::kAlpha, 255}};
  s.blockSize = 1024;
  EXPECT_TRUE(make(s).IsInvalidArgument());  // record larger than the block
  s = base;
  s.fields[0].size = 0;
  EXPECT_TRUE(make(s).IsInvalidArgument());
  s = base;
  s.fields.push_back({"M", FieldType::kMemo, 10});
  s.keyFieldCount = 2;
  EXPECT_TRUE(make(s).IsInvalidArgument());  // blob key
  s = base;
  s.fields[0].name = std::string(26, 'n');
  EXPECT_TRUE(make(s).IsInvalidArgument());
  s = base;
  s.secondaryIndexes = {{"", {"Missing"}}};
  EXPECT_TRUE(make(s).IsInvalidArgument());
  // Wrong value kinds.
  auto w = TableWriter::Create(&fs, "V.DB", base);
  ASSERT_TRUE(w.ok());
  EXPECT_TRUE(w.value()->AddRecord({int64_t{1}}).IsInvalidArgument());
  EXPECT_TRUE(w.value()->AddRecord({std::string("a"), std::string("b")}).IsInvalidArgument());
}

TEST(Writer, RawRecordsAndAutoIncrement) {
  MemFileSystem fs;
  TableSchema s;
  s.fields = {{"N", FieldType::kAutoInc}, {"M", FieldType::kMemo, 4}};
  auto w = TableWriter::Create(&fs, "R.DB", s);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w.value()->AddRecord({std::monostate{}, std::string("ab")}).ok());
  ASSERT_TRUE(w.value()->AddRecord({int64_t{10}, std::monostate{}}).ok());
  ASSERT_TRUE(w.value()->AddRecord({std::monostate{}, std::monostate{}}).ok());
  Bytes raw(18, 0);
  EncodeInt32(20, raw.data());
  ASSERT_TRUE(w.value()->AddRawRecord(raw, {BlobData{1, Bytes(100, 'z')}}).ok());
  Bytes foreign = raw;
  BlobPointer{0x1000, 0xFF, 3000, 1}.EncodeTo(foreign.data() + 8);
  EXPECT_TRUE(w.value()->AddRawRecord(foreign).IsInvalidArgument());
  ASSERT_TRUE(w.value()->Finish().ok());
  auto got = ReadAll(&fs, "R.DB");
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(std::get<int64_t>(got[0][0]), 1);
  EXPECT_EQ(std::get<int64_t>(got[2][0]), 11);
  EXPECT_EQ(ReadHeader(&fs, "R.DB")->fixed.autoInc, 20u);
  auto mb = BlobFile::Open(&fs, "R.MB", 0);
  EXPECT_EQ(mb.value()->Read(std::get<BlobRef>(got[3][1])).value(), Bytes(100, 'z'));
  EXPECT_EQ(mb.value()->Read(std::get<BlobRef>(got[0][1])).value(), Bytes({'a', 'b'}));
}

TEST(Writer, EmptyTableIsJustAHeader) {
  MemFileSystem fs;
  TableSchema s;
  s.fields = {{"Id", FieldType::kLong}};
  s.keyFieldCount = 1;
  ASSERT_TRUE(WriteTable(&fs, "Z.DB", s, {}).ok());
  auto h = ReadHeader(&fs, "Z.DB");
  EXPECT_EQ(fs.Contents("Z.DB")->size(), h->fixed.headerSize);
  EXPECT_EQ(h->fixed.fileBlocks, 0);
  EXPECT_EQ(h->fixed.firstBlock, 0);
  auto px = IndexFile::Open(&fs, "Z.PX");
  ASSERT_TRUE(px.ok());
  EXPECT_EQ(px.value()->header().fixed.indexRoot, 1);
  EXPECT_EQ(px.value()->header().fixed.numIndexLevels, 0);
}

TEST(Writer, FailedWritesReportTheError) {
  MemFileSystem mem;
  FaultyFileSystem fs(&mem);
  TableSchema s;
  s.fields = {{"Id", FieldType::kLong}, {"M", FieldType::kMemo, 10}};
  s.keyFieldCount = 1;
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 200; ++i) rows.push_back({int64_t{i}, std::string(3000, 'm')});
  for (auto op :
       {FaultyFileSystem::Op::kWrite, FaultyFileSystem::Op::kSync, FaultyFileSystem::Op::kOpen}) {
    fs.Reset();
    ASSERT_TRUE(WriteTable(&fs, "F.DB", s, rows).ok());
    int total = fs.Count(op);
    ASSERT_GT(total, 0);
    for (int n = 1; n <= total; n += std::max(1, total / 7)) {
      fs.Reset();
      fs.FailAt(op, n);
      Status st = WriteTable(&fs, "F.DB", s, rows);
      EXPECT_TRUE(st.IsIOError()) << "op " << int(op) << " n " << n << ": " << st.ToString();
    }
  }
}

// pxlib reads what we write, with the same values.
TEST(WriterInterop, PxlibReadsIdenticalRecords) {
  TempDir dir;
  struct Case {
    TableLevel level;
    uint32_t blockSize;
    uint32_t key;
  };
  for (Case c : {Case{TableLevel::k3_0, 1024, 0}, Case{TableLevel::k3_5, 2048, 0},
                 Case{TableLevel::k4, 4096, 0}, Case{TableLevel::k5, 2048, 0x0A25E09A},
                 Case{TableLevel::k7, 16384, 0}, Case{TableLevel::k7, 4096, 0x0A25E09A}}) {
    SCOPED_TRACE(std::string("level ") + LevelName(c.level) + " block " +
                 std::to_string(c.blockSize));
    TableSchema s;
    s.level = c.level;
    s.blockSize = c.blockSize;
    s.encryptionKey = c.key;
    s.fields = {{"Id", FieldType::kLong},
                {"Name", FieldType::kAlpha, 30},
                {"Small", FieldType::kShort},
                {"Amount", FieldType::kMoney},
                {"Day", FieldType::kDate}};
    if (c.level < TableLevel::k5) s.fields[0].type = FieldType::kNumber;
    if (c.level >= TableLevel::k5)
      s.fields.insert(s.fields.end(), {{"Flag", FieldType::kLogical},
                                       {"Clock", FieldType::kTime},
                                       {"Stamp", FieldType::kTimestamp},
                                       {"Dec", FieldType::kBcd, 2}});
    s.keyFieldCount = 1;
    std::string path = dir / (std::string("P") + LevelName(c.level)[0] +
                              std::to_string(c.blockSize) + (c.key ? "E" : "") + ".DB");
    std::vector<std::vector<Value>> rows;
    const int n = 2000;
    for (int i = 0; i < n; ++i) {
      std::vector<Value> r = {
          c.level < TableLevel::k5 ? Value(double(i)) : Value(int64_t{i}),
          i % 9 == 4 ? Value(std::monostate{}) : Value("Name " + std::to_string(i)),
          int64_t{i % 1000 - 500}, i * 0.01, Date{730000 + i}};
      if (c.level >= TableLevel::k5)
        r.insert(r.end(),
                 {Value(bool(i & 1)), Value(Time{i * 1000}), Value(Timestamp{63716202001000.0 + i}),
                  Value(Bcd{std::to_string(i) + ".25"})});
      rows.push_back(r);
    }
    ASSERT_TRUE(WriteTable(DefaultFileSystem(), path, s, rows).ok());
    pxdoc_t* d = PX_new();
    ASSERT_GE(PX_open_file(d, path.c_str()), 0);
    ASSERT_EQ(PX_get_num_records(d), n);
    ASSERT_EQ(PX_get_num_fields(d), static_cast<int>(s.fields.size()));
    for (int i = 0; i < n; i += 3) {
      pxval_t** v = PX_retrieve_record(d, i);
      ASSERT_NE(v, nullptr) << "record " << i;
      if (c.level < TableLevel::k5) {
        EXPECT_EQ(v[0]->value.dval, double(i));
      } else {
        EXPECT_EQ(v[0]->value.lval, i);
      }
      if (i % 9 == 4) {
        EXPECT_TRUE(v[1]->isnull);
      } else {
        EXPECT_EQ(std::string(v[1]->value.str.val), "Name " + std::to_string(i));
      }
      EXPECT_EQ(v[2]->value.lval, i % 1000 - 500);
      EXPECT_DOUBLE_EQ(v[3]->value.dval, i * 0.01);
      EXPECT_EQ(v[4]->value.lval, 730000 + i);
      if (c.level >= TableLevel::k5) {
        EXPECT_EQ(v[5]->value.lval, i & 1);
        EXPECT_EQ(v[6]->value.lval, i * 1000);
        EXPECT_EQ(v[7]->value.dval, 63716202001000.0 + i);
        EXPECT_EQ(std::stod(v[8]->value.str.val), i + 0.25);
      }
      for (int k = 0; k < PX_get_num_fields(d); ++k) {
        if (v[k]->type == pxfAlpha || v[k]->type == pxfBCD) d->free(d, v[k]->value.str.val);
        d->free(d, v[k]);
      }
      d->free(d, v);
    }
    PX_close(d);
    PX_delete(d);
  }
}

}  // namespace
}  // namespace paradox

namespace paradox {
namespace {

// Index counts are 16-bit words: a subtree of more than 65535 records stores a saturated
// count, and the verifier must take the writer's big tables as clean.
TEST(Writer, BigIndexesSaturateTheirCountsVerifyCleanAndRebuild) {
  TempDir dir;
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 32768;
  s.indexBlockSize = 1024;
  s.fields = {{"Id", FieldType::kLong}, {"Zip", FieldType::kShort}};
  s.keyFieldCount = 1;
  s.secondaryIndexes = {{"", {"Zip"}}};
  std::vector<std::vector<Value>> rows;
  const int n = 600000;
  rows.reserve(n);
  for (int i = 1; i <= n; ++i) rows.push_back({int64_t{i}, int64_t{i % 1000}});
  const std::string db = dir / "BIG.DB";
  ASSERT_TRUE(WriteTable(DefaultFileSystem(), db, s, rows).ok());
  auto px = IndexFile::Open(DefaultFileSystem(), dir / "BIG.PX");
  ASSERT_TRUE(px.ok());
  EXPECT_GE(px.value()->header().fixed.numIndexLevels, 2);  // a root over leaf blocks
  VerifyReport report = VerifyTable(db);
  EXPECT_EQ(report.verdict, Verdict::kClean);
  for (const auto& f : report.findings) ADD_FAILURE() << f.check << ": " << f.detail;

  // The rebuilder only swaps in a family that verifies, so it must accept big indexes too.
  RebuildResult rebuilt = RebuildTable(db);
  ASSERT_TRUE(rebuilt.status.ok()) << rebuilt.status.ToString();
  EXPECT_EQ(rebuilt.recordsKept, uint64_t(n));
  EXPECT_EQ(rebuilt.problems + rebuilt.keyViolations, 0u);
  EXPECT_EQ(VerifyTable(db).verdict, Verdict::kClean);
}

}  // namespace
}  // namespace paradox
