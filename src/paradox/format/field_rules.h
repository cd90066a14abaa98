// The one rule for a stored field value: whether the bytes of a field are a value a
// table may hold, and if not, why. The strict reader (DecodeField), the salvage (which
// record goes to PROBLEM.DB), the verifier (which finding) and dump all ask CheckField;
// none keeps a rule of its own. FieldIssueInfo maps each reason to the verifier's check
// id and severity and to the reader's anomaly code.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "paradox/format/coding.h"
#include "paradox/format/format.h"
#include "paradox/format/value.h"

namespace paradox {

// Dates, and the days of timestamps, lie in the years -9999 to 9999: the years the text
// forms write with four digits (year 0 is 1 BC), the same span on both sides of year 1.
// Day numbers as Date: 0001-01-01 is 1.
inline constexpr int32_t kMinDay = -3652424;  // -9999-01-01
inline constexpr int32_t kMaxDay = 3652059;   // 9999-12-31
// Days before this one are valid but odd: other programs store them (seen: day -366),
// engines read them back, the verifier warns of them.
inline constexpr int32_t kFirstDay = 1;  // 0001-01-01
inline constexpr int32_t kMsPerDay = 86'400'000;
inline constexpr int32_t kMaxTimeMs = kMsPerDay - 1;
// Timestamps: milliseconds in [kMinTimestampMs, kEndTimestampMs).
inline constexpr double kMinTimestampMs = double(kMinDay) * kMsPerDay;
inline constexpr double kEndTimestampMs = (double(kMaxDay) + 1) * kMsPerDay;
inline constexpr double kFirstTimestampMs = double(kFirstDay) * kMsPerDay;

// Why a stored value is odd or invalid.
enum class FieldIssue : uint8_t {
  kNone,
  // Odd values an engine leaves and reads back: kept; the verifier warns.
  kAlphaTail,  // alpha bytes after the terminating NUL
  kNan,        // number or money is NaN
  kBcdDigit,   // a BCD digit nibble above 9 (binary-float artefacts)
  kDateEarly,  // date or timestamp before 0001-01-01, within the range
  // Values no writer produces: the reader refuses them, the salvage sets the record
  // aside, the verifier reports an error.
  kDateRange,       // date outside kMinDay..kMaxDay
  kTime,            // time outside 0..kMaxTimeMs
  kTimestampRange,  // timestamp outside the range, infinite or NaN
  kLogical,         // logical byte not 00, 80 or 81
  kBcdFirstByte,    // BCD first byte neither blank nor sign|decimals
  kBlobOffset,      // blob longer than its leader without a .MB offset
  kDescriptor,      // a descriptor no table has (unknown type, blob under 10 bytes, BCD > 32)
};
inline constexpr int kFieldIssueCount = int(FieldIssue::kDescriptor) + 1;

// What CheckField found in one field, in one word: the record passes get one for
// every field, and a struct of bytes came back through memory, a stall each time.
class FieldCheck {
 public:
  constexpr FieldCheck() = default;
  constexpr FieldCheck(FieldIssue issue, bool blank, size_t at)
      : word_(uint32_t(issue) | uint32_t(blank) << 8 | uint32_t(at & 0xFF) << 16) {}
  constexpr FieldIssue issue() const { return FieldIssue(word_ & 0xFF); }
  // The value is blank (null); never with an invalid issue.
  constexpr bool blank() const { return (word_ >> 8) & 1; }
  // The byte of the field the issue is about.
  constexpr uint8_t at() const { return uint8_t(word_ >> 16); }

 private:
  uint32_t word_ = 0;
};

// The mapping of a reason to what each side reports.
struct FieldIssueInfo {
  std::string_view check;    // the verifier's check id
  bool invalid;              // error (reader refuses, salvage sets aside) or warning
  std::string_view anomaly;  // the reader's anomaly code; "" for a kept value
};
const FieldIssueInfo& IssueInfo(FieldIssue issue);
inline bool IsInvalid(FieldIssue issue) {
  return issue >= FieldIssue::kDateRange;
}

// The rule: CheckField(type, sizeByte, p), defined below with its steps (inline: the
// record passes call it for every field). `p` holds the field's
// StoredFieldSize(type, sizeByte) bytes.
inline FieldCheck CheckField(FieldType type, uint8_t sizeByte, const uint8_t* p);
inline FieldCheck CheckField(const FieldDesc& f, const uint8_t* p) {
  return CheckField(f.type, f.sizeByte, p);
}
// Whether the reader keeps the value (fine or odd); false also for a wrong byte count.
inline bool FieldValid(const FieldDesc& f, ByteSpan raw) {
  return raw.size() == f.Size() && !IsInvalid(CheckField(f, raw.data()).issue());
}
// Whether a field of this type can hold an invalid value at all (S, I, +, N, $, A, Y
// cannot): loops over many records skip the others.
bool CanBeInvalid(FieldType type);

// The issue in words, as the verifier's finding detail ("date day number is 99999999
// but should be -3652424..3652059"). `c` is what CheckField said of `p`.
std::string DescribeIssue(FieldType type, uint8_t sizeByte, const uint8_t* p, FieldCheck c);
// The reader's message for an invalid value: the field, then DescribeIssue.
std::string FieldIssueMessage(const FieldDesc& f, const uint8_t* p, FieldCheck c);

// Helpers of the rule that hot loops share.
// Whether [p, p + n) is all zero, by words: alpha fields are mostly padding.
inline bool ZeroBytes(const uint8_t* p, size_t n) {
  uint64_t acc = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    acc |= w;
  }
  if (n >= 4) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    acc |= w;
    p += 4, n -= 4;
  }
  for (; n > 0; ++p, --n) acc |= *p;
  return acc == 0;
}
// Whether the 16 digit bytes of a BCD value (complemented when negative) hold only
// nibbles 0..9, eight bytes at a time: a nibble above 9 carries into bit 4 when 6 is
// added.
inline bool BcdDigitsValid(const uint8_t* digits, bool negative) {
  constexpr uint64_t kLow = 0x0F0F0F0F0F0F0F0Full, kSix = 0x0606060606060606ull,
                     kCarry = 0x1010101010101010ull;
  for (int half = 0; half < 2; ++half) {
    uint64_t w;
    std::memcpy(&w, digits + 8 * half, 8);
    if (negative) w = ~w;
    if (((((w >> 4) & kLow) + kSix) | ((w & kLow) + kSix)) & kCarry) return false;
  }
  return true;
}
// A blank BCD value: all zero, or (another writer's blank) the bare decimals byte.
inline bool BcdBlank(const uint8_t* p, uint8_t decimals) {
  return (p[0] == 0 || p[0] == decimals) && ZeroBytes(p + 1, 16);
}

namespace field_rules_detail {

inline constexpr FieldCheck Fine() {
  return {};
}
inline constexpr FieldCheck Blank() {
  return {FieldIssue::kNone, true, 0};
}
inline constexpr FieldCheck Issue(FieldIssue issue, size_t at = 0) {
  return {issue, false, at};
}

// The eight bytes at p as a big-endian number.
inline uint64_t BigEndian64(const uint8_t* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::little) x = __builtin_bswap64(x);
  return x;
}

inline FieldCheck CheckAlpha(const uint8_t* p, size_t n) {
  const void* nul = std::memchr(p, 0, n);
  if (!nul) return Fine();
  const bool blank = nul == p;
  const uint8_t* q = static_cast<const uint8_t*>(nul) + 1;
  const uint8_t* end = p + n;
  if (ZeroBytes(q, size_t(end - q))) return {FieldIssue::kNone, blank, 0};
  while (*q == 0) ++q;  // the first byte to report
  return {FieldIssue::kAlphaTail, blank, size_t(q - p)};
}

inline FieldCheck CheckDate(const uint8_t* p) {
  if (ZeroBytes(p, 4)) return Blank();
  const int32_t days = DecodeInt32(p);
  if (days < kMinDay || days > kMaxDay) return Issue(FieldIssue::kDateRange);
  return days < kFirstDay ? Issue(FieldIssue::kDateEarly) : Fine();
}

inline FieldCheck CheckTime(const uint8_t* p) {
  if (ZeroBytes(p, 4)) return Blank();
  const int32_t ms = DecodeInt32(p);
  return ms < 0 || ms > kMaxTimeMs ? Issue(FieldIssue::kTime) : Fine();
}

// Number and money: a double in the sortable encoding.
inline FieldCheck CheckNumber(const uint8_t* p) {
  const uint64_t x = BigEndian64(p);
  if (x == 0) return Blank();
  // Undo the sortable transform on the bits only: NaN needs no conversion.
  const uint64_t bits = (x >> 63) ? x ^ (uint64_t(1) << 63) : ~x;
  const bool nan =
      (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (bits & 0x000FFFFFFFFFFFFFull);
  return nan ? Issue(FieldIssue::kNan) : Fine();
}

inline FieldCheck CheckTimestamp(const uint8_t* p) {
  if (ZeroBytes(p, 8)) return Blank();
  const double ms = DecodeDouble(p);
  // Written so that NaN fails too.
  if (!(ms >= kMinTimestampMs && ms < kEndTimestampMs)) return Issue(FieldIssue::kTimestampRange);
  return ms < kFirstTimestampMs ? Issue(FieldIssue::kDateEarly) : Fine();
}

inline FieldCheck CheckLogical(const uint8_t* p) {
  if (p[0] == 0) return Blank();
  return p[0] == 0x80 || p[0] == 0x81 ? Fine() : Issue(FieldIssue::kLogical);
}

inline FieldCheck CheckBcd(const uint8_t* p, uint8_t decimals) {
  if (decimals > 32) return Issue(FieldIssue::kDescriptor);
  if (BcdBlank(p, decimals)) return Blank();
  if ((p[0] & 0x40) == 0 || (p[0] & 0x3F) != decimals) return Issue(FieldIssue::kBcdFirstByte);
  const bool negative = (p[0] & 0x80) == 0;
  if (BcdDigitsValid(p + 1, negative)) return Fine();
  for (int i = 1; i < 17; ++i) {
    const uint8_t b = negative ? uint8_t(~p[i]) : p[i];
    if ((b >> 4) > 9 || (b & 0xF) > 9) return Issue(FieldIssue::kBcdDigit, size_t(i));
  }
  return Fine();
}

inline FieldCheck CheckBlob(const uint8_t* p, uint8_t size) {
  // The size byte comes from the file: never read a pointer the field cannot hold.
  if (size < BlobPointer::kEncodedLength) return Issue(FieldIssue::kDescriptor);
  const size_t leader = size - BlobPointer::kEncodedLength;
  BlobPointer ptr;
  ptr.DecodeFrom(p + leader);
  if (ptr.length == 0) return Blank();
  return ptr.length > leader && ptr.offset == 0 ? Issue(FieldIssue::kBlobOffset) : Fine();
}

// Fixed-size types whose size byte is not their size describe no table: their bytes
// are not read.
inline bool SizeIs(uint8_t sizeByte, uint8_t want) {
  return sizeByte == want;
}

inline FieldCheck CheckInteger(const uint8_t* p, uint8_t size) {
  return ZeroBytes(p, size) ? Blank() : Fine();
}

}  // namespace field_rules_detail

[[gnu::always_inline]] inline FieldCheck CheckField(FieldType type, uint8_t sizeByte,
                                                    const uint8_t* p) {
  namespace d = field_rules_detail;
  const FieldCheck descriptor = d::Issue(FieldIssue::kDescriptor);
  switch (type) {
    case FieldType::kAlpha:
      return d::CheckAlpha(p, sizeByte);
    case FieldType::kBytes:
      return d::CheckInteger(p, sizeByte);  // blank when all zero, like the integers
    case FieldType::kShort:
      return d::SizeIs(sizeByte, 2) ? d::CheckInteger(p, 2) : descriptor;
    case FieldType::kLong:
    case FieldType::kAutoInc:
      return d::SizeIs(sizeByte, 4) ? d::CheckInteger(p, 4) : descriptor;
    case FieldType::kDate:
      return d::SizeIs(sizeByte, 4) ? d::CheckDate(p) : descriptor;
    case FieldType::kTime:
      return d::SizeIs(sizeByte, 4) ? d::CheckTime(p) : descriptor;
    case FieldType::kMoney:
    case FieldType::kNumber:
      return d::SizeIs(sizeByte, 8) ? d::CheckNumber(p) : descriptor;
    case FieldType::kTimestamp:
      return d::SizeIs(sizeByte, 8) ? d::CheckTimestamp(p) : descriptor;
    case FieldType::kLogical:
      return d::SizeIs(sizeByte, 1) ? d::CheckLogical(p) : descriptor;
    case FieldType::kBcd:
      return d::CheckBcd(p, sizeByte);
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return d::CheckBlob(p, sizeByte);
  }
  return descriptor;
}

}  // namespace paradox
