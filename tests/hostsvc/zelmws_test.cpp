/*
 * zelmws_test.cpp - the reference working-set store: each attribute, what
 * a store writes and how it fails, injected failures, the hook, threads.
 */
#include <gtest/gtest.h>

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zelmref.h"

namespace {

RCSTRUCT MakeRc()
{
    RCSTRUCT rc;

    memset(&rc, 0xA5, sizeof(rc));
    rc.ulStruct = sizeof(rc);
    return rc;
}

ULONG Query(SIMWSOBJ hObj, ULONG ulAttr, PVOID pValue, ULONG *pulExtRc = nullptr)
{
    RCSTRUCT rc = MakeRc();
    ULONG ulRc = SimWsQueryObj(hObj, 1, ulAttr, pValue, &rc);

    EXPECT_EQ(rc.ulRC, ulRc);
    if (pulExtRc != nullptr)
        *pulExtRc = rc.ulExtRC;
    return ulRc;
}

ULONG Store(SIMWSOBJ hObj, ULONG ulClassId, const std::string &strName,
            ULONG *pulExtRc = nullptr)
{
    RCSTRUCT rc = MakeRc();
    SIMSRCFILE pszName = (PSZ)strName.c_str();
    ULONG ulRc = SimWsStoreObj(hObj, ulClassId, 1, SIMWS_ATTR_STORE_FILE, &pszName, 0, &rc);

    EXPECT_EQ(rc.ulRC, ulRc);
    if (pulExtRc != nullptr)
        *pulExtRc = rc.ulExtRC;
    return ulRc;
}

ULONG FreeMem(PVOID pBlock)
{
    RCSTRUCT rc = MakeRc();
    return SimOpsFreeMem(pBlock, &rc);
}

bool ReadFile(const std::string &strName, std::string *pstrContent)
{
    std::ifstream in(strName, std::ios::binary);
    if (!in)
        return false;
    pstrContent->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool Exists(const std::string &strName)
{
    struct stat st;
    return stat(strName.c_str(), &st) == 0;
}

std::string Bytes(size_t ulSize)
{
    std::string str(ulSize, '\0');
    for (size_t ul = 0; ul < ulSize; ul++)
        str[ul] = (char)((ul * 7 + ul / 256) & 0xFF);
    return str;
}

/* Objects made through the fixture are destroyed at the end; every test
 * leaves no block of the memory service behind and a scratch directory that
 * is removed. */
class WsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ulBaseline = ZelmEnvBlocksInUse();
        std::string strTemplate = (std::filesystem::temp_directory_path() / "zelmws.XXXXXX").string();
        std::vector<char> acTemplate(strTemplate.begin(), strTemplate.end());
        acTemplate.push_back('\0');
        ASSERT_NE(mkdtemp(acTemplate.data()), nullptr);
        strDir = acTemplate.data();
    }
    void TearDown() override
    {
        ZelmWsSetHook(nullptr, nullptr);
        ZelmWsSetFailure(nullptr, SIMWS_ATTR_STORE_FILE, 0);
        ZelmEnvFailAlloc(0, 0);
        for (SIMWSOBJ h : ahObjs)
            ZelmWsDestroyObj(h);
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline);
        std::error_code ec;
        std::filesystem::remove_all(strDir, ec);
    }
    SIMWSOBJ Make(ULONG ulType = SIMWS_TYPE_EXTERNAL, BOOL fInternal = FALSE)
    {
        SIMWSOBJ h = ZelmWsCreateObj(ulType, fInternal);
        EXPECT_NE(h, nullptr);
        ahObjs.push_back(h);
        return h;
    }
    std::string Path(const char *pszName) const
    {
        return strDir + "/" + pszName;
    }

    ULONG ulBaseline = 0;
    std::string strDir;
    std::vector<SIMWSOBJ> ahObjs;
};

/* ---- Queries --------------------------------------------------------------- */

TEST_F(WsTest, ObjectTypeAndInternalFlag)
{
    const struct {
        ULONG ulType;
        BOOL fInternal;
        BOOL fExpect;
    } aCases[] = {
        {SIMWS_TYPE_EXTERNAL, FALSE, FALSE},
        {SIMWS_TYPE_ASK_INTERNAL, TRUE, TRUE},
        {SIMWS_TYPE_ASK_INTERNAL, FALSE, FALSE},
        {SIMWS_TYPE_ASK_INTERNAL, 7, TRUE},
        {0xFFFFFFFF, FALSE, FALSE},
    };
    for (const auto &c : aCases) {
        SIMWSOBJ h = Make(c.ulType, c.fInternal);
        SIMOBJ ulType = 12345;
        BOOL fInternal = 12345;

        EXPECT_EQ(Query(h, SIMWS_ATTR_OBJECT_TYPE, &ulType), 0UL);
        EXPECT_EQ(ulType, c.ulType);
        EXPECT_EQ(Query(h, SIMWS_ATTR_INTERNAL, &fInternal), 0UL);
        EXPECT_EQ(fInternal, c.fExpect);
    }
}

TEST_F(WsTest, DataFileNameIsHandedOutAsACopyFromTheMemoryService)
{
    const std::string strLong(5000, 'n');
    const struct {
        const char *pszSet; /* null: no name */
    } aCases[] = {{nullptr}, {""}, {"C:\\data\\some file.dat"}, {strLong.c_str()}};

    for (const auto &c : aCases) {
        SIMWSOBJ h = Make();
        PSZ psz = (PSZ)"garbage";

        ASSERT_EQ(ZelmWsSetDataFile(h, (PSZ)c.pszSet), 0UL);
        ASSERT_EQ(Query(h, SIMWS_ATTR_DATA_FILE, &psz), 0UL);
        if (c.pszSet == nullptr) {
            EXPECT_EQ(psz, nullptr);
            EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline);
            continue;
        }
        ASSERT_NE(psz, nullptr);
        EXPECT_NE(psz, c.pszSet);
        EXPECT_STREQ(psz, c.pszSet);
        EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline + 1);

        /* The copy is the caller's: changing the object leaves it alone. */
        ASSERT_EQ(ZelmWsSetDataFile(h, (PSZ)"other"), 0UL);
        EXPECT_STREQ(psz, c.pszSet);
        EXPECT_EQ(FreeMem(psz), 0UL);
    }

    /* Removing the name again. */
    SIMWSOBJ h = Make();
    PSZ psz = nullptr;
    ASSERT_EQ(ZelmWsSetDataFile(h, (PSZ)"name"), 0UL);
    ASSERT_EQ(ZelmWsSetDataFile(h, nullptr), 0UL);
    EXPECT_EQ(Query(h, SIMWS_ATTR_DATA_FILE, &psz), 0UL);
    EXPECT_EQ(psz, nullptr);
}

TEST_F(WsTest, DataBytesAreHandedOutAsACopyFromTheMemoryService)
{
    const std::string strData = Bytes(1000); /* with zero bytes inside */
    SIMWSOBJ h = Make();
    SIMBUFFERSTRUCT buf;

    buf.ulStruct = sizeof(buf);
    buf.pucBuffer = (PUCHAR)&buf;
    buf.ulSize = 99;
    ASSERT_EQ(Query(h, SIMWS_ATTR_DATA_BUFFER, &buf), 0UL);
    EXPECT_EQ(buf.pucBuffer, nullptr);
    EXPECT_EQ(buf.ulSize, 0UL);

    ASSERT_EQ(ZelmWsSetData(h, strData.data(), (ULONG)strData.size()), 0UL);
    ASSERT_EQ(Query(h, SIMWS_ATTR_DATA_BUFFER, &buf), 0UL);
    ASSERT_NE(buf.pucBuffer, nullptr);
    ASSERT_EQ(buf.ulSize, strData.size());
    EXPECT_EQ(std::string((char *)buf.pucBuffer, buf.ulSize), strData);
    EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline + 1);
    EXPECT_EQ(FreeMem(buf.pucBuffer), 0UL);

    /* Both ways of removing the bytes. */
    const struct {
        const void *pData;
        ULONG ulSize;
    } aRemove[] = {{nullptr, 10}, {strData.data(), 0}};
    for (const auto &c : aRemove) {
        ASSERT_EQ(ZelmWsSetData(h, strData.data(), 5), 0UL);
        ASSERT_EQ(ZelmWsSetData(h, c.pData, c.ulSize), 0UL);
        ASSERT_EQ(Query(h, SIMWS_ATTR_DATA_BUFFER, &buf), 0UL);
        EXPECT_EQ(buf.pucBuffer, nullptr);
        EXPECT_EQ(buf.ulSize, 0UL);
    }
}

TEST_F(WsTest, BufferRecordMustReachPastItsSize)
{
    const ULONG ulNeeded = offsetof(SIMBUFFERSTRUCT, ulSize) + sizeof(ULONG);
    const struct {
        ULONG ulStruct;
        ULONG ulExpect;
    } aCases[] = {
        {0, ZELMWS_RC_BAD_BUFFERSTRUCT},
        {ulNeeded - 1, ZELMWS_RC_BAD_BUFFERSTRUCT},
        {ulNeeded, 0},
        {sizeof(SIMBUFFERSTRUCT), 0},
        {1000, 0},
    };
    SIMWSOBJ h = Make();
    ASSERT_EQ(ZelmWsSetData(h, "abc", 3), 0UL);

    for (const auto &c : aCases) {
        SCOPED_TRACE(c.ulStruct);
        SIMBUFFERSTRUCT buf;
        buf.ulStruct = c.ulStruct;
        buf.pucBuffer = (PUCHAR)&buf;
        buf.ulSize = 99;

        ASSERT_EQ(Query(h, SIMWS_ATTR_DATA_BUFFER, &buf), c.ulExpect);
        if (c.ulExpect != 0) {
            /* A record the store cannot trust is not written to. */
            EXPECT_EQ(buf.pucBuffer, (PUCHAR)&buf);
            EXPECT_EQ(buf.ulSize, 99UL);
            continue;
        }
        ASSERT_EQ(buf.ulSize, 3UL);
        EXPECT_EQ(memcmp(buf.pucBuffer, "abc", 3), 0);
        EXPECT_EQ(FreeMem(buf.pucBuffer), 0UL);
    }
}

TEST_F(WsTest, BadQueriesFailWithTheirOwnCodes)
{
    SIMWSOBJ hGood = Make();
    SIMWSOBJ hGone = ZelmWsCreateObj(0, FALSE);
    ZelmWsDestroyObj(hGone);
    ASSERT_EQ(ZelmWsSetDataFile(hGood, (PSZ)"name"), 0UL);

    ULONG ulValue = 0;
    const struct {
        const char *pszWhat;
        SIMWSOBJ hObj;
        ULONG ulAttr;
        PVOID pValue;
        ULONG ulExpect;
    } aCases[] = {
        {"null object", nullptr, SIMWS_ATTR_OBJECT_TYPE, &ulValue, ZELMWS_RC_BAD_OBJECT},
        {"handle never made", (SIMWSOBJ)(uintptr_t)0x7FFF1234, SIMWS_ATTR_OBJECT_TYPE,
         &ulValue, ZELMWS_RC_BAD_OBJECT},
        {"destroyed object", hGone, SIMWS_ATTR_OBJECT_TYPE, &ulValue, ZELMWS_RC_BAD_OBJECT},
        {"attribute 0", hGood, 0, &ulValue, ZELMWS_RC_BAD_ATTR},
        {"store-only attribute", hGood, SIMWS_ATTR_STORE_FILE, &ulValue, ZELMWS_RC_BAD_ATTR},
        {"attribute 9", hGood, 9, &ulValue, ZELMWS_RC_BAD_ATTR},
        {"attribute ~0", hGood, 0xFFFFFFFF, &ulValue, ZELMWS_RC_BAD_ATTR},
        {"null value, type", hGood, SIMWS_ATTR_OBJECT_TYPE, nullptr, ZELMWS_RC_NULL_VALUE},
        {"null value, flag", hGood, SIMWS_ATTR_INTERNAL, nullptr, ZELMWS_RC_NULL_VALUE},
        {"null value, name", hGood, SIMWS_ATTR_DATA_FILE, nullptr, ZELMWS_RC_NULL_VALUE},
        {"null value, bytes", hGood, SIMWS_ATTR_DATA_BUFFER, nullptr, ZELMWS_RC_NULL_VALUE},
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        ulValue = 4242;
        ULONG ulExtRc = 1;
        EXPECT_EQ(Query(c.hObj, c.ulAttr, c.pValue, &ulExtRc), c.ulExpect);
        EXPECT_EQ(ulExtRc, 0UL);
        EXPECT_EQ(ulValue, 4242UL);
    }

    /* The record is checked before anything else and, when bad, not filled. */
    RCSTRUCT rc = MakeRc();
    rc.ulStruct = 7;
    EXPECT_EQ(SimWsQueryObj(hGood, 1, SIMWS_ATTR_OBJECT_TYPE, &ulValue, &rc),
              ZELMWS_RC_BAD_RCSTRUCT);
    EXPECT_EQ(rc.ulRC, MakeRc().ulRC);
    EXPECT_EQ(SimWsQueryObj(nullptr, 1, 0, nullptr, nullptr), ZELMWS_RC_BAD_RCSTRUCT);
    rc.ulStruct = 8;
    EXPECT_EQ(SimWsQueryObj(hGood, 1, SIMWS_ATTR_OBJECT_TYPE, &ulValue, &rc), 0UL);
    EXPECT_EQ(rc.ulRC, 0UL);
    EXPECT_EQ(rc.ulExtRC, MakeRc().ulExtRC);

    /* The codes are told apart. */
    const ULONG aulCodes[] = {ZELMWS_RC_BAD_RCSTRUCT, ZELMWS_RC_NULL_VALUE, ZELMWS_RC_BAD_OBJECT,
                              ZELMWS_RC_BAD_ATTR, ZELMWS_RC_BAD_BUFFERSTRUCT,
                              ZELMWS_RC_NO_MEMORY, ZELMWS_RC_FILE_ERROR};
    for (size_t i = 0; i < sizeof(aulCodes) / sizeof(aulCodes[0]); i++) {
        EXPECT_NE(aulCodes[i], 0UL);
        for (size_t j = i + 1; j < sizeof(aulCodes) / sizeof(aulCodes[0]); j++)
            EXPECT_NE(aulCodes[i], aulCodes[j]);
    }
}

TEST_F(WsTest, FailedQueriesLeaveNoPointerToFree)
{
    SIMWSOBJ h = Make();
    ASSERT_EQ(ZelmWsSetDataFile(h, (PSZ)"name"), 0UL);
    ASSERT_EQ(ZelmWsSetData(h, "xyz", 3), 0UL);

    PSZ psz = (PSZ)"stale";
    EXPECT_EQ(Query(nullptr, SIMWS_ATTR_DATA_FILE, &psz), ZELMWS_RC_BAD_OBJECT);
    EXPECT_EQ(psz, nullptr);

    SIMBUFFERSTRUCT buf = {sizeof(buf), (PUCHAR)"stale", 5};
    EXPECT_EQ(Query((SIMWSOBJ)(uintptr_t)0x7FFF1234, SIMWS_ATTR_DATA_BUFFER, &buf),
              ZELMWS_RC_BAD_OBJECT);
    EXPECT_EQ(buf.pucBuffer, nullptr);
    EXPECT_EQ(buf.ulSize, 0UL);
}

/* When the memory service fails, the query says so and passes its code on. */
TEST_F(WsTest, MemoryServiceFailureReachesTheCaller)
{
    SIMWSOBJ h = Make();
    ASSERT_EQ(ZelmWsSetDataFile(h, (PSZ)"name"), 0UL);
    ASSERT_EQ(ZelmWsSetData(h, "xyz", 3), 0UL);

    ULONG ulExtRc = 0;
    PSZ psz = (PSZ)"stale";
    ZelmEnvFailAlloc(1, 555);
    EXPECT_EQ(Query(h, SIMWS_ATTR_DATA_FILE, &psz, &ulExtRc), ZELMWS_RC_NO_MEMORY);
    EXPECT_EQ(ulExtRc, 555UL);
    EXPECT_EQ(psz, nullptr);

    SIMBUFFERSTRUCT buf = {sizeof(buf), (PUCHAR)"stale", 5};
    ZelmEnvFailAlloc(1, 556);
    EXPECT_EQ(Query(h, SIMWS_ATTR_DATA_BUFFER, &buf, &ulExtRc), ZELMWS_RC_NO_MEMORY);
    EXPECT_EQ(ulExtRc, 556UL);
    EXPECT_EQ(buf.pucBuffer, nullptr);
    EXPECT_EQ(buf.ulSize, 0UL);
    EXPECT_EQ(ZelmEnvBlocksInUse(), ulBaseline);
}

/* ---- Stores ---------------------------------------------------------------- */

TEST_F(WsTest, StoreWritesExactlyTheContent)
{
    const std::string strBig = Bytes(300000);
    const std::string strName = Path("inputs.dat");
    std::string strRead;
    SIMWSOBJ h = Make();

    /* Default content: an empty file. */
    ASSERT_EQ(Store(h, 11, strName), 0UL);
    ASSERT_TRUE(ReadFile(strName, &strRead));
    EXPECT_EQ(strRead, "");

    ASSERT_EQ(ZelmWsSetContent(h, strBig.data(), (ULONG)strBig.size()), 0UL);
    ASSERT_EQ(Store(h, 12, strName), 0UL);
    ASSERT_TRUE(ReadFile(strName, &strRead));
    EXPECT_TRUE(strRead == strBig) << "size " << strRead.size();

    /* A shorter content truncates what was there. */
    ASSERT_EQ(ZelmWsSetContent(h, "a\0b", 3), 0UL);
    ASSERT_EQ(Store(h, 13, strName), 0UL);
    ASSERT_TRUE(ReadFile(strName, &strRead));
    EXPECT_EQ(strRead, std::string("a\0b", 3));

    /* So does storing the null object. */
    ASSERT_EQ(Store(nullptr, 14, strName), 0UL);
    ASSERT_TRUE(ReadFile(strName, &strRead));
    EXPECT_EQ(strRead, "");

    /* Clearing the content goes back to the empty file. */
    ASSERT_EQ(ZelmWsSetContent(h, nullptr, 0), 0UL);
    ASSERT_EQ(Store(h, 15, Path("again.dat")), 0UL);
    ASSERT_TRUE(ReadFile(Path("again.dat"), &strRead));
    EXPECT_EQ(strRead, "");

    /* The content belongs to the object, not to the one who set it. */
    std::string strMine = "mine";
    ASSERT_EQ(ZelmWsSetContent(h, strMine.data(), 4), 0UL);
    strMine = "XXXX";
    ASSERT_EQ(Store(h, 16, strName), 0UL);
    ASSERT_TRUE(ReadFile(strName, &strRead));
    EXPECT_EQ(strRead, "mine");
}

TEST_F(WsTest, LastStoreTellsClassIdAndName)
{
    const std::string strName = Path("last.dat");
    SIMWSOBJ h = Make();
    ULONG ulClassId = 0;
    char acName[1024];

    ASSERT_EQ(Store(h, 0xC1A55, strName), 0UL);
    ASSERT_EQ(ZelmWsLastStore(&ulClassId, acName, sizeof(acName)), 0UL);
    EXPECT_EQ(ulClassId, 0xC1A55UL);
    EXPECT_EQ(std::string(acName), strName);

    /* Too small a buffer cuts the name and says so. */
    memset(acName, 'Z', sizeof(acName));
    EXPECT_EQ(ZelmWsLastStore(nullptr, acName, 5), ZELMWS_RC_TRUNCATED);
    EXPECT_EQ(std::string(acName), strName.substr(0, 4));
    EXPECT_EQ(ZelmWsLastStore(nullptr, acName, (ULONG)strName.size() + 1), 0UL);
    EXPECT_EQ(std::string(acName), strName);
    memset(acName, 'Z', sizeof(acName));
    EXPECT_EQ(ZelmWsLastStore(nullptr, acName, 0), ZELMWS_RC_TRUNCATED);
    EXPECT_EQ(acName[0], 'Z');
    ulClassId = 0;
    EXPECT_EQ(ZelmWsLastStore(&ulClassId, nullptr, 0), 0UL);
    EXPECT_EQ(ulClassId, 0xC1A55UL);

    /* A failed store leaves the record of the last good one alone. */
    EXPECT_EQ(Store(h, 99, Path("no/such/dir/file")), ZELMWS_RC_FILE_ERROR);
    ASSERT_EQ(ZelmWsLastStore(&ulClassId, acName, sizeof(acName)), 0UL);
    EXPECT_EQ(ulClassId, 0xC1A55UL);
    EXPECT_EQ(std::string(acName), strName);
}

TEST_F(WsTest, BadStoresFailWithTheirOwnCodesAndWriteNothing)
{
    const std::string strName = Path("never.dat");
    SIMWSOBJ hGood = Make();
    SIMWSOBJ hGone = ZelmWsCreateObj(0, FALSE);
    ZelmWsDestroyObj(hGone);
    SIMSRCFILE pszName = (PSZ)strName.c_str();
    SIMSRCFILE pszNull = nullptr;

    const struct {
        const char *pszWhat;
        SIMWSOBJ hObj;
        ULONG ulAttr;
        PVOID pValue;
        ULONG ulExpect;
    } aCases[] = {
        {"handle never made", (SIMWSOBJ)(uintptr_t)0x7FFF1234, SIMWS_ATTR_STORE_FILE, &pszName,
         ZELMWS_RC_BAD_OBJECT},
        {"garbage handle", (SIMWSOBJ)&pszName, SIMWS_ATTR_STORE_FILE, &pszName,
         ZELMWS_RC_BAD_OBJECT},
        {"destroyed object", hGone, SIMWS_ATTR_STORE_FILE, &pszName, ZELMWS_RC_BAD_OBJECT},
        {"query-only attribute", hGood, SIMWS_ATTR_DATA_FILE, &pszName, ZELMWS_RC_BAD_ATTR},
        {"attribute 0", hGood, 0, &pszName, ZELMWS_RC_BAD_ATTR},
        {"null object, attribute 25", nullptr, SIMWS_ATTR_OBJECT_TYPE, &pszName,
         ZELMWS_RC_BAD_ATTR},
        {"null value", hGood, SIMWS_ATTR_STORE_FILE, nullptr, ZELMWS_RC_NULL_VALUE},
        {"null file name", hGood, SIMWS_ATTR_STORE_FILE, &pszNull, ZELMWS_RC_NULL_VALUE},
        {"null object, null name", nullptr, SIMWS_ATTR_STORE_FILE, &pszNull,
         ZELMWS_RC_NULL_VALUE},
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        RCSTRUCT rc = MakeRc();
        EXPECT_EQ(SimWsStoreObj(c.hObj, 1, 1, c.ulAttr, c.pValue, 0, &rc), c.ulExpect);
        EXPECT_EQ(rc.ulRC, c.ulExpect);
        EXPECT_FALSE(Exists(strName));
    }

    EXPECT_EQ(SimWsStoreObj(hGood, 1, 1, SIMWS_ATTR_STORE_FILE, &pszName, 0, nullptr),
              ZELMWS_RC_BAD_RCSTRUCT);
    EXPECT_FALSE(Exists(strName));
}

TEST_F(WsTest, StoreFailsCleanlyWhenTheFileCannotBeMade)
{
    SIMWSOBJ h = Make();
    ASSERT_EQ(ZelmWsSetContent(h, "content", 7), 0UL);
    const struct {
        const char *pszWhat;
        std::string strName;
        ULONG ulErrno;
    } aCases[] = {
        {"missing directory", Path("missing/file.dat"), ENOENT},
        {"name of a directory", strDir, EISDIR},
        {"empty name", "", ENOENT},
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        ULONG ulExtRc = 0;
        EXPECT_EQ(Store(h, 1, c.strName, &ulExtRc), ZELMWS_RC_FILE_ERROR);
        EXPECT_EQ(ulExtRc, c.ulErrno);
    }
    EXPECT_TRUE(std::filesystem::is_directory(strDir));
    EXPECT_TRUE(std::filesystem::is_empty(strDir));
}

#ifndef _WIN32
/* A device that takes nothing: the error is reported and the device, not
 * being a file the store made, is left where it is. */
TEST_F(WsTest, StoreReportsAFullDeviceAndKeepsIt)
{
    FILE *pFull = fopen("/dev/full", "wb");
    if (pFull == nullptr)
        GTEST_SKIP() << "no /dev/full";
    fclose(pFull);

    SIMWSOBJ h = Make();
    const std::string strData = Bytes(100000);
    ASSERT_EQ(ZelmWsSetContent(h, strData.data(), (ULONG)strData.size()), 0UL);

    ULONG ulExtRc = 0;
    EXPECT_EQ(Store(h, 1, "/dev/full", &ulExtRc), ZELMWS_RC_FILE_ERROR);
    EXPECT_EQ(ulExtRc, (ULONG)ENOSPC);
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    /* Only the last write can fail too: content small enough to be buffered. */
    ASSERT_EQ(ZelmWsSetContent(h, "x", 1), 0UL);
    EXPECT_EQ(Store(h, 1, "/dev/full", &ulExtRc), ZELMWS_RC_FILE_ERROR);
    EXPECT_EQ(ulExtRc, (ULONG)ENOSPC);
}

/* A regular file that cannot be written to the end is removed again. The
 * file size limit is set in a child process, which reports by exit code. */
TEST_F(WsTest, StoreRemovesAFileItCouldNotFinish)
{
    const std::string strName = Path("partial.dat");
    const std::string strData = Bytes(200000);
    SIMWSOBJ h = Make();
    ASSERT_EQ(ZelmWsSetContent(h, strData.data(), (ULONG)strData.size()), 0UL);

    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        struct rlimit rl;
        rl.rlim_cur = 50000;
        rl.rlim_max = 50000;
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            _exit(10);
        ULONG ulExtRc = 0;
        RCSTRUCT rc = MakeRc();
        SIMSRCFILE pszName = (PSZ)strName.c_str();
        ULONG ulRc = SimWsStoreObj(h, 1, 1, SIMWS_ATTR_STORE_FILE, &pszName, 0, &rc);
        ulExtRc = rc.ulExtRC;
        if (ulRc != ZELMWS_RC_FILE_ERROR)
            _exit(11);
        if (ulExtRc != (ULONG)EFBIG)
            _exit(12);
        if (Exists(strName))
            _exit(13);
        _exit(0);
    }
    int iStatus = 0;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(iStatus));
    EXPECT_EQ(WEXITSTATUS(iStatus), 0) << "10: no limit, 11: not a file error, "
                                          "12: not EFBIG, 13: file left behind";
    EXPECT_FALSE(Exists(strName));
}
#endif

/* ---- Injected failures ----------------------------------------------------- */

TEST_F(WsTest, InjectedFailureHitsOneAttributeOfOneObject)
{
    SIMWSOBJ h = Make();
    SIMWSOBJ hOther = Make();
    for (SIMWSOBJ hObj : {h, hOther}) {
        ASSERT_EQ(ZelmWsSetDataFile(hObj, (PSZ)"name"), 0UL);
        ASSERT_EQ(ZelmWsSetData(hObj, "xyz", 3), 0UL);
    }

    const ULONG aulQueried[] = {SIMWS_ATTR_DATA_FILE, SIMWS_ATTR_INTERNAL,
                                SIMWS_ATTR_DATA_BUFFER, SIMWS_ATTR_OBJECT_TYPE};
    auto QueryAttr = [](SIMWSOBJ hObj, ULONG ulAttr) -> ULONG {
        PSZ psz = nullptr;
        ULONG ulValue = 0;
        SIMBUFFERSTRUCT buf = {sizeof(buf), nullptr, 0};
        PVOID pValue = ulAttr == SIMWS_ATTR_DATA_FILE     ? (PVOID)&psz
                       : ulAttr == SIMWS_ATTR_DATA_BUFFER ? (PVOID)&buf
                                                          : (PVOID)&ulValue;
        ULONG ulRc = Query(hObj, ulAttr, pValue);
        if (ulRc != 0) {
            EXPECT_EQ(psz, nullptr);
            EXPECT_EQ(buf.pucBuffer, nullptr);
        }
        if (psz != nullptr) {
            EXPECT_EQ(FreeMem(psz), 0UL);
        }
        if (buf.pucBuffer != nullptr) {
            EXPECT_EQ(FreeMem(buf.pucBuffer), 0UL);
        }
        return ulRc;
    };

    for (ULONG ulFailing : aulQueried) {
        SCOPED_TRACE(ulFailing);
        ASSERT_EQ(ZelmWsSetFailure(h, ulFailing, 4242), 0UL);
        for (ULONG ulAttr : aulQueried) {
            EXPECT_EQ(QueryAttr(h, ulAttr), ulAttr == ulFailing ? 4242UL : 0UL) << ulAttr;
            EXPECT_EQ(QueryAttr(hOther, ulAttr), 0UL) << ulAttr;
        }
        EXPECT_EQ(Store(h, 1, Path("ok.dat")), 0UL);
        ASSERT_EQ(ZelmWsSetFailure(h, ulFailing, 0), 0UL);
        EXPECT_EQ(QueryAttr(h, ulFailing), 0UL);
    }

    /* Argument checks come first. */
    ASSERT_EQ(ZelmWsSetFailure(h, SIMWS_ATTR_DATA_BUFFER, 4242), 0UL);
    SIMBUFFERSTRUCT buf = {4, nullptr, 0};
    EXPECT_EQ(Query(h, SIMWS_ATTR_DATA_BUFFER, &buf), ZELMWS_RC_BAD_BUFFERSTRUCT);
    EXPECT_EQ(Query(h, SIMWS_ATTR_DATA_BUFFER, nullptr), ZELMWS_RC_NULL_VALUE);

    /* Stores of an object, and of the null object. */
    ASSERT_EQ(ZelmWsSetFailure(h, SIMWS_ATTR_STORE_FILE, 31), 0UL);
    EXPECT_EQ(Store(h, 1, Path("h.dat")), 31UL);
    EXPECT_FALSE(Exists(Path("h.dat")));
    EXPECT_EQ(Store(nullptr, 1, Path("null.dat")), 0UL);
    ASSERT_EQ(ZelmWsSetFailure(nullptr, SIMWS_ATTR_STORE_FILE, 32), 0UL);
    EXPECT_EQ(Store(nullptr, 1, Path("null2.dat")), 32UL);
    EXPECT_FALSE(Exists(Path("null2.dat")));
    EXPECT_EQ(Store(hOther, 1, Path("other.dat")), 0UL);

    EXPECT_EQ(ZelmWsSetFailure(h, 9, 1), ZELMWS_RC_BAD_ATTR);
    EXPECT_EQ(ZelmWsSetFailure((SIMWSOBJ)(uintptr_t)0x7FFF1234, SIMWS_ATTR_OBJECT_TYPE, 1),
              ZELMWS_RC_BAD_OBJECT);
}

TEST_F(WsTest, SettersRefuseUnknownObjects)
{
    SIMWSOBJ hGone = ZelmWsCreateObj(0, FALSE);
    ZelmWsDestroyObj(hGone);
    ZelmWsDestroyObj(hGone);   /* ignored */
    ZelmWsDestroyObj(nullptr); /* ignored */

    for (SIMWSOBJ hObj : {(SIMWSOBJ) nullptr, hGone, (SIMWSOBJ)(uintptr_t)0x7FFF1234}) {
        EXPECT_EQ(ZelmWsSetDataFile(hObj, (PSZ)"x"), ZELMWS_RC_BAD_OBJECT);
        EXPECT_EQ(ZelmWsSetData(hObj, "x", 1), ZELMWS_RC_BAD_OBJECT);
        EXPECT_EQ(ZelmWsSetContent(hObj, "x", 1), ZELMWS_RC_BAD_OBJECT);
    }
    /* A new object never gets an old handle. */
    SIMWSOBJ hNew = Make();
    EXPECT_NE(hNew, hGone);
}

/* ---- The hook -------------------------------------------------------------- */

struct HookCall {
    SIMWSOBJ hObj;
    ULONG ulAttr;
    BOOL fStore;
};

void ZELMAPI RecordHook(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    ((std::vector<HookCall> *)pUser)->push_back({hObj, ulAttr, fStore});
}

TEST_F(WsTest, HookSeesEveryCallBeforeItIsChecked)
{
    SIMWSOBJ h = Make();
    std::vector<HookCall> aCalls;
    ULONG ulValue = 0;

    ZelmWsSetHook(RecordHook, &aCalls);
    EXPECT_EQ(Query(h, SIMWS_ATTR_OBJECT_TYPE, &ulValue), 0UL);
    EXPECT_EQ(Query(h, 77, &ulValue), ZELMWS_RC_BAD_ATTR);
    EXPECT_EQ(SimWsQueryObj(nullptr, 1, SIMWS_ATTR_INTERNAL, &ulValue, nullptr),
              ZELMWS_RC_BAD_RCSTRUCT);
    EXPECT_EQ(Store(h, 5, Path("a.dat")), 0UL);
    EXPECT_EQ(Store((SIMWSOBJ)(uintptr_t)0x7FFF1234, 5, Path("b.dat")), ZELMWS_RC_BAD_OBJECT);
    ZelmWsSetHook(nullptr, &aCalls);
    EXPECT_EQ(Query(h, SIMWS_ATTR_OBJECT_TYPE, &ulValue), 0UL);

    const HookCall aExpected[] = {
        {h, SIMWS_ATTR_OBJECT_TYPE, FALSE},
        {h, 77, FALSE},
        {nullptr, SIMWS_ATTR_INTERNAL, FALSE},
        {h, SIMWS_ATTR_STORE_FILE, TRUE},
        {(SIMWSOBJ)(uintptr_t)0x7FFF1234, SIMWS_ATTR_STORE_FILE, TRUE},
    };
    ASSERT_EQ(aCalls.size(), sizeof(aExpected) / sizeof(aExpected[0]));
    for (size_t i = 0; i < aCalls.size(); i++) {
        EXPECT_EQ(aCalls[i].hObj, aExpected[i].hObj) << i;
        EXPECT_EQ(aCalls[i].ulAttr, aExpected[i].ulAttr) << i;
        EXPECT_EQ(aCalls[i].fStore, aExpected[i].fStore) << i;
    }
}

void ZELMAPI DestroyingHook(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    (void)pUser;
    (void)ulAttr;
    (void)fStore;
    ZelmWsDestroyObj(hObj);
}

/* The hook may use the store itself, even pull the object away. */
TEST_F(WsTest, HookMayDestroyTheObjectItIsCalledFor)
{
    SIMWSOBJ h = ZelmWsCreateObj(0, FALSE);
    ASSERT_EQ(ZelmWsSetDataFile(h, (PSZ)"name"), 0UL);
    ZelmWsSetHook(DestroyingHook, nullptr);

    PSZ psz = (PSZ)"stale";
    EXPECT_EQ(Query(h, SIMWS_ATTR_DATA_FILE, &psz), ZELMWS_RC_BAD_OBJECT);
    EXPECT_EQ(psz, nullptr);

    SIMWSOBJ h2 = ZelmWsCreateObj(0, FALSE);
    EXPECT_EQ(Store(h2, 1, Path("x.dat")), ZELMWS_RC_BAD_OBJECT);
    EXPECT_FALSE(Exists(Path("x.dat")));
}

struct BlockingHook {
    std::mutex mtx;
    std::condition_variable cv;
    bool fEntered = false;
    bool fRelease = false;
    std::thread::id idBlocked;
};

void ZELMAPI BlockHook(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    (void)hObj;
    (void)ulAttr;
    (void)fStore;
    BlockingHook *pBlock = (BlockingHook *)pUser;
    if (std::this_thread::get_id() != pBlock->idBlocked)
        return;
    std::unique_lock<std::mutex> lock(pBlock->mtx);
    pBlock->fEntered = true;
    pBlock->cv.notify_all();
    pBlock->cv.wait(lock, [pBlock] { return pBlock->fRelease; });
}

/* While one caller sits in the hook, everyone else goes on. */
TEST_F(WsTest, HookMayBlockWithoutStoppingOtherCallers)
{
    SIMWSOBJ h = Make(SIMWS_TYPE_ASK_INTERNAL, TRUE);
    BlockingHook block;
    ULONG ulBlockedRc = 1;
    ULONG ulBlockedType = 0;

    ZelmWsSetHook(BlockHook, &block);
    std::thread th([&]() {
        {
            std::lock_guard<std::mutex> lock(block.mtx);
            block.idBlocked = std::this_thread::get_id();
        }
        ulBlockedRc = Query(h, SIMWS_ATTR_OBJECT_TYPE, &ulBlockedType);
    });
    {
        std::unique_lock<std::mutex> lock(block.mtx);
        block.cv.wait(lock, [&] { return block.fEntered; });
    }

    SIMWSOBJ hMore = Make();
    BOOL fInternal = FALSE;
    EXPECT_EQ(Query(h, SIMWS_ATTR_INTERNAL, &fInternal), 0UL);
    EXPECT_EQ(fInternal, TRUE);
    EXPECT_EQ(ZelmWsSetContent(hMore, "more", 4), 0UL);
    EXPECT_EQ(Store(hMore, 2, Path("more.dat")), 0UL);
    ZelmWsSetHook(RecordHook, nullptr); /* replacing the hook meanwhile is fine */
    ZelmWsSetHook(nullptr, nullptr);

    {
        std::lock_guard<std::mutex> lock(block.mtx);
        block.fRelease = true;
    }
    block.cv.notify_all();
    th.join();
    EXPECT_EQ(ulBlockedRc, 0UL);
    EXPECT_EQ(ulBlockedType, SIMWS_TYPE_ASK_INTERNAL);
}

#ifndef _WIN32
void ZELMAPI ExitingHook(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    (void)hObj;
    (void)ulAttr;
    (void)fStore;
    if (*(pthread_t *)pUser == pthread_self())
        pthread_exit(nullptr);
}

void *QueryingThread(void *pArg)
{
    ULONG ulValue = 0;
    Query((SIMWSOBJ)pArg, SIMWS_ATTR_OBJECT_TYPE, &ulValue);
    return (void *)1; /* not reached */
}

/* A hook that ends its thread leaves the store usable. */
TEST_F(WsTest, HookMayEndItsThread)
{
    SIMWSOBJ h = Make(9, FALSE);
    pthread_t thExit;
    static pthread_t thTarget;

    ZelmWsSetHook(ExitingHook, &thTarget);
    /* The hook reads thTarget only in the new thread, after it is set. */
    static pthread_mutex_t mtxStart = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&mtxStart);
    ASSERT_EQ(pthread_create(&thExit, nullptr,
                             [](void *pArg) -> void * {
                                 pthread_mutex_lock(&mtxStart);
                                 pthread_mutex_unlock(&mtxStart);
                                 return QueryingThread(pArg);
                             },
                             h),
              0);
    thTarget = thExit;
    pthread_mutex_unlock(&mtxStart);
    void *pResult = nullptr;
    ASSERT_EQ(pthread_join(thExit, &pResult), 0);
    EXPECT_EQ(pResult, nullptr);

    ULONG ulValue = 0;
    EXPECT_EQ(Query(h, SIMWS_ATTR_OBJECT_TYPE, &ulValue), 0UL);
    EXPECT_EQ(ulValue, 9UL);
    EXPECT_EQ(Store(h, 1, Path("after.dat")), 0UL);
}
#endif

/* ---- Threads --------------------------------------------------------------- */

void ZELMAPI CountingHook(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    (void)hObj;
    (void)ulAttr;
    (void)fStore;
    ((std::atomic<int> *)pUser)->fetch_add(1);
}

TEST_F(WsTest, ThreadsWorkOnTheStoreAtOnce)
{
    const int nThreads = 3;
    const int nRounds = 300;
    std::atomic<int> nErrors(0);
    std::atomic<int> nHookCalls(0);
    std::atomic<bool> fDone(false);
    std::vector<std::thread> aThreads;

    for (int t = 0; t < nThreads; t++) {
        aThreads.emplace_back([&, t]() {
            const std::string strName = Path(("t" + std::to_string(t) + ".dat").c_str());
            for (int i = 0; i < nRounds; i++) {
                SIMWSOBJ h = ZelmWsCreateObj((ULONG)(t * 1000 + i), i & 1);
                const std::string strData = std::to_string(t) + ":" + std::to_string(i);
                ULONG ulType = 0;
                PSZ psz = nullptr;
                SIMBUFFERSTRUCT buf = {sizeof(buf), nullptr, 0};
                std::string strRead;

                if (h == nullptr ||
                    ZelmWsSetDataFile(h, (PSZ)strData.c_str()) != 0 ||
                    ZelmWsSetData(h, strData.data(), (ULONG)strData.size()) != 0 ||
                    ZelmWsSetContent(h, strData.data(), (ULONG)strData.size()) != 0 ||
                    Query(h, SIMWS_ATTR_OBJECT_TYPE, &ulType) != 0 ||
                    ulType != (ULONG)(t * 1000 + i) ||
                    Query(h, SIMWS_ATTR_DATA_FILE, &psz) != 0 || strData != psz ||
                    Query(h, SIMWS_ATTR_DATA_BUFFER, &buf) != 0 ||
                    std::string((char *)buf.pucBuffer, buf.ulSize) != strData ||
                    Store(h, (ULONG)t, strName) != 0 || !ReadFile(strName, &strRead) ||
                    strRead != strData)
                    nErrors++;
                if (psz != nullptr && FreeMem(psz) != 0)
                    nErrors++;
                if (buf.pucBuffer != nullptr && FreeMem(buf.pucBuffer) != 0)
                    nErrors++;
                ZelmWsDestroyObj(h);
            }
        });
    }
    /* Meanwhile the hook comes and goes and failures are set on objects
     * that other threads may be destroying. */
    std::thread thSteer([&]() {
        ULONG ulClassId;
        char acName[64];
        while (!fDone.load()) {
            ZelmWsSetHook(CountingHook, &nHookCalls);
            ZelmWsSetFailure((SIMWSOBJ)(uintptr_t)0x7FFF0000, SIMWS_ATTR_OBJECT_TYPE, 1);
            ZelmWsLastStore(&ulClassId, acName, sizeof(acName));
            std::this_thread::yield();
            ZelmWsSetHook(nullptr, nullptr);
        }
    });
    for (std::thread &th : aThreads)
        th.join();
    fDone = true;
    thSteer.join();

    EXPECT_EQ(nErrors.load(), 0);
}

} // namespace
