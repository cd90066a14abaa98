// Batch work of verify and rebuild: the tables named on the command line or found in
// folders, worked on by several threads, reported in command-line order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "cli.h"

namespace rekasto {

// One operand turned into work: a table path, or an operand that names no table (then
// `error` says why, e.g. "is a folder, not a table file").
struct BatchItem {
  std::string path;
  std::string error;
};

// The tables of `operands` in their order. A file operand is taken as it is (its own
// check says whether it is a table). A folder operand, with `recursive`, gives the
// files whose name ends in .db (any case) in it and in its subfolders, sorted by path;
// the repair folders (<TABLE>.rekasto) are skipped, and so are subfolders reached
// through symbolic links (a link loop cannot trap the walk). Without `recursive` a
// folder is an error item. A folder that cannot be listed, or holds no table, is an
// error item too. A path met twice is taken once.
std::vector<BatchItem> CollectTables(const std::vector<std::string>& operands, bool recursive,
                                     paradox::FileSystem* fs);

// The -j value: digits, 1 or more; 0 (or no value) means the number of cores. False
// with a message to io.err when `value` is not a number.
bool ParseJobs(const std::string* value, unsigned* jobs, Io& io);

// Runs work(i) for every i in [0, n) on up to `jobs` threads (all on the calling thread
// when jobs <= 1). On the calling thread: finished(i, done) as each item ends, in the
// order they end (done counts the items ended so far), and report(i) in index order as
// soon as item i and all before it have ended. `work` must touch only what item i owns.
void RunBatch(size_t n, unsigned jobs, const std::function<void(size_t)>& work,
              const std::function<void(size_t, size_t)>& finished,
              const std::function<void(size_t)>& report);

// Jobs to use on `fs`: the in-memory file systems of the tests are not thread-safe, so
// only the OS file system gets more than one.
unsigned JobsFor(unsigned requested, paradox::FileSystem* fs);

}  // namespace rekasto
