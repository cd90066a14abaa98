// A file system for tests that fails chosen operations: every step of a rebuild or a
// write can be made to fail in turn, and the test checks what is left on disk.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "paradox/format/file.h"

namespace paradox {

// Wraps another file system and fails the N-th (1-based) operation of a kind with
// the given status; N counts from construction or the last Reset(). Failing "sync"
// also covers SyncDir; "write" covers File::WriteAt and Truncate; "read" covers
// File::ReadAt; "open" covers Open. Every later operation of that kind succeeds
// again unless `sticky` is set. Counters are readable so a test can first run an
// operation to count its steps and then fail each step in turn.
class FaultyFileSystem : public FileSystem {
 public:
  enum class Op { kOpen, kRead, kWrite, kSync, kRename, kRemove, kMakeDir, kCopy, kListDir, kLock };
  static constexpr int kOpCount = 10;

  explicit FaultyFileSystem(FileSystem* base);  // base not owned, must outlive this
  ~FaultyFileSystem() override;

  void FailAt(Op op, int n, Status error = Status::IOError("injected fault"), bool sticky = false);
  void ClearFaults();
  void Reset();  // clears faults and counters
  int Count(Op op) const;
  // True once an injected fault has fired.
  bool Fired() const;

  Result<std::unique_ptr<File>> Open(const std::string& path, OpenMode mode) override;
  bool Exists(const std::string& path) override;
  bool IsDirectory(const std::string& path) override;
  Result<uint64_t> FileSize(const std::string& path) override;
  Status Rename(const std::string& from, const std::string& to) override;
  Status Remove(const std::string& path) override;
  Status MakeDir(const std::string& path) override;
  Status Copy(const std::string& from, const std::string& to,
              const CopyProgress& progress = {}) override;
  Result<std::vector<std::string>> ListDir(const std::string& path) override;
  Result<bool> IsLocked(const std::string& path) override;
  Result<std::unique_ptr<FileLock>> Lock(const std::string& path) override;
  Status SyncDir(const std::string& path) override;
  Result<std::string> ResolveLink(const std::string& path) override;

  // Used by the wrapped files; returns the injected error or OK and counts.
  Status Hit(Op op);

 private:
  struct Fault {
    int at = 0;
    Status error;
    bool sticky = false;
  };
  FileSystem* base_;
  int counts_[kOpCount] = {};
  Fault faults_[kOpCount];
  bool fired_ = false;
};

}  // namespace paradox
