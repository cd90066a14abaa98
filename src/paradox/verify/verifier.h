// Verifier of Paradox tables: checks a table family (.DB with its .PX, .Xnn/.Ynn,
// .XGn/.YGn, .MB, .VAL and the lock files of its folder) and returns findings and a
// verdict. It never writes.
//
// How it works: the header is decoded and cross-checked against its own redundancy;
// then the block headers are read to walk the data chain and the free list against a
// bitmap of blocks (cross-links, cycles, orphans, out-of-range numbers, truncation);
// then every chained block is streamed in physical order and its records checked
// (field values, key order, blob pointers against the .MB); last the indexes are
// compared with what the data walk recorded (one first/last key and a count per data
// block). Memory is bounded by the block count and the key size, not by the records.
//
// Findings: every finding has a stable check id (see kChecks / FindCheck), a
// severity, a location (file, block, record, offset, field) and a short technical
// detail ("X is N but should be M"). Checking goes on after a finding until
// `VerifyOptions::maxFindings` findings were recorded; later findings are only
// counted (`VerifyReport::suppressed`).
//
// Verdict (the value the table-utility library hands back, 0..4), from the findings:
//   4 kNotRebuildable   the file is not a Paradox table (too short, foreign file type,
//                       unknown table level) — any finding of class kNotTable.
//   3 kNeedsStructure   the table needs a rebuild but its header cannot give the
//                       structure (field descriptors, field count, block size or the
//                       header area are broken) — any finding of class kStructure.
//   2 kIncomplete       the check could not be completed: the .DB is missing, a file of
//                       the family could not be opened or read (permission denied, I/O
//                       error: file.unreadable names it and the reason), the data cannot
//                       be decoded (encryption this library cannot undo), or a rebuild
//                       is swapping the table's files right now — any finding of class
//                       kIncomplete.
//   1 kRepairable       errors that a rebuild repairs (chain, counts, records, blob
//                       pointers, indexes, header fields recomputable from the rest, a
//                       rebuild's swap left half done) — any finding of severity kError.
//   0 kClean            no errors; warnings (stale sync counters, lock files, orphan
//                       blocks, DOS-era short last block, ...) may be present.
// The highest applicable verdict wins, in the order 4, 3, 2, 1, 0. Damage in index files
// (.PX, .Xnn, .Ynn, ...) never raises the verdict above 1: indexes are always regenerated
// from the data. A member the system refuses to read does (verdict 2): that is no damage.
//
// Progress: `VerifyOptions::progress`, if set, is called with (phase, percent) for the
// phases 0 header, 1 indexes, 2 data and 8 overall, percent 0..100, at most once per
// percentage step of a phase, always ending with 100 for each phase that started.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/format/progress.h"
#include "paradox/format/reader.h"  // Location

namespace paradox {

enum class Severity : uint8_t { kWarning, kError };

// What a finding means for the verdict.
enum class FindingClass : uint8_t {
  kNote,        // warning only: no effect on the verdict
  kRepairable,  // verdict 1
  kIncomplete,  // verdict 2
  kStructure,   // verdict 3
  kNotTable,    // verdict 4
};

enum class Verdict : int32_t {
  kClean = 0,
  kRepairable = 1,
  kIncomplete = 2,
  kNeedsStructure = 3,
  kNotRebuildable = 4,
};

// One entry of the check catalogue. Ids are stable: tools and tests match them.
struct CheckInfo {
  std::string_view id;
  Severity severity;
  FindingClass klass;
  std::string_view title;
};

// All checks, in report order. FindCheck returns nullptr for an unknown id.
const std::vector<CheckInfo>& AllChecks();
const CheckInfo* FindCheck(std::string_view id);

struct Finding {
  std::string check;  // id from AllChecks()
  Severity severity = Severity::kError;
  FindingClass klass = FindingClass::kRepairable;
  Location where;     // file = base name of the member; record 0-based, -1 = none
  std::string field;  // field name, "" = none
  std::string detail;
  // "error chain.cycle ORDERS.DB block 3: block 3 is reached twice ..."
  std::string ToString() const;
};

// What the checker learned about the table (filled as far as the header allowed).
struct TableSummary {
  bool headerRead = false;
  int fileType = -1;
  int versionId = 0;  // header 0x39
  int level = 0;      // 3 (3.0), 35 (3.5), 4, 5, 7
  uint32_t blockSize = 0;
  uint32_t headerSize = 0;
  uint32_t recordSize = 0;
  uint32_t numFields = 0;
  uint32_t keyFields = 0;
  uint32_t declaredRecords = 0;  // header 0x06
  uint64_t countedRecords = 0;   // Σ over the walked chain
  uint32_t fileBlocks = 0;
  uint32_t chainBlocks = 0;
  uint32_t freeBlocks = 0;
  uint16_t codePage = 0;
  std::string sortOrder;
  bool encrypted = false;
  bool decrypted = false;            // data were checked after decryption
  std::vector<std::string> members;  // family members found, base names
};

struct VerifyOptions {
  FileSystem* fs = nullptr;  // nullptr = DefaultFileSystem()
  size_t maxFindings = 500;  // recorded findings; later ones are only counted
  bool checkValues = true;   // field-value checks of every record
  bool checkIndexes = true;  // .PX and secondary indexes
  bool checkBlobs = true;    // blob pointers and the .MB
  ProgressFn progress;
};

struct VerifyReport {
  std::string table;  // path as given
  std::vector<Finding> findings;
  size_t suppressed = 0;  // findings over the budget, counted only
  size_t errors = 0;      // including suppressed ones
  size_t warnings = 0;
  Verdict verdict = Verdict::kClean;
  TableSummary summary;

  bool Has(std::string_view check) const;
  size_t Count(std::string_view check) const;
};

// Checks the table whose .DB file is `dbPath` (any letter case of the family's
// extensions is found; through a symbolic link, the family where the link leads).
// Never fails: problems opening or reading the table are findings (class kIncomplete)
// and the verdict says so.
VerifyReport VerifyTable(const std::string& dbPath, const VerifyOptions& options = {});

// The same on an in-memory copy of one .DB file with no family, for fuzzing: nothing
// outside `data` is touched.
VerifyReport VerifyBytes(ByteSpan data, const VerifyOptions& options = {});

const char* SeverityName(Severity s);
const char* VerdictName(Verdict v);  // "clean", "repairable", ...

}  // namespace paradox
