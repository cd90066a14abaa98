// Finding the tables of a folder tree and working on several at once.
#include "batch.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <mutex>
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

bool ParseJobs(const std::string* value, unsigned* jobs, Io& io) {
  *jobs = 0;
  if (value) {
    if (value->empty() || value->size() > 4 ||
        value->find_first_not_of("0123456789") != std::string::npos) {
      Error(io, "--jobs needs a number, not '" + *value + "'");
      return false;
    }
    std::from_chars(value->data(), value->data() + value->size(), *jobs);
  }
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
