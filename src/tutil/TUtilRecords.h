/*
 * TUtilRecords.h — the element records of the rebuild descriptor (CRTblDesc) and what
 * the table-utility library puts into CURProps. C-compatible; packed, little-endian.
 *
 * CURProps (TUtil32.h), as TUFillCURProps fills it. The whole 432-byte record is
 * written (reserved areas zero) and nothing beyond it; on failure nothing is written.
 *   szName         the location as given (at most 260 characters)
 *   iFNameSize     261, the size of szName
 *   szTableType    "PARADOX"
 *   iFields        .DB header 0x21 (field count)
 *   iRecBufSize    .DB header 0x00 (record size; the library needs no larger buffer)
 *   iRecSize       .DB header 0x00 (record size in bytes)
 *   iKeySize       sum of the stored sizes of the primary-key fields (0 unkeyed)
 *   iIndexes       1 for the primary index (keyed table whose .PX exists) plus one per
 *                  secondary index of the family (.Xnn or .XGn file, each counted once)
 *   iValChecks     .VAL byte 2: fields carrying validity checks (0 without a .VAL, or
 *                  when the .VAL has the older layout whose entries are not documented)
 *   iRefIntChecks  .VAL referential-integrity section: links in which this table is the
 *                  dependent side (0 without a .VAL or such a section)
 *   iRestrVersion  .DB header 0x2E, the structure change counter: it changes with every
 *                  restructure, and the .VAL and the secondary indexes copy it
 *   iPasswords     .DB header 0x3D (auxiliary passwords, the count only)
 *   iCodePage      .DB header 0x6A (DOS code page; 0 for level 3.x tables, which have none)
 *   bProtected     1 when the table is encrypted (password protected)
 *   iTblLevel      3 (3.0), 35 (3.5), 4, 5 or 7, from .DB header 0x39
 *   szLangDriver   the sort-order name of a level 4+ header ("ascii", "ANSII850", ...)
 *   bFieldMap      0
 *   iBlockSize     .DB header 0x05 x 1024 (data block size in bytes)
 *
 * CRTblDesc (TUtil32.h). TUFillCRTblDesc leaves szTblName, szTblType, szErrTblName,
 * szUserName, szPassword and the pecr...Op pointers as the caller set them; it sets
 * bProtected (1 for an encrypted table), bPack (0), and the counts to the numbers of
 * elements it wrote. It writes at most the caller's count of elements into each array;
 * when a count is smaller than the table needs, it fails with DBIERR_INVALIDDESC and
 * writes nothing. A count of 0 may go with a null array.
 *
 *   array 1 pfldDesc      FLDDesc per field, in record order
 *   array 2 pidxDesc      IDXDesc per index: the primary index first (keyed tables),
 *                         then the secondary indexes in file-name order
 *   array 3 psecDesc      SECDesc: always 0 elements. The auxiliary passwords of an
 *                         encrypted table are not readable without its master password;
 *                         a rebuild keeps the header's password area as it is.
 *   array 4 pvchkDesc     VCHKDesc per field with validity checks (.VAL)
 *   array 5 printDesc     RINTDesc per referential-integrity link (.VAL)
 *   array 6 pfldOptParams FLDDesc per optional parameter: szName is the parameter's name,
 *                         iOffset its offset in array 7, iLen its length; the value is
 *                         text. Parameters: "LEVEL" ("3.0", "3.5", "4", "5", "7"),
 *                         "BLOCK SIZE" (bytes), "CODE PAGE" (level 4+ only),
 *                         "SORT ORDER" (level 4+ with a sort-order name only; at
 *                         most 31 characters).
 *   array 7 pOptData      the parameters' values, NUL-terminated, in 128-byte units;
 *                         they never need more than one unit
 */
#ifndef REKASTO_TUTIL_TUTILRECORDS_H
#define REKASTO_TUTIL_TUTILRECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "TUtil32.h"

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* One field (array 1) or one optional parameter (array 6), 62 bytes. */
typedef struct FLDDesc {
  uint16_t iFldNum;      /* 0: 1-based field number (parameters: 1-based position) */
  char szName[32];       /* 2: field name, raw bytes in the table's code page, NUL-terminated */
  uint16_t iFldType;     /* 34: Paradox field type code (0x01 alpha ... 0x18 bytes) */
  uint16_t iSubType;     /* 36: 0 */
  int16_t iUnits1;       /* 38: A and Y: length; blobs: bytes kept in the record (leader);
                                #: digits (32); other types: stored size */
  int16_t iUnits2;       /* 40: #: decimal places; otherwise 0 */
  uint16_t iOffset;      /* 42: offset in the record */
  uint16_t iLen;         /* 44: bytes the field takes in the record */
  uint16_t iNullOffset;  /* 46: 0 */
  uint16_t efldvVchk;    /* 48: 1 when the field has validity checks, else 0 */
  uint16_t efldrRights;  /* 50: 0 */
  uint16_t bCalcField;   /* 52: 0 */
  char cTypeLetter;      /* 54: type letter: A D S I $ N L M B F O G T @ + # Y */
  uint8_t iSizeByte;     /* 55: the header's descriptor size byte, which a rebuild writes */
  uint8_t reserved56[6]; /* 56 */
} FLDDesc;

#define TU_MAX_KEY_FIELDS 16

/* One index (array 2), 893 bytes. */
typedef struct IDXDesc {
  char szName[261];     /* 0: index name (.XGn); empty for the primary and .Xnn indexes */
  uint16_t iIndexId;    /* 261: 0 primary; n for .Xnn (hexadecimal file number);
                           256 + n for .XGn */
  char szTagName[32];   /* 263: 0 */
  char szFormat[32];    /* 295: 0 */
  uint16_t bPrimary;    /* 327: 1 for the primary index (.PX) */
  uint16_t bUnique;     /* 329 */
  uint16_t bDescending; /* 331: 1 when every key field sorts descending */
  uint16_t bMaintained; /* 333: kept up to date with the data */
  uint16_t bSubset;     /* 335: 0 */
  uint16_t bExpIdx;     /* 337: 0 */
  uint16_t iCost;       /* 339: 0 */
  uint16_t iFldsInKey;  /* 341: number of key fields (at most 16) */
  uint16_t iKeyLen;     /* 343: bytes of a key (sum of the key fields' sizes) */
  uint16_t bOutofDate;  /* 345: 0 */
  uint16_t iKeyExpType; /* 347: 0 */
  uint16_t aiKeyFld[TU_MAX_KEY_FIELDS];     /* 349: 1-based field numbers, in key order */
  char szKeyExp[221];                       /* 381: 0 */
  char szKeyCond[221];                      /* 602: 0 */
  uint16_t bCaseInsensitive;                /* 823 */
  uint16_t iBlockSize;                      /* 825: index block size in bytes (0 when unknown) */
  uint16_t iRestrNum;                       /* 827: 0 */
  uint16_t abDescending[TU_MAX_KEY_FIELDS]; /* 829: per key field, 1 = descending */
  char szFileSuffix[8];                     /* 861: family member: "PX", "X02", "XG0", ... */
  uint8_t reserved869[24];                  /* 869 */
} IDXDesc;

/* One auxiliary password record (array 3), 1064 bytes; see above: never filled. */
typedef struct SECDesc {
  uint16_t iSecNum;        /* 0 */
  uint16_t eprvTable;      /* 2 */
  uint16_t iFamRights;     /* 4 */
  char szPassword[32];     /* 6 */
  uint8_t aprvFld[1024];   /* 38: per field rights */
  uint8_t reserved1062[2]; /* 1062 */
} SECDesc;

#define TU_VCHK_VALUE_SIZE 255

/* Validity checks of one field (array 4), 1219 bytes. Values are stored as the field
 * stores them in a record (its iLen bytes, the rest zero). */
typedef struct VCHKDesc {
  uint16_t iFldNum;                    /* 0: 1-based field number */
  uint16_t bRequired;                  /* 2 */
  uint16_t bHasMinVal;                 /* 4 */
  uint16_t bHasMaxVal;                 /* 6 */
  uint16_t bHasDefVal;                 /* 8 */
  uint8_t aMinVal[TU_VCHK_VALUE_SIZE]; /* 10 */
  uint8_t aMaxVal[TU_VCHK_VALUE_SIZE]; /* 265 */
  uint8_t aDefVal[TU_VCHK_VALUE_SIZE]; /* 520 */
  char szPict[176];                    /* 775: picture, NUL-terminated ("" none) */
  uint16_t elkupType;      /* 951: 0 none; 1 lookup table (fill corresponding fields: +2;
                              lookup help: +4) */
  char szLkupTblName[261]; /* 953: lookup table name */
  uint8_t reserved1214[5]; /* 1214 */
} VCHKDesc;

/* One referential-integrity link (array 5), 373 bytes. */
typedef struct RINTDesc {
  uint16_t iRintNum;                        /* 0: 1-based */
  char szRintName[32];                      /* 2: link name */
  uint16_t eType;                           /* 34: 1 = this table is the dependent (child) side */
  char szTblName[261];                      /* 36: the other (master) table, as stored */
  uint16_t eModOp;                          /* 297: update rule: 0 prohibit, 1 cascade */
  uint16_t eDelOp;                          /* 299: 0 prohibit */
  uint16_t iFldCount;                       /* 301: linked fields (at most 16) */
  uint16_t aiThisTabFld[TU_MAX_KEY_FIELDS]; /* 303: 1-based field numbers here */
  uint16_t aiOthTabFld[TU_MAX_KEY_FIELDS];  /* 335: 1-based field numbers there */
  uint8_t reserved367[6];                   /* 367 */
} RINTDesc;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(FLDDesc) == TU_FLDDESC_SIZE, "FLDDesc size");
static_assert(sizeof(FLDDesc) == TU_OPTPARAM_SIZE, "optional parameters are FLDDesc records");
static_assert(sizeof(IDXDesc) == TU_IDXDESC_SIZE, "IDXDesc size");
static_assert(sizeof(SECDesc) == TU_SECDESC_SIZE, "SECDesc size");
static_assert(sizeof(VCHKDesc) == TU_VCHKDESC_SIZE, "VCHKDesc size");
static_assert(sizeof(RINTDesc) == TU_RINTDESC_SIZE, "RINTDesc size");
static_assert(offsetof(IDXDesc, aiKeyFld) == 349 && offsetof(IDXDesc, szFileSuffix) == 861,
              "IDXDesc offsets");
static_assert(offsetof(VCHKDesc, szPict) == 775 && offsetof(VCHKDesc, szLkupTblName) == 953,
              "VCHKDesc offsets");
static_assert(offsetof(RINTDesc, aiOthTabFld) == 335, "RINTDesc offsets");
#else
_Static_assert(sizeof(FLDDesc) == TU_FLDDESC_SIZE, "FLDDesc size");
_Static_assert(sizeof(IDXDesc) == TU_IDXDESC_SIZE, "IDXDesc size");
_Static_assert(sizeof(SECDesc) == TU_SECDESC_SIZE, "SECDesc size");
_Static_assert(sizeof(VCHKDesc) == TU_VCHKDESC_SIZE, "VCHKDesc size");
_Static_assert(sizeof(RINTDesc) == TU_RINTDESC_SIZE, "RINTDesc size");
_Static_assert(sizeof(CURProps) == TU_CURPROPS_SPACE, "CURProps size");
#endif

#ifdef __cplusplus
}
#endif

#endif /* REKASTO_TUTIL_TUTILRECORDS_H */
