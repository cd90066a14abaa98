#include <string>

#include "TUtilInternal.h"

namespace tutil {

namespace {

// Context entries hold at most DBIMAXMSGLEN characters; a long path keeps its tail,
// which names the table.
std::string Entry(const std::string& label, const std::string& text) {
  std::string entry = label + text;
  if (entry.size() > DBIMAXMSGLEN) {
    const size_t keep = DBIMAXMSGLEN - label.size() - 3;
    entry = label + "..." + text.substr(text.size() - keep);
  }
  return entry;
}

}  // namespace

DBIResult Report(const Failure& failure) {
  try {
    DbiClearErrorContext();
    if (!failure.file.empty()) DbiAddErrorContext(Entry("File: ", failure.file).c_str());
    if (!failure.detail.empty()) {
      std::string detail = failure.detail;
      if (detail.size() > DBIMAXMSGLEN) detail = detail.substr(0, DBIMAXMSGLEN - 3) + "...";
      DbiAddErrorContext(detail.c_str());
    }
  } catch (...) {
    // The code still reaches the caller; only the context is lost.
  }
  return failure.code == DBIERR_NONE ? DBIResult(DBIERR_INTERNAL) : failure.code;
}

}  // namespace tutil
