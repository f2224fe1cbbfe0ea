/*
 * zelmws.cpp - the reference working-set store: SimWsQueryObj and
 * SimWsStoreObj over the objects a host makes with ZelmWsCreateObj.
 *
 * Objects live in a process-wide list. A handle is the object's serial
 * number, not its address, so a handle the store never made, or one of a
 * destroyed object, is looked up and refused without being dereferenced.
 * One lock guards the list, the hook and the last store; it is never held
 * while the hook runs or while a file is written. What crosses to callers
 * comes from the memory service; the store's own records use the C heap.
 */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "zelmref.h"
#include "zelmlock.h"

/* The attributes the store knows, in the order of WSOBJ.aulFail. */
static const ULONG aulWsAttrs[] = {
    SIMWS_ATTR_STORE_FILE, SIMWS_ATTR_DATA_FILE, SIMWS_ATTR_INTERNAL,
    SIMWS_ATTR_DATA_BUFFER, SIMWS_ATTR_OBJECT_TYPE,
};
#define WS_NATTRS (sizeof(aulWsAttrs) / sizeof(aulWsAttrs[0]))
#define WS_NO_ATTR WS_NATTRS

/* A working-set object. */
typedef struct _WSOBJ {
    struct _WSOBJ *pNext;
    uintptr_t ulId;        /* the handle's value, never 0 */
    SIMOBJ ulType;
    BOOL fInternal;
    PSZ pszDataFile;       /* null: no data file name */
    PUCHAR pucData;        /* null: no data bytes */
    ULONG ulDataSize;
    PUCHAR pucContent;     /* null: empty content */
    ULONG ulContentSize;
    ULONG aulFail[WS_NATTRS]; /* injected failure per attribute, 0: none */
} WSOBJ, *PWSOBJ;

static SVCLOCK lckWs = SVCLOCK_INIT;

static PWSOBJ pObjFirst = NULL;
static uintptr_t ulLastId = 0;
static ULONG aulNullFail[WS_NATTRS]; /* injected failures of the null object */

static PFNZELMWSHOOK pfnWsHook = NULL;
static PVOID pWsHookUser = NULL;

static BOOL fLastStore = FALSE;
static ULONG ulLastClassId = 0;
static PSZ pszLastName = NULL;

/* ---- Helpers ------------------------------------------------------------- */

/* Index of ulAttr in aulWsAttrs, or WS_NO_ATTR. */
static size_t WsAttrIndex(ULONG ulAttr)
{
    size_t ulIndex;

    for (ulIndex = 0; ulIndex < WS_NATTRS; ulIndex++) {
        if (aulWsAttrs[ulIndex] == ulAttr)
            return ulIndex;
    }
    return WS_NO_ATTR;
}

/* The object behind hObj, or null. Under lock. */
static PWSOBJ WsFind(SIMWSOBJ hObj)
{
    uintptr_t ulId = (uintptr_t)hObj;
    PWSOBJ pObj;

    if (ulId == 0)
        return NULL;
    for (pObj = pObjFirst; pObj != NULL; pObj = pObj->pNext) {
        if (pObj->ulId == ulId)
            return pObj;
    }
    return NULL;
}

/* A heap copy of ulSize bytes (null for none). FALSE: out of memory. */
static BOOL WsCopyBytes(const void *pData, ULONG ulSize, PUCHAR *ppucCopy)
{
    *ppucCopy = NULL;
    if (pData == NULL || ulSize == 0)
        return TRUE;
    *ppucCopy = (PUCHAR)malloc(ulSize);
    if (*ppucCopy == NULL)
        return FALSE;
    memcpy(*ppucCopy, pData, ulSize);
    return TRUE;
}

/* A heap copy of a string, or null when out of memory. */
static PSZ WsCopyString(const char *psz)
{
    size_t ulLen = strlen(psz);
    PSZ pszCopy = (PSZ)malloc(ulLen + 1);

    if (pszCopy != NULL)
        memcpy(pszCopy, psz, ulLen + 1);
    return pszCopy;
}

static BOOL WsRcValid(PRCSTRUCT pRc)
{
    return pRc != NULL &&
           pRc->ulStruct >= offsetof(RCSTRUCT, ulRC) + sizeof(pRc->ulRC);
}

static ULONG WsSetRc(PRCSTRUCT pRc, ULONG ulRc, ULONG ulExtRc)
{
    pRc->ulRC = ulRc;
    if (pRc->ulStruct >= offsetof(RCSTRUCT, ulExtRC) + sizeof(pRc->ulExtRC))
        pRc->ulExtRC = ulExtRc;
    return ulRc;
}

/* Call the hook, if any, without holding the lock. */
static void WsCallHook(SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    PFNZELMWSHOOK pfnHook;
    PVOID pUser;

    SvcLock(&lckWs);
    pfnHook = pfnWsHook;
    pUser = pWsHookUser;
    SvcUnlock(&lckWs);
    if (pfnHook != NULL)
        pfnHook(pUser, hObj, ulAttr, fStore);
}

/* A copy of ulSize bytes from the memory service, for a caller. */
static ULONG WsHandOut(const void *pData, ULONG ulSize, PVOID *ppBlock, ULONG *pulExtRc)
{
    RCSTRUCT rc;
    ULONG ulRc;

    memset(&rc, 0, sizeof(rc));
    rc.ulStruct = sizeof(rc);
    ulRc = SimOpsAllocMem(ulSize, ppBlock, &rc);
    if (ulRc != 0) {
        *ppBlock = NULL;
        *pulExtRc = ulRc;
        return ZELMWS_RC_NO_MEMORY;
    }
    memcpy(*ppBlock, pData, ulSize);
    return 0;
}

/* Write ulSize bytes into the file pszName, created or truncated. On
 * failure the file is removed again if it is a regular one. */
static ULONG WsWriteFile(const char *pszName, const UCHAR *pucData, ULONG ulSize,
                         ULONG *pulExtRc)
{
    FILE *pFile;
    int iErr = 0;
    struct stat st;

    pFile = fopen(pszName, "wb");
    if (pFile == NULL) {
        *pulExtRc = errno != 0 ? (ULONG)errno : (ULONG)EIO;
        return ZELMWS_RC_FILE_ERROR;
    }
    errno = 0;
    if (ulSize != 0 && fwrite(pucData, 1, ulSize, pFile) != ulSize)
        iErr = errno != 0 ? errno : EIO;
    if (fflush(pFile) != 0 && iErr == 0)
        iErr = errno != 0 ? errno : EIO;
    if (fclose(pFile) != 0 && iErr == 0)
        iErr = errno != 0 ? errno : EIO;
    if (iErr == 0)
        return 0;

    if (stat(pszName, &st) == 0 && S_ISREG(st.st_mode))
        remove(pszName);
    *pulExtRc = (ULONG)iErr;
    return ZELMWS_RC_FILE_ERROR;
}

/* ---- The two service calls ----------------------------------------------- */

extern "C" ULONG ZELMAPI SimWsQueryObj(SIMWSOBJ hWsObj, ULONG ulMode, ULONG ulAttr,
                                       PVOID pValue, PRCSTRUCT pRc)
{
    ULONG ulRc = 0;
    ULONG ulExtRc = 0;
    size_t ulIndex = WsAttrIndex(ulAttr);
    PSIMBUFFERSTRUCT pBuf = (PSIMBUFFERSTRUCT)pValue;
    BOOL fBufValid = FALSE;
    PWSOBJ pObj;

    (void)ulMode;
    WsCallHook(hWsObj, ulAttr, FALSE);
    if (!WsRcValid(pRc))
        return ZELMWS_RC_BAD_RCSTRUCT;

    /* Pointer outputs start out empty, so that they are empty on failure. */
    if (pValue != NULL && ulAttr == SIMWS_ATTR_DATA_FILE)
        *(PSZ *)pValue = NULL;
    if (pValue != NULL && ulAttr == SIMWS_ATTR_DATA_BUFFER &&
        pBuf->ulStruct >= offsetof(SIMBUFFERSTRUCT, ulSize) + sizeof(pBuf->ulSize)) {
        fBufValid = TRUE;
        pBuf->pucBuffer = NULL;
        pBuf->ulSize = 0;
    }

    SvcLock(&lckWs);
    pObj = WsFind(hWsObj);
    if (pObj == NULL) {
        ulRc = ZELMWS_RC_BAD_OBJECT;
    } else if (ulIndex == WS_NO_ATTR || ulAttr == SIMWS_ATTR_STORE_FILE) {
        ulRc = ZELMWS_RC_BAD_ATTR;
    } else if (pValue == NULL) {
        ulRc = ZELMWS_RC_NULL_VALUE;
    } else if (ulAttr == SIMWS_ATTR_DATA_BUFFER && !fBufValid) {
        ulRc = ZELMWS_RC_BAD_BUFFERSTRUCT;
    } else if (pObj->aulFail[ulIndex] != 0) {
        ulRc = pObj->aulFail[ulIndex];
    } else {
        switch (ulAttr) {
        case SIMWS_ATTR_OBJECT_TYPE:
            *(SIMOBJ *)pValue = pObj->ulType;
            break;
        case SIMWS_ATTR_INTERNAL:
            *(BOOL *)pValue = pObj->fInternal;
            break;
        case SIMWS_ATTR_DATA_FILE:
            if (pObj->pszDataFile != NULL) {
                PVOID pBlock;

                ulRc = WsHandOut(pObj->pszDataFile, (ULONG)strlen(pObj->pszDataFile) + 1,
                                 &pBlock, &ulExtRc);
                *(PSZ *)pValue = (PSZ)pBlock;
            }
            break;
        default: /* SIMWS_ATTR_DATA_BUFFER */
            if (pObj->pucData != NULL) {
                PVOID pBlock;

                ulRc = WsHandOut(pObj->pucData, pObj->ulDataSize, &pBlock, &ulExtRc);
                if (ulRc == 0) {
                    pBuf->pucBuffer = (PUCHAR)pBlock;
                    pBuf->ulSize = pObj->ulDataSize;
                }
            }
            break;
        }
    }
    SvcUnlock(&lckWs);

    return WsSetRc(pRc, ulRc, ulExtRc);
}

extern "C" ULONG ZELMAPI SimWsStoreObj(SIMWSOBJ hWsObj, ULONG ulClassId, ULONG ulMode,
                                       ULONG ulAttr, PVOID pValue, ULONG ulFlags,
                                       PRCSTRUCT pRc)
{
    ULONG ulRc = 0;
    ULONG ulExtRc = 0;
    PSZ pszName = NULL;
    PSZ pszNameCopy = NULL;
    PUCHAR pucContent = NULL;
    ULONG ulContentSize = 0;
    PWSOBJ pObj = NULL;

    (void)ulMode;
    (void)ulFlags;
    WsCallHook(hWsObj, ulAttr, TRUE);
    if (!WsRcValid(pRc))
        return ZELMWS_RC_BAD_RCSTRUCT;
    if (pValue != NULL)
        pszName = *(SIMSRCFILE *)pValue;

    /* Take what is to be written, so that the file is written unlocked. */
    SvcLock(&lckWs);
    if (hWsObj != NULL)
        pObj = WsFind(hWsObj);
    if (hWsObj != NULL && pObj == NULL) {
        ulRc = ZELMWS_RC_BAD_OBJECT;
    } else if (ulAttr != SIMWS_ATTR_STORE_FILE) {
        ulRc = ZELMWS_RC_BAD_ATTR;
    } else if (pszName == NULL) {
        ulRc = ZELMWS_RC_NULL_VALUE;
    } else if (pObj != NULL ? pObj->aulFail[0] != 0 : aulNullFail[0] != 0) {
        ulRc = pObj != NULL ? pObj->aulFail[0] : aulNullFail[0];
    } else if (pObj != NULL &&
               !WsCopyBytes(pObj->pucContent, pObj->ulContentSize, &pucContent)) {
        ulRc = ZELMWS_RC_NO_MEMORY;
    } else {
        if (pObj != NULL)
            ulContentSize = pObj->ulContentSize;
        pszNameCopy = WsCopyString(pszName);
        if (pszNameCopy == NULL)
            ulRc = ZELMWS_RC_NO_MEMORY;
    }
    SvcUnlock(&lckWs);

    if (ulRc == 0)
        ulRc = WsWriteFile(pszName, pucContent, ulContentSize, &ulExtRc);
    free(pucContent);

    if (ulRc == 0) {
        SvcLock(&lckWs);
        free(pszLastName);
        pszLastName = pszNameCopy;
        ulLastClassId = ulClassId;
        fLastStore = TRUE;
        SvcUnlock(&lckWs);
    } else {
        free(pszNameCopy);
    }

    return WsSetRc(pRc, ulRc, ulExtRc);
}

/* ---- The host's API ------------------------------------------------------ */

extern "C" SIMWSOBJ ZELMAPI ZelmWsCreateObj(ULONG ulObjType, BOOL fInternal)
{
    PWSOBJ pObj = (PWSOBJ)calloc(1, sizeof(WSOBJ));
    uintptr_t ulId;

    if (pObj == NULL)
        return NULL;
    pObj->ulType = ulObjType;
    pObj->fInternal = fInternal ? TRUE : FALSE;

    SvcLock(&lckWs);
    ulLastId++;
    if (ulLastId == 0)
        ulLastId++;
    ulId = ulLastId;
    pObj->ulId = ulId;
    pObj->pNext = pObjFirst;
    pObjFirst = pObj;
    SvcUnlock(&lckWs);
    return (SIMWSOBJ)ulId;
}

extern "C" ULONG ZELMAPI ZelmWsSetDataFile(SIMWSOBJ hObj, PSZ pszFileName)
{
    ULONG ulRc = 0;
    PSZ pszCopy = NULL;
    PSZ pszOld = NULL;
    PWSOBJ pObj;

    if (pszFileName != NULL) {
        pszCopy = WsCopyString(pszFileName);
        if (pszCopy == NULL)
            return ZELMWS_RC_NO_MEMORY;
    }

    SvcLock(&lckWs);
    pObj = WsFind(hObj);
    if (pObj == NULL) {
        ulRc = ZELMWS_RC_BAD_OBJECT;
        pszOld = pszCopy;
    } else {
        pszOld = pObj->pszDataFile;
        pObj->pszDataFile = pszCopy;
    }
    SvcUnlock(&lckWs);

    free(pszOld);
    return ulRc;
}

/* Replace a byte field of the object behind hObj, chosen by fContent. */
static ULONG WsSetBytes(SIMWSOBJ hObj, const void *pData, ULONG ulSize, BOOL fContent)
{
    ULONG ulRc = 0;
    PUCHAR pucCopy;
    PUCHAR pucOld = NULL;
    PWSOBJ pObj;

    if (!WsCopyBytes(pData, ulSize, &pucCopy))
        return ZELMWS_RC_NO_MEMORY;
    if (pucCopy == NULL)
        ulSize = 0;

    SvcLock(&lckWs);
    pObj = WsFind(hObj);
    if (pObj == NULL) {
        ulRc = ZELMWS_RC_BAD_OBJECT;
        pucOld = pucCopy;
    } else if (fContent) {
        pucOld = pObj->pucContent;
        pObj->pucContent = pucCopy;
        pObj->ulContentSize = ulSize;
    } else {
        pucOld = pObj->pucData;
        pObj->pucData = pucCopy;
        pObj->ulDataSize = ulSize;
    }
    SvcUnlock(&lckWs);

    free(pucOld);
    return ulRc;
}

extern "C" ULONG ZELMAPI ZelmWsSetData(SIMWSOBJ hObj, const void *pData, ULONG ulSize)
{
    return WsSetBytes(hObj, pData, ulSize, FALSE);
}

extern "C" ULONG ZELMAPI ZelmWsSetContent(SIMWSOBJ hObj, const void *pData, ULONG ulSize)
{
    return WsSetBytes(hObj, pData, ulSize, TRUE);
}

extern "C" ULONG ZELMAPI ZelmWsSetFailure(SIMWSOBJ hObj, ULONG ulAttr, ULONG ulRC)
{
    ULONG ulRc = 0;
    size_t ulIndex = WsAttrIndex(ulAttr);
    PWSOBJ pObj = NULL;

    SvcLock(&lckWs);
    if (hObj != NULL)
        pObj = WsFind(hObj);
    if (hObj != NULL && pObj == NULL)
        ulRc = ZELMWS_RC_BAD_OBJECT;
    else if (ulIndex == WS_NO_ATTR)
        ulRc = ZELMWS_RC_BAD_ATTR;
    else if (pObj != NULL)
        pObj->aulFail[ulIndex] = ulRC;
    else
        aulNullFail[ulIndex] = ulRC;
    SvcUnlock(&lckWs);
    return ulRc;
}

extern "C" ULONG ZELMAPI ZelmWsLastStore(ULONG *pulClassId, PSZ pcName, ULONG ulNameSize)
{
    ULONG ulRc = 0;

    SvcLock(&lckWs);
    if (pulClassId != NULL)
        *pulClassId = fLastStore ? ulLastClassId : 0;
    if (!fLastStore) {
        ulRc = ZELMWS_RC_NO_STORE;
        if (pcName != NULL && ulNameSize != 0)
            pcName[0] = '\0';
    } else if (pcName != NULL && ulNameSize == 0) {
        ulRc = ZELMWS_RC_TRUNCATED;
    } else if (pcName != NULL) {
        size_t ulLen = strlen(pszLastName);

        if (ulLen >= ulNameSize) {
            ulLen = ulNameSize - 1;
            ulRc = ZELMWS_RC_TRUNCATED;
        }
        memcpy(pcName, pszLastName, ulLen);
        pcName[ulLen] = '\0';
    }
    SvcUnlock(&lckWs);
    return ulRc;
}

extern "C" void ZELMAPI ZelmWsSetHook(PFNZELMWSHOOK pfnHook, PVOID pUser)
{
    SvcLock(&lckWs);
    pfnWsHook = pfnHook;
    pWsHookUser = pfnHook != NULL ? pUser : NULL;
    SvcUnlock(&lckWs);
}

extern "C" void ZELMAPI ZelmWsDestroyObj(SIMWSOBJ hObj)
{
    PWSOBJ pObj = NULL;
    PWSOBJ *ppLink;

    SvcLock(&lckWs);
    if (hObj != NULL) {
        for (ppLink = &pObjFirst; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
            if ((*ppLink)->ulId == (uintptr_t)hObj) {
                pObj = *ppLink;
                *ppLink = pObj->pNext;
                break;
            }
        }
    }
    SvcUnlock(&lckWs);

    if (pObj != NULL) {
        free(pObj->pszDataFile);
        free(pObj->pucData);
        free(pObj->pucContent);
        free(pObj);
    }
}
