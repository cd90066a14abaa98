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

#include "paradox/format/alloc.h"
#include "paradox/format/blob.h"
#include "paradox/format/collation.h"
#include "paradox/format/crypt.h"
#include "paradox/format/index.h"
#include "paradox/format/progress.h"
#include "paradox/format/reader.h"
#include "paradox/format/sorted_rows.h"
#include "paradox/format/val.h"
#include "paradox/format/value.h"
#include "paradox/repair/header_recovery.h"
#include "paradox/repair/salvage_source.h"
#include "paradox/repair/structure_sources.h"
#include "paradox/verify/field_profile.h"

namespace paradox {
namespace {

size_t KeyLength(const TableHeader& h) {
  size_t n = 0;
  for (size_t i = 0; i < h.fixed.primaryKeyFields && i < h.fields.size(); ++i)
    n += h.fields[i].Size();
  return n;
}

}  // namespace

bool IsByteOrderCollation(const TableHeader& h) {
  // The name is authoritative when present (the code byte is shared by collations).
  if (!h.sortOrderId.empty()) return h.sortOrderId == "ascii";
  return h.fixed.sortOrder == 0;
}

int CompareKeys(const TableHeader& h, ByteSpan a, ByteSpan b, bool exactCollation) {
  const size_t available = std::min(a.size(), b.size());
  if (exactCollation) {
    const KeyOrder order(h);
    if (order.known() && available >= order.keyLength()) return order.Compare(a.data(), b.data());
  }
  using Plain = KeyOrder::Plain;
  return KeyOrder(h, exactCollation ? Plain::kBytes : Plain::kFoldedAscii, available)
      .Compare(a.data(), b.data());
}

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
    PARADOX_RETURN_IF_ERROR(JudgeRecords());
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
    auto rec = FindStructure(fs_, fam_, src_, *peek, options_.structure, options_.structureFrom);
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

  // Records that the table's own data shows to be garbage (field_profile.h): the profile
  // is learned from every block the salvage reads, as the verifier learns it from the
  // chain, and the blocks that may hold odd values are judged. A damaged block's records
  // and the torn end of a block never reach the key order: ReadRecords sets them aside.
  Status JudgeRecords() {
    const uint32_t rs = h_.fixed.recordSize;
    if (h_.fields.empty() || rs == 0) return Status::OK();
    TableProfile profile = TableProfile::ForHeader(h_);
    Bytes block;
    BlockInfo bi;
    // The plan's slots of each block (the count, or the bound the redundancy gives).
    std::map<uint32_t, int32_t> slots;
    for (const SalvageBlock& b : rd_->salvagePlan().blocks) slots[b.block] = b.records;
    // The block's records as the plan bounds them, those wholly known; 0 when unreadable.
    auto read = [&](uint32_t b, uint32_t* count) -> Status {
      *count = 0;
      const auto it = slots.find(b);
      if (it == slots.end() || it->second <= 0) return Status::OK();
      Status st = rd_->ReadBlock(b, &block, &bi);
      if (st.IsIOError()) return st;
      if (st.ok() && bi.known >= 6)
        *count = std::min(
            {uint32_t(it->second), (bi.known - 6) / rs, BlockCapacity(h_.BlockSize(), rs)});
      return Status::OK();
    };
    uint32_t count = 0;
    for (const auto& [b, n] : slots) {
      PARADOX_RETURN_IF_ERROR(read(b, &count));
      // An unreadable block leaves `block` empty: no pointer into it is formed.
      if (count > 0) profile.LearnBlock(b, block.data() + 6, count);
    }
    profile.Finish();
    std::vector<RecordJudgement> odd;
    for (uint32_t b : profile.SuspectBlocks()) {
      PARADOX_RETURN_IF_ERROR(read(b, &count));
      if (count == 0) continue;
      const BlockJudgement j = profile.JudgeBlock(b, block.data() + 6, count, &odd);
      Judged& out = judged_[b];
      out.from = j.damaged ? 0 : count;
      out.why = j.damaged ? std::to_string(j.implausible) + " of the " + std::to_string(count) +
                                " records of the block do not look like the table's other data"
                          : "does not look like the table's other data";
      for (const RecordJudgement& r : odd) {
        const std::string reasons = profile.Reasons(r);
        if (r.index >= out.from || r.setAside) {
          out.reasons[r.index] = reasons;
          if (r.setAside) out.aside.insert(r.index);
        } else if (r.Relative()) {
          // A single odd record in a sound block stays; the report names it.
          res_.actions.push_back({"implausible", dbName_, b, r.index,
                                  "kept; does not look like the table's other data: " + reasons});
        }
      }
      if (out.from >= count && out.aside.empty()) judged_.erase(b);
    }
    return Status::OK();
  }

  // Whether the judgement set the record aside; if so it is a problem record now.
  bool SetAsideImplausible(const RecordRef& r) {
    const auto it = judged_.find(r.block);
    if (it == judged_.end() ||
        (r.indexInBlock < it->second.from && !it->second.aside.count(r.indexInBlock)))
      return false;
    const auto why = it->second.reasons.find(r.indexInBlock);
    std::string reason = it->second.why;
    if (why != it->second.reasons.end()) reason += "; " + why->second;
    res_.problems.push_back(
        {Bytes(r.bytes.begin(), r.bytes.end()), r.block, r.indexInBlock, r.fileOffset, reason});
    res_.actions.push_back(
        {"implausible", dbName_, r.block, r.indexInBlock, "set aside: " + reason});
    ++res_.implausible;
    ++res_.issues;
    return true;
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
      if (!judged_.empty() && SetAsideImplausible(r)) continue;
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
        // A record of a block the judgement set aside counts with its records.
        std::string reason = d.reason;
        if (const auto it = judged_.find(d.where.block);
            it != judged_.end() && d.where.record >= 0 &&
            (uint32_t(d.where.record) >= it->second.from ||
             it->second.aside.count(uint32_t(d.where.record)))) {
          reason += "; " + it->second.why;
          ++res_.implausible;
        }
        res_.problems.push_back(
            {d.bytes, d.where.block, d.where.record, d.where.offset.value_or(0), reason});
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
    // An unknown collation: alpha fields by their bytes, a-z folded first.
    const KeyOrder folded(h_, KeyOrder::Plain::kFoldedAscii);
    auto less = [&](uint32_t a, uint32_t b) {
      return (exact_ ? *order_ : folded).Less(Key(a), Key(b));
    };
    std::vector<uint32_t> ordered;
    if (exact_) {
      PARADOX_RETURN_IF_ERROR(TryResize(&ordered, Rows(), "the key order of the records"));
      std::iota(ordered.begin(), ordered.end(), 0u);
      std::stable_sort(ordered.begin(), ordered.end(), less);
    } else {
      ordered = MergeIntoChain(less);
    }
    return DropRepeatedKeys(std::move(ordered), exact_ ? &*order_ : nullptr);
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
    // The table's KeyOrder compares just those fields (its certain prefix).
    auto prefixLess = [this](uint32_t a, uint32_t b) { return order_->Less(Key(a), Key(b)); };
    if (order_->certainPrefix() > 0) {
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
  Status DropRepeatedKeys(std::vector<uint32_t> ordered, const KeyOrder* order) {
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
      std::vector<uint32_t> byBytes;
      PARADOX_RETURN_IF_ERROR(TryResize(&byBytes, n, "the key order of the records"));
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
      return Status::OK();
    }
    kept_.clear();
    PARADOX_RETURN_IF_ERROR(TryReserve(&kept_, n, "the records kept"));
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t row = Ordered(ordered, i);
      if (repeat[i])
        NoteRepeat(flat_[row]);
      else
        kept_.push_back(row);
    }
    return Status::OK();
  }

  // Engines read a table whose fields have no name (or a name no table may have: too
  // long, a NUL, a leading space, the same as another's); the writer does not write one.
  // Such a field takes the name Field<n>, so that the records are rebuilt, and the
  // rebuild notes it (the verifier warns of such names: engines read the table).
  void NameNamelessFields() {
    std::vector<std::string> upper;
    for (const FieldDef& f : res_.schema.fields) upper.push_back(AsciiUpper(f.name));
    for (size_t i = 0; i < res_.schema.fields.size(); ++i) {
      std::string& name = res_.schema.fields[i].name;
      const bool usable = !name.empty() && name.size() <= 25 && name[0] != ' ' &&
                          name.find('\0') == std::string::npos &&
                          std::count(upper.begin(), upper.begin() + long(i), upper[i]) == 0;
      if (usable) continue;
      std::string made;
      for (size_t n = i + 1;; ++n) {
        made = "Field" + std::to_string(n);
        if (std::find(upper.begin(), upper.end(), AsciiUpper(made)) == upper.end()) break;
      }
      res_.actions.push_back(
          {"note", dbName_, 0, -1,
           "field " + std::to_string(i + 1) + " has no name a table may have; named " + made});
      name = made;
      upper[i] = AsciiUpper(made);
    }
  }

  Status BuildSchema() {
    res_.schema = SchemaFromHeader(h_);
    NameNamelessFields();
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
  // JudgeRecords: per block, the first slot set aside and why.
  struct Judged {
    uint32_t from = 0;
    std::string why;
    std::map<uint32_t, std::string> reasons;  // the slots' own reasons
    std::set<uint32_t> aside;                 // slots set aside on their own (zero, torn)
  };
  std::map<uint32_t, Judged> judged_;
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

}  // namespace paradox
