#include "paradox/format/index.h"

#include <algorithm>
#include <cstring>

#include "paradox/format/crypt.h"
#include "paradox/format/header_file.h"
#include "paradox/format/value.h"

namespace paradox {

void IndexEntry::DecodeFrom(const uint8_t* in, size_t keyLength) {
  key.assign(in, in + keyLength);
  child = DecodeIndexWord(in + keyLength);
  count = DecodeIndexWord(in + keyLength + 2);
  third = DecodeIndexWord(in + keyLength + 4);
}

void IndexEntry::EncodeTo(uint8_t* out) const {
  if (!key.empty()) std::memcpy(out, key.data(), key.size());
  EncodeIndexWord(child, out + key.size());
  EncodeIndexWord(count, out + key.size() + 2);
  EncodeIndexWord(third, out + key.size() + 4);
}

Result<std::unique_ptr<IndexFile>> IndexFile::Open(FileSystem* fs, const std::string& path) {
  std::unique_ptr<IndexFile> x(new IndexFile());
  x->path_ = path;
  PARADOX_RETURN_IF_ERROR(x->Load(fs));
  return x;
}

Status IndexFile::Load(FileSystem* fs) {
  auto f = fs->Open(path_, OpenMode::kRead);
  if (!f.ok()) return f.status();
  File* file = f.value().get();
  auto size = file->Size();
  if (!size.ok()) return size.status();
  PARADOX_RETURN_IF_ERROR(LoadHeader(file, size.value()));
  WalkBlockList(file);
  WalkTree(file);
  return Status::OK();
}

// The header, and the entry and block sizes the walks rely on.
Status IndexFile::LoadHeader(File* file, uint64_t size) {
  const std::string name = PathBaseName(path_);
  auto h = LoadTableHeader(file, size);
  if (!h.ok()) {
    if (h.status().IsIOError()) return h.status();
    return Status::Corruption(name + ": " + h.status().message());
  }
  header_ = std::move(h).value();
  const FixedHeader& fx = header_.fixed;
  if (!IsIndexFileType(fx.fileType))
    return Status::Corruption(name + ": file type " + std::to_string(fx.fileType) +
                              " is not an index file");
  const uint32_t bs = fx.BlockSize();
  const uint32_t rs = fx.recordSize;
  if (bs == 0 || rs < 6 || rs + 6 > bs)
    return Status::Corruption(name + ": block size " + std::to_string(bs) + " / entry size " +
                              std::to_string(rs) + " unusable");
  const uint64_t hs = fx.headerSize;
  physicalBlocks_ =
      size > hs ? static_cast<uint32_t>(std::min<uint64_t>((size - hs + bs - 1) / bs, 65535)) : 0;
  blocks_.assign(size_t(physicalBlocks_) + 1, IndexBlock());
  return Status::OK();
}

Status IndexFile::ReadBlock(File* file, uint32_t k, Bytes* buf) const {
  const uint32_t bs = header_.BlockSize();
  buf->assign(bs, 0);
  size_t got = 0;
  PARADOX_RETURN_IF_ERROR(file->ReadAt(BlockOffset(header_.fixed.headerSize, bs, k), *buf, &got));
  if (got < 6)
    return Status::Corruption(PathBaseName(path_) + ": block " + std::to_string(k) +
                              " lies beyond the end of the file");
  if (const uint32_t key = header_.EncryptionKey()) DecryptBlock(key, k, *buf);
  if (got < bs) std::fill(buf->begin() + static_cast<long>(got), buf->end(), 0);
  return Status::OK();
}

// The block list as linked.
void IndexFile::WalkBlockList(File* file) {
  std::vector<uint8_t> seen(blocks_.size(), 0);
  Bytes buf;
  for (uint32_t b = header_.fixed.firstBlock; b != 0;) {
    if (b > physicalBlocks_) {
      problems_.push_back({static_cast<uint16_t>(b),
                           "block list links to block " + std::to_string(b) + " beyond the file"});
      break;
    }
    if (seen[b]) {
      problems_.push_back(
          {static_cast<uint16_t>(b), "block list revisits block " + std::to_string(b)});
      break;
    }
    seen[b] = 1;
    chain_.push_back(static_cast<uint16_t>(b));
    Status st = ReadBlock(file, b, &buf);
    if (!st.ok()) {
      problems_.push_back({static_cast<uint16_t>(b), st.message()});
      break;
    }
    BlockHeader bh;
    bh.DecodeFrom(buf.data());
    b = bh.nextBlock;
  }
}

// The tree, level by level from the root.
void IndexFile::WalkTree(File* file) {
  const FixedHeader& fx = header_.fixed;
  if (fx.fileBlocks == 0 || fx.numIndexLevels == 0) return;
  std::vector<uint16_t> level = {fx.indexRoot};
  std::vector<uint8_t> reached(blocks_.size(), 0);
  for (int lv = 0; lv < fx.numIndexLevels && !level.empty(); ++lv) {
    std::vector<uint16_t> next;
    for (uint16_t b : level) {
      if (b == 0 || b > physicalBlocks_) {
        problems_.push_back({b, "tree refers to block " + std::to_string(b) + " outside the file"});
        continue;
      }
      if (reached[b]) {
        problems_.push_back({b, "tree reaches block " + std::to_string(b) + " twice"});
        continue;
      }
      reached[b] = 1;
      LoadTreeBlock(file, b, lv, &next);
    }
    level = std::move(next);
  }
}

// One block of the tree at level `lv`: its entries, and (above the leaves) the blocks
// of the next level.
void IndexFile::LoadTreeBlock(File* file, uint16_t b, int lv, std::vector<uint16_t>* next) {
  const uint32_t bs = header_.BlockSize();
  const uint32_t rs = header_.fixed.recordSize;
  const bool leaf = lv == header_.fixed.numIndexLevels - 1;
  Bytes buf;
  Status st = ReadBlock(file, b, &buf);
  if (!st.ok()) {
    problems_.push_back({b, st.message()});
    return;
  }
  IndexBlock& ib = blocks_[b];
  ib.number = b;
  ib.level = lv;
  ib.header.DecodeFrom(buf.data());
  int n = ib.header.RecordCount(rs, bs);
  if (n < 0) {
    problems_.push_back({b, "addDataSize " + std::to_string(ib.header.addDataSize) +
                                " invalid for entry size " + std::to_string(rs)});
    return;
  }
  for (int i = 0; i < n; ++i) {
    IndexEntry e;
    e.DecodeFrom(buf.data() + BlockHeader::kEncodedLength + size_t(i) * rs, keyLength());
    ib.entries.push_back(e);
    ++totalEntries_;
    if (leaf)
      leaves_.push_back(e);
    else
      next->push_back(e.child);
  }
}

Result<SecondaryIndexInfo> SecondaryIndexFromHeader(const TableHeader& x,
                                                    uint16_t dbPrimaryKeyFields) {
  if (!IsSecondaryDataType(x.fixed.fileType))
    return Status::InvalidArgument("not a secondary index data file");
  SecondaryIndexInfo info;
  info.composite = x.fixed.fileType == 6 || x.fixed.fileType == 8;
  info.maintained = x.fixed.fileType == 5 || x.fixed.fileType == 8;
  info.name = x.indexName;
  info.flags55 = x.fixed.flags55;
  info.caseInsensitive = x.fixed.flags55 & 0x01;
  info.descending = x.fixed.flags55 & 0x10;
  info.unique = x.fixed.flags55 & 0x20;
  int n = static_cast<int>(x.fields.size());
  int m = dbPrimaryKeyFields > 0 ? n - dbPrimaryKeyFields - 1 : n - 3;
  if (m <= 0)
    return Status::Corruption("secondary index has " + std::to_string(n) +
                              " fields, too few for its hint fields");
  for (int i = 0; i < m; ++i) {
    uint16_t num = x.fields[i].number;
    info.dbFields.push_back(num & 0x7FFF);
    info.fieldDescending.push_back(num & 0x8000);
    if (num & 0x8000) info.descending = true;
  }
  // Headers without the extension (levels 3.0/3.5) store no field numbers (the decoder
  // numbers them 1..n); the first indexed field is at 0x15.
  if (!x.hasExtension && x.fixed.indexFieldNumber != 0) info.dbFields[0] = x.fixed.indexFieldNumber;
  return info;
}

Result<BuiltIndex> BuildIndexBlocks(const std::vector<IndexEntry>& leaves, size_t keyLength,
                                    uint32_t bs) {
  BuiltIndex out;
  const size_t rs = keyLength + 6;
  const size_t cap = bs > 6 ? (bs - 6) / rs : 0;
  if (cap < 2)
    return Status::InvalidArgument("index block of " + std::to_string(bs) +
                                   " bytes holds fewer than two keys");
  if (leaves.empty()) return out;
  std::vector<std::vector<IndexEntry>> blockEntries;
  std::vector<IndexEntry> current = leaves;
  uint8_t levels = 0;
  for (;;) {
    ++levels;
    if (current.size() <= cap) {
      blockEntries.push_back(current);
      break;
    }
    std::vector<IndexEntry> up;
    for (size_t i = 0; i < current.size(); i += cap) {
      size_t end = std::min(current.size(), i + cap);
      blockEntries.emplace_back(current.begin() + static_cast<long>(i),
                                current.begin() + static_cast<long>(end));
      uint32_t sum = 0;
      for (size_t j = i; j < end; ++j) sum += current[j].count;
      if (blockEntries.size() > 65535)
        return Status::InvalidArgument("index needs more than 65535 blocks");
      IndexEntry e;
      e.key = current[i].key;
      e.child = static_cast<uint16_t>(blockEntries.size());
      e.count = static_cast<uint16_t>(std::min<uint32_t>(sum, 0xFFFF));
      up.push_back(e);
    }
    current = std::move(up);
  }
  const size_t nb = blockEntries.size();
  if (nb > 65535) return Status::InvalidArgument("index needs more than 65535 blocks");
  for (size_t i = 0; i < nb; ++i) {
    Bytes b(bs, 0);
    BlockHeader bh;
    bh.nextBlock = static_cast<uint16_t>(i + 1 < nb ? i + 2 : 0);
    bh.prevBlock = static_cast<uint16_t>(i);
    bh.addDataSize = BlockHeader::AddDataSizeFor(static_cast<int>(blockEntries[i].size()),
                                                 static_cast<uint32_t>(rs));
    bh.EncodeTo(b.data());
    for (size_t j = 0; j < blockEntries[i].size(); ++j) {
      IndexEntry e = blockEntries[i][j];
      e.key.resize(keyLength, 0);
      e.EncodeTo(b.data() + 6 + j * rs);
      ++out.totalEntries;
    }
    out.blocks.push_back(std::move(b));
  }
  out.root = static_cast<uint16_t>(nb);
  out.levels = levels;
  return out;
}

}  // namespace paradox
