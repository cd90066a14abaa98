// Field values and their record encodings (sortable big-endian integers and doubles,
// logical, date/time/timestamp, BCD, alpha/bytes, blob leader + pointer).
// All-zero bytes mean blank (null) for every type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"

namespace paradox {

// Day number of a D field: 0001-01-01 (proleptic Gregorian) is day 1.
struct Date {
  int32_t days = 0;
  bool operator==(const Date&) const = default;
};
// Milliseconds since midnight, 0..86'399'999.
struct Time {
  int32_t ms = 0;
  bool operator==(const Time&) const = default;
};
// Milliseconds: day * 86'400'000 + msOfDay, day numbered as Date.
struct Timestamp {
  double ms = 0;
  bool operator==(const Timestamp&) const = default;
};
// Decimal text of a # field: optional '-', the integer digits without leading zeros
// (at least one), then '.' and exactly `decimals` fraction digits when decimals > 0
// ("-1.23", "0.50", "12"). A stored nibble above 9 (engine float artefacts) reads as
// the hex digit A-F it is and sets hasBadNibbles; EncodeBcd takes A-F back, so such a
// value is written as it was read.
// Shown (dump, export, ValueToText), such a value is BcdNumberText(text).
struct Bcd {
  std::string text;
  bool hasBadNibbles = false;
  bool operator==(const Bcd& o) const { return text == o.text; }
};
// 10-byte blob pointer after a blob field's leader (little-endian).
struct BlobPointer {
  static constexpr size_t kEncodedLength = 10;
  uint32_t offset = 0;  // block offset in the .MB (low byte of the stored u32 cleared)
  uint8_t index = 0;    // 0xFF single-blob block, 0..63 slot in a suballocated block
  uint32_t length = 0;  // blob length in bytes, 0 = blank
  uint16_t modNumber = 0;

  void DecodeFrom(const uint8_t* in);
  void EncodeTo(uint8_t* out) const;
  bool operator==(const BlobPointer&) const = default;
};
// A blob field as stored in the record: leader bytes and the pointer. The full value
// is the leader's first `length` bytes when length <= leader size, else in the .MB
// (resolve with BlobFile::Read).
struct BlobRef {
  Bytes leader;
  BlobPointer pointer;
  bool InLeader() const { return pointer.length <= leader.size(); }
  bool operator==(const BlobRef&) const = default;
};

// A decoded field value. Alternatives:
//   std::monostate  blank (null)
//   bool            L
//   int64_t         S, I, +
//   double          N, $
//   std::string     A (raw bytes in the table's code page, without padding)
//   Bytes           Y; also accepted for blob fields by the writer (the full blob)
//   Date, Time, Timestamp, Bcd
//   BlobRef         M, B, F, O, G as read
// The writer also accepts std::string for blob fields (the full value) and int64_t
// for N/$, double for S/I (when integral).
using Value = std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, Date, Time,
                           Timestamp, Bcd, BlobRef>;

inline bool IsNull(const Value& v) {
  return std::holds_alternative<std::monostate>(v);
}

// Decodes one field from exactly field.Size() bytes. Corruption (naming the field and
// why) for a value field_rules.h's CheckField calls invalid (a wrong byte count too);
// the odd values it keeps (alpha garbage after the NUL, BCD nibbles > 9, NaN numbers,
// dates before year 1) decode. FieldValid says the same without building a value.
Result<Value> DecodeField(const FieldDesc& field, ByteSpan raw);
// Encodes into exactly field.Size() bytes. InvalidArgument for a value of the wrong
// kind or out of range (including the unrepresentable minimum integers, over-long
// alpha, a BCD text with too many digits, dates and timestamps outside field_rules.h's
// years). Blob fields accept only a BlobRef here
// (the writer turns full values into BlobRefs).
Status EncodeField(const FieldDesc& field, const Value& value, MutableByteSpan out);

// Low-level codecs (blank handling is the caller's: these encode real values).
void EncodeInt16(int16_t v, uint8_t* out);  // big-endian, top bit flipped
int16_t DecodeInt16(const uint8_t* in);
void EncodeInt32(int32_t v, uint8_t* out);
int32_t DecodeInt32(const uint8_t* in);
// Block numbers and counts in index entries and in X-record hints: the short encoding
// read as an unsigned word, 0..65535 (block 1 is 80 01, block 32768 is 00 00, which
// here is a number and not a blank).
void EncodeIndexWord(uint16_t v, uint8_t* out);
uint16_t DecodeIndexWord(const uint8_t* in);
void EncodeDouble(double v, uint8_t* out);  // 8 bytes, sortable transform
double DecodeDouble(const uint8_t* in);     // caller checks all-zero (blank) first
// BCD: `text` as described at Bcd; decimals 0..32. InvalidArgument on bad text.
Status EncodeBcd(const std::string& text, uint8_t decimals, uint8_t* out17);
// Corruption for bytes CheckField calls invalid or blank.
Result<Bcd> DecodeBcd(const uint8_t* in17, uint8_t decimals);
// The number the decimal digits of a Bcd::text give: the text cut at its first nibble
// above 9 (A-F). Fraction digits from there on are dropped; integer digits from there on
// read as 0 and the fraction goes ("0.12299B00E" -> "0.12299", "12B4.56" -> "1200"); a
// value that is then zero loses its sign. A text without A-F comes back as it is.
std::string BcdNumberText(std::string_view text);
bool IsAllZero(ByteSpan b);

// Calendar helpers (proleptic Gregorian).
int32_t DaysFromCivil(int year, unsigned month, unsigned day);  // 0001-01-01 -> 1
void CivilFromDays(int32_t days, int* year, unsigned* month, unsigned* day);
// Text forms used by dumps/CSV: "YYYY-MM-DD" (ISO 8601 expanded before year 1:
// "-0001-12-31", year 0 being 1 BC), "HH:MM:SS.mmm", "YYYY-MM-DD HH:MM:SS.mmm" with
// further digits when a timestamp holds a fraction of a millisecond. The Parse
// functions read them back to the same value (a timestamp also with 'T' for the
// space); false for any other text.
std::string FormatDate(Date d);
std::string FormatTime(Time t);
std::string FormatTimestamp(Timestamp t);
// The same texts written into a caller's buffer (dump writes millions of them): Write*
// need room for kMaxDateTimeText bytes at `out` and return the end of the text.
constexpr size_t kMaxDateTimeText = 40;
char* WriteDate(char* out, Date d);
char* WriteTime(char* out, Time t);
void AppendTimestamp(std::string* out, Timestamp t);
// Bcd::text of 17 stored bytes whose first byte DecodeBcd accepts (decimals <= 32):
// at most 34 bytes at `out`; returns the end. *badNibbles as Bcd::hasBadNibbles.
char* WriteBcdText(char* out, const uint8_t* in17, uint8_t decimals, bool* badNibbles);
bool ParseDate(std::string_view text, Date* out);
bool ParseTime(std::string_view text, Time* out);
bool ParseTimestamp(std::string_view text, Timestamp* out);
constexpr double kUnixEpochMs = 62135683200000.0;  // Timestamp ms of 1970-01-01 00:00

// Human/CSV text of a value: alpha converted from `codePage` to UTF-8, numbers in C
// locale, BCD as BcdNumberText, blobs as "<blob N bytes>", bytes as hex. Null -> "".
std::string ValueToText(const Value& v, uint16_t codePage);

}  // namespace paradox
