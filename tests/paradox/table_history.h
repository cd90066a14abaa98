// A simulator of a table's life, for property tests of the verifier and the rebuilder.
//
// Our own writer lays a table out one way only: chain 1→2→…→n in physical order, no
// free blocks, nothing stale. Tables that other programs kept for years look different,
// and the library must take them as valid. Simulate() therefore:
//   1. draws a schema and records from a seed (level, block size, key, every field type
//      the level allows, blob values in and beyond the leader, secondary indexes,
//      encryption, sort order) and writes them through TableWriter;
//   2. lives a history on the family's bytes the way an engine does: deletes that close
//      the gap inside a block and put an emptied block on the free list (its stale
//      record bytes stay), inserts into blocks with room, splits of full blocks, merges
//      of neighbours, blocks moved to a free or appended block, new blocks taken from
//      the free list first — so the chain can start at any block, run against physical
//      order (5→4→3→2→1) and the free list holds stale records;
//   3. writes back every redundant field consistently: header counts and chain ends,
//      free-list head, block headers, the .PX (and the maintained .Xnn/.XGn with their
//      Y files) rebuilt from the new chain; a non-maintained index of an unkeyed table
//      is either refreshed or left stale, as an engine leaves it.
// The result carries the ground truth (which records live in which block) so the
// properties below can say exactly what a rebuild must keep.
//
// No GoogleTest here: the long-run program (bench/sim_long.cpp) links this too.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"

namespace paradox::sim {

struct SimOptions {
  uint32_t minBlocks = 2;  // data blocks the writer fills before the history
  uint32_t maxBlocks = 12;
  uint32_t maxRecords = 400;  // records written (table and the pool held back for inserts)
  uint32_t maxFields = 10;
  uint32_t maxBlobBytes = 5000;  // longest blob value (> 2048 gets a block of its own)
  uint32_t movesPerRecord = 2;   // history length relative to the records written
  // A table of more than 32767 blocks (up to 65535): 1 KiB blocks, one record each,
  // a few small fields, no blobs or secondary indexes.
  bool huge = false;
};

// One live record of the simulated table.
struct SimRecord {
  Bytes raw;    // recordSize bytes as stored (decrypted)
  Bytes full;   // canonical: non-blob field bytes, then per blob field its length and value
  Bytes plain;  // canonical without blob fields (what survives the loss of the .MB)
};

// What a history left behind: the family in `fs` and its ground truth.
struct SimTable {
  uint64_t seed = 0;
  std::unique_ptr<MemFileSystem> fs;
  std::string db;           // the .DB path inside fs
  std::string description;  // one line: level, block size, key, fields, chain and free list
  TableHeader header;       // the .DB header after the history
  bool keyed = false;
  bool encrypted = false;
  bool blobsInMb = false;       // some live record keeps a blob value in the .MB
  bool staleSecondary = false;  // non-maintained index left as it was before the history
  size_t secondaryIndexes = 0;
  bool uniqueIndex = false;        // one of them is unique (level 7)
  std::vector<uint16_t> chain;     // data chain in order
  std::vector<uint16_t> freeList;  // free list from its head
  uint32_t fileBlocks = 0;
  std::vector<std::vector<SimRecord>> live;  // [block number] live records in slot order

  size_t RecordCount() const;
  // Canonical records of the whole table (chain order).
  std::vector<Bytes> Full() const;
  std::vector<Bytes> Plain() const;
};

// Draws, writes and lives the table of `seed`. Fails only when the simulator itself
// goes wrong (a schema the writer refuses after many draws, a broken invariant).
Result<SimTable> Simulate(uint64_t seed, const SimOptions& options = {});

// Canonical records of a table as the library reads it (strict reader, chain order).
// `withBlobValues` false gives the `plain` form.
Result<std::vector<Bytes>> ReadCanonical(FileSystem* fs, const std::string& db,
                                         bool withBlobValues);

// Re-reads the simulated family's bytes without the library's reader and checks every
// invariant the history must keep (chain and free list links, counts, file size, the
// records of each block against the ground truth). "" when all hold, else what broke.
std::string SelfCheck(const SimTable& t);

// Raw records pxlib reads from the family (copied to a scratch folder on disk), or
// false with the reason (also when the tests were built without pxlib).
bool ReadWithPxlib(const SimTable& t, std::vector<Bytes>* records, std::string* why);

// The outcome of one property on one table.
struct Outcome {
  bool applicable = true;  // false: the damage does not apply to this table
  // What went wrong, each a short stable word: "simulator", "pxlib", "verify-not-clean",
  // "verify-silent", "rebuild-header" (a sound header taken for a damaged one),
  // "rebuild-failed", "rebuild-lost", "rebuild-extra", "rebuild-set-aside",
  // "rebuild-members" (secondary indexes not those of the table), "rebuilt-not-clean". Empty when
  // the property holds.
  std::vector<std::string> faults;
  std::vector<std::string>
      findings;  // distinct error check ids verify reported on the table checked
  std::vector<std::string> rebuildActions;       // distinct action words of the rebuild's report
  Status::Code rebuildCode = Status::Code::kOk;  // the rebuild's status
  uint16_t damagedBlock = 0;  // the block a damage changed (0: none, or not a block)
  std::string detail;         // human-readable: counts, rebuild message, first findings
  bool ok() const { return faults.empty(); }
  bool Has(const std::string& fault) const;
  // Faults joined with '+' (and, for a verify fault, the finding ids): groups failures
  // of the same kind.
  std::string Signature() const;
};

// Property (a): the simulated table verifies clean (warnings allowed); its rebuild keeps
// exactly its records (as a multiset of canonical records), sets nothing aside and
// verifies clean again. Also checks the simulator (SelfCheck, and pxlib when present).
Outcome CheckCleanRoundTrip(SimTable& t, bool withPxlib = true);

enum class Damage {
  kRecordCount,   // header 0x06 wrong
  kChainBreak,    // a chained block's next link beyond the file
  kChainCycle,    // a chained block's next link back to itself or an earlier block
  kTruncate,      // file cut inside a block holding records
  kGarbageBlock,  // a chained block overwritten with 0xEE
  kAddDataMore,   // a block's record-count word claims more records (stale slots)
  kAddDataBogus,  // a block's record-count word not a multiple of the record size
  kAddDataFewer,  // a block's record-count word claims fewer records
  kLostPx,        // .PX deleted (keyed)
  kLostMb,        // .MB deleted (blob values beyond the leader)
  kBadValue,      // one record's field holds a value no writer produces (stored_values.h)
  kRandomBlock,   // a chained block's bytes after its 6-byte header random
  kTornWrite,     // the second half of a chained block zeroed on disk (a write torn off)
};
inline constexpr int kDamageCount = 13;
const char* DamageName(Damage d);

// Property (b): on a copy of the family, one damage; verify must report it (a non-zero
// verdict, or index.px-missing for a lost .PX; a random block or a torn write by an
// error in that block), and the rebuild must keep every record outside the damaged span
// and nothing the table did not hold. `t` is not changed. Where
// the damage strikes is drawn from the table's seed and the kind, so it reproduces.
Outcome CheckDamage(const SimTable& t, Damage d);

// Damage to the .DB header that the table's own redundancy cannot mend: the structure
// must come from elsewhere.
enum class HeaderDamage {
  kFieldTypes,       // every field-type byte 0xFF
  kFixedPartZeroed,  // the first 0x78 bytes zeroed (level byte, counts, extension)
  kHeaderZeroed,     // the whole header area zeroed
};
inline constexpr int kHeaderDamageCount = 3;
const char* HeaderDamageName(HeaderDamage d);

// Property (c): with the header damaged, verify judges a damaged table (never a foreign
// file); the rebuild given the structure of a healthy copy keeps every record; and after
// one earlier rebuild of the healthy table, the rebuild of the damaged one finds the
// structure by itself (the backup in the earlier repair folder) and keeps every record
// (faults of that part are prefixed "from-backup:"); with no source but the family, the
// rebuild keeps every record or is refused leaving the family as it was (prefixed
// "alone:"). `t` is not changed.
Outcome CheckHeaderDamage(const SimTable& t, HeaderDamage d);

}  // namespace paradox::sim
