// Locating the members of a table family in its directory (case-insensitively).
#pragma once

#include <string>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/format/status.h"

namespace paradox {

struct SecondaryFiles {
  std::string tag;         // "X03", "XG0", ... (upper case, as the X member's extension)
  std::string x;           // full path of the X/XG file ("" if only the Y exists)
  std::string y;           // full path of the Y/YG file ("" if missing)
  bool composite = false;  // XG
};

struct FamilyFiles {
  std::string db;                         // the .DB path as given
  std::string px, mb, val, tv, fam;       // "" when absent
  std::vector<SecondaryFiles> secondary;  // sorted by tag
  std::vector<std::string> lockFiles;     // PARADOX.LCK, PDOXUSRS.LCK, <stem>.LCK, ... in the dir
  // All existing member paths (db first), e.g. for backups.
  std::vector<std::string> AllMembers() const;
};

// NotFound if the .DB itself is missing or its directory cannot be listed.
Result<FamilyFiles> FindFamily(FileSystem* fs, const std::string& dbPath);
// Path of a member with the given extension next to dbPath, using the .DB's stem and
// the extension's case matching the .DB's extension case (".DB" -> ".PX", ".db" -> ".px").
std::string MemberPath(const std::string& dbPath, const std::string& extUpper);

}  // namespace paradox
