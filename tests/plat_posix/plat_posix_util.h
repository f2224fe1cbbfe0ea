/*
 * plat_posix_util.h - helpers of the POSIX backend tests: a scratch
 * directory per test, the probe program, and the check that a test leaves
 * no descriptor, child process, directory change or environment change
 * behind.
 */
#ifndef PLAT_POSIX_UTIL_H
#define PLAT_POSIX_UTIL_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "zelmplat.h"

/* Internal to the backend: the command-line splitter. */
char **PlatSplitCommandLine(PSZ pszText, PSZ pszExtra, int *pnTextArgs);

typedef std::map<std::string, std::string> RECORD;

/* Split through the backend into a vector of strings. */
std::vector<std::string> UtSplit(const char *pszText, const char *pszExtra, int *pnTextArgs);

/* One argument quoted by the command-line rules, so that it splits back
 * into exactly itself. */
std::string UtQuote(const std::string &strArg);

/* Descriptors open in this process, ascending. */
std::vector<int> UtListFds(void);

bool UtReadFile(const std::string &strPath, std::string *pstrContent);
bool UtWriteFile(const std::string &strPath, const std::string &strContent);
bool UtExists(const std::string &strPath); /* lstat */
void UtRemoveTree(const std::string &strPath);
std::string UtGetCwd(void);
std::string UtRealPath(const std::string &strPath);

/* Read a probe report (key=value lines). */
bool UtReadRecord(const std::string &strPath, RECORD *pRecord);

long long UtNowMs(void); /* monotonic */

/* TRUE when /proc has no entry for the PID any more (collected). */
bool UtProcessGone(unsigned long ulPid);

/* A do-nothing handler for SIGUSR1, installed without SA_RESTART, so that
 * signals interrupt blocking calls; the previous one is restored. */
void UtInstallInterruptHandler(void);
void UtRestoreInterruptHandler(void);

/* Every test of this suite runs in this fixture. */
class PlatPosixTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /* Start the probe with options (a program text fragment) and inputs;
     * the handle is tracked, so that the test cannot leave the child. */
    LONG StartProbe(const std::string &strOptions, const char *pszInputs, HANDLE *phProc,
                    ULONG *pulPid);
    /* Wait for, collect and forget a tracked program. */
    void Finish(HANDLE hProc);
    /* Forget a tracked handle (closed by the test itself). */
    void Untrack(HANDLE hProc);
    /* Run the probe to its end with --record and read its report. */
    bool RunRecorded(const std::string &strOptions, const char *pszInputs, RECORD *pRecord);

    std::string m_strDir; /* scratch directory, removed afterwards */
    std::string m_strProbe;

private:
    std::vector<int> m_anFds;
    std::string m_strCwd;
    bool m_fHadTmpDir = false;
    std::string m_strTmpDir;
    std::vector<HANDLE> m_ahProcs;
    int m_nRecords = 0;
};

#endif /* PLAT_POSIX_UTIL_H */
