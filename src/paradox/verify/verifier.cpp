// Verifier entry points, the check catalogue, the verdict and progress bookkeeping,
// and the family-level checks (members, lock files).
#include "paradox/verify/verifier.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "paradox/format/field_rules.h"
#include "paradox/format/repair_traces.h"
#include "paradox/verify/verify_internal.h"

namespace paradox {

namespace {

using S = Severity;
using C = FindingClass;

// The catalogue entry of a value check: an invalid value is an error a rebuild repairs
// (its record goes to PROBLEM.DB), an odd one a note.
CheckInfo ValueCheck(FieldIssue issue, std::string_view title) {
  const FieldIssueInfo& info = IssueInfo(issue);
  return {info.check, info.invalid ? S::kError : S::kWarning,
          info.invalid ? C::kRepairable : C::kNote, title};
}

const std::vector<CheckInfo> kChecks = {
    // The .DB file as a whole.
    {"file.missing", S::kError, C::kIncomplete, "table file not found"},
    {"file.unreadable", S::kError, C::kIncomplete,
     "a file of the family cannot be opened or read (permission, I/O)"},
    {"file.not-a-file", S::kError, C::kIncomplete, "table path is a folder"},
    {"file.truncated", S::kError, C::kRepairable,
     "file ends before the blocks the header declares"},
    {"file.short-last-block", S::kWarning, C::kNote,
     "file ends inside the last block after its live records"},
    {"file.trailing-data", S::kWarning, C::kNote, "file is longer than header + blocks"},
    // Header (fixed part, extension, variable part).
    {"header.too-short", S::kError, C::kNotTable, "file too short for a Paradox header"},
    {"header.file-type", S::kError, C::kNotTable, "file type byte is not that of this member"},
    {"header.version", S::kError, C::kNotTable, "unknown table level"},
    {"header.damaged", S::kError, C::kStructure,
     "header does not say it is a table, but its family, name area or data blocks do"},
    {"header.block-size", S::kError, C::kStructure, "block size code invalid"},
    {"header.block-size-unusual", S::kWarning, C::kNote, "block size code unusual"},
    {"header.header-size", S::kError, C::kStructure, "header size inconsistent with its contents"},
    {"header.field-count", S::kError, C::kStructure, "field count out of range"},
    {"header.key-fields", S::kError, C::kStructure, "key field count inconsistent"},
    {"header.variable-part", S::kError, C::kStructure, "field descriptors/names cannot be read"},
    {"header.field-type", S::kError, C::kStructure, "field descriptor invalid"},
    {"header.record-size", S::kError, C::kRepairable,
     "record size differs from the sum of field sizes"},
    {"header.field-layout", S::kError, C::kStructure, "field list contradicts the header's layout"},
    {"header.record-too-big", S::kError, C::kStructure, "record does not fit in a block"},
    {"header.field-name", S::kWarning, C::kNote, "field name empty, duplicate or too long"},
    {"header.version-copy", S::kError, C::kRepairable, "level copies at 0x58/0x5A disagree"},
    {"header.offsets", S::kError, C::kRepairable,
     "header offsets 0x51/0x66/0x6E disagree with the layout"},
    {"header.ram-pointers", S::kWarning, C::kNote,
     "header pointer images inconsistent (names or count changed)"},
    {"header.padding", S::kWarning, C::kNote, "non-zero bytes after the used header"},
    {"header.marker", S::kWarning, C::kNote, "constant header bytes differ"},
    {"header.field-numbers", S::kWarning, C::kNote, "field numbers not 1..n"},
    {"header.rebuild-flag", S::kError, C::kRepairable, "header says the table needs a rebuild"},
    {"header.autoinc", S::kWarning, C::kNote, "autoincrement counter below the highest value"},
    {"header.max-blocks", S::kWarning, C::kNote, "0x3A differs from the block count"},
    {"header.record-count", S::kError, C::kRepairable,
     "records over the chain differ from the header"},
    {"header.level-type", S::kWarning, C::kNote, "field type newer than the table level"},
    {"codepage.unknown", S::kWarning, C::kNote,
     "text encoding unknown: neither code page nor sort order names one"},
    // Block chain and free list.
    {"chain.empty-table", S::kError, C::kRepairable, "empty table with non-zero chain fields"},
    {"chain.first-block", S::kError, C::kRepairable, "first block out of range"},
    {"chain.first-block-unusual", S::kWarning, C::kNote, "first block is not 1"},
    {"chain.out-of-range", S::kError, C::kRepairable, "block link out of range"},
    {"chain.beyond-eof", S::kError, C::kRepairable, "chained block beyond the end of the file"},
    {"chain.cycle", S::kError, C::kRepairable, "data chain reaches a block twice"},
    {"chain.prev-link", S::kError, C::kRepairable, "previous-block link wrong"},
    {"chain.last-block", S::kError, C::kRepairable, "chain does not end at the last block"},
    {"chain.length", S::kError, C::kRepairable, "chain length differs from 0x0A"},
    {"freelist.out-of-range", S::kError, C::kRepairable, "free-list link out of range"},
    {"freelist.cycle", S::kError, C::kRepairable, "free list reaches a block twice"},
    {"freelist.cross-link", S::kError, C::kRepairable, "block both chained and free"},
    {"blocks.orphan", S::kWarning, C::kNote, "block in neither the chain nor the free list"},
    {"block.record-count", S::kError, C::kRepairable, "block record count (addDataSize) invalid"},
    {"block.empty", S::kWarning, C::kNote, "chained block without records"},
    // Records and field values.
    // Their ids and severities are field_rules.h's.
    ValueCheck(FieldIssue::kLogical, "logical byte invalid"),
    ValueCheck(FieldIssue::kDateRange, "date outside the years -9999..9999"),
    ValueCheck(FieldIssue::kDateEarly, "date before 0001-01-01"),
    ValueCheck(FieldIssue::kTime, "time out of range"),
    ValueCheck(FieldIssue::kTimestampRange,
               "timestamp outside the years -9999..9999, infinite or NaN"),
    ValueCheck(FieldIssue::kBcdFirstByte, "BCD first byte invalid"),
    ValueCheck(FieldIssue::kBcdDigit, "BCD digit above 9"),
    ValueCheck(FieldIssue::kAlphaTail, "alpha bytes after the terminating NUL"),
    ValueCheck(FieldIssue::kNan, "number is NaN"),
    // Records against the table's other data (field_profile.h).
    {"block.implausible", S::kError, C::kRepairable,
     "block whose records mostly do not look like the table's other data"},
    {"record.implausible", S::kWarning, C::kNote,
     "record that does not look like the table's other data"},
    {"key.order", S::kError, C::kRepairable, "keys out of order"},
    {"key.duplicate", S::kError, C::kRepairable, "duplicate key"},
    {"key.blank", S::kWarning, C::kNote, "blank key field"},
    {"key.sort-order-unknown", S::kWarning, C::kNote,
     "sort order not known: alpha key order left unchecked"},
    // Blobs.
    {"mb.missing", S::kError, C::kRepairable, "blob file missing while records point into it"},
    {"mb.unused", S::kWarning, C::kNote, "blob file present but the table has no blob fields"},
    {"mb.unreadable", S::kError, C::kRepairable, "blob file vanished, or ends before a block"},
    {"mb.size", S::kError, C::kRepairable, "blob file size not a multiple of 4096"},
    {"mb.header", S::kError, C::kRepairable, "blob file header invalid"},
    {"mb.header-constant", S::kWarning, C::kNote, "blob file header constant differs"},
    {"mb.block", S::kError, C::kRepairable, "blob block invalid"},
    {"mb.slot", S::kWarning, C::kNote, "suballocated slot inconsistent"},
    {"blob.pointer", S::kError, C::kRepairable, "blob pointer does not resolve"},
    {"blob.length", S::kError, C::kRepairable, "blob length differs from the blob file"},
    {"blob.leader", S::kWarning, C::kNote, "record leader differs from the stored blob"},
    {"blob.mod-number", S::kWarning, C::kNote, "blob modification number differs"},
    // Indexes.
    {"index.px-missing", S::kError, C::kRepairable, "keyed table without its primary index"},
    {"index.px-unexpected", S::kWarning, C::kNote, "primary index beside an unkeyed table"},
    {"index.unreadable", S::kError, C::kRepairable,
     "index file vanished, or ends before its header or a block"},
    {"index.header", S::kError, C::kRepairable, "index header disagrees with its table"},
    {"index.chain", S::kError, C::kRepairable, "index block list broken"},
    {"index.tree", S::kError, C::kRepairable, "index tree structure broken"},
    {"index.order", S::kError, C::kRepairable, "index entries out of order"},
    {"index.count", S::kError, C::kRepairable, "index record count differs from the data"},
    {"index.block-map", S::kError, C::kRepairable, "index leaf does not map the data chain"},
    {"index.first-key", S::kError, C::kRepairable, "index key differs from the block's first key"},
    {"index.entries", S::kError, C::kRepairable, "index entry total differs from its header"},
    {"index.sync", S::kWarning, C::kNote,
     "index sync counter differs and its contents disagree with the data"},
    {"index.y-missing", S::kError, C::kRepairable, "secondary index without its Y file"},
    {"index.x-missing", S::kWarning, C::kNote, "Y file without its X file"},
    {"index.x-records", S::kError, C::kRepairable,
     "secondary index record count differs from the table"},
    {"index.x-fields", S::kError, C::kRepairable, "secondary index fields disagree with the table"},
    {"index.x-stale", S::kWarning, C::kNote,
     "non-maintained secondary index out of date (refreshed on use)"},
    // Engines leave stale hints in normal use and only start their search there.
    {"index.x-hint", S::kWarning, C::kNote, "secondary index block hint stale"},
    {"index.x-hint-range", S::kError, C::kRepairable,
     "secondary index block hint outside the table"},
    // The engine looks a case-insensitive index up with upper-cased keys.
    {"index.x-case", S::kError, C::kRepairable,
     "case-insensitive index key not in the driver's upper case"},
    // Other members and the folder.
    {"val.stale", S::kWarning, C::kNote, ".VAL written for another table version"},
    {"val.corrupt", S::kWarning, C::kNote, ".VAL unreadable"},
    {"val.fields", S::kWarning, C::kNote, ".VAL field list differs from the table's"},
    {"family.level", S::kWarning, C::kNote, "member level or sort order differs from the table"},
    {"lock.present", S::kWarning, C::kNote, "lock files in the folder (table may be in use)"},
    {"lock.held", S::kWarning, C::kNote, "another process holds a lock on the table"},
    {"rebuild.interrupted", S::kError, C::kRepairable,
     "a rebuild stopped part way through swapping its files in"},
    {"rebuild.running", S::kError, C::kIncomplete,
     "a rebuild is swapping the table's files in right now"},
    {"crypt.encrypted", S::kWarning, C::kNote,
     "table is password-protected (checked after decryption)"},
    {"crypt.bad-key", S::kError, C::kIncomplete,
     "decrypted blocks make no sense (wrong key or damage)"},
};

}  // namespace

const std::vector<CheckInfo>& AllChecks() {
  return kChecks;
}

const CheckInfo* FindCheck(std::string_view id) {
  for (const CheckInfo& c : kChecks)
    if (c.id == id) return &c;
  return nullptr;
}

const char* SeverityName(Severity s) {
  return s == Severity::kError ? "error" : "warning";
}

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::kClean:
      return "clean";
    case Verdict::kRepairable:
      return "repairable";
    case Verdict::kIncomplete:
      return "incomplete";
    case Verdict::kNeedsStructure:
      return "needs-structure";
    case Verdict::kNotRebuildable:
      return "not-rebuildable";
  }
  return "?";
}

std::string Finding::ToString() const {
  std::string s = SeverityName(severity);
  s += ' ';
  s += check;
  s += ' ';
  s += where.ToString();
  if (!field.empty()) s += " field \"" + field + "\"";
  s += ": ";
  s += detail;
  return s;
}

bool VerifyReport::Has(std::string_view check) const {
  return Count(check) > 0;
}

size_t VerifyReport::Count(std::string_view check) const {
  return size_t(std::count_if(findings.begin(), findings.end(),
                              [&](const Finding& f) { return f.check == check; }));
}

namespace verify {

static int VerdictRank(FindingClass k, Severity s) {
  switch (k) {
    case FindingClass::kNotTable:
      return 4;
    case FindingClass::kStructure:
      return 3;
    case FindingClass::kIncomplete:
      return 2;
    case FindingClass::kRepairable:
      return s == Severity::kError ? 1 : 0;
    case FindingClass::kNote:
      return 0;
  }
  return 0;
}

bool Sink::Tally(std::string_view check, Severity* sev, FindingClass* klass) {
  const CheckInfo* info = FindCheck(check);
  *sev = info ? info->severity : Severity::kError;
  *klass = info ? info->klass : FindingClass::kRepairable;
  // Index files are regenerated from the data: they never make the table unrebuildable.
  // A file the system refuses to read is another matter: the check is incomplete, and a
  // rebuild, which backs up every member first, cannot proceed either.
  if (indexScope_ && check != "file.unreadable" &&
      (*klass == FindingClass::kStructure || *klass == FindingClass::kNotTable ||
       *klass == FindingClass::kIncomplete))
    *klass = *sev == Severity::kError ? FindingClass::kRepairable : FindingClass::kNote;
  if (*sev == Severity::kError)
    ++report_->errors;
  else
    ++report_->warnings;
  int rank = VerdictRank(*klass, *sev);
  if (rank > int(report_->verdict)) report_->verdict = static_cast<Verdict>(rank);
  if (report_->findings.size() >= budget_) {
    ++report_->suppressed;
    return false;
  }
  return true;
}

bool Sink::Wanted(std::string_view check) {
  if (!Full()) return true;
  Severity sev;
  FindingClass klass;
  Tally(check, &sev, &klass);
  return false;
}

void Sink::Add(std::string_view check, Location where, std::string detail, std::string field) {
  Severity sev;
  FindingClass klass;
  if (!Tally(check, &sev, &klass)) return;
  Finding f;
  f.check = std::string(check);
  f.severity = sev;
  f.klass = klass;
  f.where = std::move(where);
  f.field = std::move(field);
  f.detail = std::move(detail);
  report_->findings.push_back(std::move(f));
}

bool OpenForCheck(Context& ctx, const std::string& path, std::string_view missingCheck,
                  std::unique_ptr<File>* file, uint64_t* size) {
  const std::string name = BaseName(path);
  Result<std::unique_ptr<File>> f = ctx.fs->Open(path, OpenMode::kRead);
  if (!f.ok()) {
    ctx.sink->Add(f.status().IsNotFound() ? missingCheck : "file.unreadable", Location::At(name),
                  "cannot open " + name + ": " + f.status().ToString());
    return false;
  }
  Result<uint64_t> sz = f.value()->Size();
  if (!sz.ok()) {
    ctx.sink->Add("file.unreadable", Location::At(name),
                  "cannot size " + name + ": " + sz.status().ToString());
    return false;
  }
  *file = std::move(f.value());
  *size = *sz;
  return true;
}

std::string BaseName(const std::string& path) {
  return PathBaseName(path);
}

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace verify

namespace {

using namespace verify;

Location At(const std::string& file) {
  return Location::At(file);
}

void CheckMemberLevel(Context& ctx, const std::string& path, const TableHeader& table) {
  Result<TableHeader> h = ReadHeader(ctx.fs, path);
  if (!h.ok()) return;  // the member's own check reports it
  if (h->fixed.fileVersionId != table.fixed.fileVersionId ||
      h->fixed.sortOrder != table.fixed.sortOrder)
    ctx.sink->Add("family.level", At(BaseName(path)),
                  "level/sort order is " + std::to_string(h->fixed.fileVersionId) + "/" +
                      Hex(h->fixed.sortOrder) + " but should be " +
                      std::to_string(table.fixed.fileVersionId) + "/" + Hex(table.fixed.sortOrder));
}

void CheckFamily(Context& ctx, const DataWalk& table, const std::string& dbPath) {
  const VerifyOptions& o = *ctx.options;
  const std::string dbName = BaseName(dbPath);
  // Lock files: report, never touch.
  for (const std::string& lock : ctx.family.lockFiles)
    ctx.sink->Add("lock.present", At(BaseName(lock)),
                  "lock file " + BaseName(lock) + " present: close every program using the folder");
  Result<bool> locked = ctx.fs->IsLocked(dbPath);
  if (locked.ok() && *locked)
    ctx.sink->Add("lock.held", At(dbName), "another process holds a lock on " + dbName);

  if (!table.ok) return;
  const TableHeader& h = table.header;
  bool hasBlobFields = std::any_of(h.fields.begin(), h.fields.end(),
                                   [](const FieldDesc& f) { return IsBlobType(f.type); });
  if (!ctx.family.val.empty()) CheckValFile(ctx, ctx.family.val, h);
  if (!ctx.family.mb.empty() && !hasBlobFields)
    ctx.sink->Add("mb.unused", At(BaseName(ctx.family.mb)),
                  "blob file present but " + dbName + " has no blob fields");

  if (!o.checkIndexes) return;
  uint64_t filesDone = 0;  // bytes of the index files checked
  ctx.progress->Report(1, 0);
  ctx.sink->SetIndexScope(true);
  if (h.IsKeyed()) {
    if (ctx.family.px.empty())
      ctx.sink->Add("index.px-missing", At(dbName),
                    "keyed table has no primary index (.PX): an engine cannot open it; a rebuild "
                    "creates it");
    else {
      CheckMemberLevel(ctx, ctx.family.px, h);
      CheckIndexFile(ctx, ctx.family.px, IndexRole::kPrimary, table);
    }
  } else if (!ctx.family.px.empty()) {
    ctx.sink->Add("index.px-unexpected", At(BaseName(ctx.family.px)),
                  "primary index present but " + dbName + " is unkeyed");
  }
  // Each file counts whole once checked, however much of it the checks read.
  auto fileDone = [&](const std::string& path) {
    Result<uint64_t> n = path.empty() ? Result<uint64_t>(uint64_t{0}) : ctx.fs->FileSize(path);
    ctx.indexBytesDone = (filesDone += n.ok() ? *n : 0);
    ctx.progress->Report(1, ctx.indexBytesDone, ctx.indexBytesTotal);
  };
  fileDone(ctx.family.px);
  for (const SecondaryFiles& sec : ctx.family.secondary) {
    if (sec.x.empty()) {
      ctx.sink->Add("index.x-missing", At(BaseName(sec.y)), "no X file for this Y file");
    } else {
      CheckMemberLevel(ctx, sec.x, h);
      DataWalk x = CheckDataFile(ctx, sec.x, DataRole::kSecondary, &table);
      if (sec.y.empty())
        ctx.sink->Add("index.y-missing", At(BaseName(sec.x)), "secondary index has no Y file");
      else if (x.ok)
        CheckIndexFile(ctx, sec.y, IndexRole::kSecondaryY, x);
    }
    fileDone(sec.x);
    fileDone(sec.y);
  }
  ctx.sink->SetIndexScope(false);
  ctx.progress->Report(1, 100);
}

// A rebuild's swap journal left open: the family may be part old, part new members.
void CheckRebuildState(Context& ctx, const std::string& dbPath) {
  const RebuildState state = FindRebuildState(ctx.fs, dbPath);
  const std::string dbName = BaseName(dbPath);
  for (const std::string& repair : state.openJournals) {
    if (state.running)
      ctx.sink->Add("rebuild.running", At(dbName),
                    "a rebuild of " + dbName + " is swapping its files in (repair folder " +
                        repair + "); verify again once it has finished");
    else
      ctx.sink->Add(
          "rebuild.interrupted", At(dbName),
          "a rebuild of " + dbName + " stopped part way through swapping its files in (" +
              PathJoin(repair, "swap.journal") +
              " is still open), so the files may be part old, part new: run the rebuild "
              "again; it finishes that swap, or restores the original from the backup in " +
              repair);
  }
}

VerifyReport Run(const std::string& givenPath, const VerifyOptions& options) {
  VerifyReport report;
  report.table = givenPath;
  Sink sink(&report, options.maxFindings);
  Progress progress(options.progress);
  Context ctx;
  ctx.fs = options.fs ? options.fs : DefaultFileSystem();
  ctx.options = &options;
  ctx.report = &report;
  ctx.sink = &sink;
  ctx.progress = &progress;

  progress.Report(8, 0);
  // Through a symbolic link, the table is the family where the link leads (as a rebuild
  // sees it), not whatever lies beside the link.
  std::string dbPath = givenPath;
  {
    const std::string name = BaseName(dbPath);
    if (ctx.fs->IsDirectory(dbPath)) {
      sink.Add("file.not-a-file", At(name), dbPath + " is a folder, not a table file");
      progress.Report(8, 100);
      return report;
    }
    if (!ctx.fs->Exists(dbPath)) {
      sink.Add("file.missing", At(name), dbPath + " does not exist");
      progress.Report(8, 100);
      return report;
    }
    if (Result<std::string> real = ctx.fs->ResolveLink(givenPath); real.ok()) dbPath = *real;
    Result<FamilyFiles> fam = FindFamily(ctx.fs, dbPath);
    if (fam.ok()) {
      ctx.family = std::move(fam.value());
      ctx.haveFamily = true;
      for (const std::string& m : ctx.family.AllMembers())
        report.summary.members.push_back(BaseName(m));
    }
  }
  {
    // The overall phase moves by the phases' shares of the bytes to read; the header
    // phase (the block headers) weighs a sixteenth of the data.
    auto size = [&](const std::string& path) -> uint64_t {
      if (path.empty()) return 0;
      Result<uint64_t> n = ctx.fs->FileSize(path);
      return n.ok() ? *n : 0;
    };
    const uint64_t db = size(dbPath);
    uint64_t indexes = 0;
    if (ctx.haveFamily && options.checkIndexes) {
      indexes += size(ctx.family.px);
      for (const SecondaryFiles& sec : ctx.family.secondary) indexes += size(sec.x) + size(sec.y);
    }
    ctx.indexBytesTotal = indexes;
    const uint64_t mb = ctx.haveFamily && options.checkBlobs ? size(ctx.family.mb) : 0;
    progress.SetWeights(db / 16 + 1, indexes, db + mb);
  }
  DataWalk table = CheckDataFile(ctx, dbPath, DataRole::kTable, nullptr);
  if (ctx.haveFamily) CheckFamily(ctx, table, dbPath);
  CheckRebuildState(ctx, dbPath);
  progress.Report(0, 100);
  progress.Report(1, 100);
  progress.Report(2, 100);
  progress.Report(8, 100);
  return report;
}

}  // namespace

VerifyReport VerifyTable(const std::string& dbPath, const VerifyOptions& options) {
  return Run(dbPath, options);
}

VerifyReport VerifyBytes(ByteSpan data, const VerifyOptions& options) {
  // A private in-memory folder holding only this file: nothing on disk is touched.
  MemFileSystem mem;
  mem.SetContents("memory/MEMORY.DB", Bytes(data.begin(), data.end()));
  VerifyOptions o = options;
  o.fs = &mem;
  VerifyReport r = Run("memory/MEMORY.DB", o);
  return r;
}

}  // namespace paradox
