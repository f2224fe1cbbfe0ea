/*
 * session_test.cpp - class sessions on Windows, end to end: ZELMXCC.dll
 * with the reference host DLLs, real class programs (zxcprobe, zxcwin),
 * real windows, a real message loop and real files.
 */
#include <direct.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "wintest.h"
#include "zelmref.h"
#include "zelmxcc.h"

namespace {

const ULONG ulClassId = 4711;
const UINT ulNotifyMsg = WM_APP + 17;
const unsigned long ulReportWait = 30000; /* a program's report appears within this, ms */

class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        sDir = TsMakeTempDir("zelmwin");
        sTemp = TsJoin(sDir, "temp");
        ASSERT_TRUE(TsMakeDir(sTemp));
        /* The inputs files are made in the temporary directory. */
        TsSetTempDir(sTemp.c_str());
        sCwd = TsGetCwd();
        ulBlocks = ZelmEnvBlocksInUse();
    }

    void TearDown() override
    {
        for (HANDLE hProc : ahStray) {
            TerminateProcess(hProc, 99);
            WaitForSingleObject(hProc, 10000);
            CloseHandle(hProc);
        }
        for (SIMWSOBJ hObj : ahObjs) {
            ZelmWsDestroyObj(hObj);
        }
        TsChangeDir(sCwd);
        TsSetTempDir(NULL);
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBlocks) << "memory blocks left in use";
        TsRemoveTree(sDir);
    }

    /* An external object whose data bytes become the inputs file. */
    SIMWSOBJ DataObject(const std::string &data)
    {
        SIMWSOBJ hObj = ZelmWsCreateObj(SIMWS_TYPE_EXTERNAL, FALSE);
        EXPECT_NE(hObj, nullptr);
        EXPECT_EQ(ZelmWsSetData(hObj, data.data(), (ULONG)data.size()), 0u);
        ahObjs.push_back(hObj);
        return hObj;
    }

    std::string Path(const char *pszName)
    {
        return TsJoin(sDir, pszName);
    }

    /* Start a program outside the library (a bystander); ended at tear-down. */
    void StartStray(const std::string &cmd)
    {
        STARTUPINFOA si;
        PROCESS_INFORMATION pi;
        std::vector<char> line(cmd.begin(), cmd.end());

        line.push_back('\0');
        memset(&si, 0, sizeof(si));
        si.cb = sizeof(si);
        ASSERT_TRUE(CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
        CloseHandle(pi.hThread);
        ahStray.push_back(pi.hProcess);
    }

    std::string sDir;
    std::string sTemp;
    std::string sCwd;
    ULONG ulBlocks = 0;
    std::vector<SIMWSOBJ> ahObjs;
    std::vector<HANDLE> ahStray;
};

/* ---- Start: command line, inputs file, temporary files --------------------------- */

TEST_F(Session, InputsFileIsWrittenPassedQuotedAndDeletedAtTheEnd)
{
    /* Bytes that a text-mode write would change. */
    const std::string data("line one\r\nline two\n\0\x1a\xff end", 24);
    std::string report = Path("probe.txt");
    std::string program = WtProgram("zxcprobe") + " --record " + report;
    std::vector<std::string> lines;
    PVOID hClass = NULL;

    ASSERT_EQ(SimOpsStartClass(NULL, 0, DataObject(data), ulClassId, (PSZ)program.c_str(), NULL,
                               NULL, NULL, &hClass),
              ZELMXCC_OK);
    ASSERT_NE(hClass, nullptr);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));

    /* One argument after the program's own: an absolute name in the
     * temporary directory, quoted on the command line. */
    std::string inputs = WtValue(lines, "arg3");
    EXPECT_EQ(WtValue(lines, "argc"), "4");
    EXPECT_EQ(WtValue(lines, "arg2"), report);
    ASSERT_EQ(inputs.compare(0, sTemp.size() + 1, sTemp + "\\"), 0) << inputs;
    EXPECT_LE(inputs.size(), 260u);
    EXPECT_EQ(WtValue(lines, "cmdline"), program + " " + WtQuote(inputs));

    /* The file holds the object's bytes exactly, and stays while the
     * session lasts. */
    std::string copy;
    ASSERT_TRUE(TsReadFile(report + ".inputs", &copy));
    EXPECT_EQ(copy, data);
    EXPECT_TRUE(TsFileExists(inputs));

    EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);
    EXPECT_FALSE(TsFileExists(inputs));
    EXPECT_TRUE(TsListDir(sTemp).empty());
}

TEST_F(Session, InputsFileHeldOpenByTheProgramIsDeletedOnceTheProgramHasExited)
{
    std::string report = Path("probe.txt");
    std::string program = WtProgram("zxcprobe") + " --hold-inputs --forever --record " + report;
    std::vector<std::string> lines;
    PVOID hClass = NULL;

    ASSERT_EQ(SimOpsStartClass(NULL, 0, DataObject("held"), ulClassId, (PSZ)program.c_str(), NULL,
                               NULL, NULL, &hClass),
              ZELMXCC_OK);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    std::string inputs = WtValue(lines, "arg5");
    ASSERT_TRUE(TsFileExists(inputs)) << inputs;
    /* While the program runs, the file cannot go. */
    EXPECT_FALSE(DeleteFileA(inputs.c_str()));

    TsCaptureStderrBegin();
    ULONG ulRC = SimOpsEndClass(hClass);
    std::string errors = TsCaptureStderrEnd();
    EXPECT_EQ(ulRC, ZELMXCC_OK);
    EXPECT_EQ(errors, "");
    EXPECT_FALSE(TsFileExists(inputs));
}

TEST_F(Session, QuotedProgramPathWithBlanksAndItsArgumentsArePassedOn)
{
    std::string spaced = TsJoin(sDir, "class programs");
    std::string copy = TsJoin(spaced, "zxcprobe.exe");
    std::string report = Path("probe.txt");
    std::string program = WtQuote(copy) + " --exit 0 --record " + WtQuote(report);
    std::vector<std::string> lines;
    PVOID hClass = NULL;

    ASSERT_TRUE(TsMakeDir(spaced));
    ASSERT_TRUE(CopyFileA(WtProgram("zxcprobe").c_str(), copy.c_str(), TRUE));
    ASSERT_EQ(SimOpsStartClass(NULL, 0, DataObject("x"), ulClassId, (PSZ)program.c_str(), NULL,
                               NULL, NULL, &hClass),
              ZELMXCC_OK);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    EXPECT_EQ(WtValue(lines, "argc"), "6");
    EXPECT_EQ(WtValue(lines, "arg4"), report);
    EXPECT_EQ(WtValue(lines, "cmdline").compare(0, program.size() + 1, program + " "), 0);
    EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);
}

TEST_F(Session, MissingProgramFailsWithTheSystemsCodeAndLeavesNothing)
{
    const char *apszPrograms[] = {
        "Z:\\no\\such\\directory\\zelm-missing.exe",
        "zelm-missing-program-on-no-path.exe --record x",
    };

    for (const char *pszProgram : apszPrograms) {
        SCOPED_TRACE(pszProgram);
        PVOID hClass = (PVOID)&hClass;
        TsCaptureStderrBegin();
        ULONG ulRC = SimOpsStartClass(NULL, 0, DataObject("inputs"), ulClassId, (PSZ)pszProgram,
                                      NULL, NULL, NULL, &hClass);
        std::vector<std::string> errors = TsLines(TsCaptureStderrEnd());
        EXPECT_EQ(ulRC, ZELMXCC_RC_START_ERROR);
        EXPECT_EQ(hClass, nullptr);
        EXPECT_NE(std::find(errors.begin(), errors.end(), "Error in start session: rc=2"),
                  errors.end())
            << ::testing::PrintToString(errors);
        /* The inputs file written for it is gone again. */
        EXPECT_TRUE(TsListDir(sTemp).empty());
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBlocks);
    }
}

/* ---- Working directory and drive ------------------------------------------------- */

TEST_F(Session, WorkingDirectoryOnAnotherDriveIsUsedAndTheHostsIsRestored)
{
    /* The build lies on Z: (Wine maps the Unix root there), the temporary
     * directory on C:. The drive letter is given in lower case. */
    std::string onC = TsJoin(sDir, "work");
    std::string onZ = WtBinDir();
    ASSERT_TRUE(TsMakeDir(onC));
    ASSERT_EQ(toupper((unsigned char)onC[0]), 'C') << onC;
    ASSERT_EQ(toupper((unsigned char)onZ[0]), 'Z') << onZ;

    struct DirCase {
        std::string hostDir;
        std::string workingDir;
        int nDrive;
    };
    std::vector<DirCase> aCases = {
        {onZ, "c" + onC.substr(1), 3},
        {onC, "z" + onZ.substr(1), 26},
        {onC, "C" + onC.substr(1), 3},
    };

    int nCase = 0;
    for (const DirCase &c : aCases) {
        SCOPED_TRACE(c.workingDir);
        std::string report = Path(("dir" + std::to_string(++nCase) + ".txt").c_str());
        std::string program = WtProgram("zxcprobe") + " --record " + report;
        std::vector<std::string> lines;
        PVOID hClass = NULL;

        ASSERT_TRUE(TsChangeDir(c.hostDir));
        std::string hostCwd = TsGetCwd();
        int nHostDrive = _getdrive();

        ASSERT_EQ(SimOpsStartClass(NULL, 0, DataObject("d"), ulClassId, (PSZ)program.c_str(),
                                   (PSZ)c.workingDir.c_str(), NULL, NULL, &hClass),
                  ZELMXCC_OK);
        EXPECT_EQ(TsGetCwd(), hostCwd);
        EXPECT_EQ(_getdrive(), nHostDrive);

        ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
        EXPECT_EQ(_stricmp(WtValue(lines, "cwd").c_str(), c.workingDir.c_str()), 0)
            << WtValue(lines, "cwd");
        EXPECT_EQ(WtValue(lines, "drive"), std::to_string(c.nDrive));
        EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);
    }
}

/* ---- Notification ------------------------------------------------------------------ */

TEST_F(Session, ProgramThatEndsPostsTheMessageWithZeroParameters)
{
    HWND hwndHost = WtCreateHostWindow("zelm host");
    std::string program = WtProgram("zxcprobe") + " --exit 3";
    PVOID hClass = NULL;
    MSG msg;

    ASSERT_NE(hwndHost, nullptr);
    ASSERT_EQ(SimOpsStartClass(hwndHost, ulNotifyMsg, DataObject("n"), ulClassId,
                               (PSZ)program.c_str(), NULL, NULL, NULL, &hClass),
              ZELMXCC_OK);
    ASSERT_TRUE(WtWaitMessage(hwndHost, ulNotifyMsg, 30000, &msg));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_EQ(msg.lParam, 0);
    EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);
    DestroyWindow(hwndHost);
}

TEST_F(Session, ProgramEndedByTheHostPostsNothing)
{
    HWND hwndHost = WtCreateHostWindow("zelm host");
    std::string report = Path("win.txt");
    std::string program = WtProgram("zxcwin") + " --on-close exit --record " + report;
    std::vector<std::string> lines;
    PVOID hClass = NULL;
    MSG msg;

    ASSERT_EQ(SimOpsStartClass(hwndHost, ulNotifyMsg, DataObject("n"), ulClassId,
                               (PSZ)program.c_str(), NULL, NULL, NULL, &hClass),
              ZELMXCC_OK);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    HANDLE hProc = WtOpenProcess(strtoul(WtValue(lines, "pid").c_str(), NULL, 10));
    ASSERT_NE(hProc, nullptr);

    EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);
    EXPECT_NE(WtWaitExit(hProc, 30000), -1);
    EXPECT_FALSE(WtWaitMessage(hwndHost, ulNotifyMsg, 500, &msg));
    CloseHandle(hProc);
    DestroyWindow(hwndHost);
}

/* ---- Activation ------------------------------------------------------------------------ */

TEST_F(Session, SetClassMakesTheProgramsFirstWindowTheForegroundWindow)
{
    /* Windows made later lie above: the last one made is the first. */
    struct FrontCase {
        const char *pszWindows;
        const char *pszWhat;
    };
    const FrontCase aCases[] = {
        {"hv", "visible first window"},
        {"vh", "hidden first window"},
        {"vvv", "first of three visible windows"},
    };
    HWND hwndHost = WtCreateHostWindow("zelm host");

    int nCase = 0;
    for (const FrontCase &c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        std::string report = Path(("front" + std::to_string(++nCase) + ".txt").c_str());
        std::string program = WtProgram("zxcwin") + " --on-close ignore --windows " + c.pszWindows +
                              " --record " + report;
        std::vector<std::string> lines;
        PVOID hClass = NULL;

        ASSERT_EQ(SimOpsStartClass(NULL, 0, DataObject("f"), ulClassId, (PSZ)program.c_str(), NULL,
                                   NULL, NULL, &hClass),
                  ZELMXCC_OK);
        ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
        std::vector<std::string> windows = WtLinesStarting(lines, "window=");
        ASSERT_EQ(windows.size(), strlen(c.pszWindows));
        HWND hwndFirst = WtHwnd(WtField(windows.back(), "window"));

        /* The host has the foreground; the activation takes it over. The
         * window of another thread becomes active once that thread has
         * taken the change, so the foreground window is awaited. */
        SetForegroundWindow(hwndHost);
        ASSERT_TRUE(WtWaitForeground(hwndHost, 10000));
        EXPECT_EQ(SimOpsSetClass(hClass), ZELMXCC_OK);
        EXPECT_TRUE(WtWaitForeground(hwndFirst, 10000)) << "foreground: " << GetForegroundWindow();

        EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);
    }
    DestroyWindow(hwndHost);
}

/* ---- End ------------------------------------------------------------------------------ */

TEST_F(Session, EndClosesEachVisibleWindowOfTheProgramInTurnThenForcesExitCodeZero)
{
    HWND hwndHost = WtCreateHostWindow("zelm host");
    std::string strayLog = Path("stray.log");
    std::string strayReport = Path("stray.txt");
    std::string log = Path("close.log");
    std::string report = Path("win.txt");
    /* The program takes its time over each request: a sender that did not
     * wait for it would be done before the program had seen them all. */
    std::string program = WtProgram("zxcwin") +
                          " --windows vhvv --on-close ignore --close-delay 300 --exit 7 --log " +
                          log + " --record " + report;
    std::vector<std::string> lines;
    std::vector<std::string> strayLines;
    PVOID hClass = NULL;

    /* Windows of another program that must be left alone. */
    StartStray(WtProgram("zxcwin") + " --windows vv --on-close ignore --log " + strayLog +
               " --record " + strayReport + " x");
    ASSERT_TRUE(WtReadReport(strayReport, ulReportWait, &strayLines));

    ASSERT_EQ(SimOpsStartClass(hwndHost, ulNotifyMsg, DataObject("e"), ulClassId,
                               (PSZ)program.c_str(), NULL, NULL, NULL, &hClass),
              ZELMXCC_OK);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    std::vector<std::string> windows = WtLinesStarting(lines, "window=");
    ASSERT_EQ(windows.size(), 4u);
    HANDLE hProc = WtOpenProcess(strtoul(WtValue(lines, "pid").c_str(), NULL, 10));
    ASSERT_NE(hProc, nullptr);

    EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);

    /* Every request was taken before the end call returned: the visible
     * windows, topmost first, at least 100 ms apart. */
    std::string text;
    ASSERT_TRUE(TsReadFile(log, &text));
    std::vector<std::string> closes = TsLines(text);
    ASSERT_EQ(closes.size(), 3u) << text;
    const char *apszExpected[] = {"win4", "win3", "win1"};
    for (size_t i = 0; i < closes.size(); i++) {
        EXPECT_EQ(WtField(closes[i], "name"), apszExpected[i]) << closes[i];
        if (i > 0) {
            unsigned long long ullGap = std::stoull(WtField(closes[i], "us")) -
                                        std::stoull(WtField(closes[i - 1], "us"));
            EXPECT_GE(ullGap, 99000u) << "between " << closes[i - 1] << " and " << closes[i];
        }
    }

    /* The program ignored the requests: it was made to exit, with 0. */
    EXPECT_EQ(WtWaitExit(hProc, 30000), 0);
    CloseHandle(hProc);

    /* Nothing else was asked to close. */
    EXPECT_FALSE(TsFileExists(strayLog));
    EXPECT_TRUE(IsWindow(hwndHost));
    DestroyWindow(hwndHost);
}

TEST_F(Session, ProgramThatStopsTakingMessagesDoesNotHoldTheEndCall)
{
    std::string log = Path("close.log");
    std::string report = Path("win.txt");
    std::string program = WtProgram("zxcwin") + " --windows vv --on-close hang --log " + log +
                          " --record " + report;
    std::vector<std::string> lines;
    PVOID hClass = NULL;

    ASSERT_EQ(SimOpsStartClass(NULL, 0, DataObject("h"), ulClassId, (PSZ)program.c_str(), NULL,
                               NULL, NULL, &hClass),
              ZELMXCC_OK);
    ASSERT_TRUE(WtReadReport(report, ulReportWait, &lines));
    HANDLE hProc = WtOpenProcess(strtoul(WtValue(lines, "pid").c_str(), NULL, 10));
    ASSERT_NE(hProc, nullptr);

    /* The first request hangs the program; the end call goes on after a
     * few seconds, and the program is made to exit all the same. */
    EXPECT_EQ(SimOpsEndClass(hClass), ZELMXCC_OK);
    EXPECT_EQ(WtWaitExit(hProc, 30000), 0);
    std::string text;
    ASSERT_TRUE(TsReadFile(log, &text));
    EXPECT_EQ(TsLines(text).size(), 1u) << text;
    CloseHandle(hProc);
}

} // namespace
