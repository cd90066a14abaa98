// Restore: puts back the family a rebuild saved in its repair folder (Backup.Db,
// Backup.PX, ...), for a user who regrets the rebuild.
//
// Contract in short:
//  - The source is a repair folder of the table whose rebuild completed (swap.done); its
//    journal names every original member and its backup. By default the newest one.
//  - Nothing is deleted or overwritten: the backups are copied (the repair folder keeps
//    them), and the family in place now (with any file a restored member's name would
//    replace) is moved into a new repair folder of the table,
//    <TABLE>.rekasto/<YYYYMMDD-HHMMSS>[-n]/before-restore-<YYYYMMDD-HHMMSS>/.
//  - The movements are journalled (restore.journal in that subfolder, then restore.done
//    or restore.rolledback). A failure part way moves everything back before Restore
//    returns; a journal left open by a crash is rolled back by the next restore.
//  - Refused with Busy while the table is in use (lock files, a lock on a member) or a
//    rebuild holds the table's rebuild lock; a restore holds that lock itself.
//  - A rebuild swap left open by a crash is settled first, as the next rebuild would
//    (RecoverInterruptedRebuild); a dry run, which writes nothing, refuses instead.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/format/status.h"

namespace paradox {

struct RestoreOptions {
  FileSystem* fs = nullptr;  // nullptr = DefaultFileSystem()
  // Repair folder to restore from (a path, or a folder name under <TABLE>.rekasto/);
  // empty = the newest completed rebuild's.
  std::string from;
  // Choose the source and check it; move and copy nothing.
  bool dryRun = false;
  // Time used to name the subfolder the current family goes to; 0 = now.
  std::time_t now = 0;
};

struct RestoreResult {
  Status status;
  std::string source;  // the repair folder restored from
  std::string keptIn;  // where the replaced family went ("" when there was none, or dry run)
  // Member names as they are put in place, each with the backup file it comes from.
  std::vector<std::pair<std::string, std::string>> restored;
  // Members of the current family moved into keptIn (dry run: that would be).
  std::vector<std::string> replaced;
};

// Repair folders of the table whose rebuild completed, oldest first.
std::vector<std::string> CompletedRebuilds(FileSystem* fs, const std::string& tablePath);

// Restores the table whose .DB file is `tablePath` (it may be missing: then nothing is
// replaced). Status codes: NotFound (no completed rebuild, or a backup file is missing),
// Busy (in use, or a rebuild runs), Corruption (an unreadable journal), IOError (a file
// operation failed; the table is as it was).
RestoreResult RestoreTable(const std::string& tablePath, const RestoreOptions& options = {});

}  // namespace paradox
