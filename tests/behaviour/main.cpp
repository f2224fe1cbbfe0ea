/* main.cpp - test entry: one class session before the tests, so that what
 * the library sets up once (its locks, a display connection) is in place
 * before any test counts descriptors. */
#include <gtest/gtest.h>

#include "testsys.h"
#include "zelmref.h"
#include "zelmxcc.h"

static void WarmUp(void)
{
    std::string sDir = TsMakeTempDir("zxcwarm");
    std::string sProgram = std::string("\"") + ZXCPROBE_PATH + "\"";
    SIMWSOBJ hObj = ZelmWsCreateObj(0, FALSE);
    PVOID hSession = NULL;

    TsSetTempDir(sDir.c_str());
    ZelmWsSetData(hObj, "warm", 4);
    if (SimOpsStartClass(NULL, 0, hObj, 0, (PSZ)sProgram.c_str(), NULL, NULL, NULL, &hSession) == 0) {
        SimOpsSetClass(hSession);
        SimOpsEndClass(hSession);
    }
    ZelmWsDestroyObj(hObj);
    TsWaitChildren(0, 20000);
    /* The session's monitor closes its handles a moment after its program
     * is gone: let the count of descriptors settle before any test counts. */
    int nStable = 0;
    int nLast = TsCountDescriptors();
    for (int i = 0; i < 100 && nStable < 5; i++) {
        TsSleepMs(20);
        int nNow = TsCountDescriptors();
        nStable = (nNow == nLast) ? nStable + 1 : 0;
        nLast = nNow;
    }
    TsSetTempDir(NULL);
    TsRemoveTree(sDir);
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    WarmUp();
    return RUN_ALL_TESTS();
}
