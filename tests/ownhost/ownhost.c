/*
 * ownhost.c - a host in plain C that brings its own host services instead
 * of the reference ones: the library binds them by name. It starts a class
 * program for an object whose data bytes the library writes, checks what
 * the program got, ends the session and checks that every block the
 * library took from this host's memory service came back.
 *
 *   ownhost PROBE WORKDIR
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zelmws.h"
#include "zelmxcc.h"

static long lBlocks;
static const char acData[] = "bytes of the host's own object";

ULONG SimOpsAllocMem(ULONG ulSize, PPVOID ppBlock, PRCSTRUCT pRc)
{
    *ppBlock = malloc(ulSize ? ulSize : 1);
    if (*ppBlock == NULL) {
        return pRc->ulRC = 1;
    }
    lBlocks++;
    return pRc->ulRC = 0;
}

ULONG SimOpsFreeMem(PVOID pBlock, PRCSTRUCT pRc)
{
    free(pBlock);
    lBlocks--;
    return pRc->ulRC = 0;
}

ULONG SimWsQueryObj(SIMWSOBJ hWsObj, ULONG ulMode, ULONG ulAttr, PVOID pValue, PRCSTRUCT pRc)
{
    (void)hWsObj;
    (void)ulMode;
    switch (ulAttr) {
    case 25:
        *(SIMOBJ *)pValue = 0;
        return 0;
    case 8:
        *(PSZ *)pValue = NULL;
        return 0;
    case 19: {
        PSIMBUFFERSTRUCT pBuf = (PSIMBUFFERSTRUCT)pValue;
        if (SimOpsAllocMem(sizeof(acData) - 1, (PPVOID)&pBuf->pucBuffer, pRc) != 0) {
            return 1;
        }
        memcpy(pBuf->pucBuffer, acData, sizeof(acData) - 1);
        pBuf->ulSize = sizeof(acData) - 1;
        return 0;
    }
    default:
        return 99;
    }
}

ULONG SimWsStoreObj(SIMWSOBJ hWsObj, ULONG ulClassId, ULONG ulMode, ULONG ulAttr, PVOID pValue,
                    ULONG ulFlags, PRCSTRUCT pRc)
{
    (void)hWsObj;
    (void)ulClassId;
    (void)ulMode;
    (void)ulAttr;
    (void)pValue;
    (void)ulFlags;
    (void)pRc;
    return 55;
}

static int Check(int fOk, const char *pszWhat)
{
    if (!fOk) {
        fprintf(stdout, "FAILED: %s\n", pszWhat);
    }
    return fOk ? 0 : 1;
}

int main(int argc, char **argv)
{
    char pcProgram[2200];
    char pcReport[1024];
    char pcInputs[1100];
    char pcContent[256];
    PVOID hSession = NULL;
    struct stat st;
    FILE *pFile;
    size_t n = 0;
    int nFailed = 0;
    int i;

    if (argc != 3) {
        fprintf(stderr, "usage: ownhost PROBE WORKDIR\n");
        return 2;
    }
    snprintf(pcReport, sizeof(pcReport), "%s/ownhost-report", argv[2]);
    snprintf(pcProgram, sizeof(pcProgram), "\"%s\" --record \"%s\" --forever", argv[1], pcReport);
    unlink(pcReport);

    nFailed += Check(SimOpsStartClass(NULL, 0, (SIMWSOBJ)1, 0, pcProgram, argv[2], NULL, NULL,
                                      &hSession) == 0 && hSession != NULL,
                     "start");
    for (i = 0; i < 2000 && stat(pcReport, &st) != 0; i++) {
        usleep(5000);
    }
    snprintf(pcInputs, sizeof(pcInputs), "%s.inputs", pcReport);
    pFile = fopen(pcInputs, "rb");
    if (pFile != NULL) {
        n = fread(pcContent, 1, sizeof(pcContent), pFile);
        fclose(pFile);
    }
    nFailed += Check(n == sizeof(acData) - 1 && memcmp(pcContent, acData, n) == 0,
                     "the program got the object's bytes");
    nFailed += Check(SimOpsEndClass(hSession) == 0, "end");
    nFailed += Check(lBlocks == 0, "every block returned");
    /* An object the store cannot write: the store's own code comes back. */
    hSession = NULL;
    nFailed += Check(SimOpsStartClass(NULL, 0, NULL, 0, pcProgram, NULL, NULL, NULL, &hSession) == 55 &&
                         hSession == NULL,
                     "the store's code is passed on");
    nFailed += Check(lBlocks == 0, "every block returned after a failure");
    unlink(pcReport);
    unlink(pcInputs);
    printf("%s\n", nFailed ? "ownhost: failed" : "ownhost: ok");
    return nFailed ? 1 : 0;
}
