// Text in a table's code page, to and from UTF-8, through glibc's iconv.
//
// A table names its encoding by the code page at header 0x6A (level 4 and later) or,
// where that is 0 or absent, by its sort order (the name at level 4 and later, the
// byte at level 3). Every code page either can imply is known here: the DOS pages
// 437-869, the Windows pages 874 and 1250-1258, the CJK pages 932/936/949/950 and HP
// Roman-8 (which has no code page number: sort order "BLROM800"). Anything else is
// unknown, and saying so is the caller's job (a CLI warning, a verify finding).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "paradox/format/coding.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"

namespace paradox {

// A text encoding: the iconv name and the code page number (0 when the encoding has
// none, as HP Roman-8, or when it was named by iconv name only).
struct Charset {
  uint16_t codePage = 0;
  std::string name;  // iconv name ("CP865", "HP-ROMAN8"); empty = unknown
  bool known() const { return !name.empty(); }
  // "865", "HP-ROMAN8", or "unknown" for display.
  std::string Label() const;
  bool operator==(const Charset&) const = default;
};

// The charset of a code page number; unknown (empty name) when glibc has none for it.
Charset CharsetForCodePage(uint16_t codePage);
// A user's choice: a number ("865") or any iconv name ("KOI8-R", "cp1252"; checked by
// opening a converter). InvalidArgument naming the text when neither works.
Result<Charset> ParseCharset(std::string_view text);

// Where a table's charset comes from, and what it is.
struct TableCharset {
  enum class Source { kHeader, kSortOrderName, kSortOrderByte, kUnknown };
  Charset charset;
  Source source = Source::kUnknown;
  // Why it is unknown, for warnings: "code page 867 has no converter",
  // "code page 0 and sort order \"xyz\" name no code page".
  std::string problem;
};
TableCharset CharsetOfTable(const TableHeader& h);

// Code page a sort order name implies (case-sensitive names as stored: "ascii",
// "ANSII850", "nordan", "BLROM800", ...): -1 when the name is unknown, 0 for HP
// Roman-8 ("BLROM800").
int CodePageForSortOrderName(std::string_view name);
// Code page for a table without one stored (level 3.x): from the sort order byte,
// read as one of the DOS product's sort orders. 0 when the byte names none.
uint16_t CodePageForSortOrder(uint8_t sortOrder);
// Sort order byte and name the writer uses for a code page ("ascii" 0x00 for 437,
// "ANSII850" 0x11 for 1252, ...).
void SortOrderForCodePage(uint16_t codePage, uint8_t* sortOrder, std::string* sortOrderId);

bool IsSupportedCodePage(uint16_t codePage);
// Never fails. Single-byte charsets map every byte: a byte the charset leaves
// undefined becomes the C1 control or Latin-1 code point of its value (U+F700 + the
// byte when the page has that character elsewhere), so the text converts back to the
// same bytes. In multi-byte charsets a byte sequence that is not
// a character becomes U+FFFD. An unknown charset reads as code page 1252 (callers that
// allow one must warn).
std::string ToUtf8(std::string_view bytes, const Charset& charset);
std::string ToUtf8(std::string_view bytes, uint16_t codePage);
// ToUtf8 for one charset, value after value, appended to a buffer without allocating
// (dump converts every alpha field). The same text as ToUtf8(bytes, charset): single-
// byte pages that convert byte by byte go through a copy of their table, the others
// through ToUtf8 itself.
class Utf8Appender {
 public:
  explicit Utf8Appender(Charset charset);
  // Whether Append goes byte by byte through a table, and then a byte's UTF-8.
  bool bytewise() const { return table_; }
  std::string_view Utf8Of(unsigned char b) const {
    return std::string_view(reinterpret_cast<const char*>(&utf8_[b]), utf8_[b] >> 24);
  }
  void Append(std::string_view bytes, std::string* out) const {
    if (!table_) {
      out->append(ToUtf8(bytes, charset_));
      return;
    }
    const size_t at = out->size();
    out->resize(at + bytes.size() * 3 + 1);
    char* o = out->data() + at;
    for (unsigned char c : bytes) {
      const uint32_t u = utf8_[c];  // the bytes from the lowest, the count in the top byte
      std::memcpy(o, &u, 4);        // room: at most 3 bytes a character, and one spare
      o += u >> 24;
    }
    out->resize(size_t(o - out->data()));
  }

 private:
  Charset charset_;
  bool table_ = false;
  uint32_t utf8_[256] = {};
};

// InvalidArgument if the text is not valid UTF-8, has a character the charset lacks
// (naming it), or the charset is unknown.
Result<std::string> FromUtf8(std::string_view utf8, const Charset& charset);
Result<std::string> FromUtf8(std::string_view utf8, uint16_t codePage);

// Columns `utf8` takes on a terminal: combining marks 0, East Asian wide and
// fullwidth characters 2, others 1. For aligning names in any script.
size_t DisplayWidth(std::string_view utf8);

}  // namespace paradox
