/* Compiled by the C compiler: engine.h must be plain C, and its records keep their offsets. */
#include <stddef.h>
#include <string.h>

#include "engine.h"

_Static_assert(offsetof(DBDesc, szName) == 0, "DBDesc.szName");
_Static_assert(offsetof(DBDesc, szText) == 32, "DBDesc.szText");
_Static_assert(offsetof(DBDesc, szPhyName) == 64, "DBDesc.szPhyName");
_Static_assert(offsetof(DBDesc, szDbType) == 325, "DBDesc.szDbType");
_Static_assert(offsetof(CBPROGRESSDesc, iPercentDone) == 0, "CBPROGRESSDesc.iPercentDone");
_Static_assert(offsetof(CBPROGRESSDesc, szMsg) == 2, "CBPROGRESSDesc.szMsg");
_Static_assert(offsetof(CBPROGRESSDesc, iPhase) == 263, "CBPROGRESSDesc.iPhase");
_Static_assert(offsetof(TBLBASEDesc, szExt) == 522, "TBLBASEDesc.szExt");
_Static_assert(offsetof(TBLBASEDesc, bSystem) == 558, "TBLBASEDesc.bSystem");

static unsigned calls;
static uint32_t seenType, seenClient;

static uint32_t Progress(uint32_t type, uint32_t client, void* info) {
  (void)info;
  ++calls;
  seenType = type;
  seenClient = client;
  return 0;
}

/* Runs a short session against a started-from-nothing engine whose configuration holds the
 * one alias given. Returns 0, or the source line of the first check that failed. */
int engine_c_api_check(const char* alias, const char* path) {
  DBDesc desc;
  CBPROGRESSDesc progress;
  hDBICur cur = 0;
  if (DbiInit() != DBIERR_NONE) return __LINE__;
  if (DbiOpenDatabaseList(&cur) != DBIERR_NONE || cur == 0) return __LINE__;
  if (DbiGetNextRecord(cur, 0, &desc, NULL) != DBIERR_NONE) return __LINE__;
  if (strcmp(desc.szName, alias) != 0 || strcmp(desc.szPhyName, path) != 0) return __LINE__;
  if (strcmp(desc.szDbType, "STANDARD") != 0) return __LINE__;
  if (DbiGetNextRecord(cur, 0, &desc, NULL) != DBIERR_EOF) return __LINE__;
  if (DbiCloseCursor(&cur) != DBIERR_NONE || cur != 0) return __LINE__;
  memset(&desc, 0, sizeof desc);
  if (DbiGetDatabaseDesc(alias, &desc) != DBIERR_NONE) return __LINE__;
  if (strcmp(desc.szPhyName, path) != 0) return __LINE__;

  if (DbiRegisterCallBack(0, cbGENPROGRESS, 7, sizeof progress, &progress, Progress) != 0) {
    return __LINE__;
  }
  if (DbiReportProgress(42, PROGRESS_PHASE_DATA, "data") != DBIERR_NONE) return __LINE__;
  if (calls != 1 || seenType != cbGENPROGRESS || seenClient != 7) return __LINE__;
  if (progress.iPercentDone != 42 || progress.iPhase != PROGRESS_PHASE_DATA) return __LINE__;
  if (strcmp(progress.szMsg, "data") != 0) return __LINE__;
  if (DbiRegisterCallBack(0, cbGENPROGRESS, 0, 0, NULL, NULL) != DBIERR_NONE) return __LINE__;
  if (DbiReportProgress(50, PROGRESS_PHASE_DATA, "") != DBIERR_NONE || calls != 1) return __LINE__;
  if (DbiExit() != DBIERR_NONE) return __LINE__;
  return 0;
}
