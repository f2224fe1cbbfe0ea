/*
 * registry_test.cpp - the session registry and the locks, seen from inside
 * the library: links after every kind of removal, the search, and lock
 * requests that are created, re-entered, contended, refused and abandoned.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string.h>
#include <thread>
#include <vector>

#include "seam.h"
#include "testsys.h"
#include "zelmref.h"

namespace {

class RegistryTest : public ::testing::Test {
protected:
    ULONG ulBlocks0 = 0;

    void SetUp() override
    {
        SeamReset();
        ASSERT_EQ(pFirstCCInfo, nullptr);
        ASSERT_EQ(pLastCCInfo, nullptr);
        ulBlocks0 = ZelmEnvBlocksInUse();
    }
    void TearDown() override
    {
        SeamReset();
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBlocks0);
    }

    /* A record as the start call makes it, before it has a program. */
    POPSCCINFO NewRecord(void)
    {
        POPSCCINFO p = NULL;
        RCSTRUCT rc;
        memset(&rc, 0, sizeof(rc));
        rc.ulStruct = sizeof(rc);
        EXPECT_EQ(SimOpsAllocMem(sizeof(OPSCCINFO), (PPVOID)&p, &rc), 0u);
        memset(p, 0, sizeof(*p));
        return p;
    }

    /* The registry, head to tail, checked link by link both ways. */
    std::vector<POPSCCINFO> Walk(void)
    {
        std::vector<POPSCCINFO> v;
        POPSCCINFO pPrior = NULL;
        for (POPSCCINFO p = pFirstCCInfo; p != NULL; p = (POPSCCINFO)p->pNext) {
            EXPECT_EQ(p->pPrior, pPrior);
            v.push_back(p);
            pPrior = p;
        }
        EXPECT_EQ(pLastCCInfo, pPrior);
        return v;
    }
};

TEST_F(RegistryTest, AddingToTheEmptyRegistryMakesHeadAndTail)
{
    POPSCCINFO p = NewRecord();
    AddCCInfo(p);
    EXPECT_EQ(pFirstCCInfo, p);
    EXPECT_EQ(pLastCCInfo, p);
    EXPECT_EQ(p->pNext, nullptr);
    EXPECT_EQ(p->pPrior, nullptr);
    EXPECT_EQ(RemoveCCInfo(p), 0u);
    EXPECT_EQ(pFirstCCInfo, nullptr);
    EXPECT_EQ(pLastCCInfo, nullptr);
}

/* Removing from every position leaves the others linked in their order. */
TEST_F(RegistryTest, RemovalFromAnyPositionKeepsTheOthersInOrder)
{
    const int aiCases[][4] = {
        {0, 1, 2, 3}, /* head first */
        {3, 2, 1, 0}, /* tail first */
        {1, 2, 0, 3}, /* middle first */
    };

    for (const auto &order : aiCases) {
        std::vector<POPSCCINFO> v;
        for (int i = 0; i < 4; i++) {
            v.push_back(NewRecord());
            AddCCInfo(v.back());
        }
        EXPECT_EQ(Walk(), v);
        for (int i : order) {
            POPSCCINFO p = v[i];
            std::vector<POPSCCINFO> expected;
            for (POPSCCINFO q : Walk()) {
                if (q != p) {
                    expected.push_back(q);
                }
            }
            EXPECT_EQ(RemoveCCInfo(p), 0u);
            EXPECT_EQ(Walk(), expected);
        }
        EXPECT_EQ(pFirstCCInfo, nullptr);
        EXPECT_EQ(pLastCCInfo, nullptr);
    }
}

TEST_F(RegistryTest, RemovingARecordThatWasNeverLinkedLeavesTheRegistryAsItWas)
{
    POPSCCINFO a = NewRecord();
    POPSCCINFO b = NewRecord();
    POPSCCINFO loose = NewRecord();
    AddCCInfo(a);
    AddCCInfo(b);
    EXPECT_EQ(RemoveCCInfo(loose), 0u);
    EXPECT_EQ(Walk(), std::vector<POPSCCINFO>({a, b}));
    RemoveCCInfo(a);
    RemoveCCInfo(b);
}

TEST_F(RegistryTest, SearchFindsOnlyALinkedRecordByItsMonitorHandle)
{
    POPSCCINFO a = NewRecord();
    POPSCCINFO b = NewRecord();
    a->hProcMonitor = (HANDLE)0x10;
    b->hProcMonitor = (HANDLE)0x20;

    EXPECT_EQ(SearchCCInfo((HANDLE)0x10), nullptr) << "empty registry";
    AddCCInfo(a);
    AddCCInfo(b);
    EXPECT_EQ(SearchCCInfo((HANDLE)0x20), b);
    EXPECT_EQ(SearchCCInfo((HANDLE)0x30), nullptr);
    int nWaits = g_seam.nWaitMutexCalls;
    EXPECT_EQ(SearchCCInfo(NULL), nullptr);
    EXPECT_EQ(g_seam.nWaitMutexCalls, nWaits) << "a null handle takes no lock";
    RemoveCCInfo(a);
    EXPECT_EQ(SearchCCInfo((HANDLE)0x10), nullptr) << "removed";
    RemoveCCInfo(b);
}

/* Without the registry lock the removal does nothing at all. */
TEST_F(RegistryTest, RemovalWithoutTheRegistryLockChangesNothing)
{
    POPSCCINFO a = NewRecord();
    AddCCInfo(a);
    g_seam.hWaitFailLock = hmtxCCInfo;
    g_seam.lWaitRC = PLAT_WAIT_TIMEOUT;
    EXPECT_EQ(RemoveCCInfo(a), 0u);
    EXPECT_STREQ(cErrorMsg, "Error in request lock: rc=258");
    g_seam.hWaitFailLock = NULL;
    EXPECT_EQ(Walk(), std::vector<POPSCCINFO>({a}));
    EXPECT_EQ(RemoveCCInfo(a), 0u);
}

/* ---- Locks ---------------------------------------------------------------- */

typedef RegistryTest LockUnitTest;

TEST_F(LockUnitTest, FirstRequestCreatesTheLockWithoutWaiting)
{
    static HANDLE hmtx = NULL; /* locks are never destroyed: keep it reachable */
    int nWaits = g_seam.nWaitMutexCalls;

    hmtx = NULL;
    ASSERT_TRUE(RequestLock(&hmtx));
    EXPECT_NE(hmtx, nullptr);
    EXPECT_EQ(g_seam.nWaitMutexCalls, nWaits);
    ASSERT_TRUE(RequestLock(&hmtx)) << "re-entrant";
    ReleaseLock(hmtx);
    ReleaseLock(hmtx);
}

/* Another thread gets the lock only once the holder has released it as
 * often as it took it. */
TEST_F(LockUnitTest, OtherThreadWaitsUntilEveryHoldIsReleased)
{
    static HANDLE hmtx = NULL;
    std::atomic<bool> fObtained{false};

    hmtx = NULL;
    ASSERT_TRUE(RequestLock(&hmtx));
    ASSERT_TRUE(RequestLock(&hmtx));
    std::thread other([&]() {
        if (RequestLock(&hmtx)) {
            fObtained = true;
            ReleaseLock(hmtx);
        }
    });
    ReleaseLock(hmtx);
    TsSleepMs(300);
    EXPECT_FALSE(fObtained) << "obtained while one hold remained";
    ReleaseLock(hmtx);
    other.join();
    EXPECT_TRUE(fObtained);
}

TEST_F(LockUnitTest, FailedRequestsLeaveTheirTextAndTheLockFree)
{
    static HANDLE hmtx = NULL;
    struct Case {
        LONG lWaitRC;
        const char *pszText;
    } aCases[] = {
        {PLAT_WAIT_FAILED, "Error in request lock: rc=-1"},
        {PLAT_WAIT_TIMEOUT, "Error in request lock: rc=258"},
        {PLAT_WAIT_ABANDONED, "Error in request lock: rc=128"},
    };

    hmtx = NULL;
    ASSERT_TRUE(RequestLock(&hmtx));
    ReleaseLock(hmtx);
    for (const Case &c : aCases) {
        g_seam.hWaitFailLock = hmtx;
        g_seam.lWaitRC = c.lWaitRC;
        ClearErrorMsg(cErrorMsg);
        EXPECT_FALSE(RequestLock(&hmtx));
        EXPECT_STREQ(cErrorMsg, c.pszText);
        g_seam.hWaitFailLock = NULL;
        /* Free for any thread: a failed request holds nothing. */
        std::atomic<bool> fObtained{false};
        std::thread other([&]() {
            if (RequestLock(&hmtx)) {
                fObtained = true;
                ReleaseLock(hmtx);
            }
        });
        other.join();
        EXPECT_TRUE(fObtained) << c.pszText;
    }
}

/* A lock whose holder ended without releasing it, for real. */
TEST_F(LockUnitTest, LockOfAThreadThatEndedIsReportedAbandonedOnce)
{
    static HANDLE hmtx = NULL;

    hmtx = NULL;
    std::thread holder([&]() { RequestLock(&hmtx); });
    holder.join();
    ClearErrorMsg(cErrorMsg);
    EXPECT_FALSE(RequestLock(&hmtx));
    EXPECT_STREQ(cErrorMsg, "Error in request lock: rc=128");
    EXPECT_TRUE(RequestLock(&hmtx));
    ReleaseLock(hmtx);
}

TEST_F(LockUnitTest, FailedCreationLeavesNoLockAndTheNextRequestTriesAgain)
{
    static HANDLE hmtx = NULL;

    hmtx = NULL;
    g_seam.lCreateMutexRC = 12;
    ClearErrorMsg(cErrorMsg);
    EXPECT_FALSE(RequestLock(&hmtx));
    EXPECT_STREQ(cErrorMsg, "Error in request lock: rc=12");
    EXPECT_EQ(hmtx, nullptr);
    g_seam.lCreateMutexRC = 0;
    EXPECT_TRUE(RequestLock(&hmtx));
    EXPECT_NE(hmtx, nullptr);
    ReleaseLock(hmtx);
}

/* Two first requests at the same moment make one lock, held by one thread
 * at a time. */
TEST_F(LockUnitTest, RacingFirstRequestsMakeOneLock)
{
    static HANDLE ahKeep[200]; /* every lock made stays reachable */

    for (int round = 0; round < 200; round++) {
        HANDLE *phmtx = &ahKeep[round];
        std::atomic<int> nReady{0};
        std::atomic<int> nInside{0};
        std::atomic<int> nMaxInside{0};
        std::atomic<int> nObtained{0};
        auto contender = [&]() {
            nReady++;
            while (nReady < 2) {
            }
            if (RequestLock(phmtx)) {
                int n = ++nInside;
                int m = nMaxInside;
                while (n > m && !nMaxInside.compare_exchange_weak(m, n)) {
                }
                nObtained++;
                nInside--;
                ReleaseLock(__atomic_load_n(phmtx, __ATOMIC_ACQUIRE));
            }
        };
        std::thread a(contender);
        std::thread b(contender);
        a.join();
        b.join();
        ASSERT_EQ(nObtained, 2) << "round " << round;
        ASSERT_EQ(nMaxInside, 1) << "round " << round;
    }
}

TEST_F(LockUnitTest, ReleaseOfANullLockDoesNothingAndAForeignReleaseIsReported)
{
    static HANDLE hmtx = NULL;

    ClearErrorMsg(cErrorMsg);
    ReleaseLock(NULL);
    EXPECT_STREQ(cErrorMsg, "");

#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer stops at the deliberate foreign release";
#endif
    hmtx = NULL;
    ASSERT_TRUE(RequestLock(&hmtx));
    std::thread other([&]() { ReleaseLock(hmtx); });
    other.join();
#ifdef _WIN32
    EXPECT_STREQ(cErrorMsg, "Error in release lock: rc=288"); /* not the owner */
#else
    EXPECT_STREQ(cErrorMsg, "Error in release lock: rc=1");
#endif
    ReleaseLock(hmtx);
}

} // namespace
