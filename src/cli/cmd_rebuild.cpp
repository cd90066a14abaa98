// rekasto rebuild: salvages each table into a new family, keeps the original as a backup
// in a repair folder beside it, and swaps the rebuilt files in. Exit 0: every table was
// clean and is rebuilt; 1: damage was found and repaired (records may have been set
// aside); 2: a table could not be rebuilt (it is left as it was).
#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "batch.h"
#include "cli.h"
#include "paradox/repair/rebuild.h"

namespace rekasto {

namespace {

const char* kUsage =
    "rebuild [--dry-run] [--json] [--verbose] [--recursive] [--jobs N] [--structure-from=OTHER.DB] "
    "TABLE|FOLDER...";

const char* kHelp =
    "Rebuilds each table: every readable record is kept, records that cannot be kept go\n"
    "to PROBLEM.DB, duplicate keys to KEYVIOL.DB, and every index and the blob file are\n"
    "written anew. The original family is kept as Backup.* in a new folder\n"
    "<TABLE>.rekasto/<time>/ beside the table, with the report table Rebuild.DB.\n"
    "  -n, --dry-run     salvage and check only; write nothing\n"
    "  --json            one JSON document {\"tables\":[...]} on standard output\n"
    "  -v, --verbose     list every action (backups, regenerated files, the swap)\n"
    "  -r, --recursive   rebuild the tables (*.db, any case) in each FOLDER and its\n"
    "                    subfolders; repair folders (*.rekasto) are skipped\n"
    "  -j, --jobs=N      rebuild N tables at once (default: the number of cores)\n"
    "  --structure-from=OTHER.DB\n"
    "                    read the data with the structure of OTHER.DB (a backup, an\n"
    "                    older copy, an empty table of the same layout) when neither the\n"
    "                    table's header, nor its family, nor an earlier rebuild's backup\n"
    "                    gives one; it is checked against the data first, and a misfit\n"
    "                    is refused with nothing written\n"
    "Several tables end with a summary line. Progress goes to standard error when it\n"
    "is a terminal.\n"
    "Exit: 0 all tables were clean, 1 damage was repaired, 2 a table could not be "
    "rebuilt.\n";

using Json = nlohmann::ordered_json;

// Compact form of an action for the text output.
std::string ActionLine(const paradox::RebuildAction& a) {
  std::string s = "  " + a.action + ": " + a.file;
  if (a.block >= 0) s += " block " + std::to_string(a.block);
  if (a.record >= 0) s += " record " + std::to_string(a.record);
  if (!a.detail.empty()) s += ": " + a.detail;
  return s;
}

bool Routine(const paradox::RebuildAction& a) {
  return a.action == "regenerated" || a.action == "backup" || a.action == "swap";
}

Json ResultJson(const std::string& table, const paradox::RebuildResult& r, bool dryRun) {
  Json j;
  j["table"] = ValidUtf8(table);
  j["ok"] = r.status.ok();
  j["dryRun"] = dryRun;
  if (!r.status.ok()) {
    j["error"] = ValidUtf8(r.status.message());
    j["errorKind"] = paradox::CodeName(r.status.code());
  }
  j["recordsKept"] = r.recordsKept;
  j["keyViolations"] = r.keyViolations;
  j["problems"] = r.problems;
  j["implausible"] = r.implausible;
  j["blobsBroken"] = r.blobsBroken;
  j["membersRegenerated"] = r.membersRegenerated;
  j["issues"] = r.issues;
  j["repairFolder"] = r.repairFolder.empty() ? Json(nullptr) : Json(ValidUtf8(r.repairFolder));
  Json actions = Json::array();
  for (const paradox::RebuildAction& a : r.actions) {
    actions.push_back({{"action", a.action},
                       {"file", ValidUtf8(a.file)},
                       {"block", a.block >= 0 ? Json(a.block) : Json(nullptr)},
                       {"record", a.record >= 0 ? Json(a.record) : Json(nullptr)},
                       {"detail", ValidUtf8(a.detail)}});
  }
  j["actions"] = std::move(actions);
  return j;
}

void WriteText(std::ostream& os, const std::string& table, const paradox::RebuildResult& r,
               bool dryRun, bool verbose) {
  os << table << ": ";
  if (!r.status.ok()) {
    os << "not rebuilt: " << r.status.message() << "\n";
    return;
  }
  os << (dryRun ? "would keep " : "kept ") << r.recordsKept << " record(s)";
  if (r.keyViolations) os << ", " << r.keyViolations << " key violation(s) set aside";
  if (r.problems) os << ", " << r.problems << " problem record(s) set aside";
  if (r.implausible) os << " (" << r.implausible << " of them unlike the table's other data)";
  if (r.blobsBroken) os << ", " << r.blobsBroken << " blob value(s) cut to their leader";
  os << "; " << r.membersRegenerated << " family member(s) "
     << (dryRun ? "to regenerate" : "regenerated") << "\n";
  if (r.issues == 0)
    os << "  no damage found\n";
  else
    os << "  " << r.issues
       << (dryRun ? " issue(s) found; a rebuild repairs them\n" : " issue(s) found and repaired\n");
  size_t shown = 0, hidden = 0;
  for (const auto& a : r.actions) {
    if (!verbose && Routine(a)) continue;
    if (!verbose && shown >= 50) {
      ++hidden;
      continue;
    }
    os << ActionLine(a) << "\n";
    ++shown;
  }
  if (hidden) os << "  ... and " << hidden << " more (see the report table, or use --verbose)\n";
  if (!r.repairFolder.empty()) os << "  backup and report tables: " << r.repairFolder << "\n";
}

// 0 clean, 1 damage found (and repaired unless dry), 2 not rebuilt.
int ExitOf(const paradox::RebuildResult& r) {
  if (!r.status.ok()) return kExitFailed;
  return r.issues > 0 || r.problems > 0 || r.keyViolations > 0 || r.blobsBroken > 0
             ? int(kExitProblems)
             : int(kExitOk);
}

// rebuild over the tables of the command line.
class RebuildCommand : public BatchCommand {
 public:
  explicit RebuildCommand(Io& io) : BatchCommand(io, "rebuild", kUsage, kHelp) {}

 private:
  std::vector<Option> Options() const override {
    return {{"json", 0, false},        {"dry-run", 'n', false}, {"verbose", 'v', false},
            {"recursive", 'r', false}, {"jobs", 'j', true},     {"structure-from", 0, true}};
  }
  std::optional<int> TakeOptions(const ParsedArgs& parsed) override {
    dryRun_ = parsed.Has("dry-run");
    verbose_ = parsed.Has("verbose");
    if (const std::string* from = parsed.Value("structure-from")) {
      if (from->empty()) {
        Error(io_, "rebuild: --structure-from needs a table");
        return int(kExitFailed);
      }
      structureFrom_ = *from;
    }
    return std::nullopt;
  }
  std::optional<int> Prepare() override {
    results_.resize(items_.size());
    return std::nullopt;
  }
  void Work(size_t t) override;
  const char* StateName(size_t t) const override;
  void Report(size_t t) override;
  const char* ProblemsName() const override { return "repaired"; }
  void WriteSummaryLine() const override;

  bool dryRun_ = false, verbose_ = false;
  std::string structureFrom_;
  std::vector<paradox::RebuildResult> results_;
};

void RebuildCommand::Work(size_t t) {
  paradox::RebuildResult& r = results_[t];
  const BatchItem& item = items_[t];
  r.status = ItemStatus(item, io_.fs);
  // A table whose header is too far gone to show what it is can still take a structure
  // from elsewhere: the rebuild checks it against the data, and refuses a misfit.
  const bool headerGone = !structureFrom_.empty() && item.error.empty() &&
                          r.status.IsInvalidArgument() && io_.fs->Exists(item.path) &&
                          !io_.fs->IsDirectory(item.path);
  if (!r.status.ok() && !headerGone) return;
  paradox::RebuildOptions options;
  options.fs = io_.fs;
  options.dryRun = dryRun_;
  options.structureFrom = structureFrom_;
  // One table at a time on a terminal: a big one shows how far it is.
  if (items_.size() == 1)
    options.progress = TerminalProgress(io_, dryRun_ ? "checking" : "rebuilding", item.path);
  r = paradox::RebuildTable(item.path, options);
}

const char* RebuildCommand::StateName(size_t t) const {
  const int e = ExitOf(results_[t]);
  return e == kExitOk         ? "clean"
         : e == kExitProblems ? (dryRun_ ? "repairable" : "repaired")
                              : "failed";
}

void RebuildCommand::Report(size_t t) {
  const paradox::RebuildResult& r = results_[t];
  const std::string& table = items_[t].path;
  tally_.Count(ExitOf(r));
  if (json_)
    tables_.push_back(ResultJson(table, r, dryRun_));
  else if (!r.status.ok())
    Error(io_, OnTable(table, r.status.message()));
  else
    WriteText(io_.out, table, r, dryRun_, verbose_);
}

void RebuildCommand::WriteSummaryLine() const {
  io_.out << items_.size() << " tables: " << tally_.ok << " clean, " << tally_.problems
          << (dryRun_ ? " repairable, " : " repaired, ") << tally_.failed << " failed\n";
}

}  // namespace

REKASTO_COMMAND({"rebuild", kUsage,
                 "rebuild damaged tables or folders of them (backup kept beside them)",
                 &RunBatchCommand<RebuildCommand>});

}  // namespace rekasto
