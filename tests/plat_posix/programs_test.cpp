/*
 * programs_test.cpp - class programs on the POSIX backend: the argument
 * vector, the start (session, descriptors, directory, signals), killing,
 * waiting and collecting, through real runs of the probe program.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "plat_posix_util.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

typedef std::vector<std::string> ARGS;

static int ProgramFd(HANDLE hProc)
{
    return (int)((intptr_t)hProc - 1);
}

/* ---- Splitting ------------------------------------------------------------- */

TEST_F(PlatPosixTest, SplitFollowsTheCommandLineRules)
{
    static const struct {
        const char *pszText;
        ARGS astrArgs;
    } aCases[] = {
        {"prog", {"prog"}},
        {"  prog   a\tb  ", {"prog", "a", "b"}},
        {"", {}},
        {" \t  ", {}},
        {"a \"b c\" d", {"a", "b c", "d"}},
        {"\"a b\"c\" d\"", {"a bc d"}},
        {"a\"\"b", {"ab"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"\"unterminated b", {"unterminated b"}},
        {"\"tab\tinside\"", {"tab\tinside"}},
        /* backslashes not before a quote are literal */
        {"a\\\\b c\\d", {"a\\\\b", "c\\d"}},
        {"trail\\", {"trail\\"}},
        {"\\\\server\\share x", {"\\\\server\\share", "x"}},
        /* 2n+1 backslashes and a quote: n backslashes and a literal quote */
        {"a\\\"b", {"a\"b"}},
        {"a\\\\\\\"b", {"a\\\"b"}},
        {"\"x \\\" y\"", {"x \" y"}},
        /* 2n backslashes and a quote: n backslashes, the quote groups */
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"\"x\\\\\" y", {"x\\", "y"}},
        {"\"x\\\\\\\\\"", {"x\\\\"}},
    };

    for (const auto &c : aCases) {
        SCOPED_TRACE(std::string("text [") + c.pszText + "]");
        int nTextArgs = -1;
        EXPECT_EQ(UtSplit(c.pszText, NULL, &nTextArgs), c.astrArgs);
        EXPECT_EQ(nTextArgs, (int)c.astrArgs.size());
    }
}

TEST_F(PlatPosixTest, SplitAppendsTheExtraAsOneArgument)
{
    static const struct {
        const char *pszText;
        const char *pszExtra;
        ARGS astrArgs;
        int nTextArgs;
    } aCases[] = {
        {"prog a", "in put\"\\ \"x\"", {"prog", "a", "in put\"\\ \"x\""}, 2},
        {"prog", "", {"prog", ""}, 1},
        {"", "lonely", {"lonely"}, 0},
        {"\"unterminated", "x y", {"unterminated", "x y"}, 1},
    };

    for (const auto &c : aCases) {
        SCOPED_TRACE(std::string("text [") + c.pszText + "] extra [" + c.pszExtra + "]");
        int nTextArgs = -1;
        EXPECT_EQ(UtSplit(c.pszText, c.pszExtra, &nTextArgs), c.astrArgs);
        EXPECT_EQ(nTextArgs, c.nTextArgs);
    }
}

TEST_F(PlatPosixTest, SplitRecoversQuotedArguments)
{
    static const char *const apszArgs[] = {
        "", "a", "a b", "\"", "\\", "\\\"", "a\\", "a\\\\ b", "\" \\ \t\"\\\\", "\\\\\\",
        "\"\"", "x\\\"y\\\\\"z", " lead", "trail ", "tab\there",
    };

    for (const char *psz1 : apszArgs) {
        for (const char *psz2 : apszArgs) {
            std::string strText = "prog " + UtQuote(psz1) + " " + UtQuote(psz2);
            SCOPED_TRACE("text [" + strText + "]");
            int nTextArgs = -1;
            EXPECT_EQ(UtSplit(strText.c_str(), NULL, &nTextArgs), (ARGS{"prog", psz1, psz2}));
        }
    }
}

/* ---- Starting -------------------------------------------------------------- */

TEST_F(PlatPosixTest, StartPassesTheSplitArgumentsToTheProgram)
{
    static const struct {
        const char *pszOptions;
        ARGS astrArgs;
    } aCases[] = {
        {"", {}},
        {"a \"b c\" d", {"a", "b c", "d"}},
        {"x\\\"y \"p\\\\\" q\\r", {"x\"y", "p\\", "q\\r"}},
        {"\"\" \"$HOME\" `id` ';' '*'", {"", "$HOME", "`id`", "';'", "'*'"}},
    };

    for (const auto &c : aCases) {
        SCOPED_TRACE(std::string("options [") + c.pszOptions + "]");
        RECORD rec;
        ASSERT_TRUE(RunRecorded(c.pszOptions, "inputs", &rec));
        ASSERT_EQ(rec["argc"], std::to_string(4 + c.astrArgs.size()));
        EXPECT_EQ(rec["arg1"], "--record");
        EXPECT_EQ(rec["arg2"], rec["@record"]);
        for (size_t i = 0; i < c.astrArgs.size(); i++)
            EXPECT_EQ(rec["arg" + std::to_string(3 + i)], c.astrArgs[i]) << "argument " << i;
        EXPECT_EQ(rec["arg" + std::to_string(3 + c.astrArgs.size())], "inputs");
    }
}

TEST_F(PlatPosixTest, StartPassesTheInputsAsOneArgument)
{
    static const char *const apszNames[] = {
        "plain.txt",
        "with blank.txt",
        "quo\"te.txt",
        "back\\slash.txt",
        "trail\\",
        "\\\"both\" \\\\ \tmixed",
        " lead and trail ",
        "--forever",
        "semi;colon $HOME `id` *.txt",
    };

    for (const char *pszName : apszNames) {
        SCOPED_TRACE(std::string("name [") + pszName + "]");
        std::string strInputs = m_strDir + "/" + pszName;
        std::string strContent = std::string("inputs of ") + pszName + "\n";
        std::string strCopy;
        RECORD rec;

        ASSERT_TRUE(UtWriteFile(strInputs, strContent));
        ASSERT_TRUE(RunRecorded("", strInputs.c_str(), &rec));
        EXPECT_EQ(rec["argc"], "4");
        EXPECT_EQ(rec["arg3"], strInputs);
        EXPECT_EQ(rec["inputs_size"], std::to_string(strContent.size()));
        EXPECT_TRUE(UtReadFile(rec["@record"] + ".inputs", &strCopy));
        EXPECT_EQ(strCopy, strContent);
    }

    /* An empty name is still one argument. */
    RECORD rec;
    ASSERT_TRUE(RunRecorded("", "", &rec));
    EXPECT_EQ(rec["argc"], "4");
    EXPECT_EQ(rec.count("arg3"), 1u);
    EXPECT_EQ(rec["arg3"], "");
    EXPECT_EQ(rec["inputs_size"], "-1");
}

TEST_F(PlatPosixTest, StartFailsWithTheSystemCode)
{
    std::string strNoExec = m_strDir + "/not-executable";
    std::string strQuotedNoExec = UtQuote(strNoExec);
    ASSERT_TRUE(UtWriteFile(strNoExec, "#!/bin/sh\nexit 0\n"));
    ASSERT_EQ(chmod(strNoExec.c_str(), 0600), 0);

    static const struct {
        const char *pszProgram;
        LONG lRC;
    } aCases[] = {
        {"/nonexistent/zxc/prog --x", ENOENT},
        {"zxc-no-such-program-anywhere", ENOENT},
        {"", ENOENT},
        {" \t ", ENOENT},
        {"\"\" a", ENOENT},
        {NULL, EACCES},
    };

    ASSERT_EQ(ENOENT, 2);
    for (const auto &c : aCases) {
        const char *pszProgram = c.pszProgram != NULL ? c.pszProgram : strQuotedNoExec.c_str();
        SCOPED_TRACE(std::string("program [") + pszProgram + "]");
        HANDLE hProc = (HANDLE)1;
        ULONG ulPid = 1;
        /* The inputs name a program that would start, were it taken for one. */
        EXPECT_EQ(PlatStartProgram((PSZ) "ignored", (PSZ)pszProgram, (PSZ)m_strProbe.c_str(),
                                   &hProc, &ulPid),
                  c.lRC);
        EXPECT_EQ(hProc, nullptr);
        EXPECT_EQ(ulPid, 0u);
        if (hProc != NULL && hProc != (HANDLE)1) {
            PlatKillProgram(hProc);
            PlatWaitProgram(hProc, PLAT_INFINITE);
            PlatCloseProgram(hProc);
        }
    }
}

TEST_F(PlatPosixTest, StartFindsTheProgramOnThePath)
{
    std::string strPath = getenv("PATH") != NULL ? getenv("PATH") : "";
    std::string strProbeDir = m_strProbe.substr(0, m_strProbe.rfind('/'));
    std::string strName = m_strProbe.substr(m_strProbe.rfind('/') + 1);
    std::string strRecord = m_strDir + "/found";
    std::string strProgram = strName + " --record " + UtQuote(strRecord);
    HANDLE hProc = NULL;
    ULONG ulPid = 0;
    RECORD rec;

    setenv("PATH", ("/nonexistent/zxc:" + strProbeDir + ":" + strPath).c_str(), 1);
    LONG lRC = PlatStartProgram((PSZ) "ignored", (PSZ)strProgram.c_str(), (PSZ) "in", &hProc, &ulPid);
    setenv("PATH", strPath.c_str(), 1);
    ASSERT_EQ(lRC, 0);
    EXPECT_TRUE(PlatWaitProgram(hProc, PLAT_INFINITE));
    PlatCloseProgram(hProc);
    ASSERT_TRUE(UtReadRecord(strRecord, &rec));
    EXPECT_EQ(rec["arg3"], "in");
}

TEST_F(PlatPosixTest, StartGivesOwnSessionStandardStreamsCwdAndDefaultSignals)
{
    std::vector<int> anStd;
    std::string strStd;
    int fdNoCloexec = open("/dev/null", O_RDONLY);
    int afdPipe[2] = {-1, -1};
    struct sigaction saTerm, saTermOld;
    sigset_t sigUsr2, sigOld;
    std::string strSub = m_strDir + "/work dir";
    RECORD rec;

    ASSERT_GE(fdNoCloexec, 0);
    ASSERT_EQ(pipe(afdPipe), 0);
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            strStd += (strStd.empty() ? "" : ",") + std::to_string(fd);
    }

    /* What a host may have set up that must not reach the program. */
    memset(&saTerm, 0, sizeof(saTerm));
    saTerm.sa_handler = SIG_IGN;
    sigemptyset(&saTerm.sa_mask);
    sigaction(SIGTERM, &saTerm, &saTermOld);
    sigemptyset(&sigUsr2);
    sigaddset(&sigUsr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &sigUsr2, &sigOld);
    ASSERT_EQ(mkdir(strSub.c_str(), 0700), 0);
    ASSERT_EQ(chdir(strSub.c_str()), 0);

    bool fRan = RunRecorded("", "in", &rec);

    pthread_sigmask(SIG_SETMASK, &sigOld, NULL);
    sigaction(SIGTERM, &saTermOld, NULL);
    close(fdNoCloexec);
    close(afdPipe[0]);
    close(afdPipe[1]);
    ASSERT_TRUE(fRan);

    long lPid = atol(rec["@pid"].c_str());
    EXPECT_EQ(rec["pid"], rec["@pid"]);
    EXPECT_EQ(atol(rec["sid"].c_str()), lPid) << "not a session leader";
    EXPECT_EQ(atol(rec["pgid"].c_str()), lPid);
    EXPECT_NE(atol(rec["sid"].c_str()), (long)getsid(0));
    EXPECT_EQ(atol(rec["ppid"].c_str()), (long)getpid());
    EXPECT_EQ(rec["fds"], strStd) << "descriptors beyond the standard streams inherited";
    EXPECT_EQ(rec["cwd"], strSub);
    unsigned long long ullIgn = strtoull(rec["sigign"].c_str(), NULL, 16);
    unsigned long long ullBlk = strtoull(rec["sigblk"].c_str(), NULL, 16);
    EXPECT_EQ(ullIgn & (1ULL << (SIGTERM - 1)), 0ULL) << "SIGTERM still ignored";
    EXPECT_EQ(ullBlk & (1ULL << (SIGUSR2 - 1)), 0ULL) << "SIGUSR2 still blocked";
}

TEST_F(PlatPosixTest, StartFromManyThreadsLeaksNothingIntoPrograms)
{
    const int cThreads = 4;
    const int cEach = 4;
    std::string strStd;
    std::vector<std::string> astrFds(cThreads * cEach);
    std::vector<LONG> alRC(cThreads * cEach, -1);
    std::vector<std::thread> ath;

    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            strStd += (strStd.empty() ? "" : ",") + std::to_string(fd);
    }
    for (int t = 0; t < cThreads; t++) {
        ath.emplace_back([&, t] {
            for (int i = 0; i < cEach; i++) {
                int n = t * cEach + i;
                std::string strRecord = m_strDir + "/rec" + std::to_string(n);
                std::string strProgram = UtQuote(m_strProbe) + " --record " + UtQuote(strRecord);
                HANDLE hProc = NULL;
                ULONG ulPid = 0;
                RECORD rec;
                alRC[n] = PlatStartProgram((PSZ) "", (PSZ)strProgram.c_str(), (PSZ) "in", &hProc,
                                           &ulPid);
                if (alRC[n] != 0)
                    continue;
                PlatWaitProgram(hProc, PLAT_INFINITE);
                PlatCloseProgram(hProc);
                if (UtReadRecord(strRecord, &rec))
                    astrFds[n] = rec["fds"];
            }
        });
    }
    for (std::thread &th : ath)
        th.join();
    for (int n = 0; n < cThreads * cEach; n++) {
        EXPECT_EQ(alRC[n], 0) << "start " << n;
        EXPECT_EQ(astrFds[n], strStd) << "start " << n;
    }
}

/* ---- Handles, killing and waiting ------------------------------------------ */

TEST_F(PlatPosixTest, ProgramHandlesAreCloseOnExec)
{
    HANDLE hProc = NULL;
    HANDLE hDup = NULL;
    ULONG ulPid = 0;

    ASSERT_EQ(StartProbe("--forever", "in", &hProc, &ulPid), 0);
    ASSERT_NE(hProc, nullptr);
    EXPECT_NE(ulPid, 0u);
    ASSERT_EQ(PlatDuplicateProgram(hProc, &hDup), 0);
    ASSERT_NE(hDup, nullptr);
    EXPECT_NE(hDup, hProc);
    EXPECT_NE(fcntl(ProgramFd(hProc), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(ProgramFd(hDup), F_GETFD) & FD_CLOEXEC, 0);

    /* Either handle outlives the other. */
    PlatCloseProgram(hDup);
    EXPECT_EQ(PlatKillProgram(hProc), 0);
    Finish(hProc);
    EXPECT_TRUE(UtProcessGone(ulPid));
}

TEST_F(PlatPosixTest, KillEndsTheProgramAndClosingAfterTheWaitCollectsIt)
{
    HANDLE hProc = NULL;
    ULONG ulPid = 0;
    long long llStart = 0;

    ASSERT_EQ(StartProbe("--forever --ignore-term", "in", &hProc, &ulPid), 0);
    EXPECT_FALSE(PlatWaitProgram(hProc, 0));
    llStart = UtNowMs();
    EXPECT_FALSE(PlatWaitProgram(hProc, 100));
    EXPECT_GE(UtNowMs() - llStart, 99);
    EXPECT_FALSE(UtProcessGone(ulPid));

    EXPECT_EQ(PlatKillProgram(hProc), 0);
    EXPECT_TRUE(PlatWaitProgram(hProc, 60000));
    EXPECT_FALSE(UtProcessGone(ulPid)) << "its identifier is kept until the handle is closed";

    /* Ended: killing and waiting again are harmless. */
    EXPECT_EQ(PlatKillProgram(hProc), 0);
    EXPECT_TRUE(PlatWaitProgram(hProc, 0));
    EXPECT_TRUE(PlatWaitProgram(hProc, PLAT_INFINITE));
    Untrack(hProc);
    PlatCloseProgram(hProc);
    EXPECT_TRUE(UtProcessGone(ulPid)) << "left as a zombie";
}

TEST_F(PlatPosixTest, ClosingAfterTheWaitCollectsAProgramThatEndsByItself)
{
    const ULONG aulWaits[] = {PLAT_INFINITE, 60000};

    for (ULONG ulWait : aulWaits) {
        SCOPED_TRACE("wait " + std::to_string(ulWait));
        HANDLE hProc = NULL;
        ULONG ulPid = 0;

        ASSERT_EQ(StartProbe("--sleep 100 --exit 7", "in", &hProc, &ulPid), 0);
        EXPECT_TRUE(PlatWaitProgram(hProc, ulWait));
        EXPECT_FALSE(UtProcessGone(ulPid)) << "its identifier is kept until the handle is closed";
        Untrack(hProc);
        PlatCloseProgram(hProc);
        EXPECT_TRUE(UtProcessGone(ulPid)) << "left as a zombie";
    }
}

TEST_F(PlatPosixTest, WaitCountsAProgramCollectedElsewhereAsEnded)
{
    HANDLE hProc = NULL;
    ULONG ulPid = 0;
    int nStatus = 0;

    ASSERT_EQ(StartProbe("--exit 3", "in", &hProc, &ulPid), 0);
    ASSERT_EQ(waitpid((pid_t)ulPid, &nStatus, 0), (pid_t)ulPid);
    EXPECT_TRUE(PlatWaitProgram(hProc, 1000));
    EXPECT_TRUE(PlatWaitProgram(hProc, PLAT_INFINITE));
    EXPECT_EQ(PlatKillProgram(hProc), 0);
    Untrack(hProc);
    PlatCloseProgram(hProc);
}

TEST_F(PlatPosixTest, MonitorOnDuplicateSurvivesSignalsAndSeesTheKill)
{
    HANDLE hProc = NULL;
    HANDLE hDup = NULL;
    ULONG ulPid = 0;
    std::atomic<bool> fDone(false);
    BOOL fEnded = FALSE;

    ASSERT_EQ(StartProbe("--forever", "in", &hProc, &ulPid), 0);
    ASSERT_EQ(PlatDuplicateProgram(hProc, &hDup), 0);
    UtInstallInterruptHandler();
    std::thread thMonitor([&] {
        fEnded = PlatWaitProgram(hDup, PLAT_INFINITE);
        fDone = true;
    });
    for (int i = 0; i < 5; i++) {
        PlatSleep(20);
        pthread_kill(thMonitor.native_handle(), SIGUSR1);
    }
    PlatSleep(20);
    EXPECT_FALSE(fDone) << "the wait ended on a signal";

    EXPECT_EQ(PlatKillProgram(hProc), 0);
    thMonitor.join();
    UtRestoreInterruptHandler();
    EXPECT_TRUE(fEnded);
    PlatCloseProgram(hDup);
    EXPECT_TRUE(UtProcessGone(ulPid)) << "left as a zombie";
    Untrack(hProc);
    PlatCloseProgram(hProc);
}

TEST_F(PlatPosixTest, BoundedWaitKeepsItsTimeWhenInterrupted)
{
    HANDLE hProc = NULL;
    ULONG ulPid = 0;
    std::atomic<bool> fDone(false);
    BOOL fEnded = TRUE;
    long long llElapsed = 0;

    ASSERT_EQ(StartProbe("--forever", "in", &hProc, &ulPid), 0);
    UtInstallInterruptHandler();
    std::thread thWaiter([&] {
        long long llStart = UtNowMs();
        fEnded = PlatWaitProgram(hProc, 300);
        llElapsed = UtNowMs() - llStart;
        fDone = true;
    });
    for (int i = 0; i < 10 && !fDone; i++) {
        PlatSleep(20);
        if (!fDone)
            pthread_kill(thWaiter.native_handle(), SIGUSR1);
    }
    thWaiter.join();
    UtRestoreInterruptHandler();
    EXPECT_FALSE(fEnded);
    EXPECT_GE(llElapsed, 299);

    EXPECT_EQ(PlatKillProgram(hProc), 0);
    Finish(hProc);
    EXPECT_TRUE(UtProcessGone(ulPid));
}
