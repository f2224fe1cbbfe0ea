/*
 * zelmenv_test.cpp - the reference memory service: blocks and their count,
 * the return-code record, refused releases, injected failures, threads.
 */
#include <gtest/gtest.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "zelmref.h"

namespace {

RCSTRUCT MakeRc(ULONG ulStruct)
{
    RCSTRUCT rc;

    memset(&rc, 0xA5, sizeof(rc));
    rc.ulStruct = ulStruct;
    return rc;
}

ULONG Alloc(ULONG ulSize, PVOID *ppBlock)
{
    RCSTRUCT rc = MakeRc(sizeof(RCSTRUCT));
    ULONG ulRc = SimOpsAllocMem(ulSize, ppBlock, &rc);

    EXPECT_EQ(rc.ulRC, ulRc);
    return ulRc;
}

ULONG Free(PVOID pBlock)
{
    RCSTRUCT rc = MakeRc(sizeof(RCSTRUCT));
    ULONG ulRc = SimOpsFreeMem(pBlock, &rc);

    EXPECT_EQ(rc.ulRC, ulRc);
    return ulRc;
}

/* Every test leaves the count as it found it and no failure armed. */
class EnvTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ZelmEnvFailAlloc(0, 0);
        ZelmEnvFailFree(0, 0);
        ulBaseline = ZelmEnvBlocksInUse();
    }
    void TearDown() override
    {
        ZelmEnvFailAlloc(0, 0);
        ZelmEnvFailFree(0, 0);
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline);
    }
    ULONG ulBaseline = 0;
};

TEST_F(EnvTest, BlocksAreUsableCountedAndFreedInAnyOrder)
{
    /* Enough blocks to make the registry grow several times; freeing every
     * third, then the rest, moves entries around inside it. */
    const ULONG ulCount = 3000;
    std::vector<PVOID> apBlocks(ulCount, nullptr);

    for (ULONG ul = 0; ul < ulCount; ul++) {
        ULONG ulSize = ul % 97;
        ASSERT_EQ(Alloc(ulSize, &apBlocks[ul]), 0UL);
        ASSERT_NE(apBlocks[ul], nullptr);
        EXPECT_EQ((uintptr_t)apBlocks[ul] % alignof(double), 0U);
        memset(apBlocks[ul], (int)(ul & 0xFF), ulSize);
        ASSERT_EQ(ZelmEnvBlocksInUse(), ulBaseline + ul + 1);
    }

    ULONG ulLive = ulCount;
    for (ULONG ul = 0; ul < ulCount; ul += 3) {
        ASSERT_EQ(Free(apBlocks[ul]), 0UL) << ul;
        ASSERT_EQ(ZelmEnvBlocksInUse(), ulBaseline + --ulLive);
    }
    for (ULONG ul = 0; ul < ulCount; ul++) {
        if (ul % 3 == 0) {
            EXPECT_EQ(Free(apBlocks[ul]), ZELMENV_RC_BAD_BLOCK) << ul;
            continue;
        }
        ULONG ulSize = ul % 97;
        for (ULONG ulByte = 0; ulByte < ulSize; ulByte++)
            ASSERT_EQ(((PUCHAR)apBlocks[ul])[ulByte], (UCHAR)(ul & 0xFF));
        ASSERT_EQ(Free(apBlocks[ul]), 0UL) << ul;
        ASSERT_EQ(ZelmEnvBlocksInUse(), ulBaseline + --ulLive);
    }
}

TEST_F(EnvTest, ZeroSizeGivesDistinctBlocks)
{
    PVOID pFirst = nullptr;
    PVOID pSecond = nullptr;

    ASSERT_EQ(Alloc(0, &pFirst), 0UL);
    ASSERT_EQ(Alloc(0, &pSecond), 0UL);
    EXPECT_NE(pFirst, nullptr);
    EXPECT_NE(pFirst, pSecond);
    EXPECT_EQ(Free(pFirst), 0UL);
    EXPECT_EQ(Free(pSecond), 0UL);
}

/* The record must hold ulRC; nothing past what the call fills is touched. */
TEST_F(EnvTest, ReturnCodeRecordIsCheckedAndFilled)
{
    struct Case {
        bool fNullRc;
        ULONG ulStruct;
        bool fAccepted;
    };
    const Case aCases[] = {
        {true, 0, false},
        {false, 0, false},
        {false, 4, false},
        {false, 7, false},
        {false, 8, true},
        {false, 20, true},
        {false, sizeof(RCSTRUCT), true},
        {false, 0xFFFFFFFF, true},
    };

    for (const Case &c : aCases) {
        SCOPED_TRACE(testing::Message() << "null " << c.fNullRc << " ulStruct " << c.ulStruct);
        RCSTRUCT rc = MakeRc(c.ulStruct);
        const RCSTRUCT rcBefore = rc;
        PRCSTRUCT pRc = c.fNullRc ? nullptr : &rc;
        PVOID pBlock = (PVOID)&rc;

        ULONG ulRc = SimOpsAllocMem(16, &pBlock, pRc);
        if (!c.fAccepted) {
            EXPECT_EQ(ulRc, ZELMENV_RC_BAD_RCSTRUCT);
            EXPECT_EQ(pBlock, nullptr);
            EXPECT_EQ(memcmp(&rc, &rcBefore, sizeof(rc)), 0);
            EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline);

            /* A refused release leaves the block in use. */
            ASSERT_EQ(Alloc(16, &pBlock), 0UL);
            rc = rcBefore;
            EXPECT_EQ(SimOpsFreeMem(pBlock, pRc), ZELMENV_RC_BAD_RCSTRUCT);
            EXPECT_EQ(memcmp(&rc, &rcBefore, sizeof(rc)), 0);
            EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline + 1);
            EXPECT_EQ(Free(pBlock), 0UL);
            continue;
        }

        ASSERT_EQ(ulRc, 0UL);
        ASSERT_NE(pBlock, nullptr);
        EXPECT_EQ(rc.ulRC, 0UL);
        bool fExt = c.ulStruct >= offsetof(RCSTRUCT, ulExtRC) + sizeof(ULONG);
        EXPECT_EQ(rc.ulExtRC, fExt ? 0UL : rcBefore.ulExtRC);
        EXPECT_EQ(rc.usReserved, rcBefore.usReserved);
        EXPECT_EQ(rc.ulParam1, rcBefore.ulParam1);
        EXPECT_EQ(rc.ulExtReason, rcBefore.ulExtReason);
        EXPECT_EQ(rc.pApplData, rcBefore.pApplData);
        EXPECT_EQ(rc.hErrLog, rcBefore.hErrLog);

        rc = rcBefore;
        EXPECT_EQ(SimOpsFreeMem(pBlock, &rc), 0UL);
        EXPECT_EQ(rc.ulRC, 0UL);
        EXPECT_EQ(rc.ulParam2, rcBefore.ulParam2);
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline);
    }
}

TEST_F(EnvTest, NullPointersAreRefused)
{
    RCSTRUCT rc = MakeRc(sizeof(RCSTRUCT));

    EXPECT_EQ(SimOpsAllocMem(16, nullptr, &rc), ZELMENV_RC_NULL_POINTER);
    EXPECT_EQ(rc.ulRC, ZELMENV_RC_NULL_POINTER);
    rc = MakeRc(sizeof(RCSTRUCT));
    EXPECT_EQ(SimOpsFreeMem(nullptr, &rc), ZELMENV_RC_NULL_POINTER);
    EXPECT_EQ(rc.ulRC, ZELMENV_RC_NULL_POINTER);
}

/* Releasing anything but a live block of ours is refused and harms neither
 * the heap nor the blocks in use. */
TEST_F(EnvTest, ForeignAndStaleBlocksAreRefused)
{
    static int iStatic;
    int iStack = 0;
    PVOID pLive = nullptr;
    PVOID pFreed = nullptr;
    void *pForeign = malloc(64);

    ASSERT_NE(pForeign, nullptr);
    ASSERT_EQ(Alloc(64, &pLive), 0UL);
    memset(pLive, 0x5A, 64);
    ASSERT_EQ(Alloc(64, &pFreed), 0UL);
    ASSERT_EQ(Free(pFreed), 0UL);

    const struct {
        const char *pszWhat;
        PVOID p;
    } aCases[] = {
        {"heap block not from the service", pForeign},
        {"stack variable", &iStack},
        {"static variable", &iStatic},
        {"inside a live block", (PUCHAR)pLive + 1},
        {"just past a live block", (PUCHAR)pLive + 64},
        {"block already freed", pFreed},
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        EXPECT_EQ(Free(c.p), ZELMENV_RC_BAD_BLOCK);
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline + 1);
    }

    for (int i = 0; i < 64; i++)
        ASSERT_EQ(((PUCHAR)pLive)[i], 0x5A);
    EXPECT_EQ(Free(pLive), 0UL);
    EXPECT_EQ(Free(pLive), ZELMENV_RC_BAD_BLOCK);
    free(pForeign);
}

TEST_F(EnvTest, InjectedAllocationFailureHitsTheNthAllocationOnce)
{
    std::vector<PVOID> apBlocks;
    PVOID pBlock = nullptr;
    RCSTRUCT rcBad = MakeRc(4);

    ZelmEnvFailAlloc(3, 4711);
    /* Calls refused for their arguments do not count. */
    EXPECT_EQ(Alloc(8, nullptr), ZELMENV_RC_NULL_POINTER);
    EXPECT_EQ(SimOpsAllocMem(8, &pBlock, &rcBad), ZELMENV_RC_BAD_RCSTRUCT);

    for (int i = 1; i <= 5; i++) {
        pBlock = (PVOID)&rcBad;
        ULONG ulRc = Alloc(8, &pBlock);
        if (i == 3) {
            EXPECT_EQ(ulRc, 4711UL);
            EXPECT_EQ(pBlock, nullptr);
            EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline + 2);
        } else {
            ASSERT_EQ(ulRc, 0UL) << i;
            apBlocks.push_back(pBlock);
        }
    }
    for (PVOID p : apBlocks)
        EXPECT_EQ(Free(p), 0UL);
}

TEST_F(EnvTest, InjectedAllocationFailureCanBeCancelledOrReplaced)
{
    struct Case {
        ULONG ulNth1, ulRc1; /* first setting */
        ULONG ulNth2, ulRc2; /* second setting, replacing it */
        ULONG ulExpect;      /* result of the next allocation */
    };
    const Case aCases[] = {
        {1, 99, 0, 99, 0},    /* nth 0 cancels */
        {1, 99, 1, 0, 0},     /* code 0 cancels */
        {5, 99, 1, 98, 98},   /* a new setting replaces the old one */
        {1, 99, 2, 98, 0},
    };

    for (const Case &c : aCases) {
        PVOID pBlock = nullptr;

        ZelmEnvFailAlloc(c.ulNth1, c.ulRc1);
        ZelmEnvFailAlloc(c.ulNth2, c.ulRc2);
        EXPECT_EQ(Alloc(8, &pBlock), c.ulExpect);
        if (pBlock != nullptr) {
            EXPECT_EQ(Free(pBlock), 0UL);
        }
        ZelmEnvFailAlloc(0, 0);
    }
}

TEST_F(EnvTest, InjectedReleaseFailureStillFreesTheBlock)
{
    PVOID pFirst = nullptr;
    PVOID pSecond = nullptr;
    PVOID pThird = nullptr;
    int iStack = 0;

    ASSERT_EQ(Alloc(8, &pFirst), 0UL);
    ASSERT_EQ(Alloc(8, &pSecond), 0UL);
    ASSERT_EQ(Alloc(8, &pThird), 0UL);

    ZelmEnvFailFree(2, 77);
    /* Refused releases do not count. */
    EXPECT_EQ(Free(&iStack), ZELMENV_RC_BAD_BLOCK);
    EXPECT_EQ(Free(nullptr), ZELMENV_RC_NULL_POINTER);

    EXPECT_EQ(Free(pFirst), 0UL);
    EXPECT_EQ(Free(pSecond), 77UL);
    EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline + 1);
    EXPECT_EQ(Free(pSecond), ZELMENV_RC_BAD_BLOCK);
    EXPECT_EQ(Free(pThird), 0UL);
}

TEST_F(EnvTest, ThreadsShareTheCountAndOneInjectedFailure)
{
    const int nThreads = 4;
    const int nPerThread = 2000;
    std::atomic<int> nFailed(0);
    std::atomic<int> nOtherErrors(0);
    std::vector<std::thread> aThreads;

    /* Each thread keeps every block it gets until its end, so that the
     * registry is grown and shrunk from several threads at once. */
    ZelmEnvFailAlloc(nThreads * nPerThread / 2, 777);
    for (int t = 0; t < nThreads; t++) {
        aThreads.emplace_back([&, t]() {
            std::vector<PVOID> apBlocks;
            for (int i = 0; i < nPerThread; i++) {
                PVOID pBlock = nullptr;
                RCSTRUCT rc = MakeRc(sizeof(RCSTRUCT));
                ULONG ulRc = SimOpsAllocMem((ULONG)(i % 50 + t), &pBlock, &rc);
                if (ulRc == 777)
                    nFailed++;
                else if (ulRc != 0 || rc.ulRC != 0)
                    nOtherErrors++;
                else
                    apBlocks.push_back(pBlock);
                if (i % 7 == 0 && !apBlocks.empty()) {
                    if (Free(apBlocks.back()) != 0)
                        nOtherErrors++;
                    apBlocks.pop_back();
                }
            }
            for (PVOID p : apBlocks) {
                if (Free(p) != 0)
                    nOtherErrors++;
            }
        });
    }
    for (std::thread &th : aThreads)
        th.join();

    EXPECT_EQ(nFailed.load(), 1);
    EXPECT_EQ(nOtherErrors.load(), 0);
    EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline);
}

} // namespace
