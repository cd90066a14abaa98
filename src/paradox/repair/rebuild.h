// Rebuild of a Paradox table family: salvage every readable record, write a complete
// new family through the writer, verify it, keep the original as a backup in a new
// repair folder beside the table, and swap the new files in crash-safely.
//
// Contract in short:
//  - The original family is never edited in place. Before any original file is touched
//    its members are copied (and flushed) into the repair folder as the backup
//    (Backup.Db, Backup.PX, Backup.MB, Backup.X02, ...). An earlier backup is never
//    overwritten: every rebuild gets a NEW repair folder.
//  - The swap is journalled (swap.journal in the repair folder). If the swap fails part
//    way, RebuildTable rolls back from the backup before it returns; if the process dies
//    part way, RecoverInterruptedRebuild (run by every RebuildTable first) finishes it.
//  - A table held by another program (PARADOX.LCK / PDOXUSRS.LCK in its folder, or any
//    lock on one of its files: FileSystem::IsLocked) is refused with Busy; nothing is
//    written. Two rebuilds of one table exclude each other: each holds an exclusive lock
//    on <TABLE>.rekasto/rebuild.lock throughout; the second gets Busy.
//  - A table reached through a symbolic link (the .DB or any member) is rebuilt where
//    the link leads; the link stays a link.
//  - Nothing of the table vanishes: a record that cannot be kept goes to the problem
//    table with its raw bytes and the reason; a duplicate key (or a repeated value of a
//    unique secondary index) goes to the key-violation table; the report table lists
//    every action.
//  - Every file operation goes through the given FileSystem.
//
// A repair folder holds: Backup.Db, Backup.PX, ... (the original family, byte for
// byte); Rebuild.DB (the report); KEYVIOL.DB / PROBLEM.DB (with their .MB) when records
// were set aside; new/ (the rebuilt family until it is swapped in); removed/ (original
// members the rebuilt family no longer has); swap.journal while a swap is under way,
// then swap.done (or swap.rolledback); .claimed (marks the folder as taken).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/format/progress.h"
#include "paradox/format/status.h"
#include "paradox/repair/repair_folder.h"
#include "paradox/repair/structure.h"

namespace paradox {

struct RebuildOptions {
  FileSystem* fs = nullptr;                   // nullptr = DefaultFileSystem()
  const TableStructure* structure = nullptr;  // nullptr = recover from the table
  // A table (a backup, an older copy, an empty table of the same layout) whose structure
  // the data is read with when the table's header, its family and its earlier repair
  // folders give none; checked against the data first. "" = none.
  std::string structureFrom;
  // Names of the auxiliary tables written in the repair folder. The backup name's
  // extension is replaced per member (Backup.Db, Backup.PX, Backup.MB, Backup.X02 ...).
  std::string backupName = "Backup.Db";
  std::string keyViolationName = "KEYVIOL.DB";
  std::string problemName = "PROBLEM.DB";
  std::string reportName = "Rebuild.DB";
  // Called with (phase, percent 0..100); at most once per step, percentages of a phase
  // never decrease, each phase ends with 100. kPhaseOverall moves within every step of
  // the rebuild (salvage, writing, verifying, backing up, swapping), by its share.
  std::function<void(int phase, int percent)> progress;
  // Salvage, plan and build the new family in memory only; no file is written.
  bool dryRun = false;
  // Time used to name the repair folder; 0 = now.
  std::time_t now = 0;
};

struct RebuildResult {
  Status status;                    // OK when the table was rebuilt (or, dry run, could be)
  uint64_t recordsKept = 0;         // records in the rebuilt table
  uint64_t keyViolations = 0;       // records moved to the key-violation table
  uint64_t problems = 0;            // records moved to the problem table
  uint64_t implausible = 0;         // of those, records the table's own data shows to be garbage
  uint64_t blobsBroken = 0;         // blob values that could not be recovered whole
  uint32_t membersRegenerated = 0;  // family members written anew (.DB, .PX, .Xnn, .MB ...)
  uint32_t issues = 0;              // damage found and repaired (0 = the table was clean)
  std::string repairFolder;         // where backup, auxiliary tables and report lie ("" dry run)
  std::vector<RebuildAction> actions;
};

// Rebuilds the table whose .DB file is `tablePath`. Status codes: NotFound (no such
// table), Busy (held by another program), Corruption (the structure cannot be
// recovered), IOError (a file operation failed; the original is intact or restored),
// NotSupported, InvalidArgument (a structure that does not fit the table's data).
RebuildResult RebuildTable(const std::string& tablePath, const RebuildOptions& options = {});

// Lock files in the table's folder, or a lock held on one of the family's files, make
// the table busy. Returns Busy with a message naming the lock, OK otherwise.
Status CheckTableNotInUse(FileSystem* fs, const std::string& tablePath);

}  // namespace paradox
