// A scripted stand-in for the table-utility library: the functions of TUtil32.h,
// answering as a test has scripted them and recording every call with its arguments.
// Link the target tutil_scripted instead of tutil. Sessions behave like the real ones:
// TUInit hands out fresh nonzero handles, TUExit closes them, and every other call on a
// handle that is not open gives DBIERR_INVALIDHNDL (unless a scripted result says otherwise).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TUtil32.h"

namespace scripted {

struct ProgressReport {
  uint16_t percent;
  uint8_t phase;
};

// The descriptor as it was handed to TUFillCRTblDesc or TURebuildTable: its fixed fields
// copied, its array addresses kept (the arrays may be gone by the time the test looks).
struct DescriptorSnapshot {
  const void* address = nullptr;
  std::array<uint8_t, 622> head{};  // bytes 0..621: names, user, password, flags
  uint16_t counts[6] = {};          // iFldCount .. iOptParams
  const void* ops[5] = {};          // pecrFldOp .. pecrRintOp
  const void* arrays[7] = {};       // pfldDesc, pidxDesc, psecDesc, pvchkDesc, printDesc,
                                    // pfldOptParams, pOptData
  std::string TblName() const;      // the text fields, up to their NUL
  std::string TblType() const;
  std::string ErrTblName() const;
};

struct Call {
  std::string function;  // "TUInit", "TUExit", "TUFillCURProps", "TUVerifyTable", ...
  hTUses handle = 0;     // the handle passed (for TUInit: the one handed out, 0 on failure)
  std::string location;
  std::string driverType;
  std::string errTableName;
  std::string backupName;
  std::string keyViolName;
  std::string problemName;
  bool passwordNull = true;  // the password/fourth argument was null
  int32_t options = 0;
  bool outputNull = false;  // an output address (verdict, a count, record, descriptor) was null
  bool hasDescriptor = false;
  DescriptorSnapshot descriptor;
  DBIResult result = 0;
};

struct Script {
  // Per-call results: each call takes the front of its queue; with the queue empty it gives
  // the default result. A nonzero result changes no output.
  DBIResult initResult = 0, exitResult = 0, propsResult = 0, verifyResult = 0, countResult = 0,
            fillResult = 0, rebuildResult = 0;
  std::deque<DBIResult> initQueue, exitQueue, verifyQueue, countQueue, fillQueue, rebuildQueue;
  int32_t verdict = 0;      // written by a successful TUVerifyTable
  uint16_t counts[7] = {};  // written by a successful TUGetCRTblDescCount
  // TUFillCURProps: the record for each location; a location not listed gives
  // DBIERR_NOSUCHTABLE and leaves the caller's record alone.
  std::map<std::string, std::array<uint8_t, TU_CURPROPS_SPACE>> props;
  // Reported through DbiReportProgress during each TUVerifyTable and TURebuildTable.
  std::vector<ProgressReport> verifyProgress, rebuildProgress;
  // Runs inside each call, after it is recorded and before it returns.
  std::function<void(const Call&)> during;
  // The outcome text each function leaves with its session (by function name, e.g.
  // "TUVerifyTable"); a function not listed leaves an empty text. TUGetLastOutcome reads
  // it back and is not recorded among the calls.
  std::map<std::string, std::string> outcomes;
};

// The script in use; Reset() restores the defaults, forgets the calls and closes sessions.
Script& Current();
void Reset();
const std::vector<Call>& Calls();
std::vector<std::string> CallNames();
// Handles currently open.
std::vector<hTUses> OpenSessions();
// How often TUGetLastOutcome was called since Reset().
int OutcomeReads();

// A properties record with the word value at each byte offset given.
std::array<uint8_t, TU_CURPROPS_SPACE> PropsWithWords(
    const std::vector<std::pair<unsigned, uint16_t>>& words);

}  // namespace scripted
