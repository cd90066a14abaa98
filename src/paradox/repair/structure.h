// The structure of a table as a rebuild takes it (fields, primary key, secondary
// indexes, validity checks), and one line of a rebuild's report. The salvage and the
// rebuild share them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace paradox {

// One field of a table, as the engine's rebuild descriptor describes it.
struct RebuildField {
  std::string name;
  char type = 'A';    // field type letter: A D S I $ N L M B F O G T @ + # Y
  uint16_t size = 0;  // descriptor size byte: length (A, Y), leader + 10 (blobs),
                      // decimals (#), the fixed size otherwise
};

// One secondary index (.Xnn/.Ynn or .XGn/.YGn).
struct RebuildIndex {
  std::string name;              // index name of an XG index; empty for a .Xnn index
  std::vector<uint16_t> fields;  // 1-based DB field numbers, in index order
  std::vector<bool> descending;  // per field; empty = all ascending
  bool caseInsensitive = false;
  bool unique = false;
  bool maintained = true;  // kept up to date by the engine (keyed tables)
  std::string fileSuffix;  // "X02", "XG0" ...; empty = derived from the definition
};

// Everything a rebuild needs to know about the table's structure. When the caller
// gives none, it is recovered from the table itself (header, its redundancy, and the
// .PX/.Xnn/.VAL members).
struct TableStructure {
  std::vector<RebuildField> fields;
  uint16_t keyFields = 0;             // leading fields forming the primary key
  std::vector<RebuildIndex> indexes;  // secondary indexes
  // True: `indexes` is the complete list (empty = no secondary index). False: an empty
  // list means "the indexes the family has now".
  bool indexesGiven = false;
  uint16_t validityChecks = 0;    // fields with validity checks (.VAL)
  uint16_t referentialLinks = 0;  // referential-integrity links (.VAL)
};

// One line of the report (also written to the report table).
struct RebuildAction {
  std::string action;   // short verb: "kept", "problem", "key violation", "regenerated",
                        // "dropped", "blob", "backup", "swap", "header" ...
  std::string file;     // family member concerned ("CUSTOMER.DB", "CUSTOMER.PX", ...)
  int64_t block = -1;   // block number, -1 when not applicable
  int64_t record = -1;  // record number inside the block or the table, -1 when n/a
  std::string detail;
};

}  // namespace paradox
