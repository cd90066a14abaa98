#include "ScriptedTUtil.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace scripted {
namespace {

struct State {
  Script script;
  std::vector<Call> calls;
  std::set<hTUses> open;
  std::map<hTUses, std::string> outcome;
  hTUses nextHandle = 1;
  int outcomeReads = 0;
};

State& Global() {
  static State state;
  return state;
}

std::string Text(const char* s) {
  return s == nullptr ? std::string() : std::string(s);
}

template <size_t N>
std::string FieldText(const uint8_t* bytes) {
  const char* p = reinterpret_cast<const char*>(bytes);
  return std::string(p, strnlen(p, N));
}

DBIResult Next(std::deque<DBIResult>& queue, DBIResult fallback) {
  if (queue.empty()) return fallback;
  const DBIResult r = queue.front();
  queue.pop_front();
  return r;
}

// A scripted failure wins; else a handle that is not open fails like the real library.
DBIResult WithHandle(DBIResult scripted, hTUses handle) {
  if (scripted != DBIERR_NONE) return scripted;
  return Global().open.count(handle) != 0 ? DBIERR_NONE : DBIERR_INVALIDHNDL;
}

DBIResult Finish(Call call) {
  Global().calls.push_back(call);
  if (call.function != "TUInit" && call.function != "TUExit" && Global().open.count(call.handle)) {
    const auto found = Global().script.outcomes.find(call.function);
    Global().outcome[call.handle] =
        found == Global().script.outcomes.end() ? std::string() : found->second;
  }
  if (Global().script.during) Global().script.during(Global().calls.back());
  return call.result;
}

void Report(const std::vector<ProgressReport>& reports) {
  for (const ProgressReport& r : reports) DbiReportProgress(r.percent, r.phase, "");
}

DescriptorSnapshot Snapshot(const CRTblDesc* d) {
  DescriptorSnapshot s;
  s.address = d;
  std::memcpy(s.head.data(), d, s.head.size());
  const uint16_t counts[6] = {d->iFldCount,    d->iIdxCount,  d->iSecRecCount,
                              d->iValChkCount, d->iRintCount, d->iOptParams};
  std::copy(std::begin(counts), std::end(counts), s.counts);
  const void* ops[5] = {d->pecrFldOp, d->pecrIdxOp, d->pecrSecOp, d->pecrValChkOp, d->pecrRintOp};
  std::copy(std::begin(ops), std::end(ops), s.ops);
  const void* arrays[7] = {d->pfldDesc,  d->pidxDesc,      d->psecDesc, d->pvchkDesc,
                           d->printDesc, d->pfldOptParams, d->pOptData};
  std::copy(std::begin(arrays), std::end(arrays), s.arrays);
  return s;
}

}  // namespace

std::string DescriptorSnapshot::TblName() const {
  return FieldText<261>(head.data());
}
std::string DescriptorSnapshot::TblType() const {
  return FieldText<32>(head.data() + 261);
}
std::string DescriptorSnapshot::ErrTblName() const {
  return FieldText<261>(head.data() + 293);
}

Script& Current() {
  return Global().script;
}

void Reset() {
  Global().script = Script();
  Global().calls.clear();
  Global().open.clear();
  Global().outcome.clear();
  Global().outcomeReads = 0;
}

const std::vector<Call>& Calls() {
  return Global().calls;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& c : Global().calls) names.push_back(c.function);
  return names;
}

std::vector<hTUses> OpenSessions() {
  return {Global().open.begin(), Global().open.end()};
}

int OutcomeReads() {
  return Global().outcomeReads;
}

std::array<uint8_t, TU_CURPROPS_SPACE> PropsWithWords(
    const std::vector<std::pair<unsigned, uint16_t>>& words) {
  std::array<uint8_t, TU_CURPROPS_SPACE> record{};
  for (const auto& [offset, value] : words) {
    record.at(offset) = static_cast<uint8_t>(value & 0xFF);
    record.at(offset + 1) = static_cast<uint8_t>(value >> 8);
  }
  return record;
}

}  // namespace scripted

using scripted::Call;
using scripted::Global;

extern "C" {

DBIResult TUInit(hTUses* phTUSession) {
  Call call;
  call.function = "TUInit";
  call.outputNull = phTUSession == nullptr;
  call.result = scripted::Next(Global().script.initQueue, Global().script.initResult);
  if (call.result == DBIERR_NONE && phTUSession == nullptr) call.result = DBIERR_INVALIDPARAM;
  if (call.result == DBIERR_NONE) {
    call.handle = Global().nextHandle++;
    Global().open.insert(call.handle);
    *phTUSession = call.handle;
  }
  return scripted::Finish(call);
}

DBIResult TUExit(hTUses hTUSession) {
  Call call;
  call.function = "TUExit";
  call.handle = hTUSession;
  call.result = scripted::WithHandle(
      scripted::Next(Global().script.exitQueue, Global().script.exitResult), hTUSession);
  if (call.result == DBIERR_NONE) {
    Global().open.erase(hTUSession);
    Global().outcome.erase(hTUSession);
  }
  return scripted::Finish(call);
}

DBIResult TUFillCURProps(hTUses hTUSession, const char* pszTableName, CURProps* pTblProps) {
  Call call;
  call.function = "TUFillCURProps";
  call.handle = hTUSession;
  call.location = scripted::Text(pszTableName);
  call.outputNull = pTblProps == nullptr;
  call.result = scripted::WithHandle(Global().script.propsResult, hTUSession);
  if (call.result == DBIERR_NONE) {
    const auto found = Global().script.props.find(call.location);
    if (found == Global().script.props.end()) {
      call.result = DBIERR_NOSUCHTABLE;
    } else if (pTblProps == nullptr) {
      call.result = DBIERR_INVALIDPARAM;
    } else {
      std::memcpy(pTblProps, found->second.data(), found->second.size());
    }
  }
  return scripted::Finish(call);
}

DBIResult TUVerifyTable(hTUses hTUSession, const char* pszTableName, const char* pszDriverType,
                        const char* pszErrTableName, const char* pszPassword, int32_t iOptions,
                        int32_t* piErrorLevel) {
  Call call;
  call.function = "TUVerifyTable";
  call.handle = hTUSession;
  call.location = scripted::Text(pszTableName);
  call.driverType = scripted::Text(pszDriverType);
  call.errTableName = scripted::Text(pszErrTableName);
  call.passwordNull = pszPassword == nullptr;
  call.options = iOptions;
  call.outputNull = piErrorLevel == nullptr;
  scripted::Report(Global().script.verifyProgress);
  call.result = scripted::WithHandle(
      scripted::Next(Global().script.verifyQueue, Global().script.verifyResult), hTUSession);
  if (call.result == DBIERR_NONE && piErrorLevel == nullptr) call.result = DBIERR_INVALIDPARAM;
  if (call.result == DBIERR_NONE) *piErrorLevel = Global().script.verdict;
  return scripted::Finish(call);
}

DBIResult TUGetCRTblDescCount(hTUses hTUSession, const char* pszTableName, uint16_t* piFldCount,
                              uint16_t* piIdxCount, uint16_t* piSecRecCount,
                              uint16_t* piValChkCount, uint16_t* piRintCount, uint16_t* piOptParams,
                              uint16_t* piOptDataLen) {
  Call call;
  call.function = "TUGetCRTblDescCount";
  call.handle = hTUSession;
  call.location = scripted::Text(pszTableName);
  uint16_t* out[7] = {piFldCount,  piIdxCount,  piSecRecCount, piValChkCount,
                      piRintCount, piOptParams, piOptDataLen};
  call.outputNull = std::any_of(std::begin(out), std::end(out), [](uint16_t* p) { return !p; });
  call.result = scripted::WithHandle(
      scripted::Next(Global().script.countQueue, Global().script.countResult), hTUSession);
  if (call.result == DBIERR_NONE && call.outputNull) call.result = DBIERR_INVALIDPARAM;
  if (call.result == DBIERR_NONE) {
    for (int i = 0; i < 7; ++i) *out[i] = Global().script.counts[i];
  }
  return scripted::Finish(call);
}

DBIResult TUFillCRTblDesc(hTUses hTUSession, CRTblDesc* pTblDesc, const char* pszTableName,
                          const char* pszPassword) {
  Call call;
  call.function = "TUFillCRTblDesc";
  call.handle = hTUSession;
  call.location = scripted::Text(pszTableName);
  call.passwordNull = pszPassword == nullptr;
  call.outputNull = pTblDesc == nullptr;
  if (pTblDesc != nullptr) {
    call.hasDescriptor = true;
    call.descriptor = scripted::Snapshot(pTblDesc);
  }
  call.result = scripted::WithHandle(
      scripted::Next(Global().script.fillQueue, Global().script.fillResult), hTUSession);
  if (call.result == DBIERR_NONE && pTblDesc == nullptr) call.result = DBIERR_INVALIDPARAM;
  if (call.result == DBIERR_NONE) {
    // Write every byte the counts promise, as the real library fills the arrays: an array
    // shorter than count x size shows up under the sanitizers and valgrind.
    const struct {
      void* p;
      size_t bytes;
    } arrays[7] = {
        {pTblDesc->pfldDesc, size_t{pTblDesc->iFldCount} * TU_FLDDESC_SIZE},
        {pTblDesc->pidxDesc, size_t{pTblDesc->iIdxCount} * TU_IDXDESC_SIZE},
        {pTblDesc->psecDesc, size_t{pTblDesc->iSecRecCount} * TU_SECDESC_SIZE},
        {pTblDesc->pvchkDesc, size_t{pTblDesc->iValChkCount} * TU_VCHKDESC_SIZE},
        {pTblDesc->printDesc, size_t{pTblDesc->iRintCount} * TU_RINTDESC_SIZE},
        {pTblDesc->pfldOptParams, size_t{pTblDesc->iOptParams} * TU_OPTPARAM_SIZE},
        {pTblDesc->pOptData, size_t{Global().script.counts[6]} * TU_OPTDATA_UNIT},
    };
    for (const auto& a : arrays) {
      if (a.bytes != 0 && a.p == nullptr) {
        call.result = DBIERR_INVALIDDESC;
        break;
      }
      if (a.bytes != 0) std::memset(a.p, 0xA5, a.bytes);
    }
  }
  return scripted::Finish(call);
}

DBIResult TURebuildTable(hTUses hTUSession, const char* pszTableName, const char* pszDriverType,
                         const char* pszBackupTableName, const char* pszKeyviolName,
                         const char* pszProblemTableName, CRTblDesc* pTblDesc) {
  Call call;
  call.function = "TURebuildTable";
  call.handle = hTUSession;
  call.location = scripted::Text(pszTableName);
  call.driverType = scripted::Text(pszDriverType);
  call.backupName = scripted::Text(pszBackupTableName);
  call.keyViolName = scripted::Text(pszKeyviolName);
  call.problemName = scripted::Text(pszProblemTableName);
  call.outputNull = pTblDesc == nullptr;
  if (pTblDesc != nullptr) {
    call.hasDescriptor = true;
    call.descriptor = scripted::Snapshot(pTblDesc);
  }
  scripted::Report(Global().script.rebuildProgress);
  call.result = scripted::WithHandle(
      scripted::Next(Global().script.rebuildQueue, Global().script.rebuildResult), hTUSession);
  return scripted::Finish(call);
}

DBIResult TUGetLastOutcome(hTUses hTUSession, char* pszOutcome, uint32_t iOutcomeSize) {
  ++Global().outcomeReads;
  if (Global().open.count(hTUSession) == 0) return DBIERR_INVALIDHNDL;
  if (pszOutcome == nullptr || iOutcomeSize == 0) return DBIERR_INVALIDPARAM;
  const std::string& text = Global().outcome[hTUSession];
  const size_t length = std::min<size_t>(text.size(), iOutcomeSize - 1);
  std::memcpy(pszOutcome, text.data(), length);
  pszOutcome[length] = '\0';
  return DBIERR_NONE;
}

}  // extern "C"
