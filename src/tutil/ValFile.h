// What the table-utility library reads from a family's .VAL file: the validity checks
// per field and the referential-integrity links in which the table is the dependent.
// Only the documented layout (version byte 9 and above) is decoded; the older 3.x
// layout is recognised and reported as such.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "coding.h"
#include "status.h"

namespace tutil {

struct ValCheck {
  uint16_t fieldIndex = 0;  // 0-based, into the table's fields
  bool required = false;
  uint8_t lookupFlags = 0;  // bit 0 fill all corresponding fields, bit 1 lookup help
  bool hasLookup = false;
  std::string lookupTable;
  bool hasMin = false, hasMax = false, hasDefault = false;
  paradox::Bytes minValue, maxValue, defaultValue;  // as stored in a record
  std::string picture;
};

struct ValLink {
  std::string name;
  std::string masterTable;
  uint32_t updateRule = 0;             // 1 cascade, 0 prohibit
  std::vector<uint16_t> thisFields;    // 1-based
  std::vector<uint16_t> masterFields;  // 1-based
};

struct ValInfo {
  uint8_t version = 0;         // byte 1
  uint8_t structureStamp = 0;  // byte 0: the .DB's 0x2E when written
  bool documentedLayout = false;
  uint16_t declaredChecks = 0;   // byte 2
  uint16_t declaredLinks = 0;    // count at the start of the RI section
  std::vector<ValCheck> checks;  // decoded entries
  std::vector<ValLink> links;
};

// Decodes a .VAL file's bytes. Corruption (naming the offset) when the documented
// layout's counts or offsets point outside the file.
paradox::Result<ValInfo> DecodeVal(paradox::ByteSpan data);

}  // namespace tutil
