// Whether a .DB whose header does not read as a table's is still a Paradox table: a
// damaged one, whose structure must come from elsewhere, rather than a foreign file.
// The verifier (verdict 3 instead of 4), the command-line tool and the table-utility
// library (which refuse foreign files) ask this one question.
#pragma once

#include <string>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"

namespace paradox {

// What shows that the file at `dbPath` (its first bytes `prefix`, `fileSize` bytes in
// all) is a Paradox table although its header's fixed part does not say so, in words
// ("the family's T.PX, T.VAL", "its header area still holds 4 field descriptors and
// names", "its data blocks (2048-byte blocks from offset 2048)"); "" when nothing does.
// A file that reads as text, or starts with another format's signature, is foreign
// whatever lies beside it. A failing file system gives "" (nothing shown).
std::string ParadoxTableEvidence(FileSystem* fs, const std::string& dbPath, const Bytes& prefix,
                                 uint64_t fileSize);

// The field count a header's variable part shows without its fixed part: n valid field
// descriptors at `descriptorsAt` (0x78 for level 4 and later, 0x58 before), followed, past
// the pointer images and a table-name area of `nameArea` bytes (79, or 261 at level 7),
// by n distinct field names. 0 when no count fits.
size_t FieldCountFromNameArea(const Bytes& prefix, size_t descriptorsAt, size_t nameArea);

// The same, reading the file's first bytes itself.
std::string ParadoxTableEvidence(FileSystem* fs, const std::string& dbPath);

}  // namespace paradox
