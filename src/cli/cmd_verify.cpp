// rekasto verify: findings and verdict of each table; exit 0 clean, 1 problems, 2 not checked.
#include <ostream>
#include <sstream>

#include "cli.h"
#include "verifier.h"

namespace rekasto {

namespace {

const char* kUsage = "verify [--json] [--max-findings N] [--quiet] TABLE... | --list-checks";

std::string LocationJson(const paradox::Location& l, const std::string& field) {
  std::ostringstream os;
  os << "\"file\":" << JsonString(l.file) << ",\"block\":";
  if (l.block) os << l.block; else os << "null";
  os << ",\"record\":";
  if (l.record >= 0) os << l.record; else os << "null";
  os << ",\"offset\":";
  if (l.offset) os << *l.offset; else os << "null";
  os << ",\"field\":";
  if (!field.empty()) os << JsonString(field); else os << "null";
  return os.str();
}

// Exit code for one verdict: clean 0; repairable or needing a manual structure 1;
// not checked (or not a table at all) 2.
int ExitFor(paradox::Verdict v) {
  switch (v) {
    case paradox::Verdict::kClean: return kExitOk;
    case paradox::Verdict::kRepairable:
    case paradox::Verdict::kNeedsStructure: return kExitProblems;
    default: return kExitFailed;
  }
}

const char* VerdictText(paradox::Verdict v) {
  switch (v) {
    case paradox::Verdict::kClean: return "no errors";
    case paradox::Verdict::kRepairable: return "errors found; a rebuild repairs them";
    case paradox::Verdict::kIncomplete: return "the check could not be completed";
    case paradox::Verdict::kNeedsStructure:
      return "the table needs a rebuild, but its structure must come from elsewhere (header beyond repair)";
    case paradox::Verdict::kNotRebuildable: return "the table cannot be rebuilt (not a Paradox table or unsupported level)";
  }
  return "?";
}

void WriteJson(std::ostream& os, const paradox::VerifyReport& r, const std::string& error) {
  const paradox::TableSummary& s = r.summary;
  os << "{\"table\":" << JsonString(r.table) << ",\"verdict\":" << int(r.verdict)
     << ",\"verdictName\":" << JsonString(paradox::VerdictName(r.verdict));
  if (!error.empty()) os << ",\"error\":" << JsonString(error);
  os << ",\"errors\":" << r.errors << ",\"warnings\":" << r.warnings << ",\"suppressed\":" << r.suppressed
     << ",\"summary\":{\"level\":" << s.level << ",\"fileType\":" << s.fileType
     << ",\"blockSize\":" << s.blockSize << ",\"recordSize\":" << s.recordSize
     << ",\"fields\":" << s.numFields << ",\"keyFields\":" << s.keyFields
     << ",\"declaredRecords\":" << s.declaredRecords << ",\"countedRecords\":" << s.countedRecords
     << ",\"fileBlocks\":" << s.fileBlocks << ",\"chainBlocks\":" << s.chainBlocks
     << ",\"freeBlocks\":" << s.freeBlocks << ",\"codePage\":" << s.codePage
     << ",\"encrypted\":" << (s.encrypted ? "true" : "false") << "},\"findings\":[";
  bool first = true;
  for (const paradox::Finding& f : r.findings) {
    if (!first) os << ",";
    first = false;
    os << "{\"check\":" << JsonString(f.check) << ",\"severity\":" << JsonString(paradox::SeverityName(f.severity))
       << "," << LocationJson(f.where, f.field) << ",\"detail\":" << JsonString(f.detail) << "}";
  }
  os << "]}";
}

int RunVerify(const std::vector<std::string>& args, Io& io) {
  bool json = false, quiet = false;
  size_t maxFindings = 500;
  std::vector<std::string> tables;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      io.out << "Usage: rekasto " << kUsage << "\n"
             << "Checks each table family and prints its findings and verdict.\n"
                "  --json            one JSON document {\"tables\":[...]} on standard output\n"
                "  --max-findings N  record at most N findings per table (default 500)\n"
                "  --quiet           verdict lines only\n"
                "  --list-checks     the check ids, their severity and effect on the verdict\n"
                "Exit: 0 all clean, 1 problems found, 2 a table could not be checked.\n";
      return kExitOk;
    }
    if (a == "--list-checks") {
      // The catalogue: id, severity, effect on the verdict, meaning.
      for (const paradox::CheckInfo& c : paradox::AllChecks()) {
        const char* effect = c.klass == paradox::FindingClass::kNotTable     ? "verdict 4"
                             : c.klass == paradox::FindingClass::kStructure  ? "verdict 3"
                             : c.klass == paradox::FindingClass::kIncomplete ? "verdict 2"
                             : c.klass == paradox::FindingClass::kRepairable ? "verdict 1"
                                                                              : "-";
        std::string id(c.id);
        io.out << id << std::string(id.size() < 28 ? 28 - id.size() : 1, ' ') << paradox::SeverityName(c.severity)
               << (c.severity == paradox::Severity::kError ? "    " : "  ") << effect
               << std::string(effect[0] == '-' ? 11 : 3, ' ') << c.title << "\n";
      }
      return kExitOk;
    }
    if (a == "--json") json = true;
    else if (a == "--quiet" || a == "-q") quiet = true;
    else if (a == "--max-findings") {
      if (i + 1 >= args.size()) { Error(io, "--max-findings needs a number"); return kExitFailed; }
      // Digits only: stoul would take "-1" as a huge budget and "5x" as 5.
      const std::string& v = args[++i];
      if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) {
        Error(io, "--max-findings needs a number, not '" + v + "'");
        return kExitFailed;
      }
      maxFindings = std::stoul(v);
    } else if (a.size() > 1 && a[0] == '-') {
      Error(io, "verify: unknown option " + a);
      return kExitFailed;
    } else tables.push_back(a);
  }
  if (tables.empty()) {
    Error(io, "verify: no table given (usage: rekasto " + std::string(kUsage) + ")");
    return kExitFailed;
  }
  int exit = kExitOk;
  if (json) io.out << "{\"tables\":[";
  for (size_t t = 0; t < tables.size(); ++t) {
    const paradox::Status pathStatus = TablePathStatus(tables[t], io.fs);
    const bool usable = pathStatus.ok();
    std::string error;
    if (!usable) {
      error = "rekasto: " + (tables[t].empty() ? "" : tables[t] + ": ") + pathStatus.message();
      io.err << error << "\n";
    }
    paradox::VerifyOptions options;
    options.fs = io.fs;
    options.maxFindings = maxFindings;
    paradox::VerifyReport report = paradox::VerifyTable(tables[t], options);
    if (!usable && report.verdict == paradox::Verdict::kClean) report.verdict = paradox::Verdict::kIncomplete;
    exit = std::max(exit, usable ? ExitFor(report.verdict) : int(kExitFailed));
    if (json) {
      if (t) io.out << ",";
      WriteJson(io.out, report, error);
      continue;
    }
    if (!usable) continue;
    if (!quiet) {
      for (const paradox::Finding& f : report.findings) io.out << f.ToString() << "\n";
      if (report.suppressed) io.out << "... " << report.suppressed << " more findings not listed\n";
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
    io.out << tables[t] << ": verdict " << int(report.verdict) << " (" << paradox::VerdictName(report.verdict)
           << "): " << VerdictText(report.verdict) << why << "; " << report.errors << " errors, " << report.warnings
           << " warnings; " << report.summary.countedRecords << " records\n";
  }
  if (json) io.out << "],\"exitCode\":" << exit << "}\n";
  return exit;
}

}  // namespace

REKASTO_COMMAND({"verify", kUsage, "check tables: findings and verdict (exit 0 clean, 1 problems, 2 not checked)",
                 &RunVerify});

}  // namespace rekasto
