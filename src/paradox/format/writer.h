// Writing complete, valid table families: .DB, .PX (keyed), .Xnn/.Ynn or .XGn/.YGn
// secondary indexes, .MB (blob fields), at any level and allowed block size,
// optionally encrypted with a given key. Records stream to disk block by block; only
// key material for indexes is held in memory: one entry per data block, and the rows
// of each secondary index up to a budget (WriteOptions::indexMemory), past which they
// go to temporary sorted runs merged at Finish().
//
// Usage:
//   TableSchema s;
//   s.level = TableLevel::k7; s.blockSize = 4096; s.codePage = 1252;
//   s.fields = {{"Id", FieldType::kLong}, {"Name", FieldType::kAlpha, 20}};
//   s.keyFieldCount = 1;
//   auto w = TableWriter::Create(fs, "/dir/CUSTOMER.DB", s);
//   w.value()->AddRecord({int64_t{1}, std::string("Alice")});
//   Status st = w.value()->Finish();
// Until Finish() succeeds the family on disk is incomplete (files are written under
// their final names); callers that must not expose that write into a scratch folder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "paradox/format/blob.h"
#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/index.h"
#include "paradox/format/status.h"
#include "paradox/format/value.h"

namespace paradox {

struct FieldDef {
  std::string name;  // raw bytes in the table's code page, 1..25 chars
  FieldType type = FieldType::kAlpha;
  // A/Y: length 1-255 (required); M/B/F/O/G: leader bytes 0-240 (M: 1-240), default
  // 10 for M, 0 for the others when 0 is given; #: decimal places 0-32; others ignored.
  uint16_t size = 0;
};

struct SecondaryIndexDef {
  // "" -> a single-field, case-sensitive .Xnn/.Ynn index (exactly one field);
  // otherwise a named .XGn/.YGn index.
  std::string name;
  std::vector<std::string> fields;  // names of the indexed fields (in order)
  bool caseInsensitive = false;     // forces XG
  bool descending = false;          // level 7 only, forces XG
  bool unique = false;              // level 7 only, forces XG
};

struct TableSchema {
  TableLevel level = TableLevel::k7;
  uint32_t blockSize = 2048;       // allowed per BlockSizeAllowed() (rebuild: see baseHeader)
  uint32_t indexBlockSize = 2048;  // block size of .PX/.Y files
  uint16_t codePage = 1252;        // stored at level >= 4; picks the sort order
  // Collation. Empty -> chosen from the code page (SortOrderForCodePage).
  std::optional<uint8_t> sortOrder;
  std::string sortOrderId;
  std::vector<FieldDef> fields;
  uint16_t keyFieldCount = 0;                       // leading fields forming the primary key
  std::vector<SecondaryIndexDef> secondaryIndexes;  // need keyFieldCount > 0 for maintained ones
  uint32_t encryptionKey = 0;                       // 0 = not encrypted (KeyFromPassword makes one)
  std::string tableName;                            // stored name; "" -> the .DB file name
  uint8_t writeProtected = 0;
};

// Builds the header a new table of this schema gets (without counters). Exposed so
// tests and the rebuilder can compare layouts. InvalidArgument naming the problem
// for a schema that cannot be written (type not allowed at the level, block size the
// level does not allow, record too big for the block, duplicate/empty/too long names,
// bad sizes, key too long, ...).
Result<TableHeader> HeaderForSchema(const TableSchema& schema, const std::string& dbPath);
// The schema an existing header describes (fields, key, level, sizes, code page,
// sort order, key). Secondary indexes are not in the DB header: add them from
// SecondaryIndexFromHeader().
TableSchema SchemaFromHeader(const TableHeader& h);
// FieldDef::size of a described field: A/Y length, # decimals, blob leader; 0 otherwise.
uint16_t FieldDefSize(const FieldDesc& f);

struct WriteOptions {
  // Keyed tables: records must come in strictly ascending key order (KeyOrder of the
  // table, collation.h; alpha fields in byte order for a sort order it does not know)
  // unless this is set, in which case they are buffered in memory and sorted at Finish(); a
  // duplicate key is InvalidArgument either way.
  bool sortInMemory = false;
  // Keyed tables: take the records in the order given, refusing only byte-identical
  // duplicate keys (no ascending-order check). For sort orders this library does not
  // know (collation.h), so a rebuild keeps the order the engine wrote. The .PX is built
  // from the blocks as written (first key of each block); .Xnn/.XGn files of such a
  // table are sorted with alpha fields in byte order. Duplicates among the keys held
  // (indexMemory) are refused as they come; once keys went to a run, a duplicate of
  // one of those is found at Finish(), which then fails (InvalidArgument). Cannot be
  // combined with sortInMemory.
  bool keepGivenOrder = false;
  // Copy unknown header bytes and counters from an existing header (rebuild). When its
  // block size is the schema's, any block size the format has (BlockSizeKnown) is kept,
  // even one the level does not give new tables.
  std::optional<TableHeader> baseHeader;
  // Header counters; defaults follow the usual values (0x2D = 2 when a PX is written).
  std::optional<uint8_t> changeCount1;     // 0x2D
  std::optional<uint8_t> changeCount2;     // 0x2E
  std::optional<uint32_t> fileUpdateTime;  // 0x60; default: now (Unix seconds)
  // Fill each data block only up to this many records (0 = capacity).
  uint32_t recordsPerBlock = 0;
  bool sync = true;  // fsync every file at Finish()
  // Told after each block written: (false, records so far, expectedRecords) while
  // records come in, then (true, index rows written, all index rows) while Finish()
  // sorts and writes the .PX and the secondary indexes (and checks given-order keys
  // that went to runs).
  std::function<void(bool indexes, uint64_t done, uint64_t total)> progress;
  uint64_t expectedRecords = 0;  // for the progress, and to size the index buffers once
  // Memory for what is sorted at Finish(): the rows of the secondary indexes and the
  // keys keepGivenOrder checks, shared by them alike. Past its share each sorts what it
  // holds into a temporary run file, and Finish() merges the runs; the files written
  // are the same whatever the budget.
  size_t indexMemory = size_t{64} << 20;
  // Folder of those run files ("<TABLE>.<n>.rows.tmp"); "" = the .DB's folder. They are
  // never in files(), and are removed when Finish() ends and when an unfinished writer
  // is destroyed.
  std::string spillDir;
};

// Per-blob payload for AddRawRecord: full value of blob field `field` (0-based).
struct BlobData {
  uint32_t field = 0;
  Bytes data;
};

class TableWriter {
 public:
  // Creates (truncates) dbPath and the family members the schema needs; removes no
  // other files. fs not owned.
  static Result<std::unique_ptr<TableWriter>> Create(FileSystem* fs, const std::string& dbPath,
                                                     const TableSchema& schema,
                                                     const WriteOptions& options = {});
  ~TableWriter();

  const TableHeader& header() const { return header_; }

  // Encodes one record. values.size() must equal the field count. Blob fields take
  // std::string or Bytes (the full value; stored in the leader and, when longer, in
  // the .MB) or a null. An autoincrement field given null gets the next number.
  Status AddRecord(const std::vector<Value>& values);
  // Takes record bytes as stored (recordSize bytes). Blob fields: when `blobs` has an
  // entry for the field its data replaces leader+pointer; otherwise the field must be
  // blank or hold its whole value in the leader (InvalidArgument if it points into an
  // .MB, since that .MB is not this writer's).
  Status AddRawRecord(ByteSpan record, const std::vector<BlobData>& blobs = {});
  // Writes the remaining block, headers, indexes and blob file; syncs. After an error
  // the writer is unusable and the family on disk incomplete.
  Status Finish();
  uint64_t recordCount() const { return numRecords_; }

  // Files written or being written (DB first).
  std::vector<std::string> files() const;

 private:
  struct Impl;
  struct IndexWork;
  Status WriteBufferedRecords();
  Status CheckGivenKeys(IndexWork* work);
  Status FinishDataFile();
  Status WriteSecondaryIndex(size_t which, IndexWork* work);
  TableWriter();
  std::unique_ptr<Impl> impl_;
  TableHeader header_;
  uint64_t numRecords_ = 0;
};

// The value a secondary index on `fields` (0-based field numbers of h) holds for a
// record (h.fixed.recordSize bytes, decrypted): each field's stored bytes, alpha fields
// in the upper case of the table's driver when the index is case-insensitive, every
// byte inverted when it is descending. A unique index refuses two records with equal
// values. (The order of index rows is KeyOrder's, collation.h.)
Bytes SecondaryIndexValue(const TableHeader& h, const std::vector<int>& fields,
                          bool caseInsensitive, bool descending, ByteSpan record);

// Convenience for fixtures: writes a whole table in one call.
Status WriteTable(FileSystem* fs, const std::string& dbPath, const TableSchema& schema,
                  const std::vector<std::vector<Value>>& records, const WriteOptions& options = {});

}  // namespace paradox
