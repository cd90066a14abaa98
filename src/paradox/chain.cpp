#include "chain.h"

#include <algorithm>
#include <map>

#include "crypt.h"

namespace paradox {

namespace {

// Bytes read at a time when block headers are gathered from a run of small blocks.
constexpr uint32_t kHeaderRunBytes = 128 << 10;

void Note(BlockLists* l, ListEvent e, uint32_t block, uint64_t offset, int64_t value = 0, int64_t expected = 0) {
  l->findings.push_back(ListFinding{e, block, offset, value, expected});
}

}  // namespace

Status WalkBlockLists(File* f, const TableHeader& h, uint64_t fileSize, BlockLists* out,
                      const BlockWalkProgress& progress) {
  BlockLists& l = *out;
  l = BlockLists{};
  const FixedHeader& fx = h.fixed;
  const uint32_t bs = h.BlockSize();
  const uint32_t hs = fx.headerSize;
  const uint32_t rs = fx.recordSize;
  const uint64_t body = fileSize > hs ? fileSize - hs : 0;
  // Block numbers are unsigned 16-bit words: nothing beyond 65 535 can be linked.
  l.fileBlocks = fx.fileBlocks;
  l.physicalBlocks = uint32_t(std::min<uint64_t>((body + bs - 1) / bs, 0xFFFF));
  // A block is present when its header is: encrypted, that takes the whole first
  // 256-byte chunk (a chunk decrypts as a unit).
  const uint32_t key = h.EncryptionKey();
  const uint32_t headerNeeds = key ? 256 : BlockHeader::kEncodedLength;
  l.presentBlocks =
      uint32_t(std::min<uint64_t>(body / bs + (body % bs >= headerNeeds ? 1 : 0), 0xFFFF));
  const size_t slots = size_t(std::max(l.fileBlocks, l.physicalBlocks)) + 1;
  l.headers.assign(slots, BlockHeader{});
  l.owner.assign(slots, 0);
  l.counts_.assign(slots, -1);

  // Every present block's header, once. Encrypted blocks: the first 256-byte chunk
  // decrypts on its own and holds the 6 header bytes. Small blocks are read a run at a
  // time (one system call per header would cost more than the bytes); large ones
  // header by header.
  Bytes buf(key ? 256 : BlockHeader::kEncodedLength);
  const uint32_t perRead = bs <= kHeaderRunBytes / 32 ? kHeaderRunBytes / bs : 1;
  Bytes run(perRead > 1 ? size_t(perRead) * bs : 0);
  for (uint32_t first = 1; first <= l.presentBlocks; first += perRead) {
    const uint32_t count = std::min(perRead, l.presentBlocks - first + 1);
    size_t got = 0;
    if (perRead > 1)
      PARADOX_RETURN_IF_ERROR(
          f->ReadAt(BlockOffset(hs, bs, first), MutableByteSpan(run.data(), size_t(count) * bs), &got));
    for (uint32_t k = first; k < first + count; ++k) {
      std::fill(buf.begin(), buf.end(), 0);
      if (perRead > 1) {
        const size_t at = size_t(k - first) * bs;
        if (got > at) std::copy_n(run.begin() + long(at), std::min(buf.size(), got - at), buf.begin());
      } else {
        PARADOX_RETURN_IF_ERROR(f->ReadAt(BlockOffset(hs, bs, k), MutableByteSpan(buf), &got));
      }
      if (key) DecryptChunk(buf.data(), key & 0xFF, (key >> 8) & 0xFF, 0, static_cast<uint8_t>(k));
      l.headers[k].DecodeFrom(buf.data());
      l.counts_[k] = l.headers[k].RecordCount(rs, bs);
      if (progress) progress(k, l.presentBlocks);
    }
  }
  auto at = [&](uint32_t k) { return k ? BlockOffset(hs, bs, k) : 0; };

  // File size against the header's block count.
  const uint64_t expected = uint64_t(hs) + uint64_t(l.fileBlocks) * bs;
  if (fileSize > expected) {
    Note(&l, ListEvent::kFileLong, 0, expected, int64_t(fileSize), int64_t(expected));
  } else if (fileSize < expected) {
    // DOS-era programs wrote the last block only as far as its records: not damage.
    const uint32_t last = l.fileBlocks;
    bool onlyLast = last > 0 && l.presentBlocks == last && fileSize > at(last);
    if (onlyLast) {
      const int n = l.counts_[last];
      uint64_t live = 6 + uint64_t(std::max(n, 0)) * rs;
      if (key) live = (live + 255) / 256 * 256;  // the records' chunks must be whole
      onlyLast = n >= 0 && live <= fileSize - at(last);
    }
    Note(&l, onlyLast ? ListEvent::kFileShortLastBlock : ListEvent::kFileShort, 0, fileSize, int64_t(fileSize),
         int64_t(expected));
  }

  // Data chain.
  uint32_t cur = fx.firstBlock, prev = 0;
  const uint32_t reach = std::max(l.fileBlocks, l.presentBlocks);
  if (l.fileBlocks == 0 && l.presentBlocks == 0) {
    if (fx.firstBlock || fx.lastBlock || fx.blocksInUse) Note(&l, ListEvent::kEmptyTableLinks, 0, 0x0A);
    cur = 0;
  } else if (cur == 0 || cur > reach) {
    Note(&l, ListEvent::kFirstBlockBad, 0, 0x0E, cur, reach);
    l.chainBroken = true;
    cur = 0;
  } else if (cur != 1) {
    Note(&l, ListEvent::kFirstBlockUnusual, 0, 0x0E, cur);
  }
  while (cur != 0) {
    if (cur > l.presentBlocks) {
      Note(&l, cur <= l.fileBlocks ? ListEvent::kLinkBeyondEof : ListEvent::kLinkOutOfRange, prev,
           prev ? at(prev) : 0x0E, cur);
      l.chainBroken = true;
      break;
    }
    if (l.owner[cur]) {
      Note(&l, ListEvent::kCycle, prev, at(prev), cur);
      l.chainBroken = true;
      break;
    }
    if (cur > l.fileBlocks) Note(&l, ListEvent::kBeyondFileBlocks, cur, at(cur), cur, l.fileBlocks);
    l.owner[cur] = 1;
    l.chain.push_back(uint16_t(cur));
    const BlockHeader& bh = l.headers[cur];
    if (bh.prevBlock != prev) Note(&l, ListEvent::kPrevLink, cur, at(cur) + 2, bh.prevBlock, prev);
    const int n = l.counts_[cur];
    if (n < 0) {
      l.countsValid = false;
      Note(&l, ListEvent::kBadRecordCount, cur, at(cur) + 4, bh.addDataSize);
    } else {
      l.chainRecords += uint64_t(n);
      if (n == 0 && fx.numRecords > 0) Note(&l, ListEvent::kEmptyChainBlock, cur, at(cur));
    }
    prev = cur;
    cur = bh.nextBlock;
  }
  bool lastOk = true;
  if (!l.chainBroken && !l.chain.empty() && l.chain.back() != fx.lastBlock) {
    Note(&l, ListEvent::kLastBlock, 0, 0x10, fx.lastBlock, l.chain.back());
    lastOk = false;
  }
  if (l.chain.size() != fx.blocksInUse) Note(&l, ListEvent::kChainLength, 0, 0x0A, fx.blocksInUse, int64_t(l.chain.size()));

  // Free list.
  cur = fx.firstFreeBlock;
  prev = 0;
  while (cur != 0) {
    if (cur > l.presentBlocks) {
      Note(&l, ListEvent::kFreeOutOfRange, prev, prev ? at(prev) : 0x4D, cur);
      l.freeBroken = true;
      break;
    }
    if (l.owner[cur] == 1) {
      Note(&l, ListEvent::kFreeCrossLink, cur, at(cur));
      l.freeBroken = true;
      break;
    }
    if (l.owner[cur] == 2) {
      Note(&l, ListEvent::kFreeCycle, cur, at(cur));
      l.freeBroken = true;
      break;
    }
    l.owner[cur] = 2;
    l.freeList.push_back(uint16_t(cur));
    prev = cur;
    cur = l.headers[cur].nextBlock;
  }
  for (uint32_t k = 1; k <= l.presentBlocks; ++k) {
    if (l.owner[k]) continue;
    l.orphans.push_back(uint16_t(k));
    Note(&l, ListEvent::kOrphan, k, at(k));
  }
  const size_t listed = l.chain.size() + l.freeList.size();
  if (listed != l.fileBlocks) Note(&l, ListEvent::kBlockCount, 0, 0x0C, l.fileBlocks, int64_t(listed));
  if (!l.chainBroken && l.countsValid && l.chainRecords != fx.numRecords)
    Note(&l, ListEvent::kRecordCount, 0, 0x06, fx.numRecords, int64_t(l.chainRecords));
  l.intact_ = !l.chainBroken && lastOk && l.chain.size() == fx.blocksInUse && l.countsValid &&
              l.chainRecords == fx.numRecords;
  return Status::OK();
}

SalvagePlan PlanSalvage(const BlockLists& l, const TableHeader& h, const std::vector<int32_t>& indexCounts) {
  SalvagePlan plan;
  const FixedHeader& fx = h.fixed;
  const int32_t cap = int32_t(BlockCapacity(h.BlockSize(), fx.recordSize));
  const uint64_t declared = fx.numRecords;
  auto fromIndex = [&](uint32_t k) -> int32_t {
    return k < indexCounts.size() && indexCounts[k] >= 0 && indexCounts[k] <= cap ? indexCounts[k] : -1;
  };
  // The chain is whole in its links: a damaged count is then the only unknown, and the
  // header's record count less the other blocks' gives it when one block is damaged.
  const bool linksWhole = !l.chainBroken && l.chain.size() == fx.blocksInUse;
  size_t damaged = 0;
  for (uint16_t k : l.chain) damaged += l.RecordsIn(k) < 0;
  // Count words that are well-formed but claim more than the block holds: the chain
  // then counts more than the header, and where the primary index's counts make up
  // the header's count exactly, they are believed for the blocks that disagree.
  bool indexOverrules = false;
  if (l.countsValid && l.chainRecords > declared && !indexCounts.empty()) {
    uint64_t alt = 0;
    for (uint16_t k : l.chain) alt += uint64_t(fromIndex(k) >= 0 ? fromIndex(k) : l.RecordsIn(k));
    indexOverrules = alt == declared;
  }
  uint64_t found = 0;
  auto add = [&](uint16_t k, uint16_t prev, SalvageBlock::Source src) {
    SalvageBlock b{k, src, l.RecordsIn(k), ""};
    // Only a block whose links are sound has just its count word damaged; a block of
    // garbage gets no bound, whatever the index or the header say it held.
    const bool linksSound = l.headers[k].prevBlock == prev &&
                            (l.headers[k].nextBlock == 0 || l.headers[k].nextBlock <= l.presentBlocks);
    if (indexOverrules && fromIndex(k) >= 0 && fromIndex(k) < b.records) {
      b.bound = "its record count says " + std::to_string(b.records) + "; " + std::to_string(fromIndex(k)) +
                " record(s) per the primary index, which agrees with the header's record count";
      b.records = fromIndex(k);
    } else if (b.records < 0 && !linksSound) {
      b.bound = "its block header is damaged (links and record count)";
    } else if (b.records < 0) {
      if (int32_t n = fromIndex(k); n >= 0) {
        b.records = n;
        b.bound = "its record count is damaged; " + std::to_string(n) + " record(s) per the primary index";
      } else if (src == SalvageBlock::Source::kChain && linksWhole && damaged == 1 && declared >= l.chainRecords &&
                 declared - l.chainRecords <= uint64_t(cap)) {
        b.records = int32_t(declared - l.chainRecords);
        b.bound = "its record count is damaged; " + std::to_string(b.records) +
                  " record(s) per the header's record count less the other blocks'";
      } else {
        b.bound = "its record count is damaged and nothing in the table gives it";
      }
    }
    if (b.records > 0) found += uint64_t(b.records);
    plan.blocks.push_back(std::move(b));
  };
  for (size_t i = 0; i < l.chain.size(); ++i) add(l.chain[i], i ? l.chain[i - 1] : 0, SalvageBlock::Source::kChain);

  // Where the chain is whole and holds the header's count, blocks outside both lists are
  // what an engine leaves behind (deleted records): they are not the table's. A broken
  // or short chain, or fewer records than the header counts, is the evidence that a
  // lost part of the chain may lie among them.
  std::vector<uint8_t> used(l.owner.size(), 0);
  for (uint16_t k : l.chain) used[k] = 1;
  const bool chainDamaged = l.chainBroken || l.chain.size() < fx.blocksInUse || found < declared;
  if (chainDamaged) {
    // The lost part of the chain: blocks whose previous link continues it, one by one.
    std::multimap<uint16_t, uint16_t> byPrev;
    for (uint16_t k : l.orphans) byPrev.emplace(l.headers[k].prevBlock, k);
    uint16_t last = l.chain.empty() ? 0 : l.chain.back();
    while (true) {
      auto [lo, hi] = byPrev.equal_range(last);
      uint16_t next = 0;
      int candidates = 0;
      for (auto it = lo; it != hi; ++it)
        if (!used[it->second]) {
          next = it->second;
          ++candidates;
        }
      if (candidates != 1) break;
      used[next] = 1;
      add(next, last, SalvageBlock::Source::kReconnected);
      last = next;
    }
    // Records still missing from the header's count: from the remaining blocks outside
    // both lists, in physical order, never beyond that count.
    for (uint16_t k : l.orphans) {
      if (used[k]) continue;
      const int n = l.RecordsIn(k);
      if (n <= 0 || found >= declared) continue;
      used[k] = 1;
      SalvageBlock b{k, SalvageBlock::Source::kOrphan, n, ""};
      if (found + uint64_t(n) > declared) {
        b.records = int32_t(declared - found);
        b.bound = "only " + std::to_string(b.records) + " record(s) are missing from the header's record count";
      }
      found += uint64_t(b.records);
      plan.blocks.push_back(std::move(b));
    }
  }
  for (uint16_t k : l.orphans)
    if (!used[k] && l.RecordsIn(k) > 0) plan.leftOut.push_back(k);
  if (!plan.leftOut.empty())
    plan.leftOutWhy = chainDamaged ? "the header's record count is reached without them"
                                   : "the data chain is whole, so they hold deleted records";
  return plan;
}

}  // namespace paradox
