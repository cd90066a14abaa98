// Structure inference from data blocks: tables whose header is damaged three ways (every
// field-type byte 0xFF; the first 0x78 bytes zeroed; the whole header zeroed) must give
// back the field types and sizes of the healthy header for most tables, and where they
// do, every record must decode through the inferred fields to the healthy table's
// values. Over the table-history simulator's tables and over the shared real tables.
#include "paradox/repair/structure_inference.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "paradox/format/field_rules.h"
#include "paradox/format/header_file.h"
#include "paradox/format/reader.h"
#include "table_history.h"

namespace paradox {
namespace {

namespace stdfs = std::filesystem;

enum class HeaderDamage { kFieldTypes, kFirstBytes, kWholeHeader };
const char* DamageName(HeaderDamage d) {
  return d == HeaderDamage::kFieldTypes   ? "types"
         : d == HeaderDamage::kFirstBytes ? "first-0x78"
                                          : "whole-header";
}

Bytes Damaged(const Bytes& file, const TableHeader& h, HeaderDamage d) {
  Bytes out = file;
  switch (d) {
    case HeaderDamage::kFieldTypes: {
      const size_t base = DescriptorsOffset(h.hasExtension);
      for (size_t i = 0; i < h.fields.size(); ++i)
        if (base + 2 * i < out.size()) out[base + 2 * i] = 0xFF;
      break;
    }
    case HeaderDamage::kFirstBytes:
      std::fill(out.begin(), out.begin() + std::min<size_t>(0x78, out.size()), 0);
      break;
    case HeaderDamage::kWholeHeader:
      std::fill(out.begin(), out.begin() + std::min<size_t>(h.fixed.headerSize, out.size()), 0);
      break;
  }
  return out;
}

std::string Letters(const std::vector<FieldDesc>& fields) {
  std::string s;
  for (const FieldDesc& f : fields)
    s += std::string(s.empty() ? "" : " ") + FieldTypeLetter(f.type) + std::to_string(f.sizeByte);
  return s;
}

// The kind of bytes a type stores, what the data can show whatever the values mean: a
// 4-byte integer (I, +, D, T), a sortable double (N, $, @), text or bytes (A, Y), a blob
// (M, B, F, O, G), and S, L, # each their own. The simulator draws values from the whole
// range of each type, so a date of year 7000 cannot be told from a long integer.
char Kind(FieldType t) {
  switch (t) {
    case FieldType::kLong:
    case FieldType::kAutoInc:
    case FieldType::kDate:
    case FieldType::kTime:
      return 'I';
    case FieldType::kNumber:
    case FieldType::kMoney:
    case FieldType::kTimestamp:
      return 'N';
    case FieldType::kAlpha:
    case FieldType::kBytes:
      return 'A';
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return 'B';
    default:
      return FieldTypeLetter(t);
  }
}

template <typename F>
std::string Kinds(const std::vector<F>& fields) {
  std::string s;
  for (const F& f : fields)
    s += std::string(s.empty() ? "" : " ") + Kind(f.type) + std::to_string(f.Size());
  return s;
}

std::string Letters(const std::vector<InferredField>& fields) {
  std::string s;
  for (const InferredField& f : fields)
    s += std::string(s.empty() ? "" : " ") + FieldTypeLetter(f.type) + std::to_string(f.sizeByte);
  return s;
}

struct Outcome {
  bool inferred = false, layout = false, exact = false, kinds = false;
  uint64_t records = 0, mismatched = 0;
  std::string want, got, error, wantLayout, gotLayout;
};

// The healthy table's records (strict reader, chain order).
Result<std::vector<std::vector<Value>>> HealthyRecords(FileSystem* fs, const std::string& db) {
  auto r = TableReader::Open(fs, db);
  if (!r.ok()) return r.status();
  std::vector<std::vector<Value>> out;
  auto c = (*r)->Records();
  while (c.Next()) {
    auto v = c.Decode();
    if (!v.ok()) return v.status();
    out.push_back(std::move(v).value());
  }
  if (!c.status().ok()) return c.status();
  return out;
}

// Damages the .DB at `db` in place (restoring it after), infers its structure, and
// compares with the healthy header; where the fields agree, decodes every record of the
// damaged file's chain through the inferred fields.
Outcome Check(FileSystem* fs, const std::string& db, HeaderDamage d, bool useHeader = true) {
  Outcome o;
  auto healthy = ReadHeader(fs, db);
  auto bytes = fs->ReadFile(db, uint64_t{1} << 31);
  auto values = HealthyRecords(fs, db);
  if (!healthy.ok() || !bytes.ok() || !values.ok()) {
    o.error = "healthy table unreadable";
    return o;
  }
  o.want = Letters(healthy->fields);
  o.wantLayout = std::to_string(healthy->fixed.headerSize) + "/" +
                 std::to_string(healthy->BlockSize()) + "/" +
                 std::to_string(healthy->fixed.recordSize);
  EXPECT_TRUE(fs->WriteFile(db, Damaged(*bytes, *healthy, d), false).ok());
  InferOptions options;
  options.fs = fs;
  options.useHeader = useHeader;
  auto s = InferStructure(db, options);
  if (s.ok()) {
    o.inferred = true;
    o.got = Letters(s->fields);
    o.gotLayout = std::to_string(s->headerSize) + "/" + std::to_string(s->blockSize) + "/" +
                  std::to_string(s->recordSize);
    o.layout = s->headerSize == healthy->fixed.headerSize && s->blockSize == healthy->BlockSize() &&
               s->recordSize == healthy->fixed.recordSize;
    o.exact = o.layout && o.got == o.want;
    o.kinds = o.layout && Kinds(s->fields) == Kinds(healthy->fields);
  } else {
    o.error = s.status().ToString();
  }
  if (o.kinds) {
    // Walk the damaged file's chain under the inferred layout, decoding each record: a
    // field read as the healthy header's type must give its value; one read as another
    // type of the same kind must still decode (a valid value of the type taken).
    std::vector<FieldDesc> fields;
    for (const InferredField& f : s->fields) {
      FieldDesc fd;
      fd.type = f.type;
      fd.sizeByte = f.sizeByte;
      fd.offset = f.offset;
      fields.push_back(fd);
    }
    const Bytes file = fs->ReadFile(db, uint64_t{1} << 31).value();
    const uint32_t rs = s->recordSize, bs = s->blockSize;
    size_t row = 0;
    std::set<uint32_t> seen;
    // The chain as the healthy header starts it (the simulator's may start anywhere).
    for (uint32_t k = healthy->fixed.firstBlock; k != 0 && seen.insert(k).second;) {
      const uint64_t at = BlockOffset(s->headerSize, bs, k);
      if (at + 6 > file.size()) break;
      BlockHeader bh;
      bh.DecodeFrom(&file[at]);
      const int n = bh.addDataSize < 0 ? 0 : bh.addDataSize / int(rs) + 1;
      for (int i = 0; i < n; ++i, ++row) {
        ++o.records;
        const uint64_t rec = at + 6 + uint64_t(i) * rs;
        if (rec + rs > file.size() || row >= values->size()) {
          ++o.mismatched;
          continue;
        }
        for (size_t f = 0; f < fields.size(); ++f) {
          auto v =
              DecodeField(fields[f], ByteSpan(&file[rec + fields[f].offset], fields[f].Size()));
          const bool same = fields[f].type == healthy->fields[f].type &&
                            fields[f].sizeByte == healthy->fields[f].sizeByte;
          if (!v.ok() || (same && !(*v == (*values)[row][f]))) {
            ++o.mismatched;
            break;
          }
        }
      }
      k = bh.nextBlock;
    }
    if (row != values->size()) o.mismatched += row > values->size() ? 0 : values->size() - row;
  }
  EXPECT_TRUE(fs->WriteFile(db, *bytes, false).ok());
  return o;
}

struct Tally {
  int tables = 0, exact = 0, layout = 0, kinds = 0;
  std::map<std::string, std::pair<int, int>> byDamage;  // exact, of how many
  std::vector<std::string> misses;
  void Add(const std::string& what, HeaderDamage d, const Outcome& o) {
    ++tables;
    exact += o.exact;
    layout += o.layout;
    kinds += o.kinds;
    byDamage[DamageName(d)].first += o.exact;
    byDamage[DamageName(d)].second += 1;
    if (o.kinds) {
      EXPECT_EQ(o.mismatched, 0u) << what << " " << DamageName(d) << ": " << o.mismatched << " of "
                                  << o.records << " records decode differently";
    } else {
      misses.push_back(
          what + " [" + DamageName(d) + "]: want " + o.want + ", got " +
          (o.inferred
               ? o.got + (o.layout ? "" : " (layout " + o.gotLayout + ", not " + o.wantLayout + ")")
               : o.error));
    }
  }
  void Print(const std::string& title) const {
    std::cout << title << ": " << exact << " of " << tables << " exact, " << kinds
              << " with the right kinds of field, " << layout << " with the right layout\n";
    for (const auto& [damage, counts] : byDamage)
      std::cout << "  " << damage << ": " << counts.first << " of " << counts.second << " exact\n";
    for (const std::string& m : misses) std::cout << "  miss: " << m << "\n";
  }
};

TEST(StructureInference, SimulatedTablesWithDamagedHeaders) {
  Tally tally;
  for (uint64_t seed = 1; tally.tables < 3 * 40 && seed < 400; ++seed) {
    auto t = sim::Simulate(seed);
    ASSERT_TRUE(t.ok()) << t.status().ToString();
    if (t->encrypted || t->RecordCount() == 0) continue;
    for (HeaderDamage d :
         {HeaderDamage::kFieldTypes, HeaderDamage::kFirstBytes, HeaderDamage::kWholeHeader})
      tally.Add("seed " + std::to_string(seed), d, Check(t->fs.get(), t->db, d));
  }
  tally.Print("simulated tables");
  // The simulator draws values from the whole range of each type: what the bytes can
  // show is the layout and the kind of each field.
  EXPECT_GE(tally.kinds * 100, tally.tables * 70);
  EXPECT_GE(tally.layout * 100, tally.tables * 95);
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(StructureInference, SharedTablesWithDamagedHeaders) {
  const stdfs::path root(REKASTO_TABLES_DIR);
  if (!stdfs::is_directory(root)) GTEST_SKIP() << "shared tables folder " << root << " is absent";
  std::vector<stdfs::path> tables;
  for (const auto& e : stdfs::recursive_directory_iterator(root))
    if (e.is_regular_file() && Upper(e.path().extension().string()) == ".DB")
      tables.push_back(e.path());
  std::sort(tables.begin(), tables.end());
  Tally tally, dataOnly;
  int skipped = 0;
  for (const stdfs::path& t : tables) {
    MemFileSystem fs;
    ASSERT_TRUE(fs.MakeDir("/t").ok());
    for (const auto& e : stdfs::directory_iterator(t.parent_path())) {
      if (!e.is_regular_file() || Upper(e.path().stem().string()) != Upper(t.stem().string()))
        continue;
      std::ifstream in(e.path(), std::ios::binary);
      Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      ASSERT_TRUE(fs.WriteFile("/t/" + e.path().filename().string(), b, false).ok());
    }
    const std::string db = "/t/" + t.filename().string();
    auto h = ReadHeader(&fs, db);
    if (!h.ok() || h->IsEncrypted() || h->fixed.numRecords == 0) {
      ++skipped;
      continue;
    }
    const std::string name = stdfs::relative(t, root).string();
    for (HeaderDamage d :
         {HeaderDamage::kFieldTypes, HeaderDamage::kFirstBytes, HeaderDamage::kWholeHeader}) {
      tally.Add(name, d, Check(&fs, db, d));
      dataOnly.Add(name, d, Check(&fs, db, d, false));
    }
  }
  // For comparison: nothing taken from the damaged header's descriptors and names.
  dataOnly.misses.clear();
  dataOnly.Print("shared tables, the header's surviving descriptors and names not used");
  tally.Print("shared tables (" + std::to_string(skipped) + " encrypted or empty left out)");
  // Where the header's descriptors or names (or the .PX's key) survive they fix the
  // boundaries; a zeroed header leaves the data alone, whose adjacent full-length alpha
  // fields and one-block tables of few records cannot always be told apart.
  EXPECT_GE(tally.exact * 100, tally.tables * 75);
  EXPECT_GE(tally.byDamage["types"].first * 100, tally.byDamage["types"].second * 90);
}

TEST(StructureInference, TemplateIsAnEmptyTableOfTheStructure) {
  auto t = sim::Simulate(2);
  for (uint64_t seed = 3; t.ok() && (t->encrypted || t->RecordCount() == 0); ++seed)
    t = sim::Simulate(seed);
  ASSERT_TRUE(t.ok());
  auto healthy = ReadHeader(t->fs.get(), t->db);
  ASSERT_TRUE(healthy.ok());
  InferOptions options;
  options.fs = t->fs.get();
  auto s = InferStructure(t->db, options);
  ASSERT_TRUE(s.ok()) << s.status().ToString();
  ASSERT_TRUE(
      WriteInferredTemplate(t->fs.get(), *s, "/tpl/T.DB").ok() ||
      (t->fs->MakeDir("/tpl").ok() && WriteInferredTemplate(t->fs.get(), *s, "/tpl/T.DB").ok()));
  auto tpl = ReadHeader(t->fs.get(), "/tpl/T.DB");
  ASSERT_TRUE(tpl.ok()) << tpl.status().ToString();
  EXPECT_EQ(tpl->fixed.numRecords, 0u);
  EXPECT_EQ(tpl->fixed.recordSize, s->recordSize);
  EXPECT_EQ(Letters(tpl->fields), Letters(s->fields));
  // Never over a file that is there.
  Status again = WriteInferredTemplate(t->fs.get(), *s, "/tpl/T.DB");
  EXPECT_EQ(again.code(), Status::Code::kInvalidArgument) << again.ToString();
}

TEST(StructureInference, ForeignOrMissingFilesAreRefused) {
  MemFileSystem fs;
  ASSERT_TRUE(fs.MakeDir("/t").ok());
  InferOptions options;
  options.fs = &fs;
  EXPECT_EQ(InferStructure("/t/NONE.DB", options).status().code(), Status::Code::kNotFound);
  ASSERT_TRUE(fs.WriteFile("/t/SHORT.DB", Bytes(100, 0x41), false).ok());
  EXPECT_EQ(InferStructure("/t/SHORT.DB", options).status().code(), Status::Code::kCorruption);
  // Text is no table: its "block headers" do not hold together under any layout.
  std::string text;
  for (int i = 0; text.size() < 20000; ++i)
    text += "line " + std::to_string(i * 7919) + " of a letter\n";
  ASSERT_TRUE(fs.WriteFile("/t/TEXT.DB", Bytes(text.begin(), text.end()), false).ok());
  EXPECT_EQ(InferStructure("/t/TEXT.DB", options).status().code(), Status::Code::kCorruption);
}

}  // namespace
}  // namespace paradox
