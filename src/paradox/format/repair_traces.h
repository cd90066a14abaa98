// What rebuilds leave beside a table, as far as every layer must know it: the table's
// repair-folder root, the names of the swap journal and the rebuild lock in it, and the
// state they tell (a swap left open by a crash, a rebuild under way). The verifier reports
// that state; the repair layer (repair_folder.h) writes and acts on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "paradox/format/file.h"

namespace paradox {

// Names inside a repair folder (and, for the lock, inside the repair-folder root).
inline constexpr const char* kSwapJournal = "swap.journal";
inline constexpr const char* kSwapJournalDone = "swap.done";
inline constexpr const char* kSwapJournalUndone = "swap.rolledback";
inline constexpr const char* kRebuildLockFile = "rebuild.lock";
// The journals (of a swap, of a restore) name a family's members, a line each: a few
// hundred bytes. One larger than this is not one of ours, and is not read.
inline constexpr uint64_t kMaxJournalSize = 1u << 20;

// "<dir>/<TABLE>.rekasto" for the table at `tablePath` (TABLE = the file name without
// its extension, as stored).
std::string RepairFolderRoot(const std::string& tablePath);

// The path a table's files are found and replaced at: a symbolic link is followed (a
// rename onto the link would turn it into a plain file); anything else is kept as given.
std::string RealTablePath(FileSystem* fs, const std::string& tablePath);

// What rebuilds of the table left or are doing: repair folders whose swap journal is
// still open (a rebuild stopped between its swap steps; the next rebuild finishes or
// undoes the swap), and whether a rebuild holds the table's rebuild lock right now.
struct RebuildState {
  std::vector<std::string> openJournals;  // repair folders
  bool running = false;
};
RebuildState FindRebuildState(FileSystem* fs, const std::string& tablePath);

}  // namespace paradox
