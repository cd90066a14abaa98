// The .VAL member (validity checks), as far as its layout is known: the header,
// the per-field checks and the footer's field list, for files of versions 9-12.
// Older (level 3) .VAL files keep only their first byte decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "coding.h"
#include "file.h"
#include "format.h"
#include "status.h"

namespace paradox {

struct ValField {
  uint16_t number = 0;  // field number as the .VAL knows it (may be an old ID)
  FieldType type = FieldType::kAlpha;
  uint8_t sizeByte = 0;
  std::string name;
};

struct ValCheck {
  uint8_t fieldIndex = 0;   // 0-based into ValFile::fields
  bool required = false;
  uint8_t lookupFlags = 0;  // bit 0: fill all corresponding fields, bit 1: lookup help
  std::string lookupTable;  // "" when none
  std::optional<Bytes> minimum, maximum, defaultValue;  // stored like record fields
  std::string picture;
};

struct ValFile {
  uint8_t changeCount = 0;     // byte 0: the DB's 0x2E when the file was written
  uint8_t version = 0;         // byte 1
  bool layoutKnown = false;    // versions 9-12: checks and fields below are decoded
  uint32_t footerOffset = 0;   // 0x09
  uint32_t refIntegrityOffset = 0;  // 0x0D, 0 = none (section kept undecoded)
  std::vector<ValCheck> checks;
  std::vector<ValField> fields;
  std::string tableName;
};

// Corruption (naming the offset) when a decoded count or offset runs outside the file.
Result<ValFile> DecodeVal(ByteSpan data);
Result<ValFile> ReadVal(FileSystem* fs, const std::string& path);

}  // namespace paradox
