// What dump and export share: the text encoding a table is read in, and its field
// values turned into typed output values (null, boolean, integer, real, text, bytes),
// blobs resolved in the .MB and optionally written to files of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "paradox/format/blob.h"
#include "paradox/format/codepage.h"
#include "paradox/format/format.h"
#include "paradox/format/value.h"

namespace rekasto {

// --codepage's value: a number or an iconv name. False (with the error written) when
// it names no converter.
bool ParseCodepageOption(const std::string& text, std::optional<paradox::Charset>* out, Io& io);

// The charset to read `table` in: `override` when given, else the table's own. An
// unknown one is read as 1252, with a warning on io.err naming the table and what
// is unknown ("--codepage N chooses one").
paradox::Charset ChooseCharset(const paradox::TableHeader& h,
                               const std::optional<paradox::Charset>& override,
                               const std::string& table, Io& io);

// A value ready for output.
struct OutValue {
  enum class Kind { kNull, kBool, kInteger, kReal, kText, kBytes };
  Kind kind = Kind::kNull;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string text;      // kText: UTF-8
  paradox::Bytes bytes;  // kBytes
  // Set when the value went to a file (--blobs): its name inside the blob folder;
  // the value then shows as that name.
  std::string fileName;
};

// How each field type is given:
//   L boolean; S, I, + integer; N, $ real; A, M text in UTF-8 (every stored byte: a
//   memo keeps trailing NULs); D, T, @ ISO 8601 text (paradox::FormatDate/Time/
//   Timestamp); # decimal text (paradox::BcdNumberText: the digits up to a nibble above
//   9); Y, B, F bytes (a formatted memo is binary formatting around its text: all of its
//   bytes); G, O the bytes after their 8-byte sub-header (the image or object data), all
//   of them when that header is not there.
class ValueRenderer {
 public:
  // blobs may be null (no .MB): blob values beyond their leader are then problems.
  // blobDir: "" = keep blob values inline; else M, F, B, O, G values go to files there,
  // named "<stem>_<record>_<field number>_<field name>.<ext>".
  ValueRenderer(const paradox::TableHeader& h, paradox::Charset charset, paradox::BlobFile* blobs,
                std::string blobDir, std::string stem, paradox::FileSystem* fs);

  // Field i of record `ordinal` (0-based). A blob that cannot be read or written gives
  // a null value and `problem` (otherwise left empty). `resolved`: the blob's full
  // value when the caller already has it (the salvage resolves them), else null.
  OutValue Render(size_t field, const paradox::Value& v, uint64_t ordinal, std::string* problem,
                  const paradox::Bytes* resolved = nullptr);
  const paradox::Charset& charset() const { return charset_; }

 private:
  paradox::Result<paradox::Bytes> BlobBytes(size_t field, const paradox::BlobRef& ref,
                                            const paradox::Bytes* resolved);
  const paradox::TableHeader& h_;
  paradox::Charset charset_;
  paradox::BlobFile* blobs_;
  std::string blobDir_, stem_;
  paradox::FileSystem* fs_;
};

// Column names for formats that need them distinct (JSON keys, SQLite columns): an
// empty name becomes "field N", a name repeating an earlier one (ignoring ASCII case)
// gets "_2", "_3", ... (damaged headers have both).
std::vector<std::string> DistinctNames(const std::vector<std::string>& names);

// Real number text that reads back as the same double (the shortest of %.15g..%.17g);
// "NaN", "Infinity", "-Infinity" for the others.
std::string RealText(double d);
std::string HexText(const paradox::Bytes& b);
std::string Base64Text(const paradox::Bytes& b);

}  // namespace rekasto
