// rekasto verify: findings and verdict of each table; exit 0 clean, 1 problems, 2 not checked.
#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <ostream>

#include "batch.h"
#include "cli.h"
#include "paradox/repair/structure_sources.h"
#include "paradox/verify/verifier.h"
#include "report.h"

namespace rekasto {

namespace {

const char* kUsage =
    "verify [--json] [--max-findings N] [--quiet] [--recursive] [--jobs N] [--report FILE.html] "
    "TABLE|FOLDER... | --list-checks";

const char* kHelp =
    "Checks each table family and prints its findings and verdict.\n"
    "  --json              one JSON document {\"tables\":[...]} on standard output\n"
    "  --max-findings=N    record at most N findings per table (default 500)\n"
    "  -q, --quiet         verdict lines only\n"
    "  -r, --recursive     check the tables (*.db, any case) in each FOLDER and its\n"
    "                      subfolders; repair folders (*.rekasto) are skipped\n"
    "  -j, --jobs=N        check N tables at once (default: the number of cores)\n"
    "  --list-checks       the check ids, their severity and effect on the verdict\n"
    "  --report=FILE.html  also write one self-contained page (one table): facts,\n"
    "                      findings and a map of the blocks by their state\n"
    "Several tables end with a summary line. Progress goes to standard error when it\n"
    "is a terminal.\n"
    "Exit: 0 all clean, 1 problems found, 2 a table could not be checked.\n";

using Json = nlohmann::ordered_json;

Json LocationJson(const paradox::Location& l, const std::string& field) {
  Json j;
  j["file"] = ValidUtf8(l.file);
  j["block"] = l.block ? Json(l.block) : Json(nullptr);
  j["record"] = l.record >= 0 ? Json(l.record) : Json(nullptr);
  j["offset"] = l.offset ? Json(*l.offset) : Json(nullptr);
  j["field"] = field.empty() ? Json(nullptr) : Json(ValidUtf8(field));
  return j;
}

// Exit code for one verdict: clean 0; repairable or needing a manual structure 1;
// not checked (or not a table at all) 2.
int ExitFor(paradox::Verdict v) {
  switch (v) {
    case paradox::Verdict::kClean:
      return kExitOk;
    case paradox::Verdict::kRepairable:
    case paradox::Verdict::kNeedsStructure:
      return kExitProblems;
    default:
      return kExitFailed;
  }
}

const char* VerdictText(paradox::Verdict v) {
  switch (v) {
    case paradox::Verdict::kClean:
      return "no errors";
    case paradox::Verdict::kRepairable:
      return "errors found; a rebuild repairs them";
    case paradox::Verdict::kIncomplete:
      return "the check could not be completed";
    case paradox::Verdict::kNeedsStructure:
      return "the table needs a rebuild, but its structure must come from elsewhere (header beyond "
             "repair)";
    case paradox::Verdict::kNotRebuildable:
      return "the table cannot be rebuilt (not a Paradox table or unsupported level)";
  }
  return "?";
}

Json ReportJson(const paradox::VerifyReport& r, const std::string& error,
                const std::vector<std::string>& sources) {
  const paradox::TableSummary& s = r.summary;
  Json j;
  j["table"] = ValidUtf8(r.table);
  j["verdict"] = int(r.verdict);
  j["verdictName"] = paradox::VerdictName(r.verdict);
  if (!error.empty()) j["error"] = ValidUtf8(error);
  j["errors"] = r.errors;
  j["warnings"] = r.warnings;
  j["suppressed"] = r.suppressed;
  j["summary"] = {{"level", s.level},
                  {"fileType", s.fileType},
                  {"blockSize", s.blockSize},
                  {"recordSize", s.recordSize},
                  {"fields", s.numFields},
                  {"keyFields", s.keyFields},
                  {"declaredRecords", s.declaredRecords},
                  {"countedRecords", s.countedRecords},
                  {"fileBlocks", s.fileBlocks},
                  {"chainBlocks", s.chainBlocks},
                  {"freeBlocks", s.freeBlocks},
                  {"codePage", s.codePage},
                  {"encrypted", s.encrypted}};
  Json findings = Json::array();
  for (const paradox::Finding& f : r.findings) {
    Json one;
    one["check"] = f.check;
    one["severity"] = paradox::SeverityName(f.severity);
    one.update(LocationJson(f.where, f.field));
    one["detail"] = ValidUtf8(f.detail);
    findings.push_back(std::move(one));
  }
  j["findings"] = std::move(findings);
  if (r.verdict == paradox::Verdict::kNeedsStructure) {
    Json list = Json::array();
    for (const std::string& src : sources) list.push_back(ValidUtf8(src));
    j["structureSources"] = std::move(list);
  }
  return j;
}

void ListChecks(std::ostream& os) {
  // The catalogue: id, severity, effect on the verdict, meaning.
  for (const paradox::CheckInfo& c : paradox::AllChecks()) {
    const char* effect = c.klass == paradox::FindingClass::kNotTable     ? "verdict 4"
                         : c.klass == paradox::FindingClass::kStructure  ? "verdict 3"
                         : c.klass == paradox::FindingClass::kIncomplete ? "verdict 2"
                         : c.klass == paradox::FindingClass::kRepairable ? "verdict 1"
                                                                         : "-";
    std::string id(c.id);
    os << id << std::string(id.size() < 28 ? 28 - id.size() : 1, ' ')
       << paradox::SeverityName(c.severity)
       << (c.severity == paradox::Severity::kError ? "    " : "  ") << effect
       << std::string(effect[0] == '-' ? 11 : 3, ' ') << c.title << "\n";
  }
}

// The outcome of one table, filled by a worker thread.
struct Outcome {
  paradox::VerifyReport report;
  // Verdict 3: where the structure may come from besides the header (structure_sources.h).
  std::vector<std::string> structureSources;
  std::string error;  // why the table could not be checked at all
  int exit = kExitOk;
};

void WriteText(std::ostream& os, const std::string& table, const Outcome& o, bool quiet) {
  const paradox::VerifyReport& report = o.report;
  if (!quiet) {
    for (const paradox::Finding& f : report.findings) os << f.ToString() << "\n";
    if (report.suppressed) os << "... " << report.suppressed << " more findings not listed\n";
  }
  // Why the check stopped short (a file the system refused, a rebuild under way), so
  // that --quiet says it too.
  std::string why;
  if (report.verdict == paradox::Verdict::kIncomplete) {
    for (const paradox::Finding& f : report.findings) {
      if (f.klass != paradox::FindingClass::kIncomplete) continue;
      why = " (" + f.detail + ")";
      break;
    }
  }
  os << table << ": verdict " << int(report.verdict) << " (" << paradox::VerdictName(report.verdict)
     << "): " << VerdictText(report.verdict) << why << "; " << report.errors << " errors, "
     << report.warnings << " warnings; " << report.summary.countedRecords << " records\n";
  if (report.verdict != paradox::Verdict::kNeedsStructure) return;
  if (o.structureSources.empty())
    os << "  no source of its structure found beside it\n";
  else
    os << "  sources of its structure:\n";
  for (const std::string& src : o.structureSources) os << "    " << src << "\n";
  os << "  rekasto rebuild finds a structure in these by itself; otherwise give one with\n"
        "  rekasto rebuild --structure-from=OTHER.DB (a backup, an older copy, an empty table\n"
        "  of the same layout, or the template rekasto infer-structure --write makes)\n";
}

// verify over the tables of the command line.
class VerifyCommand : public BatchCommand {
 public:
  explicit VerifyCommand(Io& io) : BatchCommand(io, "verify", kUsage, kHelp) {}

 private:
  std::vector<Option> Options() const override {
    return {{"json", 0, false},        {"max-findings", 0, true}, {"quiet", 'q', false},
            {"recursive", 'r', false}, {"jobs", 'j', true},       {"list-checks", 0, false},
            {"report", 0, true}};
  }
  std::optional<int> TakeOptions(const ParsedArgs& parsed) override;
  std::optional<int> Prepare() override;
  void Work(size_t t) override;
  const char* StateName(size_t t) const override;
  void Report(size_t t) override;
  void WritePage(size_t t);
  const char* ProblemsName() const override { return "problems"; }
  void WriteSummaryLine() const override;

  bool quiet_ = false;
  size_t maxFindings_ = 500;
  std::optional<std::string> reportPath_;
  std::vector<Outcome> outcomes_;
};

std::optional<int> VerifyCommand::TakeOptions(const ParsedArgs& parsed) {
  if (parsed.Has("list-checks")) {
    ListChecks(io_.out);
    return kExitOk;
  }
  quiet_ = parsed.Has("quiet");
  if (const std::string* max = parsed.Value("max-findings");
      max && !ParseNumber(*max, 9, "max-findings", &maxFindings_, io_))
    return kExitFailed;
  if (const std::string* report = parsed.Value("report")) reportPath_ = *report;
  return std::nullopt;
}

std::optional<int> VerifyCommand::Prepare() {
  if (reportPath_ && (reportPath_->empty() || items_.size() != 1)) {
    Error(io_, reportPath_->empty() ? "verify: --report needs a file name"
                                    : "verify: --report writes the page of one table; " +
                                          std::to_string(items_.size()) + " tables given");
    return kExitFailed;
  }
  outcomes_.resize(items_.size());
  return std::nullopt;
}

void VerifyCommand::Work(size_t t) {
  Outcome& o = outcomes_[t];
  const BatchItem& item = items_[t];
  const paradox::Status pathStatus = ItemStatus(item, io_.fs);
  if (!pathStatus.ok()) o.error = "rekasto: " + OnTable(item.path, pathStatus.message());
  paradox::VerifyOptions options;
  options.fs = io_.fs;
  options.maxFindings = maxFindings_;
  if (items_.size() == 1 && pathStatus.ok())
    options.progress = TerminalProgress(io_, "verifying", item.path);
  o.report = paradox::VerifyTable(item.path, options);
  if (!o.error.empty() && o.report.verdict == paradox::Verdict::kClean)
    o.report.verdict = paradox::Verdict::kIncomplete;
  o.exit = o.error.empty() ? ExitFor(o.report.verdict) : int(kExitFailed);
  if (o.report.verdict == paradox::Verdict::kNeedsStructure)
    o.structureSources = paradox::StructureSourcesOf(io_.fs, item.path);
}

const char* VerifyCommand::StateName(size_t t) const {
  const Outcome& o = outcomes_[t];
  return o.error.empty() ? paradox::VerdictName(o.report.verdict) : "not checked";
}

void VerifyCommand::Report(size_t t) {
  const Outcome& o = outcomes_[t];
  tally_.Count(o.exit);
  if (!o.error.empty()) io_.err << o.error << "\n";
  if (reportPath_ && o.error.empty()) WritePage(t);
  if (json_)
    tables_.push_back(ReportJson(o.report, o.error, o.structureSources));
  else if (o.error.empty())
    WriteText(io_.out, items_[t].path, o, quiet_);
}

void VerifyCommand::WritePage(size_t t) {
  const std::string& path = items_[t].path;
  const paradox::VerifyReport& report = outcomes_[t].report;
  const std::string page = HtmlReport(path, report, MapBlocks(io_.fs, path, report));
  const paradox::ByteSpan bytes(reinterpret_cast<const uint8_t*>(page.data()), page.size());
  if (paradox::Status st = io_.fs->WriteFile(*reportPath_, bytes); !st.ok()) {
    Error(io_, *reportPath_ + ": cannot write the report: " + st.message());
    tally_.exit = kExitFailed;
  }
}

void VerifyCommand::WriteSummaryLine() const {
  io_.out << items_.size() << " tables: " << tally_.ok << " clean, " << tally_.problems
          << " with problems, " << tally_.failed << " not checked\n";
}

}  // namespace

REKASTO_COMMAND({"verify", kUsage,
                 "check tables or folders of tables: findings and verdict (exit 0 clean, 1 "
                 "problems, 2 not checked)",
                 &RunBatchCommand<VerifyCommand>});

}  // namespace rekasto
