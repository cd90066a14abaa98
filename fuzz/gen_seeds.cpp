// Writes the seed corpus of fuzz_verify: small valid .DB files of every level, keyed
// and unkeyed, with every field type the level allows, one encrypted, one empty.
//   gen_seeds OUTDIR
#include <cstdio>
#include <string>

#include "crypt.h"
#include "writer.h"

using namespace paradox;

static bool Write(const std::string& dir, const std::string& name, TableSchema s, int records) {
  WriteOptions o;
  o.sync = false;
  o.recordsPerBlock = 3;
  auto w = TableWriter::Create(DefaultFileSystem(), dir + "/" + name, s, o);
  if (!w.ok()) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), w.status().ToString().c_str());
    return false;
  }
  for (int i = 0; i < records; ++i) {
    std::vector<Value> v;
    for (const FieldDef& f : s.fields) {
      switch (f.type) {
        case FieldType::kAlpha: v.push_back(std::string("v") + std::to_string(i)); break;
        case FieldType::kDate: v.push_back(Date{730000 + i}); break;
        case FieldType::kShort: case FieldType::kLong: v.push_back(int64_t(i + 1)); break;
        case FieldType::kMoney: case FieldType::kNumber: v.push_back(double(i) - 1.5); break;
        case FieldType::kLogical: v.push_back(bool(i & 1)); break;
        case FieldType::kTime: v.push_back(Time{i * 1000}); break;
        case FieldType::kTimestamp: v.push_back(Timestamp{6.3e13 + i}); break;
        case FieldType::kAutoInc: v.push_back(Value{}); break;
        case FieldType::kBcd: v.push_back(Bcd{std::to_string(i) + ".5"}); break;
        case FieldType::kBytes: v.push_back(Bytes{1, 2, uint8_t(i)}); break;
        default: v.push_back(std::string(i % 2 ? 40 : 3, 'b')); break;  // blobs
      }
    }
    Status st = w.value()->AddRecord(v);
    if (!st.ok()) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), st.ToString().c_str());
      return false;
    }
  }
  return w.value()->Finish().ok();
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  std::vector<FieldDef> old = {{"Code", FieldType::kShort}, {"Name", FieldType::kAlpha, 12},
                               {"Day", FieldType::kDate}, {"Sum", FieldType::kMoney}, {"N", FieldType::kNumber}};
  std::vector<FieldDef> all = {{"Id", FieldType::kAutoInc}, {"A", FieldType::kAlpha, 8}, {"L", FieldType::kLogical},
                               {"T", FieldType::kTime},     {"TS", FieldType::kTimestamp}, {"B", FieldType::kBcd, 2},
                               {"Y", FieldType::kBytes, 4}, {"M", FieldType::kMemo, 11},  {"I", FieldType::kLong}};
  bool ok = true;
  auto table = [&](const char* name, TableLevel level, uint32_t bs, std::vector<FieldDef> fields, uint16_t keys,
                   int records, uint32_t key = 0) {
    TableSchema s;
    s.level = level;
    s.blockSize = bs;
    s.codePage = 850;
    s.fields = std::move(fields);
    s.keyFieldCount = keys;
    s.encryptionKey = key;
    ok &= Write(dir, name, s, records);
  };
  table("L30KEY.DB", TableLevel::k3_0, 1024, old, 1, 9);
  table("L35UNK.DB", TableLevel::k3_5, 1024, old, 0, 7);
  table("L4KEY2.DB", TableLevel::k4, 1024, old, 2, 8);
  table("L5ALL.DB", TableLevel::k5, 1024, all, 1, 6);
  table("L7ALL.DB", TableLevel::k7, 1024, all, 0, 5);
  table("EMPTY.DB", TableLevel::k7, 1024, old, 1, 0);
  table("CRYPT.DB", TableLevel::k5, 1024, old, 0, 4, KeyFromPassword("fuzz"));
  return ok ? 0 : 1;
}
