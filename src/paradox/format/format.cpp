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

namespace {
// Everything the format fixes about each field type: the letter a structure is written
// in, its name, the size byte every descriptor of the type has (0: the descriptor
// chooses: A, Y and the blob types their size, # its decimals), and the first level
// whose tables may hold it.
constexpr struct FieldTypeInfo {
  FieldType type;
  char letter;
  const char* name;
  uint8_t fixedSize;
  TableLevel minLevel;
} kFieldTypes[] = {
    {FieldType::kAlpha, 'A', "Alpha", 0, TableLevel::k3_0},
    {FieldType::kDate, 'D', "Date", 4, TableLevel::k3_0},
    {FieldType::kShort, 'S', "Short", 2, TableLevel::k3_0},
    {FieldType::kLong, 'I', "Long", 4, TableLevel::k5},
    {FieldType::kMoney, '$', "Money", 8, TableLevel::k3_0},
    {FieldType::kNumber, 'N', "Number", 8, TableLevel::k3_0},
    {FieldType::kLogical, 'L', "Logical", 1, TableLevel::k5},
    {FieldType::kMemo, 'M', "Memo", 0, TableLevel::k4},
    {FieldType::kBlob, 'B', "Binary", 0, TableLevel::k4},
    {FieldType::kFmtMemo, 'F', "FmtMemo", 0, TableLevel::k4},
    {FieldType::kOle, 'O', "OLE", 0, TableLevel::k4},
    {FieldType::kGraphic, 'G', "Graphic", 0, TableLevel::k4},
    {FieldType::kTime, 'T', "Time", 4, TableLevel::k5},
    {FieldType::kTimestamp, '@', "Timestamp", 8, TableLevel::k5},
    {FieldType::kAutoInc, '+', "Autoinc", 4, TableLevel::k5},
    {FieldType::kBcd, '#', "BCD", 0, TableLevel::k5},
    {FieldType::kBytes, 'Y', "Bytes", 0, TableLevel::k5},
};

const FieldTypeInfo* InfoOf(FieldType t) {
  for (const auto& m : kFieldTypes)
    if (m.type == t) return &m;
  return nullptr;
}
}  // namespace

bool IsKnownFieldType(uint8_t c) {
  return InfoOf(static_cast<FieldType>(c)) != nullptr;
}

bool IsBlobType(FieldType t) {
  return t == FieldType::kMemo || t == FieldType::kBlob || t == FieldType::kFmtMemo ||
         t == FieldType::kOle || t == FieldType::kGraphic;
}

char FieldTypeLetter(FieldType t) {
  const FieldTypeInfo* m = InfoOf(t);
  return m ? m->letter : '?';
}

bool FieldTypeFromLetter(char letter, FieldType* t) {
  for (const auto& m : kFieldTypes) {
    if (m.letter == letter) {
      *t = m.type;
      return true;
    }
  }
  return false;
}

const char* FieldTypeName(FieldType t) {
  const FieldTypeInfo* m = InfoOf(t);
  return m ? m->name : "Unknown";
}

uint8_t FixedSizeByte(FieldType t) {
  const FieldTypeInfo* m = InfoOf(t);
  return m ? m->fixedSize : 0;
}

uint32_t StoredFieldSize(FieldType t, uint8_t sizeByte) {
  if (t == FieldType::kBcd) return kBcdStoredSize;
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
      return s == FixedSizeByte(t) ? Status::OK()
                                   : bad(("must be " + std::to_string(FixedSizeByte(t))).c_str());
  }
}

TableLevel MinLevelForType(FieldType t) {
  const FieldTypeInfo* m = InfoOf(t);
  return m ? m->minLevel : TableLevel::k5;
}

void FieldDesc::DecodeDescriptor(const uint8_t* in) {
  type = static_cast<FieldType>(in[0]);
  sizeByte = in[1];
}

void FieldDesc::EncodeDescriptor(uint8_t* out) const {
  out[0] = static_cast<uint8_t>(type);
  out[1] = sizeByte;
}

// ---------------------------------------------------------------------------

namespace {

// The fixed part's fields at their offsets, for FieldDecoder and FieldEncoder.
template <class Header, class At>
void FixedLayout(Header& h, const At& at) {
  at(0x00, h.recordSize);
  at(0x02, h.headerSize);
  at(0x04, h.fileType);
  at(0x05, h.blockSizeCode);
  at(0x06, h.numRecords);
  at(0x0A, h.blocksInUse);
  at(0x0C, h.fileBlocks);
  at(0x0E, h.firstBlock);
  at(0x10, h.lastBlock);
  at(0x12, h.unknown12);
  at(0x14, h.modifiedFlags1);
  at(0x15, h.indexFieldNumber);
  at(0x16, h.ramPtr16);
  at(0x1A, h.ramPtr1A);
  at(0x1E, h.indexRoot);
  at(0x20, h.numIndexLevels);
  at(0x21, h.numFields);
  at(0x23, h.primaryKeyFields);
  at(0x25, h.encryption1);
  at(0x29, h.sortOrder);
  at(0x2A, h.modifiedFlags2);
  at(0x2B, h.unknown2B);
  at(0x2C, h.indexSyncCount);
  at(0x2D, h.changeCount1);
  at(0x2E, h.changeCount2);
  at(0x2F, h.xSyncCount);
  at(0x30, h.ramPtr30);
  at(0x34, h.ramPtr34);
  at(0x38, h.writeProtected);
  at(0x39, h.fileVersionId);
  at(0x3A, h.maxBlocks);
  at(0x3C, h.unknown3C);
  at(0x3D, h.auxPasswords);
  at(0x3E, h.unknown3E);
  at(0x3F, h.unknown3F);
  at(0x40, h.cryptInfoStart);
  at(0x44, h.cryptInfoEnd);
  at(0x48, h.unknown48);
  at(0x49, h.autoInc);
  at(0x4D, h.firstFreeBlock);
  at(0x4F, h.indexUpdateRequired);
  at(0x50, h.unknown50);
  at(0x51, h.realHeaderSize);
  at(0x53, h.unknown53);
  at(0x54, h.unknown54);
  at(0x55, h.flags55);
  at(0x56, h.unknown56);
  at(0x57, h.unknown57);
}

// The extension's fields, offsets from its start (0x58).
template <class Extension, class At>
void ExtensionLayout(Extension& e, const At& at) {
  at(0x00, e.fileVerId2);
  at(0x02, e.fileVerId3);
  at(0x04, e.encryption2);
  at(0x08, e.fileUpdateTime);
  at(0x0C, e.hiFieldId);
  at(0x0E, e.fieldNumbersOffset);
  at(0x10, e.indexNameOffset);
  at(0x12, e.codePage);
  at(0x14, e.unknown6C);
  at(0x15, e.unknown6D);
  at(0x16, e.sortOrderIdOffset);
  at(0x18, e.changeCount4);
  at(0x1A, e.unknown72);
}

}  // namespace

Status FixedHeader::DecodeFrom(ByteSpan in) {
  if (in.size() < kEncodedLength)
    return Status::Corruption("header: file has " + std::to_string(in.size()) +
                              " bytes, fewer than the 88-byte fixed header");
  FixedLayout(*this, FieldDecoder{in.data()});
  return Status::OK();
}

void FixedHeader::EncodeTo(uint8_t* p) const {
  FixedLayout(*this, FieldEncoder{p});
}

Status HeaderExtension::DecodeFrom(ByteSpan in) {
  if (in.size() < kEncodedLength)
    return Status::Corruption("header: extension at 0x58 is cut short");
  ExtensionLayout(*this, FieldDecoder{in.data()});
  return Status::OK();
}

void HeaderExtension::EncodeTo(uint8_t* p) const {
  ExtensionLayout(*this, FieldEncoder{p});
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
  const size_t base = DescriptorsOffset(h->hasExtension);
  ByteReader r(in, "header", 0);
  r.Seek(base);
  const uint16_t n = fx.numFields;
  if (n > 255) return r.Error("field count " + std::to_string(n) + " exceeds 255");
  if (!r.Fits(n, FieldDesc::kDescriptorLength))
    return r.Error("field descriptors for " + std::to_string(n) + " fields do not fit");
  h->fields.assign(n, FieldDesc());
  uint32_t offset = 0;
  for (uint16_t i = 0; i < n; ++i) {
    ByteSpan descriptor;
    r.Take(FieldDesc::kDescriptorLength, &descriptor);
    h->fields[i].DecodeDescriptor(descriptor.data());
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
    const size_t fnAt = h->ext.fieldNumbersOffset + kExtensionOffset;
    if (h->ext.fieldNumbersOffset != 0 && fnAt + 2u * n <= in.size() && fnAt >= fnPos) fnPos = fnAt;
    r.Seek(fnPos);
    if (!r.Fits(n, 2)) return r.Error("field numbers do not fit");
    for (uint16_t i = 0; i < n; ++i) r.U16(&h->fields[i].number);
    size_t soPos = r.position();
    const size_t soAt = h->ext.sortOrderIdOffset + kExtensionOffset;
    if (h->ext.sortOrderIdOffset != 0 && soAt < in.size() && soAt >= soPos) soPos = soAt;
    r.Seek(soPos);
    if (!r.CString(&h->sortOrderId)) return r.Error("sort order name is not terminated");
    if (fx.fileType == 6 || fx.fileType == 8) {
      size_t inPos = r.position();
      const size_t inAt = h->ext.indexNameOffset + kExtensionOffset;
      if (h->ext.indexNameOffset != 0 && inAt < in.size()) inPos = inAt;
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
  if (h.hasExtension) PARADOX_RETURN_IF_ERROR(h.ext.DecodeFrom(in.subspan(kExtensionOffset)));
  size_t limit = std::min<size_t>(
      in.size(), std::max<size_t>(h.fixed.headerSize, FixedHeader::kEncodedLength));
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
  size_t pos = DescriptorsOffset(ext) + FieldDesc::kDescriptorLength * n + 4;
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
  size_t pos = DescriptorsOffset(ext);
  for (const auto& f : h.fields) {
    f.EncodeDescriptor(out.data() + pos);
    pos += FieldDesc::kDescriptorLength;
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
      e2.fieldNumbersOffset = static_cast<uint16_t>(pos - kExtensionOffset);
      for (const auto& f : h.fields) {
        EncodeU16(out.data() + pos, f.number);
        pos += 2;
      }
      e2.sortOrderIdOffset = static_cast<uint16_t>(pos - kExtensionOffset);
      std::memcpy(out.data() + pos, h.sortOrderId.data(), h.sortOrderId.size());
      pos += h.sortOrderId.size() + 1;
      if (fx.fileType == 6 || fx.fileType == 8) {
        e2.indexNameOffset = static_cast<uint16_t>(pos - kExtensionOffset);
        std::memcpy(out.data() + pos, h.indexName.data(), h.indexName.size());
        pos += h.indexName.size() + 1;
      } else {
        e2.indexNameOffset = 0;
      }
    }
  }
  f2.realHeaderSize = fx.fileVersionId <= 3 ? 0 : static_cast<uint16_t>(pos);
  f2.EncodeTo(out.data());
  if (ext) e2.EncodeTo(out.data() + kExtensionOffset);
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
