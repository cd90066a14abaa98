// Known limits and faults of the library that the table-history properties
// (table_history.h) meet: each explains some fault words of a failure under conditions on
// the table and the damage, and says what the rest of the outcome must then be (the
// known outcome). The tests accept a failure only when every word is explained and the
// outcome is the known one, and fail on any other; bench/sim_long labels its groups with
// them. Remove an entry once its fix lands: its failures then fail the tests again.
#pragma once

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "table_history.h"

namespace paradox::sim {

// One fault or limit: whether it explains fault word `word` (Outcome::faults) of the
// outcome of `property` ("clean" or a DamageName) on table `t`; and, where it does, what
// else the outcome must show (empty when it shows the known outcome, else what differs).
struct KnownFault {
  const char* name;
  std::function<bool(const SimTable&, const std::string& property, const Outcome&,
                     const std::string& word)>
      explains;
  std::function<std::string(const Outcome&)> unlike;
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
      {"limit, not a fault to fix blindly: in an unkeyed table a record-count word damaged to a "
       "well-formed value "
       "within the block's capacity claims stale slots; nothing in an unkeyed family says which "
       "block it is (no "
       "primary index), and a header count below the chain's is as often a crash before the header "
       "was written, "
       "so the rebuild keeps the chain's records and reports the mismatch",
       [](const SimTable& t, const std::string& p, const Outcome& o, const std::string& w) {
         return !t.keyed && p == "add-data-more" && w == "rebuild-extra" && o.Has("rebuild-extra");
       },
       // Known outcome: verify reports the damage, the rebuild succeeds, loses nothing,
       // and its report says what it found in the data.
       [](const Outcome& o) -> std::string {
         if (o.rebuildCode != Status::Code::kOk) return "the rebuild failed";
         if (o.findings.empty()) return "verify reported no error";
         if (std::find(o.rebuildActions.begin(), o.rebuildActions.end(), "found") ==
             o.rebuildActions.end())
           return "the rebuild's report names nothing it found";
         return "";
       }},
  };
  return faults;
}

// Indexes (into KnownFaults()) of the faults explaining the failure; *all = every fault
// word is explained and the outcome is each explaining fault's known one (never for a
// simulator or pxlib failure: those are the simulator's). *unlike, when given, gets what
// differs from a known outcome.
inline std::set<size_t> ExplainFailure(const SimTable& t, const std::string& property,
                                       const Outcome& o, bool* all, std::string* unlike = nullptr) {
  std::set<size_t> known;
  *all = !o.Has("simulator") && !o.Has("pxlib") && !o.faults.empty();
  for (const std::string& w : o.faults) {
    bool any = false;
    for (size_t k = 0; k < KnownFaults().size(); ++k)
      if (KnownFaults()[k].explains(t, property, o, w)) {
        known.insert(k);
        any = true;
      }
    *all = *all && any;
  }
  for (size_t k : known) {
    const std::string differs = KnownFaults()[k].unlike(o);
    if (differs.empty()) continue;
    *all = false;
    if (unlike) *unlike += (unlike->empty() ? "" : "; ") + differs;
  }
  return known;
}

}  // namespace paradox::sim
