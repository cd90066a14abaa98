// The properties over simulated tables (table_history.h): what verify and rebuild must
// make of a valid table and of one damage to it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

#include "paradox/format/crypt.h"
#include "paradox/format/family.h"
#include "paradox/format/field_rules.h"
#include "paradox/format/value.h"
#include "paradox/repair/rebuild.h"
#include "paradox/repair/salvage.h"
#include "paradox/verify/field_profile.h"
#include "paradox/verify/verifier.h"
#include "stored_values.h"
#include "table_history.h"

namespace paradox::sim {

namespace {

using Rng = std::mt19937_64;

constexpr std::time_t kNow = 1765000000;  // fixed, so repair folder names are predictable

uint64_t Uniform(Rng& r, uint64_t lo, uint64_t hi) {
  return hi <= lo ? lo : std::uniform_int_distribution<uint64_t>(lo, hi)(r);
}
bool Chance(Rng& r, double p) {
  return std::uniform_real_distribution<double>(0.0, 1.0)(r) < p;
}
void PutU16(Bytes& b, size_t off, uint16_t v) {
  EncodeU16(b.data() + off, v);
}
void PutU32(Bytes& b, size_t off, uint32_t v) {
  EncodeU32(b.data() + off, v);
}

}  // namespace

bool Outcome::Has(const std::string& fault) const {
  return std::find(faults.begin(), faults.end(), fault) != faults.end();
}

std::string Outcome::Signature() const {
  std::string s;
  for (const std::string& f : faults) s += (s.empty() ? "" : "+") + f;
  // Finding ids tell verifier faults apart; for rebuild faults they only split groups.
  if (!findings.empty() && Has("verify-not-clean")) {
    s += " [";
    for (size_t i = 0; i < findings.size(); ++i) s += (i ? " " : "") + findings[i];
    s += "]";
  }
  return s;
}

namespace {

std::vector<std::string> ErrorIds(const VerifyReport& r) {
  std::set<std::string> ids;
  for (const Finding& f : r.findings)
    if (f.severity == Severity::kError) ids.insert(f.check);
  return {ids.begin(), ids.end()};
}

std::string FirstFindings(const VerifyReport& r, size_t max) {
  std::string s;
  size_t n = 0;
  for (const Finding& f : r.findings) {
    if (f.severity != Severity::kError) continue;
    if (n++ == max) break;
    s += "\n    " + f.ToString();
  }
  return s;
}

VerifyReport Verify(FileSystem* fs, const std::string& db) {
  VerifyOptions vo;
  vo.fs = fs;
  return VerifyTable(db, vo);
}

// lost: records of `orig` (less the ones at risk) the rebuilt table lacks; extra: records
// it holds beyond what the table held.
void Compare(const std::vector<Bytes>& orig, const std::vector<Bytes>& risk,
             const std::vector<Bytes>& kept, size_t* lost, size_t* extra, std::string* sample) {
  std::map<Bytes, long> o, r, k;
  for (const Bytes& b : orig) ++o[b];
  for (const Bytes& b : risk) ++r[b];
  for (const Bytes& b : kept) ++k[b];
  *lost = *extra = 0;
  for (const auto& [b, n] : o) {
    long need = n - (r.count(b) ? r[b] : 0);
    long have = k.count(b) ? k[b] : 0;
    if (have < need) *lost += size_t(need - have);
  }
  for (const auto& [b, n] : k) {
    long had = o.count(b) ? o[b] : 0;
    if (n > had) {
      *extra += size_t(n - had);
      if (sample->empty()) {
        char hex[4];
        *sample = had ? "a second copy of " : "";
        for (size_t i = 0; i < b.size() && i < 24; ++i) {
          std::snprintf(hex, sizeof hex, "%02X", b[i]);
          *sample += hex;
        }
      }
    }
  }
}

// Extensions of the family's members, upper case and sorted (".DB", ".MB", ".X03" ...).
std::vector<std::string> Members(FileSystem* fs, const std::string& db) {
  std::vector<std::string> out;
  auto fam = FindFamily(fs, db);
  if (!fam.ok()) return out;
  for (const std::string& m : fam->AllMembers()) {
    std::string e = PathExtension(m);
    for (char& c : e) c = char(std::toupper(static_cast<unsigned char>(c)));
    out.push_back(e);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Rebuilds and checks the rebuilt family against `orig` (records the table held) and
// `risk` (those the damage may take).
void RebuildAndCompare(FileSystem* fs, const std::string& db, const std::vector<Bytes>& orig,
                       const std::vector<Bytes>& risk, bool withBlobValues, bool expectNothingAside,
                       Outcome* out, const std::string& structureFrom = "", std::time_t now = kNow,
                       bool headerDamaged = false) {
  RebuildOptions ro;
  ro.fs = fs;
  ro.now = now;
  ro.structureFrom = structureFrom;
  const std::vector<std::string> membersBefore = Members(fs, db);
  RebuildResult r = RebuildTable(db, ro);
  for (const RebuildAction& a : r.actions)
    if (std::find(out->rebuildActions.begin(), out->rebuildActions.end(), a.action) ==
        out->rebuildActions.end())
      out->rebuildActions.push_back(a.action);
  out->rebuildCode = r.status.code();
  if (!r.status.ok()) {
    out->faults.push_back("rebuild-failed");
    out->detail += "\n  rebuild: " + r.status.ToString();
    return;
  }
  auto kept = ReadCanonical(fs, db, withBlobValues);
  if (!kept.ok()) {
    out->faults.push_back("rebuild-failed");
    out->detail += "\n  rebuilt table unreadable: " + kept.status().ToString();
    return;
  }
  // The rebuilt family has the members the table had (the same secondary indexes); a
  // .PX or .MB the damage took may come back.
  std::vector<std::string> membersAfter = Members(fs, db);
  for (const char* m : {".PX", ".MB"})
    if (std::find(membersBefore.begin(), membersBefore.end(), m) == membersBefore.end())
      membersAfter.erase(std::remove(membersAfter.begin(), membersAfter.end(), m),
                         membersAfter.end());
  if (membersAfter != membersBefore) {
    std::string b, a;
    for (const auto& m : membersBefore) b += " " + m;
    for (const auto& m : membersAfter) a += " " + m;
    out->faults.push_back("rebuild-members");
    out->detail += "\n  members before:" + b + ", after:" + a;
  }
  size_t lost = 0, extra = 0;
  std::string sample;
  Compare(orig, risk, *kept, &lost, &extra, &sample);
  if (lost) out->faults.push_back("rebuild-lost");
  if (extra) out->faults.push_back("rebuild-extra");
  if (expectNothingAside && !lost && (r.problems || r.keyViolations))
    out->faults.push_back("rebuild-set-aside");
  if (lost || extra || (expectNothingAside && (r.problems || r.keyViolations))) {
    out->detail += "\n  rebuild kept " + std::to_string(kept->size()) + " of " +
                   std::to_string(orig.size()) + " (at risk " + std::to_string(risk.size()) +
                   "): lost " + std::to_string(lost) + ", extra " + std::to_string(extra) +
                   ", problems " + std::to_string(r.problems) + ", key violations " +
                   std::to_string(r.keyViolations) + ", issues " + std::to_string(r.issues);
    if (!sample.empty()) out->detail += "\n  an extra record: " + sample;
    // REKASTO_SIM_VERBOSE lists every action of the rebuild, not just the first.
    static const bool verbose = std::getenv("REKASTO_SIM_VERBOSE") != nullptr;
    size_t shown = 0;
    for (const RebuildAction& a : r.actions) {
      if (a.action == "kept" || a.action == "backup" || a.action == "swap" ||
          a.action == "regenerated")
        continue;
      if (shown++ == 6 && !verbose) break;
      out->detail += "\n    " + a.action + " " + a.file + " block " + std::to_string(a.block) +
                     " record " + std::to_string(a.record) + ": " + a.detail;
    }
  }
  // No damage but the header's own touches its layout: a repair of it is the rebuild
  // misreading the table.
  if (!headerDamaged && std::find(out->rebuildActions.begin(), out->rebuildActions.end(),
                                  "header") != out->rebuildActions.end())
    out->faults.insert(out->faults.begin(), "rebuild-header");
  VerifyReport after = Verify(fs, db);
  if (after.verdict != Verdict::kClean) {
    out->faults.push_back("rebuilt-not-clean");
    out->detail += "\n  rebuilt table:" + FirstFindings(after, 4);
  }
}

std::vector<Bytes> Multiset(const std::vector<Bytes>& v) {
  std::vector<Bytes> s = v;
  std::sort(s.begin(), s.end());
  return s;
}

}  // namespace

Outcome CheckCleanRoundTrip(SimTable& t, bool withPxlib) {
  Outcome out;
  std::string self = SelfCheck(t);
  if (!self.empty()) {
    out.faults.push_back("simulator");
    out.detail = "\n  self-check: " + self;
    return out;
  }
  if (withPxlib) {
    std::vector<Bytes> px;
    std::string why;
    bool read = ReadWithPxlib(t, &px, &why);
#ifdef REKASTO_HAVE_PXLIB
    std::vector<Bytes> raw;
    for (uint16_t b : t.chain)
      for (const SimRecord& r : t.live[b]) raw.push_back(r.raw);
    if (!read || Multiset(px) != Multiset(raw)) {
      out.faults.push_back("pxlib");
      out.detail +=
          "\n  pxlib: " +
          (read ? std::to_string(px.size()) + " records for " + std::to_string(raw.size()) : why);
      return out;
    }
#else
    (void)read;
#endif
  }
  VerifyReport v = Verify(t.fs.get(), t.db);
  if (v.verdict != Verdict::kClean) {
    out.faults.push_back("verify-not-clean");
    out.findings = ErrorIds(v);
    out.detail +=
        "\n  verify verdict " + std::to_string(int(v.verdict)) + ":" + FirstFindings(v, 4);
  }
  MemFileSystem copy;
  for (const std::string& p : t.fs->AllFiles()) copy.SetContents(p, *t.fs->Contents(p));
  RebuildAndCompare(&copy, t.db, t.Full(), {}, true, true, &out);
  return out;
}

const char* DamageName(Damage d) {
  switch (d) {
    case Damage::kRecordCount:
      return "record-count";
    case Damage::kChainBreak:
      return "chain-break";
    case Damage::kChainCycle:
      return "chain-cycle";
    case Damage::kTruncate:
      return "truncate";
    case Damage::kGarbageBlock:
      return "garbage-block";
    case Damage::kAddDataMore:
      return "add-data-more";
    case Damage::kAddDataBogus:
      return "add-data-bogus";
    case Damage::kAddDataFewer:
      return "add-data-fewer";
    case Damage::kLostPx:
      return "lost-px";
    case Damage::kLostMb:
      return "lost-mb";
    case Damage::kBadValue:
      return "bad-value";
    case Damage::kRandomBlock:
      return "random-block";
    case Damage::kTornWrite:
      return "torn-write";
  }
  return "?";
}

namespace {
Outcome NotApplicable() {
  Outcome o;
  o.applicable = false;
  return o;
}
}  // namespace

// The salvage hands over the same records whether it holds them in memory or leaves
// them in the files for the rebuild to fetch one at a time, and whether keys it must
// sort stay in memory or go through runs on disk (which it removes).
static bool SalvageModesAgree(FileSystem* fs, const std::string& db) {
  auto fam = FindFamily(fs, db);
  if (!fam.ok()) return true;
  SalvageOptions streaming;
  streaming.keepBytes = false;
  SalvageOptions spilling = streaming;
  spilling.spillDir = "/spill";
  spilling.sortMemory = 300;  // a few keys per run
  if (!fs->MakeDir(spilling.spillDir).ok()) return false;
  auto held = SalvageTable(fs, *fam);
  for (const SalvageOptions& o : {streaming, spilling}) {
    auto left = SalvageTable(fs, *fam, o);
    if (held.ok() != left.ok()) return false;
    if (!held.ok()) {
      if (held.status().code() != left.status().code()) return false;
      continue;
    }
    auto same = [&](const std::vector<SalvagedRecord>& recs, const PlaceList& places) {
      if (recs.size() != places.size()) return false;
      SalvagedRecord r;
      size_t i = 0;
      for (RecordPlace at : places) {
        if (!left->source->Fetch(at, &r).ok() || r.raw != recs[i].raw || r.block != recs[i].block ||
            r.index != recs[i].index || r.blobs.size() != recs[i].blobs.size())
          return false;
        for (size_t b = 0; b < r.blobs.size(); ++b)
          if (r.blobs[b].field != recs[i].blobs[b].field ||
              r.blobs[b].data != recs[i].blobs[b].data)
            return false;
        ++i;
      }
      return true;
    };
    if (!same(held->records, left->recordPlaces) ||
        !same(held->keyViolations, left->keyViolationPlaces) ||
        held->problems.size() != left->problems.size() ||
        held->actions.size() != left->actions.size())
      return false;
  }
  auto runs = fs->ListDir(spilling.spillDir);
  return runs.ok() && runs->empty();
}

Outcome CheckDamage(const SimTable& t, Damage d) {
  Rng rng(t.seed * kDamageCount + uint64_t(d) + 0x5eed);
  Outcome out;
  MemFileSystem fs;
  for (const std::string& p : t.fs->AllFiles()) fs.SetContents(p, *t.fs->Contents(p));
  Bytes& f = *fs.Contents(t.db);
  const TableHeader& h = t.header;
  const uint32_t hs = h.fixed.headerSize, bs = h.BlockSize(), rs = h.fixed.recordSize,
                 key = h.EncryptionKey();
  const uint32_t cap = BlockCapacity(bs, rs);
  // Edits block k's decrypted bytes.
  auto edit = [&](uint32_t k, const std::function<void(Bytes&)>& fn) {
    const uint64_t off = BlockOffset(hs, bs, k);
    Bytes b(f.begin() + long(off), f.begin() + long(off + bs));
    if (key) DecryptBlock(key, k, b);
    fn(b);
    if (key) EncryptBlock(key, k, b);
    std::copy(b.begin(), b.end(), f.begin() + long(off));
  };
  auto pickChained = [&](auto pred) -> uint16_t {
    std::vector<uint16_t> c;
    for (uint16_t b : t.chain)
      if (pred(b)) c.push_back(b);
    return c.empty() ? 0 : c[Uniform(rng, 0, c.size() - 1)];
  };
  std::vector<Bytes> risk;
  bool blobValues = true;
  std::string what;
  switch (d) {
    case Damage::kRecordCount: {
      uint32_t n = uint32_t(t.RecordCount());
      uint32_t v =
          Chance(rng, 0.5) ? n + uint32_t(Uniform(rng, 1, 500)) : uint32_t(Uniform(rng, 0, n - 1));
      PutU32(f, 0x06, v);
      what = "0x06 = " + std::to_string(v);
      break;
    }
    case Damage::kChainBreak: {
      uint16_t k = pickChained([](uint16_t) { return true; });
      uint16_t to = uint16_t(Chance(rng, 0.5)
                                 ? 0xFFF0
                                 : std::min<uint32_t>(0xFFFF, t.fileBlocks + Uniform(rng, 1, 50)));
      out.damagedBlock = k;
      edit(k, [&](Bytes& b) { PutU16(b, 0, to); });
      what = "block " + std::to_string(k) + " next = " + std::to_string(to);
      break;
    }
    case Damage::kChainCycle: {
      size_t p = Uniform(rng, 0, t.chain.size() - 1);
      uint16_t to = t.chain[Uniform(rng, 0, p)];
      out.damagedBlock = t.chain[p];
      edit(t.chain[p], [&](Bytes& b) { PutU16(b, 0, to); });
      what = "block " + std::to_string(t.chain[p]) + " next = " + std::to_string(to);
      break;
    }
    case Damage::kTruncate: {
      uint16_t k = pickChained([](uint16_t) { return true; });
      const size_t c = t.live[k].size();
      const uint32_t j = uint32_t(Uniform(rng, 0, c - 1));
      const uint32_t within = 6 + j * rs + uint32_t(rs > 1 ? Uniform(rng, 1, rs - 1) : 0);
      // Encrypted blocks decrypt in 256-byte chunks: a partial chunk is lost whole.
      const uint32_t usable = key ? within / 256 * 256 : within;
      out.damagedBlock = k;
      f.resize(BlockOffset(hs, bs, k) + within);
      for (uint32_t b = k; b <= t.fileBlocks; ++b)
        for (size_t i = 0; i < t.live[b].size(); ++i)
          if (b > k || usable < 6 || 6 + (i + 1) * rs > usable) risk.push_back(t.live[b][i].full);
      what = "cut in block " + std::to_string(k) + " at " + std::to_string(within);
      break;
    }
    case Damage::kGarbageBlock: {
      uint16_t k = pickChained([](uint16_t) { return true; });
      out.damagedBlock = k;
      edit(k, [](Bytes& b) { std::fill(b.begin(), b.end(), 0xEE); });
      for (const SimRecord& r : t.live[k]) risk.push_back(r.full);
      what = "block " + std::to_string(k) + " = EE";
      break;
    }
    case Damage::kAddDataMore: {
      uint16_t k = pickChained([&](uint16_t b) { return t.live[b].size() < cap; });
      if (!k) return NotApplicable();
      uint32_t m = uint32_t(Uniform(rng, t.live[k].size() + 1, cap));
      out.damagedBlock = k;
      edit(k, [&](Bytes& b) { PutU16(b, 4, uint16_t(BlockHeader::AddDataSizeFor(int(m), rs))); });
      what = "block " + std::to_string(k) + " claims " + std::to_string(m) + " of " +
             std::to_string(t.live[k].size());
      break;
    }
    case Damage::kAddDataBogus: {
      if (rs < 2) return NotApplicable();
      uint16_t k = pickChained([](uint16_t) { return true; });
      int16_t v = int16_t(BlockHeader::AddDataSizeFor(int(t.live[k].size()), rs) +
                          int(Uniform(rng, 1, rs - 1)));
      out.damagedBlock = k;
      edit(k, [&](Bytes& b) { PutU16(b, 4, uint16_t(v)); });
      what = "block " + std::to_string(k) + " addDataSize " + std::to_string(v);
      break;
    }
    case Damage::kAddDataFewer: {
      uint16_t k = pickChained([&](uint16_t b) { return t.live[b].size() > 1; });
      if (!k) return NotApplicable();
      uint32_t m = uint32_t(Uniform(rng, 1, t.live[k].size() - 1));
      edit(k, [&](Bytes& b) { PutU16(b, 4, uint16_t(BlockHeader::AddDataSizeFor(int(m), rs))); });
      out.damagedBlock = k;
      for (size_t i = m; i < t.live[k].size(); ++i) risk.push_back(t.live[k][i].full);
      what = "block " + std::to_string(k) + " claims " + std::to_string(m) + " of " +
             std::to_string(t.live[k].size());
      break;
    }
    case Damage::kLostPx: {
      auto fam = FindFamily(&fs, t.db);
      if (!t.keyed || !fam.ok() || fam->px.empty()) return NotApplicable();
      (void)fs.Remove(fam->px);
      what = "no .PX";
      break;
    }
    case Damage::kLostMb: {
      auto fam = FindFamily(&fs, t.db);
      if (!t.blobsInMb || !fam.ok() || fam->mb.empty()) return NotApplicable();
      (void)fs.Remove(fam->mb);
      blobValues = false;
      what = "no .MB";
      break;
    }
    case Damage::kBadValue: {
      std::vector<size_t> fields;
      for (size_t i = 0; i < h.fields.size(); ++i)
        if (CanBeInvalid(h.fields[i].type)) fields.push_back(i);
      uint16_t k = pickChained([&](uint16_t b) { return !t.live[b].empty(); });
      if (fields.empty() || !k) return NotApplicable();
      const size_t j = Uniform(rng, 0, t.live[k].size() - 1);
      const FieldDesc& fd = h.fields[fields[Uniform(rng, 0, fields.size() - 1)]];
      out.damagedBlock = k;
      edit(k, [&](Bytes& b) { DrawStoredValue(rng, fd, true, b.data() + 6 + j * rs + fd.offset); });
      risk.push_back(t.live[k][j].full);
      what = "block " + std::to_string(k) + " record " + std::to_string(j) + " field \"" + fd.name +
             "\"";
      break;
    }
    case Damage::kRandomBlock:
    case Damage::kTornWrite: {
      // Only the other blocks' data tell garbage from data: enough of them must hold some
      // (field_profile.h's evidence).
      auto others = [&](uint16_t k) {
        size_t n = 0;
        for (uint16_t b : t.chain)
          if (b != k) n += t.live[b].size();
        return n >= TableProfile::kMinEvidence;
      };
      const bool torn = d == Damage::kTornWrite;
      // Random bytes stand out only against fields whose values are not random bytes
      // themselves: the simulator draws numbers, integers and byte fields over their whole
      // range, so a table of only those (and short texts) gives no baseline.
      bool baseline = false;
      for (const FieldDesc& fd : h.fields)
        baseline |= fd.type == FieldType::kAlpha
                        ? fd.sizeByte >= 8  // a few random bytes can pass for text
                        : fd.type != FieldType::kNumber && fd.type != FieldType::kMoney &&
                              fd.type != FieldType::kShort && fd.type != FieldType::kLong &&
                              fd.type != FieldType::kBytes;
      // A torn write is told from blank rows by its zero records beginning at a sector
      // (the second half): the tear must zero a whole record, the other blocks hold no
      // zero record, and the table is not encrypted (its zeros would decrypt to noise).
      auto zeroRecords = [&](uint16_t k) {
        for (uint16_t b : t.chain)
          if (b != k)
            for (const SimRecord& r : t.live[b])
              if (IsAllZero(r.raw)) return true;
        return false;
      };
      uint16_t k = pickChained([&](uint16_t b) {
        return !t.live[b].empty() && others(b) &&
               (!torn || (6 + (t.live[b].size() - 1) * rs >= bs / 2 && !zeroRecords(b)));
      });
      if (!k || (!torn && !baseline) || (torn && key)) return NotApplicable();
      out.damagedBlock = k;
      if (torn) {
        // On disk: an encrypted block's zeroed half decrypts to noise.
        const uint64_t off = BlockOffset(hs, bs, k);
        std::fill(f.begin() + long(off + bs / 2), f.begin() + long(off + bs), 0);
      } else {
        edit(k, [&](Bytes& b) {
          for (size_t i = 6; i < b.size(); ++i) b[i] = uint8_t(Uniform(rng, 0, 255));
        });
      }
      for (const SimRecord& r : t.live[k]) risk.push_back(r.full);
      what = "block " + std::to_string(k) + (torn ? " second half zeroed" : " random") + ", " +
             std::to_string(t.live[k].size()) + " records";
      break;
    }
  }
  out.detail = "\n  damage " + std::string(DamageName(d)) + ": " + what;
  if (!SalvageModesAgree(&fs, t.db)) out.faults.push_back("salvage-modes-differ");
  VerifyReport v = Verify(&fs, t.db);
  out.findings = ErrorIds(v);
  // A block of garbage is found in that block, whatever else the table shows.
  auto inBlock = [&](uint16_t k) {
    for (const Finding& x : v.findings)
      if (x.severity == Severity::kError && x.where.block == k &&
          x.where.file == PathBaseName(t.db))
        return true;
    return false;
  };
  const bool reported = d == Damage::kLostPx ? v.Has("index.px-missing")
                        : d == Damage::kRandomBlock || d == Damage::kTornWrite
                            ? inBlock(out.damagedBlock)
                            : v.verdict != Verdict::kClean;
  if (!reported) out.faults.push_back("verify-silent");
  RebuildAndCompare(&fs, t.db, blobValues ? t.Full() : t.Plain(), risk, blobValues, false, &out);
  return out;
}

const char* HeaderDamageName(HeaderDamage d) {
  switch (d) {
    case HeaderDamage::kFieldTypes:
      return "field-types";
    case HeaderDamage::kFixedPartZeroed:
      return "first-0x78-zeroed";
    case HeaderDamage::kHeaderZeroed:
      return "header-zeroed";
  }
  return "?";
}

namespace {

// The header of the .DB in `f` damaged one way; its data blocks stay as they are.
void DamageHeader(Bytes& f, const TableHeader& h, HeaderDamage d) {
  switch (d) {
    case HeaderDamage::kFieldTypes:
      for (size_t i = 0; i < h.fields.size(); ++i)
        f[DescriptorsOffset(h.hasExtension) + FieldDesc::kDescriptorLength * i] = 0xFF;
      break;
    case HeaderDamage::kFixedPartZeroed:
      std::fill(f.begin(), f.begin() + 0x78, 0);
      break;
    case HeaderDamage::kHeaderZeroed:
      std::fill(f.begin(), f.begin() + h.fixed.headerSize, 0);
      break;
  }
}

void CopyFamily(const SimTable& t, MemFileSystem* to) {
  for (const std::string& p : t.fs->AllFiles()) to->SetContents(p, *t.fs->Contents(p));
}

// Verify of a table whose header is damaged: a damaged table (a non-zero verdict), never
// a foreign file.
// An encrypted table's key was in the lost part of its header: its blocks are noise
// then, and a table without a family shows nothing of being one.
void ExpectDamagedTable(FileSystem* fs, const std::string& db, bool encrypted, Outcome* out) {
  VerifyReport v = Verify(fs, db);
  out->findings = ErrorIds(v);
  if (v.verdict == Verdict::kClean) out->faults.push_back("verify-silent");
  if (v.verdict == Verdict::kNotRebuildable && !encrypted) {
    out->faults.push_back("verify-not-a-table");
    out->detail += "\n  verify:" + FirstFindings(v, 2);
  }
}

}  // namespace

Outcome CheckHeaderDamage(const SimTable& t, HeaderDamage d) {
  Outcome out;
  out.detail = "\n  damage " + std::string(HeaderDamageName(d));
  const std::string healthy = "/healthy/COPY.DB";
  {
    // The structure of a healthy copy, given.
    MemFileSystem fs;
    CopyFamily(t, &fs);
    (void)fs.MakeDir("/healthy");
    fs.SetContents(healthy, *t.fs->Contents(t.db));
    DamageHeader(*fs.Contents(t.db), t.header, d);
    ExpectDamagedTable(&fs, t.db, t.encrypted && d != HeaderDamage::kFieldTypes, &out);
    RebuildAndCompare(&fs, t.db, t.Full(), {}, true, false, &out, healthy, kNow, true);
  }
  {
    // After an earlier rebuild, its repair folder's backup gives the structure.
    MemFileSystem fs;
    CopyFamily(t, &fs);
    RebuildOptions ro;
    ro.fs = &fs;
    ro.now = kNow;
    RebuildResult first = RebuildTable(t.db, ro);
    if (!first.status.ok()) {
      out.faults.push_back("rebuild-failed");
      out.detail += "\n  earlier rebuild: " + first.status.ToString();
      return out;
    }
    auto rebuilt = DecodeTableHeader(ByteSpan(*fs.Contents(t.db)));
    if (!rebuilt.ok()) {
      out.faults.push_back("rebuild-failed");
      out.detail += "\n  earlier rebuild's header: " + rebuilt.status().ToString();
      return out;
    }
    DamageHeader(*fs.Contents(t.db), *rebuilt, d);
    Outcome again;
    RebuildAndCompare(&fs, t.db, t.Full(), {}, true, false, &again, "", kNow + 60, true);
    for (const std::string& f : again.faults) out.faults.push_back("from-backup:" + f);
    out.detail += again.detail;
  }
  {
    // With nothing but the damaged header and the family, the rebuild keeps every record
    // or is refused with the family unchanged: a guessed layout that reads the blocks
    // wrongly must never leave an emptied or cut table in the family's place.
    MemFileSystem fs;
    CopyFamily(t, &fs);
    DamageHeader(*fs.Contents(t.db), t.header, d);
    const Bytes before = *fs.Contents(t.db);
    const std::vector<std::string> membersBefore = Members(&fs, t.db);
    Outcome alone;
    RebuildAndCompare(&fs, t.db, t.Full(), {}, true, false, &alone, "", kNow, true);
    if (alone.rebuildCode == Status::Code::kOk) {
      for (const std::string& f : alone.faults) out.faults.push_back("alone:" + f);
      if (!alone.faults.empty()) out.detail += alone.detail;
    } else if (*fs.Contents(t.db) != before || Members(&fs, t.db) != membersBefore) {
      out.faults.push_back("alone:changed-on-refusal");
      out.detail += alone.detail;
    }
  }
  return out;
}

}  // namespace paradox::sim
