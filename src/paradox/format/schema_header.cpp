#include "paradox/format/schema_header.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <string>

#include "paradox/format/codepage.h"
#include "paradox/format/collation.h"
#include "paradox/format/crypt.h"

namespace paradox {

uint16_t RoundHeader(uint32_t end, TableLevel level) {
  if (level == TableLevel::k3_0) return static_cast<uint16_t>(end);
  uint32_t r = (end + 2047) / 2048 * 2048;
  return static_cast<uint16_t>(std::min<uint32_t>(r, 0xF800));
}

// Fills the RAM-pointer fields with header-relative offsets that satisfy the
// identities readers cross-check.
void SetPointers(TableHeader* h) {
  const bool ext = HasExtension(h->fixed.fileType, h->fixed.fileVersionId);
  const bool data = IsDataFileType(h->fixed.fileType);
  const uint32_t base = static_cast<uint32_t>(DescriptorsOffset(ext));
  uint32_t n = static_cast<uint32_t>(h->fields.size());
  h->fixed.ramPtr34 = base;
  const uint32_t descriptors = FieldDesc::kDescriptorLength * n;
  h->fixed.ramPtr30 = base + descriptors;
  uint32_t tableNamePos = base + descriptors + 4 + (data ? 4 * n : 0);
  h->tableNamePtr = tableNamePos;
  h->fieldNamePtrs.clear();
  if (data) {
    uint32_t pos = tableNamePos + static_cast<uint32_t>(TableNameLength(h->fixed.fileVersionId));
    for (const auto& f : h->fields) {
      h->fieldNamePtrs.push_back(pos);
      pos += static_cast<uint32_t>(f.name.size()) + 1;
    }
  }
}

namespace {

Status CheckName(const std::string& name) {
  if (name.empty()) return Status::InvalidArgument("field name is empty");
  if (name.size() > 25)
    return Status::InvalidArgument("field name \"" + name + "\" is longer than 25 characters");
  if (name.find('\0') != std::string::npos)
    return Status::InvalidArgument("field name contains a NUL byte");
  if (name[0] == ' ')
    return Status::InvalidArgument("field name \"" + name + "\" starts with a space");
  return Status::OK();
}

// The block sizes and the field count a schema asks for.
Status CheckSchemaSizes(const TableSchema& s, bool tableBlockSize) {
  if (s.fields.empty() || s.fields.size() > 255)
    return Status::InvalidArgument("a table needs 1 to 255 fields, not " +
                                   std::to_string(s.fields.size()));
  if (!BlockSizeKnown(s.blockSize))
    return Status::InvalidArgument("block size " + std::to_string(s.blockSize) +
                                   " is not a Paradox block size (1-4, 8, 16 or 32 KiB)");
  if (!tableBlockSize && !BlockSizeAllowed(s.level, s.blockSize))
    return Status::InvalidArgument("block size " + std::to_string(s.blockSize) +
                                   " is not allowed at level " + LevelName(s.level) +
                                   " (above 4 KiB needs level 5 or later)");
  if (!BlockSizeKnown(s.indexBlockSize))
    return Status::InvalidArgument("index block size " + std::to_string(s.indexBlockSize) +
                                   " is not allowed");
  return Status::OK();
}

// The descriptor size byte of a field definition: its size, leader or decimals within
// the type's range, or the type's fixed size.
Result<uint8_t> SizeByteFor(const FieldDef& d) {
  switch (d.type) {
    case FieldType::kAlpha:
    case FieldType::kBytes:
      if (d.size < 1 || d.size > 255)
        return Status::InvalidArgument("field \"" + d.name + "\" needs a size of 1-255");
      return static_cast<uint8_t>(d.size);
    case FieldType::kMemo: {
      uint16_t leader = d.size == 0 ? 10 : d.size;
      if (leader > 240)
        return Status::InvalidArgument("field \"" + d.name + "\": memo leader must be 1-240");
      return static_cast<uint8_t>(leader + 10);
    }
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      if (d.size > 240)
        return Status::InvalidArgument("field \"" + d.name + "\": blob leader must be 0-240");
      return static_cast<uint8_t>(d.size + 10);
    case FieldType::kBcd:
      if (d.size > 32)
        return Status::InvalidArgument("field \"" + d.name + "\": BCD decimals must be 0-32");
      return static_cast<uint8_t>(d.size);
    default:
      return FixedSizeByte(d.type);
  }
}

// Field i of the schema as a descriptor: its name unique, its type known at the level.
Result<FieldDesc> FieldFor(const TableSchema& s, size_t i) {
  const FieldDef& d = s.fields[i];
  PARADOX_RETURN_IF_ERROR(CheckName(d.name));
  for (size_t j = 0; j < i; ++j)
    if (AsciiUpper(s.fields[j].name) == AsciiUpper(d.name))
      return Status::InvalidArgument("field name \"" + d.name + "\" is used twice");
  if (!IsKnownFieldType(static_cast<uint8_t>(d.type)))
    return Status::InvalidArgument("field \"" + d.name + "\" has an unknown type");
  if (static_cast<int>(s.level) < static_cast<int>(MinLevelForType(d.type)))
    return Status::InvalidArgument(std::string("field type ") + FieldTypeName(d.type) +
                                   " needs level " + LevelName(MinLevelForType(d.type)) +
                                   " or later");
  auto sizeByte = SizeByteFor(d);
  if (!sizeByte.ok()) return sizeByte.status();
  FieldDesc f;
  f.type = d.type;
  f.name = d.name;
  f.number = static_cast<uint16_t>(i + 1);
  f.sizeByte = *sizeByte;
  return f;
}

// The record and the key the fields make must fit the table's blocks.
Status CheckRecordAndKey(const TableSchema& s, const std::vector<FieldDesc>& fields,
                         uint32_t recordSize) {
  if (recordSize + 6 > s.blockSize)
    return Status::InvalidArgument("record of " + std::to_string(recordSize) +
                                   " bytes does not fit in a " + std::to_string(s.blockSize) +
                                   "-byte block");
  if (recordSize > 0xFFFF) return Status::InvalidArgument("record too large");
  if (s.keyFieldCount > std::min<size_t>(s.fields.size(), 16))
    return Status::InvalidArgument("a key has at most 16 fields and no more than the table");
  uint32_t keyLen = 0;
  for (uint16_t i = 0; i < s.keyFieldCount; ++i) {
    if (IsBlobType(fields[i].type))
      return Status::InvalidArgument("blob field \"" + fields[i].name + "\" cannot be a key field");
    keyLen += fields[i].Size();
  }
  if (s.keyFieldCount > 0 && (s.indexBlockSize - 6) / (keyLen + 6) < 3)
    return Status::InvalidArgument("key of " + std::to_string(keyLen) + " bytes is too long for " +
                                   std::to_string(s.indexBlockSize) + "-byte index blocks");
  return Status::OK();
}

// The fixed part and the extension of a new table's header, its fields in place.
void FillFixedPart(const TableSchema& s, TableHeader* h) {
  FixedHeader& fx = h->fixed;
  const uint8_t ver = VersionIdForLevel(s.level);
  fx.recordSize = static_cast<uint16_t>(h->ComputedRecordSize());
  fx.fileType = s.keyFieldCount > 0 ? 0 : 2;
  fx.blockSizeCode = static_cast<uint8_t>(s.blockSize / 1024);
  fx.unknown12 = 12;
  fx.numFields = static_cast<uint16_t>(s.fields.size());
  fx.primaryKeyFields = s.keyFieldCount;
  fx.fileVersionId = ver;
  fx.changeCount2 = 1;
  fx.writeProtected = s.writeProtected;
  const bool ext = HasExtension(fx.fileType, ver);
  h->hasExtension = ext;
  fx.encryption1 = ext ? 0xFF00FF00u : s.encryptionKey;
  if (s.encryptionKey == 0) {
    fx.unknown3E = 0x1F;
    fx.unknown3F = 0x0F;
  }
  if (ext) fx.unknown56 = 0x20;
  uint8_t so = 0;
  std::string soId;
  SortOrderForCodePage(s.codePage, &so, &soId);
  fx.sortOrder = s.sortOrder.value_or(so);
  h->sortOrderId = s.sortOrderId.empty() ? soId : s.sortOrderId;
  if (ext) {
    h->ext.fileVerId2 = h->ext.fileVerId3 = static_cast<uint16_t>(0x100 + ver);
    h->ext.encryption2 = s.encryptionKey;
    h->ext.hiFieldId = static_cast<uint16_t>(s.fields.size() + 1);
    h->ext.codePage = s.codePage;
    h->ext.unknown6C = 1;
    h->ext.unknown6D = 1;
  } else {
    h->sortOrderId.clear();
  }
}

}  // namespace

// The header of a new table, or (tableBlockSize) of a table rewritten with the block
// size it has: that one is kept whenever the format has it, even where the table's
// level would not give a new table that size. Changing it is not a rebuild's call.
Result<TableHeader> BuildHeader(const TableSchema& s, const std::string& dbPath,
                                bool tableBlockSize) {
  PARADOX_RETURN_IF_ERROR(CheckSchemaSizes(s, tableBlockSize));
  TableHeader h;
  uint32_t offset = 0;
  for (size_t i = 0; i < s.fields.size(); ++i) {
    auto f = FieldFor(s, i);
    if (!f.ok()) return f.status();
    f->offset = offset;
    offset += f->Size();
    h.fields.push_back(std::move(f).value());
  }
  PARADOX_RETURN_IF_ERROR(CheckRecordAndKey(s, h.fields, offset));
  FillFixedPart(s, &h);
  const uint8_t ver = h.fixed.fileVersionId;
  h.tableName = s.tableName.empty() ? PathBaseName(dbPath) : s.tableName;
  if (h.tableName.size() >= TableNameLength(ver)) h.tableName.resize(TableNameLength(ver) - 1);
  SetPointers(&h);
  h.fixed.headerSize = RoundHeader(ComputeVariableEnd(h), s.level);
  h.variableEnd = ComputeVariableEnd(h);
  return h;
}

Result<TableHeader> HeaderForSchema(const TableSchema& s, const std::string& dbPath) {
  return BuildHeader(s, dbPath, false);
}

uint16_t FieldDefSize(const FieldDesc& f) {
  if (IsBlobType(f.type)) return static_cast<uint16_t>(f.LeaderSize());
  const bool sized = IsKnownFieldType(static_cast<uint8_t>(f.type)) && FixedSizeByte(f.type) == 0;
  return sized ? f.sizeByte : 0;
}

TableSchema SchemaFromHeader(const TableHeader& h) {
  TableSchema s;
  s.level = h.level();
  s.blockSize = h.BlockSize();
  // As stored: 0 (the sort order alone names the character set) stays 0 in a rebuild.
  s.codePage = h.hasExtension ? h.CodePage() : 437;
  s.sortOrder = h.fixed.sortOrder;
  s.sortOrderId = h.sortOrderId;
  for (const auto& f : h.fields) {
    FieldDef d;
    d.name = f.name;
    d.type = f.type;
    d.size = FieldDefSize(f);
    s.fields.push_back(d);
  }
  s.keyFieldCount = h.fixed.primaryKeyFields;
  s.encryptionKey = h.EncryptionKey();
  s.tableName = h.tableName;
  s.writeProtected = h.fixed.writeProtected;
  return s;
}

}  // namespace paradox
