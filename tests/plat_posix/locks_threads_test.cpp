/*
 * locks_threads_test.cpp - locks, the text lock, threads and sleeping of
 * the POSIX backend.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "plat_posix_util.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define UT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UT_TSAN 1
#endif
#endif

/* Locks are never destroyed by the backend; the tests give theirs back. */
static void FreeLock(HANDLE hmtx)
{
    ASSERT_EQ(pthread_mutex_destroy((pthread_mutex_t *)hmtx), 0);
    free(hmtx);
}

/* Wait for the lock from another thread; give it back when obtained. */
static LONG WaitInThread(HANDLE hmtx, ULONG ulMilliseconds)
{
    LONG lRC = PLAT_WAIT_FAILED;
    std::thread th([&] {
        lRC = PlatWaitMutex(hmtx, ulMilliseconds);
        if (lRC == PLAT_WAIT_OBTAINED || lRC == PLAT_WAIT_ABANDONED)
            PlatReleaseMutex(hmtx);
    });
    th.join();
    return lRC;
}

TEST_F(PlatPosixTest, LockIsHeldByItsCreatorAndReentrant)
{
    HANDLE hmtx = NULL;
    BOOL fCreated = FALSE;

    ASSERT_EQ(PlatCreateMutex(&hmtx, &fCreated), 0);
    ASSERT_TRUE(fCreated);
    ASSERT_NE(hmtx, nullptr);
    EXPECT_EQ(WaitInThread(hmtx, 0), PLAT_WAIT_TIMEOUT);

    /* Three holds: it is free only after the third release. */
    EXPECT_EQ(PlatWaitMutex(hmtx, 0), PLAT_WAIT_OBTAINED);
    EXPECT_EQ(PlatWaitMutex(hmtx, PLAT_INFINITE), PLAT_WAIT_OBTAINED);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(WaitInThread(hmtx, 0), PLAT_WAIT_TIMEOUT) << "after " << i << " releases";
        EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
    }
    EXPECT_EQ(WaitInThread(hmtx, 0), PLAT_WAIT_OBTAINED);

    /* A second creation leaves the installed lock alone. */
    HANDLE hBefore = hmtx;
    EXPECT_EQ(PlatCreateMutex(&hmtx, &fCreated), 0);
    EXPECT_FALSE(fCreated);
    EXPECT_EQ(hmtx, hBefore);
    EXPECT_EQ(WaitInThread(hmtx, 0), PLAT_WAIT_OBTAINED);

    FreeLock(hmtx);
}

TEST_F(PlatPosixTest, LockReleaseByNonOwnerFails)
{
#ifdef UT_TSAN
    GTEST_SKIP() << "the thread sanitizer reports the deliberate wrong release";
#else
    HANDLE hmtx = NULL;
    BOOL fCreated = FALSE;
    LONG lRC = 0;

    ASSERT_EQ(PlatCreateMutex(&hmtx, &fCreated), 0);
    std::thread th([&] { lRC = PlatReleaseMutex(hmtx); });
    th.join();
    EXPECT_EQ(lRC, EPERM);
    EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
    EXPECT_EQ(PlatReleaseMutex(hmtx), EPERM) << "released more often than held";
    FreeLock(hmtx);
#endif
}

TEST_F(PlatPosixTest, LockWaiterBlocksUntilEveryHoldIsReleased)
{
    HANDLE hmtx = NULL;
    BOOL fCreated = FALSE;
    std::atomic<bool> fGot(false);
    LONG lRC = PLAT_WAIT_FAILED;

    ASSERT_EQ(PlatCreateMutex(&hmtx, &fCreated), 0);
    ASSERT_EQ(PlatWaitMutex(hmtx, PLAT_INFINITE), PLAT_WAIT_OBTAINED);

    std::thread th([&] {
        lRC = PlatWaitMutex(hmtx, PLAT_INFINITE);
        fGot = true;
        PlatReleaseMutex(hmtx);
    });
    PlatSleep(50);
    EXPECT_FALSE(fGot) << "obtained while held twice";
    EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
    PlatSleep(50);
    EXPECT_FALSE(fGot) << "obtained while still held once";
    EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
    th.join();
    EXPECT_TRUE(fGot);
    EXPECT_EQ(lRC, PLAT_WAIT_OBTAINED);
    FreeLock(hmtx);
}

TEST_F(PlatPosixTest, LockBoundedWaitTimesOutOrObtains)
{
    HANDLE hmtx = NULL;
    BOOL fCreated = FALSE;
    LONG lRC = PLAT_WAIT_FAILED;
    long long llStart = 0;
    long long llElapsed = 0;

    ASSERT_EQ(PlatCreateMutex(&hmtx, &fCreated), 0);

    /* Held throughout: the wait ends with a timeout, not before. */
    std::thread thTimeout([&] {
        llStart = UtNowMs();
        lRC = PlatWaitMutex(hmtx, 120);
        llElapsed = UtNowMs() - llStart;
    });
    thTimeout.join();
    EXPECT_EQ(lRC, PLAT_WAIT_TIMEOUT);
    EXPECT_GE(llElapsed, 119);

    /* Released within the bound: obtained. */
    lRC = PLAT_WAIT_FAILED;
    std::thread thObtain([&] {
        lRC = PlatWaitMutex(hmtx, 60000);
        if (lRC == PLAT_WAIT_OBTAINED)
            PlatReleaseMutex(hmtx);
    });
    PlatSleep(50);
    EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
    thObtain.join();
    EXPECT_EQ(lRC, PLAT_WAIT_OBTAINED);
    FreeLock(hmtx);
}

TEST_F(PlatPosixTest, LockAbandonedByEndedThreadIsTakenOver)
{
    const ULONG aulWaits[] = {PLAT_INFINITE, 5000, 0};

    for (ULONG ulWait : aulWaits) {
        SCOPED_TRACE("wait " + std::to_string(ulWait));
        HANDLE hmtx = NULL;
        BOOL fCreated = FALSE;

        /* The creator takes a second hold and ends without giving back. */
        std::thread thOwner([&] {
            PlatCreateMutex(&hmtx, &fCreated);
            PlatWaitMutex(hmtx, PLAT_INFINITE);
        });
        thOwner.join();
        ASSERT_TRUE(fCreated);

        EXPECT_EQ(PlatWaitMutex(hmtx, ulWait), PLAT_WAIT_ABANDONED);
        EXPECT_EQ(WaitInThread(hmtx, 0), PLAT_WAIT_TIMEOUT) << "not held after takeover";
        EXPECT_EQ(PlatReleaseMutex(hmtx), 0);

        /* Consistent again: an ordinary lock from now on. */
        EXPECT_EQ(WaitInThread(hmtx, 0), PLAT_WAIT_OBTAINED);
        EXPECT_EQ(PlatWaitMutex(hmtx, PLAT_INFINITE), PLAT_WAIT_OBTAINED);
        EXPECT_EQ(PlatReleaseMutex(hmtx), 0);
        FreeLock(hmtx);
    }
}

TEST_F(PlatPosixTest, LockCreationRaceInstallsExactlyOne)
{
    const int cThreads = 4;
    const int cRounds = 200;
    pthread_barrier_t barrier;

    ASSERT_EQ(pthread_barrier_init(&barrier, NULL, cThreads), 0);
    for (int iRound = 0; iRound < cRounds; iRound++) {
        HANDLE hmtx = NULL;
        std::vector<HANDLE> ahSeen(cThreads, nullptr);
        std::vector<LONG> alRC(cThreads, -1);
        std::vector<BOOL> afCreated(cThreads, FALSE);
        int nInside = 0;   /* guarded by the lock only */
        int cEntered = 0;  /* guarded by the lock only */
        std::atomic<bool> fOverlap(false);
        std::vector<std::thread> ath;

        for (int i = 0; i < cThreads; i++) {
            ath.emplace_back([&, i] {
                BOOL fCreated = FALSE;
                pthread_barrier_wait(&barrier);
                alRC[i] = PlatCreateMutex(&hmtx, &fCreated);
                HANDLE hNow = __atomic_load_n(&hmtx, __ATOMIC_ACQUIRE);
                if (alRC[i] != 0 || hNow == NULL)
                    return;
                if (!fCreated && PlatWaitMutex(hNow, PLAT_INFINITE) != PLAT_WAIT_OBTAINED)
                    return;
                afCreated[i] = fCreated;
                ahSeen[i] = hNow;
                if (++nInside != 1)
                    fOverlap = true;
                cEntered++;
                nInside--;
                PlatReleaseMutex(hNow);
            });
        }
        for (std::thread &th : ath)
            th.join();

        int cCreated = 0;
        for (int i = 0; i < cThreads; i++) {
            EXPECT_EQ(alRC[i], 0);
            EXPECT_EQ(ahSeen[i], hmtx);
            cCreated += afCreated[i] ? 1 : 0;
        }
        ASSERT_EQ(cCreated, 1) << "round " << iRound;
        ASSERT_EQ(cEntered, cThreads) << "round " << iRound;
        ASSERT_FALSE(fOverlap) << "round " << iRound;
        FreeLock(hmtx);
    }
    pthread_barrier_destroy(&barrier);
}

TEST_F(PlatPosixTest, TextLockExcludesOtherThreads)
{
    const int cThreads = 4;
    const int cLoops = 20000;
    long lCount = 0; /* guarded by the text lock only */
    std::vector<std::thread> ath;

    for (int i = 0; i < cThreads; i++) {
        ath.emplace_back([&] {
            for (int j = 0; j < cLoops; j++) {
                PlatEnterTextLock();
                long lSeen = lCount;
                lCount = lSeen + 1;
                PlatLeaveTextLock();
            }
        });
    }
    for (std::thread &th : ath)
        th.join();
    EXPECT_EQ(lCount, (long)cThreads * cLoops);
}

/* What a started thread saw of itself. */
typedef struct {
    sem_t semDone;
    PVOID pArgSeen;
    size_t cbStack;
    int nDetach;
    int rcAttr;
} THREADSEEN;

static PLATTHREADRC PLATTHREADAPI ObserveThread(PVOID pArg)
{
    THREADSEEN *pSeen = (THREADSEEN *)pArg;
    pthread_attr_t attr;

    pSeen->pArgSeen = pArg;
    pSeen->rcAttr = pthread_getattr_np(pthread_self(), &attr);
    if (pSeen->rcAttr == 0) {
        pthread_attr_getstacksize(&attr, &pSeen->cbStack);
        pthread_attr_getdetachstate(&attr, &pSeen->nDetach);
        pthread_attr_destroy(&attr);
    }
    sem_post(&pSeen->semDone);
    return 0;
}

TEST_F(PlatPosixTest, ThreadStartsDetachedWithAtLeastTheStack)
{
    const ULONG aulStacks[] = {0, 1, 64UL * 1024, 1024UL * 1024 + 3, 8UL * 1024 * 1024};

    for (ULONG ulStack : aulStacks) {
        SCOPED_TRACE("stack " + std::to_string(ulStack));
        static THREADSEEN seen;
        struct timespec tsDeadline;

        memset(&seen, 0, sizeof(seen));
        ASSERT_EQ(sem_init(&seen.semDone, 0, 0), 0);
        ASSERT_EQ(PlatStartThread(ObserveThread, &seen, ulStack), 0);
        clock_gettime(CLOCK_REALTIME, &tsDeadline);
        tsDeadline.tv_sec += 30;
        ASSERT_EQ(sem_timedwait(&seen.semDone, &tsDeadline), 0) << "the thread did not run";
        EXPECT_EQ(seen.pArgSeen, (PVOID)&seen);
        EXPECT_EQ(seen.rcAttr, 0);
        EXPECT_EQ(seen.nDetach, PTHREAD_CREATE_DETACHED);
        EXPECT_GE(seen.cbStack, (size_t)ulStack);
        EXPECT_GE(seen.cbStack, (size_t)PTHREAD_STACK_MIN);
        sem_destroy(&seen.semDone);
    }
}

TEST_F(PlatPosixTest, SleepLastsItsTimeEvenWhenInterrupted)
{
    std::atomic<bool> fDone(false);
    long long llElapsed = 0;

    UtInstallInterruptHandler();
    std::thread th([&] {
        long long llStart = UtNowMs();
        PlatSleep(300);
        llElapsed = UtNowMs() - llStart;
        fDone = true;
    });
    for (int i = 0; i < 10 && !fDone; i++) {
        PlatSleep(20);
        if (!fDone)
            pthread_kill(th.native_handle(), SIGUSR1);
    }
    th.join();
    UtRestoreInterruptHandler();
    EXPECT_GE(llElapsed, 299);
}
