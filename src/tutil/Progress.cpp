#include "Progress.h"

#include <algorithm>

namespace tutil {

void ProgressRelay::Begin() {
  for (unsigned phase :
       {PROGRESS_PHASE_HEADER, PROGRESS_PHASE_INDEXES, PROGRESS_PHASE_DATA, PROGRESS_PHASE_OVERALL})
    Send(static_cast<int>(phase), 0);
}

void ProgressRelay::operator()(int phase, int percent) {
  if (phase != PROGRESS_PHASE_HEADER && phase != PROGRESS_PHASE_INDEXES &&
      phase != PROGRESS_PHASE_DATA && phase != PROGRESS_PHASE_OVERALL) {
    return;
  }
  if (phase == PROGRESS_PHASE_INDEXES && noIndexes_) percent = 100;
  Send(phase, percent);
}

void ProgressRelay::Send(int phase, int percent) {
  percent = std::clamp(percent, 0, 100);
  if (percent <= last_[phase]) return;
  last_[phase] = percent;
  // The callback's wish to stop is not honoured: a half-done check or rebuild helps no
  // one, and the program never asks for it.
  (void)DbiReportProgress(static_cast<uint16_t>(percent), static_cast<uint8_t>(phase),
                          message_.c_str());
}

}  // namespace tutil
