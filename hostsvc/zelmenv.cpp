/*
 * zelmenv.cpp - the reference memory service: SimOpsAllocMem and
 * SimOpsFreeMem over the C heap.
 *
 * Every block handed out is entered in a registry (an open-addressing hash
 * set of block addresses), so that a release can tell a block of ours from
 * anything else without reading memory it does not own: a foreign pointer,
 * a pointer into a block or a block freed before are refused, not passed to
 * free(). The registry's size is the number of blocks in use.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "zelmref.h"
#include "zelmlock.h"

/* Smallest registry; it doubles whenever it would become half full. */
#define ENV_MIN_SLOTS 64

static SVCLOCK lckEnv = SVCLOCK_INIT;

/* Registry of live blocks: ulSlots entries (a power of two), null = free. */
static PVOID *ppvBlocks = NULL;
static size_t ulSlots = 0;
static size_t ulBlocksInUse = 0;

/* Injected failures: countdown to the failing call (0: none) and its code. */
static ULONG ulFailAllocNth = 0;
static ULONG ulFailAllocRC = 0;
static ULONG ulFailFreeNth = 0;
static ULONG ulFailFreeRC = 0;

/* The record can take ulRC. */
static BOOL EnvRcValid(PRCSTRUCT pRc)
{
    return pRc != NULL &&
           pRc->ulStruct >= offsetof(RCSTRUCT, ulRC) + sizeof(pRc->ulRC);
}

static size_t EnvHash(PVOID pBlock)
{
    uintptr_t ulValue = (uintptr_t)pBlock;
    ulValue >>= 4;
    ulValue ^= ulValue >> 15;
    ulValue *= (uintptr_t)0x2c1b3c6dU;
    ulValue ^= ulValue >> 12;
    return (size_t)ulValue;
}

/* Slot holding pBlock, or ulSlots when it is not registered. Under lock. */
static size_t EnvFindSlot(PVOID pBlock)
{
    size_t ulMask;
    size_t ulSlot;

    if (ulSlots == 0)
        return 0;
    ulMask = ulSlots - 1;
    for (ulSlot = EnvHash(pBlock) & ulMask; ppvBlocks[ulSlot] != NULL;
         ulSlot = (ulSlot + 1) & ulMask) {
        if (ppvBlocks[ulSlot] == pBlock)
            return ulSlot;
    }
    return ulSlots;
}

/* Put pBlock into a table known to have room. */
static void EnvPlace(PVOID *ppvTable, size_t ulTableSlots, PVOID pBlock)
{
    size_t ulMask = ulTableSlots - 1;
    size_t ulSlot = EnvHash(pBlock) & ulMask;

    while (ppvTable[ulSlot] != NULL)
        ulSlot = (ulSlot + 1) & ulMask;
    ppvTable[ulSlot] = pBlock;
}

/* Register pBlock, growing the table when needed. FALSE: out of memory.
 * Under lock. */
static BOOL EnvRegister(PVOID pBlock)
{
    if ((ulBlocksInUse + 1) * 2 > ulSlots) {
        size_t ulNewSlots = ulSlots == 0 ? ENV_MIN_SLOTS : ulSlots * 2;
        PVOID *ppvNew = (PVOID *)calloc(ulNewSlots, sizeof(PVOID));
        size_t ulSlot;

        if (ppvNew == NULL)
            return FALSE;
        for (ulSlot = 0; ulSlot < ulSlots; ulSlot++) {
            if (ppvBlocks[ulSlot] != NULL)
                EnvPlace(ppvNew, ulNewSlots, ppvBlocks[ulSlot]);
        }
        free(ppvBlocks);
        ppvBlocks = ppvNew;
        ulSlots = ulNewSlots;
    }
    EnvPlace(ppvBlocks, ulSlots, pBlock);
    ulBlocksInUse++;
    return TRUE;
}

/* Take the entry in ulSlot out, moving later entries of its probe run back
 * so that every lookup still finds them. The table goes when it is empty.
 * Under lock. */
static void EnvUnregister(size_t ulSlot)
{
    size_t ulMask = ulSlots - 1;
    size_t ulNext = ulSlot;

    for (;;) {
        size_t ulHome;

        ulNext = (ulNext + 1) & ulMask;
        if (ppvBlocks[ulNext] == NULL)
            break;
        ulHome = EnvHash(ppvBlocks[ulNext]) & ulMask;
        /* The entry may move into the hole unless its home lies cyclically
         * in (ulSlot, ulNext]. */
        if (ulSlot <= ulNext ? (ulHome <= ulSlot || ulHome > ulNext)
                             : (ulHome <= ulSlot && ulHome > ulNext)) {
            ppvBlocks[ulSlot] = ppvBlocks[ulNext];
            ulSlot = ulNext;
        }
    }
    ppvBlocks[ulSlot] = NULL;
    ulBlocksInUse--;
    if (ulBlocksInUse == 0) {
        free(ppvBlocks);
        ppvBlocks = NULL;
        ulSlots = 0;
    }
}

/* Count one call towards an injected failure; its code when this call is
 * the one to fail, else 0. Under lock. */
static ULONG EnvInjected(ULONG *pulNth, ULONG ulRC)
{
    if (*pulNth == 0)
        return 0;
    (*pulNth)--;
    return *pulNth == 0 ? ulRC : 0;
}

extern "C" ULONG ZELMAPI SimOpsAllocMem(ULONG ulSize, PPVOID ppBlock, PRCSTRUCT pRc)
{
    ULONG ulRc = 0;
    PVOID pBlock = NULL;

    if (ppBlock != NULL)
        *ppBlock = NULL;
    if (!EnvRcValid(pRc))
        return ZELMENV_RC_BAD_RCSTRUCT;

    if (ppBlock == NULL) {
        ulRc = ZELMENV_RC_NULL_POINTER;
    } else {
        SvcLock(&lckEnv);
        ulRc = EnvInjected(&ulFailAllocNth, ulFailAllocRC);
        if (ulRc == 0) {
            pBlock = malloc(ulSize == 0 ? 1 : (size_t)ulSize);
            if (pBlock == NULL) {
                ulRc = ZELMENV_RC_NO_MEMORY;
            } else if (!EnvRegister(pBlock)) {
                free(pBlock);
                pBlock = NULL;
                ulRc = ZELMENV_RC_NO_MEMORY;
            }
        }
        SvcUnlock(&lckEnv);
        *ppBlock = pBlock;
    }

    pRc->ulRC = ulRc;
    if (pRc->ulStruct >= offsetof(RCSTRUCT, ulExtRC) + sizeof(pRc->ulExtRC))
        pRc->ulExtRC = 0;
    return ulRc;
}

extern "C" ULONG ZELMAPI SimOpsFreeMem(PVOID pBlock, PRCSTRUCT pRc)
{
    ULONG ulRc = 0;

    if (!EnvRcValid(pRc))
        return ZELMENV_RC_BAD_RCSTRUCT;

    if (pBlock == NULL) {
        ulRc = ZELMENV_RC_NULL_POINTER;
    } else {
        size_t ulSlot;

        SvcLock(&lckEnv);
        ulSlot = EnvFindSlot(pBlock);
        if (ulSlot == ulSlots) {
            ulRc = ZELMENV_RC_BAD_BLOCK;
        } else {
            EnvUnregister(ulSlot);
            ulRc = EnvInjected(&ulFailFreeNth, ulFailFreeRC);
        }
        SvcUnlock(&lckEnv);
        if (ulRc != ZELMENV_RC_BAD_BLOCK)
            free(pBlock);
    }

    pRc->ulRC = ulRc;
    if (pRc->ulStruct >= offsetof(RCSTRUCT, ulExtRC) + sizeof(pRc->ulExtRC))
        pRc->ulExtRC = 0;
    return ulRc;
}

extern "C" ULONG ZELMAPI ZelmEnvBlocksInUse(void)
{
    ULONG ulCount;

    SvcLock(&lckEnv);
    ulCount = (ULONG)ulBlocksInUse;
    SvcUnlock(&lckEnv);
    return ulCount;
}

extern "C" void ZELMAPI ZelmEnvFailAlloc(ULONG ulNth, ULONG ulRC)
{
    SvcLock(&lckEnv);
    ulFailAllocNth = ulRC == 0 ? 0 : ulNth;
    ulFailAllocRC = ulRC;
    SvcUnlock(&lckEnv);
}

extern "C" void ZELMAPI ZelmEnvFailFree(ULONG ulNth, ULONG ulRC)
{
    SvcLock(&lckEnv);
    ulFailFreeNth = ulRC == 0 ? 0 : ulNth;
    ulFailFreeRC = ulRC;
    SvcUnlock(&lckEnv);
}
