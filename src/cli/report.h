// rekasto verify --report: one self-contained HTML page per table (no network, no
// script) with the table's facts, the findings and a map of its blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "paradox/format/file.h"
#include "paradox/verify/verifier.h"

namespace rekasto {

// One block of the .DB as the map shows it.
struct BlockCell {
  enum class State { kChain, kFree, kOrphan, kDamaged, kCutOff };
  uint32_t block = 0;  // 1-based
  State state = State::kChain;
  int chainPosition = -1;  // 1-based place in the data chain, -1 when not chained
  int records = -1;        // records the block's header claims, -1 when not a count
};

struct BlockMap {
  std::vector<BlockCell> cells;  // block order
  bool chainBroken = false;
  std::string problem;  // why there is no map ("" when there is one)
};

const char* BlockStateName(BlockCell::State s);  // "chain", "free", "orphan", "damaged", "cut-off"

// The blocks of the table at `path` from one walk of its lists; a block a finding names
// in the .DB (an error), or whose record count is no count, is damaged.
BlockMap MapBlocks(paradox::FileSystem* fs, const std::string& path,
                   const paradox::VerifyReport& report);

// The page for `table`, verified as `report`.
std::string HtmlReport(const std::string& table, const paradox::VerifyReport& report,
                       const BlockMap& map);

}  // namespace rekasto
