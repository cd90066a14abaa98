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
// header results; IOError when the file system fails.
Result<RecoveredHeader> RecoverHeader(const Bytes& file, uint64_t fileSize, const BlockPeek& peek,
                                      const TableStructure* structure, const TableHeader* pxHeader,
                                      const ValFile* val,
                                      const std::map<uint16_t, FieldDesc>& fromIndexes);

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
