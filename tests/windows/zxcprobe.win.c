/*
 * zxcprobe - a class program for the tests (Win32 console).
 *
 *   zxcprobe [options] INPUTS
 *
 * The last argument is the inputs file; the options come before it:
 *   --record FILE   write a report to FILE.tmp and rename it to FILE, so a
 *                   reader never sees half a report; before that, copy the
 *                   inputs file to FILE.inputs when it can be read
 *   --exit N        exit code (default 0)
 *   --sleep MS      sleep MS milliseconds before exiting
 *   --forever       never exit on its own
 *   --hold-inputs   keep the inputs file open until the program ends
 *   --ignore-term   accepted; Windows has no termination signal to ignore
 * Other arguments are recorded and otherwise ignored.
 *
 * Report lines, in this order:
 *   argc=N            C argc, argv[0] included
 *   argK=TEXT         each argument after argv[0], verbatim (K = 1 .. N-1)
 *   cmdline=TEXT      the command line as the process received it
 *   cwd=PATH          the current directory
 *   drive=N           the current drive, 1 for A
 *   pid=, ppid=
 *   console=HEX       the program's console window, 0 when it has none
 *   inputs_size=N     bytes of the inputs file, -1 when it cannot be read
 */
#include <direct.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <tlhelp32.h>

static unsigned long ParentProcessId(void)
{
    DWORD dwSelf = GetCurrentProcessId();
    unsigned long ulParent = 0;
    PROCESSENTRY32 entry;
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);

    if (hSnap == INVALID_HANDLE_VALUE)
        return 0;
    entry.dwSize = sizeof(entry);
    if (Process32First(hSnap, &entry)) {
        do {
            if (entry.th32ProcessID == dwSelf) {
                ulParent = entry.th32ParentProcessID;
                break;
            }
        } while (Process32Next(hSnap, &entry));
    }
    CloseHandle(hSnap);
    return ulParent;
}

/* Copy the inputs to pszCopy; the number of bytes, -1 when unreadable. */
static long CopyInputs(const char *pszInputs, const char *pszCopy)
{
    FILE *pfIn = NULL;
    FILE *pfOut = NULL;
    char achBuf[8192];
    size_t cb = 0;
    long lSize = 0;

    if (pszInputs == NULL)
        return -1;
    pfIn = fopen(pszInputs, "rb");
    if (pfIn == NULL)
        return -1;
    pfOut = fopen(pszCopy, "wb");
    while ((cb = fread(achBuf, 1, sizeof(achBuf), pfIn)) > 0) {
        lSize += (long)cb;
        if (pfOut != NULL)
            fwrite(achBuf, 1, cb, pfOut);
    }
    if (ferror(pfIn))
        lSize = -1;
    fclose(pfIn);
    if (pfOut != NULL)
        fclose(pfOut);
    return lSize;
}

static int WriteRecord(const char *pszRecord, int argc, char **argv, const char *pszInputs)
{
    size_t cchRecord = strlen(pszRecord);
    char *pszTmp = malloc(cchRecord + 8);
    char *pszCopy = malloc(cchRecord + 8);
    char achCwd[MAX_PATH + 1];
    FILE *pf = NULL;
    long lSize = -1;
    int rc = 1;
    int i = 0;

    if (pszTmp == NULL || pszCopy == NULL)
        goto done;
    snprintf(pszTmp, cchRecord + 8, "%s.tmp", pszRecord);
    snprintf(pszCopy, cchRecord + 8, "%s.inputs", pszRecord);

    lSize = CopyInputs(pszInputs, pszCopy);

    pf = fopen(pszTmp, "wb"); /* lines end in LF alone, as on every system */
    if (pf == NULL)
        goto done;
    fprintf(pf, "argc=%d\n", argc);
    for (i = 1; i < argc; i++)
        fprintf(pf, "arg%d=%s\n", i, argv[i]);
    fprintf(pf, "cmdline=%s\n", GetCommandLineA());
    fprintf(pf, "cwd=%s\n", _getcwd(achCwd, sizeof(achCwd)) != NULL ? achCwd : "");
    fprintf(pf, "drive=%d\n", _getdrive());
    fprintf(pf, "pid=%lu\n", (unsigned long)GetCurrentProcessId());
    fprintf(pf, "ppid=%lu\n", ParentProcessId());
    fprintf(pf, "console=%lx\n", (unsigned long)(ULONG_PTR)GetConsoleWindow());
    fprintf(pf, "inputs_size=%ld\n", lSize);
    if (fclose(pf) != 0)
        goto done;
    if (!MoveFileExA(pszTmp, pszRecord, MOVEFILE_REPLACE_EXISTING))
        goto done;
    rc = 0;

done:
    free(pszCopy);
    free(pszTmp);
    return rc;
}

int main(int argc, char **argv)
{
    const char *pszRecord = NULL;
    const char *pszInputs = NULL;
    int nExit = 0;
    long lSleep = 0;
    int fForever = 0;
    int fHold = 0;
    FILE *pfHeld = NULL;
    int i = 0;

    if (argc >= 2)
        pszInputs = argv[argc - 1];
    for (i = 1; i < argc - 1; i++) {
        int fHasValue = i + 1 < argc - 1;
        if (strcmp(argv[i], "--record") == 0 && fHasValue) {
            pszRecord = argv[++i];
        } else if (strcmp(argv[i], "--exit") == 0 && fHasValue) {
            nExit = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--sleep") == 0 && fHasValue) {
            lSleep = atol(argv[++i]);
        } else if (strcmp(argv[i], "--forever") == 0) {
            fForever = 1;
        } else if (strcmp(argv[i], "--hold-inputs") == 0) {
            fHold = 1;
        }
    }

    /* Opened before the report appears, so that whoever reads the report
     * knows the file is held. */
    if (fHold && pszInputs != NULL)
        pfHeld = fopen(pszInputs, "rb");

    if (pszRecord != NULL && WriteRecord(pszRecord, argc, argv, pszInputs) != 0)
        fprintf(stderr, "zxcprobe: cannot write the report %s\n", pszRecord);

    if (lSleep > 0)
        Sleep((DWORD)lSleep);
    if (fForever) {
        for (;;)
            Sleep(INFINITE);
    }
    if (pfHeld != NULL)
        fclose(pfHeld);
    return nExit;
}
