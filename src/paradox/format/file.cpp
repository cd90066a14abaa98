#include "paradox/format/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "paradox/format/alloc.h"

namespace paradox {

Status File::ReadExact(uint64_t offset, MutableByteSpan dst) {
  size_t got = 0;
  PARADOX_RETURN_IF_ERROR(ReadAt(offset, dst, &got));
  if (got != dst.size()) {
    return Status::Corruption("file truncated: wanted " + std::to_string(dst.size()) +
                              " bytes at offset " + std::to_string(offset) + ", got " +
                              std::to_string(got));
  }
  return Status::OK();
}

Result<Bytes> FileSystem::ReadFile(const std::string& path, uint64_t maxSize) {
  auto f = Open(path, OpenMode::kRead);
  if (!f.ok()) return f.status();
  auto size = f.value()->Size();
  if (!size.ok()) return size.status();
  if (*size > maxSize) {
    return Status::Corruption(path + ": file of " + std::to_string(*size) +
                              " bytes is larger than such a file can be (at most " +
                              std::to_string(maxSize) + " bytes)");
  }
  Bytes data;
  PARADOX_RETURN_IF_ERROR(TryResize(&data, size_t(*size), "the content of " + path));
  PARADOX_RETURN_IF_ERROR(f.value()->ReadExact(0, data));
  return data;
}

Status FileSystem::WriteFile(const std::string& path, ByteSpan data, bool sync) {
  auto f = Open(path, OpenMode::kCreate);
  if (!f.ok()) return f.status();
  PARADOX_RETURN_IF_ERROR(f.value()->WriteAt(0, data));
  if (sync) PARADOX_RETURN_IF_ERROR(f.value()->Sync());
  return f.value()->Close();
}

// ---------------------------------------------------------------------------
// Path helpers

static size_t LastSep(const std::string& p) {
  return p.find_last_of("/\\");
}

std::string PathDirName(const std::string& path) {
  size_t i = LastSep(path);
  if (i == std::string::npos) return "";
  if (i == 0) return path.substr(0, 1);
  return path.substr(0, i);
}
std::string AsciiUpper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

Status WriteDurable(FileSystem* fs, const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  Bytes data(text.begin(), text.end());
  PARADOX_RETURN_IF_ERROR(fs->WriteFile(tmp, ByteSpan(data), true));
  PARADOX_RETURN_IF_ERROR(fs->Rename(tmp, path));
  return fs->SyncDir(PathDirName(path));
}

std::string PathBaseName(const std::string& path) {
  size_t i = LastSep(path);
  return i == std::string::npos ? path : path.substr(i + 1);
}
std::string PathExtension(const std::string& path) {
  std::string b = PathBaseName(path);
  size_t i = b.rfind('.');
  return i == std::string::npos ? "" : b.substr(i);
}
std::string PathStem(const std::string& path) {
  std::string b = PathBaseName(path);
  size_t i = b.rfind('.');
  return i == std::string::npos ? b : b.substr(0, i);
}
std::string PathJoin(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/' || dir.back() == '\\') return dir + name;
  return dir + "/" + name;
}

// ---------------------------------------------------------------------------
// POSIX implementation

namespace {

std::string Native(const std::string& p) {
  std::string s = p;
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  std::string msg = what + " " + path + ": " + std::strerror(err);
  if (err == ENOENT || err == ENOTDIR) return Status::NotFound(msg).WithErrno(err);
  if (err == EAGAIN || (err == EACCES && what == "lock")) return Status::Busy(msg).WithErrno(err);
  return Status::IOError(msg, err);
}

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override { (void)Close(); }

  Status ReadAt(uint64_t offset, MutableByteSpan dst, size_t* bytesRead) override {
    size_t done = 0;
    while (done < dst.size()) {
      ssize_t n =
          ::pread(fd_, dst.data() + done, dst.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus("read", path_, errno);
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    *bytesRead = done;
    return Status::OK();
  }
  Status WriteAt(uint64_t offset, ByteSpan src) override {
    size_t done = 0;
    while (done < src.size()) {
      ssize_t n =
          ::pwrite(fd_, src.data() + done, src.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus("write", path_, errno);
      }
      done += static_cast<size_t>(n);
    }
    return Status::OK();
  }
  Result<uint64_t> Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return ErrnoStatus("stat", path_, errno);
    return static_cast<uint64_t>(st.st_size);
  }
  Status Truncate(uint64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
      return ErrnoStatus("truncate", path_, errno);
    return Status::OK();
  }
  Status Sync() override {
    if (::fsync(fd_) != 0) return ErrnoStatus("sync", path_, errno);
    return Status::OK();
  }
  int fd() const { return fd_; }
  Status Close() override {
    if (fd_ < 0) return Status::OK();
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) return ErrnoStatus("close", path_, errno);
    return Status::OK();
  }

 private:
  int fd_;
  std::string path_;
};

// Bytes per copy_file_range call, and per progress report of a copy.
constexpr size_t kCopyChunk = size_t(8) << 20;

class PosixLock : public FileLock {
 public:
  explicit PosixLock(int fd) : fd_(fd) {}
  ~PosixLock() override { ::close(fd_); }

 private:
  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  Result<std::unique_ptr<File>> Open(const std::string& path, OpenMode mode) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kReadWrite:
        flags |= O_RDWR;
        break;
      case OpenMode::kCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
      case OpenMode::kCreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
    }
    std::string p = Native(path);
    int fd = ::open(p.c_str(), flags, 0644);
    if (fd < 0) return ErrnoStatus("open", path, errno);
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      return Status::IOError("open " + path + ": is a directory", EISDIR);
    }
    return std::unique_ptr<File>(new PosixFile(fd, path));
  }
  bool Exists(const std::string& path) override {
    struct stat st;
    return ::stat(Native(path).c_str(), &st) == 0;
  }
  bool IsDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  Result<uint64_t> FileSize(const std::string& path) override {
    struct stat st;
    if (::stat(Native(path).c_str(), &st) != 0) return ErrnoStatus("stat", path, errno);
    return static_cast<uint64_t>(st.st_size);
  }
  Status Rename(const std::string& from, const std::string& to) override {
    if (::rename(Native(from).c_str(), Native(to).c_str()) != 0)
      return ErrnoStatus("rename", from + " -> " + to, errno);
    return Status::OK();
  }
  Status Remove(const std::string& path) override {
    if (::unlink(Native(path).c_str()) == 0) return Status::OK();
    const int err = errno;
    if ((err == EISDIR || err == EPERM) && IsDirectory(path)) {
      if (::rmdir(Native(path).c_str()) != 0) return ErrnoStatus("remove", path, errno);
      return Status::OK();
    }
    return ErrnoStatus("remove", path, err);
  }
  Status MakeDir(const std::string& path) override {
    if (::mkdir(Native(path).c_str(), 0755) != 0) {
      if (errno == EEXIST && IsDirectory(path)) return Status::OK();
      return ErrnoStatus("mkdir", path, errno);
    }
    return Status::OK();
  }
  Status Copy(const std::string& from, const std::string& to,
              const CopyProgress& progress) override {
    auto in = Open(from, OpenMode::kRead);
    if (!in.ok()) return in.status();
    auto size = in.value()->Size();
    if (!size.ok()) return size.status();
    auto out = Open(to, OpenMode::kCreate);
    if (!out.ok()) return out.status();
    auto* src = static_cast<PosixFile*>(in.value().get());
    auto* dst = static_cast<PosixFile*>(out.value().get());
    // In the kernel (no trip through our buffers; a reflink where the file system shares
    // extents), in chunks so that a big member still moves the progress bar. Where the
    // kernel cannot (another file system, an old kernel, a special file), by reading and
    // writing from where it stopped.
    uint64_t off = 0;
    for (;;) {
      loff_t inOff = loff_t(off), outOff = loff_t(off);
      const ssize_t n = ::copy_file_range(src->fd(), &inOff, dst->fd(), &outOff, kCopyChunk, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
        return ErrnoStatus("copy " + from + " to", to, errno);
      }
      // The end, or a file whose size the kernel does not know (procfs and the like):
      // the reading below makes sure.
      if (n == 0) break;
      off += uint64_t(n);
      if (progress) progress(off, *size);
    }
    Bytes buf(1 << 16);
    for (;;) {
      size_t got = 0;
      PARADOX_RETURN_IF_ERROR(src->ReadAt(off, buf, &got));
      if (got == 0) break;
      PARADOX_RETURN_IF_ERROR(dst->WriteAt(off, ByteSpan(buf.data(), got)));
      off += got;
      if (progress && off % kCopyChunk < got) progress(off, *size);
    }
    if (progress) progress(off, std::max(off, *size));
    PARADOX_RETURN_IF_ERROR(dst->Sync());
    return dst->Close();
  }
  Result<std::vector<std::string>> ListDir(const std::string& path) override {
    DIR* d = ::opendir(Native(path.empty() ? "." : path).c_str());
    if (!d) return ErrnoStatus("list", path, errno);
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }
  Result<bool> IsLocked(const std::string& path) override {
    int fd = ::open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus("open", path, errno);
    // A program that only reads under a shared record lock, or locks with flock(), holds
    // the file just as well: replacing it would leave that program on the old file.
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;  // conflicts with every record lock someone else holds
    fl.l_whence = SEEK_SET;
    int rc = ::fcntl(fd, F_GETLK, &fl);
    int err = errno;
    bool held = rc == 0 && fl.l_type != F_UNLCK;
    if (rc == 0 && !held) {
      // flock() has no probe: try it, and give it back at once. A file system that does
      // not support flock proves nothing either way.
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        (void)::flock(fd, LOCK_UN);
      else
        held = errno == EWOULDBLOCK;
    }
    ::close(fd);
    if (rc != 0) return ErrnoStatus("lock probe", path, err);
    return held;
  }
  Result<std::unique_ptr<FileLock>> Lock(const std::string& path) override {
    // A holder may remove the file as it lets go of it: the lock then sits on a file
    // no longer at `path`, and the one now there is tried instead.
    for (int attempt = 0; attempt < 8; ++attempt) {
      int fd = ::open(Native(path).c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) return ErrnoStatus("open", path, errno);
      struct flock fl;
      std::memset(&fl, 0, sizeof fl);
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
#ifdef F_OFD_SETLK
      // Owned by this open file, not the process: a second Lock() here is refused too,
      // and closing another descriptor of the file does not drop it.
      const int cmd = F_OFD_SETLK;
#else
      const int cmd = F_SETLK;
#endif
      if (::fcntl(fd, cmd, &fl) != 0) {
        int err = errno;
        ::close(fd);
        if (err == EACCES || err == EAGAIN)
          return Status::Busy("lock " + path + ": held by another process");
        return ErrnoStatus("lock", path, err);
      }
      struct stat locked, now;
      if (::fstat(fd, &locked) == 0 && ::stat(Native(path).c_str(), &now) == 0 &&
          locked.st_dev == now.st_dev && locked.st_ino == now.st_ino)
        return std::unique_ptr<FileLock>(new PosixLock(fd));
      ::close(fd);
    }
    return Status::Busy("lock " + path + ": the file keeps being replaced");
  }
  Result<std::string> ResolveLink(const std::string& path) override {
    struct stat st;
    if (::lstat(Native(path).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = ::realpath(Native(path).c_str(), nullptr);
    if (!real) return ErrnoStatus("resolve link", path, errno);
    std::string out = real;
    std::free(real);
    return out;
  }
  Status SyncDir(const std::string& path) override {
    int fd = ::open(Native(path.empty() ? "." : path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus("open dir", path, errno);
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) return ErrnoStatus("sync dir", path, err);
    return Status::OK();
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static PosixFileSystem fs;
  return &fs;
}

// ---------------------------------------------------------------------------
// In-memory implementation

struct MemFileSystem::State {
  std::map<std::string, std::shared_ptr<Bytes>> files;
  std::set<std::string> dirs;
  std::set<std::string> locked;  // by "another process" (SetLocked)
  std::set<std::string> held;    // by a FileLock of ours
};

namespace {

std::string NormMem(const std::string& p) {
  std::string s = Native(p);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

class MemFile : public File {
 public:
  explicit MemFile(std::shared_ptr<Bytes> data, bool writable)
      : data_(std::move(data)), writable_(writable) {}
  Status ReadAt(uint64_t offset, MutableByteSpan dst, size_t* bytesRead) override {
    if (!data_) return Status::IOError("read: file closed");
    *bytesRead = 0;
    if (offset >= data_->size()) return Status::OK();
    size_t n = std::min<uint64_t>(dst.size(), data_->size() - offset);
    std::memcpy(dst.data(), data_->data() + offset, n);
    *bytesRead = n;
    return Status::OK();
  }
  Status WriteAt(uint64_t offset, ByteSpan src) override {
    if (!data_) return Status::IOError("write: file closed");
    if (!writable_) return Status::IOError("write: file opened read-only", EBADF);
    if (offset + src.size() > data_->size()) data_->resize(offset + src.size());
    if (!src.empty()) std::memcpy(data_->data() + offset, src.data(), src.size());
    return Status::OK();
  }
  Result<uint64_t> Size() override {
    if (!data_) return Status::IOError("size: file closed");
    return static_cast<uint64_t>(data_->size());
  }
  Status Truncate(uint64_t size) override {
    if (!data_ || !writable_) return Status::IOError("truncate: not writable");
    data_->resize(size);
    return Status::OK();
  }
  Status Sync() override { return data_ ? Status::OK() : Status::IOError("sync: file closed"); }
  Status Close() override {
    data_.reset();
    return Status::OK();
  }

 private:
  std::shared_ptr<Bytes> data_;
  bool writable_;
};

class MemLock : public FileLock {
 public:
  explicit MemLock(std::function<void()> release) : release_(std::move(release)) {}
  ~MemLock() override { release_(); }

 private:
  std::function<void()> release_;
};

}  // namespace

MemFileSystem::MemFileSystem() : state_(std::make_shared<State>()) {}
MemFileSystem::~MemFileSystem() = default;

Result<std::unique_ptr<File>> MemFileSystem::Open(const std::string& path, OpenMode mode) {
  std::string p = NormMem(path);
  auto it = state_->files.find(p);
  if (state_->dirs.count(p)) return Status::IOError("open " + path + ": is a directory", EISDIR);
  std::string dir = PathDirName(p);
  if (mode == OpenMode::kRead || mode == OpenMode::kReadWrite) {
    if (it == state_->files.end()) return Status::NotFound("open " + path + ": no such file");
    return std::unique_ptr<File>(new MemFile(it->second, mode == OpenMode::kReadWrite));
  }
  if (!dir.empty() && !IsDirectory(dir))
    return Status::NotFound("open " + path + ": no such directory");
  if (mode == OpenMode::kCreateNew && it != state_->files.end())
    return Status::IOError("create " + path + ": file exists", EEXIST);
  if (it == state_->files.end()) {
    it = state_->files.emplace(p, std::make_shared<Bytes>()).first;
  } else {
    it->second->clear();
  }
  return std::unique_ptr<File>(new MemFile(it->second, true));
}

bool MemFileSystem::Exists(const std::string& path) {
  std::string p = NormMem(path);
  return state_->files.count(p) || IsDirectory(p);
}

bool MemFileSystem::IsDirectory(const std::string& path) {
  std::string p = NormMem(path);
  if (p.empty() || p == "/" || p == ".") return true;
  if (state_->dirs.count(p)) return true;
  std::string prefix = p + "/";
  auto it = state_->files.lower_bound(prefix);
  return it != state_->files.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

Result<uint64_t> MemFileSystem::FileSize(const std::string& path) {
  auto it = state_->files.find(NormMem(path));
  if (it == state_->files.end()) return Status::NotFound("stat " + path + ": no such file");
  return static_cast<uint64_t>(it->second->size());
}

Status MemFileSystem::Rename(const std::string& from, const std::string& to) {
  std::string f = NormMem(from), t = NormMem(to);
  auto it = state_->files.find(f);
  if (it == state_->files.end()) return Status::NotFound("rename " + from + ": no such file");
  std::string dir = PathDirName(t);
  if (!dir.empty() && !IsDirectory(dir))
    return Status::NotFound("rename to " + to + ": no such directory");
  auto data = it->second;
  state_->files.erase(it);
  state_->files[t] = data;
  return Status::OK();
}

Status MemFileSystem::Remove(const std::string& path) {
  const std::string p = NormMem(path);
  if (state_->files.erase(p) != 0) return Status::OK();
  if (state_->dirs.count(p)) {
    const std::string prefix = p + "/";
    for (const auto& f : state_->files)
      if (f.first.compare(0, prefix.size(), prefix) == 0)
        return Status::IOError("remove " + path + ": directory not empty", ENOTEMPTY);
    for (const auto& d : state_->dirs)
      if (d.compare(0, prefix.size(), prefix) == 0)
        return Status::IOError("remove " + path + ": directory not empty", ENOTEMPTY);
    state_->dirs.erase(p);
    return Status::OK();
  }
  return Status::NotFound("remove " + path + ": no such file");
}

Status MemFileSystem::MakeDir(const std::string& path) {
  std::string p = NormMem(path);
  if (state_->files.count(p)) return Status::IOError("mkdir " + path + ": a file exists", EEXIST);
  std::string parent = PathDirName(p);
  if (!parent.empty() && !IsDirectory(parent))
    return Status::NotFound("mkdir " + path + ": no parent");
  state_->dirs.insert(p);
  return Status::OK();
}

Status MemFileSystem::Copy(const std::string& from, const std::string& to,
                           const CopyProgress& progress) {
  auto it = state_->files.find(NormMem(from));
  if (it == state_->files.end()) return Status::NotFound("copy " + from + ": no such file");
  std::string t = NormMem(to);
  std::string dir = PathDirName(t);
  if (!dir.empty() && !IsDirectory(dir))
    return Status::NotFound("copy to " + to + ": no such directory");
  state_->files[t] = std::make_shared<Bytes>(*it->second);
  if (progress) progress(it->second->size(), it->second->size());
  return Status::OK();
}

Result<std::vector<std::string>> MemFileSystem::ListDir(const std::string& path) {
  std::string p = NormMem(path);
  if (!IsDirectory(p)) return Status::NotFound("list " + path + ": no such directory");
  std::set<std::string> names;
  std::string prefix = (p.empty() || p == ".") ? "" : (p == "/" ? "/" : p + "/");
  auto add = [&](const std::string& full) {
    if (full.compare(0, prefix.size(), prefix) != 0 || full.size() == prefix.size()) return;
    std::string rest = full.substr(prefix.size());
    names.insert(rest.substr(0, rest.find('/')));
  };
  for (auto& [name, _] : state_->files) add(name);
  for (auto& d : state_->dirs) add(d);
  return std::vector<std::string>(names.begin(), names.end());
}

Result<bool> MemFileSystem::IsLocked(const std::string& path) {
  std::string p = NormMem(path);
  if (!state_->files.count(p)) return Status::NotFound("lock probe " + path + ": no such file");
  return state_->locked.count(p) > 0 || state_->held.count(p) > 0;
}

Result<std::unique_ptr<FileLock>> MemFileSystem::Lock(const std::string& path) {
  std::string p = NormMem(path);
  if (!state_->files.count(p)) return Status::NotFound("lock " + path + ": no such file");
  if (state_->locked.count(p) || state_->held.count(p))
    return Status::Busy("lock " + path + ": held by another process");
  state_->held.insert(p);
  std::weak_ptr<State> state = state_;
  return std::unique_ptr<FileLock>(new MemLock([state, p] {
    if (auto s = state.lock()) s->held.erase(p);
  }));
}

Status MemFileSystem::SyncDir(const std::string& path) {
  if (!IsDirectory(path)) return Status::NotFound("sync dir " + path + ": no such directory");
  return Status::OK();
}

Bytes* MemFileSystem::Contents(const std::string& path) {
  auto it = state_->files.find(NormMem(path));
  return it == state_->files.end() ? nullptr : it->second.get();
}

void MemFileSystem::SetContents(const std::string& path, Bytes data) {
  state_->files[NormMem(path)] = std::make_shared<Bytes>(std::move(data));
}

void MemFileSystem::SetLocked(const std::string& path, bool locked) {
  if (locked)
    state_->locked.insert(NormMem(path));
  else
    state_->locked.erase(NormMem(path));
}

std::vector<std::string> MemFileSystem::AllFiles() const {
  std::vector<std::string> out;
  for (auto& [name, _] : state_->files) out.push_back(name);
  return out;
}

}  // namespace paradox
