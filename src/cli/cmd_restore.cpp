// rekasto restore: puts a table back as it was before a rebuild, from the backup in the
// rebuild's repair folder; the family in place now is kept in that folder, never deleted.
#include <ostream>

#include "cli.h"
#include "paradox/format/file.h"
#include "paradox/repair/restore.h"

namespace rekasto {

namespace {

const char* kUsage = "restore [--from FOLDER] [--dry-run] TABLE";

const char* kHelp =
    "Puts TABLE back as it was before a rebuild, from the backup (Backup.Db, Backup.PX,\n"
    "...) in the rebuild's repair folder <TABLE>.rekasto/<time>/. The files of the table\n"
    "now are moved into before-restore-<time>/ in a new repair folder of the table;\n"
    "the backup stays where it is, so nothing is lost and the restore can be undone.\n"
    "  --from=FOLDER  restore from this repair folder (a path, or its name under\n"
    "                 <TABLE>.rekasto/) instead of the newest completed rebuild's\n"
    "  -n, --dry-run  say what would be restored and kept; change nothing\n"
    "Refused while the table is in use (lock files, locks on its files) or a rebuild\n"
    "of it runs.\n"
    "Exit: 0 restored, 2 not restored (the table is left as it was).\n";

int RunRestore(const std::vector<std::string>& args, Io& io) {
  ParsedArgs parsed;
  if (auto done = ParseCommandLine("restore", kUsage, kHelp, args,
                                   {{"from", 0, true}, {"dry-run", 'n', false}}, &parsed, io))
    return *done;
  if (parsed.operands.size() != 1) {
    UsageError(io, "restore", kUsage,
               parsed.operands.empty() ? "no table given" : "one table at a time");
    return kExitFailed;
  }
  const std::string& table = parsed.operands[0];
  // The .DB itself may be gone (that may be why the user restores); a folder is no table.
  if (io.fs->IsDirectory(table)) {
    Error(io, table + ": is a folder, not a table file");
    return kExitFailed;
  }
  paradox::RestoreOptions options;
  options.fs = io.fs;
  options.dryRun = parsed.Has("dry-run");
  if (const std::string* from = parsed.Value("from")) options.from = *from;
  const paradox::RestoreResult r = paradox::RestoreTable(table, options);
  if (!r.status.ok()) {
    Error(io, table + ": not restored: " + r.status.message());
    return kExitFailed;
  }
  std::ostream& o = io.out;
  o << table << ": " << (options.dryRun ? "would restore" : "restored") << " from " << r.source
    << "\n";
  for (const auto& [member, backup] : r.restored) o << "  " << backup << " -> " << member << "\n";
  if (r.replaced.empty()) {
    o << "  no current file to keep\n";
  } else {
    o << "  " << (options.dryRun ? "would keep" : "kept") << " the files it replaces";
    if (!r.keptIn.empty()) o << " in " << r.keptIn;
    o << ":";
    for (const std::string& n : r.replaced) o << " " << n;
    o << "\n";
  }
  return kExitOk;
}

}  // namespace

REKASTO_COMMAND({"restore", kUsage, "put a table back from the backup its rebuild kept",
                 &RunRestore});

}  // namespace rekasto
