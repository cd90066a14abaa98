#include "paradox/verify/field_profile.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "paradox/format/value.h"

namespace paradox {

namespace {

// Numbers by magnitude: zero, then binary exponents -kExp..kExp (beyond them, one cell
// each way). The sign is left out: real data holds refunds and corrections, random
// bytes show themselves by their magnitudes.
constexpr int32_t kExp = 96;
constexpr int32_t kDoubleCells = 2 * kExp + 2;
// Dates: 4-year spans (1461 days) over the rule's whole range.
constexpr int32_t kDaySpan = 1461;
constexpr int32_t kDayCells = (kMaxDay - kMinDay) / kDaySpan + 1;
// A block's records begin after its 6-byte header.
constexpr size_t kBlockHeaderBytes = 6;

// How far (in cells) a value may lie beyond the other blocks' before it is odd:
// integers 4 times their largest magnitude, numbers 2^20 either way, dates 100 years.
constexpr int32_t kIntMargin = 2;
constexpr int32_t kDoubleMargin = 20;
constexpr int32_t kDayMargin = 25;
// The densest window of the scale that ColumnSummary::clustered counts.
constexpr int32_t kIntWindow = 8;
constexpr int32_t kDoubleWindow = 40;
constexpr int32_t kDayWindow = 50;

int32_t BitLength(uint64_t v) {
  return 64 - std::countl_zero(v);
}

// Integers by magnitude: the bit length of the absolute value (zero is cell 0).
int32_t IntCell(int64_t v) {
  return BitLength(uint64_t(v < 0 ? -v : v));
}

int32_t DoubleCell(double d) {
  const uint64_t bits = std::bit_cast<uint64_t>(d) << 1;  // without the sign
  if (bits == 0) return 0;
  return std::clamp(int32_t(bits >> 53) - 1023, -kExp, kExp) + kExp + 1;
}

int32_t DayCell(int64_t day) {
  return int32_t(std::clamp<int64_t>((day - kMinDay) / kDaySpan, 0, kDayCells - 1));
}

// Whether any byte of the word is below 0x20 or is 0x7F (control bytes).
bool HasControl(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  const uint64_t below = (w - kOnes * 0x20) & ~w & kHigh;
  const uint64_t del = w ^ (kOnes * 0x7F);
  return below | ((del - kOnes) & ~del & kHigh);
}

// The text of an alpha value (its bytes before the NUL): control bytes and bytes above
// 0x7F, eight at a time.
void TextTraits(const uint8_t* p, size_t n, bool* control, bool* high) {
  uint64_t hi = 0;
  bool ctl = false;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    hi |= w;
    ctl |= HasControl(w);
  }
  for (; i < n; ++i) {
    hi |= p[i];
    ctl |= p[i] < 0x20 || p[i] == 0x7F;
  }
  *control = ctl;
  *high = (hi & 0x8080808080808080ull) != 0;
}

}  // namespace

bool IsStrong(Oddity o) {
  return o >= Oddity::kInvalid && o <= Oddity::kTorn;
}

std::string_view OddityText(Oddity o) {
  switch (o) {
    case Oddity::kNone:
      return "";
    case Oddity::kInvalid:
      return "a value the field's type cannot hold";
    case Oddity::kAlphaTail:
      return "bytes after the text's end, which no other block's text has";
    case Oddity::kAlphaControl:
      return "control bytes in the text, which no other block's text has";
    case Oddity::kAutoIncLow:
      return "autoincrement value not positive";
    case Oddity::kAutoIncHigh:
      return "autoincrement value above the header's counter";
    case Oddity::kBlobPointer:
      return "blob pointer to no block of the blob file, unlike the other blocks'";
    case Oddity::kZeroRecord:
      return "every byte of the record is zero, from a sector boundary on, as in no other block";
    case Oddity::kAlphaHigh:
      return "bytes above 0x7F in the text, which no other block's text has";
    case Oddity::kNan:
      return "NaN, which no other block holds";
    case Oddity::kTorn:
      return "the record's end is zero from a sector boundary on, as a torn write leaves it";
    case Oddity::kLarge:
      return "magnitude far above the other blocks' values";
    case Oddity::kSmall:
      return "magnitude far below the other blocks' values";
    case Oddity::kDateFar:
      return "date far outside the years of the other blocks' dates";
  }
  return "";
}

FieldProfile::FieldProfile(FieldType type, uint8_t sizeByte, std::optional<uint32_t> autoIncCounter)
    : type_(type),
      sizeByte_(sizeByte),
      size_(StoredFieldSize(type, sizeByte)),
      counter_(type == FieldType::kAutoInc ? autoIncCounter : std::nullopt) {
  int32_t cells = 0;
  switch (type) {
    case FieldType::kShort:
      scale_ = Scale::kInt16, cells = 17;
      break;
    case FieldType::kLong:
    case FieldType::kAutoInc:
      scale_ = Scale::kInt32, cells = 33;
      break;
    case FieldType::kNumber:
    case FieldType::kMoney:
      scale_ = Scale::kDouble, cells = kDoubleCells;
      break;
    case FieldType::kDate:
    case FieldType::kTimestamp:
      scale_ = Scale::kDay, cells = kDayCells;
      break;
    default:
      break;
  }
  cells_.resize(size_t(cells));
}

// The learning pass classifies every value of the table: decoded here in place, without
// the out-of-line codecs.
[[gnu::always_inline]] inline FieldProfile::Traits FieldProfile::ClassifyInline(
    const uint8_t* p) const {
  Traits t;
  const FieldCheck c = CheckField(type_, sizeByte_, p);
  t.issue = c.issue();
  t.blank = c.blank();
  if (IsInvalid(t.issue)) {
    t.flags = 1 << kTraitInvalid;
    return t;
  }
  // Fixed-size integers, dates: big-endian with the top bit flipped.
  auto int32At = [p] {
    uint32_t x;
    std::memcpy(&x, p, 4);
    if constexpr (std::endian::native == std::endian::little) x = __builtin_bswap32(x);
    return int32_t(x ^ 0x80000000u);
  };
  auto modern = [&t](int64_t day) {
    constexpr int32_t kFrom = 693596, kTo = 766645;  // 1900-01-01, 2100-12-31
    t.modern = day >= kFrom && day <= kTo;
  };
  switch (type_) {
    case FieldType::kAlpha: {
      if (t.issue == FieldIssue::kAlphaTail) t.flags |= 1 << kTraitTail;
      if (t.blank) break;
      const void* nul = std::memchr(p, 0, sizeByte_);
      const size_t n = nul ? size_t(static_cast<const uint8_t*>(nul) - p) : sizeByte_;
      bool control, high;
      TextTraits(p, n, &control, &high);
      t.flags |= uint8_t(control) << kTraitControl | uint8_t(high) << kTraitHigh;
      break;
    }
    case FieldType::kShort:
      if (!t.blank) t.cell = IntCell(int16_t(uint16_t(p[0] << 8 | p[1]) ^ 0x8000u));
      break;
    case FieldType::kLong:
    case FieldType::kAutoInc:
      if (!t.blank) {
        const int32_t v = int32At();
        t.cell = IntCell(v);
        if (type_ == FieldType::kAutoInc) {
          if (v <= 0) t.flags |= 1 << kTraitAutoLow;
          if (counter_ && v > 0 && uint32_t(v) > *counter_) t.flags |= 1 << kTraitAutoHigh;
        }
      }
      break;
    case FieldType::kNumber:
    case FieldType::kMoney:
      if (t.issue == FieldIssue::kNan) {
        t.flags |= 1 << kTraitNan;
      } else if (!t.blank) {
        // The sortable encoding: positives have the sign bit set, negatives are inverted.
        const uint64_t x = field_rules_detail::BigEndian64(p);
        t.cell = DoubleCell(std::bit_cast<double>((x >> 63) ? x ^ (uint64_t(1) << 63) : ~x));
      }
      break;
    case FieldType::kDate:
      if (!t.blank) {
        const int32_t day = int32At();
        t.cell = DayCell(day);
        modern(day);
      }
      break;
    case FieldType::kTimestamp:
      // Valid timestamps lie within the rule's days: the division stays in range.
      if (!t.blank) {
        const int64_t day = int64_t(DecodeDouble(p) / kMsPerDay);
        t.cell = DayCell(day);
        modern(day);
      }
      break;
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      // A value in the .MB lies at a 4 KiB block of it (the rule left the size byte fit).
      if (!t.blank) {
        BlobPointer ptr;
        ptr.DecodeFrom(p + sizeByte_ - BlobPointer::kEncodedLength);
        if (ptr.length > uint32_t(sizeByte_ - BlobPointer::kEncodedLength) && ptr.offset % 4096)
          t.flags |= 1 << kTraitBlob;
      }
      break;
    default:
      break;
  }
  return t;
}

FieldProfile::Traits FieldProfile::Classify(const uint8_t* p) const {
  return ClassifyInline(p);
}

void FieldProfile::Learn(const uint8_t* p, uint32_t block) {
  const Traits t = ClassifyInline(p);
  if (t.flags) [[unlikely]] {
    for (int k = 0; k < kTraitCount; ++k)
      if (t.flags >> k & 1) traits_[size_t(k)].Add(block);
    if (t.flags >> kTraitInvalid & 1) {
      ++invalid_;
      return;
    }
  }
  if (t.issue != FieldIssue::kNone) ++odd_;
  if (t.blank) {
    ++blanks_;
    return;
  }
  any_.Add(block);
  if (t.cell >= 0) cells_[size_t(t.cell)].Add(block);
  modern_ += t.modern;
}

ColumnSummary FieldProfile::Summary() const {
  ColumnSummary s;
  s.blanks = blanks_;
  s.invalid = invalid_;
  s.odd = odd_;
  s.values = any_.count + blanks_ + invalid_;
  s.control = traits_[kTraitControl].count;
  s.high = traits_[kTraitHigh].count;
  s.modern = modern_;
  int32_t window = 0;
  if (scale_ == Scale::kInt16 || scale_ == Scale::kInt32) window = kIntWindow;
  if (scale_ == Scale::kDouble) window = kDoubleWindow;
  if (scale_ == Scale::kDay) window = kDayWindow;
  // Numbers beyond the exponents that keep their own cell are no cluster.
  const size_t first = scale_ == Scale::kDouble ? 2 : 0;
  const size_t end = scale_ == Scale::kDouble ? cells_.size() - 1 : cells_.size();
  if (window > 0) {
    uint64_t sum = 0;
    for (size_t i = first; i < end; ++i) {
      sum += cells_[i].count;
      if (i >= first + size_t(window)) sum -= cells_[i - size_t(window)].count;
      s.clustered = std::max(s.clustered, sum);
    }
  }
  // Integers: random bytes are mostly of the type's largest magnitudes (the top 3 bits).
  uint64_t moderate = 0;
  if (scale_ == Scale::kInt16 || scale_ == Scale::kInt32)
    for (size_t i = 0; i + 3 < cells_.size(); ++i) moderate += cells_[i].count;
  const uint64_t judged = any_.count + invalid_;
  if (judged == 0) return s;
  const double valid = double(any_.count) / double(judged);
  const double odd = double(std::min<uint64_t>(odd_, judged)) / double(judged);
  switch (type_) {
    case FieldType::kAlpha: {
      const uint64_t bad =
          std::min<uint64_t>(any_.count, traits_[kTraitTail].count + traits_[kTraitControl].count);
      s.plausibility = double(any_.count - bad) / double(judged);
      break;
    }
    case FieldType::kBytes:
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      s.plausibility = invalid_ ? 0.5 * valid : 0.5;
      break;
    default:
      if (window > 0) {
        double share = double(s.clustered) / double(judged);
        if (scale_ == Scale::kDay) share = 0.5 * (share + double(s.modern) / double(judged));
        if (scale_ == Scale::kInt16 || scale_ == Scale::kInt32)
          share = std::min(share, double(moderate) / double(judged));
        s.plausibility = share;
      } else {
        s.plausibility = valid;
      }
      s.plausibility = std::max(0.0, s.plausibility - odd);
      break;
  }
  return s;
}

// `own`: the judged block's mark (block + 1), 0 for none. A cell is held by others when
// `need` blocks besides the judged one hold it. With none held, the value is compared
// with nothing: odd only when `noneIsOdd` (the search for suspects: any block may be the
// judged one).
Oddity FieldProfile::FarFromOthers(int32_t cell, uint32_t own, uint32_t need, uint32_t values,
                                   bool noneIsOdd) const {
  // Zero (cell 0 of the magnitudes) is never odd.
  if (scale_ != Scale::kDay && cell == 0) return Oddity::kNone;
  int32_t lo = INT32_MAX, hi = INT32_MIN;  // the cells held by others
  uint32_t spread = 0;                     // cells the other blocks' values fall in
  for (int32_t x : occupied_) {
    const Cell& c = cells_[size_t(x)];
    const uint32_t others = c.blocks - (own && c.mark == own);
    spread += others > 0;
    if (others < need) continue;
    if (scale_ != Scale::kDay && x == 0) continue;
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  if (lo > hi) return noneIsOdd ? Oddity::kLarge : Oddity::kNone;  // nothing to compare with
  // Values that are themselves spread thinly over the scale (a column of codes, of
  // random numbers) leave no range to be far from.
  if (uint64_t(spread) * 4 > values) return Oddity::kNone;
  switch (scale_) {
    case Scale::kInt16:
    case Scale::kInt32:
      // Small magnitudes are never odd: only values far larger than the others'.
      return cell > hi + kIntMargin ? Oddity::kLarge : Oddity::kNone;
    case Scale::kDouble:
      if (cell > hi + kDoubleMargin) return Oddity::kLarge;
      return cell < lo - kDoubleMargin ? Oddity::kSmall : Oddity::kNone;
    case Scale::kDay:
      return cell > hi + kDayMargin || cell < lo - kDayMargin ? Oddity::kDateFar : Oddity::kNone;
    case Scale::kNone:
      break;
  }
  return Oddity::kNone;
}

TableProfile::TableProfile(std::vector<ProfileColumn> columns, uint32_t recordSize,
                           std::optional<uint32_t> autoIncCounter)
    : columns_(std::move(columns)), recordSize_(recordSize) {
  profiles_.reserve(columns_.size());
  for (const ProfileColumn& c : columns_)
    profiles_.emplace_back(c.type, c.sizeByte, autoIncCounter);
  // Times, logicals, BCD, bytes and blobs have no scale and no trait that compares: the
  // rule alone judges them, when a block is judged.
  for (uint32_t i = 0; i < columns_.size(); ++i)
    if (profiles_[i].scale_ != FieldProfile::Scale::kNone ||
        columns_[i].type == FieldType::kAlpha || IsBlobType(columns_[i].type))
      learned_.push_back(i);
}

TableProfile TableProfile::ForHeader(const TableHeader& h) {
  std::vector<ProfileColumn> cols;
  cols.reserve(h.fields.size());
  for (const FieldDesc& f : h.fields) cols.push_back({f.type, f.sizeByte, f.offset, f.name});
  return TableProfile(std::move(cols), h.fixed.recordSize, h.fixed.autoInc);
}

void TableProfile::Learn(uint32_t block, const uint8_t* record) {
  all_.Add(block);
  // Most records are not zero in their first bytes: no need to read them all.
  uint64_t head = 0;
  std::memcpy(&head, record, std::min<size_t>(8, recordSize_));
  if (head == 0 && ZeroBytes(record, recordSize_)) {
    zero_.Add(block);
    return;  // every field blank: nothing for the columns
  }
  for (uint32_t i : learned_) profiles_[i].Learn(record + columns_[i].offset, block);
}

void TableProfile::LearnBlock(uint32_t block, const uint8_t* records, uint32_t count) {
  for (uint32_t r = 0; r < count; ++r) Learn(block, records + size_t(r) * recordSize_);
  // Zero records at the end whose zeros begin at, or reach over, a sector boundary.
  const size_t end = size_t(count) * recordSize_;
  size_t run = end;
  while (run > 0 && records[run - 1] == 0) --run;
  const size_t boundary = (run + kBlockHeaderBytes + 511) / 512 * 512 - kBlockHeaderBytes;
  if (count > 0 && run + recordSize_ <= end && boundary <= end &&
      (zeroEnds_.empty() || zeroEnds_.back() != block))
    zeroEnds_.push_back(block);
}

void TableProfile::Finish() {
  for (FieldProfile& f : profiles_) {
    f.occupied_.clear();
    for (size_t i = 0; i < f.cells_.size(); ++i)
      if (f.cells_[i].count) f.occupied_.push_back(int32_t(i));
  }
}

std::vector<uint32_t> TableProfile::SuspectBlocks() const {
  std::vector<uint32_t> out;
  // A cell or trait that three blocks hold is held by two others whichever block is
  // judged: never odd. Those that fewer hold name their blocks.
  auto add = [&out](const FieldProfile::Cell& c) {
    if (c.count == 0 || c.blocks > 2) return;
    out.push_back(c.first);
    out.push_back(c.last);
  };
  add(zero_);
  out.insert(out.end(), zeroEnds_.begin(), zeroEnds_.end());
  for (const FieldProfile& f : profiles_) {
    for (int k = 0; k < FieldProfile::kTraitCount; ++k) {
      const FieldProfile::Cell& t = f.traits_[size_t(k)];
      if (k != FieldProfile::kTraitInvalid) {
        add(t);
      } else if (t.count) {
        // The rule's refusals are odd wherever they are: their blocks are judged when
        // few; when many blocks hold them, the refused records speak for themselves.
        if (t.blocks <= 2) add(t);
      }
    }
    for (int32_t x : f.occupied_)
      if (f.cells_[size_t(x)].blocks <= 2 &&
          f.FarFromOthers(x, 0, 3, UINT32_MAX, true) != Oddity::kNone)
        add(f.cells_[size_t(x)]);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

BlockJudgement TableProfile::JudgeBlock(uint32_t block, const uint8_t* records, uint32_t count,
                                        std::vector<RecordJudgement>* out) {
  if (out) out->clear();
  BlockJudgement b;
  b.records = count;
  const uint32_t own = block + 1;
  // Mark what the block holds, so that the judgement leaves it out.
  for (FieldProfile& f : profiles_) f.ownValues_ = 0;
  for (uint32_t r = 0; r < count; ++r) {
    const uint8_t* rec = records + size_t(r) * recordSize_;
    all_.mark = own;
    if (ZeroBytes(rec, recordSize_)) {
      zero_.mark = own;
      continue;
    }
    for (size_t i = 0; i < columns_.size(); ++i) {
      FieldProfile& f = profiles_[i];
      const FieldProfile::Traits t = f.Classify(rec + columns_[i].offset);
      for (int k = 0; k < FieldProfile::kTraitCount; ++k)
        if (t.flags >> k & 1) f.traits_[size_t(k)].mark = own;
      if (t.blank || (t.flags >> FieldProfile::kTraitInvalid & 1)) continue;
      f.any_.mark = own;
      ++f.ownValues_;
      if (t.cell >= 0) f.cells_[size_t(t.cell)].mark = own;
    }
  }
  // Two blocks besides the judged one must hold a trait once there are enough blocks to
  // ask it: a second damaged block then does not vouch for the first.
  auto needOf = [own](const FieldProfile::Cell& any) {
    const uint32_t others = any.blocks - (any.mark == own);
    return others >= 4 ? 2u : 1u;
  };
  const uint64_t otherRecords = all_.count - (all_.mark == own ? count : 0);
  bool relative = false;  // an implausible record kept so far, with a sign beyond the rule's
  uint32_t keptImplausible = 0;
  // A write torn off inside the block leaves its end zero from a 512-byte sector
  // boundary on (disks write whole sectors). Zero records alone may be blank rows: the
  // block is torn when the zero bytes that end it begin at or reach over a sector
  // boundary and the other blocks hold no zero record; the record the boundary falls in
  // is torn with them. A tear that zeroes no whole record is not told from a record
  // whose last fields are blank (alpha padding, blank fields): that record stays.
  const bool zeroForeign =
      otherRecords >= kMinZeroEvidence && zero_.blocks - (zero_.mark == own) == 0;
  uint32_t zeroFrom = count;
  while (zeroFrom > 0 && ZeroBytes(records + size_t(zeroFrom - 1) * recordSize_, recordSize_))
    --zeroFrom;
  b.tornFrom = count;
  if (zeroFrom > 0) {
    const size_t end = size_t(zeroFrom) * recordSize_;
    size_t run = end;  // where the zero bytes begin, in the record area
    while (run > 0 && records[run - 1] == 0) --run;
    // The first sector boundary at or after the run's start, as an offset of the area.
    const size_t boundary = (run + kBlockHeaderBytes + 511) / 512 * 512 - kBlockHeaderBytes;
    if (zeroFrom < count && zeroForeign && boundary <= end) {
      b.tornFrom = boundary < end ? zeroFrom - 1 : zeroFrom;
    }
  }

  for (uint32_t r = 0; r < count; ++r) {
    const uint8_t* rec = records + size_t(r) * recordSize_;
    RecordJudgement j;
    j.index = r;
    uint32_t once = 0;  // the kinds that count once a record
    auto sign = [&j, &once](uint16_t column, Oddity o) {
      const bool perRecord = o == Oddity::kAlphaTail || o == Oddity::kAlphaHigh ||
                             o == Oddity::kAlphaControl || o == Oddity::kNan;
      if (!perRecord || !(once >> int(o) & 1)) j.score += IsStrong(o) ? 2 : 1;
      if (perRecord) once |= 1u << int(o);
      if (j.signCount < j.signs.size()) j.signs[j.signCount++] = {column, o};
    };
    if (ZeroBytes(rec, recordSize_)) {
      if (r >= b.tornFrom) sign(kRecordWide, Oddity::kZeroRecord);
    } else {
      if (r == b.tornFrom) sign(kRecordWide, Oddity::kTorn);
      for (size_t i = 0; i < columns_.size(); ++i) {
        const FieldProfile& f = profiles_[i];
        const FieldProfile::Traits t = f.Classify(rec + columns_[i].offset);
        if (t.flags >> FieldProfile::kTraitInvalid & 1) {
          sign(uint16_t(i), Oddity::kInvalid);
          continue;
        }
        const uint32_t evidence = f.any_.count - (f.any_.mark == own ? f.ownValues_ : 0);
        if (evidence < kMinEvidence) continue;
        const uint32_t need = needOf(f.any_);
        static constexpr std::pair<int, Oddity> kTraitSigns[] = {
            {FieldProfile::kTraitTail, Oddity::kAlphaTail},
            {FieldProfile::kTraitControl, Oddity::kAlphaControl},
            {FieldProfile::kTraitHigh, Oddity::kAlphaHigh},
            {FieldProfile::kTraitNan, Oddity::kNan},
            {FieldProfile::kTraitAutoLow, Oddity::kAutoIncLow},
            {FieldProfile::kTraitAutoHigh, Oddity::kAutoIncHigh},
            {FieldProfile::kTraitBlob, Oddity::kBlobPointer},
        };
        for (const auto& [k, o] : kTraitSigns) {
          if (!(t.flags >> k & 1)) continue;
          const FieldProfile::Cell& c = f.traits_[size_t(k)];
          if (c.blocks - (c.mark == own) < need) sign(uint16_t(i), o);
        }
        if (t.cell >= 0 && !t.blank)
          if (const Oddity o = f.FarFromOthers(t.cell, own, need, evidence); o != Oddity::kNone)
            sign(uint16_t(i), o);
      }
    }
    j.setAside |= r >= b.tornFrom;
    b.setAside += j.setAside;
    if (j.implausible()) {
      ++b.implausible;
      if (!j.setAside) {
        ++keptImplausible;
        relative |= j.Relative();
      }
      if (out) out->push_back(j);
    }
  }
  // Values the rule refuses set their records aside one by one already: a block is
  // damaged by them only together with a sign that compares it with the others.
  // Judged by the records the zeros leave: a torn write is not a block of garbage.
  const uint32_t rest = count - b.setAside;
  b.damaged = relative && ((rest == 1 && keptImplausible == 1) ||
                           (keptImplausible >= 2 && uint64_t(keptImplausible) * 2 >= rest));
  return b;
}

std::string TableProfile::Reasons(const RecordJudgement& j) const {
  std::string s;
  for (uint8_t i = 0; i < j.signCount; ++i) {
    const RecordSign& g = j.signs[i];
    if (!s.empty()) s += "; ";
    if (g.column != kRecordWide && g.column < columns_.size())
      s += "field \"" + columns_[g.column].name + "\": ";
    s += OddityText(g.oddity);
  }
  return s;
}

}  // namespace paradox
