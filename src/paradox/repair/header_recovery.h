// Recovery of a table's structure when its header cannot be trusted as stored: repairs
// of the layout fields from the header's own redundancy (the block headers, the record
// and header sizes) and from the family (the .PX header, the X/XG headers, the .VAL's
// field list), or a caller's description. The salvage takes its header from here.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"
#include "paradox/format/val.h"
#include "paradox/format/writer.h"
#include "paradox/repair/structure.h"

namespace paradox {

// Reads bytes of the .DB at a file offset, zero-filled past its end (IOError only when
// the file system fails).
using BlockPeek = std::function<Status(uint64_t offset, MutableByteSpan out)>;

// "A12": a field's type letter and size byte, for messages.
std::string Describe(const FieldDesc& f);

// The field descriptors a caller's description gives; InvalidArgument for an unknown
// type or a size over 255.
Result<std::vector<FieldDesc>> FieldsFromStructure(const TableStructure& s);

struct RecoveredHeader {
  TableHeader header;
  Bytes patchedPrefix;  // non-empty: the file's first bytes with the header repaired
  bool repaired = false;
  bool fromStructure = false;
  std::vector<std::string> notes;
};

// Tries the header as stored (`file` holds the .DB's first bytes, `fileSize` its size),
// then repairs of the layout fields from the header's own redundancy and the family
// members, then a caller's description or the .VAL footer. Corruption when no usable
// header results (`storedProblem`, when given, then says what is wrong with the header
// as stored); IOError when the file system fails.
Result<RecoveredHeader> RecoverHeader(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                                      const TableStructure* structure, const TableHeader* pxHeader,
                                      const ValFile* val,
                                      const std::map<uint16_t, FieldDesc>& fromIndexes,
                                      std::string* storedProblem = nullptr);

// A structure found elsewhere (a backup of the table, an older copy, an empty table of
// the same layout, a layout inferred from the data) checked against the table's data
// before anything is read with it.
struct StructureFit {
  // "" when the structure fits the data; otherwise why it does not, in words for the user
  // ("record size 40 does not fit the data blocks: ...").
  std::string problem;
  // When it fits: the header to read the data with, `patchedPrefix` the file's first
  // bytes with that header in place (PatchedFileSystem), fromStructure set.
  RecoveredHeader header;
  uint32_t recordsSampled = 0;  // records whose every value was checked
  uint32_t recordsInvalid = 0;  // of those, records with a value no table may hold
};

// Whether the structure of `candidate` (the decoded header of another table: fields,
// key count, level, block size) fits the data of the .DB whose first bytes are `file`
// (`fileSize` bytes in all, its blocks read through `peek`). It fits when
//  - the layout is one a table may have (descriptors, record within a block);
//  - what the damaged header still says agrees with it: its record size or field count
//    (while its fixed part reads as a table's), the field descriptors that survive;
//  - at some header size the file's blocks read as linked data blocks whose record
//    counts are multiples of the record size within the block's capacity;
//  - a sample of the records (the first blocks of the chain) decodes with CheckField
//    (field_rules.h) finding a value no table may hold in at most one record in twenty.
// The header it gives keeps what the damaged header still says plausibly: the code page,
// the sort order, the next autoincrement value and the table name, and its counters and
// links while they fit the file (otherwise they are counted from the blocks). `source`
// names the structure's origin in the header's note ("OTHER.DB", "the repair folder
// ..."); `why` says what is wrong with the table's own header. A misfit is not an
// error: `problem` says it. IOError when the file system fails.
Result<StructureFit> FitStructureToData(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                                        const TableHeader& candidate, const std::string& source,
                                        const std::string& why);

// The same for the .DB at `dbPath`, read from `fs`: what a caller with a structure of its
// own (an inferred one, a template table's header) asks before offering it to a rebuild.
Result<StructureFit> FitStructureToTable(FileSystem* fs, const std::string& dbPath,
                                         const TableHeader& candidate, const std::string& source);

// What the header recovery draws on: the DB's first bytes, and the .PX header, the
// .VAL's field list and the X/XG headers of the family. A failing file system is an
// error; a damaged member only contributes nothing.
struct HeaderSources {
  Bytes prefix;
  uint64_t fileSize = 0;
  std::optional<TableHeader> px;
  std::optional<ValFile> val;
  std::map<uint16_t, FieldDesc> fromIndexes;
};

Result<HeaderSources> ReadHeaderSources(FileSystem* fs, const FamilyFiles& fam);

// Block headers of the .DB as RecoverHeader reads them; `holder` keeps the file open for
// as long as the peek is used.
Result<BlockPeek> PeekInto(FileSystem* fs, const std::string& db, std::shared_ptr<File>* holder);

// Secondary-index definitions from the X/XG headers of the family.
std::vector<SecondaryIndexDef> IndexDefsFromFamily(FileSystem* fs, const FamilyFiles& fam,
                                                   const TableHeader& db,
                                                   std::vector<RebuildAction>* actions,
                                                   Status* ioError);

// Secondary-index definitions from a caller's description.
std::vector<SecondaryIndexDef> IndexDefsFromStructure(const TableStructure& s,
                                                      const TableHeader& db);

// Records per data block from the primary index's leaf entries (-1 = unknown): the
// redundancy that bounds a block whose own count word is damaged. A .PX that cannot
// be read gives nothing; a failing file system is an error.
Result<std::vector<int32_t>> IndexCounts(FileSystem* fs, const FamilyFiles& fam,
                                         const TableHeader& h);

}  // namespace paradox
