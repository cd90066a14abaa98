// Primary index (.PX) and the B-tree half of secondary indexes (.Ynn/.YGn): reading
// the tree, and the secondary-index definition kept in an X/XG header.
// Index files are small (one entry per data block), so they are read whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"

namespace paradox {

// One index entry: key bytes (as stored in records) + three §-encoded u16 values.
struct IndexEntry {
  Bytes key;
  uint16_t child = 0;  // lowest level: data-file block; upper: index block
  uint16_t count = 0;  // records below this entry
  uint16_t third = 0;  // always 0 (stored 80 00)
  // Encodes key + 6 trailer bytes; DecodeFrom takes keyLength + 6 bytes.
  void DecodeFrom(const uint8_t* in, size_t keyLength);
  void EncodeTo(uint8_t* out) const;
  bool operator==(const IndexEntry&) const = default;
};

struct IndexBlock {
  uint16_t number = 0;
  BlockHeader header;
  int level = 0;  // 0 = root, numIndexLevels-1 = lowest (leaf) level; -1 unreached
  std::vector<IndexEntry> entries;
};

// A decoded PX/Y/YG file. Strictly bounds-checked; structural faults are listed in
// `problems` (the tree walk stops at them) rather than failing the open, so the
// verifier can report them. Open fails only on an unreadable header.
class IndexFile {
 public:
  struct Problem {
    uint16_t block = 0;  // 0 = header
    std::string detail;
  };
  // key = decryption key to use when the index header carries one (its 0x25).
  static Result<std::unique_ptr<IndexFile>> Open(FileSystem* fs, const std::string& path);

  const TableHeader& header() const { return header_; }
  const std::string& path() const { return path_; }
  uint32_t keyLength() const {
    return header_.fixed.recordSize >= 6 ? header_.fixed.recordSize - 6u : 0u;
  }
  // Blocks reached from the root, indexed by block number (1..fileBlocks); blocks
  // not reached have level -1 and no entries.
  const std::vector<IndexBlock>& blocks() const { return blocks_; }
  // The index-block chain as linked (walk order).
  const std::vector<uint16_t>& chain() const { return chain_; }
  // Lowest-level entries in tree order (these point at data-file blocks).
  const std::vector<IndexEntry>& leafEntries() const { return leaves_; }
  size_t totalEntries() const { return totalEntries_; }
  const std::vector<Problem>& problems() const { return problems_; }

 private:
  IndexFile() = default;
  Status Load(FileSystem* fs);
  // Load's steps.
  Status LoadHeader(File* file, uint64_t size);
  Status ReadBlock(File* file, uint32_t k, Bytes* buf) const;
  void WalkBlockList(File* file);
  void WalkTree(File* file);
  void LoadTreeBlock(File* file, uint16_t b, int lv, std::vector<uint16_t>* next);
  std::string path_;
  TableHeader header_;
  std::vector<IndexBlock> blocks_;
  std::vector<uint16_t> chain_;
  std::vector<IndexEntry> leaves_;
  size_t totalEntries_ = 0;
  std::vector<Problem> problems_;
  uint32_t physicalBlocks_ = 0;  // whole or partial blocks after the header
};

// A secondary index's definition, from the X/XG header.
struct SecondaryIndexInfo {
  std::string name;                // XG index name; "" for .Xnn
  bool composite = false;          // XG
  bool maintained = false;         // fileType 5/8
  bool caseInsensitive = false;    // 0x55 bit 0
  bool descending = false;         // 0x55 bit 4 (or any field's bit 15)
  bool unique = false;             // 0x55 bit 5
  std::vector<uint16_t> dbFields;  // 1-based DB field numbers of the indexed fields
  std::vector<bool> fieldDescending;
  uint8_t flags55 = 0;
};
// From a decoded X/XG header: the first m fieldNumbers with m = numFields minus the
// trailing hint fields (1 for a keyed base table: "Blk Num" and the primary key
// fields; 3 for unkeyed: "Tup No", "Blk Num", "Tup Offset"). `dbPrimaryKeyFields` is
// the base table's 0x23. Headers below level 4 carry no field numbers: the field of
// their (single-field) index is the one at 0x15.
Result<SecondaryIndexInfo> SecondaryIndexFromHeader(const TableHeader& x,
                                                    uint16_t dbPrimaryKeyFields);

// Builds index blocks for a list of lowest-level entries (one per data block) as the
// writer does: leaves filled to capacity, upper levels until one root. Returns the
// blocks in allocation order (leaves first, root last) with next/prev links and the
// root number / level count. Exposed for the rebuilder and tests.
struct BuiltIndex {
  std::vector<Bytes> blocks;  // each indexBlockSize bytes, unencrypted
  uint16_t root = 1;
  uint8_t levels = 0;
  uint32_t totalEntries = 0;
};
Result<BuiltIndex> BuildIndexBlocks(const std::vector<IndexEntry>& leaves, size_t keyLength,
                                    uint32_t indexBlockSize);

}  // namespace paradox
