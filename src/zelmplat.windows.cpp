/*
 * zelmplat.windows.cpp - the platform seam on Win32: locks, threads, class
 * programs, directories and drives, temporary files and top-level windows,
 * all with the system's own calls. Built into the 32-bit ZELMXCC.dll.
 */
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "zelmplat.h"
#include "zelmws.h"

/* ---- The records that cross to the host services -------------------------- */

/* The host services are built apart from this library, possibly by another
 * compiler: the records' layout is fixed to the byte. */
#if !defined(_WIN64)
static_assert(sizeof(RCSTRUCT) == 44, "RCSTRUCT is 44 bytes");
static_assert(offsetof(RCSTRUCT, ulStruct) == 0, "RCSTRUCT.ulStruct");
static_assert(offsetof(RCSTRUCT, ulRC) == 4, "RCSTRUCT.ulRC");
static_assert(offsetof(RCSTRUCT, usReserved) == 8, "RCSTRUCT.usReserved");
static_assert(offsetof(RCSTRUCT, usParam) == 10, "RCSTRUCT.usParam");
static_assert(offsetof(RCSTRUCT, ulParam1) == 12, "RCSTRUCT.ulParam1");
static_assert(offsetof(RCSTRUCT, ulParam2) == 16, "RCSTRUCT.ulParam2");
static_assert(offsetof(RCSTRUCT, ulExtRC) == 20, "RCSTRUCT.ulExtRC");
static_assert(offsetof(RCSTRUCT, ulExtReason) == 24, "RCSTRUCT.ulExtReason");
static_assert(offsetof(RCSTRUCT, pApplData) == 28, "RCSTRUCT.pApplData");
static_assert(offsetof(RCSTRUCT, ulApplData) == 32, "RCSTRUCT.ulApplData");
static_assert(offsetof(RCSTRUCT, ulReserved) == 36, "RCSTRUCT.ulReserved");
static_assert(offsetof(RCSTRUCT, hErrLog) == 40, "RCSTRUCT.hErrLog");
static_assert(sizeof(SIMBUFFERSTRUCT) == 12, "SIMBUFFERSTRUCT is 12 bytes");
static_assert(offsetof(SIMBUFFERSTRUCT, ulStruct) == 0, "SIMBUFFERSTRUCT.ulStruct");
static_assert(offsetof(SIMBUFFERSTRUCT, pucBuffer) == 4, "SIMBUFFERSTRUCT.pucBuffer");
static_assert(offsetof(SIMBUFFERSTRUCT, ulSize) == 8, "SIMBUFFERSTRUCT.ulSize");
#endif

/* The seam's wait results are the system's own. */
static_assert(PLAT_WAIT_OBTAINED == (LONG)WAIT_OBJECT_0, "wait obtained");
static_assert(PLAT_WAIT_ABANDONED == (LONG)WAIT_ABANDONED, "wait abandoned");
static_assert(PLAT_WAIT_TIMEOUT == (LONG)WAIT_TIMEOUT, "wait timeout");
static_assert(PLAT_INFINITE == INFINITE, "infinite wait");

#define PLAT_CLOSE_TIMEOUT 5000U  /* longest wait for a window to take WM_CLOSE, ms */
#define PLAT_KILL_STACK    0x4000 /* stack of the exit thread in the program */
#define PLAT_REMOVE_WAIT   5000U  /* longest wait for an ending program to let go of a file, ms */

/* ---- Locks ------------------------------------------------------------------ */

static SRWLOCK srwText = SRWLOCK_INIT;

LONG PlatCreateMutex(HANDLE *phmtx, BOOL *pfCreated)
{
    LONG lCode = 0;
    HANDLE hmtx;

    *pfCreated = FALSE;
    hmtx = CreateMutexA(NULL, TRUE, NULL);
    if (hmtx == NULL) {
        lCode = (LONG)GetLastError();
    } else if (InterlockedCompareExchangePointer((PVOID volatile *)phmtx, hmtx, NULL) == NULL) {
        *pfCreated = TRUE;
    } else {
        /* Another thread installed its lock first: that one stands. */
        CloseHandle(hmtx);
    }
    return lCode;
}

LONG PlatWaitMutex(HANDLE hmtx, ULONG ulMilliseconds)
{
    LONG lResult;

    switch (WaitForSingleObject(hmtx, ulMilliseconds)) {
    case WAIT_OBJECT_0:
        lResult = PLAT_WAIT_OBTAINED;
        break;
    case WAIT_ABANDONED:
        lResult = PLAT_WAIT_ABANDONED;
        break;
    case WAIT_TIMEOUT:
        lResult = PLAT_WAIT_TIMEOUT;
        break;
    default:
        lResult = PLAT_WAIT_FAILED;
        break;
    }
    return lResult;
}

LONG PlatReleaseMutex(HANDLE hmtx)
{
    LONG lCode = 0;

    if (!ReleaseMutex(hmtx)) {
        lCode = (LONG)GetLastError();
    }
    return lCode;
}

void PlatEnterTextLock(void)
{
    AcquireSRWLockExclusive(&srwText);
}

void PlatLeaveTextLock(void)
{
    ReleaseSRWLockExclusive(&srwText);
}

/* ---- Threads ------------------------------------------------------------------ */

LONG PlatStartThread(PFNPLATTHREAD pfnStart, PVOID pArg, ULONG ulStackSize)
{
    LONG lCode = 0;
    DWORD dwThreadId = 0;
    HANDLE hThread;

    /* The system raises the stack to its own minimum. */
    hThread = CreateThread(NULL, ulStackSize, pfnStart, pArg, 0, &dwThreadId);
    if (hThread == NULL) {
        lCode = (LONG)GetLastError();
    } else {
        CloseHandle(hThread);
    }
    return lCode;
}

void PlatSleep(ULONG ulMilliseconds)
{
    Sleep(ulMilliseconds);
}

/* ---- Class programs -------------------------------------------------------- */

LONG PlatStartProgram(PSZ pszCommandLine, PSZ pszProgram, PSZ pszInputs, HANDLE *phProc,
                      ULONG *pulProcId)
{
    LONG lCode = 0;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    size_t ulLength = strlen(pszCommandLine);
    PSZ pcCommandLine;

    (void)pszProgram;
    (void)pszInputs;

    /* CreateProcessA may write into the command line it is given. */
    pcCommandLine = (PSZ)malloc(ulLength + 1);
    if (pcCommandLine == NULL) {
        lCode = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        memcpy(pcCommandLine, pszCommandLine, ulLength + 1);
        memset(&si, 0, sizeof(si));
        si.cb = sizeof(si);
        GetStartupInfoA(&si);
        /* The host's own startup information, but for what names handles of
         * the host: none is inherited, so its standard handles and its C
         * runtime's file table would mean nothing to the program, which
         * gets those of its new console. */
        si.dwFlags &= ~(DWORD)STARTF_USESTDHANDLES;
        si.hStdInput = NULL;
        si.hStdOutput = NULL;
        si.hStdError = NULL;
        si.cbReserved2 = 0;
        si.lpReserved2 = NULL;
        memset(&pi, 0, sizeof(pi));
        if (!CreateProcessA(NULL, pcCommandLine, NULL, NULL, FALSE, CREATE_NEW_CONSOLE, NULL,
                            NULL, &si, &pi)) {
            lCode = (LONG)GetLastError();
        } else {
            CloseHandle(pi.hThread);
            *phProc = pi.hProcess;
            *pulProcId = pi.dwProcessId;
        }
        free(pcCommandLine);
    }
    return lCode;
}

LONG PlatDuplicateProgram(HANDLE hProc, HANDLE *phDup)
{
    LONG lCode = 0;
    HANDLE hSelf = GetCurrentProcess();

    if (!DuplicateHandle(hSelf, hProc, hSelf, phDup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        lCode = (LONG)GetLastError();
    }
    return lCode;
}

BOOL PlatWaitProgram(HANDLE hProc, ULONG ulMilliseconds)
{
    return WaitForSingleObject(hProc, ulMilliseconds) == WAIT_OBJECT_0;
}

/*
 * A thread started inside the program at ExitProcess, with 0 as its
 * argument. The system DLLs sit at the same address in every process of a
 * session, so the address this library imports is valid there too.
 */
LONG PlatKillProgram(HANDLE hProc)
{
    LONG lCode = 0;
    HANDLE hThread;
    LPTHREAD_START_ROUTINE pfnExit = (LPTHREAD_START_ROUTINE)(void (*)(void))ExitProcess;

    hThread = CreateRemoteThread(hProc, NULL, PLAT_KILL_STACK, pfnExit, (LPVOID)0, 0, NULL);
    if (hThread != NULL) {
        CloseHandle(hThread);
    } else if (!TerminateProcess(hProc, 0)) {
        /* No thread can be made in a 64-bit program from here, nor in one
         * that is protected: such a program is ended from outside, with the
         * same exit code. */
        lCode = (LONG)GetLastError();
    }
    return lCode;
}

void PlatCloseProgram(HANDLE hProc)
{
    CloseHandle(hProc);
}

/* ---- Directories, drives and files ------------------------------------------- */

PSZ PlatFullPath(PSZ pcOut, PSZ pszPath, ULONG ulLimit)
{
    return _fullpath(pcOut, pszPath, ulLimit);
}

PSZ PlatGetCwd(PSZ pcOut, ULONG ulLimit)
{
    return _getcwd(pcOut, (int)ulLimit);
}

int PlatChangeDir(PSZ pszDir)
{
    return _chdir(pszDir);
}

int PlatGetDrive(void)
{
    return _getdrive();
}

int PlatChangeDrive(int nDrive)
{
    /* The runtime treats a drive outside A to Z as a fault of the caller's. */
    return (nDrive >= 1 && nDrive <= 26) ? _chdrive(nDrive) : -1;
}

/*
 * A name in the temporary directory (GetTempPath: TMP, TEMP, ...) that no
 * file has yet: the process id and a process-wide count keep names of this
 * and every other process apart, and a name that is somehow taken is
 * skipped. The file is not created here; whoever creates it does so
 * exclusively. Null when the name would not fit in 260 characters.
 */
PSZ PlatTempName(PSZ pcOut)
{
    static LONG lCounter = 0;
    PSZ pszResult = NULL;
    CHAR pcDir[MAX_PATH + 1];
    DWORD dwDirLength;
    int nLength;
    int nTry;

    dwDirLength = GetTempPathA(sizeof(pcDir), pcDir);
    if (dwDirLength > 0 && dwDirLength < sizeof(pcDir)) {
        for (nTry = 0; pszResult == NULL && nTry < 1000; nTry++) {
            nLength = snprintf(pcOut, MAX_PATH + 1, "%szx%lx_%lx.tmp", pcDir,
                               (unsigned long)GetCurrentProcessId(),
                               (unsigned long)InterlockedIncrement(&lCounter));
            if (nLength <= 0 || nLength > MAX_PATH) {
                break;
            }
            /* Free when nothing has the name; a missing directory is found
             * out by whoever creates the file. */
            if (GetFileAttributesA(pcOut) == INVALID_FILE_ATTRIBUTES &&
                (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
                pszResult = pcOut;
            }
        }
    }
    return pszResult;
}

FILE *PlatCreateNewFile(PSZ pszName)
{
    FILE *pFile = NULL;
    int fd;

    /* Not inherited: a process that another thread of the host starts
     * meanwhile must not keep the file open. */
    fd = _open(pszName, _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
    if (fd != -1) {
        pFile = _fdopen(fd, "w+b");
        if (pFile == NULL) {
            _close(fd);
            remove(pszName);
        }
    }
    return pFile;
}

/*
 * A file that a program still has open cannot be deleted. A program that
 * has just been told to exit lets go of it when it ends: it is given a few
 * seconds for that, and the deletion is tried once more.
 */
int PlatRemoveFile(PSZ pszName, HANDLE hProcEnding)
{
    int nResult = remove(pszName);

    if (nResult != 0 && errno == EACCES && hProcEnding != NULL &&
        WaitForSingleObject(hProcEnding, PLAT_REMOVE_WAIT) == WAIT_OBJECT_0) {
        nResult = remove(pszName);
    }
    return nResult;
}

/* ---- Top-level windows --------------------------------------------------------- */

typedef struct _PLATENUM {
    PFNPLATWINDOW pfn;
    ULONG ulParam;
} PLATENUM;

static BOOL CALLBACK PlatEnumProc(HWND hwnd, LPARAM lParam)
{
    PLATENUM *pEnum = (PLATENUM *)lParam;

    return pEnum->pfn(hwnd, pEnum->ulParam);
}

void PlatEnumWindows(PFNPLATWINDOW pfn, ULONG ulParam)
{
    PLATENUM enumRec;

    enumRec.pfn = pfn;
    enumRec.ulParam = ulParam;
    EnumWindows(PlatEnumProc, (LPARAM)&enumRec);
}

BOOL PlatGetWindowProcessId(HWND hwnd, ULONG *pulProcId)
{
    BOOL fResult = FALSE;
    DWORD dwProcId = 0;

    if (GetWindowThreadProcessId(hwnd, &dwProcId) != 0) {
        *pulProcId = dwProcId;
        fResult = TRUE;
    }
    return fResult;
}

BOOL PlatIsWindowVisible(HWND hwnd)
{
    return IsWindowVisible(hwnd);
}

/* The close request is sent, not posted, so that the windows are closed one
 * after the other; a program that has stopped taking messages holds the
 * caller for a few seconds at most. While it waits, the calling thread
 * handles no message sent to its own windows: a host's window procedure
 * must not run, and call the library again, in the middle of an end call. */
void PlatCloseWindow(HWND hwnd)
{
    DWORD_PTR dwResult = 0;

    SendMessageTimeoutA(hwnd, WM_CLOSE, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, PLAT_CLOSE_TIMEOUT,
                        &dwResult);
}

void PlatPostMessage(HWND hwnd, ULONG ulMsg)
{
    PostMessageA(hwnd, ulMsg, 0, 0);
}

void PlatSetForegroundWindow(HWND hwnd)
{
    SetForegroundWindow(hwnd);
}
