#include "paradox/format/writer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <tuple>
#include <unordered_set>

#include "paradox/format/codepage.h"
#include "paradox/format/collation.h"
#include "paradox/format/crypt.h"
#include "paradox/format/family.h"
#include "paradox/format/schema_header.h"
#include "paradox/format/sorted_rows.h"

namespace paradox {

namespace {

// A data-file stream: packs records into blocks and writes each full block.
struct BlockStream {
  File* file = nullptr;
  std::string name;  // file name, for errors
  uint32_t headerSize = 0, blockSize = 0, recordSize = 0, perBlock = 0, key = 0;
  Bytes block;
  uint32_t inBlock = 0;
  uint32_t blocks = 0;  // blocks written or in progress
  std::vector<IndexEntry> leaves;
  size_t keyLength = 0;  // bytes of the record prefix that form the index key

  void Init(File* f, std::string fileName, uint32_t hs, uint32_t bs, uint32_t rs, uint32_t per,
            uint32_t k, size_t keyLen) {
    file = f;
    name = std::move(fileName);
    headerSize = hs;
    blockSize = bs;
    recordSize = rs;
    key = k;
    keyLength = keyLen;
    uint32_t cap = BlockCapacity(bs, rs);
    perBlock = per == 0 || per > cap ? cap : per;
  }
  // Current block number the next record lands in.
  uint32_t NextBlockNumber() const {
    return inBlock == 0 || inBlock >= perBlock ? blocks + 1 : blocks;
  }
  Status Add(ByteSpan rec, uint32_t* blockNo, uint32_t* slot) {
    if (inBlock == perBlock) PARADOX_RETURN_IF_ERROR(FlushBlock(false));
    if (inBlock == 0) {
      // Block numbers and counts are 16-bit words.
      if (blocks >= 65535)
        return Status::InvalidArgument(
            name + " would need more than 65535 blocks; use a larger block size");
      ++blocks;
      block.assign(blockSize, 0);
      IndexEntry e;
      e.key.assign(rec.begin(), rec.begin() + static_cast<long>(keyLength));
      e.child = static_cast<uint16_t>(blocks);
      leaves.push_back(e);
    }
    std::memcpy(block.data() + 6 + size_t(inBlock) * recordSize, rec.data(), recordSize);
    *blockNo = blocks;
    *slot = inBlock;
    ++inBlock;
    leaves.back().count = static_cast<uint16_t>(inBlock);
    return Status::OK();
  }
  Status FlushBlock(bool last) {
    if (inBlock == 0) return Status::OK();
    BlockHeader bh;
    bh.nextBlock = static_cast<uint16_t>(last ? 0 : blocks + 1);
    bh.prevBlock = static_cast<uint16_t>(blocks - 1);
    bh.addDataSize = BlockHeader::AddDataSizeFor(static_cast<int>(inBlock), recordSize);
    bh.EncodeTo(block.data());
    if (key) EncryptBlock(key, blocks, block);
    PARADOX_RETURN_IF_ERROR(file->WriteAt(BlockOffset(headerSize, blockSize, blocks), block));
    inBlock = 0;
    return Status::OK();
  }
};

}  // namespace

// The upper case of a table's driver; "ascii"'s (a-z) when the driver is not known.
static const Collation* FoldingCollation(const TableHeader& h) {
  const Collation* c = Collation::ForHeader(h);
  return c ? c : &Collation::ByteOrder();
}

struct TableWriter::Impl {
  FileSystem* fs = nullptr;
  std::string dbPath;
  TableSchema schema;
  WriteOptions options;
  std::unique_ptr<File> db;
  std::unique_ptr<BlobWriter> mb;
  std::string mbPath;
  BlockStream stream;
  size_t keyLength = 0;
  KeyOrder order;  // the table's collation; byte order when it is not known
  Bytes lastKey;
  bool haveLast = false;
  // keepGivenOrder: the keys since the last run of givenRows (refused as they come),
  // and all keys with their record numbers, sorted to find repeats across runs.
  std::unordered_set<std::string> givenKeys;
  std::unique_ptr<SortedRows> givenRows;
  Bytes givenRow;
  uint32_t runNumber = 0;  // of the next temporary run file, shared by every sorter
  std::vector<Bytes> buffered;
  Bytes record;  // the record AddRawRecord is working on
  uint32_t autoInc = 0;
  int autoIncField = -1;
  bool failed = false;
  bool finished = false;
  bool blobsResolved = false;  // AddRecord already stored the blobs
  std::vector<std::string> files;

  // A blob value as the record holds it: in the leader when it fits, else in the .MB
  // with the leader holding its first bytes (past the 8-byte prefix of graphic and
  // OLE values). `data` is not empty.
  Result<BlobRef> StoreBlob(const FieldDesc& f, ByteSpan data) {
    BlobRef ref;
    const size_t leader = f.LeaderSize();
    if (data.size() <= leader) {
      ref.leader.assign(data.begin(), data.end());
      ref.pointer.length = static_cast<uint32_t>(data.size());
      return ref;
    }
    if (!mb) return Status::InvalidArgument("no blob file");
    auto p = mb->Add(data);
    if (!p.ok()) return Failing(p.status());
    ref.pointer = p.value();
    ByteSpan lead = data;
    if ((f.type == FieldType::kGraphic || f.type == FieldType::kOle) && lead.size() > 8)
      lead = lead.subspan(8);
    ref.leader.assign(lead.begin(),
                      lead.begin() + static_cast<long>(std::min(leader, lead.size())));
    return ref;
  }

  // A blob value stored and its field encoded into `out`; an empty value leaves `out` as
  // it is.
  Status PutBlob(const FieldDesc& f, ByteSpan data, MutableByteSpan out) {
    if (data.empty()) return Status::OK();
    auto ref = StoreBlob(f, data);
    if (!ref.ok()) return ref.status();
    return EncodeField(f, Value(std::move(ref).value()), out);
  }

  // `st`; a failure of a file or sorter leaves the writer unusable.
  Status Failing(Status st) {
    if (!st.ok()) failed = true;
    return st;
  }

  // The steps of Create.
  void TakeHeader(TableHeader* hd);
  Status AddSecondary(const TableHeader& hd, const SecondaryIndexDef& def, int* xgCount);
  void MakeSorters();
  Status OpenFiles(const TableHeader& hd);

  // The steps of AddRawRecord, on `record`; `recordNumber` is 1-based.
  Status ResolveBlobs(const TableHeader& hd, const std::vector<BlobData>& blobs);
  void NoteAutoInc(const TableHeader& hd);
  Status CheckKey(uint64_t recordNumber);
  Status AddIndexRows(const TableHeader& hd, uint32_t blockNo, uint32_t slot,
                      uint64_t recordNumber);

  struct Secondary {
    SecondaryIndexDef def;
    std::vector<int> fields;  // DB field indexes
    bool composite = false;
    std::string tag;  // "X03" / "XG0"
    TableHeader xHeader;
    KeyOrder order;
    const Collation* fold = nullptr;  // case-insensitive: the driver's upper case
    // The rows (X records, xHeader.fixed.recordSize bytes each) in the order of
    // their sort keys (KeyOrder of the X file), in bounded memory; row: the one being made.
    std::unique_ptr<SortedRows> rows;
    Bytes row;
  };
  std::vector<Secondary> secondary;

  // A sorter of rows whose runs go beside the table (or to spillDir), with a share of
  // indexMemory.
  SortedRows::Options RunOptions(std::string what, size_t share) {
    SortedRows::Options o;
    o.fs = fs;
    const std::string dir = options.spillDir.empty() ? PathDirName(dbPath) : options.spillDir;
    o.runStem = PathJoin(dir, PathStem(dbPath));
    o.runNumber = &runNumber;
    o.what = std::move(what);
    o.memory = share;
    // One merge at a time reads each run in chunks of this size; with the default
    // budget, up to 64 runs fit into half of it.
    o.readBuffer = std::clamp<size_t>(options.indexMemory / 128, size_t{64} << 10, size_t{1} << 20);
    o.encryptionKey = schema.encryptionKey;
    o.expectedRows = options.expectedRecords;
    return o;
  }
  void RemoveRuns() {
    for (auto& sx : secondary)
      if (sx.rows) sx.rows->RemoveRuns();
    if (givenRows) givenRows->RemoveRuns();
  }
};

namespace {

// What the writer does not understand of the original header is kept as it was.
void KeepFromBaseHeader(const TableHeader& base, TableHeader* hd) {
  auto kept = [](auto& f) {
    return std::tie(f.unknown12, f.unknown2B, f.changeCount1, f.changeCount2, f.unknown3C,
                    f.auxPasswords, f.unknown3E, f.unknown3F, f.cryptInfoStart, f.cryptInfoEnd,
                    f.ramPtr16, f.ramPtr1A, f.autoInc);
  };
  kept(hd->fixed) = kept(base.fixed);
  if (base.hasExtension && hd->hasExtension) {
    hd->ext.hiFieldId = std::max(hd->ext.hiFieldId, base.ext.hiFieldId);
    hd->ext.unknown6C = base.ext.unknown6C;
    hd->ext.unknown6D = base.ext.unknown6D;
  }
  if (base.fixed.headerSize > hd->fixed.headerSize &&
      base.fixed.headerSize >= ComputeVariableEnd(*hd))
    hd->fixed.headerSize = base.fixed.headerSize;
}

// The header of a secondary index's X file: the indexed fields, then the table's key
// and the block number (keyed tables) or the record's place (unkeyed ones).
Result<TableHeader> SecondaryHeader(const TableHeader& hd, const TableSchema& schema,
                                    const SecondaryIndexDef& def, const std::vector<int>& fields,
                                    bool composite) {
  TableHeader x;
  FixedHeader& xf = x.fixed;
  const bool keyed = schema.keyFieldCount > 0;
  xf.fileType = static_cast<uint8_t>(composite ? (keyed ? 8 : 6) : (keyed ? 5 : 3));
  xf.fileVersionId = hd.fixed.fileVersionId;
  xf.blockSizeCode = hd.fixed.blockSizeCode;
  xf.sortOrder = hd.fixed.sortOrder;
  xf.unknown12 = static_cast<uint16_t>(hd.fixed.unknown12 + 2);
  xf.indexFieldNumber = static_cast<uint8_t>(fields[0] + 1);
  xf.indexSyncCount = 0xFF;
  xf.writeProtected = 0;
  x.hasExtension = HasExtension(xf.fileType, xf.fileVersionId);
  xf.encryption1 = x.hasExtension ? 0xFF00FF00u : schema.encryptionKey;
  if (schema.encryptionKey == 0) {
    xf.unknown3E = 0x1F;
    xf.unknown3F = 0x0F;
  }
  if (x.hasExtension) {
    xf.unknown56 = 0x20;
    x.ext = hd.ext;
    x.ext.encryption2 = schema.encryptionKey;
  }
  uint8_t fl = 0;
  if (def.caseInsensitive) fl |= 0x01;
  if (def.descending) fl |= 0x10;
  if (def.unique) fl |= 0x20;
  xf.flags55 = fl;
  uint32_t off = 0;
  auto addField = [&](FieldDesc f, uint16_t number) {
    f.offset = off;
    f.number = number;
    off += f.Size();
    x.fields.push_back(f);
  };
  for (int idx : fields)
    addField(hd.fields[idx], static_cast<uint16_t>((idx + 1) | (def.descending ? 0x8000 : 0)));
  if (keyed) {
    for (uint16_t k = 0; k < schema.keyFieldCount; ++k)
      addField(hd.fields[k], static_cast<uint16_t>(x.fields.size() + 1));
    addField(FieldDesc{FieldType::kShort, 2, "Blk Num", 0, 0},
             static_cast<uint16_t>(x.fields.size() + 1));
  } else {
    addField(FieldDesc{FieldType::kLong, 4, "Tup No", 0, 0},
             static_cast<uint16_t>(x.fields.size() + 1));
    addField(FieldDesc{FieldType::kShort, 2, "Blk Num", 0, 0},
             static_cast<uint16_t>(x.fields.size() + 1));
    addField(FieldDesc{FieldType::kShort, 2, "Tup Offset", 0, 0},
             static_cast<uint16_t>(x.fields.size() + 1));
  }
  xf.numFields = static_cast<uint16_t>(x.fields.size());
  xf.primaryKeyFields = static_cast<uint16_t>(x.fields.size() - 1);
  xf.recordSize = static_cast<uint16_t>(off);
  if (off + 6 > hd.BlockSize())
    return Status::InvalidArgument("secondary index record does not fit in a block");
  if (x.hasExtension) x.ext.hiFieldId = static_cast<uint16_t>(x.fields.size() + 1);
  x.sortOrderId = hd.sortOrderId;
  x.indexName = composite ? def.name : "";
  x.tableName = hd.tableName;
  SetPointers(&x);
  xf.headerSize = RoundHeader(ComputeVariableEnd(x), schema.level);
  uint32_t xKeyLen = off - 2;
  if ((schema.indexBlockSize - 6) / (xKeyLen + 6) < 3)
    return Status::InvalidArgument("secondary index key too long for the index block size");
  return x;
}

}  // namespace

TableWriter::TableWriter() : impl_(new Impl) {}
TableWriter::~TableWriter() = default;

std::vector<std::string> TableWriter::files() const {
  return impl_->files;
}

// The header as written, and what the records need of it: the key's length and the
// autoincrement field.
void TableWriter::Impl::TakeHeader(TableHeader* hd) {
  if (options.baseHeader) {
    KeepFromBaseHeader(*options.baseHeader, hd);
    autoInc = options.baseHeader->fixed.autoInc;
  }
  order = KeyOrder(*hd, KeyOrder::Unknown::kBytes);
  for (size_t i = 0; i < hd->fields.size(); ++i) {
    if (i < schema.keyFieldCount) keyLength += hd->fields[i].Size();
    if (hd->fields[i].type == FieldType::kAutoInc && autoIncField < 0)
      autoIncField = static_cast<int>(i);
  }
}

// The table's fields a secondary index names, each one that can be indexed.
static Status IndexedFields(const TableHeader& hd, const SecondaryIndexDef& def,
                            std::vector<int>* fields) {
  if (def.fields.empty()) return Status::InvalidArgument("secondary index without fields");
  if (def.fields.size() > 16)
    return Status::InvalidArgument("secondary index with more than 16 fields");
  for (const auto& name : def.fields) {
    int idx = hd.FieldIndex(name);
    if (idx < 0)
      return Status::InvalidArgument("secondary index field \"" + name + "\" is not in the table");
    if (IsBlobType(hd.fields[idx].type))
      return Status::InvalidArgument("blob field \"" + name + "\" cannot be indexed");
    fields->push_back(idx);
  }
  return Status::OK();
}

// The file extension of a secondary index: "XG<n>" for a composite one (the n-th), else
// "X<field number in hex>".
static Status IndexTag(const TableSchema& schema, const SecondaryIndexDef& def, int firstField,
                       bool composite, int* xgCount, std::string* tag) {
  if (!composite) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "X%02X", firstField + 1);
    *tag = buf;
    return Status::OK();
  }
  if (static_cast<int>(schema.level) < static_cast<int>(TableLevel::k4))
    return Status::InvalidArgument(
        "named, composite or case-insensitive indexes need level 4 or later");
  if (def.name.empty())
    return Status::InvalidArgument("a composite or case-insensitive index needs a name");
  if (*xgCount > 9) return Status::NotSupported("more than 10 named secondary indexes");
  *tag = "XG" + std::to_string((*xgCount)++);
  return Status::OK();
}

Status TableWriter::Impl::AddSecondary(const TableHeader& hd, const SecondaryIndexDef& def,
                                       int* xgCount) {
  Secondary sx;
  sx.def = def;
  PARADOX_RETURN_IF_ERROR(IndexedFields(hd, def, &sx.fields));
  if ((def.descending || def.unique) && schema.level != TableLevel::k7)
    return Status::InvalidArgument("descending and unique indexes need level 7");
  sx.composite = !def.name.empty() || def.fields.size() > 1 || def.caseInsensitive ||
                 def.descending || def.unique;
  PARADOX_RETURN_IF_ERROR(IndexTag(schema, def, sx.fields[0], sx.composite, xgCount, &sx.tag));
  for (const auto& other : secondary)
    if (other.tag == sx.tag)
      return Status::InvalidArgument("two single-field indexes on the same field");
  auto xh = SecondaryHeader(hd, schema, def, sx.fields, sx.composite);
  if (!xh.ok()) return xh.status();
  TableHeader& x = *xh;
  sx.xHeader = x;
  sx.order = KeyOrder(x, KeyOrder::Unknown::kBytes);
  if (def.caseInsensitive) sx.fold = FoldingCollation(hd);
  sx.row.assign(x.fixed.recordSize, 0);
  secondary.push_back(std::move(sx));
  return Status::OK();
}

// One sorter per secondary index, and for keepGivenOrder one of the keys; they share
// indexMemory.
void TableWriter::Impl::MakeSorters() {
  const bool checkGiven = options.keepGivenOrder && keyLength > 0;
  const size_t sorters = secondary.size() + (checkGiven ? 1 : 0);
  const size_t share = sorters ? std::max<size_t>(1, options.indexMemory / sorters) : 0;
  for (auto& sx : secondary) {
    KeyOrder order = sx.order;
    sx.rows = std::make_unique<SortedRows>(
        sx.row.size(), [order](const uint8_t* row, Bytes* out) { order.AppendSortKey(row, out); },
        RunOptions("secondary index " + sx.tag, share));
  }
  if (checkGiven) {
    // Rows: the key, then the record's number (for the error). The set beside them
    // holds each key again, in a node of its own.
    const size_t kl = keyLength;
    SortedRows::Options o = RunOptions("the keys of " + PathBaseName(dbPath), share);
    o.extraPerRow = 72 + (kl > 15 ? kl + 16 : 0);
    givenRows = std::make_unique<SortedRows>(
        kl + 4, [kl](const uint8_t* row, Bytes* out) { out->insert(out->end(), row, row + kl); },
        std::move(o));
  }
}

// The .DB, and the .MB when a field holds blobs.
Status TableWriter::Impl::OpenFiles(const TableHeader& hd) {
  auto f = fs->Open(dbPath, OpenMode::kCreate);
  if (!f.ok()) return f.status();
  db = std::move(f).value();
  files.push_back(dbPath);
  stream.Init(db.get(), PathBaseName(dbPath), hd.fixed.headerSize, hd.BlockSize(),
              hd.fixed.recordSize, options.recordsPerBlock, schema.encryptionKey, keyLength);
  bool hasBlobs = std::any_of(hd.fields.begin(), hd.fields.end(),
                              [](const FieldDesc& d) { return IsBlobType(d.type); });
  if (hasBlobs) {
    mbPath = MemberPath(dbPath, ".MB");
    auto b = BlobWriter::Create(fs, mbPath, schema.encryptionKey);
    if (!b.ok()) return b.status();
    mb = std::move(b).value();
    files.push_back(mbPath);
  }
  return Status::OK();
}

Result<std::unique_ptr<TableWriter>> TableWriter::Create(FileSystem* fs, const std::string& dbPath,
                                                         const TableSchema& schema,
                                                         const WriteOptions& options) {
  auto h = BuildHeader(schema, dbPath,
                       options.baseHeader && options.baseHeader->BlockSize() == schema.blockSize);
  if (!h.ok()) return h.status();
  if (options.sortInMemory && options.keepGivenOrder)
    return Status::InvalidArgument("sortInMemory and keepGivenOrder exclude each other");
  std::unique_ptr<TableWriter> w(new TableWriter());
  Impl& m = *w->impl_;
  m.fs = fs;
  m.dbPath = dbPath;
  m.schema = schema;
  m.options = options;
  w->header_ = std::move(h).value();
  m.TakeHeader(&w->header_);
  int xgCount = 0;
  for (const auto& def : schema.secondaryIndexes)
    PARADOX_RETURN_IF_ERROR(m.AddSecondary(w->header_, def, &xgCount));
  m.MakeSorters();
  PARADOX_RETURN_IF_ERROR(m.OpenFiles(w->header_));
  return w;
}

Status TableWriter::AddRecord(const std::vector<Value>& values) {
  Impl& m = *impl_;
  if (m.failed || m.finished) return Status::InvalidArgument("writer is finished or failed");
  const auto& fields = header_.fields;
  if (values.size() != fields.size())
    return Status::InvalidArgument("record has " + std::to_string(values.size()) +
                                   " values but the table has " + std::to_string(fields.size()) +
                                   " fields");
  Bytes rec(header_.fixed.recordSize, 0);
  for (size_t i = 0; i < fields.size(); ++i) {
    const FieldDesc& f = fields[i];
    MutableByteSpan out(rec.data() + f.offset, f.Size());
    const Value& v = values[i];
    if (f.type == FieldType::kAutoInc && IsNull(v)) {
      PARADOX_RETURN_IF_ERROR(EncodeField(f, Value(int64_t{m.autoInc + 1}), out));
      continue;
    }
    if (IsBlobType(f.type) && !IsNull(v) && !std::holds_alternative<BlobRef>(v)) {
      ByteSpan data;
      if (auto* s = std::get_if<std::string>(&v))
        data = ByteSpan(reinterpret_cast<const uint8_t*>(s->data()), s->size());
      else if (auto* b = std::get_if<Bytes>(&v))
        data = *b;
      else
        return Status::InvalidArgument("field \"" + f.name + "\" needs the blob's bytes or text");
      PARADOX_RETURN_IF_ERROR(m.PutBlob(f, data, out));
      continue;
    }
    if (auto* r = std::get_if<BlobRef>(&v); r && !r->InLeader())
      return Status::InvalidArgument(
          "field \"" + f.name +
          "\": a blob reference into another blob file; pass the blob's bytes");
    PARADOX_RETURN_IF_ERROR(EncodeField(f, v, out));
  }
  m.blobsResolved = true;
  Status st = AddRawRecord(rec);
  m.blobsResolved = false;
  return st;
}

// The blob fields of `record`: a value the caller gives goes to the .MB (or the leader);
// without one the field must hold its whole value in the leader, or nothing.
Status TableWriter::Impl::ResolveBlobs(const TableHeader& hd, const std::vector<BlobData>& blobs) {
  for (size_t i = 0; i < hd.fields.size(); ++i) {
    const FieldDesc& f = hd.fields[i];
    if (!IsBlobType(f.type)) continue;
    const MutableByteSpan field(record.data() + f.offset, f.Size());
    auto it =
        std::find_if(blobs.begin(), blobs.end(), [&](const BlobData& b) { return b.field == i; });
    if (it != blobs.end()) {
      std::memset(field.data(), 0, field.size());
      PARADOX_RETURN_IF_ERROR(PutBlob(f, it->data, field));
      continue;
    }
    BlobPointer p;
    p.DecodeFrom(field.data() + f.LeaderSize());
    if (p.length > f.LeaderSize())
      return Status::InvalidArgument("field \"" + f.name +
                                     "\" points into a blob file; pass its data");
    if (p.length == 0) std::memset(field.data(), 0, field.size());
  }
  return Status::OK();
}

// The next number of the autoincrement field stays above every number the records hold.
void TableWriter::Impl::NoteAutoInc(const TableHeader& hd) {
  if (autoIncField < 0) return;
  const FieldDesc& f = hd.fields[autoIncField];
  ByteSpan raw(record.data() + f.offset, 4);
  if (IsAllZero(raw)) return;
  int32_t v = DecodeInt32(raw.data());
  if (v > 0 && static_cast<uint32_t>(v) > autoInc) autoInc = static_cast<uint32_t>(v);
}

// The record's key: after the one before it and, with keepGivenOrder, not given before.
Status TableWriter::Impl::CheckKey(uint64_t recordNumber) {
  ByteSpan key(record.data(), keyLength);
  int c = haveLast ? order.Compare(key.data(), lastKey.data()) : 1;
  if (c == 0)
    return Status::InvalidArgument("duplicate key in record " + std::to_string(recordNumber));
  if (options.keepGivenOrder) {
    // The order is the caller's (a collation this writer does not know); only a key
    // given twice, byte for byte, is refused: here when the first is still held,
    // else at Finish.
    if (!givenKeys.emplace(reinterpret_cast<const char*>(key.data()), key.size()).second)
      return Status::InvalidArgument("duplicate key in record " + std::to_string(recordNumber));
    givenRow.assign(key.begin(), key.end());
    const uint32_t n = static_cast<uint32_t>(recordNumber);
    for (int s = 24; s >= 0; s -= 8) givenRow.push_back(static_cast<uint8_t>(n >> s));
    PARADOX_RETURN_IF_ERROR(Failing(givenRows->Add(givenRow.data())));
    if (givenRows->spilled()) givenKeys.clear();
    c = 1;
  }
  if (c < 0)
    return Status::InvalidArgument(
        "record " + std::to_string(recordNumber) +
        " is out of key order (set sortInMemory to let the writer sort)");
  lastKey.assign(key.begin(), key.end());
  haveLast = true;
  return Status::OK();
}

// The record's row in each secondary index: the indexed fields, then the table's key and
// the block (keyed tables) or the record's number and place (unkeyed ones).
Status TableWriter::Impl::AddIndexRows(const TableHeader& hd, uint32_t blockNo, uint32_t slot,
                                       uint64_t recordNumber) {
  for (auto& sx : secondary) {
    uint8_t* row = sx.row.data();
    size_t pos = 0;
    for (int idx : sx.fields) {
      const FieldDesc& f = hd.fields[idx];
      std::memcpy(row + pos, record.data() + f.offset, f.Size());
      // The engine stores the alpha keys of a case-insensitive index upper-cased.
      if (sx.fold && f.type == FieldType::kAlpha)
        sx.fold->FoldUpper(MutableByteSpan(row + pos, f.Size()));
      pos += f.Size();
    }
    if (keyLength > 0) {
      std::memcpy(row + pos, record.data(), keyLength);
      pos += keyLength;
      EncodeIndexWord(static_cast<uint16_t>(blockNo), row + pos);
    } else {
      EncodeInt32(static_cast<int32_t>(recordNumber), row + pos);
      EncodeIndexWord(static_cast<uint16_t>(blockNo), row + pos + 4);
      EncodeIndexWord(static_cast<uint16_t>(slot), row + pos + 6);
    }
    PARADOX_RETURN_IF_ERROR(Failing(sx.rows->Add(row)));
  }
  return Status::OK();
}

Status TableWriter::AddRawRecord(ByteSpan record, const std::vector<BlobData>& blobs) {
  Impl& m = *impl_;
  if (m.failed || m.finished) return Status::InvalidArgument("writer is finished or failed");
  if (record.size() != header_.fixed.recordSize)
    return Status::InvalidArgument("record has " + std::to_string(record.size()) + " bytes, not " +
                                   std::to_string(header_.fixed.recordSize));
  // One buffer for every record (AddRecord's own buffer is a different one).
  m.record.assign(record.begin(), record.end());
  if (!m.blobsResolved) PARADOX_RETURN_IF_ERROR(m.ResolveBlobs(header_, blobs));
  m.NoteAutoInc(header_);
  if (m.keyLength > 0) {
    if (m.options.sortInMemory) {
      m.buffered.push_back(m.record);
      ++numRecords_;
      return Status::OK();
    }
    PARADOX_RETURN_IF_ERROR(m.CheckKey(numRecords_ + 1));
  }
  uint32_t blockNo = 0, slot = 0;
  PARADOX_RETURN_IF_ERROR(m.Failing(m.stream.Add(m.record, &blockNo, &slot)));
  ++numRecords_;
  if (slot == 0 && m.options.progress)
    m.options.progress(false, numRecords_ - 1, m.options.expectedRecords);
  return m.AddIndexRows(header_, blockNo, slot, numRecords_);
}

namespace {

// Writes a PX/Y file for leaf entries of a data file.
Status WriteIndexFile(FileSystem* fs, const std::string& path, const TableHeader& owner,
                      uint16_t keyFields, uint8_t fileType, uint32_t indexBlockSize,
                      uint8_t syncCount, uint16_t unknown12, const std::vector<IndexEntry>& leaves,
                      bool sync,
                      const std::function<void(size_t written, size_t blocks)>& onBlock) {
  TableHeader h;
  FixedHeader& fx = h.fixed;
  uint32_t keyLen = 0;
  for (uint16_t i = 0; i < keyFields; ++i) {
    FieldDesc f = owner.fields[i];
    f.name.clear();
    h.fields.push_back(f);
    keyLen += f.Size();
  }
  auto built = BuildIndexBlocks(leaves, keyLen, indexBlockSize);
  if (!built.ok()) return built.status();
  fx.recordSize = static_cast<uint16_t>(keyLen + 6);
  fx.fileType = fileType;
  fx.blockSizeCode = static_cast<uint8_t>(indexBlockSize / 1024);
  fx.numRecords = built->totalEntries;
  uint16_t nb = static_cast<uint16_t>(built->blocks.size());
  fx.blocksInUse = fx.fileBlocks = fx.maxBlocks = nb;
  fx.firstBlock = nb ? 1 : 0;
  fx.lastBlock = nb;
  fx.indexRoot = built->root;
  fx.numIndexLevels = built->levels;
  fx.numFields = keyFields;
  fx.sortOrder = owner.fixed.sortOrder;
  fx.indexSyncCount = syncCount;
  fx.fileVersionId = owner.fixed.fileVersionId;
  fx.unknown12 = unknown12;
  fx.autoInc = 1;
  h.tableName = owner.tableName;
  SetPointers(&h);
  TableLevel level = owner.level();
  fx.headerSize = RoundHeader(ComputeVariableEnd(h), level);
  auto bytes = EncodeTableHeader(h);
  if (!bytes.ok()) return bytes.status();
  auto f = fs->Open(path, OpenMode::kCreate);
  if (!f.ok()) return f.status();
  PARADOX_RETURN_IF_ERROR(f.value()->WriteAt(0, bytes.value()));
  for (size_t i = 0; i < built->blocks.size(); ++i) {
    PARADOX_RETURN_IF_ERROR(
        f.value()->WriteAt(BlockOffset(fx.headerSize, indexBlockSize, static_cast<uint32_t>(i + 1)),
                           built->blocks[i]));
    onBlock(i + 1, built->blocks.size());
  }
  if (sync) PARADOX_RETURN_IF_ERROR(f.value()->Sync());
  return f.value()->Close();
}

Status WriteHeaderAt0(File* f, TableHeader& h) {
  auto bytes = EncodeTableHeader(h);
  if (!bytes.ok()) return bytes.status();
  return f->WriteAt(0, bytes.value());
}

}  // namespace

// Index work in rows, for the progress of the index phase: the .PX's entries (one per
// data block), then per secondary index its sort (about half a row's writing per row),
// its X rows and its Y entries (one per X block).
struct TableWriter::IndexWork {
  uint64_t done = 0, total = 0;
  const WriteOptions* options = nullptr;
  void Report(uint64_t at) const {
    if (options->progress) options->progress(true, at, total);
  }
  // For WriteIndexFile: `entries` written over its blocks.
  std::function<void(size_t, size_t)> Entries(uint64_t entries) const {
    return [this, entries](size_t written, size_t blocks) {
      Report(done + entries * written / blocks);
    };
  }
};

Status TableWriter::Finish() {
  Impl& m = *impl_;
  if (m.failed) {
    m.RemoveRuns();
    return Status::InvalidArgument("writer failed earlier");
  }
  if (m.finished) return Status::OK();
  auto fail = [&](Status st) {
    m.failed = true;
    m.RemoveRuns();
    return st;
  };
  if (!m.buffered.empty()) {
    if (Status st = WriteBufferedRecords(); !st.ok()) return fail(st);
  }
  m.finished = true;
  std::unordered_set<std::string>().swap(m.givenKeys);
  if (Status st = FinishDataFile(); !st.ok()) return fail(st);
  const bool keyed = m.keyLength > 0;
  IndexWork work;
  work.options = &m.options;
  work.total = keyed ? m.stream.leaves.size() : 0;
  const uint64_t givenKeys = m.givenRows && m.givenRows->runCount() > 0 ? m.givenRows->size() : 0;
  work.total += givenKeys;
  for (const auto& sx : m.secondary) {
    const uint64_t rows = sx.rows->size();
    const uint64_t perBlock =
        std::max<uint32_t>(1, BlockCapacity(sx.xHeader.BlockSize(), sx.xHeader.fixed.recordSize));
    work.total += rows / 2 + rows + (rows + perBlock - 1) / perBlock;
  }
  if (Status st = CheckGivenKeys(&work); !st.ok()) return fail(st);
  if (keyed) {
    const FixedHeader& fx = header_.fixed;
    std::string px = MemberPath(m.dbPath, ".PX");
    m.files.push_back(px);
    Status st =
        WriteIndexFile(m.fs, px, header_, m.schema.keyFieldCount, 1, m.schema.indexBlockSize,
                       fx.changeCount1, static_cast<uint16_t>(fx.unknown12 + 1), m.stream.leaves,
                       m.options.sync, work.Entries(m.stream.leaves.size()));
    if (!st.ok()) return fail(st);
    work.done += m.stream.leaves.size();
  }
  for (size_t i = 0; i < m.secondary.size(); ++i)
    if (Status st = WriteSecondaryIndex(i, &work); !st.ok()) return fail(st);
  work.Report(work.total);
  return Status::OK();
}

// keepGivenOrder: a key repeated after the first went to a run is found here, as
// neighbours in byte order. In the progress, the merges before the last count half a
// key each, the last one the other half.
Status TableWriter::CheckGivenKeys(IndexWork* work) {
  Impl& m = *impl_;
  if (!m.givenRows) return Status::OK();
  std::unique_ptr<SortedRows> rows = std::move(m.givenRows);
  if (rows->runCount() == 0) return Status::OK();  // every key was in givenKeys
  const uint64_t keys = rows->size(), from = work->done;
  PARADOX_RETURN_IF_ERROR(rows->Prepare([&](uint64_t done, uint64_t total) {
    if (total > 0) work->Report(from + uint64_t(double(keys / 2) * double(done) / double(total)));
  }));
  Bytes previous;
  uint64_t at = 0;
  PARADOX_RETURN_IF_ERROR(rows->Merge([&](const uint8_t* row, ByteSpan key) {
    if (at > 0 && key.size() == previous.size() &&
        std::memcmp(key.data(), previous.data(), key.size()) == 0) {
      const uint8_t* n = row + key.size();
      const uint32_t record =
          uint32_t(n[0]) << 24 | uint32_t(n[1]) << 16 | uint32_t(n[2]) << 8 | n[3];
      return Status::InvalidArgument("duplicate key in record " + std::to_string(record));
    }
    previous.assign(key.begin(), key.end());
    if (++at % 65536 == 0) work->Report(from + keys / 2 + at / 2);
    return Status::OK();
  }));
  work->done += keys;
  return Status::OK();
}

// Records held back to be sorted (sortInMemory) go out in key order.
Status TableWriter::WriteBufferedRecords() {
  Impl& m = *impl_;
  const size_t kl = m.keyLength;
  std::stable_sort(m.buffered.begin(), m.buffered.end(), [&m](const Bytes& a, const Bytes& b) {
    return m.order.Less(a.data(), b.data());
  });
  for (size_t i = 1; i < m.buffered.size(); ++i)
    if (std::memcmp(m.buffered[i - 1].data(), m.buffered[i].data(), kl) == 0)
      return Status::InvalidArgument("duplicate key among the records");
  std::vector<Bytes> recs = std::move(m.buffered);
  m.buffered.clear();
  m.options.sortInMemory = false;
  numRecords_ = 0;
  m.blobsResolved = true;
  for (auto& r : recs) PARADOX_RETURN_IF_ERROR(AddRawRecord(r));
  return Status::OK();
}

// The last data block, the header's counts and the .MB.
Status TableWriter::FinishDataFile() {
  Impl& m = *impl_;
  PARADOX_RETURN_IF_ERROR(m.stream.FlushBlock(true));
  FixedHeader& fx = header_.fixed;
  const bool keyed = m.keyLength > 0;
  fx.numRecords = static_cast<uint32_t>(numRecords_);
  fx.blocksInUse = fx.fileBlocks = fx.maxBlocks = static_cast<uint16_t>(m.stream.blocks);
  fx.firstBlock = m.stream.blocks ? 1 : 0;
  fx.lastBlock = static_cast<uint16_t>(m.stream.blocks);
  fx.firstFreeBlock = 0;
  fx.autoInc = m.autoInc;
  if (m.options.changeCount1)
    fx.changeCount1 = *m.options.changeCount1;
  else if (!m.options.baseHeader)
    fx.changeCount1 = keyed ? 2 : 0;
  if (keyed && fx.changeCount1 < 2 && !m.options.changeCount1) fx.changeCount1 = 2;
  if (m.options.changeCount2) fx.changeCount2 = *m.options.changeCount2;
  if (header_.hasExtension)
    header_.ext.fileUpdateTime =
        m.options.fileUpdateTime.value_or(static_cast<uint32_t>(std::time(nullptr)));
  // A file with no blocks is just the header.
  Status st =
      m.db->Truncate(uint64_t(fx.headerSize) + uint64_t(m.stream.blocks) * header_.BlockSize());
  if (st.ok()) st = WriteHeaderAt0(m.db.get(), header_);
  if (st.ok() && m.options.sync) st = m.db->Sync();
  if (st.ok()) st = m.db->Close();
  if (!st.ok()) return st;
  if (m.mb) return m.mb->Finish(m.options.sync);
  return Status::OK();
}

// One secondary index: its rows sorted, the X file, then its Y file over the X blocks.
Status TableWriter::WriteSecondaryIndex(size_t which, IndexWork* work) {
  Impl& m = *impl_;
  auto& sx = m.secondary[which];
  const FixedHeader& fx = header_.fixed;
  const size_t rowSize = sx.xHeader.fixed.recordSize;
  const uint64_t rows = sx.rows->size();
  // The sort, and the merges of runs before the last, count as half a row each.
  const uint64_t sortFrom = work->done;
  Status st = sx.rows->Prepare([&](uint64_t done, uint64_t total) {
    if (total > 0)
      work->Report(sortFrom + uint64_t(double(rows / 2) * double(done) / double(total)));
  });
  if (!st.ok()) return st;
  work->done += rows / 2;
  work->Report(work->done);
  size_t idxLen = 0;
  for (int idx : sx.fields) idxLen += header_.fields[idx].Size();
  TableHeader& x = sx.xHeader;
  std::string xPath = MemberPath(m.dbPath, "." + sx.tag);
  std::string yPath = MemberPath(
      m.dbPath, "." + std::string(sx.composite ? "YG" + sx.tag.substr(2) : "Y" + sx.tag.substr(1)));
  m.files.push_back(xPath);
  m.files.push_back(yPath);
  auto f = m.fs->Open(xPath, OpenMode::kCreate);
  if (!f.ok()) return f.status();
  BlockStream xs;
  xs.Init(f.value().get(), PathBaseName(xPath), x.fixed.headerSize, x.BlockSize(),
          x.fixed.recordSize, 0, m.schema.encryptionKey, x.fixed.recordSize - 2u);
  uint64_t i = 0;
  Bytes previous;  // unique: the index value of the row before
  st = sx.rows->Merge([&](const uint8_t* row, ByteSpan) {
    // Equal values of a unique index are neighbours in this order.
    if (sx.def.unique) {
      if (i > 0 && std::memcmp(previous.data(), row, idxLen) == 0)
        return Status::InvalidArgument("unique index \"" + sx.def.name + "\" has duplicate values");
      previous.assign(row, row + idxLen);
    }
    uint32_t b, s;
    PARADOX_RETURN_IF_ERROR(xs.Add(ByteSpan(row, rowSize), &b, &s));
    if (s == 0) work->Report(work->done + i);
    ++i;
    return Status::OK();
  });
  if (!st.ok()) return st;
  st = xs.FlushBlock(true);
  if (!st.ok()) return st;
  work->done += rows;
  x.fixed.numRecords = static_cast<uint32_t>(rows);
  sx.rows.reset();
  x.fixed.blocksInUse = x.fixed.fileBlocks = x.fixed.maxBlocks = static_cast<uint16_t>(xs.blocks);
  x.fixed.firstBlock = xs.blocks ? 1 : 0;
  x.fixed.lastBlock = static_cast<uint16_t>(xs.blocks);
  x.fixed.changeCount1 = 1;
  x.fixed.changeCount2 = fx.changeCount2;
  x.fixed.xSyncCount = fx.changeCount1;
  if (x.hasExtension) x.ext.fileUpdateTime = header_.ext.fileUpdateTime;
  st = f.value()->Truncate(uint64_t(x.fixed.headerSize) + uint64_t(xs.blocks) * x.BlockSize());
  if (st.ok()) st = WriteHeaderAt0(f.value().get(), x);
  if (st.ok() && m.options.sync) st = f.value()->Sync();
  if (st.ok()) st = f.value()->Close();
  if (!st.ok()) return st;
  st = WriteIndexFile(m.fs, yPath, x, x.fixed.primaryKeyFields, sx.composite ? 7 : 4,
                      m.schema.indexBlockSize, x.fixed.changeCount1,
                      static_cast<uint16_t>(x.fixed.unknown12 + 1), xs.leaves, m.options.sync,
                      work->Entries(xs.leaves.size()));
  if (!st.ok()) return st;
  work->done += xs.leaves.size();
  return Status::OK();
}

Bytes SecondaryIndexValue(const TableHeader& h, const std::vector<int>& fields,
                          bool caseInsensitive, bool descending, ByteSpan record) {
  Bytes v;
  const Collation* fold = FoldingCollation(h);
  for (int idx : fields) {
    const FieldDesc& f = h.fields[idx];
    for (uint32_t k = 0; k < f.Size(); ++k) {
      uint8_t c = record[f.offset + k];
      if (caseInsensitive && f.type == FieldType::kAlpha) c = fold->Upper(c);
      if (descending) c = static_cast<uint8_t>(~c);
      v.push_back(c);
    }
  }
  return v;
}

Status WriteTable(FileSystem* fs, const std::string& dbPath, const TableSchema& schema,
                  const std::vector<std::vector<Value>>& records, const WriteOptions& options) {
  auto w = TableWriter::Create(fs, dbPath, schema, options);
  if (!w.ok()) return w.status();
  for (const auto& r : records) PARADOX_RETURN_IF_ERROR(w.value()->AddRecord(r));
  return w.value()->Finish();
}

}  // namespace paradox
