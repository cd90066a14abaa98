// Passes the verifier's and rebuilder's progress on to the engine's progress callback,
// at most once per percentage step of a phase and never backwards.
#pragma once

#include <string>

#include "engine.h"

namespace tutil {

class ProgressRelay {
 public:
  explicit ProgressRelay(std::string message) : message_(std::move(message)) {}
  // Every bar at 0 before the operation's first report: a caller that runs a rebuild
  // after a verification (the window does) would otherwise show the verification's 100 %
  // on the index bar until the rebuild reaches its indexes, seconds later on a big table.
  void Begin();
  // phase 0 header, 1 indexes, 2 data, 8 overall; other phases are not passed on.
  void operator()(int phase, int percent);
  // The table has no index to write or check: the index phase is done as soon as it is
  // reached, instead of standing at 0 (or creeping along with the records) to the end.
  void SetNoIndexes(bool none) { noIndexes_ = none; }

 private:
  void Send(int phase, int percent);

  std::string message_;
  bool noIndexes_ = false;
  int last_[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
};

}  // namespace tutil
