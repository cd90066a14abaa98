/*
 * TUtil32.h — the table-utility library: verification and rebuild of Paradox tables.
 *
 * Conventions (every function below):
 *  - C linkage; 16-bit results: 0 (DBIERR_NONE) is success, any other value is an engine
 *    error code of engine.h whose text (DbiGetErrorString) names the problem; the engine's
 *    error context (DbiGetErrorEntry) names the file.
 *  - A session handle comes from TUInit and is nonzero; an unknown or closed handle gives
 *    DBIERR_INVALIDHNDL everywhere.
 *  - Locations are NUL-terminated 8-bit paths of a .DB file (at most 260 bytes; '/' and
 *    '\\' both separate folders), the file system's bytes whatever their encoding: a name
 *    need not be UTF-8, and the locale plays no part. The table type must be "PARADOX".
 *  - Bad arguments (null pointers, another table type, an over-long location, a missing or
 *    foreign file, a locked table) give an error code, never a crash, and change nothing.
 *  - No function throws across this boundary.
 *  - While a cbGENPROGRESS callback is registered with the engine's current session,
 *    TUVerifyTable and TURebuildTable report progress through it (engine.h,
 *    DbiReportProgress), synchronously on the calling thread: phases 0 header,
 *    1 indexes, 2 data, 8 overall, percentages 0..100.
 *  - Records are packed and little-endian; their sizes are asserted below.
 *    TUtilRecords.h defines the descriptor's element records and says where each
 *    CURProps value comes from.
 *  - Tables the library writes (the findings table, backups, key-violation, problem and
 *    report tables) are Paradox tables in the table's repair folder
 *    "<table folder>/<TABLE>.rekasto/": findings directly in it (replacing the previous
 *    findings), a rebuild's tables in a new subfolder per rebuild ("<UTC time>[-n]"), so
 *    no backup ever replaces another. When the table's folder cannot be written, the
 *    findings go to "$XDG_STATE_HOME/qel-db-rekasto/repair/<TABLE>-<hash of the folder>/".
 *  - A session keeps the outcome of its last operation as one line of Polish text for the
 *    user (TUGetLastOutcome): after a failure, the step and its cause; after a
 *    verification, the counts of errors and warnings and where the findings table lies;
 *    after a rebuild, the records kept and set aside and the repair folder.
 *  - A file that is not a Paradox table (or another member of a family) is refused with
 *    DBIERR_NOTPARADOX by every function that names a table; it gets no verdict.
 */
#ifndef REKASTO_TUTIL_TUTIL32_H
#define REKASTO_TUTIL_TUTIL32_H

#include <stddef.h>
#include <stdint.h>

#include "engine.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t hTUses;

/* Element sizes of the rebuild descriptor's arrays. */
#define TU_FLDDESC_SIZE 62u
#define TU_IDXDESC_SIZE 893u
#define TU_SECDESC_SIZE 1064u
#define TU_VCHKDESC_SIZE 1219u
#define TU_RINTDESC_SIZE 373u
#define TU_OPTPARAM_SIZE 62u
#define TU_OPTDATA_UNIT 128u

/* Space the caller sets aside for a CURProps record; the library never writes more. */
#define TU_CURPROPS_SPACE 432u

/* Buffer size that always holds a whole outcome text (TUGetLastOutcome). */
#define TU_OUTCOME_SPACE 1024u

#pragma pack(push, 1)

/* Table properties. The ten fields the program shows are unsigned 16-bit words at fixed
 * offsets; the library fills the others as documented in TUtilRecords.h. */
typedef struct CURProps {
  char szName[261];        /* 0: table location as given */
  uint16_t iFNameSize;     /* 261 */
  char szTableType[32];    /* 263: "PARADOX" */
  uint16_t iFields;        /* 295: number of fields */
  uint16_t iRecBufSize;    /* 297 */
  uint16_t iRecSize;       /* 299: record size in bytes */
  uint16_t iKeySize;       /* 301 */
  uint16_t iIndexes;       /* 303: primary + secondary indexes */
  uint16_t iValChecks;     /* 305: validity checks */
  uint16_t iRefIntChecks;  /* 307: referential-integrity links */
  uint8_t reserved309[26]; /* 309 */
  uint16_t iRestrVersion;  /* 335: restructure version */
  uint8_t reserved337[8];  /* 337 */
  uint16_t iPasswords;     /* 345: auxiliary passwords */
  uint16_t iCodePage;      /* 347: DOS code page */
  uint16_t bProtected;     /* 349: 1 when encrypted */
  uint16_t iTblLevel;      /* 351: table level (3, 4, 5, 7; 35 for 3.5) */
  char szLangDriver[32];   /* 353: sort order name */
  uint16_t bFieldMap;      /* 385 */
  uint16_t iBlockSize;     /* 387: data block size in bytes */
  uint8_t reserved389[43]; /* 389 */
} CURProps;

/* Rebuild descriptor: 682 bytes on 32-bit builds (32-bit pointers); on 64-bit builds the
 * pointer fields are native pointers and the record is larger, field order unchanged. */
typedef struct CRTblDesc {
  char szTblName[261];    /* 0: location */
  char szTblType[32];     /* 261: "PARADOX" */
  char szErrTblName[261]; /* 293: name of the rebuild's report table, e.g. "Rebuild.DB" */
  char szUserName[32];    /* 554 */
  char szPassword[32];    /* 586 */
  uint16_t bProtected;    /* 618 */
  uint16_t bPack;         /* 620 */
  uint16_t iFldCount;     /* 622: count 1 */
  void* pecrFldOp;        /* 624 */
  void* pfldDesc;         /* 628: iFldCount x TU_FLDDESC_SIZE */
  uint16_t iIdxCount;     /* 632: count 2 */
  void* pecrIdxOp;        /* 634 */
  void* pidxDesc;         /* 638: iIdxCount x TU_IDXDESC_SIZE */
  uint16_t iSecRecCount;  /* 642: count 3 */
  void* pecrSecOp;        /* 644 */
  void* psecDesc;         /* 648: iSecRecCount x TU_SECDESC_SIZE */
  uint16_t iValChkCount;  /* 652: count 4 */
  void* pecrValChkOp;     /* 654 */
  void* pvchkDesc;        /* 658: iValChkCount x TU_VCHKDESC_SIZE */
  uint16_t iRintCount;    /* 662: count 5 */
  void* pecrRintOp;       /* 664 */
  void* printDesc;        /* 668: iRintCount x TU_RINTDESC_SIZE */
  uint16_t iOptParams;    /* 672: count 6 */
  void* pfldOptParams;    /* 674: iOptParams x TU_OPTPARAM_SIZE */
  void* pOptData;         /* 678: count 7 x TU_OPTDATA_UNIT */
} CRTblDesc;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(CURProps) == TU_CURPROPS_SPACE, "CURProps fits the space set aside");
static_assert(offsetof(CURProps, iFields) == 295 && offsetof(CURProps, iRecSize) == 299 &&
                  offsetof(CURProps, iIndexes) == 303 && offsetof(CURProps, iValChecks) == 305 &&
                  offsetof(CURProps, iRefIntChecks) == 307 &&
                  offsetof(CURProps, iRestrVersion) == 335 &&
                  offsetof(CURProps, iPasswords) == 345 && offsetof(CURProps, iCodePage) == 347 &&
                  offsetof(CURProps, iTblLevel) == 351 && offsetof(CURProps, iBlockSize) == 387,
              "CURProps offsets");
static_assert(offsetof(CRTblDesc, iFldCount) == 622, "CRTblDesc counts start at 622");
static_assert(sizeof(void*) != 4 || sizeof(CRTblDesc) == 682, "CRTblDesc is 682 bytes on 32-bit");
#endif

DBIResult TUInit(hTUses* phTUSession);
DBIResult TUExit(hTUses hTUSession);
DBIResult TUFillCURProps(hTUses hTUSession, const char* pszTableName, CURProps* pTblProps);
/* piErrorLevel receives the verdict: 0 no errors; 1 errors a rebuild repairs; 2 the check
 * could not be completed; 3 the structure cannot come from the table itself; 4 the table
 * cannot be rebuilt. pszErrTableName names the findings table written in the table's
 * repair folder. */
DBIResult TUVerifyTable(hTUses hTUSession, const char* pszTableName, const char* pszDriverType,
                        const char* pszErrTableName, const char* pszPassword, int32_t iOptions,
                        int32_t* piErrorLevel);
DBIResult TUGetCRTblDescCount(hTUses hTUSession, const char* pszTableName, uint16_t* piFldCount,
                              uint16_t* piIdxCount, uint16_t* piSecRecCount,
                              uint16_t* piValChkCount, uint16_t* piRintCount, uint16_t* piOptParams,
                              uint16_t* piOptDataLen);
DBIResult TUFillCRTblDesc(hTUses hTUSession, CRTblDesc* pTblDesc, const char* pszTableName,
                          const char* pszPassword);
/* Rebuilds the table as the descriptor describes it (fields, primary and secondary
 * indexes, validity checks; see TUtilRecords.h), keeping the original family as the
 * backup. The descriptor's szErrTblName names the report table ("Rebuild.DB" when
 * empty); backup, key-violation, problem and report tables need four different names
 * (DBIERR_INVALIDPARAM otherwise). DBIERR_INVALIDDESC when the descriptor is inconsistent
 * or does not fit the table's data; DBIERR_LOCKED when another program holds the table
 * (a lock file in its folder, or any lock held on a member of its family). */
DBIResult TURebuildTable(hTUses hTUSession, const char* pszTableName, const char* pszDriverType,
                         const char* pszBackupTableName, const char* pszKeyviolName,
                         const char* pszProblemTableName, CRTblDesc* pTblDesc);

/* Copies the outcome text of the session's last TUFillCURProps, TUVerifyTable,
 * TUGetCRTblDescCount, TUFillCRTblDesc or TURebuildTable call into pszOutcome: one line of
 * UTF-8 Polish (file and folder names in it are their bytes as they are), NUL-terminated,
 * cut at a character boundary to fit iOutcomeSize bytes
 * (TU_OUTCOME_SPACE always holds it whole). Empty before the session's first operation.
 * After a failure it reads "Nie można <step>: <cause>." (cause e.g. "plik nie jest tabelą
 * Paradox (<file>)", "brak dostępu do zapisu w folderze <folder>", "tabela jest używana
 * przez inny program (<lock>)"); after TUVerifyTable "Błędy: E, ostrzeżenia: W (<what the
 * verdict means>). Wyniki sprawdzenia: <findings table>."; after TURebuildTable "Zachowane
 * rekordy: N, odłożone do <key-violation table>: K, do <problem table>: P. Kopia oryginału
 * i raporty: <repair folder>.", P followed by " (w tym niepodobnych do danych tabeli: I)"
 * when I of the problem records were set aside because the table's own data shows them
 * to be garbage. Reading the text changes neither it nor the engine's error
 * context. DBIERR_INVALIDHNDL for a session that is not open, DBIERR_INVALIDPARAM for a
 * null buffer or a size of 0. */
DBIResult TUGetLastOutcome(hTUses hTUSession, char* pszOutcome, uint32_t iOutcomeSize);

#ifdef __cplusplus
}
#endif

#endif /* REKASTO_TUTIL_TUTIL32_H */
