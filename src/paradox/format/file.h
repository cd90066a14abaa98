// The small file interface through which the library (and the verifier and rebuilder
// beside it) touch files: an OS implementation, an in-memory one, and a failing one
// that injects an error at the N-th operation of a kind.
//
// Paths are plain strings with '/' separators (the OS implementation also accepts
// '\\'). Errors: NotFound for a missing file/directory, Busy for a lock held
// elsewhere, IOError for everything else the system refuses. No call throws.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/status.h"

namespace paradox {

// An open file. Offsets are absolute. Not thread-safe.
class File {
 public:
  virtual ~File() = default;
  // Reads up to dst.size() bytes at `offset`; *bytesRead < dst.size() only at end of file.
  virtual Status ReadAt(uint64_t offset, MutableByteSpan dst, size_t* bytesRead) = 0;
  // Writes all of src at `offset`, extending the file (zero-filled gap) if needed.
  virtual Status WriteAt(uint64_t offset, ByteSpan src) = 0;
  virtual Result<uint64_t> Size() = 0;
  virtual Status Truncate(uint64_t size) = 0;
  // Flushes to stable storage (fsync).
  virtual Status Sync() = 0;
  // Idempotent. Destruction closes too, ignoring errors.
  virtual Status Close() = 0;

  // Convenience: exactly dst.size() bytes or Corruption("... truncated") / IOError.
  Status ReadExact(uint64_t offset, MutableByteSpan dst);
};

enum class OpenMode {
  kRead,       // existing file, read only
  kReadWrite,  // existing file
  kCreate,     // create or truncate, read-write
  kCreateNew,  // create; fails with IOError if it exists
};

// An advisory lock held while the object lives (OS: an fcntl write lock owned by the open
// file, so two holders in one process exclude each other too).
class FileLock {
 public:
  virtual ~FileLock() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual Result<std::unique_ptr<File>> Open(const std::string& path, OpenMode mode) = 0;
  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsDirectory(const std::string& path) = 0;
  virtual Result<uint64_t> FileSize(const std::string& path) = 0;
  // Atomically replaces `to` if it exists.
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  // Removes a file, or an empty directory.
  virtual Status Remove(const std::string& path) = 0;
  // Creates one directory; OK if it already exists as a directory.
  virtual Status MakeDir(const std::string& path) = 0;
  // Copies content (not metadata); replaces `to`; the copy is synced. `progress`, when
  // set, is told the bytes copied so far and the file's size after each chunk.
  using CopyProgress = std::function<void(uint64_t copied, uint64_t size)>;
  virtual Status Copy(const std::string& from, const std::string& to,
                      const CopyProgress& progress = {}) = 0;
  // Names (not paths) of the entries of a directory, sorted, without "." and "..".
  virtual Result<std::vector<std::string>> ListDir(const std::string& path) = 0;
  // True if someone else holds a lock of any kind on the file: a record lock (read or
  // write, fcntl) or a whole-file lock (flock, shared or exclusive). The one check every
  // writer of a table goes through.
  virtual Result<bool> IsLocked(const std::string& path) = 0;
  // Takes an exclusive advisory lock on an existing file; Busy if someone else holds one
  // (another process, or another Lock() of this one). The lock is on the file the path
  // names when the call returns, also if that file replaced another meanwhile.
  virtual Result<std::unique_ptr<FileLock>> Lock(const std::string& path) = 0;
  // Makes a directory's entries (renames, creations) durable.
  virtual Status SyncDir(const std::string& path) = 0;
  // The path of the file that a symbolic link at `path` leads to (followed to its end);
  // `path` itself when it is no link. A rename onto a link would replace the link, so a
  // file that is replaced in place is replaced at this path. File systems without links
  // return `path`.
  virtual Result<std::string> ResolveLink(const std::string& path) { return path; }

  // Convenience helpers built on the virtual calls.
  // The whole file, when it is at most `maxSize` bytes (each kind of member names its
  // limit: a size taken from a damaged or foreign file must not decide an allocation);
  // Corruption naming the size and the limit when it is larger, NoMemory when the
  // buffer cannot be had.
  Result<Bytes> ReadFile(const std::string& path, uint64_t maxSize);
  Status WriteFile(const std::string& path, ByteSpan data, bool sync = true);
};

// The process-wide OS file system (POSIX). Never null; not owned by the caller.
FileSystem* DefaultFileSystem();

// Files and directories in memory. Directories are implicit for files (a file "a/b"
// makes "a" a directory) and explicit via MakeDir. Locks are simulated: SetLocked()
// (another process) and a FileLock alive from Lock() make IsLocked() report true and
// Lock() fail with Busy.
class MemFileSystem : public FileSystem {
 public:
  MemFileSystem();
  ~MemFileSystem() override;

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

  // Direct access for tests: the content of a file (nullptr if missing) and setting it.
  Bytes* Contents(const std::string& path);
  void SetContents(const std::string& path, Bytes data);
  void SetLocked(const std::string& path, bool locked);
  // All file paths, sorted.
  std::vector<std::string> AllFiles() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Path helpers ('/' and '\\' both separate).
std::string PathDirName(const std::string& path);    // "" when no separator
std::string PathBaseName(const std::string& path);   // last component
std::string PathStem(const std::string& path);       // base name without extension
std::string PathExtension(const std::string& path);  // ".DB" etc., "" if none
std::string PathJoin(const std::string& dir, const std::string& name);
// Member names compare in ASCII upper case ("orders.db" is ORDERS.DB's).
std::string AsciiUpper(std::string s);

// Writes `text` to path.tmp, flushes it, renames it over `path` and flushes the folder:
// after a crash `path` is the old file or the whole new one.
Status WriteDurable(FileSystem* fs, const std::string& path, const std::string& text);

}  // namespace paradox
