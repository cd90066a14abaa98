// What the table-utility library learns about a table family before it reports on it:
// the .DB header, the family members, the secondary-index definitions and the .VAL.
// Loading throws tutil::Failure with the engine code that fits the problem.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TUtilInternal.h"
#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/index.h"
#include "paradox/format/reader.h"
#include "paradox/format/status.h"
#include "paradox/format/val.h"

namespace tutil {

struct SecondaryFacts {
  std::string tag;  // "X02", "XG0", ...
  paradox::SecondaryIndexInfo info;
  uint32_t blockSize = 0;  // of its Y/YG partner when readable
};

struct TableFacts {
  std::string path;
  paradox::TableHeader header;
  paradox::TableLevel level = paradox::TableLevel::k7;
  paradox::FamilyFiles family;
  uint32_t primaryBlockSize = 0;            // .PX block size when it exists
  std::vector<SecondaryFacts> secondaries;  // readable X/XG headers, by tag
  uint16_t unreadableSecondaries = 0;       // X/XG files whose header could not be read
  std::optional<paradox::ValFile> val;      // decoded .VAL
  bool valPresent = false;
  uint16_t valChecks = 0;  // fields with checks the .VAL declares
  uint16_t valLinks = 0;   // links it declares (dependent side)
  // Where the structure came from when the header could not give it ("" = the header).
  std::string structureSource;

  // 3, 35, 4, 5 or 7.
  uint16_t LevelNumber() const;
  uint16_t KeySize() const;
};

// Maps a library Status to an engine code for an operation that reads (or writes).
DBIResult CodeFor(const paradox::Status& status, bool writing);
[[noreturn]] void FailWith(const paradox::Status& status, const std::string& file, bool writing);

// The first look at a file: DBIERR_NOTPARADOX when it is too short for a table header
// or its file-type byte is not that of a .DB (a foreign file, or another family member).
// Returns the version byte (0x39).
uint8_t CheckLooksLikeTable(const std::string& path);

// Reads the header and the family of the .DB at `path`. Foreign files give
// DBIERR_NOTPARADOX, unknown levels DBIERR_UNSUPPORTEDLEVEL, a damaged header
// DBIERR_CORRUPTHEADER.
TableFacts LoadFacts(const std::string& path);

}  // namespace tutil
