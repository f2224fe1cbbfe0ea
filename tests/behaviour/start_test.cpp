/*
 * start_test.cpp - starting a class program: which inputs file it gets and
 * how, where it runs, and every way the start can fail, with the result
 * code, the lines on standard error and nothing left behind.
 */
#include "zxctest.h"

#include <string.h>

typedef ClassTest StartTest;

/* ---- The inputs file ----------------------------------------------------- */

TEST_F(StartTest, DataBytesGoIntoANewTemporaryFileThatTheEndCallDeletes)
{
    const std::string data("bytes\0with a zero\r\nand line ends", 33);
    SIMWSOBJ hObj = MakeBytesObject(data);
    std::string sReport = ReportPath("report");
    PVOID hSession = NULL;
    ProbeReport report;

    CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), sWork.c_str(), &hSession);
    ASSERT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    ASSERT_NE(hSession, nullptr);
    ASSERT_TRUE(WaitReport(sReport, &report));

    std::string sInputs = report.LastArg();
    EXPECT_EQ(sInputs.compare(0, sTmp.size() + 1, sTmp + TsSep()), 0) << sInputs;
    EXPECT_TRUE(report.fInputs);
    EXPECT_EQ(report.inputs, data);
    EXPECT_EQ(TsRealPath(report.Get("cwd")), TsRealPath(sWork));
    EXPECT_EQ(TsGetCwd(), sHostCwd);
    EXPECT_TRUE(TsFileExists(sInputs));
    EXPECT_TRUE(TsProcessRunning(report.Pid()));

    r = End(hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_FALSE(TsFileExists(sInputs));
    EXPECT_TRUE(TsWaitProcessGone(report.Pid(), ZXC_WAIT_MS));
}

/* Sizes around the 32000-byte pieces in which the file is written, and one
 * that no 16-bit count can hold. */
TEST_F(StartTest, DataBytesOfEverySizeArriveUnchanged)
{
    const ULONG aulSizes[] = {1, 31999, 32000, 32001, 64000, 64001, 70000};

    for (ULONG ulSize : aulSizes) {
        std::string data(ulSize, '\0');
        for (ULONG i = 0; i < ulSize; i++) {
            data[i] = (char)(i * 7 + i / 251);
        }
        SIMWSOBJ hObj = MakeBytesObject(data);
        std::string sReport = ReportPath(("report" + std::to_string(ulSize)).c_str());
        PVOID hSession = NULL;
        ProbeReport report;

        CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), NULL, &hSession);
        ASSERT_EQ(r.ulRC, 0u) << ulSize;
        ASSERT_TRUE(WaitReport(sReport, &report)) << ulSize;
        EXPECT_EQ(report.inputs.size(), data.size()) << ulSize;
        EXPECT_TRUE(report.inputs == data) << ulSize;
        EXPECT_EQ(End(hSession).ulRC, 0u);
    }
}

/* A data file name reaches the program as it is, as one argument, even with
 * blanks and double quotes in it; the file is neither read nor deleted. */
TEST_F(StartTest, DataFileNameIsPassedOnAsOneArgumentAndKept)
{
#ifdef _WIN32
    /* Windows file names hold no double quote. */
    const char *apszNames[] = {"plain.dat", "with blanks in it.dat", "semi;colon & amp (1).dat"};
#else
    const char *apszNames[] = {"plain.dat", "with blanks in it.dat", "quote\"d name.dat",
                               "back\\slash\\\" and \"quote.dat"};
#endif

    for (const char *pszName : apszNames) {
        std::string sData = TsJoin(sWork, pszName);
        ASSERT_TRUE(TsWriteFile(sData, "the object's own data"));
        SIMWSOBJ hObj = MakeFileObject(sData.c_str());
        std::string sReport = NewReportPath();
        PVOID hSession = NULL;
        ProbeReport report;

        CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), NULL, &hSession);
        ASSERT_EQ(r.ulRC, 0u) << pszName;
        ASSERT_TRUE(WaitReport(sReport, &report)) << pszName;
        EXPECT_EQ(report.args, std::vector<std::string>({"--record", sReport, "--forever", sData}))
            << pszName;
        EXPECT_EQ(End(hSession).ulRC, 0u);
        EXPECT_TRUE(TsFileExists(sData)) << pszName;
    }
}

TEST_F(StartTest, DataFileNameLongerThan260IsCutTo260)
{
    std::string sName = sWork + "/" + std::string(300 - sWork.size() - 1, 'n');
    SIMWSOBJ hObj = MakeFileObject(sName.c_str());
    std::string sReport = ReportPath("report");
    PVOID hSession = NULL;
    ProbeReport report;

    ASSERT_EQ(sName.size(), 300u);
    CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), NULL, &hSession);
    ASSERT_EQ(r.ulRC, 0u);
    ASSERT_TRUE(WaitReport(sReport, &report));
    EXPECT_EQ(report.LastArg(), sName.substr(0, 260));
    EXPECT_EQ(End(hSession).ulRC, 0u);
}

/* Which objects the library writes itself and which the store writes under
 * the temporary name. */
TEST_F(StartTest, ObjectKindDecidesWhoWritesTheInputsFile)
{
    struct Case {
        const char *pszWhat;
        bool fObject;
        ULONG ulType;
        BOOL fInternal;
        bool fBytes;
        bool fLibraryWrites;
    } aCases[] = {
        {"external, bytes", true, 0, FALSE, true, true},
        {"type 4, not internal, bytes", true, 4, FALSE, true, true},
        {"type 4, internal, bytes", true, 4, TRUE, true, false},
        {"type 7, bytes", true, 7, FALSE, true, false},
        {"external, no bytes", true, 0, FALSE, false, false},
        {"no object at all", false, 0, FALSE, false, false},
    };

    for (const Case &c : aCases) {
        SIMWSOBJ hObj = NULL;
        if (c.fObject) {
            hObj = MakeObject(c.ulType, c.fInternal);
            if (c.fBytes) {
                ZelmWsSetData(hObj, "object bytes", 12);
            }
            ZelmWsSetContent(hObj, "stored content", 14);
        }
        std::string sReport = NewReportPath();
        PVOID hSession = NULL;
        ProbeReport report;
        ULONG ulClassId = 0;

        CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), NULL, &hSession,
                             NULL, 0, 4711);
        ASSERT_EQ(r.ulRC, 0u) << c.pszWhat;
        EXPECT_EQ(r.lines, Lines()) << c.pszWhat;
        ASSERT_TRUE(WaitReport(sReport, &report)) << c.pszWhat;
        std::string sInputs = report.LastArg();
        if (c.fLibraryWrites) {
            EXPECT_EQ(report.inputs, "object bytes") << c.pszWhat;
            EXPECT_EQ(End(hSession).ulRC, 0u);
            EXPECT_FALSE(TsFileExists(sInputs)) << c.pszWhat;
        } else {
            EXPECT_EQ(LastStoredFile(&ulClassId), sInputs) << c.pszWhat;
            EXPECT_EQ(ulClassId, 4711u) << c.pszWhat;
            EXPECT_EQ(report.inputs, c.fObject ? "stored content" : "") << c.pszWhat;
            EXPECT_EQ(End(hSession).ulRC, 0u);
            EXPECT_TRUE(TsFileExists(sInputs)) << "the store's file is the host's: " << c.pszWhat;
        }
    }
}

/* A failed classification is no failure of the start: the object counts as
 * not external, and the line is printed all the same. */
TEST_F(StartTest, FailedClassificationQueryIsPrintedAndTheStoreWritesTheFile)
{
    struct Case {
        ULONG ulType;
        ULONG ulFailedAttr;
    } aCases[] = {{0, 25}, {4, 10}};

    for (const Case &c : aCases) {
        SIMWSOBJ hObj = MakeObject(c.ulType, FALSE);
        ZelmWsSetData(hObj, "bytes", 5);
        ZelmWsSetContent(hObj, "stored", 6);
        ZelmWsSetFailure(hObj, c.ulFailedAttr, 4242);
        std::string sReport = NewReportPath();
        PVOID hSession = NULL;
        ProbeReport report;

        CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), NULL, &hSession);
        EXPECT_EQ(r.ulRC, 0u);
        EXPECT_EQ(r.lines, Lines({"Error in working set query: rc=4242"}));
        ASSERT_TRUE(WaitReport(sReport, &report));
        EXPECT_EQ(report.inputs, "stored");
        EXPECT_EQ(LastStoredFile(), report.LastArg());
        EXPECT_EQ(End(hSession).ulRC, 0u);
    }
}

/* ---- Where and how the program runs -------------------------------------- */

#ifndef _WIN32
/* The stand-in for a console of its own: a session of its own, and no
 * descriptor of the host's beyond the standard streams. */
TEST_F(StartTest, ProgramRunsInItsOwnSessionWithOnlyTheStandardStreams)
{
    ProbeReport report;
    PVOID hSession = StartRunning("session", &report);

    EXPECT_EQ(report.Get("sid"), report.Get("pid"));
    EXPECT_EQ(report.Get("fds"), "0,1,2");
    EXPECT_EQ(End(hSession).ulRC, 0u);
}
#endif

TEST_F(StartTest, WorkingDirectoryIsResolvedAgainstTheHostsDirectory)
{
    std::string sSub = TsJoin(sWork, "sub");
    ASSERT_TRUE(TsMakeDir(sSub));
    ASSERT_TRUE(TsChangeDir(sWork));
    struct Case {
        const char *pszWorkingDir;
        std::string sExpected;
    } aCases[] = {
        {NULL, sWork},
        {"sub", sSub},
        {"./sub/../sub/.", sSub},
        {"..", TsRealPath(TsJoin(sWork, ".."))},
    };

    for (const Case &c : aCases) {
        SIMWSOBJ hObj = MakeBytesObject("x");
        std::string sReport = NewReportPath();
        PVOID hSession = NULL;
        ProbeReport report;

        CallResult r = Start(hObj, ProbeProgram(sReport, "--forever").c_str(), c.pszWorkingDir,
                             &hSession);
        ASSERT_EQ(r.ulRC, 0u) << (c.pszWorkingDir ? c.pszWorkingDir : "null");
        ASSERT_TRUE(WaitReport(sReport, &report));
        EXPECT_EQ(TsRealPath(report.Get("cwd")), TsRealPath(c.sExpected));
        EXPECT_EQ(TsRealPath(TsGetCwd()), TsRealPath(sWork)) << "host directory restored";
        EXPECT_EQ(End(hSession).ulRC, 0u);
    }
}

/* ---- Input that starts nothing -------------------------------------------- */

TEST_F(StartTest, NullHandleVariableIsInvalidAndNothingIsDone)
{
    SIMWSOBJ hObj = MakeBytesObject("x");
    std::string sProgram = ProbeProgram(ReportPath("report"));

    CallResult r = Start(hObj, sProgram.c_str(), sWork.c_str(), NULL);
    EXPECT_EQ(r.ulRC, 7001u);
    EXPECT_EQ(r.lines, Lines({"Invalid input parameter"}));
    EXPECT_FALSE(TsFileExists(ReportPath("report")));
}

TEST_F(StartTest, NullProgramStartsNothingAndSucceeds)
{
    SIMWSOBJ hObj = MakeBytesObject("x");
    PVOID hSession = (PVOID)&hSession;

    CallResult r = Start(hObj, NULL, "no such directory", &hSession);
    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_EQ(hSession, nullptr);
}

/* ---- Failures -------------------------------------------------------------- */

/* Each failure: its code, its lines, a null handle, the host's directory as
 * it was, and (checked after the test) nothing left behind. */
TEST_F(StartTest, FailuresReturnTheirCodeAndLinesAndUndoEverything)
{
    std::string sMissingDir = TsJoin(sWork, "missing");
    std::string sMissingProgram = TsJoin(sWork, "no-such-program");
    struct Case {
        const char *pszWhat;
        ULONG ulFailedAttr; /* 0: none */
        ULONG ulFailCode;
        bool fBytes;
        const char *pszProgram; /* null: the probe */
        const char *pszWorkingDir;
        ULONG ulRC;
        Lines lines;
    } aCases[] = {
        {"data file name query", 8, 77, true, NULL, NULL, 77, {"Error in data file name"}},
        {"data buffer query", 19, 78, true, NULL, NULL, 78, {"Error in get buffer"}},
        {"store", 3, 79, false, NULL, NULL, 79, {"Error in working set store: rc=79"}},
        {"missing working directory", 0, 0, true, NULL, sMissingDir.c_str(), 7027,
         {"Error in change directory"}},
        {"missing program, written file", 0, 0, true, sMissingProgram.c_str(), sWork.c_str(), 7038,
         {"Error in start session: rc=2"}},
        {"missing program, stored file", 0, 0, false, "zelmxcc-no-such-program", NULL, 7038,
         {"Error in start session: rc=2"}},
    };

    for (const Case &c : aCases) {
        SIMWSOBJ hObj = MakeObject(0, FALSE);
        if (c.fBytes) {
            ZelmWsSetData(hObj, "bytes", 5);
        }
        if (c.ulFailedAttr != 0) {
            ZelmWsSetFailure(hObj, c.ulFailedAttr, c.ulFailCode);
        }
        std::string sReport = NewReportPath();
        std::string sProgram = c.pszProgram ? c.pszProgram : ProbeProgram(sReport, "--forever");
        PVOID hSession = (PVOID)&hSession;

        CallResult r = Start(hObj, sProgram.c_str(), c.pszWorkingDir, &hSession);
        EXPECT_EQ(r.ulRC, c.ulRC) << c.pszWhat;
        EXPECT_EQ(r.lines, c.lines) << c.pszWhat;
        EXPECT_EQ(hSession, nullptr) << c.pszWhat;
        EXPECT_EQ(TsGetCwd(), sHostCwd) << c.pszWhat;
        EXPECT_FALSE(TsFileExists(sReport)) << c.pszWhat;
        if (!c.fBytes && c.ulFailedAttr == 0) {
            LastStoredFile(); /* the store wrote it: the host's to delete */
        }
    }
}

TEST_F(StartTest, RecordThatCannotBeAllocatedIsOutOfMemory)
{
    SIMWSOBJ hObj = MakeBytesObject("x");
    PVOID hSession = (PVOID)&hSession;

    ZelmEnvFailAlloc(1, 8);
    CallResult r = Start(hObj, ProbeProgram(ReportPath("report")).c_str(), NULL, &hSession);
    ZelmEnvFailAlloc(0, 0);
    EXPECT_EQ(r.ulRC, 5001u);
    EXPECT_EQ(r.lines, Lines({"Out of memory"}));
    EXPECT_EQ(hSession, nullptr);
}

/* The command line is the third block of a start for an object with data
 * bytes (record, bytes, command line). Without it nothing is started, and
 * the file already written goes. */
TEST_F(StartTest, CommandLineThatCannotBeAllocatedIsOutOfMemoryAndRollsBack)
{
    SIMWSOBJ hObj = MakeBytesObject("x");
    PVOID hSession = (PVOID)&hSession;
    std::string sReport = ReportPath("report");

    ZelmEnvFailAlloc(3, 8);
    CallResult r = Start(hObj, ProbeProgram(sReport).c_str(), NULL, &hSession);
    ZelmEnvFailAlloc(0, 0);
    EXPECT_EQ(r.ulRC, 5001u);
    EXPECT_EQ(r.lines, Lines({"Out of memory"}));
    EXPECT_EQ(hSession, nullptr);
    TsSleepMs(200);
    EXPECT_FALSE(TsFileExists(sReport));
}

#ifndef _WIN32
/* The host's own directory is too long for the library's path buffers (a
 * current directory that Windows cannot have). */
TEST_F(StartTest, HostDirectoryLongerThan259CharactersFails)
{
    std::string sDeep = sWork;
    while (sDeep.size() <= 300) {
        sDeep = TsJoin(sDeep, std::string(40, 'd'));
        ASSERT_TRUE(TsMakeDir(sDeep));
    }
    ASSERT_TRUE(TsChangeDir(sDeep));
    struct Case {
        const char *pszWorkingDir;
        Lines lines;
    } aCases[] = {
        {sWork.c_str(), {"Error in get current directory"}},
        {".", {"Error in get full path"}},
    };

    for (const Case &c : aCases) {
        SIMWSOBJ hObj = MakeBytesObject("x");
        PVOID hSession = (PVOID)&hSession;

        CallResult r = Start(hObj, ProbeProgram(ReportPath("report")).c_str(), c.pszWorkingDir,
                             &hSession);
        EXPECT_EQ(r.ulRC, 7027u) << c.pszWorkingDir;
        EXPECT_EQ(r.lines, c.lines);
        EXPECT_EQ(hSession, nullptr);
        EXPECT_EQ(TsGetCwd(), sDeep);
    }
}

#endif

/* The directory for temporary names does not exist, or is too long for a
 * name to fit. */
TEST_F(StartTest, TemporaryDirectoryThatCannotTakeTheFileFails)
{
    std::string sNowhere = TsJoin(sTmp, "nowhere");
    std::string sTooLong = sTmp + "/" + std::string(250, 'l');
    struct Case {
        std::string sTempDir;
        bool fBytes;
        ULONG ulRC;
        const char *pszLine; /* null: the store's own failure */
    } aCases[] = {
        {sNowhere, true, 7027, "Error in open file"},
        {sTooLong, true, 7027, "Error in generate filename"},
        {sTooLong, false, 7027, "Error in generate filename"},
        {sNowhere, false, 0, NULL},
    };

    for (const Case &c : aCases) {
        SIMWSOBJ hObj = MakeObject(0, FALSE);
        if (c.fBytes) {
            ZelmWsSetData(hObj, "bytes", 5);
        }
        PVOID hSession = (PVOID)&hSession;

        TsSetTempDir(c.sTempDir.c_str());
        CallResult r = Start(hObj, ProbeProgram(ReportPath("report")).c_str(), NULL, &hSession);
        TsSetTempDir(sTmp.c_str());
        EXPECT_EQ(hSession, nullptr) << c.sTempDir;
        ASSERT_EQ(r.lines.size(), 1u) << c.sTempDir;
        if (c.pszLine != NULL) {
            EXPECT_EQ(r.ulRC, c.ulRC) << c.sTempDir;
            EXPECT_EQ(r.lines[0], c.pszLine);
        } else {
            EXPECT_NE(r.ulRC, 0u);
            EXPECT_EQ(r.lines[0], "Error in working set store: rc=" + std::to_string(r.ulRC));
        }
    }
}

/* ---- The host's directory cannot be restored ------------------------------- */

/* The store, called while the class working directory is current, removes
 * the host's own directory: the restore fails, and a program that was
 * started is stopped again. */
struct RemoveDirHook {
    std::string sDir;
};

static void ZELMAPI RemoveHostDirOnStore(PVOID pUser, SIMWSOBJ hObj, ULONG ulAttr, BOOL fStore)
{
    (void)hObj;
    if (fStore && ulAttr == 3) {
        TsRemoveTree(((RemoveDirHook *)pUser)->sDir);
    }
}

TEST_F(StartTest, HostDirectoryThatCannotBeRestoredStopsTheProgram)
{
    std::string sMissingProgram = TsJoin(sWork, "no-such-program");
    struct Case {
        bool fProgram;
        Lines lines;
    } aCases[] = {
        {true, {"Error in restore directory"}},
        {false, {"Error in start session: rc=2", "Error in restore directory"}},
    };

    for (const Case &c : aCases) {
        RemoveDirHook hook;
        hook.sDir = TsJoin(sWork, "host");
        ASSERT_TRUE(TsMakeDir(hook.sDir));
        ASSERT_TRUE(TsChangeDir(hook.sDir));
        SIMWSOBJ hObj = MakeObject(0, FALSE);
        std::string sReport = NewReportPath();
        std::string sProgram = c.fProgram ? ProbeProgram(sReport, "--forever") : sMissingProgram;
        PVOID hSession = (PVOID)&hSession;

        ZelmWsSetHook(RemoveHostDirOnStore, &hook);
        CallResult r = Start(hObj, sProgram.c_str(), sWork.c_str(), &hSession);
        ZelmWsSetHook(NULL, NULL);
        EXPECT_EQ(r.ulRC, 7027u);
        EXPECT_EQ(r.lines, c.lines);
        EXPECT_EQ(hSession, nullptr);
        LastStoredFile();
        EXPECT_TRUE(TsWaitChildren(nChildren0, ZXC_WAIT_MS)) << "the program was stopped";
        TsChangeDir(sHostCwd);
    }
}

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

/* A file-size limit makes the write of the inputs file short: the partly
 * written file is deleted and nothing is started. */
TEST_F(StartTest, ShortWriteOfTheInputsFileFailsAndLeavesNoFile)
{
    struct rlimit limSaved;
    struct rlimit lim;
    std::string sReport = ReportPath("report");
    SIMWSOBJ hObj = MakeBytesObject(std::string(40000, 'w'));
    PVOID hSession = (PVOID)&hSession;

    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limSaved), 0);
    lim = limSaved;
    lim.rlim_cur = 1000;
    void (*pfnSaved)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    CallResult r = Start(hObj, ProbeProgram(sReport).c_str(), NULL, &hSession);
    setrlimit(RLIMIT_FSIZE, &limSaved);
    signal(SIGXFSZ, pfnSaved);

    EXPECT_EQ(r.ulRC, 7027u);
    EXPECT_EQ(r.lines, Lines({"Error in write file"}));
    EXPECT_EQ(hSession, nullptr);
    TsSleepMs(200);
    EXPECT_FALSE(TsFileExists(sReport));
}
#endif
