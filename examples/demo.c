/*
 * demo.c - a short example host: it makes a working-set object from a few
 * bytes, starts a class program for it, lets it run, ends the session and
 * shows that the temporary inputs file is gone.
 *
 *   zelmxcc-demo [PROGRAM]     default program: cat
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zelmref.h"
#include "zelmxcc.h"

int main(int argc, char **argv)
{
    static const char data[] = "Hello from the working set.\n";
    const char *pszProgram = argc > 1 ? argv[1] : "cat";
    SIMWSOBJ hObj;
    PVOID hSession = NULL;
    ULONG ulRC;
    char pcCmd[512];
    int nExit = 0;

    setvbuf(stdout, NULL, _IOLBF, 0);
    hObj = ZelmWsCreateObj(0, FALSE);
    ZelmWsSetData(hObj, data, (ULONG)strlen(data));
    printf("object: %lu bytes of data\n", (unsigned long)strlen(data));

    ulRC = SimOpsStartClass(NULL, 0, hObj, 0, (PSZ)pszProgram, NULL, NULL, NULL, &hSession);
    printf("SimOpsStartClass(\"%s\") = %lu, handle %p\n", pszProgram, (unsigned long)ulRC, hSession);
    if (ulRC != 0) {
        ZelmWsDestroyObj(hObj);
        return 1;
    }

    /* The class program runs with the temporary inputs file as its one
     * argument; show it, as the host's own processes see it. */
    sleep(1);
    snprintf(pcCmd, sizeof(pcCmd), "ls -l ${TMPDIR:-/tmp}/zelmxcc-%ld-* 2>/dev/null", (long)getpid());
    printf("inputs file while the session runs:\n");
    fflush(stdout);
    if (system(pcCmd) != 0) {
        printf("  (none found)\n");
        nExit = 1;
    }

    ulRC = SimOpsEndClass(hSession);
    printf("SimOpsEndClass = %lu\n", (unsigned long)ulRC);
    printf("inputs file after the end call:\n");
    fflush(stdout);
    if (system(pcCmd) == 0) {
        nExit = 1;
    } else {
        printf("  gone\n");
    }
    ZelmWsDestroyObj(hObj);
    printf("memory-service blocks in use: %lu\n", (unsigned long)ZelmEnvBlocksInUse());
    return nExit;
}
