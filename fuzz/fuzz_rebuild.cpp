// libFuzzer target over the salvage and the rebuild: one input = one table family
// (family_input.h). The family is put on an in-memory file system, salvaged
// (SalvageTable) and rebuilt (RebuildTable), and what comes out must hold these
// properties; a failure aborts, so the fuzzer keeps the input:
//   (i)   a rebuild that reports success leaves a family that verifies clean;
//   (ii)  records kept + key violations + problems never exceed the record slots
//         physically present in the .DB's blocks (nothing is invented);
//   (iii) a successful rebuild leaves a backup of every original member, byte for byte;
//   (iv)  a family that verified clean keeps every one of its records (as a multiset;
//         blob fields compared by their full values), and no other record unless the file
//         has blocks outside the chain and the free list or bytes after its last block
//         (warnings only, but the salvage takes records from there by design);
//   (v)   a failed rebuild leaves every original member in place, byte for byte;
//   (vi)  a rebuild on a sound (in-memory) file system never fails with an I/O error:
//         damage in the files is never taken for a failing disk;
//   (vii) the rebuilt family rebuilds again with no issue, nothing set aside and the
//         same records: the rebuild's output is healthy by the rebuild's own measure;
//   (viii) the streaming salvage (records left in the files and fetched one by one, as
//         the rebuild and the export read them; keys sorted through run files under a
//         budget of a few rows) gives the records, key violations and problems of the
//         salvage that holds them in memory, in the same order, and leaves no run file;
//   (ix)  restoring from the first rebuild's repair folder puts every original member
//         back byte for byte, and moves the family it replaces aside intact.
// Beyond these, nothing may crash, hang or trip a sanitizer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "family_input.h"
#include "paradox/format/blob.h"
#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/reader.h"
#include "paradox/repair/rebuild.h"
#include "paradox/repair/restore.h"
#include "paradox/repair/salvage.h"
#include "paradox/verify/verifier.h"

#ifdef REKASTO_FUZZ_MUTATOR
#include "family_mutator.h"
#endif

namespace {

using paradox::Bytes;

constexpr std::time_t kNow = 1765000000;  // fixed: repair folder names must not vary per run

[[noreturn]] void PropertyFailed(const char* property, const std::string& detail) {
  std::fprintf(stderr, "fuzz_rebuild: property %s failed: %s\n", property, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// Records of the table in reading order, in a canonical form: field bytes as stored,
// a blob field as its value's length and the value (pointers differ between a table and
// its rebuild; the leader only repeats the value's first bytes, and a rebuild writes it
// anew from the value). False with `why` when a record or a blob cannot be read.
bool CanonicalRecords(paradox::FileSystem* fs, const std::string& db, std::vector<Bytes>* out,
                      std::string* why) {
  auto reader = paradox::TableReader::Open(fs, db);
  if (!reader.ok()) {
    *why = reader.status().ToString();
    return false;
  }
  const paradox::TableHeader& h = (*reader)->header();
  std::unique_ptr<paradox::BlobFile> mb;
  auto fam = paradox::FindFamily(fs, db);
  if (fam.ok() && !fam->mb.empty()) {
    auto m = paradox::BlobFile::Open(fs, fam->mb, h.EncryptionKey());
    if (m.ok()) mb = std::move(m).value();
  }
  auto cur = (*reader)->Records();
  while (cur.Next()) {
    paradox::ByteSpan rec = cur.record().bytes;
    Bytes canon;
    for (const paradox::FieldDesc& f : h.fields) {
      if (!paradox::IsBlobType(f.type)) {
        canon.insert(canon.end(), rec.begin() + f.offset, rec.begin() + f.offset + f.Size());
        continue;
      }
      paradox::BlobRef ref;
      ref.leader.assign(rec.begin() + f.offset, rec.begin() + f.offset + f.LeaderSize());
      ref.pointer.DecodeFrom(rec.data() + f.offset + f.LeaderSize());
      Bytes value;
      if (ref.pointer.length > 0 && !ref.InLeader()) {
        if (!mb) {
          *why = "record " + std::to_string(cur.record().ordinal) + ": no blob file";
          return false;
        }
        auto v = mb->Read(ref);
        if (!v.ok()) {
          *why = "record " + std::to_string(cur.record().ordinal) + ": " + v.status().ToString();
          return false;
        }
        value = std::move(v).value();
      } else {
        value.assign(ref.leader.begin(), ref.leader.begin() + ref.pointer.length);
      }
      uint8_t len[4];
      paradox::EncodeU32(len, uint32_t(value.size()));
      canon.insert(canon.end(), len, len + 4);
      canon.insert(canon.end(), value.begin(), value.end());
    }
    out->push_back(std::move(canon));
  }
  if (!cur.status().ok()) {
    *why = cur.status().ToString();
    return false;
  }
  return true;
}

// Record slots whose first byte lies inside the file, for the layout the salvage used.
uint64_t PhysicalSlots(uint64_t fileSize, const paradox::TableHeader& h) {
  const uint64_t hs = h.fixed.headerSize, bs = h.BlockSize(), rs = h.fixed.recordSize;
  if (bs <= 6 || rs == 0 || fileSize <= hs) return 0;
  const uint64_t cap = paradox::BlockCapacity(uint32_t(bs), uint32_t(rs));
  const uint64_t body = fileSize - hs;
  uint64_t whole = body / bs, rest = body % bs;
  if (whole >= 65535) return 65535 * cap;  // the reader addresses no more blocks
  uint64_t slots = whole * cap;
  if (rest > 6) slots += std::min(cap, (rest - 6 + rs - 1) / rs);
  return slots;
}

// For looking into a find: FUZZ_REBUILD_VERBOSE=1 prints what the rebuilds did.
void PrintRebuild(const paradox::RebuildResult& r) {
  if (!std::getenv("FUZZ_REBUILD_VERBOSE")) return;
  std::fprintf(stderr, "rebuild: %s; kept %llu, key violations %llu, problems %llu, issues %u\n",
               r.status.ToString().c_str(), (unsigned long long)r.recordsKept,
               (unsigned long long)r.keyViolations, (unsigned long long)r.problems, r.issues);
  for (const paradox::RebuildAction& a : r.actions)
    std::fprintf(stderr, "  action: %s %s block %lld record %lld: %s\n", a.action.c_str(),
                 a.file.c_str(), (long long)a.block, (long long)a.record, a.detail.c_str());
}

bool SameRecord(const paradox::SalvagedRecord& a, const paradox::SalvagedRecord& b) {
  if (a.raw != b.raw || a.block != b.block || a.index != b.index) return false;
  if (a.blobs.size() != b.blobs.size()) return false;
  for (size_t i = 0; i < a.blobs.size(); ++i)
    if (a.blobs[i].field != b.blobs[i].field || a.blobs[i].data != b.blobs[i].data) return false;
  return true;
}

// (viii): the salvage as the rebuild runs it, records left in the files and keys sorted
// through run files, against the salvage that keeps everything in memory. The budget
// (from the input's size, so a replay gives the same) holds one to a few dozen rows.
void CheckStreamingSalvage(paradox::MemFileSystem& fs, const paradox::FamilyFiles& fam,
                           const paradox::SalvageResult& held, size_t inputSize) {
  const std::string spill = "/spill";
  if (!fs.MakeDir(spill).ok()) PropertyFailed("(viii)", "cannot make the spill folder");
  paradox::SalvageOptions so;
  so.keepBytes = false;
  so.spillDir = spill;
  so.sortMemory = 1 + (inputSize * 2654435761u) % 2048;
  auto streamed = paradox::SalvageTable(&fs, fam, so);
  if (!streamed.ok())
    PropertyFailed("(viii)", "the streaming salvage failed where the held one did not: " +
                                 streamed.status().ToString());
  auto compare = [&](const char* what, const paradox::PlaceList& places,
                     const std::vector<paradox::SalvagedRecord>& expected) {
    if (places.size() != expected.size())
      PropertyFailed("(viii)", std::string(what) + ": streamed " + std::to_string(places.size()) +
                                   ", held " + std::to_string(expected.size()));
    paradox::SalvagedRecord rec;
    size_t i = 0;
    for (paradox::RecordPlace at : places) {
      if (paradox::Status st = streamed->source->Fetch(at, &rec); !st.ok())
        PropertyFailed("(viii)", std::string(what) + " " + std::to_string(i) +
                                     ": fetch failed: " + st.ToString());
      if (!SameRecord(rec, expected[i]))
        PropertyFailed("(viii)", std::string(what) + " " + std::to_string(i) + " (block " +
                                     std::to_string(at.block) + " slot " +
                                     std::to_string(at.index) + ") differs from the held one");
      ++i;
    }
  };
  compare("record", streamed->recordPlaces, held.records);
  compare("key violation", streamed->keyViolationPlaces, held.keyViolations);
  if (streamed->problems.size() != held.problems.size())
    PropertyFailed("(viii)", "problems: streamed " + std::to_string(streamed->problems.size()) +
                                 ", held " + std::to_string(held.problems.size()));
  auto left = fs.ListDir(spill);
  if (!left.ok() || !left->empty()) PropertyFailed("(viii)", "run files left in the spill folder");
  (void)fs.Remove(spill);
}

std::string BackupName(const std::string& member, bool isDb) {
  return isDb ? "Backup.Db" : "Backup" + fuzzfam::UpperExt(paradox::PathExtension(member));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<fuzzfam::Member> members = fuzzfam::Split(data, size);
  paradox::MemFileSystem fs;
  const std::string db = fuzzfam::Install(fs, members);
  if (db.empty()) return 0;
  const uint64_t dbSize = fs.Contents(db)->size();

  paradox::VerifyOptions vo;
  vo.fs = &fs;
  vo.maxFindings = 1000;
  const paradox::VerifyReport before = paradox::VerifyTable(db, vo);
  const bool clean = before.verdict == paradox::Verdict::kClean;
  const bool blocksOutsideLists =
      before.Has("blocks.orphan") || before.Has("file.trailing-data") || before.suppressed > 0;
  std::vector<Bytes> originalRecords;
  if (clean) {
    std::string why;
    if (!CanonicalRecords(&fs, db, &originalRecords, &why))
      PropertyFailed("(iv)", "the family verified clean but its records cannot be read: " + why);
  }

  auto fam = paradox::FindFamily(&fs, db);
  if (!fam.ok()) return 0;
  auto sal = paradox::SalvageTable(&fs, *fam);
  uint64_t slots = 0;
  if (sal.ok()) {
    slots = PhysicalSlots(dbSize, sal->header);
    const uint64_t n = sal->records.size() + sal->keyViolations.size() + sal->problems.size();
    if (n > slots)
      PropertyFailed("(ii)", "the salvage holds " + std::to_string(n) +
                                 " records but the .DB has " + std::to_string(slots) + " slots");
    CheckStreamingSalvage(fs, *fam, *sal, size);
  }

  paradox::RebuildOptions ro;
  ro.fs = &fs;
  ro.now = kNow;
  const paradox::RebuildResult r = paradox::RebuildTable(db, ro);
  if (std::getenv("FUZZ_REBUILD_VERBOSE")) {
    std::fprintf(stderr, "verdict before: %s\n", paradox::VerdictName(before.verdict));
    for (const paradox::Finding& f : before.findings)
      std::fprintf(stderr, "  finding: %s\n", f.ToString().c_str());
    PrintRebuild(r);
  }
  if (!r.status.ok()) {
    if (r.status.IsIOError())
      PropertyFailed("(vi)", "rebuild failed with an I/O error: " + r.status.ToString());
    for (const fuzzfam::Member& m : members) {
      const Bytes* now = fs.Contents(fuzzfam::MemberPath(m.ext));
      if (!now || *now != m.data)
        PropertyFailed("(v)", "failed rebuild (" + r.status.ToString() + ") changed " + m.ext);
    }
    if (clean && sal.ok())
      PropertyFailed("(iv)",
                     "the family verified clean but its rebuild failed: " + r.status.ToString());
    return 0;
  }

  // (i)
  paradox::VerifyReport after = paradox::VerifyTable(db, vo);
  if (after.verdict != paradox::Verdict::kClean || after.errors > 0) {
    std::string first = after.findings.empty() ? "" : after.findings.front().ToString();
    PropertyFailed("(i)", std::string("rebuilt family verifies ") +
                              paradox::VerdictName(after.verdict) + ": " + first);
  }
  // (ii)
  const uint64_t n = r.recordsKept + r.keyViolations + r.problems;
  if (!sal.ok())
    PropertyFailed("(ii)",
                   "rebuild succeeded where the salvage failed: " + sal.status().ToString());
  if (n > slots)
    PropertyFailed("(ii)", "rebuild accounts for " + std::to_string(n) +
                               " records but the .DB has " + std::to_string(slots) + " slots");
  // (iii)
  for (const std::string& m : fam->AllMembers()) {
    const std::string backup = paradox::PathJoin(r.repairFolder, BackupName(m, m == fam->db));
    const Bytes* copy = fs.Contents(backup);
    auto original = std::find_if(members.begin(), members.end(), [&](const fuzzfam::Member& x) {
      return fuzzfam::MemberPath(x.ext) == m;
    });
    if (original == members.end()) continue;  // not an input member (cannot happen)
    if (!copy || *copy != original->data)
      PropertyFailed("(iii)", "backup " + backup + " differs from the original " + m);
  }
  // (iv)
  std::vector<Bytes> rebuilt;
  std::string why;
  if (!CanonicalRecords(&fs, db, &rebuilt, &why))
    PropertyFailed("(i)", "the rebuilt records cannot be read: " + why);
  std::sort(rebuilt.begin(), rebuilt.end());
  if (clean) {
    std::sort(originalRecords.begin(), originalRecords.end());
    const bool kept = std::includes(rebuilt.begin(), rebuilt.end(), originalRecords.begin(),
                                    originalRecords.end());
    if (!kept || (rebuilt.size() != originalRecords.size() && !blocksOutsideLists))
      PropertyFailed("(iv)",
                     "a clean family of " + std::to_string(originalRecords.size()) +
                         " records was rebuilt with " + std::to_string(rebuilt.size()) +
                         (kept ? " records" : " records, not all of them the original ones"));
  }
  // (vii)
  const paradox::RebuildResult again = paradox::RebuildTable(db, ro);
  PrintRebuild(again);
  if (!again.status.ok())
    PropertyFailed("(vii)", "the rebuilt family cannot be rebuilt: " + again.status.ToString());
  if (again.issues != 0 || again.problems != 0 || again.keyViolations != 0) {
    std::string first;
    for (const paradox::RebuildAction& a : again.actions)
      if (a.action != "regenerated" && a.action != "backup" && a.action != "swap" && first.empty())
        first = a.action + " " + a.file + ": " + a.detail;
    PropertyFailed("(vii)", "rebuilding the rebuilt family finds " + std::to_string(again.issues) +
                                " issue(s), " + std::to_string(again.problems) + " problem(s), " +
                                std::to_string(again.keyViolations) +
                                " key violation(s): " + first);
  }
  std::vector<Bytes> twice;
  if (!CanonicalRecords(&fs, db, &twice, &why))
    PropertyFailed("(vii)", "the twice rebuilt records cannot be read: " + why);
  std::sort(twice.begin(), twice.end());
  if (twice != rebuilt)
    PropertyFailed("(vii)", "rebuilding the rebuilt family changes its records (" +
                                std::to_string(rebuilt.size()) + " -> " +
                                std::to_string(twice.size()) + ")");
  // (ix)
  std::vector<std::pair<std::string, Bytes>> inPlace;
  if (auto now = paradox::FindFamily(&fs, db); now.ok())
    for (const std::string& m : now->AllMembers())
      if (const Bytes* b = fs.Contents(m)) inPlace.emplace_back(paradox::PathBaseName(m), *b);
  paradox::RestoreOptions rso;
  rso.fs = &fs;
  rso.from = r.repairFolder;
  rso.now = kNow + 3600;
  const paradox::RestoreResult back = paradox::RestoreTable(db, rso);
  if (!back.status.ok())
    PropertyFailed("(ix)", "restoring the first rebuild failed: " + back.status.ToString());
  for (const std::string& m : fam->AllMembers()) {
    auto original = std::find_if(members.begin(), members.end(), [&](const fuzzfam::Member& x) {
      return fuzzfam::MemberPath(x.ext) == m;
    });
    if (original == members.end()) continue;
    const Bytes* now = fs.Contents(m);
    if (!now || *now != original->data) PropertyFailed("(ix)", m + " is not restored as it was");
  }
  for (const auto& [name, bytes] : inPlace) {
    const Bytes* kept = fs.Contents(paradox::PathJoin(back.keptIn, name));
    if (!kept || *kept != bytes)
      PropertyFailed("(ix)", "the replaced " + name + " is not in " + back.keptIn + " intact");
  }
  return 0;
}
