// Checks of a DB-format file (the table's .DB, or a secondary index's .Xnn/.XGn):
// header, file size, the data chain and free list against a block bitmap, and every
// record of every chained block (values, key order, blob pointers, index hints).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "paradox/format/chain.h"
#include "paradox/format/codepage.h"
#include "paradox/format/crypt.h"
#include "paradox/format/value.h"
#include "paradox/verify/verify_internal.h"

namespace paradox::verify {

namespace {

// Bytes per read in the record pass: stays in the L2 cache.
constexpr size_t kReadChunk = 128 << 10;
constexpr uint32_t kMaxDate = 3652059;  // 9999-12-31
constexpr int32_t kMsPerDay = 86400000;

bool ValidBlockCode(uint8_t code) {
  return code == 1 || code == 2 || code == 3 || code == 4 || code == 8 || code == 16 || code == 32;
}

std::string N(uint64_t v) {
  return std::to_string(v);
}

// Whether [p, p + n) is all zero, by words: alpha fields are mostly padding, and this
// scan is the record pass's hottest loop.
bool ZeroBytes(const uint8_t* p, size_t n) {
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
bool BcdDigitsValid(const uint8_t* digits, bool negative) {
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

// The four bytes at p as a big-endian number (dates and times).
uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The eight bytes at p as a big-endian number.
uint64_t BigEndian64(const uint8_t* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::little) x = __builtin_bswap64(x);
  return x;
}

// A timestamp's day number as text; any double (huge, infinite) is fine: never cast.
std::string DayText(double ms) {
  if (std::isinf(ms)) return ms < 0 ? "minus infinity" : "infinity";
  char buf[48];
  std::snprintf(buf, sizeof buf, "day %.6g", ms / kMsPerDay);
  return buf;
}

int LevelNumber(TableLevel l) {
  switch (l) {
    case TableLevel::k3_0:
      return 3;
    case TableLevel::k3_5:
      return 35;
    case TableLevel::k4:
      return 4;
    case TableLevel::k5:
      return 5;
    case TableLevel::k7:
      return 7;
  }
  return 0;
}

struct FieldPlan {
  FieldType type;
  uint32_t offset;
  uint32_t size;
  uint8_t sizeByte;
  size_t index;
};

class DataChecker {
 public:
  DataChecker(Context& ctx, const std::string& path, DataRole role, const DataWalk* base)
      : ctx_(ctx), path_(path), role_(role), base_(base), name_(BaseName(path)) {
    walk_.name = name_;
  }

  DataWalk Run();

 private:
  bool IsTable() const { return role_ == DataRole::kTable; }
  Location Loc(uint32_t block = 0, int64_t record = -1,
               std::optional<uint64_t> offset = std::nullopt) const {
    Location l;
    l.file = name_;
    l.block = block;
    l.record = record;
    l.offset = offset;
    return l;
  }
  void Add(std::string_view check, Location where, std::string detail, std::string field = {}) {
    ctx_.sink->Add(check, std::move(where), std::move(detail), std::move(field));
  }
  // Per-record findings build their texts only while the findings budget lasts.
  bool Want(std::string_view check) { return ctx_.sink->Wanted(check); }
  bool OpenAndReadHeader();
  bool CheckHeader();
  // The header checks, in CheckHeader's table.
  bool CheckFileType();
  bool CheckLevel();
  bool CheckBlockSize();
  bool CheckHeaderSize();
  bool CheckFieldCount();
  bool DecodeVariablePart();
  bool CheckFieldList();
  bool CheckKeyFieldCount();
  bool CheckDescriptors();
  bool CheckRecordSize();
  bool CheckFieldNames();
  bool CheckVersionCopies();
  bool CheckOffsets();
  bool CheckPadding();
  bool CheckMarker();
  bool CheckFieldNumbers();
  bool CheckRamPointers();
  bool CheckFieldLayout();
  bool CheckTableFlags();
  bool ReadLists();
  bool KeyFits();
  void ReportLists();
  void RecordPass();
  // Where a record is: its block, its slot and its file offset.
  struct RecordAt {
    uint32_t block;
    uint32_t record;
    uint64_t offset;
  };
  void CheckRecord(const uint8_t* rec, const RecordAt& at);
  // One per group of field types; `v` is the field's bytes inside the record.
  void CheckAlpha(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void CheckDate(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void CheckTime(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void CheckLogical(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void CheckFloat(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void CheckBcd(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void NoteAutoInc(const uint8_t* v);
  void CheckBlobField(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void CheckKeyInBlock(const uint8_t* rec, const RecordAt& at);
  void CheckFolded(const uint8_t* rec, const RecordAt& at);
  const std::string& FieldName(const FieldPlan& p) const { return h_.fields[p.index].name; }
  void AfterPass();
  void PrepareKeys();
  void CheckXHint(const uint8_t* rec, uint32_t block, uint32_t r, uint64_t recOffset);

  Context& ctx_;
  std::string path_;
  DataRole role_;
  const DataWalk* base_;
  std::string name_;
  DataWalk walk_;
  std::unique_ptr<File> file_;
  uint64_t size_ = 0;
  Bytes headerBytes_;
  TableHeader& h_ = walk_.header;
  uint32_t bs_ = 0, hs_ = 0, rs_ = 0, fileBlocks_ = 0, present_ = 0;
  uint32_t key_ = 0;
  // What the header checks settle for the later ones.
  TableLevel level_ = TableLevel::k3_0;
  bool sizeMismatch_ = false;  // the record size word disagrees with the field list
  bool layoutDoubt_ = false;   // the header's own offsets/pointers disagree with its field list
  BlockLists lists_;           // the walk the salvage reads the table by, too
  bool chainBroken_ = false;
  std::vector<FieldPlan> plan_;
  std::vector<uint32_t> keyFieldEnds_;
  // Record-pass state.
  const uint8_t* prevKey_ = nullptr;
  bool anyAutoInc_ = false;
  int64_t maxAutoInc_ = 0;
  uint64_t missingMbRefs_ = 0;
  int autoIncField_ = -1;
  // X files over a keyed table: where the primary key sits in the X record.
  uint32_t hintOffset_ = 0;
  bool hintCheck_ = false;
  uint32_t pkOffset_ = 0, pkSize_ = 0;
  bool pkRangeCheck_ = false;
  std::vector<uint32_t> foldedFields_;  // case-insensitive X/XG: indexed alpha fields
  uint64_t unfolded_ = 0;               // records of such an index not upper-cased
};

bool DataChecker::OpenAndReadHeader() {
  Result<std::unique_ptr<File>> f = ctx_.fs->Open(path_, OpenMode::kRead);
  if (!f.ok()) {
    Add(f.status().IsNotFound() ? "file.missing" : "file.unreadable", Loc(),
        "cannot open " + name_ + ": " + f.status().ToString());
    return false;
  }
  file_ = std::move(f.value());
  Result<uint64_t> sz = file_->Size();
  if (!sz.ok()) {
    Add("file.unreadable", Loc(), "cannot size " + name_ + ": " + sz.status().ToString());
    return false;
  }
  size_ = *sz;
  if (size_ < FixedHeader::kEncodedLength) {
    Add("header.too-short", Loc(),
        "file is " + N(size_) + " bytes but a Paradox header needs at least " +
            N(FixedHeader::kEncodedLength));
    return false;
  }
  Bytes fixed(FixedHeader::kEncodedLength);
  Status st = file_->ReadExact(0, fixed);
  if (!st.ok()) {
    Add("file.unreadable", Loc(), "cannot read the header: " + st.ToString());
    return false;
  }
  st = h_.fixed.DecodeFrom(fixed);
  if (!st.ok()) {
    Add("header.too-short", Loc(), st.ToString());
    return false;
  }
  uint64_t want = std::max<uint64_t>(h_.fixed.headerSize, FixedHeader::kEncodedLength);
  want = std::min<uint64_t>(want, size_);
  headerBytes_.resize(size_t(want));
  st = file_->ReadExact(0, headerBytes_);
  if (!st.ok()) {
    Add("file.unreadable", Loc(), "cannot read the header: " + st.ToString());
    return false;
  }
  return true;
}

// The header checks in the order their findings appear. Each returns false when the
// header cannot be used further: later checks rely on what the earlier ones settled
// (block size, header size, the decoded field list, the record size).
bool DataChecker::CheckHeader() {
  using Check = bool (DataChecker::*)();
  static constexpr Check kChecks[] = {
      &DataChecker::CheckFileType,    &DataChecker::CheckLevel,
      &DataChecker::CheckBlockSize,   &DataChecker::CheckHeaderSize,
      &DataChecker::CheckFieldCount,  &DataChecker::DecodeVariablePart,
      &DataChecker::CheckFieldList,   &DataChecker::CheckRecordSize,
      &DataChecker::CheckFieldNames,  &DataChecker::CheckVersionCopies,
      &DataChecker::CheckOffsets,     &DataChecker::CheckPadding,
      &DataChecker::CheckMarker,      &DataChecker::CheckFieldNumbers,
      &DataChecker::CheckRamPointers, &DataChecker::CheckFieldLayout,
      &DataChecker::CheckTableFlags,
  };
  for (Check check : kChecks)
    if (!(this->*check)()) return false;
  return true;
}

bool DataChecker::CheckFileType() {
  const FixedHeader& f = h_.fixed;
  if (IsTable()) {
    TableSummary& sum = ctx_.report->summary;
    sum.headerRead = true;
    sum.fileType = f.fileType;
    sum.versionId = f.fileVersionId;
  }
  const bool typeOk =
      IsTable() ? (f.fileType == 0 || f.fileType == 2) : IsSecondaryDataType(f.fileType);
  if (typeOk) return true;
  std::string what =
      IsTable() ? "0 (keyed table) or 2 (unkeyed table)" : "3, 5, 6 or 8 (secondary index)";
  Add("header.file-type", Loc(0, -1, 0x04),
      "file type is " + N(f.fileType) + " but should be " + what);
  return false;
}

bool DataChecker::CheckLevel() {
  const FixedHeader& f = h_.fixed;
  if (!LevelFromVersionId(f.fileVersionId, &level_)) {
    Add("header.version", Loc(0, -1, 0x39),
        "table level byte is " + N(f.fileVersionId) + " but should be 3..12");
    return false;
  }
  if (IsTable()) ctx_.report->summary.level = LevelNumber(level_);
  return true;
}

bool DataChecker::CheckBlockSize() {
  const FixedHeader& f = h_.fixed;
  if (!ValidBlockCode(f.blockSizeCode)) {
    if (f.blockSizeCode == 0 || f.blockSizeCode > 32) {
      Add("header.block-size", Loc(0, -1, 0x05),
          "block size code is " + N(f.blockSizeCode) + " but should be 1, 2, 3, 4, 8, 16 or 32");
      return false;
    }
    Add("header.block-size-unusual", Loc(0, -1, 0x05),
        "block size code is " + N(f.blockSizeCode) + "; expected 1, 2, 3, 4, 8, 16 or 32");
  }
  bs_ = f.BlockSize();
  hs_ = f.headerSize;
  if (IsTable()) {
    TableSummary& sum = ctx_.report->summary;
    sum.blockSize = bs_;
    sum.headerSize = hs_;
    sum.recordSize = f.recordSize;
    sum.numFields = f.numFields;
    sum.keyFields = f.primaryKeyFields;
    sum.declaredRecords = f.numRecords;
    sum.fileBlocks = f.fileBlocks;
  }
  return true;
}

bool DataChecker::CheckHeaderSize() {
  const FixedHeader& f = h_.fixed;
  const uint32_t minHeader = HasExtension(f.fileType, f.fileVersionId) ? 0x78 : 0x58;
  if (hs_ < minHeader) {
    Add("header.header-size", Loc(0, -1, 0x02),
        "header size is " + N(hs_) + " but should be at least " + N(minHeader));
    return false;
  }
  if (hs_ > size_) {
    Add("header.header-size", Loc(0, -1, 0x02),
        "header size is " + N(hs_) + " but the file has only " + N(size_) + " bytes");
    return false;
  }
  return true;
}

bool DataChecker::CheckFieldCount() {
  const uint32_t n = h_.fixed.numFields;
  if (n != 0 && n <= 255) return true;
  Add("header.field-count", Loc(0, -1, 0x21), "field count is " + N(n) + " but should be 1..255");
  return false;
}

bool DataChecker::DecodeVariablePart() {
  Result<TableHeader> decoded = DecodeTableHeader(headerBytes_);
  if (!decoded.ok()) {
    Add("header.variable-part", Loc(0, -1, 0x58), decoded.status().message());
    return false;
  }
  h_ = std::move(decoded.value());
  if (IsTable()) {
    TableSummary& sum = ctx_.report->summary;
    sum.codePage = h_.CodePage();
    sum.sortOrder = h_.sortOrderId;
    sum.encrypted = h_.IsEncrypted();
    if (TableCharset cs = CharsetOfTable(h_); !cs.charset.known())
      Add("codepage.unknown", Loc(0, -1, h_.hasExtension ? 0x6A : 0x29), cs.problem);
  }
  return true;
}

// The key field count and every descriptor are reported before giving up, so one
// damaged descriptor does not hide another.
bool DataChecker::CheckFieldList() {
  const bool keysOk = CheckKeyFieldCount();
  const bool descriptorsOk = CheckDescriptors();
  return keysOk && descriptorsOk;
}

bool DataChecker::CheckKeyFieldCount() {
  const FixedHeader& f = h_.fixed;
  const size_t n = h_.fields.size();
  const uint32_t keys = f.primaryKeyFields;
  if (IsTable()) {
    if (keys > std::min<size_t>(n, 16) || (f.fileType == 0) != (keys > 0)) {
      Add("header.key-fields", Loc(0, -1, 0x23),
          "key field count is " + N(keys) + " with file type " + N(f.fileType) + " and " + N(n) +
              " fields; a keyed table (type 0) needs 1.." + N(std::min<size_t>(n, 16)) +
              ", an unkeyed one (type 2) 0");
      return false;
    }
  } else if (keys + 1 != n) {
    Add("header.key-fields", Loc(0, -1, 0x23),
        "key field count is " + N(keys) + " but should be " + N(n - 1));
    return false;
  }
  return true;
}

bool DataChecker::CheckDescriptors() {
  const FixedHeader& f = h_.fixed;
  bool ok = true;
  for (size_t i = 0; i < h_.fields.size(); ++i) {
    const FieldDesc& fd = h_.fields[i];
    uint64_t descOff = (HasExtension(f.fileType, f.fileVersionId) ? 0x78 : 0x58) + 2 * i;
    if (!IsKnownFieldType(uint8_t(fd.type))) {
      Add("header.field-type", Loc(0, -1, descOff),
          "field " + N(i + 1) + " has type code " + Hex(uint8_t(fd.type)) +
              ", which is not a Paradox type",
          fd.name);
      ok = false;
      continue;
    }
    Status vs = ValidateFieldDescriptor(fd.type, fd.sizeByte);
    if (!vs.ok()) {
      Add("header.field-type", Loc(0, -1, descOff), "field " + N(i + 1) + ": " + vs.message(),
          fd.name);
      ok = false;
      continue;
    }
    if (IsTable() && level_ < MinLevelForType(fd.type))
      Add("header.level-type", Loc(0, -1, descOff),
          std::string("field type ") + FieldTypeLetter(fd.type) + " needs level " +
              LevelName(MinLevelForType(fd.type)) + " but the table is level " + LevelName(level_),
          fd.name);
  }
  return ok;
}

// Records are cut up by the field list: where it disagrees with the record size word,
// the fields win (the "field-layout" check decides whether they can be trusted).
bool DataChecker::CheckRecordSize() {
  const FixedHeader& f = h_.fixed;
  uint64_t sumSizes = 0;
  for (const FieldDesc& fd : h_.fields) sumSizes += fd.Size();
  rs_ = f.recordSize;
  sizeMismatch_ = sumSizes != f.recordSize;
  if (sizeMismatch_) {
    Add("header.record-size", Loc(0, -1, 0x00),
        "record size is " + N(f.recordSize) + " but the fields add up to " + N(sumSizes));
    rs_ = uint32_t(sumSizes);
  }
  if (rs_ == 0 || uint64_t(rs_) + 6 > bs_) {
    Add("header.record-too-big", Loc(0, -1, 0x00),
        "record size " + N(rs_) + " does not fit in a block of " + N(bs_) + " bytes");
    return false;
  }
  if (IsTable()) ctx_.report->summary.recordSize = rs_;
  return true;
}

// DB/X only: the engine refuses empty and duplicate names.
bool DataChecker::CheckFieldNames() {
  std::set<std::string> seen;
  for (size_t i = 0; i < h_.fields.size(); ++i) {
    const std::string& name = h_.fields[i].name;
    std::string up = name;
    for (char& c : up) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (up.empty())
      Add("header.field-name", Loc(), "field " + N(i + 1) + " has an empty name");
    else if (!seen.insert(up).second)
      Add("header.field-name", Loc(), "field " + N(i + 1) + " repeats the name \"" + name + "\"",
          name);
    else if (up.size() > 25)
      Add("header.field-name", Loc(),
          "field name is " + N(up.size()) + " characters but at most 25 are allowed", name);
  }
  return true;
}

// The extension repeats the level byte twice.
bool DataChecker::CheckVersionCopies() {
  if (!h_.hasExtension) return true;
  const uint16_t want = uint16_t(0x100 + h_.fixed.fileVersionId);
  if (h_.ext.fileVerId2 != want || h_.ext.fileVerId3 != want)
    Add("header.version-copy", Loc(0, -1, 0x58),
        "level copies are " + Hex(h_.ext.fileVerId2) + "/" + Hex(h_.ext.fileVerId3) +
            " but should be " + Hex(want));
  return true;
}

// The offsets and the used size the header keeps of its own variable part.
bool DataChecker::CheckOffsets() {
  const FixedHeader& f = h_.fixed;
  if (!h_.hasExtension) {
    if (f.fileVersionId >= 4 && f.realHeaderSize > hs_)
      Add("header.offsets", Loc(0, -1, 0x51),
          "used header size is " + N(f.realHeaderSize) + " but the header has only " + N(hs_) +
              " bytes");
    return true;
  }
  // Layout of the variable part: descriptors, pointer, name pointers, table name, names.
  const size_t n = h_.fields.size();
  uint64_t pos = 0x78 + 2 * n + 4 + 4 * n + TableNameLength(f.fileVersionId);
  for (const FieldDesc& fd : h_.fields) pos += fd.name.size() + 1;
  if (uint64_t(h_.ext.fieldNumbersOffset) + 0x58 != pos) {
    layoutDoubt_ = true;
    Add("header.offsets", Loc(0, -1, 0x66),
        "field-number offset is " + Hex(h_.ext.fieldNumbersOffset) + " but should be " +
            Hex(pos - 0x58));
  }
  pos += 2 * n;
  if (uint64_t(h_.ext.sortOrderIdOffset) + 0x58 != pos)
    Add("header.offsets", Loc(0, -1, 0x6E),
        "sort-order name offset is " + Hex(h_.ext.sortOrderIdOffset) + " but should be " +
            Hex(pos - 0x58));
  if (f.realHeaderSize != h_.variableEnd)
    Add("header.offsets", Loc(0, -1, 0x51),
        "used header size is " + N(f.realHeaderSize) + " but the variable part ends at " +
            N(h_.variableEnd));
  return true;
}

bool DataChecker::CheckPadding() {
  if (!h_.hasExtension) return true;
  for (size_t i = h_.variableEnd; i < headerBytes_.size(); ++i)
    if (headerBytes_[i] != 0) {
      Add("header.padding", Loc(0, -1, i),
          "byte at " + Hex(i) + " after the used header is " + Hex(headerBytes_[i]) +
              " but should be 0");
      break;
    }
  return true;
}

// Encrypted tables keep other bytes there.
bool DataChecker::CheckMarker() {
  const FixedHeader& f = h_.fixed;
  if (h_.hasExtension && f.encryption1 != 0xFF00FF00u && h_.ext.encryption2 == 0)
    Add("header.marker", Loc(0, -1, 0x25),
        "bytes 0x25..0x28 are " + Hex(f.encryption1) + " but should be 0xFF00FF00 at this level");
  return true;
}

// Restructured tables keep old field numbers (not 1..n); they must stay distinct.
bool DataChecker::CheckFieldNumbers() {
  if (!h_.hasExtension || !IsTable()) return true;
  std::set<uint16_t> numbers;
  for (size_t i = 0; i < h_.fields.size(); ++i)
    if (h_.fields[i].number == 0 || !numbers.insert(h_.fields[i].number).second) {
      Add("header.field-numbers", Loc(),
          "field number " + N(i + 1) + " is " + N(h_.fields[i].number) +
              ", zero or used by an earlier field");
      break;
    }
  return true;
}

// The pointer fields are one memory image written by the engine: their distances
// repeat the field count and the name lengths (zero pointers: not written).
bool DataChecker::CheckRamPointers() {
  const FixedHeader& f = h_.fixed;
  const size_t n = h_.fields.size();
  if (!IsTable() || !f.ramPtr30 || !f.ramPtr34 || !h_.tableNamePtr || h_.fieldNamePtrs.size() != n)
    return true;
  std::string why;
  if (f.ramPtr30 - f.ramPtr34 != 2 * n)
    why = "0x30 - 0x34 is " + N(uint32_t(f.ramPtr30 - f.ramPtr34)) + " but should be " + N(2 * n);
  else if (n && h_.fieldNamePtrs[0] - h_.tableNamePtr != TableNameLength(f.fileVersionId))
    why = "first name pointer - table name pointer is " +
          N(uint32_t(h_.fieldNamePtrs[0] - h_.tableNamePtr)) + " but should be " +
          N(TableNameLength(f.fileVersionId));
  for (size_t i = 0; why.empty() && i + 1 < n; ++i)
    if (h_.fieldNamePtrs[i + 1] - h_.fieldNamePtrs[i] != h_.fields[i].name.size() + 1)
      why = "name pointer " + N(i + 2) + " - name pointer " + N(i + 1) + " is " +
            N(uint32_t(h_.fieldNamePtrs[i + 1] - h_.fieldNamePtrs[i])) + " but should be " +
            N(h_.fields[i].name.size() + 1);
  if (!why.empty()) Add("header.ram-pointers", Loc(0, -1, 0x30), why);
  if (f.ramPtr30 - f.ramPtr34 != 2 * n) layoutDoubt_ = true;
  return true;
}

// Field list, record size and the layout redundancy all disagree: the field count or
// descriptors are damaged and records cannot be cut up with them.
bool DataChecker::CheckFieldLayout() {
  if (!sizeMismatch_ || !layoutDoubt_) return true;
  Add("header.field-layout", Loc(0, -1, 0x21),
      "field count " + N(h_.fields.size()) +
          " and its descriptors disagree with the record size and the header's own layout");
  return false;
}

bool DataChecker::CheckTableFlags() {
  const FixedHeader& f = h_.fixed;
  if (!IsTable()) return true;
  if (f.modifiedFlags1 || f.modifiedFlags2 || f.indexUpdateRequired)
    Add("header.rebuild-flag",
        Loc(0, -1,
            f.modifiedFlags1   ? 0x14
            : f.modifiedFlags2 ? 0x2A
                               : 0x4F),
        "rebuild flags 0x14/0x2A/0x4F are " + Hex(f.modifiedFlags1) + "/" + Hex(f.modifiedFlags2) +
            "/" + Hex(f.indexUpdateRequired) + " but should be 0");
  if (f.maxBlocks != f.fileBlocks)
    Add("header.max-blocks", Loc(0, -1, 0x3A),
        "0x3A is " + N(f.maxBlocks) + " but should equal the block count " + N(f.fileBlocks));
  return true;
}

bool DataChecker::ReadLists() {
  fileBlocks_ = h_.fixed.fileBlocks;
  // The table's header phase is mostly the block headers: it moves as they are read.
  BlockWalkProgress walked;
  if (IsTable())
    walked = [this](uint64_t done, uint64_t total) { ctx_.progress->Report(0, done, total); };
  Status st = WalkBlockLists(file_.get(), h_, size_, &lists_, walked);
  if (!st.ok()) {
    Add("file.unreadable", Loc(0, -1, hs_), "cannot read the block headers: " + st.ToString());
    return false;
  }
  present_ = lists_.presentBlocks;
  walk_.physicalBlocks = lists_.physicalBlocks;
  chainBroken_ = lists_.chainBroken;
  return true;
}

// A wrong key (or a scrambled header key) turns every block header into noise; judging
// the chain from noise would only bury the real cause, so the first block decides.
bool DataChecker::KeyFits() {
  const uint32_t first = h_.fixed.firstBlock;
  if (first == 0 || first > fileBlocks_ || first > present_) return true;
  const BlockHeader& b = lists_.headers[first];
  const bool adsOk = b.RecordCount(rs_, bs_) >= 0;
  if (b.prevBlock == 0 && b.nextBlock <= fileBlocks_ && adsOk) return true;
  Add("crypt.bad-key", Loc(first, -1, BlockOffset(hs_, bs_, first)),
      "block " + N(first) + " decrypted with the header key " + Hex(key_) + " has next/prev/size " +
          N(b.nextBlock) + "/" + N(b.prevBlock) + "/" + std::to_string(b.addDataSize) +
          ": wrong key or damaged data");
  return false;
}

// The shared walk's events as findings.
void DataChecker::ReportLists() {
  const FixedHeader& f = h_.fixed;
  walk_.chain = lists_.chain;
  const uint32_t cap = BlockCapacity(bs_, rs_);
  uint32_t orphans = 0;
  for (const ListFinding& e : lists_.findings) {
    const uint64_t boff = e.block ? BlockOffset(hs_, bs_, e.block) : 0;
    switch (e.event) {
      case ListEvent::kFileLong:
        Add("file.trailing-data", Loc(0, -1, e.offset),
            "file is " + N(size_) + " bytes but header + " + N(fileBlocks_) + " blocks make " +
                N(e.expected));
        break;
      case ListEvent::kFileShortLastBlock: {
        const uint64_t lastOff = BlockOffset(hs_, bs_, fileBlocks_);
        Add("file.short-last-block", Loc(fileBlocks_, -1, size_),
            "file ends " + N(size_ - lastOff) + " bytes into its last block (of " + N(bs_) +
                "), after that block's records");
        break;
      }
      case ListEvent::kFileShort:
        Add("file.truncated", Loc(std::min(present_, fileBlocks_) + 1, -1, size_),
            "file is " + N(size_) + " bytes but header + " + N(fileBlocks_) + " blocks need " +
                N(e.expected));
        break;
      case ListEvent::kEmptyTableLinks:
        Add("chain.empty-table", Loc(0, -1, 0x0A),
            "no blocks but 0x0A/0x0E/0x10 are " + N(f.blocksInUse) + "/" + N(f.firstBlock) + "/" +
                N(f.lastBlock) + " and should be 0");
        break;
      case ListEvent::kFirstBlockBad:
        Add("chain.first-block", Loc(0, -1, 0x0E),
            "first block is " + N(uint64_t(e.value)) + " but should be 1.." + N(fileBlocks_));
        break;
      case ListEvent::kFirstBlockUnusual:
        Add("chain.first-block-unusual", Loc(0, -1, 0x0E),
            "first block is " + N(uint64_t(e.value)) + "; normally 1");
        break;
      case ListEvent::kLinkOutOfRange:
        Add("chain.out-of-range", Loc(e.block, -1, e.offset),
            "next block of block " + N(e.block) + " is " + N(uint64_t(e.value)) +
                " but the file has " + N(std::max(fileBlocks_, present_)) + " blocks");
        break;
      case ListEvent::kLinkBeyondEof:
        Add("chain.beyond-eof",
            Loc(uint32_t(e.value), -1, BlockOffset(hs_, bs_, uint32_t(e.value))),
            "block " + N(uint64_t(e.value)) + " is in the chain but the file ends at byte " +
                N(size_));
        break;
      case ListEvent::kBeyondFileBlocks:
        Add("chain.out-of-range", Loc(e.block, -1, e.offset),
            "block " + N(e.block) + " is in the chain but beyond the " + N(fileBlocks_) +
                " blocks the header declares");
        break;
      case ListEvent::kCycle:
        Add("chain.cycle", Loc(uint32_t(e.value), -1, BlockOffset(hs_, bs_, uint32_t(e.value))),
            "block " + N(uint64_t(e.value)) + " is reached twice (again from block " + N(e.block) +
                ")");
        break;
      case ListEvent::kPrevLink:
        Add("chain.prev-link", Loc(e.block, -1, e.offset),
            "previous-block link of block " + N(e.block) + " is " + N(uint64_t(e.value)) +
                " but should be " + N(uint64_t(e.expected)));
        break;
      case ListEvent::kLastBlock:
        Add("chain.last-block", Loc(0, -1, 0x10),
            "last block is " + N(uint64_t(e.value)) + " but the chain ends at block " +
                N(uint64_t(e.expected)));
        break;
      case ListEvent::kChainLength:
        Add("chain.length", Loc(0, -1, 0x0A),
            "blocks in use is " + N(uint64_t(e.value)) + " but the chain has " +
                N(uint64_t(e.expected)) + (chainBroken_ ? " blocks before it breaks" : " blocks"));
        break;
      case ListEvent::kFreeOutOfRange:
        Add("freelist.out-of-range", e.block ? Loc(e.block, -1, e.offset) : Loc(0, -1, 0x4D),
            "free-list link is " + N(uint64_t(e.value)) + " but the file has " + N(present_) +
                " blocks");
        break;
      case ListEvent::kFreeCrossLink:
        Add("freelist.cross-link", Loc(e.block, -1, e.offset),
            "block " + N(e.block) + " is in the data chain and in the free list");
        break;
      case ListEvent::kFreeCycle:
        Add("freelist.cycle", Loc(e.block, -1, e.offset),
            "free list reaches block " + N(e.block) + " twice");
        break;
      case ListEvent::kOrphan:
        // Blocks past the header's count are trailing data, reported as such.
        if (e.block <= fileBlocks_ && ++orphans <= 10)
          Add("blocks.orphan", Loc(e.block, -1, e.offset),
              "block " + N(e.block) + " is in neither the data chain nor the free list");
        break;
      case ListEvent::kBadRecordCount:
        Add("block.record-count", Loc(e.block, -1, boff + 4),
            "addDataSize is " + std::to_string(e.value) + " but should be -" + N(rs_) +
                " or a multiple of " + N(rs_) + " up to " + N((cap - 1) * uint64_t(rs_)));
        break;
      case ListEvent::kBlockCount:       // the orphans and the lists say it
      case ListEvent::kEmptyChainBlock:  // judged with the records, after the pass
      case ListEvent::kRecordCount:
        break;
    }
  }
  if (orphans > 10)
    Add("blocks.orphan", Loc(),
        N(orphans) + " blocks in all are in neither list (first 10 listed)");
  if (IsTable()) {
    ctx_.report->summary.chainBlocks = uint32_t(lists_.chain.size());
    ctx_.report->summary.freeBlocks = uint32_t(lists_.freeList.size());
  }
}

void DataChecker::PrepareKeys() {
  const uint32_t keys = h_.fixed.primaryKeyFields;
  walk_.keySize = 0;
  for (uint32_t i = 0; i < keys && i < h_.fields.size(); ++i) walk_.keySize += h_.fields[i].Size();
  // Secondary indexes: case-insensitive (0x55 bit 0) ones hold folded alpha keys and
  // descending fields (bit 15 of the field number) sort backwards: KeyOrder knows both.
  walk_.order = KeyOrder(h_);
  if (IsTable() && keys > 0 && !walk_.order.known())
    Add("key.sort-order-unknown", Loc(0, -1, 0x29),
        "sort order " +
            (h_.sortOrderId.empty() ? Hex(h_.fixed.sortOrder) : "\"" + h_.sortOrderId + "\"") +
            " is not known: key order checked only in the leading " +
            N(walk_.order.certainPrefix()) + " key bytes");
  // Only blocks the file really holds can be chained: bounds the key store by the file.
  const size_t keyed = size_t(present_) + 1;
  walk_.firstKeys.assign(keyed * walk_.keySize, 0);
  walk_.lastKeys.assign(keyed * walk_.keySize, 0);
  walk_.recordsIn.assign(lists_.owner.size(), -1);

  for (size_t i = 0; i < h_.fields.size(); ++i) {
    const FieldDesc& fd = h_.fields[i];
    if (fd.type == FieldType::kAutoInc && IsTable()) autoIncField_ = int(i);
    // Fields that take any bytes have nothing for CheckRecord to do.
    if (fd.type == FieldType::kShort || fd.type == FieldType::kLong ||
        fd.type == FieldType::kBytes || (fd.type == FieldType::kAutoInc && autoIncField_ != int(i)))
      continue;
    plan_.push_back({fd.type, fd.offset, fd.Size(), fd.sizeByte, i});
  }
  keyFieldEnds_.clear();
  for (uint32_t i = 0; i < keys && i < h_.fields.size(); ++i)
    keyFieldEnds_.push_back(h_.fields[i].offset + h_.fields[i].Size());

  // Secondary index hints (the "Blk Num" field) and, for keyed base tables, the
  // primary-key part of each X record.
  if (!IsTable() && base_ && base_->ok && h_.fields.size() >= 2) {
    const size_t n = h_.fields.size();
    const bool keyedBase = base_->header.IsKeyed();
    const size_t hintIdx = keyedBase ? n - 1 : (n >= 3 ? n - 2 : n - 1);
    if (h_.fields[hintIdx].type == FieldType::kShort) {
      hintOffset_ = h_.fields[hintIdx].offset;
      hintCheck_ = true;
    }
    const uint32_t baseKeys = base_->header.fixed.primaryKeyFields;
    // The indexed fields come first, then the table's key (keyed) or Tup No, Blk Num
    // and Tup Offset (unkeyed).
    const size_t indexed =
        keyedBase ? (n >= baseKeys + 1 ? n - 1 - baseKeys : 0) : (n >= 3 ? n - 3 : 0);
    if ((h_.fixed.flags55 & 0x01) && walk_.order.collation())
      for (size_t i = 0; i < indexed; ++i)
        if (h_.fields[i].type == FieldType::kAlpha) foldedFields_.push_back(uint32_t(i));
    if (keyedBase && baseKeys > 0 && n >= baseKeys + 2 && base_->order.known()) {
      const size_t first = n - 1 - baseKeys;
      uint32_t size = 0;
      bool same = true;
      for (uint32_t j = 0; j < baseKeys; ++j) {
        const FieldDesc& xf = h_.fields[first + j];
        const FieldDesc& bf = base_->header.fields[j];
        if (xf.type != bf.type || xf.Size() != bf.Size()) same = false;
        size += xf.Size();
      }
      if (same && size == base_->keySize) {
        pkOffset_ = h_.fields[first].offset;
        pkSize_ = size;
        pkRangeCheck_ = true;
      }
    }
  }
}

void DataChecker::CheckXHint(const uint8_t* rec, uint32_t block, uint32_t r, uint64_t recOffset) {
  const uint8_t* hp = rec + hintOffset_;
  // A block number: an unsigned 16-bit word in the sortable encoding (blocks above 32767);
  // 00 00 is block 32768, not a blank.
  int32_t hint = DecodeIndexWord(hp);
  const auto& baseRecs = base_->recordsIn;
  if (hint <= 0 || size_t(hint) >= baseRecs.size()) {
    if (Want("index.x-hint-range"))
      Add("index.x-hint-range", Loc(block, r, recOffset + hintOffset_),
          "block hint is " + std::to_string(hint) + " but " + base_->name + " has blocks 1.." +
              std::to_string(baseRecs.size() - 1));
    return;
  }
  if (baseRecs[size_t(hint)] <= 0) {
    if (Want("index.x-hint"))
      Add("index.x-hint", Loc(block, r, recOffset + hintOffset_),
          "block hint is " + std::to_string(hint) + " but that block of " + base_->name +
              " holds no records now");
    return;
  }
  if (pkRangeCheck_) {
    const uint8_t* pk = rec + pkOffset_;
    if (base_->order.Compare(pk, base_->FirstKey(uint32_t(hint))) < 0 ||
        base_->order.Compare(pk, base_->LastKey(uint32_t(hint))) > 0) {
      if (Want("index.x-hint"))
        Add("index.x-hint", Loc(block, r, recOffset + hintOffset_),
            "block hint is " + std::to_string(hint) +
                " but the record's key is not in that block of " + base_->name);
    }
  }
}

void DataChecker::CheckRecord(const uint8_t* rec, const RecordAt& at) {
  const bool values = ctx_.options->checkValues;
  for (const FieldPlan& p : plan_) {
    const uint8_t* v = rec + p.offset;
    switch (p.type) {
      case FieldType::kAlpha:
        if (values) CheckAlpha(p, v, at);
        break;
      case FieldType::kDate:
        if (values) CheckDate(p, v, at);
        break;
      case FieldType::kTime:
        if (values) CheckTime(p, v, at);
        break;
      case FieldType::kLogical:
        if (values) CheckLogical(p, v, at);
        break;
      case FieldType::kNumber:
      case FieldType::kMoney:
      case FieldType::kTimestamp:
        if (values) CheckFloat(p, v, at);
        break;
      case FieldType::kBcd:
        if (values) CheckBcd(p, v, at);
        break;
      case FieldType::kAutoInc:
        if (int(p.index) == autoIncField_) NoteAutoInc(v);
        break;
      case FieldType::kMemo:
      case FieldType::kBlob:
      case FieldType::kFmtMemo:
      case FieldType::kOle:
      case FieldType::kGraphic:
        if (IsTable() && ctx_.options->checkBlobs) CheckBlobField(p, v, at);
        break;
      default:
        break;
    }
  }
  if (walk_.keySize) CheckKeyInBlock(rec, at);
  if (hintCheck_) CheckXHint(rec, at.block, at.record, at.offset);
  if (!foldedFields_.empty()) CheckFolded(rec, at);
}

void DataChecker::CheckAlpha(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const void* nul = std::memchr(v, 0, p.size);
  if (!nul) return;
  const uint8_t* end = v + p.size;
  const uint8_t* q = static_cast<const uint8_t*>(nul) + 1;
  if (!ZeroBytes(q, size_t(end - q)))
    while (*q == 0) ++q;  // the first byte to report
  else
    q = end;
  if (q != end && Want("value.alpha-tail"))
    Add("value.alpha-tail", Loc(at.block, at.record, at.offset + p.offset + (q - v)),
        "byte " + N(q - v) + " after the terminating NUL is " + Hex(*q) + " but should be 0",
        FieldName(p));
}

void DataChecker::CheckDate(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint32_t raw = BigEndian32(v);
  if (raw == 0) return;
  int64_t days = int64_t(int32_t(raw ^ 0x80000000u));
  if (days < 1) {
    // Seen in engine-written tables (dates before year 1): odd, not damage.
    if (Want("value.date-early"))
      Add("value.date-early", Loc(at.block, at.record, at.offset + p.offset),
          "date day number is " + std::to_string(days) + ", before 0001-01-01", FieldName(p));
  } else if (days > kMaxDate && Want("value.date")) {
    Add("value.date", Loc(at.block, at.record, at.offset + p.offset),
        "date day number is " + std::to_string(days) + " but should be 1.." + N(kMaxDate),
        FieldName(p));
  }
}

void DataChecker::CheckTime(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint32_t raw = BigEndian32(v);
  if (raw == 0) return;
  int64_t ms = int64_t(int32_t(raw ^ 0x80000000u));
  if ((ms < 0 || ms >= kMsPerDay) && Want("value.time"))
    Add("value.time", Loc(at.block, at.record, at.offset + p.offset),
        "time is " + std::to_string(ms) + " ms but should be 0..86399999", FieldName(p));
}

void DataChecker::CheckLogical(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  if (v[0] != 0 && v[0] != 0x80 && v[0] != 0x81 && Want("value.logical"))
    Add("value.logical", Loc(at.block, at.record, at.offset + p.offset),
        "logical byte is " + Hex(v[0]) + " but should be 0x00, 0x80 or 0x81", FieldName(p));
}

// Number, money and timestamp: a double in the sortable encoding.
void DataChecker::CheckFloat(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint64_t x = BigEndian64(v);
  if (x == 0) return;  // blank
  // Undo the sortable transform on the bits only: NaN needs no conversion.
  const uint64_t bits = (x >> 63) ? x ^ (uint64_t(1) << 63) : ~x;
  const bool nan =
      (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (bits & 0x000FFFFFFFFFFFFFull);
  // The place is built only for a finding: it holds the file's name.
  auto here = [&] { return Loc(at.block, at.record, at.offset + p.offset); };
  if (nan) {
    if (Want("value.nan")) Add("value.nan", here(), "value is NaN", FieldName(p));
    return;
  }
  if (p.type != FieldType::kTimestamp) return;
  const double d = std::bit_cast<double>(bits);
  if (d < double(kMsPerDay) && !std::isinf(d)) {
    if (Want("value.date-early"))
      Add("value.date-early", here(), "timestamp is " + DayText(d) + ", before 0001-01-01",
          FieldName(p));
  } else if ((std::isinf(d) || d >= (double(kMaxDate) + 1) * kMsPerDay) &&
             Want("value.timestamp")) {
    Add("value.timestamp", here(), "timestamp is " + DayText(d) + ", after 9999-12-31",
        FieldName(p));
  }
}

void DataChecker::CheckBcd(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint8_t b0 = v[0];
  // A first byte equal to the decimals with all digits zero is how some engines
  // store a blank value; treat it as blank.
  if (b0 == p.sizeByte && IsAllZero(ByteSpan(v + 1, 16))) return;
  const uint64_t off = at.offset + p.offset;
  if (b0 == 0) {
    if (!IsAllZero(ByteSpan(v, 17)) && Want("value.bcd"))
      Add("value.bcd", Loc(at.block, at.record, off),
          "BCD first byte is 0 (blank) but the digits are not zero", FieldName(p));
    return;
  }
  if ((b0 & 0x40) == 0 || (b0 & 0x3F) != p.sizeByte) {
    if (Want("value.bcd"))
      Add("value.bcd", Loc(at.block, at.record, off),
          "BCD first byte is " + Hex(b0) + " but should be " + Hex(0xC0 | p.sizeByte) + " or " +
              Hex(0x40 | p.sizeByte),
          FieldName(p));
    return;
  }
  const bool neg = (b0 & 0x80) == 0;
  if (BcdDigitsValid(v + 1, neg)) return;
  for (int i = 1; i < 17; ++i) {
    uint8_t byte = neg ? uint8_t(~v[i]) : v[i];
    if ((byte >> 4) > 9 || (byte & 0xF) > 9) {
      if (Want("value.bcd-digit"))
        Add("value.bcd-digit", Loc(at.block, at.record, off + i),
            "BCD digit byte " + Hex(v[i]) + " holds a nibble above 9", FieldName(p));
      return;
    }
  }
}

void DataChecker::NoteAutoInc(const uint8_t* v) {
  if (IsAllZero(ByteSpan(v, 4))) return;
  int64_t x = DecodeInt32(v);
  if (!anyAutoInc_ || x > maxAutoInc_) maxAutoInc_ = x;
  anyAutoInc_ = true;
}

void DataChecker::CheckBlobField(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const FieldDesc& fd = h_.fields[p.index];
  const uint8_t* ptr = v + fd.LeaderSize();
  BlobPointer bp;
  bp.DecodeFrom(ptr);
  if (bp.length <= fd.LeaderSize()) return;
  if (!ctx_.blobs.present)
    ++missingMbRefs_;
  else
    CheckBlobPointer(ctx_, fd, ptr,
                     Loc(at.block, at.record, at.offset + p.offset + fd.LeaderSize()));
}

// Key order inside the block, and (tables) no blank key field.
void DataChecker::CheckKeyInBlock(const uint8_t* rec, const RecordAt& at) {
  const uint32_t r = at.record;
  if (prevKey_) {
    // Byte-identical keys are equal in every collation, comparable or not.
    int c = walk_.order.Compare(prevKey_, rec);
    if (c > 0)
      Add("key.order", Loc(at.block, r, at.offset),
          "key of record " + N(r) + " is lower than that of the record before it");
    else if (c == 0 && std::memcmp(prevKey_, rec, walk_.keySize) == 0)
      Add("key.duplicate", Loc(at.block, r, at.offset),
          "key of record " + N(r) + " repeats the record before it");
  }
  prevKey_ = rec;
  if (!IsTable()) return;
  uint32_t start = 0;
  for (size_t i = 0; i < keyFieldEnds_.size(); ++i) {
    if (IsAllZero(ByteSpan(rec + start, keyFieldEnds_[i] - start)))
      Add("key.blank", Loc(at.block, r, at.offset + start), "key field is blank",
          h_.fields[i].name);
    start = keyFieldEnds_[i];
  }
}

// Case-insensitive secondary indexes hold their alpha keys in the sort order's upper case.
void DataChecker::CheckFolded(const uint8_t* rec, const RecordAt& at) {
  for (uint32_t i : foldedFields_) {
    const FieldDesc& fd = h_.fields[i];
    if (!walk_.order.collation()->IsFolded(ByteSpan(rec + fd.offset, fd.Size())) &&
        ++unfolded_ <= 10)
      Add("index.x-case", Loc(at.block, at.record, at.offset + fd.offset),
          "key of record " + N(at.record) + " is not in the upper case of sort order \"" +
              walk_.order.collation()->name() + "\"",
          fd.name);
  }
}

void DataChecker::RecordPass() {
  const uint32_t n = present_;
  const uint32_t perRead = std::max<uint32_t>(1, uint32_t(kReadChunk / bs_));
  Bytes buf(size_t(perRead) * bs_);
  uint64_t done = 0;
  for (uint32_t first = 1; first <= n; first += perRead) {
    const uint32_t count = std::min(perRead, n - first + 1);
    // Skip reads that hold no chained block (free runs, orphans).
    bool any = false;
    for (uint32_t k = first; k < first + count; ++k) any |= lists_.owner[k] == 1;
    if (!any) continue;
    const uint64_t off = BlockOffset(hs_, bs_, first);
    size_t got = 0;
    MutableByteSpan dst(buf.data(), size_t(count) * bs_);
    Status st = file_->ReadAt(off, dst, &got);
    if (!st.ok()) {
      Add("file.unreadable", Loc(first, -1, off),
          "cannot read blocks from " + N(first) + ": " + st.ToString());
      return;
    }
    if (got < dst.size()) std::fill(buf.begin() + got, buf.begin() + dst.size(), 0);
    for (uint32_t k = first; k < first + count; ++k) {
      if (lists_.owner[k] != 1) continue;
      uint8_t* blk = buf.data() + size_t(k - first) * bs_;
      const uint64_t boff = BlockOffset(hs_, bs_, k);
      if (key_) DecryptBlock(key_, k, MutableByteSpan(blk, bs_));
      const int64_t recs = lists_.RecordsIn(k);
      if (recs < 0) continue;  // reported with the walk
      // Records beyond the end of a short file are not there to check.
      const size_t before = size_t(k - first) * bs_;
      uint64_t avail = got > before ? std::min<uint64_t>(bs_, got - before) : 0;
      // Encrypted: a chunk decrypts as a unit, so a partial one is not there either.
      if (key_) avail = avail / 256 * 256;
      const uint64_t inFile = avail >= 6 ? (avail - 6) / rs_ : 0;
      const int64_t checkable = std::min<int64_t>(recs, int64_t(inFile));
      walk_.recordsIn[k] = int32_t(recs);
      prevKey_ = nullptr;
      for (int64_t r = 0; r < checkable; ++r) {
        const uint8_t* rec = blk + 6 + size_t(r) * rs_;
        CheckRecord(rec, RecordAt{k, uint32_t(r), boff + 6 + uint64_t(r) * rs_});
      }
      if (walk_.keySize && checkable > 0) {
        std::memcpy(&walk_.firstKeys[size_t(k) * walk_.keySize], blk + 6, walk_.keySize);
        std::memcpy(&walk_.lastKeys[size_t(k) * walk_.keySize],
                    blk + 6 + size_t(checkable - 1) * rs_, walk_.keySize);
      }
      ++done;
      if (IsTable())
        ctx_.DataAt(ctx_.mbBytesWalked + done * bs_);
      else
        ctx_.IndexBytesRead(bs_);
    }
  }
}

void DataChecker::AfterPass() {
  const FixedHeader& f = h_.fixed;
  uint64_t counted = 0;
  const uint8_t* prevLast = nullptr;
  uint32_t prevBlock = 0;
  for (uint16_t k : walk_.chain) {
    int32_t recs = walk_.recordsIn[k];
    if (recs < 0) {
      prevLast = nullptr;
      continue;
    }
    counted += uint32_t(recs);
    if (recs == 0) {
      if (f.numRecords > 0 && Want("block.empty"))
        Add("block.empty", Loc(k, -1, BlockOffset(hs_, bs_, k)),
            "chained block " + N(k) + " holds no records");
      continue;
    }
    if (walk_.keySize && prevLast) {
      int c = walk_.order.Compare(prevLast, walk_.FirstKey(k));
      if (c > 0)
        Add("key.order", Loc(k, 0, BlockOffset(hs_, bs_, k) + 6),
            "first key of block " + N(k) + " is lower than the last key of block " + N(prevBlock));
      else if (c == 0 && std::memcmp(prevLast, walk_.FirstKey(k), walk_.keySize) == 0)
        Add("key.duplicate", Loc(k, 0, BlockOffset(hs_, bs_, k) + 6),
            "first key of block " + N(k) + " repeats the last key of block " + N(prevBlock));
    }
    if (walk_.keySize) prevLast = walk_.LastKey(k);
    prevBlock = k;
  }
  walk_.counted = counted;
  if (unfolded_ > 10)
    Add("index.x-case", Loc(),
        N(unfolded_) + " keys in all are not in the driver's upper case (first 10 listed)");
  if (IsTable()) ctx_.report->summary.countedRecords = counted;
  if (counted != f.numRecords) {
    Add(IsTable() ? "header.record-count" : "index.count", Loc(0, -1, 0x06),
        "record count is " + N(f.numRecords) + " but the chain holds " + N(counted) +
            (chainBroken_ ? " (chain broken)" : ""));
  }
  if (!IsTable() && base_ && base_->ok && counted != base_->counted)
    // Non-maintained indexes (types 3/6) are refreshed by the engine on use.
    Add(f.fileType == 3 || f.fileType == 6 ? "index.x-stale" : "index.x-records", Loc(0, -1, 0x06),
        "index holds " + N(counted) + " records but " + base_->name + " holds " +
            N(base_->counted));
  if (missingMbRefs_)
    Add("mb.missing", Loc(),
        N(missingMbRefs_) + " blob values are stored in the blob file (.MB), which is missing");
  if (anyAutoInc_ && int64_t(f.autoInc) < maxAutoInc_)
    Add("header.autoinc", Loc(0, -1, 0x49),
        "autoincrement counter is " + N(f.autoInc) + " but the highest value is " +
            std::to_string(maxAutoInc_));
}

DataWalk DataChecker::Run() {
  if (IsTable()) ctx_.progress->Report(0, 0);
  if (!OpenAndReadHeader()) return std::move(walk_);
  if (!CheckHeader()) return std::move(walk_);
  key_ = h_.EncryptionKey();
  if (key_ && IsTable()) {
    ctx_.report->summary.decrypted = true;
    Add("crypt.encrypted", Loc(0, -1, h_.hasExtension ? 0x5C : 0x25),
        "table is password-protected; data checked after decryption with the header key");
  }
  if (!IsTable() && base_ && base_->ok) {
    // X header against the table: indexed fields must be table fields of the same kind.
    const size_t m =
        h_.fields.size() - 1 - (base_->header.IsKeyed() ? base_->header.fixed.primaryKeyFields : 2);
    for (size_t i = 0; i < m && i < h_.fields.size(); ++i) {
      uint32_t num = h_.hasExtension ? (h_.fields[i].number & 0x7FFF) : 0;
      if (num == 0) continue;
      if (num > base_->header.fields.size() ||
          base_->header.fields[num - 1].type != h_.fields[i].type ||
          base_->header.fields[num - 1].Size() != h_.fields[i].Size()) {
        Add("index.x-fields", Loc(),
            "indexed field " + N(i + 1) + " refers to table field " + N(num) +
                ", which does not exist or has another type/size");
      }
    }
  }
  if (!ReadLists()) return std::move(walk_);
  if (key_ && !KeyFits()) return std::move(walk_);
  ReportLists();
  if (IsTable()) ctx_.progress->Report(0, 100);
  PrepareKeys();
  if (IsTable()) {
    ctx_.progress->Report(2, 0);
    bool hasBlob = std::any_of(h_.fields.begin(), h_.fields.end(),
                               [](const FieldDesc& fd) { return IsBlobType(fd.type); });
    const bool blobs =
        hasBlob && ctx_.options->checkBlobs && ctx_.haveFamily && !ctx_.family.mb.empty();
    Result<uint64_t> mbSize =
        blobs ? ctx_.fs->FileSize(ctx_.family.mb) : Result<uint64_t>(uint64_t{0});
    ctx_.dataBytesTotal = (mbSize.ok() ? *mbSize : 0) + uint64_t(walk_.chain.size()) * bs_;
    if (blobs) CheckBlobFile(ctx_, ctx_.family.mb, h_);
    ctx_.mbBytesWalked = mbSize.ok() ? *mbSize : 0;
    ctx_.DataAt(ctx_.mbBytesWalked);
  }
  RecordPass();
  AfterPass();
  if (IsTable()) ctx_.progress->Report(2, 100);
  walk_.ok = true;
  return std::move(walk_);
}

}  // namespace

DataWalk CheckDataFile(Context& ctx, const std::string& path, DataRole role, const DataWalk* base) {
  DataChecker checker(ctx, path, role, base);
  return checker.Run();
}

}  // namespace paradox::verify
