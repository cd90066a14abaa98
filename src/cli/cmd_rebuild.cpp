// rekasto rebuild: salvages each table into a new family, keeps the original as a backup
// in a repair folder beside it, and swaps the rebuilt files in. Exit 0: every table was
// clean and is rebuilt; 1: damage was found and repaired (records may have been set
// aside); 2: a table could not be rebuilt (it is left as it was).
#include <ostream>

#include "cli.h"
#include "rebuild.h"

namespace rekasto {

namespace {

const char* kUsage = "rebuild [--dry-run] [--json] [--verbose] TABLE...";

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

void WriteJson(std::ostream& os, const std::string& table, const paradox::RebuildResult& r,
               bool dryRun) {
  os << "{\"table\":" << JsonString(table) << ",\"ok\":" << (r.status.ok() ? "true" : "false")
     << ",\"dryRun\":" << (dryRun ? "true" : "false");
  if (!r.status.ok()) {
    os << ",\"error\":" << JsonString(r.status.message())
       << ",\"errorKind\":" << JsonString(paradox::CodeName(r.status.code()));
  }
  os << ",\"recordsKept\":" << r.recordsKept << ",\"keyViolations\":" << r.keyViolations
     << ",\"problems\":" << r.problems << ",\"blobsBroken\":" << r.blobsBroken
     << ",\"membersRegenerated\":" << r.membersRegenerated << ",\"issues\":" << r.issues
     << ",\"repairFolder\":" << (r.repairFolder.empty() ? "null" : JsonString(r.repairFolder))
     << ",\"actions\":[";
  for (size_t i = 0; i < r.actions.size(); ++i) {
    const auto& a = r.actions[i];
    if (i) os << ",";
    os << "{\"action\":" << JsonString(a.action) << ",\"file\":" << JsonString(a.file)
       << ",\"block\":";
    if (a.block >= 0)
      os << a.block;
    else
      os << "null";
    os << ",\"record\":";
    if (a.record >= 0)
      os << a.record;
    else
      os << "null";
    os << ",\"detail\":" << JsonString(a.detail) << "}";
  }
  os << "]}";
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

int RunRebuild(const std::vector<std::string>& args, Io& io) {
  bool json = false, dryRun = false, verbose = false;
  std::vector<std::string> tables;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      io.out
          << "Usage: rekasto " << kUsage << "\n"
          << "Rebuilds each table: every readable record is kept, records that cannot be kept go\n"
             "to PROBLEM.DB, duplicate keys to KEYVIOL.DB, and every index and the blob file are\n"
             "written anew. The original family is kept as Backup.* in a new folder\n"
             "<TABLE>.rekasto/<time>/ beside the table, with the report table Rebuild.DB.\n"
             "  --dry-run   salvage and check only; write nothing\n"
             "  --json      one JSON document {\"tables\":[...]} on standard output\n"
             "  --verbose   list every action (backups, regenerated files, the swap)\n"
             "Exit: 0 all tables were clean, 1 damage was repaired, 2 a table could not be "
             "rebuilt.\n";
      return kExitOk;
    }
    if (a == "--json")
      json = true;
    else if (a == "--dry-run" || a == "-n")
      dryRun = true;
    else if (a == "--verbose" || a == "-v")
      verbose = true;
    else if (a.size() > 1 && a[0] == '-') {
      Error(io, "rebuild: unknown option " + a);
      return kExitFailed;
    } else
      tables.push_back(a);
  }
  if (tables.empty()) {
    Error(io, "rebuild: no table given (usage: rekasto " + std::string(kUsage) + ")");
    return kExitFailed;
  }
  int exit = kExitOk;
  if (json) io.out << "{\"tables\":[";
  for (size_t t = 0; t < tables.size(); ++t) {
    const std::string& table = tables[t];
    paradox::RebuildResult r;
    r.status = TablePathStatus(table, io.fs);
    if (r.status.ok()) {
      paradox::RebuildOptions options;
      options.fs = io.fs;
      options.dryRun = dryRun;
      r = paradox::RebuildTable(table, options);
    }
    if (!r.status.ok()) {
      exit = kExitFailed;
      if (!json) Error(io, (table.empty() ? "" : table + ": ") + r.status.message());
    } else if (r.issues > 0 || r.problems > 0 || r.keyViolations > 0 || r.blobsBroken > 0) {
      exit = std::max<int>(exit, kExitProblems);
    }
    if (json) {
      if (t) io.out << ",";
      WriteJson(io.out, table, r, dryRun);
    } else if (r.status.ok()) {
      WriteText(io.out, table, r, dryRun, verbose);
    }
  }
  if (json) io.out << "]}\n";
  return exit;
}

}  // namespace

REKASTO_COMMAND({"rebuild", "rebuild [--dry-run] [--json] [--verbose] TABLE...",
                 "rebuild damaged tables (backup kept beside them)", &RunRebuild});

}  // namespace rekasto
