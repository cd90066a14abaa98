// Finding the tables of a folder tree and working on several at once.
#include "batch.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>

namespace rekasto {

namespace {

// A repair folder of ours: "<TABLE>.rekasto". It holds backups and report tables
// (Backup.Db, VERIFY.DB, ...) that are not the user's tables.
bool IsRepairFolder(const std::string& name) {
  const std::string suffix = ".REKASTO";
  const std::string u = paradox::AsciiUpper(name);
  return u.size() > suffix.size() &&
         u.compare(u.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Adds the tables under `dir` to `found`; false with `error` set when `dir` cannot be listed.
bool Walk(paradox::FileSystem* fs, const std::string& dir, std::vector<std::string>* found,
          std::string* error) {
  auto names = fs->ListDir(dir);
  if (!names.ok()) {
    *error = "cannot list the folder: " + names.status().message();
    return false;
  }
  for (const std::string& name : *names) {
    const std::string path = paradox::PathJoin(dir, name);
    if (fs->IsDirectory(path)) {
      if (IsRepairFolder(name)) continue;
      auto target = fs->ResolveLink(path);
      if (!target.ok() || *target != path) continue;  // a link: not followed
      std::string ignored;  // an unreadable subfolder does not stop the walk of the rest
      Walk(fs, path, found, &ignored);
      continue;
    }
    if (paradox::AsciiUpper(paradox::PathExtension(name)) == ".DB") found->push_back(path);
  }
  return true;
}

}  // namespace

std::vector<BatchItem> CollectTables(const std::vector<std::string>& operands, bool recursive,
                                     paradox::FileSystem* fs) {
  std::vector<BatchItem> items;
  std::set<std::string> seen;
  auto add = [&](const std::string& path, const std::string& error) {
    if (error.empty() && !seen.insert(path).second) return;
    items.push_back({path, error});
  };
  for (const std::string& operand : operands) {
    if (!recursive || operand.empty() || !fs->IsDirectory(operand)) {
      add(operand, "");
      continue;
    }
    std::vector<std::string> found;
    std::string error;
    if (!Walk(fs, operand, &found, &error)) {
      add(operand, error);
      continue;
    }
    if (found.empty()) add(operand, "no tables (*.db) in this folder");
    std::sort(found.begin(), found.end());
    for (const std::string& table : found) add(table, "");
  }
  return items;
}

paradox::Status ItemStatus(const BatchItem& item, paradox::FileSystem* fs) {
  return item.error.empty() ? TablePathStatus(item.path, fs)
                            : paradox::Status::InvalidArgument(item.error);
}

void BatchTally::Count(int code) {
  exit = std::max(exit, code);
  (code == kExitOk ? ok : code == kExitProblems ? problems : failed)++;
}

void ShowFinished(Io& io, size_t done, size_t n, const std::string& path, const char* state) {
  if (io.errIsTerminal && n > 1)
    io.err << "[" << done << "/" << n << "] " << path << ": " << state << "\n";
}

void WriteBatchJson(std::ostream& os, nlohmann::ordered_json tables, size_t n,
                    const BatchTally& tally, const char* problemsName) {
  nlohmann::ordered_json doc;
  doc["tables"] = std::move(tables);
  doc["summary"] = {
      {"tables", n}, {"clean", tally.ok}, {problemsName, tally.problems}, {"failed", tally.failed}};
  doc["exitCode"] = tally.exit;
  os << doc.dump() << "\n";
}

std::optional<int> BatchCommand::Parse(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  if (auto done = ParseCommandLine(name_, usage_, help_, args, Options(), &parsed, io_))
    return done;
  if (auto done = TakeOptions(parsed)) return done;
  json_ = parsed.Has("json");
  recursive_ = parsed.Has("recursive");
  if (!ParseJobs(parsed.Value("jobs"), &jobs_, io_)) return kExitFailed;
  if (parsed.operands.empty()) {
    UsageError(io_, name_, usage_, "no table given");
    return kExitFailed;
  }
  items_ = CollectTables(parsed.operands, recursive_, io_.fs);
  return Prepare();
}

int BatchCommand::Run() {
  auto finished = [this](size_t t, size_t done) {
    ShowFinished(io_, done, items_.size(), items_[t].path, StateName(t));
  };
  RunBatch(
      items_.size(), JobsFor(jobs_, io_.fs), [this](size_t t) { Work(t); }, finished,
      [this](size_t t) { Report(t); });
  if (json_)
    WriteBatchJson(io_.out, std::move(tables_), items_.size(), tally_, ProblemsName());
  else if (items_.size() > 1 || recursive_)
    WriteSummaryLine();
  return tally_.exit;
}

bool ParseJobs(const std::string* value, unsigned* jobs, Io& io) {
  *jobs = 0;
  size_t n = 0;
  if (value && !ParseNumber(*value, 4, "jobs", &n, io)) return false;
  *jobs = unsigned(n);
  if (*jobs == 0) *jobs = std::max(1u, std::thread::hardware_concurrency());
  return true;
}

unsigned JobsFor(unsigned requested, paradox::FileSystem* fs) {
  return fs == paradox::DefaultFileSystem() ? requested : 1;
}

void RunBatch(size_t n, unsigned jobs, const std::function<void(size_t)>& work,
              const std::function<void(size_t, size_t)>& finished,
              const std::function<void(size_t)>& report) {
  if (jobs <= 1 || n <= 1) {
    for (size_t i = 0; i < n; ++i) {
      work(i);
      finished(i, i + 1);
      report(i);
    }
    return;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<size_t> endedOrder;  // guarded by mutex
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < std::min<size_t>(jobs, n); ++t) {
    threads.emplace_back([&] {
      for (size_t i = next++; i < n; i = next++) {
        work(i);
        std::lock_guard<std::mutex> lock(mutex);
        endedOrder.push_back(i);
        changed.notify_one();
      }
    });
  }
  std::vector<bool> ended(n, false);
  size_t handled = 0, reported = 0;
  while (reported < n) {
    std::vector<size_t> fresh;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return endedOrder.size() > handled; });
      fresh.assign(endedOrder.begin() + long(handled), endedOrder.end());
    }
    for (size_t i : fresh) {
      ended[i] = true;
      finished(i, ++handled);
    }
    while (reported < n && ended[reported]) report(reported++);
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace rekasto
