/*
 * abi_test.cpp - ZELMXCC.dll as a host binds it at run time: the three calls
 * by name and by ordinal, each popping its own arguments (__stdcall), and the
 * host DLLs' services under their fixed ordinals.
 */
#include <gtest/gtest.h>

#include "wintest.h"
#include "zelmref.h"

namespace {

/* Call pfn with cArgs zero arguments pushed on the stack; *pulStackLeft
 * receives the bytes of arguments still on the stack after the return:
 * 0 when the callee removed them. */
ULONG CallWithZeros(FARPROC pfn, ULONG cArgs, ULONG *pulStackLeft)
{
    ULONG ulResult;
    ULONG ulLeft;
    ULONG ulCount = cArgs;

    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "testl %%ecx, %%ecx\n\t"
                     "jz 2f\n"
                     "1:\n\t"
                     "pushl $0\n\t"
                     "loop 1b\n"
                     "2:\n\t"
                     "call *%%edi\n\t"
                     "movl %%esi, %%edx\n\t"
                     "subl %%esp, %%edx\n\t"
                     "movl %%esi, %%esp\n\t"
                     : "=a"(ulResult), "=d"(ulLeft), "+c"(ulCount)
                     : "D"(pfn)
                     : "esi", "memory", "cc");
    *pulStackLeft = ulLeft;
    return ulResult;
}

struct ExportCase {
    const char *pszName;
    WORD usOrdinal;
    ULONG cArgs;
    ULONG ulResult; /* of a call with null arguments */
};

class ZelmxccAbi : public ::testing::Test {
protected:
    void SetUp() override
    {
        hmod = LoadLibraryA(TsJoin(WtBinDir(), "ZELMXCC.dll").c_str());
        ASSERT_NE(hmod, nullptr) << "LoadLibrary: " << GetLastError();
    }
    void TearDown() override
    {
        if (hmod != NULL) {
            FreeLibrary(hmod);
        }
    }
    HMODULE hmod = NULL;
};

TEST_F(ZelmxccAbi, CallsBindByNameAndOrdinalAndPopTheirArguments)
{
    /* Null arguments: the start call refuses a null handle pointer (7001),
     * the other two take a null handle as nothing to do. */
    const ExportCase aCases[] = {
        {"SimOpsEndClass", 1, 1, 0},
        {"SimOpsSetClass", 2, 1, 0},
        {"SimOpsStartClass", 3, 9, 7001},
    };

    for (const ExportCase &c : aCases) {
        SCOPED_TRACE(c.pszName);
        FARPROC pfnByName = GetProcAddress(hmod, c.pszName);
        FARPROC pfnByOrdinal = GetProcAddress(hmod, MAKEINTRESOURCEA(c.usOrdinal));
        ASSERT_NE(pfnByName, nullptr);
        EXPECT_EQ(pfnByName, pfnByOrdinal);

        ULONG ulLeft = 0xFFFFFFFF;
        TsCaptureStderrBegin();
        ULONG ulResult = CallWithZeros(pfnByName, c.cArgs, &ulLeft);
        TsCaptureStderrEnd();
        EXPECT_EQ(ulResult, c.ulResult);
        EXPECT_EQ(ulLeft, 0u) << "the caller had to remove the arguments: not __stdcall";
    }
}

TEST_F(ZelmxccAbi, DecoratedAndCdeclNamesAreNotExported)
{
    const char *apszNames[] = {"SimOpsStartClass@36", "_SimOpsStartClass@36", "_SimOpsStartClass",
                               "SimOpsEndClass@4", "_SimOpsEndClass@4", "SimOpsSetClass@4"};
    for (const char *pszName : apszNames) {
        EXPECT_EQ(GetProcAddress(hmod, pszName), nullptr) << pszName;
    }
}

TEST(HostServicesAbi, ServicesBindByTheirOrdinalsAndPopTheirArguments)
{
    struct ServiceCase {
        const char *pszDll;
        const char *pszName;
        WORD usOrdinal;
        ULONG cArgs;
        ULONG ulResult; /* of a call with null arguments: the record is refused */
    };
    const ServiceCase aCases[] = {
        {"ZELMWS.dll", "SimWsQueryObj", 14, 5, ZELMWS_RC_BAD_RCSTRUCT},
        {"ZELMWS.dll", "SimWsStoreObj", 18, 7, ZELMWS_RC_BAD_RCSTRUCT},
        {"ZELMENV.dll", "SimOpsFreeMem", 67, 2, ZELMENV_RC_BAD_RCSTRUCT},
        {"ZELMENV.dll", "SimOpsAllocMem", 104, 3, ZELMENV_RC_BAD_RCSTRUCT},
    };

    for (const ServiceCase &c : aCases) {
        SCOPED_TRACE(c.pszName);
        HMODULE hmod = LoadLibraryA(TsJoin(WtBinDir(), c.pszDll).c_str());
        ASSERT_NE(hmod, nullptr);
        FARPROC pfnByName = GetProcAddress(hmod, c.pszName);
        ASSERT_NE(pfnByName, nullptr);
        EXPECT_EQ(pfnByName, GetProcAddress(hmod, MAKEINTRESOURCEA(c.usOrdinal)));
        ULONG ulLeft = 0xFFFFFFFF;
        EXPECT_EQ(CallWithZeros(pfnByName, c.cArgs, &ulLeft), c.ulResult);
        EXPECT_EQ(ulLeft, 0u);
        FreeLibrary(hmod);
    }
}

} // namespace
