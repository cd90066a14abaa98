#include "paradox/repair/rebuild.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "paradox/format/collation.h"
#include "paradox/format/family.h"
#include "paradox/format/val.h"
#include "paradox/format/writer.h"
#include "paradox/repair/salvage.h"
#include "paradox/verify/verifier.h"

namespace paradox {
namespace {

std::string Clip(const std::string& s, size_t n) {
  if (s.size() <= n) return s;
  return s.substr(0, n);
}

// Alpha values may not hold NUL bytes; messages are ours, but names come from files.
std::string AlphaSafe(std::string s, size_t n) {
  for (char& c : s)
    if (c == '\0') c = ' ';
  return Clip(s, n);
}

// Keyed records go in the order the salvage chose. For a known collation that is its
// KeyOrder and the writer checks it; for a sort order this library does not know it is
// the engine's own (the surviving chain's), which the writer must keep rather than
// reorder: the engine looks keys up through the .PX in its collation.
WriteOptions WriterOptionsFor(const SalvageResult& sal) {
  WriteOptions wo = sal.writeOptions;
  wo.keepGivenOrder = sal.header.fixed.primaryKeyFields > 0 && !HasKnownCollation(sal.header);
  return wo;
}

Value IntOrNull(int64_t v) {
  return v < 0 ? Value{} : Value{v};
}

Status WriteReportTable(FileSystem* fs, const std::string& path,
                        const std::vector<RebuildAction>& actions) {
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 4096;
  s.codePage = 1252;
  s.fields = {{"Action", FieldType::kAlpha, 20},
              {"File", FieldType::kAlpha, 64},
              {"Block", FieldType::kLong, 0},
              {"Record", FieldType::kLong, 0},
              {"Detail", FieldType::kAlpha, 255}};
  std::vector<std::vector<Value>> rows;
  rows.reserve(actions.size());
  for (const RebuildAction& a : actions) {
    rows.push_back({AlphaSafe(a.action, 20), AlphaSafe(a.file, 64), IntOrNull(a.block),
                    IntOrNull(a.record), AlphaSafe(a.detail, 255)});
    if (std::get<std::string>(rows.back()[0]).empty()) rows.back()[0] = Value{};
    if (std::get<std::string>(rows.back()[1]).empty()) rows.back()[1] = Value{};
    if (std::get<std::string>(rows.back()[4]).empty()) rows.back()[4] = Value{};
  }
  return WriteTable(fs, path, s, rows);
}

Status WriteProblemTable(FileSystem* fs, const std::string& path,
                         const std::vector<SetAside>& problems, const TableHeader& h) {
  TableSchema s;
  s.level = TableLevel::k7;
  s.blockSize = 4096;
  s.codePage = 1252;
  s.encryptionKey = h.EncryptionKey();  // the raw bytes are the table's data
  s.fields = {{"Block", FieldType::kLong, 0},
              {"Record", FieldType::kLong, 0},
              {"Offset", FieldType::kNumber, 0},
              {"Reason", FieldType::kAlpha, 255},
              {"Raw data", FieldType::kBlob, 0}};
  std::vector<std::vector<Value>> rows;
  for (const SetAside& p : problems) {
    Value raw = p.raw.empty() ? Value{} : Value{p.raw};
    std::string reason = AlphaSafe(p.reason, 255);
    rows.push_back({p.block ? Value{int64_t(p.block)} : Value{}, IntOrNull(p.index),
                    Value{double(p.offset)}, reason.empty() ? Value{} : Value{reason}, raw});
  }
  return WriteTable(fs, path, s, rows);
}

Status WriteKeyViolationTable(FileSystem* fs, const std::string& path, const SalvageResult& sal) {
  const TableSchema& base = sal.schema;
  TableSchema s = base;
  s.keyFieldCount = 0;  // duplicates must fit side by side
  s.secondaryIndexes.clear();
  s.tableName.clear();
  // The table's own header: the duplicates keep its block size even where its level
  // would not give a new table that size.
  WriteOptions wo;
  wo.baseHeader = sal.header;
  auto w = TableWriter::Create(fs, path, s, wo);
  if (!w.ok()) return w.status();
  SalvagedRecord r;
  for (RecordPlace at : sal.keyViolationPlaces) {
    PARADOX_RETURN_IF_ERROR(sal.source->Fetch(at, &r));
    PARADOX_RETURN_IF_ERROR((*w)->AddRawRecord(ByteSpan(r.raw), r.blobs));
  }
  return (*w)->Finish();
}

// The .VAL of the new family: the old one, its change counter set to the new DB's when
// its field list still matches the table; otherwise unchanged (and reported).
Status CarryValFile(FileSystem* fs, const std::string& from, FileSystem* outFs,
                    const std::string& to, const TableHeader& newHeader,
                    std::vector<RebuildAction>* actions) {
  auto data = fs->ReadFile(from, kMaxValFileSize);
  if (!data.ok()) return data.status();
  Bytes v = std::move(data).value();
  auto info = DecodeValSections(ByteSpan(v));
  const bool matches = info.ok() && info->FieldsMatch(newHeader.fields, true);
  if (matches && !v.empty()) {
    if (v[0] != newHeader.fixed.changeCount2) {
      actions->push_back({"validity", PathBaseName(from), -1, -1,
                          "change counter set to the table's (" + std::to_string(v[0]) + " -> " +
                              std::to_string(newHeader.fixed.changeCount2) + ")"});
      v[0] = newHeader.fixed.changeCount2;
    }
  } else {
    const bool readable = info.ok() && info->fieldsRead;
    actions->push_back({"validity", PathBaseName(from), -1, -1,
                        readable ? "kept unchanged: its field list differs from the table's"
                                 : "kept unchanged: its field list cannot be read (an older "
                                   "layout, or damaged), so it was not compared"});
  }
  return outFs->WriteFile(to, ByteSpan(v), true);
}

std::string FirstErrors(const VerifyReport& r, size_t n) {
  std::string out;
  for (const Finding& f : r.findings) {
    if (f.severity != Severity::kError) continue;
    if (!out.empty()) out += "; ";
    out += f.ToString();
    if (--n == 0) break;
  }
  return out;
}

}  // namespace

Status CheckTableNotInUse(FileSystem* fs, const std::string& givenPath) {
  if (!fs) fs = DefaultFileSystem();
  const std::string tablePath = RealTablePath(fs, givenPath);
  auto fam = FindFamily(fs, tablePath);
  if (!fam.ok()) return fam.status();
  for (const std::string& lock : fam->lockFiles) {
    std::string ext = AsciiUpper(PathExtension(lock));
    if (ext == ".LCK") {
      return Status::Busy("table " + PathBaseName(tablePath) + " may be in use: lock file " +
                          PathBaseName(lock) +
                          " is in its folder; close the programs using it (or delete stale lock "
                          "files once no program uses the folder) and try again");
    }
    if (ext == ".DRO") {
      // Another program marked the folder read-only: as good as read-only media.
      return Status::IOError("folder of " + PathBaseName(tablePath) + " is marked read-only (" +
                                 PathBaseName(lock) +
                                 "); copy the table to a writable folder first",
                             EROFS);
    }
  }
  for (const std::string& m : fam->AllMembers()) {
    auto locked = fs->IsLocked(m);
    if (!locked.ok()) return locked.status();
    if (*locked) {
      return Status::Busy("table " + PathBaseName(tablePath) +
                          " is in use: another program holds a lock on " + PathBaseName(m) +
                          "; close it and try again");
    }
  }
  return Status::OK();
}

namespace {

// The overall bar of a rebuild. Each step owns a slice of it (by its share of the work
// on a typical table) and moves the bar across that slice as its own work goes on: the
// salvage's and the verifier's phase reports, the writer's blocks, bytes copied or
// hashed. So the bar moves in every step, and only forward (Progress drops repeats).
class OverallBar {
 public:
  explicit OverallBar(Progress* p) : p_(p) {}
  // A new step over [from, to) of the bar.
  void Step(int from, int to) {
    from_ = from;
    to_ = to;
    parts_.fill(0);
    p_->Report(kPhaseOverall, from);
  }
  // The step is `done` out of `total` through (any unit).
  void At(uint64_t done, uint64_t total) {
    if (total == 0) return;
    done = std::min(done, total);
    p_->Report(kPhaseOverall, from_ + int(uint64_t(to_ - from_) * done / total));
  }
  // A step made of the phases of another operation (salvage, verify), each phase a
  // share (weights[phase], any unit) of the step; `percent` is that phase's own bar.
  void Phase(int phase, int percent, const std::array<uint32_t, 3>& weights) {
    if (phase < 0 || phase > 2) return;
    parts_[size_t(phase)] = std::max(parts_[size_t(phase)], std::clamp(percent, 0, 100));
    uint64_t done = 0, total = 0;
    for (size_t i = 0; i < 3; ++i) {
      done += uint64_t(weights[i]) * uint64_t(parts_[i]);
      total += uint64_t(weights[i]) * 100;
    }
    At(done, total);
  }

 private:
  Progress* p_;
  int from_ = 0, to_ = 0;
  std::array<int, 3> parts_{};
};

// Slices of the overall bar, from timings of a 1.5 GB keyed table with a memo and a
// secondary index: the writer takes about half of a rebuild, the backup and the salvage
// (records are only checked, not copied) an eighth each.
constexpr int kBarJudged = 7, kBarSalvaged = 21, kBarWritten = 72, kBarVerified = 81,
              kBarAside = 82, kBarBackedUp = 95, kBarReported = 96;

// One rebuild, step by step: each step a method that either moves the rebuild on or
// returns the reason it stops. Until the journal exists a failure leaves no half-written
// family behind: Run() discards the files under <repair>/new (backups and reports stay).
class Rebuilder {
 public:
  Rebuilder(const std::string& givenPath, const RebuildOptions& o)
      : givenPath_(givenPath),
        o_(o),
        fs_(o.fs ? o.fs : DefaultFileSystem()),
        progress_(o.progress),
        bar_(&progress_) {}

  RebuildResult Run() {
    bar_.Step(0, kBarJudged);
    Status st = Steps();
    if (!st.ok()) {
      DiscardNewFiles();
      res_.status = std::move(st);
    }
    return std::move(res_);
  }

 private:
  Status Steps() {
    PARADOX_RETURN_IF_ERROR(CheckAuxiliaryNames());
    PARADOX_RETURN_IF_ERROR(TakeTable());
    JudgeMembers();
    bar_.Step(kBarJudged, kBarSalvaged);
    PARADOX_RETURN_IF_ERROR(Salvage());
    bar_.Step(kBarSalvaged, kBarWritten);
    PARADOX_RETURN_IF_ERROR(MakeOutputFolder());
    PARADOX_RETURN_IF_ERROR(WriteFamily());
    bar_.Step(kBarWritten, kBarVerified);
    PARADOX_RETURN_IF_ERROR(PlanSwap());
    PARADOX_RETURN_IF_ERROR(VerifyNewFamily());
    bar_.Step(kBarVerified, kBarAside);
    if (o_.dryRun) {
      res_.actions.push_back({"dry run", tableName_, -1, -1, "nothing was written"});
      progress_.Report(kPhaseOverall, 100);
      return Status::OK();
    }
    PARADOX_RETURN_IF_ERROR(WriteAuxiliaryTables());
    bar_.Step(kBarAside, kBarBackedUp);
    PARADOX_RETURN_IF_ERROR(BackUp());
    bar_.Step(kBarBackedUp, kBarReported);
    PARADOX_RETURN_IF_ERROR(WriteReport());
    bar_.Step(kBarReported, 100);
    PARADOX_RETURN_IF_ERROR(Swap());
    progress_.Report(kPhaseOverall, 100);
    return Status::OK();
  }

  // The auxiliary tables go into the repair folder and nowhere else.
  Status CheckAuxiliaryNames() const {
    for (const std::string* name :
         {&o_.backupName, &o_.keyViolationName, &o_.problemName, &o_.reportName}) {
      if (name->empty() || name->find_first_of("/\\") != std::string::npos || *name == "." ||
          *name == ".." || PathStem(*name).empty()) {
        return Status::InvalidArgument("\"" + *name +
                                       "\" is not a plain file name for an auxiliary table");
      }
    }
    return Status::OK();
  }

  // The table's real place, its lock (held to the end: one rebuild of a table at a time,
  // from whichever program), an interrupted rebuild finished, and its family.
  Status TakeTable() {
    if (!fs_->Exists(givenPath_) || fs_->IsDirectory(givenPath_))
      return Status::NotFound("table " + givenPath_ + " not found");
    // A table reached through a symbolic link is rebuilt where its files are, and the
    // link stays a link.
    auto real = fs_->ResolveLink(givenPath_);
    if (!real.ok()) return real.status();
    tablePath_ = *real;
    tableName_ = PathBaseName(tablePath_);
    dir_ = PathDirName(tablePath_);
    PARADOX_RETURN_IF_ERROR(CheckTableNotInUse(fs_, tablePath_));
    if (o_.dryRun) {
      // Writes nothing, so takes no lock; but a family being swapped is no sound source.
      if (FindRebuildState(fs_, tablePath_).running) return RebuildBusy(tablePath_);
    } else {
      auto lock = TakeRebuildLock(fs_, tablePath_);
      if (!lock.ok()) return lock.status();
      lock_ = std::move(lock).value();
      if (Status st = RecoverInterruptedRebuild(fs_, tablePath_); !st.ok()) {
        return Status::IOError("an earlier rebuild of " + tableName_ +
                                   " was interrupted and cannot be finished: " + st.message(),
                               st.error_number());
      }
    }
    auto fam = FindFamily(fs_, tablePath_);
    if (!fam.ok()) return fam.status();
    fam_ = std::move(fam).value();
    return Status::OK();
  }

  // What is wrong with the family as it stands. The salvage sees the data; the indexes
  // and the blob file are judged here (they are regenerated either way).
  void JudgeMembers() {
    if (fam_.px.empty() && fam_.mb.empty() && fam_.secondary.empty()) return;
    VerifyOptions vo;
    vo.fs = fs_;
    vo.checkValues = false;
    vo.maxFindings = 200;
    vo.progress = VerifyShare();
    VerifyReport before = VerifyTable(tablePath_, vo);
    for (const Finding& f : before.findings) {
      if (f.severity != Severity::kError) continue;
      membersInError_.insert(AsciiUpper(f.where.file));
      if (AsciiUpper(f.where.file) == AsciiUpper(tableName_))
        continue;  // the salvage reports these
      res_.actions.push_back({"found", f.where.file, f.where.block ? int64_t(f.where.block) : -1,
                              f.where.record, f.check + ": " + f.detail});
      ++res_.issues;
    }
  }

  // The verifier's phase bars are its own: only its share of the overall bar shows.
  ProgressFn VerifyShare() {
    return [this](int phase, int pct) { bar_.Phase(phase, pct, {2, 30, 68}); };
  }

  Status Salvage() {
    SalvageOptions so;
    so.structure = o_.structure;
    so.structureFrom = o_.structureFrom;
    so.keepBytes = false;
    // Keys to be sorted spill beside the lock this rebuild holds (a dry run writes nothing).
    if (!o_.dryRun) so.spillDir = RepairFolderRoot(tablePath_);
    // Its data phase ends with the sort and the search for key violations, which report
    // no progress of their own: data 99 stands for the reading done.
    so.progress = [this](int phase, int pct) {
      progress_.Report(phase, pct);
      bar_.Phase(phase, pct, {2, 0, 98});
    };
    auto sal = SalvageTable(fs_, fam_, so);
    if (!sal.ok()) return sal.status();
    sal_ = std::move(sal).value();
    res_.actions.insert(res_.actions.end(), sal_.actions.begin(), sal_.actions.end());
    res_.issues += sal_.issues;
    res_.blobsBroken = sal_.blobsBroken;
    return Status::OK();
  }

  // Where the new family goes: a new repair folder (or memory for a dry run).
  Status MakeOutputFolder() {
    if (o_.dryRun) {
      outFs_ = &mem_;
      newDir_ = "/dry-run/new";
      PARADOX_RETURN_IF_ERROR(mem_.MakeDir("/dry-run"));
      return mem_.MakeDir(newDir_);
    }
    auto folder = CreateRepairFolder(fs_, tablePath_, o_.now ? o_.now : std::time(nullptr));
    if (!folder.ok()) {
      return Status::IOError(
          "cannot create a repair folder beside " + tableName_ + ": " + folder.status().message(),
          folder.status().error_number());
    }
    repair_ = *folder;
    res_.repairFolder = repair_;
    newDir_ = PathJoin(repair_, "new");
    PARADOX_RETURN_IF_ERROR(fs_->MakeDir(newDir_));
    discard_ = newDir_;
    return Status::OK();
  }

  Status WriteFamily() {
    progress_.Report(kPhaseIndexes, 0);
    newDb_ = PathJoin(newDir_, tableName_);
    WriteOptions wo = WriterOptionsFor(sal_);
    wo.expectedRecords = sal_.recordPlaces.size();
    // The records' share of the writing against the indexes' (sorted and written in
    // Finish): each secondary index costs about what the records do.
    const uint64_t recordShare = 20, indexShare = 1 + 20 * sal_.schema.secondaryIndexes.size();
    wo.progress = [this, recordShare, indexShare](bool indexes, uint64_t done, uint64_t total) {
      if (total == 0) return;
      const uint64_t part = std::min(done, total) * 1000 / total;  // per mille of the part
      const uint64_t at = indexes ? recordShare * 1000 + indexShare * part : recordShare * part;
      progress_.Report(kPhaseIndexes, int(at / (recordShare + indexShare) / 10));
      bar_.At(at, (recordShare + indexShare) * 1000);
    };
    auto w = TableWriter::Create(outFs_, newDb_, sal_.schema, wo);
    if (!w.ok()) return w.status();
    // One record at a time from the original files: memory stays flat whatever the size.
    SalvagedRecord r;
    for (RecordPlace at : sal_.recordPlaces) {
      PARADOX_RETURN_IF_ERROR(sal_.source->Fetch(at, &r));
      Status st = (*w)->AddRawRecord(ByteSpan(r.raw), r.blobs);
      if (st.ok()) continue;
      if (!st.IsInvalidArgument()) return st;
      // The writer refuses what it cannot store faithfully: set it aside, never lose it.
      sal_.problems.push_back(
          {r.raw, r.block, int64_t(r.index), 0, "writer refused the record: " + st.message()});
      res_.actions.push_back(
          {"problem", tableName_, r.block, r.index, "writer refused the record: " + st.message()});
      ++res_.issues;
    }
    PARADOX_RETURN_IF_ERROR((*w)->Finish());
    res_.recordsKept = (*w)->recordCount();
    newFiles_ = (*w)->files();
    res_.membersRegenerated = uint32_t(newFiles_.size());
    for (const std::string& f : newFiles_)
      res_.actions.push_back({"regenerated", PathBaseName(f), -1, -1, "written anew"});
    if (!fam_.val.empty()) {
      std::string to = PathJoin(newDir_, PathBaseName(fam_.val));
      PARADOX_RETURN_IF_ERROR(
          CarryValFile(fs_, fam_.val, outFs_, to, (*w)->header(), &res_.actions));
      newFiles_.push_back(to);
    }
    progress_.Report(kPhaseIndexes, 100);
    res_.keyViolations = sal_.keyViolationPlaces.size();
    res_.problems = sal_.problems.size();
    res_.implausible = sal_.implausible;
    return Status::OK();
  }

  // New members take the names of the originals they replace; index and blob members
  // the new family does not have are moved into the repair folder; .TV and .FAM stay
  // (display settings and family list, not rebuilt).
  Status PlanSwap() {
    std::map<std::string, std::string> originalByExt;  // upper-case extension -> name
    for (const std::string& m : fam_.AllMembers())
      originalByExt[AsciiUpper(PathExtension(m))] = PathBaseName(m);
    std::set<std::string> replacedExt;
    for (const std::string& f : newFiles_) {
      std::string ext = AsciiUpper(PathExtension(f));
      SwapPlan::Put p;
      p.from = PathBaseName(f);
      auto it = originalByExt.find(ext);
      p.to = it != originalByExt.end() ? it->second : PathBaseName(f);
      p.replaces = it != originalByExt.end();
      if (p.replaces) {
        // A member that is a symbolic link: its file is replaced, the link stays.
        const std::string at = PathJoin(dir_, p.to);
        auto target = fs_->ResolveLink(at);
        if (!target.ok()) return target.status();
        if (*target != at) p.dest = *target;
      }
      replacedExt.insert(ext);
      plan_.puts.push_back(p);
    }
    for (const std::string& m : fam_.AllMembers()) {
      std::string ext = AsciiUpper(PathExtension(m));
      if (m == fam_.db || ext == ".TV" || ext == ".FAM" || replacedExt.count(ext)) continue;
      plan_.removes.push_back(PathBaseName(m));
    }
    // The DB goes last among the puts: until then the original's data stays in place.
    std::stable_partition(plan_.puts.begin(), plan_.puts.end(), [&](const SwapPlan::Put& p) {
      return AsciiUpper(p.from) != AsciiUpper(tableName_);
    });
    // A member the table cannot have (an index of an unkeyed table, an index half
    // without its other half, a blob file without blob fields) is moved out of the way;
    // it is damage where the verifier calls it so, and a note where engines ignore it.
    for (const std::string& r : plan_.removes)
      if (membersInError_.count(AsciiUpper(r))) ++res_.issues;
    return Status::OK();
  }

  // Before anything else depends on it.
  Status VerifyNewFamily() const {
    VerifyOptions vo;
    vo.fs = outFs_;
    vo.progress = const_cast<Rebuilder*>(this)->VerifyShare();
    VerifyReport vr = VerifyTable(newDb_, vo);
    if (vr.errors > 0 || vr.verdict != Verdict::kClean) {
      return Status::Corruption("the rebuilt table did not verify (" +
                                std::string(VerdictName(vr.verdict)) + "): " + FirstErrors(vr, 3) +
                                "; the original is unchanged");
    }
    return Status::OK();
  }

  // Both are written even when empty, so the folder itself shows that nothing was set aside.
  Status WriteAuxiliaryTables() {
    const std::string kv = PathJoin(repair_, o_.keyViolationName);
    if (Status st = WriteKeyViolationTable(fs_, kv, sal_); !st.ok())
      return Status::IOError("cannot write the key-violation table: " + st.message(),
                             st.error_number());
    if (!sal_.keyViolationPlaces.empty())
      res_.actions.push_back({"key violations", o_.keyViolationName, -1, -1,
                              std::to_string(sal_.keyViolationPlaces.size()) +
                                  " record(s) with a duplicate key or unique index value"});
    const std::string pt = PathJoin(repair_, o_.problemName);
    if (Status st = WriteProblemTable(fs_, pt, sal_.problems, sal_.header); !st.ok())
      return Status::IOError("cannot write the problem table: " + st.message(), st.error_number());
    if (!sal_.problems.empty())
      res_.actions.push_back(
          {"problems", o_.problemName, -1, -1,
           std::to_string(sal_.problems.size()) + " record(s) that could not be kept"});
    return Status::OK();
  }

  // Every original member, flushed, before any original is touched.
  Status BackUp() {
    const std::vector<std::string> members = fam_.AllMembers();
    uint64_t total = 0, before = 0;
    for (const std::string& m : members) total += SizeOf(m);
    for (const std::string& m : members) {
      std::string name = BackupName(o_.backupName, m, m == fam_.db);
      std::string to = PathJoin(repair_, name);
      if (fs_->Exists(to))
        return Status::IOError("backup " + to + " exists already; not overwritten");
      uint64_t copied = 0;
      Status st = fs_->Copy(m, to, [&](uint64_t n, uint64_t) {
        copied = n;
        bar_.At(before + n, total);
      });
      before += copied;
      if (!st.ok())
        return Status::IOError("cannot back up " + PathBaseName(m) + ": " + st.message(),
                               st.error_number());
      plan_.backups[AsciiUpper(PathBaseName(m))] = name;
      res_.actions.push_back({"backup", PathBaseName(m), -1, -1, "copied to " + name});
    }
    return fs_->SyncDir(repair_);
  }

  // Written before the swap, so that it exists whatever happens next.
  Status WriteReport() {
    for (const auto& p : plan_.puts)
      res_.actions.push_back(
          {"swap", p.to, -1, -1, p.replaces ? "replaced by the rebuilt file" : "added"});
    for (const auto& r : plan_.removes)
      res_.actions.push_back(
          {"swap", r, -1, -1, "no longer part of the family; moved to the repair folder"});
    if (Status st = WriteReportTable(fs_, PathJoin(repair_, o_.reportName), res_.actions); !st.ok())
      return Status::IOError("cannot write the report table: " + st.message(), st.error_number());
    return Status::OK();
  }

  // The journal, then the renames; a failed rename rolls back what was done.
  Status Swap() {
    uint64_t total = 0, before = 0;
    for (const auto& p : plan_.puts) total += SizeOf(PathJoin(newDir_, p.from));
    for (auto& p : plan_.puts) {
      uint64_t read = 0;
      auto print = Fingerprint(fs_, PathJoin(newDir_, p.from), [&](uint64_t n) {
        read = n;
        bar_.At(before + n, total + 1);  // the renames are the last bit
      });
      if (!print.ok()) return print.status();
      p.print = *print;
      before += read;
    }
    const std::string journal = PathJoin(repair_, kSwapJournal);
    if (Status st = WriteDurable(fs_, journal, JournalText(plan_)); !st.ok()) {
      // Not written, or not durably: no original was touched, so drop it entirely.
      if (fs_->Exists(journal + ".tmp")) (void)fs_->Remove(journal + ".tmp");
      if (fs_->Exists(journal)) (void)fs_->Remove(journal);
      return Status::IOError("cannot write the swap journal: " + st.message(), st.error_number());
    }
    discard_.clear();  // from here the new files belong to the swap
    size_t putsDone = 0, removesDone = 0;
    Status swap;
    for (const auto& r : plan_.removes) {
      swap = fs_->MakeDir(PathJoin(repair_, "removed"));
      if (swap.ok())
        swap = fs_->Rename(PathJoin(dir_, r), PathJoin(PathJoin(repair_, "removed"), r));
      if (!swap.ok()) break;
      ++removesDone;
    }
    for (size_t i = 0; swap.ok() && i < plan_.puts.size(); ++i) {
      swap = fs_->Rename(PathJoin(newDir_, plan_.puts[i].from), Dest(dir_, plan_.puts[i]));
      if (swap.ok()) ++putsDone;
    }
    if (swap.ok()) swap = fs_->SyncDir(dir_);
    if (!swap.ok()) return RollBackSwap(swap, journal, putsDone, removesDone);
    // Done: close the journal. A failure here leaves a journal whose roll-forward is a
    // no-op, so the rebuild stands.
    if (fs_->Rename(journal, PathJoin(repair_, kSwapJournalDone)).ok()) {
      (void)fs_->Remove(newDir_);  // empty now; a leftover folder is harmless
      (void)fs_->SyncDir(repair_);
    }
    return Status::OK();
  }

  Status RollBackSwap(const Status& swap, const std::string& journal, size_t putsDone,
                      size_t removesDone) {
    Status back = RollBack(fs_, dir_, repair_, plan_, putsDone, removesDone, plan_.backups);
    if (back.ok()) back = fs_->Rename(journal, PathJoin(repair_, kSwapJournalUndone));
    if (!back.ok()) {
      return Status::IOError("swapping the rebuilt files in failed (" + swap.message() +
                                 ") and so did restoring the original (" + back.message() +
                                 "); the backup is in " + repair_ +
                                 " and the next rebuild of this table finishes the swap",
                             swap.error_number());
    }
    discard_ = newDir_;  // rolled back: the rebuilt files are of no further use
    return Status::IOError("swapping the rebuilt files in failed: " + swap.message() +
                               "; the original table was restored",
                           swap.error_number());
  }

  // For the progress only: 0 when it cannot be told.
  uint64_t SizeOf(const std::string& path) const {
    auto size = fs_->FileSize(path);
    return size.ok() ? *size : 0;
  }

  void DiscardNewFiles() {
    if (discard_.empty()) return;
    auto names = fs_->ListDir(discard_);
    if (names.ok())
      for (const std::string& n : *names) (void)fs_->Remove(PathJoin(discard_, n));
    (void)fs_->Remove(discard_);
  }

  const std::string givenPath_;
  const RebuildOptions& o_;
  FileSystem* const fs_;
  Progress progress_;
  OverallBar bar_;
  RebuildResult res_;

  std::string tablePath_, tableName_, dir_;
  std::unique_ptr<RebuildLockHolder> lock_;
  FamilyFiles fam_;
  std::set<std::string> membersInError_;  // upper-case names of members with error findings
  SalvageResult sal_;

  MemFileSystem mem_;  // a dry run's output
  FileSystem* outFs_ = fs_;
  std::string repair_, newDir_, newDb_;
  std::string discard_;  // the new-family folder to remove if the rebuild stops
  std::vector<std::string> newFiles_;
  SwapPlan plan_;
};

}  // namespace

RebuildResult RebuildTable(const std::string& givenPath, const RebuildOptions& o) {
  return Rebuilder(givenPath, o).Run();
}

}  // namespace paradox
