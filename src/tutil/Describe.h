// Turning what was learned about a table into the records of TUtil32.h, and a rebuild
// descriptor back into the structure a rebuild writes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Facts.h"
#include "TUtil32.h"
#include "TUtilRecords.h"
#include "paradox/repair/rebuild.h"

namespace tutil {

// Optional parameters of a table: (name, value) pairs, see TUtilRecords.h.
std::vector<std::pair<std::string, std::string>> OptionalParams(const TableFacts& facts);
// Bytes the parameters' values take in array 7 (each NUL-terminated).
size_t OptionalDataBytes(const TableFacts& facts);

void MakeProps(const TableFacts& facts, const char* location, CURProps* out);
DescCounts MakeCounts(const TableFacts& facts);
// Checks the caller's counts and arrays first; writes only when all fit.
void MakeDesc(const TableFacts& facts, CRTblDesc* desc);

// The structure a descriptor asks for. DBIERR_INVALIDDESC (naming the element) when it is
// incomplete or inconsistent; `facts`, when the table's header could be read, is used to
// refuse changes the rebuild cannot make (level, block size).
paradox::TableStructure StructureFromDesc(const CRTblDesc& desc, const TableFacts* facts,
                                          const std::string& file);

}  // namespace tutil
