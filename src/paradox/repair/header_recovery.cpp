#include "paradox/repair/header_recovery.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "paradox/format/codepage.h"
#include "paradox/format/crypt.h"
#include "paradox/format/field_rules.h"
#include "paradox/format/header_file.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/format/table_evidence.h"
#include "paradox/format/writer.h"
#include "paradox/repair/salvage.h"
#include "paradox/repair/structure_sources.h"

namespace paradox {

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

namespace {

// Checks a decoded header for what the rebuild must rely on; "" when usable.
std::string HeaderProblem(const TableHeader& h, uint64_t fileSize) {
  const FixedHeader& f = h.fixed;
  TableLevel level;
  if (!LevelFromVersionId(f.fileVersionId, &level)) return "unknown table level byte";
  if (f.fileType != 0 && f.fileType != 2) return "file type is not a table";
  if (!BlockSizeKnown(f.BlockSize()))
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

// Blocks whose header the file holds under layout h, as the block walk counts them.
uint32_t PresentBlocks(const TableHeader& h, uint64_t fileSize) {
  const uint64_t hs = h.fixed.headerSize, bs = h.BlockSize();
  if (bs == 0 || fileSize < hs) return 0;
  const uint64_t body = fileSize - hs;
  const uint64_t headerNeeds = h.EncryptionKey() ? 256 : BlockHeader::kEncodedLength;
  return uint32_t(std::min<uint64_t>(body / bs + (body % bs >= headerNeeds), 0xFFFF));
}

// Whether the header's counters and links can be the file's: its first block is one
// the file holds and its block count is the blocks present (one more: a file cut inside
// its last block). Zeroed or foreign words are not.
bool CountersFit(const TableHeader& h, uint64_t fileSize) {
  const uint32_t present = PresentBlocks(h, fileSize);
  const FixedHeader& f = h.fixed;
  if (present == 0) return f.fileBlocks == 0 && f.numRecords == 0;
  return f.firstBlock >= 1 && f.firstBlock <= present && f.fileBlocks >= present &&
         f.fileBlocks <= present + 1 && f.blocksInUse >= 1 && f.blocksInUse <= f.fileBlocks &&
         f.lastBlock >= 1 && f.lastBlock <= f.fileBlocks;
}

// Counters and links counted from the blocks, for a header whose own are lost: the data
// chain is the run of blocks linked both ways from a block that starts one (no previous
// block) that holds the most records by the blocks' counts, the longer among equals. Free
// blocks say they hold none (their previous-block words are stale, so a free list may
// read as linked both ways, but never as holding records). Blocks
// outside that chain count as free ones do: the lost free list cannot tell deleted
// records from lost ones.
Status CountFromBlocks(TableHeader* h, uint64_t fileSize, const BlockPeek& peek) {
  FixedHeader& f = h->fixed;
  const uint32_t present = PresentBlocks(*h, fileSize);
  f.fileBlocks = f.maxBlocks = uint16_t(present);
  f.firstBlock = f.lastBlock = f.blocksInUse = f.firstFreeBlock = 0;
  f.numRecords = 0;
  if (present == 0) return Status::OK();
  std::vector<BlockHeader> headers(size_t(present) + 1);
  for (uint32_t k = 1; k <= present; ++k)
    PARADOX_RETURN_IF_ERROR(PeekBlockHeader(*h, peek, k, &headers[k]));
  struct Chain {
    uint32_t first = 0, last = 0, blocks = 0;
    uint64_t records = 0;
  } best;
  std::vector<uint32_t> seenIn(size_t(present) + 1, 0);
  for (uint32_t start = 1; start <= present; ++start) {
    const BlockHeader& s = headers[start];
    if (s.prevBlock != 0 || s.RecordCount(f.recordSize, h->BlockSize()) < 0) continue;
    Chain c{start, 0, 0, 0};
    uint32_t prev = 0;
    for (uint32_t k = start; k >= 1 && k <= present && seenIn[k] != start;) {
      const BlockHeader& b = headers[k];
      const int n = b.RecordCount(f.recordSize, h->BlockSize());
      if (b.prevBlock != prev || n < 0) break;
      seenIn[k] = start;
      c.records += uint64_t(n);
      ++c.blocks;
      c.last = k;
      prev = k;
      k = b.nextBlock;
    }
    if (c.records > best.records || (c.records == best.records && c.blocks > best.blocks)) best = c;
  }
  if (best.blocks == 0) return Status::OK();
  f.firstBlock = uint16_t(best.first);
  f.lastBlock = uint16_t(best.last);
  f.blocksInUse = uint16_t(best.blocks);
  f.numRecords = uint32_t(std::min<uint64_t>(best.records, UINT32_MAX));
  return Status::OK();
}

// Bytes that may be a name: no control characters, not empty.
bool PlausibleName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

// Records of the first blocks of the chain under layout h (up to 64 blocks, 2000
// records), each value checked by the one rule (CheckField). "" when at most one record
// in twenty holds a value no table may hold; otherwise how many did, with an example.
// A layout that reads the data blocks out of step shows dates, times, logicals and the
// like that no table holds.
std::string SampleValues(const TableHeader& h, uint64_t fileSize, const BlockPeek& peek,
                         uint32_t* sampledOut, uint32_t* invalidOut, Status* ioError) {
  const uint32_t present = PresentBlocks(h, fileSize), bs = h.BlockSize();
  const uint32_t key = h.EncryptionKey();
  constexpr uint32_t kSample = 2000, kBlocks = 64;
  uint32_t sampled = 0, invalid = 0, steps = 0;
  std::string example;
  std::vector<bool> seen(size_t(present) + 1, false);
  Bytes block(bs);
  uint32_t k = h.fixed.firstBlock >= 1 && h.fixed.firstBlock <= present ? h.fixed.firstBlock : 1;
  for (; k >= 1 && k <= present && !seen[k] && steps < kBlocks && sampled < kSample; ++steps) {
    seen[k] = true;
    Status st = peek(BlockOffset(h.fixed.headerSize, bs, k), MutableByteSpan(block));
    if (!st.ok()) {
      *ioError = st;
      return "";
    }
    if (key) DecryptBlock(key, k, MutableByteSpan(block));
    BlockHeader b;
    b.DecodeFrom(block.data());
    const int n = b.RecordCount(h.fixed.recordSize, bs);
    for (int r = 0; r < n && sampled < kSample; ++r) {
      const uint8_t* rec = block.data() + 6 + size_t(r) * h.fixed.recordSize;
      ++sampled;
      for (const FieldDesc& f : h.fields) {
        if (f.offset + f.Size() > h.fixed.recordSize) break;
        const FieldCheck c = CheckField(f, rec + f.offset);
        if (!IsInvalid(c.issue())) continue;
        if (example.empty())
          example = "field " + Describe(f) + (f.name.empty() ? "" : " \"" + f.name + "\"") +
                    " in block " + std::to_string(k) + ": " +
                    DescribeIssue(f.type, f.sizeByte, rec + f.offset, c);
        ++invalid;
        break;
      }
    }
    k = b.nextBlock;
  }
  if (sampledOut) *sampledOut = sampled;
  if (invalidOut) *invalidOut = invalid;
  if (invalid == 0 || invalid * 20 <= sampled) return "";
  return std::to_string(invalid) + " of " + std::to_string(sampled) +
         " records sampled hold values no table may hold (" + example + ")";
}

// Whether most blocks of the file (a sample of up to 64) read as block headers under
// layout h: links within the file and not to themselves, a well-formed record count.
// Free blocks pass too; a block size that is not the table's reads record bytes where
// it expects block headers, and they rarely do.
bool MostBlocksSound(const TableHeader& h, uint64_t fileSize, const BlockPeek& peek,
                     Status* ioError) {
  const uint32_t present = PresentBlocks(h, fileSize);
  if (present == 0) return true;
  const uint32_t step = std::max<uint32_t>(1, present / 64);
  int sampled = 0, sound = 0;
  for (uint32_t j = 1; j <= present; j += step) {
    BlockHeader b;
    Status st = PeekBlockHeader(h, peek, j, &b);
    if (!st.ok()) {
      *ioError = st;
      return false;
    }
    ++sampled;
    sound += b.nextBlock <= present && b.prevBlock <= present && b.nextBlock != j &&
             b.prevBlock != j && b.RecordCount(h.fixed.recordSize, h.BlockSize()) >= 0;
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

// Bytes of the start of a .DB that header recovery looks at (a header is at most
// 64 KiB; block 1's header follows it).
constexpr size_t kHeaderPrefix = 0x10000 + 6;

// Mends invalid field descriptors in a header copy: from the .PX (which repeats the
// key fields' descriptors), from X/XG headers (the indexed fields'), from the .VAL footer, from the
// type's fixed size, or - for the one alpha/bytes field whose size is lost - from the record size
// (`recordSize`). `extension`: the descriptors follow the extension. Returns the number of
// descriptors changed.
int RepairDescriptors(Bytes& trial, bool extension, uint16_t n, uint16_t recordSize,
                      const TableHeader* px, const ValFile* val,
                      const std::map<uint16_t, FieldDesc>& fromIndexes) {
  const size_t base = DescriptorsOffset(extension);
  const size_t len = FieldDesc::kDescriptorLength;
  if (n == 0 || base + len * size_t(n) > trial.size()) return 0;
  int changes = 0;
  int lostSize = -1;  // the single alpha/bytes field whose size is gone
  uint32_t known = 0;
  for (uint16_t i = 0; i < n; ++i) {
    FieldDesc d;
    d.DecodeDescriptor(&trial[base + len * i]);
    const bool knownType = IsKnownFieldType(uint8_t(d.type));
    if (!knownType || !ValidateFieldDescriptor(d.type, d.sizeByte).ok()) {
      auto take = [&d](const FieldDesc& from) {
        d.type = from.type;
        d.sizeByte = from.sizeByte;
      };
      auto x = fromIndexes.find(uint16_t(i + 1));
      if (px && i < px->fields.size()) {
        take(px->fields[i]);
      } else if (x != fromIndexes.end()) {
        take(x->second);
      } else if (val && val->fieldsRead && i < val->fields.size() && val->fields.size() == n) {
        take(val->fields[i]);
      } else if (knownType && FixedSizeByte(d.type) != 0) {
        d.sizeByte = FixedSizeByte(d.type);
      } else if ((d.type == FieldType::kAlpha || d.type == FieldType::kBytes) && lostSize < 0) {
        lostSize = i;
        ++changes;
        continue;
      } else {
        continue;  // nothing to go on; the header stays unusable
      }
      d.EncodeDescriptor(&trial[base + len * i]);
      ++changes;
    }
    if (IsKnownFieldType(uint8_t(d.type))) known += d.Size();
  }
  if (lostSize >= 0 && recordSize > known && recordSize - known <= 255) {
    FieldDesc d;
    d.DecodeDescriptor(&trial[base + len * size_t(lostSize)]);
    d.sizeByte = uint8_t(recordSize - known);
    d.EncodeDescriptor(&trial[base + len * size_t(lostSize)]);
  }
  return changes;
}

// FitStructureToData's steps: the candidate's own sense, the damaged header's word
// against it, a header size at which the blocks read, what the damaged header keeps, and
// a sample of the records.
class StructureFitter {
 public:
  StructureFitter(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                  const TableHeader& candidate, const std::string& source, const std::string& why)
      : file_(file), fileSize_(fileSize), peek_(peek), t_(candidate), source_(source), why_(why) {}

  Result<StructureFit> Run() {
    t_.raw.clear();
    t_.fixed.numFields = uint16_t(t_.fields.size());
    t_.fixed.recordSize = uint16_t(t_.ComputedRecordSize());
    if (t_.fixed.fileType != 0 && t_.fixed.fileType != 2)
      return Misfit("it is not a table's structure (file type " +
                    std::to_string(t_.fixed.fileType) + ")");
    if (std::string p = HeaderProblem(t_, UINT64_MAX); !p.empty()) return Misfit("its " + p);
    if (file_.size() < FixedHeader::kEncodedLength)
      return Misfit("the table is " + std::to_string(fileSize_) + " bytes, too short for a header");
    (void)stored_.DecodeFrom(file_);
    TableLevel level;
    storedReads_ = LevelFromVersionId(stored_.fileVersionId, &level) &&
                   (stored_.fileType == 0 || stored_.fileType == 2);
    if (std::string p = DamagedHeaderDisagrees(); !p.empty()) return Misfit(p);
    KeepWhatTheHeaderSays();
    Status io;
    if (!FindHeaderSize(&io)) {
      PARADOX_RETURN_IF_ERROR(io);
      return Misfit("the data blocks do not read as blocks of " + std::to_string(t_.BlockSize()) +
                    " bytes holding records of " + std::to_string(t_.fixed.recordSize) +
                    " bytes at any header size");
    }
    if (std::string p = NoRecordsInData(&io); !p.empty() || !io.ok()) {
      PARADOX_RETURN_IF_ERROR(io);
      return Misfit(p);
    }
    auto enc = EncodeTableHeader(t_);
    if (!enc.ok()) return Misfit("its header cannot be written: " + enc.status().message());
    Bytes patched = std::move(enc).value();
    if (file_.size() > patched.size())
      patched.insert(patched.end(), file_.begin() + long(patched.size()), file_.end());
    auto h = DecodeTableHeader(ByteSpan(patched));
    if (!h.ok()) return Misfit("its header does not read back: " + h.status().message());
    std::string bad =
        SampleValues(*h, fileSize_, peek_, &fit_.recordsSampled, &fit_.recordsInvalid, &io);
    PARADOX_RETURN_IF_ERROR(io);
    if (!bad.empty()) return Misfit(bad + " under it");
    fit_.header.header = std::move(h).value();
    fit_.header.patchedPrefix = std::move(patched);
    fit_.header.repaired = true;
    fit_.header.fromStructure = true;
    fit_.header.notes.push_back((why_.empty() ? std::string() : "header damaged (" + why_ + "); ") +
                                "structure taken from " + source_);
    return std::move(fit_);
  }

 private:
  Result<StructureFit> Misfit(std::string why) {
    fit_.problem = std::move(why);
    return std::move(fit_);
  }

  // The damaged header's word, where it still reads: its record size or field count
  // while its fixed part is a table's, and the field descriptors that survive.
  std::string DamagedHeaderDisagrees() const {
    const size_t n = t_.fields.size();
    if (storedReads_ && stored_.recordSize != 0 && stored_.recordSize != t_.fixed.recordSize) {
      return "the table's header says records of " + std::to_string(stored_.recordSize) +
             " bytes, the structure's are " + std::to_string(t_.fixed.recordSize);
    }
    // Descriptors followed by as many names: the damaged header's own field list, where
    // a header of either kind has it.
    size_t base = DescriptorsOffset(t_.hasExtension), listed = 0;
    for (size_t area : {TableNameLength(t_.fixed.fileVersionId), size_t(79), size_t(261)})
      if (listed == 0) listed = FieldCountFromNameArea(file_, base, area);
    // Where the other kind of header has its list, one descriptor and one name may be
    // a coincidence of what lies there: two or more are a list.
    const size_t otherBase = DescriptorsOffset(!t_.hasExtension);
    for (size_t area : {size_t(79), size_t(261)}) {
      if (listed > 0) break;
      if (size_t m = FieldCountFromNameArea(file_, otherBase, area); m >= 2) {
        listed = m;
        base = otherBase;
      }
    }
    if (listed > 0 && listed != n)
      return "the table's header still lists " + std::to_string(listed) +
             " fields with their names, the structure has " + std::to_string(n);
    size_t known = 0, differ = 0, first = n;
    for (size_t i = 0; i < n && base + 2 * i + 2 <= file_.size(); ++i) {
      FieldDesc d;
      d.DecodeDescriptor(&file_[base + 2 * i]);
      if (!IsKnownFieldType(uint8_t(d.type)) || !ValidateFieldDescriptor(d.type, d.sizeByte).ok())
        continue;
      ++known;
      if (d.type != t_.fields[i].type || d.sizeByte != t_.fields[i].sizeByte) {
        ++differ;
        if (first == n) first = i;
      }
    }
    // Where the names confirm the list, any difference is one; otherwise the bytes there
    // may be something else, and only most of them differing counts.
    if (differ > 0 && (listed == n || (known >= 2 && 2 * differ > known))) {
      FieldDesc d;
      d.DecodeDescriptor(&file_[base + 2 * first]);
      return "the table's header still describes " + std::to_string(differ) + " of " +
             std::to_string(known) + " readable fields otherwise (field " +
             std::to_string(first + 1) + " is " + Describe(d) + " there, " +
             Describe(t_.fields[first]) + " in the structure)";
    }
    return "";
  }

  // The code page, sort order, next autoincrement value and table name of the damaged
  // header where they still read as such; the field names where its name area lines up
  // with the structure's field count.
  void KeepWhatTheHeaderSays() {
    if (storedReads_) {
      t_.fixed.autoInc = stored_.autoInc;
      t_.fixed.sortOrder = stored_.sortOrder;
      HeaderExtension ext;
      if (t_.hasExtension && HasExtension(stored_.fileType, stored_.fileVersionId) &&
          ext.DecodeFrom(ByteSpan(file_).subspan(kExtensionOffset)).ok() &&
          IsSupportedCodePage(ext.codePage))
        t_.ext.codePage = ext.codePage;
    }
    // The variable part read with the structure's fixed part in front of it.
    Bytes probe = file_;
    FixedHeader fx = t_.fixed;
    fx.headerSize = uint16_t(std::min<size_t>(probe.size(), 0xF000));
    fx.EncodeTo(probe.data());
    if (t_.hasExtension && probe.size() >= kExtensionOffset + HeaderExtension::kEncodedLength) {
      HeaderExtension ext = t_.ext;
      ext.sortOrderIdOffset = 0;  // read where the names end
      ext.EncodeTo(probe.data() + kExtensionOffset);
    }
    auto h = DecodeTableHeader(ByteSpan(probe));
    if (!h.ok() || h->fields.size() != t_.fields.size()) return;
    std::set<std::string> names;
    for (const FieldDesc& f : h->fields)
      if (PlausibleName(f.name)) names.insert(AsciiUpper(f.name));
    if (names.size() != t_.fields.size()) return;  // not a name area
    for (size_t i = 0; i < t_.fields.size(); ++i) t_.fields[i].name = h->fields[i].name;
    if (PlausibleName(h->tableName)) t_.tableName = h->tableName;
    if (t_.hasExtension && PlausibleName(h->sortOrderId) && storedReads_)
      t_.sortOrderId = h->sortOrderId;
  }

  // The header size at which the file's blocks read as data blocks of this layout: the
  // damaged header's, the structure's, the usual ones, those that line the blocks up
  // with the end of the file. Counters and links: the damaged header's while they fit
  // the file, else counted from the blocks.
  bool FindHeaderSize(Status* io) {
    const uint32_t bs = t_.BlockSize();
    const uint32_t need = ComputeVariableEnd(t_);
    std::vector<uint32_t> sizes;
    if (storedReads_) sizes.push_back(stored_.headerSize);
    sizes.push_back(t_.fixed.headerSize);
    for (uint32_t hs : {2048u, 4096u}) sizes.push_back(hs);
    for (uint64_t hs = fileSize_ % bs; hs <= 0xFFFF; hs += bs) sizes.push_back(uint32_t(hs));
    std::vector<uint32_t> tried;
    // Only header sizes that line the blocks up with the end of the file (in KiB, as
    // DOS-era files end): at any other, a stretch of zero bytes reads as an empty block.
    const size_t given = storedReads_ ? 2 : 1;  // the sizes a header states
    for (size_t i = 0; i < sizes.size(); ++i) {
      const uint32_t hs = sizes[i];
      // A file that ends where its header does is an empty table only by a header's word.
      if (hs + BlockHeader::kEncodedLength > fileSize_ && i >= given) continue;
      if (hs < need || hs > 0xFFFF || hs > fileSize_ ||
          std::find(tried.begin(), tried.end(), hs) != tried.end())
        continue;
      TableHeader h = t_;
      h.fixed.headerSize = uint16_t(hs);
      if (!BlocksAligned(h, fileSize_)) continue;
      tried.push_back(hs);
      if (storedReads_) CopyCounters(stored_, &h.fixed);
      if (!storedReads_ || !CountersFit(h, fileSize_)) {
        *io = CountFromBlocks(&h, fileSize_, peek_);
        if (!io->ok()) return false;
      }
      if (LayoutFitsBlocks(h, fileSize_, peek_, true, io) &&
          MostBlocksSound(h, fileSize_, peek_, io)) {
        t_ = std::move(h);
        return true;
      }
      if (!io->ok()) return false;
    }
    return false;
  }

  // A layout under which blocks that hold data hold no record reads them wrongly.
  std::string NoRecordsInData(Status* io) const {
    if (t_.fixed.numRecords > 0) return "";
    const uint32_t present = PresentBlocks(t_, fileSize_);
    if (present == 0) return "";
    const uint32_t k =
        t_.fixed.firstBlock >= 1 && t_.fixed.firstBlock <= present ? t_.fixed.firstBlock : 1;
    Bytes block(t_.BlockSize());
    *io = peek_(BlockOffset(t_.fixed.headerSize, t_.BlockSize(), k), MutableByteSpan(block));
    if (!io->ok()) return "";
    if (IsAllZero(ByteSpan(block).subspan(BlockHeader::kEncodedLength))) return "";
    return "under it the data blocks hold no record, yet block " + std::to_string(k) +
           " holds data";
  }

  static void CopyCounters(const FixedHeader& from, FixedHeader* to) {
    to->numRecords = from.numRecords;
    to->blocksInUse = from.blocksInUse;
    to->fileBlocks = from.fileBlocks;
    to->maxBlocks = from.maxBlocks;
    to->firstBlock = from.firstBlock;
    to->lastBlock = from.lastBlock;
    to->firstFreeBlock = from.firstFreeBlock;
  }

  const Bytes& file_;
  const uint64_t fileSize_;
  const BlockPeek& peek_;
  TableHeader t_;
  const std::string& source_;
  const std::string& why_;
  FixedHeader stored_;
  bool storedReads_ = false;
  StructureFit fit_;
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

  // What is wrong with the header as stored ("" while Run found it usable).
  const std::string& firstProblem() const { return firstProblem_; }

  Result<RecoveredHeader> Run() {
    stored_ = DecodeTableHeader(ByteSpan(file_));
    storedUsable_ = stored_.ok() && HeaderProblem(*stored_, fileSize_).empty();
    if (StoredHeaderFits()) return Stored();
    PARADOX_RETURN_IF_ERROR(ioError_);
    firstProblem_ = stored_.ok() ? HeaderProblem(*stored_, fileSize_) : stored_.status().message();
    if (firstProblem_.empty())
      firstProblem_ = "the data chain from block " + std::to_string(stored_->fixed.firstBlock) +
                      " does not read as linked data blocks with this header's sizes";
    if (!fixed_.DecodeFrom(file_).ok())
      return Status::Corruption("file is " + std::to_string(fileSize_) +
                                " bytes, too short for a table header");
    haveExtension_ = ext_.DecodeFrom(ByteSpan(file_).subspan(kExtensionOffset)).ok();
    TableLevel level;
    fixedLost_ = !LevelFromVersionId(fixed_.fileVersionId, &level);
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
    const FixedHeader& f = fixed_;
    versions_ = {f.fileVersionId};
    if (haveExtension_) {
      const uint16_t v2 = ext_.fileVerId2, v3 = ext_.fileVerId3;
      if (v2 == v3 && v2 >= 0x105 && v2 <= 0x10C) versions_.push_back(uint8_t(v2 - 0x100));
    }
    for (uint8_t v : {12, 11, 9, 4, 3}) versions_.push_back(v);
    counts_ = {f.numFields};
    const uint32_t p30 = f.ramPtr30, p34 = f.ramPtr34;
    if (p30 > p34 && (p30 - p34) % 2 == 0 && (p30 - p34) / 2 <= 255)
      counts_.push_back(uint16_t((p30 - p34) / 2));
    if (haveExtension_) {
      const uint16_t fn = ext_.fieldNumbersOffset, so = ext_.sortOrderIdOffset;
      if (so > fn && (so - fn) % 2 == 0 && (so - fn) / 2 <= 255)
        counts_.push_back(uint16_t((so - fn) / 2));
    }
    // A fixed part that is lost (its level byte gone with it) leaves the descriptors and
    // names after it: their count is the field count.
    if (fixedLost_) {
      for (size_t base : {size_t(0x78), size_t(0x58)})
        for (size_t area : {size_t(79), size_t(261)})
          if (size_t n = FieldCountFromNameArea(file_, base, area); n > 0)
            counts_.push_back(uint16_t(n));
    }
    if (val_ && val_->fieldsRead) counts_.push_back(uint16_t(val_->fields.size()));
    codes_ = {f.blockSizeCode, 1, 2, 4, 16, 3, 8, 32};
    headerSizes_ = {f.headerSize, 2048, 4096};
    if (f.realHeaderSize > 0) headerSizes_.push_back(f.realHeaderSize);
    if (fixedLost_) {
      // The header size that lines the blocks up with the end of the file.
      for (uint8_t code : codes_)
        if (code != 0 && fileSize_ % (code * 1024u) >= FixedHeader::kEncodedLength)
          headerSizes_.push_back(uint16_t(fileSize_ % (code * 1024u)));
    }
    keys_ = {f.primaryKeyFields};
    if (px_) keys_.push_back(px_->fixed.numFields);
    keys_.push_back(0);
    // A lost fixed part says nothing of the key: a .PX says the table is keyed.
    if (fixedLost_ && px_ && px_->fixed.numFields > 0)
      keys_.insert(keys_.begin(), px_->fixed.numFields);
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
    const FixedHeader& stored = fixed_;
    int changes = (ver != stored.fileVersionId) + (n != stored.numFields) +
                  (pk != (fixedLost_ ? keys_[0] : stored.primaryKeyFields)) +
                  (code != stored.blockSizeCode);
    if (changes >= bestChanges_) return Status::OK();
    FixedHeader fx = stored;
    fx.fileVersionId = ver;
    fx.numFields = n;
    fx.primaryKeyFields = pk;
    fx.blockSizeCode = code;
    fx.fileType = pk > 0 ? 0 : 2;
    Bytes trial = file_;
    changes += RepairDescriptors(trial, HasExtension(fx.fileType, ver), n, stored.recordSize, px_,
                                 val_, fromIndexes_);
    if (changes >= bestChanges_) return Status::OK();
    fx.EncodeTo(trial.data());
    // headerSize: a listed candidate, or (last round) the computed used size.
    auto h1 = DecodeTableHeader(ByteSpan(trial));
    if (!h1.ok()) {
      // The stored header size may cut the variable part short: retry wide.
      fx.headerSize = uint16_t(std::min<size_t>(trial.size(), 0xF000));
      fx.EncodeTo(trial.data());
      h1 = DecodeTableHeader(ByteSpan(trial));
      if (!h1.ok()) return Status::OK();
    }
    const uint16_t hs = hi < headerSizes_.size() ? headerSizes_[hi] : uint16_t(h1->variableEnd);
    const int hsChange = hs != stored.headerSize;
    if (changes + hsChange >= bestChanges_) return Status::OK();
    fx.headerSize = hs;
    fx.recordSize = uint16_t(h1->ComputedRecordSize());
    fx.EncodeTo(trial.data());
    const int rsChange = fx.recordSize != stored.recordSize;
    const int typeChange = fx.fileType != stored.fileType;
    int total = changes + hsChange + rsChange + typeChange;
    if (total >= bestChanges_) return Status::OK();
    auto h2 = DecodeTableHeader(ByteSpan(trial));
    if (!h2.ok() || !HeaderProblem(*h2, fileSize_).empty()) return Status::OK();
    Status io;
    // Counters and links lost with a fixed part are counted from the blocks.
    if (!CountersFit(*h2, fileSize_)) {
      PARADOX_RETURN_IF_ERROR(CountFromBlocks(&*h2, fileSize_, peek_));
      h2->fixed.EncodeTo(trial.data());
    }
    if (!LayoutFitsBlocks(*h2, fileSize_, peek_, true, &io)) return io;
    // Field names must still be readable text for the result to be credible.
    for (const FieldDesc& f : h2->fields)
      if (f.name.empty()) return Status::OK();
    if (!BlocksAligned(*h2, fileSize_)) total += kUnaligned;
    if (total >= bestChanges_) return Status::OK();
    // Nor is a layout under which the records hold values no table holds.
    if (!SampleValues(*h2, fileSize_, peek_, nullptr, nullptr, &io).empty() || !io.ok()) return io;
    bestChanges_ = total;
    best_ = std::move(trial);
    bestHeader_ = std::move(h2).value();
    return Status::OK();
  }

  // Last resort: the layout from a description (caller's, or the .VAL footer plus the
  // .PX key count) over the file's fixed part.
  // Last resort: the layout from a description (caller's, or the .VAL footer plus the
  // .PX key count), checked against the data as any structure from elsewhere is, at each
  // block size a table may have.
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
    if (!LevelFromVersionId(fixed_.fileVersionId, &level)) level = TableLevel::k7;
    schema.level = level;
    for (const FieldDesc& f : fields) schema.fields.push_back({f.name, f.type, FieldDefSize(f)});
    schema.keyFieldCount = keyCount;
    std::string misfit;
    for (uint8_t code : codes_) {
      if (code == 0 || !BlockSizeAllowed(level, uint32_t(code) * 1024)) continue;
      schema.blockSize = uint32_t(code) * 1024;
      auto templ = HeaderForSchema(schema, "TABLE.DB");
      if (!templ.ok()) {
        if (misfit.empty()) misfit = templ.status().message();
        continue;
      }
      auto fit = StructureFitter(file_, fileSize_, peek_, *templ, source, firstProblem_).Run();
      if (!fit.ok()) return fit.status();
      if (fit->problem.empty()) return std::move(fit->header);
      if (code == fixed_.blockSizeCode || misfit.empty()) misfit = fit->problem;
    }
    return Status::Corruption("table header cannot be used (" + firstProblem_ + "), and " + source +
                              " does not fit the data blocks" +
                              (misfit.empty() ? std::string() : " (" + misfit + ")"));
  }

  const Bytes& file_;
  const uint64_t fileSize_;
  const BlockPeek& peek_;
  const TableStructure* structure_;
  const TableHeader* px_;
  const ValFile* val_;
  const std::map<uint16_t, FieldDesc>& fromIndexes_;

  Result<TableHeader> stored_ = Status::Corruption("not decoded");
  FixedHeader fixed_;  // the stored fixed part, and the extension when the file has one
  HeaderExtension ext_;
  bool haveExtension_ = false;
  bool storedUsable_ = false;
  bool fixedLost_ = false;  // the stored fixed part's level byte is gone: nothing in it holds
  Status ioError_;
  std::string firstProblem_;
  std::vector<uint8_t> versions_, codes_;
  std::vector<uint16_t> counts_, headerSizes_, keys_;
  int bestChanges_ = 1000;
  Bytes best_;
  TableHeader bestHeader_;
};

}  // namespace

Result<RecoveredHeader> RecoverHeader(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                                      const TableStructure* structure, const TableHeader* pxHeader,
                                      const ValFile* val,
                                      const std::map<uint16_t, FieldDesc>& fromIndexes,
                                      std::string* storedProblem) {
  HeaderRecovery recovery(file, fileSize, peek, structure, pxHeader, val, fromIndexes);
  auto out = recovery.Run();
  if (storedProblem) *storedProblem = recovery.firstProblem();
  return out;
}

Result<StructureFit> FitStructureToData(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                                        const TableHeader& candidate, const std::string& source,
                                        const std::string& why) {
  return StructureFitter(file, fileSize, peek, candidate, source, why).Run();
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
  auto prefix = ReadFilePrefix(f->get(), *sz, limit);
  if (!prefix.ok()) return prefix.status();
  *out = std::move(prefix).value();
  return Status::OK();
}

// Descriptors of DB fields (by 1-based number) as the X/XG headers repeat them: the
// indexed fields come first in an X file. The key-field count comes from the .PX when
// there is one (the DB's own may be the damaged part).
Result<std::map<uint16_t, FieldDesc>> DescriptorsFromIndexes(FileSystem* fs, const FamilyFiles& fam,
                                                             const Bytes& dbPrefix,
                                                             const TableHeader* px) {
  std::map<uint16_t, FieldDesc> out;
  FixedHeader db;
  const uint16_t keys =
      px ? px->fixed.numFields : (db.DecodeFrom(dbPrefix).ok() ? db.primaryKeyFields : uint16_t(0));
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
}  // namespace

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
    auto vb = fs->ReadFile(fam.val, kMaxValFileSize);
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

Result<StructureFit> FitStructureToTable(FileSystem* fs, const std::string& dbPath,
                                         const TableHeader& candidate, const std::string& source) {
  if (!fs) fs = DefaultFileSystem();
  Bytes prefix;
  uint64_t size = 0;
  PARADOX_RETURN_IF_ERROR(ReadPrefix(fs, dbPath, kHeaderPrefix, &prefix, &size));
  std::shared_ptr<File> holder;
  auto peek = PeekInto(fs, dbPath, &holder);
  if (!peek.ok()) return peek.status();
  return FitStructureToData(prefix, size, *peek, candidate, source, "");
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
  auto rec = FindStructure(fs, *fam, src, *peek, nullptr, "");
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
