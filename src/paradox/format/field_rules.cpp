#include "paradox/format/field_rules.h"

#include <charconv>
#include <cmath>

#include "paradox/format/reader.h"
#include "paradox/format/value.h"

namespace paradox {

namespace {

constexpr FieldCheck Fine() {
  return {};
}
constexpr FieldCheck Blank() {
  return {FieldIssue::kNone, true, 0};
}
constexpr FieldCheck Issue(FieldIssue issue, size_t at = 0) {
  return {issue, false, uint8_t(at)};
}

// The eight bytes at p as a big-endian number.
uint64_t BigEndian64(const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 0; i < 8; ++i) x = x << 8 | p[i];
  return x;
}

FieldCheck CheckAlpha(const uint8_t* p, size_t n) {
  const void* nul = std::memchr(p, 0, n);
  if (!nul) return Fine();
  const bool blank = nul == p;
  const uint8_t* q = static_cast<const uint8_t*>(nul) + 1;
  const uint8_t* end = p + n;
  if (ZeroBytes(q, size_t(end - q))) return {FieldIssue::kNone, blank, 0};
  while (*q == 0) ++q;  // the first byte to report
  return {FieldIssue::kAlphaTail, blank, uint8_t(q - p)};
}

FieldCheck CheckDate(const uint8_t* p) {
  if (ZeroBytes(p, 4)) return Blank();
  // Dates before year 1 are stored by other programs (seen: -366) and read by engines
  // like any other: odd, whatever their size.
  const int32_t days = DecodeInt32(p);
  if (days > kMaxDay) return Issue(FieldIssue::kDateRange);
  return days < kFirstDay ? Issue(FieldIssue::kDateEarly) : Fine();
}

FieldCheck CheckTime(const uint8_t* p) {
  if (ZeroBytes(p, 4)) return Blank();
  const int32_t ms = DecodeInt32(p);
  return ms < 0 || ms > kMaxTimeMs ? Issue(FieldIssue::kTime) : Fine();
}

// Number and money: a double in the sortable encoding.
FieldCheck CheckNumber(const uint8_t* p) {
  const uint64_t x = BigEndian64(p);
  if (x == 0) return Blank();
  // Undo the sortable transform on the bits only: NaN needs no conversion.
  const uint64_t bits = (x >> 63) ? x ^ (uint64_t(1) << 63) : ~x;
  const bool nan =
      (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (bits & 0x000FFFFFFFFFFFFFull);
  return nan ? Issue(FieldIssue::kNan) : Fine();
}

FieldCheck CheckTimestamp(const uint8_t* p) {
  if (ZeroBytes(p, 8)) return Blank();
  // As for dates: only a moment after 9999-12-31 (or infinite) is no timestamp; NaN and
  // moments before year 1 are odd values an engine reads back as stored.
  const double ms = DecodeDouble(p);
  if (std::isnan(ms)) return Issue(FieldIssue::kNan);
  if (std::isinf(ms) || ms >= kEndTimestampMs) return Issue(FieldIssue::kTimestampRange);
  return ms < kFirstTimestampMs ? Issue(FieldIssue::kDateEarly) : Fine();
}

FieldCheck CheckLogical(const uint8_t* p) {
  if (p[0] == 0) return Blank();
  return p[0] == 0x80 || p[0] == 0x81 ? Fine() : Issue(FieldIssue::kLogical);
}

FieldCheck CheckBcd(const uint8_t* p, uint8_t decimals) {
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

FieldCheck CheckBlob(const uint8_t* p, uint8_t size) {
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
FieldCheck Sized(uint8_t sizeByte, uint8_t want, FieldCheck (*check)(const uint8_t*),
                 const uint8_t* p) {
  return sizeByte == want ? check(p) : Issue(FieldIssue::kDescriptor);
}

FieldCheck CheckInteger(const uint8_t* p, uint8_t size) {
  return ZeroBytes(p, size) ? Blank() : Fine();
}

}  // namespace

FieldCheck CheckField(FieldType type, uint8_t sizeByte, const uint8_t* p) {
  switch (type) {
    case FieldType::kAlpha:
      return CheckAlpha(p, sizeByte);
    case FieldType::kBytes:
      return ZeroBytes(p, sizeByte) ? Blank() : Fine();
    case FieldType::kShort:
      return sizeByte == 2 ? CheckInteger(p, 2) : Issue(FieldIssue::kDescriptor);
    case FieldType::kLong:
    case FieldType::kAutoInc:
      return sizeByte == 4 ? CheckInteger(p, 4) : Issue(FieldIssue::kDescriptor);
    case FieldType::kDate:
      return Sized(sizeByte, 4, CheckDate, p);
    case FieldType::kTime:
      return Sized(sizeByte, 4, CheckTime, p);
    case FieldType::kMoney:
    case FieldType::kNumber:
      return Sized(sizeByte, 8, CheckNumber, p);
    case FieldType::kTimestamp:
      return Sized(sizeByte, 8, CheckTimestamp, p);
    case FieldType::kLogical:
      return Sized(sizeByte, 1, CheckLogical, p);
    case FieldType::kBcd:
      return CheckBcd(p, sizeByte);
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return CheckBlob(p, sizeByte);
  }
  return Issue(FieldIssue::kDescriptor);
}

bool CanBeInvalid(FieldType type) {
  switch (type) {
    case FieldType::kAlpha:
    case FieldType::kBytes:
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kAutoInc:
    case FieldType::kMoney:
    case FieldType::kNumber:
      return !IsKnownFieldType(uint8_t(type));
    default:
      return true;
  }
}

const FieldIssueInfo& IssueInfo(FieldIssue issue) {
  static constexpr FieldIssueInfo kInfo[kFieldIssueCount] = {
      {"", false, ""},  // kNone
      {"value.alpha-tail", false, ""},
      {"value.nan", false, ""},
      {"value.bcd-digit", false, ""},
      {"value.date-early", false, ""},
      {"value.date", true, anomaly::kBadValue},
      {"value.time", true, anomaly::kBadValue},
      {"value.timestamp", true, anomaly::kBadValue},
      {"value.logical", true, anomaly::kBadValue},
      {"value.bcd", true, anomaly::kBadValue},
      {"blob.pointer", true, anomaly::kBadValue},
      {"header.field-type", true, anomaly::kBadValue},
  };
  return kInfo[size_t(issue)];
}

namespace {

std::string Num(int64_t v) {
  return std::to_string(v);
}

std::string HexByte(uint8_t v) {
  const char* d = "0123456789ABCDEF";
  std::string s = "0x";
  if (v >> 4) s += d[v >> 4];
  return s + d[v & 15];
}

// A timestamp's day number as text; any double (huge, infinite) is fine: never cast.
std::string DayText(double ms) {
  if (std::isinf(ms)) return ms < 0 ? "minus infinity" : "infinity";
  char buf[48];
  const auto r =
      std::to_chars(buf, buf + sizeof buf, ms / kMsPerDay, std::chars_format::general, 6);
  return "day " + std::string(buf, r.ptr);
}

std::string TimestampText(const uint8_t* p, FieldIssue issue) {
  const double ms = DecodeDouble(p);
  return "timestamp is " + DayText(ms) +
         (issue == FieldIssue::kDateEarly ? ", before 0001-01-01" : ", after 9999-12-31");
}

std::string BcdFirstByteText(const uint8_t* p, uint8_t decimals) {
  if (p[0] == 0) return "BCD first byte is 0 (blank) but the digits are not zero";
  return "BCD first byte is " + HexByte(p[0]) + " but should be " + HexByte(0xC0 | decimals) +
         " or " + HexByte(0x40 | decimals);
}

std::string DescriptorText(FieldType type, uint8_t sizeByte) {
  if (!IsKnownFieldType(uint8_t(type))) return "unknown field type";
  if (type == FieldType::kBcd) return "BCD with " + Num(sizeByte) + " decimals (at most 32)";
  if (IsBlobType(type)) return "too small to hold a blob pointer";
  return "size " + Num(sizeByte) + " does not fit the type";
}

}  // namespace

std::string DescribeIssue(FieldType type, uint8_t sizeByte, const uint8_t* p, FieldCheck c) {
  switch (c.issue) {
    case FieldIssue::kNone:
      return "";
    case FieldIssue::kAlphaTail:
      return "byte " + Num(c.at) + " after the terminating NUL is " + HexByte(p[c.at]) +
             " but should be 0";
    case FieldIssue::kNan:
      return "value is NaN";
    case FieldIssue::kBcdDigit:
      return "BCD digit byte " + HexByte(p[c.at]) + " holds a nibble above 9";
    case FieldIssue::kDateEarly:
      if (type == FieldType::kTimestamp) return TimestampText(p, c.issue);
      return "date day number is " + Num(DecodeInt32(p)) + ", before 0001-01-01";
    case FieldIssue::kDateRange:
      return "date day number is " + Num(DecodeInt32(p)) + " but should be " + Num(kFirstDay) +
             ".." + Num(kMaxDay);
    case FieldIssue::kTime:
      return "time is " + Num(DecodeInt32(p)) + " ms but should be 0.." + Num(kMaxTimeMs);
    case FieldIssue::kTimestampRange:
      return TimestampText(p, c.issue);
    case FieldIssue::kLogical:
      return "logical byte is " + HexByte(p[0]) + " but should be 0x00, 0x80 or 0x81";
    case FieldIssue::kBcdFirstByte:
      return BcdFirstByteText(p, sizeByte);
    case FieldIssue::kBlobOffset: {
      BlobPointer ptr;
      ptr.DecodeFrom(p + sizeByte - BlobPointer::kEncodedLength);
      return "blob of " + Num(ptr.length) + " bytes, longer than the leader, has no .MB offset";
    }
    case FieldIssue::kDescriptor:
      return DescriptorText(type, sizeByte);
  }
  return "";
}

std::string FieldIssueMessage(const FieldDesc& f, const uint8_t* p, FieldCheck c) {
  return "field \"" + f.name + "\" (" + FieldTypeName(f.type) +
         "): " + DescribeIssue(f.type, f.sizeByte, p, c);
}

}  // namespace paradox
