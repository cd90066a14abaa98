// On-disk structures of Paradox files: enums for levels, file and field types, the
// file header (fixed part, level >= 4 extension, variable part), the data block
// header. Each structure has DecodeFrom/EncodeTo and its size as a constant.
// Offsets in comments are those of the file format (hex).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/status.h"

namespace paradox {

// Table level ("format generation") and its fileVersionID byte (0x39).
enum class TableLevel : uint8_t { k3_0, k3_5, k4, k5, k7 };
// Level from fileVersionID: 3 -> 3.0, 4 -> 3.5, 5..9 -> 4, 10..11 -> 5, 12 -> 7.
// Returns false for other values.
bool LevelFromVersionId(uint8_t versionId, TableLevel* level);
// The usual fileVersionID written for a level: 3, 4, 9, 11, 12.
uint8_t VersionIdForLevel(TableLevel level);
const char* LevelName(TableLevel level);  // "3.0", "3.5", "4", "5", "7"
// Block sizes tables of this level have (bytes): 1k,2k,3k,4k at every level; plus
// 8k,16k,32k from level 5 on. What a new table may get.
bool BlockSizeAllowed(TableLevel level, uint32_t blockSize);
// Block sizes the format has at all, whatever the level (1k-4k, 8k, 16k, 32k): what a
// rebuild keeps from the table. Others are not a multiple of 1 KiB, have no code, or
// overflow the 16-bit in-block sizes.
bool BlockSizeKnown(uint32_t blockSize);

// Byte 0x04.
enum class FileType : uint8_t {
  kKeyedDb = 0,
  kPrimaryIndex = 1,  // .PX
  kUnkeyedDb = 2,
  kSecondaryX = 3,      // .Xnn, non-maintained
  kSecondaryY = 4,      // .Ynn
  kSecondaryXInc = 5,   // .Xnn, maintained
  kSecondaryXg = 6,     // .XGn, non-maintained
  kSecondaryYg = 7,     // .YGn
  kSecondaryXgInc = 8,  // .XGn, maintained
};
// DB-format files (data blocks of records): DB, X, XG.
inline bool IsDataFileType(uint8_t t) {
  return t == 0 || t == 2 || t == 3 || t == 5 || t == 6 || t == 8;
}
// Index-format files (B-tree blocks): PX, Y, YG.
inline bool IsIndexFileType(uint8_t t) {
  return t == 1 || t == 4 || t == 7;
}
inline bool IsSecondaryDataType(uint8_t t) {
  return t == 3 || t == 5 || t == 6 || t == 8;
}

enum class FieldType : uint8_t {
  kAlpha = 0x01,      // A
  kDate = 0x02,       // D
  kShort = 0x03,      // S
  kLong = 0x04,       // I
  kMoney = 0x05,      // $
  kNumber = 0x06,     // N
  kLogical = 0x09,    // L
  kMemo = 0x0C,       // M
  kBlob = 0x0D,       // B
  kFmtMemo = 0x0E,    // F
  kOle = 0x0F,        // O
  kGraphic = 0x10,    // G
  kTime = 0x14,       // T
  kTimestamp = 0x15,  // @
  kAutoInc = 0x16,    // +
  kBcd = 0x17,        // #
  kBytes = 0x18,      // Y
};
bool IsKnownFieldType(uint8_t code);
bool IsBlobType(FieldType t);
char FieldTypeLetter(FieldType t);                    // 'A', 'D', ..., '?' for unknown
bool FieldTypeFromLetter(char letter, FieldType* t);  // false for an unknown letter
const char* FieldTypeName(FieldType t);
// Bytes a BCD field occupies whatever its descriptor says (its size byte: the decimals).
inline constexpr uint32_t kBcdStoredSize = 17;
// Bytes a field occupies in a record given its descriptor size byte (BCD: 17).
uint32_t StoredFieldSize(FieldType t, uint8_t sizeByte);
// The size byte every descriptor of the type has (D, S, I, $, N, L, T, @, +); 0 when the
// descriptor chooses it (A, Y, the blob types, # its decimals) or the type is unknown.
uint8_t FixedSizeByte(FieldType t);
// Checks type and size byte (A/Y 1-255, M 11-250, B/F/O/G 10-250, # 0-32, fixed
// types their fixed size); returns InvalidArgument naming the problem.
Status ValidateFieldDescriptor(FieldType t, uint8_t sizeByte);
// Lowest level whose tables may contain the type (A,D,S,$,N: 3.0; M,B,F,O,G: 4; others: 5).
TableLevel MinLevelForType(FieldType t);

// One field as described by the header. Its descriptor (type, size byte) is two bytes
// of the header's descriptor list.
struct FieldDesc {
  static constexpr size_t kDescriptorLength = 2;
  FieldType type = FieldType::kAlpha;
  uint8_t sizeByte = 0;  // descriptor size byte (A/Y length, blob leader+10, # decimals)
  std::string name;      // raw bytes in the table's code page
  uint16_t number = 0;   // fieldNumbers entry (level >= 4), else 1-based position
  uint32_t offset = 0;   // offset inside the record
  uint32_t Size() const { return StoredFieldSize(type, sizeByte); }
  // Blob fields: bytes of the in-record leader (size - 10).
  uint32_t LeaderSize() const { return Size() >= 10 ? Size() - 10 : 0; }
  void DecodeDescriptor(const uint8_t* in);  // type and sizeByte from kDescriptorLength bytes
  void EncodeDescriptor(uint8_t* out) const;
  bool operator==(const FieldDesc&) const = default;
};

// Fixed part of every Paradox file header, 0x00-0x57.
struct FixedHeader {
  static constexpr size_t kEncodedLength = 0x58;
  uint16_t recordSize = 0;          // 00
  uint16_t headerSize = 0;          // 02
  uint8_t fileType = 0;             // 04
  uint8_t blockSizeCode = 0;        // 05 (x 1024)
  uint32_t numRecords = 0;          // 06
  uint16_t blocksInUse = 0;         // 0A
  uint16_t fileBlocks = 0;          // 0C
  uint16_t firstBlock = 0;          // 0E
  uint16_t lastBlock = 0;           // 10
  uint16_t unknown12 = 0;           // 12
  uint8_t modifiedFlags1 = 0;       // 14
  uint8_t indexFieldNumber = 0;     // 15
  uint32_t ramPtr16 = 0;            // 16
  uint32_t ramPtr1A = 0;            // 1A
  uint16_t indexRoot = 0;           // 1E
  uint8_t numIndexLevels = 0;       // 20
  uint16_t numFields = 0;           // 21
  uint16_t primaryKeyFields = 0;    // 23
  uint32_t encryption1 = 0;         // 25
  uint8_t sortOrder = 0;            // 29
  uint8_t modifiedFlags2 = 0;       // 2A
  uint8_t unknown2B = 0;            // 2B
  uint8_t indexSyncCount = 0;       // 2C
  uint8_t changeCount1 = 0;         // 2D
  uint8_t changeCount2 = 0;         // 2E
  uint8_t xSyncCount = 0;           // 2F
  uint32_t ramPtr30 = 0;            // 30
  uint32_t ramPtr34 = 0;            // 34
  uint8_t writeProtected = 0;       // 38
  uint8_t fileVersionId = 0;        // 39
  uint16_t maxBlocks = 0;           // 3A
  uint8_t unknown3C = 0;            // 3C
  uint8_t auxPasswords = 0;         // 3D
  uint8_t unknown3E = 0;            // 3E (1F when not encrypted)
  uint8_t unknown3F = 0;            // 3F (0F when not encrypted)
  uint32_t cryptInfoStart = 0;      // 40
  uint32_t cryptInfoEnd = 0;        // 44
  uint8_t unknown48 = 0;            // 48
  uint32_t autoInc = 0;             // 49
  uint16_t firstFreeBlock = 0;      // 4D
  uint8_t indexUpdateRequired = 0;  // 4F
  uint8_t unknown50 = 0;            // 50
  uint16_t realHeaderSize = 0;      // 51
  uint8_t unknown53 = 0;            // 53
  uint8_t unknown54 = 0;            // 54
  uint8_t flags55 = 0;              // 55
  uint8_t unknown56 = 0;            // 56 (20 in level >= 4 DB/X)
  uint8_t unknown57 = 0;            // 57

  // `in` must hold at least kEncodedLength bytes (else Corruption).
  Status DecodeFrom(ByteSpan in);
  void EncodeTo(uint8_t* out) const;  // writes kEncodedLength bytes
  uint32_t BlockSize() const { return uint32_t(blockSizeCode) * 1024; }
  bool operator==(const FixedHeader&) const = default;
};

// Extension 0x58-0x77 of level >= 4 DB and X/XG files.
struct HeaderExtension {
  static constexpr size_t kEncodedLength = 0x20;
  uint16_t fileVerId2 = 0;          // 58
  uint16_t fileVerId3 = 0;          // 5A
  uint32_t encryption2 = 0;         // 5C
  uint32_t fileUpdateTime = 0;      // 60
  uint16_t hiFieldId = 0;           // 64
  uint16_t fieldNumbersOffset = 0;  // 66 (minus 0x58)
  uint16_t indexNameOffset = 0;     // 68 (minus 0x58)
  uint16_t codePage = 0;            // 6A
  uint8_t unknown6C = 0;            // 6C
  uint8_t unknown6D = 0;            // 6D
  uint16_t sortOrderIdOffset = 0;   // 6E (minus 0x58)
  uint16_t changeCount4 = 0;        // 70
  uint8_t unknown72[6] = {};        // 72-77

  Status DecodeFrom(ByteSpan in);  // at least kEncodedLength bytes, starting at 0x58
  void EncodeTo(uint8_t* out) const;
  bool operator==(const HeaderExtension&) const = default;
};

// Where the extension starts; its offset words (0x66, 0x68, 0x6E) count from here.
inline constexpr size_t kExtensionOffset = FixedHeader::kEncodedLength;
// Whether a file of this type/version has the extension (DB/X/XG, fileVersionID >= 5).
bool HasExtension(uint8_t fileType, uint8_t fileVersionId);
// Where the field descriptors start: after the extension, or the fixed part without one.
inline size_t DescriptorsOffset(bool hasExtension) {
  return hasExtension ? kExtensionOffset + HeaderExtension::kEncodedLength : kExtensionOffset;
}
// Length of the stored table-name area: 261 at level 7, else 79.
size_t TableNameLength(uint8_t fileVersionId);

// A whole decoded header: fixed part, extension (if present), variable part.
struct TableHeader {
  FixedHeader fixed;
  bool hasExtension = false;
  HeaderExtension ext;
  std::vector<FieldDesc> fields;        // numFields entries, offsets filled in
  uint32_t tableNamePtr = 0;            // RAM pointer after the descriptors
  std::vector<uint32_t> fieldNamePtrs;  // DB/X only
  std::string tableName;                // stored original name (NUL-trimmed)
  std::string sortOrderId;              // level >= 4 DB/X ("ascii", "ANSII850", ...)
  std::string indexName;                // XG only
  uint32_t variableEnd = 0;             // offset just after the last variable item
  Bytes raw;                            // the header bytes as read (headerSize bytes or less)

  TableLevel level() const;  // k7 when fileVersionId is unknown (check IsValid first)
  uint32_t BlockSize() const { return fixed.BlockSize(); }
  uint32_t EncryptionKey() const { return hasExtension ? ext.encryption2 : fixed.encryption1; }
  bool IsEncrypted() const { return EncryptionKey() != 0; }
  bool IsKeyed() const { return fixed.fileType == 0; }
  uint16_t CodePage() const { return hasExtension ? ext.codePage : 0; }
  uint32_t ComputedRecordSize() const;            // sum of stored field sizes
  int FieldIndex(const std::string& name) const;  // case-insensitive, -1 if none
};

// What kind of header to expect: decides which variable items exist.
// Decodes `in` (the first headerSize bytes of a file, or as many as exist).
// Structural impossibilities (too short, field count beyond the header, strings not
// terminated inside it) give Corruption naming the offset. Softer oddities are not
// judged here: that is the verifier's job, with the values kept in TableHeader.
Result<TableHeader> DecodeTableHeader(ByteSpan in);
// Decodes using a trusted template for the variable part (field list) when the
// damaged file's own descriptors cannot be parsed: fixed part from `in`, fields from
// `templ`. Used by salvage.
Result<TableHeader> DecodeTableHeaderWithTemplate(ByteSpan in, const TableHeader& templ);
// Encodes a header of exactly h.fixed.headerSize bytes; variable part laid out from
// h.fields/h.tableName/...; fills derived offsets (0x66, 0x6E, 0x68, 0x51, fieldNumbers)
// into the encoded bytes (not into h). InvalidArgument if it does not fit.
Result<Bytes> EncodeTableHeader(const TableHeader& h);
// Size of the variable part's used bytes for a header (end offset), as EncodeTableHeader lays it
// out.
uint32_t ComputeVariableEnd(const TableHeader& h);

// 6-byte header of a data or index block.
struct BlockHeader {
  static constexpr size_t kEncodedLength = 6;
  uint16_t nextBlock = 0;   // +0
  uint16_t prevBlock = 0;   // +2
  int16_t addDataSize = 0;  // +4: (records - 1) * recordSize, -recordSize when empty

  void DecodeFrom(const uint8_t* in);
  void EncodeTo(uint8_t* out) const;
  // Records in the block when addDataSize is well-formed for recordSize and capacity:
  // returns -1 if it is not (not a multiple, below -recordSize, or over capacity).
  int RecordCount(uint32_t recordSize, uint32_t blockSize) const;
  static int16_t AddDataSizeFor(int records, uint32_t recordSize) {
    return static_cast<int16_t>((records - 1) * static_cast<int>(recordSize));
  }
  bool operator==(const BlockHeader&) const = default;
};

// Capacity of a block in records: floor((blockSize - 6) / recordSize).
inline uint32_t BlockCapacity(uint32_t blockSize, uint32_t recordSize) {
  return recordSize == 0 || blockSize < 6 ? 0 : (blockSize - 6) / recordSize;
}
// File offset of block k (1-based).
inline uint64_t BlockOffset(uint32_t headerSize, uint32_t blockSize, uint32_t k) {
  return uint64_t(headerSize) + uint64_t(k - 1) * blockSize;
}

}  // namespace paradox
