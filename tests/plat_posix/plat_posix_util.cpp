/*
 * plat_posix_util.cpp - helpers of the POSIX backend tests.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "plat_posix_util.h"

#include <algorithm>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef ZXCPROBE_PATH
#error "ZXCPROBE_PATH must name the probe program"
#endif

static struct sigaction g_saUsr1Old;

std::vector<std::string> UtSplit(const char *pszText, const char *pszExtra, int *pnTextArgs)
{
    std::vector<std::string> astrArgs;
    char **ppszArgs = PlatSplitCommandLine((PSZ)pszText, (PSZ)pszExtra, pnTextArgs);
    if (ppszArgs == NULL)
        return astrArgs;
    for (char **pp = ppszArgs; *pp != NULL; pp++)
        astrArgs.push_back(*pp);
    free(ppszArgs);
    return astrArgs;
}

std::string UtQuote(const std::string &strArg)
{
    std::string strOut;
    size_t cBackslashes = 0;

    if (!strArg.empty() && strArg.find_first_of(" \t\"") == std::string::npos)
        return strArg;
    strOut = "\"";
    for (size_t i = 0; i < strArg.size(); i++) {
        char ch = strArg[i];
        if (ch == '\\') {
            cBackslashes++;
            continue;
        }
        if (ch == '"') {
            strOut.append(cBackslashes * 2 + 1, '\\');
        } else {
            strOut.append(cBackslashes, '\\');
        }
        cBackslashes = 0;
        strOut += ch;
    }
    strOut.append(cBackslashes * 2, '\\');
    strOut += '"';
    return strOut;
}

std::vector<int> UtListFds(void)
{
    std::vector<int> anFds;
    DIR *pdir = opendir("/proc/self/fd");
    struct dirent *pent = NULL;
    int fdDir = -1;

    if (pdir == NULL)
        return anFds;
    fdDir = dirfd(pdir);
    while ((pent = readdir(pdir)) != NULL) {
        if (pent->d_name[0] < '0' || pent->d_name[0] > '9')
            continue;
        int fd = atoi(pent->d_name);
        if (fd != fdDir)
            anFds.push_back(fd);
    }
    closedir(pdir);
    std::sort(anFds.begin(), anFds.end());
    return anFds;
}

bool UtReadFile(const std::string &strPath, std::string *pstrContent)
{
    FILE *pf = fopen(strPath.c_str(), "rb");
    char achBuf[4096];
    size_t cb = 0;

    pstrContent->clear();
    if (pf == NULL)
        return false;
    while ((cb = fread(achBuf, 1, sizeof(achBuf), pf)) > 0)
        pstrContent->append(achBuf, cb);
    fclose(pf);
    return true;
}

bool UtWriteFile(const std::string &strPath, const std::string &strContent)
{
    FILE *pf = fopen(strPath.c_str(), "wb");
    bool fOk = false;

    if (pf == NULL)
        return false;
    fOk = fwrite(strContent.data(), 1, strContent.size(), pf) == strContent.size();
    return fclose(pf) == 0 && fOk;
}

bool UtExists(const std::string &strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

static int RemoveEntry(const char *pszPath, const struct stat *, int, struct FTW *)
{
    remove(pszPath);
    return 0;
}

void UtRemoveTree(const std::string &strPath)
{
    if (!strPath.empty())
        nftw(strPath.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string UtGetCwd(void)
{
    std::string strCwd;
    char *psz = getcwd(NULL, 0);
    if (psz != NULL) {
        strCwd = psz;
        free(psz);
    }
    return strCwd;
}

std::string UtRealPath(const std::string &strPath)
{
    std::string strReal;
    char *psz = realpath(strPath.c_str(), NULL);
    if (psz != NULL) {
        strReal = psz;
        free(psz);
    }
    return strReal;
}

bool UtReadRecord(const std::string &strPath, RECORD *pRecord)
{
    std::string strContent;
    size_t iLine = 0;

    pRecord->clear();
    if (!UtReadFile(strPath, &strContent))
        return false;
    while (iLine < strContent.size()) {
        size_t iEnd = strContent.find('\n', iLine);
        if (iEnd == std::string::npos)
            iEnd = strContent.size();
        std::string strLine = strContent.substr(iLine, iEnd - iLine);
        size_t iEq = strLine.find('=');
        if (iEq != std::string::npos)
            (*pRecord)[strLine.substr(0, iEq)] = strLine.substr(iEq + 1);
        iLine = iEnd + 1;
    }
    return true;
}

long long UtNowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000LL + ts.tv_nsec / 1000000L;
}

bool UtProcessGone(unsigned long ulPid)
{
    std::string strProc = "/proc/" + std::to_string(ulPid);
    struct stat st;
    return stat(strProc.c_str(), &st) != 0 && errno == ENOENT;
}

static void OnInterrupt(int)
{
}

void UtInstallInterruptHandler(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGUSR1, &sa, &g_saUsr1Old);
}

void UtRestoreInterruptHandler(void)
{
    sigaction(SIGUSR1, &g_saUsr1Old, NULL);
}

/* ---- Fixture ------------------------------------------------------------- */

void PlatPosixTest::SetUp()
{
    const char *pszTmp = getenv("TMPDIR");
    std::string strTemplate;

    m_strCwd = UtGetCwd();
    m_fHadTmpDir = pszTmp != NULL;
    m_strTmpDir = pszTmp != NULL ? pszTmp : "";
    strTemplate = std::string(pszTmp != NULL && pszTmp[0] == '/' ? pszTmp : "/tmp") +
                  "/zxcplat-XXXXXX";
    std::vector<char> achTemplate(strTemplate.begin(), strTemplate.end());
    achTemplate.push_back('\0');
    ASSERT_NE(mkdtemp(achTemplate.data()), nullptr) << strerror(errno);
    m_strDir = UtRealPath(achTemplate.data());
    ASSERT_FALSE(m_strDir.empty());
    m_strProbe = ZXCPROBE_PATH;
    m_anFds = UtListFds();
}

void PlatPosixTest::TearDown()
{
    siginfo_t si;

    for (HANDLE hProc : m_ahProcs) {
        PlatKillProgram(hProc);
        PlatWaitProgram(hProc, PLAT_INFINITE);
        PlatCloseProgram(hProc);
    }
    m_ahProcs.clear();

    if (!m_strCwd.empty()) {
        EXPECT_EQ(chdir(m_strCwd.c_str()), 0);
    }
    if (m_fHadTmpDir)
        setenv("TMPDIR", m_strTmpDir.c_str(), 1);
    else
        unsetenv("TMPDIR");
    UtRemoveTree(m_strDir);

    EXPECT_EQ(UtListFds(), m_anFds) << "descriptors left open";
    memset(&si, 0, sizeof(si));
    EXPECT_EQ(waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT), -1)
        << "a child process is left, pid " << si.si_pid;
}

LONG PlatPosixTest::StartProbe(const std::string &strOptions, const char *pszInputs,
                               HANDLE *phProc, ULONG *pulPid)
{
    std::string strProgram = UtQuote(m_strProbe) + " " + strOptions;
    std::string strLine = strProgram + " \"" + (pszInputs != NULL ? pszInputs : "") + "\"";
    LONG lRC = PlatStartProgram((PSZ)strLine.c_str(), (PSZ)strProgram.c_str(), (PSZ)pszInputs,
                                phProc, pulPid);
    if (lRC == 0)
        m_ahProcs.push_back(*phProc);
    return lRC;
}

void PlatPosixTest::Untrack(HANDLE hProc)
{
    for (size_t i = 0; i < m_ahProcs.size(); i++) {
        if (m_ahProcs[i] == hProc) {
            m_ahProcs.erase(m_ahProcs.begin() + (long)i);
            break;
        }
    }
}

void PlatPosixTest::Finish(HANDLE hProc)
{
    EXPECT_TRUE(PlatWaitProgram(hProc, PLAT_INFINITE));
    Untrack(hProc);
    PlatCloseProgram(hProc);
}

bool PlatPosixTest::RunRecorded(const std::string &strOptions, const char *pszInputs,
                                RECORD *pRecord)
{
    std::string strRecord = m_strDir + "/record" + std::to_string(++m_nRecords);
    HANDLE hProc = NULL;
    ULONG ulPid = 0;
    LONG lRC = StartProbe("--record " + UtQuote(strRecord) + " " + strOptions, pszInputs, &hProc,
                          &ulPid);

    pRecord->clear();
    EXPECT_EQ(lRC, 0);
    if (lRC != 0)
        return false;
    Finish(hProc);
    EXPECT_TRUE(UtProcessGone(ulPid));
    if (!UtReadRecord(strRecord, pRecord))
        return false;
    (*pRecord)["@record"] = strRecord;
    (*pRecord)["@pid"] = std::to_string(ulPid);
    return true;
}
