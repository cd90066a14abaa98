#include "faulty_file_system.h"

#include <utility>

namespace paradox {

namespace {

class FaultyFile : public File {
 public:
  FaultyFile(std::unique_ptr<File> base, FaultyFileSystem* fs) : base_(std::move(base)), fs_(fs) {}
  Status ReadAt(uint64_t offset, MutableByteSpan dst, size_t* bytesRead) override {
    PARADOX_RETURN_IF_ERROR(fs_->Hit(FaultyFileSystem::Op::kRead));
    return base_->ReadAt(offset, dst, bytesRead);
  }
  Status WriteAt(uint64_t offset, ByteSpan src) override {
    PARADOX_RETURN_IF_ERROR(fs_->Hit(FaultyFileSystem::Op::kWrite));
    return base_->WriteAt(offset, src);
  }
  Result<uint64_t> Size() override { return base_->Size(); }
  Status Truncate(uint64_t size) override {
    PARADOX_RETURN_IF_ERROR(fs_->Hit(FaultyFileSystem::Op::kWrite));
    return base_->Truncate(size);
  }
  Status Sync() override {
    PARADOX_RETURN_IF_ERROR(fs_->Hit(FaultyFileSystem::Op::kSync));
    return base_->Sync();
  }
  Status Close() override { return base_->Close(); }

 private:
  std::unique_ptr<File> base_;
  FaultyFileSystem* fs_;
};

}  // namespace

FaultyFileSystem::FaultyFileSystem(FileSystem* base) : base_(base) {}
FaultyFileSystem::~FaultyFileSystem() = default;

void FaultyFileSystem::FailAt(Op op, int n, Status error, bool sticky) {
  Fault& f = faults_[static_cast<int>(op)];
  f.at = n;
  f.error = std::move(error);
  f.sticky = sticky;
}

void FaultyFileSystem::ClearFaults() {
  for (auto& f : faults_) f = Fault();
}

void FaultyFileSystem::Reset() {
  ClearFaults();
  for (int& c : counts_) c = 0;
  fired_ = false;
}

int FaultyFileSystem::Count(Op op) const {
  return counts_[static_cast<int>(op)];
}
bool FaultyFileSystem::Fired() const {
  return fired_;
}

Status FaultyFileSystem::Hit(Op op) {
  int i = static_cast<int>(op);
  int n = ++counts_[i];
  const Fault& f = faults_[i];
  if (f.at > 0 && (n == f.at || (f.sticky && n > f.at))) {
    fired_ = true;
    return f.error;
  }
  return Status::OK();
}

Result<std::unique_ptr<File>> FaultyFileSystem::Open(const std::string& path, OpenMode mode) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kOpen));
  auto f = base_->Open(path, mode);
  if (!f.ok()) return f.status();
  return std::unique_ptr<File>(new FaultyFile(std::move(f).value(), this));
}
bool FaultyFileSystem::Exists(const std::string& path) {
  return base_->Exists(path);
}
bool FaultyFileSystem::IsDirectory(const std::string& path) {
  return base_->IsDirectory(path);
}
Result<uint64_t> FaultyFileSystem::FileSize(const std::string& path) {
  return base_->FileSize(path);
}
Status FaultyFileSystem::Rename(const std::string& from, const std::string& to) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kRename));
  return base_->Rename(from, to);
}
Status FaultyFileSystem::Remove(const std::string& path) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kRemove));
  return base_->Remove(path);
}
Status FaultyFileSystem::MakeDir(const std::string& path) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kMakeDir));
  return base_->MakeDir(path);
}
Status FaultyFileSystem::Copy(const std::string& from, const std::string& to,
                              const CopyProgress& progress) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kCopy));
  return base_->Copy(from, to, progress);
}
Result<std::vector<std::string>> FaultyFileSystem::ListDir(const std::string& path) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kListDir));
  return base_->ListDir(path);
}
Result<bool> FaultyFileSystem::IsLocked(const std::string& path) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kLock));
  return base_->IsLocked(path);
}
Result<std::unique_ptr<FileLock>> FaultyFileSystem::Lock(const std::string& path) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kLock));
  return base_->Lock(path);
}
Status FaultyFileSystem::SyncDir(const std::string& path) {
  PARADOX_RETURN_IF_ERROR(Hit(Op::kSync));
  return base_->SyncDir(path);
}
Result<std::string> FaultyFileSystem::ResolveLink(const std::string& path) {
  return base_->ResolveLink(path);
}

}  // namespace paradox
