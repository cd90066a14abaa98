#include "paradox/format/reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "paradox/format/alloc.h"
#include "paradox/format/crypt.h"
#include "paradox/format/field_rules.h"

namespace paradox {

std::string Location::ToString() const {
  std::string s = PathBaseName(file);
  if (block)
    s += " block " + std::to_string(block);
  else
    s += " header";
  if (record >= 0) s += " record " + std::to_string(record);
  if (field >= 0) s += " field " + std::to_string(field + 1);
  if (!offset) return s;
  char buf[40];
  std::snprintf(buf, sizeof buf, " (offset 0x%llx)", static_cast<unsigned long long>(*offset));
  return s + buf;
}

Location Location::At(std::string file, uint32_t block, int64_t record,
                      std::optional<uint64_t> offset) {
  Location l;
  l.file = std::move(file);
  l.block = block;
  l.record = record;
  l.offset = offset;
  return l;
}

TableReader::~TableReader() = default;

Location TableReader::At(uint32_t block, int64_t record, std::optional<uint64_t> offset) const {
  return Location::At(path_, block, record, offset);
}

void TableReader::AddAnomaly(std::string code, Location where, std::string detail) {
  ++anomalyCount_;
  if (anomalies_.size() < options_.maxAnomalies)
    anomalies_.push_back(Anomaly{std::move(code), std::move(where), std::move(detail)});
}

void TableReader::AddDropped(DroppedSpan span) {
  dropped_.push_back(std::move(span));
}

Result<std::unique_ptr<TableReader>> TableReader::Open(FileSystem* fs, const std::string& path,
                                                       const ReadOptions& options) {
  std::unique_ptr<TableReader> r(new TableReader());
  r->fs_ = fs;
  r->path_ = path;
  r->options_ = options;
  PARADOX_RETURN_IF_ERROR(r->Init());
  return r;
}

static bool SameLayout(const TableHeader& a, const TableHeader& b) {
  if (a.fields.size() != b.fields.size()) return false;
  for (size_t i = 0; i < a.fields.size(); ++i)
    if (a.fields[i].type != b.fields[i].type || a.fields[i].sizeByte != b.fields[i].sizeByte)
      return false;
  return true;
}

Status TableReader::Init() {
  auto f = fs_->Open(path_, OpenMode::kRead);
  if (!f.ok()) return f.status();
  file_ = std::move(f).value();
  auto size = file_->Size();
  if (!size.ok()) return size.status();
  fileSize_ = size.value();
  const std::string name = PathBaseName(path_);
  const bool salvage = options_.mode == ReadMode::kSalvage;

  auto prefix = ReadHeaderPrefix(file_.get(), fileSize_);
  Result<TableHeader> h =
      prefix.ok() ? DecodeTableHeader(prefix->bytes) : Result<TableHeader>(prefix.status());
  if (salvage && options_.templateHeader) {
    if (!h.ok() || !SameLayout(h.value(), *options_.templateHeader) ||
        h->fixed.recordSize != options_.templateHeader->fixed.recordSize ||
        h->fixed.blockSizeCode != options_.templateHeader->fixed.blockSizeCode ||
        h->fixed.headerSize != options_.templateHeader->fixed.headerSize) {
      AddAnomaly("header-replaced", At(),
                 h.ok() ? "header layout differs from the template; template used"
                        : h.status().message() + "; template used");
      if (prefix.ok()) {
        h = DecodeTableHeaderWithTemplate(prefix->bytes, *options_.templateHeader);
      } else {
        h = *options_.templateHeader;
        h->fixed.numRecords = 0;
      }
      usedTemplate_ = true;
    }
  }
  if (!h.ok()) return Status::Corruption(name + ": " + h.status().message());
  header_ = std::move(h).value();
  if (!IsDataFileType(header_.fixed.fileType))
    return Status::Corruption(name + ": file type " + std::to_string(header_.fixed.fileType) +
                              " is not a table or secondary-index data file");
  uint32_t computed = header_.ComputedRecordSize();
  for (size_t i = 0; i < header_.fields.size(); ++i) {
    Status st = ValidateFieldDescriptor(header_.fields[i].type, header_.fields[i].sizeByte);
    if (!st.ok())
      return Status::Corruption(name + ": field " + std::to_string(i + 1) + ": " + st.message());
  }
  if (computed == 0) return Status::Corruption(name + ": the table has no fields");
  if (header_.fixed.recordSize != computed) {
    AddAnomaly("record-size", At(0, -1, 0),
               "record size is " + std::to_string(header_.fixed.recordSize) + " but should be " +
                   std::to_string(computed));
    header_.fixed.recordSize = static_cast<uint16_t>(computed);
  }
  uint32_t bs = header_.BlockSize();
  if (bs == 0 || bs < computed + 6)
    return Status::Corruption(name + ": block size " + std::to_string(bs) +
                              " cannot hold a record of " + std::to_string(computed) + " bytes");
  if (header_.fixed.headerSize < FixedHeader::kEncodedLength)
    return Status::Corruption(name + ": header size " + std::to_string(header_.fixed.headerSize) +
                              " is too small");
  WalkLists();
  return Status::OK();
}

namespace {

// The reader's anomaly code for each event of the walk it reports.
constexpr struct {
  ListEvent event;
  const char* code;
} kListAnomalies[] = {
    {ListEvent::kFileLong, anomaly::kFileLong},
    {ListEvent::kFileShort, anomaly::kFileShort},
    {ListEvent::kFileShortLastBlock, anomaly::kFileShortLastBlock},
    {ListEvent::kEmptyTableLinks, anomaly::kChainEnd},
    {ListEvent::kFirstBlockBad, anomaly::kChainOutOfRange},
    {ListEvent::kLinkOutOfRange, anomaly::kChainOutOfRange},
    {ListEvent::kLinkBeyondEof, anomaly::kChainOutOfRange},
    {ListEvent::kBeyondFileBlocks, anomaly::kChainOutOfRange},
    {ListEvent::kCycle, anomaly::kChainCycle},
    {ListEvent::kPrevLink, anomaly::kChainBadPrev},
    {ListEvent::kLastBlock, anomaly::kChainEnd},
    {ListEvent::kChainLength, anomaly::kChainLength},
    {ListEvent::kFreeOutOfRange, anomaly::kFreeOutOfRange},
    {ListEvent::kFreeCrossLink, anomaly::kFreeInChain},
    {ListEvent::kFreeCycle, anomaly::kFreeCycle},
    {ListEvent::kBlockCount, anomaly::kBlockCount},
    {ListEvent::kBadRecordCount, anomaly::kBadAddDataSize},
    {ListEvent::kEmptyChainBlock, anomaly::kEmptyChainBlock},
    {ListEvent::kRecordCount, anomaly::kRecordCount},
    // Not reported one by one: orphans get one line for all of them; a first block other
    // than 1 is normal after deletes and reuse of freed blocks.
};

const char* ListAnomalyCode(ListEvent event) {
  for (const auto& a : kListAnomalies)
    if (a.event == event) return a.code;
  return nullptr;
}

// The anomaly's words for an event of the walk.
std::string ListAnomalyDetail(const ListFinding& e, const BlockLists& lists, uint32_t recordSize) {
  auto N = [](int64_t v) { return std::to_string(v); };
  auto isBut = [&](const char* what) {
    return std::string(what) + " is " + N(e.value) + " but should be " + N(e.expected);
  };
  switch (e.event) {
    case ListEvent::kFileLong:
    case ListEvent::kFileShort:
    case ListEvent::kFileShortLastBlock:
      return isBut("file size");
    case ListEvent::kPrevLink:
      return isBut("previous-block link");
    case ListEvent::kLastBlock:
      return isBut("last block");
    case ListEvent::kChainLength:
      return isBut("blocks in use");
    case ListEvent::kRecordCount:
      return isBut("record count");
    case ListEvent::kEmptyTableLinks:
      return "the table has no blocks but its chain words are not 0";
    case ListEvent::kFirstBlockBad:
      return "first block is " + N(e.value) + " but the file has " + N(e.expected) + " blocks";
    case ListEvent::kLinkOutOfRange:
    case ListEvent::kLinkBeyondEof:
      return "link to block " + N(e.value) + " beyond the " + N(lists.presentBlocks) +
             " blocks in the file";
    case ListEvent::kBeyondFileBlocks:
      return "block " + N(e.value) + " is beyond fileBlocks " + N(e.expected);
    case ListEvent::kCycle:
      return "link to block " + N(e.value) + " which is already in the chain";
    case ListEvent::kFreeOutOfRange:
      return "free-list link to block " + N(e.value) + " beyond the file";
    case ListEvent::kFreeCrossLink:
      return "block " + N(e.block) + " is both in the data chain and in the free list";
    case ListEvent::kFreeCycle:
      return "free-list link to block " + N(e.block) + " which is already in the list";
    case ListEvent::kBlockCount:
      return "file blocks is " + N(e.value) + " but chain and free list hold " + N(e.expected);
    case ListEvent::kBadRecordCount:
      return "addDataSize " + N(e.value) + " is invalid for record size " + N(recordSize);
    case ListEvent::kEmptyChainBlock:
      return "empty block in the data chain";
    default:
      return "";
  }
}

}  // namespace

// The shared walk's events in the reader's own codes and words.
void TableReader::WalkLists() {
  const uint64_t hs = header_.fixed.headerSize;
  Status st = WalkBlockLists(file_.get(), header_, fileSize_, &lists_);
  if (!st.ok()) {
    AddAnomaly(anomaly::kReadError, At(0, -1, hs), st.message());
    chain_.chainBroken = true;
    return;
  }
  for (const ListFinding& e : lists_.findings)
    if (const char* code = ListAnomalyCode(e.event))
      AddAnomaly(code, At(e.block, -1, e.offset),
                 ListAnomalyDetail(e, lists_, header_.fixed.recordSize));
  chain_.chain = lists_.chain;
  chain_.freeList = lists_.freeList;
  chain_.orphans = lists_.orphans;
  chain_.physicalBlocks = lists_.physicalBlocks;
  chain_.chainBroken = lists_.chainBroken;
  chain_.freeBroken = lists_.freeBroken;
  chain_.chainRecords = lists_.chainRecords;
  if (!chain_.orphans.empty())
    AddAnomaly(anomaly::kOrphanBlock,
               At(chain_.orphans[0], -1, BlockOffset(hs, header_.BlockSize(), chain_.orphans[0])),
               std::to_string(chain_.orphans.size()) +
                   " block(s) in neither the data chain nor the free list");
  PlanReading();
}

// The blocks records are read from (strict: the chain; salvage: the plan's blocks) and
// how many slots of each are records.
void TableReader::PlanReading() {
  bound_.assign(lists_.owner.size(), -1);
  if (options_.mode == ReadMode::kSalvage) {
    plan_ = PlanSalvage(lists_, header_, options_.indexCounts);
    order_.clear();
    planAt_.assign(lists_.owner.size(), -1);
    for (size_t i = 0; i < plan_.blocks.size(); ++i) {
      const SalvageBlock& b = plan_.blocks[i];
      order_.push_back(b.block);
      bound_[b.block] = b.records;
      planAt_[b.block] = int32_t(i);
    }
  } else {
    order_ = chain_.chain;
    for (uint16_t k : order_) bound_[k] = lists_.RecordsIn(k);
  }
}

Status TableReader::ReadBlock(uint32_t number, Bytes* out, BlockInfo* info) {
  const uint32_t bs = header_.BlockSize();
  if (number == 0 || number > chain_.physicalBlocks)
    return Status::Corruption(PathBaseName(path_) + ": block " + std::to_string(number) +
                              " is not in the file");
  uint64_t off = BlockOffset(header_.fixed.headerSize, bs, number);
  out->clear();
  PARADOX_RETURN_IF_ERROR(TryResize(out, bs, "a table block"));
  size_t got = 0;
  PARADOX_RETURN_IF_ERROR(file_->ReadAt(off, *out, &got));
  if (header_.IsEncrypted()) DecryptBlock(header_.EncryptionKey(), number, *out);
  info->number = number;
  info->offset = off;
  info->complete = got == bs;
  info->header.DecodeFrom(out->data());
  info->records = 0;
  info->known = static_cast<uint32_t>(std::min<size_t>(got, bs));
  // A chunk's decrypted bytes come from all over its encrypted bytes: one missing
  // byte leaves the whole chunk unknown.
  if (header_.IsEncrypted()) info->known = info->known / 256 * 256;
  if (!info->complete) {
    // Unknown bytes are zeroed (decryption made them garbage).
    std::fill(out->begin() + static_cast<long>(info->known), out->end(), 0);
  }
  return Status::OK();
}

std::string_view TableReader::RecordAnomaly(ByteSpan rec, std::string* why) const {
  for (const FieldDesc& f : header_.fields) {
    const uint8_t* p = rec.data() + f.offset;
    const FieldCheck c = CheckField(f, p);
    if (IsInvalid(c.issue())) {
      *why = FieldIssueMessage(f, p, c);
      return IssueInfo(c.issue()).anomaly;
    }
  }
  return {};
}

Result<std::vector<Value>> TableReader::DecodeRecord(ByteSpan raw) const {
  if (raw.size() != header_.fixed.recordSize)
    return Status::InvalidArgument("record has the wrong size");
  std::vector<Value> out;
  out.reserve(header_.fields.size());
  for (const FieldDesc& f : header_.fields) {
    auto v = DecodeField(f, raw.subspan(f.offset, f.Size()));
    if (!v.ok()) return v.status();
    out.push_back(std::move(v).value());
  }
  return out;
}

// ---------------------------------------------------------------------------

bool RecordCursor::LoadNextBlock() {
  TableReader* r = reader_;
  const uint32_t rs = r->header_.fixed.recordSize;
  const uint32_t bs = r->header_.BlockSize();
  const bool salvage = r->options_.mode == ReadMode::kSalvage;
  while (listPos_ < r->order_.size()) {
    uint32_t number = r->order_[listPos_];
    ++listPos_;
    status_ = r->ReadBlock(number, &buf_, &block_);
    if (!status_.ok()) {
      if (!salvage) return false;
      r->AddDropped(
          DroppedSpan{r->At(number, -1, BlockOffset(r->header_.fixed.headerSize, bs, number)),
                      bs,
                      "block unreadable: " + status_.message(),
                      {},
                      anomaly::kReadError});
      status_ = Status::OK();
      continue;
    }
    keep_.clear();
    recPos_ = 0;
    const uint32_t cap = BlockCapacity(bs, rs);
    // Slots that are records: the walk's count (salvage: or the bound the plan found).
    const int32_t bound = r->bound_[number];
    // Records wholly inside the known bytes of the block.
    uint64_t present = cap;
    if (!block_.complete) present = block_.known > 6 ? (block_.known - 6) / rs : 0;
    if (!salvage) {
      if (bound < 0) continue;  // reported by the walk
      uint32_t n = static_cast<uint32_t>(bound);
      if (n > present) {
        r->AddAnomaly(
            anomaly::kFileShort, r->At(number, static_cast<int64_t>(present), r->fileSize_),
            "file ends inside block " + std::to_string(number) + " before its last record");
        n = static_cast<uint32_t>(present);
      }
      for (uint32_t i = 0; i < n; ++i) keep_.push_back(i);
    } else {
      // Slots past the count are stale (deleted records) when the count is known; when it
      // is not, or was only bounded, the slots it does not cover are set aside, never kept.
      const SalvageBlock* plan = r->PlanFor(number);
      const bool bounded = plan && !plan->bound.empty();
      uint32_t n = bound < 0 ? 0 : std::min<uint32_t>(uint32_t(bound), cap);
      for (uint32_t i = static_cast<uint32_t>(std::min<uint64_t>(present, n)); i < n; ++i)
        r->AddDropped(DroppedSpan{r->At(number, i, block_.offset + 6 + uint64_t(i) * rs),
                                  rs,
                                  "record lies beyond the end of the file",
                                  {},
                                  anomaly::kFileShort});
      const uint32_t inFile = static_cast<uint32_t>(std::min<uint64_t>(present, cap));
      n = std::min(n, inFile);
      for (uint32_t i = 0; i < n; ++i) {
        ByteSpan rec(buf_.data() + 6 + size_t(i) * rs, rs);
        std::string why;
        const std::string_view code = r->RecordAnomaly(rec, &why);
        if (code.empty()) {
          keep_.push_back(i);
        } else {
          r->AddDropped(DroppedSpan{r->At(number, i, block_.offset + 6 + uint64_t(i) * rs), rs, why,
                                    Bytes(rec.begin(), rec.end()), std::string(code)});
        }
      }
      if (bounded) {
        for (uint32_t i = n; i < inFile; ++i) {
          ByteSpan rec(buf_.data() + 6 + size_t(i) * rs, rs);
          if (IsAllZero(rec)) continue;
          r->AddDropped(DroppedSpan{r->At(number, i, block_.offset + 6 + uint64_t(i) * rs), rs,
                                    "block " + std::to_string(number) + ": " + plan->bound +
                                        "; slot " + std::to_string(i) + " is beyond it",
                                    Bytes(rec.begin(), rec.end()), anomaly::kBadValue});
        }
      }
    }
    block_.records = static_cast<int>(keep_.size());
    if (!keep_.empty()) return true;
  }
  return false;
}

bool RecordCursor::Next() {
  if (done_) return false;
  while (recPos_ >= keep_.size()) {
    if (!LoadNextBlock()) {
      done_ = true;
      return false;
    }
  }
  const uint32_t rs = reader_->header_.fixed.recordSize;
  uint32_t i = keep_[recPos_++];
  rec_.block = block_.number;
  rec_.indexInBlock = i;
  rec_.ordinal = ordinal_++;
  rec_.fileOffset = block_.offset + 6 + uint64_t(i) * rs;
  rec_.bytes = ByteSpan(buf_.data() + 6 + size_t(i) * rs, rs);
  return true;
}

Result<std::vector<Value>> RecordCursor::Decode() const {
  return reader_->DecodeRecord(rec_.bytes);
}

}  // namespace paradox
