// Faults of the library that the table-history properties (table_history.h) find and
// that are being fixed: each explains some fault words of a failure under conditions on
// the table and the damage. The tests skip a failure all of whose words are explained
// (naming the faults) and fail on any other; bench/sim_long labels its groups with them.
// Remove an entry once its fix lands: its failures then fail the tests again.
#pragma once

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "table_history.h"

namespace paradox::sim {

// One fault: whether it explains fault word `word` (Outcome::faults) of the outcome of
// `property` ("clean" or a DamageName) on table `t`.
struct KnownFault {
  const char* name;
  std::function<bool(const SimTable&, const std::string& property, const Outcome&, const std::string& word)> explains;
};

inline bool IsLevel3(const SimTable& t) {
  return t.header.level() == TableLevel::k3_0 || t.header.level() == TableLevel::k3_5;
}
inline bool OnlyFindings(const Outcome& o, std::initializer_list<const char*> ids) {
  for (const std::string& f : o.findings)
    if (std::find(ids.begin(), ids.end(), f) == ids.end()) return false;
  return !o.findings.empty();
}
inline bool HasAllBlankRecord(const SimTable& t, uint16_t block) {
  if (block == 0 || block >= t.live.size()) return false;
  for (const SimRecord& r : t.live[block])
    if (std::all_of(r.raw.begin(), r.raw.end(), [](uint8_t b) { return b == 0; })) return true;
  return false;
}

inline const std::vector<KnownFault>& KnownFaults() {
  static const std::vector<KnownFault> faults = {
      {"rebuild misreads a sound header: block 1 is not the first block of the chain (its previous-block word is "
       "not 0: mid-chain, or free with a stale link), or the file does not end on a whole KiB, so the header is "
       "'repaired' to another size and every block is read misaligned, or the rebuild fails (Corruption; or, "
       "after a cut, InvalidArgument from a 'repaired' header whose field names are record bytes) "
       "(salvage.cpp RecoverHeader)",
       [](const SimTable&, const std::string& p, const Outcome& o, const std::string& w) {
         const bool failed = o.Has("rebuild-failed") &&
                             (o.rebuildCode == Status::Code::kCorruption ||
                              (p == "truncate" && o.rebuildCode == Status::Code::kInvalidArgument));
         const bool misread = o.Has("rebuild-header") || failed;
         return misread && w != "verify-not-clean" && w != "verify-silent" && w != "rebuild-members";
       }},
      {"level 3.0/3.5 secondary indexes: their X headers hold no field numbers, and the indexed field is taken as "
       "field 1 instead of from 0x15: two indexes make the rebuild fail ('two single-field indexes on the same "
       "field'), one is rebuilt as .X01/.Y01",
       [](const SimTable& t, const std::string&, const Outcome& o, const std::string& w) {
         return IsLevel3(t) && t.secondaryIndexes > 0 &&
                (w == "rebuild-members" ||
                 (w == "rebuild-failed" && o.rebuildCode == Status::Code::kInvalidArgument));
       }},
      {"verify: a stale non-maintained index of an unkeyed table (normal: the engine refreshes it on use) gives "
       "index.x-hint errors, verdict 1",
       [](const SimTable& t, const std::string& p, const Outcome& o, const std::string& w) {
         return p == "clean" && t.staleSecondary && w == "verify-not-clean" && OnlyFindings(o, {"index.x-hint"});
       }},
      {"salvage: a block whose record-count word claims more records than it holds (or is no multiple of the "
       "record size) gives its stale slots back as records - deleted rows, second copies of moved rows - though "
       "the header's record count shows the excess",
       [](const SimTable&, const std::string& p, const Outcome&, const std::string& w) {
         return (p == "add-data-more" || p == "add-data-bogus") && (w == "rebuild-extra" || w == "rebuild-set-aside");
       }},
      {"salvage: with a record-count word no multiple of the record size, the scan of the block stops at the "
       "first all-zero slot - a live record with every field blank - and the block's later records vanish "
       "without a dropped span",
       [](const SimTable& t, const std::string& p, const Outcome& o, const std::string& w) {
         return p == "add-data-bogus" && w == "rebuild-lost" && HasAllBlankRecord(t, o.damagedBlock);
       }},
      {"salvage: a block overwritten with garbage (links beyond the file, record-count word invalid) still gives "
       "records wherever its bytes decode (alpha, bytes, blob leaders whose pointers are broken)",
       [](const SimTable&, const std::string& p, const Outcome&, const std::string& w) {
         return p == "garbage-block" && w == "rebuild-extra";
       }},
      {"salvage: in an encrypted table cut inside a block, a record that touches the missing part of the last, "
       "partial 256-byte chunk is decrypted from zero fill and kept with wrong bytes",
       [](const SimTable& t, const std::string& p, const Outcome&, const std::string& w) {
         return p == "truncate" && t.encrypted && w == "rebuild-extra";
       }},
      {"block 32768: its number in the sortable 16-bit encoding is 00 00 (blank), so the .PX leaf entry of a keyed "
       "table whose chain uses that block reads as block 0 (index.block-map)",
       [](const SimTable& t, const std::string& p, const Outcome& o, const std::string& w) {
         return t.keyed && t.fileBlocks >= 32768 && p == "clean" && w == "verify-not-clean" &&
                OnlyFindings(o, {"index.block-map"});
       }},
      {"rebuild: records of a table with a unique secondary index that repeat an indexed value (here stale or "
       "garbage ones that salvage kept) make the whole rebuild fail ('unique index ... has duplicate values') "
       "instead of going to the key-violation table",
       [](const SimTable& t, const std::string& p, const Outcome& o, const std::string& w) {
         return t.uniqueIndex && p != "clean" && w == "rebuild-failed" &&
                o.rebuildCode == Status::Code::kInvalidArgument;
       }},
  };
  return faults;
}

// Indexes (into KnownFaults()) of the faults explaining the failure; *all = every fault
// word is explained (never for a simulator or pxlib failure: those are the simulator's).
inline std::set<size_t> ExplainFailure(const SimTable& t, const std::string& property, const Outcome& o, bool* all) {
  std::set<size_t> known;
  *all = !o.Has("simulator") && !o.Has("pxlib");
  for (const std::string& w : o.faults) {
    bool any = false;
    for (size_t k = 0; k < KnownFaults().size(); ++k)
      if (KnownFaults()[k].explains(t, property, o, w)) {
        known.insert(k);
        any = true;
      }
    *all = *all && any;
  }
  return known;
}

}  // namespace paradox::sim
