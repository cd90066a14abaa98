// Reads salvaged records back for the writer: each record from its block (the .DB
// read through the repaired header where there was one), and each blob value from the
// .MB or from what the salvage found in its place. The salvage fills it; the rebuild and
// the export read through it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "paradox/format/blob.h"
#include "paradox/format/file.h"
#include "paradox/format/reader.h"
#include "paradox/format/value.h"
#include "paradox/repair/salvage.h"

namespace paradox {

// An in-leader (or empty) blob value whose pointer bytes must be zero for the writer.
void ClearUnusedPointer(const FieldDesc& f, Bytes& raw);

// A blob field whose pointer did not resolve.
struct BrokenBlob {
  RecordPlace place;
  size_t action;  // index into SalvageResult::actions
  size_t field;
  BlobRef ref;
  std::string why;
};

// (block, slot, field) of a blob value that stands in for what its pointer did not give.
using BlobKey = std::tuple<uint32_t, uint32_t, uint32_t>;

// The .DB read with its first bytes replaced by the repaired header: every read of that
// one file sees the patch, everything else goes to the real file system. Nothing is
// written, and the table is never held in memory whole.
class PatchedFileSystem final : public FileSystem {
 public:
  PatchedFileSystem(FileSystem* base, std::string path, Bytes prefix)
      : base_(base), path_(std::move(path)), prefix_(std::move(prefix)) {}

  Result<std::unique_ptr<File>> Open(const std::string& path, OpenMode mode) override {
    auto f = base_->Open(path, mode);
    if (!f.ok() || path != path_) return f;
    if (mode != OpenMode::kRead) return Status::InvalidArgument("the patched table is read only");
    return std::unique_ptr<File>(new PatchedFile(std::move(f).value(), &prefix_));
  }
  bool Exists(const std::string& path) override { return base_->Exists(path); }
  bool IsDirectory(const std::string& path) override { return base_->IsDirectory(path); }
  Result<uint64_t> FileSize(const std::string& path) override { return base_->FileSize(path); }
  Status Rename(const std::string&, const std::string&) override { return ReadOnly(); }
  Status Remove(const std::string&) override { return ReadOnly(); }
  Status MakeDir(const std::string&) override { return ReadOnly(); }
  Status Copy(const std::string&, const std::string&, const CopyProgress&) override {
    return ReadOnly();
  }
  Result<std::vector<std::string>> ListDir(const std::string& path) override {
    return base_->ListDir(path);
  }
  Result<bool> IsLocked(const std::string& path) override { return base_->IsLocked(path); }
  Result<std::unique_ptr<FileLock>> Lock(const std::string&) override { return ReadOnly(); }
  Status SyncDir(const std::string&) override { return ReadOnly(); }

 private:
  static Status ReadOnly() { return Status::InvalidArgument("the salvage reads only"); }

  class PatchedFile final : public File {
   public:
    PatchedFile(std::unique_ptr<File> f, const Bytes* prefix) : f_(std::move(f)), prefix_(prefix) {}
    Status ReadAt(uint64_t offset, MutableByteSpan dst, size_t* bytesRead) override {
      PARADOX_RETURN_IF_ERROR(f_->ReadAt(offset, dst, bytesRead));
      for (uint64_t i = offset; i < prefix_->size() && i < offset + *bytesRead; ++i)
        dst[size_t(i - offset)] = (*prefix_)[size_t(i)];
      return Status::OK();
    }
    Status WriteAt(uint64_t, ByteSpan) override { return ReadOnly(); }
    Result<uint64_t> Size() override { return f_->Size(); }
    Status Truncate(uint64_t) override { return ReadOnly(); }
    Status Sync() override { return ReadOnly(); }
    Status Close() override { return f_->Close(); }

   private:
    std::unique_ptr<File> f_;
    const Bytes* prefix_;
  };

  FileSystem* base_;
  std::string path_;
  Bytes prefix_;
};

// Reads salvaged records back: the block (cached while consecutive records share it),
// then each blob value from the .MB or from what the salvage put in its place.
class SalvageSource final : public RecordSource {
 public:
  Status Fetch(RecordPlace at, SalvagedRecord* out) override {
    const TableHeader& h = reader->header();
    const uint32_t rs = h.fixed.recordSize;
    auto record = Record(at);
    if (!record.ok()) return record.status();
    out->raw.assign(*record, *record + rs);
    out->blobs.clear();
    out->block = at.block;
    out->index = at.index;
    for (size_t fi = 0; fi < h.fields.size(); ++fi) {
      const FieldDesc& f = h.fields[fi];
      if (!IsBlobType(f.type) || f.offset + f.Size() > rs) continue;
      auto stand = brokenBlobs.find({at.block, at.index, uint32_t(fi)});
      if (stand != brokenBlobs.end()) {
        out->blobs.push_back({uint32_t(fi), stand->second});
        continue;
      }
      BlobRef ref;
      ref.leader.assign(out->raw.begin() + f.offset, out->raw.begin() + f.offset + f.LeaderSize());
      ref.pointer.DecodeFrom(out->raw.data() + f.offset + f.LeaderSize());
      if (ref.pointer.length == 0 || ref.InLeader()) {
        ClearUnusedPointer(f, out->raw);
        continue;
      }
      if (!mb) return Status::Corruption("the blob file is gone");
      auto data = mb->Read(ref);
      if (!data.ok()) {
        if (data.status().IsIOError()) return data.status();
        return Status::Corruption("field \"" + f.name + "\" of block " + std::to_string(at.block) +
                                  " record " + std::to_string(at.index + 1) +
                                  " no longer reads: the blob file changed during the rebuild");
      }
      out->blobs.push_back({uint32_t(fi), std::move(data).value()});
    }
    return Status::OK();
  }

  // The first `n` bytes of the record at `at` appended to *out (a key, for a sort).
  Status FetchKey(RecordPlace at, size_t n, Bytes* out) {
    auto record = Record(at);
    if (!record.ok()) return record.status();
    // Past a record shorter than its key fields (a damaged layout) the key reads zeros,
    // as the salvage read it.
    const size_t have = std::min<size_t>(n, reader->header().fixed.recordSize);
    out->insert(out->end(), *record, *record + have);
    out->resize(out->size() + (n - have), 0);
    return Status::OK();
  }

  std::unique_ptr<PatchedFileSystem> patched;  // the .DB with its header repaired, when it was
  std::unique_ptr<TableReader> reader;
  std::unique_ptr<BlobFile> mb;
  std::map<BlobKey, Bytes> brokenBlobs;  // the leader, or the whole value found elsewhere

 private:
  // The record's bytes in the cached block (read when another block is asked for).
  Result<const uint8_t*> Record(RecordPlace at) {
    const uint32_t rs = reader->header().fixed.recordSize;
    if (at.block != cached_) {
      cached_ = 0;
      BlockInfo bi;
      PARADOX_RETURN_IF_ERROR(reader->ReadBlock(at.block, &block_, &bi));
      cached_ = at.block;
    }
    const size_t off = 6 + size_t(at.index) * rs;
    if (off + rs > block_.size())
      return Status::Corruption("block " + std::to_string(at.block) + " no longer holds record " +
                                std::to_string(at.index + 1));
    return block_.data() + off;
  }

  Bytes block_;
  uint32_t cached_ = 0;
};

// A broken pointer may still have its value in the blob file (a damaged offset or
// slot byte): the value is taken when exactly one block or slot not used by another
// record has the pointer's length and modification number and starts with the
// record's leader (for graphic/OLE values, after their 8-byte sub-header).
Status FindLostBlobs(BlobFile& mb, const TableHeader& h, const std::vector<BrokenBlob>& broken,
                     const std::set<std::pair<uint32_t, uint8_t>>& used, SalvageResult* res,
                     std::map<BlobKey, Bytes>* values);

}  // namespace paradox
