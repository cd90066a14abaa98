#include "paradox/repair/salvage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_set>

#include "paradox/format/blob.h"
#include "paradox/format/collation.h"
#include "paradox/format/crypt.h"
#include "paradox/format/index.h"
#include "paradox/format/progress.h"
#include "paradox/format/reader.h"
#include "paradox/format/sorted_rows.h"
#include "paradox/format/val.h"
#include "paradox/format/value.h"

namespace paradox {
namespace {

// Writer size of a field (FieldDef::size) from a descriptor size byte.
uint16_t WriterSize(FieldType t, uint8_t sizeByte) {
  if (IsBlobType(t)) return sizeByte >= 10 ? uint16_t(sizeByte - 10) : 0;
  return sizeByte;
}

std::string Describe(const FieldDesc& f) {
  return std::string(1, FieldTypeLetter(f.type)) + std::to_string(f.sizeByte);
}

Result<std::vector<FieldDesc>> FieldsFromStructure(const TableStructure& s) {
  std::vector<FieldDesc> out;
  for (size_t i = 0; i < s.fields.size(); ++i) {
    FieldDesc f;
    if (!FieldTypeFromLetter(s.fields[i].type, &f.type)) {
      return Status::InvalidArgument("field " + std::to_string(i + 1) + " has unknown type '" +
                                     std::string(1, s.fields[i].type) + "'");
    }
    if (s.fields[i].size > 255) {
      return Status::InvalidArgument("field " + std::to_string(i + 1) + " size " +
                                     std::to_string(s.fields[i].size) + " is over 255");
    }
    f.sizeByte = uint8_t(s.fields[i].size);
    f.name = s.fields[i].name;
    out.push_back(std::move(f));
  }
  return out;
}

// Checks a decoded header for what the rebuild must rely on; "" when usable.
std::string HeaderProblem(const TableHeader& h, uint64_t fileSize) {
  const FixedHeader& f = h.fixed;
  TableLevel level;
  if (!LevelFromVersionId(f.fileVersionId, &level)) return "unknown table level byte";
  if (f.fileType != 0 && f.fileType != 2) return "file type is not a table";
  static const uint8_t kCodes[] = {1, 2, 3, 4, 8, 16, 32};
  if (std::find(std::begin(kCodes), std::end(kCodes), f.blockSizeCode) == std::end(kCodes))
    return "block size code " + std::to_string(f.blockSizeCode) + " is not a block size";
  if (h.fields.empty()) return "no fields";
  for (size_t i = 0; i < h.fields.size(); ++i) {
    const FieldDesc& fd = h.fields[i];
    if (!IsKnownFieldType(uint8_t(fd.type)) || !ValidateFieldDescriptor(fd.type, fd.sizeByte).ok())
      return "field " + std::to_string(i + 1) + "'s descriptor " + Describe(fd) + " is invalid";
  }
  if (f.recordSize != h.ComputedRecordSize()) return "record size does not match the fields";
  if (uint32_t(f.recordSize) + 6 > f.BlockSize()) return "record does not fit a block";
  if (f.primaryKeyFields > h.fields.size() || f.primaryKeyFields > 16) return "key field count";
  if ((f.fileType == 0) != (f.primaryKeyFields > 0))
    return "file type and key field count disagree";
  if (f.headerSize < h.variableEnd) return "header size is below the used header";
  if (f.headerSize > fileSize) return "header size is beyond the end of the file";
  return "";
}

// Reads bytes of the .DB at a file offset, zero-filled past its end (IOError only when
// the file system fails).
using BlockPeek = std::function<Status(uint64_t offset, MutableByteSpan out)>;

// The header of block k under layout h (decrypted with h's key: the first 256-byte
// chunk of a block decrypts on its own).
Status PeekBlockHeader(const TableHeader& h, const BlockPeek& peek, uint32_t k, BlockHeader* out) {
  uint8_t buf[256] = {};
  const uint32_t key = h.EncryptionKey();
  PARADOX_RETURN_IF_ERROR(
      peek(BlockOffset(h.fixed.headerSize, h.BlockSize(), k), MutableByteSpan(buf, key ? 256 : 6)));
  if (key) DecryptChunk(buf, key & 0xFF, (key >> 8) & 0xFF, 0, static_cast<uint8_t>(k));
  out->DecodeFrom(buf);
  return Status::OK();
}

// Whether the file's blocks read as data blocks under this layout: the chain from the
// header's first block (block 1 when that word is out of range) starts with no previous
// block and its links agree both ways for most of its first steps. `strict` also wants
// most of those blocks' record counts well-formed: a candidate repair must earn its
// place, while the header as stored is trusted unless the blocks contradict it (a
// damaged count word is damage to a block, not evidence against the header).
bool LayoutFitsBlocks(const TableHeader& h, uint64_t fileSize, const BlockPeek& peek, bool strict,
                      Status* ioError) {
  const uint64_t hs = h.fixed.headerSize;
  const uint32_t bs = h.BlockSize();
  // No blocks at all: only a layout for an empty table (a few bytes after its header
  // are trailing bytes, not evidence of a wrong header size).
  if (fileSize < hs + BlockHeader::kEncodedLength)
    return h.fixed.fileBlocks == 0 && h.fixed.numRecords == 0;
  const uint32_t key = h.EncryptionKey();
  const uint64_t body = fileSize - hs;
  // As the block walk counts them: an encrypted block's header needs its whole first chunk.
  const uint64_t headerNeeds = key ? 256 : BlockHeader::kEncodedLength;
  const uint64_t present = std::min<uint64_t>(body / bs + (body % bs >= headerNeeds), 0xFFFF);
  if (present == 0) return !strict;  // no block to judge by
  uint32_t k = h.fixed.firstBlock >= 1 && h.fixed.firstBlock <= present ? h.fixed.firstBlock : 1;
  uint32_t prev = 0;
  int steps = 0, linked = 0, counted = 0;
  for (; k != 0 && steps < 16; ++steps) {
    BlockHeader b;
    Status st = PeekBlockHeader(h, peek, k, &b);
    if (!st.ok()) {
      *ioError = st;
      return false;
    }
    if (steps == 0 && b.prevBlock != 0) {
      linked = -1;  // the chain's first block is not one: only the sample below can tell
      break;
    }
    // A next link out of range is damage to that block (it ends the walk), not to the layout.
    if (b.prevBlock == prev) ++linked;
    if (b.RecordCount(h.fixed.recordSize, bs) >= 0) ++counted;
    if (b.nextBlock > present || b.nextBlock == k) {
      ++steps;
      break;
    }
    prev = k;
    k = b.nextBlock;
  }
  // A chain the header says is longer than one block must show a link that holds: a
  // stretch of zero bytes reads as a lone, empty-linked block.
  const bool chainShown = !strict || h.fixed.blocksInUse <= 1 || linked >= 2;
  if (linked >= 0 && chainShown && 2 * linked > steps && (!strict || 2 * counted > steps))
    return true;
  if (strict) return false;
  // The chain's start is damaged (a block of garbage, say): the layout still fits when
  // most blocks of the file read as block headers under it. Blocks read off their
  // boundaries give record bytes, which rarely pass.
  const uint32_t step = uint32_t(std::max<uint64_t>(1, present / 64));
  int sampled = 0, sound = 0;
  for (uint64_t j = 1; j <= present; j += step) {
    BlockHeader b;
    Status st = PeekBlockHeader(h, peek, uint32_t(j), &b);
    if (!st.ok()) {
      *ioError = st;
      return false;
    }
    ++sampled;
    sound += b.nextBlock <= present && b.prevBlock <= present && b.nextBlock != j &&
             b.prevBlock != j && b.RecordCount(h.fixed.recordSize, bs) >= 0;
  }
  return 2 * sound >= sampled;
}

// Whole blocks (or, in DOS-era files, whole KiB of the last block) from the header
// to the end of the file: a wrong header size rarely lines up by chance.
bool BlocksAligned(const TableHeader& h, uint64_t fileSize) {
  return fileSize >= h.fixed.headerSize && (fileSize - h.fixed.headerSize) % 1024 == 0;
}

bool EndsInLastBlock(const TableHeader& h, uint64_t fileSize) {
  const uint64_t hs = h.fixed.headerSize, bs = h.BlockSize(), n = h.fixed.fileBlocks;
  return n > 0 && fileSize > hs + (n - 1) * bs && fileSize <= hs + n * bs;
}

void PutU16(Bytes& b, size_t off, uint16_t v) {
  if (off + 2 <= b.size()) EncodeU16(&b[off], v);
}

// Bytes of the start of a .DB that header recovery looks at (a header is at most
// 64 KiB; block 1's header follows it).
constexpr size_t kHeaderPrefix = 0x10000 + 6;

// Fixed stored size of a field type; 0 for types whose size the descriptor gives.
uint8_t FixedSizeOf(FieldType t) {
  switch (t) {
    case FieldType::kShort:
      return 2;
    case FieldType::kDate:
    case FieldType::kLong:
    case FieldType::kTime:
    case FieldType::kAutoInc:
      return 4;
    case FieldType::kMoney:
    case FieldType::kNumber:
    case FieldType::kTimestamp:
      return 8;
    case FieldType::kLogical:
      return 1;
    default:
      return 0;
  }
}

// Mends invalid field descriptors in a header copy: from the .PX (which repeats the
// key fields' descriptors), from X/XG headers (the indexed fields'), from the .VAL footer, from the
// type's fixed size, or - for the one alpha/bytes field whose size is lost - from the record size.
// Returns the number of descriptors changed.
int RepairDescriptors(Bytes& trial, uint8_t versionId, uint16_t n, const TableHeader* px,
                      const ValFile* val, const std::map<uint16_t, FieldDesc>& fromIndexes) {
  const size_t base = versionId >= 5 ? 0x78 : 0x58;
  if (n == 0 || base + 2 * size_t(n) > trial.size()) return 0;
  int changes = 0;
  int lostSize = -1;  // the single alpha/bytes field whose size is gone
  uint32_t known = 0;
  for (uint16_t i = 0; i < n; ++i) {
    uint8_t& t = trial[base + 2 * i];
    uint8_t& sz = trial[base + 2 * i + 1];
    auto valid = [&]() {
      return IsKnownFieldType(t) && ValidateFieldDescriptor(FieldType(t), sz).ok();
    };
    if (!valid()) {
      auto x = fromIndexes.find(uint16_t(i + 1));
      if (px && i < px->fields.size()) {
        t = uint8_t(px->fields[i].type);
        sz = px->fields[i].sizeByte;
      } else if (x != fromIndexes.end()) {
        t = uint8_t(x->second.type);
        sz = x->second.sizeByte;
      } else if (val && val->fieldsRead && i < val->fields.size() && val->fields.size() == n) {
        t = uint8_t(val->fields[i].type);
        sz = val->fields[i].sizeByte;
      } else if (IsKnownFieldType(t) && FixedSizeOf(FieldType(t)) != 0) {
        sz = FixedSizeOf(FieldType(t));
      } else if ((t == uint8_t(FieldType::kAlpha) || t == uint8_t(FieldType::kBytes)) &&
                 lostSize < 0) {
        lostSize = i;
        ++changes;
        continue;
      } else {
        continue;  // nothing to go on; the header stays unusable
      }
      ++changes;
    }
    if (IsKnownFieldType(t)) known += StoredFieldSize(FieldType(t), sz);
  }
  if (lostSize >= 0) {
    uint32_t recordSize = DecodeU16(&trial[0]);
    if (recordSize > known && recordSize - known <= 255)
      trial[base + 2 * size_t(lostSize) + 1] = uint8_t(recordSize - known);
  }
  return changes;
}

struct RecoveredHeader {
  TableHeader header;
  Bytes patchedPrefix;  // non-empty: the file's first bytes with the header repaired
  bool repaired = false;
  bool fromStructure = false;
  std::vector<std::string> notes;
};

// Tries the header as stored, then repairs of the layout fields from the header's own
// redundancy and the family members, then a caller's description or the .VAL footer.
class HeaderRecovery {
 public:
  HeaderRecovery(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                 const TableStructure* structure, const TableHeader* px, const ValFile* val,
                 const std::map<uint16_t, FieldDesc>& fromIndexes)
      : file_(file),
        fileSize_(fileSize),
        peek_(peek),
        structure_(structure),
        px_(px),
        val_(val),
        fromIndexes_(fromIndexes) {}

  Result<RecoveredHeader> Run() {
    stored_ = DecodeTableHeader(ByteSpan(file_));
    storedUsable_ = stored_.ok() && HeaderProblem(*stored_, fileSize_).empty();
    if (StoredHeaderFits()) return Stored();
    PARADOX_RETURN_IF_ERROR(ioError_);
    firstProblem_ = stored_.ok() ? HeaderProblem(*stored_, fileSize_) : stored_.status().message();
    if (firstProblem_.empty())
      firstProblem_ = "the data chain from block " + std::to_string(stored_->fixed.firstBlock) +
                      " does not read as linked data blocks with this header's sizes";
    if (file_.size() < FixedHeader::kEncodedLength)
      return Status::Corruption("file is " + std::to_string(fileSize_) +
                                " bytes, too short for a table header");
    GatherCandidates();
    PARADOX_RETURN_IF_ERROR(SearchRepairs());
    if (best_.empty() && storedUsable_)
      return Stored();  // nothing fits better than the header as it is
    if (!best_.empty()) {
      RecoveredHeader out;
      out.header = std::move(bestHeader_);
      out.patchedPrefix = std::move(best_);
      out.repaired = true;
      out.notes.push_back("header damaged (" + firstProblem_ + "); " +
                          std::to_string(bestChanges_ % kUnaligned) +
                          " layout field(s) recovered from the header's redundancy and the family");
      return out;
    }
    return FromDescription();
  }

 private:
  // Score of a repair: layout fields changed, plus this when the blocks would not line
  // up with the end of the file. A usable stored header (a truncated file, say) scores
  // that penalty alone.
  static constexpr int kUnaligned = 100;

  // The header as stored is trusted while the file agrees with it: its blocks line up
  // with the file's end (or the file ends inside the last block it declares, as DOS-era
  // programs wrote it), and the chain from its first block reads as linked blocks.
  // A file shorter than its blocks is a truncation when the chain's first blocks still
  // read as blocks, counts included (a damaged header size reads record bytes there).
  bool StoredHeaderFits() {
    if (!storedUsable_) return false;
    const TableHeader& s = *stored_;
    const bool cut =
        fileSize_ < uint64_t(s.fixed.headerSize) + uint64_t(s.fixed.fileBlocks) * s.BlockSize();
    if ((BlocksAligned(s, fileSize_) || EndsInLastBlock(s, fileSize_)) &&
        LayoutFitsBlocks(s, fileSize_, peek_, false, &ioError_))
      return true;
    return cut && ioError_.ok() && LayoutFitsBlocks(s, fileSize_, peek_, true, &ioError_);
  }

  RecoveredHeader Stored() {
    RecoveredHeader out;
    out.header = std::move(stored_).value();
    return out;
  }

  // Candidate values for the layout fields: the stored ones first, then what the
  // header's redundancy and the family members say, then the usual values.
  void GatherCandidates() {
    const Bytes& file = file_;
    versions_ = {file[0x39]};
    if (file.size() >= 0x5C) {
      uint16_t v2 = DecodeU16(&file[0x58]), v3 = DecodeU16(&file[0x5A]);
      if (v2 == v3 && v2 >= 0x105 && v2 <= 0x10C) versions_.push_back(uint8_t(v2 - 0x100));
    }
    for (uint8_t v : {12, 11, 9, 4, 3}) versions_.push_back(v);
    counts_ = {DecodeU16(&file[0x21])};
    uint32_t p30 = DecodeU32(&file[0x30]), p34 = DecodeU32(&file[0x34]);
    if (p30 > p34 && (p30 - p34) % 2 == 0 && (p30 - p34) / 2 <= 255)
      counts_.push_back(uint16_t((p30 - p34) / 2));
    if (file.size() >= 0x70) {
      uint16_t fn = DecodeU16(&file[0x66]), so = DecodeU16(&file[0x6E]);
      if (so > fn && (so - fn) % 2 == 0 && (so - fn) / 2 <= 255)
        counts_.push_back(uint16_t((so - fn) / 2));
    }
    if (val_ && val_->fieldsRead) counts_.push_back(uint16_t(val_->fields.size()));
    codes_ = {file[0x05], 1, 2, 4, 16, 3, 8, 32};
    headerSizes_ = {DecodeU16(&file[0x02]), 2048, 4096};
    if (uint16_t real = DecodeU16(&file[0x51]); real > 0) headerSizes_.push_back(real);
    keys_ = {DecodeU16(&file[0x23])};
    if (px_) keys_.push_back(px_->fixed.numFields);
    keys_.push_back(0);
    auto dedupe = [](auto& v) {
      std::vector<std::decay_t<decltype(v[0])>> u;
      for (auto x : v)
        if (std::find(u.begin(), u.end(), x) == u.end()) u.push_back(x);
      v = u;
    };
    dedupe(versions_);
    dedupe(counts_);
    dedupe(codes_);
    dedupe(headerSizes_);
    dedupe(keys_);
  }

  // The repair with the fewest changed layout fields whose header reads and whose
  // blocks read as linked data blocks.
  Status SearchRepairs() {
    bestChanges_ = storedUsable_ ? kUnaligned : 1000;
    for (uint8_t ver : versions_)
      for (uint16_t n : counts_)
        for (uint16_t pk : keys_)
          for (uint8_t code : codes_)
            for (size_t hi = 0; hi <= headerSizes_.size(); ++hi)
              PARADOX_RETURN_IF_ERROR(TryRepair(ver, n, pk, code, hi));
    return Status::OK();
  }

  Status TryRepair(uint8_t ver, uint16_t n, uint16_t pk, uint8_t code, size_t hi) {
    const Bytes& file = file_;
    int changes = (ver != file[0x39]) + (n != DecodeU16(&file[0x21])) +
                  (pk != DecodeU16(&file[0x23])) + (code != file[0x05]);
    if (changes >= bestChanges_) return Status::OK();
    Bytes trial = file;
    trial[0x39] = ver;
    PutU16(trial, 0x21, n);
    PutU16(trial, 0x23, pk);
    trial[0x05] = code;
    changes += RepairDescriptors(trial, ver, n, px_, val_, fromIndexes_);
    if (changes >= bestChanges_) return Status::OK();
    trial[0x04] = pk > 0 ? 0 : 2;
    // headerSize: a listed candidate, or (last round) the computed used size.
    auto h1 = DecodeTableHeader(ByteSpan(trial));
    if (!h1.ok()) {
      // The stored header size may cut the variable part short: retry wide.
      PutU16(trial, 0x02, uint16_t(std::min<size_t>(trial.size(), 0xF000)));
      h1 = DecodeTableHeader(ByteSpan(trial));
      if (!h1.ok()) return Status::OK();
    }
    const uint16_t hs = hi < headerSizes_.size() ? headerSizes_[hi] : uint16_t(h1->variableEnd);
    const int hsChange = hs != DecodeU16(&file[0x02]);
    if (changes + hsChange >= bestChanges_) return Status::OK();
    PutU16(trial, 0x02, hs);
    PutU16(trial, 0x00, uint16_t(h1->ComputedRecordSize()));
    const int rsChange = DecodeU16(&trial[0x00]) != DecodeU16(&file[0x00]);
    const int typeChange = trial[0x04] != file[0x04];
    int total = changes + hsChange + rsChange + typeChange;
    if (total >= bestChanges_) return Status::OK();
    auto h2 = DecodeTableHeader(ByteSpan(trial));
    if (!h2.ok() || !HeaderProblem(*h2, fileSize_).empty()) return Status::OK();
    Status io;
    if (!LayoutFitsBlocks(*h2, fileSize_, peek_, true, &io)) return io;
    // Field names must still be readable text for the result to be credible.
    for (const FieldDesc& f : h2->fields)
      if (f.name.empty()) return Status::OK();
    if (!BlocksAligned(*h2, fileSize_)) total += kUnaligned;
    if (total >= bestChanges_) return Status::OK();
    bestChanges_ = total;
    best_ = std::move(trial);
    bestHeader_ = std::move(h2).value();
    return Status::OK();
  }

  // Last resort: the layout from a description (caller's, or the .VAL footer plus the
  // .PX key count) over the file's fixed part.
  Result<RecoveredHeader> FromDescription() {
    std::vector<FieldDesc> fields;
    uint16_t keyCount = 0;
    std::string source;
    if (structure_ && !structure_->fields.empty()) {
      auto fs = FieldsFromStructure(*structure_);
      if (!fs.ok()) return fs.status();
      fields = std::move(fs).value();
      keyCount = structure_->keyFields;
      source = "the given structure";
    } else if (val_ && val_->fieldsRead && !val_->fields.empty()) {
      fields = val_->fields;
      keyCount = px_ ? px_->fixed.numFields : 0;
      source = "the .VAL file's field list";
    } else {
      return Status::Corruption("table header cannot be used (" + firstProblem_ +
                                ") and no structure is available to read the data with");
    }
    TableSchema schema;
    TableLevel level;
    if (!LevelFromVersionId(file_[0x39], &level)) level = TableLevel::k7;
    schema.level = level;
    for (const FieldDesc& f : fields)
      schema.fields.push_back({f.name, f.type, WriterSize(f.type, f.sizeByte)});
    schema.keyFieldCount = keyCount;
    for (uint8_t code : codes_) {
      if (code == 0) continue;
      schema.blockSize = uint32_t(code) * 1024;
      for (uint16_t hs : headerSizes_) {
        if (hs < FixedHeader::kEncodedLength || hs > fileSize_) continue;
        auto templ = HeaderForSchema(schema, "TABLE.DB");
        if (!templ.ok()) break;
        TableHeader h = std::move(templ).value();
        Bytes whole = file_;
        whole[0x05] = code;
        whole[0x04] = keyCount > 0 ? 0 : 2;
        PutU16(whole, 0x02, hs);
        PutU16(whole, 0x00, uint16_t(h.ComputedRecordSize()));
        PutU16(whole, 0x21, uint16_t(h.fields.size()));
        PutU16(whole, 0x23, keyCount);
        auto merged = DecodeTableHeaderWithTemplate(ByteSpan(whole), h);
        if (!merged.ok()) continue;
        merged->fixed.headerSize = hs;
        Status io;
        if (!LayoutFitsBlocks(*merged, fileSize_, peek_, true, &io)) {
          PARADOX_RETURN_IF_ERROR(io);
          continue;
        }
        RecoveredHeader out;
        out.header = std::move(merged).value();
        out.patchedPrefix = std::move(whole);
        out.repaired = true;
        out.fromStructure = true;
        out.notes.push_back("header damaged (" + firstProblem_ + "); fields taken from " + source);
        return out;
      }
    }
    return Status::Corruption("table header cannot be used (" + firstProblem_ + "), and " + source +
                              " does not fit the data blocks");
  }

  const Bytes& file_;
  const uint64_t fileSize_;
  const BlockPeek& peek_;
  const TableStructure* structure_;
  const TableHeader* px_;
  const ValFile* val_;
  const std::map<uint16_t, FieldDesc>& fromIndexes_;

  Result<TableHeader> stored_ = Status::Corruption("not decoded");
  bool storedUsable_ = false;
  Status ioError_;
  std::string firstProblem_;
  std::vector<uint8_t> versions_, codes_;
  std::vector<uint16_t> counts_, headerSizes_, keys_;
  int bestChanges_ = 1000;
  Bytes best_;
  TableHeader bestHeader_;
};

Result<RecoveredHeader> RecoverHeader(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                                      const TableStructure* structure, const TableHeader* pxHeader,
                                      const ValFile* val,
                                      const std::map<uint16_t, FieldDesc>& fromIndexes) {
  return HeaderRecovery(file, fileSize, peek, structure, pxHeader, val, fromIndexes).Run();
}

size_t KeyLength(const TableHeader& h) {
  size_t n = 0;
  for (size_t i = 0; i < h.fixed.primaryKeyFields && i < h.fields.size(); ++i)
    n += h.fields[i].Size();
  return n;
}

// Bytes of the leading key fields whose stored bytes sort like their values under any
// collation (numbers, dates, times, logicals, BCD): the engine's order must be
// ascending there whatever its collation, and the verifier checks it.
size_t CollationFreeKeyPrefix(const TableHeader& h) {
  size_t n = 0;
  for (size_t i = 0; i < h.fixed.primaryKeyFields && i < h.fields.size(); ++i) {
    switch (h.fields[i].type) {
      case FieldType::kDate:
      case FieldType::kShort:
      case FieldType::kLong:
      case FieldType::kMoney:
      case FieldType::kNumber:
      case FieldType::kLogical:
      case FieldType::kTime:
      case FieldType::kTimestamp:
      case FieldType::kAutoInc:
      case FieldType::kBcd:
        n += h.fields[i].Size();
        continue;
      default:
        return n;
    }
  }
  return n;
}

uint8_t FoldAscii(uint8_t c) {
  return (c >= 'a' && c <= 'z') ? uint8_t(c - 32) : c;
}

}  // namespace

bool IsByteOrderCollation(const TableHeader& h) {
  // The name is authoritative when present (the code byte is shared by collations).
  if (!h.sortOrderId.empty()) return h.sortOrderId == "ascii";
  return h.fixed.sortOrder == 0;
}

int CompareKeys(const TableHeader& h, ByteSpan a, ByteSpan b, bool exactCollation) {
  if (exactCollation) {
    const KeyOrder order(h);
    if (order.known() && a.size() >= order.keyLength() && b.size() >= order.keyLength())
      return order.Compare(a.data(), b.data());
  }
  size_t off = 0;
  for (size_t i = 0; i < h.fixed.primaryKeyFields && i < h.fields.size(); ++i) {
    const FieldDesc& f = h.fields[i];
    size_t n = f.Size();
    if (off + n > a.size() || off + n > b.size()) break;
    const uint8_t* pa = a.data() + off;
    const uint8_t* pb = b.data() + off;
    if (!exactCollation && f.type == FieldType::kAlpha) {
      for (size_t k = 0; k < n; ++k) {
        uint8_t ca = FoldAscii(pa[k]), cb = FoldAscii(pb[k]);
        if (ca != cb) return ca < cb ? -1 : 1;
      }
    }
    int c = std::memcmp(pa, pb, n);
    if (c != 0) return c < 0 ? -1 : 1;
    off += n;
  }
  return 0;
}

namespace {

// The first `limit` bytes of a file (fewer when it is shorter) and its size.
Status ReadPrefix(FileSystem* fs, const std::string& path, size_t limit, Bytes* out,
                  uint64_t* size) {
  auto f = fs->Open(path, OpenMode::kRead);
  if (!f.ok()) return f.status();
  auto sz = (*f)->Size();
  if (!sz.ok()) return sz.status();
  *size = *sz;
  out->assign(size_t(std::min<uint64_t>(*sz, limit)), 0);
  return (*f)->ReadExact(0, MutableByteSpan(*out));
}

// Descriptors of DB fields (by 1-based number) as the X/XG headers repeat them: the
// indexed fields come first in an X file. The key-field count comes from the .PX when
// there is one (the DB's own may be the damaged part).
Result<std::map<uint16_t, FieldDesc>> DescriptorsFromIndexes(FileSystem* fs, const FamilyFiles& fam,
                                                             const Bytes& dbPrefix,
                                                             const TableHeader* px) {
  std::map<uint16_t, FieldDesc> out;
  uint16_t keys =
      px ? px->fixed.numFields : (dbPrefix.size() >= 0x25 ? DecodeU16(&dbPrefix[0x23]) : 0);
  for (const SecondaryFiles& s : fam.secondary) {
    if (s.x.empty()) continue;
    auto xh = ReadHeader(fs, s.x);
    if (!xh.ok()) {
      if (xh.status().IsIOError()) return xh.status();
      continue;
    }
    auto info = SecondaryIndexFromHeader(*xh, keys);
    if (!info.ok()) continue;
    for (size_t k = 0; k < info->dbFields.size() && k < xh->fields.size(); ++k)
      out.emplace(info->dbFields[k], xh->fields[k]);
  }
  return out;
}

// Secondary-index definitions from the X/XG headers of the family.
std::vector<SecondaryIndexDef> IndexDefsFromFamily(FileSystem* fs, const FamilyFiles& fam,
                                                   const TableHeader& db,
                                                   std::vector<RebuildAction>* actions,
                                                   Status* ioError) {
  std::vector<SecondaryIndexDef> defs;
  for (const SecondaryFiles& s : fam.secondary) {
    if (s.x.empty()) {
      actions->push_back({"dropped", PathBaseName(s.y), -1, -1,
                          "index half without its X file; nothing to regenerate it from"});
      continue;
    }
    auto xh = ReadHeader(fs, s.x);
    if (!xh.ok() && xh.status().IsIOError()) {
      *ioError = xh.status();
      return defs;
    }
    if (!xh.ok()) {
      actions->push_back({"dropped", PathBaseName(s.x), -1, -1,
                          "index definition unreadable: " + xh.status().message()});
      continue;
    }
    auto info = SecondaryIndexFromHeader(*xh, db.fixed.primaryKeyFields);
    if (!info.ok()) {
      actions->push_back({"dropped", PathBaseName(s.x), -1, -1,
                          "index definition unreadable: " + info.status().message()});
      continue;
    }
    SecondaryIndexDef d;
    d.name = info->composite ? info->name : "";
    bool ok = !info->dbFields.empty();
    for (uint16_t fno : info->dbFields) {
      if (fno == 0 || fno > db.fields.size()) {
        ok = false;
        break;
      }
      d.fields.push_back(db.fields[fno - 1].name);
    }
    if (!ok) {
      actions->push_back(
          {"dropped", PathBaseName(s.x), -1, -1, "index refers to fields the table does not have"});
      continue;
    }
    d.caseInsensitive = info->caseInsensitive;
    d.descending = info->descending;
    d.unique = info->unique;
    if (info->composite && d.name.empty()) d.name = s.tag;
    defs.push_back(std::move(d));
  }
  return defs;
}

std::vector<SecondaryIndexDef> IndexDefsFromStructure(const TableStructure& s,
                                                      const TableHeader& db) {
  std::vector<SecondaryIndexDef> defs;
  for (const RebuildIndex& ix : s.indexes) {
    SecondaryIndexDef d;
    d.name = ix.name;
    for (uint16_t fno : ix.fields) {
      if (fno >= 1 && fno <= db.fields.size()) d.fields.push_back(db.fields[fno - 1].name);
    }
    d.caseInsensitive = ix.caseInsensitive;
    d.unique = ix.unique;
    for (bool b : ix.descending) d.descending = d.descending || b;
    if (!d.fields.empty()) defs.push_back(std::move(d));
  }
  return defs;
}

// A blob field whose pointer did not resolve.
struct BrokenBlob {
  RecordPlace place;
  size_t action;  // index into SalvageResult::actions
  size_t field;
  BlobRef ref;
  std::string why;
};

// (block, slot, field) of a blob value that stands in for what its pointer did not give.
using BlobKey = std::tuple<uint32_t, uint32_t, uint32_t>;

// An in-leader (or empty) blob value whose pointer bytes must be zero for the writer.
void ClearUnusedPointer(const FieldDesc& f, Bytes& raw) {
  const uint32_t leader = f.LeaderSize();
  BlobPointer p;
  p.DecodeFrom(raw.data() + f.offset + leader);
  if (p.length == 0 && !IsAllZero(ByteSpan(raw).subspan(f.offset + leader, 10)))
    std::fill(raw.begin() + f.offset + leader, raw.begin() + f.offset + f.Size(), 0);
}

// The .DB read with its first bytes replaced by the repaired header: every read of that
// one file sees the patch, everything else goes to the real file system. Nothing is
// written, and the table is never held in memory whole.
class PatchedFileSystem final : public FileSystem {
 public:
  PatchedFileSystem(FileSystem* base, std::string path, Bytes prefix)
      : base_(base), path_(std::move(path)), prefix_(std::move(prefix)) {}

  Result<std::unique_ptr<File>> Open(const std::string& path, OpenMode mode) override {
    auto f = base_->Open(path, mode);
    if (!f.ok() || path != path_) return f;
    if (mode != OpenMode::kRead) return Status::InvalidArgument("the patched table is read only");
    return std::unique_ptr<File>(new PatchedFile(std::move(f).value(), &prefix_));
  }
  bool Exists(const std::string& path) override { return base_->Exists(path); }
  bool IsDirectory(const std::string& path) override { return base_->IsDirectory(path); }
  Result<uint64_t> FileSize(const std::string& path) override { return base_->FileSize(path); }
  Status Rename(const std::string&, const std::string&) override { return ReadOnly(); }
  Status Remove(const std::string&) override { return ReadOnly(); }
  Status MakeDir(const std::string&) override { return ReadOnly(); }
  Status Copy(const std::string&, const std::string&, const CopyProgress&) override {
    return ReadOnly();
  }
  Result<std::vector<std::string>> ListDir(const std::string& path) override {
    return base_->ListDir(path);
  }
  Result<bool> IsLocked(const std::string& path) override { return base_->IsLocked(path); }
  Result<std::unique_ptr<FileLock>> Lock(const std::string&) override { return ReadOnly(); }
  Status SyncDir(const std::string&) override { return ReadOnly(); }

 private:
  static Status ReadOnly() { return Status::InvalidArgument("the salvage reads only"); }

  class PatchedFile final : public File {
   public:
    PatchedFile(std::unique_ptr<File> f, const Bytes* prefix) : f_(std::move(f)), prefix_(prefix) {}
    Status ReadAt(uint64_t offset, MutableByteSpan dst, size_t* bytesRead) override {
      PARADOX_RETURN_IF_ERROR(f_->ReadAt(offset, dst, bytesRead));
      for (uint64_t i = offset; i < prefix_->size() && i < offset + *bytesRead; ++i)
        dst[size_t(i - offset)] = (*prefix_)[size_t(i)];
      return Status::OK();
    }
    Status WriteAt(uint64_t, ByteSpan) override { return ReadOnly(); }
    Result<uint64_t> Size() override { return f_->Size(); }
    Status Truncate(uint64_t) override { return ReadOnly(); }
    Status Sync() override { return ReadOnly(); }
    Status Close() override { return f_->Close(); }

   private:
    std::unique_ptr<File> f_;
    const Bytes* prefix_;
  };

  FileSystem* base_;
  std::string path_;
  Bytes prefix_;
};

// Reads salvaged records back: the block (cached while consecutive records share it),
// then each blob value from the .MB or from what the salvage put in its place.
class SalvageSource final : public RecordSource {
 public:
  Status Fetch(RecordPlace at, SalvagedRecord* out) override {
    const TableHeader& h = reader->header();
    const uint32_t rs = h.fixed.recordSize;
    auto record = Record(at);
    if (!record.ok()) return record.status();
    out->raw.assign(*record, *record + rs);
    out->blobs.clear();
    out->block = at.block;
    out->index = at.index;
    for (size_t fi = 0; fi < h.fields.size(); ++fi) {
      const FieldDesc& f = h.fields[fi];
      if (!IsBlobType(f.type) || f.offset + f.Size() > rs) continue;
      auto stand = brokenBlobs.find({at.block, at.index, uint32_t(fi)});
      if (stand != brokenBlobs.end()) {
        out->blobs.push_back({uint32_t(fi), stand->second});
        continue;
      }
      BlobRef ref;
      ref.leader.assign(out->raw.begin() + f.offset, out->raw.begin() + f.offset + f.LeaderSize());
      ref.pointer.DecodeFrom(out->raw.data() + f.offset + f.LeaderSize());
      if (ref.pointer.length == 0 || ref.InLeader()) {
        ClearUnusedPointer(f, out->raw);
        continue;
      }
      if (!mb) return Status::Corruption("the blob file is gone");
      auto data = mb->Read(ref);
      if (!data.ok()) {
        if (data.status().IsIOError()) return data.status();
        return Status::Corruption("field \"" + f.name + "\" of block " + std::to_string(at.block) +
                                  " record " + std::to_string(at.index + 1) +
                                  " no longer reads: the blob file changed during the rebuild");
      }
      out->blobs.push_back({uint32_t(fi), std::move(data).value()});
    }
    return Status::OK();
  }

  // The first `n` bytes of the record at `at` appended to *out (a key, for a sort).
  Status FetchKey(RecordPlace at, size_t n, Bytes* out) {
    auto record = Record(at);
    if (!record.ok()) return record.status();
    // Past a record shorter than its key fields (a damaged layout) the key reads zeros,
    // as the salvage read it.
    const size_t have = std::min<size_t>(n, reader->header().fixed.recordSize);
    out->insert(out->end(), *record, *record + have);
    out->resize(out->size() + (n - have), 0);
    return Status::OK();
  }

  std::unique_ptr<PatchedFileSystem> patched;  // the .DB with its header repaired, when it was
  std::unique_ptr<TableReader> reader;
  std::unique_ptr<BlobFile> mb;
  std::map<BlobKey, Bytes> brokenBlobs;  // the leader, or the whole value found elsewhere

 private:
  // The record's bytes in the cached block (read when another block is asked for).
  Result<const uint8_t*> Record(RecordPlace at) {
    const uint32_t rs = reader->header().fixed.recordSize;
    if (at.block != cached_) {
      cached_ = 0;
      BlockInfo bi;
      PARADOX_RETURN_IF_ERROR(reader->ReadBlock(at.block, &block_, &bi));
      cached_ = at.block;
    }
    const size_t off = 6 + size_t(at.index) * rs;
    if (off + rs > block_.size())
      return Status::Corruption("block " + std::to_string(at.block) + " no longer holds record " +
                                std::to_string(at.index + 1));
    return block_.data() + off;
  }

  Bytes block_;
  uint32_t cached_ = 0;
};

// A broken pointer may still have its value in the blob file (a damaged offset or
// slot byte): the value is taken when exactly one block or slot not used by another
// record has the pointer's length and modification number and starts with the
// record's leader (for graphic/OLE values, after their 8-byte sub-header).
Status FindLostBlobs(BlobFile& mb, const TableHeader& h, const std::vector<BrokenBlob>& broken,
                     const std::set<std::pair<uint32_t, uint8_t>>& used, SalvageResult* res,
                     std::map<BlobKey, Bytes>* values) {
  auto scan = mb.Scan();
  if (!scan.ok()) return scan.status().IsIOError() ? scan.status() : Status::OK();
  std::vector<BlobPointer> candidates;
  for (const MbBlockInfo& b : *scan) {
    if (!b.valid || b.offset > 0xFFFFFF00u) continue;
    if (b.type == 2) {
      BlobPointer p{uint32_t(b.offset), 0xFF, b.single.length, b.single.modNumber};
      if (!used.count({p.offset, p.index})) candidates.push_back(p);
    } else if (b.type == 3) {
      for (uint32_t i = 0; i < b.slots.size(); ++i) {
        if (!b.slots[i].InUse()) continue;
        BlobPointer p{uint32_t(b.offset), uint8_t(i), b.slots[i].Length(), b.slots[i].modNumber};
        if (!used.count({p.offset, p.index})) candidates.push_back(p);
      }
    }
  }
  std::set<std::pair<uint32_t, uint8_t>> taken;
  for (const BrokenBlob& bb : broken) {
    const FieldDesc& f = h.fields[bb.field];
    const size_t skip = (f.type == FieldType::kGraphic || f.type == FieldType::kOle) ? 8 : 0;
    std::optional<Bytes> found;
    BlobPointer where;
    int matches = 0;
    for (const BlobPointer& c : candidates) {
      if (c.length != bb.ref.pointer.length || c.modNumber != bb.ref.pointer.modNumber) continue;
      if (taken.count({c.offset, c.index})) continue;
      auto data = mb.ReadPointer(c);
      if (!data.ok()) {
        if (data.status().IsIOError()) return data.status();
        continue;
      }
      const Bytes& d = *data;
      size_t n = std::min(bb.ref.leader.size(), d.size() > skip ? d.size() - skip : 0);
      if (!std::equal(bb.ref.leader.begin(), bb.ref.leader.begin() + n, d.begin() + skip)) continue;
      if (++matches > 1) break;
      found = *data;
      where = c;
    }
    if (matches != 1) continue;
    taken.insert({where.offset, where.index});
    (*values)[{bb.place.block, bb.place.index, uint32_t(bb.field)}] = std::move(*found);
    --res->blobsBroken;
    char at[32];
    std::snprintf(at, sizeof at, "0x%X", unsigned(where.offset));
    res->actions[bb.action].detail =
        "field \"" + f.name + "\": " + bb.why + "; the whole value was found in the blob file at " +
        at + (where.index == 0xFF ? "" : " slot " + std::to_string(where.index));
  }
  return Status::OK();
}

// What the header recovery draws on: the DB's first bytes, and the .PX header, the
// .VAL's field list and the X/XG headers of the family. A failing file system is an
// error; a damaged member only contributes nothing.
struct HeaderSources {
  Bytes prefix;
  uint64_t fileSize = 0;
  std::optional<TableHeader> px;
  std::optional<ValFile> val;
  std::map<uint16_t, FieldDesc> fromIndexes;
};

Result<HeaderSources> ReadHeaderSources(FileSystem* fs, const FamilyFiles& fam) {
  HeaderSources src;
  PARADOX_RETURN_IF_ERROR(ReadPrefix(fs, fam.db, kHeaderPrefix, &src.prefix, &src.fileSize));
  if (!fam.px.empty()) {
    auto ph = ReadHeader(fs, fam.px);
    if (ph.ok())
      src.px = std::move(ph).value();
    else if (ph.status().IsIOError())
      return ph.status();
  }
  if (!fam.val.empty()) {
    auto vb = fs->ReadFile(fam.val);
    if (!vb.ok() && vb.status().IsIOError()) return vb.status();
    if (vb.ok()) {
      auto vi = DecodeValSections(ByteSpan(*vb));
      if (vi.ok()) src.val = std::move(vi).value();
    }
  }
  auto fromIndexes = DescriptorsFromIndexes(fs, fam, src.prefix, src.px ? &*src.px : nullptr);
  if (!fromIndexes.ok()) return fromIndexes.status();
  src.fromIndexes = std::move(fromIndexes).value();
  return src;
}

// Block headers of the .DB as RecoverHeader reads them.
Result<BlockPeek> PeekInto(FileSystem* fs, const std::string& db, std::shared_ptr<File>* holder) {
  auto f = fs->Open(db, OpenMode::kRead);
  if (!f.ok()) return f.status();
  *holder = std::shared_ptr<File>(std::move(f).value());
  File* file = holder->get();
  return BlockPeek([file](uint64_t offset, MutableByteSpan out) -> Status {
    size_t got = 0;
    PARADOX_RETURN_IF_ERROR(file->ReadAt(offset, out, &got));
    std::fill(out.begin() + static_cast<long>(got), out.end(), 0);
    return Status::OK();
  });
}

// Records per data block from the primary index's leaf entries (-1 = unknown): the
// redundancy that bounds a block whose own count word is damaged. A .PX that cannot
// be read gives nothing; a failing file system is an error.
Result<std::vector<int32_t>> IndexCounts(FileSystem* fs, const FamilyFiles& fam,
                                         const TableHeader& h) {
  std::vector<int32_t> counts;
  if (fam.px.empty() || h.fixed.primaryKeyFields == 0) return counts;
  auto px = IndexFile::Open(fs, fam.px);
  if (!px.ok()) {
    if (px.status().IsIOError()) return px.status();
    return counts;
  }
  for (const IndexEntry& e : (*px)->leafEntries()) {
    if (e.child >= counts.size()) counts.resize(size_t(e.child) + 1, -1);
    counts[e.child] = e.count;
  }
  return counts;
}

}  // namespace

namespace {

// One salvage, stage by stage: the structure (RecoverHeader over the family's
// redundancy), the records the reader justifies, their blob values, what it set aside,
// the key order and the writer's schema. Each stage adds its findings to the result.
class Salvager {
 public:
  Salvager(FileSystem* fs, const FamilyFiles& fam, const SalvageOptions& options)
      : fs_(fs),
        fam_(fam),
        options_(options),
        progress_(options.progress),
        dbName_(PathBaseName(fam.db)) {}

  Result<SalvageResult> Run() {
    progress_.Report(kPhaseHeader, 0);
    PARADOX_RETURN_IF_ERROR(RecoverStructure());
    PARADOX_RETURN_IF_ERROR(CheckDescription());
    NoteHeaderState();
    progress_.Report(kPhaseHeader, 100);
    PARADOX_RETURN_IF_ERROR(OpenReader());
    PARADOX_RETURN_IF_ERROR(ReportReading());
    PARADOX_RETURN_IF_ERROR(OpenBlobFile());
    PARADOX_RETURN_IF_ERROR(ReadRecords());
    progress_.Report(kPhaseData, 99);
    PARADOX_RETURN_IF_ERROR(SetAsideDropped());
    PARADOX_RETURN_IF_ERROR(OrderByKey());
    PARADOX_RETURN_IF_ERROR(BuildSchema());
    PARADOX_RETURN_IF_ERROR(DropUniqueIndexRepeats());
    Finish();
    PARADOX_RETURN_IF_ERROR(HandOver());
    progress_.Report(kPhaseData, 100);
    return std::move(res_);
  }

 private:
  Status RecoverStructure() {
    auto srcR = ReadHeaderSources(fs_, fam_);
    if (!srcR.ok()) return srcR.status();
    src_ = std::move(srcR).value();
    auto peek = PeekInto(fs_, fam_.db, &dbFile_);
    if (!peek.ok()) return peek.status();
    auto rec = RecoverHeader(src_.prefix, src_.fileSize, *peek, options_.structure,
                             src_.px ? &*src_.px : nullptr, src_.val ? &*src_.val : nullptr,
                             src_.fromIndexes);
    if (!rec.ok()) return rec.status();
    recovered_ = std::move(rec).value();
    for (const std::string& n : recovered_.notes) {
      res_.actions.push_back({"header", dbName_, 0, -1, n});
      ++res_.issues;
    }
    res_.headerRepaired = recovered_.repaired;
    res_.headerFromStructure = recovered_.fromStructure;
    return Status::OK();
  }

  // A caller's description must fit the data as the header lays it out.
  Status CheckDescription() const {
    if (!options_.structure || options_.structure->fields.empty() || recovered_.fromStructure)
      return Status::OK();
    auto sf = FieldsFromStructure(*options_.structure);
    if (!sf.ok()) return sf.status();
    if (sf->size() != h_.fields.size()) {
      return Status::InvalidArgument("the description has " + std::to_string(sf->size()) +
                                     " fields but the table has " +
                                     std::to_string(h_.fields.size()));
    }
    for (size_t i = 0; i < sf->size(); ++i) {
      if ((*sf)[i].type != h_.fields[i].type || (*sf)[i].sizeByte != h_.fields[i].sizeByte) {
        return Status::InvalidArgument("field " + std::to_string(i + 1) + " is " +
                                       Describe(h_.fields[i]) + " in the table but " +
                                       Describe((*sf)[i]) + " in the description");
      }
    }
    if (options_.structure->keyFields != h_.fixed.primaryKeyFields) {
      return Status::InvalidArgument(
          "the description has " + std::to_string(options_.structure->keyFields) +
          " key fields but the table has " + std::to_string(h_.fixed.primaryKeyFields));
    }
    return Status::OK();
  }

  void NoteHeaderState() {
    if (h_.fixed.primaryKeyFields > 0 && fam_.px.empty()) {
      res_.actions.push_back(
          {"found", dbName_, -1, -1, "keyed table without its primary index; it is written anew"});
      ++res_.issues;
    }
    if (h_.fixed.modifiedFlags1 || h_.fixed.modifiedFlags2 || h_.fixed.indexUpdateRequired) {
      res_.actions.push_back({"header", dbName_, 0, -1, "rebuild-needed flags were set; cleared"});
      ++res_.issues;
    }
  }

  // The salvage reader, over a copy whose header carries the repaired values when the
  // header was repaired.
  Status OpenReader() {
    FileSystem* readFs = fs_;
    std::string readPath = fam_.db;
    if (!recovered_.patchedPrefix.empty()) {
      source_->patched =
          std::make_unique<PatchedFileSystem>(fs_, fam_.db, recovered_.patchedPrefix);
      readFs = source_->patched.get();
    }
    src_.prefix.clear();
    src_.prefix.shrink_to_fit();
    ReadOptions ro;
    ro.mode = ReadMode::kSalvage;
    if (recovered_.fromStructure) ro.templateHeader = h_;
    auto counts = IndexCounts(fs_, fam_, h_);
    if (!counts.ok()) return counts.status();
    ro.indexCounts = std::move(counts).value();
    auto reader = TableReader::Open(readFs, readPath, ro);
    if (!reader.ok()) return reader.status();
    rd_ = std::move(reader).value();
    if (rd_->usedTemplate()) h_ = rd_->header();
    return Status::OK();
  }

  // A block the file system would not give up is not damage: salvaging around it
  // would take live blocks for orphans (or free blocks for live ones).
  Status ReadError() const {
    for (const Anomaly& a : rd_->anomalies()) {
      if (a.code == anomaly::kReadError)
        return Status::IOError(dbName_ + ": " + a.where.ToString() + ": " + a.detail);
    }
    return Status::OK();
  }

  Status ReportReading() {
    PARADOX_RETURN_IF_ERROR(ReadError());
    const TableReader& rd = *rd_;
    chainBlocks_.insert(rd.chain().chain.begin(), rd.chain().chain.end());
    for (const Anomaly& a : rd.anomalies()) {
      // Not damage, as the verifier judges them too: a DOS-era file that ends inside its
      // last block after that block's records (the rewrite pads it); blocks an engine
      // unlinked without listing them as free, or bytes past the last block (the rewrite
      // leaves them out); an empty block in the chain.
      const bool benign = a.code == anomaly::kFileShortLastBlock ||
                          a.code == anomaly::kOrphanBlock || a.code == anomaly::kBlockCount ||
                          a.code == anomaly::kFileLong || a.code == anomaly::kEmptyChainBlock;
      res_.actions.push_back({benign ? "note" : "found", dbName_,
                              a.where.block ? int64_t(a.where.block) : -1, a.where.record,
                              a.code + ": " + a.detail});
      if (!benign) ++res_.issues;
    }

    for (const SalvageBlock& b : rd.salvagePlan().blocks) {
      if (b.bound.empty()) continue;
      res_.actions.push_back({"found", dbName_, b.block, -1, b.bound});
      ++res_.issues;
    }
    if (const SalvagePlan& plan = rd.salvagePlan(); !plan.leftOut.empty()) {
      // Not damage: what an engine leaves in blocks it unlinked. They stay in the backup.
      res_.actions.push_back(
          {"note", dbName_, plan.leftOut[0], -1,
           std::to_string(plan.leftOut.size()) +
               " block(s) outside the data chain and the free list left out: " + plan.leftOutWhy});
    }
    return Status::OK();
  }

  Status OpenBlobFile() {
    bool hasBlobFields = false;
    for (const FieldDesc& f : h_.fields) hasBlobFields = hasBlobFields || IsBlobType(f.type);
    if (!hasBlobFields || fam_.mb.empty()) return Status::OK();
    auto m = BlobFile::Open(fs_, fam_.mb, h_.EncryptionKey());
    if (m.ok()) {
      mb_ = std::move(m).value();
      mb_->KeepLastUnit();  // records come in block order, and their small blobs share units
    } else if (m.status().IsIOError()) {
      return m.status();  // the file system failed, not the file: never cut blobs for that
    } else {
      res_.actions.push_back({"found", PathBaseName(fam_.mb), -1, -1,
                              "blob file unreadable: " + m.status().message()});
      ++res_.issues;
    }
    return Status::OK();
  }

  Status ReadRecords() {
    const size_t blocksToRead = std::max<size_t>(1, rd_->readingOrder().size());
    size_t blocksSeen = 0;
    uint32_t lastBlock = 0;
    if (h_.fixed.primaryKeyFields > 0) {
      klen_ = KeyLength(h_);
      order_.emplace(h_);
      exact_ = order_->known();
      keepKeys_ = !exact_;  // an unknown collation is ordered from the stored keys
    }
    Bytes raw;
    RecordCursor cur = rd_->Records();
    while (cur.Next()) {
      const RecordRef& r = cur.record();
      if (r.block != lastBlock) {
        lastBlock = r.block;
        ++blocksSeen;
        progress_.Report(kPhaseData, int(blocksSeen * 100 / blocksToRead) - 1);
      }
      if (rows_.size() >= kMaxRows)
        return Status::NotSupported(dbName_ + ": more than 4 294 967 295 records");
      const bool fromChain = chainBlocks_.count(uint16_t(r.block)) > 0;
      if (!fromChain) NoteOutsideChain(r.block);
      raw.assign(r.bytes.begin(), r.bytes.end());
      PARADOX_RETURN_IF_ERROR(CheckBlobs(r, raw));
      const RecordPlace at{r.block, r.indexInBlock};
      rows_.push_back(at);
      if (klen_ > 0) {
        if (raw.size() < klen_) raw.resize(klen_, 0);
        PARADOX_RETURN_IF_ERROR(TakeKey(rows_.size() - 1, at, raw.data(), fromChain));
      }
    }
    if (!cur.status().ok()) return cur.status();
    PARADOX_RETURN_IF_ERROR(ReadError());
    if (!broken_.empty())
      PARADOX_RETURN_IF_ERROR(
          FindLostBlobs(*mb_, h_, broken_, usedBlobs_, &res_, &source_->brokenBlobs));
    return Status::OK();
  }

  // Keys of a known collation are checked as they come. While they ascend none is kept:
  // a repeated key lies in the run of keys equal to it. The first key out of order
  // makes a sort necessary: from then on every key is kept, and those read before are
  // fetched back from the file.
  Status TakeKey(uint64_t row, RecordPlace at, const uint8_t* key, bool fromChain) {
    int c = -1;  // the previous key against this one
    if (exact_ && havePrev_ && (!keepKeys_ || !orderReported_))
      c = order_->Compare(prevKey_.data(), key);
    if (c > 0 && prevChain_ && fromChain && !orderReported_) {
      orderReported_ = true;
      ++res_.issues;
      res_.actions.push_back({"order", dbName_, at.block, at.index,
                              "record out of key order in the chain; re-sorted"});
    }
    if (!keepKeys_) {
      if (c > 0) {
        keepKeys_ = true;
        repeats_.clear();
        runSeen_.clear();
        PARADOX_RETURN_IF_ERROR(FetchKeysBefore(row));
      } else {
        if (c != 0) runSeen_.clear();
        if (!runSeen_.emplace(reinterpret_cast<const char*>(key), klen_).second)
          repeats_.push_back({row, at});
      }
    }
    if (keepKeys_) PARADOX_RETURN_IF_ERROR(KeepKey(key, at));
    prevKey_.assign(key, key + klen_);
    prevChain_ = fromChain;
    havePrev_ = true;
    return Status::OK();
  }

  Status FetchKeysBefore(uint64_t row) {
    if (exact_) StartSorter();
    Bytes key;
    uint64_t n = 0;
    for (RecordPlace p : rows_) {
      if (n++ == row) break;
      key.clear();
      PARADOX_RETURN_IF_ERROR(source_->FetchKey(p, klen_, &key));
      PARADOX_RETURN_IF_ERROR(KeepKey(key.data(), p));
    }
    return Status::OK();
  }

  // A known collation sorts rows of key and place in bounded memory (SortedRows, by the
  // collation's sort key, equal keys in reading order); an unknown one keeps the keys
  // alone, for the chain-preserving merge below.
  void StartSorter() {
    SortedRows::Options o;
    o.fs = fs_;
    o.memory = options_.spillDir.empty() ? SIZE_MAX : options_.sortMemory;
    o.runStem = options_.spillDir.empty() ? std::string() : PathJoin(options_.spillDir, ".salvage");
    o.runNumber = &runNumber_;
    o.what = "the keys of " + dbName_;
    o.encryptionKey = h_.EncryptionKey();  // the keys are the table's data
    o.expectedRows = rows_.size();
    const KeyOrder* order = &*order_;
    sorter_ = std::make_unique<SortedRows>(
        klen_ + 8, [order](const uint8_t* row, Bytes* out) { order->AppendSortKey(row, out); }, o);
  }

  Status KeepKey(const uint8_t* key, RecordPlace at) {
    if (!sorter_) {
      keys_.insert(keys_.end(), key, key + klen_);
      return Status::OK();
    }
    row_.assign(key, key + klen_);
    row_.resize(klen_ + 8);
    EncodeU32(row_.data() + klen_, at.block);
    EncodeU32(row_.data() + klen_ + 4, at.index);
    return sorter_->Add(row_.data());
  }

  // One line per block found outside the chain, counting its records.
  void NoteOutsideChain(uint32_t block) {
    if (orphanActionBlock_ != block) {
      orphanActionBlock_ = block;
      res_.actions.push_back({"recovered", dbName_, block, -1, ""});
      orphanAction_ = res_.actions.size() - 1;
      orphanCount_ = 0;
      ++res_.issues;
    }
    res_.actions[orphanAction_].detail =
        std::to_string(++orphanCount_) + " record(s) recovered from a block outside the data chain";
  }

  // Whether the record's blob values read from the .MB. One that does not keeps what
  // the record itself holds (its leader) in the source's stand-ins, and goes to
  // FindLostBlobs, which may still find its whole value.
  Status CheckBlobs(const RecordRef& r, const Bytes& raw) {
    for (size_t fi = 0; fi < h_.fields.size(); ++fi) {
      const FieldDesc& f = h_.fields[fi];
      if (!IsBlobType(f.type)) continue;
      const uint32_t leader = f.LeaderSize();
      if (f.offset + f.Size() > raw.size()) continue;
      BlobRef ref;
      ref.leader.assign(raw.begin() + f.offset, raw.begin() + f.offset + leader);
      ref.pointer.DecodeFrom(raw.data() + f.offset + leader);
      if (ref.pointer.length == 0 || ref.InLeader()) continue;
      std::string why;
      if (!mb_) {
        why = fam_.mb.empty() ? "blob file is missing" : "blob file is unreadable";
      } else {
        Status st = mb_->CheckPointer(ref.pointer);
        if (st.ok()) {
          usedBlobs_.insert({ref.pointer.offset, ref.pointer.index});
          continue;
        }
        if (st.IsIOError()) return st;
        why = st.message();
      }
      const RecordPlace at{r.block, r.indexInBlock};
      if (mb_) broken_.push_back({at, res_.actions.size(), fi, ref, why});
      source_->brokenBlobs[{at.block, at.index, uint32_t(fi)}] = ref.leader;
      ++res_.blobsBroken;
      ++res_.issues;
      res_.actions.push_back({"blob", dbName_, r.block, r.indexInBlock,
                              "field \"" + f.name + "\": " + why + "; kept the first " +
                                  std::to_string(leader) + " bytes held in the record"});
    }
    return Status::OK();
  }

  // What the salvage reader could not keep goes to PROBLEM.DB, record by record.
  Status SetAsideDropped() {
    for (const DroppedSpan& d : rd_->dropped()) {
      // The salvage reader sets aside blocks it could not read; for a rebuild that is a
      // failing file system, not damage to repair by dropping the block's records.
      if (d.code == anomaly::kReadError)
        return Status::IOError(dbName_ + ": " + d.where.ToString() + ": " + d.reason);
      ++res_.issues;
      if (!d.bytes.empty() || d.length == 0 || d.where.block == 0) {
        res_.problems.push_back(
            {d.bytes, d.where.block, d.where.record, d.where.offset.value_or(0), d.reason});
        res_.actions.push_back({"problem", dbName_, d.where.block ? int64_t(d.where.block) : -1,
                                d.where.record, d.reason});
        continue;
      }
      PARADOX_RETURN_IF_ERROR(SetAsideSpan(d));
    }
    return Status::OK();
  }

  // A span of several records (a block whose header is implausible): one problem record
  // per non-empty record-sized piece, so each can be examined on its own.
  Status SetAsideSpan(const DroppedSpan& d) {
    const uint32_t recordSize = h_.fixed.recordSize;
    Bytes block;
    BlockInfo bi;
    Status st = rd_->ReadBlock(d.where.block, &block, &bi);
    if (st.IsIOError()) return st;  // a failing file system would leave the pieces byte-less
    const uint64_t spanAt = d.where.offset.value_or(0);
    const uint64_t start = spanAt >= bi.offset ? spanAt - bi.offset : 0;
    if (!st.ok() || start >= block.size()) {
      res_.problems.push_back({{}, d.where.block, -1, spanAt, d.reason});
      res_.actions.push_back({"problem", dbName_, d.where.block, -1, d.reason});
      return Status::OK();
    }
    uint64_t end = std::min<uint64_t>(block.size(), start + d.length);
    if (recordSize == 0) end = start;
    int64_t slot = start >= 6 ? int64_t((start - 6) / recordSize) : 0;
    bool any = false;
    for (uint64_t p = start; p < end; p += recordSize, ++slot) {
      const uint64_t q = std::min<uint64_t>(end, p + recordSize);
      ByteSpan piece(block.data() + p, size_t(q - p));
      if (IsAllZero(piece)) continue;
      any = true;
      res_.problems.push_back(
          {Bytes(piece.begin(), piece.end()), d.where.block, slot, bi.offset + p, d.reason});
      res_.actions.push_back({"problem", dbName_, d.where.block, slot, d.reason});
    }
    if (!any)
      res_.actions.push_back(
          {"dropped", dbName_, d.where.block, d.where.record, d.reason + " (only zero bytes)"});
    return Status::OK();
  }

  const uint8_t* Key(uint32_t row) const { return keys_.data() + size_t(row) * klen_; }
  bool FromChain(uint32_t row) const { return chainBlocks_.count(uint16_t(flat_[row].block)) > 0; }
  uint32_t Rows() const { return uint32_t(flat_.size()); }
  // The row at position i of the order (an empty order: the reading order).
  uint32_t Ordered(const std::vector<uint32_t>& order, size_t i) const {
    return order.empty() ? uint32_t(i) : order[i];
  }

  // Keyed tables: records in key order (see "Key order" in salvage.h). Keys that came
  // in order need nothing more; otherwise row numbers are sorted, never records.
  Status OrderByKey() {
    if (klen_ == 0 || rows_.empty()) return Status::OK();
    if (!keepKeys_) {
      for (const auto& [row, at] : repeats_) {
        skip_.push_back(row);
        NoteRepeat(at);
      }
      return Status::OK();
    }
    if (sorter_) return SortedByKey();
    identity_ = false;
    flat_.reserve(size_t(rows_.size()));
    for (RecordPlace p : rows_) flat_.push_back(p);
    auto less = [&](uint32_t a, uint32_t b) {
      return exact_ ? order_->Less(Key(a), Key(b))
                    : CompareKeys(h_, ByteSpan(Key(a), klen_), ByteSpan(Key(b), klen_), false) < 0;
    };
    std::vector<uint32_t> ordered;
    if (exact_) {
      ordered.resize(Rows());
      std::iota(ordered.begin(), ordered.end(), 0u);
      std::stable_sort(ordered.begin(), ordered.end(), less);
    } else {
      ordered = MergeIntoChain(less);
    }
    DropRepeatedKeys(std::move(ordered), exact_ ? &*order_ : nullptr);
    return Status::OK();
  }

  // The rows merged in key order become the reading order's replacement; of each run of
  // equal keys the first record of a key is kept, the others are key violations.
  Status SortedByKey() {
    PARADOX_RETURN_IF_ERROR(sorter_->Prepare());
    PlaceList ordered;
    Bytes runKey;  // sort key of the run of equal keys (equal sort keys: equal keys)
    bool first = true;
    std::unordered_set<std::string> seen;
    Status st = sorter_->Merge([&](const uint8_t* row, ByteSpan key) {
      const RecordPlace at{DecodeU32(row + klen_), DecodeU32(row + klen_ + 4)};
      if (first || !std::equal(key.begin(), key.end(), runKey.begin(), runKey.end())) {
        first = false;
        runKey.assign(key.begin(), key.end());
        seen.clear();
      }
      if (seen.emplace(reinterpret_cast<const char*>(row), klen_).second)
        ordered.push_back(at);
      else
        NoteRepeat(at);
      return Status::OK();
    });
    sorter_.reset();
    if (!st.ok()) return st;
    rows_ = std::move(ordered);
    return Status::OK();
  }

  void NoteRepeat(RecordPlace at) {
    ++res_.issues;
    res_.actions.push_back({"key violation", dbName_, at.block, at.index,
                            "duplicate key; record moved to the key-violation table"});
    violations_.push_back(at);
  }

  // An unknown collation: the chain keeps the engine's order (written as given, see
  // keepGivenOrder), except where it is out of order in the leading fields every
  // collation sorts by value; records from outside the chain are merged into it.
  template <class Less>
  std::vector<uint32_t> MergeIntoChain(const Less& less) {
    std::vector<uint32_t> chain, other;
    for (uint32_t i = 0; i < Rows(); ++i) (FromChain(i) ? chain : other).push_back(i);
    const size_t prefix = std::min(klen_, CollationFreeKeyPrefix(h_));
    auto prefixLess = [this, prefix](uint32_t a, uint32_t b) {
      return std::memcmp(Key(a), Key(b), prefix) < 0;
    };
    if (prefix > 0) {
      auto bad = std::is_sorted_until(chain.begin(), chain.end(), prefixLess);
      if (bad != chain.end()) {
        ++res_.issues;
        const RecordPlace at = flat_[*bad];
        res_.actions.push_back({"order", dbName_, at.block, at.index,
                                "record out of key order in the chain; re-sorted"});
        std::stable_sort(chain.begin(), chain.end(), prefixLess);
      }
    }
    std::stable_sort(other.begin(), other.end(), less);
    std::vector<uint32_t> ordered;
    ordered.reserve(chain.size() + other.size());
    std::merge(chain.begin(), chain.end(), other.begin(), other.end(), std::back_inserter(ordered),
               less);
    return ordered;
  }

  // The first record of a key is kept; the others are key violations. In a known
  // collation byte-equal keys compare equal, so they lie in one run of equal keys and
  // only that run's keys need remembering; otherwise they are found as neighbours
  // once the row numbers are sorted by key bytes.
  void DropRepeatedKeys(std::vector<uint32_t> ordered, const KeyOrder* order) {
    const uint32_t n = Rows();
    std::vector<bool> repeat(n, false);  // by position in `ordered`
    bool any = false;
    if (order) {
      std::unordered_set<std::string_view> seen;
      uint32_t runStart = 0;
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t row = Ordered(ordered, i);
        if (i == 0 || order->Compare(Key(Ordered(ordered, runStart)), Key(row)) != 0) {
          seen.clear();
          runStart = i;
        }
        if (!seen.emplace(reinterpret_cast<const char*>(Key(row)), klen_).second)
          repeat[i] = any = true;
      }
    } else {
      std::vector<uint32_t> byBytes(n);
      std::iota(byBytes.begin(), byBytes.end(), 0u);  // positions in `ordered`
      std::stable_sort(byBytes.begin(), byBytes.end(), [&](uint32_t a, uint32_t b) {
        return std::memcmp(Key(Ordered(ordered, a)), Key(Ordered(ordered, b)), klen_) < 0;
      });
      for (uint32_t i = 1; i < n; ++i) {
        if (std::memcmp(Key(Ordered(ordered, byBytes[i - 1])), Key(Ordered(ordered, byBytes[i])),
                        klen_) == 0)
          repeat[byBytes[i]] = any = true;
      }
    }
    if (!any) {
      kept_ = std::move(ordered);
      return;
    }
    kept_.clear();
    kept_.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t row = Ordered(ordered, i);
      if (repeat[i])
        NoteRepeat(flat_[row]);
      else
        kept_.push_back(row);
    }
  }

  Status BuildSchema() {
    res_.schema = SchemaFromHeader(h_);
    // The .PX keeps its block size too, whatever the table's level.
    if (src_.px && BlockSizeKnown(src_.px->BlockSize()))
      res_.schema.indexBlockSize = src_.px->BlockSize();
    if (options_.structure &&
        (options_.structure->indexesGiven || !options_.structure->indexes.empty())) {
      res_.schema.secondaryIndexes = IndexDefsFromStructure(*options_.structure, h_);
      return Status::OK();
    }
    Status io;
    res_.schema.secondaryIndexes = IndexDefsFromFamily(fs_, fam_, h_, &res_.actions, &io);
    return io;
  }

  // A unique secondary index takes each value once: a record repeating one (after the
  // first, in the order the rebuild writes them) is a key violation like a repeated key,
  // or the writer would refuse the whole table. Compared as the writer compares them.
  Status DropUniqueIndexRepeats() {
    for (const SecondaryIndexDef& d : res_.schema.secondaryIndexes) {
      if (!d.unique) continue;
      std::vector<int> fields;
      for (const std::string& name : d.fields) fields.push_back(h_.FieldIndex(name));
      if (std::find(fields.begin(), fields.end(), -1) != fields.end()) continue;
      std::unordered_set<std::string> seen;
      std::vector<uint64_t> repeated;  // rows, in the final order
      SalvagedRecord rec;
      PARADOX_RETURN_IF_ERROR(ForEachKept([&](uint64_t row, RecordPlace at) {
        PARADOX_RETURN_IF_ERROR(source_->Fetch(at, &rec));
        const Bytes v =
            SecondaryIndexValue(h_, fields, d.caseInsensitive, d.descending, ByteSpan(rec.raw));
        if (seen.emplace(reinterpret_cast<const char*>(v.data()), v.size()).second)
          return Status::OK();
        ++res_.issues;
        res_.actions.push_back({"key violation", dbName_, at.block, at.index,
                                "repeats a value of unique index \"" + d.name +
                                    "\"; record moved to the key-violation table"});
        violations_.push_back(at);
        repeated.push_back(row);
        return Status::OK();
      }));
      if (repeated.empty()) continue;
      if (identity_) {
        std::vector<uint64_t> merged;  // both ascend: the final order is the reading order
        std::merge(skip_.begin(), skip_.end(), repeated.begin(), repeated.end(),
                   std::back_inserter(merged));
        skip_ = std::move(merged);
      } else {
        std::vector<uint32_t> kept;
        size_t r = 0;
        for (uint32_t row : kept_) {
          if (r < repeated.size() && repeated[r] == row)
            ++r;
          else
            kept.push_back(row);
        }
        kept_ = std::move(kept);
      }
    }
    return Status::OK();
  }

  // Calls fn(row, place) for each kept record in the final order.
  template <class Fn>
  Status ForEachKept(const Fn& fn) {
    if (!identity_) {
      for (uint32_t row : kept_) PARADOX_RETURN_IF_ERROR(fn(uint64_t(row), flat_[row]));
      return Status::OK();
    }
    uint64_t row = 0;
    size_t s = 0;
    for (RecordPlace p : rows_) {
      if (s < skip_.size() && skip_[s] == row)
        ++s;
      else
        PARADOX_RETURN_IF_ERROR(fn(row, p));
      ++row;
    }
    return Status::OK();
  }

  // The records in their final order: fetched (keepBytes) or left where they are.
  Status HandOver() {
    Bytes().swap(keys_);
    if (!options_.keepBytes) {
      for (RecordPlace p : violations_) res_.keyViolationPlaces.push_back(p);
      if (identity_ && skip_.empty()) {
        res_.recordPlaces = std::move(rows_);
      } else {
        PARADOX_RETURN_IF_ERROR(ForEachKept([&](uint64_t, RecordPlace at) {
          res_.recordPlaces.push_back(at);
          return Status::OK();
        }));
      }
      res_.source = source_;
      return Status::OK();
    }
    PARADOX_RETURN_IF_ERROR(ForEachKept([&](uint64_t, RecordPlace at) {
      res_.records.emplace_back();
      return source_->Fetch(at, &res_.records.back());
    }));
    res_.keyViolations.resize(violations_.size());
    for (size_t i = 0; i < violations_.size(); ++i)
      PARADOX_RETURN_IF_ERROR(source_->Fetch(violations_[i], &res_.keyViolations[i]));
    return Status::OK();
  }

  void Finish() {
    if (options_.structure && !options_.structure->fields.empty()) {
      // Names may be given fresh by the description (the layout was checked above).
      for (size_t i = 0; i < res_.schema.fields.size() && i < options_.structure->fields.size();
           ++i) {
        if (!options_.structure->fields[i].name.empty())
          res_.schema.fields[i].name = options_.structure->fields[i].name;
      }
    }
    res_.header = h_;
    res_.writeOptions.baseHeader = h_;
    res_.writeOptions.changeCount2 = h_.fixed.changeCount2;
  }

  FileSystem* const fs_;
  const FamilyFiles& fam_;
  const SalvageOptions& options_;
  Progress progress_;
  const std::string dbName_;
  SalvageResult res_;

  HeaderSources src_;
  std::shared_ptr<File> dbFile_;  // held while RecoverHeader peeks at its blocks
  RecoveredHeader recovered_;
  TableHeader& h_ = recovered_.header;
  std::shared_ptr<SalvageSource> source_ = std::make_shared<SalvageSource>();
  std::unique_ptr<TableReader>& rd_ = source_->reader;
  std::set<uint16_t> chainBlocks_;

  std::unique_ptr<BlobFile>& mb_ = source_->mb;
  std::vector<BrokenBlob> broken_;
  std::set<std::pair<uint32_t, uint8_t>> usedBlobs_;  // (block offset, index) read fine
  uint32_t orphanActionBlock_ = 0;
  size_t orphanAction_ = 0, orphanCount_ = 0;

  // Every record read, in reading order, and for a keyed table what ordering needs.
  static constexpr size_t kMaxRows = 0xFFFFFFFFu;
  PlaceList rows_;
  size_t klen_ = 0;
  std::optional<KeyOrder> order_;
  bool exact_ = false;     // the table's collation is known
  bool keepKeys_ = false;  // keys_ holds every key: the rows will be sorted
  Bytes keys_;             // klen_ bytes per row
  Bytes prevKey_;
  bool prevChain_ = false, havePrev_ = false, orderReported_ = false;
  std::unordered_set<std::string> runSeen_;                // keys of the current run of equal keys
  std::vector<std::pair<uint64_t, RecordPlace>> repeats_;  // found while the keys came in order
  // The final order: the reading order without the rows in skip_ (ascending), or after
  // a sort, kept_ (rows) with flat_ (the place of each row).
  bool identity_ = true;
  std::vector<uint64_t> skip_;
  std::vector<RecordPlace> flat_;
  std::vector<uint32_t> kept_;
  std::vector<RecordPlace> violations_;  // in the order they are written
  std::unique_ptr<SortedRows> sorter_;   // a known collation's keys out of order
  Bytes row_;
  uint32_t runNumber_ = 0;
};

}  // namespace

Result<SalvageResult> SalvageTable(FileSystem* fs, const FamilyFiles& fam,
                                   const SalvageOptions& options) {
  return Salvager(fs, fam, options).Run();
}

Result<TableStructure> DescribeTableStructure(FileSystem* fs, const std::string& dbPath) {
  if (!fs) fs = DefaultFileSystem();
  auto fam = FindFamily(fs, dbPath);
  if (!fam.ok()) return fam.status();
  auto srcR = ReadHeaderSources(fs, *fam);
  if (!srcR.ok()) return srcR.status();
  const HeaderSources& src = *srcR;
  const std::optional<ValFile>& val = src.val;
  std::shared_ptr<File> dbFile;
  auto peek = PeekInto(fs, fam->db, &dbFile);
  if (!peek.ok()) return peek.status();
  auto rec = RecoverHeader(src.prefix, src.fileSize, *peek, nullptr, src.px ? &*src.px : nullptr,
                           val ? &*val : nullptr, src.fromIndexes);
  if (!rec.ok()) return rec.status();
  const TableHeader& h = rec->header;
  TableStructure s;
  for (const FieldDesc& f : h.fields)
    s.fields.push_back({f.name, FieldTypeLetter(f.type), f.sizeByte});
  s.keyFields = h.fixed.primaryKeyFields;
  s.indexesGiven = true;
  for (const SecondaryFiles& sf : fam->secondary) {
    if (sf.x.empty()) continue;
    auto xh = ReadHeader(fs, sf.x);
    if (!xh.ok()) {
      // Left out, the index would be missing from a rebuild given this description.
      if (xh.status().IsIOError()) return xh.status();
      continue;
    }
    auto info = SecondaryIndexFromHeader(*xh, h.fixed.primaryKeyFields);
    if (!info.ok()) continue;
    RebuildIndex ix;
    ix.name = info->name;
    ix.fields = info->dbFields;
    ix.descending = info->fieldDescending;
    ix.caseInsensitive = info->caseInsensitive;
    ix.unique = info->unique;
    ix.maintained = info->maintained;
    ix.fileSuffix = sf.tag;
    s.indexes.push_back(std::move(ix));
  }
  if (val) {
    s.validityChecks = val->declaredChecks;
    s.referentialLinks = val->declaredLinks;
  }
  return s;
}

}  // namespace paradox
