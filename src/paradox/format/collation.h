// Collations of alpha keys: the order in which the engine keeps the keys of a table
// (.DB records of a keyed table, .PX entries, .Xnn/.XGn records, .Y/.YG entries), one
// per sort order ("language driver") a header can name, and the driver's upper-case map
// that case-insensitive indexes store their alpha keys in.
//
// A header names its sort order by a byte (0x29) and, from level 4 on, by a name (the
// sortOrderID). The name is authoritative: several drivers share a byte (0x8F is "polish"
// and "ancyrr"). A header without a name (level 3.x, .PX and .Y files) is looked up by
// the byte, DOS drivers first (level 3 tables predate the Windows drivers).
//
// "ascii" is plain unsigned byte order. Every other known driver orders text in levels:
// primary weights (letters, accents folded), then the first secondary difference
// (accents; the last one for drivers that compare accents from the end), then the first
// tertiary difference, then whether an expanded character (one byte sorting as two)
// stands against the two characters it expands to, the expansion sorting after.
// Contractions (two bytes sorting as one letter, as Czech "ch") and ignorable
// characters are part of some drivers. Values the driver sees as equal are then put in
// byte order, so that the order is total: a stored key is equal only to itself.
//
// Alpha values are compared as stored: the text ends at the first NUL (a blank value is
// the empty text and sorts first); bytes after it do not take part.
//
// KeyOrder is the one comparison of keys in the library: the verifier, the writer and
// the salvage all use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/format.h"

namespace paradox {

namespace coll {
struct DriverTable;
}

class Collation {
 public:
  // The collation the header names; nullptr when this library does not know it.
  static const Collation* ForHeader(const TableHeader& h);
  static const Collation* ForName(std::string_view sortOrderId);
  static const Collation* ForId(uint8_t sortOrder);
  // "ascii": unsigned byte order, upper case for a-z only.
  static const Collation& ByteOrder();
  // Every collation known, "ascii" first.
  static const std::vector<const Collation*>& All();

  const std::string& name() const { return name_; }
  uint8_t id() const { return id_; }
  uint16_t codePage() const { return codePage_; }
  bool IsByteOrder() const { return table_ == nullptr; }

  // Order of two alpha values as stored (NUL-terminated or NUL-padded): < 0, 0, > 0.
  int Compare(ByteSpan a, ByteSpan b) const;
  // Appends a sort key of the value: keys compare as unsigned bytes (memcmp, shorter
  // first when one is a prefix) exactly as Compare orders the values. The key is
  // prefix-free, so keys of several fields may be concatenated.
  void AppendSortKey(ByteSpan value, Bytes* out) const;
  // The driver's upper-case map (what case-insensitive indexes store).
  uint8_t Upper(uint8_t c) const { return upper_[c]; }
  // Upper-cases `value` in place.
  void FoldUpper(MutableByteSpan value) const;
  // True when every byte of the text is its own upper case.
  bool IsFolded(ByteSpan value) const;

  explicit Collation(const coll::DriverTable* table);  // nullptr = "ascii"

 private:
  struct Element;
  class Cursor;
  int CompareSpecials(ByteSpan a, ByteSpan b) const;

  const coll::DriverTable* table_;
  std::string name_;
  uint8_t id_ = 0;
  uint16_t codePage_ = 0;
  uint8_t upper_[256];
  uint8_t kind_[256];  // 0 plain, 1 expands, 2 starts a contraction, 3 ignorable
};

// Order of the keys of one DB-format file (a keyed .DB or an .Xnn/.XGn file) and of
// the index entries over it (.PX/.Y/.YG entries hold the key bytes in the same layout):
// its first primaryKeyFields fields at their record offsets, field by field; alpha
// fields in the header's collation, every other type by its stored bytes (every
// encoding sorts like its values, blank first); fields of a descending index (bit 15 of
// the field number in an X/XG header) reversed. Equal keys are byte-identical keys.
class KeyOrder {
 public:
  enum class Unknown {
    kPartial,  // compare only the leading fields that every collation orders alike
    kBytes,    // order alpha fields by bytes (what a writer can do for such a table)
  };
  explicit KeyOrder(const TableHeader& h, Unknown unknown = Unknown::kPartial);
  // Orders that leave the header's collation aside, field by field: every field by its
  // bytes, or alpha fields first by their bytes with a-z folded to upper case (what a
  // salvage can do for a collation it does not know), then by their bytes. Only the
  // leading key fields that lie within the first `available` bytes take part.
  enum class Plain { kBytes, kFoldedAscii };
  KeyOrder(const TableHeader& h, Plain plain, size_t available = SIZE_MAX);
  KeyOrder() = default;  // no key: every key compares equal

  // The header's collation is known (or the key has no alpha field before the end).
  bool known() const { return known_; }
  const Collation* collation() const { return collation_; }
  uint32_t keyLength() const { return keyLength_; }
  // Leading key bytes that compare in full whatever the collation (kPartial).
  uint32_t certainPrefix() const { return certainPrefix_; }

  // Keys of two records (or index entries): < 0, 0, > 0. With an unknown collation
  // (kPartial) 0 means "equal as far as it can be told".
  int Compare(const uint8_t* a, const uint8_t* b) const;
  bool Less(const uint8_t* a, const uint8_t* b) const { return Compare(a, b) < 0; }
  // Sort key of the key of `rec` (memcmp order = Compare order; kPartial with an
  // unknown collation: the certain prefix only).
  void AppendSortKey(const uint8_t* rec, Bytes* out) const;

 private:
  struct Field {
    uint32_t offset;
    uint32_t size;
    bool alpha;
    bool descending;
  };
  void AddKeyFields(const TableHeader& h, size_t available);
  int ComparePlain(const uint8_t* a, const uint8_t* b) const;

  std::vector<Field> fields_;
  std::optional<Plain> plain_;
  const Collation* collation_ = nullptr;
  bool known_ = true;
  uint32_t keyLength_ = 0;
  uint32_t certainPrefix_ = 0;
  size_t usable_ = 0;  // fields compared (all when known)
};

// A name of the table (a field's, in its code page) in upper case, for comparing names
// without regard to case: ASCII letters as ASCII, every other byte by the sort order's
// upper-case map (`collation`: Collation::ForHeader of the table; nullptr, an unknown
// sort order, leaves them as they are). Never the process's locale.
std::string UpperCaseName(std::string_view name, const Collation* collation);

// True when the header's keys can be put in the engine's order by this library
// (a known collation, or no alpha key field).
bool HasKnownCollation(const TableHeader& h);

}  // namespace paradox
