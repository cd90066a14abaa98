#include "paradox/format/progress.h"

namespace paradox {

void Progress::Report(int phase, int percent) {
  if (!fn_ || phase < 0 || phase >= int(last_.size())) return;
  percent = std::clamp(percent, 0, 100);
  if (percent <= last_[phase]) return;
  last_[phase] = percent;
  fn_(phase, percent);
  if (weightSum_ == 0 || phase > 2) return;
  uint64_t done = 0;  // in weight-percent
  for (int p = 0; p < 3; ++p) done += weights_[size_t(p)] * uint64_t(std::max(last_[size_t(p)], 0));
  Report(8, std::min(99, int(done / weightSum_)));
}

void Progress::SetWeights(uint64_t header, uint64_t indexes, uint64_t data) {
  weights_ = {header, indexes, data};
  weightSum_ = header + indexes + data;
}

}  // namespace paradox
