#include "paradox/format/format.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "paradox/format/collation.h"

namespace paradox {

bool LevelFromVersionId(uint8_t v, TableLevel* level) {
  if (v == 3)
    *level = TableLevel::k3_0;
  else if (v == 4)
    *level = TableLevel::k3_5;
  else if (v >= 5 && v <= 9)
    *level = TableLevel::k4;
  else if (v == 10 || v == 11)
    *level = TableLevel::k5;
  else if (v == 12)
    *level = TableLevel::k7;
  else
    return false;
  return true;
}

uint8_t VersionIdForLevel(TableLevel level) {
  switch (level) {
    case TableLevel::k3_0:
      return 3;
    case TableLevel::k3_5:
      return 4;
    case TableLevel::k4:
      return 9;
    case TableLevel::k5:
      return 11;
    case TableLevel::k7:
      return 12;
  }
  return 12;
}

const char* LevelName(TableLevel level) {
  switch (level) {
    case TableLevel::k3_0:
      return "3.0";
    case TableLevel::k3_5:
      return "3.5";
    case TableLevel::k4:
      return "4";
    case TableLevel::k5:
      return "5";
    case TableLevel::k7:
      return "7";
  }
  return "?";
}

bool BlockSizeKnown(uint32_t blockSize) {
  if (blockSize % 1024 != 0) return false;
  const uint32_t code = blockSize / 1024;
  return (code >= 1 && code <= 4) || code == 8 || code == 16 || code == 32;
}

bool BlockSizeAllowed(TableLevel level, uint32_t blockSize) {
  if (!BlockSizeKnown(blockSize)) return false;
  // The DOS-era levels address at most 4 KiB blocks; level 5 brought the large ones.
  return blockSize <= 4096 || level == TableLevel::k5 || level == TableLevel::k7;
}

bool IsKnownFieldType(uint8_t c) {
  switch (c) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x09:
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x0F:
    case 0x10:
    case 0x14:
    case 0x15:
    case 0x16:
    case 0x17:
    case 0x18:
      return true;
    default:
      return false;
  }
}

bool IsBlobType(FieldType t) {
  return t == FieldType::kMemo || t == FieldType::kBlob || t == FieldType::kFmtMemo ||
         t == FieldType::kOle || t == FieldType::kGraphic;
}

namespace {
// The letters a table structure is written in, one per field type.
constexpr struct {
  FieldType type;
  char letter;
} kTypeLetters[] = {
    {FieldType::kAlpha, 'A'},   {FieldType::kDate, 'D'},      {FieldType::kShort, 'S'},
    {FieldType::kLong, 'I'},    {FieldType::kMoney, '$'},     {FieldType::kNumber, 'N'},
    {FieldType::kLogical, 'L'}, {FieldType::kMemo, 'M'},      {FieldType::kBlob, 'B'},
    {FieldType::kFmtMemo, 'F'}, {FieldType::kOle, 'O'},       {FieldType::kGraphic, 'G'},
    {FieldType::kTime, 'T'},    {FieldType::kTimestamp, '@'}, {FieldType::kAutoInc, '+'},
    {FieldType::kBcd, '#'},     {FieldType::kBytes, 'Y'},
};
}  // namespace

char FieldTypeLetter(FieldType t) {
  for (const auto& m : kTypeLetters)
    if (m.type == t) return m.letter;
  return '?';
}

bool FieldTypeFromLetter(char letter, FieldType* t) {
  for (const auto& m : kTypeLetters) {
    if (m.letter == letter) {
      *t = m.type;
      return true;
    }
  }
  return false;
}

const char* FieldTypeName(FieldType t) {
  switch (t) {
    case FieldType::kAlpha:
      return "Alpha";
    case FieldType::kDate:
      return "Date";
    case FieldType::kShort:
      return "Short";
    case FieldType::kLong:
      return "Long";
    case FieldType::kMoney:
      return "Money";
    case FieldType::kNumber:
      return "Number";
    case FieldType::kLogical:
      return "Logical";
    case FieldType::kMemo:
      return "Memo";
    case FieldType::kBlob:
      return "Binary";
    case FieldType::kFmtMemo:
      return "FmtMemo";
    case FieldType::kOle:
      return "OLE";
    case FieldType::kGraphic:
      return "Graphic";
    case FieldType::kTime:
      return "Time";
    case FieldType::kTimestamp:
      return "Timestamp";
    case FieldType::kAutoInc:
      return "Autoinc";
    case FieldType::kBcd:
      return "BCD";
    case FieldType::kBytes:
      return "Bytes";
  }
  return "Unknown";
}

static int FixedSize(FieldType t) {
  switch (t) {
    case FieldType::kDate:
    case FieldType::kLong:
    case FieldType::kTime:
    case FieldType::kAutoInc:
      return 4;
    case FieldType::kShort:
      return 2;
    case FieldType::kMoney:
    case FieldType::kNumber:
    case FieldType::kTimestamp:
      return 8;
    case FieldType::kLogical:
      return 1;
    case FieldType::kBcd:
      return 17;
    default:
      return 0;
  }
}

uint32_t StoredFieldSize(FieldType t, uint8_t sizeByte) {
  if (t == FieldType::kBcd) return 17;
  return sizeByte;
}

Status ValidateFieldDescriptor(FieldType t, uint8_t s) {
  auto bad = [&](const char* rule) {
    return Status::InvalidArgument(std::string(FieldTypeName(t)) + " field has size " +
                                   std::to_string(s) + " (" + rule + ")");
  };
  if (!IsKnownFieldType(static_cast<uint8_t>(t)))
    return Status::InvalidArgument("unknown field type code " + std::to_string(int(t)));
  switch (t) {
    case FieldType::kAlpha:
    case FieldType::kBytes:
      return s >= 1 ? Status::OK() : bad("must be 1-255");
    case FieldType::kMemo:
      return s >= 11 && s <= 250 ? Status::OK() : bad("must be 11-250");
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return s >= 10 && s <= 250 ? Status::OK() : bad("must be 10-250");
    case FieldType::kBcd:
      return s <= 32 ? Status::OK() : bad("decimals must be 0-32");
    default:
      return s == FixedSize(t) ? Status::OK()
                               : bad(("must be " + std::to_string(FixedSize(t))).c_str());
  }
}

TableLevel MinLevelForType(FieldType t) {
  switch (t) {
    case FieldType::kAlpha:
    case FieldType::kDate:
    case FieldType::kShort:
    case FieldType::kMoney:
    case FieldType::kNumber:
      return TableLevel::k3_0;
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return TableLevel::k4;
    default:
      return TableLevel::k5;
  }
}

// ---------------------------------------------------------------------------

Status FixedHeader::DecodeFrom(ByteSpan in) {
  if (in.size() < kEncodedLength)
    return Status::Corruption("header: file has " + std::to_string(in.size()) +
                              " bytes, fewer than the 88-byte fixed header");
  const uint8_t* p = in.data();
  recordSize = DecodeU16(p + 0x00);
  headerSize = DecodeU16(p + 0x02);
  fileType = p[0x04];
  blockSizeCode = p[0x05];
  numRecords = DecodeU32(p + 0x06);
  blocksInUse = DecodeU16(p + 0x0A);
  fileBlocks = DecodeU16(p + 0x0C);
  firstBlock = DecodeU16(p + 0x0E);
  lastBlock = DecodeU16(p + 0x10);
  unknown12 = DecodeU16(p + 0x12);
  modifiedFlags1 = p[0x14];
  indexFieldNumber = p[0x15];
  ramPtr16 = DecodeU32(p + 0x16);
  ramPtr1A = DecodeU32(p + 0x1A);
  indexRoot = DecodeU16(p + 0x1E);
  numIndexLevels = p[0x20];
  numFields = DecodeU16(p + 0x21);
  primaryKeyFields = DecodeU16(p + 0x23);
  encryption1 = DecodeU32(p + 0x25);
  sortOrder = p[0x29];
  modifiedFlags2 = p[0x2A];
  unknown2B = p[0x2B];
  indexSyncCount = p[0x2C];
  changeCount1 = p[0x2D];
  changeCount2 = p[0x2E];
  xSyncCount = p[0x2F];
  ramPtr30 = DecodeU32(p + 0x30);
  ramPtr34 = DecodeU32(p + 0x34);
  writeProtected = p[0x38];
  fileVersionId = p[0x39];
  maxBlocks = DecodeU16(p + 0x3A);
  unknown3C = p[0x3C];
  auxPasswords = p[0x3D];
  unknown3E = p[0x3E];
  unknown3F = p[0x3F];
  cryptInfoStart = DecodeU32(p + 0x40);
  cryptInfoEnd = DecodeU32(p + 0x44);
  unknown48 = p[0x48];
  autoInc = DecodeU32(p + 0x49);
  firstFreeBlock = DecodeU16(p + 0x4D);
  indexUpdateRequired = p[0x4F];
  unknown50 = p[0x50];
  realHeaderSize = DecodeU16(p + 0x51);
  unknown53 = p[0x53];
  unknown54 = p[0x54];
  flags55 = p[0x55];
  unknown56 = p[0x56];
  unknown57 = p[0x57];
  return Status::OK();
}

void FixedHeader::EncodeTo(uint8_t* p) const {
  std::memset(p, 0, kEncodedLength);
  EncodeU16(p + 0x00, recordSize);
  EncodeU16(p + 0x02, headerSize);
  p[0x04] = fileType;
  p[0x05] = blockSizeCode;
  EncodeU32(p + 0x06, numRecords);
  EncodeU16(p + 0x0A, blocksInUse);
  EncodeU16(p + 0x0C, fileBlocks);
  EncodeU16(p + 0x0E, firstBlock);
  EncodeU16(p + 0x10, lastBlock);
  EncodeU16(p + 0x12, unknown12);
  p[0x14] = modifiedFlags1;
  p[0x15] = indexFieldNumber;
  EncodeU32(p + 0x16, ramPtr16);
  EncodeU32(p + 0x1A, ramPtr1A);
  EncodeU16(p + 0x1E, indexRoot);
  p[0x20] = numIndexLevels;
  EncodeU16(p + 0x21, numFields);
  EncodeU16(p + 0x23, primaryKeyFields);
  EncodeU32(p + 0x25, encryption1);
  p[0x29] = sortOrder;
  p[0x2A] = modifiedFlags2;
  p[0x2B] = unknown2B;
  p[0x2C] = indexSyncCount;
  p[0x2D] = changeCount1;
  p[0x2E] = changeCount2;
  p[0x2F] = xSyncCount;
  EncodeU32(p + 0x30, ramPtr30);
  EncodeU32(p + 0x34, ramPtr34);
  p[0x38] = writeProtected;
  p[0x39] = fileVersionId;
  EncodeU16(p + 0x3A, maxBlocks);
  p[0x3C] = unknown3C;
  p[0x3D] = auxPasswords;
  p[0x3E] = unknown3E;
  p[0x3F] = unknown3F;
  EncodeU32(p + 0x40, cryptInfoStart);
  EncodeU32(p + 0x44, cryptInfoEnd);
  p[0x48] = unknown48;
  EncodeU32(p + 0x49, autoInc);
  EncodeU16(p + 0x4D, firstFreeBlock);
  p[0x4F] = indexUpdateRequired;
  p[0x50] = unknown50;
  EncodeU16(p + 0x51, realHeaderSize);
  p[0x53] = unknown53;
  p[0x54] = unknown54;
  p[0x55] = flags55;
  p[0x56] = unknown56;
  p[0x57] = unknown57;
}

Status HeaderExtension::DecodeFrom(ByteSpan in) {
  if (in.size() < kEncodedLength)
    return Status::Corruption("header: extension at 0x58 is cut short");
  const uint8_t* p = in.data();
  fileVerId2 = DecodeU16(p + 0x00);
  fileVerId3 = DecodeU16(p + 0x02);
  encryption2 = DecodeU32(p + 0x04);
  fileUpdateTime = DecodeU32(p + 0x08);
  hiFieldId = DecodeU16(p + 0x0C);
  fieldNumbersOffset = DecodeU16(p + 0x0E);
  indexNameOffset = DecodeU16(p + 0x10);
  codePage = DecodeU16(p + 0x12);
  unknown6C = p[0x14];
  unknown6D = p[0x15];
  sortOrderIdOffset = DecodeU16(p + 0x16);
  changeCount4 = DecodeU16(p + 0x18);
  std::memcpy(unknown72, p + 0x1A, 6);
  return Status::OK();
}

void HeaderExtension::EncodeTo(uint8_t* p) const {
  EncodeU16(p + 0x00, fileVerId2);
  EncodeU16(p + 0x02, fileVerId3);
  EncodeU32(p + 0x04, encryption2);
  EncodeU32(p + 0x08, fileUpdateTime);
  EncodeU16(p + 0x0C, hiFieldId);
  EncodeU16(p + 0x0E, fieldNumbersOffset);
  EncodeU16(p + 0x10, indexNameOffset);
  EncodeU16(p + 0x12, codePage);
  p[0x14] = unknown6C;
  p[0x15] = unknown6D;
  EncodeU16(p + 0x16, sortOrderIdOffset);
  EncodeU16(p + 0x18, changeCount4);
  std::memcpy(p + 0x1A, unknown72, 6);
}

bool HasExtension(uint8_t fileType, uint8_t fileVersionId) {
  return fileVersionId >= 5 && IsDataFileType(fileType);
}

size_t TableNameLength(uint8_t fileVersionId) {
  return fileVersionId >= 12 ? 261 : 79;
}

TableLevel TableHeader::level() const {
  TableLevel l = TableLevel::k7;
  LevelFromVersionId(fixed.fileVersionId, &l);
  return l;
}

uint32_t TableHeader::ComputedRecordSize() const {
  uint32_t s = 0;
  for (const auto& f : fields) s += f.Size();
  return s;
}

int TableHeader::FieldIndex(const std::string& name) const {
  const Collation* collation = Collation::ForHeader(*this);
  const std::string want = UpperCaseName(name, collation);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name.size() == name.size() && UpperCaseName(fields[i].name, collation) == want)
      return static_cast<int>(i);
  }
  return -1;
}

namespace {

// Decodes the variable part after fixed (and extension) into h.
Status DecodeVariable(ByteSpan in, TableHeader* h) {
  const FixedHeader& fx = h->fixed;
  const bool data = IsDataFileType(fx.fileType);
  const size_t base = h->hasExtension ? 0x78 : 0x58;
  ByteReader r(in, "header", 0);
  r.Seek(base);
  const uint16_t n = fx.numFields;
  if (n > 255) return r.Error("field count " + std::to_string(n) + " exceeds 255");
  if (!r.Fits(n, 2))
    return r.Error("field descriptors for " + std::to_string(n) + " fields do not fit");
  h->fields.assign(n, FieldDesc());
  uint32_t offset = 0;
  for (uint16_t i = 0; i < n; ++i) {
    uint8_t type, size;
    r.U8(&type);
    r.U8(&size);
    h->fields[i].type = static_cast<FieldType>(type);
    h->fields[i].sizeByte = size;
    h->fields[i].number = static_cast<uint16_t>(i + 1);
    h->fields[i].offset = offset;
    offset += h->fields[i].Size();
  }
  if (!r.U32(&h->tableNamePtr)) return r.Error("table-name pointer missing");
  if (data) {
    if (!r.Fits(n, 4)) return r.Error("field-name pointers do not fit");
    h->fieldNamePtrs.resize(n);
    for (auto& p : h->fieldNamePtrs) r.U32(&p);
  }
  const size_t L = TableNameLength(fx.fileVersionId);
  if (!r.FixedString(L, &h->tableName)) return r.Error("table name area cut short");
  if (data) {
    for (uint16_t i = 0; i < n; ++i) {
      if (!r.CString(&h->fields[i].name))
        return r.Error("name of field " + std::to_string(i + 1) +
                       " is not terminated inside the header");
    }
  }
  if (data && h->hasExtension) {
    // The stored offsets are authoritative when they point inside the header; the
    // items normally follow each other directly.
    size_t fnPos = r.position();
    if (h->ext.fieldNumbersOffset != 0 && h->ext.fieldNumbersOffset + 0x58u + 2u * n <= in.size() &&
        h->ext.fieldNumbersOffset + 0x58u >= fnPos)
      fnPos = h->ext.fieldNumbersOffset + 0x58u;
    r.Seek(fnPos);
    if (!r.Fits(n, 2)) return r.Error("field numbers do not fit");
    for (uint16_t i = 0; i < n; ++i) r.U16(&h->fields[i].number);
    size_t soPos = r.position();
    if (h->ext.sortOrderIdOffset != 0 && h->ext.sortOrderIdOffset + 0x58u < in.size() &&
        h->ext.sortOrderIdOffset + 0x58u >= soPos)
      soPos = h->ext.sortOrderIdOffset + 0x58u;
    r.Seek(soPos);
    if (!r.CString(&h->sortOrderId)) return r.Error("sort order name is not terminated");
    if (fx.fileType == 6 || fx.fileType == 8) {
      size_t inPos = r.position();
      if (h->ext.indexNameOffset != 0 && h->ext.indexNameOffset + 0x58u < in.size())
        inPos = h->ext.indexNameOffset + 0x58u;
      if (r.Seek(inPos) && r.CString(&h->indexName)) {
      } else {
        return r.Error("index name is not terminated");
      }
    }
  }
  h->variableEnd = static_cast<uint32_t>(r.position());
  return Status::OK();
}

}  // namespace

Result<TableHeader> DecodeTableHeader(ByteSpan in) {
  TableHeader h;
  PARADOX_RETURN_IF_ERROR(h.fixed.DecodeFrom(in));
  h.hasExtension = HasExtension(h.fixed.fileType, h.fixed.fileVersionId);
  if (h.hasExtension) PARADOX_RETURN_IF_ERROR(h.ext.DecodeFrom(in.subspan(0x58)));
  size_t limit = std::min<size_t>(in.size(), std::max<size_t>(h.fixed.headerSize, 0x58));
  PARADOX_RETURN_IF_ERROR(DecodeVariable(in.subspan(0, limit), &h));
  h.raw.assign(in.begin(), in.begin() + limit);
  return h;
}

Result<TableHeader> DecodeTableHeaderWithTemplate(ByteSpan in, const TableHeader& templ) {
  TableHeader h = templ;
  FixedHeader fx;
  PARADOX_RETURN_IF_ERROR(fx.DecodeFrom(in));
  // Counters and links from the file; layout from the template.
  h.fixed.numRecords = fx.numRecords;
  h.fixed.blocksInUse = fx.blocksInUse;
  h.fixed.fileBlocks = fx.fileBlocks;
  h.fixed.firstBlock = fx.firstBlock;
  h.fixed.lastBlock = fx.lastBlock;
  h.fixed.firstFreeBlock = fx.firstFreeBlock;
  h.fixed.autoInc = fx.autoInc;
  h.raw.assign(in.begin(), in.begin() + std::min<size_t>(in.size(), templ.fixed.headerSize));
  return h;
}

uint32_t ComputeVariableEnd(const TableHeader& h) {
  const FixedHeader& fx = h.fixed;
  const bool data = IsDataFileType(fx.fileType);
  const bool ext = HasExtension(fx.fileType, fx.fileVersionId);
  size_t n = h.fields.size();
  size_t pos = (ext ? 0x78 : 0x58) + 2 * n + 4;
  if (data) pos += 4 * n;
  pos += TableNameLength(fx.fileVersionId);
  if (data) {
    for (const auto& f : h.fields) pos += f.name.size() + 1;
    if (ext) {
      pos += 2 * n + h.sortOrderId.size() + 1;
      if (fx.fileType == 6 || fx.fileType == 8) pos += h.indexName.size() + 1;
    }
  }
  return static_cast<uint32_t>(pos);
}

Result<Bytes> EncodeTableHeader(const TableHeader& h) {
  const FixedHeader& fx = h.fixed;
  const bool data = IsDataFileType(fx.fileType);
  const bool ext = HasExtension(fx.fileType, fx.fileVersionId);
  if (h.fields.size() != fx.numFields)
    return Status::InvalidArgument("header: numFields does not match the field list");
  uint32_t end = ComputeVariableEnd(h);
  if (end > fx.headerSize)
    return Status::InvalidArgument("header: variable part needs " + std::to_string(end) +
                                   " bytes but headerSize is " + std::to_string(fx.headerSize));
  Bytes out(fx.headerSize, 0);
  FixedHeader f2 = fx;
  HeaderExtension e2 = h.ext;
  size_t n = h.fields.size();
  size_t pos = (ext ? 0x78 : 0x58);
  for (const auto& f : h.fields) {
    out[pos++] = static_cast<uint8_t>(f.type);
    out[pos++] = f.sizeByte;
  }
  EncodeU32(out.data() + pos, h.tableNamePtr);
  pos += 4;
  if (data) {
    for (size_t i = 0; i < n; ++i) {
      EncodeU32(out.data() + pos, i < h.fieldNamePtrs.size() ? h.fieldNamePtrs[i] : 0);
      pos += 4;
    }
  }
  size_t L = TableNameLength(fx.fileVersionId);
  std::memcpy(out.data() + pos, h.tableName.data(), std::min(L - 1, h.tableName.size()));
  pos += L;
  if (data) {
    for (const auto& f : h.fields) {
      std::memcpy(out.data() + pos, f.name.data(), f.name.size());
      pos += f.name.size() + 1;
    }
    if (ext) {
      e2.fieldNumbersOffset = static_cast<uint16_t>(pos - 0x58);
      for (const auto& f : h.fields) {
        EncodeU16(out.data() + pos, f.number);
        pos += 2;
      }
      e2.sortOrderIdOffset = static_cast<uint16_t>(pos - 0x58);
      std::memcpy(out.data() + pos, h.sortOrderId.data(), h.sortOrderId.size());
      pos += h.sortOrderId.size() + 1;
      if (fx.fileType == 6 || fx.fileType == 8) {
        e2.indexNameOffset = static_cast<uint16_t>(pos - 0x58);
        std::memcpy(out.data() + pos, h.indexName.data(), h.indexName.size());
        pos += h.indexName.size() + 1;
      } else {
        e2.indexNameOffset = 0;
      }
    }
  }
  f2.realHeaderSize = fx.fileVersionId <= 3 ? 0 : static_cast<uint16_t>(pos);
  f2.EncodeTo(out.data());
  if (ext) e2.EncodeTo(out.data() + 0x58);
  return out;
}

void BlockHeader::DecodeFrom(const uint8_t* in) {
  nextBlock = DecodeU16(in);
  prevBlock = DecodeU16(in + 2);
  addDataSize = DecodeS16(in + 4);
}

void BlockHeader::EncodeTo(uint8_t* out) const {
  EncodeU16(out, nextBlock);
  EncodeU16(out + 2, prevBlock);
  EncodeS16(out + 4, addDataSize);
}

int BlockHeader::RecordCount(uint32_t recordSize, uint32_t blockSize) const {
  if (recordSize == 0) return -1;
  int add = addDataSize;
  int rs = static_cast<int>(recordSize);
  if (add == -rs) return 0;
  if (add < 0 || add % rs != 0) return -1;
  int n = add / rs + 1;
  if (static_cast<uint32_t>(n) > BlockCapacity(blockSize, recordSize)) return -1;
  return n;
}

}  // namespace paradox
