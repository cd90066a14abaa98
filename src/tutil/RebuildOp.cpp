// TURebuildTable's work: the descriptor turned into the structure the rebuilder writes.
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "Describe.h"
#include "Progress.h"
#include "family.h"
#include "rebuild.h"

namespace tutil {

namespace {

// The format library looks for lock files and for another program's write lock. A
// program that merely reads under a shared record lock, or that locks with flock(),
// holds the table just as well: swapping the files under it would leave it working on
// the backup. A probe that cannot be made proves nothing and stops nothing.
void RequireNoOtherLock(const std::string& path) {
  auto family = paradox::FindFamily(paradox::DefaultFileSystem(), path);
  if (!family.ok()) return;
  for (const std::string& member : family.value().AllMembers()) {
    const int fd = ::open(member.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct flock probe;
    std::memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;  // conflicts with every lock another process holds
    probe.l_whence = SEEK_SET;
    bool held = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    if (!held) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        (void)::flock(fd, LOCK_UN);
      else
        held = errno == EWOULDBLOCK;
    }
    ::close(fd);
    if (held) {
      Fail(DBIERR_LOCKED, path,
           "table " + paradox::PathBaseName(path) + " is in use: another program holds a lock on " +
               paradox::PathBaseName(member) + "; close it and try again");
    }
  }
}

}  // namespace

void Rebuild(const std::string& path, const std::string& backupName, const std::string& keyviolName,
             const std::string& problemName, const CRTblDesc& desc) {
  const size_t typeLength = strnlen(desc.szTblType, sizeof desc.szTblType);
  if (typeLength == sizeof desc.szTblType)
    Fail(DBIERR_INVALIDDESC, path, "descriptor's table type is not NUL-terminated");
  if (typeLength > 0) RequireParadoxType(desc.szTblType, path);
  const size_t reportLength = strnlen(desc.szErrTblName, sizeof desc.szErrTblName);
  if (reportLength == sizeof desc.szErrTblName)
    Fail(DBIERR_INVALIDDESC, path, "descriptor's report table name is not NUL-terminated");
  const std::string reportName =
      reportLength == 0 ? std::string("Rebuild.DB")
                        : RequireTableFileName(desc.szErrTblName, "report table name", path);

  // All four land in the same repair folder: two of one name would meet there half-way
  // through the rebuild.
  const std::string* names[] = {&backupName, &keyviolName, &problemName, &reportName};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = i + 1; j < 4; ++j) {
      if (strcasecmp(paradox::PathStem(*names[i]).c_str(), paradox::PathStem(*names[j]).c_str()) ==
          0) {
        Fail(DBIERR_INVALIDPARAM, path,
             "backup, key-violation, problem and report tables need different names; \"" +
                 *names[i] + "\" and \"" + *names[j] + "\" are one");
      }
    }
  }

  paradox::FileSystem* fsys = paradox::DefaultFileSystem();
  paradox::Status free = paradox::CheckTableNotInUse(fsys, path);
  if (!free.ok()) FailWith(free, path, false);
  RequireNoOtherLock(path);

  // A header too damaged to read does not stop a rebuild driven by a descriptor; other
  // failures (foreign file, unknown level) do.
  std::optional<TableFacts> facts;
  try {
    facts = LoadFacts(path);
  } catch (const Failure& f) {
    if (f.code != DBIERR_CORRUPTHEADER) throw;
  }
  const paradox::TableStructure structure =
      StructureFromDesc(desc, facts ? &*facts : nullptr, path);

  ProgressRelay relay(paradox::PathBaseName(path));
  paradox::RebuildOptions options;
  options.structure = &structure;
  options.backupName = backupName;
  options.keyViolationName = keyviolName;
  options.problemName = problemName;
  options.reportName = reportName;
  options.progress = [&relay](int phase, int percent) { relay(phase, percent); };
  const paradox::RebuildResult result = paradox::RebuildTable(path, options);
  if (!result.status.ok()) {
    const paradox::Status& st = result.status;
    const DBIResult code = CodeFor(st, true);
    Fail(code, path, st.message());
  }
}

}  // namespace tutil
