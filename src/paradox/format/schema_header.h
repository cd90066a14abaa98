// The header of a table the writer makes, from its schema, and the schema of a table
// from its header. HeaderForSchema and SchemaFromHeader (writer.h) are the public face;
// the rest serves the writer's own files.
#pragma once

#include <cstdint>
#include <string>

#include "paradox/format/format.h"
#include "paradox/format/status.h"
#include "paradox/format/writer.h"

namespace paradox {

// The header size of a table of `level` whose used header ends at `end`: whole 2 KiB
// units from level 3.5 on.
uint16_t RoundHeader(uint32_t end, TableLevel level);

// Fills the RAM-pointer fields with header-relative offsets that satisfy the
// identities readers cross-check.
void SetPointers(TableHeader* h);

// The header of a new table, or (tableBlockSize) of a table rewritten with the block
// size it has: that one is kept whenever the format has it, even where the table's
// level would not give a new table that size.
Result<TableHeader> BuildHeader(const TableSchema& s, const std::string& dbPath,
                                bool tableBlockSize);

}  // namespace paradox
