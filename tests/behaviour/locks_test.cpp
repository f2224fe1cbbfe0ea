/*
 * locks_test.cpp - the API lock seen from host threads: a call that cannot
 * get it within its wait returns 0 and does nothing, and a lock whose
 * holder ended is reported once and then free again.
 */
#include "zxctest.h"

#include <atomic>

typedef ClassTest LockTest;

/* A store that keeps the start call (and so the API lock) busy until the
 * test lets it go. */
struct BlockingStore {
    SIMWSOBJ hObj = NULL;
    std::atomic<bool> fEntered{false};
    std::atomic<bool> fRelease{false};
};

static void ZELMAPI BlockOnStore(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    BlockingStore *pBlock = (BlockingStore *)pUser;

    if (fStore && ulAttr == 3 && hObj == pBlock->hObj) {
        pBlock->fEntered = true;
        while (!pBlock->fRelease) {
            TsSleepMs(10);
        }
    }
}

struct StartArgs {
    SIMWSOBJ hObj;
    std::string sProgram;
    PVOID hSession = NULL;
    ULONG ulRC = 0;
};

static void StartInThread(void *pv)
{
    StartArgs *pArgs = (StartArgs *)pv;
    pArgs->ulRC = SimOpsStartClass(NULL, 0, pArgs->hObj, 0, (PSZ)pArgs->sProgram.c_str(), NULL,
                                   NULL, NULL, &pArgs->hSession);
}

/* An end call that waits 30 s in vain for the API lock returns 0, prints
 * nothing and leaves the session running and registered. */
TEST_F(LockTest, EndCallThatCannotGetTheLockReturnsZeroAndChangesNothing)
{
    ProbeReport report;
    BlockingStore block;
    StartArgs args;
    PVOID hSession = StartRunning("running", &report);

    block.hObj = MakeObject(7, FALSE);
    args.hObj = block.hObj;
    args.sProgram = std::string("\"") + ZXCPROBE_PATH + "\" --forever";
    ZelmWsSetHook(BlockOnStore, &block);
    void *hThread = TsStartThread(StartInThread, &args);
    while (!block.fEntered) {
        TsSleepMs(10);
    }

    unsigned long long ullStart = TsNowMs();
    CallResult r = End(hSession);
    unsigned long long ullWaited = TsNowMs() - ullStart;
    vSessions.push_back(hSession); /* still valid */
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_GE(ullWaited, 29000u) << "the call gave up before the lock's wait ran out";
    EXPECT_TRUE(TsProcessRunning(report.Pid()));
    EXPECT_TRUE(TsFileExists(report.LastArg()));

    block.fRelease = true;
    TsJoinThread(hThread);
    ZelmWsSetHook(NULL, NULL);
    EXPECT_EQ(args.ulRC, 0u);
    LastStoredFile();
    EXPECT_EQ(End(args.hSession).ulRC, 0u);

    r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
    EXPECT_FALSE(TsFileExists(report.LastArg()));
}

/* A store that ends the calling host thread in the middle of a start call:
 * the thread never releases the API lock. */
static void ZELMAPI ExitThreadOnStore(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    (void)pUser;
    (void)hObj;
    if (fStore && ulAttr == 3) {
        TsExitThread();
    }
}

TEST_F(LockTest, LockAbandonedByAnEndedThreadFailsOneCallAndIsFreeAgain)
{
    SIMWSOBJ hObj = MakeObject(7, FALSE);
    StartArgs args;
    PVOID hSession = (PVOID)&hSession;

    args.hObj = hObj;
    args.sProgram = std::string("\"") + ZXCPROBE_PATH + "\"";
    ZelmWsSetHook(ExitThreadOnStore, NULL);
    TsJoinThread(TsStartThread(StartInThread, &args));
    ZelmWsSetHook(NULL, NULL);
    ASSERT_NE(args.hSession, nullptr) << "the ended call had allocated its record";

    /* The next call finds the lock abandoned: it returns 0 at once, prints
     * nothing and does not write the handle variable. */
    CallResult r = Start(hObj, args.sProgram.c_str(), NULL, &hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_EQ(hSession, (PVOID)&hSession);

    /* The lock is free again: the abandoned record can be ended, and a new
     * session runs. */
    r = End(args.hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    hSession = NULL;
    r = Start(hObj, args.sProgram.c_str(), NULL, &hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_NE(hSession, nullptr);
    LastStoredFile();
    EXPECT_EQ(End(hSession).ulRC, 0u);
}
