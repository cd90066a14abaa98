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

#include "paradox/file.h"
#include "paradox/status.h"

namespace paradox {

// One field of a table, as the engine's rebuild descriptor describes it.
struct RebuildField {
  std::string name;
  char type = 'A';    // field type letter: A D S I $ N L M B F O G T @ + # Y
  uint16_t size = 0;  // descriptor size byte: length (A, Y), leader + 10 (blobs),
                      // decimals (#), the fixed size otherwise
};

// One secondary index (.Xnn/.Ynn or .XGn/.YGn).
struct RebuildIndex {
  std::string name;              // index name of an XG index; empty for a .Xnn index
  std::vector<uint16_t> fields;  // 1-based DB field numbers, in index order
  std::vector<bool> descending;  // per field; empty = all ascending
  bool caseInsensitive = false;
  bool unique = false;
  bool maintained = true;  // kept up to date by the engine (keyed tables)
  std::string fileSuffix;  // "X02", "XG0" ...; empty = derived from the definition
};

// Everything a rebuild needs to know about the table's structure. When the caller
// gives none, it is recovered from the table itself (header, its redundancy, and the
// .PX/.Xnn/.VAL members).
struct TableStructure {
  std::vector<RebuildField> fields;
  uint16_t keyFields = 0;             // leading fields forming the primary key
  std::vector<RebuildIndex> indexes;  // secondary indexes
  // True: `indexes` is the complete list (empty = no secondary index). False: an empty
  // list means "the indexes the family has now".
  bool indexesGiven = false;
  uint16_t validityChecks = 0;    // fields with validity checks (.VAL)
  uint16_t referentialLinks = 0;  // referential-integrity links (.VAL)
};

// Progress phases (same numbers as the engine's progress report).
enum RebuildPhase : int {
  kPhaseHeader = 0,
  kPhaseIndexes = 1,
  kPhaseData = 2,
  kPhaseOverall = 8,
};

struct RebuildOptions {
  FileSystem* fs = nullptr;                   // nullptr = DefaultFileSystem()
  const TableStructure* structure = nullptr;  // nullptr = recover from the table
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

// One line of the report (also written to the report table).
struct RebuildAction {
  std::string action;   // short verb: "kept", "problem", "key violation", "regenerated",
                        // "dropped", "blob", "backup", "swap", "header" ...
  std::string file;     // family member concerned ("CUSTOMER.DB", "CUSTOMER.PX", ...)
  int64_t block = -1;   // block number, -1 when not applicable
  int64_t record = -1;  // record number inside the block or the table, -1 when n/a
  std::string detail;
};

struct RebuildResult {
  Status status;                    // OK when the table was rebuilt (or, dry run, could be)
  uint64_t recordsKept = 0;         // records in the rebuilt table
  uint64_t keyViolations = 0;       // records moved to the key-violation table
  uint64_t problems = 0;            // records moved to the problem table
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

// "<dir>/<TABLE>.rekasto" for the table at `tablePath` (TABLE = the file name without
// its extension, as stored).
std::string RepairFolderRoot(const std::string& tablePath);

// Creates and returns a NEW repair folder "<dir>/<TABLE>.rekasto/<YYYYMMDD-HHMMSS>[-n]"
// (UTC time `now`; -2, -3 ... when that name is taken). Never returns an existing folder.
Result<std::string> CreateRepairFolder(FileSystem* fs, const std::string& tablePath,
                                       std::time_t now);

// Finishes a swap that a crash interrupted (journal left in a repair folder of this
// table): completes it when every new member is still at hand, otherwise restores the
// original from the backup. OK with nothing to do when no journal is pending.
Status RecoverInterruptedRebuild(FileSystem* fs, const std::string& tablePath);

// Lock files in the table's folder, or a lock held on one of the family's files, make
// the table busy. Returns Busy with a message naming the lock, OK otherwise.
Status CheckTableNotInUse(FileSystem* fs, const std::string& tablePath);

// The table's rebuild lock, the one RebuildTable holds throughout: whatever else
// replaces the family (a restore) takes it too, so the two never meet. Released when the
// holder is destroyed; Busy while someone else holds it.
class RebuildLockHolder {
 public:
  virtual ~RebuildLockHolder() = default;
};
Result<std::unique_ptr<RebuildLockHolder>> TakeRebuildLock(FileSystem* fs, const std::string& tablePath);

// What rebuilds of the table left or are doing: repair folders whose swap journal is
// still open (a rebuild stopped between its swap steps; the next rebuild finishes or
// undoes the swap), and whether a rebuild holds the table's rebuild lock right now.
struct RebuildState {
  std::vector<std::string> openJournals;  // repair folders
  bool running = false;
};
RebuildState FindRebuildState(FileSystem* fs, const std::string& tablePath);

// What the journal of a completed rebuild (<repair>/swap.done) says of the family it
// replaced: each original member's name in the table's folder and its backup's name in
// the repair folder. Corruption when the journal cannot be read as one.
Result<std::vector<std::pair<std::string, std::string>>> BackupsOfRebuild(FileSystem* fs,
                                                                          const std::string& repair);

}  // namespace paradox
