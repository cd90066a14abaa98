#include "paradox/format/repair_traces.h"

namespace paradox {

std::string RepairFolderRoot(const std::string& tablePath) {
  return PathJoin(PathDirName(tablePath), PathStem(tablePath) + ".rekasto");
}

// The path a table's files are found and replaced at: a symbolic link is followed (a
// rename onto the link would turn it into a plain file); anything else is kept as given.
std::string RealTablePath(FileSystem* fs, const std::string& tablePath) {
  auto real = fs->ResolveLink(tablePath);
  return real.ok() ? *real : tablePath;
}

RebuildState FindRebuildState(FileSystem* fs, const std::string& givenPath) {
  if (!fs) fs = DefaultFileSystem();
  RebuildState state;
  const std::string root = RepairFolderRoot(RealTablePath(fs, givenPath));
  if (!fs->IsDirectory(root)) return state;
  auto entries = fs->ListDir(root);
  if (!entries.ok()) return state;
  for (const std::string& e : *entries) {
    const std::string repair = PathJoin(root, e);
    if (fs->Exists(PathJoin(repair, kSwapJournal))) state.openJournals.push_back(repair);
  }
  const std::string lock = PathJoin(root, kRebuildLockFile);
  if (fs->Exists(lock)) {
    auto held = fs->IsLocked(lock);
    state.running = held.ok() && *held;
  }
  return state;
}

}  // namespace paradox
