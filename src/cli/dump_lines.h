// rekasto dump's lines. A record's CSV or JSON line is written straight from its stored bytes
// into one buffer: no Value per field and no allocation per field, blobs through the
// .MB's kept unit. The same line made through decoded Values, ValueRenderer and
// nlohmann::json (the path dump took before) stays as the reference the direct one
// is tested against, byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "paradox/format/blob.h"
#include "paradox/format/codepage.h"
#include "paradox/format/format.h"
#include "table_out.h"

namespace rekasto {

struct DumpSettings {
  bool json = false;
  std::string nullText;  // CSV: the text of a blank value
  std::string blobDir;   // "" = blob values inline; else each goes to a file there
  std::string stem;      // the table's file name stem, for blob file names
};

class DumpLines {
 public:
  // blobs may be null (no .MB). Every reference must outlive this.
  DumpLines(const paradox::TableHeader& h, const paradox::Charset& charset,
            paradox::BlobFile* blobs, DumpSettings settings, paradox::FileSystem* fs);

  // CSV: the line of field names with its "\n"; JSON: "".
  std::string HeaderLine() const;

  // Appends the line of one record (recordSize bytes; `ordinal` 0-based) with its "\n"
  // and returns true. A record with a field that does not decode gives false, *error
  // set to why (DecodeField's message) and *out as it was: the record is skipped. A
  // blob that cannot be read or written shows as a blank and adds its problem to
  // *problems.
  bool Append(paradox::ByteSpan raw, uint64_t ordinal, std::string* out,
              std::vector<std::string>* problems, std::string* error);
  // The same through DecodeField, ValueRenderer and nlohmann::json.
  bool AppendReference(paradox::ByteSpan raw, uint64_t ordinal, std::string* out,
                       std::vector<std::string>* problems, std::string* error);

 private:
  // Whether every field holds a valid value (field_rules.h); else *error says why.
  bool RecordValid(paradox::ByteSpan raw, std::string* error) const;
  // Field i's value, whose bytes are at p, in the output format.
  void AppendField(size_t i, const uint8_t* p, uint64_t ordinal, std::string* out,
                   std::vector<std::string>* problems);
  // The non-blank values of S, I, +, N and $; D, T and @; # (BcdNumberText's number).
  void AppendNumber(paradox::FieldType type, const uint8_t* p, std::string* out) const;
  void AppendMoment(paradox::FieldType type, const uint8_t* p, std::string* out) const;
  void AppendBcd(uint8_t decimals, const uint8_t* p, std::string* out) const;
  // Appends alpha or memo text in the output format.
  void AppendText(const uint8_t* p, size_t n, std::string* out) const;
  void AppendBlob(size_t i, const uint8_t* p, uint64_t ordinal, std::string* out,
                  std::vector<std::string>* problems);
  // Quotes the text *out holds from `at` on when CSV needs it.
  static void QuoteFrom(std::string* out, size_t at);
  // Makes the UTF-8 text *out holds from `at` on a JSON string.
  static void JsonQuoteFrom(std::string* out, size_t at);
  // A blank, the text appended from `at` on, bytes: in the output format.
  void Null(std::string* out) const;
  void Text(std::string* out, size_t at) const;
  // Text that needs neither CSV quotes nor JSON escapes (numbers, dates, times).
  void PlainText(std::string* out, size_t at) const;
  void ByteValue(std::string* out, const uint8_t* p, size_t n) const;

  const paradox::TableHeader& h_;
  paradox::BlobFile* blobs_;
  DumpSettings settings_;
  ValueRenderer render_;
  paradox::Utf8Appender utf8_;
  std::vector<std::string> fieldNames_;  // UTF-8, as stored
  std::vector<std::string> names_;       // the same, distinct for JSON
  std::vector<std::string> jsonKeys_;    // "name": of each field
  std::string nullField_;                // the CSV field of a blank value
  paradox::Bytes blob_;                  // the current blob value
  // Per field, what the loops need of its descriptor.
  struct Column {
    paradox::FieldType type;
    uint32_t offset, size;
    bool blob;
    bool canFail;  // the type can hold an invalid value
  };
  std::vector<Column> columns_;
  // Per byte of alpha text (when the code page converts byte by byte): whether its
  // UTF-8 needs CSV quotes or JSON escapes, so that most values skip the scan.
  bool marked_[256] = {};
  bool bytewise_ = false;
  bool asciiSame_ = false;  // bytes below 0x80 convert to themselves
};

// RealText's text into `out` (room for 32 bytes): the end of the text.
char* WriteReal(char* out, double d);

}  // namespace rekasto
