/*
 * end_test.cpp - ending and activating class sessions: running programs are
 * stopped, programs that ended by themselves are collected, the library's
 * inputs file goes, the handle is freed, and the texts and codes are the
 * system's.
 */
#include "zxctest.h"

#include <thread>

typedef ClassTest EndTest;

TEST_F(EndTest, NullHandleDoesNothingAndPrintsNothing)
{
    SIMWSOBJ hObj = MakeBytesObject("x");
    PVOID hSession = NULL;

    /* right after a call that printed a text */
    CallResult r = Start(hObj, "zelmxcc-no-such-program", NULL, &hSession);
    EXPECT_EQ(r.lines, Lines({"Error in start session: rc=2"}));
    r = End(NULL);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    r = Set(NULL);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
}

TEST_F(EndTest, ProgramThatEndedByItselfIsCollectedAndItsFileDeletedAtTheEnd)
{
    ProbeReport report;
    PVOID hSession = StartRunning("ends", &report, NULL, 0, "--exit 3");
    /* Its monitor collects it: no zombie is left waiting for the end call. */
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
    EXPECT_TRUE(TsWaitChildren(nChildren0, ZXC_WAIT_MS));
    /* The file stays until the session is ended. */
    EXPECT_TRUE(TsFileExists(report.LastArg()));

    CallResult r = Set(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_FALSE(TsFileExists(report.LastArg()));
}

TEST_F(EndTest, RunningProgramIsStoppedAndCollected)
{
    ProbeReport report;
    PVOID hSession = StartRunning("running", &report, NULL, 0, "--forever --ignore-term");
    EXPECT_EQ(Set(hSession).ulRC, 0u);
    CallResult r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_FALSE(TsFileExists(report.LastArg()));
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
}

/* An inputs file that is already gone at the end: the text, the session
 * freed all the same, and the code of the release. */
TEST_F(EndTest, InputsFileThatCannotBeDeletedIsReportedAndTheSessionFreed)
{
    ProbeReport report;
    PVOID hSession = StartRunning("running", &report);
    ASSERT_TRUE(TsRemoveTree(report.LastArg()));
    CallResult r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines({"Error in remove file"}));
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
}

/* The memory service refuses to release the record: its code is the end
 * call's result, with no text; the program is stopped all the same. */
TEST_F(EndTest, FailedReleaseOfTheRecordIsTheResult)
{
    ProbeReport report;
    PVOID hSession = StartRunning("running", &report);
    ZelmEnvFailFree(1, 66);
    CallResult r = End(hSession);
    ZelmEnvFailFree(0, 0);
    EXPECT_EQ(r.ulRC, 66u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_FALSE(TsFileExists(report.LastArg()));
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
}

/* Sessions ended in every position of the registry: each end stops only
 * its own program. */
TEST_F(EndTest, EndingSessionsInAnyOrderStopsOnlyTheirOwnPrograms)
{
    const int nSessions = 5;
    const int aiOrder[nSessions] = {2, 0, 4, 1, 3}; /* middle, head, tail, ... */
    PVOID ahSession[nSessions];
    ProbeReport aReport[nSessions];

    for (int i = 0; i < nSessions; i++) {
        ahSession[i] = StartRunning(("session" + std::to_string(i)).c_str(), &aReport[i]);
    }
    for (int n = 0; n < nSessions; n++) {
        int i = aiOrder[n];
        EXPECT_EQ(End(ahSession[i]).ulRC, 0u);
        EXPECT_TRUE(TsWaitProcessGone(aReport[i].Pid(), ZXC_WAIT_MS));
        for (int m = n + 1; m < nSessions; m++) {
            EXPECT_TRUE(TsProcessRunning(aReport[aiOrder[m]].Pid()))
                << "ending session " << i << " stopped session " << aiOrder[m];
        }
    }
}

/* Host threads start, activate and end sessions at once while programs end
 * by themselves under their monitors. */
TEST_F(EndTest, ManyHostThreadsAtOnceLeaveNothingBehind)
{
    const int nThreads = 4;
    const int nRounds = 6;
    std::vector<std::thread> threads;
    std::vector<ULONG> failures(nThreads, 0);
    std::string sProgram = std::string("\"") + ZXCPROBE_PATH + "\"";

    for (int t = 0; t < nThreads; t++) {
        threads.emplace_back([&, t]() {
            SIMWSOBJ hObj = ZelmWsCreateObj(0, FALSE);
            ZelmWsSetData(hObj, "threaded", 8);
            for (int i = 0; i < nRounds; i++) {
                PVOID hSession = NULL;
                const char *pszOptions = (i % 2) ? " --forever" : " --exit 0";
                std::string sPgm = sProgram + pszOptions;
                if (SimOpsStartClass(NULL, 0, hObj, 0, (PSZ)sPgm.c_str(), NULL, NULL, NULL,
                                     &hSession) != 0 ||
                    hSession == NULL) {
                    failures[t]++;
                    continue;
                }
                SimOpsSetClass(hSession);
                if (SimOpsEndClass(hSession) != 0) {
                    failures[t]++;
                }
            }
            ZelmWsDestroyObj(hObj);
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    for (int t = 0; t < nThreads; t++) {
        EXPECT_EQ(failures[t], 0u) << "thread " << t;
    }
}
