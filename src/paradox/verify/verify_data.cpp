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
#include "paradox/verify/data_checker.h"
#include "paradox/verify/verify_internal.h"

namespace paradox::verify {

bool DataChecker::OpenAndReadHeader() {
  if (!OpenForCheck(ctx_, path_, "file.missing", &file_, &size_)) return false;
  Result<HeaderPrefix> prefix = ReadHeaderPrefix(file_.get(), size_);
  if (!prefix.ok()) {
    if (!HoldsFixedHeader(size_))
      Add("header.too-short", Loc(),
          "file is " + N(size_) + " bytes but a Paradox header needs at least " +
              N(FixedHeader::kEncodedLength));
    else
      Add("file.unreadable", Loc(), "cannot read the header: " + prefix.status().ToString());
    return false;
  }
  h_.fixed = prefix->fixed;
  headerBytes_ = std::move(prefix->bytes);
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
  walk_.chain = lists_.chain;
  uint32_t orphans = 0;
  for (const ListFinding& e : lists_.findings)
    if (!ReportSizeEvent(e) && !ReportChainEvent(e)) ReportBlockEvent(e, &orphans);
  // kBlockCount: the orphans and the lists say it; kEmptyChainBlock and kRecordCount are
  // judged with the records, after the pass.
  if (orphans > 10)
    Add("blocks.orphan", Loc(),
        N(orphans) + " blocks in all are in neither list (first 10 listed)");
  if (IsTable()) {
    ctx_.report->summary.chainBlocks = uint32_t(lists_.chain.size());
    ctx_.report->summary.freeBlocks = uint32_t(lists_.freeList.size());
  }
}

// The walk's events about the file's size; false for the others.
bool DataChecker::ReportSizeEvent(const ListFinding& e) {
  switch (e.event) {
    case ListEvent::kFileLong:
      Add("file.trailing-data", Loc(0, -1, e.offset),
          "file is " + N(size_) + " bytes but header + " + N(fileBlocks_) + " blocks make " +
              N(e.expected));
      return true;
    case ListEvent::kFileShortLastBlock: {
      const uint64_t lastOff = BlockOffset(hs_, bs_, fileBlocks_);
      Add("file.short-last-block", Loc(fileBlocks_, -1, size_),
          "file ends " + N(size_ - lastOff) + " bytes into its last block (of " + N(bs_) +
              "), after that block's records");
      return true;
    }
    case ListEvent::kFileShort:
      Add("file.truncated", Loc(std::min(present_, fileBlocks_) + 1, -1, size_),
          "file is " + N(size_) + " bytes but header + " + N(fileBlocks_) + " blocks need " +
              N(e.expected));
      return true;
    default:
      return false;
  }
}

// The walk's events about the data chain and the header's words for it.
bool DataChecker::ReportChainEvent(const ListFinding& e) {
  const FixedHeader& f = h_.fixed;
  switch (e.event) {
    case ListEvent::kEmptyTableLinks:
      Add("chain.empty-table", Loc(0, -1, 0x0A),
          "no blocks but 0x0A/0x0E/0x10 are " + N(f.blocksInUse) + "/" + N(f.firstBlock) + "/" +
              N(f.lastBlock) + " and should be 0");
      return true;
    case ListEvent::kFirstBlockBad:
      Add("chain.first-block", Loc(0, -1, 0x0E),
          "first block is " + N(uint64_t(e.value)) + " but should be 1.." + N(fileBlocks_));
      return true;
    case ListEvent::kFirstBlockUnusual:
      Add("chain.first-block-unusual", Loc(0, -1, 0x0E),
          "first block is " + N(uint64_t(e.value)) + "; normally 1");
      return true;
    case ListEvent::kLinkOutOfRange:
      Add("chain.out-of-range", Loc(e.block, -1, e.offset),
          "next block of block " + N(e.block) + " is " + N(uint64_t(e.value)) +
              " but the file has " + N(std::max(fileBlocks_, present_)) + " blocks");
      return true;
    case ListEvent::kLinkBeyondEof:
      Add("chain.beyond-eof", Loc(uint32_t(e.value), -1, BlockOffset(hs_, bs_, uint32_t(e.value))),
          "block " + N(uint64_t(e.value)) + " is in the chain but the file ends at byte " +
              N(size_));
      return true;
    case ListEvent::kBeyondFileBlocks:
      Add("chain.out-of-range", Loc(e.block, -1, e.offset),
          "block " + N(e.block) + " is in the chain but beyond the " + N(fileBlocks_) +
              " blocks the header declares");
      return true;
    case ListEvent::kCycle:
      Add("chain.cycle", Loc(uint32_t(e.value), -1, BlockOffset(hs_, bs_, uint32_t(e.value))),
          "block " + N(uint64_t(e.value)) + " is reached twice (again from block " + N(e.block) +
              ")");
      return true;
    case ListEvent::kPrevLink:
      Add("chain.prev-link", Loc(e.block, -1, e.offset),
          "previous-block link of block " + N(e.block) + " is " + N(uint64_t(e.value)) +
              " but should be " + N(uint64_t(e.expected)));
      return true;
    case ListEvent::kLastBlock:
      Add("chain.last-block", Loc(0, -1, 0x10),
          "last block is " + N(uint64_t(e.value)) + " but the chain ends at block " +
              N(uint64_t(e.expected)));
      return true;
    case ListEvent::kChainLength:
      Add("chain.length", Loc(0, -1, 0x0A),
          "blocks in use is " + N(uint64_t(e.value)) + " but the chain has " +
              N(uint64_t(e.expected)) + (chainBroken_ ? " blocks before it breaks" : " blocks"));
      return true;
    default:
      return false;
  }
}

// The walk's events about the free list and single blocks; `orphans` counts the blocks
// in neither list (the first 10 are listed).
bool DataChecker::ReportBlockEvent(const ListFinding& e, uint32_t* orphans) {
  const uint64_t boff = e.block ? BlockOffset(hs_, bs_, e.block) : 0;
  const uint32_t cap = BlockCapacity(bs_, rs_);
  switch (e.event) {
    case ListEvent::kFreeOutOfRange:
      Add("freelist.out-of-range", e.block ? Loc(e.block, -1, e.offset) : Loc(0, -1, 0x4D),
          "free-list link is " + N(uint64_t(e.value)) + " but the file has " + N(present_) +
              " blocks");
      return true;
    case ListEvent::kFreeCrossLink:
      Add("freelist.cross-link", Loc(e.block, -1, e.offset),
          "block " + N(e.block) + " is in the data chain and in the free list");
      return true;
    case ListEvent::kFreeCycle:
      Add("freelist.cycle", Loc(e.block, -1, e.offset),
          "free list reaches block " + N(e.block) + " twice");
      return true;
    case ListEvent::kOrphan:
      // Blocks past the header's count are trailing data, reported as such.
      if (e.block <= fileBlocks_ && ++*orphans <= 10)
        Add("blocks.orphan", Loc(e.block, -1, e.offset),
            "block " + N(e.block) + " is in neither the data chain nor the free list");
      return true;
    case ListEvent::kBadRecordCount:
      Add("block.record-count", Loc(e.block, -1, boff + 4),
          "addDataSize is " + std::to_string(e.value) + " but should be -" + N(rs_) +
              " or a multiple of " + N(rs_) + " up to " + N((cap - 1) * uint64_t(rs_)));
      return true;
    default:
      return false;
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
      block_ = k;
      for (int64_t r = 0; r < checkable; ++r) {
        const uint8_t* rec = blk + 6 + size_t(r) * rs_;
        CheckRecord(rec, RecordAt{k, uint32_t(r), boff + 6 + uint64_t(r) * rs_});
      }
      if (profile_) profile_->LearnBlock(k, blk + 6, uint32_t(std::max<int64_t>(checkable, 0)));
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

void DataChecker::JudgeBlocks() {
  if (!profile_) return;
  profile_->Finish();
  const std::vector<uint32_t> suspects = profile_->SuspectBlocks();
  Bytes blk(suspects.empty() ? 0 : bs_);
  std::vector<RecordJudgement> odd;
  bool anyDamaged = false;
  for (uint32_t k : suspects) {
    if (k == 0 || k > present_ || lists_.owner[k] != 1 || walk_.recordsIn[k] <= 0) continue;
    const uint64_t boff = BlockOffset(hs_, bs_, k);
    size_t got = 0;
    if (!file_->ReadAt(boff, MutableByteSpan(blk.data(), bs_), &got).ok()) continue;
    if (key_) {
      got = got / 256 * 256;  // as in the record pass: a partial chunk is not there
      DecryptBlock(key_, k, MutableByteSpan(blk.data(), bs_));
    }
    const uint64_t inFile = got >= 6 ? (got - 6) / rs_ : 0;
    const uint32_t count = uint32_t(std::min<uint64_t>(uint32_t(walk_.recordsIn[k]), inFile));
    const BlockJudgement j = profile_->JudgeBlock(k, blk.data() + 6, count, &odd);
    if (j.damaged) {
      anyDamaged = true;
      if (!blockMaxAutoInc_.empty()) blockMaxAutoInc_[k] = INT32_MIN;
      Add("block.implausible", Loc(k, -1, boff),
          N(j.implausible) + " of the " + N(j.records) + " records of block " + N(k) +
              " do not look like the table's other data; record " + N(odd[0].index) + ": " +
              profile_->Reasons(odd[0]));
      continue;
    }
    // Zero records no other block has, and a torn write's records: set aside by a
    // rebuild whatever the rest of the block holds.
    if (j.setAside > 0) {
      const RecordJudgement* first = nullptr;
      for (const RecordJudgement& r : odd)
        if (r.setAside && !first) first = &r;
      const uint32_t at = first ? first->index : j.tornFrom;
      Add("block.implausible", Loc(k, at, boff + 6 + uint64_t(at) * rs_),
          N(j.setAside) + " of the " + N(count) + " records of block " + N(k) +
              (j.tornFrom < count ? " end in zero bytes, as a write torn off inside the block "
                                    "leaves them"
                                  : " are zero bytes") +
              (first ? "; record " + N(first->index) + ": " + profile_->Reasons(*first) : ""));
    }
    for (const RecordJudgement& r : odd)
      if (!r.setAside && r.Relative() && Want("record.implausible"))
        Add("record.implausible", Loc(k, r.index, boff + 6 + uint64_t(r.index) * rs_),
            profile_->Reasons(r));
  }
  // The header's counter is judged by the records a rebuild keeps.
  if (anyDamaged && anyAutoInc_) {
    anyAutoInc_ = false;
    for (int32_t m : blockMaxAutoInc_)
      if (m != INT32_MIN && (!anyAutoInc_ || m > maxAutoInc_)) {
        maxAutoInc_ = m;
        anyAutoInc_ = true;
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
  if (IsTable() && ctx_.options->checkValues) {
    profile_.emplace(TableProfile::ForHeader(h_));
    if (autoIncField_ >= 0) blockMaxAutoInc_.assign(size_t(present_) + 1, INT32_MIN);
  }
  RecordPass();
  JudgeBlocks();
  AfterPass();
  if (IsTable()) ctx_.progress->Report(2, 100);
  walk_.ok = true;
  return std::move(walk_);
}

DataWalk CheckDataFile(Context& ctx, const std::string& path, DataRole role, const DataWalk* base) {
  DataChecker checker(ctx, path, role, base);
  return checker.Run();
}

}  // namespace paradox::verify
