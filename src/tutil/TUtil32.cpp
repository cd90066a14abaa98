// The C boundary of the table-utility library: session and argument checks, then the
// operations of Operations.cpp; no exception gets past these functions.
#include "TUtil32.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "TUtilInternal.h"

namespace tutil {

std::string RequireTableFileName(const char* name, const char* what, const std::string& file) {
  RequireText(name, what);
  const size_t length = strnlen(name, DBIMAXTBLNAMELEN + 1);
  std::string n(name, length);
  if (length == 0 || length > DBIMAXTBLNAMELEN || n == "." || n == ".." ||
      n.find_first_of("/\\") != std::string::npos) {
    Fail(DBIERR_INVALIDPARAM, file,
         std::string(what) + ": wymagana sama nazwa pliku tabeli, bez katalogu");
  }
  const size_t dot = n.rfind('.');
  if (dot == std::string::npos || strcasecmp(n.c_str() + dot, ".db") != 0) n += ".DB";
  return n;
}

}  // namespace tutil

using tutil::AtBoundary;
using tutil::Fail;
using tutil::Step;

namespace {

// Runs an operation on a session and keeps its outcome text with the session: the text
// body gives on success, the reason for the failure otherwise.
template <typename Body>
DBIResult Operation(hTUses handle, Step step, const char* location, Body&& body) noexcept {
  std::string text;
  tutil::Failure failure;
  const DBIResult result = AtBoundary(
      [&]() -> DBIResult {
        tutil::RequireSession(handle);
        text = body();
        return DBIERR_NONE;
      },
      &failure);
  if (result != DBIERR_NONE) {
    try {
      text = tutil::FailureText(step, failure, location);
    } catch (...) {
      text.clear();
    }
  }
  tutil::SetOutcome(handle, text);
  return result;
}

// The table an operation works on, once the address its results go to is known not to
// be null: the path of `location`, resolved and checked.
std::string TableAt(const void* results, const char* what, const char* location) {
  tutil::RequireText(static_cast<const char*>(results), what);
  return tutil::ResolveLocation(location);
}

// The same, for the operations that also name the driver, which must be PARADOX.
std::string ParadoxTableAt(const void* results, const char* what, const char* location,
                           const char* driverType) {
  std::string path = TableAt(results, what, location);
  tutil::RequireParadoxType(driverType, path);
  return path;
}

}  // namespace

extern "C" DBIResult TUInit(hTUses* phTUSession) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireText(reinterpret_cast<const char*>(phTUSession), "adres uchwytu sesji");
    const uint16_t h = tutil::OpenSession();
    if (h == 0) Fail(DBIERR_SESSIONLIMIT, {}, "otwarto za dużo sesji biblioteki narzędziowej");
    *phTUSession = h;
    return DBIERR_NONE;
  });
}

extern "C" DBIResult TUExit(hTUses hTUSession) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireSession(hTUSession);
    tutil::CloseSession(hTUSession);
    return DBIERR_NONE;
  });
}

extern "C" DBIResult TUFillCURProps(hTUses hTUSession, const char* pszTableName,
                                    CURProps* pTblProps) {
  return Operation(hTUSession, Step::kProperties, pszTableName, [&] {
    const std::string path = TableAt(pTblProps, "adres rekordu właściwości", pszTableName);
    tutil::FillProps(path, pszTableName, pTblProps);
    return std::string("Właściwości tabeli odczytane.");
  });
}

extern "C" DBIResult TUVerifyTable(hTUses hTUSession, const char* pszTableName,
                                   const char* pszDriverType, const char* pszErrTableName,
                                   const char* pszPassword, int32_t iOptions,
                                   int32_t* piErrorLevel) {
  return Operation(hTUSession, Step::kVerify, pszTableName, [&] {
    const std::string path =
        ParadoxTableAt(piErrorLevel, "adres werdyktu", pszTableName, pszDriverType);
    const std::string findings =
        tutil::RequireTableFileName(pszErrTableName, "nazwa tabeli wyników sprawdzenia", path);
    const tutil::VerifyDone done = tutil::Verify(path, findings, pszPassword);
    std::string text = tutil::VerifyText(done);
    *piErrorLevel = done.verdict;
    return text;
  });
}

extern "C" DBIResult TUGetCRTblDescCount(hTUses hTUSession, const char* pszTableName,
                                         uint16_t* piFldCount, uint16_t* piIdxCount,
                                         uint16_t* piSecRecCount, uint16_t* piValChkCount,
                                         uint16_t* piRintCount, uint16_t* piOptParams,
                                         uint16_t* piOptDataLen) {
  return Operation(hTUSession, Step::kStructure, pszTableName, [&] {
    uint16_t* outs[] = {piFldCount,  piIdxCount,  piSecRecCount, piValChkCount,
                        piRintCount, piOptParams, piOptDataLen};
    for (uint16_t* out : outs)
      tutil::RequireText(reinterpret_cast<const char*>(out), "adres licznika");
    const std::string path = tutil::ResolveLocation(pszTableName);
    const tutil::DescCounts c = tutil::CountDesc(path);
    *piFldCount = c.fields;
    *piIdxCount = c.indexes;
    *piSecRecCount = c.security;
    *piValChkCount = c.valChecks;
    *piRintCount = c.refLinks;
    *piOptParams = c.optParams;
    *piOptDataLen = c.optDataUnits;
    return std::string("Struktura tabeli policzona.");
  });
}

extern "C" DBIResult TUFillCRTblDesc(hTUses hTUSession, CRTblDesc* pTblDesc,
                                     const char* pszTableName, const char* pszPassword) {
  return Operation(hTUSession, Step::kStructure, pszTableName, [&] {
    const std::string path = TableAt(pTblDesc, "adres opisu struktury", pszTableName);
    tutil::FillDesc(path, pszTableName, pTblDesc, pszPassword);
    return std::string("Struktura tabeli odczytana.");
  });
}

extern "C" DBIResult TURebuildTable(hTUses hTUSession, const char* pszTableName,
                                    const char* pszDriverType, const char* pszBackupTableName,
                                    const char* pszKeyviolName, const char* pszProblemTableName,
                                    CRTblDesc* pTblDesc) {
  return Operation(hTUSession, Step::kRebuild, pszTableName, [&] {
    const std::string path =
        ParadoxTableAt(pTblDesc, "adres opisu struktury", pszTableName, pszDriverType);
    const std::string backup =
        tutil::RequireTableFileName(pszBackupTableName, "nazwa tabeli kopii", path);
    const std::string keyviol =
        tutil::RequireTableFileName(pszKeyviolName, "nazwa tabeli naruszeń klucza", path);
    const std::string problem =
        tutil::RequireTableFileName(pszProblemTableName, "nazwa tabeli problemów", path);
    return tutil::RebuildText(tutil::Rebuild(path, backup, keyviol, problem, *pTblDesc));
  });
}

extern "C" DBIResult TUGetLastOutcome(hTUses hTUSession, char* pszOutcome, uint32_t iOutcomeSize) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireSession(hTUSession);
    tutil::RequireText(pszOutcome, "bufor wyniku");
    if (iOutcomeSize == 0) Fail(DBIERR_INVALIDPARAM, {}, "bufor wyniku ma rozmiar 0");
    const std::string text = tutil::Outcome(hTUSession);
    size_t length = std::min<size_t>(text.size(), iOutcomeSize - 1);
    // Cut before a UTF-8 continuation byte, so the copy never ends in half a letter.
    if (length < text.size()) {
      while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(pszOutcome, text.data(), length);
    pszOutcome[length] = '\0';
    return DBIERR_NONE;
  });
}
