/*
 * zelmplat.posix.cpp - the POSIX (Linux) backend of zelmplat.h: locks,
 * threads, class programs, directories and files. The top-level window
 * calls live in zelmplat.x11.cpp or zelmplat.nowin.cpp.
 *
 * Needs Linux 5.10 or later (pidfd_open, pidfd_send_signal, waitid on a
 * pidfd, close_range behind posix_spawn) and glibc 2.34 or later
 * (posix_spawn_file_actions_addclosefrom_np, pthread_mutex_clocklock).
 *
 * Handles:
 *   lock     pointer to a malloc'd robust, recursive pthread mutex; once
 *            installed it is never destroyed (a waiter may hold it).
 *   program  pidfd + 1 cast to a pointer, so that a descriptor 0 never
 *            reads as the null handle. Programs are only ever signalled
 *            and waited for through their pidfd, never by bare PID.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "zelmplat.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PLAT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PLAT_SANITIZED 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define PLAT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLAT_TSAN 1
#endif
#endif

/* Largest stack tried for a thread whose thread-local storage crowds it. */
#define PLAT_STACK_MAX (8UL * 1024UL * 1024UL)

/* Instrumented frames are much larger: never give a thread less. */
#define PLAT_SANITIZED_STACK_MIN (256UL * 1024UL)

/* Longest temporary file name handed out, without its terminator. */
#define PLAT_TEMP_NAME_MAX 260

/* Attempts at finding a temporary name nobody uses yet. */
#define PLAT_TEMP_TRIES 100

/* The lock of the error texts. */
static pthread_mutex_t g_mtxText = PTHREAD_MUTEX_INITIALIZER;

/* Sequence number of the temporary names of this process. */
static ULONG g_ulTempSeq = 0;

/* ---- Helpers ------------------------------------------------------------- */

static int PlatProgramFd(HANDLE hProc)
{
    return (int)((intptr_t)hProc - 1);
}

static HANDLE PlatProgramHandle(int fd)
{
    return (HANDLE)(intptr_t)(fd + 1);
}

static void PlatNow(struct timespec *pts)
{
    clock_gettime(CLOCK_MONOTONIC, pts);
}

static void PlatAddMilliseconds(struct timespec *pts, ULONG ulMilliseconds)
{
    pts->tv_sec += (time_t)(ulMilliseconds / 1000UL);
    pts->tv_nsec += (long)(ulMilliseconds % 1000UL) * 1000000L;
    if (pts->tv_nsec >= 1000000000L) {
        pts->tv_sec += 1;
        pts->tv_nsec -= 1000000000L;
    }
}

/* A millisecond's pause in a polling loop. */
static void PlatNap(void)
{
    struct timespec ts;

    ts.tv_sec = 0;
    ts.tv_nsec = 1000000L;
    nanosleep(&ts, NULL);
}

/* Milliseconds from now until *ptsDeadline, rounded up; 0 when passed. */
static long long PlatMillisecondsLeft(const struct timespec *ptsDeadline)
{
    struct timespec tsNow;
    long long llNanos;

    PlatNow(&tsNow);
    llNanos = (long long)(ptsDeadline->tv_sec - tsNow.tv_sec) * 1000000000LL +
              (long long)(ptsDeadline->tv_nsec - tsNow.tv_nsec);
    if (llNanos <= 0)
        return 0;
    return (llNanos + 999999LL) / 1000000LL;
}

/* ---- Locks --------------------------------------------------------------- */

LONG PlatCreateMutex(HANDLE *phmtx, BOOL *pfCreated)
{
    LONG lRC = 0;
    pthread_mutexattr_t attr;
    pthread_mutex_t *pmtx = NULL;
    HANDLE hExpected = NULL;

    *pfCreated = FALSE;
    if (__atomic_load_n(phmtx, __ATOMIC_ACQUIRE) != NULL)
        return 0;

    pmtx = (pthread_mutex_t *)malloc(sizeof(*pmtx));
    if (pmtx == NULL)
        return ENOMEM;

    lRC = pthread_mutexattr_init(&attr);
    if (lRC != 0) {
        free(pmtx);
        return lRC;
    }
    lRC = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (lRC == 0)
        lRC = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (lRC == 0)
        lRC = pthread_mutex_init(pmtx, &attr);
    pthread_mutexattr_destroy(&attr);
    if (lRC != 0) {
        free(pmtx);
        return lRC;
    }

    lRC = pthread_mutex_lock(pmtx);
    if (lRC != 0) {
        pthread_mutex_destroy(pmtx);
        free(pmtx);
        return lRC;
    }

    if (__atomic_compare_exchange_n(phmtx, &hExpected, (HANDLE)pmtx, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        *pfCreated = TRUE;
    } else {
        /* Another thread was first: its lock stands, ours goes. */
        pthread_mutex_unlock(pmtx);
        pthread_mutex_destroy(pmtx);
        free(pmtx);
    }
    return 0;
}

#ifdef PLAT_TSAN
/*
 * The thread sanitizer does not see pthread_mutex_clocklock: a lock taken
 * through it would look unheld, and its release a fault. Under it a
 * bounded wait tries the lock until the deadline instead.
 */
static int PlatLockUntil(pthread_mutex_t *pmtx, const struct timespec *ptsDeadline)
{
    int rc = 0;

    for (;;) {
        rc = pthread_mutex_trylock(pmtx);
        if (rc != EBUSY)
            return rc;
        if (PlatMillisecondsLeft(ptsDeadline) == 0)
            return ETIMEDOUT;
        PlatNap();
    }
}
#else
static int PlatLockUntil(pthread_mutex_t *pmtx, const struct timespec *ptsDeadline)
{
    return pthread_mutex_clocklock(pmtx, CLOCK_MONOTONIC, ptsDeadline);
}
#endif

LONG PlatWaitMutex(HANDLE hmtx, ULONG ulMilliseconds)
{
    LONG lRC = PLAT_WAIT_FAILED;
    pthread_mutex_t *pmtx = (pthread_mutex_t *)hmtx;
    struct timespec tsDeadline;
    int rc = 0;

    if (pmtx == NULL)
        return PLAT_WAIT_FAILED;

    if (ulMilliseconds == PLAT_INFINITE) {
        rc = pthread_mutex_lock(pmtx);
    } else {
        PlatNow(&tsDeadline);
        PlatAddMilliseconds(&tsDeadline, ulMilliseconds);
        rc = PlatLockUntil(pmtx, &tsDeadline);
    }

    switch (rc) {
    case 0:
        lRC = PLAT_WAIT_OBTAINED;
        break;
    case EOWNERDEAD:
        /* Its holder ended without giving it back: we hold it now. */
        if (pthread_mutex_consistent(pmtx) == 0) {
            lRC = PLAT_WAIT_ABANDONED;
        } else {
            pthread_mutex_unlock(pmtx);
            lRC = PLAT_WAIT_FAILED;
        }
        break;
    case ETIMEDOUT:
        lRC = PLAT_WAIT_TIMEOUT;
        break;
    default:
        lRC = PLAT_WAIT_FAILED;
        break;
    }
    return lRC;
}

LONG PlatReleaseMutex(HANDLE hmtx)
{
    if (hmtx == NULL)
        return EINVAL;
    return pthread_mutex_unlock((pthread_mutex_t *)hmtx);
}

void PlatEnterTextLock(void)
{
    pthread_mutex_lock(&g_mtxText);
}

void PlatLeaveTextLock(void)
{
    pthread_mutex_unlock(&g_mtxText);
}

/* ---- Threads --------------------------------------------------------------- */

LONG PlatStartThread(PFNPLATTHREAD pfnStart, PVOID pArg, ULONG ulStackSize)
{
    LONG lRC = 0;
    pthread_attr_t attr;
    pthread_t tid;
    size_t cbStack = (size_t)ulStackSize;
    size_t cbMin = PTHREAD_STACK_MIN;
    long lSysMin = sysconf(_SC_THREAD_STACK_MIN);
    long lPage = sysconf(_SC_PAGESIZE);

    if (lSysMin > 0 && (size_t)lSysMin > cbMin)
        cbMin = (size_t)lSysMin;
#ifdef PLAT_SANITIZED
    if (cbMin < PLAT_SANITIZED_STACK_MIN)
        cbMin = PLAT_SANITIZED_STACK_MIN;
#endif
    /* The system takes its thread record and the thread-local storage of
     * every loaded module out of the stack it is given: the minimum comes
     * on top of what the caller asked for, not instead of it. */
    cbStack += cbMin;
    /* The system rounds an odd size down: round it up to whole pages. */
    if (lPage > 0 && cbStack % (size_t)lPage != 0)
        cbStack += (size_t)lPage - cbStack % (size_t)lPage;

    lRC = pthread_attr_init(&attr);
    if (lRC != 0)
        return lRC;
    lRC = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    /* A host with much thread-local storage needs more: double the stack
     * until the thread can be made. */
    for (;;) {
        if (lRC == 0)
            lRC = pthread_attr_setstacksize(&attr, cbStack);
        if (lRC == 0)
            lRC = pthread_create(&tid, &attr, pfnStart, pArg);
        if (lRC != EINVAL || cbStack >= PLAT_STACK_MAX)
            break;
        cbStack *= 2;
        lRC = 0;
    }
    pthread_attr_destroy(&attr);
    return lRC;
}

void PlatSleep(ULONG ulMilliseconds)
{
    struct timespec ts;

    ts.tv_sec = (time_t)(ulMilliseconds / 1000UL);
    ts.tv_nsec = (long)(ulMilliseconds % 1000UL) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* ---- Class programs ---------------------------------------------------------- */

static bool PlatIsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

/*
 * Split pszText into arguments by the command-line rules: blanks and tabs
 * separate; double quotes group and are dropped; 2n backslashes before a
 * quote give n backslashes and the quote groups, 2n+1 give n backslashes
 * and a literal quote; other backslashes are literal. pszExtra, when not
 * null, follows as one more argument, as it is. The result is one malloc'd
 * block, a null-terminated vector followed by the texts, freed with free();
 * *pnTextArgs receives the number of arguments that came from pszText.
 * Null (errno ENOMEM) when out of memory. Internal to this backend.
 */
char **PlatSplitCommandLine(PSZ pszText, PSZ pszExtra, int *pnTextArgs)
{
    const char *pch = pszText != NULL ? pszText : "";
    size_t cchText = strlen(pch);
    size_t cchExtra = pszExtra != NULL ? strlen(pszExtra) : 0;
    size_t cArgsMax = cchText / 2 + 3;
    size_t cbChars = cchText + cchExtra + 2;
    char **ppszArgs = NULL;
    char *pchOut = NULL;
    int nArgs = 0;
    bool fQuoted = false;
    size_t cBackslashes = 0;

    *pnTextArgs = 0;
    if (cchText > SIZE_MAX / 4 || cchExtra > SIZE_MAX / 4) {
        errno = ENOMEM;
        return NULL;
    }
    ppszArgs = (char **)malloc(cArgsMax * sizeof(char *) + cbChars);
    if (ppszArgs == NULL) {
        errno = ENOMEM;
        return NULL;
    }
    pchOut = (char *)(ppszArgs + cArgsMax);

    for (;;) {
        while (PlatIsBlank(*pch))
            pch++;
        if (*pch == '\0')
            break;

        ppszArgs[nArgs++] = pchOut;
        fQuoted = false;
        while (*pch != '\0' && (fQuoted || !PlatIsBlank(*pch))) {
            if (*pch == '\\') {
                cBackslashes = 0;
                while (pch[cBackslashes] == '\\')
                    cBackslashes++;
                if (pch[cBackslashes] == '"') {
                    memset(pchOut, '\\', cBackslashes / 2);
                    pchOut += cBackslashes / 2;
                    pch += cBackslashes;
                    if (cBackslashes % 2 != 0) {
                        *pchOut++ = '"';
                        pch++;
                    }
                } else {
                    memset(pchOut, '\\', cBackslashes);
                    pchOut += cBackslashes;
                    pch += cBackslashes;
                }
            } else if (*pch == '"') {
                fQuoted = !fQuoted;
                pch++;
            } else {
                *pchOut++ = *pch++;
            }
        }
        *pchOut++ = '\0';
    }
    *pnTextArgs = nArgs;

    if (pszExtra != NULL) {
        ppszArgs[nArgs++] = pchOut;
        memcpy(pchOut, pszExtra, cchExtra + 1);
    }
    ppszArgs[nArgs] = NULL;
    return ppszArgs;
}

LONG PlatStartProgram(PSZ pszCommandLine, PSZ pszProgram, PSZ pszInputs, HANDLE *phProc,
                      ULONG *pulProcId)
{
    LONG lRC = 0;
    char **ppszArgs = NULL;
    int nProgramArgs = 0;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    bool fAttr = false;
    bool fActions = false;
    sigset_t sigs;
    pid_t pid = -1;
    int fdPid = -1;

    /* Arguments go as a vector here; the assembled line is for backends
     * that hand over a command line. */
    (void)pszCommandLine;

    *phProc = NULL;
    *pulProcId = 0;

    ppszArgs = PlatSplitCommandLine(pszProgram, pszInputs, &nProgramArgs);
    if (ppszArgs == NULL) {
        lRC = ENOMEM;
        goto done;
    }
    if (nProgramArgs == 0) {
        lRC = ENOENT;
        goto done;
    }

    lRC = posix_spawnattr_init(&attr);
    if (lRC != 0)
        goto done;
    fAttr = true;
    /* A session of its own, away from the host's terminal; no blocked
     * signals; every signal with its default action. */
    lRC = posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (lRC == 0) {
        sigemptyset(&sigs);
        lRC = posix_spawnattr_setsigmask(&attr, &sigs);
    }
    if (lRC == 0) {
        sigfillset(&sigs);
        sigdelset(&sigs, SIGKILL);
        sigdelset(&sigs, SIGSTOP);
        lRC = posix_spawnattr_setsigdefault(&attr, &sigs);
    }
    if (lRC != 0)
        goto done;

    lRC = posix_spawn_file_actions_init(&actions);
    if (lRC != 0)
        goto done;
    fActions = true;
    /* Only the standard streams go to the program. */
    lRC = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (lRC != 0)
        goto done;

    lRC = posix_spawnp(&pid, ppszArgs[0], &actions, &attr, ppszArgs, environ);
    if (lRC != 0)
        goto done;

    /* pidfds are always close-on-exec. */
    fdPid = (int)syscall(SYS_pidfd_open, pid, 0);
    if (fdPid < 0) {
        lRC = errno;
        /* ESRCH: it has ended and something of the host's collected it
         * already; its PID may be another's by now. Otherwise it is our
         * own child, not yet collected, and its PID is still its own. */
        if (lRC != ESRCH) {
            kill(pid, SIGKILL);
            while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
            }
        }
        goto done;
    }

    *phProc = PlatProgramHandle(fdPid);
    *pulProcId = (ULONG)pid;

done:
    if (fActions)
        posix_spawn_file_actions_destroy(&actions);
    if (fAttr)
        posix_spawnattr_destroy(&attr);
    free(ppszArgs);
    return lRC;
}

LONG PlatDuplicateProgram(HANDLE hProc, HANDLE *phDup)
{
    int fd = -1;

    *phDup = NULL;
    if (hProc == NULL)
        return EBADF;
    fd = fcntl(PlatProgramFd(hProc), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    *phDup = PlatProgramHandle(fd);
    return 0;
}

/* Collect the ended program: TRUE when it is (or was already) collected,
 * FALSE when it has not ended yet or the handle is bad. */
/*
 * waitid on the program's pidfd for its end, with nOptions (WNOHANG,
 * WNOWAIT). TRUE when it has ended, or has already been collected.
 */
static BOOL PlatWaitEnd(int fd, int nOptions)
{
    siginfo_t si;
    int rc = 0;

    for (;;) {
        memset(&si, 0, sizeof(si));
        rc = waitid((idtype_t)P_PIDFD, (id_t)fd, &si, WEXITED | nOptions);
        if (rc == 0)
            return si.si_pid != 0 ? TRUE : FALSE;
        if (errno == ECHILD)
            return TRUE;
        if (errno != EINTR)
            return FALSE;
    }
}

BOOL PlatWaitProgram(HANDLE hProc, ULONG ulMilliseconds)
{
    int fd = -1;
    struct pollfd pfd;
    struct timespec tsDeadline;
    long long llLeft = 0;
    bool fNapped = false;
    int rc = 0;

    if (hProc == NULL)
        return FALSE;
    fd = PlatProgramFd(hProc);

    /* The program is not collected here: until its handles are closed it
     * keeps its process identifier, so that nothing else can take it while
     * the session still names it. */
    if (ulMilliseconds == PLAT_INFINITE)
        return PlatWaitEnd(fd, WNOWAIT);

    PlatNow(&tsDeadline);
    PlatAddMilliseconds(&tsDeadline, ulMilliseconds);
    llLeft = ulMilliseconds;
    for (;;) {
        pfd.fd = fd;
        pfd.events = POLLIN;
        pfd.revents = 0;
        rc = poll(&pfd, 1, llLeft > INT_MAX ? INT_MAX : (int)llLeft);
        if (rc < 0 && errno != EINTR)
            return FALSE;
        if (rc > 0) {
            if (pfd.revents & POLLNVAL)
                return FALSE;
            if (PlatWaitEnd(fd, WNOHANG | WNOWAIT))
                return TRUE;
            /* Readable, yet not ended: do not spin on it. */
            fNapped = true;
        }
        llLeft = PlatMillisecondsLeft(&tsDeadline);
        if (llLeft == 0)
            return FALSE;
        if (fNapped) {
            fNapped = false;
            PlatNap();
        }
    }
}

LONG PlatKillProgram(HANDLE hProc)
{
    if (hProc == NULL)
        return EBADF;
    if (syscall(SYS_pidfd_send_signal, PlatProgramFd(hProc), SIGKILL, NULL, 0) != 0) {
        if (errno == ESRCH)
            return 0;
        return errno;
    }
    return 0;
}

/* A program that has ended is collected when a handle of it is closed, so
 * no zombie is left; one that still runs is collected at the close of the
 * handle that outlives its end (its monitor's). */
void PlatCloseProgram(HANDLE hProc)
{
    int fd;

    if (hProc != NULL) {
        fd = PlatProgramFd(hProc);
        PlatWaitEnd(fd, WNOHANG);
        close(fd);
    }
}

/* ---- Directories, drives and files ----------------------------------------- */

/* Append the path pszPath, component by component, to the normalised
 * absolute path pcWork[0..*pcch) ("/" or "/a/b"); ".." never goes above "/". */
static void PlatAppendPath(char *pcWork, size_t *pcch, const char *pszPath)
{
    const char *pch = pszPath;
    const char *pchEnd = NULL;
    size_t cch = *pcch;
    size_t cchPart = 0;

    while (*pch != '\0') {
        while (*pch == '/')
            pch++;
        pchEnd = pch;
        while (*pchEnd != '\0' && *pchEnd != '/')
            pchEnd++;
        cchPart = (size_t)(pchEnd - pch);

        if (cchPart == 0 || (cchPart == 1 && pch[0] == '.')) {
            /* nothing */
        } else if (cchPart == 2 && pch[0] == '.' && pch[1] == '.') {
            if (cch > 1) {
                while (pcWork[cch - 1] != '/')
                    cch--;
                if (cch > 1)
                    cch--;
            }
        } else {
            if (cch > 1)
                pcWork[cch++] = '/';
            memcpy(pcWork + cch, pch, cchPart);
            cch += cchPart;
        }
        pch = pchEnd;
    }
    *pcch = cch;
}

PSZ PlatFullPath(PSZ pcOut, PSZ pszPath, ULONG ulLimit)
{
    PSZ pszResult = NULL;
    const char *pszIn = pszPath != NULL ? pszPath : "";
    char *pszCwd = NULL;
    char *pcWork = NULL;
    size_t cchCwd = 0;
    size_t cch = 0;

    if (pcOut == NULL)
        return NULL;

    if (pszIn[0] != '/') {
        pszCwd = getcwd(NULL, 0);
        if (pszCwd == NULL || pszCwd[0] != '/')
            goto done;
        cchCwd = strlen(pszCwd);
    }

    pcWork = (char *)malloc(cchCwd + strlen(pszIn) + 3);
    if (pcWork == NULL)
        goto done;
    pcWork[0] = '/';
    cch = 1;
    if (pszCwd != NULL)
        PlatAppendPath(pcWork, &cch, pszCwd);
    PlatAppendPath(pcWork, &cch, pszIn);
    pcWork[cch] = '\0';

    if (cch + 1 <= (size_t)ulLimit) {
        memcpy(pcOut, pcWork, cch + 1);
        pszResult = pcOut;
    }

done:
    free(pcWork);
    free(pszCwd);
    return pszResult;
}

PSZ PlatGetCwd(PSZ pcOut, ULONG ulLimit)
{
    if (pcOut == NULL || ulLimit == 0)
        return NULL;
    return getcwd(pcOut, (size_t)ulLimit);
}

int PlatChangeDir(PSZ pszDir)
{
    if (pszDir == NULL)
        return -1;
    return chdir(pszDir);
}

int PlatGetDrive(void)
{
    return 0;
}

int PlatChangeDrive(int nDrive)
{
    (void)nDrive;
    return -1;
}

/* A few random characters for a temporary name into pcOut. */
static void PlatRandomChars(char *pcOut, size_t cch, ULONG ulSeq)
{
    static const char achAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char abRandom[16];
    struct timespec ts;
    unsigned long long ullMix = 0;
    size_t i = 0;

    if (cch > sizeof(abRandom))
        cch = sizeof(abRandom);
    if (getrandom(abRandom, cch, GRND_NONBLOCK) != (ssize_t)cch) {
        /* No randomness yet: the clock has to do. */
        clock_gettime(CLOCK_REALTIME, &ts);
        ullMix = (unsigned long long)ts.tv_nsec * 6364136223846793005ULL ^
                 (unsigned long long)ts.tv_sec ^ ((unsigned long long)ulSeq << 32);
        for (i = 0; i < cch; i++) {
            ullMix = ullMix * 6364136223846793005ULL + 1442695040888963407ULL;
            abRandom[i] = (unsigned char)(ullMix >> 56);
        }
    }
    for (i = 0; i < cch; i++)
        pcOut[i] = achAlphabet[abRandom[i] % (sizeof(achAlphabet) - 1)];
    pcOut[cch] = '\0';
}

PSZ PlatTempName(PSZ pcOut)
{
    char achDir[PATH_MAX];
    char achName[PLAT_TEMP_NAME_MAX + 64];
    char achRandom[8];
    const char *pszEnv = getenv("TMPDIR");
    size_t cchDir = 0;
    ULONG ulSeq = 0;
    struct stat st;
    int cchName = 0;
    int nTry = 0;

    if (pcOut == NULL)
        return NULL;
    if (pszEnv == NULL || pszEnv[0] == '\0')
        pszEnv = "/tmp";

    if (pszEnv[0] == '/') {
        cchDir = strlen(pszEnv);
        if (cchDir >= sizeof(achDir))
            return NULL;
        memcpy(achDir, pszEnv, cchDir + 1);
    } else {
        if (PlatFullPath(achDir, (PSZ)pszEnv, sizeof(achDir)) == NULL)
            return NULL;
        cchDir = strlen(achDir);
    }
    while (cchDir > 0 && achDir[cchDir - 1] == '/')
        cchDir--;
    achDir[cchDir] = '\0';
    if (cchDir > PLAT_TEMP_NAME_MAX)
        return NULL;

    for (nTry = 0; nTry < PLAT_TEMP_TRIES; nTry++) {
        ulSeq = __atomic_add_fetch(&g_ulTempSeq, 1, __ATOMIC_RELAXED);
        PlatRandomChars(achRandom, 6, ulSeq);
        cchName = snprintf(achName, sizeof(achName), "%s/zelmxcc-%ld-%lu-%s", achDir,
                           (long)getpid(), (unsigned long)ulSeq, achRandom);
        if (cchName < 0 || cchName > PLAT_TEMP_NAME_MAX)
            return NULL;
        /* Anything of that name, even a dangling link, rules it out. */
        if (lstat(achName, &st) != 0) {
            memcpy(pcOut, achName, (size_t)cchName + 1);
            return pcOut;
        }
    }
    return NULL;
}

FILE *PlatCreateNewFile(PSZ pszName)
{
    FILE *pf = NULL;
    int fd = -1;
    int nErr = 0;

    if (pszName == NULL) {
        errno = EINVAL;
        return NULL;
    }
    fd = open(pszName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return NULL;
    pf = fdopen(fd, "w+b");
    if (pf == NULL) {
        nErr = errno;
        unlink(pszName);
        close(fd);
        errno = nErr;
    }
    return pf;
}

/* An open file can be deleted here: the program need not have ended. */
int PlatRemoveFile(PSZ pszName, HANDLE hProcEnding)
{
    (void)hProcEnding;
    return unlink(pszName);
}
