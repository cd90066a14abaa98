#include "paradox/repair/repair_folder.h"

#include <cstdio>

#include "paradox/format/coding.h"

namespace paradox {
namespace {

constexpr const char* kJournalMagic = "rekasto swap journal 1";

Result<SwapPlan> ParseJournal(const Bytes& data) {
  auto entries = ParseJournalText(data, kJournalMagic);
  if (!entries.ok()) return Status::Corruption("swap journal: " + entries.status().message());
  SwapPlan plan;
  for (const std::vector<std::string>& parts : *entries) {
    if (parts[0] == "put" && (parts.size() == 5 || parts.size() == 6)) {
      plan.puts.push_back(
          {parts[1], parts[2], parts[3] == "1", parts[4], parts.size() == 6 ? parts[5] : ""});
    } else if (parts[0] == "remove" && parts.size() == 2) {
      plan.removes.push_back(parts[1]);
    } else if (parts[0] == "backup" && parts.size() == 3) {
      plan.backups[parts[1]] = parts[2];
    } else {
      std::string line = parts[0];
      for (size_t k = 1; k < parts.size(); ++k) line += "\t" + parts[k];
      return Status::Corruption("swap journal: bad line \"" + line + "\"");
    }
  }
  return plan;
}

// The rebuild lock: an exclusive lock on <TABLE>.rekasto/rebuild.lock for the whole of a
// rebuild, so two rebuilds of one table never meet. Letting go removes the file (and the
// folder, if nothing else is in it), so a rebuild that stopped early leaves nothing.
class RebuildLock : public RebuildLockHolder {
 public:
  static Result<std::unique_ptr<RebuildLock>> Take(FileSystem* fs, const std::string& tablePath) {
    const std::string root = RepairFolderRoot(tablePath);
    const std::string path = PathJoin(root, kRebuildLockFile);
    // Another rebuild letting go at this moment may remove the file or the folder under
    // us: take the new ones then.
    for (int attempt = 0; attempt < 8; ++attempt) {
      if (Status st = fs->MakeDir(root); !st.ok()) {
        return Status::IOError(
            "cannot create a repair folder beside " + PathBaseName(tablePath) + ": " + st.message(),
            st.error_number());
      }
      auto f = fs->Open(path, OpenMode::kCreate);
      if (!f.ok() && f.status().IsNotFound()) continue;
      if (!f.ok()) return f.status();
      PARADOX_RETURN_IF_ERROR((*f)->Close());
      auto lock = fs->Lock(path);
      if (!lock.ok() && lock.status().IsNotFound()) continue;
      if (!lock.ok() && lock.status().IsBusy()) return RebuildBusy(tablePath);
      if (!lock.ok()) return lock.status();
      return std::unique_ptr<RebuildLock>(new RebuildLock(fs, root, path, std::move(lock).value()));
    }
    return RebuildBusy(tablePath);
  }
  ~RebuildLock() override {
    // Removed while still held: whoever opened the file meanwhile notices it is gone.
    (void)fs_->Remove(path_);
    lock_.reset();
    (void)fs_->Remove(root_);  // fails, as it should, unless the folder is empty
  }

 private:
  RebuildLock(FileSystem* fs, std::string root, std::string path, std::unique_ptr<FileLock> lock)
      : fs_(fs), root_(std::move(root)), path_(std::move(path)), lock_(std::move(lock)) {}
  FileSystem* fs_;
  std::string root_, path_;
  std::unique_ptr<FileLock> lock_;
};

}  // namespace

Status RebuildBusy(const std::string& tablePath) {
  return Status::Busy("another rebuild of " + PathBaseName(tablePath) +
                      " is under way; wait until it has finished and try again");
}

// Size and hash of a file, so that after a crash a member found in place can be
// told apart: the rebuilt file already swapped in, or still the original.
// `read`, when set, is told the bytes read so far.
Result<std::string> Fingerprint(FileSystem* fs, const std::string& path,
                                const std::function<void(uint64_t)>& read) {
  auto f = fs->Open(path, OpenMode::kRead);
  if (!f.ok()) return f.status();
  uint64_t hash = 1469598103934665603ull, size = 0;
  Bytes buf(1 << 16);
  while (true) {
    size_t got = 0;
    PARADOX_RETURN_IF_ERROR((*f)->ReadAt(size, MutableByteSpan(buf), &got));
    // FNV-1a over 8-byte words (then the odd tail bytes): a fingerprint, not a MAC.
    size_t i = 0;
    for (; i + 8 <= got; i += 8) {
      uint64_t w = uint64_t(DecodeU32(&buf[i])) | (uint64_t(DecodeU32(&buf[i + 4])) << 32);
      hash = (hash ^ w) * 1099511628211ull;
      hash ^= hash >> 29;
    }
    for (; i < got; ++i) hash = (hash ^ buf[i]) * 1099511628211ull;
    size += got;
    if (read) read(size);
    if (got < buf.size()) break;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%llu:%016llx", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(hash));
  return std::string(text);
}

// Where a put lands: the member's own path, or the file its link leads to.
std::string Dest(const std::string& dir, const SwapPlan::Put& p) {
  return p.dest.empty() ? PathJoin(dir, p.to) : p.dest;
}

std::string JournalText(const SwapPlan& plan) {
  std::vector<std::vector<std::string>> entries;
  for (const auto& p : plan.puts) {
    entries.push_back({"put", p.from, p.to, p.replaces ? "1" : "0", p.print});
    if (!p.dest.empty()) entries.back().push_back(p.dest);
  }
  for (const auto& r : plan.removes) entries.push_back({"remove", r});
  for (const auto& [member, backup] : plan.backups) entries.push_back({"backup", member, backup});
  return JournalText(kJournalMagic, entries);
}

std::string JournalText(const std::string& magic,
                        const std::vector<std::vector<std::string>>& entries) {
  std::string t = magic + "\n";
  for (const auto& e : entries) {
    for (size_t k = 0; k < e.size(); ++k) t += (k ? "\t" : "") + e[k];
    t += "\n";
  }
  return t + "end\n";
}

Result<std::vector<std::vector<std::string>>> ParseJournalText(const Bytes& data,
                                                               const std::string& magic) {
  const std::string text(data.begin(), data.end());
  std::vector<std::vector<std::string>> entries;
  size_t pos = 0;
  bool first = true;
  // A last line without its line break was cut short by a crash: it does not count.
  for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    const std::string line = text.substr(pos, nl - pos);
    if (first) {
      if (line != magic) return Status::Corruption("unknown format");
      first = false;
      continue;
    }
    if (line == "end") return entries;
    std::vector<std::string>& parts = entries.emplace_back();
    for (size_t s = 0;;) {
      const size_t tab = line.find('\t', s);
      parts.push_back(line.substr(s, tab == std::string::npos ? std::string::npos : tab - s));
      if (tab == std::string::npos) break;
      s = tab + 1;
    }
  }
  return Status::Corruption("incomplete");
}

std::string BackupName(const std::string& backupDb, const std::string& memberPath, bool isDb) {
  if (isDb) return backupDb;
  return PathStem(backupDb) + AsciiUpper(PathExtension(memberPath));
}

// Undo the movements of a swap from the backup: puts that replaced an original are
// restored from the backup copy (written beside, then renamed), puts that added a
// member are removed, removed members are moved back.
Status RollBack(FileSystem* fs, const std::string& dir, const std::string& repair,
                const SwapPlan& plan, size_t putsDone, size_t removesDone,
                const std::map<std::string, std::string>& backupOf) {
  Status first;
  auto note = [&](Status st) {
    if (!st.ok() && first.ok()) first = st;
  };
  for (size_t i = 0; i < removesDone && i < plan.removes.size(); ++i) {
    std::string moved = PathJoin(PathJoin(repair, "removed"), plan.removes[i]);
    if (fs->Exists(moved)) note(fs->Rename(moved, PathJoin(dir, plan.removes[i])));
  }
  for (size_t i = 0; i < putsDone && i < plan.puts.size(); ++i) {
    const auto& p = plan.puts[i];
    std::string dest = Dest(dir, p);
    if (!p.replaces) {
      if (fs->Exists(dest)) note(fs->Remove(dest));
      continue;
    }
    auto b = backupOf.find(AsciiUpper(p.to));
    if (b == backupOf.end()) {
      note(Status::IOError("no backup of " + p.to + " to restore"));
      continue;
    }
    std::string tmp = dest + ".rekasto-tmp";
    Status st = fs->Copy(PathJoin(repair, b->second), tmp);
    if (st.ok()) st = fs->Rename(tmp, dest);
    note(st);
  }
  note(fs->SyncDir(dir));
  return first;
}

Result<std::unique_ptr<RebuildLockHolder>> TakeRebuildLock(FileSystem* fs,
                                                           const std::string& tablePath) {
  auto lock = RebuildLock::Take(fs ? fs : DefaultFileSystem(), tablePath);
  if (!lock.ok()) return lock.status();
  return std::unique_ptr<RebuildLockHolder>(std::move(lock).value());
}

Result<std::string> CreateRepairFolder(FileSystem* fs, const std::string& tablePath,
                                       std::time_t now) {
  if (!fs) fs = DefaultFileSystem();
  std::string root = RepairFolderRoot(tablePath);
  PARADOX_RETURN_IF_ERROR(fs->MakeDir(root));
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  for (int n = 1; n < 1000; ++n) {
    std::string name = n == 1 ? std::string(stamp) : std::string(stamp) + "-" + std::to_string(n);
    std::string path = PathJoin(root, name);
    if (fs->Exists(path)) continue;
    PARADOX_RETURN_IF_ERROR(fs->MakeDir(path));
    // Claim the folder: a marker that only one creator can make.
    auto claim = fs->Open(PathJoin(path, ".claimed"), OpenMode::kCreateNew);
    if (!claim.ok()) continue;
    Status st = (*claim)->Close();
    if (!st.ok()) return st;
    // The backup written in here must survive a power loss: make the new folder's
    // names durable in their parents.
    PARADOX_RETURN_IF_ERROR(fs->SyncDir(root));
    PARADOX_RETURN_IF_ERROR(fs->SyncDir(PathDirName(root)));
    return path;
  }
  return Status::IOError("no free repair folder name under " + root);
}

Status RecoverInterruptedRebuild(FileSystem* fs, const std::string& givenPath) {
  if (!fs) fs = DefaultFileSystem();
  const std::string tablePath = RealTablePath(fs, givenPath);
  std::string root = RepairFolderRoot(tablePath);
  if (!fs->IsDirectory(root)) return Status::OK();
  auto entries = fs->ListDir(root);
  if (!entries.ok()) return entries.status();
  const std::string dir = PathDirName(tablePath);
  for (const std::string& e : *entries) {
    std::string repair = PathJoin(root, e);
    std::string journal = PathJoin(repair, kSwapJournal);
    if (!fs->Exists(journal)) continue;
    auto data = fs->ReadFile(journal, kMaxJournalSize);
    if (!data.ok()) return data.status();
    auto plan = ParseJournal(*data);
    if (!plan.ok()) return Status::Corruption(journal + ": " + plan.status().message());
    // Roll forward when every new member is at hand: still waiting in new/, or already
    // in place (the file there is the one the journal describes).
    bool forward = true;
    for (const auto& p : plan->puts) {
      if (fs->Exists(PathJoin(PathJoin(repair, "new"), p.from))) continue;
      auto inPlace = Fingerprint(fs, Dest(dir, p));
      if (!inPlace.ok() && inPlace.status().IsIOError() && fs->Exists(Dest(dir, p)))
        return inPlace.status();
      if (!inPlace.ok() || *inPlace != p.print) forward = false;
    }
    if (forward) {
      for (const auto& p : plan->puts) {
        std::string src = PathJoin(PathJoin(repair, "new"), p.from);
        if (fs->Exists(src)) PARADOX_RETURN_IF_ERROR(fs->Rename(src, Dest(dir, p)));
      }
      for (const auto& r : plan->removes) {
        std::string src = PathJoin(dir, r);
        if (fs->Exists(src)) {
          PARADOX_RETURN_IF_ERROR(fs->MakeDir(PathJoin(repair, "removed")));
          PARADOX_RETURN_IF_ERROR(fs->Rename(src, PathJoin(PathJoin(repair, "removed"), r)));
        }
      }
      PARADOX_RETURN_IF_ERROR(fs->SyncDir(dir));
      PARADOX_RETURN_IF_ERROR(fs->Rename(journal, PathJoin(repair, kSwapJournalDone)));
    } else {
      PARADOX_RETURN_IF_ERROR(
          RollBack(fs, dir, repair, *plan, plan->puts.size(), plan->removes.size(), plan->backups));
      PARADOX_RETURN_IF_ERROR(fs->Rename(journal, PathJoin(repair, kSwapJournalUndone)));
    }
    PARADOX_RETURN_IF_ERROR(fs->SyncDir(repair));
  }
  return Status::OK();
}

Result<std::vector<std::pair<std::string, std::string>>> BackupsOfRebuild(
    FileSystem* fs, const std::string& repair) {
  const std::string journal = PathJoin(repair, kSwapJournalDone);
  auto data = fs->ReadFile(journal, kMaxJournalSize);
  if (!data.ok()) return data.status();
  auto plan = ParseJournal(*data);
  if (!plan.ok()) return Status::Corruption(journal + ": " + plan.status().message());
  // The backups are listed by upper-case member name; the names the family had are
  // those the swap replaced or moved away.
  std::map<std::string, std::string> nameOf;
  for (const auto& p : plan->puts)
    if (p.replaces) nameOf[AsciiUpper(p.to)] = p.to;
  for (const std::string& r : plan->removes) nameOf[AsciiUpper(r)] = r;
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [member, backup] : plan->backups) {
    auto n = nameOf.find(member);
    out.emplace_back(n == nameOf.end() ? member : n->second, backup);
  }
  if (out.empty()) return Status::Corruption(journal + ": names no backup");
  return out;
}

}  // namespace paradox
