#include "reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypt.h"

namespace paradox {

std::string Location::ToString() const {
  std::string s = PathBaseName(file);
  if (block) s += " block " + std::to_string(block);
  else s += " header";
  if (record >= 0) s += " record " + std::to_string(record);
  if (field >= 0) s += " field " + std::to_string(field + 1);
  char buf[40];
  std::snprintf(buf, sizeof buf, " (offset 0x%llx)", static_cast<unsigned long long>(offset));
  return s + buf;
}

static Result<Bytes> ReadHeaderBytes(File* f, uint64_t size) {
  if (size < FixedHeader::kEncodedLength)
    return Status::Corruption("header: file has " + std::to_string(size) +
                              " bytes, fewer than the 88-byte fixed header");
  Bytes fixed(FixedHeader::kEncodedLength);
  PARADOX_RETURN_IF_ERROR(f->ReadExact(0, fixed));
  uint32_t headerSize = DecodeU16(fixed.data() + 2);
  uint64_t want = std::max<uint64_t>(headerSize, 0x78);
  want = std::min<uint64_t>(want, size);
  Bytes all(want);
  PARADOX_RETURN_IF_ERROR(f->ReadExact(0, all));
  return all;
}

Result<TableHeader> ReadHeader(FileSystem* fs, const std::string& path) {
  auto f = fs->Open(path, OpenMode::kRead);
  if (!f.ok()) return f.status();
  auto size = f.value()->Size();
  if (!size.ok()) return size.status();
  auto bytes = ReadHeaderBytes(f.value().get(), size.value());
  if (!bytes.ok()) {
    // A failed read is not damage: callers stop on I/O errors instead of dropping the member.
    if (bytes.status().IsIOError()) return Status::IOError(PathBaseName(path) + ": " + bytes.status().message());
    return Status::Corruption(PathBaseName(path) + ": " + bytes.status().message());
  }
  auto h = DecodeTableHeader(bytes.value());
  if (!h.ok()) return Status::Corruption(PathBaseName(path) + ": " + h.status().message());
  return h;
}

TableReader::~TableReader() = default;

Location TableReader::At(uint32_t block, int64_t record, uint64_t offset) const {
  Location l;
  l.file = path_;
  l.block = block;
  l.record = record;
  l.offset = offset;
  return l;
}

void TableReader::AddAnomaly(std::string code, Location where, std::string detail) {
  ++anomalyCount_;
  if (anomalies_.size() < options_.maxAnomalies)
    anomalies_.push_back(Anomaly{std::move(code), std::move(where), std::move(detail)});
}

void TableReader::AddDropped(DroppedSpan span) { dropped_.push_back(std::move(span)); }

Result<std::unique_ptr<TableReader>> TableReader::Open(FileSystem* fs, const std::string& path,
                                                       const ReadOptions& options) {
  std::unique_ptr<TableReader> r(new TableReader());
  r->fs_ = fs;
  r->path_ = path;
  r->options_ = options;
  PARADOX_RETURN_IF_ERROR(r->Init());
  return r;
}

static bool SameLayout(const TableHeader& a, const TableHeader& b) {
  if (a.fields.size() != b.fields.size()) return false;
  for (size_t i = 0; i < a.fields.size(); ++i)
    if (a.fields[i].type != b.fields[i].type || a.fields[i].sizeByte != b.fields[i].sizeByte) return false;
  return true;
}

Status TableReader::Init() {
  auto f = fs_->Open(path_, OpenMode::kRead);
  if (!f.ok()) return f.status();
  file_ = std::move(f).value();
  auto size = file_->Size();
  if (!size.ok()) return size.status();
  fileSize_ = size.value();
  const std::string name = PathBaseName(path_);
  const bool salvage = options_.mode == ReadMode::kSalvage;

  auto bytes = ReadHeaderBytes(file_.get(), fileSize_);
  Result<TableHeader> h = bytes.ok() ? DecodeTableHeader(bytes.value()) : Result<TableHeader>(bytes.status());
  if (salvage && options_.templateHeader) {
    if (!h.ok() || !SameLayout(h.value(), *options_.templateHeader) ||
        h->fixed.recordSize != options_.templateHeader->fixed.recordSize ||
        h->fixed.blockSizeCode != options_.templateHeader->fixed.blockSizeCode ||
        h->fixed.headerSize != options_.templateHeader->fixed.headerSize) {
      AddAnomaly("header-replaced", At(), h.ok() ? "header layout differs from the template; template used"
                                                  : h.status().message() + "; template used");
      if (bytes.ok()) {
        h = DecodeTableHeaderWithTemplate(bytes.value(), *options_.templateHeader);
      } else {
        h = *options_.templateHeader;
        h->fixed.numRecords = 0;
      }
      usedTemplate_ = true;
    }
  }
  if (!h.ok()) return Status::Corruption(name + ": " + h.status().message());
  header_ = std::move(h).value();
  if (!IsDataFileType(header_.fixed.fileType))
    return Status::Corruption(name + ": file type " + std::to_string(header_.fixed.fileType) +
                              " is not a table or secondary-index data file");
  uint32_t computed = header_.ComputedRecordSize();
  for (size_t i = 0; i < header_.fields.size(); ++i) {
    Status st = ValidateFieldDescriptor(header_.fields[i].type, header_.fields[i].sizeByte);
    if (!st.ok()) return Status::Corruption(name + ": field " + std::to_string(i + 1) + ": " + st.message());
  }
  if (computed == 0) return Status::Corruption(name + ": the table has no fields");
  if (header_.fixed.recordSize != computed) {
    AddAnomaly("record-size", At(0, -1, 0),
               "record size is " + std::to_string(header_.fixed.recordSize) + " but should be " +
                   std::to_string(computed));
    header_.fixed.recordSize = static_cast<uint16_t>(computed);
  }
  uint32_t bs = header_.BlockSize();
  if (bs == 0 || bs < computed + 6)
    return Status::Corruption(name + ": block size " + std::to_string(bs) + " cannot hold a record of " +
                              std::to_string(computed) + " bytes");
  if (header_.fixed.headerSize < 0x58)
    return Status::Corruption(name + ": header size " + std::to_string(header_.fixed.headerSize) + " is too small");
  WalkLists();
  return Status::OK();
}

// Reads the 6-byte header of block k; for encrypted files the first 256-byte chunk
// is decrypted (it holds the block header).
static Status PeekBlockHeader(File* f, const TableHeader& h, uint64_t fileSize, uint32_t k, BlockHeader* out) {
  uint64_t off = BlockOffset(h.fixed.headerSize, h.BlockSize(), k);
  uint8_t buf[256] = {};
  size_t want = h.IsEncrypted() ? 256 : 6;
  size_t got = 0;
  PARADOX_RETURN_IF_ERROR(f->ReadAt(off, MutableByteSpan(buf, want), &got));
  if (got < 6) return Status::Corruption("block " + std::to_string(k) + " lies beyond the end of the file");
  if (h.IsEncrypted()) {
    uint32_t key = h.EncryptionKey();
    DecryptChunk(buf, key & 0xFF, (key >> 8) & 0xFF, 0, static_cast<uint8_t>(k));
  }
  out->DecodeFrom(buf);
  return Status::OK();
}

void TableReader::WalkLists() {
  const FixedHeader& fx = header_.fixed;
  const uint32_t bs = header_.BlockSize();
  const uint32_t rs = fx.recordSize;
  const uint64_t hs = fx.headerSize;
  const std::string name = PathBaseName(path_);
  uint64_t body = fileSize_ > hs ? fileSize_ - hs : 0;
  uint64_t phys = (body + bs - 1) / bs;
  chain_.physicalBlocks = static_cast<uint32_t>(std::min<uint64_t>(phys, 65535));

  // File size against the declared blocks.
  uint64_t expected = hs + uint64_t(fx.fileBlocks) * bs;
  if (fileSize_ < expected) {
    bool onlyLastShort = fx.fileBlocks > 0 && fileSize_ > hs + uint64_t(fx.fileBlocks - 1) * bs;
    AddAnomaly(onlyLastShort ? anomaly::kFileShortLastBlock : anomaly::kFileShort, At(0, -1, fileSize_),
               "file size is " + std::to_string(fileSize_) + " but should be " + std::to_string(expected));
  } else if (fileSize_ > expected) {
    AddAnomaly(anomaly::kFileLong, At(0, -1, expected),
               "file size is " + std::to_string(fileSize_) + " but should be " + std::to_string(expected));
  }

  const uint32_t limit = chain_.physicalBlocks;
  std::vector<uint8_t> seen(size_t(std::max<uint32_t>(limit, fx.fileBlocks)) + 1, 0);  // 1 chain, 2 free

  // Data chain.
  uint32_t prev = 0;
  uint32_t b = fx.firstBlock;
  if (fx.fileBlocks == 0 && b != 0)
    AddAnomaly(anomaly::kChainEnd, At(), "first block is " + std::to_string(b) + " but should be 0 (no blocks)");
  while (b != 0) {
    if (b > limit) {
      AddAnomaly(anomaly::kChainOutOfRange, At(prev, -1, prev ? BlockOffset(hs, bs, prev) : 0x0E),
                 "link to block " + std::to_string(b) + " beyond the " + std::to_string(limit) + " blocks in the file");
      chain_.chainBroken = true;
      break;
    }
    if (b > fx.fileBlocks)
      AddAnomaly(anomaly::kChainOutOfRange, At(b, -1, BlockOffset(hs, bs, b)),
                 "block " + std::to_string(b) + " is beyond fileBlocks " + std::to_string(fx.fileBlocks));
    if (seen[b]) {
      AddAnomaly(anomaly::kChainCycle, At(prev, -1, BlockOffset(hs, bs, prev)),
                 "link to block " + std::to_string(b) + " which is already in the chain");
      chain_.chainBroken = true;
      break;
    }
    BlockHeader bh;
    Status st = PeekBlockHeader(file_.get(), header_, fileSize_, b, &bh);
    if (!st.ok()) {
      // A block header cut off by the end of the file is damage; only a failing read is
      // a read error (which stops a salvage).
      AddAnomaly(st.IsIOError() ? anomaly::kReadError : anomaly::kFileShort, At(b, -1, BlockOffset(hs, bs, b)),
                 st.message());
      chain_.chainBroken = true;
      break;
    }
    seen[b] = 1;
    chain_.chain.push_back(static_cast<uint16_t>(b));
    if (bh.prevBlock != prev)
      AddAnomaly(anomaly::kChainBadPrev, At(b, -1, BlockOffset(hs, bs, b) + 2),
                 "previous-block link is " + std::to_string(bh.prevBlock) + " but should be " + std::to_string(prev));
    int n = bh.RecordCount(rs, bs);
    if (n < 0) {
      AddAnomaly(anomaly::kBadAddDataSize, At(b, -1, BlockOffset(hs, bs, b) + 4),
                 "addDataSize " + std::to_string(bh.addDataSize) + " is invalid for record size " + std::to_string(rs));
    } else {
      chain_.chainRecords += static_cast<uint64_t>(n);
      if (n == 0 && fx.numRecords > 0)
        AddAnomaly(anomaly::kEmptyChainBlock, At(b, -1, BlockOffset(hs, bs, b)), "empty block in the data chain");
    }
    prev = b;
    b = bh.nextBlock;
  }
  if (!chain_.chainBroken) {
    uint32_t last = chain_.chain.empty() ? 0 : chain_.chain.back();
    if (last != fx.lastBlock)
      AddAnomaly(anomaly::kChainEnd, At(0, -1, 0x10),
                 "last block is " + std::to_string(fx.lastBlock) + " but should be " + std::to_string(last));
  }
  if (chain_.chain.size() != fx.blocksInUse)
    AddAnomaly(anomaly::kChainLength, At(0, -1, 0x0A),
               "blocks in use is " + std::to_string(fx.blocksInUse) + " but should be " + std::to_string(chain_.chain.size()));

  // Free list.
  b = fx.firstFreeBlock;
  prev = 0;
  while (b != 0) {
    if (b > limit) {
      AddAnomaly(anomaly::kFreeOutOfRange, At(prev, -1, prev ? BlockOffset(hs, bs, prev) : 0x4D),
                 "free-list link to block " + std::to_string(b) + " beyond the file");
      chain_.freeBroken = true;
      break;
    }
    if (seen[b] == 1) {
      AddAnomaly(anomaly::kFreeInChain, At(b, -1, BlockOffset(hs, bs, b)),
                 "block " + std::to_string(b) + " is both in the data chain and in the free list");
      chain_.freeBroken = true;
      break;
    }
    if (seen[b] == 2) {
      AddAnomaly(anomaly::kFreeCycle, At(prev, -1, BlockOffset(hs, bs, prev)),
                 "free-list link to block " + std::to_string(b) + " which is already in the list");
      chain_.freeBroken = true;
      break;
    }
    BlockHeader bh;
    Status st = PeekBlockHeader(file_.get(), header_, fileSize_, b, &bh);
    if (!st.ok()) {
      AddAnomaly(st.IsIOError() ? anomaly::kReadError : anomaly::kFileShort, At(b, -1, BlockOffset(hs, bs, b)),
                 st.message());
      chain_.freeBroken = true;
      break;
    }
    seen[b] = 2;
    chain_.freeList.push_back(static_cast<uint16_t>(b));
    prev = b;
    b = bh.nextBlock;
  }
  for (uint32_t k = 1; k <= limit; ++k)
    if (!seen[k]) chain_.orphans.push_back(static_cast<uint16_t>(k));
  if (!chain_.orphans.empty())
    AddAnomaly(anomaly::kOrphanBlock, At(chain_.orphans[0], -1, BlockOffset(hs, bs, chain_.orphans[0])),
               std::to_string(chain_.orphans.size()) + " block(s) in neither the data chain nor the free list");
  size_t listed = chain_.chain.size() + chain_.freeList.size();
  if (listed != fx.fileBlocks)
    AddAnomaly(anomaly::kBlockCount, At(0, -1, 0x0C),
               "file blocks is " + std::to_string(fx.fileBlocks) + " but chain and free list hold " + std::to_string(listed));
  if (!chain_.chainBroken && chain_.chainRecords != fx.numRecords)
    AddAnomaly(anomaly::kRecordCount, At(0, -1, 0x06),
               "record count is " + std::to_string(fx.numRecords) + " but should be " + std::to_string(chain_.chainRecords));

  order_ = chain_.chain;
  if (options_.mode == ReadMode::kSalvage && options_.salvageOrphans)
    order_.insert(order_.end(), chain_.orphans.begin(), chain_.orphans.end());
}

Status TableReader::ReadBlock(uint32_t number, Bytes* out, BlockInfo* info) {
  const uint32_t bs = header_.BlockSize();
  if (number == 0 || number > chain_.physicalBlocks)
    return Status::Corruption(PathBaseName(path_) + ": block " + std::to_string(number) + " is not in the file");
  uint64_t off = BlockOffset(header_.fixed.headerSize, bs, number);
  out->assign(bs, 0);
  size_t got = 0;
  PARADOX_RETURN_IF_ERROR(file_->ReadAt(off, *out, &got));
  if (header_.IsEncrypted()) DecryptBlock(header_.EncryptionKey(), number, *out);
  info->number = number;
  info->offset = off;
  info->complete = got == bs;
  info->header.DecodeFrom(out->data());
  info->records = 0;
  if (!info->complete) {
    // Bytes past the end of the file are unknown; zero them (decryption made them garbage).
    std::fill(out->begin() + static_cast<long>(got), out->end(), 0);
  }
  return Status::OK();
}

bool TableReader::RecordLooksValid(ByteSpan rec, std::string* why) const {
  for (size_t i = 0; i < header_.fields.size(); ++i) {
    const FieldDesc& f = header_.fields[i];
    auto v = DecodeField(f, rec.subspan(f.offset, f.Size()));
    if (!v.ok()) {
      *why = v.status().message();
      return false;
    }
  }
  return true;
}

Result<std::vector<Value>> TableReader::DecodeRecord(ByteSpan raw) const {
  if (raw.size() != header_.fixed.recordSize) return Status::InvalidArgument("record has the wrong size");
  std::vector<Value> out;
  out.reserve(header_.fields.size());
  for (const FieldDesc& f : header_.fields) {
    auto v = DecodeField(f, raw.subspan(f.offset, f.Size()));
    if (!v.ok()) return v.status();
    out.push_back(std::move(v).value());
  }
  return out;
}

// ---------------------------------------------------------------------------

bool RecordCursor::LoadNextBlock() {
  TableReader* r = reader_;
  const uint32_t rs = r->header_.fixed.recordSize;
  const uint32_t bs = r->header_.BlockSize();
  const bool salvage = r->options_.mode == ReadMode::kSalvage;
  while (listPos_ < r->order_.size()) {
    uint32_t number = r->order_[listPos_];
    bool inChain = listPos_ < r->chain_.chain.size();
    ++listPos_;
    status_ = r->ReadBlock(number, &buf_, &block_);
    if (!status_.ok()) {
      if (!salvage) return false;
      r->AddDropped(DroppedSpan{r->At(number, -1, BlockOffset(r->header_.fixed.headerSize, bs, number)), bs,
                                "block unreadable: " + status_.message(), {}, anomaly::kReadError});
      status_ = Status::OK();
      continue;
    }
    keep_.clear();
    recPos_ = 0;
    const uint32_t cap = BlockCapacity(bs, rs);
    int declared = block_.header.RecordCount(rs, bs);
    // Records wholly inside the file.
    uint64_t present = block_.complete ? cap : 0;
    if (!block_.complete) {
      uint64_t fileEnd = r->fileSize_;
      uint64_t dataStart = block_.offset + 6;
      present = fileEnd > dataStart ? (fileEnd - dataStart) / rs : 0;
    }
    if (!salvage) {
      if (declared < 0) continue;  // reported by the walk
      uint32_t n = static_cast<uint32_t>(declared);
      if (n > present) {
        r->AddAnomaly(anomaly::kFileShort, r->At(number, static_cast<int64_t>(present), r->fileSize_),
                      "file ends inside block " + std::to_string(number) + " before its last record");
        n = static_cast<uint32_t>(present);
      }
      for (uint32_t i = 0; i < n; ++i) keep_.push_back(i);
    } else {
      uint32_t n;
      bool scan = false;
      if (declared >= 0) {
        n = static_cast<uint32_t>(declared);
      } else {
        // Bogus count: keep every record up to capacity that decodes, stopping at
        // the first all-zero slot (the unused tail).
        n = cap;
        scan = true;
        if (!inChain && block_.header.addDataSize < 0) n = 0;
      }
      if (n > present) {
        for (uint32_t i = static_cast<uint32_t>(present); i < n && !scan; ++i) {
          r->AddDropped(DroppedSpan{r->At(number, i, block_.offset + 6 + uint64_t(i) * rs), rs,
                                    "record lies beyond the end of the file", {}, anomaly::kFileShort});
        }
        n = static_cast<uint32_t>(present);
      }
      for (uint32_t i = 0; i < n; ++i) {
        ByteSpan rec(buf_.data() + 6 + size_t(i) * rs, rs);
        if (scan && IsAllZero(rec)) break;
        std::string why;
        if (r->RecordLooksValid(rec, &why)) {
          keep_.push_back(i);
        } else {
          r->AddDropped(DroppedSpan{r->At(number, i, block_.offset + 6 + uint64_t(i) * rs), rs, why,
                                    Bytes(rec.begin(), rec.end()), anomaly::kBadValue});
        }
      }
    }
    block_.records = static_cast<int>(keep_.size());
    if (!keep_.empty()) return true;
  }
  return false;
}

bool RecordCursor::Next() {
  if (done_) return false;
  while (recPos_ >= keep_.size()) {
    if (!LoadNextBlock()) {
      done_ = true;
      return false;
    }
  }
  const uint32_t rs = reader_->header_.fixed.recordSize;
  uint32_t i = keep_[recPos_++];
  rec_.block = block_.number;
  rec_.indexInBlock = i;
  rec_.ordinal = ordinal_++;
  rec_.fileOffset = block_.offset + 6 + uint64_t(i) * rs;
  rec_.bytes = ByteSpan(buf_.data() + 6 + size_t(i) * rs, rs);
  return true;
}

Result<std::vector<Value>> RecordCursor::Decode() const { return reader_->DecodeRecord(rec_.bytes); }

}  // namespace paradox
