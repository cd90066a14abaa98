// TURebuildTable's work: the descriptor turned into the structure the rebuilder writes.
#include <strings.h>

#include <cstring>
#include <optional>
#include <string>

#include "Describe.h"
#include "PolishText.h"
#include "Progress.h"
#include "paradox/repair/rebuild.h"

namespace tutil {

RebuildDone Rebuild(const std::string& path, const std::string& backupName,
                    const std::string& keyviolName, const std::string& problemName,
                    const CRTblDesc& desc) {
  const size_t typeLength = strnlen(desc.szTblType, sizeof desc.szTblType);
  if (typeLength == sizeof desc.szTblType)
    Fail(DBIERR_INVALIDDESC, path,
         "typ tabeli w opisie struktury: brak bajtu NUL kończącego tekst");
  if (typeLength > 0) RequireParadoxType(desc.szTblType, path);
  const size_t reportLength = strnlen(desc.szErrTblName, sizeof desc.szErrTblName);
  if (reportLength == sizeof desc.szErrTblName)
    Fail(DBIERR_INVALIDDESC, path,
         "nazwa tabeli raportu w opisie struktury: brak bajtu NUL kończącego tekst");
  const std::string reportName =
      reportLength == 0 ? std::string("Rebuild.DB")
                        : RequireTableFileName(desc.szErrTblName, "nazwa tabeli raportu", path);

  // All four land in the same repair folder: two of one name would meet there half-way
  // through the rebuild.
  const std::string* names[] = {&backupName, &keyviolName, &problemName, &reportName};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = i + 1; j < 4; ++j) {
      if (strcasecmp(paradox::PathStem(*names[i]).c_str(), paradox::PathStem(*names[j]).c_str()) ==
          0) {
        Fail(DBIERR_INVALIDPARAM, path,
             "tabele kopii, naruszeń klucza, problemów i raportu muszą mieć różne nazwy; \"" +
                 *names[i] + "\" i \"" + *names[j] + "\" to jedna nazwa");
      }
    }
  }

  // Whether another program holds the table (lock files, record locks, flock) is checked
  // by the rebuild itself, for every caller alike.
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
  // No primary key and no secondary index, given or in the family: the new family has no
  // index member. Unknown when the header could not be read: the bar then moves as usual.
  relay.SetNoIndexes(facts && structure.keyFields == 0 && structure.indexes.empty() &&
                     facts->header.fixed.primaryKeyFields == 0 && facts->family.secondary.empty());
  relay.Begin();
  const paradox::RebuildResult result = paradox::RebuildTable(path, options);
  if (!result.status.ok()) {
    const paradox::Status& st = result.status;
    // A rebuild writes beside the table: a refused access is a refused write there.
    Failure failure{CodeFor(st, true), path, PolishDetail(st), true};
    if (st.IsBusy()) failure.why = InUseReason(path);
    throw failure;
  }
  RebuildDone done;
  done.kept = result.recordsKept;
  done.keyViolations = result.keyViolations;
  done.problems = result.problems;
  done.implausible = result.implausible;
  done.repairFolder = result.repairFolder;
  done.keyviolName = keyviolName;
  done.problemName = problemName;
  return done;
}

}  // namespace tutil
