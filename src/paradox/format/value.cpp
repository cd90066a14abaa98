#include "paradox/format/value.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "paradox/format/codepage.h"
#include "paradox/format/field_rules.h"

namespace paradox {

void BlobPointer::DecodeFrom(const uint8_t* in) {
  uint32_t v = DecodeU32(in);
  offset = v & 0xFFFFFF00u;
  index = static_cast<uint8_t>(v & 0xFF);
  length = DecodeU32(in + 4);
  modNumber = DecodeU16(in + 8);
}

void BlobPointer::EncodeTo(uint8_t* out) const {
  EncodeU32(out, (offset & 0xFFFFFF00u) | index);
  EncodeU32(out + 4, length);
  EncodeU16(out + 8, modNumber);
}

bool IsAllZero(ByteSpan b) {
  for (uint8_t c : b)
    if (c) return false;
  return true;
}

void EncodeInt16(int16_t v, uint8_t* out) {
  uint16_t u = static_cast<uint16_t>(v) ^ 0x8000u;
  out[0] = uint8_t(u >> 8);
  out[1] = uint8_t(u);
}
int16_t DecodeInt16(const uint8_t* in) {
  uint16_t u = static_cast<uint16_t>((in[0] << 8) | in[1]) ^ 0x8000u;
  return static_cast<int16_t>(u);
}
void EncodeIndexWord(uint16_t v, uint8_t* out) {
  const uint16_t u = v ^ 0x8000u;
  out[0] = uint8_t(u >> 8);
  out[1] = uint8_t(u);
}
uint16_t DecodeIndexWord(const uint8_t* in) {
  return static_cast<uint16_t>(((in[0] << 8) | in[1]) ^ 0x8000u);
}
void EncodeInt32(int32_t v, uint8_t* out) {
  uint32_t u = static_cast<uint32_t>(v) ^ 0x80000000u;
  out[0] = uint8_t(u >> 24);
  out[1] = uint8_t(u >> 16);
  out[2] = uint8_t(u >> 8);
  out[3] = uint8_t(u);
}
int32_t DecodeInt32(const uint8_t* in) {
  uint32_t u = (uint32_t(in[0]) << 24) | (uint32_t(in[1]) << 16) | (uint32_t(in[2]) << 8) | in[3];
  return static_cast<int32_t>(u ^ 0x80000000u);
}
void EncodeDouble(double v, uint8_t* out) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  if (u & 0x8000000000000000ull)
    u = ~u;  // negative (incl. -0.0): invert all bits
  else
    u |= 0x8000000000000000ull;
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(u >> (56 - 8 * i));
}
double DecodeDouble(const uint8_t* in) {
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u = (u << 8) | in[i];
  if (u & 0x8000000000000000ull)
    u &= ~0x8000000000000000ull;
  else
    u = ~u;
  double v;
  std::memcpy(&v, &u, 8);
  return v;
}

Status EncodeBcd(const std::string& text, uint8_t decimals, uint8_t* out) {
  if (decimals > 32) return Status::InvalidArgument("BCD decimals above 32");
  size_t i = 0;
  bool neg = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) neg = text[i++] == '-';
  std::string intPart, frac;
  bool seenDot = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && !seenDot) {
      seenDot = true;
    } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) {
      (seenDot ? frac : intPart) += c;
    } else {
      return Status::InvalidArgument("BCD text \"" + text + "\" is not a decimal number");
    }
  }
  if (intPart.empty() && frac.empty()) return Status::InvalidArgument("BCD text is empty");
  while (frac.size() > decimals) {
    if (frac.back() != '0')
      return Status::InvalidArgument("BCD value " + text + " has more than " +
                                     std::to_string(decimals) + " decimals");
    frac.pop_back();
  }
  frac.append(decimals - frac.size(), '0');
  size_t firstNonZero = intPart.find_first_not_of('0');
  intPart = firstNonZero == std::string::npos ? "" : intPart.substr(firstNonZero);
  if (intPart.size() > 32u - decimals)
    return Status::InvalidArgument("BCD value " + text + " has too many integer digits");
  std::string digits = std::string(32 - decimals - intPart.size(), '0') + intPart + frac;
  if (digits.find_first_not_of('0') == std::string::npos) neg = false;
  out[0] = static_cast<uint8_t>((neg ? 0x40 : 0xC0) | decimals);
  for (int k = 0; k < 16; ++k) {
    auto nibble = [](char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10); };
    uint8_t hi = nibble(digits[2 * k]), lo = nibble(digits[2 * k + 1]);
    uint8_t b = static_cast<uint8_t>((hi << 4) | lo);
    out[1 + k] = neg ? static_cast<uint8_t>(~b) : b;
  }
  return Status::OK();
}

char* WriteBcdText(char* out, const uint8_t* in, uint8_t decimals, bool* badNibbles) {
  const bool neg = (in[0] & 0x80) == 0;
  char digits[32];
  bool zero = true, bad = false;
  for (int k = 0; k < 16; ++k) {
    const uint8_t b = neg ? static_cast<uint8_t>(~in[1 + k]) : in[1 + k];
    const uint8_t hi = uint8_t(b >> 4), lo = uint8_t(b & 0xF);
    // Shown as the hex digit it is, so nothing is changed unseen.
    bad |= hi > 9 || lo > 9;
    zero &= b == 0;
    digits[2 * k] = "0123456789ABCDEF"[hi];
    digits[2 * k + 1] = "0123456789ABCDEF"[lo];
  }
  *badNibbles = bad;
  const int intDigits = 32 - decimals;
  int first = 0;
  while (first < intDigits && digits[first] == '0') ++first;
  if (neg && !zero) *out++ = '-';
  if (first == intDigits) {
    *out++ = '0';
  } else {
    std::memcpy(out, digits + first, size_t(intDigits - first));
    out += intDigits - first;
  }
  if (decimals) {
    *out++ = '.';
    std::memcpy(out, digits + intDigits, decimals);
    out += decimals;
  }
  return out;
}

std::string BcdNumberText(std::string_view text) {
  const size_t bad = text.find_first_of("ABCDEF");
  if (bad == std::string_view::npos) return std::string(text);
  const bool negative = !text.empty() && text[0] == '-';
  const size_t intStart = negative ? 1 : 0;
  const size_t dot = std::min(text.find('.'), text.size());
  std::string integer, fraction;
  if (bad < dot) {
    // The integer digits keep their places: the ones from the cut on read as 0.
    integer = std::string(text.substr(intStart, bad - intStart)) + std::string(dot - bad, '0');
  } else {
    integer = text.substr(intStart, dot - intStart);
    fraction = text.substr(dot + 1, bad - dot - 1);
  }
  const size_t first = std::min(integer.find_first_not_of('0'), integer.size() - 1);
  integer.erase(0, first);
  const bool zero = integer == "0" && fraction.find_first_not_of('0') == std::string::npos;
  std::string out = negative && !zero ? "-" : "";
  out += integer;
  if (!fraction.empty()) out += "." + fraction;
  return out;
}

Result<Bcd> DecodeBcd(const uint8_t* in, uint8_t decimals) {
  const FieldCheck c = CheckField(FieldType::kBcd, decimals, in);
  if (IsInvalid(c.issue()))
    return Status::Corruption(DescribeIssue(FieldType::kBcd, decimals, in, c));
  if (c.blank()) return Status::Corruption("BCD value is blank");
  Bcd out;
  char buf[40];
  out.text.assign(buf, WriteBcdText(buf, in, decimals, &out.hasBadNibbles));
  return out;
}

int32_t DaysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  // Days since 1970-01-01, then shifted so that 0001-01-01 is day 1.
  int64_t unixDays = int64_t(era) * 146097 + int64_t(doe) - 719468;
  return static_cast<int32_t>(unixDays + 719163);
}

void CivilFromDays(int32_t days, int* year, unsigned* month, unsigned* day) {
  int64_t z = int64_t(days) - 719163 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (*month <= 2));
}

// Writes v (0 <= v < 10^width) as `width` digits; dumps format millions of dates and
// times, and snprintf was a fifth of their time.
static char* PutDigits(char* p, unsigned v, int width) {
  for (int i = width - 1; i >= 0; --i, v /= 10) p[i] = char('0' + v % 10);
  return p + width;
}

char* WriteDate(char* out, Date d) {
  int y;
  unsigned m, dd;
  CivilFromDays(d.days, &y, &m, &dd);
  if (y >= 0 && y <= 9999) {  // the same text as below, without stdio
    char* p = PutDigits(out, unsigned(y), 4);
    *p++ = '-';
    p = PutDigits(p, m, 2);
    *p++ = '-';
    return PutDigits(p, dd, 2);
  }
  // ISO 8601 expanded years before year 1: year 0 is 1 BC, "-0001" is 2 BC.
  int n;
  if (y < 0)
    n = std::snprintf(out, kMaxDateTimeText, "-%04d-%02u-%02u", -y, m, dd);
  else
    n = std::snprintf(out, kMaxDateTimeText, "%04d-%02u-%02u", y, m, dd);
  return out + n;
}

char* WriteTime(char* out, Time t) {
  int ms = t.ms;
  if (ms >= 0 && ms < 86400000) {  // the same text as below, without stdio
    char* p = PutDigits(out, unsigned(ms / 3600000), 2);
    *p++ = ':';
    p = PutDigits(p, unsigned(ms / 60000 % 60), 2);
    *p++ = ':';
    p = PutDigits(p, unsigned(ms / 1000 % 60), 2);
    *p++ = '.';
    return PutDigits(p, unsigned(ms % 1000), 3);
  }
  const int n = std::snprintf(out, kMaxDateTimeText, "%02d:%02d:%02d.%03d", ms / 3600000,
                              ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return out + n;
}

std::string FormatDate(Date d) {
  char buf[kMaxDateTimeText];
  return std::string(buf, WriteDate(buf, d));
}

std::string FormatTime(Time t) {
  char buf[kMaxDateTimeText];
  return std::string(buf, WriteTime(buf, t));
}

namespace {

bool ParseDigits(std::string_view s, size_t n, int64_t* out) {
  if (s.size() < n) return false;
  int64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

// "HH:MM:SS.mmm" and any further fraction digits: the whole milliseconds in *ms, the
// digits after the milliseconds in *extra (as written).
bool ParseTimeParts(std::string_view s, int64_t* ms, std::string_view* extra) {
  int64_t h, mi, se, mss;
  if (s.size() < 12 || s[2] != ':' || s[5] != ':' || s[8] != '.') return false;
  if (!ParseDigits(s, 2, &h) || !ParseDigits(s.substr(3), 2, &mi) ||
      !ParseDigits(s.substr(6), 2, &se) || !ParseDigits(s.substr(9), 3, &mss))
    return false;
  if (h > 23 || mi > 59 || se > 59) return false;
  *extra = s.substr(12);
  for (char c : *extra)
    if (c < '0' || c > '9') return false;
  *ms = ((h * 60 + mi) * 60 + se) * 1000 + mss;
  return true;
}

double TimestampFrom(int32_t day, int64_t msOfDay, std::string_view extra) {
  double frac = 0.0;
  if (!extra.empty()) {  // digits only (ParseTimeParts): always a number below 1
    const std::string text = "0." + std::string(extra);
    std::from_chars(text.data(), text.data() + text.size(), frac);
  }
  return double(day) * 86400000.0 + double(msOfDay) + frac;
}

}  // namespace

void AppendTimestamp(std::string* out, Timestamp t) {
  // Beyond the day numbers a date can hold (about 5.8 million years either way), or NaN:
  // the stored number itself.
  if (!(std::fabs(t.ms) < 1.8e17)) {
    char buf[40];
    char* end = std::to_chars(buf, buf + sizeof buf, t.ms, std::chars_format::general, 17).ptr;
    out->append(buf, end);
    out->append(" ms");
    return;
  }
  const double whole = std::floor(t.ms);
  int64_t total = static_cast<int64_t>(whole);
  int64_t day = total >= 0 ? total / 86400000 : -((-total + 86399999) / 86400000);
  int32_t rest = static_cast<int32_t>(total - day * 86400000);
  char text[2 * kMaxDateTimeText + 1];
  char* p = WriteDate(text, Date{static_cast<int32_t>(day)});
  *p++ = ' ';
  p = WriteTime(p, Time{rest});
  out->append(text, p);
  if (whole == t.ms) return;
  // A fraction of a millisecond: the fewest further digits that read back exactly.
  // "0.dd" in any locale: the digits after the point are what is appended.
  const double frac = t.ms - whole;
  for (int digits = 1; digits <= 20; ++digits) {
    char buf[40];
    char* end = std::to_chars(buf, buf + sizeof buf, frac, std::chars_format::fixed, digits).ptr;
    std::string extra =
        buf[0] == '1' ? std::string(size_t(digits), '9') : std::string(buf + 2, end);
    if (TimestampFrom(static_cast<int32_t>(day), rest, extra) == t.ms) {
      out->append(extra);
      return;
    }
  }
  char buf[40];
  char* end = std::to_chars(buf, buf + sizeof buf, frac, std::chars_format::fixed, 20).ptr;
  out->append(buf + 2, end);
}

std::string FormatTimestamp(Timestamp t) {
  std::string s;
  AppendTimestamp(&s, t);
  return s;
}

bool ParseDate(std::string_view s, Date* out) {
  bool neg = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  int64_t y, m, d;
  if (s.size() != 10 || s[4] != '-' || s[7] != '-' || !ParseDigits(s, 4, &y) ||
      !ParseDigits(s.substr(5), 2, &m) || !ParseDigits(s.substr(8), 2, &d))
    return false;
  if (neg) y = -y;
  if (m < 1 || m > 12 || d < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap)) return false;
  out->days =
      DaysFromCivil(static_cast<int>(y), static_cast<unsigned>(m), static_cast<unsigned>(d));
  return true;
}

bool ParseTime(std::string_view s, Time* out) {
  int64_t ms;
  std::string_view extra;
  if (!ParseTimeParts(s, &ms, &extra) || !extra.empty()) return false;
  out->ms = static_cast<int32_t>(ms);
  return true;
}

bool ParseTimestamp(std::string_view s, Timestamp* out) {
  const size_t sep = s.find_first_of(" T", 1);
  if (sep == std::string_view::npos) return false;
  Date d;
  int64_t ms;
  std::string_view extra;
  if (!ParseDate(s.substr(0, sep), &d) || !ParseTimeParts(s.substr(sep + 1), &ms, &extra))
    return false;
  out->ms = TimestampFrom(d.days, ms, extra);
  return true;
}

namespace {

// The value of a field CheckField keeps and does not call blank.
Value ValueOf(const FieldDesc& f, const uint8_t* p, size_t n) {
  switch (f.type) {
    case FieldType::kAlpha:
      return std::string(reinterpret_cast<const char*>(p),
                         strnlen(reinterpret_cast<const char*>(p), n));
    case FieldType::kBytes:
      return Bytes(p, p + n);
    case FieldType::kShort:
      return int64_t{DecodeInt16(p)};
    case FieldType::kLong:
    case FieldType::kAutoInc:
      return int64_t{DecodeInt32(p)};
    case FieldType::kDate:
      return Date{DecodeInt32(p)};
    case FieldType::kTime:
      return Time{DecodeInt32(p)};
    case FieldType::kMoney:
    case FieldType::kNumber:
      return DecodeDouble(p);
    case FieldType::kTimestamp:
      return Timestamp{DecodeDouble(p)};
    case FieldType::kLogical:
      return p[0] == 0x81;
    case FieldType::kBcd: {
      Bcd out;
      char buf[40];
      out.text.assign(buf, WriteBcdText(buf, p, f.sizeByte, &out.hasBadNibbles));
      return out;
    }
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      break;
  }
  BlobRef ref;
  const size_t leader = f.LeaderSize();
  ref.leader.assign(p, p + leader);
  ref.pointer.DecodeFrom(p + leader);
  return ref;
}

}  // namespace

Result<Value> DecodeField(const FieldDesc& f, ByteSpan raw) {
  if (raw.size() != f.Size())
    return Status::Corruption("field \"" + f.name + "\" (" + FieldTypeName(f.type) +
                              "): wrong byte count");
  const uint8_t* p = raw.data();
  const FieldCheck c = CheckField(f, p);
  if (IsInvalid(c.issue())) return Status::Corruption(FieldIssueMessage(f, p, c));
  if (c.blank()) return Value(std::monostate{});
  return ValueOf(f, p, raw.size());
}

static Status WrongKind(const FieldDesc& f, const char* want) {
  return Status::InvalidArgument("field \"" + f.name + "\" (" + FieldTypeName(f.type) + ") needs " +
                                 want);
}

static bool AsInt(const Value& v, int64_t* out) {
  if (auto* i = std::get_if<int64_t>(&v)) {
    *out = *i;
    return true;
  }
  if (auto* d = std::get_if<double>(&v)) {
    if (std::isfinite(*d) && std::floor(*d) == *d && std::fabs(*d) < 9.2e18) {
      *out = static_cast<int64_t>(*d);
      return true;
    }
  }
  return false;
}

namespace {

// The encoders of EncodeField, one per kind of field: `v` is not blank and `p` holds
// f.Size() zero bytes.
Status OutOfRange(const FieldDesc& f, const std::string& what) {
  return Status::InvalidArgument("field \"" + f.name + "\": " + what);
}

Status EncodeAlpha(const FieldDesc& f, const Value& v, MutableByteSpan out) {
  auto* s = std::get_if<std::string>(&v);
  if (!s) return WrongKind(f, "a string");
  if (s->size() > out.size())
    return OutOfRange(f, "text of " + std::to_string(s->size()) + " bytes exceeds the size " +
                             std::to_string(out.size()));
  if (s->find('\0') != std::string::npos) return OutOfRange(f, "text contains a NUL byte");
  std::memcpy(out.data(), s->data(), s->size());
  return Status::OK();
}

Status EncodeBytes(const FieldDesc& f, const Value& v, MutableByteSpan out) {
  ByteSpan b;
  if (auto* bb = std::get_if<Bytes>(&v))
    b = *bb;
  else if (auto* s = std::get_if<std::string>(&v))
    b = ByteSpan(reinterpret_cast<const uint8_t*>(s->data()), s->size());
  else
    return WrongKind(f, "bytes");
  if (b.size() > out.size()) return OutOfRange(f, "too many bytes");
  if (!b.empty()) std::memcpy(out.data(), b.data(), b.size());
  return Status::OK();
}

// S, I and +: the lowest value of each is not representable (it would encode as a blank).
Status EncodeInteger(const FieldDesc& f, const Value& v, uint8_t* p) {
  int64_t i;
  if (!AsInt(v, &i)) return WrongKind(f, "an integer");
  if (f.type == FieldType::kShort) {
    if (i <= -32768 || i > 32767)
      return OutOfRange(f, std::to_string(i) + " out of range for a short");
    EncodeInt16(static_cast<int16_t>(i), p);
    return Status::OK();
  }
  if (i <= INT32_MIN || i > INT32_MAX)
    return OutOfRange(f, std::to_string(i) + " out of range for a long");
  EncodeInt32(static_cast<int32_t>(i), p);
  return Status::OK();
}

Status EncodeDateField(const FieldDesc& f, const Value& v, uint8_t* p) {
  auto* d = std::get_if<Date>(&v);
  if (!d) return WrongKind(f, "a Date");
  if (d->days < kMinDay || d->days > kMaxDay) return OutOfRange(f, "date out of range");
  EncodeInt32(d->days, p);
  return Status::OK();
}

Status EncodeTimeField(const FieldDesc& f, const Value& v, uint8_t* p) {
  auto* t = std::get_if<Time>(&v);
  if (!t) return WrongKind(f, "a Time");
  if (t->ms < 0 || t->ms > kMaxTimeMs) return OutOfRange(f, "time out of range");
  EncodeInt32(t->ms, p);
  return Status::OK();
}

Status EncodeNumber(const FieldDesc& f, const Value& v, uint8_t* p) {
  double d;
  if (auto* x = std::get_if<double>(&v))
    d = *x;
  else if (auto* i = std::get_if<int64_t>(&v))
    d = static_cast<double>(*i);
  else
    return WrongKind(f, "a number");
  if (std::isnan(d)) return OutOfRange(f, "NaN");
  EncodeDouble(d, p);
  return Status::OK();
}

Status EncodeTimestampField(const FieldDesc& f, const Value& v, uint8_t* p) {
  auto* t = std::get_if<Timestamp>(&v);
  if (!t) return WrongKind(f, "a Timestamp");
  // Written so that NaN fails too; 0 ms is refused as well.
  if (!(t->ms >= kMinTimestampMs && t->ms < kEndTimestampMs) || t->ms == 0)
    return OutOfRange(f, "timestamp out of range");
  EncodeDouble(t->ms, p);
  return Status::OK();
}

Status EncodeLogical(const FieldDesc& f, const Value& v, uint8_t* p) {
  auto* b = std::get_if<bool>(&v);
  if (!b) return WrongKind(f, "a bool");
  p[0] = *b ? 0x81 : 0x80;
  return Status::OK();
}

Status EncodeBcdField(const FieldDesc& f, const Value& v, uint8_t* p) {
  std::string text;
  if (auto* b = std::get_if<Bcd>(&v))
    text = b->text;
  else if (auto* s = std::get_if<std::string>(&v))
    text = *s;
  else if (auto* i = std::get_if<int64_t>(&v))
    text = std::to_string(*i);
  else
    return WrongKind(f, "a Bcd");
  Status st = EncodeBcd(text, f.sizeByte, p);
  if (!st.ok()) return OutOfRange(f, st.message());
  return Status::OK();
}

Status EncodeBlob(const FieldDesc& f, const Value& v, uint8_t* p) {
  auto* r = std::get_if<BlobRef>(&v);
  if (!r) return WrongKind(f, "a BlobRef");
  size_t leader = f.LeaderSize();
  if (r->leader.size() > leader) return OutOfRange(f, "leader too long");
  if (!r->leader.empty()) std::memcpy(p, r->leader.data(), r->leader.size());
  r->pointer.EncodeTo(p + leader);
  return Status::OK();
}

}  // namespace

Status EncodeField(const FieldDesc& f, const Value& v, MutableByteSpan out) {
  if (out.size() != f.Size())
    return Status::InvalidArgument("field \"" + f.name + "\": wrong output size");
  std::memset(out.data(), 0, out.size());
  if (IsNull(v)) return Status::OK();
  uint8_t* p = out.data();
  switch (f.type) {
    case FieldType::kAlpha:
      return EncodeAlpha(f, v, out);
    case FieldType::kBytes:
      return EncodeBytes(f, v, out);
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kAutoInc:
      return EncodeInteger(f, v, p);
    case FieldType::kDate:
      return EncodeDateField(f, v, p);
    case FieldType::kTime:
      return EncodeTimeField(f, v, p);
    case FieldType::kMoney:
    case FieldType::kNumber:
      return EncodeNumber(f, v, p);
    case FieldType::kTimestamp:
      return EncodeTimestampField(f, v, p);
    case FieldType::kLogical:
      return EncodeLogical(f, v, p);
    case FieldType::kBcd:
      return EncodeBcdField(f, v, p);
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return EncodeBlob(f, v, p);
  }
  return Status::InvalidArgument("unknown field type");
}

static std::string Hex(ByteSpan b) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (uint8_t c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

std::string ValueToText(const Value& v, uint16_t codePage) {
  struct V {
    uint16_t cp;
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(int64_t i) const { return std::to_string(i); }
    std::string operator()(double d) const {
      // The same text as printf("%.15g"), without the locale and stdio machinery.
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15);
      return std::string(buf, r.ptr);
    }
    std::string operator()(const std::string& s) const { return ToUtf8(s, cp); }
    std::string operator()(const Bytes& b) const { return Hex(b); }
    std::string operator()(Date d) const { return FormatDate(d); }
    std::string operator()(Time t) const { return FormatTime(t); }
    std::string operator()(Timestamp t) const { return FormatTimestamp(t); }
    std::string operator()(const Bcd& b) const {
      return b.hasBadNibbles ? BcdNumberText(b.text) : b.text;
    }
    std::string operator()(const BlobRef& r) const {
      return "<blob " + std::to_string(r.pointer.length) + " bytes>";
    }
  };
  return std::visit(V{codePage}, v);
}

}  // namespace paradox
