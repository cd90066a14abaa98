// Internal state shared by the verifier's translation units (not a public header).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "paradox/format/collation.h"
#include "paradox/format/family.h"
#include "paradox/format/file.h"
#include "paradox/format/format.h"
#include "paradox/format/header_file.h"
#include "paradox/format/progress.h"
#include "paradox/verify/verifier.h"

namespace paradox::verify {

using paradox::Progress;

// Collects findings within the budget and counts the rest.
class Sink {
 public:
  Sink(VerifyReport* report, size_t budget) : report_(report), budget_(budget) {}
  // `capClass`: findings in index files never raise the verdict above repairable.
  void Add(std::string_view check, Location where, std::string detail, std::string field = {});
  // For the hot paths: true while the budget lasts (the caller then builds the texts and
  // calls Add); once it is spent, counts the finding as Add would and returns false.
  bool Wanted(std::string_view check);
  void SetIndexScope(bool on) { indexScope_ = on; }
  bool Full() const { return report_->findings.size() >= budget_; }

 private:
  // Counts a finding and raises the verdict; false when it is over the budget.
  bool Tally(std::string_view check, Severity* sev, FindingClass* klass);
  VerifyReport* report_;
  size_t budget_;
  bool indexScope_ = false;
};

// What a data-file walk (DB or X/XG) leaves behind for the index checks.
struct DataWalk {
  bool ok = false;  // the header was usable and the chain walked
  TableHeader header;
  std::string name;                // base name
  std::vector<uint16_t> chain;     // chain in walk order
  std::vector<int32_t> recordsIn;  // per block number: records (-1 = not chained / bad)
  uint32_t keySize = 0;            // bytes of the key prefix kept per block
  std::vector<uint8_t> firstKeys;  // (fileBlocks + 1) * keySize
  std::vector<uint8_t> lastKeys;
  uint64_t counted = 0;  // records over the chain
  uint64_t physicalBlocks = 0;
  KeyOrder order;  // how the keys sort (partial for an unknown collation)
  const uint8_t* FirstKey(uint32_t block) const { return &firstKeys[size_t(block) * keySize]; }
  const uint8_t* LastKey(uint32_t block) const { return &lastKeys[size_t(block) * keySize]; }
};

// Blob-file model built by CheckBlobFile and used when records are checked.
struct BlobModel {
  bool present = false;
  bool usable = false;  // the header was sane enough to resolve pointers
  std::string name;
  std::unique_ptr<File> file;
  uint64_t size = 0;
  uint32_t key = 0;               // encryption key (0 = plain)
  uint16_t headerCounter = 0;     // 0x03
  std::vector<uint8_t> unitType;  // per 4 KiB unit: type of a block starting there, 0xFF = none
  // The last 4 KiB unit read for the record pass (decrypted): records point into the
  // same suballocated block in runs, and a blob's header and leader share its unit.
  Bytes cachedUnit;
  uint64_t cachedUnitOffset = UINT64_MAX;
};

// Roles of the files that share the data-block layout.
enum class DataRole { kTable, kSecondary };
enum class IndexRole { kPrimary, kSecondaryY };

struct Context {
  FileSystem* fs = nullptr;
  const VerifyOptions* options = nullptr;
  VerifyReport* report = nullptr;
  Sink* sink = nullptr;
  Progress* progress = nullptr;
  FamilyFiles family;
  bool haveFamily = false;
  BlobModel blobs;
  // The index phase's progress: bytes of the index files read, of all of them.
  uint64_t indexBytesDone = 0;
  uint64_t indexBytesTotal = 0;
  void IndexBytesRead(uint64_t bytes) {
    indexBytesDone += bytes;
    progress->Report(1, indexBytesDone, indexBytesTotal);
  }
  // The data phase's progress: the .MB walk, then the table's chained blocks, in bytes.
  uint64_t dataBytesTotal = 0;
  uint64_t mbBytesWalked = 0;  // the .MB's share, once walked
  void DataAt(uint64_t bytes) { progress->Report(2, bytes, dataBytesTotal); }
};

// Checks one DB-format file. For the table itself (kTable) the header findings set the
// verdict classes; `base` is the table's walk when checking an X/XG file.
DataWalk CheckDataFile(Context& ctx, const std::string& path, DataRole role, const DataWalk* base);
// Checks an index file (PX over the table, Y over an X file) against `data`.
void CheckIndexFile(Context& ctx, const std::string& path, IndexRole role, const DataWalk& data);
void CheckBlobFile(Context& ctx, const std::string& path, const TableHeader& table);
void CheckValFile(Context& ctx, const std::string& path, const TableHeader& table);

// Record-level blob pointer check (uses ctx.blobs).
void CheckBlobPointer(Context& ctx, const FieldDesc& field, const uint8_t* raw, const Location& at);

// Opens a member for its check. Reports `missingCheck` when the file does not exist and
// file.unreadable when the system refuses it (the check is then incomplete, nothing is
// damaged); false then.
bool OpenForCheck(Context& ctx, const std::string& path, std::string_view missingCheck,
                  std::unique_ptr<File>* file, uint64_t* size);

std::string BaseName(const std::string& path);
std::string Hex(uint64_t v);

}  // namespace paradox::verify
