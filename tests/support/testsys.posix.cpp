/* testsys.posix.cpp - the test support on POSIX systems (Linux). */
#include "testsys.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int nSavedStderr = -1;
static std::string sCapturePath;

void TsCaptureStderrBegin(void)
{
    char pcTemplate[] = "/tmp/zelmtest-stderr-XXXXXX";
    int fd;

    fflush(stderr);
    fd = mkstemp(pcTemplate);
    if (fd < 0) {
        abort();
    }
    sCapturePath = pcTemplate;
    nSavedStderr = dup(2);
    dup2(fd, 2);
    close(fd);
}

std::string TsCaptureStderrEnd(void)
{
    std::string text;

    fflush(stderr);
    dup2(nSavedStderr, 2);
    close(nSavedStderr);
    nSavedStderr = -1;
    TsReadFile(sCapturePath, &text);
    unlink(sCapturePath.c_str());
    return text;
}

char TsSep(void)
{
    return '/';
}

std::string TsJoin(const std::string &dir, const std::string &name)
{
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

bool TsFileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool TsMakeDir(const std::string &path)
{
    return mkdir(path.c_str(), 0700) == 0;
}

bool TsRemoveTree(const std::string &path)
{
    struct stat st;
    DIR *pDir;
    struct dirent *pEnt;
    bool fOk = true;

    if (lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) {
        return unlink(path.c_str()) == 0;
    }
    chmod(path.c_str(), 0700);
    pDir = opendir(path.c_str());
    if (pDir != NULL) {
        while ((pEnt = readdir(pDir)) != NULL) {
            if (strcmp(pEnt->d_name, ".") != 0 && strcmp(pEnt->d_name, "..") != 0) {
                fOk = TsRemoveTree(TsJoin(path, pEnt->d_name)) && fOk;
            }
        }
        closedir(pDir);
    }
    return rmdir(path.c_str()) == 0 && fOk;
}

std::string TsMakeTempDir(const char *pszPrefix)
{
    std::string pattern = std::string("/tmp/") + pszPrefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());

    buf.push_back('\0');
    if (mkdtemp(buf.data()) == NULL) {
        abort();
    }
    return std::string(buf.data());
}

std::vector<std::string> TsListDir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *pDir = opendir(path.c_str());
    struct dirent *pEnt;

    if (pDir != NULL) {
        while ((pEnt = readdir(pDir)) != NULL) {
            if (strcmp(pEnt->d_name, ".") != 0 && strcmp(pEnt->d_name, "..") != 0) {
                names.push_back(pEnt->d_name);
            }
        }
        closedir(pDir);
    }
    return names;
}

std::string TsGetCwd(void)
{
    std::vector<char> buf(8192);

    if (getcwd(buf.data(), buf.size()) == NULL) {
        return std::string();
    }
    return std::string(buf.data());
}

bool TsChangeDir(const std::string &path)
{
    return chdir(path.c_str()) == 0;
}

std::string TsRealPath(const std::string &path)
{
    char *psz = realpath(path.c_str(), NULL);
    std::string result;

    if (psz != NULL) {
        result = psz;
        free(psz);
    }
    return result;
}

void TsSetEnv(const char *pszName, const char *pszValue)
{
    if (pszValue == NULL) {
        unsetenv(pszName);
    } else {
        setenv(pszName, pszValue, 1);
    }
}

void TsSetTempDir(const char *pszDir)
{
    TsSetEnv("TMPDIR", pszDir);
}

void TsSleepMs(unsigned long ulMs)
{
    struct timespec ts;

    ts.tv_sec = (time_t)(ulMs / 1000);
    ts.tv_nsec = (long)(ulMs % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

unsigned long long TsNowMs(void)
{
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (unsigned long long)ts.tv_sec * 1000ULL + (unsigned long long)ts.tv_nsec / 1000000ULL;
}

/* State letter and parent of a process from /proc; false when it is gone. */
static bool ReadProcStat(unsigned long ulPid, char *pcState, long *plPpid)
{
    char pcPath[64];
    std::string text;
    size_t close;

    snprintf(pcPath, sizeof(pcPath), "/proc/%lu/stat", ulPid);
    if (!TsReadFile(pcPath, &text)) {
        return false;
    }
    close = text.rfind(')');
    if (close == std::string::npos || close + 4 > text.size()) {
        return false;
    }
    *pcState = text[close + 2];
    *plPpid = strtol(text.c_str() + close + 4, NULL, 10);
    return true;
}

bool TsProcessRunning(unsigned long ulPid)
{
    char cState = 0;
    long lPpid = 0;

    return ReadProcStat(ulPid, &cState, &lPpid) && cState != 'Z' && cState != 'X';
}

bool TsWaitProcessGone(unsigned long ulPid, unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;
    char cState = 0;
    long lPpid = 0;

    while (ReadProcStat(ulPid, &cState, &lPpid)) {
        if (TsNowMs() >= ullEnd) {
            return false;
        }
        TsSleepMs(5);
    }
    return true;
}

int TsCountChildren(void)
{
    int nCount = 0;
    long lSelf = (long)getpid();
    char cState;
    long lPpid;

    for (const std::string &name : TsListDir("/proc")) {
        if (!name.empty() && name[0] >= '0' && name[0] <= '9') {
            if (ReadProcStat(strtoul(name.c_str(), NULL, 10), &cState, &lPpid) && lPpid == lSelf) {
                nCount++;
            }
        }
    }
    return nCount;
}

int TsCountDescriptors(void)
{
    /* The directory stream itself holds one descriptor while listing. */
    return (int)TsListDir("/proc/self/fd").size() - 1;
}

bool TsHasDrives(void)
{
    return false;
}

struct TsThreadStart {
    PFNTSTHREAD pfn;
    void *pArg;
};

static void *TsThreadMain(void *pv)
{
    TsThreadStart start = *(TsThreadStart *)pv;
    delete (TsThreadStart *)pv;
    start.pfn(start.pArg);
    return NULL;
}

void *TsStartThread(PFNTSTHREAD pfn, void *pArg)
{
    pthread_t *pThread = new pthread_t;
    TsThreadStart *pStart = new TsThreadStart{pfn, pArg};

    if (pthread_create(pThread, NULL, TsThreadMain, pStart) != 0) {
        abort();
    }
    return pThread;
}

void TsJoinThread(void *hThread)
{
    pthread_join(*(pthread_t *)hThread, NULL);
    delete (pthread_t *)hThread;
}

void TsExitThread(void)
{
    pthread_exit(NULL);
}

bool TsKillProcess(unsigned long ulPid)
{
    return kill((pid_t)ulPid, SIGKILL) == 0;
}

bool TsMakeLink(const std::string &target, const std::string &link)
{
    return symlink(target.c_str(), link.c_str()) == 0;
}
