/*
 * dist-consumer.c - a Windows host built from the installed folder alone
 * (its headers and import libraries): one class session for an object made
 * of a few bytes, started, activated and ended. Prints "dist-consumer: ok".
 */
#include <stdio.h>
#include <string.h>

#include "zelmref.h"
#include "zelmxcc.h"

int main(void)
{
    static const char acData[] = "bytes for the installed DLLs";
    SIMWSOBJ hObj = ZelmWsCreateObj(SIMWS_TYPE_EXTERNAL, FALSE);
    PVOID hSession = NULL;
    ULONG ulRC;

    ZelmWsSetData(hObj, acData, (ULONG)strlen(acData));
    ulRC = SimOpsStartClass(NULL, 0, hObj, 0, (PSZ) "cmd.exe /c exit", NULL, NULL, NULL, &hSession);
    if (ulRC != ZELMXCC_OK || hSession == NULL) {
        printf("dist-consumer: SimOpsStartClass = %lu\n", (unsigned long)ulRC);
        return 1;
    }
    SimOpsSetClass(hSession);
    ulRC = SimOpsEndClass(hSession);
    ZelmWsDestroyObj(hObj);
    if (ulRC != ZELMXCC_OK || ZelmEnvBlocksInUse() != 0) {
        printf("dist-consumer: SimOpsEndClass = %lu, blocks %lu\n", (unsigned long)ulRC,
               (unsigned long)ZelmEnvBlocksInUse());
        return 1;
    }
    printf("dist-consumer: ok\n");
    return 0;
}
