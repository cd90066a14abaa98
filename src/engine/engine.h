/*
 * engine.h — the database engine: aliases, sessions, database and table lists,
 * progress callbacks, error codes, texts and context.
 *
 * Conventions (every function below):
 *  - C linkage; usable from C and C++.
 *  - Every function returns a 16-bit DBIResult: 0 (DBIERR_NONE) is success, any other
 *    value is one of the DBIERR_ codes below, whose text DbiGetErrorString gives.
 *  - On failure the function has changed nothing the caller owns, except where noted,
 *    and has recorded the error context (alias, file, line, ...) of that failure; the
 *    context stays until the next failing call. DbiGetErrorEntry reads it.
 *  - Texts are NUL-terminated 8-bit strings, taken and returned unconverted. Alias, folder
 *    and file names are the bytes of the configuration file and of the file system,
 *    whatever their encoding (a name from an old share need not be UTF-8); the engine's
 *    own texts are UTF-8. Output buffers have the sizes given by the record types or the
 *    DBIMAX constants; nothing is written beyond them.
 *  - No function throws, calls exit() or aborts; null pointers give DBIERR_INVALIDPARAM.
 *  - Not thread-safe: one thread (the user-interface thread) uses the engine.
 *    Progress callbacks are called synchronously, on the calling thread, inside the
 *    utility-library call that reports progress.
 *  - Records (DBDesc, TBLBASEDesc, CBPROGRESSDesc) are packed, little-endian, and
 *    byte-exact.
 *
 * Life cycle: DbiInit starts the engine and opens its default session; DbiStartSession
 * opens further named sessions; DbiExit closes every session and stops the engine.
 * Every other call needs a started engine (DBIERR_NOTINITIALIZED otherwise).
 *
 * Configuration: an INI file, one section per alias (TYPE=, PATH=, optional
 * DESCRIPTION=), aliases listed in file order. It is read by DbiInit from
 * $REKASTO_ENGINE_CONFIG, else $XDG_CONFIG_HOME/qel-db-rekasto/engine.ini (XDG default
 * ~/.config). With no file there the built-in default holds one alias DEMO of type
 * STANDARD on a per-user copy of the bundled demo tables. A file that exists but cannot
 * be read or parsed makes DbiInit fail with DBIERR_CONFIG; the context names file and line.
 */
#ifndef REKASTO_ENGINE_ENGINE_H
#define REKASTO_ENGINE_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t DBIResult;
typedef uint32_t hDBISes; /* session handle, nonzero when valid */
typedef uint32_t hDBICur; /* cursor handle, nonzero when valid */
typedef uint32_t hDBIDb;  /* database handle, nonzero when valid */

#define DBIMAXNAMELEN 31  /* alias, driver type, description: 32 bytes with the NUL */
#define DBIMAXPATHLEN 260 /* directory and table paths: 261 bytes with the NUL */
#define DBIMAXTBLNAMELEN 260
#define DBIMAXMSGLEN 127 /* error texts and context entries: 128 bytes with the NUL */

/* ---- Error codes (engine-owned; the utility library returns these too) ---- */
#define DBIERR_NONE 0x0000
#define DBIERR_EOF 0x2202            /* end of a record list (not an error to report) */
#define DBIERR_NOTINITIALIZED 0x2501 /* engine not started */
#define DBIERR_INVALIDPARAM 0x2502   /* a null pointer or a value out of range */
#define DBIERR_INVALIDHNDL 0x2503    /* unknown or closed session, cursor or database handle */
#define DBIERR_NOMEMORY 0x2504
#define DBIERR_CONFIG 0x2505         /* configuration file cannot be read or parsed */
#define DBIERR_UNKNOWNDB 0x2506      /* no alias of that name */
#define DBIERR_DIRNOTFOUND 0x2507    /* alias folder or table folder missing */
#define DBIERR_NOSUCHTABLE 0x2508    /* table file missing */
#define DBIERR_NOTPARADOX 0x2509     /* file is not a Paradox table */
#define DBIERR_UNKNOWNTBLTYPE 0x250A /* table type other than PARADOX */
#define DBIERR_PATHTOOLONG 0x250B    /* a path longer than 260 characters */
#define DBIERR_LOCKED 0x250C         /* table held by another program (lock file or file lock) */
#define DBIERR_NOACCESS 0x250D       /* permission denied */
#define DBIERR_READERR 0x250E
#define DBIERR_WRITEERR 0x250F
#define DBIERR_DISKFULL 0x2510
#define DBIERR_CORRUPTHEADER 0x2511 /* table header damaged beyond use */
#define DBIERR_UNSUPPORTEDLEVEL 0x2512
#define DBIERR_CORRUPTTABLE 0x2513  /* table damaged in a way the operation cannot handle */
#define DBIERR_REBUILDFAILED 0x2514 /* rebuilt family did not verify; original kept */
#define DBIERR_SESSIONLIMIT 0x2515  /* no free session handle */
#define DBIERR_INVALIDDESC 0x2516   /* rebuild descriptor inconsistent with the table */
#define DBIERR_ALREADYINIT 0x2517   /* DbiInit while the engine runs */
#define DBIERR_INTERNAL 0x25FF      /* unexpected internal failure, caught at the boundary */

/* ---- Records ---- */
#pragma pack(push, 1)

/* One alias (database descriptor), 357 bytes. */
typedef struct DBDesc {
  char szName[32];     /* 0: alias name */
  char szText[32];     /* 32: description */
  char szPhyName[261]; /* 64: directory (physical path) */
  char szDbType[32];   /* 325: driver type name, e.g. "STANDARD" */
} DBDesc;

/* One table of a database (table list record). */
typedef struct TBLBASEDesc {
  char szName[261];     /* 0: table file name without the extension, as stored */
  char szFileName[261]; /* 261: full path of the table file */
  char szExt[4];        /* 522: extension without the point, as stored ("DB", "db"); may be empty */
  char szType[32];      /* 526: "PARADOX" */
  uint8_t bSystem;      /* 558: 1 for the engine's own system tables */
} TBLBASEDesc;

/* Progress report, 268 bytes; the buffer registered for callback type cbGENPROGRESS. */
typedef struct CBPROGRESSDesc {
  uint16_t iPercentDone; /* 0: percentage done, 0..100 */
  char szMsg[261];       /* 2: free text about the step (may be empty) */
  uint8_t iPhase;        /* 263: phase: 0 header, 1 indexes, 2 data, 8 overall */
  uint8_t reserved[4];   /* 264 */
} CBPROGRESSDesc;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(DBDesc) == 357, "DBDesc is 357 bytes");
static_assert(sizeof(CBPROGRESSDesc) == 268, "CBPROGRESSDesc is 268 bytes");
#else
_Static_assert(sizeof(DBDesc) == 357, "DBDesc is 357 bytes");
_Static_assert(sizeof(CBPROGRESSDesc) == 268, "CBPROGRESSDesc is 268 bytes");
#endif

/* ---- Callbacks ---- */
#define cbGENPROGRESS 23u
#define PROGRESS_PHASE_HEADER 0u
#define PROGRESS_PHASE_INDEXES 1u
#define PROGRESS_PHASE_DATA 2u
#define PROGRESS_PHASE_OVERALL 8u

/* Routine called with (callback type, client value, address of the registered buffer);
 * returns 0 to go on. */
typedef uint32_t (*pfDBICallBack)(uint32_t ecbType, uint32_t iClientData, void* pCbInfo);

/* ---- Engine and sessions ---- */

/* Starts the engine: reads the configuration (see above) and opens the default session,
 * which becomes current. DBIERR_CONFIG when the configuration is malformed (context:
 * file and line); DBIERR_ALREADYINIT when already started. */
DBIResult DbiInit(void);
/* Closes every session (dropping their callback registrations) and stops the engine. */
DBIResult DbiExit(void);

/* Opens a named session and makes it current; *phSes receives its handle. */
DBIResult DbiStartSession(const char* pszName, hDBISes* phSes);
/* Closes a session opened by DbiStartSession; the default session becomes current if it
 * was this one. The default session cannot be closed this way (DBIERR_INVALIDHNDL). */
DBIResult DbiCloseSession(hDBISes hSes);
DBIResult DbiGetCurrSession(hDBISes* phSes);
DBIResult DbiSetCurrSession(hDBISes hSes);
/* Handle of the default session opened by DbiInit. */
DBIResult DbiGetDefaultSession(hDBISes* phSes);

/* ---- Databases (aliases) ---- */

/* Opens a cursor over the aliases in configuration order, one DBDesc per record. */
DBIResult DbiOpenDatabaseList(hDBICur* phCur);
/* Reads the next record of a cursor into pRecBuf (DBDesc for a database list,
 * TBLBASEDesc for a table list). eLock and pRecProps are ignored (pass 0 and null).
 * DBIERR_EOF at the end. */
DBIResult DbiGetNextRecord(hDBICur hCur, uint32_t eLock, void* pRecBuf, void* pRecProps);
/* Closes a cursor and sets *phCur to 0. */
DBIResult DbiCloseCursor(hDBICur* phCur);
/* Fills the descriptor of the alias named pszName (exact, case-sensitive).
 * DBIERR_UNKNOWNDB when there is none. */
DBIResult DbiGetDatabaseDesc(const char* pszName, DBDesc* pdbDesc);

/* Opens the database of an alias in the current session. DBIERR_UNKNOWNDB for an unknown
 * alias, DBIERR_DIRNOTFOUND when its folder is missing. */
DBIResult DbiOpenDatabase(const char* pszAlias, hDBIDb* phDb);
DBIResult DbiCloseDatabase(hDBIDb* phDb);
/* Opens a cursor over the Paradox tables (*.DB, any letter case) of the database's folder
 * that match pszWild ("*.*" or null: all), sorted by file name; one TBLBASEDesc per
 * record. bSystem = 0 leaves the engine's system tables out. */
DBIResult DbiOpenTableList(hDBIDb hDb, uint8_t bExtended, uint8_t bSystem, const char* pszWild,
                           hDBICur* phCur);

/* ---- Callbacks ---- */

/* Registers (pfCb non-null) or unregisters (pfCb null) the routine for callback type ecbType
 * in the current session. hCursor must be 0. For cbGENPROGRESS the buffer must hold at least
 * sizeof(CBPROGRESSDesc) bytes; it is filled before each call of the routine. */
DBIResult DbiRegisterCallBack(hDBICur hCursor, uint32_t ecbType, uint32_t iClientData,
                              uint16_t iCbBufLen, void* pCbBuf, pfDBICallBack pfCb);

/* For the utility library: reports progress through the cbGENPROGRESS registration of the
 * current session, if any (a no-op returning 0 otherwise). Fills the registered buffer with
 * the percentage at offset 0, the text at offset 2 and the phase at offset 263, then calls the
 * routine on this thread. */
DBIResult DbiReportProgress(uint16_t iPercent, uint8_t iPhase, const char* pszMsg);

/* ---- Errors ---- */

/* The engine's text for a code (at most DBIMAXMSGLEN characters plus NUL; pszError must hold
 * DBIMAXMSGLEN + 1 bytes). An unknown code gives an empty text and result 0. */
DBIResult DbiGetErrorString(DBIResult rslt, char* pszError);
/* The uEntry-th (1-based) context text of the last failure, e.g. "Alias: DEMO",
 * "File: /path/engine.ini", "Line: 12". DBIERR_EOF when there is no such entry. */
DBIResult DbiGetErrorEntry(uint16_t uEntry, char* pszError);
/* For the utility library: forgets the context of earlier failures, then adds entries. */
void DbiClearErrorContext(void);
void DbiAddErrorContext(const char* pszText);

#ifdef __cplusplus
}
#endif

#endif /* REKASTO_ENGINE_ENGINE_H */
