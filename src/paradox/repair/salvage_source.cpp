#include "paradox/repair/salvage_source.h"

#include <algorithm>

namespace paradox {

// An in-leader (or empty) blob value whose pointer bytes must be zero for the writer.
void ClearUnusedPointer(const FieldDesc& f, Bytes& raw) {
  const uint32_t leader = f.LeaderSize();
  BlobPointer p;
  p.DecodeFrom(raw.data() + f.offset + leader);
  if (p.length == 0 && !IsAllZero(ByteSpan(raw).subspan(f.offset + leader, 10)))
    std::fill(raw.begin() + f.offset + leader, raw.begin() + f.offset + f.Size(), 0);
}

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

}  // namespace paradox
