// The C boundary of the table-utility library: session and argument checks, then the
// operations of Operations.cpp; no exception gets past these functions.
#include "TUtil32.h"

#include <strings.h>

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
    Fail(DBIERR_INVALIDPARAM, file, std::string(what) + " must be a plain table file name");
  }
  const size_t dot = n.rfind('.');
  if (dot == std::string::npos || strcasecmp(n.c_str() + dot, ".db") != 0) n += ".DB";
  return n;
}

}  // namespace tutil

using tutil::AtBoundary;
using tutil::Fail;

extern "C" DBIResult TUInit(hTUses* phTUSession) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireText(reinterpret_cast<const char*>(phTUSession), "session handle address");
    const uint16_t h = tutil::OpenSession();
    if (h == 0) Fail(DBIERR_SESSIONLIMIT, {}, "too many utility sessions are open");
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
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireSession(hTUSession);
    tutil::RequireText(reinterpret_cast<const char*>(pTblProps), "properties record address");
    const std::string path = tutil::ResolveLocation(pszTableName);
    tutil::FillProps(path, pszTableName, pTblProps);
    return DBIERR_NONE;
  });
}

extern "C" DBIResult TUVerifyTable(hTUses hTUSession, const char* pszTableName,
                                   const char* pszDriverType, const char* pszErrTableName,
                                   const char* pszPassword, int32_t iOptions,
                                   int32_t* piErrorLevel) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireSession(hTUSession);
    tutil::RequireText(reinterpret_cast<const char*>(piErrorLevel), "verdict address");
    const std::string path = tutil::ResolveLocation(pszTableName);
    tutil::RequireParadoxType(pszDriverType, path);
    const std::string findings =
        tutil::RequireTableFileName(pszErrTableName, "findings table name", path);
    *piErrorLevel = tutil::Verify(path, findings, pszPassword);
    return DBIERR_NONE;
  });
}

extern "C" DBIResult TUGetCRTblDescCount(hTUses hTUSession, const char* pszTableName,
                                         uint16_t* piFldCount, uint16_t* piIdxCount,
                                         uint16_t* piSecRecCount, uint16_t* piValChkCount,
                                         uint16_t* piRintCount, uint16_t* piOptParams,
                                         uint16_t* piOptDataLen) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireSession(hTUSession);
    uint16_t* outs[] = {piFldCount,  piIdxCount,  piSecRecCount, piValChkCount,
                        piRintCount, piOptParams, piOptDataLen};
    for (uint16_t* out : outs)
      tutil::RequireText(reinterpret_cast<const char*>(out), "count address");
    const std::string path = tutil::ResolveLocation(pszTableName);
    const tutil::DescCounts c = tutil::CountDesc(path);
    *piFldCount = c.fields;
    *piIdxCount = c.indexes;
    *piSecRecCount = c.security;
    *piValChkCount = c.valChecks;
    *piRintCount = c.refLinks;
    *piOptParams = c.optParams;
    *piOptDataLen = c.optDataUnits;
    return DBIERR_NONE;
  });
}

extern "C" DBIResult TUFillCRTblDesc(hTUses hTUSession, CRTblDesc* pTblDesc,
                                     const char* pszTableName, const char* pszPassword) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireSession(hTUSession);
    tutil::RequireText(reinterpret_cast<const char*>(pTblDesc), "descriptor address");
    const std::string path = tutil::ResolveLocation(pszTableName);
    tutil::FillDesc(path, pszTableName, pTblDesc, pszPassword);
    return DBIERR_NONE;
  });
}

extern "C" DBIResult TURebuildTable(hTUses hTUSession, const char* pszTableName,
                                    const char* pszDriverType, const char* pszBackupTableName,
                                    const char* pszKeyviolName, const char* pszProblemTableName,
                                    CRTblDesc* pTblDesc) {
  return AtBoundary([&]() -> DBIResult {
    tutil::RequireSession(hTUSession);
    tutil::RequireText(reinterpret_cast<const char*>(pTblDesc), "descriptor address");
    const std::string path = tutil::ResolveLocation(pszTableName);
    tutil::RequireParadoxType(pszDriverType, path);
    const std::string backup =
        tutil::RequireTableFileName(pszBackupTableName, "backup table name", path);
    const std::string keyviol =
        tutil::RequireTableFileName(pszKeyviolName, "key-violation table name", path);
    const std::string problem =
        tutil::RequireTableFileName(pszProblemTableName, "problem table name", path);
    tutil::Rebuild(path, backup, keyviol, problem, *pTblDesc);
    return DBIERR_NONE;
  });
}
