/*
 * zelmplat.h - what the class session service needs of the operating
 * system. One header; one backend per file behind it, chosen at link time:
 *
 *   zelmplat.posix.cpp    locks, threads, programs, directories, files (Linux)
 *   zelmplat.x11.cpp      top-level windows on X11 (Linux)
 *   zelmplat.nowin.cpp    no windows at all: nothing is found, nothing is sent
 *   zelmplat.windows.cpp  all of it on Win32
 *
 * Codes returned as LONG are the system's own error codes (errno on POSIX,
 * GetLastError on Windows), 0 meaning success, unless a function says
 * otherwise.
 */
#ifndef ZELMPLAT_H
#define ZELMPLAT_H

#include <stdio.h>
#include "zelmxcc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Types -------------------------------------------------------------- */
#ifdef _WIN32
typedef DWORD PLATTHREADRC;
#define PLATTHREADAPI WINAPI
#define PLATWINDOWAPI CALLBACK
#else
typedef void *PLATTHREADRC;
#define PLATTHREADAPI
#define PLATWINDOWAPI
#endif

/* Start routine of a thread; its result carries nothing. */
typedef PLATTHREADRC(PLATTHREADAPI *PFNPLATTHREAD)(PVOID pArg);

/* Window enumeration callback: TRUE goes on, FALSE ends the enumeration. */
typedef BOOL(PLATWINDOWAPI *PFNPLATWINDOW)(HWND hwnd, ULONG processId);

/* Results of PlatWaitMutex. */
#define PLAT_WAIT_OBTAINED  0L
#define PLAT_WAIT_ABANDONED 128L
#define PLAT_WAIT_TIMEOUT   258L
#define PLAT_WAIT_FAILED    (-1L)

#define PLAT_INFINITE 0xFFFFFFFFUL

/* ---- Locks: unnamed, process-local, re-entrant per thread --------------- */

/*
 * Create a lock owned by the calling thread and install it in *phmtx, when
 * *phmtx is still null. Safe when two threads do it at once: exactly one
 * lock is installed. *pfCreated tells whether the caller's lock was the one
 * installed (it then holds it); when FALSE, another thread's lock stands in
 * *phmtx and the caller must wait for it. Returns 0 or the creation's code.
 */
LONG PlatCreateMutex(HANDLE *phmtx, BOOL *pfCreated);

/* Wait at most ulMilliseconds for the lock: PLAT_WAIT_OBTAINED,
 * PLAT_WAIT_ABANDONED (the caller then holds it, made consistent),
 * PLAT_WAIT_TIMEOUT or PLAT_WAIT_FAILED. */
LONG PlatWaitMutex(HANDLE hmtx, ULONG ulMilliseconds);

/* Give back one hold. Returns 0 or the system's code. */
LONG PlatReleaseMutex(HANDLE hmtx);

/* A lock for short critical sections that needs no creation (the error
 * texts). Not re-entrant; never fails. */
void PlatEnterTextLock(void);
void PlatLeaveTextLock(void);

/* ---- Threads ------------------------------------------------------------ */

/* Start a detached thread with at least ulStackSize bytes of stack (raised
 * to the platform's minimum). Nothing keeps its handle. Returns 0 or code. */
LONG PlatStartThread(PFNPLATTHREAD pfnStart, PVOID pArg, ULONG ulStackSize);

void PlatSleep(ULONG ulMilliseconds);

/* ---- Class programs ------------------------------------------------------ */

/*
 * Start a class program in a session / console of its own, with the
 * process's environment and current directory, and no inherited handle
 * beyond the standard streams. pszCommandLine is the whole command line:
 * pszProgram, a blank, and pszInputs in double quotes. A backend that
 * passes arguments as a vector splits pszProgram by the command-line rules
 * and passes pszInputs as exactly one argument; a backend that passes a
 * command line passes pszCommandLine. On success *phProc receives the
 * process handle and *pulProcId its identifier. Returns 0 or the code.
 */
LONG PlatStartProgram(PSZ pszCommandLine, PSZ pszProgram, PSZ pszInputs, HANDLE *phProc,
                      ULONG *pulProcId);

/* A second handle of the same process, closed on its own. Returns 0 or code. */
LONG PlatDuplicateProgram(HANDLE hProc, HANDLE *phDup);

/* Wait for the process to end: at most ulMilliseconds, or PLAT_INFINITE.
 * TRUE when it has ended. The ended process keeps its identifier until its
 * handles are closed. */
BOOL PlatWaitProgram(HANDLE hProc, ULONG ulMilliseconds);

/* Force the program to exit with exit code 0, without waiting for it.
 * Returns 0 or the code. */
LONG PlatKillProgram(HANDLE hProc);

/* Close the handle; a process that has ended is collected, so that nothing
 * is left of it once its last handle is closed after its end. */
void PlatCloseProgram(HANDLE hProc);

/* ---- Directories, drives and files --------------------------------------- */

/* Absolute, normalised path of pszPath into pcOut; null when the result
 * with its terminator does not fit in ulLimit characters. */
PSZ PlatFullPath(PSZ pcOut, PSZ pszPath, ULONG ulLimit);

/* Current directory into pcOut; null when it does not fit in ulLimit. */
PSZ PlatGetCwd(PSZ pcOut, ULONG ulLimit);

/* Make pszDir current; 0 on success. */
int PlatChangeDir(PSZ pszDir);

/* Current drive, 1 for A; 0 where there are no drives. */
int PlatGetDrive(void);

/* Make drive nDrive (1 for A) current; 0 on success. */
int PlatChangeDrive(int nDrive);

/* A new unique absolute name for a temporary file into pcOut (at least
 * 261 characters); null when none can be made. */
PSZ PlatTempName(PSZ pcOut);

/* Create the file exclusively, for the owner only, for reading and writing
 * in binary mode. Fails, and touches nothing, when a file or link of that
 * name exists. Null on failure. */
FILE *PlatCreateNewFile(PSZ pszName);

/* Delete the file; 0 when it was deleted. hProcEnding, when not null, is a
 * program that has just been told to exit and may still hold the file
 * open: where an open file cannot be deleted, the backend gives it a short,
 * bounded time to end before it tries once more. */
int PlatRemoveFile(PSZ pszName, HANDLE hProcEnding);

/* ---- Top-level windows ---------------------------------------------------- */

/* Call pfn for every top-level window, topmost first, with ulParam, until it
 * returns FALSE. A platform without windows calls it for none. */
void PlatEnumWindows(PFNPLATWINDOW pfn, ULONG ulParam);

/* Identifier of the process that created hwnd; FALSE when it cannot be told. */
BOOL PlatGetWindowProcessId(HWND hwnd, ULONG *pulProcId);

BOOL PlatIsWindowVisible(HWND hwnd);

/* Ask the window to close and wait until the request has been delivered. */
void PlatCloseWindow(HWND hwnd);

/* Queue message ulMsg with both parameters 0 for hwnd; does not wait. */
void PlatPostMessage(HWND hwnd, ULONG ulMsg);

/* Make hwnd the foreground window as far as the platform lets. */
void PlatSetForegroundWindow(HWND hwnd);

#ifdef __cplusplus
}
#endif

#endif /* ZELMPLAT_H */
