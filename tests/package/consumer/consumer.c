/*
 * consumer.c - a host built against the installed headers and libraries:
 * it starts a class program for an object made of a few bytes, with the
 * reference host services, checks that the inputs file the library wrote
 * holds them while the session runs, ends the session and checks that the
 * file is gone and every block came back. Prints "consumer: ok".
 *
 *   consumer TMPDIR
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zelmref.h"
#include "zelmws.h"
#include "zelmxcc.h"

static const char acData[] = "bytes for the consumer\n";

/* The one inputs file in the directory into pcOut; 0 when there is none. */
static int FindInputs(const char *pszDir, char *pcOut, size_t cbOut)
{
    DIR *pDir = opendir(pszDir);
    struct dirent *pEnt;
    int nFound = 0;

    if (pDir == NULL)
        return 0;
    while ((pEnt = readdir(pDir)) != NULL) {
        if (strncmp(pEnt->d_name, "zelmxcc-", 8) == 0) {
            snprintf(pcOut, cbOut, "%s/%s", pszDir, pEnt->d_name);
            nFound++;
        }
    }
    closedir(pDir);
    return nFound;
}

int main(int argc, char **argv)
{
    SIMWSOBJ hObj;
    PVOID hSession = NULL;
    ULONG ulRC;
    char acInputs[4096];
    char acRead[64];
    FILE *pFile;
    size_t cb;

    if (argc != 2)
        return 2;
    setenv("TMPDIR", argv[1], 1);
    hObj = ZelmWsCreateObj(SIMWS_TYPE_EXTERNAL, FALSE);
    if (hObj == NULL || ZelmWsSetData(hObj, acData, (ULONG)strlen(acData)) != 0)
        return 1;

    /* A program that outlives the checks below; the end call stops it. */
    ulRC = SimOpsStartClass(NULL, 0, hObj, 7, (PSZ) "sleep 30", NULL, NULL, NULL, &hSession);
    if (ulRC != ZELMXCC_OK || hSession == NULL) {
        printf("consumer: SimOpsStartClass = %lu\n", (unsigned long)ulRC);
        return 1;
    }
    if (FindInputs(argv[1], acInputs, sizeof(acInputs)) != 1) {
        printf("consumer: no inputs file\n");
        return 1;
    }
    pFile = fopen(acInputs, "rb");
    cb = pFile != NULL ? fread(acRead, 1, sizeof(acRead), pFile) : 0;
    if (pFile != NULL)
        fclose(pFile);
    if (cb != strlen(acData) || memcmp(acRead, acData, cb) != 0) {
        printf("consumer: the inputs file does not hold the data\n");
        return 1;
    }
    SimOpsSetClass(hSession);
    ulRC = SimOpsEndClass(hSession);
    if (ulRC != ZELMXCC_OK || access(acInputs, F_OK) == 0) {
        printf("consumer: SimOpsEndClass = %lu\n", (unsigned long)ulRC);
        return 1;
    }
    ZelmWsDestroyObj(hObj);
    if (ZelmEnvBlocksInUse() != 0) {
        printf("consumer: %lu blocks in use\n", (unsigned long)ZelmEnvBlocksInUse());
        return 1;
    }
    printf("consumer: ok\n");
    return 0;
}
