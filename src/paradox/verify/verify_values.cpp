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
      case FieldType::kAlpha:
        if (values) CheckAlpha(p, v, at);
        break;
      case FieldType::kDate:
        if (values) CheckDate(p, v, at);
        break;
      case FieldType::kTime:
        if (values) CheckTime(p, v, at);
        break;
      case FieldType::kLogical:
        if (values) CheckLogical(p, v, at);
        break;
      case FieldType::kNumber:
      case FieldType::kMoney:
      case FieldType::kTimestamp:
        if (values) CheckFloat(p, v, at);
        break;
      case FieldType::kBcd:
        if (values) CheckBcd(p, v, at);
        break;
      case FieldType::kAutoInc:
        if (int(p.index) == autoIncField_) NoteAutoInc(v);
        break;
      case FieldType::kMemo:
      case FieldType::kBlob:
      case FieldType::kFmtMemo:
      case FieldType::kOle:
      case FieldType::kGraphic:
        if (IsTable() && ctx_.options->checkBlobs) CheckBlobField(p, v, at);
        break;
      default:
        break;
    }
  }
  if (walk_.keySize) CheckKeyInBlock(rec, at);
  if (hintCheck_) CheckXHint(rec, at.block, at.record, at.offset);
  if (!foldedFields_.empty()) CheckFolded(rec, at);
}

void DataChecker::CheckAlpha(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const void* nul = std::memchr(v, 0, p.size);
  if (!nul) return;
  const uint8_t* end = v + p.size;
  const uint8_t* q = static_cast<const uint8_t*>(nul) + 1;
  if (!ZeroBytes(q, size_t(end - q)))
    while (*q == 0) ++q;  // the first byte to report
  else
    q = end;
  if (q != end && Want("value.alpha-tail"))
    Add("value.alpha-tail", Loc(at.block, at.record, at.offset + p.offset + (q - v)),
        "byte " + N(q - v) + " after the terminating NUL is " + Hex(*q) + " but should be 0",
        FieldName(p));
}

void DataChecker::CheckDate(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint32_t raw = BigEndian32(v);
  if (raw == 0) return;
  int64_t days = int64_t(int32_t(raw ^ 0x80000000u));
  if (days < 1) {
    // Seen in engine-written tables (dates before year 1): odd, not damage.
    if (Want("value.date-early"))
      Add("value.date-early", Loc(at.block, at.record, at.offset + p.offset),
          "date day number is " + std::to_string(days) + ", before 0001-01-01", FieldName(p));
  } else if (days > kMaxDate && Want("value.date")) {
    Add("value.date", Loc(at.block, at.record, at.offset + p.offset),
        "date day number is " + std::to_string(days) + " but should be 1.." + N(kMaxDate),
        FieldName(p));
  }
}

void DataChecker::CheckTime(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint32_t raw = BigEndian32(v);
  if (raw == 0) return;
  int64_t ms = int64_t(int32_t(raw ^ 0x80000000u));
  if ((ms < 0 || ms >= kMsPerDay) && Want("value.time"))
    Add("value.time", Loc(at.block, at.record, at.offset + p.offset),
        "time is " + std::to_string(ms) + " ms but should be 0..86399999", FieldName(p));
}

void DataChecker::CheckLogical(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  if (v[0] != 0 && v[0] != 0x80 && v[0] != 0x81 && Want("value.logical"))
    Add("value.logical", Loc(at.block, at.record, at.offset + p.offset),
        "logical byte is " + Hex(v[0]) + " but should be 0x00, 0x80 or 0x81", FieldName(p));
}

// Number, money and timestamp: a double in the sortable encoding.
void DataChecker::CheckFloat(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint64_t x = BigEndian64(v);
  if (x == 0) return;  // blank
  // Undo the sortable transform on the bits only: NaN needs no conversion.
  const uint64_t bits = (x >> 63) ? x ^ (uint64_t(1) << 63) : ~x;
  const bool nan =
      (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (bits & 0x000FFFFFFFFFFFFFull);
  // The place is built only for a finding: it holds the file's name.
  auto here = [&] { return Loc(at.block, at.record, at.offset + p.offset); };
  if (nan) {
    if (Want("value.nan")) Add("value.nan", here(), "value is NaN", FieldName(p));
    return;
  }
  if (p.type != FieldType::kTimestamp) return;
  const double d = std::bit_cast<double>(bits);
  if (d < double(kMsPerDay) && !std::isinf(d)) {
    if (Want("value.date-early"))
      Add("value.date-early", here(), "timestamp is " + DayText(d) + ", before 0001-01-01",
          FieldName(p));
  } else if ((std::isinf(d) || d >= (double(kMaxDate) + 1) * kMsPerDay) &&
             Want("value.timestamp")) {
    Add("value.timestamp", here(), "timestamp is " + DayText(d) + ", after 9999-12-31",
        FieldName(p));
  }
}

void DataChecker::CheckBcd(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
  const uint8_t b0 = v[0];
  // A first byte equal to the decimals with all digits zero is how some engines
  // store a blank value; treat it as blank.
  if (b0 == p.sizeByte && IsAllZero(ByteSpan(v + 1, 16))) return;
  const uint64_t off = at.offset + p.offset;
  if (b0 == 0) {
    if (!IsAllZero(ByteSpan(v, 17)) && Want("value.bcd"))
      Add("value.bcd", Loc(at.block, at.record, off),
          "BCD first byte is 0 (blank) but the digits are not zero", FieldName(p));
    return;
  }
  if ((b0 & 0x40) == 0 || (b0 & 0x3F) != p.sizeByte) {
    if (Want("value.bcd"))
      Add("value.bcd", Loc(at.block, at.record, off),
          "BCD first byte is " + Hex(b0) + " but should be " + Hex(0xC0 | p.sizeByte) + " or " +
              Hex(0x40 | p.sizeByte),
          FieldName(p));
    return;
  }
  const bool neg = (b0 & 0x80) == 0;
  if (BcdDigitsValid(v + 1, neg)) return;
  for (int i = 1; i < 17; ++i) {
    uint8_t byte = neg ? uint8_t(~v[i]) : v[i];
    if ((byte >> 4) > 9 || (byte & 0xF) > 9) {
      if (Want("value.bcd-digit"))
        Add("value.bcd-digit", Loc(at.block, at.record, off + i),
            "BCD digit byte " + Hex(v[i]) + " holds a nibble above 9", FieldName(p));
      return;
    }
  }
}

void DataChecker::NoteAutoInc(const uint8_t* v) {
  if (IsAllZero(ByteSpan(v, 4))) return;
  int64_t x = DecodeInt32(v);
  if (!anyAutoInc_ || x > maxAutoInc_) maxAutoInc_ = x;
  anyAutoInc_ = true;
}

void DataChecker::CheckBlobField(const FieldPlan& p, const uint8_t* v, const RecordAt& at) {
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
