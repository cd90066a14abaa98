// The one walk of a DB-format file's block lists (the .DB, or a secondary index's
// .Xnn/.XGn): every block header the file holds, the data chain from the header's
// first-block word, the free list, the blocks in neither, and what disagrees with the
// header. The verifier turns the walk's events into findings; the salvage reader takes
// its blocks (and, where the chain is damaged, the blocks that evidence says belong to
// the table) from the same walk, so the two cannot disagree about what a table holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"

namespace paradox {

// What the walk noticed. `block` is where (0 = the header), `offset` the file offset.
enum class ListEvent {
  kEmptyTableLinks,     // no blocks, but first/last/in-use words are not 0
  kFirstBlockBad,       // first-block word 0 or beyond the file's blocks: value
  kFirstBlockUnusual,   // first block is not 1 (normal after deletes and reuse)
  kLinkOutOfRange,      // block `block` links to `value`, beyond every block of the file
  kLinkBeyondEof,       // link to `value`, a block the header counts but the file cuts off
  kBeyondFileBlocks,    // chained block `block` is present but beyond the header's count
  kCycle,               // block `block` links to `value`, already in the chain
  kPrevLink,            // block `block`'s previous link is `value`, should be `expected`
  kLastBlock,           // last-block word is `value`, the chain ends at `expected`
  kChainLength,         // blocks-in-use word is `value`, the chain has `expected`
  kFreeOutOfRange,      // free-list link from `block` (0: header) to `value` beyond the file
  kFreeCrossLink,       // block `block` is chained and free
  kFreeCycle,           // free list reaches block `block` twice
  kOrphan,              // block `block` is in neither list
  kBlockCount,          // file-blocks word is `value`, the lists hold `expected`
  kBadRecordCount,      // chained block `block`: addDataSize `value` is not a record count
  kEmptyChainBlock,     // chained block `block` holds no records (table not empty)
  kRecordCount,         // record-count word is `value`, the intact chain holds `expected`
  kFileShort,           // file is `value` bytes, header + blocks need `expected`
  kFileShortLastBlock,  // file ends in its last block, after that block's records
  kFileLong,            // file is `value` bytes, header + blocks make `expected`
};

struct ListFinding {
  ListEvent event;
  uint32_t block = 0;
  uint64_t offset = 0;
  int64_t value = 0;
  int64_t expected = 0;
};

struct BlockLists {
  uint32_t fileBlocks = 0;           // the header's word
  uint32_t presentBlocks = 0;        // blocks whose 6-byte header the file holds
  uint32_t physicalBlocks = 0;       // whole or partial blocks after the header
  std::vector<BlockHeader> headers;  // index = block number (0 unused), 1..presentBlocks
  std::vector<uint8_t> owner;        // 0 none, 1 chain, 2 free; index = block number
  std::vector<uint16_t> chain;       // data chain in walk order (stops before a fault)
  std::vector<uint16_t> freeList;    // free list in walk order (stops before a fault)
  std::vector<uint16_t> orphans;     // present blocks in neither list, physical order
  bool chainBroken = false;          // the walk stopped at a bad link
  bool freeBroken = false;
  bool countsValid = true;    // every chained block's addDataSize is a count
  uint64_t chainRecords = 0;  // records over the chained blocks with valid counts
  std::vector<ListFinding> findings;

  // Records in block k per its addDataSize; -1 when it is not a record count.
  int RecordsIn(uint32_t k) const { return k < counts_.size() ? counts_[k] : -1; }
  // The chain's declared shape agrees with the header: not broken, ends at the last
  // block, as long as the blocks-in-use word, every count valid and summing to the
  // record-count word.
  bool ChainIntact() const { return intact_; }

 private:
  friend Status WalkBlockLists(File*, const TableHeader&, uint64_t, BlockLists*,
                               const std::function<void(uint64_t, uint64_t)>&);
  std::vector<int32_t> counts_;
  bool intact_ = false;
};

// Called with (block headers read, blocks present) while they are read.
using BlockWalkProgress = std::function<void(uint64_t done, uint64_t total)>;

// Walks the lists of the file `f` (of `fileSize` bytes) laid out by header `h`
// (headerSize, blockSize and recordSize must already be sane). Reads every present
// block's header once (decrypted when the table is encrypted). IOError when the file
// system fails; damage is only ever reported as findings.
Status WalkBlockLists(File* f, const TableHeader& h, uint64_t fileSize, BlockLists* out,
                      const BlockWalkProgress& progress = {});

// A block the salvage reads, and how many of its slots are the table's records.
struct SalvageBlock {
  enum class Source { kChain, kReconnected, kOrphan };
  uint16_t block = 0;
  Source source = Source::kChain;
  // Slots that are records: the block's count, or the bound the redundancy gives a
  // damaged count. -1: nothing justifies any number (the slots go to the problem table).
  int32_t records = 0;
  // Why `records` was not the block's own count ("" when it was).
  std::string bound;
};

struct SalvagePlan {
  std::vector<SalvageBlock> blocks;  // reading order
  // Present blocks with records that the plan leaves out, and why (reported, not read).
  std::vector<uint16_t> leftOut;
  std::string leftOutWhy;
};

// Which blocks hold the table's records, from the walk and the redundancy the file
// has: the chain; where it breaks, the blocks whose links continue it; records still
// missing from the header's count taken from blocks outside both lists, never more
// than that count. A chained block whose count word is damaged is bounded by
// `indexCounts` (per data block, from the primary index's leaf entries; -1 or absent
// = unknown) or by the header's count less the other blocks' records.
SalvagePlan PlanSalvage(const BlockLists& lists, const TableHeader& h,
                        const std::vector<int32_t>& indexCounts);

}  // namespace paradox
