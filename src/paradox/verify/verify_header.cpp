// The header checks of a DB-format file: each a step of DataChecker that reports what
// it finds and says whether the check of the file can go on.
#include "paradox/format/table_evidence.h"
#include "paradox/verify/data_checker.h"

namespace paradox::verify {

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
  const std::string detail = "file type is " + N(f.fileType) + " but should be " + what;
  if (!DamagedTable(detail, 0x04)) Add("header.file-type", Loc(0, -1, 0x04), detail);
  return false;
}

// A table's header that does not say it is one may still be a table's: what its family,
// its name area or its data blocks show decides between a damaged table, whose
// structure must come from elsewhere (verdict 3), and a foreign file (verdict 4).
bool DataChecker::DamagedTable(const std::string& detail, uint64_t offset) {
  if (!IsTable()) return false;
  // Another member of a family (not named .DB) says what it is: no table, however its
  // family looks.
  TableLevel level;
  const uint8_t type = h_.fixed.fileType;
  if (AsciiUpper(PathExtension(path_)) != ".DB" &&
      LevelFromVersionId(h_.fixed.fileVersionId, &level) &&
      (IsIndexFileType(type) || IsSecondaryDataType(type)))
    return false;
  const std::string shown = ParadoxTableEvidence(ctx_.fs, path_);
  if (shown.empty()) return false;
  Add("header.damaged", Loc(0, -1, offset),
      detail + ", yet " + shown +
          " show it is a Paradox table: its structure must come from elsewhere");
  return true;
}

bool DataChecker::CheckLevel() {
  const FixedHeader& f = h_.fixed;
  if (!LevelFromVersionId(f.fileVersionId, &level_)) {
    const std::string detail = "table level byte is " + N(f.fileVersionId) + " but should be 3..12";
    if (!DamagedTable(detail, 0x39)) Add("header.version", Loc(0, -1, 0x39), detail);
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
  const uint32_t minHeader = DescriptorsOffset(HasExtension(f.fileType, f.fileVersionId));
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
    uint64_t descOff = DescriptorsOffset(HasExtension(f.fileType, f.fileVersionId)) +
                       FieldDesc::kDescriptorLength * i;
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
  const Collation* collation = Collation::ForHeader(h_);
  for (size_t i = 0; i < h_.fields.size(); ++i) {
    const std::string& name = h_.fields[i].name;
    const std::string up = UpperCaseName(name, collation);
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
  uint64_t pos = DescriptorsOffset(true) + FieldDesc::kDescriptorLength * n + 4 + 4 * n +
                 TableNameLength(f.fileVersionId);
  for (const FieldDesc& fd : h_.fields) pos += fd.name.size() + 1;
  if (uint64_t(h_.ext.fieldNumbersOffset) + kExtensionOffset != pos) {
    layoutDoubt_ = true;
    Add("header.offsets", Loc(0, -1, 0x66),
        "field-number offset is " + Hex(h_.ext.fieldNumbersOffset) + " but should be " +
            Hex(pos - kExtensionOffset));
  }
  pos += 2 * n;
  if (uint64_t(h_.ext.sortOrderIdOffset) + kExtensionOffset != pos)
    Add("header.offsets", Loc(0, -1, 0x6E),
        "sort-order name offset is " + Hex(h_.ext.sortOrderIdOffset) + " but should be " +
            Hex(pos - kExtensionOffset));
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

}  // namespace paradox::verify
