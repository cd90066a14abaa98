// The repair folder of a rebuild and its swap journal: the folder's creation and its
// claim, the table's rebuild lock, the journal that moves a new family in (and its
// rollback from the backup), and the recovery of a swap that a crash interrupted. The
// rebuild and the restore share them.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/format/repair_traces.h"
#include "paradox/format/status.h"

namespace paradox {

// Creates and returns a NEW repair folder "<dir>/<TABLE>.rekasto/<YYYYMMDD-HHMMSS>[-n]"
// (UTC time `now`; -2, -3 ... when that name is taken). Never returns an existing folder.
Result<std::string> CreateRepairFolder(FileSystem* fs, const std::string& tablePath,
                                       std::time_t now);

// Finishes a swap that a crash interrupted (journal left in a repair folder of this
// table): completes it when every new member is still at hand, otherwise restores the
// original from the backup. OK with nothing to do when no journal is pending.
Status RecoverInterruptedRebuild(FileSystem* fs, const std::string& tablePath);

// The table's rebuild lock, the one RebuildTable holds throughout: whatever else
// replaces the family (a restore) takes it too, so the two never meet. Released when the
// holder is destroyed; Busy while someone else holds it.
class RebuildLockHolder {
 public:
  virtual ~RebuildLockHolder() = default;
};
Result<std::unique_ptr<RebuildLockHolder>> TakeRebuildLock(FileSystem* fs,
                                                           const std::string& tablePath);

// The Busy status of a table whose rebuild lock another rebuild holds.
Status RebuildBusy(const std::string& tablePath);

// What the journal of a completed rebuild (<repair>/swap.done) says of the family it
// replaced: each original member's name in the table's folder and its backup's name in
// the repair folder. Corruption when the journal cannot be read as one.
Result<std::vector<std::pair<std::string, std::string>>> BackupsOfRebuild(
    FileSystem* fs, const std::string& repair);

// The swap of a rebuild, as its journal records it.
struct SwapPlan {
  struct Put {
    std::string from;       // name in <repair>/new
    std::string to;         // name in the table's folder
    bool replaces = false;  // an original member of that name exists
    std::string print;      // Fingerprint() of the new file
    // Where the replaced member's file really is when `to` is a symbolic link (the link
    // stays); empty = <folder>/<to>.
    std::string dest;
  };
  std::vector<Put> puts;
  std::vector<std::string> removes;  // original members the new family does not have
  // Upper-case original member name -> its backup's name in the repair folder.
  std::map<std::string, std::string> backups;
};

// Size and hash of a file, so that after a crash a member found in place can be
// told apart: the rebuilt file already swapped in, or still the original.
// `read`, when set, is told the bytes read so far.
Result<std::string> Fingerprint(FileSystem* fs, const std::string& path,
                                const std::function<void(uint64_t)>& read = {});

// Where a put lands: the member's own path, or the file its link leads to.
std::string Dest(const std::string& dir, const SwapPlan::Put& p);

// The journal's text for `plan`.
std::string JournalText(const SwapPlan& plan);

// The text of a journal (the swap's, a restore's): a line that names its format, one line
// per entry of tab-separated fields, then "end". Written with WriteDurable.
std::string JournalText(const std::string& magic,
                        const std::vector<std::vector<std::string>>& entries);

// The entries of a journal's text. Corruption when the first line is not `magic` or the
// "end" line is missing (a journal that a crash cut short).
Result<std::vector<std::vector<std::string>>> ParseJournalText(const Bytes& data,
                                                               const std::string& magic);

// The backup's name of a member: `backupDb` for the .DB, its stem with the member's
// extension otherwise.
std::string BackupName(const std::string& backupDb, const std::string& memberPath, bool isDb);

// Undo the movements of a swap from the backup: puts that replaced an original are
// restored from the backup copy (written beside, then renamed), puts that added a
// member are removed, removed members are moved back.
Status RollBack(FileSystem* fs, const std::string& dir, const std::string& repair,
                const SwapPlan& plan, size_t putsDone, size_t removesDone,
                const std::map<std::string, std::string>& backupOf);

}  // namespace paradox
