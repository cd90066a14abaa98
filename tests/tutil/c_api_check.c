/* Compiled by the C compiler: TUtil32.h and TUtilRecords.h must be plain C, and the
 * program's sequence of calls works from C against the engine. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "TUtil32.h"
#include "TUtilRecords.h"

_Static_assert(offsetof(CURProps, iFields) == 295, "CURProps.iFields");
_Static_assert(offsetof(CURProps, iRecSize) == 299, "CURProps.iRecSize");
_Static_assert(offsetof(CURProps, iIndexes) == 303, "CURProps.iIndexes");
_Static_assert(offsetof(CURProps, iValChecks) == 305, "CURProps.iValChecks");
_Static_assert(offsetof(CURProps, iRefIntChecks) == 307, "CURProps.iRefIntChecks");
_Static_assert(offsetof(CURProps, iRestrVersion) == 335, "CURProps.iRestrVersion");
_Static_assert(offsetof(CURProps, iPasswords) == 345, "CURProps.iPasswords");
_Static_assert(offsetof(CURProps, iCodePage) == 347, "CURProps.iCodePage");
_Static_assert(offsetof(CURProps, iTblLevel) == 351, "CURProps.iTblLevel");
_Static_assert(offsetof(CURProps, iBlockSize) == 387, "CURProps.iBlockSize");
_Static_assert(offsetof(CRTblDesc, iFldCount) == 622, "CRTblDesc.iFldCount");
_Static_assert(sizeof(void*) != 4 || sizeof(CRTblDesc) == 682, "CRTblDesc on 32-bit builds");

static unsigned reports;

static uint32_t Progress(uint32_t type, uint32_t client, void* info) {
  (void)client;
  (void)info;
  if (type == cbGENPROGRESS) ++reports;
  return 0;
}

#define CHECK(cond)      \
  do {                   \
    if (!(cond)) {       \
      result = __LINE__; \
      goto done;         \
    }                    \
  } while (0)

/* The program's verify-and-rebuild sequence on `location` with a started engine.
 * Returns 0, or the source line of the first check that failed. */
int tutil_c_api_check(const char* location) {
  int result = 0;
  hTUses h = 0;
  CURProps props;
  CBPROGRESSDesc progress;
  int32_t verdict = -1;
  uint16_t c[7] = {0};
  char outcome[TU_OUTCOME_SPACE];
  char small[8];
  CRTblDesc desc;
  void* arrays[7] = {0};
  const size_t sizes[7] = {TU_FLDDESC_SIZE,  TU_IDXDESC_SIZE,  TU_SECDESC_SIZE, TU_VCHKDESC_SIZE,
                           TU_RINTDESC_SIZE, TU_OPTPARAM_SIZE, TU_OPTDATA_UNIT};
  int i;

  CHECK(TUInit(&h) == DBIERR_NONE && h != 0);
  /* A fresh session has no outcome yet. */
  CHECK(TUGetLastOutcome(h, outcome, sizeof outcome) == DBIERR_NONE && outcome[0] == '\0');
  CHECK(TUGetLastOutcome(h, NULL, sizeof outcome) == DBIERR_INVALIDPARAM);
  CHECK(TUGetLastOutcome(h, outcome, 0) == DBIERR_INVALIDPARAM);
  CHECK(TUFillCURProps(h, location, &props) == DBIERR_NONE);
  CHECK(props.iFields > 0 && props.iRecSize > 0 && props.iBlockSize >= 1024);
  CHECK(TUFillCURProps(h, NULL, &props) == DBIERR_INVALIDPARAM);

  reports = 0;
  CHECK(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof progress, &progress, Progress) ==
        DBIERR_NONE);
  CHECK(TUVerifyTable(h, location, "PARADOX", "VERIFY.DB", NULL, 0, &verdict) == DBIERR_NONE);
  CHECK(verdict == 0);
  CHECK(reports > 0);
  CHECK(TUGetLastOutcome(h, outcome, sizeof outcome) == DBIERR_NONE);
  CHECK(strncmp(outcome, "Błędy: 0, ostrzeżenia: 0", strlen("Błędy: 0, ostrzeżenia: 0")) == 0);
  CHECK(strstr(outcome, "VERIFY.DB") != NULL);
  /* A short buffer gets a NUL-terminated head of the text. */
  CHECK(TUGetLastOutcome(h, small, sizeof small) == DBIERR_NONE && strlen(small) < sizeof small);
  CHECK(strncmp(outcome, small, strlen(small)) == 0);
  CHECK(TUVerifyTable(h, location, "DBASE", "VERIFY.DB", NULL, 0, &verdict) ==
        DBIERR_UNKNOWNTBLTYPE);
  CHECK(TUGetLastOutcome(h, outcome, sizeof outcome) == DBIERR_NONE);
  CHECK(strcmp(outcome, "Nie można sprawdzić tabeli: typ tabeli nie jest PARADOX.") == 0);

  CHECK(TUGetCRTblDescCount(h, location, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6]) ==
        DBIERR_NONE);
  CHECK(c[0] == props.iFields);
  memset(&desc, 0, sizeof desc);
  strncpy(desc.szTblName, location, sizeof desc.szTblName - 1);
  strcpy(desc.szTblType, "PARADOX");
  strcpy(desc.szErrTblName, "Rebuild.DB");
  for (i = 0; i < 7; ++i) arrays[i] = c[i] ? malloc((size_t)c[i] * sizes[i]) : NULL;
  desc.iFldCount = c[0];
  desc.pfldDesc = arrays[0];
  desc.iIdxCount = c[1];
  desc.pidxDesc = arrays[1];
  desc.iSecRecCount = c[2];
  desc.psecDesc = arrays[2];
  desc.iValChkCount = c[3];
  desc.pvchkDesc = arrays[3];
  desc.iRintCount = c[4];
  desc.printDesc = arrays[4];
  desc.iOptParams = c[5];
  desc.pfldOptParams = arrays[5];
  desc.pOptData = arrays[6];
  CHECK(TUFillCRTblDesc(h, &desc, location, NULL) == DBIERR_NONE);
  CHECK(strcmp(((FLDDesc*)desc.pfldDesc)[0].szName, "Id") == 0);

  reports = 0;
  CHECK(TURebuildTable(h, location, "PARADOX", "Backup.Db", "KEYVIOL.DB", "PROBLEM.DB", &desc) ==
        DBIERR_NONE);
  CHECK(reports > 0);
  CHECK(DbiRegisterCallBack(0, cbGENPROGRESS, 0, sizeof progress, &progress, NULL) == DBIERR_NONE);

  CHECK(TUGetLastOutcome(h, outcome, sizeof outcome) == DBIERR_NONE);
  CHECK(strncmp(outcome, "Zachowane rekordy: ", strlen("Zachowane rekordy: ")) == 0);

  CHECK(TUExit(h) == DBIERR_NONE);
  CHECK(TUExit(h) == DBIERR_INVALIDHNDL);
  CHECK(TUGetLastOutcome(h, outcome, sizeof outcome) == DBIERR_INVALIDHNDL);
  h = 0;

done:
  for (i = 0; i < 7; ++i) free(arrays[i]);
  if (h != 0) TUExit(h);
  return result;
}
