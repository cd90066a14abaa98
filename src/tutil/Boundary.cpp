#include <string>

#include "TUtilInternal.h"

namespace tutil {

namespace {

// The length of at most `max` bytes of text that ends on a character boundary: the details
// are UTF-8 (Polish letters take two bytes), and half a letter would show as a stand-in.
size_t Utf8Prefix(const std::string& text, size_t max) {
  if (text.size() <= max) return text.size();
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

// Context entries hold at most DBIMAXMSGLEN bytes; a long path keeps its tail, which names
// the table.
std::string Entry(const std::string& label, const std::string& text) {
  std::string entry = label + text;
  if (entry.size() > DBIMAXMSGLEN) {
    size_t start = text.size() - (DBIMAXMSGLEN - label.size() - 3);
    while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
    entry = label + "..." + text.substr(start);
  }
  return entry;
}

}  // namespace

DBIResult Report(const Failure& failure) {
  try {
    DbiClearErrorContext();
    if (!failure.file.empty()) DbiAddErrorContext(Entry("Plik: ", failure.file).c_str());
    if (!failure.detail.empty()) {
      std::string detail = failure.detail;
      if (detail.size() > DBIMAXMSGLEN)
        detail = detail.substr(0, Utf8Prefix(detail, DBIMAXMSGLEN - 3)) + "...";
      DbiAddErrorContext(detail.c_str());
    }
  } catch (...) {
    // The code still reaches the caller; only the context is lost.
  }
  return failure.code == DBIERR_NONE ? DBIResult(DBIERR_INTERNAL) : failure.code;
}

}  // namespace tutil
