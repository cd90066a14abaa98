// The check of a DB-format file (the table's .DB, or a secondary index's .Xnn/.XGn),
// shared by the files that hold its steps: verify_data.cpp (the walk and the record
// pass), verify_header.cpp (the header), verify_values.cpp (each record's values).
// Not a public header.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "paradox/format/chain.h"
#include "paradox/format/codepage.h"
#include "paradox/format/crypt.h"
#include "paradox/format/field_rules.h"
#include "paradox/format/value.h"
#include "paradox/verify/field_profile.h"
#include "paradox/verify/verify_internal.h"

namespace paradox::verify {

// Bytes per read in the record pass: stays in the L2 cache.
inline constexpr size_t kReadChunk = 128 << 10;

inline bool ValidBlockCode(uint8_t code) {
  return BlockSizeKnown(uint32_t(code) * 1024);
}

inline std::string N(uint64_t v) {
  return std::to_string(v);
}

inline int LevelNumber(TableLevel l) {
  switch (l) {
    case TableLevel::k3_0:
      return 3;
    case TableLevel::k3_5:
      return 35;
    case TableLevel::k4:
      return 4;
    case TableLevel::k5:
      return 5;
    case TableLevel::k7:
      return 7;
  }
  return 0;
}

struct FieldPlan {
  FieldType type;
  uint32_t offset;
  uint32_t size;
  uint8_t sizeByte;
  size_t index;
};

class DataChecker {
 public:
  DataChecker(Context& ctx, const std::string& path, DataRole role, const DataWalk* base)
      : ctx_(ctx), path_(path), role_(role), base_(base), name_(BaseName(path)) {
    walk_.name = name_;
  }

  DataWalk Run();

 private:
  bool IsTable() const { return role_ == DataRole::kTable; }
  Location Loc(uint32_t block = 0, int64_t record = -1,
               std::optional<uint64_t> offset = std::nullopt) const {
    return Location::At(name_, block, record, offset);
  }
  void Add(std::string_view check, Location where, std::string detail, std::string field = {}) {
    ctx_.sink->Add(check, std::move(where), std::move(detail), std::move(field));
  }
  // Per-record findings build their texts only while the findings budget lasts.
  bool Want(std::string_view check) { return ctx_.sink->Wanted(check); }
  bool OpenAndReadHeader();
  bool CheckHeader();
  // The header checks, in CheckHeader's table.
  bool CheckFileType();
  // Reports a damaged table's header (header.damaged) when evidence shows a table;
  // false, reporting nothing, for a foreign file.
  bool DamagedTable(const std::string& detail, uint64_t offset);
  bool CheckLevel();
  bool CheckBlockSize();
  bool CheckHeaderSize();
  bool CheckFieldCount();
  bool DecodeVariablePart();
  bool CheckFieldList();
  bool CheckKeyFieldCount();
  bool CheckDescriptors();
  bool CheckRecordSize();
  bool CheckFieldNames();
  bool CheckVersionCopies();
  bool CheckOffsets();
  bool CheckPadding();
  bool CheckMarker();
  bool CheckFieldNumbers();
  bool CheckRamPointers();
  bool CheckFieldLayout();
  bool CheckTableFlags();
  bool ReadLists();
  bool KeyFits();
  void ReportLists();
  // ReportLists' steps, one per group of walk events; false for an event not theirs.
  bool ReportSizeEvent(const ListFinding& e);
  bool ReportChainEvent(const ListFinding& e);
  bool ReportBlockEvent(const ListFinding& e, uint32_t* orphans);
  void RecordPass();
  // Where a record is: its block, its slot and its file offset.
  struct RecordAt {
    uint32_t block;
    uint32_t record;
    uint64_t offset;
  };
  void CheckRecord(const uint8_t* rec, const RecordAt& at);
  // A field's odd or invalid value (field_rules.h); `v` is its bytes inside the record.
  void ReportValue(const FieldPlan& p, const uint8_t* v, const RecordAt& at, FieldCheck c);
  void NoteAutoInc(const uint8_t* v);
  void CheckBlobField(const FieldPlan& p, const uint8_t* v, const RecordAt& at);
  void CheckKeyInBlock(const uint8_t* rec, const RecordAt& at);
  void CheckFolded(const uint8_t* rec, const RecordAt& at);
  const std::string& FieldName(const FieldPlan& p) const { return h_.fields[p.index].name; }
  // The blocks whose records do not look like the rest of the table's (field_profile.h):
  // a block.implausible error for a block of them, a warning for a single record.
  void JudgeBlocks();
  void AfterPass();
  void PrepareKeys();
  void CheckXHint(const uint8_t* rec, uint32_t block, uint32_t r, uint64_t recOffset);

  Context& ctx_;
  std::string path_;
  DataRole role_;
  const DataWalk* base_;
  std::string name_;
  DataWalk walk_;
  std::unique_ptr<File> file_;
  uint64_t size_ = 0;
  Bytes headerBytes_;
  TableHeader& h_ = walk_.header;
  uint32_t bs_ = 0, hs_ = 0, rs_ = 0, fileBlocks_ = 0, present_ = 0;
  uint32_t key_ = 0;
  // What the header checks settle for the later ones.
  TableLevel level_ = TableLevel::k3_0;
  bool sizeMismatch_ = false;  // the record size word disagrees with the field list
  bool layoutDoubt_ = false;   // the header's own offsets/pointers disagree with its field list
  BlockLists lists_;           // the walk the salvage reads the table by, too
  bool chainBroken_ = false;
  std::vector<FieldPlan> plan_;
  std::vector<uint32_t> keyFieldEnds_;
  // Record-pass state.
  const uint8_t* prevKey_ = nullptr;
  bool anyAutoInc_ = false;
  int64_t maxAutoInc_ = 0;
  uint64_t missingMbRefs_ = 0;
  int autoIncField_ = -1;
  // The profile of the table's values, learned in the record pass (tables, value checks
  // on); per block its highest autoincrement value, so that a damaged block's garbage does
  // not judge the header's counter.
  std::optional<TableProfile> profile_;
  std::vector<int32_t> blockMaxAutoInc_;
  uint32_t block_ = 0;  // the block of the record pass
  // X files over a keyed table: where the primary key sits in the X record.
  uint32_t hintOffset_ = 0;
  bool hintCheck_ = false;
  uint32_t pkOffset_ = 0, pkSize_ = 0;
  bool pkRangeCheck_ = false;
  std::vector<uint32_t> foldedFields_;  // case-insensitive X/XG: indexed alpha fields
  uint64_t unfolded_ = 0;               // records of such an index not upper-cased
};

}  // namespace paradox::verify
