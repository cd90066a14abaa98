// Reading DB-format files (.DB and the X/XG secondary-index data files) block by
// block, in two modes:
//   strict  - follows the header and the chain, records every anomaly it meets (with
//             its location) and goes on where it can;
//   salvage - for rebuild: keeps every record it can justify (the blocks of chain.h's
//             PlanSalvage, each record checked by decoding its fields) and reports
//             every span it drops, with location and reason.
// Both take their blocks from WalkBlockLists, the walk the verifier judges by.
// Memory use is one block plus the block-list bookkeeping (about 16 bytes per block).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "paradox/format/chain.h"
#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/header_file.h"
#include "paradox/format/status.h"
#include "paradox/format/value.h"

namespace paradox {

// Where something is. block 0 = the header (or "not in a block"); record -1 = none.
struct Location {
  std::string file;     // path as opened
  uint32_t block = 0;   // 1-based block number
  int64_t record = -1;  // 0-based index of the record inside the block
  // Absolute file offset; none when the finding is about the file as a whole. 0 is the
  // header's first byte, a place like any other.
  std::optional<uint64_t> offset;
  int field = -1;                // 0-based field index, -1 = none
  std::string ToString() const;  // "FILE.DB block 3 record 2 (offset 0x1234)"
  // The one way a place is made: the file alone, or a block, record and offset in it.
  static Location At(std::string file, uint32_t block = 0, int64_t record = -1,
                     std::optional<uint64_t> offset = std::nullopt);
};

// Something the reader noticed. `code` is a stable identifier (below).
struct Anomaly {
  std::string code;
  Location where;
  std::string detail;  // "records in chain is 10 but header says 12"
};

// Anomaly codes reported by the reader.
namespace anomaly {
inline constexpr const char* kFileShort = "file-short";  // file ends before fileBlocks
inline constexpr const char* kFileShortLastBlock =
    "file-short-last-block";                           // ends in last block but covers its records
inline constexpr const char* kFileLong = "file-long";  // longer than header + blocks
inline constexpr const char* kChainOutOfRange = "chain-out-of-range";
inline constexpr const char* kChainCycle = "chain-cycle";
inline constexpr const char* kChainBadPrev = "chain-bad-prev";
inline constexpr const char* kChainLength = "chain-length";  // != 0x0A
inline constexpr const char* kChainEnd = "chain-end";        // last != 0x10, first != 0x0E
inline constexpr const char* kFreeOutOfRange = "free-out-of-range";
inline constexpr const char* kFreeCycle = "free-cycle";
inline constexpr const char* kFreeInChain = "free-in-chain";
inline constexpr const char* kOrphanBlock = "orphan-block";
inline constexpr const char* kBlockCount = "block-count";  // chain + free != fileBlocks
inline constexpr const char* kBadAddDataSize = "bad-add-data-size";
inline constexpr const char* kEmptyChainBlock = "empty-chain-block";
inline constexpr const char* kRecordCount = "record-count";  // sum over chain != 0x06
inline constexpr const char* kBadValue = "bad-value";        // a field fails to decode
inline constexpr const char* kReadError = "read-error";
}  // namespace anomaly

// A span the salvage reader did not keep.
struct DroppedSpan {
  Location where;       // block (and record) where it starts
  uint64_t length = 0;  // bytes
  std::string reason;   // "field 3 (Date): date 99999999 out of range"
  Bytes bytes;          // the dropped bytes when it is one record (for a problem table)
  // Why, as an anomaly code: kReadError (the block could not be read: the file system
  // failed, not the data), kFileShort (beyond the end of the file), kBadValue (the
  // record does not decode).
  std::string code;
};

enum class ReadMode { kStrict, kSalvage };

struct ReadOptions {
  ReadMode mode = ReadMode::kStrict;
  // Stop recording anomalies after this many (counting goes on: anomalyCount()).
  size_t maxAnomalies = 1000;
  // Salvage: a trusted header to use when the file's own header cannot be parsed or
  // describes a different record layout (a template table of the same structure).
  std::optional<TableHeader> templateHeader;
  // Salvage: records per data block from the primary index's leaf entries (index =
  // block number, -1 = unknown), to bound a block whose own count word is damaged.
  std::vector<int32_t> indexCounts;
};

// One block as read.
struct BlockInfo {
  uint32_t number = 0;  // 1-based
  uint64_t offset = 0;  // file offset of the block
  BlockHeader header;
  int records = 0;       // records kept (strict: per addDataSize; salvage: validated)
  bool complete = true;  // false when the file ends inside the block
  // Leading bytes of the block whose contents are known: all of it when complete, else
  // those in the file (encrypted: only whole 256-byte chunks, each decrypts as a unit).
  uint32_t known = 0;
};

// How the reader saw the block lists.
struct ChainInfo {
  std::vector<uint16_t> chain;     // data chain in walk order (stops before a fault)
  std::vector<uint16_t> freeList;  // free list in walk order (stops before a fault)
  std::vector<uint16_t> orphans;   // physical blocks in neither list
  uint32_t physicalBlocks = 0;     // whole or partial blocks present in the file
  bool chainBroken = false;        // walk stopped at a bad link
  bool freeBroken = false;
  uint64_t chainRecords = 0;  // sum of records over the chain (strict counts)
};

// One record: where it is and its raw bytes (valid until the cursor moves).
struct RecordRef {
  uint32_t block = 0;
  uint32_t indexInBlock = 0;
  uint64_t ordinal = 0;  // 0-based position in reading order
  uint64_t fileOffset = 0;
  ByteSpan bytes;  // recordSize bytes (decrypted)
};

class TableReader;

// Pull cursor over records in reading order. Usage:
//   auto cur = reader->Records();
//   while (cur.Next()) { use cur.record(); }
//   if (!cur.status().ok()) ...   // an I/O error ended it early
class RecordCursor {
 public:
  bool Next();
  const RecordRef& record() const { return rec_; }
  const BlockInfo& block() const { return block_; }
  Status status() const { return status_; }
  // Decodes the current record's fields (Corruption naming the field on a bad value).
  Result<std::vector<Value>> Decode() const;

 private:
  friend class TableReader;
  explicit RecordCursor(TableReader* r) : reader_(r) {}
  bool LoadNextBlock();
  TableReader* reader_;
  size_t listPos_ = 0;  // position in the reading order of blocks
  Bytes buf_;
  BlockInfo block_;
  std::vector<uint32_t> keep_;  // indexes of records kept in this block
  size_t recPos_ = 0;
  uint64_t ordinal_ = 0;
  RecordRef rec_;
  Status status_;
  bool done_ = false;
};

class TableReader {
 public:
  // Opens a DB-format file (DB, X, XG). fs not owned, must outlive the reader.
  // Strict: Corruption if the header cannot be decoded (there is nothing to go on).
  // Salvage: falls back to options.templateHeader for the layout if given.
  // Opening walks the chain and the free list (reading 6-byte block headers only) so
  // chain() is ready; anomalies found so far are in anomalies().
  static Result<std::unique_ptr<TableReader>> Open(FileSystem* fs, const std::string& path,
                                                   const ReadOptions& options = {});
  ~TableReader();

  const TableHeader& header() const { return header_; }
  const std::string& path() const { return path_; }
  uint64_t fileSize() const { return fileSize_; }
  ReadMode mode() const { return options_.mode; }
  const ChainInfo& chain() const { return chain_; }
  const std::vector<Anomaly>& anomalies() const { return anomalies_; }
  size_t anomalyCount() const { return anomalyCount_; }
  const std::vector<DroppedSpan>& dropped() const { return dropped_; }
  // True when the header was taken from options.templateHeader.
  bool usedTemplate() const { return usedTemplate_; }

  // Blocks in the order records are read: strict = the chain; salvage = the blocks
  // of salvagePlan().
  const std::vector<uint16_t>& readingOrder() const { return order_; }
  // The walk of the block lists, shared with the verifier.
  const BlockLists& lists() const { return lists_; }
  // Salvage: which blocks hold the table's records and why (empty in strict mode).
  const SalvagePlan& salvagePlan() const { return plan_; }

  // Reads block `number` (1..physicalBlocks), decrypting it. `out` gets blockSize
  // bytes (zero-filled past the end of a short file; info->complete false then).
  Status ReadBlock(uint32_t number, Bytes* out, BlockInfo* info);

  // A cursor over all records in readingOrder(). Strict: counts per addDataSize
  // (bad ones: anomaly, block skipped). Salvage: every record is decoded; the ones
  // that fail, and whole blocks whose header is implausible, go to dropped().
  // Each call starts a fresh pass: dropped() is cleared so spans are not listed twice.
  RecordCursor Records() {
    dropped_.clear();
    return RecordCursor(this);
  }

  // Decodes all fields of raw record bytes with this table's layout.
  Result<std::vector<Value>> DecodeRecord(ByteSpan raw) const;

  // For the cursor and the verifier: record an anomaly / dropped span.
  void AddAnomaly(std::string code, Location where, std::string detail);
  void AddDropped(DroppedSpan span);
  Location At(uint32_t block = 0, int64_t record = -1,
              std::optional<uint64_t> offset = std::nullopt) const;

 private:
  friend class RecordCursor;
  TableReader() = default;
  Status Init();
  void WalkLists();
  void PlanReading();
  // The anomaly code of the record's first invalid field (field_rules.h), with why;
  // empty when every field is valid.
  std::string_view RecordAnomaly(ByteSpan rec, std::string* why) const;
  const SalvageBlock* PlanFor(uint32_t block) const {
    return block < planAt_.size() && planAt_[block] >= 0 ? &plan_.blocks[size_t(planAt_[block])]
                                                         : nullptr;
  }

  FileSystem* fs_ = nullptr;
  std::unique_ptr<File> file_;
  std::string path_;
  ReadOptions options_;
  TableHeader header_;
  uint64_t fileSize_ = 0;
  ChainInfo chain_;
  BlockLists lists_;
  SalvagePlan plan_;
  std::vector<int32_t> bound_;   // per block: slots that are records (-1: none justified)
  std::vector<int32_t> planAt_;  // per block: its place in plan_.blocks, -1 = none
  std::vector<uint16_t> order_;
  std::vector<Anomaly> anomalies_;
  size_t anomalyCount_ = 0;
  std::vector<DroppedSpan> dropped_;
  bool usedTemplate_ = false;
};

}  // namespace paradox
