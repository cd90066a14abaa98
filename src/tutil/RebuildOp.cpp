// TURebuildTable's work: the descriptor turned into the structure the rebuilder writes.
#include <cstring>
#include <optional>
#include <string>

#include "Describe.h"
#include "Progress.h"
#include "rebuild.h"

namespace tutil {

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

  paradox::FileSystem* fsys = paradox::DefaultFileSystem();
  paradox::Status free = paradox::CheckTableNotInUse(fsys, path);
  if (!free.ok()) FailWith(free, path, false);

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
