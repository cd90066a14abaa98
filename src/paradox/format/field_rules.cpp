#include "paradox/format/field_rules.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "paradox/format/reader.h"
#include "paradox/format/value.h"

namespace paradox {

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
  if (std::isnan(ms)) return "timestamp is NaN";
  if (issue == FieldIssue::kDateEarly) return "timestamp is " + DayText(ms) + ", before 0001-01-01";
  return "timestamp is " + DayText(ms) +
         (ms < kMinTimestampMs ? ", before -9999-01-01" : ", after 9999-12-31");
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
  switch (c.issue()) {
    case FieldIssue::kNone:
      return "";
    case FieldIssue::kAlphaTail:
      return "byte " + Num(c.at()) + " after the terminating NUL is " + HexByte(p[c.at()]) +
             " but should be 0";
    case FieldIssue::kNan:
      return "value is NaN";
    case FieldIssue::kBcdDigit:
      return "BCD digit byte " + HexByte(p[c.at()]) + " holds a nibble above 9";
    case FieldIssue::kDateEarly:
      if (type == FieldType::kTimestamp) return TimestampText(p, c.issue());
      return "date day number is " + Num(DecodeInt32(p)) + ", before 0001-01-01";
    case FieldIssue::kDateRange:
      return "date day number is " + Num(DecodeInt32(p)) + " but should be " + Num(kMinDay) + ".." +
             Num(kMaxDay);
    case FieldIssue::kTime:
      return "time is " + Num(DecodeInt32(p)) + " ms but should be 0.." + Num(kMaxTimeMs);
    case FieldIssue::kTimestampRange:
      return TimestampText(p, c.issue());
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
