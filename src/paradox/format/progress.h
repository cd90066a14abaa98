// Progress of a long operation (verify, salvage, rebuild), reported by phase.
//
// Phases use the engine's progress numbers: 0 header, 1 indexes, 2 data, 8 overall.
// A report callback gets (phase, percent 0..100); Progress calls it at most once per
// percentage step of a phase, and a phase's percentages never decrease.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>

namespace paradox {

// Progress phases (same numbers as the engine's progress report).
enum ProgressPhase : int {
  kPhaseHeader = 0,
  kPhaseIndexes = 1,
  kPhaseData = 2,
  kPhaseOverall = 8,
};

using ProgressFn = std::function<void(int phase, int percent)>;

// Reports progress at most once per percentage step of a phase (phases 0..8).
// Borrows the callback: it must outlive the Progress.
class Progress {
 public:
  explicit Progress(const ProgressFn& fn) : fn_(fn) {
    last_.fill(-1);
    weights_.fill(0);
  }
  void Report(int phase, int percent);
  void Report(int phase, uint64_t done, uint64_t total) {
    Report(phase, total == 0 ? 100 : static_cast<int>(std::min(done, total) * 100 / total));
  }
  // From then on every report of phases 0..2 also moves the overall phase 8 by the
  // phases' shares of the work (any unit), up to 99: the caller reports its 100.
  void SetWeights(uint64_t header, uint64_t indexes, uint64_t data);

 private:
  const ProgressFn& fn_;
  std::array<int, 9> last_;
  std::array<uint64_t, 3> weights_;
  uint64_t weightSum_ = 0;
};

}  // namespace paradox
