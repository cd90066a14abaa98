#include "paradox/format/chain.h"

#include <algorithm>
#include <map>

#include "paradox/format/crypt.h"

namespace paradox {

namespace {

// Bytes read at a time when block headers are gathered from a run of small blocks.
constexpr uint32_t kHeaderRunBytes = 128 << 10;

// WalkBlockLists' stages over one file; the state lives in `l` (the caller's result)
// and in the few layout numbers below.
class ListWalker {
 public:
  ListWalker(File* f, const TableHeader& h, uint64_t fileSize, BlockLists* out,
             std::vector<int32_t>* counts, const BlockWalkProgress& progress)
      : f_(f),
        fx_(h.fixed),
        l_(*out),
        counts_(*counts),
        progress_(progress),
        fileSize_(fileSize),
        bs_(h.BlockSize()),
        hs_(fx_.headerSize),
        rs_(fx_.recordSize),
        key_(h.EncryptionKey()) {}

  void Size();
  Status ReadHeaders();
  void CheckFileSize();
  void WalkChain();
  void WalkFreeList();
  void Tally();
  bool Intact() const;

 private:
  uint64_t At(uint32_t k) const { return k ? BlockOffset(hs_, bs_, k) : 0; }
  void Note(ListEvent e, uint32_t block, uint64_t offset, int64_t value = 0, int64_t expected = 0) {
    l_.findings.push_back(ListFinding{e, block, offset, value, expected});
  }

  File* f_;
  const FixedHeader& fx_;
  BlockLists& l_;
  std::vector<int32_t>& counts_;
  const BlockWalkProgress& progress_;
  const uint64_t fileSize_;
  const uint32_t bs_, hs_, rs_;
  const uint32_t key_;
  bool lastOk_ = true;  // the chain ends at the header's last block
};

// How many blocks the file holds, and room for each.
void ListWalker::Size() {
  const uint64_t body = fileSize_ > hs_ ? fileSize_ - hs_ : 0;
  // Block numbers are unsigned 16-bit words: nothing beyond 65 535 can be linked.
  l_.fileBlocks = fx_.fileBlocks;
  l_.physicalBlocks = uint32_t(std::min<uint64_t>((body + bs_ - 1) / bs_, 0xFFFF));
  // A block is present when its header is: encrypted, that takes the whole first
  // 256-byte chunk (a chunk decrypts as a unit).
  const uint32_t headerNeeds = key_ ? 256 : BlockHeader::kEncodedLength;
  l_.presentBlocks =
      uint32_t(std::min<uint64_t>(body / bs_ + (body % bs_ >= headerNeeds ? 1 : 0), 0xFFFF));
  const size_t slots = size_t(std::max(l_.fileBlocks, l_.physicalBlocks)) + 1;
  l_.headers.assign(slots, BlockHeader{});
  l_.owner.assign(slots, 0);
  counts_.assign(slots, -1);
}

// Every present block's header, once. Encrypted blocks: the first 256-byte chunk
// decrypts on its own and holds the 6 header bytes. Small blocks are read a run at a
// time (one system call per header would cost more than the bytes); large ones
// header by header.
Status ListWalker::ReadHeaders() {
  Bytes buf(key_ ? 256 : BlockHeader::kEncodedLength);
  const uint32_t perRead = bs_ <= kHeaderRunBytes / 32 ? kHeaderRunBytes / bs_ : 1;
  Bytes run(perRead > 1 ? size_t(perRead) * bs_ : 0);
  for (uint32_t first = 1; first <= l_.presentBlocks; first += perRead) {
    const uint32_t count = std::min(perRead, l_.presentBlocks - first + 1);
    size_t got = 0;
    if (perRead > 1)
      PARADOX_RETURN_IF_ERROR(f_->ReadAt(BlockOffset(hs_, bs_, first),
                                         MutableByteSpan(run.data(), size_t(count) * bs_), &got));
    for (uint32_t k = first; k < first + count; ++k) {
      std::fill(buf.begin(), buf.end(), 0);
      if (perRead > 1) {
        const size_t at = size_t(k - first) * bs_;
        if (got > at)
          std::copy_n(run.begin() + long(at), std::min(buf.size(), got - at), buf.begin());
      } else {
        PARADOX_RETURN_IF_ERROR(f_->ReadAt(BlockOffset(hs_, bs_, k), MutableByteSpan(buf), &got));
      }
      if (key_) DecryptChunk(buf.data(), key_ & 0xFF, (key_ >> 8) & 0xFF, 0, uint8_t(k));
      // buf holds at least BlockHeader::kEncodedLength bytes (zero where the file ended).
      l_.headers[k].DecodeFrom(buf.data());
      counts_[k] = l_.headers[k].RecordCount(rs_, bs_);
      if (progress_) progress_(k, l_.presentBlocks);
    }
  }
  return Status::OK();
}

// File size against the header's block count.
void ListWalker::CheckFileSize() {
  const uint64_t expected = uint64_t(hs_) + uint64_t(l_.fileBlocks) * bs_;
  if (fileSize_ > expected) {
    Note(ListEvent::kFileLong, 0, expected, int64_t(fileSize_), int64_t(expected));
  } else if (fileSize_ < expected) {
    // DOS-era programs wrote the last block only as far as its records: not damage.
    const uint32_t last = l_.fileBlocks;
    bool onlyLast = last > 0 && l_.presentBlocks == last && fileSize_ > At(last);
    if (onlyLast) {
      const int n = counts_[last];
      uint64_t live = 6 + uint64_t(std::max(n, 0)) * rs_;
      if (key_) live = (live + 255) / 256 * 256;  // the records' chunks must be whole
      onlyLast = n >= 0 && live <= fileSize_ - At(last);
    }
    Note(onlyLast ? ListEvent::kFileShortLastBlock : ListEvent::kFileShort, 0, fileSize_,
         int64_t(fileSize_), int64_t(expected));
  }
}

void ListWalker::WalkChain() {
  uint32_t cur = fx_.firstBlock, prev = 0;
  const uint32_t reach = std::max(l_.fileBlocks, l_.presentBlocks);
  if (l_.fileBlocks == 0 && l_.presentBlocks == 0) {
    if (fx_.firstBlock || fx_.lastBlock || fx_.blocksInUse)
      Note(ListEvent::kEmptyTableLinks, 0, 0x0A);
    cur = 0;
  } else if (cur == 0 || cur > reach) {
    Note(ListEvent::kFirstBlockBad, 0, 0x0E, cur, reach);
    l_.chainBroken = true;
    cur = 0;
  } else if (cur != 1) {
    Note(ListEvent::kFirstBlockUnusual, 0, 0x0E, cur);
  }
  while (cur != 0) {
    if (cur > l_.presentBlocks) {
      Note(cur <= l_.fileBlocks ? ListEvent::kLinkBeyondEof : ListEvent::kLinkOutOfRange, prev,
           prev ? At(prev) : 0x0E, cur);
      l_.chainBroken = true;
      break;
    }
    if (l_.owner[cur]) {
      Note(ListEvent::kCycle, prev, At(prev), cur);
      l_.chainBroken = true;
      break;
    }
    if (cur > l_.fileBlocks) Note(ListEvent::kBeyondFileBlocks, cur, At(cur), cur, l_.fileBlocks);
    l_.owner[cur] = 1;
    l_.chain.push_back(uint16_t(cur));
    const BlockHeader& bh = l_.headers[cur];
    if (bh.prevBlock != prev) Note(ListEvent::kPrevLink, cur, At(cur) + 2, bh.prevBlock, prev);
    const int n = counts_[cur];
    if (n < 0) {
      l_.countsValid = false;
      Note(ListEvent::kBadRecordCount, cur, At(cur) + 4, bh.addDataSize);
    } else {
      l_.chainRecords += uint64_t(n);
      if (n == 0 && fx_.numRecords > 0) Note(ListEvent::kEmptyChainBlock, cur, At(cur));
    }
    prev = cur;
    cur = bh.nextBlock;
  }
  if (!l_.chainBroken && !l_.chain.empty() && l_.chain.back() != fx_.lastBlock) {
    Note(ListEvent::kLastBlock, 0, 0x10, fx_.lastBlock, l_.chain.back());
    lastOk_ = false;
  }
  if (l_.chain.size() != fx_.blocksInUse)
    Note(ListEvent::kChainLength, 0, 0x0A, fx_.blocksInUse, int64_t(l_.chain.size()));
}

void ListWalker::WalkFreeList() {
  uint32_t cur = fx_.firstFreeBlock, prev = 0;
  while (cur != 0) {
    if (cur > l_.presentBlocks) {
      Note(ListEvent::kFreeOutOfRange, prev, prev ? At(prev) : 0x4D, cur);
      l_.freeBroken = true;
      break;
    }
    if (l_.owner[cur] == 1) {
      Note(ListEvent::kFreeCrossLink, cur, At(cur));
      l_.freeBroken = true;
      break;
    }
    if (l_.owner[cur] == 2) {
      Note(ListEvent::kFreeCycle, cur, At(cur));
      l_.freeBroken = true;
      break;
    }
    l_.owner[cur] = 2;
    l_.freeList.push_back(uint16_t(cur));
    prev = cur;
    cur = l_.headers[cur].nextBlock;
  }
}

// The blocks in neither list, and the header's totals against the lists.
void ListWalker::Tally() {
  for (uint32_t k = 1; k <= l_.presentBlocks; ++k) {
    if (l_.owner[k]) continue;
    l_.orphans.push_back(uint16_t(k));
    Note(ListEvent::kOrphan, k, At(k));
  }
  const size_t listed = l_.chain.size() + l_.freeList.size();
  if (listed != l_.fileBlocks)
    Note(ListEvent::kBlockCount, 0, 0x0C, l_.fileBlocks, int64_t(listed));
  if (!l_.chainBroken && l_.countsValid && l_.chainRecords != fx_.numRecords)
    Note(ListEvent::kRecordCount, 0, 0x06, fx_.numRecords, int64_t(l_.chainRecords));
}

bool ListWalker::Intact() const {
  return !l_.chainBroken && lastOk_ && l_.chain.size() == fx_.blocksInUse && l_.countsValid &&
         l_.chainRecords == fx_.numRecords;
}

}  // namespace

Status WalkBlockLists(File* f, const TableHeader& h, uint64_t fileSize, BlockLists* out,
                      const BlockWalkProgress& progress) {
  *out = BlockLists{};
  ListWalker walk(f, h, fileSize, out, &out->counts_, progress);
  walk.Size();
  PARADOX_RETURN_IF_ERROR(walk.ReadHeaders());
  walk.CheckFileSize();
  walk.WalkChain();
  walk.WalkFreeList();
  walk.Tally();
  out->intact_ = walk.Intact();
  return Status::OK();
}

namespace {

// PlanSalvage's steps: the chain, then (where it is damaged) the blocks that continue
// it and the records still missing from the header's count.
class SalvagePlanner {
 public:
  SalvagePlanner(const BlockLists& l, const TableHeader& h, const std::vector<int32_t>& indexCounts)
      : l_(l),
        fx_(h.fixed),
        indexCounts_(indexCounts),
        cap_(int32_t(BlockCapacity(h.BlockSize(), fx_.recordSize))),
        declared_(fx_.numRecords),
        used_(l.owner.size(), 0) {
    // The chain is whole in its links: a damaged count is then the only unknown, and the
    // header's record count less the other blocks' gives it when one block is damaged.
    linksWhole_ = !l.chainBroken && l.chain.size() == fx_.blocksInUse;
    for (uint16_t k : l.chain) damaged_ += l.RecordsIn(k) < 0;
    // Count words that are well-formed but claim more than the block holds: the chain
    // then counts more than the header, and where the primary index's counts make up
    // the header's count exactly, they are believed for the blocks that disagree.
    if (l.countsValid && l.chainRecords > declared_ && !indexCounts.empty()) {
      uint64_t alt = 0;
      for (uint16_t k : l.chain) alt += uint64_t(FromIndex(k) >= 0 ? FromIndex(k) : l.RecordsIn(k));
      indexOverrules_ = alt == declared_;
    }
  }

  SalvagePlan Run() {
    for (size_t i = 0; i < l_.chain.size(); ++i) {
      Add(l_.chain[i], i ? l_.chain[i - 1] : 0, SalvageBlock::Source::kChain);
      used_[l_.chain[i]] = 1;
    }
    // Where the chain is whole and holds the header's count, blocks outside both lists
    // are what an engine leaves behind (deleted records): they are not the table's. A
    // broken or short chain, or fewer records than the header counts, is the evidence
    // that a lost part of the chain may lie among them.
    const bool chainDamaged =
        l_.chainBroken || l_.chain.size() < fx_.blocksInUse || found_ < declared_;
    if (chainDamaged) {
      Reconnect();
      TakeOrphans();
    }
    for (uint16_t k : l_.orphans)
      if (!used_[k] && l_.RecordsIn(k) > 0) plan_.leftOut.push_back(k);
    if (!plan_.leftOut.empty())
      plan_.leftOutWhy = chainDamaged ? "the header's record count is reached without them"
                                      : "the data chain is whole, so they hold deleted records";
    return std::move(plan_);
  }

 private:
  int32_t FromIndex(uint32_t k) const {
    return k < indexCounts_.size() && indexCounts_[k] >= 0 && indexCounts_[k] <= cap_
               ? indexCounts_[k]
               : -1;
  }

  void Add(uint16_t k, uint16_t prev, SalvageBlock::Source src) {
    SalvageBlock b{k, src, l_.RecordsIn(k), ""};
    Bound(prev, &b);
    if (b.records > 0) found_ += uint64_t(b.records);
    plan_.blocks.push_back(std::move(b));
  }

  // The records of a block whose count word is damaged (or overruled by the index).
  void Bound(uint16_t prev, SalvageBlock* b) const {
    const uint16_t k = b->block;
    // Only a block whose links are sound has just its count word damaged; a block of
    // garbage gets no bound, whatever the index or the header say it held.
    const bool linksSound =
        l_.headers[k].prevBlock == prev &&
        (l_.headers[k].nextBlock == 0 || l_.headers[k].nextBlock <= l_.presentBlocks);
    if (indexOverrules_ && FromIndex(k) >= 0 && FromIndex(k) < b->records) {
      b->bound = "its record count says " + std::to_string(b->records) + "; " +
                 std::to_string(FromIndex(k)) +
                 " record(s) per the primary index, which agrees with the header's record count";
      b->records = FromIndex(k);
    } else if (b->records < 0 && !linksSound) {
      b->bound = "its block header is damaged (links and record count)";
    } else if (b->records < 0) {
      if (int32_t n = FromIndex(k); n >= 0) {
        b->records = n;
        b->bound = "its record count is damaged; " + std::to_string(n) +
                   " record(s) per the primary index";
      } else if (b->source == SalvageBlock::Source::kChain && linksWhole_ && damaged_ == 1 &&
                 declared_ >= l_.chainRecords && declared_ - l_.chainRecords <= uint64_t(cap_)) {
        b->records = int32_t(declared_ - l_.chainRecords);
        b->bound = "its record count is damaged; " + std::to_string(b->records) +
                   " record(s) per the header's record count less the other blocks'";
      } else {
        b->bound = "its record count is damaged and nothing in the table gives it";
      }
    }
  }

  // The lost part of the chain: blocks whose previous link continues it, one by one.
  void Reconnect() {
    std::multimap<uint16_t, uint16_t> byPrev;
    for (uint16_t k : l_.orphans) byPrev.emplace(l_.headers[k].prevBlock, k);
    uint16_t last = l_.chain.empty() ? 0 : l_.chain.back();
    while (true) {
      auto [lo, hi] = byPrev.equal_range(last);
      uint16_t next = 0;
      int candidates = 0;
      for (auto it = lo; it != hi; ++it)
        if (!used_[it->second]) {
          next = it->second;
          ++candidates;
        }
      if (candidates != 1) break;
      used_[next] = 1;
      Add(next, last, SalvageBlock::Source::kReconnected);
      last = next;
    }
  }

  // Records still missing from the header's count: from the remaining blocks outside
  // both lists, in physical order, never beyond that count.
  void TakeOrphans() {
    for (uint16_t k : l_.orphans) {
      if (used_[k]) continue;
      const int n = l_.RecordsIn(k);
      if (n <= 0 || found_ >= declared_) continue;
      used_[k] = 1;
      SalvageBlock b{k, SalvageBlock::Source::kOrphan, n, ""};
      if (found_ + uint64_t(n) > declared_) {
        b.records = int32_t(declared_ - found_);
        b.bound = "only " + std::to_string(b.records) +
                  " record(s) are missing from the header's record count";
      }
      found_ += uint64_t(b.records);
      plan_.blocks.push_back(std::move(b));
    }
  }

  const BlockLists& l_;
  const FixedHeader& fx_;
  const std::vector<int32_t>& indexCounts_;
  const int32_t cap_;
  const uint64_t declared_;
  bool linksWhole_ = false;
  size_t damaged_ = 0;  // chained blocks whose count word is not a count
  bool indexOverrules_ = false;
  uint64_t found_ = 0;         // records the plan has so far
  std::vector<uint8_t> used_;  // per block: in the plan
  SalvagePlan plan_;
};

}  // namespace

SalvagePlan PlanSalvage(const BlockLists& l, const TableHeader& h,
                        const std::vector<int32_t>& indexCounts) {
  return SalvagePlanner(l, h, indexCounts).Run();
}

}  // namespace paradox
