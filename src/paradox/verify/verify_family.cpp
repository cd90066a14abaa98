// Checks of the other family members: the .MB blob file (its block structure, and each
// record's blob pointer against it) and the .VAL file's staleness.
#include <algorithm>

#include "paradox/format/alloc.h"
#include "paradox/format/blob.h"
#include "paradox/format/crypt.h"
#include "paradox/format/val.h"
#include "paradox/format/value.h"
#include "paradox/verify/verify_internal.h"

namespace paradox::verify {

namespace {

std::string N(uint64_t v) {
  return std::to_string(v);
}

constexpr uint8_t kNoBlock = 0xFF;
constexpr uint64_t kMbWindowUnits = 32;  // 128 KiB

Location MbLoc(const BlobModel& m, uint64_t offset) {
  return Location::At(m.name, uint32_t(offset / kMbUnit), -1, offset);
}

// Reads `len` bytes at a 256-aligned offset (decrypting when needed). `error` gets the
// system's refusal, if that was the cause.
bool ReadMb(BlobModel& m, uint64_t offset, size_t len, Bytes* out, Status* error = nullptr) {
  out->resize(len);  // no zeroing: a short read fails anyway
  size_t got = 0;
  Status st = m.file->ReadAt(offset, *out, &got);
  if (!st.ok() && error) *error = st;
  if (!st.ok() || got < len) return false;
  if (m.key) DecryptMb(m.key, *out);
  return true;
}

// `len` bytes at `offset` (256-aligned) for the record pass: from the cached unit when
// they lie in one unit of the file, else read as ReadMb does. nullptr when unreadable.
const uint8_t* ReadMbCached(BlobModel& m, uint64_t offset, size_t len, Bytes* scratch) {
  const uint64_t unit = offset / kMbUnit * kMbUnit;
  if (offset + len > unit + kMbUnit || unit + kMbUnit > m.size)
    return ReadMb(m, offset, len, scratch) ? scratch->data() : nullptr;
  if (m.cachedUnitOffset != unit) {
    m.cachedUnitOffset = UINT64_MAX;
    if (!ReadMb(m, unit, kMbUnit, &m.cachedUnit)) return nullptr;
    m.cachedUnitOffset = unit;
  }
  return m.cachedUnit.data() + (offset - unit);
}

// The record's leader must repeat the first bytes of the stored blob (graphic and OLE
// blobs: of the data after their 8-byte sub-header). `dataOff` = file offset of the blob.
void CompareLeader(Context& ctx, const FieldDesc& field, const uint8_t* ptr, uint64_t dataOff,
                   uint32_t length, const Location& at) {
  BlobModel& m = ctx.blobs;
  const uint32_t leader = field.LeaderSize();
  const uint32_t skip =
      (field.type == FieldType::kGraphic || field.type == FieldType::kOle) ? 8 : 0;
  if (leader == 0 || length <= skip) return;
  const uint32_t n = std::min(leader, length - skip);
  const uint64_t from = dataOff + skip;
  const uint64_t aligned = from & ~uint64_t(255);
  const size_t span = size_t(((from + n - aligned) + 255) & ~uint64_t(255));
  if (aligned + span > m.size) return;
  Bytes scratch;
  const uint8_t* buf = ReadMbCached(m, aligned, span, &scratch);
  if (!buf) return;
  const uint8_t* stored = buf + (from - aligned);
  const uint8_t* lead = ptr - leader;
  for (uint32_t i = 0; i < n; ++i)
    if (stored[i] != lead[i]) {
      if (ctx.sink->Wanted("blob.leader"))
        ctx.sink->Add("blob.leader", at,
                      "leader byte " + N(i) + " is " + Hex(lead[i]) + " but the stored blob has " +
                          Hex(stored[i]),
                      field.name);
      return;
    }
}

}  // namespace

namespace {

// Opens the blob file into ctx.blobs; false when it cannot be read at all.
bool OpenBlobFile(Context& ctx, const std::string& path, const TableHeader& table) {
  BlobModel& m = ctx.blobs;
  m.present = true;
  m.name = BaseName(path);
  Result<std::unique_ptr<File>> f = ctx.fs->Open(path, OpenMode::kRead);
  Result<uint64_t> sz = f.ok() ? f.value()->Size() : Result<uint64_t>(f.status());
  if (!f.ok() || !sz.ok()) {
    // Refused by the system (permission, I/O): the check is incomplete, nothing is damaged.
    ctx.sink->Add(sz.status().IsNotFound() ? "mb.unreadable" : "file.unreadable",
                  Location::At(m.name), "cannot read " + m.name + ": " + sz.status().ToString());
    return false;
  }
  m.file = std::move(f.value());
  m.size = *sz;
  m.key = table.EncryptionKey();
  if (m.size % kMbUnit != 0)
    ctx.sink->Add("mb.size", MbLoc(m, m.size),
                  "blob file is " + N(m.size) + " bytes, not a multiple of 4096");
  return true;
}

// The header block; false when the blocks after it cannot be judged.
bool CheckMbHeader(Context& ctx) {
  BlobModel& m = ctx.blobs;
  Bytes buf;
  if (m.size < kMbUnit || !ReadMb(m, 0, kMbUnit, &buf)) {
    ctx.sink->Add("mb.header", MbLoc(m, 0), "blob file is too short for its header block");
    return false;
  }
  MbHeader header;
  if (!header.DecodeFrom(buf).ok() || header.type != 0 || header.units != 1) {
    ctx.sink->Add("mb.header", MbLoc(m, 0),
                  "header block type/length is " + Hex(header.type) + "/" + N(header.units) +
                      " but should be 0/1" + (m.key ? " (wrong key or damage)" : ""));
    return false;
  }
  if (!header.ConstantsAsWritten())
    ctx.sink->Add("mb.header-constant", MbLoc(m, 5),
                  "header constants at 0x05..0x0A differ from 82 73 02 00 29 00");
  m.headerCounter = header.modCounter;
  m.unitType.clear();
  if (Status st = TryResize(&m.unitType, size_t(m.size / kMbUnit), "the block map of " + m.name);
      !st.ok()) {
    ctx.sink->Add("file.unreadable", Location::At(m.name),
                  "cannot check " + m.name + ": " + st.ToString());
    return false;
  }
  std::fill(m.unitType.begin(), m.unitType.end(), kNoBlock);
  m.unitType[0] = 0;
  return true;
}

// The slots of a suballocated block at `off` must lie in its data area.
void CheckMbSlots(Context& ctx, const uint8_t* blk, uint64_t off) {
  for (uint32_t s = 0; s < MbSlot::kCount; ++s) {
    MbSlot slot;
    slot.DecodeFrom(&blk[MbSlot::kTableOffset + s * MbSlot::kEncodedLength]);
    if (!slot.InUse()) continue;
    if (slot.startChunk < MbSlot::kFirstDataChunk ||
        uint32_t(slot.startChunk) + slot.chunks > 256 || slot.lastLength > 16) {
      ctx.sink->Add("mb.slot",
                    MbLoc(ctx.blobs, off + MbSlot::kTableOffset + s * MbSlot::kEncodedLength),
                    "slot " + N(s) + " covers chunks " + N(slot.startChunk) + "+" + N(slot.chunks) +
                        " (last length " + N(slot.lastLength) + "), outside the data area");
    }
  }
}

// The block starting at unit u (its bytes at blk): notes its type for the pointer checks
// and reports what is wrong with it. Returns the units it covers (1 when it is damaged).
uint64_t CheckMbBlock(Context& ctx, const uint8_t* blk, uint64_t u) {
  BlobModel& m = ctx.blobs;
  const uint64_t units = m.unitType.size();
  const uint64_t off = u * kMbUnit;
  MbBlockHeader b;
  b.DecodeFrom(blk);
  if (b.type == 2 || b.type == 4) {
    if (b.units == 0 || u + b.units > units) {
      ctx.sink->Add("mb.block", MbLoc(m, off),
                    "block of type " + N(b.type) + " is " + N(b.units) + " units long but " +
                        N(units - u) + " remain in the file");
      return 1;
    }
    m.unitType[u] = b.type;
    return b.units;
  }
  if (b.type == 3) {
    if (b.units != 1)
      ctx.sink->Add("mb.block", MbLoc(m, off),
                    "suballocated block length is " + N(b.units) + " but should be 1");
    CheckMbSlots(ctx, blk, off);
    m.unitType[u] = 3;
    return 1;
  }
  ctx.sink->Add("mb.block", MbLoc(m, off),
                "block type is " + N(b.type) + " but should be 2, 3 or 4" +
                    (m.key ? " (wrong key or damage)" : ""));
  return 1;
}

// Every block after the header, by its length. Block headers are read a window of
// units at a time; a window that cannot be read whole falls back to the one unit, so a
// failure is reported where it is.
void WalkMbBlocks(Context& ctx) {
  BlobModel& m = ctx.blobs;
  const uint64_t units = m.unitType.size();
  Bytes window;
  uint64_t windowFirst = 0, windowUnits = 0;
  for (uint64_t u = 1; u < units;) {
    const uint64_t off = u * kMbUnit;
    if (u < windowFirst || u >= windowFirst + windowUnits) {
      windowFirst = u;
      windowUnits = std::min<uint64_t>(kMbWindowUnits, units - u);
      if (!ReadMb(m, off, size_t(windowUnits) * kMbUnit, &window)) {
        windowUnits = 1;
        Status error;
        if (!ReadMb(m, off, kMbUnit, &window, &error)) {
          ctx.sink->Add(error.ok() ? "mb.unreadable" : "file.unreadable", MbLoc(m, off),
                        "cannot read blob block at " + Hex(off) +
                            (error.ok() ? "" : ": " + error.ToString()));
          return;
        }
      }
    }
    ctx.DataAt(off);
    u += CheckMbBlock(ctx, window.data() + size_t(u - windowFirst) * kMbUnit, u);
  }
}

}  // namespace

void CheckBlobFile(Context& ctx, const std::string& path, const TableHeader& table) {
  if (!OpenBlobFile(ctx, path, table) || !CheckMbHeader(ctx)) return;
  WalkMbBlocks(ctx);
  ctx.blobs.usable = true;
}

namespace {

// A pointer into a single-blob block (type 2) at `off`: its slot index, its length and
// modification number against the block's header, then the leader.
void CheckSingleBlob(Context& ctx, const FieldDesc& field, const uint8_t* raw,
                     const BlobPointer& bp, const Location& at) {
  BlobModel& m = ctx.blobs;
  const uint64_t off = bp.offset;
  if (bp.index != 0xFF) {
    if (ctx.sink->Wanted("blob.pointer"))
      ctx.sink->Add("blob.pointer", at,
                    "slot index is " + N(bp.index) + " but should be 0xFF for a single-blob block",
                    field.name);
    return;
  }
  Bytes scratch;
  const uint8_t* buf = ReadMbCached(m, off, 256, &scratch);
  if (!buf) return;
  MbSingleHeader sh;
  sh.DecodeFrom(buf);
  if (sh.length != bp.length || uint64_t(bp.length) + 9 > uint64_t(sh.units) * kMbUnit) {
    if (ctx.sink->Wanted("blob.length"))
      ctx.sink->Add("blob.length", at,
                    "blob length is " + N(bp.length) + " but the block at " + Hex(off) + " holds " +
                        N(sh.length),
                    field.name);
  } else if (sh.modNumber != bp.modNumber) {
    if (ctx.sink->Wanted("blob.mod-number"))
      ctx.sink->Add(
          "blob.mod-number", at,
          "modification number is " + N(bp.modNumber) + " but the block's is " + N(sh.modNumber),
          field.name);
  } else {
    CompareLeader(ctx, field, raw, off + MbSingleHeader::kEncodedLength, bp.length, at);
  }
}

// A pointer into a suballocated block (type 3) at `off`: the slot it names, its length
// and modification number, then the leader.
void CheckSlotBlob(Context& ctx, const FieldDesc& field, const uint8_t* raw, const BlobPointer& bp,
                   const Location& at) {
  BlobModel& m = ctx.blobs;
  const uint64_t off = bp.offset;
  if (bp.index >= MbSlot::kCount) {
    if (ctx.sink->Wanted("blob.pointer"))
      ctx.sink->Add("blob.pointer", at, "slot index is " + N(bp.index) + " but should be 0..63",
                    field.name);
    return;
  }
  Bytes scratch;
  const uint8_t* buf = ReadMbCached(m, off, 512, &scratch);
  if (!buf) return;
  MbSlot slot;
  slot.DecodeFrom(&buf[MbSlot::kTableOffset + bp.index * MbSlot::kEncodedLength]);
  if (!slot.InUse()) {
    if (ctx.sink->Wanted("blob.pointer"))
      ctx.sink->Add("blob.pointer", at,
                    "slot " + N(bp.index) + " of the block at " + Hex(off) + " is unused",
                    field.name);
    return;
  }
  if (slot.Length() != bp.length || uint32_t(slot.startChunk) * 16 + bp.length > kMbUnit) {
    if (ctx.sink->Wanted("blob.length"))
      ctx.sink->Add("blob.length", at,
                    "blob length is " + N(bp.length) + " but slot " + N(bp.index) + " holds " +
                        N(slot.Length()),
                    field.name);
  } else if (slot.modNumber != bp.modNumber) {
    if (ctx.sink->Wanted("blob.mod-number"))
      ctx.sink->Add(
          "blob.mod-number", at,
          "modification number is " + N(bp.modNumber) + " but the slot's is " + N(slot.modNumber),
          field.name);
  } else {
    CompareLeader(ctx, field, raw, off + uint64_t(slot.startChunk) * 16, bp.length, at);
  }
}

}  // namespace

void CheckBlobPointer(Context& ctx, const FieldDesc& field, const uint8_t* raw,
                      const Location& at) {
  BlobModel& m = ctx.blobs;
  if (!m.usable) return;
  BlobPointer bp;
  bp.DecodeFrom(raw);
  // Every blob write takes the next value of the file's counter.
  if (bp.modNumber > m.headerCounter && ctx.sink->Wanted("blob.mod-number"))
    ctx.sink->Add("blob.mod-number", at,
                  "modification number is " + N(bp.modNumber) +
                      " but the blob file's counter is only " + N(m.headerCounter),
                  field.name);
  const uint64_t off = bp.offset;
  // A block starts in a whole 4 KiB unit: the bytes after the last whole unit of a file
  // whose size is not a multiple of 4096 are none.
  if (off < kMbUnit || off % kMbUnit != 0 || off / kMbUnit >= m.unitType.size()) {
    if (ctx.sink->Wanted("blob.pointer"))
      ctx.sink->Add("blob.pointer", at,
                    "blob offset is " + Hex(off) + " but should be a 4096-aligned offset inside " +
                        m.name + " (" + N(m.size) + " bytes)",
                    field.name);
    return;
  }
  const uint8_t type = m.unitType[size_t(off / kMbUnit)];
  if (type == 2) {
    CheckSingleBlob(ctx, field, raw, bp, at);
  } else if (type == 3) {
    CheckSlotBlob(ctx, field, raw, bp, at);
  } else if (ctx.sink->Wanted("blob.pointer")) {
    ctx.sink->Add("blob.pointer", at,
                  "blob offset " + Hex(off) + " is not the start of a blob block" +
                      (type == kNoBlock ? "" : " (block type " + N(type) + ")"),
                  field.name);
  }
}

// ": field 3 is N8 \"Qty\" in the .VAL but $8 \"Qty\" in the table", or "" when the
// lists differ only in length.
static std::string FirstFieldDifference(const ValFile& val, const TableHeader& table) {
  for (size_t i = 0; i < val.fields.size() && i < table.fields.size(); ++i) {
    const FieldDesc& a = val.fields[i];
    const FieldDesc& b = table.fields[i];
    if (a.type == b.type && a.sizeByte == b.sizeByte) continue;
    auto show = [](const FieldDesc& f) {
      return std::string(1, FieldTypeLetter(f.type)) + N(f.sizeByte) + " \"" + f.name + "\"";
    };
    return ": field " + N(i + 1) + " is " + show(a) + " in the .VAL but " + show(b) +
           " in the table";
  }
  return "";
}

void CheckValFile(Context& ctx, const std::string& path, const TableHeader& table) {
  Location l = Location::At(BaseName(path));
  // A rebuild carries the .VAL over: one it cannot read stops it, so that is no note.
  Result<Bytes> data = ctx.fs->ReadFile(path, kMaxValFileSize);
  if (!data.ok()) {
    const bool gone = data.status().IsNotFound() || data.status().IsCorruption();
    ctx.sink->Add(gone ? "val.corrupt" : "file.unreadable", l,
                  "cannot read " + l.file + ": " + data.status().ToString());
    return;
  }
  auto val = DecodeValSections(ByteSpan(*data));
  if (!val.ok()) {
    ctx.sink->Add("val.corrupt", l, "file is too short for a validity-check header");
    return;
  }
  if (val->changeCount != table.fixed.changeCount2) {
    l.offset = 0;
    ctx.sink->Add("val.stale", l,
                  "version byte is " + N(val->changeCount) +
                      " but the table's structure counter (0x2E) is " +
                      N(table.fixed.changeCount2));
  }
  if (!val->layoutKnown) return;  // the older layout is not decoded further
  l.offset.reset();
  if (!val->problem.ok()) {
    ctx.sink->Add("val.corrupt", l, val->problem.message());
  } else if (!val->FieldsMatch(table.fields, false)) {
    ctx.sink->Add("val.fields", l,
                  "its field list (" + N(val->fields.size()) +
                      " fields) differs from the table's (" + N(table.fields.size()) + " fields)" +
                      FirstFieldDifference(*val, table));
  }
}

}  // namespace paradox::verify
