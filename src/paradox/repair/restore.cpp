#include "paradox/repair/restore.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "paradox/format/family.h"
#include "paradox/repair/rebuild.h"

namespace paradox {
namespace {

constexpr const char* kSwapDone = "swap.done";
constexpr const char* kJournal = "restore.journal";
constexpr const char* kJournalDone = "restore.done";
constexpr const char* kJournalUndone = "restore.rolledback";
constexpr const char* kJournalMagic = "rekasto restore journal 1";
constexpr const char* kKeptPrefix = "before-restore-";
constexpr const char* kIncoming = "incoming";

// "20261208-061500-10" after "-9": by the stamp, then the number.
bool NewerLast(const std::string& a, const std::string& b) {
  auto key = [](const std::string& name) {
    const std::string base = PathBaseName(name);
    const size_t dash = base.size() > 15 ? base.find('-', 15) : std::string::npos;
    int n = 1;
    if (dash != std::string::npos) {
      n = 0;  // as before: a number that does not read is 0
      std::from_chars(base.data() + dash + 1, base.data() + base.size(), n);
    }
    return std::make_pair(base.substr(0, 15), n);
  };
  return key(a) < key(b);
}

struct Movements {
  std::vector<std::string> keeps;  // current members: <dir>/NAME -> <kept>/NAME
  std::vector<std::string> puts;   // restored members: <kept>/incoming/NAME -> <dir>/NAME
};

// Moves back what a restore moved: restored members out of the way again, then the
// family it replaced into place. Each step only when its file is still where the
// movement left it, so that it serves a crash at any point too.
Status RollBack(FileSystem* fs, const std::string& dir, const std::string& kept,
                const Movements& m) {
  Status first;
  auto note = [&](Status st) {
    if (!st.ok() && first.ok()) first = st;
  };
  const std::string incoming = PathJoin(kept, kIncoming);
  for (const std::string& n : m.puts)
    if (fs->Exists(PathJoin(dir, n)) && !fs->Exists(PathJoin(incoming, n)))
      note(fs->Rename(PathJoin(dir, n), PathJoin(incoming, n)));
  for (const std::string& n : m.keeps)
    if (fs->Exists(PathJoin(kept, n)) && !fs->Exists(PathJoin(dir, n)))
      note(fs->Rename(PathJoin(kept, n), PathJoin(dir, n)));
  note(fs->SyncDir(dir));
  return first;
}

// The staged copies are ours; once nothing refers to them they go.
void DiscardIncoming(FileSystem* fs, const std::string& kept, const Movements& m) {
  const std::string incoming = PathJoin(kept, kIncoming);
  for (const std::string& n : m.puts) (void)fs->Remove(PathJoin(incoming, n));
  (void)fs->Remove(incoming);
}

// Rolls back restores of this table that a crash left with an open journal.
Status SettleInterruptedRestores(FileSystem* fs, const std::string& root, const std::string& dir) {
  auto repairs = fs->ListDir(root);
  if (!repairs.ok()) return repairs.status();
  for (const std::string& r : *repairs) {
    const std::string repair = PathJoin(root, r);
    if (!fs->IsDirectory(repair)) continue;
    auto subs = fs->ListDir(repair);
    if (!subs.ok()) return subs.status();
    for (const std::string& s : *subs) {
      const std::string kept = PathJoin(repair, s);
      const std::string journal = PathJoin(kept, kJournal);
      if (s.rfind(kKeptPrefix, 0) != 0 || !fs->Exists(journal)) continue;
      auto data = fs->ReadFile(journal, kMaxJournalSize);
      if (!data.ok()) return data.status();
      auto entries = ParseJournalText(*data, kJournalMagic);
      if (!entries.ok()) return Status::Corruption(journal + ": " + entries.status().message());
      Movements m;
      for (const auto& l : *entries) {
        if (l[0] == "keep" && l.size() == 2) m.keeps.push_back(l[1]);
        if (l[0] == "put" && l.size() == 3) m.puts.push_back(l[1]);
      }
      PARADOX_RETURN_IF_ERROR(RollBack(fs, dir, kept, m));
      PARADOX_RETURN_IF_ERROR(fs->Rename(journal, PathJoin(kept, kJournalUndone)));
      DiscardIncoming(fs, kept, m);
    }
  }
  return Status::OK();
}

std::string Stamp(std::time_t now) {
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return stamp;
}

}  // namespace

std::vector<std::string> CompletedRebuilds(FileSystem* fs, const std::string& tablePath) {
  if (!fs) fs = DefaultFileSystem();
  const std::string root = RepairFolderRoot(RealTablePath(fs, tablePath));
  std::vector<std::string> out;
  auto entries = fs->ListDir(root);
  if (!entries.ok()) return out;
  for (const std::string& e : *entries)
    if (fs->Exists(PathJoin(PathJoin(root, e), kSwapDone))) out.push_back(PathJoin(root, e));
  std::sort(out.begin(), out.end(), NewerLast);
  return out;
}

// The repair folder to restore from and the backups its rebuild's journal names.
Status ChooseSource(FileSystem* fs, const std::string& tablePath, const std::string& root,
                    const RestoreOptions& o, RestoreResult* res) {
  const std::string table = PathBaseName(tablePath);
  if (o.from.empty()) {
    const auto done = CompletedRebuilds(fs, tablePath);
    if (done.empty())
      return Status::NotFound("no completed rebuild of " + table + " in " + root +
                              " to restore from");
    res->source = done.back();
  } else {
    res->source = fs->IsDirectory(o.from) ? o.from : PathJoin(root, o.from);
    if (!fs->IsDirectory(res->source)) return Status::NotFound(o.from + ": no such repair folder");
    if (!fs->Exists(PathJoin(res->source, kSwapDone)))
      return Status::InvalidArgument(
          o.from + ": not the repair folder of a completed rebuild (it has no " + kSwapDone + ")");
  }
  auto backups = BackupsOfRebuild(fs, res->source);
  if (!backups.ok()) return backups.status();
  const bool hasDb = std::any_of(backups->begin(), backups->end(), [&](const auto& b) {
    return AsciiUpper(b.first) == AsciiUpper(table);
  });
  if (!hasDb)
    return Status::InvalidArgument(res->source + " holds no backup of " + table +
                                   "; it is another table's");
  for (const auto& [member, backup] : *backups)
    if (!fs->Exists(PathJoin(res->source, backup)))
      return Status::NotFound("backup " + backup + " of " + member + " is missing from " +
                              res->source);
  res->restored = *backups;

  return Status::OK();
}

// The family in place now (once settled), all of it to be moved aside, and the members
// to put back.
Result<Movements> PlanMovements(FileSystem* fs, const std::string& tablePath,
                                const std::string& dir, RestoreResult* res) {
  const bool present = fs->Exists(tablePath);
  Movements m;
  if (present) {
    auto fam = FindFamily(fs, tablePath);
    if (!fam.ok()) return fam.status();
    for (const std::string& member : fam->AllMembers()) m.keeps.push_back(PathBaseName(member));
  }
  for (const auto& r : res->restored) {
    m.puts.push_back(r.first);
    // Whatever has a restored member's name goes aside too, even when it is no member
    // now (the .DB was deleted and the rest left): a rename must never replace a file.
    if (fs->Exists(PathJoin(dir, r.first)) &&
        std::find(m.keeps.begin(), m.keeps.end(), r.first) == m.keeps.end())
      m.keeps.push_back(r.first);
  }
  res->replaced = m.keeps;
  return m;
}

// The renames of a journalled restore; a failure moves everything back.
Status SwapIn(FileSystem* fs, const std::string& dir, const std::string& kept,
              const std::string& incoming, const std::string& journal, const Movements& m,
              Status st) {
  for (size_t i = 0; st.ok() && i < m.keeps.size(); ++i)
    st = fs->Rename(PathJoin(dir, m.keeps[i]), PathJoin(kept, m.keeps[i]));
  for (size_t i = 0; st.ok() && i < m.puts.size(); ++i)
    st = fs->Rename(PathJoin(incoming, m.puts[i]), PathJoin(dir, m.puts[i]));
  if (st.ok()) st = fs->SyncDir(dir);
  if (!st.ok()) {
    Status back = RollBack(fs, dir, kept, m);
    if (back.ok()) back = fs->Rename(journal, PathJoin(kept, kJournalUndone));
    if (!back.ok())
      return Status::IOError("restoring failed (" + st.message() +
                                 ") and so did moving the table back (" + back.message() +
                                 "); its files are in " + kept +
                                 " and the next restore moves them back",
                             st.error_number());
    DiscardIncoming(fs, kept, m);
    return Status::IOError(
        "restoring failed: " + st.message() + "; the table was moved back as it was",
        st.error_number());
  }
  // Done. A failure to close the journal leaves one whose roll-back the next restore
  // does; so it must close, or the restore is reported as not done.
  if (Status closed = fs->Rename(journal, PathJoin(kept, kJournalDone)); !closed.ok()) {
    Status back = RollBack(fs, dir, kept, m);
    if (back.ok()) back = fs->Rename(journal, PathJoin(kept, kJournalUndone));
    if (back.ok()) DiscardIncoming(fs, kept, m);
    return Status::IOError("cannot close the restore journal: " + closed.message() +
                               (back.ok() ? "; the table was moved back as it was"
                                          : "; the next restore moves the table back"),
                           closed.error_number());
  }
  return Status::OK();
}

namespace {

// One restore, step by step: each step either moves the restore on or returns the
// reason it stops.
class Restorer {
 public:
  Restorer(const std::string& givenPath, const RestoreOptions& o)
      : o_(o), fs_(o.fs ? o.fs : DefaultFileSystem()) {
    tablePath_ = RealTablePath(fs_, givenPath);
    dir_ = PathDirName(tablePath_);
    root_ = RepairFolderRoot(tablePath_);
    table_ = PathBaseName(tablePath_);
  }

  RestoreResult Run() {
    res_.status = Steps();
    return std::move(res_);
  }

 private:
  Status Steps() {
    PARADOX_RETURN_IF_ERROR(ChooseSource(fs_, tablePath_, root_, o_, &res_));
    PARADOX_RETURN_IF_ERROR(TakeTable());
    auto planned = PlanMovements(fs_, tablePath_, dir_, &res_);
    if (!planned.ok()) return planned.status();
    moves_ = std::move(planned).value();
    if (o_.dryRun) return Status::OK();
    PARADOX_RETURN_IF_ERROR(Prepare());
    PARADOX_RETURN_IF_ERROR(SwapIn(fs_, dir_, kept_, incoming_, journal_, moves_, Status::OK()));
    (void)fs_->Remove(incoming_);  // empty now
    (void)fs_->SyncDir(kept_);
    if (!moves_.keeps.empty()) res_.keptIn = kept_;
    return Status::OK();
  }

  // Nobody else at the table, and whatever an earlier run left half done settled first,
  // in the same order as a rebuild.
  Status TakeTable() {
    const RebuildState state = FindRebuildState(fs_, tablePath_);
    if (state.running)
      return Status::Busy("a rebuild of " + table_ +
                          " is under way; wait until it has finished and try again");
    if (!o_.dryRun) {
      auto taken = TakeRebuildLock(fs_, tablePath_);
      if (!taken.ok()) return taken.status();
      lock_ = std::move(taken).value();
    }
    if (fs_->Exists(tablePath_)) PARADOX_RETURN_IF_ERROR(CheckTableNotInUse(fs_, tablePath_));
    if (o_.dryRun && !state.openJournals.empty())
      return Status::Busy("a rebuild of " + table_ + " was interrupted in its swap (" +
                          state.openJournals[0] +
                          "); a restore settles it first, a dry run cannot");
    if (o_.dryRun) return Status::OK();
    PARADOX_RETURN_IF_ERROR(RecoverInterruptedRebuild(fs_, tablePath_));
    return SettleInterruptedRestores(fs_, root_, dir_);
  }

  // A new repair folder for the family in place now (the source stays as the rebuild left
  // it), the backups copied in beside it, the journal. A failure leaves the table as it was.
  Status Prepare() {
    const std::time_t now = o_.now ? o_.now : std::time(nullptr);
    auto folder = CreateRepairFolder(fs_, tablePath_, now);
    if (!folder.ok())
      return Status::IOError(
          "cannot create a repair folder beside " + table_ + ": " + folder.status().message(),
          folder.status().error_number());
    folder_ = *folder;
    kept_ = PathJoin(folder_, kKeptPrefix + Stamp(now));
    incoming_ = PathJoin(kept_, kIncoming);
    journal_ = PathJoin(kept_, kJournal);
    Status st = StageBackups();
    std::vector<std::vector<std::string>> entries;
    for (const std::string& n : moves_.keeps) entries.push_back({"keep", n});
    for (const auto& [member, backup] : res_.restored) entries.push_back({"put", member, backup});
    if (st.ok()) st = WriteDurable(fs_, journal_, JournalText(kJournalMagic, entries));
    if (st.ok()) return st;
    // No file of the table was touched yet: what we made goes again.
    DiscardIncoming(fs_, kept_, moves_);
    (void)fs_->Remove(journal_ + ".tmp");
    (void)fs_->Remove(journal_);
    (void)fs_->Remove(kept_);
    (void)fs_->Remove(PathJoin(folder_, ".claimed"));
    (void)fs_->Remove(folder_);
    return Status::IOError(
        "cannot prepare the restore: " + st.message() + "; the table is unchanged",
        st.error_number());
  }

  Status StageBackups() {
    Status st = fs_->MakeDir(kept_);
    if (st.ok()) st = fs_->MakeDir(incoming_);
    for (size_t i = 0; st.ok() && i < res_.restored.size(); ++i)
      st = fs_->Copy(PathJoin(res_.source, res_.restored[i].second),
                     PathJoin(incoming_, res_.restored[i].first));
    if (st.ok()) st = fs_->SyncDir(incoming_);
    if (st.ok()) st = fs_->SyncDir(kept_);
    return st;
  }

  const RestoreOptions& o_;
  FileSystem* const fs_;
  RestoreResult res_;
  std::string tablePath_, dir_, root_, table_;
  std::unique_ptr<RebuildLockHolder> lock_;
  Movements moves_;
  std::string folder_, kept_, incoming_, journal_;
};

}  // namespace

RestoreResult RestoreTable(const std::string& givenPath, const RestoreOptions& o) {
  return Restorer(givenPath, o).Run();
}

}  // namespace paradox
