// The one rule for a stored field value: whether the bytes of a field are a value a
// table may hold, and if not, why. The strict reader (DecodeField), the salvage (which
// record goes to PROBLEM.DB), the verifier (which finding) and dump all ask CheckField;
// none keeps a rule of its own. FieldIssueInfo maps each reason to the verifier's check
// id and severity and to the reader's anomaly code.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "paradox/format/coding.h"
#include "paradox/format/format.h"

namespace paradox {

// Dates, and the days of timestamps, end with the year 9999. Day numbers as Date:
// 0001-01-01 is 1.
inline constexpr int32_t kMaxDay = 3652059;  // 9999-12-31
// Days before this one are valid but odd: other programs store them (seen: day -366),
// engines read them back, the verifier warns of them.
inline constexpr int32_t kFirstDay = 1;  // 0001-01-01
inline constexpr int32_t kMsPerDay = 86'400'000;
inline constexpr int32_t kMaxTimeMs = kMsPerDay - 1;
// Timestamps: milliseconds below kEndTimestampMs.
inline constexpr double kEndTimestampMs = (double(kMaxDay) + 1) * kMsPerDay;
inline constexpr double kFirstTimestampMs = double(kFirstDay) * kMsPerDay;

// Why a stored value is odd or invalid.
enum class FieldIssue : uint8_t {
  kNone,
  // Odd values an engine leaves and reads back: kept; the verifier warns.
  kAlphaTail,  // alpha bytes after the terminating NUL
  kNan,        // number, money or timestamp is NaN
  kBcdDigit,   // a BCD digit nibble above 9 (binary-float artefacts)
  kDateEarly,  // date or timestamp before 0001-01-01
  // Values no writer produces: the reader refuses them, the salvage sets the record
  // aside, the verifier reports an error.
  kDateRange,       // date after kMaxDay
  kTime,            // time outside 0..kMaxTimeMs
  kTimestampRange,  // timestamp after 9999-12-31, or infinite
  kLogical,         // logical byte not 00, 80 or 81
  kBcdFirstByte,    // BCD first byte neither blank nor sign|decimals
  kBlobOffset,      // blob longer than its leader without a .MB offset
  kDescriptor,      // a descriptor no table has (unknown type, blob under 10 bytes, BCD > 32)
};
inline constexpr int kFieldIssueCount = int(FieldIssue::kDescriptor) + 1;

// What CheckField found in one field.
struct FieldCheck {
  FieldIssue issue = FieldIssue::kNone;
  bool blank = false;  // the value is blank (null); never with an invalid issue
  uint8_t at = 0;      // the byte of the field the issue is about
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

// The rule. `p` holds the field's StoredFieldSize(type, sizeByte) bytes.
FieldCheck CheckField(FieldType type, uint8_t sizeByte, const uint8_t* p);
inline FieldCheck CheckField(const FieldDesc& f, const uint8_t* p) {
  return CheckField(f.type, f.sizeByte, p);
}
// Whether the reader keeps the value (fine or odd); false also for a wrong byte count.
inline bool FieldValid(const FieldDesc& f, ByteSpan raw) {
  return raw.size() == f.Size() && !IsInvalid(CheckField(f, raw.data()).issue);
}
// Whether a field of this type can hold an invalid value at all (S, I, +, N, $, A, Y
// cannot): loops over many records skip the others.
bool CanBeInvalid(FieldType type);

// The issue in words, as the verifier's finding detail ("date day number is 99999999
// but should be 1..3652059"). `c` is what CheckField said of `p`.
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

}  // namespace paradox
