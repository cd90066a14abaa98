// The record checks of a DB-format file: each field's stored value, the key order
// within a block, blob pointers and the hints of secondary-index records.
#include "paradox/verify/data_checker.h"

namespace paradox::verify {

void DataChecker::CheckXHint(const uint8_t* rec, uint32_t block, uint32_t r, uint64_t recOffset) {
  const uint8_t* hp = rec + hintOffset_;
  // A block number: an unsigned 16-bit word in the sortable encoding (blocks above 32767);
  // 00 00 is block 32768, not a blank.
  int32_t hint = DecodeIndexWord(hp);
  const auto& baseRecs = base_->recordsIn;
  if (hint <= 0 || size_t(hint) >= baseRecs.size()) {
    if (Want("index.x-hint-range"))
      Add("index.x-hint-range", Loc(block, r, recOffset + hintOffset_),
          "block hint is " + std::to_string(hint) + " but " + base_->name + " has blocks 1.." +
              std::to_string(baseRecs.size() - 1));
    return;
  }
  if (baseRecs[size_t(hint)] <= 0) {
    if (Want("index.x-hint"))
      Add("index.x-hint", Loc(block, r, recOffset + hintOffset_),
          "block hint is " + std::to_string(hint) + " but that block of " + base_->name +
              " holds no records now");
    return;
  }
  if (pkRangeCheck_) {
    const uint8_t* pk = rec + pkOffset_;
    if (base_->order.Compare(pk, base_->FirstKey(uint32_t(hint))) < 0 ||
        base_->order.Compare(pk, base_->LastKey(uint32_t(hint))) > 0) {
      if (Want("index.x-hint"))
        Add("index.x-hint", Loc(block, r, recOffset + hintOffset_),
            "block hint is " + std::to_string(hint) +
                " but the record's key is not in that block of " + base_->name);
    }
  }
}

void DataChecker::CheckRecord(const uint8_t* rec, const RecordAt& at) {
  const bool values = ctx_.options->checkValues;
  for (const FieldPlan& p : plan_) {
    const uint8_t* v = rec + p.offset;
    switch (p.type) {
      case FieldType::kAutoInc:
        if (int(p.index) == autoIncField_) NoteAutoInc(v);
        break;
      case FieldType::kMemo:
      case FieldType::kBlob:
      case FieldType::kFmtMemo:
      case FieldType::kOle:
      case FieldType::kGraphic:
        if (IsTable() && (values || ctx_.options->checkBlobs)) CheckBlobField(p, v, at);
        break;
      default:
        if (values) {
          const FieldCheck c = CheckField(p.type, p.sizeByte, v);
          if (c.issue() != FieldIssue::kNone) ReportValue(p, v, at, c);
        }
        break;
    }
  }
  if (walk_.keySize) CheckKeyInBlock(rec, at);
  if (hintCheck_) CheckXHint(rec, at.block, at.record, at.offset);
  if (!foldedFields_.empty()) CheckFolded(rec, at);
}

// The finding of field_rules.h's issue, its text built only while the budget lasts.
void DataChecker::ReportValue(const FieldPlan& p, const uint8_t* v, const RecordAt& at,
                              FieldCheck c) {
  const std::string_view check = IssueInfo(c.issue()).check;
  if (Want(check))
    Add(check, Loc(at.block, at.record, at.offset + p.offset + c.at()),
        DescribeIssue(p.type, p.sizeByte, v, c), FieldName(p));
}

void DataChecker::NoteAutoInc(const uint8_t* v) {
  if (IsAllZero(ByteSpan(v, 4))) return;
  int64_t x = DecodeInt32(v);
  if (!anyAutoInc_ || x > maxAutoInc_) maxAutoInc_ = x;
  anyAutoInc_ = true;
  if (!blockMaxAutoInc_.empty())
    blockMaxAutoInc_[block_] = std::max(blockMaxAutoInc_[block_], int32_t(x));
}

void DataChecker::CheckBlobField(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  // The stored value first: a pointer no .MB can resolve, whatever the .MB holds (a
  // value check, and a blob check too).
  if (const FieldCheck c = CheckField(p.type, p.sizeByte, v); IsInvalid(c.issue())) {
    ReportValue(p, v, at, c);
    return;
  }
  if (!ctx_.options->checkBlobs) return;
  const FieldDesc& fd = h_.fields[p.index];
  const uint8_t* ptr = v + fd.LeaderSize();
  BlobPointer bp;
  bp.DecodeFrom(ptr);
  if (bp.length <= fd.LeaderSize()) return;
  if (!ctx_.blobs.present)
    ++missingMbRefs_;
  else
    CheckBlobPointer(ctx_, fd, ptr,
                     Loc(at.block, at.record, at.offset + p.offset + fd.LeaderSize()));
}

// Key order inside the block, and (tables) no blank key field.
void DataChecker::CheckKeyInBlock(const uint8_t* rec, const RecordAt& at) {
  const uint32_t r = at.record;
  if (prevKey_) {
    // Byte-identical keys are equal in every collation, comparable or not.
    int c = walk_.order.Compare(prevKey_, rec);
    if (c > 0)
      Add("key.order", Loc(at.block, r, at.offset),
          "key of record " + N(r) + " is lower than that of the record before it");
    else if (c == 0 && std::memcmp(prevKey_, rec, walk_.keySize) == 0)
      Add("key.duplicate", Loc(at.block, r, at.offset),
          "key of record " + N(r) + " repeats the record before it");
  }
  prevKey_ = rec;
  if (!IsTable()) return;
  uint32_t start = 0;
  for (size_t i = 0; i < keyFieldEnds_.size(); ++i) {
    if (IsAllZero(ByteSpan(rec + start, keyFieldEnds_[i] - start)))
      Add("key.blank", Loc(at.block, r, at.offset + start), "key field is blank",
          h_.fields[i].name);
    start = keyFieldEnds_[i];
  }
}

// Case-insensitive secondary indexes hold their alpha keys in the sort order's upper case.
void DataChecker::CheckFolded(const uint8_t* rec, const RecordAt& at) {
  for (uint32_t i : foldedFields_) {
    const FieldDesc& fd = h_.fields[i];
    if (!walk_.order.collation()->IsFolded(ByteSpan(rec + fd.offset, fd.Size())) &&
        ++unfolded_ <= 10)
      Add("index.x-case", Loc(at.block, at.record, at.offset + fd.offset),
          "key of record " + N(at.record) + " is not in the upper case of sort order \"" +
              walk_.order.collation()->name() + "\"",
          fd.name);
  }
}

}  // namespace paradox::verify
