/* seam.cpp - wrappers around the platform calls for the fault suite (linked
 * with --wrap, so only the test build has them). */
#include "seam.h"

#include <stdio.h>

SeamState g_seam;

void SeamReset(void)
{
    std::lock_guard<std::mutex> lock(g_seam.mtx);
    g_seam.events.clear();
    g_seam.lCreateMutexRC = 0;
    g_seam.hWaitFailLock = NULL;
    g_seam.lWaitRC = 0;
    g_seam.nWaitFailLeft = -1;
    g_seam.hReleaseFailLock = NULL;
    g_seam.lReleaseRC = 0;
    g_seam.lStartThreadRC = 0;
    g_seam.lDuplicateRC = 0;
    g_seam.lKillRC = 0;
    g_seam.sTempName.clear();
    g_seam.nChangeDirFailAt = 0;
    g_seam.fDeleteInputsBeforeStart = false;
    g_seam.fFakeWindows = false;
    g_seam.windows.clear();
    g_seam.nWaitMutexCalls = 0;
}

void SeamLog(const std::string &event)
{
    std::lock_guard<std::mutex> lock(g_seam.mtx);
    g_seam.events.push_back(event);
}

std::vector<std::string> SeamEvents(void)
{
    std::lock_guard<std::mutex> lock(g_seam.mtx);
    return g_seam.events;
}

extern "C" {
LONG __real_PlatCreateMutex(HANDLE *phmtx, BOOL *pfCreated);
LONG __real_PlatWaitMutex(HANDLE hmtx, ULONG ulMilliseconds);
LONG __real_PlatReleaseMutex(HANDLE hmtx);
LONG __real_PlatStartThread(PFNPLATTHREAD pfnStart, PVOID pArg, ULONG ulStackSize);
LONG __real_PlatDuplicateProgram(HANDLE hProc, HANDLE *phDup);
LONG __real_PlatKillProgram(HANDLE hProc);
int __real_PlatChangeDrive(int nDrive);
int __real_PlatGetDrive(void);
int __real_PlatChangeDir(PSZ pszDir);
PSZ __real_PlatTempName(PSZ pcOut);
LONG __real_PlatStartProgram(PSZ pszCommandLine, PSZ pszProgram, PSZ pszInputs, HANDLE *phProc,
                             ULONG *pulProcId);
void __real_PlatPostMessage(HWND hwnd, ULONG ulMsg);
void __real_PlatEnumWindows(PFNPLATWINDOW pfn, ULONG ulParam);
BOOL __real_PlatGetWindowProcessId(HWND hwnd, ULONG *pulProcId);
BOOL __real_PlatIsWindowVisible(HWND hwnd);
void __real_PlatCloseWindow(HWND hwnd);
void __real_PlatSetForegroundWindow(HWND hwnd);
void __real_PlatSleep(ULONG ulMilliseconds);

LONG __wrap_PlatCreateMutex(HANDLE *phmtx, BOOL *pfCreated)
{
    LONG lRC;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        lRC = g_seam.lCreateMutexRC;
    }
    if (lRC != 0) {
        *pfCreated = FALSE;
        return lRC;
    }
    return __real_PlatCreateMutex(phmtx, pfCreated);
}

LONG __wrap_PlatWaitMutex(HANDLE hmtx, ULONG ulMilliseconds)
{
    LONG lRC = 0;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        g_seam.nWaitMutexCalls++;
        if (hmtx == g_seam.hWaitFailLock && g_seam.nWaitFailLeft != 0) {
            lRC = g_seam.lWaitRC;
            if (g_seam.nWaitFailLeft > 0) {
                g_seam.nWaitFailLeft--;
            }
        }
    }
    if (lRC == PLAT_WAIT_ABANDONED) {
        /* Obtained, as after a holder that ended. */
        __real_PlatWaitMutex(hmtx, ulMilliseconds);
        return lRC;
    }
    if (lRC != 0) {
        return lRC;
    }
    return __real_PlatWaitMutex(hmtx, ulMilliseconds);
}

LONG __wrap_PlatReleaseMutex(HANDLE hmtx)
{
    LONG lRC = __real_PlatReleaseMutex(hmtx);
    std::lock_guard<std::mutex> lock(g_seam.mtx);
    if (lRC == 0 && hmtx == g_seam.hReleaseFailLock) {
        lRC = g_seam.lReleaseRC;
        g_seam.hReleaseFailLock = NULL;
    }
    return lRC;
}

LONG __wrap_PlatStartThread(PFNPLATTHREAD pfnStart, PVOID pArg, ULONG ulStackSize)
{
    LONG lRC;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        lRC = g_seam.lStartThreadRC;
    }
    return lRC != 0 ? lRC : __real_PlatStartThread(pfnStart, pArg, ulStackSize);
}

LONG __wrap_PlatDuplicateProgram(HANDLE hProc, HANDLE *phDup)
{
    LONG lRC;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        lRC = g_seam.lDuplicateRC;
    }
    return lRC != 0 ? lRC : __real_PlatDuplicateProgram(hProc, phDup);
}

LONG __wrap_PlatKillProgram(HANDLE hProc)
{
    LONG lRC;
    SeamLog("kill");
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        lRC = g_seam.lKillRC;
    }
    return lRC != 0 ? lRC : __real_PlatKillProgram(hProc);
}

int __wrap_PlatChangeDrive(int nDrive)
{
    SeamLog("chdrive " + std::to_string(nDrive));
    return __real_PlatChangeDrive(nDrive);
}

int __wrap_PlatGetDrive(void)
{
    return __real_PlatGetDrive();
}

int __wrap_PlatChangeDir(PSZ pszDir)
{
    bool fFail = false;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        if (g_seam.nChangeDirFailAt > 0) {
            fFail = (--g_seam.nChangeDirFailAt == 0);
        }
    }
    return fFail ? -1 : __real_PlatChangeDir(pszDir);
}

PSZ __wrap_PlatTempName(PSZ pcOut)
{
    std::string sName;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        sName.swap(g_seam.sTempName);
    }
    if (!sName.empty()) {
        snprintf(pcOut, CCPATH_SIZE, "%s", sName.c_str());
        return pcOut;
    }
    return __real_PlatTempName(pcOut);
}

LONG __wrap_PlatStartProgram(PSZ pszCommandLine, PSZ pszProgram, PSZ pszInputs, HANDLE *phProc,
                             ULONG *pulProcId)
{
    bool fDelete;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        fDelete = g_seam.fDeleteInputsBeforeStart;
    }
    if (fDelete) {
        PlatRemoveFile(pszInputs, NULL);
    }
    return __real_PlatStartProgram(pszCommandLine, pszProgram, pszInputs, phProc, pulProcId);
}

void __wrap_PlatPostMessage(HWND hwnd, ULONG ulMsg)
{
    SeamLog("post " + std::to_string((unsigned long)(uintptr_t)hwnd) + " " + std::to_string(ulMsg));
    __real_PlatPostMessage(hwnd, ulMsg);
}

void __wrap_PlatEnumWindows(PFNPLATWINDOW pfn, ULONG ulParam)
{
    std::vector<FakeWindow> windows;
    bool fFake;
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        fFake = g_seam.fFakeWindows;
        windows = g_seam.windows;
    }
    SeamLog("enum");
    if (!fFake) {
        __real_PlatEnumWindows(pfn, ulParam);
        return;
    }
    for (const FakeWindow &w : windows) {
        if (!pfn((HWND)(uintptr_t)w.ulHwnd, ulParam)) {
            break;
        }
    }
}

static const FakeWindow *FindFake(HWND hwnd)
{
    for (const FakeWindow &w : g_seam.windows) {
        if ((HWND)(uintptr_t)w.ulHwnd == hwnd) {
            return &w;
        }
    }
    return NULL;
}

BOOL __wrap_PlatGetWindowProcessId(HWND hwnd, ULONG *pulProcId)
{
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        if (g_seam.fFakeWindows) {
            const FakeWindow *pWin = FindFake(hwnd);
            if (pWin != NULL) {
                *pulProcId = pWin->ulProcId;
            }
            return pWin != NULL;
        }
    }
    return __real_PlatGetWindowProcessId(hwnd, pulProcId);
}

BOOL __wrap_PlatIsWindowVisible(HWND hwnd)
{
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        if (g_seam.fFakeWindows) {
            const FakeWindow *pWin = FindFake(hwnd);
            return pWin != NULL && pWin->fVisible;
        }
    }
    return __real_PlatIsWindowVisible(hwnd);
}

void __wrap_PlatCloseWindow(HWND hwnd)
{
    bool fFake;
    SeamLog("close " + std::to_string((unsigned long)(uintptr_t)hwnd));
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        fFake = g_seam.fFakeWindows;
    }
    if (!fFake) {
        __real_PlatCloseWindow(hwnd);
    }
}

void __wrap_PlatSetForegroundWindow(HWND hwnd)
{
    bool fFake;
    SeamLog("foreground " + std::to_string((unsigned long)(uintptr_t)hwnd));
    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        fFake = g_seam.fFakeWindows;
    }
    if (!fFake) {
        __real_PlatSetForegroundWindow(hwnd);
    }
}

void __wrap_PlatSleep(ULONG ulMilliseconds)
{
    SeamLog("sleep " + std::to_string(ulMilliseconds));
    __real_PlatSleep(ulMilliseconds);
}
}
