// The simulator: the draw of a table, its history on the family's bytes, and the checks
// that what it made is valid.
#include "table_history.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "paradox/format/blob.h"
#include "paradox/format/codepage.h"
#include "paradox/format/collation.h"
#include "paradox/format/crypt.h"
#include "paradox/format/family.h"
#include "paradox/format/field_rules.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/format/value.h"
#include "paradox/format/writer.h"

#ifdef REKASTO_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

namespace paradox::sim {

namespace {

using Rng = std::mt19937_64;

uint64_t Uniform(Rng& r, uint64_t lo, uint64_t hi) {
  return hi <= lo ? lo : std::uniform_int_distribution<uint64_t>(lo, hi)(r);
}
int64_t UniformS(Rng& r, int64_t lo, int64_t hi) {
  return std::uniform_int_distribution<int64_t>(lo, hi)(r);
}
bool Chance(Rng& r, double p) {
  return std::uniform_real_distribution<double>(0.0, 1.0)(r) < p;
}
template <class T>
T Pick(Rng& r, std::initializer_list<T> v) {
  return *(v.begin() + Uniform(r, 0, v.size() - 1));
}

void PutU16(Bytes& b, size_t off, uint16_t v) {
  EncodeU16(b.data() + off, v);
}
void PutU32(Bytes& b, size_t off, uint32_t v) {
  EncodeU32(b.data() + off, v);
}

std::string Join(const std::vector<uint16_t>& v, size_t max, const char* sep) {
  std::string s;
  for (size_t i = 0; i < v.size() && i < max; ++i) s += (i ? sep : "") + std::to_string(v[i]);
  if (v.size() > max) s += std::string(sep) + "...(" + std::to_string(v.size()) + ")";
  return s;
}

// ---------------------------------------------------------------------------
// The draw: schema and records.

struct Draw {
  TableSchema schema;
  WriteOptions options;
  std::vector<std::vector<Value>> rows;
  bool alnumKeys = false;  // alpha keys limited to A-Z0-9 (non-"ascii" collations)
};

std::vector<FieldType> TypesFor(TableLevel level) {
  std::vector<FieldType> t = {FieldType::kAlpha, FieldType::kDate, FieldType::kShort,
                              FieldType::kMoney, FieldType::kNumber};
  if (int(level) >= int(TableLevel::k4))
    t.insert(t.end(), {FieldType::kMemo, FieldType::kBlob, FieldType::kFmtMemo, FieldType::kOle,
                       FieldType::kGraphic});
  if (int(level) >= int(TableLevel::k5))
    t.insert(t.end(),
             {FieldType::kLong, FieldType::kLogical, FieldType::kTime, FieldType::kTimestamp,
              FieldType::kAutoInc, FieldType::kBcd, FieldType::kBytes});
  return t;
}

std::vector<FieldType> KeyTypesFor(TableLevel level) {
  std::vector<FieldType> t = {FieldType::kAlpha, FieldType::kDate, FieldType::kShort,
                              FieldType::kMoney, FieldType::kNumber};
  if (int(level) >= int(TableLevel::k5))
    t.insert(t.end(),
             {FieldType::kLong, FieldType::kTime, FieldType::kTimestamp, FieldType::kAutoInc,
              FieldType::kBcd, FieldType::kBytes, FieldType::kLogical});
  return t;
}

uint32_t SizeOnDisk(FieldType t, uint16_t size) {
  switch (t) {
    case FieldType::kAlpha:
    case FieldType::kBytes:
      return size;
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return size + 10u;
    case FieldType::kBcd:
      return 17;
    case FieldType::kShort:
      return 2;
    case FieldType::kLogical:
      return 1;
    case FieldType::kMoney:
    case FieldType::kNumber:
    case FieldType::kTimestamp:
      return 8;
    default:
      return 4;
  }
}

uint16_t DrawSize(Rng& r, FieldType t, bool key) {
  switch (t) {
    case FieldType::kAlpha:
      if (key) return uint16_t(Uniform(r, 1, 24));
      return uint16_t(Chance(r, 0.85) ? Uniform(r, 1, 40) : Uniform(r, 41, 255));
    case FieldType::kBytes:
      return uint16_t(key ? Uniform(r, 1, 12) : Uniform(r, 1, 48));
    case FieldType::kMemo:
      return uint16_t(Chance(r, 0.9) ? Uniform(r, 1, 60) : Uniform(r, 61, 240));
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return uint16_t(Chance(r, 0.9) ? Uniform(r, 0, 60) : Uniform(r, 61, 240));
    case FieldType::kBcd:
      return uint16_t(Chance(r, 0.6) ? Uniform(r, 0, 4) : Uniform(r, 0, 32));
    default:
      return 0;
  }
}

std::string DrawPassword(Rng& r) {
  std::string s;
  for (uint64_t i = 0, n = Uniform(r, 3, 8); i < n; ++i)
    s += char("abcdefghijkmnopqrstuvwxyz0123456789"[Uniform(r, 0, 34)]);
  return s;
}

std::string AlphaValue(Rng& r, uint32_t size, bool alnum) {
  static const char kAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  uint32_t len =
      uint32_t(Chance(r, 0.7) ? Uniform(r, 1, std::min<uint32_t>(size, 12)) : Uniform(r, 1, size));
  std::string s;
  for (uint32_t i = 0; i < len; ++i) {
    if (alnum)
      s += kAlnum[Uniform(r, 0, 35)];
    else
      s += char(Chance(r, 0.85) ? Uniform(r, 0x20, 0x7E) : Uniform(r, 0x80, 0xFE));
  }
  return s;
}

std::string BcdText(Rng& r, uint32_t decimals) {
  uint32_t intDigits = uint32_t(Uniform(r, 0, std::min<uint32_t>(32 - decimals, 12)));
  uint32_t fracDigits = uint32_t(Uniform(r, 0, std::min<uint32_t>(decimals, 6)));
  std::string t;
  for (uint32_t i = 0; i < intDigits; ++i) t += char('0' + Uniform(r, i == 0 ? 1 : 0, 9));
  if (t.empty()) t = "0";
  if (fracDigits) {
    t += '.';
    for (uint32_t i = 0; i < fracDigits; ++i) t += char('0' + Uniform(r, 0, 9));
  }
  bool zero = t.find_first_not_of("0.") == std::string::npos;
  if (!zero && Chance(r, 0.3)) t = "-" + t;
  return t;
}

double NumberValue(Rng& r) {
  double x = 0;
  switch (Uniform(r, 0, 3)) {
    case 0:
      x = double(UniformS(r, -1000000, 1000000));
      break;
    case 1:
      x = double(UniformS(r, -100000000, 100000000)) / 100.0;
      break;
    case 2:
      x = std::uniform_real_distribution<double>(-1e12, 1e12)(r);
      break;
    default:
      x = std::uniform_real_distribution<double>(-1, 1)(r);
      break;
  }
  return x == 0 ? 0.0 : x;  // never -0.0: the same number as 0 with other bytes
}

Bytes BlobValue(Rng& r, FieldType t, uint32_t leader, uint32_t maxBytes) {
  uint32_t len;
  double u = std::uniform_real_distribution<double>(0, 1)(r);
  if (u < 0.35 && leader > 0)
    len = uint32_t(Uniform(r, 1, leader));
  else if (u < 0.9 || maxBytes <= 2048)
    len = uint32_t(
        Uniform(r, leader + 1, std::max<uint32_t>(leader + 1, std::min<uint32_t>(2048, maxBytes))));
  else
    len = uint32_t(Uniform(r, 2049, maxBytes));
  Bytes b(len);
  const bool text = t == FieldType::kMemo || t == FieldType::kFmtMemo;
  for (auto& c : b) c = uint8_t(text ? Uniform(r, 0x20, 0x7E) : Uniform(r, 0, 255));
  if ((t == FieldType::kGraphic || t == FieldType::kOle) && len > 8) {
    // The 8-byte sub-header graphic and OLE values carry.
    b[0] = 1, b[1] = 0, b[2] = 0, b[3] = t == FieldType::kGraphic ? 1 : 2;
    EncodeU32(b.data() + 4, len - 8);
  }
  return b;
}

Value DrawValue(Rng& r, const FieldDesc& f, bool key, bool alnum, uint32_t maxBlob) {
  switch (f.type) {
    case FieldType::kAlpha:
      return AlphaValue(r, f.sizeByte, alnum && key);
    case FieldType::kShort:
      return int64_t(UniformS(r, -32767, 32767));
    case FieldType::kLong:
      return int64_t(UniformS(r, -2147483647, 2147483647));
    case FieldType::kAutoInc:
      return std::monostate{};  // the writer numbers it
    case FieldType::kMoney:
    case FieldType::kNumber:
      return NumberValue(r);
    case FieldType::kDate:
      // Now and then a date before year 1, back to -9999: odd, but read by engines as stored.
      if (Chance(r, 0.02)) return Date{int32_t(UniformS(r, kMinDay, 0))};
      return Date{int32_t(Chance(r, 0.9) ? Uniform(r, 693596, 767010) : Uniform(r, 1, 3652059))};
    case FieldType::kTime:
      return Time{int32_t(Uniform(r, 0, 86399999))};
    case FieldType::kTimestamp:
      // Odd values an engine keeps as stored: a moment before year 1, back to -9999.
      if (Chance(r, 0.02))
        return Timestamp{std::uniform_real_distribution<double>(kMinTimestampMs, 0.0)(r)};
      return Timestamp{double(Uniform(r, 693596, 767010)) * 86400000.0 +
                       double(Uniform(r, 0, 86399999))};
    case FieldType::kLogical:
      return Chance(r, 0.5);
    case FieldType::kBcd:
      return Bcd{BcdText(r, f.sizeByte), false};
    case FieldType::kBytes: {
      Bytes b(f.sizeByte);
      for (auto& c : b) c = uint8_t(Uniform(r, 0, 255));
      b[0] |= 1;  // all zero would be blank
      return b;
    }
    default:
      return BlobValue(r, f.type, f.LeaderSize(), maxBlob);
  }
}

// Draws one table; false when this draw does not make a schema the writer takes.
bool DrawTable(Rng& r, const SimOptions& o, Draw* d) {
  TableSchema& s = d->schema;
  s = TableSchema();
  if (o.huge) {
    s.level = Pick(r, {TableLevel::k4, TableLevel::k5, TableLevel::k7});
    s.blockSize = 1024;
    s.indexBlockSize = 2048;
  } else {
    s.level = Pick(r, {TableLevel::k3_0, TableLevel::k3_0, TableLevel::k3_5, TableLevel::k4,
                       TableLevel::k4, TableLevel::k5, TableLevel::k5, TableLevel::k5,
                       TableLevel::k7, TableLevel::k7, TableLevel::k7});
    switch (s.level) {
      case TableLevel::k3_0:
        s.blockSize = Chance(r, 0.7) ? 1024 : 2048;
        break;
      case TableLevel::k3_5:
        s.blockSize = Pick<uint32_t>(r, {2048, 2048, 2048, 1024, 4096});
        break;
      case TableLevel::k4:
        s.blockSize = Pick<uint32_t>(r, {2048, 2048, 2048, 4096, 1024});
        break;
      case TableLevel::k5:
        s.blockSize = Pick<uint32_t>(r, {2048, 2048, 4096, 4096, 1024});
        break;
      case TableLevel::k7:
        s.blockSize = Pick<uint32_t>(r, {2048, 2048, 4096, 16384, 16384, 32768, 8192});
        break;
    }
    s.indexBlockSize = s.level == TableLevel::k3_0 ? Pick<uint32_t>(r, {1024, 2048})
                                                   : Pick<uint32_t>(r, {2048, 2048, 4096});
  }
  if (int(s.level) >= int(TableLevel::k4))
    s.codePage = Pick<uint16_t>(r, {437, 850, 1252, 1252, 852, 866});
  else
    s.codePage = Pick<uint16_t>(r, {437, 850});
  if (Chance(r, 0.25)) {
    s.sortOrder = 0;
    s.sortOrderId = "ascii";
  }
  uint8_t so = 0;
  std::string soId;
  SortOrderForCodePage(s.codePage, &so, &soId);
  d->alnumKeys = s.sortOrder.value_or(so) != 0;
  if (Chance(r, 0.2)) s.encryptionKey = KeyFromPassword(DrawPassword(r));

  // Fields: key fields first, each field only if the record still fits the budget.
  const uint32_t minCap = o.huge ? 8 : (Chance(r, 0.08) ? 1 : uint32_t(Uniform(r, 2, 8)));
  const uint32_t budget = (s.blockSize - 6) / minCap;
  const uint32_t nFields =
      o.huge ? uint32_t(Uniform(r, 1, 4)) : uint32_t(Uniform(r, 1, o.maxFields));
  const bool keyed = Chance(r, 0.5);
  uint32_t keyCount = keyed ? uint32_t(Uniform(r, 1, std::min<uint32_t>(3, nFields))) : 0;
  std::vector<FieldType> all = TypesFor(s.level), keyTypes = KeyTypesFor(s.level);
  if (o.huge) {
    all = {FieldType::kAlpha, FieldType::kShort, FieldType::kNumber, FieldType::kDate};
    keyTypes = all;
  }
  bool haveAutoInc = false;
  uint32_t recordSize = 0;
  for (uint32_t i = 0; i < nFields; ++i) {
    const bool key = i < keyCount;
    FieldType t = FieldType::kAlpha;
    for (int tries = 0; tries < 20; ++tries) {
      t = key ? keyTypes[Uniform(r, 0, keyTypes.size() - 1)] : all[Uniform(r, 0, all.size() - 1)];
      if (t == FieldType::kAutoInc && (haveAutoInc || (key && i > 0))) continue;
      if (t == FieldType::kLogical && key && i == 0) continue;  // two values cannot key a table
      break;
    }
    if (t == FieldType::kAutoInc && (haveAutoInc || (key && i > 0))) t = FieldType::kShort;
    if (t == FieldType::kLogical && key && i == 0) t = FieldType::kShort;
    uint16_t size = DrawSize(r, t, key);
    if (recordSize + SizeOnDisk(t, size) > budget) {
      if (key) {
        keyCount = i;
        break;
      }
      continue;
    }
    haveAutoInc |= t == FieldType::kAutoInc;
    recordSize += SizeOnDisk(t, size);
    std::string name = "F" + std::to_string(i + 1);
    for (uint64_t k = 0, n = Uniform(r, 0, 8); k < n; ++k)
      name += char(Pick(r, {'a', 'e', 'n', 'r', 't', ' ', 'X', '_'}));
    while (name.back() == ' ') name.pop_back();
    s.fields.push_back({name, t, size});
  }
  if (s.fields.empty()) return false;
  s.keyFieldCount = uint16_t(std::min<size_t>(keyCount, s.fields.size()));

  // Secondary indexes: never on blob fields, nor led by the first key field.
  if (!o.huge && Chance(r, 0.35)) {
    std::vector<size_t> cand;
    for (size_t i = (s.keyFieldCount ? 1 : 0); i < s.fields.size(); ++i)
      if (!IsBlobType(s.fields[i].type)) cand.push_back(i);
    std::set<size_t> single;
    int xg = 0;
    for (uint64_t n = Uniform(r, 1, 2); n > 0 && !cand.empty(); --n) {
      SecondaryIndexDef def;
      if (int(s.level) >= int(TableLevel::k4) && Chance(r, 0.5)) {
        def.name = "ix" + std::to_string(xg++);
        std::vector<size_t> pool = cand;
        std::shuffle(pool.begin(), pool.end(), r);
        size_t m = Uniform(r, 1, std::min<size_t>(3, pool.size()));
        for (size_t j = 0; j < m; ++j) def.fields.push_back(s.fields[pool[j]].name);
        def.caseInsensitive = Chance(r, 0.4);
        if (s.level == TableLevel::k7) {
          def.descending = Chance(r, 0.3);
          // Only an autoincrement field is unique by construction.
          if (m == 1 && s.fields[pool[0]].type == FieldType::kAutoInc) def.unique = Chance(r, 0.5);
        }
      } else {
        size_t f = cand[Uniform(r, 0, cand.size() - 1)];
        if (!single.insert(f).second) continue;
        def.fields.push_back(s.fields[f].name);
      }
      s.secondaryIndexes.push_back(def);
    }
  }

  auto header = HeaderForSchema(s, "/sim/T.DB");
  if (!header.ok()) return false;
  const TableHeader& h = header.value();
  const uint32_t cap = BlockCapacity(s.blockSize, h.fixed.recordSize);
  if (cap == 0) return false;

  // How full the writer packs blocks, and how many records (table plus pool).
  uint32_t records, per;
  if (o.huge) {
    per = 1;
    records = uint32_t(Uniform(r, 33300, 34500));
  } else {
    uint32_t blocks = uint32_t(Uniform(r, o.minBlocks, o.maxBlocks));
    uint32_t maxPer = std::max<uint32_t>(1, std::min(cap, o.maxRecords / blocks));
    per = uint32_t(Chance(r, 0.4) ? maxPer : Uniform(r, std::max<uint32_t>(1, maxPer / 3), maxPer));
    records = (blocks - 1) * per + uint32_t(Uniform(r, 1, per));
  }
  WriteOptions& w = d->options;
  w = WriteOptions();
  w.sortInMemory = s.keyFieldCount > 0;
  w.recordsPerBlock = per;
  w.sync = false;
  w.fileUpdateTime = 1700000000u;

  // Records; keys distinct (by their stored bytes).
  d->rows.clear();
  std::set<Bytes> keys;
  const bool autoKey = s.keyFieldCount > 0 && h.fields[0].type == FieldType::kAutoInc;
  for (uint32_t n = 0; n < records; ++n) {
    std::vector<Value> row(h.fields.size());
    bool placed = false;
    for (int tries = 0; tries < 30 && !placed; ++tries) {
      Bytes key;
      for (size_t i = 0; i < h.fields.size(); ++i) {
        const bool isKey = i < s.keyFieldCount;
        if (!isKey && Chance(r, 0.1)) {
          row[i] = std::monostate{};
          continue;
        }
        row[i] = DrawValue(r, h.fields[i], isKey, d->alnumKeys, o.maxBlobBytes);
        if (isKey && !autoKey) {
          Bytes enc(h.fields[i].Size());
          if (!EncodeField(h.fields[i], row[i], enc).ok()) return false;
          key.insert(key.end(), enc.begin(), enc.end());
        }
      }
      placed = s.keyFieldCount == 0 || autoKey || keys.insert(key).second;
    }
    if (placed) d->rows.push_back(std::move(row));
  }
  return !d->rows.empty();
}

// ---------------------------------------------------------------------------
// The history: the moves an engine makes on the family's bytes.

class History {
 public:
  History(Rng& rng, MemFileSystem* fs, std::string db) : rng_(rng), fs_(fs), db_(std::move(db)) {}

  Status Load();
  // Deletes `n` random records; they become the pool later inserts draw from.
  void HoldBack(size_t n);
  void Live(size_t moves);
  // Writes the .DB back with every redundant field, and the indexes.
  Status Save(bool staleSecondary);
  void Fill(SimTable* t) const;
  std::string MoveSummary() const;
  size_t total() const { return total_; }

 private:
  struct Block {
    Bytes data;  // blockSize bytes, decrypted; the header bytes are written at Save()
    uint32_t count = 0;
  };
  uint8_t* Slot(uint16_t b, uint32_t i) { return blocks_[b].data.data() + 6 + size_t(i) * rs_; }
  const uint8_t* Slot(uint16_t b, uint32_t i) const {
    return blocks_[b].data.data() + 6 + size_t(i) * rs_;
  }
  Bytes RecordAt(uint16_t b, uint32_t i) const { return Bytes(Slot(b, i), Slot(b, i) + rs_); }
  int KeyCmp(const uint8_t* a, const uint8_t* b) const { return order_.Compare(a, b); }

  Bytes RemoveAt(uint16_t b, uint32_t i);
  void InsertAt(uint16_t b, uint32_t i, const Bytes& rec);
  void FreeBlock(uint16_t b);  // takes an emptied block out of the chain
  void PushFree(uint16_t b);
  uint16_t TakeBlock();  // 0 when the file is at 65535 blocks
  size_t ChainPos(uint16_t b) const;

  void DeleteRandom();
  void DeleteBlock();
  void Insert();
  void InsertUnkeyed(const Bytes& rec);
  bool InsertKeyed(const Bytes& rec);
  void Merge();
  void Relocate();
  void Reorder();

  Status WritePrimaryIndex(const std::string& px);
  Status WriteSecondary(const SecondaryFiles& sec);
  Status WriteIndexFile(const std::string& path, const std::vector<IndexEntry>& leaves,
                        int syncCount);

  Rng& rng_;
  MemFileSystem* fs_;
  std::string db_;
  TableHeader h_;
  Bytes head_;
  uint32_t hs_ = 0, bs_ = 0, rs_ = 0, cap_ = 0, key_ = 0;
  size_t keyLen_ = 0;
  KeyOrder order_;  // the engine keeps keys in its collation (bytes for one we do not know)
  bool keyed_ = false;
  std::vector<Block> blocks_;  // [0] unused
  std::vector<uint16_t> chain_;
  std::vector<uint16_t> free_;  // head first
  std::vector<Bytes> pool_;
  size_t total_ = 0;
  uint8_t changeCount_ = 0;
  std::map<std::string, int> moves_;
};

Status History::Load() {
  Bytes* f = fs_->Contents(db_);
  if (!f) return Status::NotFound(db_);
  auto h = DecodeTableHeader(*f);
  if (!h.ok()) return h.status();
  h_ = std::move(h).value();
  hs_ = h_.fixed.headerSize;
  bs_ = h_.BlockSize();
  rs_ = h_.fixed.recordSize;
  cap_ = BlockCapacity(bs_, rs_);
  key_ = h_.EncryptionKey();
  keyed_ = h_.IsKeyed();
  for (uint16_t i = 0; i < h_.fixed.primaryKeyFields; ++i) keyLen_ += h_.fields[i].Size();
  order_ = KeyOrder(h_, KeyOrder::Unknown::kBytes);
  head_.assign(f->begin(), f->begin() + hs_);
  const uint32_t n = h_.fixed.fileBlocks;
  if (f->size() < uint64_t(hs_) + uint64_t(n) * bs_)
    return Status::Corruption("writer left a short file");
  blocks_.assign(n + 1, Block());
  for (uint32_t k = 1; k <= n; ++k) {
    Block& b = blocks_[k];
    const uint64_t off = BlockOffset(hs_, bs_, k);
    b.data.assign(f->begin() + off, f->begin() + off + bs_);
    if (key_) DecryptBlock(key_, k, b.data);
    BlockHeader bh;
    bh.DecodeFrom(b.data.data());
    int c = bh.RecordCount(rs_, bs_);
    if (c < 0)
      return Status::Corruption("writer left block " + std::to_string(k) + " with a bad count");
    b.count = uint32_t(c);
    total_ += b.count;
  }
  for (uint16_t k = h_.fixed.firstBlock; k != 0 && chain_.size() < n;) {
    chain_.push_back(k);
    BlockHeader bh;
    bh.DecodeFrom(blocks_[k].data.data());
    k = bh.nextBlock;
  }
  if (chain_.size() != n || total_ != h_.fixed.numRecords)
    return Status::Corruption("writer's chain is not 1..n");
  changeCount_ = h_.fixed.changeCount1;
  return Status::OK();
}

size_t History::ChainPos(uint16_t b) const {
  return size_t(std::find(chain_.begin(), chain_.end(), b) - chain_.begin());
}

Bytes History::RemoveAt(uint16_t b, uint32_t i) {
  Block& k = blocks_[b];
  Bytes rec = RecordAt(b, i);
  // The gap closes; the old last slot keeps a stale copy, as the engine leaves it.
  std::memmove(Slot(b, i), Slot(b, i + 1), size_t(k.count - i - 1) * rs_);
  --k.count;
  --total_;
  if (k.count == 0) FreeBlock(b);
  return rec;
}

void History::InsertAt(uint16_t b, uint32_t i, const Bytes& rec) {
  Block& k = blocks_[b];
  std::memmove(Slot(b, i + 1), Slot(b, i), size_t(k.count - i) * rs_);
  std::memcpy(Slot(b, i), rec.data(), rs_);
  ++k.count;
  ++total_;
}

void History::PushFree(uint16_t b) {
  blocks_[b].count = 0;
  free_.insert(free_.begin(), b);
}

void History::FreeBlock(uint16_t b) {
  chain_.erase(chain_.begin() + long(ChainPos(b)));
  PushFree(b);
  ++moves_["free"];
}

uint16_t History::TakeBlock() {
  // Engines reuse the free list first; some programs only ever append.
  if (!free_.empty() && !Chance(rng_, 0.15)) {
    uint16_t b = free_.front();
    free_.erase(free_.begin());
    blocks_[b].count = 0;
    ++moves_["reuse"];
    return b;
  }
  if (blocks_.size() - 1 >= 65535) {
    if (free_.empty()) return 0;
    uint16_t b = free_.front();
    free_.erase(free_.begin());
    return b;
  }
  blocks_.push_back(Block{Bytes(bs_, 0), 0});
  ++moves_["append"];
  return uint16_t(blocks_.size() - 1);
}

void History::DeleteRandom() {
  if (total_ <= 1) return;
  uint64_t n = Uniform(rng_, 0, total_ - 1);
  for (uint16_t b : chain_) {
    if (n < blocks_[b].count) {
      pool_.push_back(RemoveAt(b, uint32_t(n)));
      ++moves_["delete"];
      return;
    }
    n -= blocks_[b].count;
  }
}

void History::DeleteBlock() {
  if (chain_.size() < 2) return;
  uint16_t b = chain_[Uniform(rng_, 0, chain_.size() - 1)];
  if (total_ <= blocks_[b].count) return;
  while (blocks_[b].count > 0)
    pool_.push_back(RemoveAt(b, uint32_t(Uniform(rng_, 0, blocks_[b].count - 1))));
  ++moves_["empty-block"];
}

void History::Insert() {
  if (pool_.empty()) return;
  size_t i = Uniform(rng_, 0, pool_.size() - 1);
  Bytes rec = std::move(pool_[i]);
  pool_[i] = std::move(pool_.back());
  pool_.pop_back();
  bool done = true;
  if (keyed_)
    done = InsertKeyed(rec);
  else
    InsertUnkeyed(rec);
  if (!done)
    pool_.push_back(std::move(rec));
  else
    ++moves_["insert"];
}

void History::InsertUnkeyed(const Bytes& rec) {
  uint16_t target = 0;
  double u = std::uniform_real_distribution<double>(0, 1)(rng_);
  if (u < 0.55) {
    target = chain_.back();
  } else if (u < 0.8) {
    std::vector<uint16_t> room;
    for (uint16_t b : chain_)
      if (blocks_[b].count < cap_) room.push_back(b);
    if (!room.empty()) target = room[Uniform(rng_, 0, room.size() - 1)];
  }
  if (target && blocks_[target].count >= cap_) target = 0;
  if (!target) {
    target = TakeBlock();
    if (!target) {
      pool_.push_back(rec);
      return;
    }
    // A new block goes at the end, or (programs that keep the newest first) ahead of
    // the chain, or beside a block of the same kind of rows.
    double v = std::uniform_real_distribution<double>(0, 1)(rng_);
    if (v < 0.55)
      chain_.push_back(target);
    else if (v < 0.8)
      chain_.insert(chain_.begin(), target);
    else
      chain_.insert(chain_.begin() + long(Uniform(rng_, 0, chain_.size())), target);
  }
  uint32_t c = blocks_[target].count;
  InsertAt(target, Chance(rng_, 0.7) ? c : uint32_t(Uniform(rng_, 0, c)), rec);
}

bool History::InsertKeyed(const Bytes& rec) {
  // The block whose first key is the last one not above the new key (else the first).
  size_t p = 0;
  for (size_t q = 0; q < chain_.size(); ++q) {
    if (KeyCmp(Slot(chain_[q], 0), rec.data()) <= 0)
      p = q;
    else
      break;
  }
  const uint16_t b = chain_[p];
  const uint32_t count = blocks_[b].count;
  uint32_t idx = 0;
  while (idx < count && KeyCmp(Slot(b, idx), rec.data()) < 0) ++idx;
  if (count < cap_) {
    InsertAt(b, idx, rec);
    return true;
  }
  const uint16_t nb = TakeBlock();
  if (!nb) return false;
  if (p + 1 == chain_.size() && idx == count) {
    // Past the end of the last block: a fresh block instead of a split.
    chain_.push_back(nb);
    InsertAt(nb, 0, rec);
    return true;
  }
  std::vector<Bytes> all;
  for (uint32_t i = 0; i < count; ++i) all.push_back(RecordAt(b, i));
  all.insert(all.begin() + idx, rec);
  const uint32_t keep = uint32_t(all.size() + 1) / 2;
  // The lower half stays; the slots past it keep stale copies of the moved records.
  for (uint32_t i = 0; i < keep; ++i) std::memcpy(Slot(b, i), all[i].data(), rs_);
  blocks_[b].count = keep;
  for (uint32_t i = keep; i < all.size(); ++i) std::memcpy(Slot(nb, i - keep), all[i].data(), rs_);
  blocks_[nb].count = uint32_t(all.size()) - keep;
  chain_.insert(chain_.begin() + long(p + 1), nb);
  ++total_;
  ++moves_["split"];
  return true;
}

void History::Merge() {
  if (chain_.size() < 2) return;
  for (int tries = 0; tries < 4; ++tries) {
    size_t p = Uniform(rng_, 0, chain_.size() - 2);
    uint16_t a = chain_[p], b = chain_[p + 1];
    uint32_t ca = blocks_[a].count, cb = blocks_[b].count;
    if (ca + cb > cap_) continue;
    if (Chance(rng_, 0.5)) {
      std::memcpy(Slot(a, ca), Slot(b, 0), size_t(cb) * rs_);
      blocks_[a].count += cb;
      blocks_[b].count = 0;
      FreeBlock(b);
    } else {
      std::memmove(Slot(b, ca), Slot(b, 0), size_t(cb) * rs_);
      std::memcpy(Slot(b, 0), Slot(a, 0), size_t(ca) * rs_);
      blocks_[b].count += ca;
      blocks_[a].count = 0;
      FreeBlock(a);
    }
    ++moves_["merge"];
    return;
  }
}

void History::Relocate() {
  size_t p = Uniform(rng_, 0, chain_.size() - 1);
  uint16_t a = chain_[p];
  uint16_t nb = TakeBlock();
  if (!nb) return;
  std::memcpy(Slot(nb, 0), Slot(a, 0), size_t(blocks_[a].count) * rs_);
  blocks_[nb].count = blocks_[a].count;
  chain_[p] = nb;
  PushFree(a);
  ++moves_["move"];
}

void History::Reorder() {
  if (keyed_ || chain_.size() < 2) return;
  if (Chance(rng_, 0.5))
    std::reverse(chain_.begin(), chain_.end());
  else
    std::shuffle(chain_.begin(), chain_.end(), rng_);
  ++moves_["reorder"];
}

void History::HoldBack(size_t n) {
  for (size_t i = 0; i < n && total_ > 1; ++i) DeleteRandom();
}

void History::Live(size_t moves) {
  for (size_t m = 0; m < moves; ++m) {
    uint64_t w = Uniform(rng_, 0, 99);
    if (w < 30)
      DeleteRandom();
    else if (w < 68)
      Insert();
    else if (w < 73)
      DeleteBlock();
    else if (w < 84)
      Merge();
    else if (w < 97)
      Relocate();
    else
      Reorder();
  }
}

std::string History::MoveSummary() const {
  std::string s;
  for (const auto& [k, v] : moves_) s += (s.empty() ? "" : " ") + k + "=" + std::to_string(v);
  return s;
}

Status History::WriteIndexFile(const std::string& path, const std::vector<IndexEntry>& leaves,
                               int syncCount) {
  Bytes* f = fs_->Contents(path);
  if (!f) return Status::NotFound(path);
  auto h = DecodeTableHeader(*f);
  if (!h.ok()) return h.status();
  const uint32_t hs = h->fixed.headerSize, bs = h->BlockSize();
  auto built = BuildIndexBlocks(leaves, h->fixed.recordSize - 6u, bs);
  if (!built.ok()) return built.status();
  const uint16_t nb = uint16_t(built->blocks.size());
  Bytes out(f->begin(), f->begin() + hs);
  PutU32(out, 0x06, built->totalEntries);
  PutU16(out, 0x0A, nb);
  PutU16(out, 0x0C, nb);
  PutU16(out, 0x0E, nb ? 1 : 0);
  PutU16(out, 0x10, nb);
  PutU16(out, 0x1E, built->root);
  out[0x20] = built->levels;
  PutU16(out, 0x3A, nb);
  if (syncCount >= 0) out[0x2C] = uint8_t(syncCount);
  for (const Bytes& b : built->blocks) out.insert(out.end(), b.begin(), b.end());
  fs_->SetContents(path, std::move(out));
  return Status::OK();
}

Status History::WritePrimaryIndex(const std::string& px) {
  std::vector<IndexEntry> leaves;
  for (uint16_t b : chain_) {
    IndexEntry e;
    e.key.assign(Slot(b, 0), Slot(b, 0) + keyLen_);
    e.child = b;
    e.count = uint16_t(blocks_[b].count);
    leaves.push_back(std::move(e));
  }
  return WriteIndexFile(px, leaves, changeCount_);
}

// A maintained index follows every change; so does a non-maintained one the engine has
// just used. Rows sort as the engine sorts them (KeyOrder of the X file), the alpha keys
// of a case-insensitive index upper-cased by the driver.
Status History::WriteSecondary(const SecondaryFiles& sec) {
  Bytes* xf = fs_->Contents(sec.x);
  if (!xf) return Status::NotFound(sec.x);
  auto xh = DecodeTableHeader(*xf);
  if (!xh.ok()) return xh.status();
  auto info = SecondaryIndexFromHeader(*xh, h_.fixed.primaryKeyFields);
  if (!info.ok()) return info.status();
  // Level 3 X files store no field numbers (they read as positions); 0x15 names the
  // one indexed field.
  if (!xh->hasExtension) info->dbFields = {xh->fixed.indexFieldNumber};
  const uint32_t xhs = xh->fixed.headerSize, xbs = xh->BlockSize(), xrs = xh->fixed.recordSize;
  struct Row {
    Bytes sortKey, record;
  };
  const KeyOrder xOrder(*xh, KeyOrder::Unknown::kBytes);
  const Collation* fold = Collation::ForHeader(h_);
  if (!fold) fold = &Collation::ByteOrder();
  std::vector<Row> rows;
  int32_t ordinal = 0;
  for (uint16_t b : chain_) {
    for (uint32_t i = 0; i < blocks_[b].count; ++i) {
      const uint8_t* rec = Slot(b, i);
      Row row;
      row.record.assign(xrs, 0);
      size_t pos = 0;
      for (size_t j = 0; j < info->dbFields.size(); ++j) {
        const FieldDesc& f = h_.fields[info->dbFields[j] - 1];
        std::memcpy(row.record.data() + pos, rec + f.offset, f.Size());
        if (info->caseInsensitive && f.type == FieldType::kAlpha)
          fold->FoldUpper(MutableByteSpan(row.record.data() + pos, f.Size()));
        pos += f.Size();
      }
      ++ordinal;
      if (keyed_) {
        std::memcpy(row.record.data() + pos, rec, keyLen_);
        EncodeInt16(int16_t(b), row.record.data() + pos + keyLen_);
      } else {
        EncodeInt32(ordinal, row.record.data() + pos);
        EncodeInt16(int16_t(b), row.record.data() + pos + 4);
        EncodeInt16(int16_t(i), row.record.data() + pos + 6);
      }
      xOrder.AppendSortKey(row.record.data(), &row.sortKey);
      rows.push_back(std::move(row));
    }
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.sortKey < b.sortKey; });
  const uint32_t cap = BlockCapacity(xbs, xrs);
  const uint32_t nb = uint32_t((rows.size() + cap - 1) / cap);
  Bytes out(xf->begin(), xf->begin() + xhs);
  std::vector<IndexEntry> leaves;
  const uint32_t xkey = xh->EncryptionKey();
  for (uint32_t k = 1; k <= nb; ++k) {
    Bytes blk(xbs, 0);
    const size_t from = size_t(k - 1) * cap, to = std::min(rows.size(), from + cap);
    BlockHeader bh;
    bh.nextBlock = uint16_t(k < nb ? k + 1 : 0);
    bh.prevBlock = uint16_t(k - 1);
    bh.addDataSize = BlockHeader::AddDataSizeFor(int(to - from), xrs);
    bh.EncodeTo(blk.data());
    for (size_t i = from; i < to; ++i)
      std::memcpy(blk.data() + 6 + (i - from) * xrs, rows[i].record.data(), xrs);
    IndexEntry e;
    e.key.assign(rows[from].record.begin(), rows[from].record.begin() + (xrs - 2));
    e.child = uint16_t(k);
    e.count = uint16_t(to - from);
    leaves.push_back(std::move(e));
    if (xkey) EncryptBlock(xkey, k, blk);
    out.insert(out.end(), blk.begin(), blk.end());
  }
  PutU32(out, 0x06, uint32_t(rows.size()));
  PutU16(out, 0x0A, uint16_t(nb));
  PutU16(out, 0x0C, uint16_t(nb));
  PutU16(out, 0x0E, nb ? 1 : 0);
  PutU16(out, 0x10, uint16_t(nb));
  PutU16(out, 0x3A, uint16_t(nb));
  out[0x2F] = changeCount_;
  fs_->SetContents(sec.x, std::move(out));
  if (sec.y.empty()) return Status::OK();
  return WriteIndexFile(sec.y, leaves, -1);
}

Status History::Save(bool staleSecondary) {
  const uint32_t n = uint32_t(blocks_.size() - 1);
  for (size_t p = 0; p < chain_.size(); ++p) {
    BlockHeader bh;
    bh.nextBlock = p + 1 < chain_.size() ? chain_[p + 1] : 0;
    bh.prevBlock = p ? chain_[p - 1] : 0;
    bh.addDataSize = BlockHeader::AddDataSizeFor(int(blocks_[chain_[p]].count), rs_);
    bh.EncodeTo(blocks_[chain_[p]].data.data());
  }
  for (size_t i = 0; i < free_.size(); ++i) {
    // A free block keeps its stale previous-block word.
    BlockHeader bh;
    bh.DecodeFrom(blocks_[free_[i]].data.data());
    bh.nextBlock = i + 1 < free_.size() ? free_[i + 1] : 0;
    bh.addDataSize = int16_t(-int(rs_));
    bh.EncodeTo(blocks_[free_[i]].data.data());
  }
  ++changeCount_;
  Bytes out = head_;
  PutU32(out, 0x06, uint32_t(total_));
  PutU16(out, 0x0A, uint16_t(chain_.size()));
  PutU16(out, 0x0C, uint16_t(n));
  PutU16(out, 0x0E, chain_.front());
  PutU16(out, 0x10, chain_.back());
  PutU16(out, 0x3A, uint16_t(n));
  PutU16(out, 0x4D, free_.empty() ? 0 : free_.front());
  out[0x2D] = changeCount_;
  out.reserve(out.size() + size_t(n) * bs_);
  for (uint32_t k = 1; k <= n; ++k) {
    Bytes blk = blocks_[k].data;
    if (key_) EncryptBlock(key_, k, blk);
    out.insert(out.end(), blk.begin(), blk.end());
  }
  auto h = DecodeTableHeader(ByteSpan(out.data(), hs_));
  if (!h.ok()) return h.status();
  h_ = std::move(h).value();
  fs_->SetContents(db_, std::move(out));

  auto fam = FindFamily(fs_, db_);
  if (!fam.ok()) return fam.status();
  if (keyed_ && !fam->px.empty()) PARADOX_RETURN_IF_ERROR(WritePrimaryIndex(fam->px));
  for (const SecondaryFiles& sec : fam->secondary) {
    if (sec.x.empty()) continue;
    auto xh = ReadHeader(fs_, sec.x);
    if (!xh.ok()) return xh.status();
    const bool maintained = xh->fixed.fileType == 5 || xh->fixed.fileType == 8;
    if (maintained || !staleSecondary) PARADOX_RETURN_IF_ERROR(WriteSecondary(sec));
  }
  return Status::OK();
}

void History::Fill(SimTable* t) const {
  t->header = h_;
  t->keyed = keyed_;
  t->encrypted = key_ != 0;
  t->chain = chain_;
  t->freeList = free_;
  t->fileBlocks = uint32_t(blocks_.size() - 1);
  t->live.assign(blocks_.size(), {});
  for (uint16_t b : chain_)
    for (uint32_t i = 0; i < blocks_[b].count; ++i)
      t->live[b].push_back(SimRecord{RecordAt(b, i), {}, {}});
}

// ---------------------------------------------------------------------------
// Canonical records.

void Canonicalize(const TableHeader& h, ByteSpan raw, BlobFile* mb, Bytes* full, Bytes* plain,
                  bool* inMb) {
  full->clear();
  plain->clear();
  for (const FieldDesc& f : h.fields) {
    if (f.offset + f.Size() > raw.size()) break;
    const uint8_t* p = raw.data() + f.offset;
    if (!IsBlobType(f.type)) {
      full->insert(full->end(), p, p + f.Size());
      plain->insert(plain->end(), p, p + f.Size());
      continue;
    }
    BlobRef ref;
    ref.leader.assign(p, p + f.LeaderSize());
    ref.pointer.DecodeFrom(p + f.LeaderSize());
    Bytes value;
    if (ref.pointer.length > 0 && ref.InLeader()) {
      value.assign(ref.leader.begin(), ref.leader.begin() + ref.pointer.length);
    } else if (ref.pointer.length > 0) {
      if (inMb) *inMb = true;
      auto v = mb ? mb->Read(ref) : Result<Bytes>(Status::NotFound("no blob file"));
      value = v.ok() ? std::move(v).value() : Bytes{'?', '?'};
    }
    uint8_t len[4];
    EncodeU32(len, uint32_t(value.size()));
    full->insert(full->end(), len, len + 4);
    full->insert(full->end(), value.begin(), value.end());
  }
}

std::unique_ptr<BlobFile> OpenBlobs(FileSystem* fs, const std::string& db, uint32_t key) {
  auto fam = FindFamily(fs, db);
  if (!fam.ok() || fam->mb.empty()) return nullptr;
  auto mb = BlobFile::Open(fs, fam->mb, key);
  return mb.ok() ? std::move(mb).value() : nullptr;
}

std::string Describe(const SimTable& t, const Draw& d, const std::string& moves) {
  const TableSchema& s = d.schema;
  std::string out = "seed " + std::to_string(t.seed) + ": level " + LevelName(s.level) + ", " +
                    std::to_string(s.blockSize / 1024) + "K blocks, ";
  out += t.keyed ? "keyed(" + std::to_string(s.keyFieldCount) + ")" : std::string("unkeyed");
  out += " [";
  for (const FieldDesc& f : t.header.fields) out += FieldTypeLetter(f.type);
  out += "] rs " + std::to_string(t.header.fixed.recordSize) + ", sort " +
         (t.header.sortOrderId.empty() ? std::to_string(t.header.fixed.sortOrder)
                                       : t.header.sortOrderId);
  if (t.encrypted) out += ", encrypted";
  if (t.secondaryIndexes)
    out += ", " + std::to_string(t.secondaryIndexes) + " secondary" +
           (t.staleSecondary ? " (stale)" : "");
  if (t.blobsInMb) out += ", .MB";
  out += "; " + std::to_string(t.RecordCount()) + " records, chain " + Join(t.chain, 12, ">");
  out += ", free " + (t.freeList.empty() ? std::string("-") : Join(t.freeList, 8, ">"));
  out += " of " + std::to_string(t.fileBlocks) + "; moves: " + moves;
  return out;
}

}  // namespace

size_t SimTable::RecordCount() const {
  size_t n = 0;
  for (const auto& b : live) n += b.size();
  return n;
}

std::vector<Bytes> SimTable::Full() const {
  std::vector<Bytes> v;
  for (uint16_t b : chain)
    for (const SimRecord& r : live[b]) v.push_back(r.full);
  return v;
}

std::vector<Bytes> SimTable::Plain() const {
  std::vector<Bytes> v;
  for (uint16_t b : chain)
    for (const SimRecord& r : live[b]) v.push_back(r.plain);
  return v;
}

Result<SimTable> Simulate(uint64_t seed, const SimOptions& o) {
  Rng rng(seed);
  Draw d;
  bool drawn = false;
  for (int tries = 0; tries < 50 && !drawn; ++tries) drawn = DrawTable(rng, o, &d);
  if (!drawn) return Status::InvalidArgument("no schema the writer takes after 50 draws");
  SimTable t;
  t.seed = seed;
  t.fs = std::make_unique<MemFileSystem>();
  t.db = "/sim/T" + std::to_string(seed % 1000000) + ".DB";
  PARADOX_RETURN_IF_ERROR(t.fs->MakeDir("/sim"));
  Status st = WriteTable(t.fs.get(), t.db, d.schema, d.rows, d.options);
  if (!st.ok()) return Status::InvalidArgument("writer refused the draw: " + st.ToString());

  History h(rng, t.fs.get(), t.db);
  PARADOX_RETURN_IF_ERROR(h.Load());
  const size_t written = h.total();
  h.HoldBack(o.huge ? size_t(Uniform(rng, 100, 300)) : size_t(Uniform(rng, 0, written * 3 / 10)));
  h.Live(o.huge ? 400 : size_t(Uniform(rng, written, written * o.movesPerRecord + 4)));
  t.secondaryIndexes = d.schema.secondaryIndexes.size();
  for (const SecondaryIndexDef& x : d.schema.secondaryIndexes) t.uniqueIndex |= x.unique;
  t.staleSecondary = t.secondaryIndexes && d.schema.keyFieldCount == 0 && Chance(rng, 0.5);
  PARADOX_RETURN_IF_ERROR(h.Save(t.staleSecondary));
  h.Fill(&t);

  std::unique_ptr<BlobFile> mb = OpenBlobs(t.fs.get(), t.db, t.header.EncryptionKey());
  for (auto& block : t.live)
    for (SimRecord& r : block)
      Canonicalize(t.header, r.raw, mb.get(), &r.full, &r.plain, &t.blobsInMb);
  t.description = Describe(t, d, h.MoveSummary());
  return t;
}

Result<std::vector<Bytes>> ReadCanonical(FileSystem* fs, const std::string& db,
                                         bool withBlobValues) {
  auto r = TableReader::Open(fs, db);
  if (!r.ok()) return r.status();
  const TableHeader& h = (*r)->header();
  std::unique_ptr<BlobFile> mb = OpenBlobs(fs, db, h.EncryptionKey());
  std::vector<Bytes> out;
  auto cur = (*r)->Records();
  Bytes full, plain;
  while (cur.Next()) {
    Canonicalize(h, cur.record().bytes, mb.get(), &full, &plain, nullptr);
    out.push_back(withBlobValues ? full : plain);
  }
  if (!cur.status().ok()) return cur.status();
  return out;
}

std::string SelfCheck(const SimTable& t) {
  const Bytes* f = t.fs->Contents(t.db);
  if (!f) return "no .DB";
  auto h = DecodeTableHeader(*f);
  if (!h.ok()) return "header: " + h.status().ToString();
  const uint32_t hs = h->fixed.headerSize, bs = h->BlockSize(), rs = h->fixed.recordSize,
                 key = h->EncryptionKey();
  const uint32_t n = h->fixed.fileBlocks;
  if (n != t.fileBlocks || h->fixed.maxBlocks != n)
    return "0x0C/0x3A is not " + std::to_string(t.fileBlocks);
  if (f->size() != uint64_t(hs) + uint64_t(n) * bs) return "file size " + std::to_string(f->size());
  auto block = [&](uint32_t k, BlockHeader* bh) {
    Bytes b(f->begin() + long(BlockOffset(hs, bs, k)),
            f->begin() + long(BlockOffset(hs, bs, k) + bs));
    if (key) DecryptBlock(key, k, b);
    bh->DecodeFrom(b.data());
    return b;
  };
  std::vector<int> seen(n + 1, 0);
  uint32_t prev = 0, records = 0;
  std::vector<uint16_t> chain;
  for (uint32_t k = h->fixed.firstBlock; k != 0;) {
    if (k > n || seen[k]++)
      return "chain reaches block " + std::to_string(k) + " out of range or twice";
    BlockHeader bh;
    Bytes b = block(k, &bh);
    if (bh.prevBlock != prev)
      return "block " + std::to_string(k) + " prev " + std::to_string(bh.prevBlock);
    int c = bh.RecordCount(rs, bs);
    if (c <= 0 || size_t(c) != t.live[k].size())
      return "block " + std::to_string(k) + " count " + std::to_string(c);
    for (int i = 0; i < c; ++i)
      if (!std::equal(t.live[k][i].raw.begin(), t.live[k][i].raw.end(),
                      b.begin() + 6 + long(i) * rs))
        return "block " + std::to_string(k) + " record " + std::to_string(i) + " differs";
    records += uint32_t(c);
    chain.push_back(uint16_t(k));
    prev = k;
    k = bh.nextBlock;
  }
  if (chain != t.chain) return "chain differs from the ground truth";
  if (h->fixed.blocksInUse != chain.size() || h->fixed.lastBlock != chain.back())
    return "0x0A/0x10 wrong";
  if (h->fixed.numRecords != records || records != t.RecordCount()) return "0x06 wrong";
  std::vector<uint16_t> freeList;
  for (uint32_t k = h->fixed.firstFreeBlock; k != 0;) {
    if (k > n || seen[k]++)
      return "free list reaches block " + std::to_string(k) + " out of range or twice";
    BlockHeader bh;
    block(k, &bh);
    if (bh.addDataSize != -int(rs))
      return "free block " + std::to_string(k) + " addDataSize " + std::to_string(bh.addDataSize);
    freeList.push_back(uint16_t(k));
    k = bh.nextBlock;
  }
  if (freeList != t.freeList) return "free list differs from the ground truth";
  if (chain.size() + freeList.size() != n) return "blocks in neither list";
  return "";
}

bool ReadWithPxlib(const SimTable& t, std::vector<Bytes>* records, std::string* why) {
#ifdef REKASTO_HAVE_PXLIB
  static bool booted = (PX_boot(), true);
  (void)booted;
  std::string dir = (std::filesystem::temp_directory_path() / "simpx_XXXXXX").string();
  if (!mkdtemp(dir.data())) {
    *why = "no scratch folder";
    return false;
  }
  auto fam = FindFamily(t.fs.get(), t.db);
  bool ok = fam.ok();
  for (const std::string& m : ok ? fam->AllMembers() : std::vector<std::string>{}) {
    const Bytes* b = t.fs->Contents(m);
    ok = ok && b && DefaultFileSystem()->WriteFile(PathJoin(dir, PathBaseName(m)), *b, false).ok();
  }
  std::string path = PathJoin(dir, PathBaseName(t.db));
  pxdoc_t* doc = ok ? PX_new3(
                          [](pxdoc_t*, int, const char* msg, void* data) {
                            if (data) *static_cast<std::string*>(data) += msg;
                          },
                          nullptr, nullptr, nullptr, why)
                    : nullptr;
  ok = doc && PX_open_file(doc, path.c_str()) == 0;
  if (ok) {
    int n = PX_get_num_records(doc);
    int size = doc->px_head->px_recordsize;
    std::vector<char> buf(size_t(size > 0 ? size : 1));
    for (int i = 0; i < n && ok; ++i) {
      if (!PX_get_record(doc, i, buf.data())) {
        *why += "record " + std::to_string(i) + " unreadable";
        ok = false;
      } else {
        records->emplace_back(buf.begin(), buf.end());
      }
    }
    PX_close(doc);
  } else if (why->empty()) {
    *why = "cannot open";
  }
  if (doc) PX_delete(doc);
  std::filesystem::remove_all(dir);
  return ok;
#else
  (void)t;
  (void)records;
  *why = "pxlib not available";
  return false;
#endif
}

}  // namespace paradox::sim
