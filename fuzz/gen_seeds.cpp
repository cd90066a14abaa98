// Writes seeds for the fuzz targets, each a whole table family in the container format
// of family_input.h.
//   fuzz_gen_seeds OUTDIR
//       small valid families written by our writer: every level, keyed (with .PX) and
//       unkeyed, every field type the level allows, secondary indexes (.Xnn/.Ynn and
//       .XGn/.YGn), blob values in the .MB (suballocated and single-block), one
//       encrypted family with its .MB, one empty table -> OUTDIR/gen-<NAME>.fam
//   fuzz_gen_seeds --pack OUTDIR MAXBYTES DIR...
//       every table family found under the DIRs (each .DB with its members, as
//       FindFamily sees them), packed when it comes to at most MAXBYTES
//       -> OUTDIR/real-<path with '/' as '_'>.fam
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "family_input.h"
#include "paradox/format/crypt.h"
#include "paradox/format/family.h"
#include "paradox/format/writer.h"

using namespace paradox;

namespace {

bool Save(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return bool(out);
}

// Packs the family of `db` on `fs`: members named by their extensions, .DB first.
Result<Bytes> Pack(FileSystem* fs, const std::string& db) {
  auto fam = FindFamily(fs, db);
  if (!fam.ok()) return fam.status();
  std::vector<fuzzfam::Member> members;
  for (const std::string& m : fam->AllMembers()) {
    auto data = fs->ReadFile(m, UINT64_MAX);
    if (!data.ok()) return data.status();
    std::string ext = PathExtension(m).substr(1);
    if (ext.empty() || ext.size() > fuzzfam::kMaxExtLength) continue;
    members.push_back({ext, std::move(data).value()});
  }
  return fuzzfam::Join(members);
}

Value SampleValue(const FieldDef& f, int i) {
  switch (f.type) {
    case FieldType::kAlpha:
      return std::string(i % 3 ? "v" : "W") + std::to_string(i * 37 % 101);
    case FieldType::kDate:
      return Date{730000 + i};
    case FieldType::kShort:
    case FieldType::kLong:
      return int64_t(i + 1);
    case FieldType::kMoney:
    case FieldType::kNumber:
      return double(i) - 1.5;
    case FieldType::kLogical:
      return bool(i & 1);
    case FieldType::kTime:
      return Time{i * 1000};
    case FieldType::kTimestamp:
      return Timestamp{6.3e13 + i};
    case FieldType::kAutoInc:
      return Value{};
    case FieldType::kBcd:
      return Bcd{std::to_string(i) + ".5"};
    case FieldType::kBytes:
      return Bytes{1, 2, uint8_t(i)};
    default:  // blobs: in the leader, in a suballocated block, in a block of its own
      if (i % 5 == 4) return Value{};
      return std::string(i == 3 ? 2100 : i % 2 ? 40 : 3, char('a' + i % 26));
  }
}

struct Family {
  const char* name;
  TableLevel level;
  std::vector<FieldDef> fields;
  uint16_t keys;
  int records;
  std::vector<SecondaryIndexDef> indexes = {};
  uint32_t key = 0;
};

bool WriteFamily(const std::string& outDir, const Family& f) {
  MemFileSystem fs;
  (void)fs.MakeDir("/s");
  const std::string db = std::string("/s/") + f.name + ".DB";
  TableSchema s;
  s.level = f.level;
  s.blockSize = 1024;
  s.indexBlockSize = 1024;
  s.codePage = 850;
  s.fields = f.fields;
  s.keyFieldCount = f.keys;
  s.secondaryIndexes = f.indexes;
  s.encryptionKey = f.key;
  WriteOptions o;
  o.sync = false;
  o.recordsPerBlock = 3;
  o.fileUpdateTime = 0;
  auto w = TableWriter::Create(&fs, db, s, o);
  Status st = w.status();
  for (int i = 0; st.ok() && i < f.records; ++i) {
    std::vector<Value> v;
    for (const FieldDef& fd : s.fields) v.push_back(SampleValue(fd, i));
    st = w.value()->AddRecord(v);
  }
  if (st.ok()) st = w.value()->Finish();
  Result<Bytes> packed = st.ok() ? Pack(&fs, db) : Result<Bytes>(st);
  if (!packed.ok()) {
    std::fprintf(stderr, "%s: %s\n", f.name, packed.status().ToString().c_str());
    return false;
  }
  return Save(outDir + "/gen-" + f.name + ".fam", *packed);
}

int Generate(const std::string& dir) {
  const std::vector<FieldDef> old = {{"Code", FieldType::kShort},
                                     {"Name", FieldType::kAlpha, 12},
                                     {"Day", FieldType::kDate},
                                     {"Sum", FieldType::kMoney},
                                     {"N", FieldType::kNumber}};
  const std::vector<FieldDef> all = {
      {"Id", FieldType::kAutoInc}, {"A", FieldType::kAlpha, 8},   {"L", FieldType::kLogical},
      {"T", FieldType::kTime},     {"TS", FieldType::kTimestamp}, {"B", FieldType::kBcd, 2},
      {"Y", FieldType::kBytes, 4}, {"M", FieldType::kMemo, 11},   {"I", FieldType::kLong}};
  const std::vector<FieldDef> blobs = {{"K", FieldType::kLong},       {"F", FieldType::kFmtMemo, 0},
                                       {"G", FieldType::kGraphic, 0}, {"O", FieldType::kOle, 0},
                                       {"B", FieldType::kBlob, 4},    {"M", FieldType::kMemo, 20}};
  const std::vector<Family> families = {
      {"L30KEY", TableLevel::k3_0, old, 1, 9},
      {"L35UNK", TableLevel::k3_5, old, 0, 7},
      {"L4KEY2", TableLevel::k4, old, 2, 8, {{"", {"Sum"}}}},
      {"L5ALL", TableLevel::k5, all, 1, 6, {{"ByAI", {"A", "I"}, true}}},
      {"L7ALL", TableLevel::k7, all, 0, 5},
      {"L7IDX",
       TableLevel::k7,
       old,
       1,
       20,
       {{"", {"Name"}}, {"", {"Day"}}, {"Desc", {"Sum", "Name"}, false, true, true}}},
      {"L5BLOBS", TableLevel::k5, blobs, 1, 6},
      {"EMPTY", TableLevel::k7, old, 1, 0, {{"", {"Name"}}}},
      {"CRYPT", TableLevel::k5, all, 1, 5, {{"", {"A"}}}, KeyFromPassword("fuzz")},
      {"CRYPT35", TableLevel::k3_5, old, 0, 4, {}, KeyFromPassword("x")},
  };
  bool ok = true;
  for (const Family& f : families) ok &= WriteFamily(dir, f);
  return ok ? 0 : 1;
}

int PackTree(const std::string& outDir, size_t maxBytes, int argc, char** argv) {
  namespace stdfs = std::filesystem;
  int packed = 0, skipped = 0;
  for (int i = 0; i < argc; ++i) {
    const stdfs::path root(argv[i]);
    std::vector<stdfs::path> dbs;
    for (const auto& e : stdfs::recursive_directory_iterator(root)) {
      if (!e.is_regular_file()) continue;
      if (fuzzfam::UpperExt(e.path().extension().string()) == ".DB") dbs.push_back(e.path());
    }
    std::sort(dbs.begin(), dbs.end());
    for (const stdfs::path& db : dbs) {
      auto data = Pack(DefaultFileSystem(), db.string());
      std::string rel = stdfs::relative(db, root).string();
      for (char& c : rel)
        if (c == '/' || c == '\\') c = '_';
      if (!data.ok() || data->size() > maxBytes) {
        std::fprintf(stderr, "skipped %s (%s)\n", rel.c_str(),
                     data.ok() ? (std::to_string(data->size()) + " bytes").c_str()
                               : data.status().ToString().c_str());
        ++skipped;
        continue;
      }
      if (!Save(outDir + "/real-" + rel + ".fam", *data)) return 1;
      ++packed;
    }
  }
  std::printf("packed %d families, skipped %d\n", packed, skipped);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2) return Generate(argv[1]);
  if (argc >= 5 && std::string(argv[1]) == "--pack")
    return PackTree(argv[2], size_t(std::strtoul(argv[3], nullptr, 10)), argc - 4, argv + 4);
  std::fprintf(stderr,
               "usage: fuzz_gen_seeds OUTDIR | fuzz_gen_seeds --pack OUTDIR MAXBYTES DIR...\n");
  return 2;
}
