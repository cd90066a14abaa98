// Field profiles: what a table's own values look like, and which records do not look
// like them.
//
// A profile is learned in one pass over raw field bytes. It works on a column given as
// (FieldType, size byte) at an offset of a record: the verifier and the salvage build it
// from a table's header (TableProfile::ForHeader); a structure guess for a table whose
// header is lost builds one per candidate (type, size) at an offset, learns the column
// over every record and asks FieldProfile::Summary how much the column looks like data
// of that type (FieldProfile alone, no header needed).
//
// What a column's profile holds: how many values are blank, invalid by the value rule
// (field_rules.h: CheckField, the one rule; not repeated here), and for the rest a
// histogram over an ordinal scale of the type (integers: bit length of the magnitude;
// numbers: binary exponent; dates and timestamps: 4-year spans) plus a few traits
// (alpha: bytes after the text's NUL, control bytes, bytes above 0x7F; NaN;
// autoincrement values not positive or above the header's counter). Each histogram cell
// counts values and the blocks that hold them.
//
// The judgement (TableProfile::JudgeBlock) is leave-one-block-out: a block's values are
// compared with what the *other* blocks hold, so a block of garbage is never its own
// witness. Random bytes spread thinly over many cells; real data clusters in cells that
// several blocks share. A value is odd when no cell near it is held by enough other
// blocks (and the others' values cluster: a column spread thinly over its scale gives
// no such sign); signs are strong (a trait no other block's data has: control bytes in text, an
// autoincrement out of range, an all-zero record, a torn record; or a value the rule
// refuses) or weak (text tails or bytes above 0x7F that no other block's text has, NaN,
// a magnitude or date far outside the other blocks'). A record is implausible with one
// strong or two weak signs; a kind of text or NaN sign counts once however many fields
// show it (stale bytes after shorter texts are one fault, not several); a block is damaged when
// half of its records (and at least two, unless it holds one) are implausible, one of them by more
// than the rule's refusal. A block whose records end in zero bytes that the other
// blocks' records do not show was torn in writing (BlockJudgement::tornFrom). Columns
// whose other blocks hold fewer than kMinEvidence values give no relative signs: a table
// of a few records is never judged against itself.
//
// Cost: learning is a few array updates per field, no allocation. Only the blocks that
// hold a value that could be odd (SuspectBlocks, known after learning) need judging.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "paradox/format/field_rules.h"
#include "paradox/format/format.h"

namespace paradox {

// Why a value, or a record, does not look like the table's other data.
enum class Oddity : uint8_t {
  kNone,
  // Strong signs.
  kInvalid,       // the value rule refuses it
  kAlphaControl,  // control bytes in the text, which no other block's text has
  kAutoIncLow,    // autoincrement value not positive, which no other block holds
  kAutoIncHigh,   // autoincrement value above the header's counter (the highest issued),
                  // which no other block holds
  kBlobPointer,   // a blob pointer to no block of the .MB, which no other block has
  kZeroRecord,    // a zero record of a torn write; no other block has such a record
  kTorn,          // the record a torn write's zeros begin in
  // Weak signs.
  kAlphaTail,  // bytes after the text's NUL, which no other block's text has
  kAlphaHigh,  // bytes above 0x7F in the text, which no other block's text has
  kNan,        // NaN, which no other block holds
  kLarge,      // magnitude far above the other blocks' values
  kSmall,      // magnitude far below the other blocks' values (numbers)
  kDateFar,    // date far outside the years of the other blocks' dates
};
bool IsStrong(Oddity o);
// "control bytes in the text, which no other block's text has", ...
std::string_view OddityText(Oddity o);

// What a column's values look like, for a structure guess.
struct ColumnSummary {
  uint64_t values = 0;   // all values learned
  uint64_t blanks = 0;   // blank (null)
  uint64_t invalid = 0;  // refused by the value rule
  uint64_t odd = 0;      // kept by the rule but odd (alpha tail, NaN, BCD digit, early date)
  uint64_t control = 0;  // alpha: values with control bytes in the text
  uint64_t high = 0;     // alpha: values with bytes above 0x7F in the text
  uint64_t modern = 0;   // dates/timestamps in 1900..2100
  // Non-blank valid values inside the densest window of the type's scale (integers:
  // 8 bit lengths; numbers: 40 binary exponents; dates: 200 years); random bytes spread.
  uint64_t clustered = 0;
  // 0..1: how much the column looks like real data of its type (valid, no tails or
  // control bytes, clustered, integers below the type's top 3 bits of magnitude, dates
  // of 1900..2100). 0.5 when every value is blank or the
  // type gives no evidence (bytes, blobs).
  double plausibility = 0.5;
};

// The profile of one column.
class FieldProfile {
 public:
  // `autoIncCounter`: for an autoincrement column, the header's counter (the highest
  // value issued), if known.
  FieldProfile(FieldType type, uint8_t sizeByte, std::optional<uint32_t> autoIncCounter = {});

  FieldType type() const { return type_; }
  uint8_t sizeByte() const { return sizeByte_; }
  // Bytes of one value: StoredFieldSize(type, sizeByte).
  uint32_t size() const { return size_; }

  // Learns one value (size() bytes) of a record of block `block`. The records of one
  // block come together (a block that comes back later counts as another block: only
  // more lenient).
  void Learn(const uint8_t* p, uint32_t block);
  ColumnSummary Summary() const;

  // How one value sits on the profile's scale (internal to the judgement, public for
  // tests).
  struct Traits {
    int32_t cell = -1;  // histogram cell, -1 = none (blank, invalid, or no scale)
    uint8_t flags = 0;  // kTrait* bits
    bool blank = false;
    bool modern = false;  // a date or timestamp of 1900..2100
    FieldIssue issue = FieldIssue::kNone;
  };
  Traits Classify(const uint8_t* p) const;

 private:
  friend class TableProfile;
  enum Trait : uint8_t {
    kTraitTail,
    kTraitControl,
    kTraitHigh,
    kTraitNan,
    kTraitAutoLow,
    kTraitAutoHigh,
    kTraitBlob,  // a pointer into the .MB that is not at one of its 4 KiB blocks
    kTraitInvalid,
    kTraitCount
  };
  Traits ClassifyInline(const uint8_t* p) const;
  // Values and the blocks that hold them.
  struct Cell {
    uint32_t count = 0;
    uint32_t blocks = 0;
    uint32_t first = 0;  // first and last block holding it (blocks numbered from 0 here)
    uint32_t last = 0;
    uint32_t mark = 0;  // JudgeBlock: block + 1 when the judged block holds it
    void Add(uint32_t block) {
      if (count++ == 0 || block != last) {
        if (blocks++ == 0) first = block;
        last = block;
      }
    }
  };
  enum class Scale : uint8_t { kNone, kInt16, kInt32, kDouble, kDay };
  // Whether the value in `cell` is far from every cell held by enough other blocks;
  // `values`: the other blocks' values (spread thinly over the cells, they show no range).
  Oddity FarFromOthers(int32_t cell, uint32_t own, uint32_t need, uint32_t values,
                       bool noneIsOdd = false) const;

  FieldType type_;
  uint8_t sizeByte_;
  uint32_t size_;
  std::optional<uint32_t> counter_;
  Scale scale_ = Scale::kNone;
  uint64_t blanks_ = 0, invalid_ = 0, odd_ = 0, modern_ = 0;
  Cell any_;  // non-blank values
  std::array<Cell, kTraitCount> traits_{};
  std::vector<Cell> cells_;
  std::vector<int32_t> occupied_;  // cells with values, ascending (after Finish)
  uint32_t ownValues_ = 0;         // JudgeBlock: non-blank values of the judged block
};

// A column of a record: where the field lies.
struct ProfileColumn {
  FieldType type;
  uint8_t sizeByte;
  uint32_t offset;
  std::string name;  // for the reasons' texts
};

// One sign found in a record.
struct RecordSign {
  uint16_t column = 0;  // index into the columns; kRecordWide for kZeroRecord
  Oddity oddity = Oddity::kNone;
};
inline constexpr uint16_t kRecordWide = 0xFFFF;

// What the judgement says of one record. Holds its first few signs (no allocation).
struct RecordJudgement {
  uint32_t index = 0;  // slot in the block
  uint16_t score = 0;  // strong signs count 2, weak 1
  uint8_t signCount = 0;
  std::array<RecordSign, 4> signs{};
  bool implausible() const { return score >= 2; }
  // A record of a torn write (BlockJudgement::tornFrom): set aside whatever the rest of
  // the block holds.
  bool setAside = false;
  // A sign beyond the value rule's refusals (which the rule's users report already).
  bool Relative() const {
    for (uint8_t i = 0; i < signCount; ++i)
      if (signs[i].oddity != Oddity::kInvalid) return true;
    return false;
  }
};

// What the judgement says of one block.
struct BlockJudgement {
  uint32_t records = 0;
  uint32_t implausible = 0;
  // Mostly implausible: half of the records, and at least two unless the block holds
  // one record; one of them by more than the value rule's refusal.
  bool damaged = false;
  // A torn write: the block's records end in zero records that the other blocks do not
  // hold, their zeros beginning at or reaching over a 512-byte sector boundary (and the
  // record the boundary falls in). Slots tornFrom..records-1 were not written as they
  // are; `records` when none.
  uint32_t tornFrom = 0;
  // Records set aside on their own (RecordJudgement::setAside); `damaged` judges the
  // others.
  uint32_t setAside = 0;
};

// The profiles of a record's columns, and the judgement of records and blocks.
class TableProfile {
 public:
  // Values of fewer than this many records of other blocks give no relative signs.
  static constexpr uint32_t kMinEvidence = 8;
  // All-zero records are judged against this many records of other blocks.
  static constexpr uint32_t kMinZeroEvidence = 2;

  TableProfile(std::vector<ProfileColumn> columns, uint32_t recordSize,
               std::optional<uint32_t> autoIncCounter = {});
  // Every field of the table (blob fields by their pointer only).
  static TableProfile ForHeader(const TableHeader& h);

  // Learns one record (recordSize bytes) of block `block`; the records of a block come
  // together.
  void Learn(uint32_t block, const uint8_t* record);
  // Learns the `count` records of a block's record area (recordSize bytes apart, 6 bytes
  // into the block) and notes whether its end may be a torn write's, which no value
  // shows: SuspectBlocks names such a block too.
  void LearnBlock(uint32_t block, const uint8_t* records, uint32_t count);
  // Ends the learning; before SuspectBlocks and JudgeBlock (again after more learning).
  void Finish();
  const std::vector<FieldProfile>& profiles() const { return profiles_; }
  const std::vector<ProfileColumn>& columns() const { return columns_; }

  // After Finish: the blocks holding a value that may be odd, ascending. Only they can
  // hold implausible records; every other block is sound.
  std::vector<uint32_t> SuspectBlocks() const;

  // Judges the `count` records at `records` (recordSize bytes apart; a block's record
  // area, 6 bytes into the block, where its sectors tell a torn write) of block `block`,
  // whose records were learned. `out` (optional) gets the judgement of every implausible
  // record; it is cleared first and its storage reused.
  BlockJudgement JudgeBlock(uint32_t block, const uint8_t* records, uint32_t count,
                            std::vector<RecordJudgement>* out = nullptr);

  // "field \"NAME\": control bytes in the text, which no other block's text has; ..."
  std::string Reasons(const RecordJudgement& j) const;

 private:
  std::vector<ProfileColumn> columns_;
  std::vector<FieldProfile> profiles_;
  uint32_t recordSize_;
  FieldProfile::Cell zero_;         // all-zero records
  FieldProfile::Cell all_;          // every record
  std::vector<uint32_t> learned_;   // the columns Learn reads
  std::vector<uint32_t> zeroEnds_;  // blocks whose records end in zero records from a sector on
};

}  // namespace paradox
