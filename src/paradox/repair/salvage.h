// Salvage of a table's records for the rebuilder: recovers the structure (from the
// header as stored while the file agrees with it; else its redundancy, the family
// members or a caller's description), reads every record the salvage reader can
// justify (chain.h PlanSalvage: the chain, the blocks that continue a broken chain,
// blocks outside both lists only while the header's count says records are missing;
// never the free list nor the stale bytes after a block's last record), resolves blob
// values, orders keyed tables and separates key violations (a repeated key, or a
// repeated value of a unique secondary index: SecondaryIndexValue). Before the key order
// it judges the records against the table's own data (verify/field_profile.h): the
// records of a block that mostly does not look like the others', and the end of a block
// a torn write zeroed, go to the problems with their reasons (SalvageResult::implausible);
// a single odd record in a sound block stays and gets an "implausible" action.
//
// Key order: KeyOrder (collation.h), the engine's order for every sort order this
// library knows ("ascii" is plain byte order). For a sort order it does not know, the
// surviving chain keeps the order the engine wrote it in (stably sorted only where it
// breaks the order of its leading numeric, date, time, logical or BCD key fields, which
// every collation sorts by value), and records found outside the chain are merged into
// it by an approximation (alpha key fields compared with ASCII letters folded to upper
// case, then by byte value; other fields by their bytes); the rebuild writes that order
// as it is (WriteOptions::keepGivenOrder). Equal keys means byte-equal key fields; the
// first record of a key in that order is kept (chain records come before records from
// outside the chain), the others become key violations.
//
// Memory: with keepBytes (the default) the kept records are held in memory (raw bytes
// plus resolved blob values). Without it the records stay in the files and are fetched
// one at a time through SalvageResult::source; the salvage holds their places as runs
// (one entry per block whose records stay in place). Keys of a known collation are
// checked as they come and not kept while they ascend; once they must be sorted they
// go through SortedRows (bounded by sortMemory when there is a spillDir). An unknown
// collation keeps every key plus 12 bytes a record.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"
#include "paradox/format/writer.h"
#include "paradox/repair/structure.h"

namespace paradox {

// One record the rebuild keeps (or moves to the key-violation table).
struct SalvagedRecord {
  Bytes raw;                    // recordSize bytes, decrypted
  std::vector<BlobData> blobs;  // full values of blob fields stored in the .MB
  uint32_t block = 0;           // physical block it came from
  uint32_t index = 0;           // 0-based slot in that block
};

// Something that cannot be kept as a record: its bytes and why.
struct SetAside {
  Bytes raw;            // the record's bytes (decrypted), possibly partial
  uint32_t block = 0;   // 0 = not in a block
  int64_t index = -1;   // slot in the block, -1 = n/a
  uint64_t offset = 0;  // file offset
  std::string reason;
};

// Where a salvaged record lies in the .DB: its block and its 0-based slot there.
struct RecordPlace {
  uint32_t block = 0;
  uint32_t index = 0;
};

// Slots first .. first + count - 1 of a block.
struct PlaceRun {
  uint32_t block = 0;
  uint32_t first = 0;
  uint32_t count = 0;
};

// Record places in reading order, kept as runs of consecutive slots of one block: a
// table whose records stay in place takes one entry per block, whatever their number.
class PlaceList {
 public:
  void push_back(RecordPlace p) {
    if (!runs_.empty() && runs_.back().block == p.block &&
        runs_.back().first + runs_.back().count == p.index)
      ++runs_.back().count;
    else
      runs_.push_back({p.block, p.index, 1});
    ++size_;
  }
  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    std::vector<Run>().swap(runs_);
    size_ = 0;
  }

  class Iterator {
   public:
    RecordPlace operator*() const { return {(*runs_)[run_].block, (*runs_)[run_].first + at_}; }
    Iterator& operator++() {
      if (++at_ == (*runs_)[run_].count) {
        ++run_;
        at_ = 0;
      }
      return *this;
    }
    bool operator!=(const Iterator& o) const { return run_ != o.run_ || at_ != o.at_; }

   private:
    friend class PlaceList;
    Iterator(const std::vector<PlaceRun>* runs, size_t run) : runs_(runs), run_(run) {}
    const std::vector<PlaceRun>* runs_;
    size_t run_;
    uint32_t at_ = 0;
  };
  Iterator begin() const { return Iterator(&runs_, 0); }
  Iterator end() const { return Iterator(&runs_, runs_.size()); }

 private:
  using Run = PlaceRun;
  std::vector<Run> runs_;
  uint64_t size_ = 0;
};

// The bytes and blob values of salvaged records, as the salvage kept them (an in-leader
// blob's pointer cleared, a broken blob's value as far as it was recovered), read from
// the table's files when asked. Not thread-safe.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // Replaces out->raw and out->blobs (reusing their storage) and sets block and index.
  // Corruption or IOError when the files no longer give what the salvage read there.
  virtual Status Fetch(RecordPlace at, SalvagedRecord* out) = 0;
};

struct SalvageOptions {
  const TableStructure* structure = nullptr;  // caller's description (optional)
  // A table whose structure to read the data with when neither the table's header, nor
  // its family, nor an earlier rebuild's backup gives one (structure_sources.h); while
  // the table's own gives one, it must describe the same layout. "" = none.
  std::string structureFrom;
  std::function<void(int phase, int percent)> progress;
  // false: leave records in the files (recordPlaces, keyViolationPlaces, source)
  // instead of filling records and keyViolations.
  bool keepBytes = true;
  // Keys of a known collation that must be sorted are held up to sortMemory bytes,
  // then written as sorted runs into spillDir (an existing folder) and merged; with
  // no spillDir they are all held.
  std::string spillDir;
  size_t sortMemory = 64 << 20;
};

struct SalvageResult {
  TableHeader header;                         // the header the records follow (repaired if needed)
  TableSchema schema;                         // what the writer needs, secondary indexes included
  WriteOptions writeOptions;                  // base header and counters carried over
  std::vector<SalvagedRecord> records;        // final order
  std::vector<SalvagedRecord> keyViolations;  // repeat a kept key or a unique index's value
  std::vector<SetAside> problems;
  // keepBytes false: where the kept records and the key violations lie, in the same
  // order records and keyViolations would have, and the source that reads them.
  PlaceList recordPlaces;
  PlaceList keyViolationPlaces;
  std::shared_ptr<RecordSource> source;
  std::vector<RebuildAction> actions;  // what was found and done
  uint32_t issues = 0;                 // damage found (0 = nothing to repair in the data)
  uint64_t blobsBroken = 0;
  // Records set aside (in `problems`) because the table's own data shows them to be
  // garbage: the records of a block that mostly does not look like the other blocks', or
  // the zero records a torn write left (verify/field_profile.h).
  uint64_t implausible = 0;
  bool headerRepaired = false;
  bool headerFromStructure = false;  // layout came from a description, not the file
};

// Salvages the table of `family` (its .DB, .PX, .MB, X/XG headers, .VAL). Fails with
// Corruption when no structure can be found, NotFound/IOError when the .DB cannot be
// read at all, InvalidArgument when options.structure or options.structureFrom does not
// fit the table.
Result<SalvageResult> SalvageTable(FileSystem* fs, const FamilyFiles& family,
                                   const SalvageOptions& options = {});

// The structure of an existing table (fields, key, secondary indexes from the X/XG
// headers, validity-check and link counts from the .VAL), recovered as SalvageTable
// would. For callers that fill a rebuild descriptor.
Result<TableStructure> DescribeTableStructure(FileSystem* fs, const std::string& dbPath);

// Key comparison used for ordering (see above); < 0, 0, > 0. exactCollation: the
// table's KeyOrder when its collation is known, else byte order of the key fields.
int CompareKeys(const TableHeader& h, ByteSpan a, ByteSpan b, bool exactCollation);
// True when the table's collation is plain byte order ("ascii").
bool IsByteOrderCollation(const TableHeader& h);

}  // namespace paradox
