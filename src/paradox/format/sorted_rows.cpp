#include "paradox/format/sorted_rows.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "paradox/format/alloc.h"
#include "paradox/format/crypt.h"

namespace paradox {

namespace {

// Runs merged at once: each holds a read buffer (and a file) while it is merged.
constexpr size_t kFanIn = 64;

uint64_t KeyHead(const uint8_t* key, size_t length) {
  uint64_t h = 0;
  for (size_t i = 0; i < 8; ++i) h = (h << 8) | (i < length ? key[i] : 0u);
  return h;
}

// memcmp order, a key that is a prefix of the other first.
int CompareKeys(ByteSpan a, ByteSpan b) {
  const size_t n = std::min(a.size(), b.size());
  if (n > 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

size_t RoundUp256(size_t n) {
  return (n + 255) / 256 * 256;
}

}  // namespace

// Writes a run in whole 256-byte chunks, so that each chunk is scrambled on its own
// and reads at any chunk boundary can unscramble what they get.
class SortedRows::RunWriter {
 public:
  std::string path;
  std::unique_ptr<File> file;
  Bytes buf;  // a multiple of 256 bytes
  size_t used = 0;
  uint64_t offset = 0;
  uint64_t rows = 0;
  uint32_t key = 0;

  Status Add(const uint8_t* row, size_t n) {
    ++rows;
    while (n > 0) {
      const size_t take = std::min(n, buf.size() - used);
      std::memcpy(buf.data() + used, row, take);
      used += take;
      row += take;
      n -= take;
      if (used == buf.size()) PARADOX_RETURN_IF_ERROR(Flush());
    }
    return Status::OK();
  }
  Status Flush() {
    if (used == 0) return Status::OK();
    const size_t len = RoundUp256(used);  // only the last write is padded
    std::memset(buf.data() + used, 0, len - used);
    if (key) EncryptMb(key, MutableByteSpan(buf.data(), len));
    Status st = file->WriteAt(offset, ByteSpan(buf.data(), len));
    offset += len;
    used = 0;
    return st;
  }
  Status Close() {
    Status st = Flush();
    Status closed = file->Close();
    return st.ok() ? closed : st;
  }
};

// One input of a merge: a run file read in chunks, or the rows held in memory.
class SortedRows::Source {
 public:
  const SortedRows* owner = nullptr;
  // A run.
  std::unique_ptr<File> file;
  std::string path;
  Bytes buf;
  size_t chunk = 0, pos = 0, end = 0;
  uint64_t offset = 0, left = 0;
  // The rows held (file == nullptr).
  size_t at = 0;
  // The current row and its key.
  const uint8_t* row = nullptr;
  ByteSpan key;
  Bytes keyBuf;

  Status Next(bool* more) {
    const SortedRows& s = *owner;
    if (!file) {
      if (at == s.entries_.size()) {
        *more = false;
        return Status::OK();
      }
      const Entry& e = s.entries_[at++];
      row = s.rows_.data() + size_t(e.row) * s.rowSize_;
      key = ByteSpan(s.keys_.data() + e.offset, e.length);
      *more = true;
      return Status::OK();
    }
    if (left == 0) {
      *more = false;
      return Status::OK();
    }
    if (end - pos < s.rowSize_) {
      const size_t tail = end - pos;
      std::memmove(buf.data(), buf.data() + pos, tail);
      pos = 0;
      end = tail;
      size_t got = 0;
      PARADOX_RETURN_IF_ERROR(file->ReadAt(offset, MutableByteSpan(buf.data() + end, chunk), &got));
      // Runs are written in whole chunks of 256 bytes; anything else is not ours.
      if (got % 256 != 0 || end + got - pos < s.rowSize_)
        return Status::IOError("temporary file " + path + " of " + s.o_.what + " ended early");
      if (s.o_.encryptionKey) DecryptMb(s.o_.encryptionKey, MutableByteSpan(buf.data() + end, got));
      offset += got;
      end += got;
    }
    row = buf.data() + pos;
    pos += s.rowSize_;
    --left;
    keyBuf.clear();
    s.keyOf_(row, &keyBuf);
    key = keyBuf;
    *more = true;
    return Status::OK();
  }
};

SortedRows::SortedRows(size_t rowSize, KeyFn keyOf, Options options)
    : rowSize_(rowSize), keyOf_(std::move(keyOf)), o_(std::move(options)) {
  o_.readBuffer = std::max(RoundUp256(std::max<size_t>(o_.readBuffer, 1)), RoundUp256(rowSize_));
}

SortedRows::~SortedRows() {
  RemoveRuns();
}

size_t SortedRows::Used() const {
  return rows_.size() + keys_.size() + entries_.size() * (sizeof(Entry) + o_.extraPerRow);
}

Status SortedRows::Add(const uint8_t* row) {
  spilled_ = false;
  const size_t keyAt = keys_.size();
  keyOf_(row, &keys_);
  const size_t keyLen = keys_.size() - keyAt;
  if (keys_.size() > UINT32_MAX || entries_.size() >= UINT32_MAX) {
    keys_.resize(keyAt);
    return Status::NotSupported(o_.what + " would hold more than 4 GiB of sort keys");
  }
  // Told how many rows come, the buffers are allocated once for as many as the budget
  // holds: growing by doubling would hold the old and the new buffer at once.
  if (count_ == 0 && o_.expectedRows > 1) {
    const size_t per = rowSize_ + keyLen + 8 + sizeof(Entry) + o_.extraPerRow;
    const uint64_t n = std::min<uint64_t>({o_.expectedRows, o_.memory / per + 1, UINT32_MAX});
    Status st = TryReserve(&rows_, size_t(n) * rowSize_, "the rows of a sort run");
    if (st.ok()) st = TryReserve(&entries_, size_t(n), "the entries of a sort run");
    if (st.ok()) {
      st = TryReserve(&keys_, size_t(std::min<uint64_t>(UINT32_MAX, n * (keyLen + 8))),
                      "the keys of a sort run");
    }
    if (!st.ok()) {
      keys_.resize(keyAt);
      return st;
    }
  }
  rows_.insert(rows_.end(), row, row + rowSize_);
  entries_.push_back({KeyHead(keys_.data() + keyAt, keyLen), uint32_t(keyAt), uint32_t(keyLen),
                      uint32_t(entries_.size())});
  sorted_ = false;
  ++count_;
  if (Used() >= o_.memory) return Spill();
  return Status::OK();
}

void SortedRows::SortHeld() {
  if (sorted_) return;
  const uint8_t* keys = keys_.data();
  std::sort(entries_.begin(), entries_.end(), [keys](const Entry& a, const Entry& b) {
    if (a.head != b.head) return a.head < b.head;
    const uint32_t n = std::min(a.length, b.length);
    if (n > 8) {
      const int c = std::memcmp(keys + a.offset + 8, keys + b.offset + 8, n - 8);
      if (c != 0) return c < 0;
    }
    if (a.length != b.length) return a.length < b.length;
    return a.row < b.row;  // equal keys keep the order they came in
  });
  sorted_ = true;
}

void SortedRows::FreeHeld() {
  Bytes().swap(rows_);
  Bytes().swap(keys_);
  std::vector<Entry>().swap(entries_);
  sorted_ = false;
}

Status SortedRows::OpenRun(RunWriter* w) {
  uint32_t own = 0;
  uint32_t* number = o_.runNumber ? o_.runNumber : &own;
  for (int tries = 0;; ++tries) {
    std::string path = o_.runStem + "." + std::to_string((*number)++) + ".rows.tmp";
    // Never over a file that is there: it is not ours.
    auto f = o_.fs->Open(path, OpenMode::kCreateNew);
    if (f.ok()) {
      w->path = std::move(path);
      w->file = std::move(f).value();
      w->buf.clear();
      w->key = o_.encryptionKey;
      Status st = TryResize(&w->buf, o_.readBuffer, "the write buffer of a sort run");
      if (!st.ok()) {
        w->file.reset();
        (void)o_.fs->Remove(w->path);
      }
      return st;
    }
    if (tries < 1000 && o_.fs->Exists(path)) continue;
    return Status::IOError("cannot create the temporary file " + path + " for " + o_.what + ": " +
                               f.status().message(),
                           f.status().error_number());
  }
}

Status SortedRows::Spill() {
  SortHeld();
  RunWriter w;
  PARADOX_RETURN_IF_ERROR(OpenRun(&w));
  Status st;
  for (size_t i = 0; i < entries_.size() && st.ok(); ++i)
    st = w.Add(rows_.data() + size_t(entries_[i].row) * rowSize_, rowSize_);
  Status closed = w.Close();
  if (st.ok()) st = closed;
  if (!st.ok()) {
    (void)o_.fs->Remove(w.path);
    return Status::IOError(
        "cannot write the temporary file " + w.path + " for " + o_.what + ": " + st.message(),
        st.error_number());
  }
  runs_.push_back({w.path, w.rows});
  rows_.clear();
  keys_.clear();
  entries_.clear();
  sorted_ = false;
  spilled_ = true;
  return Status::OK();
}

Status SortedRows::MergeRuns(size_t first, size_t count, bool withHeld, const Sink& sink) {
  std::vector<Source> src(count + (withHeld ? 1 : 0));
  std::vector<uint32_t> heap;
  for (size_t i = 0; i < src.size(); ++i) {
    Source& s = src[i];
    s.owner = this;
    if (i < count) {
      const Run& r = runs_[first + i];
      auto f = o_.fs->Open(r.path, OpenMode::kRead);
      if (!f.ok())
        return Status::IOError("cannot read the temporary file " + r.path + " of " + o_.what +
                                   ": " + f.status().message(),
                               f.status().error_number());
      s.file = std::move(f).value();
      s.path = r.path;
      s.chunk = o_.readBuffer;
      PARADOX_RETURN_IF_ERROR(
          TryResize(&s.buf, rowSize_ + s.chunk, "the read buffer of a sort run"));
      s.left = r.rows;
    }
    bool more = false;
    PARADOX_RETURN_IF_ERROR(s.Next(&more));
    if (more) heap.push_back(uint32_t(i));
  }
  // A min-heap on (key, source): sources are in the order their rows came in, so
  // equal keys come out in that order too.
  auto after = [&src](uint32_t a, uint32_t b) {
    const int c = CompareKeys(src[a].key, src[b].key);
    return c != 0 ? c > 0 : a > b;
  };
  std::make_heap(heap.begin(), heap.end(), after);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), after);
    Source& s = src[heap.back()];
    PARADOX_RETURN_IF_ERROR(sink(s.row, s.key));
    bool more = false;
    PARADOX_RETURN_IF_ERROR(s.Next(&more));
    if (more)
      std::push_heap(heap.begin(), heap.end(), after);
    else
      heap.pop_back();
  }
  return Status::OK();
}

Status SortedRows::Prepare(const std::function<void(uint64_t, uint64_t)>& progress) {
  SortHeld();
  if (runs_.size() <= kFanIn) return Status::OK();
  // Rows that pass through the merges before the last, for the progress.
  uint64_t total = 0, done = 0;
  {
    std::vector<uint64_t> sizes;
    for (const Run& r : runs_) sizes.push_back(r.rows);
    while (sizes.size() > kFanIn) {
      std::vector<uint64_t> next;
      for (size_t g = 0; g < sizes.size(); g += kFanIn) {
        const size_t n = std::min(kFanIn, sizes.size() - g);
        uint64_t sum = 0;
        for (size_t i = g; i < g + n; ++i) sum += sizes[i];
        if (n > 1) total += sum;
        next.push_back(sum);
      }
      sizes = std::move(next);
    }
  }
  while (runs_.size() > kFanIn) {
    // Consecutive runs merge into one at their place, so the order rows came in holds.
    std::vector<Run> next;
    Status st;
    for (size_t g = 0; g < runs_.size() && st.ok(); g += kFanIn) {
      const size_t n = std::min(kFanIn, runs_.size() - g);
      if (n == 1) {
        next.push_back(runs_[g]);
        continue;
      }
      RunWriter w;
      st = OpenRun(&w);
      if (!st.ok()) break;
      next.push_back({w.path, 0});
      st = MergeRuns(g, n, false, [&](const uint8_t* row, ByteSpan) {
        if (progress && ++done % 4096 == 0) progress(done, total);
        return w.Add(row, rowSize_);
      });
      Status closed = w.Close();
      if (st.ok()) st = closed;
      next.back().rows = w.rows;
      if (st.ok())
        for (size_t i = g; i < g + n; ++i) (void)o_.fs->Remove(runs_[i].path);
    }
    if (!st.ok()) {
      for (const Run& r : next) (void)o_.fs->Remove(r.path);
      RemoveRuns();
      return st;
    }
    runs_ = std::move(next);
  }
  if (progress) progress(total, total);
  return Status::OK();
}

Status SortedRows::Merge(const Sink& sink) {
  SortHeld();
  Status st = MergeRuns(0, runs_.size(), true, sink);
  RemoveRuns();
  FreeHeld();
  return st;
}

void SortedRows::RemoveRuns() {
  for (const Run& r : runs_) (void)o_.fs->Remove(r.path);
  runs_.clear();
}

}  // namespace paradox
