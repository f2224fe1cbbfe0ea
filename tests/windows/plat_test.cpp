/*
 * plat_test.cpp - the Win32 backend of the platform seam on its own, with
 * the system's real calls: locks, threads, programs, directories, files and
 * windows.
 */
#include <direct.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "wintest.h"
#include "zelmplat.h"

namespace {

const unsigned long ulReportWait = 30000;

/* ---- Locks --------------------------------------------------------------------- */

struct RaceArg {
    HANDLE hGo;
    HANDLE *phmtx;
    BOOL fCreated;
    LONG lCode;
    volatile LONG *plReturned; /* creators that have returned */
    HANDLE hDone;              /* the winner ends once this is set */
};

DWORD WINAPI CreateRacer(LPVOID pv)
{
    RaceArg *pArg = (RaceArg *)pv;

    WaitForSingleObject(pArg->hGo, INFINITE);
    pArg->lCode = PlatCreateMutex(pArg->phmtx, &pArg->fCreated);
    InterlockedIncrement(pArg->plReturned);
    if (pArg->fCreated) {
        /* The creator holds the lock until it ends without releasing it. */
        WaitForSingleObject(pArg->hDone, INFINITE);
    }
    return 0;
}

TEST(PlatLocks, RacingCreatorsInstallExactlyOneHeldLockAndCloseTheirOwn)
{
    const int cThreads = 8;
    HANDLE hmtx = NULL;
    RaceArg aArgs[cThreads];
    HANDLE ahThreads[cThreads];
    volatile LONG lReturned = 0;
    HANDLE hGo = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    int cCreated = 0;
    int i;

    for (i = 0; i < cThreads; i++) {
        aArgs[i] = RaceArg{hGo, &hmtx, FALSE, -1, &lReturned, hDone};
        ahThreads[i] = CreateThread(NULL, 0, CreateRacer, &aArgs[i], 0, NULL);
        ASSERT_NE(ahThreads[i], nullptr);
    }
    int nBefore = TsCountDescriptors();
    SetEvent(hGo);
    unsigned long long ullEnd = TsNowMs() + 10000;
    while (lReturned < cThreads && TsNowMs() < ullEnd) {
        Sleep(1);
    }
    ASSERT_EQ(lReturned, cThreads);
    for (i = 0; i < cThreads; i++) {
        EXPECT_EQ(aArgs[i].lCode, 0);
        cCreated += aArgs[i].fCreated ? 1 : 0;
    }
    EXPECT_EQ(cCreated, 1);
    ASSERT_NE(hmtx, nullptr);
    /* Only the installed lock is left of all the creations. */
    EXPECT_EQ(TsCountDescriptors(), nBefore + 1);

    /* Held by the winner: another thread cannot have it. */
    EXPECT_EQ(PlatWaitMutex(hmtx, 50), PLAT_WAIT_TIMEOUT);

    /* The winner ends while holding it: the next waiter is told, and holds
     * it then. */
    SetEvent(hDone);
    EXPECT_EQ(WaitForMultipleObjects(cThreads, ahThreads, TRUE, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(PlatWaitMutex(hmtx, 10000), PLAT_WAIT_ABANDONED);
    EXPECT_EQ(PlatReleaseMutex(hmtx), 0);

    for (i = 0; i < cThreads; i++) {
        CloseHandle(ahThreads[i]);
    }
    CloseHandle(hmtx);
    CloseHandle(hGo);
    CloseHandle(hDone);
}

TEST(PlatLocks, CreatorHoldsTheLockReentrantlyAndOthersCannotReleaseIt)
{
    HANDLE hmtx = NULL;
    BOOL fCreated = FALSE;

    ASSERT_EQ(PlatCreateMutex(&hmtx, &fCreated), 0);
    ASSERT_TRUE(fCreated);

    /* A second creation finds the lock installed and keeps it. */
    HANDLE hmtxBefore = hmtx;
    BOOL fCreatedAgain = TRUE;
    EXPECT_EQ(PlatCreateMutex(&hmtx, &fCreatedAgain), 0);
    EXPECT_FALSE(fCreatedAgain);
    EXPECT_EQ(hmtx, hmtxBefore);

    EXPECT_EQ(PlatWaitMutex(hmtx, 0), PLAT_WAIT_OBTAINED);

    LONG lOtherRelease = -1;
    struct Other {
        static DWORD WINAPI Run(LPVOID pv)
        {
            void **ppv = (void **)pv;
            *(LONG *)ppv[1] = PlatReleaseMutex((HANDLE)ppv[0]);
            return 0;
        }
    };
    void *apv[2] = {hmtx, &lOtherRelease};
    HANDLE hThread = CreateThread(NULL, 0, Other::Run, apv, 0, NULL);
    WaitForSingleObject(hThread, 10000);
    CloseHandle(hThread);
    EXPECT_EQ(lOtherRelease, (LONG)ERROR_NOT_OWNER);

    /* Two holds, two releases; a third release is refused. */
    EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
    EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
    EXPECT_EQ(PlatReleaseMutex(hmtx), (LONG)ERROR_NOT_OWNER);
    CloseHandle(hmtx);
}

TEST(PlatLocks, WaitOnSomethingThatIsNoLockFails)
{
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hClosed = CreateEventA(NULL, TRUE, FALSE, NULL);

    CloseHandle(hClosed);
    EXPECT_EQ(PlatWaitMutex(hClosed, 0), PLAT_WAIT_FAILED);
    EXPECT_EQ(PlatWaitMutex(NULL, 0), PLAT_WAIT_FAILED);
    EXPECT_EQ(PlatReleaseMutex(NULL), (LONG)ERROR_INVALID_HANDLE);
    CloseHandle(hEvent);
}

struct TextLockArg {
    volatile LONG *plCounter;
    int cRounds;
};

DWORD WINAPI CountUnderTextLock(LPVOID pv)
{
    TextLockArg *pArg = (TextLockArg *)pv;
    LONG lValue;
    int i;

    for (i = 0; i < pArg->cRounds; i++) {
        PlatEnterTextLock();
        lValue = *pArg->plCounter;
        if ((i & 63) == 0) {
            Sleep(0); /* let another thread try to come in between */
        }
        *pArg->plCounter = lValue + 1;
        PlatLeaveTextLock();
    }
    return 0;
}

TEST(PlatLocks, TextLockKeepsThreadsOut)
{
    const int cThreads = 4;
    volatile LONG lCounter = 0;
    TextLockArg arg = {&lCounter, 20000};
    HANDLE ahThreads[cThreads];
    int i;

    for (i = 0; i < cThreads; i++) {
        ahThreads[i] = CreateThread(NULL, 0, CountUnderTextLock, &arg, 0, NULL);
    }
    WaitForMultipleObjects(cThreads, ahThreads, TRUE, INFINITE);
    for (i = 0; i < cThreads; i++) {
        CloseHandle(ahThreads[i]);
    }
    EXPECT_EQ(lCounter, cThreads * arg.cRounds);
}

/* ---- Threads ------------------------------------------------------------------------ */

struct ThreadArg {
    HANDLE hRan;
    PVOID pSeen;
    HANDLE hEnd;
};

PLATTHREADRC PLATTHREADAPI DetachedThread(PVOID pArg)
{
    ThreadArg *p = (ThreadArg *)pArg;

    p->pSeen = pArg;
    SetEvent(p->hRan);
    WaitForSingleObject(p->hEnd, INFINITE);
    return 0;
}

TEST(PlatThreads, ThreadRunsWithItsArgumentAndKeepsNoHandle)
{
    ThreadArg arg = {CreateEventA(NULL, TRUE, FALSE, NULL), NULL,
                     CreateEventA(NULL, TRUE, FALSE, NULL)};
    int nBefore = TsCountDescriptors();

    ASSERT_EQ(PlatStartThread(DetachedThread, &arg, 0x4000), 0);
    ASSERT_EQ(WaitForSingleObject(arg.hRan, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(arg.pSeen, &arg);
    /* While it runs, nothing of it is open in the process. */
    EXPECT_EQ(TsCountDescriptors(), nBefore);
    SetEvent(arg.hEnd);
    CloseHandle(arg.hRan);
    CloseHandle(arg.hEnd);
}

/* ---- Programs ------------------------------------------------------------------------ */

class PlatPrograms : public ::testing::Test {
protected:
    void SetUp() override
    {
        sDir = TsMakeTempDir("zelmplat");
    }
    void TearDown() override
    {
        TsRemoveTree(sDir);
    }
    std::string sDir;
};

TEST_F(PlatPrograms, ProgramGetsTheCommandLineVerbatimInAConsoleOfItsOwn)
{
    std::string report = TsJoin(sDir, "probe.txt");
    std::string program = WtProgram("zxcprobe") + " --record " + report;
    std::string inputs = TsJoin(sDir, "in put.dat");
    std::string cmd = program + " " + WtQuote(inputs);
    std::vector<std::string> lines;
    HANDLE hProc = NULL;
    ULONG ulPid = 0;

    ASSERT_TRUE(TsWriteFile(inputs, "12345"));
    ASSERT_EQ(PlatStartProgram((PSZ)cmd.c_str(), (PSZ)program.c_str(), (PSZ)inputs.c_str(), &hProc,
                               &ulPid),
              0);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    EXPECT_EQ(WtValue(lines, "cmdline"), cmd);
    EXPECT_EQ(WtValue(lines, "arg3"), inputs);
    EXPECT_EQ(WtValue(lines, "inputs_size"), "5");
    EXPECT_EQ(WtValue(lines, "pid"), std::to_string(ulPid));
    EXPECT_EQ(GetProcessId(hProc), ulPid);
    HWND hwndConsole = WtHwnd(WtValue(lines, "console"));
    EXPECT_NE(hwndConsole, nullptr);
    EXPECT_NE(hwndConsole, GetConsoleWindow());

    EXPECT_TRUE(PlatWaitProgram(hProc, 30000));
    PlatCloseProgram(hProc);
}

TEST_F(PlatPrograms, MissingProgramGivesTheSystemsCode)
{
    char acCmd[] = "Z:\\zelm\\no\\such\\program.exe \"x\"";
    HANDLE hProc = (HANDLE)&hProc;
    ULONG ulPid = 12345;

    EXPECT_EQ(PlatStartProgram(acCmd, acCmd, (PSZ) "x", &hProc, &ulPid), (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(hProc, (HANDLE)&hProc);
    EXPECT_EQ(ulPid, 12345u);
}

TEST_F(PlatPrograms, KillMakesTheProgramExitWithCodeZeroSeenThroughADuplicate)
{
    std::string report = TsJoin(sDir, "probe.txt");
    std::string cmd = WtProgram("zxcprobe") + " --forever --exit 9 --record " + report + " x";
    std::vector<std::string> lines;
    HANDLE hProc = NULL;
    HANDLE hDup = NULL;
    ULONG ulPid = 0;
    DWORD dwCode = 1234;

    ASSERT_EQ(PlatStartProgram((PSZ)cmd.c_str(), (PSZ)cmd.c_str(), (PSZ) "x", &hProc, &ulPid), 0);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    ASSERT_EQ(PlatDuplicateProgram(hProc, &hDup), 0);
    EXPECT_NE(hDup, hProc);
    EXPECT_FALSE(PlatWaitProgram(hProc, 50));

    /* The duplicate lives on its own. */
    EXPECT_EQ(PlatKillProgram(hProc), 0);
    PlatCloseProgram(hProc);
    EXPECT_TRUE(PlatWaitProgram(hDup, 30000));
    EXPECT_TRUE(GetExitCodeProcess(hDup, &dwCode));
    EXPECT_EQ(dwCode, 0u);

    /* Once it has ended, a forced exit is harmless: its exit code stays. */
    PlatKillProgram(hDup);
    EXPECT_TRUE(GetExitCodeProcess(hDup, &dwCode));
    EXPECT_EQ(dwCode, 0u);
    PlatCloseProgram(hDup);
    EXPECT_TRUE(TsWaitProcessGone(ulPid, 10000));
}

TEST_F(PlatPrograms, FileHeldByAnEndingProgramIsRemovedOnceItHasExited)
{
    std::string report = TsJoin(sDir, "probe.txt");
    std::string inputs = TsJoin(sDir, "held.dat");
    std::string cmd = WtProgram("zxcprobe") + " --hold-inputs --forever --record " + report + " " +
                      WtQuote(inputs);
    std::vector<std::string> lines;
    HANDLE hProc = NULL;
    ULONG ulPid = 0;

    ASSERT_TRUE(TsWriteFile(inputs, "held"));
    ASSERT_EQ(PlatStartProgram((PSZ)cmd.c_str(), (PSZ)cmd.c_str(), (PSZ)inputs.c_str(), &hProc,
                               &ulPid),
              0);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));

    /* Without an ending program nothing is waited for. */
    EXPECT_NE(PlatRemoveFile((PSZ)inputs.c_str(), NULL), 0);
    EXPECT_TRUE(TsFileExists(inputs));

    EXPECT_EQ(PlatKillProgram(hProc), 0);
    EXPECT_EQ(PlatRemoveFile((PSZ)inputs.c_str(), hProc), 0);
    EXPECT_FALSE(TsFileExists(inputs));
    /* A file that is not there is no file to wait for. */
    EXPECT_NE(PlatRemoveFile((PSZ)inputs.c_str(), hProc), 0);
    EXPECT_TRUE(PlatWaitProgram(hProc, 30000));
    PlatCloseProgram(hProc);
}

/* ---- Directories, drives and files ------------------------------------------------- */

class PlatFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        sCwd = TsGetCwd();
        sDir = TsMakeTempDir("zelmplat");
    }
    void TearDown() override
    {
        TsChangeDir(sCwd);
        TsSetTempDir(NULL);
        TsRemoveTree(sDir);
    }
    std::string sDir;
    std::string sCwd;
};

TEST_F(PlatFiles, TempNamesAreAbsoluteNewAndInTheTemporaryDirectory)
{
    char acName1[261];
    char acName2[261];
    char acName3[261];

    TsSetTempDir(sDir.c_str());
    ASSERT_EQ(PlatTempName(acName1), acName1);
    ASSERT_EQ(PlatTempName(acName2), acName2);
    EXPECT_STRNE(acName1, acName2);
    for (const char *pszName : {acName1, acName2}) {
        std::string name(pszName);
        EXPECT_EQ(name.compare(0, sDir.size() + 1, sDir + "\\"), 0) << name;
        EXPECT_EQ(name.find('\\', sDir.size() + 1), std::string::npos) << name;
        EXPECT_FALSE(TsFileExists(name)) << name;
    }

    /* A name that a file has meanwhile is not handed out: the names of
     * this process differ in a running count, so the next one is taken. */
    std::string first(acName1);
    std::string second(acName2);
    size_t ulCount = second.rfind('_');
    ASSERT_NE(ulCount, std::string::npos);
    unsigned long ulNext = strtoul(second.c_str() + ulCount + 1, NULL, 16) + 1;
    char acNext[32];
    snprintf(acNext, sizeof(acNext), "_%lx.tmp", ulNext);
    std::string taken = second.substr(0, ulCount) + acNext;
    ASSERT_TRUE(TsWriteFile(taken, "mine"));
    ASSERT_EQ(PlatTempName(acName3), acName3);
    EXPECT_NE(std::string(acName3), taken);
    EXPECT_FALSE(TsFileExists(acName3));
}

TEST_F(PlatFiles, TempNameFailsRatherThanOverflowWhenTheDirectoryNameIsTooLong)
{
    /* No name fits into 260 characters after a directory of 255. */
    struct {
        char acName[261];
        char acGuard[64];
    } out;
    std::string longDir = sDir + "\\" + std::string(255 - sDir.size() - 1, 'd');

    memset(&out, 'G', sizeof(out));
    TsSetTempDir(longDir.c_str());
    EXPECT_EQ(PlatTempName(out.acName), nullptr);
    EXPECT_EQ(std::string(out.acGuard, sizeof(out.acGuard)), std::string(sizeof(out.acGuard), 'G'));
}

TEST_F(PlatFiles, NewFileIsCreatedForBinaryReadWriteAndAnExistingOneIsLeftAlone)
{
    std::string name = TsJoin(sDir, "new.dat");
    std::string content;
    char acBack[8] = "";

    FILE *pFile = PlatCreateNewFile((PSZ)name.c_str());
    ASSERT_NE(pFile, nullptr);
    EXPECT_EQ(fwrite("a\nb\x1a", 1, 4, pFile), 4u);
    EXPECT_EQ(fseek(pFile, 0, SEEK_SET), 0);
    EXPECT_EQ(fread(acBack, 1, 4, pFile), 4u);
    EXPECT_EQ(std::string(acBack, 4), std::string("a\nb\x1a"));
    EXPECT_EQ(fclose(pFile), 0);
    ASSERT_TRUE(TsReadFile(name, &content));
    EXPECT_EQ(content, std::string("a\nb\x1a"));

    EXPECT_EQ(PlatCreateNewFile((PSZ)name.c_str()), nullptr);
    ASSERT_TRUE(TsReadFile(name, &content));
    EXPECT_EQ(content, std::string("a\nb\x1a"));
}

TEST_F(PlatFiles, PathsAreMadeAbsoluteWithinTheLimit)
{
    char acOut[MAX_PATH + 1];

    ASSERT_TRUE(TsChangeDir(sDir));
    ASSERT_EQ(PlatFullPath(acOut, (PSZ) "a\\..\\b\\.\\c", sizeof(acOut)), acOut);
    EXPECT_EQ(std::string(acOut), TsJoin(TsJoin(sDir, "b"), "c"));

    /* The result with its terminator must fit. */
    std::string full = TsJoin(sDir, "xy");
    EXPECT_EQ(PlatFullPath(acOut, (PSZ) "xy", (ULONG)full.size() + 1), acOut);
    EXPECT_EQ(PlatFullPath(acOut, (PSZ) "xy", (ULONG)full.size()), nullptr);

    EXPECT_EQ(PlatGetCwd(acOut, (ULONG)sDir.size() + 1), acOut);
    EXPECT_EQ(std::string(acOut), sDir);
    EXPECT_EQ(PlatGetCwd(acOut, (ULONG)sDir.size()), nullptr);
}

TEST_F(PlatFiles, DrivesAndDirectoriesChange)
{
    std::string onZ = WtBinDir();
    int nStart = PlatGetDrive();

    ASSERT_EQ(PlatChangeDir((PSZ)sDir.c_str()), 0);
    EXPECT_EQ(PlatGetDrive(), toupper((unsigned char)sDir[0]) - 'A' + 1);
    ASSERT_EQ(PlatChangeDrive(26), 0);
    EXPECT_EQ(PlatGetDrive(), 26);
    EXPECT_EQ(PlatChangeDir((PSZ)onZ.c_str()), 0);
    EXPECT_EQ(_stricmp(TsGetCwd().c_str(), onZ.c_str()), 0);
    EXPECT_NE(PlatChangeDir((PSZ)TsJoin(sDir, "missing").c_str()), 0);
    /* Q: is no drive here. */
    ASSERT_EQ(GetLogicalDrives() & (1u << ('Q' - 'A')), 0u);
    EXPECT_NE(PlatChangeDrive('Q' - 'A' + 1), 0);
    EXPECT_EQ(PlatChangeDrive(nStart), 0);
}

/* ---- Windows ---------------------------------------------------------------------------- */

struct EnumRec {
    ULONG ulParam;
    std::vector<HWND> seen;
    size_t ulStopAfter;
};

EnumRec *pEnumRec = NULL;

BOOL PLATWINDOWAPI CollectOwn(HWND hwnd, ULONG processId)
{
    ULONG ulPid = 0;

    EXPECT_EQ(processId, pEnumRec->ulParam);
    if (PlatGetWindowProcessId(hwnd, &ulPid) && ulPid == GetCurrentProcessId()) {
        pEnumRec->seen.push_back(hwnd);
    }
    return pEnumRec->seen.size() < pEnumRec->ulStopAfter;
}

TEST(PlatWindows, EnumerationGoesTopmostFirstAndStopsWhenAsked)
{
    HWND hwndLower = WtCreateHostWindow("lower");
    HWND hwndUpper = WtCreateHostWindow("upper");
    EnumRec rec = {0x1234567, {}, 1000};

    ASSERT_NE(hwndLower, nullptr);
    ASSERT_NE(hwndUpper, nullptr);
    pEnumRec = &rec;
    PlatEnumWindows(CollectOwn, rec.ulParam);
    auto itUpper = std::find(rec.seen.begin(), rec.seen.end(), hwndUpper);
    auto itLower = std::find(rec.seen.begin(), rec.seen.end(), hwndLower);
    ASSERT_NE(itUpper, rec.seen.end());
    ASSERT_NE(itLower, rec.seen.end());
    EXPECT_LT(itUpper - rec.seen.begin(), itLower - rec.seen.begin());

    rec.seen.clear();
    rec.ulStopAfter = 1;
    PlatEnumWindows(CollectOwn, rec.ulParam);
    EXPECT_EQ(rec.seen.size(), 1u);
    pEnumRec = NULL;
    DestroyWindow(hwndUpper);
    DestroyWindow(hwndLower);
}

TEST(PlatWindows, WindowFactsAndMessages)
{
    HWND hwnd = WtCreateHostWindow("facts");
    ULONG ulPid = 0;
    MSG msg;

    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(PlatGetWindowProcessId(hwnd, &ulPid));
    EXPECT_EQ(ulPid, GetCurrentProcessId());
    EXPECT_TRUE(PlatIsWindowVisible(hwnd));
    ShowWindow(hwnd, SW_HIDE);
    EXPECT_FALSE(PlatIsWindowVisible(hwnd));

    /* Queued with both parameters 0, not sent. */
    PlatPostMessage(hwnd, WM_APP + 3);
    ASSERT_TRUE(WtWaitMessage(hwnd, WM_APP + 3, 5000, &msg));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_EQ(msg.lParam, 0);

    /* The close request has been handled when the call returns: the
     * default handling destroyed the window. */
    PlatCloseWindow(hwnd);
    EXPECT_FALSE(IsWindow(hwnd));
    ulPid = 4321;
    EXPECT_FALSE(PlatGetWindowProcessId(hwnd, &ulPid));
}

TEST_F(PlatPrograms, CloseRequestToAProgramThatHangsComesBack)
{
    std::string report = TsJoin(sDir, "win.txt");
    std::string log = TsJoin(sDir, "close.log");
    std::string cmd = WtProgram("zxcwin") + " --on-close hang --log " + log + " --record " + report +
                      " x";
    std::vector<std::string> lines;
    HANDLE hProc = NULL;
    ULONG ulPid = 0;

    ASSERT_EQ(PlatStartProgram((PSZ)cmd.c_str(), (PSZ)cmd.c_str(), (PSZ) "x", &hProc, &ulPid), 0);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    HWND hwnd = WtHwnd(WtField(WtLinesStarting(lines, "window=").at(0), "window"));

    PlatCloseWindow(hwnd);
    EXPECT_TRUE(TsFileExists(log));
    EXPECT_EQ(PlatKillProgram(hProc), 0);
    EXPECT_TRUE(PlatWaitProgram(hProc, 30000));
    PlatCloseProgram(hProc);
}

} // namespace
