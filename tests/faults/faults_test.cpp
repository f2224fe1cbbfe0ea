/*
 * faults_test.cpp - class sessions with failures that the system cannot
 * produce on demand, injected at the platform seam, and with the windows
 * and notifications of the seam in view.
 */
#include "zxctest.h"

#include "seam.h"

namespace {

class FaultTest : public ClassTest {
protected:
    void SetUp() override
    {
        SeamReset();
        ClassTest::SetUp();
    }
    void TearDown() override
    {
        ClassTest::TearDown();
        SeamReset();
        EXPECT_EQ(pFirstCCInfo, nullptr) << "sessions left in the registry";
    }
};

/* ---- Start: the monitor cannot be set up ------------------------------------ */

/* The monitor's thread cannot be started (no text of its own), or the
 * program cannot be watched at all (a failed start): either way the program
 * is stopped and collected, and the session is gone. */
TEST_F(FaultTest, ProgramThatCannotBeMonitoredIsStoppedAndCollected)
{
    struct Case {
        const char *pszWhat;
        LONG lDuplicateRC;
        LONG lStartThreadRC;
        Lines lines;
    } aCases[] = {{"thread", 0, 11, {}}, {"handle", 24, 0, {"Error in start session: rc=24"}}};

    for (const Case &c : aCases) {
        SIMWSOBJ hObj = MakeBytesObject("bytes");
        std::string sReport = NewReportPath();
        PVOID hSession = (PVOID)&hSession;

        g_seam.lDuplicateRC = c.lDuplicateRC;
        g_seam.lStartThreadRC = c.lStartThreadRC;
        CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), NULL, &hSession);
        g_seam.lDuplicateRC = 0;
        g_seam.lStartThreadRC = 0;
        EXPECT_EQ(r.ulRC, 7038u) << c.pszWhat;
        EXPECT_EQ(r.lines, c.lines) << c.pszWhat;
        EXPECT_EQ(hSession, nullptr);
        EXPECT_EQ(pFirstCCInfo, nullptr);
        EXPECT_TRUE(TsWaitChildren(nChildren0, ZXC_WAIT_MS)) << "the program was stopped and collected";
    }
}

/* The failure's text, then the removal's, then the restore's, each a line. */
TEST_F(FaultTest, FailedStartPrintsItsTextThenTheRemovalsThenTheRestores)
{
    SIMWSOBJ hObj = MakeBytesObject("bytes");
    PVOID hSession = (PVOID)&hSession;
    std::string sMissing = TsJoin(sWork, "no-such-program");

    g_seam.fDeleteInputsBeforeStart = true; /* the removal cannot delete it */
    g_seam.nChangeDirFailAt = 2;            /* the restore after the switch */
    CallResult r = Start(hObj, sMissing.c_str(), sWork.c_str(), &hSession);
    EXPECT_EQ(r.ulRC, 7027u);
    EXPECT_EQ(r.lines, Lines({"Error in start session: rc=2", "Error in remove file",
                              "Error in restore directory"}));
    EXPECT_EQ(hSession, nullptr);
}

/* A file or link planted under the temporary name is neither followed nor
 * truncated nor deleted. */
TEST_F(FaultTest, FilePlantedUnderTheTemporaryNameIsLeftAlone)
{
    std::string sVictim = TsJoin(sWork, "victim");
    std::string sLink = TsJoin(sTmp, "planted-link");
    std::string sFile = TsJoin(sTmp, "planted-file");
    std::vector<std::string> planted = {sFile};
    ASSERT_TRUE(TsWriteFile(sVictim, "precious"));
    ASSERT_TRUE(TsWriteFile(sFile, "planted"));
    if (TsMakeLink(sVictim, sLink)) {
        planted.push_back(sLink);
    }

    for (const std::string &sPlanted : planted) {
        SIMWSOBJ hObj = MakeBytesObject("attacker's bytes");
        PVOID hSession = (PVOID)&hSession;
        g_seam.sTempName = sPlanted;
        CallResult r = Start(hObj, ProbeProgram(ReportPath("report")).c_str(), NULL, &hSession);
        EXPECT_EQ(r.ulRC, 7027u);
        EXPECT_EQ(r.lines, Lines({"Error in open file"}));
        EXPECT_EQ(hSession, nullptr);
        EXPECT_TRUE(TsFileExists(sPlanted));
    }
    std::string content;
    EXPECT_TRUE(TsReadFile(sVictim, &content));
    EXPECT_EQ(content, "precious");
    EXPECT_TRUE(TsReadFile(sFile, &content));
    EXPECT_EQ(content, "planted");
    TsRemoveTree(sLink);
    TsRemoveTree(sFile);
}

/* ---- The monitor and its notification ---------------------------------------- */

TEST_F(FaultTest, ProgramThatEndsByItselfIsNotifiedOnceWithTheHostsMessage)
{
    struct Case {
        HWND hwnd;
        ULONG ulMsg;
        Lines posts;
    } aCases[] = {{(HWND)0x4711, 1234, {"post 18193 1234"}}, {NULL, 99, {}}};

    int nCase = 0;
    for (const Case &c : aCases) {
        ProbeReport report;
        SeamReset();
        std::string sName = "ends" + std::to_string(nCase++);
        PVOID hSession = StartRunning(sName.c_str(), &report, c.hwnd, c.ulMsg, "--exit 5");
        ASSERT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
        ASSERT_TRUE(TsWaitDescriptors(nDescriptors0, ZXC_WAIT_MS)) << "the monitor is done";
        Lines posts;
        for (const std::string &e : SeamEvents()) {
            if (e.compare(0, 5, "post ") == 0) {
                posts.push_back(e);
            }
        }
        EXPECT_EQ(posts, c.posts);
        /* The session is marked ended: neither activation nor the end call
         * looks for its windows or stops it. */
        SeamReset();
        EXPECT_EQ(Set(hSession).ulRC, 0u);
        EXPECT_EQ(End(hSession).ulRC, 0u);
        EXPECT_EQ(SeamEvents(), Lines());
    }
}

/* Sessions whose programs end one after the other, each kept until the
 * end: the handles of the later ones take the values of the earlier ones,
 * and each is still told with its own window and message. */
TEST_F(FaultTest, ProgramsEndingOneAfterAnotherAreEachNotifiedWithTheirOwnMessage)
{
    const int nSessions = 4;
    PVOID ahSession[nSessions];
    Lines expected;

    for (int i = 0; i < nSessions; i++) {
        ProbeReport report;
        std::string sName = "seq" + std::to_string(i);
        ahSession[i] = StartRunning(sName.c_str(), &report, (HWND)(uintptr_t)(i + 1), 100 + i,
                                    "--exit 0");
        ASSERT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
        ASSERT_TRUE(TsWaitDescriptors(nDescriptors0, ZXC_WAIT_MS)) << "the monitor is done";
        expected.push_back("post " + std::to_string(i + 1) + " " + std::to_string(100 + i));
    }
    Lines posts;
    for (const std::string &e : SeamEvents()) {
        if (e.compare(0, 5, "post ") == 0) {
            posts.push_back(e);
        }
    }
    EXPECT_EQ(posts, expected);
    for (int i = 0; i < nSessions; i++) {
        EXPECT_EQ(End(ahSession[i]).ulRC, 0u);
    }
}

/* A monitor that is refused the registry lock asks again: its session is
 * still marked ended and its host still told, once. */
TEST_F(FaultTest, MonitorRefusedTheRegistryLockStillMarksAndNotifies)
{
    ProbeReport report;
    PVOID hSession = StartRunning("refused", &report, (HWND)0x7, 77);

    {
        std::lock_guard<std::mutex> lock(g_seam.mtx);
        g_seam.hWaitFailLock = hmtxCCInfo;
        g_seam.lWaitRC = PLAT_WAIT_TIMEOUT;
        g_seam.nWaitFailLeft = 2;
    }
    ASSERT_TRUE(TsKillProcess(report.Pid()));
    ASSERT_TRUE(TsWaitDescriptors(nDescriptors0, ZXC_WAIT_MS)) << "the monitor is done";
    Lines posts;
    for (const std::string &e : SeamEvents()) {
        if (e.compare(0, 5, "post ") == 0) {
            posts.push_back(e);
        }
    }
    EXPECT_EQ(posts, Lines({"post 7 77"}));
    EXPECT_STREQ(cErrorMsg, "Error in request lock: rc=258");
    SeamReset();
    EXPECT_EQ(End(hSession).ulRC, 0u);
    EXPECT_EQ(SeamEvents(), Lines()) << "ended: no windows, no forced exit";
}

/* A session ended first gets no notification, and its monitor leaves the
 * next session alone even when that one's handles take the same values. */
TEST_F(FaultTest, MonitorOfARemovedSessionNeverTouchesAnotherSession)
{
    ProbeReport first;
    ProbeReport second;
    PVOID hFirst = StartRunning("first", &first, (HWND)0x1, 1);
    ASSERT_EQ(End(hFirst).ulRC, 0u);
    PVOID hSecond = StartRunning("second", &second, (HWND)0x2, 2);

    ASSERT_TRUE(TsWaitProcessGone(first.Pid(), ZXC_WAIT_MS));
    /* Only the second session's handles and its monitor's remain open. */
    ASSERT_TRUE(TsWaitDescriptors(nDescriptors0 + 2, ZXC_WAIT_MS));
    for (const std::string &e : SeamEvents()) {
        EXPECT_NE(e.compare(0, 5, "post "), 0) << e;
    }
    SeamReset();
    EXPECT_EQ(Set(hSecond).ulRC, 0u);
    EXPECT_EQ(SeamEvents(), Lines({"enum"})) << "the second session still counts as running";
    EXPECT_TRUE(TsProcessRunning(second.Pid()));
    SeamReset();
    EXPECT_EQ(End(hSecond).ulRC, 0u);
    ASSERT_TRUE(TsWaitProcessGone(second.Pid(), ZXC_WAIT_MS));
    ASSERT_TRUE(TsWaitDescriptors(nDescriptors0, ZXC_WAIT_MS));
    for (const std::string &e : SeamEvents()) {
        EXPECT_NE(e.compare(0, 5, "post "), 0) << e;
    }
}

/* ---- Ending and activating, with windows ---------------------------------- */

TEST_F(FaultTest, EndingClosesEachVisibleWindowOfTheProgramThenForcesItsExit)
{
    ProbeReport report;
    PVOID hSession = StartRunning("windows", &report);
    ULONG ulPid = report.Pid();

    g_seam.fFakeWindows = true;
    g_seam.windows = {{1, ulPid + 1, TRUE}, {2, ulPid, TRUE}, {3, ulPid, FALSE},
                      {4, ulPid + 1, TRUE}, {5, ulPid, TRUE}};
    CallResult r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(SeamEvents(),
              Lines({"enum", "close 2", "sleep 100", "close 5", "sleep 100", "kill"}));
    EXPECT_TRUE(TsWaitProcessGone(ulPid, ZXC_WAIT_MS));
}

TEST_F(FaultTest, ProgramWithoutAVisibleWindowIsForcedToExitAtOnce)
{
    ProbeReport report;
    PVOID hSession = StartRunning("hidden", &report);

    g_seam.fFakeWindows = true;
    g_seam.windows = {{7, report.Pid(), FALSE}, {8, report.Pid() + 1, TRUE}};
    EXPECT_EQ(End(hSession).ulRC, 0u);
    EXPECT_EQ(SeamEvents(), Lines({"enum", "kill"}));
}

/* The first window of the program in enumeration order comes to the front,
 * hidden or not, and no other. */
TEST_F(FaultTest, ActivationBringsTheProgramsFirstWindowToTheFront)
{
    ProbeReport report;
    PVOID hSession = StartRunning("activate", &report);
    ULONG ulPid = report.Pid();

    g_seam.fFakeWindows = true;
    g_seam.windows = {{1, ulPid + 1, TRUE}, {2, ulPid, FALSE}, {3, ulPid, TRUE}};
    EXPECT_EQ(Set(hSession).ulRC, 0u);
    EXPECT_EQ(SeamEvents(), Lines({"enum", "foreground 2"}));

    SeamReset();
    g_seam.fFakeWindows = true;
    g_seam.windows = {{1, ulPid + 1, TRUE}};
    EXPECT_EQ(Set(hSession).ulRC, 0u);
    EXPECT_EQ(SeamEvents(), Lines({"enum"}));
    EXPECT_EQ(End(hSession).ulRC, 0u);
}

/* ---- Ending: what may fail --------------------------------------------------- */

TEST_F(FaultTest, ForcedExitThatCannotBeMadeIsNotReportedAndTheSessionGoes)
{
    ProbeReport report;
    PVOID hSession = StartRunning("survivor", &report);

    g_seam.lKillRC = 5;
    CallResult r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_FALSE(TsFileExists(report.LastArg()));
    EXPECT_TRUE(TsProcessRunning(report.Pid())) << "nothing stopped it";
    TsKillProcess(report.Pid()); /* its monitor collects it */
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
}

/* The removal cannot get the registry lock: 0 and the lock's line; the
 * session stays as it was, and a later end call removes it. */
TEST_F(FaultTest, EndCallWithoutTheRegistryLockReportsItAndKeepsTheSession)
{
    ProbeReport report;
    PVOID hSession = StartRunning("kept", &report);

    g_seam.hWaitFailLock = hmtxCCInfo;
    g_seam.lWaitRC = PLAT_WAIT_TIMEOUT;
    CallResult r = End(hSession);
    g_seam.hWaitFailLock = NULL;
    vSessions.push_back(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines({"Error in request lock: rc=258"}));
    EXPECT_TRUE(TsProcessRunning(report.Pid()));
    EXPECT_EQ(pFirstCCInfo, (POPSCCINFO)hSession);

    r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
}

/* A failed release of the API lock is written after the call's print: that
 * call does not print it, and the next call discards it. */
TEST_F(FaultTest, FailedReleaseOfTheApiLockIsNotPrintedByItsCall)
{
    g_seam.hReleaseFailLock = hmtxCCAPI;
    g_seam.lReleaseRC = 1;
    CallResult r = End(NULL);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_STREQ(cErrorMsg, "Error in release lock: rc=1");
    r = Set(NULL);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_STREQ(cErrorMsg, "");
}

/* An exported call that cannot get the API lock does nothing, prints
 * nothing, and keeps the lock's text for nobody. */
TEST_F(FaultTest, CallsWithoutTheApiLockReturnZeroAndDoNothing)
{
    SIMWSOBJ hObj = MakeBytesObject("x");
    PVOID hSession = (PVOID)&hSession;
    ProbeReport report;
    PVOID hRunning = StartRunning("running", &report);

    g_seam.hWaitFailLock = hmtxCCAPI;
    g_seam.lWaitRC = PLAT_WAIT_FAILED;
    CallResult r = Start(hObj, ProbeProgram(ReportPath("report")).c_str(), NULL, &hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_EQ(hSession, (PVOID)&hSession);
    r = End(hRunning);
    vSessions.push_back(hRunning);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    r = Set(hRunning);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_STREQ(cErrorMsg, "Error in request lock: rc=-1");
    g_seam.hWaitFailLock = NULL;
    EXPECT_TRUE(TsProcessRunning(report.Pid()));
    EXPECT_FALSE(TsFileExists(ReportPath("report")));
}

} // namespace
