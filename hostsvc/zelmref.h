/*
 * zelmref.h - the reference working-set store and memory service that ship
 * with the class session library, so that it can be run, tried and tested.
 * Besides the four host-service calls of zelmws.h they offer a host this
 * small API to make objects and to watch and steer the services.
 *
 * libzelmenv holds the memory service (SimOpsAllocMem, SimOpsFreeMem),
 * libzelmws the working-set store (SimWsQueryObj, SimWsStoreObj); the store
 * takes the memory it hands out from the memory service. Every call may be
 * made from any thread.
 *
 * Return-code record: every service call first checks pRc. A null pRc, or
 * one whose ulStruct is too small to hold ulRC (less than 8 bytes), makes
 * the call return ..._RC_BAD_RCSTRUCT and change nothing else. Otherwise
 * the call puts its result into pRc->ulRC, and into pRc->ulExtRC too when
 * ulStruct is large enough to hold that field (the detail named below for
 * some codes, 0 otherwise). No other field of the record is touched.
 */
#ifndef ZELMREF_H
#define ZELMREF_H

#include "zelmws.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Memory service (zelmenv) -------------------------------------------- */

/* Result codes of SimOpsAllocMem and SimOpsFreeMem. */
#define ZELMENV_RC_BAD_RCSTRUCT 8101UL /* pRc null or too small to hold ulRC */
#define ZELMENV_RC_NULL_POINTER 8102UL /* ppBlock null (alloc) or pBlock null (free) */
#define ZELMENV_RC_NO_MEMORY    8103UL /* the block could not be allocated */
#define ZELMENV_RC_BAD_BLOCK    8104UL /* pBlock is not a block handed out and not yet freed */

/*
 * SimOpsAllocMem: *ppBlock receives a block of at least ulSize bytes
 * (ulSize 0 gives a valid block of its own too), aligned for any type, its
 * contents undefined; on any failure *ppBlock is set to null when ppBlock
 * is not null.
 * SimOpsFreeMem: releases a block from SimOpsAllocMem. Every block handed
 * out is registered, so that freeing anything else (a foreign pointer, a
 * pointer into a block, a block already freed) is refused with
 * ZELMENV_RC_BAD_BLOCK and harms nothing. A call refused for its arguments
 * (record, pointer, block) frees nothing.
 */

/* Number of blocks handed out by SimOpsAllocMem and not yet freed. */
ULONG ZELMAPI ZelmEnvBlocksInUse(void);

/* Make the ulNth next allocation (1 = the very next one) fail with ulRC;
 * ulNth 0 or ulRC 0 cancels. One failure per call of this function; a new
 * call replaces the previous setting. Only allocations that pass the
 * argument checks are counted. The failing call returns ulRC, puts it into
 * pRc->ulRC, sets *ppBlock to null and allocates nothing. */
void ZELMAPI ZelmEnvFailAlloc(ULONG ulNth, ULONG ulRC);

/* Make the ulNth next release fail with ulRC; ulNth 0 or ulRC 0 cancels.
 * Only releases of valid blocks are counted. The failing call still frees
 * the block (it is no longer in use and must not be freed again): a caller
 * cannot do anything about a failed release, and what is watched is how it
 * copes with the code, not a leak. */
void ZELMAPI ZelmEnvFailFree(ULONG ulNth, ULONG ulRC);

/* ---- Working-set store (zelmws) ------------------------------------------ */

/* Result codes of SimWsQueryObj, SimWsStoreObj and the calls below. */
#define ZELMWS_RC_BAD_RCSTRUCT     8201UL /* pRc null or too small to hold ulRC */
#define ZELMWS_RC_NULL_VALUE       8202UL /* pValue null, or the file name it points to null */
#define ZELMWS_RC_BAD_OBJECT       8203UL /* object null (query) or not made here / destroyed */
#define ZELMWS_RC_BAD_ATTR         8204UL /* attribute unknown, or not one for this call */
#define ZELMWS_RC_BAD_BUFFERSTRUCT 8205UL /* SIMBUFFERSTRUCT.ulStruct too small for ulSize */
#define ZELMWS_RC_NO_MEMORY        8206UL /* no memory; ulExtRC: the memory service's code,
                                             or 0 when the store's own memory ran out */
#define ZELMWS_RC_FILE_ERROR       8207UL /* store file not created, written or closed;
                                             ulExtRC: the system's error code (errno) */
#define ZELMWS_RC_NO_STORE         8208UL /* ZelmWsLastStore: no store has succeeded yet */
#define ZELMWS_RC_TRUNCATED        8209UL /* ZelmWsLastStore: name cut to fit pcName */

/*
 * SimWsQueryObj(hWsObj, ulMode, ulAttr, pValue, pRc), for an object made by
 * ZelmWsCreateObj (ulMode is accepted and not looked at):
 *   25  *(SIMOBJ *)pValue: the object type
 *   10  *(BOOL *)pValue: the internal flag, TRUE or FALSE
 *    8  *(PSZ *)pValue: null when the object has no data file name, else a
 *       copy from SimOpsAllocMem, to be freed with SimOpsFreeMem
 *   19  *(SIMBUFFERSTRUCT *)pValue, whose ulStruct must reach past ulSize:
 *       pucBuffer null and ulSize 0 when there are no data bytes, else a
 *       copy from SimOpsAllocMem, to be freed with SimOpsFreeMem
 * A failed query leaves the target of pValue alone, except that for 8 and
 * 19 (with a valid ulStruct) the pointer is set to null and the size to 0,
 * so that a caller that frees it anyway does no harm.
 *
 * SimWsStoreObj(hWsObj, ulClassId, ulMode, ulAttr, pValue, ulFlags, pRc):
 * only attribute 3; pValue points to a SIMSRCFILE naming a file. The file is
 * created or truncated and the object's content (ZelmWsSetContent) written
 * into it; hWsObj may be null, which writes an empty file. If writing or
 * closing fails, the file is removed again when it is a regular file, and
 * ZELMWS_RC_FILE_ERROR is returned. ulMode and ulFlags are accepted and not
 * looked at.
 *
 * Checks, in this order: the hook is called; pRc; the object; the
 * attribute; pValue; the SIMBUFFERSTRUCT; an injected failure. The first
 * that fails gives the code.
 */

/* Make a new object of type ulObjType (attribute 25) with the internal flag
 * fInternal (attribute 10; any nonzero value is TRUE). It has no data file
 * name, no data bytes and empty content. Returns null when out of memory.
 * Handles are never reused within a process, so a destroyed one stays
 * unknown. */
SIMWSOBJ ZELMAPI ZelmWsCreateObj(ULONG ulObjType, BOOL fInternal);

/* Set the data file name (attribute 8); null removes it, "" sets it empty.
 * 0, ZELMWS_RC_BAD_OBJECT or ZELMWS_RC_NO_MEMORY (the old name is kept). */
ULONG ZELMAPI ZelmWsSetDataFile(SIMWSOBJ hObj, PSZ pszFileName);

/* Set the data bytes (attribute 19); pData null or ulSize 0 removes them.
 * 0, ZELMWS_RC_BAD_OBJECT or ZELMWS_RC_NO_MEMORY (the old bytes are kept). */
ULONG ZELMAPI ZelmWsSetData(SIMWSOBJ hObj, const void *pData, ULONG ulSize);

/* Set what storing the object under a file name (attribute 3) writes into
 * that file. Default: nothing (an empty file is created); pData null or
 * ulSize 0 goes back to that. Codes as for ZelmWsSetData. */
ULONG ZELMAPI ZelmWsSetContent(SIMWSOBJ hObj, const void *pData, ULONG ulSize);

/* Make every query or store of ulAttr on hObj fail with ulRC (0 clears),
 * once the arguments of that call have passed their checks. hObj may be
 * null: it then concerns stores of the null object. ulAttr must be one of
 * 3, 8, 10, 19, 25. 0, ZELMWS_RC_BAD_OBJECT or ZELMWS_RC_BAD_ATTR. */
ULONG ZELMAPI ZelmWsSetFailure(SIMWSOBJ hObj, ULONG ulAttr, ULONG ulRC);

/* Class id and file name of the last successful store, for the host to
 * look at; pcName receives at most ulNameSize characters with terminator.
 * Either pointer may be null (pcName null: the name is not wanted). 0,
 * ZELMWS_RC_NO_STORE (class id 0, name empty) or ZELMWS_RC_TRUNCATED (the
 * name was cut; still terminated unless ulNameSize is 0). */
ULONG ZELMAPI ZelmWsLastStore(ULONG *pulClassId, PSZ pcName, ULONG ulNameSize);

/* A host's own observer of the store: called at the start of every
 * SimWsQueryObj and SimWsStoreObj with the object and the attribute, before
 * any argument is checked, in the caller's thread. The store holds no lock
 * while calling it: the hook may call the store itself, block, or end its
 * thread. Null removes the hook. A call already past its start goes on with
 * the hook it read. */
typedef void(ZELMAPI *PFNZELMWSHOOK)(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore);
void ZELMAPI ZelmWsSetHook(PFNZELMWSHOOK pfnHook, PVOID pUser);

/* Forget the object and free what it holds. Null or an unknown handle is
 * ignored. */
void ZELMAPI ZelmWsDestroyObj(SIMWSOBJ hObj);

#ifdef __cplusplus
}
#endif

#endif /* ZELMREF_H */
