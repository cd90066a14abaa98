// Finding a table's structure from its data blocks, for a .DB whose header is lost:
// the header and block sizes from the blocks' 6-byte headers, the record size from
// their record-count words, then the fields from the byte patterns of the records
// (sign-flipped big-endian integers, dates, times, sortable doubles, logicals, BCD,
// alpha text with its NUL tail, blob leaders and pointers), each reading costed as a
// description of the column's values and the cheapest segmentation taken.
// What survives of the damage is used as evidence, never trusted blindly: the header's
// field descriptors (their sizes fix the boundaries when they add up to the record
// size the blocks give; a type is kept when every value fits it), the count of names
// in its name area, the .PX's key descriptors (when every record fits them). Names come
// from wherever any survive (the header's name area, the .VAL footer, the X/XG
// headers), each only for a field it describes as read.
//
// The result is a guess with reasons: every field says how sure the reading is and why,
// and which other readings fit its bytes as well. Nothing is written to the table;
// WriteInferredTemplate makes an empty table of the structure, for a rebuild to take.
//
// Bounded on hostile input: the file is read through a small cache, block headers by
// sample, records up to a byte budget; memory and time do not grow with the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"
#include "paradox/format/writer.h"

namespace paradox {

struct InferOptions {
  FileSystem* fs = nullptr;  // nullptr: the OS file system
  // Record bytes the field analysis looks at (records are sampled evenly across the
  // data chain up to this); the work is a small multiple of it.
  size_t maxSampleBytes = size_t{4} << 20;
  uint32_t maxRecords = 4000;
  // Use the family (.VAL, .Xnn/.XGn, .PX) for field names and the key-field count.
  bool useFamily = true;
  // Use the header's surviving field descriptors (their sizes fix the boundaries, their
  // types where the data agrees). False: the fields come from the data alone.
  bool useHeader = true;
};

// How sure a reading is.
enum class Sureness : uint8_t { kLow, kMedium, kHigh };
const char* SurenessName(Sureness s);  // "low", "medium", "high"

struct InferredField {
  FieldType type = FieldType::kAlpha;
  uint8_t sizeByte = 0;    // descriptor size byte (A/Y length, blob leader + 10, # decimals)
  uint32_t offset = 0;     // in the record
  std::string name;        // raw bytes in the table's code page
  std::string nameSource;  // "header", ".VAL", "X02", ... or "" (made up: Field<n>)
  Sureness sureness = Sureness::kLow;
  std::string why;                  // the evidence, one line
  std::vector<FieldType> alsoFits;  // other types the bytes fit as well
  bool headerType = false;          // the type is the header's own descriptor's
  uint32_t Size() const { return StoredFieldSize(type, sizeByte); }
};

struct InferredStructure {
  // Layout of the file.
  uint32_t headerSize = 0;
  uint32_t blockSize = 0;
  uint32_t recordSize = 0;
  Sureness layoutSureness = Sureness::kLow;
  std::string layoutWhy;
  uint32_t blocksInFile = 0;     // blocks the file holds under the layout
  uint32_t chainBlocks = 0;      // blocks of the data chain walked
  uint64_t chainRecords = 0;     // records the chain's count words give
  uint64_t recordsExamined = 0;  // records the fields were judged by
  // Fields in record order; their sizes add up to recordSize.
  std::vector<InferredField> fields;
  // What the damaged header (or the family) still says, where plausible.
  TableLevel level = TableLevel::k7;
  std::string levelSource;  // "header", or why this level was chosen
  uint16_t keyFields = 0;
  std::string keySource;  // ".PX", "header", or "" (none known: unkeyed)
  uint16_t codePage = 0;  // 0: unknown (the schema then takes 1252)
  std::optional<uint8_t> sortOrder;
  std::string sortOrderId;
  std::string tableName;
  std::vector<std::string> notes;

  // The schema of an empty table of this structure (for the writer).
  TableSchema Schema() const;
};

// Infers the structure of the table at dbPath. NotFound when it does not exist;
// Corruption naming the reason when the file holds nothing that reads as data blocks
// (too short, no layout whose block headers hold together, no record size that fits
// them); IOError when the file system fails.
Result<InferredStructure> InferStructure(const std::string& dbPath, const InferOptions& options);

// Writes an empty table of the inferred structure at `path` (with its .PX when keyed).
// AlreadyExists-like refusal (InvalidArgument) when a file is there already: nothing of
// the user's is overwritten.
Status WriteInferredTemplate(FileSystem* fs, const InferredStructure& s, const std::string& path);

}  // namespace paradox
