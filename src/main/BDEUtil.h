// TBDEUtil: the window's one utility session, its table-properties record and the progress
// record registered with the engine; ProgressCallback moves one bar per report.
#pragma once

#include <cstdint>
#include <string>

#include "TUtil32.h"

class TBDEUtil {
 public:
  // Opens a utility session (TUInit through Check; throws EDBEngineError on failure).
  TBDEUtil();
  // Closes it (TUExit through Check; may throw EDBEngineError).
  ~TBDEUtil() noexcept(false);
  TBDEUtil(const TBDEUtil&) = delete;
  TBDEUtil& operator=(const TBDEUtil&) = delete;

  // TUFillCURProps into TableProps; true exactly when it returns 0. Never throws.
  bool GetTableProps(const std::string& TableName);
  // DbiRegisterCallBack(0, 23, 0, 268, &ProgressInfo, ProgressCallback) through Check.
  void RegisterProgress();
  // The same with a null routine, through Check.
  void UnregisterProgress();

  // Fields in declaration order; all zero before the session is opened.
  CBPROGRESSDesc ProgressInfo{};
  union {
    CURProps TableProps;
    uint8_t TablePropsBytes[TU_CURPROPS_SPACE];
  };
  hTUses SessionHandle = 0;
  // The part of the "Postęp" bar that the library call under way fills: a rebuild is a
  // verification followed by the rebuild proper, each reporting its own 0..100 %, and the
  // bar shows the whole operation, never going back as the second call starts.
  int OverallFrom = 0, OverallTo = 100;
  void SetOverallSlice(int from, int to) {
    OverallFrom = from;
    OverallTo = to;
  }
  // A percentage 0..100 of the call under way as a position of the "Postęp" bar; any other
  // value unchanged (the bar ignores it).
  uint32_t OverallPosition(uint32_t percent) const;

  // Reads the unsigned 16-bit word at a byte offset of TableProps.
  uint16_t PropWord(unsigned offset) const;
};

// The engine's progress routine: type 23 only; phase byte at offset 263 picks the bar
// (0, 1, 2, 8 -> ALProgressBar1..4); the unsigned word at offset 0 becomes its Position,
// for the overall phase 8 within the slice of the call under way (OverallPosition).
// Reaches the bars through MainForm. Always returns 0.
extern "C" uint32_t ProgressCallback(uint32_t CallbackType, uint32_t ClientValue, void* Info);
