// The .VAL member (validity checks and referential-integrity links): the one decoder
// of it, used by the salvage, the rebuild, the verifier and the utility library.
// Versions 9 and above (9, 11 and 12 are seen in real files) have a known layout:
// header, per-field checks, links and a footer that repeats the table's field list.
// The older (level 3) layout keeps only its first three bytes decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "paradox/format/coding.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/status.h"

namespace paradox {

// The largest .VAL read: real ones are a few kilobytes (255 fields' checks and a few
// links), so a larger one is damaged or foreign, and is neither read nor carried over.
inline constexpr uint64_t kMaxValFileSize = 16u << 20;

struct ValCheck {
  uint16_t fieldIndex = 0;  // 0-based into ValFile::fields
  bool required = false;
  uint8_t lookupFlags = 0;  // bit 0: fill all corresponding fields, bit 1: lookup help
  bool hasLookup = false;
  std::string lookupTable;
  std::optional<Bytes> minimum, maximum, defaultValue;  // stored like record fields
  std::string picture;
};

// A link in which the table is the dependent side.
struct ValLink {
  std::string name;
  std::string masterTable;
  uint32_t updateRule = 0;             // 1 cascade, 0 prohibit
  std::vector<uint16_t> thisFields;    // 1-based
  std::vector<uint16_t> masterFields;  // 1-based
};

struct ValFile {
  uint8_t changeCount = 0;          // byte 0: the DB's 0x2E when the file was written
  uint8_t version = 0;              // byte 1
  uint8_t declaredChecks = 0;       // byte 2
  bool layoutKnown = false;         // version 9 and above: the sections below are decoded
  uint32_t footerOffset = 0;        // 0x09
  uint32_t refIntegrityOffset = 0;  // 0x0D, 0 = none
  uint16_t declaredLinks = 0;       // count at the start of the links section
  bool fieldsRead = false;          // the footer's field list was decoded
  std::vector<FieldDesc> fields;    // number: as the .VAL knows it (may be an old ID)
  std::string tableName;
  std::vector<ValCheck> checks;
  std::vector<ValLink> links;
  // The first section that could not be decoded (a Corruption naming the offset), or
  // OK. The sections decoded before it stay filled in.
  Status problem;

  // True when the footer's field list has the table's types and sizes (what the checks'
  // values depend on) and, with `names`, its field names too (a rename through an
  // engine keeps the old names here).
  bool FieldsMatch(const std::vector<FieldDesc>& table, bool names) const;
};

// Decodes every section it can; never reads past the end. Corruption only when the
// file is too short for its first three bytes.
Result<ValFile> DecodeValSections(ByteSpan data);
// Strict: Corruption unless every section decodes.
Result<ValFile> DecodeVal(ByteSpan data);
// Reads and strictly decodes a .VAL file; the error names the file.
Result<ValFile> ReadVal(FileSystem* fs, const std::string& path);

}  // namespace paradox
