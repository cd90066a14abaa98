// Fixed-size rows put in the order of a sort key made from each row, in bounded
// memory: rows are held up to a budget, then sorted and written to a temporary run
// file; Merge() streams every row in order, a k-way merge of the runs and the rows
// still held. Rows with equal keys keep the order they came in, so the result is a
// stable sort of all rows, whatever the budget.
//
// Usage (the table writer's secondary indexes and given-order keys):
//   SortedRows rows(rowSize, keyOf, options);
//   rows.Add(row) ...;                    // may write a run
//   rows.Prepare(progress);               // sorts what is held, merges runs down to a few
//   rows.Merge([](const uint8_t* row, ByteSpan key) { ...; return Status::OK(); });
// Run files are removed when Merge() ends, by RemoveRuns() and by the destructor.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/status.h"

namespace paradox {

class SortedRows {
 public:
  // Appends the sort key of `row` to *out. Keys compare as byte strings (memcmp, a
  // key that is a prefix of another first).
  using KeyFn = std::function<void(const uint8_t* row, Bytes* out)>;
  struct Options {
    FileSystem* fs = nullptr;  // for the run files; not owned
    // Run files are "<runStem>.<n>.rows.tmp" with the first n from *runNumber that names
    // no existing file; *runNumber (shared by the sorters of one writer) moves past it.
    std::string runStem;
    uint32_t* runNumber = nullptr;
    std::string what;  // for errors, e.g. "secondary index XG0"
    // Bytes of rows, keys and their entries held before a run is written (at least one
    // row is always held). extraPerRow: bytes per held row that the caller keeps
    // elsewhere and wants counted.
    size_t memory = SIZE_MAX;
    size_t extraPerRow = 0;
    size_t readBuffer = 1 << 20;  // bytes read (and written) at once per run file
    uint32_t encryptionKey = 0;   // runs are scrambled as the table's .MB is
    uint64_t expectedRows = 0;    // sizes the buffers once
  };

  SortedRows(size_t rowSize, KeyFn keyOf, Options options);
  ~SortedRows();
  SortedRows(const SortedRows&) = delete;
  SortedRows& operator=(const SortedRows&) = delete;

  // Copies the row (rowSize bytes). IOError when a run cannot be written;
  // NotSupported when the rows held in memory would pass 4 GiB of keys or 2^32 rows.
  Status Add(const uint8_t* row);
  uint64_t size() const { return count_; }
  size_t runCount() const { return runs_.size(); }
  // True when the row just added made the sorter write a run (and drop what it held).
  bool spilled() const { return spilled_; }

  // Sorts the rows held and merges runs, a group at a time, until few enough are left
  // to be merged at once. progress(done, total) counts rows passed through those merges.
  Status Prepare(const std::function<void(uint64_t done, uint64_t total)>& progress = {});
  // After Prepare(): every row in order, with its key. Stops at the first error the
  // sink returns. Removes the run files and frees the memory, whatever the outcome.
  using Sink = std::function<Status(const uint8_t* row, ByteSpan key)>;
  Status Merge(const Sink& sink);
  // Removes the run files (errors ignored) and forgets them.
  void RemoveRuns();

 private:
  // Where a held row's key lies in keys_, with its first bytes at hand so that most
  // comparisons stay in the entry.
  struct Entry {
    uint64_t head;  // the key's first 8 bytes, big-endian, zero-padded
    uint32_t offset;
    uint32_t length;
    uint32_t row;  // arrival order among the rows held
  };
  struct Run {
    std::string path;
    uint64_t rows = 0;
  };
  class RunWriter;
  class Source;
  size_t Used() const;
  void SortHeld();
  void FreeHeld();
  Status OpenRun(RunWriter* w);
  Status Spill();
  Status MergeRuns(size_t first, size_t count, bool withHeld, const Sink& sink);

  const size_t rowSize_;
  KeyFn keyOf_;
  Options o_;
  uint64_t count_ = 0;
  bool spilled_ = false;
  bool sorted_ = false;
  Bytes rows_;  // rows held, one after the other
  Bytes keys_;  // their keys, likewise
  std::vector<Entry> entries_;
  std::vector<Run> runs_;
};

}  // namespace paradox
