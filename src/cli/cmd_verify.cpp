// rekasto verify: findings and verdict of each table; exit 0 clean, 1 problems, 2 not checked.
#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <ostream>

#include "batch.h"
#include "cli.h"
#include "paradox/verify/verifier.h"
#include "report.h"

namespace rekasto {

namespace {

const char* kUsage =
    "verify [--json] [--max-findings N] [--quiet] [--recursive] [--jobs N] [--report FILE.html] "
    "TABLE|FOLDER... | --list-checks";

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

Json ReportJson(const paradox::VerifyReport& r, const std::string& error) {
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
}

int RunVerify(const std::vector<std::string>& args, Io& io) {
  ParsedArgs parsed;
  if (!ParseOptions("verify", args,
                    {{"help", 'h', false},
                     {"json", 0, false},
                     {"max-findings", 0, true},
                     {"quiet", 'q', false},
                     {"recursive", 'r', false},
                     {"jobs", 'j', true},
                     {"list-checks", 0, false},
                     {"report", 0, true}},
                    &parsed, io))
    return kExitFailed;
  if (parsed.Has("help")) {
    io.out << "Usage: rekasto " << kUsage << "\n"
           << "Checks each table family and prints its findings and verdict.\n"
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
    return kExitOk;
  }
  if (parsed.Has("list-checks")) {
    ListChecks(io.out);
    return kExitOk;
  }
  const bool json = parsed.Has("json"), quiet = parsed.Has("quiet");
  size_t maxFindings = 500;
  if (const std::string* v = parsed.Value("max-findings")) {
    // Digits only: stoul would take "-1" as a huge budget and "5x" as 5.
    if (v->empty() || v->size() > 9 || v->find_first_not_of("0123456789") != std::string::npos) {
      Error(io, "--max-findings needs a number, not '" + *v + "'");
      return kExitFailed;
    }
    std::from_chars(v->data(), v->data() + v->size(), maxFindings);
  }
  unsigned jobs = 0;
  if (!ParseJobs(parsed.Value("jobs"), &jobs, io)) return kExitFailed;
  if (parsed.operands.empty()) {
    Error(io, "verify: no table given (usage: rekasto " + std::string(kUsage) + ")");
    return kExitFailed;
  }
  const std::vector<BatchItem> items =
      CollectTables(parsed.operands, parsed.Has("recursive"), io.fs);
  const std::string* reportPath = parsed.Value("report");
  if (reportPath && (reportPath->empty() || items.size() != 1)) {
    Error(io, reportPath->empty() ? "verify: --report needs a file name"
                                  : "verify: --report writes the page of one table; " +
                                        std::to_string(items.size()) + " tables given");
    return kExitFailed;
  }
  std::vector<Outcome> outcomes(items.size());
  auto work = [&](size_t t) {
    Outcome& o = outcomes[t];
    const BatchItem& item = items[t];
    paradox::Status pathStatus = item.error.empty() ? TablePathStatus(item.path, io.fs)
                                                    : paradox::Status::InvalidArgument(item.error);
    if (!pathStatus.ok())
      o.error = "rekasto: " + (item.path.empty() ? "" : item.path + ": ") + pathStatus.message();
    paradox::VerifyOptions options;
    options.fs = io.fs;
    options.maxFindings = maxFindings;
    if (items.size() == 1 && pathStatus.ok())
      options.progress = TerminalProgress(io, "verifying", item.path);
    o.report = paradox::VerifyTable(item.path, options);
    if (!o.error.empty() && o.report.verdict == paradox::Verdict::kClean)
      o.report.verdict = paradox::Verdict::kIncomplete;
    o.exit = o.error.empty() ? ExitFor(o.report.verdict) : int(kExitFailed);
  };
  auto finished = [&](size_t t, size_t done) {
    if (io.errIsTerminal && items.size() > 1)
      io.err << "[" << done << "/" << items.size() << "] " << items[t].path << ": "
             << (outcomes[t].error.empty() ? paradox::VerdictName(outcomes[t].report.verdict)
                                           : "not checked")
             << "\n";
  };
  int exit = kExitOk;
  size_t clean = 0, problems = 0, failed = 0;
  Json tables = Json::array();
  auto report = [&](size_t t) {
    const Outcome& o = outcomes[t];
    exit = std::max(exit, o.exit);
    (o.exit == kExitOk ? clean : o.exit == kExitProblems ? problems : failed)++;
    if (!o.error.empty()) io.err << o.error << "\n";
    if (reportPath && o.error.empty()) {
      const std::string page =
          HtmlReport(items[t].path, o.report, MapBlocks(io.fs, items[t].path, o.report));
      const paradox::ByteSpan bytes(reinterpret_cast<const uint8_t*>(page.data()), page.size());
      if (paradox::Status st = io.fs->WriteFile(*reportPath, bytes); !st.ok()) {
        Error(io, *reportPath + ": cannot write the report: " + st.message());
        exit = kExitFailed;
      }
    }
    if (json)
      tables.push_back(ReportJson(o.report, o.error));
    else if (o.error.empty())
      WriteText(io.out, items[t].path, o, quiet);
  };
  RunBatch(items.size(), JobsFor(jobs, io.fs), work, finished, report);
  if (json) {
    Json doc;
    doc["tables"] = std::move(tables);
    doc["summary"] = {
        {"tables", items.size()}, {"clean", clean}, {"problems", problems}, {"failed", failed}};
    doc["exitCode"] = exit;
    io.out << doc.dump() << "\n";
  } else if (items.size() > 1 || parsed.Has("recursive")) {
    io.out << items.size() << " tables: " << clean << " clean, " << problems << " with problems, "
           << failed << " not checked\n";
  }
  return exit;
}

}  // namespace

REKASTO_COMMAND({"verify", kUsage,
                 "check tables or folders of tables: findings and verdict (exit 0 clean, 1 "
                 "problems, 2 not checked)",
                 &RunVerify});

}  // namespace rekasto
