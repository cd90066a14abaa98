// Where a table's structure comes from when its own header cannot give it, after the
// family (header_recovery.h): the backups that earlier rebuilds of the table kept in its
// repair folders, then a table the user names (a backup, an older copy, an empty table of
// the same layout). Each is checked against the data (FitStructureToData) before use.
#pragma once

#include <string>
#include <vector>

#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"
#include "paradox/repair/header_recovery.h"
#include "paradox/repair/structure.h"

namespace paradox {

// The .DB backups earlier rebuilds of the table at `tablePath` kept in its repair
// folders (<TABLE>.rekasto/<time>/), newest first: the backup the folder's swap journal
// names for the .DB, else a Backup.Db there. A folder that cannot be listed gives none.
std::vector<std::string> EarlierBackups(FileSystem* fs, const std::string& tablePath);

// The structure another table's header gives: the decoded header of the .DB at `path`.
// NotFound / IOError when it cannot be read, Corruption when it is no table's header.
Result<TableHeader> StructureOfTable(FileSystem* fs, const std::string& path);

// The first structure from elsewhere that fits the table's data: the earlier backups,
// then `given` (a table's path; "" = none). `why` says what is wrong with the table's
// own header. Corruption when none fits (each candidate tried named with its reason);
// InvalidArgument when `given` is named and does not fit (its reason), so that a wrong
// table named by the user is refused rather than passed over. IOError when the file
// system fails.
Result<RecoveredHeader> StructureFromElsewhere(FileSystem* fs, const FamilyFiles& fam,
                                               const HeaderSources& src, const BlockPeek& peek,
                                               const std::string& given, const std::string& why);

// The structure of the table `given` names, checked against the data: InvalidArgument
// with the reason when it cannot be read or does not fit.
Result<RecoveredHeader> StructureFromGiven(FileSystem* fs, const FamilyFiles& fam,
                                           const HeaderSources& src, const BlockPeek& peek,
                                           const std::string& given, const std::string& why);

// The structure to read a table's data with, from its sources in this order: the
// table's own header where it can be trusted, repaired from its redundancy and the family
// (RecoverHeader, with the caller's `description` and then the .VAL's field list as its
// last resort); the backups of earlier rebuilds; the table `given` names ("" = none).
// Each source from elsewhere is checked against the data first. A header repaired from
// the family is passed over for a fitting backup when its fixed part was lost, and for
// `given` always (a named structure, checked, is the better evidence); a header that
// needed no repair must describe the same layout as `given` (InvalidArgument otherwise).
// The header's notes name the source used. Corruption when no source gives a structure;
// InvalidArgument when `given` does not fit; IOError when the file system fails.
Result<RecoveredHeader> FindStructure(FileSystem* fs, const FamilyFiles& fam,
                                      const HeaderSources& src, const BlockPeek& peek,
                                      const TableStructure* description, const std::string& given);

// FindStructure for the table at `dbPath` with nothing given: what a caller that fills a
// description from the table (the utility library) can find by itself.
Result<RecoveredHeader> RecoverTableHeader(FileSystem* fs, const std::string& dbPath);

// For info and verify: where the structure of the table at `tablePath` could come from
// besides its header, one line each ("T.PX: the key fields' descriptors", "T.VAL: the
// field list", "T.X02: the indexed fields' descriptors", "T.rekasto/<time>/Backup.Db: an
// earlier rebuild's backup"). Members that do not read contribute nothing.
std::vector<std::string> StructureSourcesOf(FileSystem* fs, const std::string& tablePath);

}  // namespace paradox
