// The .MB memo/BLOB file: header block, single-blob (type 2), suballocated (type 3)
// and free (type 4) blocks, and resolution of record blob pointers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/status.h"
#include "paradox/format/value.h"

namespace paradox {

constexpr uint32_t kMbUnit = 4096;

// First 4096 bytes of a .MB (only the meaningful prefix is modelled; the rest is
// zero in a fresh file and kept raw in MbFile for copying).
struct MbHeader {
  static constexpr size_t kEncodedLength = 0x40;
  uint8_t type = 0;                                           // 00 (0)
  uint16_t units = 1;                                         // 01
  uint16_t modCounter = 1;                                    // 03
  uint8_t const05[6] = {0x82, 0x73, 0x02, 0x00, 0x29, 0x00};  // 05-0A
  uint16_t baseBlockSize = 0x1000;                            // 0B
  uint16_t subBlockSize = 0x1000;                             // 0D
  uint8_t unknown0F = 0;                                      // 0F
  uint8_t chunkSize = 0x10;                                   // 10
  uint16_t slotsPerBlock = 0x40;                              // 11
  uint16_t threshold = 0x0800;                                // 13
  uint16_t const29 = 0x02A1;                                  // 29
  uint8_t freeHints[8] = {};                                  // 38-3F first free-space hint entry

  Status DecodeFrom(ByteSpan in);
  void EncodeTo(uint8_t* out) const;  // kEncodedLength bytes; bytes 15-28, 2B-37 zero
  // Type 0, one unit and the first constants as written: how a header reads unscrambled.
  bool ReadsPlain() const;
  // The constants at 05-0A as every engine writes them.
  bool ConstantsAsWritten() const;
  bool operator==(const MbHeader&) const = default;
};

// The start of every block of a .MB: its type and its length in 4 KiB units.
struct MbBlockHeader {
  static constexpr size_t kEncodedLength = 3;
  uint8_t type = 0;    // +0: 0 header, 2 single blob, 3 suballocated, 4 free
  uint16_t units = 0;  // +1
  void DecodeFrom(const uint8_t* in);
  void EncodeTo(uint8_t* out) const;
  bool operator==(const MbBlockHeader&) const = default;
};

// Header of a type-2 single-blob block (9 bytes).
struct MbSingleHeader {
  static constexpr size_t kEncodedLength = 9;
  uint8_t type = 2;        // +0
  uint16_t units = 0;      // +1 (4 KiB units)
  uint32_t length = 0;     // +3
  uint16_t modNumber = 0;  // +7
  void DecodeFrom(const uint8_t* in);
  void EncodeTo(uint8_t* out) const;
  bool operator==(const MbSingleHeader&) const = default;
};

// One of the 64 slots of a type-3 suballocated block (5 bytes, slot i at 12 + 5i).
struct MbSlot {
  static constexpr size_t kEncodedLength = 5;
  static constexpr size_t kTableOffset = 12;
  static constexpr uint32_t kCount = 64;
  static constexpr uint32_t kFirstDataChunk = 21;  // data area 0x150..0xFFF
  uint8_t startChunk = 0;                          // 0 = unused
  uint8_t chunks = 0;
  uint16_t modNumber = 0;
  uint8_t lastLength = 0;  // length mod 16 in 1..16; 0 = deleted
  void DecodeFrom(const uint8_t* in);
  void EncodeTo(uint8_t* out) const;
  bool InUse() const { return startChunk != 0 && lastLength != 0; }
  uint32_t Length() const { return chunks == 0 ? 0 : (uint32_t(chunks) - 1) * 16 + lastLength; }
  bool operator==(const MbSlot&) const = default;
};

// One block as found by a scan of the file.
struct MbBlockInfo {
  uint64_t offset = 0;        // file offset (multiple of 4096)
  uint8_t type = 0;           // 0, 2, 3, 4 or something invalid
  uint32_t units = 1;         // length in 4 KiB units (1 for types 0/3 and invalid)
  bool valid = true;          // false: bad type / zero length / overruns the file
  MbSingleHeader single;      // type 2
  std::vector<MbSlot> slots;  // type 3: all 64 slots
  std::string problem;        // why invalid
};

// Read access to a .MB. Decrypts transparently with the table's key. Reads one
// block at a time; memory does not grow with the file.
class BlobFile {
 public:
  // fs not owned, must outlive this. key = the table's encryption key (0 = none).
  // Corruption if the file is shorter than one unit; a size that is not a multiple of
  // 4096 is recorded (sizeIsMultiple() false) but accepted.
  static Result<std::unique_ptr<BlobFile>> Open(FileSystem* fs, const std::string& path,
                                                uint32_t key);
  ~BlobFile();

  const MbHeader& header() const { return header_; }
  uint64_t size() const { return size_; }
  bool sizeIsMultiple() const { return size_ % kMbUnit == 0; }
  const std::string& path() const { return path_; }

  // Full value of a blob field: leader if it holds the whole value, else resolved in
  // the file per the pointer rules (block type, index, slot in use, length match,
  // data inside the block). Corruption with a reason naming the offset otherwise.
  // For G/O values the 8-byte sub-header is included as stored.
  Result<Bytes> Read(const BlobRef& ref);
  // Resolves a pointer with no leader involvement (length must be > 0).
  Result<Bytes> ReadPointer(const BlobPointer& ptr);
  // The same into *out, reusing its memory (after an error *out holds no value).
  Status ReadPointerTo(const BlobPointer& ptr, Bytes* out);
  // ReadPointer's verdict without copying the value (OK when it would read).
  Status CheckPointer(const BlobPointer& ptr);
  // Keeps the last 4096-byte unit read by ReadPointer in memory, so that the many
  // small blobs of one suballocated block cost one read (dump reads them in record
  // order). Only for a file nobody writes while it is open.
  void KeepLastUnit() { keepUnit_ = true; }
  // Walks the file by block lengths from offset 4096 (types 2/4 advance N units,
  // others 1) and reports each block; an invalid block advances 1 unit.
  Result<std::vector<MbBlockInfo>> Scan();
  // One block's description at `offset` (4096-aligned).
  Result<MbBlockInfo> ReadBlockInfo(uint64_t offset);
  // Raw (decrypted) bytes of a range; offset and size multiples of 256 when encrypted.
  Status ReadRaw(uint64_t offset, MutableByteSpan out);

 private:
  BlobFile() = default;
  Status Resolve(const BlobPointer& ptr, Bytes* out);  // out nullptr: check only
  std::unique_ptr<File> file_;
  std::string path_;
  uint32_t key_ = 0;
  uint64_t size_ = 0;
  MbHeader header_;
  bool keepUnit_ = false;
  Bytes unit_, chunk_;
  uint64_t unitAt_ = UINT64_MAX;  // file offset of unit_'s contents; UINT64_MAX = none
};

// Writes a fresh .MB (header counter 1, every blob modification number 1 unless
// given). Blobs > 2048 bytes get their own type-2 block; smaller ones are packed into
// type-3 blocks (slots from 63 down). Call Finish() to write the last partial block.
class BlobWriter {
 public:
  static Result<std::unique_ptr<BlobWriter>> Create(FileSystem* fs, const std::string& path,
                                                    uint32_t key);
  ~BlobWriter();
  // Stores `data` (length > 0) and returns the pointer to put after the leader.
  Result<BlobPointer> Add(ByteSpan data, uint16_t modNumber = 1);
  Status Finish(bool sync = true);
  uint64_t size() const { return end_; }

 private:
  BlobWriter() = default;
  Status FlushSub();
  std::unique_ptr<File> file_;
  uint32_t key_ = 0;
  uint64_t end_ = kMbUnit;
  Bytes sub_;  // current type-3 block being filled (empty if none)
  uint64_t subOffset_ = 0;
  uint32_t subNextChunk_ = MbSlot::kFirstDataChunk;
  int subNextSlot_ = 63;
};

}  // namespace paradox
