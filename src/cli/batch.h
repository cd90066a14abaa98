// Batch work of verify and rebuild: the tables named on the command line or found in
// folders, worked on by several threads, reported in command-line order.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
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

// OK when the item names a readable table file; else why not (the item's own error first).
paradox::Status ItemStatus(const BatchItem& item, paradox::FileSystem* fs);

// How the tables of a batch ended, counted by their exit codes; `exit` is the worst.
struct BatchTally {
  int exit = kExitOk;
  size_t ok = 0, problems = 0, failed = 0;
  void Count(int code);
};

// As each of n > 1 tables ends, on a terminal: "[done/n] <path>: <state>" to io.err.
void ShowFinished(Io& io, size_t done, size_t n, const std::string& path, const char* state);

// The --json document of a batch of n tables, on one line: {"tables": tables, "summary":
// {"tables": n, "clean": ok, <problemsName>: problems, "failed": failed}, "exitCode": exit}.
void WriteBatchJson(std::ostream& os, nlohmann::ordered_json tables, size_t n,
                    const BatchTally& tally, const char* problemsName);

// A command that works on each table its command line names, or that the folders it
// names hold, several at once, and reports them in command-line order (verify, rebuild).
// Parse and Run keep the order both follow; the subclass gives its options and steps.
class BatchCommand {
 public:
  // `name`, `usage` and `help` as ParseCommandLine takes them.
  BatchCommand(Io& io, const char* name, const char* usage, const char* help)
      : io_(io), name_(name), usage_(usage), help_(help) {}
  virtual ~BatchCommand() = default;

  // The exit code when the command ends before any table is touched.
  std::optional<int> Parse(const std::vector<std::string>& args);
  // Works on every table, reports each, then the summary; the worst exit code.
  int Run();

 protected:
  // The options after -h/--help; "json", "recursive" and "jobs" are taken by Parse.
  virtual std::vector<Option> Options() const = 0;
  // The command's own options, before -j is read: the exit code when the command ends here.
  virtual std::optional<int> TakeOptions(const ParsedArgs& parsed) = 0;
  // Once items_ is known: the exit code when the command ends here.
  virtual std::optional<int> Prepare() = 0;
  virtual void Work(size_t t) = 0;  // on a worker thread: touches what item t owns only
  virtual const char* StateName(size_t t) const = 0;  // of item t, for ShowFinished
  virtual void Report(size_t t) = 0;                  // in item order; counts it in tally_
  // The summary's name for the tables with problems in --json, and its line in text.
  virtual const char* ProblemsName() const = 0;
  virtual void WriteSummaryLine() const = 0;

  Io& io_;
  bool json_ = false, recursive_ = false;
  std::vector<BatchItem> items_;
  BatchTally tally_;
  nlohmann::ordered_json tables_ = nlohmann::ordered_json::array();  // of --json

 private:
  const char* name_;
  const char* usage_;
  const char* help_;
  unsigned jobs_ = 0;
};

// A BatchCommand's run: Parse, then Run, of a T made from io.
template <class T>
int RunBatchCommand(const std::vector<std::string>& args, Io& io) {
  T command(io);
  if (std::optional<int> done = command.Parse(args)) return *done;
  return command.Run();
}

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
