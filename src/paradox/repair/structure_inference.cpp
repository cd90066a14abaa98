#include "paradox/repair/structure_inference.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <set>

#include "paradox/format/blob.h"
#include "paradox/format/codepage.h"
#include "paradox/format/family.h"
#include "paradox/format/field_rules.h"
#include "paradox/format/header_file.h"
#include "paradox/format/value.h"
#include "paradox/repair/header_recovery.h"

namespace paradox {

const char* SurenessName(Sureness s) {
  switch (s) {
    case Sureness::kHigh:
      return "high";
    case Sureness::kMedium:
      return "medium";
    case Sureness::kLow:
      break;
  }
  return "low";
}

namespace {

// Reads the .DB through a cache of its first bytes (where the header and the block
// headers of most tables lie); past the file's end it reads zeros.
class CachedFile {
 public:
  static constexpr size_t kCached = size_t{1} << 20;

  Status Open(FileSystem* fs, const std::string& path) {
    auto f = fs->Open(path, OpenMode::kRead);
    if (!f.ok()) return f.status();
    file_ = std::move(f).value();
    auto sz = file_->Size();
    if (!sz.ok()) return sz.status();
    size_ = *sz;
    prefix_.assign(size_t(std::min<uint64_t>(size_, kCached)), 0);
    size_t got = 0;
    PARADOX_RETURN_IF_ERROR(file_->ReadAt(0, MutableByteSpan(prefix_), &got));
    prefix_.resize(got);
    return Status::OK();
  }

  uint64_t size() const { return size_; }
  const Bytes& prefix() const { return prefix_; }

  Status Read(uint64_t offset, uint8_t* out, size_t n) {
    std::memset(out, 0, n);
    if (offset >= size_) return Status::OK();
    if (offset + n <= prefix_.size()) {
      std::memcpy(out, prefix_.data() + offset, n);
      return Status::OK();
    }
    size_t got = 0;
    return file_->ReadAt(offset, MutableByteSpan(out, n), &got);
  }

 private:
  std::unique_ptr<File> file_;
  uint64_t size_ = 0;
  Bytes prefix_;
};

// Field boundaries the header's descriptors may leave open at once (each a reading).
constexpr size_t kMaxHeaderStates = 32;

// Layouts (header and block size) whose data chain is walked, best first.
constexpr size_t kMaxLayoutsWalked = 8;

// Record sizes weighed by reading the records (divisors of the count words).
constexpr size_t kMaxRecordSizes = 12;

// Block headers read to find the data chain: a table of more blocks is judged by its
// first ones.
constexpr uint32_t kScannedBlocks = 16384;

constexpr uint32_t kBlockSizes[] = {1024, 2048, 3072, 4096, 8192, 16384, 32768};

struct BlockHead {
  uint16_t next = 0, prev = 0;
  int16_t add = 0;
};

struct Layout {
  uint32_t headerSize = 0, blockSize = 0, blocks = 0;
  int64_t score = 0;
  int agree = 0, sound = 0, sampled = 0;
};

// ---------------------------------------------------------------------------------
// How well a reading of a column of field bytes fits: its cost in bits under the
// reading's model of values (a description length). Smaller is better; the segmentation
// picks the readings with the smallest total. The one place that knows what values of
// each kind of field look like.

enum class Shape : uint8_t { kLogical, kInt2, kInt4, kDouble, kBcd, kAlpha, kBlob, kBytes };

constexpr double kFieldCost = 6;  // a field's own parameters, once

inline unsigned Bits(uint64_t v) {
  return unsigned(std::bit_width(v));
}

// Cost of one byte as a character of text.
inline double CharCost(uint8_t b) {
  if (b == 0) return 0;
  if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == ' ')
    return 5;
  if (b >= 0x20 && b < 0x7F) return 7;
  if (b >= 0x80) return 8;
  return 10;
}

// A column of records: `n` records of `stride` bytes, the field at `at`.
struct Column {
  const uint8_t* base;
  size_t n, stride, at;
  const uint8_t* Rec(size_t r) const { return base + r * stride + at; }
};

int64_t SignedOf(const uint8_t* p, size_t size) {
  return size == 2 ? int64_t(DecodeInt16(p)) : int64_t(DecodeInt32(p));
}

// Integers (S 2, I/D/T/+ 4): each value costs the bits of the column's range (the
// smallest and largest value are the reading's parameters). Not the distance from a
// typical value: that would make repeated bytes, text among them, cheap integers.
double IntegerCost(const Column& c, size_t size) {
  int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
  size_t blanks = 0;
  for (size_t r = 0; r < c.n; ++r) {
    const uint8_t* p = c.Rec(r);
    if (ZeroBytes(p, size)) {
      ++blanks;
      continue;
    }
    const int64_t v = SignedOf(p, size);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  double cost = kFieldCost + double(blanks);
  if (blanks == c.n) return cost;
  // Values on a grid (times in whole seconds, say) cost only the grid's points.
  uint64_t step = 0;
  for (size_t r = 0; r < c.n && step != 1; ++r) {
    const uint8_t* p = c.Rec(r);
    if (!ZeroBytes(p, size)) step = std::gcd(step, uint64_t(SignedOf(p, size) - lo));
  }
  if (step == 0) step = 1;
  const unsigned range = Bits(uint64_t(hi - lo) / step);
  cost += 4 + Bits(uint64_t(lo < 0 ? -lo : lo)) + Bits(step) + range;
  cost += double(c.n - blanks) * (2 + range);
  // Stored integers are mostly small: a value far from zero (as bytes of text read as
  // an integer are) pays for the bits it needs past 12 (S) or 27 (I: a day's milliseconds).
  const unsigned usual = size == 2 ? 12 : 27;
  for (size_t r = 0; r < c.n; ++r) {
    const uint8_t* p = c.Rec(r);
    if (ZeroBytes(p, size)) continue;
    const int64_t v = SignedOf(p, size);
    const unsigned b = Bits(uint64_t(v < 0 ? -v : v));
    if (b > usual) cost += 2.0 * (b - usual);
  }
  return cost;
}

// The double a sortable 8-byte field holds, as its bits.
inline uint64_t DoubleBits(const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 0; i < 8; ++i) x = x << 8 | p[i];
  return (x >> 63) ? x ^ (uint64_t(1) << 63) : ~x;
}

double DoubleCost(const Column& c) {
  std::vector<int64_t> buf;
  size_t blanks = 0;
  double mantissa = 0;
  for (size_t r = 0; r < c.n; ++r) {
    const uint8_t* p = c.Rec(r);
    if (ZeroBytes(p, 8)) {
      ++blanks;
      continue;
    }
    const uint64_t bits = DoubleBits(p);
    buf.push_back(int64_t((bits >> 52) & 0x7FF));
    const uint64_t m = bits & 0x000FFFFFFFFFFFFFull;
    mantissa += m == 0 ? 0 : 52 - std::countr_zero(m);
  }
  double cost = kFieldCost + double(blanks) + mantissa;
  if (buf.empty()) return cost;
  std::vector<int64_t> sorted = buf;
  auto mid = sorted.begin() + long(sorted.size() / 2);
  std::nth_element(sorted.begin(), mid, sorted.end());
  const int64_t med = *mid;
  cost += 11;
  for (int64_t e : buf) cost += 3 + Bits(uint64_t(e > med ? e - med : med - e));
  return cost;
}

// Logical: every byte 00, 80 or 81 (else no reading).
double LogicalCost(const Column& c) {
  size_t set = 0;
  for (size_t r = 0; r < c.n; ++r) {
    const uint8_t b = *c.Rec(r);
    if (b != 0 && b != 0x80 && b != 0x81) return -1;
    set += b != 0;
  }
  if (set == 0) return -1;  // a column of zeros says nothing
  return kFieldCost + 1.5 * double(c.n);
}

// BCD: one decimals count for the whole column, digits as the rule allows.
double BcdCost(const Column& c, uint8_t* decimals) {
  int dec = -1;
  double cost = kFieldCost + 6;
  for (size_t r = 0; r < c.n; ++r) {
    const uint8_t* p = c.Rec(r);
    if (ZeroBytes(p, kBcdStoredSize)) {
      cost += 1;
      continue;
    }
    if (dec < 0) dec = p[0] & 0x3F;
    if (dec > 32 || IsInvalid(CheckField(FieldType::kBcd, uint8_t(dec), p).issue())) return -1;
    if (BcdBlank(p, uint8_t(dec))) {
      cost += 1;
      continue;
    }
    const bool negative = (p[0] & 0x80) == 0;
    int first = -1, last = -1;
    for (int i = 0; i < 32; ++i) {
      uint8_t b = p[1 + i / 2];
      if (negative) b = uint8_t(~b);
      const int nib = i % 2 == 0 ? b >> 4 : b & 0xF;
      if (nib != 0) {
        if (first < 0) first = i;
        last = i;
      }
    }
    cost += 3 + (first < 0 ? 0 : 3.4 * (last - first + 1));
  }
  if (dec < 0) return -1;
  *decimals = uint8_t(dec);
  return cost;
}

// A blob pointer's cost, or -1 when the ten bytes cannot be one. Sets the bounds the
// leader must keep: at least the longest value held in a leader; below the shortest
// value kept in the .MB; and exactly the value plus the zero bytes after it when values
// are held in the leader (the leader is padded with zeros), none of which may pass the
// zeros before a blank pointer.
struct PointerBounds {
  uint32_t minLeader = 0, maxLeader = 240;
  size_t nonblank = 0;
};
// `zeroRun` holds, per record byte, how many zero bytes end there (at most 240).
// `mbSize`: the size of the family's .MB (0: none, so no value can lie there).
double PointerCost(const Column& c, const uint8_t* zeroRun, uint64_t mbSize, PointerBounds* b) {
  double cost = 0;
  bool inLeader = false;
  uint32_t exact = 240;
  auto zerosBefore = [&](size_t r) -> uint32_t {
    return c.at == 0 ? 0 : zeroRun[r * c.stride + c.at - 1];
  };
  for (size_t r = 0; r < c.n; ++r) {
    const uint8_t* p = c.Rec(r);
    if (ZeroBytes(p, BlobPointer::kEncodedLength)) {
      b->maxLeader = std::min(b->maxLeader, zerosBefore(r));
      cost += 1;
      continue;
    }
    BlobPointer ptr;
    ptr.DecodeFrom(p);
    if (ptr.length == 0) return -1;
    ++b->nonblank;
    if (ptr.offset == 0 && ptr.index == 0 && ptr.modNumber == 0) {
      if (ptr.length > 240 || ptr.length > c.at) return -1;
      b->minLeader = std::max(b->minLeader, ptr.length);
      const uint32_t z = zerosBefore(r);
      exact = std::min(exact, ptr.length + z);
      // The value starts the leader: its first byte is where the leader begins.
      const uint8_t* start = c.base + r * c.stride;
      if (ptr.length + z <= c.at && start[c.at - z - ptr.length] == 0) return -1;
      inLeader = true;
      cost += 2 + Bits(ptr.length);
    } else {
      if (ptr.offset == 0 || ptr.offset % 4096 != 0 || ptr.offset >= mbSize) return -1;
      if (ptr.length > mbSize) return -1;
      if (ptr.index != 0xFF && ptr.index > 0x3F) return -1;
      if (ptr.length <= b->maxLeader) b->maxLeader = ptr.length - 1;
      cost += 2 + Bits(ptr.offset >> 12) + Bits(ptr.length) + Bits(ptr.modNumber);
    }
    if (b->minLeader > b->maxLeader) return -1;
  }
  if (inLeader) {
    if (exact < b->minLeader || exact > b->maxLeader) return -1;
    b->minLeader = b->maxLeader = exact;
  }
  return b->nonblank == 0 ? -1 : cost;
}

// ---------------------------------------------------------------------------------
// The segmentation of a record into fields: the cheapest sequence of readings that
// covers every byte, by dynamic programming over the record's offsets.

struct Piece {
  Shape shape = Shape::kBytes;
  uint32_t at = 0, size = 0;
  uint8_t bcdDecimals = 0;
  // The header's surviving descriptor, when it names a type the data agrees with.
  std::optional<FieldType> headerType;
  uint8_t headerSizeByte = 0;
  bool fromPrimaryIndex = false;  // the descriptor is the .PX's (a key field)
};

struct Segmentation {
  std::vector<Piece> pieces;
  double cost = 0;
};

class Segmenter {
 public:
  Segmenter(const uint8_t* records, size_t n, uint32_t recordSize, uint64_t mbSize)
      : base_(records), n_(n), rs_(recordSize), mbSize_(mbSize) {}

  // Cost of one reading of the bytes [at, at + size), or -1 when they cannot be one
  // (Prepare first).
  double FieldCost(Shape shape, uint32_t at, uint32_t size, uint8_t* dec) const {
    if (at + size > rs_ || size == 0) return -1;
    const Column col{base_, n_, rs_, at};
    switch (shape) {
      case Shape::kLogical:
        return size == 1 ? LogicalCost(col) : -1;
      case Shape::kInt2:
        return size == 2 ? IntegerCost(col, 2) : -1;
      case Shape::kInt4:
        return size == 4 ? IntegerCost(col, 4) : -1;
      case Shape::kDouble:
        return size == 8 ? DoubleCost(col) : -1;
      case Shape::kBcd:
        return size == kBcdStoredSize ? BcdCost(col, dec) : -1;
      case Shape::kAlpha:
        return size <= 255 && at + size <= maxEnd_[at] ? AlphaCost(at, at + size) : -1;
      case Shape::kBlob:
        for (const BlobSpot& s : blobs_)
          if (s.pointerAt + 10 == at + size && size >= 10 && s.bounds.minLeader <= size - 10 &&
              size - 10 <= s.bounds.maxLeader)
            return kFieldCost + s.cost + (chars_[s.pointerAt] - chars_[at]) + double(n_);
        return -1;
      case Shape::kBytes:
        return size <= 255 ? kFieldCost + 16.0 * double(n_) * size : -1;
    }
    return -1;
  }

  void Prepare() {
    if (prepared_) return;
    prepared_ = true;
    PrepareColumns();
  }

  // The cheapest segmentation; with `fields` > 0, the cheapest into exactly that many
  // fields (cost infinite and no pieces when there is none), where the work it takes
  // stays bounded.
  Segmentation Run(size_t fields = 0, uint32_t start = 0) {
    const double inf = std::numeric_limits<double>::infinity();
    // Each state relaxes some 500 readings: a bound on the states bounds the work.
    const bool counted =
        fields > 0 && fields <= 255 && (fields + 1) * size_t(rs_ + 1) <= (size_t{1} << 16);
    if (start > rs_) return {{}, inf};
    const uint32_t span = rs_ - start;
    if (fields > 0 && (span < fields || span > 255 * fields)) return {{}, inf};  // no such reading
    Prepare();
    const size_t layers = counted ? fields + 1 : 1;
    auto idx = [&](size_t k, uint32_t i) { return k * (size_t(rs_) + 1) + i; };
    std::vector<double> dp(layers * (size_t(rs_) + 1), inf);
    std::vector<Piece> from(dp.size());
    dp[idx(0, start)] = 0;
    size_t k = 0;  // the layer relaxed from
    auto relax = [&](uint32_t i, uint32_t size, double cost, Shape shape, uint8_t dec = 0) {
      if (cost < 0 || i + size > rs_) return;
      const double total = dp[idx(k, i)] + cost;
      const size_t to = idx(counted ? k + 1 : 0, i + size);
      if (total < dp[to]) {
        dp[to] = total;
        from[to] = Piece{shape, i, size, dec, std::nullopt, 0};
      }
    };
    for (uint32_t i = start; i < rs_; ++i) {
      bool reached = false;
      for (size_t kk = 0; kk + (counted ? 1 : 0) < layers; ++kk) reached |= dp[idx(kk, i)] < inf;
      if (!reached) continue;
      const Column col{base_, n_, rs_, i};
      const double logical = LogicalCost(col);
      const double int2 = i + 2 <= rs_ ? IntegerCost(col, 2) : -1;
      const double int4 = i + 4 <= rs_ ? IntegerCost(col, 4) : -1;
      const double dbl = i + 8 <= rs_ ? DoubleCost(col) : -1;
      uint8_t dec = 0;
      const double bcd = i + kBcdStoredSize <= rs_ ? BcdCost(col, &dec) : -1;
      const uint32_t end = std::min<uint32_t>(maxEnd_[i], std::min<uint32_t>(rs_, i + 255));
      for (k = 0; k + (counted ? 1 : 0) < layers; ++k) {
        if (dp[idx(k, i)] == inf) continue;
        relax(i, 1, logical, Shape::kLogical);
        relax(i, 2, int2, Shape::kInt2);
        relax(i, 4, int4, Shape::kInt4);
        relax(i, 8, dbl, Shape::kDouble);
        relax(i, kBcdStoredSize, bcd, Shape::kBcd, dec);
        for (uint32_t j = i + 1; j <= end; ++j) relax(i, j - i, AlphaCost(i, j), Shape::kAlpha);
        // Bytes nothing else reads: one at a time (merged later), or whole fields when
        // the count of fields is fixed.
        const uint32_t bytes = counted ? std::min<uint32_t>(255, rs_ - i) : 1;
        for (uint32_t b = 1; b <= bytes; ++b)
          relax(i, b, kFieldCost + 16.0 * double(n_) * b, Shape::kBytes);
        // Blob fields whose leader starts here.
        for (const BlobSpot& s : blobs_) {
          if (s.pointerAt < i) continue;
          const uint32_t leader = s.pointerAt - i;
          if (leader < s.bounds.minLeader || leader > s.bounds.maxLeader) continue;
          const double leaderCost = chars_[s.pointerAt] - chars_[i];
          relax(i, leader + 10, kFieldCost + s.cost + leaderCost + double(n_), Shape::kBlob);
        }
      }
    }
    Segmentation out;
    size_t layer = counted ? fields : 0;
    out.cost = dp[idx(layer, rs_)];
    if (out.cost == inf) return out;
    for (uint32_t at = rs_; at > start;) {
      const Piece& p = from[idx(layer, at)];
      out.pieces.push_back(p);
      at = p.at;
      if (counted) --layer;
    }
    std::reverse(out.pieces.begin(), out.pieces.end());
    if (!counted) MergeBytes(&out.pieces);
    return out;
  }

 private:
  struct BlobSpot {
    uint32_t pointerAt;
    PointerBounds bounds;
    double cost;
  };

  double AlphaCost(uint32_t i, uint32_t j) const {
    return kFieldCost + (chars_[j] - chars_[i]) + double(n_) * (1 + Bits(j - i));
  }

  // Per offset: the sum of character costs of all records (prefix sums), how far an
  // alpha field starting there may reach (no byte after its NUL padding may be set),
  // and where blob pointers may lie.
  void PrepareColumns() {
    chars_.assign(rs_ + 1, 0);
    std::vector<double> col(rs_, 0);

    maxEnd_.assign(rs_, rs_);
    std::vector<uint32_t> nextZero(rs_ + 1), nextSet(rs_ + 1);
    for (size_t r = 0; r < n_; ++r) {
      const uint8_t* rec = base_ + r * rs_;
      nextZero[rs_] = nextSet[rs_] = rs_;
      for (uint32_t p = rs_; p-- > 0;) {
        col[p] += CharCost(rec[p]);
        nextZero[p] = rec[p] == 0 ? p : nextZero[p + 1];
        nextSet[p] = rec[p] != 0 ? p : nextSet[p + 1];
      }
      for (uint32_t p = 0; p < rs_; ++p) {
        const uint32_t reach = nextSet[nextZero[p]];
        if (reach < maxEnd_[p]) maxEnd_[p] = reach;
      }
    }
    // A column of few distinct characters (codes, repeated words) costs its entropy
    // and a dictionary of its characters, when that is less: integers over the same
    // bytes gain as much from their narrow range.
    uint32_t hist[256];
    for (uint32_t p = 0; p < rs_; ++p) {
      std::fill(std::begin(hist), std::end(hist), 0);
      for (size_t r = 0; r < n_; ++r) hist[base_[r * rs_ + p]] += 1;
      double entropy = 0;
      for (int b = 0; b < 256; ++b) {
        const uint32_t k = hist[b];
        if (k == 0) continue;
        entropy += double(k) * std::log2(double(n_) / double(k)) + CharCost(uint8_t(b)) + 1;
        // Control characters are rare in text whatever their frequency.
        if (b > 0 && b < 0x20) entropy += 6.0 * double(k);
      }
      chars_[p + 1] = chars_[p] + std::min(col[p], entropy);
    }
    std::vector<uint8_t> zeroRun(n_ * rs_);
    for (size_t r = 0; r < n_; ++r)
      for (uint32_t p = 0; p < rs_; ++p) {
        const uint8_t run = p == 0 ? 0 : zeroRun[r * rs_ + p - 1];
        zeroRun[r * rs_ + p] = base_[r * rs_ + p] != 0 ? 0 : uint8_t(std::min(run + 1, 240));
      }
    for (uint32_t q = 0; q + BlobPointer::kEncodedLength <= rs_; ++q) {
      BlobSpot s{q, {}, 0};
      s.cost = PointerCost(Column{base_, n_, rs_, q}, zeroRun.data(), mbSize_, &s.bounds);
      if (s.cost < 0) continue;
      s.bounds.maxLeader = std::min<uint32_t>(s.bounds.maxLeader, q);
      if (s.bounds.minLeader <= s.bounds.maxLeader) blobs_.push_back(s);
    }
  }

  // Runs of unexplained single bytes become one Bytes field each (at most 255 bytes).
  static void MergeBytes(std::vector<Piece>* pieces) {
    std::vector<Piece> out;
    for (const Piece& p : *pieces) {
      if (p.shape == Shape::kBytes && !out.empty() && out.back().shape == Shape::kBytes &&
          out.back().size < 255) {
        out.back().size += p.size;
        continue;
      }
      out.push_back(p);
    }
    *pieces = std::move(out);
  }

  const uint8_t* base_;
  size_t n_;
  uint32_t rs_;
  uint64_t mbSize_;
  bool prepared_ = false;
  std::vector<double> chars_;
  std::vector<uint32_t> maxEnd_;
  std::vector<BlobSpot> blobs_;
};

// ---------------------------------------------------------------------------------

const int32_t kDay1900 = DaysFromCivil(1900, 1, 1);
const int32_t kDay2100 = DaysFromCivil(2100, 12, 31);

bool Printable(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char ch : s)
    if (ch < 0x20 || ch == 0x7F) return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
  return s;
}

// The n NUL-ended field names of a name area from `*at` on (before `limit`): each of 1 to
// 25 printable bytes, none repeated; `*at` moves past them. False when they do not read so.
bool ReadFieldNames(const Bytes& pre, size_t limit, size_t n, size_t* at,
                    std::vector<std::string>* names) {
  std::set<std::string> seen;
  for (size_t i = 0; i < n; ++i) {
    const void* nul =
        *at < limit ? std::memchr(&pre[*at], 0, std::min<size_t>(limit - *at, 26)) : nullptr;
    if (!nul) return false;
    const size_t len = static_cast<const uint8_t*>(nul) - &pre[*at];
    std::string name(reinterpret_cast<const char*>(&pre[*at]), len);
    if (len < 1 || len > 25 || !Printable(name) || !seen.insert(Lower(name)).second) return false;
    if (names) names->push_back(std::move(name));
    *at += len + 1;
  }
  return true;
}

bool NameHints(const std::string& name, std::initializer_list<const char*> words) {
  const std::string l = Lower(name);
  for (const char* w : words)
    if (l.find(w) != std::string::npos) return true;
  return false;
}

class Inference {
 public:
  Inference(const std::string& db, const InferOptions& o) : db_(db), o_(o) {}

  Result<InferredStructure> Run() {
    fs_ = o_.fs ? o_.fs : DefaultFileSystem();
    PARADOX_RETURN_IF_ERROR(file_.Open(fs_, db_));
    if (file_.size() < 0x80 + BlockHeader::kEncodedLength)
      return Status::Corruption("file is " + std::to_string(file_.size()) +
                                " bytes: too short to hold a header and a data block");
    ReadStoredHeader();
    if (o_.useFamily) {
      // Blob values kept in a .MB need one that holds them.
      auto fam = FindFamily(fs_, db_);
      if (fam.ok() && !fam->mb.empty()) {
        auto size = fs_->FileSize(fam->mb);
        if (size.ok()) mbSize_ = *size;
      }
      if (fam.ok() && !fam->px.empty()) {
        auto px = ReadHeader(fs_, fam->px);
        if (px.ok() && px->fixed.fileType == 1 && px->fields.size() <= 16) pxFields_ = px->fields;
      }
    } else {
      mbSize_ = std::numeric_limits<uint64_t>::max();  // not looked at: any offset
    }
    PARADOX_RETURN_IF_ERROR(FindLayouts());
    namedFields_ = FieldCountFromNames();
    PARADOX_RETURN_IF_ERROR(ChooseRecordSize());
    if (out_.recordSize == 0)
      return Status::Corruption(
          "no header size, block size and record size fit the file's block headers");
    if (!FromHeaderDescriptors()) FromPrimaryIndex();
    Describe();
    if (o_.useFamily) PARADOX_RETURN_IF_ERROR(ReadFamily());
    Names();
    KeepHeaderFacts();
    return out_;
  }

 private:
  // The stored fixed part, where it may still hold something (zeros count as lost).
  void ReadStoredHeader() {
    const Bytes& pre = file_.prefix();
    if (pre.size() >= FixedHeader::kEncodedLength) fixedOk_ = fixed_.DecodeFrom(pre).ok();
    TableLevel level;
    headerSane_ = fixedOk_ && LevelFromVersionId(fixed_.fileVersionId, &level) &&
                  (fixed_.fileType == 0 || fixed_.fileType == 2);
    if (pre.size() >= 0x78) {
      extOk_ = ext_.DecodeFrom(ByteSpan(pre).subspan(kExtensionOffset)).ok() &&
               ext_.fileVerId2 == ext_.fileVerId3 && ext_.fileVerId2 >= 0x105 &&
               ext_.fileVerId2 <= 0x10C;
    }
  }

  Status Head(const Layout& l, uint32_t k, BlockHead* h) {
    uint8_t b[6];
    PARADOX_RETURN_IF_ERROR(file_.Read(BlockOffset(l.headerSize, l.blockSize, k), b, 6));
    h->next = DecodeU16(b);
    h->prev = DecodeU16(b + 2);
    h->add = DecodeS16(b + 4);
    return Status::OK();
  }

  bool Sound(const Layout& l, uint32_t k, const BlockHead& h) const {
    return h.next <= l.blocks && h.prev <= l.blocks && h.next != k && h.prev != k &&
           h.add >= -int(l.blockSize - 6) && h.add < int(l.blockSize - 6);
  }

  // Scores a layout by its blocks' headers: links that agree both ways weigh most.
  Status ScoreLayout(Layout* l) {
    const uint64_t body = file_.size() - l->headerSize;
    uint64_t blocks = body / l->blockSize + (body % l->blockSize >= 6 ? 1 : 0);
    l->blocks = uint32_t(std::min<uint64_t>(blocks, 0xFFFF));
    if (l->blocks == 0) return Status::OK();
    std::vector<uint32_t> sample;
    for (uint32_t k = 1; k <= std::min<uint32_t>(l->blocks, 24); ++k) sample.push_back(k);
    if (l->blocks > 24) {
      const uint32_t step = std::max<uint32_t>(1, (l->blocks - 24) / 40);
      for (uint32_t k = 25; k <= l->blocks; k += step) sample.push_back(k);
    }
    int zeroHeads = 0;
    std::map<int, int> emptyWords;
    for (uint32_t k : sample) {
      BlockHead h;
      PARADOX_RETURN_IF_ERROR(Head(*l, k, &h));
      ++l->sampled;
      if (!Sound(*l, k, h)) continue;
      ++l->sound;
      if (h.next == 0 && h.prev == 0 && h.add == 0) ++zeroHeads;
      if (h.add < 0) emptyWords[h.add] += 1;
      if (h.next != 0) {
        BlockHead n;
        PARADOX_RETURN_IF_ERROR(Head(*l, h.next, &n));
        // A data block's next points back; a free block's next is another free block
        // with the same count word.
        if ((n.prev == k || (h.add < 0 && n.add == h.add)) && Sound(*l, h.next, n)) ++l->agree;
      }
    }
    // Shares, not counts: a smaller block size samples more blocks. Zero headers are what
    // padding and blank records read as; empty blocks sharing one count word (-size) are
    // the free list, which chance does not make.
    int mostEmpty = 0;
    for (const auto& [add, count] : emptyWords) mostEmpty = std::max(mostEmpty, count);
    l->score = 8 * int64_t(std::min(l->agree, 8)) + (20 * l->sound - 20 * zeroHeads) / l->sampled -
               (30 * (l->sampled - l->sound)) / l->sampled + (mostEmpty >= 2 ? 6 : 0);
    if (body % l->blockSize == 0) l->score += 3;
    // Ties (a table of one block) go to the usual sizes: headers in whole 2 KiB from
    // level 3.5 on, blocks of 2 KiB, and no 3 KiB blocks (listed by the format, never
    // written).
    if (l->headerSize % 0x800 == 0) l->score += 2;
    // Headers past 4 KiB are rare (a level-7 table of very many fields): a header size
    // that swallows whole blocks must earn it.
    l->score -= int64_t(l->headerSize / 0x800) / 2;
    if (l->blockSize == 3072) l->score -= 2;
    if (l->blockSize == 2048) l->score += 1;
    if (fixedOk_ && fixed_.headerSize == l->headerSize) l->score += 2;
    if (fixedOk_ && fixed_.BlockSize() == l->blockSize) l->score += 2;
    return Status::OK();
  }

  Status FindLayouts() {
    std::set<uint32_t> sizes;
    const uint64_t size = file_.size();
    auto add = [&](uint64_t hs) {
      if (hs >= 0x80 && hs + BlockHeader::kEncodedLength <= size && hs <= 0xFFFF)
        sizes.insert(uint32_t(hs));
    };
    if (fixedOk_) add(fixed_.headerSize);
    for (uint64_t hs = 0x800; hs <= 0xF800; hs += 0x800) add(hs);
    // Headers of the oldest level end where their used bytes end; the blocks after
    // them fill the file in whole KiB.
    for (uint64_t m = 0; m < 16; ++m) add(size % 1024 + 1024 * m);
    for (uint32_t hs : sizes)
      for (uint32_t bs : kBlockSizes) {
        Layout l;
        l.headerSize = hs;
        l.blockSize = bs;
        PARADOX_RETURN_IF_ERROR(ScoreLayout(&l));
        if (l.blocks > 0 && l.sound * 2 > l.sampled) layouts_.push_back(l);
      }
    std::stable_sort(layouts_.begin(), layouts_.end(),
                     [](const Layout& a, const Layout& b) { return a.score > b.score; });
    if (layouts_.empty())
      return Status::Corruption("no header size and block size make the file's blocks read as " +
                                std::string("data blocks"));
    return Status::OK();
  }

  // The data chain: the longest walk (by records) from a block with no previous block,
  // along next links whose target points back. The blocks' headers are read once (up to
  // a bound); the count words of blocks outside the chain (the free list's empty blocks)
  // are kept as evidence of the record size.
  Status WalkChain(const Layout& l, std::vector<std::pair<uint32_t, BlockHead>>* chain) {
    const uint32_t scan = std::min<uint32_t>(l.blocks, kScannedBlocks);
    std::vector<BlockHead> heads(size_t(scan) + 1);
    for (uint32_t k = 1; k <= scan; ++k) PARADOX_RETURN_IF_ERROR(Head(l, k, &heads[k]));
    empties_.clear();
    for (uint32_t k = 1; k <= scan; ++k)
      if (heads[k].add < 0 && Sound(l, k, heads[k])) empties_[uint32_t(-heads[k].add)] += 1;
    std::vector<bool> seen(size_t(scan) + 1, false);
    uint64_t bestWeight = 0;
    chain->clear();
    int starts = 0;
    for (uint32_t start = 1; start <= scan && starts < 256; ++start) {
      const BlockHead& h0 = heads[start];
      if (seen[start] || h0.prev != 0 || h0.add < 0 || !Sound(l, start, h0)) continue;
      ++starts;
      std::vector<std::pair<uint32_t, BlockHead>> walk;
      uint64_t weight = 0;
      for (uint32_t k = start, prev = 0; k != 0 && k <= scan && !seen[k];) {
        const BlockHead& h = heads[k];
        if (h.prev != prev || h.add < 0 || !Sound(l, k, h)) break;
        seen[k] = true;
        walk.push_back({k, h});
        weight += 1 + uint64_t(h.add);
        prev = k;
        k = h.next;
      }
      if (weight > bestWeight) {
        bestWeight = weight;
        *chain = std::move(walk);
      }
    }
    return Status::OK();
  }

  // The field count the header's surviving name area gives: the most names that parse
  // where n descriptors would put them, followed by what follows them (0: none).
  size_t FieldCountFromNames() const {
    if (!o_.useHeader || layouts_.empty()) return 0;
    const uint32_t hs = layouts_.front().headerSize;
    size_t best = 0;
    for (size_t base : {size_t{0x78}, size_t{0x58}})
      for (size_t n = 1; n <= 255 && base + 8 * n < std::min<size_t>(hs, file_.prefix().size());
           ++n)
        if (n > best && NamesParse(base, n, hs)) best = n;
    return best;
  }

  // Record sizes the header's surviving descriptors add up to: for each place the list
  // may start (after the extension, or the fixed part) and each field count whose names
  // parse after it (or the stored count, in a header still sane). A descriptor whose
  // type byte is lost adds its size byte, or 17 when that byte may be a BCD's decimals.
  // Ordered by how many size bytes had to be read as BCD decimals.
  std::vector<uint32_t> HeaderRecordSizes(uint32_t headerSize) {
    std::vector<std::pair<int, uint32_t>> found;
    if (!o_.useHeader) return {};
    const Bytes& pre = file_.prefix();
    const size_t limit = std::min<size_t>(pre.size(), headerSize);
    constexpr uint8_t kNone = 255;
    for (size_t base : {size_t{0x78}, size_t{0x58}}) {
      // Per record size: the fewest descriptors read as BCD to reach it.
      std::vector<uint8_t> bcds(0x8000, kNone), next(0x8000);
      bcds[0] = 0;
      for (size_t i = 0; i < 255 && base + 2 * i + 2 <= limit; ++i) {
        const uint8_t t = pre[base + 2 * i], sz = pre[base + 2 * i + 1];
        uint32_t plain = 0;
        bool maybeBcd = false;
        if (IsKnownFieldType(t) && ValidateFieldDescriptor(FieldType(t), sz).ok()) {
          plain = StoredFieldSize(FieldType(t), sz);
        } else if (t == 0) {
          break;  // zeros: no descriptor here
        } else if (!IsKnownFieldType(t) && sz <= 32) {
          plain = sz > 0 ? sz : kBcdStoredSize;  // a size byte of 0 is only a BCD's
          maybeBcd = sz > 0;
        } else if (!IsKnownFieldType(t)) {
          plain = sz;
        } else {
          break;
        }
        std::fill(next.begin(), next.end(), kNone);
        bool any = false;
        for (uint32_t v = 0; v < 0x8000; ++v) {
          if (bcds[v] == kNone) continue;
          auto put = [&](uint32_t to, uint8_t count) {
            if (to < 0x8000 && count < next[to]) next[to] = count, any = true;
          };
          put(v + plain, bcds[v]);
          if (maybeBcd) put(v + kBcdStoredSize, uint8_t(std::min(bcds[v] + 1, 254)));
        }
        bcds.swap(next);
        if (!any) break;
        const size_t fields = i + 1;
        if (!NamesParse(base, fields, headerSize) && !(headerSane_ && fixed_.numFields == fields))
          continue;
        for (uint32_t v = 1; v < 0x8000; ++v)
          if (bcds[v] != kNone) found.push_back({bcds[v], v});
      }
    }
    std::sort(found.begin(), found.end());
    std::vector<uint32_t> out;
    for (const auto& [count, size] : found) out.push_back(size);
    return out;
  }

  // Candidate record sizes from the chain's count words (addDataSize = (n-1) * size).
  std::vector<uint32_t> RecordSizes(const Layout& l,
                                    const std::vector<std::pair<uint32_t, BlockHead>>& chain,
                                    std::string* why) {
    uint32_t g = 0, maxAdd = 0;
    for (const auto& [k, h] : chain) {
      if (h.add > 0) {
        g = std::gcd(g, uint32_t(h.add));
        maxAdd = std::max<uint32_t>(maxAdd, uint32_t(h.add));
      }
    }
    const uint32_t room = l.blockSize - 6;
    std::vector<uint32_t> out;
    auto fits = [&](uint32_t rs) {
      return rs >= 1 && maxAdd + rs <= room && (g == 0 || g % rs == 0) &&
             std::find(out.begin(), out.end(), rs) == out.end();
    };
    // Empty blocks (the free list) say the record size outright: -size. The most common
    // such word first.
    std::vector<std::pair<int, uint32_t>> byCount;
    for (const auto& [size, count] : empties_) byCount.push_back({-count, size});
    std::sort(byCount.begin(), byCount.end());
    for (const auto& [count, size] : byCount)
      if (fits(size)) {
        *why = std::to_string(-count) + " empty block(s) whose count word is minus the size";
        return {size};
      }
    // A stored record size the count words allow, in a header whose block size is this
    // layout's, is the header's own word.
    if (fixedOk_ && fixed_.BlockSize() == l.blockSize && fits(fixed_.recordSize)) {
      *why = "the stored record size, which the count words allow";
      return {fixed_.recordSize};
    }
    // Sizes the header's surviving descriptors add up to, which the count words allow.
    for (uint32_t size : HeaderRecordSizes(l.headerSize))
      if (fits(size)) {
        *why = "the header's surviving field descriptors, which add up to it";
        return {size};
      }
    // Bytes a block's last record must reach: up to the block's last set byte (the
    // writers clear what follows the last record; stale records left there only make
    // this larger). A size below the smallest such reach cuts records short.
    uint32_t reach = 0;
    {
      std::vector<uint8_t> block(l.blockSize);
      for (size_t i = 0; i < chain.size() && i < 64; ++i) {
        if (!file_
                 .Read(BlockOffset(l.headerSize, l.blockSize, chain[i].first), block.data(),
                       block.size())
                 .ok())
          break;
        uint32_t z = 0;
        for (uint32_t p = l.blockSize; p-- > 6;)
          if (block[p] != 0) {
            z = p + 1;
            break;
          }
        const uint32_t start = 6 + uint32_t(chain[i].second.add);
        if (z > start && (reach == 0 || z - start < reach)) reach = z - start;
      }
    }
    if (g > 0) {
      std::vector<uint32_t> divisors;
      for (uint32_t d = 1; d * d <= g; ++d)
        if (g % d == 0) {
          divisors.push_back(d);
          divisors.push_back(g / d);
        }
      // The largest first: tiny sizes (1, 2, 3 bytes) are rarely a table's.
      std::sort(divisors.rbegin(), divisors.rend());
      divisors.erase(std::unique(divisors.begin(), divisors.end()), divisors.end());
      reach_ = reach;
      for (uint32_t d : divisors)
        if (fits(d) && out.size() < kMaxRecordSizes) out.push_back(d);
    } else if (out.empty()) {
      // Every block holds one record: its size is at least up to the last set byte.
      if (reach > 0 && fits(reach)) out.push_back(reach);
      *why = "the last set byte of the blocks (every block holds one record)";
    }
    return out;
  }

  // Records of the chain for a record size, sampled evenly up to the budget.
  Status SampleRecords(const Layout& l, const std::vector<std::pair<uint32_t, BlockHead>>& chain,
                       uint32_t rs, size_t sampleBytes, Bytes* records, size_t* count,
                       uint64_t* total, double* tailZero) {
    uint64_t all = 0;
    for (const auto& [k, h] : chain)
      if (h.add >= 0) all += uint64_t(h.add) / rs + 1;
    *total = all;
    const size_t budget = std::max<size_t>(1, sampleBytes / rs);
    const uint64_t want = std::min<uint64_t>({all, budget, o_.maxRecords});
    const uint64_t step = want == 0 ? 1 : std::max<uint64_t>(1, all / want);
    records->clear();
    *count = 0;
    uint64_t seen = 0;
    size_t tails = 0, zeroTails = 0;
    std::vector<uint8_t> block(l.blockSize);
    for (const auto& [k, h] : chain) {
      if (h.add < 0) continue;
      const uint64_t n = uint64_t(h.add) / rs + 1;
      const uint64_t firstWanted = (seen + step - 1) / step * step;
      const bool needTail = tails < 256;
      if (firstWanted >= seen + n && !needTail) {
        seen += n;
        continue;
      }
      PARADOX_RETURN_IF_ERROR(
          file_.Read(BlockOffset(l.headerSize, l.blockSize, k), block.data(), block.size()));
      const size_t end = 6 + size_t(h.add) + rs;
      if (needTail && end < block.size()) {
        ++tails;
        zeroTails += ZeroBytes(block.data() + end, std::min<size_t>(8, block.size() - end));
      }
      for (uint64_t i = firstWanted; i < seen + n && *count < want; i += step) {
        const uint8_t* rec = block.data() + 6 + (i - seen) * rs;
        records->insert(records->end(), rec, rec + rs);
        ++*count;
      }
      seen += n;
    }
    *tailZero = tails == 0 ? 1.0 : double(zeroTails) / double(tails);
    return Status::OK();
  }

  // The first layout (by its block headers) whose chain yields a record size. Among the
  // sizes its count words allow, the cheapest reading of the records wins; a divisor of
  // it that reads nearly as cheaply is taken instead (a multiple of the record size
  // also fits every count word when the blocks hold an odd number of records, and
  // takes in the zero bytes after the last record at no cost).
  Status ChooseRecordSize() {
    // The best few layouts only: the rest score worse by their block headers, and each
    // costs a walk over the blocks.
    for (size_t li = 0; li < layouts_.size() && li < kMaxLayoutsWalked; ++li) {
      const Layout& l = layouts_[li];
      std::vector<std::pair<uint32_t, BlockHead>> chain;
      PARADOX_RETURN_IF_ERROR(WalkChain(l, &chain));
      if (chain.empty()) continue;
      std::string why;
      const std::vector<uint32_t> sizes = RecordSizes(l, chain, &why);
      struct Reading {
        uint32_t rs;
        double score;
        Bytes records;
        size_t n;
        uint64_t total;
        Segmentation seg;
      };
      std::vector<Reading> readings;
      // The sample budget is shared by the sizes weighed (the chosen one is read again
      // with the whole budget below).
      const size_t perSize =
          std::max<size_t>(o_.maxSampleBytes / std::max<size_t>(1, sizes.size()), 16384);
      for (uint32_t rs : sizes) {
        Reading r{rs, 0, {}, 0, 0, {}};
        double tailZero = 1;
        PARADOX_RETURN_IF_ERROR(
            SampleRecords(l, chain, rs, perSize, &r.records, &r.n, &r.total, &tailZero));
        if (r.n == 0) continue;
        Segmenter seg(r.records.data(), r.n, rs, mbSize_);
        if (namedFields_ > 0) {
          r.seg = seg.Run(namedFields_);
          if (r.seg.pieces.empty()) continue;  // no reading of that many fields
        } else {
          r.seg = seg.Run();
        }
        // Bits per record byte, and a penalty when the bytes right after each block's
        // last record are set (the record size cuts records short).
        r.score = r.seg.cost / double(r.n * rs) + 0.5 * (1.0 - tailZero);
        readings.push_back(std::move(r));
      }
      if (readings.empty()) continue;
      size_t best = 0;
      for (size_t i = 1; i < readings.size(); ++i)
        if (readings[i].score < readings[best].score) best = i;
      // The smallest size that reads nearly as cheaply; among those, one that reaches the
      // blocks' last set bytes when there is one (a clean tail after the last record: a
      // multiple of the size then reads zeros as blank fields, cheaply, and is given less
      // room than a size that ends where the data ends).
      size_t pick = best;
      bool pickReaches = readings[best].rs >= reach_;
      for (size_t i = 0; i < readings.size(); ++i) {
        const Reading& c = readings[i];
        const bool reaches = c.rs >= reach_;
        // (One block: few records, whose cost says little.)
        const double room = reaches && reach_ > 0 && chain.size() == 1 ? 1.5 : 1.1;
        if (c.score > readings[best].score * room || readings[best].rs % c.rs != 0) continue;
        if ((reaches && !pickReaches) || (reaches == pickReaches && c.rs < readings[pick].rs)) {
          pick = i;
          pickReaches = reaches;
        }
      }
      Reading& r = readings[pick];
      if (readings.size() > 1) {
        double tailZero = 1;
        PARADOX_RETURN_IF_ERROR(SampleRecords(l, chain, r.rs, o_.maxSampleBytes, &r.records, &r.n,
                                              &r.total, &tailZero));
        Segmenter seg(r.records.data(), r.n, r.rs, mbSize_);
        Segmentation again = namedFields_ > 0 ? seg.Run(namedFields_) : seg.Run();
        if (!again.pieces.empty()) r.seg = std::move(again);
      }
      out_.headerSize = l.headerSize;
      out_.blockSize = l.blockSize;
      out_.recordSize = r.rs;
      out_.blocksInFile = l.blocks;
      out_.chainBlocks = uint32_t(chain.size());
      out_.chainRecords = r.total;
      out_.recordsExamined = r.n;
      records_ = std::move(r.records);
      pieces_ = std::move(r.seg.pieces);
      layout_ = l;
      sizesConsidered_ = sizes.size();
      sizeWhy_ = why.empty() ? "the count words of the blocks" : why;
      return Status::OK();
    }
    return Status::OK();
  }

  // ---- what the header's surviving descriptors say ----------------------------------

  // Whether n field names parse after n descriptors at `base` (either table-name length).
  bool NamesParse(size_t base, size_t n, uint32_t headerSize) const {
    const Bytes& pre = file_.prefix();
    const size_t limit = std::min<size_t>(pre.size(), headerSize);
    for (size_t nameLen : {size_t{261}, size_t{79}}) {
      size_t at = base + 6 * n + 4 + nameLen;
      const bool ok = at <= limit && ReadFieldNames(pre, limit, n, &at, nullptr);
      if (ok && NamesEndHere(base, at, n, limit)) return true;
    }
    return false;
  }

  // After the last name: the field numbers 1..n (level 4 on, whose list starts at 0x78),
  // or nothing but zeros (the oldest levels end their header there). A shorter list of "names" read
  // from the table-name area fails this.
  bool NamesEndHere(size_t base, size_t at, size_t n, size_t limit) const {
    const Bytes& pre = file_.prefix();
    bool numbered = at + 2 * n <= limit;
    for (size_t i = 0; i < n && numbered; ++i) numbered = DecodeU16(&pre[at + 2 * i]) == i + 1;
    if (numbered) {
      // ... and then the sort order's name.
      const size_t name = at + 2 * n;
      const void* nul =
          name < limit ? std::memchr(&pre[name], 0, std::min<size_t>(limit - name, 32)) : nullptr;
      if (!nul) return false;
      return CodePageForSortOrderName(
                 std::string_view(reinterpret_cast<const char*>(&pre[name]),
                                  static_cast<const uint8_t*>(nul) - &pre[name])) >= 0;
    }
    if (base == 0x78) return false;
    const size_t end = std::min(limit, at + 16);
    for (size_t i = at; i < end; ++i)
      if (pre[i] != 0) return false;
    return true;
  }

  // Whether nine in ten of the set bytes of a column are characters of text (not
  // control codes, nor the 0x80-0x9F that sortable numbers begin with).
  bool Texty(uint32_t at, uint32_t size) const {
    const uint32_t rs = out_.recordSize;
    if (size > rs || at > rs - size) return false;
    size_t set = 0, text = 0;
    for (size_t r = 0; r < out_.recordsExamined; ++r)
      for (uint32_t i = 0; i < size; ++i) {
        const uint8_t b = records_[r * rs + at + i];
        if (b == 0) continue;
        ++set;
        text += (b >= 0x20 && b < 0x7F) || b >= 0xA0;
      }
    return set > 0 && text * 10 >= set * 9;
  }

  // The header's descriptors often outlive the damage (its first bytes zeroed, or only
  // the type bytes overwritten): where a run of them adds up to the record size the
  // blocks gave, their sizes fix the field boundaries; a type the data agrees with is
  // kept, and the fields whose type byte is lost are read from the data at that size.
  bool FromHeaderDescriptors() {
    const Bytes& pre = file_.prefix();
    const uint32_t rs = out_.recordSize;
    const size_t n = out_.recordsExamined;
    const size_t limit = std::min<size_t>(pre.size(), out_.headerSize);
    if (n == 0 || !o_.useHeader) return false;
    Segmenter seg(records_.data(), n, rs, mbSize_);
    seg.Prepare();
    struct Option {
      uint32_t size;
      Piece piece;
      double cost;
    };
    // The reading of one descriptor at offset `at`.
    auto options = [&](uint8_t typeByte, uint8_t sizeByte, uint32_t at) {
      std::vector<Option> out;
      const FieldType t = FieldType(typeByte);
      if (typeByte == 0) return out;  // zeros: no descriptor here
      if (IsKnownFieldType(typeByte) && ValidateFieldDescriptor(t, sizeByte).ok()) {
        const uint32_t size = StoredFieldSize(t, sizeByte);
        if (at + size > rs) return out;
        for (size_t r = 0; r < n; ++r)
          if (IsInvalid(CheckField(t, sizeByte, &records_[r * rs + at]).issue())) return out;
        Piece p;
        p.at = at;
        p.size = size;
        p.headerType = t;
        p.headerSizeByte = sizeByte;
        out.push_back({size, p, 0});
        return out;
      }
      auto consider = [&](Shape shape, uint32_t size) {
        // A field as long as a number's is text only when its bytes read as text.
        if (shape == Shape::kAlpha && (size == 1 || size == 2 || size == 4 || size == 8) &&
            !Texty(at, size))
          return;
        uint8_t dec = 0;
        const double c = seg.FieldCost(shape, at, size, &dec);
        if (c < 0) return;
        if (shape == Shape::kBcd && dec != sizeByte) return;
        Piece p{shape, at, size, dec, std::nullopt, 0};
        for (Option& o : out)
          if (o.size == size) {
            if (c < o.cost) o = {size, p, c};
            return;
          }
        out.push_back({size, p, c});
      };
      if (sizeByte > 0)
        for (Shape sh : {Shape::kLogical, Shape::kInt2, Shape::kInt4, Shape::kDouble, Shape::kAlpha,
                         Shape::kBlob, Shape::kBytes})
          consider(sh, sizeByte);
      if (sizeByte <= 32) consider(Shape::kBcd, kBcdStoredSize);
      return out;
    };
    for (size_t base : {size_t{0x78}, size_t{0x58}}) {
      // Offsets reachable after each field, with the cheapest way there.
      struct Step {
        double cost;
        uint32_t from;
        Piece piece;
      };
      std::vector<std::map<uint32_t, Step>> reach(1);
      reach[0][0] = Step{0, 0, {}};
      for (size_t i = 0; i < 255 && base + 2 * i + 2 <= limit && !reach.back().empty(); ++i) {
        const uint8_t typeByte = pre[base + 2 * i], sizeByte = pre[base + 2 * i + 1];
        std::map<uint32_t, Step> next;
        for (const auto& [at, step] : reach.back()) {
          if (at >= rs) continue;
          for (const Option& o : options(typeByte, sizeByte, at)) {
            const uint32_t end = at + o.size;
            const double c = step.cost + o.cost;
            auto it = next.find(end);
            if (it == next.end() || c < it->second.cost) next[end] = Step{c, at, o.piece};
          }
        }
        // Many offsets reachable at once is a header of garbage sizes: keep the cheapest.
        while (next.size() > kMaxHeaderStates) {
          auto worst = next.begin();
          for (auto it = next.begin(); it != next.end(); ++it)
            if (it->second.cost > worst->second.cost) worst = it;
          next.erase(worst);
        }
        reach.push_back(std::move(next));
        const size_t fields = i + 1;
        if (!reach.back().count(rs)) continue;
        const bool counted = headerSane_ && fixed_.numFields == fields;
        if (!NamesParse(base, fields, out_.headerSize) && !counted) continue;
        std::vector<Piece> pieces(fields);
        uint32_t at = rs;
        for (size_t k = fields; k > 0; --k) {
          const Step& st = reach[k].at(at);
          pieces[k - 1] = st.piece;
          at = st.from;
        }
        pieces_ = std::move(pieces);
        size_t typed = 0;
        for (const Piece& p : pieces_) typed += p.headerType.has_value();
        out_.notes.push_back("field sizes from the header's " + std::to_string(fields) +
                             " surviving descriptors (they add up to the record size), " +
                             std::to_string(typed) + " of their types agree with the data");
        return true;
      }
    }
    return false;
  }

  // The .PX repeats the key fields' descriptors: where every record's leading bytes fit
  // them, they fix the first fields, and the data gives the rest.
  bool FromPrimaryIndex() {
    const uint32_t rs = out_.recordSize;
    const size_t n = out_.recordsExamined;
    if (pxFields_.empty() || n == 0) return false;
    std::vector<Piece> pieces;
    uint32_t at = 0;
    for (const FieldDesc& f : pxFields_) {
      if (!IsKnownFieldType(uint8_t(f.type)) || !ValidateFieldDescriptor(f.type, f.sizeByte).ok())
        return false;
      const uint32_t size = f.Size();
      if (size > rs || at > rs - size) return false;
      for (size_t r = 0; r < n; ++r) {
        const FieldCheck check = CheckField(f.type, f.sizeByte, &records_[r * rs + at]);
        if (IsInvalid(check.issue()) || check.issue() == FieldIssue::kAlphaTail) return false;
      }
      Piece p;
      p.at = at;
      p.size = size;
      p.headerType = f.type;
      p.headerSizeByte = f.sizeByte;
      p.fromPrimaryIndex = true;
      pieces.push_back(p);
      at += size;
    }
    if (at < rs) {
      Segmenter seg(records_.data(), n, rs, mbSize_);
      Segmentation rest;
      if (namedFields_ > pieces.size()) rest = seg.Run(namedFields_ - pieces.size(), at);
      if (rest.pieces.empty()) rest = seg.Run(0, at);
      if (rest.pieces.empty()) return false;
      pieces.insert(pieces.end(), rest.pieces.begin(), rest.pieces.end());
    }
    pieces_ = std::move(pieces);
    out_.notes.push_back("the first " + std::to_string(pxFields_.size()) +
                         " field(s) as the .PX describes its key, which every record fits");
    return true;
  }

  // ---- the fields' types, sureness and reasons -----------------------------------

  void Describe() {
    const Layout& l = layout_;
    out_.layoutWhy = std::to_string(l.agree) + " of " + std::to_string(l.sampled) +
                     " sampled blocks link both ways, " + std::to_string(l.sound) +
                     " read as block headers; record size from " + sizeWhy_ + " (" +
                     std::to_string(sizesConsidered_) + " size(s) fit them)";
    out_.layoutSureness = l.agree >= 2 && sizesConsidered_ <= 2   ? Sureness::kHigh
                          : l.agree >= 1 || sizesConsidered_ == 1 ? Sureness::kMedium
                                                                  : Sureness::kLow;
    const size_t n = out_.recordsExamined;
    for (const Piece& p : pieces_) out_.fields.push_back(Judge(p, n));
    if (n < 5)
      out_.notes.push_back("only " + std::to_string(n) +
                           " record(s) to judge by: every reading is a guess");
  }

  InferredField Judge(const Piece& p, size_t n) {
    if (p.headerType) {
      InferredField f;
      f.offset = p.at;
      f.type = *p.headerType;
      f.sizeByte = p.headerSizeByte;
      f.sureness = Sureness::kHigh;
      f.why = p.fromPrimaryIndex ? "the .PX's descriptor of this key field, and every value fits it"
                                 : "the header's descriptor, and every value fits it";
      f.headerType = true;
      return f;
    }
    InferredField f;
    f.offset = p.at;
    const Column c{records_.data(), n, out_.recordSize, p.at};
    size_t blanks = 0;
    for (size_t r = 0; r < n; ++r) blanks += ZeroBytes(c.Rec(r), p.size);
    const size_t set = n - blanks;
    const Sureness bySample = set >= 20  ? Sureness::kHigh
                              : set >= 3 ? Sureness::kMedium
                                         : Sureness::kLow;
    const std::string values = std::to_string(set) + " value(s)" +
                               (blanks ? ", " + std::to_string(blanks) + " blank" : "");
    switch (p.shape) {
      case Shape::kLogical:
        f.type = FieldType::kLogical;
        f.sizeByte = 1;
        f.sureness = bySample;
        f.why = values + ", every one 80 or 81 (false/true)";
        break;
      case Shape::kInt2:
        f.type = FieldType::kShort;
        f.sizeByte = 2;
        f.sureness = std::min(bySample, Sureness::kMedium);
        f.why = values + " as 2-byte integers " + Range(c, 2);
        break;
      case Shape::kInt4:
        JudgeInt4(c, p, set, values, &f);
        f.sureness = std::min(f.sureness, bySample);
        break;
      case Shape::kDouble:
        JudgeDouble(c, set, values, &f);
        f.sureness = std::min(f.sureness, bySample);
        break;
      case Shape::kBcd:
        f.type = FieldType::kBcd;
        f.sizeByte = p.bcdDecimals;
        f.sureness = set >= 3 ? Sureness::kHigh : Sureness::kMedium;
        f.why = values + ", packed decimal digits with " + std::to_string(p.bcdDecimals) +
                " decimal place(s) in every one";
        break;
      case Shape::kAlpha: {
        f.type = FieldType::kAlpha;
        f.sizeByte = uint8_t(p.size);
        size_t longest = 0, text = 0, bytes = 0;
        for (size_t r = 0; r < n; ++r) {
          const uint8_t* q = c.Rec(r);
          size_t len = 0;
          while (len < p.size && q[len] != 0) ++len;
          longest = std::max(longest, len);
          for (size_t i = 0; i < len; ++i) text += q[i] >= 0x20 && q[i] != 0x7F;
          bytes += len;
        }
        const bool texty = bytes > 0 && text * 10 >= bytes * 9;
        f.sureness = !texty ? Sureness::kLow : longest == p.size ? bySample : Sureness::kMedium;
        f.why = values + " of text" + (texty ? "" : " (many bytes are not characters)") +
                ", the longest " + std::to_string(longest) + " byte(s)";
        if (longest < p.size)
          f.why += "; the size is where the next field starts, it may be longer";
        if (!texty) f.alsoFits.push_back(FieldType::kBytes);
        break;
      }
      case Shape::kBlob:
        JudgeBlob(c, p, set, values, &f);
        break;
      case Shape::kBytes:
        f.type = FieldType::kBytes;
        f.sizeByte = uint8_t(p.size);
        f.sureness = Sureness::kLow;
        f.why = values + " that read as no other type";
        break;
    }
    return f;
  }

  static std::string Range(const Column& c, size_t size) {
    int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
    for (size_t r = 0; r < c.n; ++r) {
      const uint8_t* p = c.Rec(r);
      if (ZeroBytes(p, size)) continue;
      const int64_t v = SignedOf(p, size);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    if (lo > hi) return "(all blank)";
    return "from " + std::to_string(lo) + " to " + std::to_string(hi);
  }

  void JudgeInt4(const Column& c, const Piece& p, size_t set, const std::string& values,
                 InferredField* f) {
    f->sizeByte = 4;
    bool dates = set > 0, days = set > 0, times = set > 0, seconds = set > 0, positive = set > 0;
    std::set<int64_t> distinct;
    bool allSet = set == c.n;
    for (size_t r = 0; r < c.n; ++r) {
      const uint8_t* q = c.Rec(r);
      if (ZeroBytes(q, 4)) continue;
      const int32_t v = DecodeInt32(q);
      dates = dates && v >= kDay1900 && v <= kDay2100;
      days = days && v >= kMinDay && v <= kMaxDay;
      times = times && v >= 0 && v <= kMaxTimeMs;
      seconds = seconds && v % 1000 == 0;
      positive = positive && v > 0;
      if (distinct.size() < c.n) distinct.insert(v);
    }
    const bool unique = distinct.size() == set;
    // An intact header's counter (0x49, the last number issued) settles it: a table
    // without an autoincrement field keeps it at 0.
    // A counter issues 1, 2, 3 ...: its numbers lie close together from a small start
    // (deletions leave gaps, not many).
    const int64_t top = set > 0 ? MaxOf(c) : 0;
    const bool dense = set > 0 && top <= int64_t(4 * set + 16);
    bool autoinc = positive && unique && allSet && dense && p.at == 0;
    if (headerSane_)
      autoinc = autoinc || (positive && unique && p.at == 0 && fixed_.autoInc > 0 &&
                            fixed_.autoInc >= MaxOf(c));
    if (headerSane_ && fixed_.autoInc == 0) autoinc = false;
    const std::string range = Range(c, 4);
    if (dates) {
      f->type = FieldType::kDate;
      f->sureness = Sureness::kHigh;
      f->why = values + ", every one a date from 1900 to 2100 (" + DateRange(c) + ")";
      f->alsoFits.push_back(FieldType::kLong);
      if (times) f->alsoFits.push_back(FieldType::kTime);
      return;
    }
    if (times && seconds && set > 0 && MaxOf(c) >= 60000) {
      f->type = FieldType::kTime;
      f->sureness = Sureness::kMedium;
      f->why = values + ", every one a time of day in whole seconds " + range + " ms";
      f->alsoFits.push_back(FieldType::kLong);
      return;
    }
    if (autoinc) {
      f->type = FieldType::kAutoInc;
      f->sureness = Sureness::kMedium;
      f->why = values + ", the first field, positive and all different " + range +
               ": an autoincrement counter";
      f->alsoFits.push_back(FieldType::kLong);
      if (days) f->alsoFits.push_back(FieldType::kDate);
      return;
    }
    f->type = FieldType::kLong;
    f->sureness = Sureness::kHigh;
    f->why = values + " as 4-byte integers " + range;
    if (days) {
      f->alsoFits.push_back(FieldType::kDate);
      f->why += " (as dates they would fall outside 1900-2100)";
    }
    if (times) f->alsoFits.push_back(FieldType::kTime);
    if (positive && unique && allSet) f->alsoFits.push_back(FieldType::kAutoInc);
  }

  static int64_t MaxOf(const Column& c) {
    int64_t hi = 0;
    for (size_t r = 0; r < c.n; ++r)
      if (!ZeroBytes(c.Rec(r), 4)) hi = std::max<int64_t>(hi, DecodeInt32(c.Rec(r)));
    return hi;
  }

  static std::string DateRange(const Column& c) {
    int32_t lo = std::numeric_limits<int32_t>::max(), hi = std::numeric_limits<int32_t>::min();
    for (size_t r = 0; r < c.n; ++r) {
      if (ZeroBytes(c.Rec(r), 4)) continue;
      const int32_t v = DecodeInt32(c.Rec(r));
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    return FormatDate(Date{lo}) + " to " + FormatDate(Date{hi});
  }

  void JudgeDouble(const Column& c, size_t set, const std::string& values, InferredField* f) {
    f->sizeByte = 8;
    const double t1900 = double(kDay1900) * kMsPerDay, t2100 = double(kDay2100 + 1) * kMsPerDay;
    bool stamps = set > 0, integral = true, cents = true, fraction = false;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (size_t r = 0; r < c.n; ++r) {
      const uint8_t* q = c.Rec(r);
      if (ZeroBytes(q, 8)) continue;
      const double v = DecodeDouble(q);
      if (std::isnan(v)) {
        stamps = integral = cents = false;
        continue;
      }
      lo = std::min(lo, v);
      hi = std::max(hi, v);
      stamps = stamps && v >= t1900 && v < t2100;
      const bool whole = std::fabs(v) < 1e15 && v == std::floor(v);
      integral = integral && whole;
      const double h = v * 100;
      cents = cents && std::fabs(v) < 1e13 &&
              std::fabs(h - std::round(h)) < 1e-6 * std::max(1.0, std::fabs(h));
      fraction = fraction || !whole;
    }
    auto num = [](double v) {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.10g", v);
      return std::string(buf);
    };
    const std::string range = lo <= hi ? "from " + num(lo) + " to " + num(hi) : "(all blank)";
    if (stamps) {
      f->type = FieldType::kTimestamp;
      f->sureness = Sureness::kHigh;
      f->why = values + ", every one a moment from 1900 to 2100 in milliseconds";
      f->alsoFits.push_back(FieldType::kNumber);
      return;
    }
    f->alsoFits.push_back(FieldType::kNumber);
    f->alsoFits.push_back(FieldType::kMoney);
    if (cents && fraction && std::max(std::fabs(lo), std::fabs(hi)) >= 1) {
      f->type = FieldType::kMoney;
      f->sureness = Sureness::kMedium;
      f->why = values + " as numbers " + range + ", all in whole cents: money";
    } else {
      f->type = FieldType::kNumber;
      f->sureness = Sureness::kMedium;
      f->why = values + " as numbers " + range + (integral ? ", all whole" : "");
    }
    f->alsoFits.erase(std::remove(f->alsoFits.begin(), f->alsoFits.end(), f->type),
                      f->alsoFits.end());
  }

  void JudgeBlob(const Column& c, const Piece& p, size_t set, const std::string& values,
                 InferredField* f) {
    f->sizeByte = uint8_t(p.size);
    const uint32_t leader = p.size - 10;
    size_t inLeader = 0, inMb = 0, text = 0, bytes = 0;
    for (size_t r = 0; r < c.n; ++r) {
      const uint8_t* q = c.Rec(r);
      BlobPointer ptr;
      ptr.DecodeFrom(q + leader);
      if (ptr.length == 0) continue;
      (ptr.offset == 0 ? inLeader : inMb) += 1;
      const uint32_t shown = std::min(ptr.length, leader);
      for (uint32_t i = 0; i < shown; ++i)
        text += q[i] >= 0x20 || q[i] == '\r' || q[i] == '\n' || q[i] == '\t';
      bytes += shown;
    }
    FieldType kind = FieldType::kBlob;
    std::string how;
    if (bytes > 0 && text * 20 >= bytes * 19) {
      kind = FieldType::kMemo;
      how = "text in the leaders: a memo";
    }
    // The .MB tells graphics and OLE objects by their sub-header, formatted memos by
    // their rich-text start.
    if (mb_) {
      for (size_t r = 0; r < c.n && kind != FieldType::kGraphic && kind != FieldType::kOle; ++r) {
        const uint8_t* q = c.Rec(r);
        BlobPointer ptr;
        ptr.DecodeFrom(q + leader);
        if (ptr.offset == 0 || ptr.length <= leader || ptr.length > (16u << 20)) continue;
        auto v = mb_->ReadPointer(ptr);
        if (!v.ok() || v->size() < 8) continue;
        const Bytes& b = *v;
        if (b[0] == 1 && b[1] == 0 && b[2] == 0 && b[3] == 1) {
          kind = FieldType::kGraphic;
          how = "the .MB holds pictures (sub-header 01 00 00 01)";
        } else if (b[0] == 1 && b[1] == 0 && b[2] == 0 && b[3] == 2) {
          kind = FieldType::kOle;
          how = "the .MB holds OLE objects (sub-header 01 00 00 02)";
        } else if (std::memcmp(b.data(), "{\\rtf", 5) == 0) {
          kind = FieldType::kFmtMemo;
          how = "the .MB holds rich text: a formatted memo";
        }
        if (kind == FieldType::kBlob && how.empty()) {
          size_t t = 0;
          for (uint8_t ch : b) t += ch >= 0x20 || ch == '\r' || ch == '\n' || ch == '\t';
          if (t * 20 >= b.size() * 19) {
            kind = FieldType::kMemo;
            how = "text in the .MB: a memo";
          }
        }
      }
    }
    if (kind == FieldType::kMemo && leader == 0) kind = FieldType::kBlob;  // memos have a leader
    f->type = kind;
    f->sureness = set >= 3 ? Sureness::kHigh : Sureness::kMedium;
    if (kind != FieldType::kMemo && kind != FieldType::kBlob) f->sureness = Sureness::kMedium;
    f->why = values + ": blob pointers after a " + std::to_string(leader) + "-byte leader (" +
             std::to_string(inLeader) + " held in the leader, " + std::to_string(inMb) +
             " in the .MB)" + (how.empty() ? "" : "; " + how);
    for (FieldType t : {FieldType::kMemo, FieldType::kBlob, FieldType::kFmtMemo, FieldType::kOle,
                        FieldType::kGraphic})
      if (t != kind && (t != FieldType::kMemo || leader > 0)) f->alsoFits.push_back(t);
    if (leader > 0 && inLeader + inMb > 0 && inMb == 0)
      f->why += "; the leader may be longer than its longest value";
  }

  // ---- names, key and what the header still says ----------------------------------

  Status ReadFamily() {
    auto fam = FindFamily(fs_, db_);
    if (!fam.ok()) return Status::OK();
    fam_ = *fam;
    auto src = ReadHeaderSources(fs_, *fam);
    if (!src.ok()) {
      if (src.status().IsIOError()) return src.status();
      return Status::OK();
    }
    sources_ = std::move(src).value();
    haveSources_ = true;
    if (!fam->mb.empty()) {
      auto mb = BlobFile::Open(fs_, fam->mb, 0);
      if (mb.ok()) mb_ = std::move(mb).value();
      // Blob kinds were judged before the .MB was open: judge them again.
      if (mb_)
        for (size_t i = 0; i < pieces_.size(); ++i)
          if (pieces_[i].shape == Shape::kBlob) {
            InferredField f = Judge(pieces_[i], out_.recordsExamined);
            out_.fields[i].type = f.type;
            out_.fields[i].why = f.why;
            out_.fields[i].alsoFits = f.alsoFits;
            out_.fields[i].sureness = f.sureness;
          }
    }
    return Status::OK();
  }

  // Field names from the header's name area: after the descriptors, the pointers and the
  // table name, n NUL-terminated names. The level decides where, so each is tried.
  bool NamesFromHeader(std::vector<std::string>* names) {
    const Bytes& pre = file_.prefix();
    const size_t n = out_.fields.size();
    const size_t limit = std::min<size_t>(pre.size(), out_.headerSize);
    for (size_t base : {size_t{0x78}, size_t{0x58}})
      for (size_t nameLen : {size_t{261}, size_t{79}}) {
        size_t at = base + 6 * n + 4;
        if (at + nameLen > limit) continue;
        std::string table(reinterpret_cast<const char*>(&pre[at]), nameLen);
        table = table.substr(0, table.find('\0'));
        at += nameLen;
        std::vector<std::string> got;
        const bool ok = ReadFieldNames(pre, limit, n, &at, &got);
        if (!ok || !NamesEndHere(base, at, n, limit)) continue;
        *names = std::move(got);
        if (Printable(table)) out_.tableName = table;
        namesEnd_ = at;
        levelFromNames_ = base == 0x58     ? TableLevel::k3_5
                          : nameLen == 261 ? TableLevel::k7
                                           : TableLevel::k5;
        return true;
      }
    return false;
  }

  void Names() {
    const size_t n = out_.fields.size();
    std::vector<std::string> names(n);
    std::vector<std::string> from(n);
    std::vector<std::string> header;
    if (NamesFromHeader(&header)) {
      for (size_t i = 0; i < n; ++i) {
        names[i] = header[i];
        from[i] = "header";
      }
    } else if (haveSources_) {
      // A name belongs to the field it described only when the description is the
      // field's as read here (type and size).
      auto same = [&](const FieldDesc& d, size_t i) {
        return d.type == out_.fields[i].type && d.sizeByte == out_.fields[i].sizeByte;
      };
      if (sources_.val && sources_.val->fieldsRead && sources_.val->fields.size() == n) {
        for (size_t i = 0; i < n; ++i)
          if (Printable(sources_.val->fields[i].name) && same(sources_.val->fields[i], i)) {
            names[i] = sources_.val->fields[i].name;
            from[i] = ".VAL";
          }
      }
      for (const auto& [number, desc] : sources_.fromIndexes)
        if (number >= 1 && number <= n && names[number - 1].empty() && Printable(desc.name) &&
            same(desc, number - 1)) {
          names[number - 1] = desc.name;
          from[number - 1] = "index header";
        }
    }
    std::set<std::string> used;
    for (size_t i = 0; i < n; ++i) {
      std::string name = names[i].substr(0, 25);
      if (name.empty() || !used.insert(Lower(name)).second) {
        for (int k = int(i) + 1;; ++k) {
          name = "Field" + std::to_string(k);
          if (used.insert(Lower(name)).second) break;
        }
        from[i].clear();
      }
      out_.fields[i].name = name;
      out_.fields[i].nameSource = from[i];
    }
    // Money and numbers look alike: a name can tell.
    for (InferredField& f : out_.fields) {
      if (f.nameSource.empty() || f.headerType) continue;
      if (f.type != FieldType::kNumber && f.type != FieldType::kMoney) continue;
      const bool number = NameHints(f.name, {"rate", "percent", "pct", "%", "qty", "quantity",
                                             "count", "number", " no", "year", "weight"});
      const bool money =
          NameHints(f.name, {"price", "cost", "amount", "total", "paid", "salary", "money",
                             "balance", "fee", "due", "tax", "preis", "betrag", "kwota", "cena"});
      if (number && f.type == FieldType::kMoney) {
        f.type = FieldType::kNumber;
        f.why += "; the name says a number, not money";
      } else if (money && !number && f.type == FieldType::kNumber) {
        f.type = FieldType::kMoney;
        f.why += "; the name says money";
      }
    }
  }

  void KeepHeaderFacts() {
    const size_t n = out_.fields.size();
    // Key fields: the .PX's count, else the header's when its file type agrees.
    if (haveSources_ && sources_.px && sources_.px->fixed.numFields >= 1 &&
        sources_.px->fixed.numFields <= std::min<size_t>(n, 16)) {
      out_.keyFields = sources_.px->fixed.numFields;
      out_.keySource = ".PX";
      const TableHeader& px = *sources_.px;
      for (size_t i = 0; i < px.fields.size() && i < n; ++i)
        if (px.fields[i].type != out_.fields[i].type ||
            px.fields[i].sizeByte != out_.fields[i].sizeByte)
          out_.notes.push_back("the .PX describes key field " + std::to_string(i + 1) + " as " +
                               paradox::Describe(px.fields[i]) + ", the data read as " +
                               std::string(1, FieldTypeLetter(out_.fields[i].type)) +
                               std::to_string(out_.fields[i].sizeByte));
    } else if (fixedOk_ && fixed_.fileType == 0 && fixed_.primaryKeyFields >= 1 &&
               fixed_.primaryKeyFields <= std::min<size_t>(n, 16)) {
      out_.keyFields = fixed_.primaryKeyFields;
      out_.keySource = "header";
    }
    // Level: the header's byte, else its extension's copy, else what the header size
    // and the name area and the field types allow.
    TableLevel level;
    bool known = false;
    if (fixedOk_ && LevelFromVersionId(fixed_.fileVersionId, &level)) {
      known = true;
      out_.levelSource = "header";
    } else if (extOk_ && LevelFromVersionId(uint8_t(ext_.fileVerId2 - 0x100), &level)) {
      known = true;
      out_.levelSource = "header extension";
    } else if (out_.headerSize % 0x800 != 0) {
      level = TableLevel::k3_0;
      known = true;
      out_.levelSource = "the header size is no multiple of 2048, as only level 3.0 writes";
    }
    auto allows = [&](TableLevel lv) {
      if (!BlockSizeAllowed(lv, out_.blockSize)) return false;
      for (const InferredField& f : out_.fields)
        if (int(MinLevelForType(f.type)) > int(lv)) return false;
      return true;
    };
    if (known && !allows(level)) {
      out_.notes.push_back(std::string("the header's level ") + LevelName(level) +
                           " does not allow these fields or blocks; a later one is taken");
      known = false;
    }
    if (!known) {
      level = TableLevel::k7;
      for (TableLevel lv : {TableLevel::k4, TableLevel::k5, TableLevel::k7})
        if (allows(lv) && (!levelFromNames_ || int(lv) >= int(*levelFromNames_))) {
          level = lv;
          break;
        }
      out_.levelSource = "the lowest level that has these field types and block size";
    }
    out_.level = level;
    // Code page and sort order.
    if (extOk_ && IsSupportedCodePage(ext_.codePage)) out_.codePage = ext_.codePage;
    std::string sortName;
    const Bytes& pre = file_.prefix();
    auto stringAt = [&](size_t at) -> std::string {
      const size_t limit = std::min<size_t>(pre.size(), out_.headerSize);
      if (at >= limit) return "";
      const void* nul = std::memchr(&pre[at], 0, std::min<size_t>(limit - at, 32));
      if (!nul) return "";
      return std::string(reinterpret_cast<const char*>(&pre[at]),
                         static_cast<const uint8_t*>(nul) - &pre[at]);
    };
    if (extOk_) sortName = stringAt(kExtensionOffset + ext_.sortOrderIdOffset);
    if (CodePageForSortOrderName(sortName) < 0 && namesEnd_ > 0)
      sortName = stringAt(namesEnd_ + 2 * n);
    if (CodePageForSortOrderName(sortName) >= 0) {
      out_.sortOrderId = sortName;
      if (out_.codePage == 0) {
        const int cp = CodePageForSortOrderName(sortName);
        if (cp > 0 && IsSupportedCodePage(uint16_t(cp))) out_.codePage = uint16_t(cp);
      }
      uint8_t byte = 0;
      std::string id;
      SortOrderForCodePage(out_.codePage ? out_.codePage : 1252, &byte, &id);
      if (id == sortName)
        out_.sortOrder = byte;
      else if (fixedOk_ && fixed_.sortOrder != 0)
        out_.sortOrder = fixed_.sortOrder;
      else
        out_.sortOrderId.clear();  // the byte is lost: the writer picks from the code page
    }
    if (out_.tableName.empty()) out_.tableName = PathBaseName(db_);
  }

  const std::string db_;
  const InferOptions o_;
  FileSystem* fs_ = nullptr;
  CachedFile file_;
  FixedHeader fixed_;
  bool fixedOk_ = false;
  bool headerSane_ = false;  // the fixed part still names a level and a table type
  HeaderExtension ext_;
  bool extOk_ = false;
  std::vector<Layout> layouts_;
  Layout layout_;
  std::map<uint32_t, int> empties_;  // -addDataSize of empty blocks -> how many
  uint32_t reach_ = 0;               // bytes the last record of some block must reach (0: unknown)
  size_t namedFields_ = 0;           // fields the header's name area counts (0: none survive)
  uint64_t mbSize_ = 0;              // the family's .MB size (0: none)
  std::vector<FieldDesc> pxFields_;  // the key fields the .PX describes
  Bytes records_;
  std::vector<Piece> pieces_;
  size_t sizesConsidered_ = 0;
  std::string sizeWhy_;
  FamilyFiles fam_;
  HeaderSources sources_;
  bool haveSources_ = false;
  std::unique_ptr<BlobFile> mb_;
  size_t namesEnd_ = 0;
  std::optional<TableLevel> levelFromNames_;
  InferredStructure out_;
};

}  // namespace

TableSchema InferredStructure::Schema() const {
  TableSchema s;
  s.level = level;
  s.blockSize = blockSize;
  s.codePage = codePage ? codePage : 1252;
  s.sortOrder = sortOrder;
  s.sortOrderId = sortOrder ? sortOrderId : "";
  for (const InferredField& f : fields) {
    FieldDesc d;
    d.type = f.type;
    d.sizeByte = f.sizeByte;
    s.fields.push_back({f.name, f.type, FieldDefSize(d)});
  }
  s.keyFieldCount = keyFields;
  s.tableName = tableName;
  return s;
}

Result<InferredStructure> InferStructure(const std::string& dbPath, const InferOptions& options) {
  return Inference(dbPath, options).Run();
}

Status WriteInferredTemplate(FileSystem* fs, const InferredStructure& s, const std::string& path) {
  if (!fs) fs = DefaultFileSystem();
  if (fs->Exists(path))
    return Status::InvalidArgument(path + " exists already; give a new file name");
  return WriteTable(fs, path, s.Schema(), {});
}

}  // namespace paradox
