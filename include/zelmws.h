/*
 * zelmws.h - the host services that the class session library calls:
 * the working-set object store and the memory service, with the records
 * that cross to them. The host provides these four calls.
 */
#ifndef ZELMWS_H
#define ZELMWS_H

#include "zelmxcc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef ULONG SIMOBJ;   /* object type */
typedef ULONG HERR;     /* error log handle */
typedef PSZ SIMSRCFILE; /* file name */

/* Return-code record handed to every service call. */
typedef struct _RCSTRUCT {
    ULONG ulStruct;   /* size of this record in bytes, set by the caller */
    ULONG ulRC;
    USHORT usReserved;
    USHORT usParam;
    ULONG ulParam1;
    ULONG ulParam2;
    ULONG ulExtRC;
    ULONG ulExtReason;
    PVOID pApplData;
    ULONG ulApplData;
    ULONG ulReserved;
    HERR hErrLog;
} RCSTRUCT, *PRCSTRUCT;

/* Data buffer descriptor. */
typedef struct _SIMBUFFERSTRUCT {
    ULONG ulStruct;   /* size of this record in bytes, set by the caller */
    PUCHAR pucBuffer; /* null, or ulSize bytes */
    ULONG ulSize;
} SIMBUFFERSTRUCT, *PSIMBUFFERSTRUCT;

#if defined(_WIN32) && !defined(_WIN64)
#ifdef __cplusplus
static_assert(sizeof(RCSTRUCT) == 44, "RCSTRUCT is 44 bytes");
static_assert(sizeof(SIMBUFFERSTRUCT) == 12, "SIMBUFFERSTRUCT is 12 bytes");
#else
_Static_assert(sizeof(RCSTRUCT) == 44, "RCSTRUCT is 44 bytes");
_Static_assert(sizeof(SIMBUFFERSTRUCT) == 12, "SIMBUFFERSTRUCT is 12 bytes");
#endif
#endif

/* Attributes of a working-set object. */
#define SIMWS_ATTR_STORE_FILE   3UL  /* store: write the object into the named file (SIMSRCFILE *) */
#define SIMWS_ATTR_DATA_FILE    8UL  /* query: PSZ data file name, or null */
#define SIMWS_ATTR_INTERNAL     10UL /* query: BOOL internal-object flag */
#define SIMWS_ATTR_DATA_BUFFER  19UL /* query: SIMBUFFERSTRUCT data bytes */
#define SIMWS_ATTR_OBJECT_TYPE  25UL /* query: SIMOBJ object type */

#define SIMWS_TYPE_EXTERNAL     0UL  /* external object */
#define SIMWS_TYPE_ASK_INTERNAL 4UL  /* external unless the internal flag is set */

/* Working-set store. Strings and bytes returned by queries come from the
 * memory service; the caller frees them with SimOpsFreeMem. */
ULONG ZELMAPI SimWsQueryObj(SIMWSOBJ hWsObj, ULONG ulMode, ULONG ulAttr, PVOID pValue,
                            PRCSTRUCT pRc);
ULONG ZELMAPI SimWsStoreObj(SIMWSOBJ hWsObj, ULONG ulClassId, ULONG ulMode, ULONG ulAttr,
                            PVOID pValue, ULONG ulFlags, PRCSTRUCT pRc);

/* Memory service. */
ULONG ZELMAPI SimOpsAllocMem(ULONG ulSize, PPVOID ppBlock, PRCSTRUCT pRc);
ULONG ZELMAPI SimOpsFreeMem(PVOID pBlock, PRCSTRUCT pRc);

#ifdef __cplusplus
}
#endif

#endif /* ZELMWS_H */
