// Checks of an index file (.PX over the table, .Ynn/.YGn over an X file) against the
// walk of the file it indexes: header agreement, block list, tree shape, entry order,
// counts, and the leaf level against the data chain.
#include <algorithm>
#include <cstring>

#include "paradox/format/crypt.h"
#include "paradox/format/value.h"
#include "paradox/verify/verify_internal.h"

namespace paradox::verify {

namespace {

std::string N(uint64_t v) {
  return std::to_string(v);
}

constexpr uint32_t kMaxLevels = 16;
constexpr int kMaxLeafMismatches = 5;

struct Leaf {
  int32_t child;
  int32_t count;
  uint32_t keyAt;  // offset into keys_
};

class IndexChecker {
 public:
  IndexChecker(Context& ctx, const std::string& path, IndexRole role, const DataWalk& data)
      : ctx_(ctx), path_(path), role_(role), data_(data), name_(BaseName(path)) {}
  void Run();

 private:
  Location Loc(uint32_t block = 0, int64_t record = -1,
               std::optional<uint64_t> offset = std::nullopt) const {
    return Location::At(name_, block, record, offset);
  }
  void Add(std::string_view check, Location where, std::string detail) {
    if (check != "index.sync") ++problems_;
    ctx_.sink->Add(check, std::move(where), std::move(detail));
  }
  void SyncNote();
  bool Header();
  bool ReadHeader();
  bool CheckFileType();
  bool MatchData();
  bool CheckSize();
  bool ReadIndexBlock(uint32_t k, Bytes* out);
  // Visits block k at depth (1 = root). Fills the subtree's first key and count.
  bool Visit(uint32_t k, uint32_t depth, Bytes* firstKey, int64_t* count);
  void CompareLeaves();

  Context& ctx_;
  std::string path_;
  IndexRole role_;
  const DataWalk& data_;
  std::string name_;
  std::unique_ptr<File> file_;
  uint64_t size_ = 0;
  TableHeader h_;
  Bytes headerBytes_;
  uint32_t bs_ = 0, hs_ = 0, rs_ = 0, keyLen_ = 0, blocks_ = 0, key_ = 0, levels_ = 0;
  std::vector<uint8_t> visited_;
  std::vector<Leaf> leaves_;
  Bytes leafKeys_;
  uint64_t entries_ = 0;
  bool treeBroken_ = false;
  int problems_ = 0;
};

// The sync counters (PX 0x2C = DB 0x2D) disagree in many healthy engine-written
// families, so a mismatch alone proves nothing; it is reported only beside contents
// that disagree with the data, where it explains them.
void IndexChecker::SyncNote() {
  const FixedHeader& dh = data_.header.fixed;
  if (problems_ > 0 && h_.fixed.indexSyncCount != dh.changeCount1)
    Add("index.sync", Loc(0, -1, 0x2C),
        "sync counter is " + N(h_.fixed.indexSyncCount) + " but " + data_.name +
            "'s change counter is " + N(dh.changeCount1) + ": the index is out of date");
}

// The index header in the order its findings appear; false when the index cannot be
// walked with it.
bool IndexChecker::Header() {
  return ReadHeader() && CheckFileType() && MatchData() && CheckSize();
}

bool IndexChecker::ReadHeader() {
  // A file the system refuses (permission, I/O error) says nothing about the index:
  // the check is incomplete (file.unreadable), not the index damaged.
  if (!OpenForCheck(ctx_, path_, "index.unreadable", &file_, &size_)) return false;
  Result<HeaderPrefix> prefix = ReadHeaderPrefix(file_.get(), size_);
  if (!prefix.ok()) {
    if (!HoldsFixedHeader(size_))
      Add("index.header", Loc(), name_ + " is too short for a Paradox header");
    else
      Add(prefix.status().IsCorruption() ? "index.unreadable" : "file.unreadable", Loc(),
          "cannot read the header of " + name_ + ": " + prefix.status().ToString());
    return false;
  }
  h_.fixed = prefix->fixed;
  headerBytes_ = std::move(prefix->bytes);
  return true;
}

bool IndexChecker::CheckFileType() {
  const FixedHeader& fx = h_.fixed;
  const bool primary = role_ == IndexRole::kPrimary;
  if (primary ? fx.fileType != 1 : (fx.fileType != 4 && fx.fileType != 7)) {
    Add("index.header", Loc(0, -1, 0x04),
        "file type is " + N(fx.fileType) + " but should be " + (primary ? "1" : "4 or 7"));
    return false;
  }
  return true;
}

// The index repeats the data file's level, sort order and key fields.
bool IndexChecker::MatchData() {
  Result<TableHeader> decoded = DecodeTableHeader(headerBytes_);
  if (!decoded.ok()) {
    Add("index.header", Loc(0, -1, 0x58), decoded.status().message());
    return false;
  }
  h_ = std::move(decoded.value());
  const FixedHeader& fx = h_.fixed;
  const FixedHeader& dh = data_.header.fixed;
  bool ok = true;
  if (fx.fileVersionId != dh.fileVersionId)
    Add("index.header", Loc(0, -1, 0x39),
        "level byte is " + N(fx.fileVersionId) + " but " + data_.name + " has " +
            N(dh.fileVersionId));
  if (fx.sortOrder != dh.sortOrder)
    Add("index.header", Loc(0, -1, 0x29),
        "sort order is " + Hex(fx.sortOrder) + " but " + data_.name + " has " + Hex(dh.sortOrder));
  const uint32_t keys = dh.primaryKeyFields;
  if (h_.fields.size() != keys) {
    Add("index.header", Loc(0, -1, 0x21),
        "key field count is " + N(h_.fields.size()) + " but " + data_.name + " has " + N(keys));
    ok = false;
  } else {
    for (uint32_t i = 0; i < keys; ++i)
      if (h_.fields[i].type != data_.header.fields[i].type ||
          h_.fields[i].sizeByte != data_.header.fields[i].sizeByte) {
        Add("index.header", Loc(0, -1, DescriptorsOffset(false) + FieldDesc::kDescriptorLength * i),
            "key field " + N(i + 1) + " descriptor differs from " + data_.name + "'s");
        ok = false;
      }
  }
  keyLen_ = data_.keySize;
  if (ok && fx.recordSize != keyLen_ + 6) {
    Add("index.header", Loc(0, -1, 0x00),
        "entry size is " + N(fx.recordSize) + " but should be " + N(keyLen_ + 6));
    ok = false;
  }
  const uint8_t code = fx.blockSizeCode;
  if (code == 0 || code > 32) {
    Add("index.header", Loc(0, -1, 0x05), "block size code is " + N(code) + " but should be 1..32");
    ok = false;
  }
  return ok;
}

bool IndexChecker::CheckSize() {
  const FixedHeader& fx = h_.fixed;
  bs_ = fx.BlockSize();
  hs_ = fx.headerSize;
  rs_ = fx.recordSize;
  blocks_ = fx.fileBlocks;
  levels_ = fx.numIndexLevels;
  key_ = h_.EncryptionKey();
  if (hs_ < FixedHeader::kEncodedLength || hs_ > size_) {
    Add("index.header", Loc(0, -1, 0x02),
        "header size is " + N(hs_) + " for a file of " + N(size_) + " bytes");
    return false;
  }
  const uint64_t expected = uint64_t(hs_) + uint64_t(blocks_) * bs_;
  if (size_ < expected) {
    // Old DOS files end right after the live entries of the last block; judged per block.
    const uint64_t present = (size_ - hs_ + bs_ - 1) / bs_;
    if (present < blocks_) {
      Add("index.chain", Loc(uint32_t(present + 1), -1, size_),
          "file is " + N(size_) + " bytes but header + " + N(blocks_) + " blocks need " +
              N(expected));
      blocks_ = uint32_t(present);
    }
  }
  return true;
}

bool IndexChecker::ReadIndexBlock(uint32_t k, Bytes* out) {
  out->assign(bs_, 0);
  size_t got = 0;
  Status st = file_->ReadAt(BlockOffset(hs_, bs_, k), *out, &got);
  if (!st.ok()) {
    Add("file.unreadable", Loc(k, -1, BlockOffset(hs_, bs_, k)),
        "cannot read index block " + N(k) + ": " + st.ToString());
    return false;
  }
  if (got < 6) {
    Add("index.unreadable", Loc(k, -1, BlockOffset(hs_, bs_, k)),
        "index block " + N(k) + " lies beyond the end of " + name_);
    return false;
  }
  if (key_) DecryptBlock(key_, k, *out);
  ctx_.IndexBytesRead(bs_);
  return true;
}

bool IndexChecker::Visit(uint32_t k, uint32_t depth, Bytes* firstKey, int64_t* count) {
  const uint64_t boff = BlockOffset(hs_, bs_, k);
  if (visited_[k]) {
    Add("index.tree", Loc(k, -1, boff), "index block " + N(k) + " is reached twice in the tree");
    treeBroken_ = true;
    return false;
  }
  visited_[k] = 1;
  Bytes blk;
  if (!ReadIndexBlock(k, &blk)) return false;
  BlockHeader bh;
  bh.DecodeFrom(blk.data());
  const uint32_t cap = BlockCapacity(bs_, rs_);
  if (bh.addDataSize < 0 || bh.addDataSize % int32_t(rs_) != 0 ||
      uint32_t(bh.addDataSize / int32_t(rs_)) + 1 > cap) {
    Add("index.tree", Loc(k, -1, boff + 4),
        "index block " + N(k) + " addDataSize is " + std::to_string(bh.addDataSize) +
            " but should be a multiple of " + N(rs_) + " up to " + N((cap - 1) * uint64_t(rs_)));
    treeBroken_ = true;
    return false;
  }
  const uint32_t n = uint32_t(bh.addDataSize / int32_t(rs_)) + 1;
  entries_ += n;
  int64_t total = 0;
  const bool leaf = depth == levels_;
  const bool ordered = keyLen_ == data_.order.keyLength();
  for (uint32_t e = 0; e < n; ++e) {
    const uint8_t* ent = blk.data() + 6 + size_t(e) * rs_;
    const uint64_t eoff = boff + 6 + uint64_t(e) * rs_;
    // Block numbers and counts are unsigned 16-bit words in the sortable encoding, as the
    // reader and writer take them: a signed reading would turn block 40000 or a count of
    // 40000 into a negative number. 00 00 is 32768, not a blank.
    const int32_t child = DecodeIndexWord(ent + keyLen_);
    const int32_t cnt = DecodeIndexWord(ent + keyLen_ + 2);
    if (e == 0) firstKey->assign(ent, ent + keyLen_);
    if (e > 0 && ordered) {
      const uint8_t* prev = ent - rs_;
      int c = data_.order.Compare(prev, ent);
      if (c > 0 || (c == 0 && data_.order.known()))
        Add("index.order", Loc(k, e, eoff),
            "entry " + N(e) + " does not sort after the entry before it");
    }
    total += cnt;
    if (leaf) {
      leaves_.push_back({child, cnt, uint32_t(leafKeys_.size())});
      leafKeys_.insert(leafKeys_.end(), ent, ent + keyLen_);
      continue;
    }
    if (child <= 0 || uint32_t(child) > blocks_) {
      Add("index.tree", Loc(k, e, eoff + keyLen_),
          "child block is " + std::to_string(child) + " but the index has " + N(blocks_) +
              " blocks");
      treeBroken_ = true;
      continue;
    }
    Bytes childKey;
    int64_t childCount = 0;
    if (!Visit(uint32_t(child), depth + 1, &childKey, &childCount)) continue;
    // A count has 16 bits; a subtree of 65535 records or more stores 65535 (what the engine
    // stores there is unknown, and our writer saturates).
    if (childCount != cnt && !(cnt == 0xFFFF && childCount >= 0xFFFF))
      Add("index.count", Loc(k, e, eoff + keyLen_ + 2),
          "entry count is " + std::to_string(cnt) + " but its child block " +
              std::to_string(child) + " adds up to " + std::to_string(childCount));
    if (childKey.size() == keyLen_ && std::memcmp(childKey.data(), ent, keyLen_) != 0)
      Add("index.first-key", Loc(k, e, eoff),
          "entry key differs from the first key of child block " + std::to_string(child));
  }
  *count = total;
  return true;
}

void IndexChecker::CompareLeaves() {
  const auto& chain = data_.chain;
  if (leaves_.size() != chain.size())
    Add("index.block-map", Loc(),
        "leaf level has " + N(leaves_.size()) + " entries but " + data_.name + " has " +
            N(chain.size()) + " chained blocks");
  int mismatches = 0;
  int64_t sum = 0;
  for (size_t i = 0; i < leaves_.size(); ++i) {
    const Leaf& l = leaves_[i];
    sum += l.count;
    if (i >= chain.size()) continue;
    const uint32_t b = chain[i];
    std::string where = "leaf entry " + N(i + 1);
    if (l.child != int32_t(b)) {
      if (++mismatches <= kMaxLeafMismatches)
        Add("index.block-map", Loc(),
            where + " points to block " + std::to_string(l.child) + " but the chain's block " +
                N(i + 1) + " is " + N(b));
      continue;
    }
    const int32_t recs = data_.recordsIn[b];
    if (recs >= 0 && l.count != recs) {
      if (++mismatches <= kMaxLeafMismatches)
        Add("index.count", Loc(),
            where + " counts " + std::to_string(l.count) + " records but block " + N(b) + " of " +
                data_.name + " holds " + std::to_string(recs));
    } else if (recs > 0 && keyLen_ &&
               std::memcmp(&leafKeys_[l.keyAt], data_.FirstKey(b), keyLen_) != 0) {
      if (++mismatches <= kMaxLeafMismatches)
        Add("index.first-key", Loc(),
            where + " key differs from the first key of block " + N(b) + " of " + data_.name);
    }
  }
  if (mismatches > kMaxLeafMismatches)
    Add("index.block-map", Loc(),
        N(mismatches) + " leaf entries in all disagree with " + data_.name);
  if (uint64_t(sum) != data_.counted && !leaves_.empty())
    Add("index.count", Loc(),
        "leaf counts add up to " + std::to_string(sum) + " but " + data_.name + " holds " +
            N(data_.counted) + " records");
}

void IndexChecker::Run() {
  if (!Header()) return;
  struct AtEnd {
    IndexChecker* c;
    ~AtEnd() { c->SyncNote(); }
  } atEnd{this};
  if (blocks_ == 0) {
    if (data_.counted > 0)
      Add("index.block-map", Loc(),
          "index is empty but " + data_.name + " holds " + N(data_.counted) + " records");
    if (h_.fixed.numRecords != 0)
      Add("index.entries", Loc(0, -1, 0x06),
          "entry count is " + N(h_.fixed.numRecords) + " but the index has no blocks");
    return;
  }
  // The block list holding every index block (any level), walked against a bitmap.
  std::vector<uint8_t> inList(size_t(blocks_) + 1, 0);
  uint32_t cur = h_.fixed.firstBlock, prev = 0, listed = 0;
  Bytes blk;
  while (cur != 0) {
    if (cur > blocks_) {
      Add("index.chain", Loc(prev, -1, prev ? BlockOffset(hs_, bs_, prev) : 0x0E),
          "index block link is " + N(cur) + " but the index has " + N(blocks_) + " blocks");
      break;
    }
    if (inList[cur]) {
      Add("index.chain", Loc(cur, -1, BlockOffset(hs_, bs_, cur)),
          "index block list reaches block " + N(cur) + " twice");
      break;
    }
    inList[cur] = 1;
    ++listed;
    if (!ReadIndexBlock(cur, &blk)) break;
    BlockHeader bh;
    bh.DecodeFrom(blk.data());
    if (bh.prevBlock != prev)
      Add("index.chain", Loc(cur, -1, BlockOffset(hs_, bs_, cur) + 2),
          "previous-block link of index block " + N(cur) + " is " + N(bh.prevBlock) +
              " but should be " + N(prev));
    prev = cur;
    cur = bh.nextBlock;
  }
  // Tree.
  const uint32_t root = h_.fixed.indexRoot;
  // An index over no records may keep one empty block and zero levels.
  if (levels_ == 0 && data_.counted == 0 && h_.fixed.numRecords == 0) return;
  if (levels_ == 0 || levels_ > kMaxLevels || root == 0 || root > blocks_) {
    Add("index.tree", Loc(0, -1, 0x1E),
        "root block " + N(root) + " with " + N(levels_) + " levels is impossible for " +
            N(blocks_) + " blocks");
    return;
  }
  visited_.assign(size_t(blocks_) + 1, 0);
  Bytes firstKey;
  int64_t count = 0;
  Visit(root, 1, &firstKey, &count);
  for (uint32_t k = 1; k <= blocks_; ++k)
    if (visited_[k] && !inList[k]) {
      Add("index.chain", Loc(k, -1, BlockOffset(hs_, bs_, k)),
          "index block " + N(k) + " is in the tree but not in the block list");
      break;
    }
  if (!treeBroken_ && entries_ != h_.fixed.numRecords)
    Add("index.entries", Loc(0, -1, 0x06),
        "entry count is " + N(h_.fixed.numRecords) + " but the tree holds " + N(entries_) +
            " entries");
  if (!treeBroken_) CompareLeaves();
}

}  // namespace

void CheckIndexFile(Context& ctx, const std::string& path, IndexRole role, const DataWalk& data) {
  IndexChecker(ctx, path, role, data).Run();
}

}  // namespace paradox::verify
