// Every real table in ../shared/tables opens and yields the record count pxlib
// reports (encrypted ones against recorded counts when pxlib cannot read them);
// blobs resolve; primary indexes agree with their tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>

#include "paradox/format/blob.h"
#include "paradox/format/family.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/format/val.h"

extern "C" {
#include <paradox.h>
}

namespace paradox {
namespace {

namespace fsys = std::filesystem;

std::string TablesDir() {
  return REKASTO_TABLES_DIR;
}

std::vector<std::string> Files(const std::vector<std::string>& exts) {
  std::vector<std::string> out;
  for (auto& e : fsys::recursive_directory_iterator(TablesDir())) {
    if (!e.is_regular_file()) continue;
    std::string ext = e.path().extension().string();
    for (auto& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& want : exts)
      if (ext == want || (want == ".Xnn" && ext.size() >= 3 && ext[1] == 'X'))
        out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

#define SKIP_WITHOUT_TABLES()           \
  if (!fsys::is_directory(TablesDir())) \
  GTEST_SKIP() << "sample tables not found at " << TablesDir() << " (../shared/tables)"

int PxlibCount(const std::string& path) {
  pxdoc_t* d = PX_new();
  if (!d) return -1;
  int n = -1;
  if (PX_open_file(d, path.c_str()) >= 0) {
    n = PX_get_num_records(d);
    PX_close(d);
  }
  PX_delete(d);
  return n;
}

// Counts recorded from the files themselves for the encrypted samples.
const std::map<std::string, uint64_t> kEncryptedCounts = {
    {"country_encrypted.db", 18}, {"TypSammlung_encrypted.DB", 5}, {"empty_encrypted.db", 0},
    {"encrypted.db", 4},          {"encrypted35.db", 2},           {"encryptedmemo.db", 2},
};

TEST(RealTables, EveryTableOpensWithPxlibsRecordCount) {
  SKIP_WITHOUT_TABLES();
  auto files = Files({".DB"});
  ASSERT_GT(files.size(), 50u);
  int compared = 0;
  for (const auto& path : files) {
    SCOPED_TRACE(path);
    auto r = TableReader::Open(DefaultFileSystem(), path);
    ASSERT_TRUE(r.ok()) << r.status().ToString();
    auto cur = r.value()->Records();
    uint64_t n = 0;
    while (cur.Next()) {
      ++n;
      auto v = cur.Decode();
      EXPECT_TRUE(v.ok()) << v.status().ToString();
    }
    ASSERT_TRUE(cur.status().ok());
    EXPECT_EQ(n, r.value()->header().fixed.numRecords);
    std::string base = fsys::path(path).filename().string();
    if (r.value()->header().IsEncrypted()) {
      ASSERT_TRUE(kEncryptedCounts.count(base)) << "no recorded count for " << base;
      EXPECT_EQ(n, kEncryptedCounts.at(base));
    }
    int px = PxlibCount(path);
    if (px >= 0) {
      EXPECT_EQ(n, static_cast<uint64_t>(px));
      ++compared;
    } else {
      EXPECT_TRUE(r.value()->header().IsEncrypted()) << "pxlib could not open an unencrypted table";
    }
  }
  EXPECT_GT(compared, 50);
}

// Field by field against pxlib, an independent decoder, for every table it opens.
TEST(RealTables, DecodedValuesAgreeWithPxlib) {
  SKIP_WITHOUT_TABLES();
  uint64_t compared = 0;
  for (const auto& path : Files({".DB"})) {
    SCOPED_TRACE(path);
    pxdoc_t* d = PX_new();
    ASSERT_NE(d, nullptr);
    if (PX_open_file(d, path.c_str()) < 0) {
      PX_delete(d);
      continue;
    }
    auto r = TableReader::Open(DefaultFileSystem(), path);
    ASSERT_TRUE(r.ok());
    const auto& fields = r.value()->header().fields;
    auto cur = r.value()->Records();
    int recno = 0;
    while (cur.Next()) {
      auto ours = cur.Decode();
      ASSERT_TRUE(ours.ok());
      pxval_t** theirs = PX_retrieve_record(d, recno);
      ASSERT_NE(theirs, nullptr) << "record " << recno;
      for (size_t k = 0; k < fields.size(); ++k) {
        const Value& v = ours.value()[k];
        const pxval_t* t = theirs[k];
        SCOPED_TRACE("record " + std::to_string(recno) + " field " + fields[k].name);
        // pxlib does not treat all-zero bytes as blank for 4-byte integers and
        // doubles (it returns the minimum long or 0.0); the format says blank.
        if (IsNull(v) && !t->isnull &&
            (t->value.lval == -2147483648L ||
             (t->type != pxfAlpha && t->type != pxfShort && t->value.dval == 0.0)))
          continue;
        switch (fields[k].type) {
          case FieldType::kAlpha:
            if (IsNull(v)) {
              EXPECT_TRUE(t->isnull);
            } else if (!t->isnull) {
              EXPECT_EQ(std::get<std::string>(v),
                        std::string(t->value.str.val, strnlen(t->value.str.val, t->value.str.len)));
            }
            ++compared;
            break;
          case FieldType::kShort:
          case FieldType::kLong:
          case FieldType::kAutoInc:
            ASSERT_EQ(IsNull(v), bool(t->isnull));
            if (!IsNull(v)) {
              EXPECT_EQ(std::get<int64_t>(v), t->value.lval);
            }
            ++compared;
            break;
          case FieldType::kDate:
            ASSERT_EQ(IsNull(v), bool(t->isnull));
            if (!IsNull(v)) {
              EXPECT_EQ(std::get<Date>(v).days, t->value.lval);
            }
            ++compared;
            break;
          case FieldType::kTime:
            ASSERT_EQ(IsNull(v), bool(t->isnull));
            if (!IsNull(v)) {
              EXPECT_EQ(std::get<Time>(v).ms, t->value.lval);
            }
            ++compared;
            break;
          case FieldType::kLogical:
            ASSERT_EQ(IsNull(v), bool(t->isnull));
            if (!IsNull(v)) {
              EXPECT_EQ(std::get<bool>(v), t->value.lval != 0);
            }
            ++compared;
            break;
          case FieldType::kNumber:
          case FieldType::kMoney:
            ASSERT_EQ(IsNull(v), bool(t->isnull));
            if (!IsNull(v)) {
              EXPECT_EQ(std::get<double>(v), t->value.dval);
            }
            ++compared;
            break;
          case FieldType::kTimestamp:
            ASSERT_EQ(IsNull(v), bool(t->isnull));
            if (!IsNull(v)) {
              EXPECT_EQ(std::get<Timestamp>(v).ms, t->value.dval);
            }
            ++compared;
            break;
          default:
            break;  // blobs (pxlib's blob reader is unusable here), BCD and bytes differ in form
        }
      }
      for (size_t k = 0; k < fields.size(); ++k) {
        if (!theirs[k]->isnull &&
            (theirs[k]->type == pxfAlpha || theirs[k]->type == pxfBCD ||
             theirs[k]->type == pxfBytes ||
             (theirs[k]->type >= pxfMemoBLOb && theirs[k]->type <= pxfGraphic)))
          d->free(d, theirs[k]->value.str.val);
        d->free(d, theirs[k]);
      }
      d->free(d, theirs);
      ++recno;
    }
    PX_close(d);
    PX_delete(d);
  }
  EXPECT_GT(compared, 100000u);
}

TEST(RealTables, EncryptedTablesDecryptToReadableText) {
  SKIP_WITHOUT_TABLES();
  std::string path = TablesDir() + "/leonhad__paradoxdriver/encrypt/encrypted.db";
  if (!fsys::exists(path)) GTEST_SKIP() << "encrypted sample missing";
  auto r = TableReader::Open(DefaultFileSystem(), path);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value()->header().EncryptionKey(), 0x0A25E09Au);
  auto cur = r.value()->Records();
  int n = 0;
  while (cur.Next()) {
    auto v = cur.Decode().value();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(std::get<int64_t>(v[0]), ++n);  // autoincrement 1, 2, 3, 4
    const std::string& s = std::get<std::string>(v[1]);
    EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](char c) {
      return static_cast<unsigned char>(c) >= 0x20;
    })) << s;
  }
  EXPECT_EQ(n, 4);
}

TEST(RealTables, SecondaryIndexDataFilesMatchTheirTables) {
  SKIP_WITHOUT_TABLES();
  int checked = 0;
  for (const auto& path : Files({".Xnn"})) {
    std::string ext = fsys::path(path).extension().string();
    if (ext.size() < 3 || std::toupper(static_cast<unsigned char>(ext[1])) != 'X') continue;
    SCOPED_TRACE(path);
    auto r = TableReader::Open(DefaultFileSystem(), path);
    ASSERT_TRUE(r.ok()) << r.status().ToString();
    EXPECT_EQ(r.value()->anomalyCount(), 0u);
    auto cur = r.value()->Records();
    uint64_t n = 0;
    while (cur.Next()) ++n;
    EXPECT_EQ(n, r.value()->header().fixed.numRecords);
    // Definition from the header: indexed fields exist in the table.
    std::string db = MemberPath(path, ".DB");
    for (const char* e : {".DB", ".db"}) {
      std::string cand = fsys::path(path).replace_extension(e).string();
      if (fsys::exists(cand)) db = cand;
    }
    if (!fsys::exists(db)) continue;
    auto dbh = ReadHeader(DefaultFileSystem(), db);
    ASSERT_TRUE(dbh.ok());
    auto info = SecondaryIndexFromHeader(r.value()->header(), dbh->fixed.primaryKeyFields);
    ASSERT_TRUE(info.ok()) << info.status().ToString();
    for (uint16_t f : info->dbFields) EXPECT_LE(f, dbh->fields.size());
    ++checked;
  }
  EXPECT_GT(checked, 5);
}

TEST(RealTables, PrimaryIndexLeavesFollowTheDataChain) {
  SKIP_WITHOUT_TABLES();
  int checked = 0;
  for (const auto& path : Files({".DB"})) {
    auto fam = FindFamily(DefaultFileSystem(), path);
    ASSERT_TRUE(fam.ok());
    if (fam->px.empty()) continue;
    SCOPED_TRACE(path);
    auto r = TableReader::Open(DefaultFileSystem(), path);
    ASSERT_TRUE(r.ok());
    if (!r.value()->header().IsKeyed()) continue;  // a stray .PX beside an unkeyed table
    auto px = IndexFile::Open(DefaultFileSystem(), fam->px);
    ASSERT_TRUE(px.ok()) << px.status().ToString();
    EXPECT_TRUE(px.value()->problems().empty());
    const auto& chain = r.value()->chain().chain;
    const auto& leaves = px.value()->leafEntries();
    ASSERT_EQ(leaves.size(), chain.size());
    uint64_t sum = 0;
    for (size_t i = 0; i < leaves.size(); ++i) {
      EXPECT_EQ(leaves[i].child, chain[i]);
      sum += leaves[i].count;
    }
    EXPECT_EQ(sum, r.value()->header().fixed.numRecords);
    EXPECT_EQ(px.value()->totalEntries(), px.value()->header().fixed.numRecords);
    ++checked;
  }
  EXPECT_GT(checked, 20);
}

TEST(RealTables, EveryBlobPointerResolves) {
  SKIP_WITHOUT_TABLES();
  int blobs = 0;
  for (const auto& path : Files({".DB"})) {
    auto fam = FindFamily(DefaultFileSystem(), path);
    ASSERT_TRUE(fam.ok());
    if (fam->mb.empty()) continue;
    SCOPED_TRACE(path);
    auto r = TableReader::Open(DefaultFileSystem(), path);
    ASSERT_TRUE(r.ok());
    auto mb = BlobFile::Open(DefaultFileSystem(), fam->mb, r.value()->header().EncryptionKey());
    ASSERT_TRUE(mb.ok()) << mb.status().ToString();
    auto scan = mb.value()->Scan();
    ASSERT_TRUE(scan.ok());
    for (const auto& b : scan.value()) EXPECT_TRUE(b.valid) << b.problem << " at " << b.offset;
    auto cur = r.value()->Records();
    while (cur.Next()) {
      auto vals = cur.Decode().value();
      for (const auto& v : vals) {
        auto* ref = std::get_if<BlobRef>(&v);
        if (!ref) continue;
        auto data = mb.value()->Read(*ref);
        ASSERT_TRUE(data.ok()) << data.status().ToString();
        EXPECT_EQ(data->size(), ref->pointer.length);
        ++blobs;
      }
    }
  }
  EXPECT_GT(blobs, 20);
}

TEST(RealTables, ValidityFilesDecode) {
  SKIP_WITHOUT_TABLES();
  int known = 0;
  for (const auto& path : Files({".VAL"})) {
    SCOPED_TRACE(path);
    auto v = ReadVal(DefaultFileSystem(), path);
    ASSERT_TRUE(v.ok()) << v.status().ToString();
    if (!v->layoutKnown) continue;
    ++known;
    EXPECT_FALSE(v->fields.empty());
    for (const auto& f : v->fields) EXPECT_FALSE(f.name.empty());
  }
  EXPECT_GT(known, 10);
  std::string logical = TablesDir() + "/leonhad__paradoxdriver/fields/logical.val";
  if (!fsys::exists(logical)) return;
  auto v = ReadVal(DefaultFileSystem(), logical);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->changeCount, 0x83);
  ASSERT_EQ(v->fields.size(), 1u);
  EXPECT_EQ(v->fields[0].name, "BOOL");
  EXPECT_EQ(v->fields[0].type, FieldType::kLogical);
  ASSERT_EQ(v->checks.size(), 1u);
  EXPECT_TRUE(v->checks[0].required);
  EXPECT_EQ(v->checks[0].defaultValue, Bytes{0x81});
  auto db =
      ReadHeader(DefaultFileSystem(), TablesDir() + "/leonhad__paradoxdriver/fields/logical.db");
  ASSERT_TRUE(db.ok());
  EXPECT_EQ(v->changeCount, db->fixed.changeCount2);
  // Cut inside the footer: reported, not read past.
  auto raw = DefaultFileSystem()->ReadFile(logical, UINT64_MAX).value();
  raw.resize(0x60);
  EXPECT_TRUE(DecodeVal(raw).status().IsCorruption());
}

TEST(RealTables, FamilyMembersAreFoundCaseInsensitively) {
  SKIP_WITHOUT_TABLES();
  std::string path = TablesDir() + "/leonhad__paradoxdriver/joins/C.DB";
  if (!fsys::exists(path)) GTEST_SKIP() << "joins/C.DB missing";
  auto fam = FindFamily(DefaultFileSystem(), path);
  ASSERT_TRUE(fam.ok());
  EXPECT_FALSE(fam->px.empty());
  EXPECT_FALSE(fam->val.empty());
  ASSERT_EQ(fam->secondary.size(), 2u);
  EXPECT_EQ(fam->secondary[0].tag, "X02");
  EXPECT_FALSE(fam->secondary[0].y.empty());
  EXPECT_TRUE(FindFamily(DefaultFileSystem(), TablesDir() + "/nope/NONE.DB").status().IsNotFound());
}

}  // namespace
}  // namespace paradox
