/*
 * zelmxcc-host - a host program for class sessions. It makes working-set
 * objects with the reference store, starts class programs for them through
 * libzelmxcc, brings their windows to the front, ends them, and shows each
 * notification as it arrives.
 *
 *   zelmxcc-host [-i] [SCRIPT | -]
 *
 * Commands come one per line from SCRIPT, or from standard input. From a
 * script, or from standard input that is not a terminal, each line is shown
 * ("> LINE") before it runs, and the first failing call or wrong line stops
 * the run; from a terminal, or with -i, the host prompts (terminal only) and
 * carries on after an error. Run "help" for the commands.
 *
 * Notifications. Session N is started with message 0x8000 + N (WM_APP + N
 * on Windows). On Linux the host owns an unmapped input-only X window on
 * DISPLAY and reads the library's ClientMessage events (type
 * ZELMXCC_MESSAGE, data32[0] the message) from its own connection, in the
 * command loop (poll on the connection and the input). Without a usable
 * display it starts a private Xvfb when one is installed (and stops it when
 * it leaves); without either, notifications are off and "wait" watches the
 * program's process instead. On Windows it owns a hidden window and runs a
 * message loop; a reader thread hands it the input lines.
 *
 * Exit status: 0; 1 a call failed or a wait ran out; 2 wrong input or
 * usage; 3 the script cannot be read; 128+N after signal N.
 */
#ifndef _WIN32
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#endif

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <xcb/xcb.h>
#endif

#include "zelmref.h"
#include "zelmxcc.h"

#ifndef ZELMXCC_VERSION
#define ZELMXCC_VERSION "unknown"
#endif

#define HOST_NAME "zelmxcc-host"

/* Session N is told by message HOST_MSG_BASE + N: WM_APP + N on Windows,
 * where the application's range ends at 0xBFFF. */
#define HOST_MSG_BASE     0x8000UL
#define HOST_MAX_SESSION  0x3FFFUL

#define HOST_MAX_LINE     (1024UL * 1024UL) /* longest input line */
#define HOST_MAX_SECONDS  1000000.0         /* longest wait or sleep */

/* Results of a command. */
#define CMD_OK     0
#define CMD_FAILED 1 /* a call failed, or a wait ran out */
#define CMD_WRONG  2 /* wrong input: nothing was changed */
#define CMD_QUIT   3

/* Exit statuses. */
#define EXIT_FAILED  1
#define EXIT_WRONG   2
#define EXIT_NOINPUT 3

/* How an object gets its inputs file. */
#define OBJ_FILE     0 /* external, data file name: the file itself */
#define OBJ_BYTES    1 /* external, data bytes: the library writes a temporary file */
#define OBJ_INTERNAL 2 /* internal: the store writes its content under a temporary name */

/* Who made a session's inputs file. */
#define INPUTS_DATAFILE 0 /* the object's own data file */
#define INPUTS_LIBRARY  1 /* written by the library, deleted by its end call */
#define INPUTS_STORE    2 /* written by the store: the library leaves it */

typedef struct _HOSTOBJ {
    char *pszName;
    int nKind;
    SIMWSOBJ hObj;
    char *pszFile;   /* OBJ_FILE: the data file name */
    ULONG ulSize;    /* OBJ_BYTES and OBJ_INTERNAL: bytes of data or content */
    struct _HOSTOBJ *pNext;
} HOSTOBJ, *PHOSTOBJ;

typedef struct _HOSTSESSION {
    ULONG ulNumber;
    PVOID hSession;       /* the class handle */
    BOOL fEnded;          /* the program has ended by itself */
    PHOSTOBJ pObj;
    char *pszProgram;
    char *pszDir;         /* working directory given, or null */
    char *pszInputs;      /* the inputs file, or null when not known */
    int nInputs;          /* INPUTS_... */
    long lPid;            /* the program's process id, 0 when not known */
    int fdPid;            /* Linux: a pidfd of the program, or -1 */
    struct _HOSTSESSION *pNext;
} HOSTSESSION, *PHOSTSESSION;

/* One word of a command line. */
typedef struct _HOSTWORD {
    char *pszText;   /* the word, quotes and escapes resolved */
    size_t ofStart;  /* where it starts in the line */
    BOOL fQuoted;    /* it had quotes in it */
} HOSTWORD, *PHOSTWORD;

/* ---- Process-wide state ------------------------------------------------- */

static const char *g_pszInputName = "stdin"; /* script name, for messages */
static unsigned long g_ulLine;               /* number of the line running */
static BOOL g_fKeepGoing;                    /* go on after an error */
static BOOL g_fPrompt;                       /* show a prompt */
static BOOL g_fEcho;                         /* show each line before it runs */
static BOOL g_fPromptShown;                  /* a prompt is on the terminal */
static BOOL g_fNotify;                       /* notifications arrive */
static HWND g_hwndNotify;                    /* the window they go to */
static PHOSTOBJ g_pFirstObj;
static PHOSTSESSION g_pFirstSession;
static ULONG g_ulLastSession;
static ULONG g_ulTempSeqSeen;                /* newest temporary name seen */
static char g_acLastError[512];              /* the error of the command that ran */
static volatile sig_atomic_t g_nSignal;      /* a signal asks the host to leave */

/* ---- Small helpers ------------------------------------------------------ */

static void *HostAlloc(size_t cb)
{
    void *pv = malloc(cb != 0 ? cb : 1);
    if (pv == NULL) {
        fprintf(stderr, "%s: out of memory\n", HOST_NAME);
        exit(EXIT_FAILED);
    }
    return pv;
}

static char *HostStrDup(const char *psz)
{
    size_t cch = strlen(psz);
    char *pszCopy = (char *)HostAlloc(cch + 1);
    memcpy(pszCopy, psz, cch + 1);
    return pszCopy;
}

static char *HostStrNDup(const char *pch, size_t cch)
{
    char *pszCopy = (char *)HostAlloc(cch + 1);
    memcpy(pszCopy, pch, cch);
    pszCopy[cch] = '\0';
    return pszCopy;
}

/* Before anything is printed while a prompt is shown: a fresh line. */
static void HostBreakPrompt(void)
{
    if (g_fPromptShown) {
        fputc('\n', stdout);
        g_fPromptShown = FALSE;
    }
}

/* A line of the host's own output. */
static void HostSay(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
static void HostSay(const char *pszFormat, ...)
{
    va_list args;

    HostBreakPrompt();
    va_start(args, pszFormat);
    vfprintf(stdout, pszFormat, args);
    va_end(args);
    fputc('\n', stdout);
    fflush(stdout);
}

/* A note on standard error, outside any command. */
static void HostNote(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
static void HostNote(const char *pszFormat, ...)
{
    va_list args;

    HostBreakPrompt();
    fflush(stdout);
    fprintf(stderr, "%s: ", HOST_NAME);
    va_start(args, pszFormat);
    vfprintf(stderr, pszFormat, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
}

/* Record why the command did not do its work; the command loop prints it,
 * with the line, as one line. Returns nResult. */
static int HostError(int nResult, const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));
static int HostError(int nResult, const char *pszFormat, ...)
{
    va_list args;

    va_start(args, pszFormat);
    vsnprintf(g_acLastError, sizeof(g_acLastError), pszFormat, args);
    va_end(args);
    return nResult;
}

static BOOL HostFileExists(const char *pszName)
{
#ifdef _WIN32
    return GetFileAttributesA(pszName) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st;
    return lstat(pszName, &st) == 0;
#endif
}

/* A whole number from 1 to ulMax, or 0. */
static ULONG HostParseNumber(const char *psz, ULONG ulMax)
{
    unsigned long ul = 0;
    char *pchEnd = NULL;

    if (!isdigit((unsigned char)psz[0]))
        return 0;
    errno = 0;
    ul = strtoul(psz, &pchEnd, 10);
    if (errno != 0 || *pchEnd != '\0' || ul == 0 || ul > ulMax)
        return 0;
    return (ULONG)ul;
}

/* Seconds from 0 to HOST_MAX_SECONDS into *plMs; FALSE when not that. */
static BOOL HostParseSeconds(const char *psz, long long *pllMs)
{
    double d = 0;
    char *pchEnd = NULL;

    if (!isdigit((unsigned char)psz[0]) && psz[0] != '.')
        return FALSE;
    errno = 0;
    d = strtod(psz, &pchEnd);
    if (errno != 0 || *pchEnd != '\0' || !isfinite(d) || d < 0 || d > HOST_MAX_SECONDS)
        return FALSE;
    *pllMs = (long long)(d * 1000.0 + 0.5);
    return TRUE;
}

/* ---- Objects and sessions ----------------------------------------------- */

static PHOSTOBJ HostFindObj(const char *pszName)
{
    PHOSTOBJ pObj = g_pFirstObj;

    while (pObj != NULL && strcmp(pObj->pszName, pszName) != 0)
        pObj = pObj->pNext;
    return pObj;
}

static PHOSTSESSION HostFindSession(ULONG ulNumber)
{
    PHOSTSESSION pSession = g_pFirstSession;

    while (pSession != NULL && pSession->ulNumber != ulNumber)
        pSession = pSession->pNext;
    return pSession;
}

static void HostFreeSession(PHOSTSESSION pSession)
{
    PHOSTSESSION *ppLink = &g_pFirstSession;

    while (*ppLink != NULL && *ppLink != pSession)
        ppLink = &(*ppLink)->pNext;
    if (*ppLink != NULL)
        *ppLink = pSession->pNext;
#ifndef _WIN32
    if (pSession->fdPid >= 0)
        close(pSession->fdPid);
#endif
    free(pSession->pszProgram);
    free(pSession->pszDir);
    free(pSession->pszInputs);
    free(pSession);
}

/* A notification has arrived. */
static void HostNotified(ULONG ulMsg)
{
    PHOSTSESSION pSession = NULL;

    if (ulMsg > HOST_MSG_BASE && ulMsg <= HOST_MSG_BASE + HOST_MAX_SESSION)
        pSession = HostFindSession(ulMsg - HOST_MSG_BASE);
    if (pSession != NULL) {
        pSession->fEnded = TRUE;
        HostSay("notification: message 0x%lx: session %lu has ended", (unsigned long)ulMsg,
                (unsigned long)pSession->ulNumber);
    } else {
        HostSay("notification: message 0x%lx: no session of this host", (unsigned long)ulMsg);
    }
}

/* ======================================================================== */
/* Platform: Linux                                                           */
/* ======================================================================== */
#ifndef _WIN32

static xcb_connection_t *g_pConn;  /* the host's own connection, or null */
static xcb_window_t g_wndNotify;
static xcb_atom_t g_atomMessage;
static pid_t g_pidXvfb = -1;       /* the private Xvfb, or -1 */
static sigset_t g_setOldMask;      /* the signal mask to wait with */

/* Input lines are read by the command loop itself, so that it can wait for
 * input and notifications at once. */
static int g_fdInput = -1;
static char *g_pcInput;
static size_t g_cbInput;
static size_t g_cbInputUsed;
static BOOL g_fInputEof;

static long long HostNow(void)
{
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000LL + ts.tv_nsec / 1000000L;
}

static void HostOnSignal(int nSignal)
{
    g_nSignal = nSignal;
}

/* Signals that ask the host to leave are blocked but while it waits, so
 * that no wait misses one. */
static void HostInitSignals(void)
{
    struct sigaction sa;
    sigset_t set;

    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = HostOnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    /* A reader that goes away, or a display that breaks, is an error of a
     * write, not the end of the host. */
    signal(SIGPIPE, SIG_IGN);

    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, &g_setOldMask);
    sigdelset(&g_setOldMask, SIGINT);
    sigdelset(&g_setOldMask, SIGTERM);
    sigdelset(&g_setOldMask, SIGHUP);
}

/* Whether an executable pszProgram is found on PATH. */
static BOOL HostOnPath(const char *pszProgram)
{
    const char *pszPath = getenv("PATH");
    const char *pch = NULL;
    const char *pchEnd = NULL;
    char acFull[4096];
    BOOL fFound = FALSE;

    if (pszPath == NULL)
        return FALSE;
    for (pch = pszPath; !fFound; pch = pchEnd + 1) {
        pchEnd = strchr(pch, ':');
        if (pchEnd == NULL)
            pchEnd = pch + strlen(pch);
        if (pchEnd > pch &&
            snprintf(acFull, sizeof(acFull), "%.*s/%s", (int)(pchEnd - pch), pch, pszProgram) <
                (int)sizeof(acFull) &&
            access(acFull, X_OK) == 0)
            fFound = TRUE;
        if (*pchEnd == '\0')
            break;
    }
    return fFound;
}

/* Stop the private Xvfb: TERM, up to 5 s, then KILL. */
static void HostStopXvfb(void)
{
    int i;

    if (g_pidXvfb <= 0)
        return;
    kill(g_pidXvfb, SIGTERM);
    for (i = 0; i < 500; i++) {
        if (waitpid(g_pidXvfb, NULL, WNOHANG) != 0)
            break;
        usleep(10000);
    }
    if (i == 500) {
        kill(g_pidXvfb, SIGKILL);
        waitpid(g_pidXvfb, NULL, 0);
    }
    g_pidXvfb = -1;
}

/*
 * Start a private Xvfb on the first free display and make it DISPLAY. It
 * reports its display number through a pipe once it accepts connections,
 * and it is told to end when the host does.
 */
static BOOL HostStartXvfb(void)
{
    int afd[2];
    pid_t pidParent = getpid();
    pid_t pid;
    char acDisplay[32];
    size_t cch = 0;
    long long llDeadline;
    struct pollfd pfd;
    ssize_t cbRead;
    int fdNull;
    sigset_t setNone;

    if (pipe2(afd, O_CLOEXEC) != 0)
        return FALSE;
    pid = fork();
    if (pid < 0) {
        close(afd[0]);
        close(afd[1]);
        return FALSE;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != pidParent)
            _exit(127);
        sigemptyset(&setNone);
        sigprocmask(SIG_SETMASK, &setNone, NULL);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        /* Its own process group: a ^C at the host's terminal is the host's. */
        setpgid(0, 0);
        fdNull = open("/dev/null", O_RDWR);
        if (fdNull >= 0) {
            dup2(fdNull, 0);
            dup2(fdNull, 1);
            dup2(fdNull, 2);
        }
        if (afd[1] == 3)
            fcntl(3, F_SETFD, 0);
        else
            dup2(afd[1], 3);
        closefrom(4);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
               "tcp", "-noreset", (char *)NULL);
        _exit(127);
    }
    close(afd[1]);
    g_pidXvfb = pid;

    llDeadline = HostNow() + 30000;
    while (cch < sizeof(acDisplay) - 1 && (cch == 0 || acDisplay[cch - 1] != '\n')) {
        pfd.fd = afd[0];
        pfd.events = POLLIN;
        pfd.revents = 0;
        if (HostNow() >= llDeadline || poll(&pfd, 1, 100) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (pfd.revents == 0)
            continue;
        cbRead = read(afd[0], acDisplay + cch, sizeof(acDisplay) - 1 - cch);
        if (cbRead <= 0)
            break;
        cch += (size_t)cbRead;
    }
    close(afd[0]);
    acDisplay[cch] = '\0';
    if (cch < 2 || acDisplay[cch - 1] != '\n' || !isdigit((unsigned char)acDisplay[0])) {
        HostStopXvfb();
        return FALSE;
    }
    acDisplay[cch - 1] = '\0';
    memmove(acDisplay + 1, acDisplay, cch);
    acDisplay[0] = ':';
    setenv("DISPLAY", acDisplay, 1);
    HostSay("display %s (private Xvfb, pid %ld)", acDisplay, (long)g_pidXvfb);
    return TRUE;
}

/* Connect to DISPLAY and make the window that notifications go to. */
static BOOL HostOpenWindow(void)
{
    xcb_connection_t *pConn;
    xcb_screen_iterator_t itScreen;
    xcb_intern_atom_reply_t *pAtom;
    xcb_intern_atom_cookie_t ckAtom;
    int nScreen = 0;
    int i;
    static const char acTitle[] = HOST_NAME;
    static const char acMessage[] = ZELMXCC_X11_MESSAGE;

    pConn = xcb_connect(NULL, &nScreen);
    if (xcb_connection_has_error(pConn)) {
        xcb_disconnect(pConn);
        return FALSE;
    }
    itScreen = xcb_setup_roots_iterator(xcb_get_setup(pConn));
    for (i = 0; i < nScreen && itScreen.rem > 0; i++)
        xcb_screen_next(&itScreen);
    if (itScreen.rem <= 0) {
        xcb_disconnect(pConn);
        return FALSE;
    }

    g_wndNotify = xcb_generate_id(pConn);
    xcb_create_window(pConn, 0, g_wndNotify, itScreen.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, NULL);
    xcb_change_property(pConn, XCB_PROP_MODE_REPLACE, g_wndNotify, XCB_ATOM_WM_NAME,
                        XCB_ATOM_STRING, 8, (uint32_t)strlen(acTitle), acTitle);
    /* Its reply also tells that the window exists. */
    ckAtom = xcb_intern_atom(pConn, 0, (uint16_t)strlen(acMessage), acMessage);
    pAtom = xcb_intern_atom_reply(pConn, ckAtom, NULL);
    if (pAtom == NULL || xcb_connection_has_error(pConn)) {
        free(pAtom);
        xcb_disconnect(pConn);
        return FALSE;
    }
    g_atomMessage = pAtom->atom;
    free(pAtom);
    g_pConn = pConn;
    g_hwndNotify = (HWND)(uintptr_t)g_wndNotify;
    return TRUE;
}

/*
 * Notifications: on the display in DISPLAY, else on a private Xvfb, else
 * none. Done before the first library call: the library opens its own
 * connection to DISPLAY on first use, once.
 */
static void HostPlatInit(void)
{
    const char *pszDisplay = getenv("DISPLAY");
    BOOL fHaveDisplay = pszDisplay != NULL && pszDisplay[0] != '\0';

    HostInitSignals();
    if (fHaveDisplay && !HostOpenWindow()) {
        HostNote("cannot open display %s", pszDisplay);
        fHaveDisplay = FALSE;
    }
    if (!fHaveDisplay) {
        unsetenv("DISPLAY");
        if (!HostOnPath("Xvfb")) {
            HostNote("no X display and no Xvfb: notifications are off; wait watches the "
                     "program's process");
        } else if (!HostStartXvfb()) {
            HostNote("Xvfb did not start: notifications are off; wait watches the program's "
                     "process");
        } else if (!HostOpenWindow()) {
            HostNote("cannot open the private display: notifications are off; wait watches "
                     "the program's process");
            unsetenv("DISPLAY");
            HostStopXvfb();
        }
    }
    if (g_pConn != NULL) {
        g_fNotify = TRUE;
        HostSay("notifications: X window 0x%lx on %s", (unsigned long)g_wndNotify,
                getenv("DISPLAY"));
    }
}

static void HostPlatDone(void)
{
    if (g_pConn != NULL) {
        xcb_destroy_window(g_pConn, g_wndNotify);
        xcb_flush(g_pConn);
        xcb_disconnect(g_pConn);
        g_pConn = NULL;
    }
    HostStopXvfb();
    free(g_pcInput);
    g_pcInput = NULL;
    if (g_fdInput > 0)
        close(g_fdInput);
}

/* Handle every event that has arrived, without waiting. */
static void HostPumpEvents(void)
{
    xcb_generic_event_t *pEvent;
    xcb_client_message_event_t *pMsg;

    if (g_pConn == NULL)
        return;
    while ((pEvent = xcb_poll_for_event(g_pConn)) != NULL) {
        if ((pEvent->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
            pMsg = (xcb_client_message_event_t *)pEvent;
            if (pMsg->type == g_atomMessage && pMsg->format == 32 && pMsg->window == g_wndNotify)
                HostNotified(pMsg->data.data32[0]);
        }
        free(pEvent);
    }
    if (xcb_connection_has_error(g_pConn)) {
        HostNote("the X connection broke: notifications are off from now on");
        xcb_disconnect(g_pConn);
        g_pConn = NULL;
        g_fNotify = FALSE;
    }
}

/*
 * Wait until the deadline (-1: none) for what the caller wants: input
 * (fdWant the input), the end of a process (fdWant its pidfd), or nothing
 * (fdWant -1). Notifications are handled meanwhile. TRUE when fdWant became
 * ready; FALSE on the deadline, a signal, or when a notification came in
 * and fReturnOnNotify is set.
 */
static BOOL HostWaitFd(int fdWant, long long llDeadline, BOOL fReturnOnNotify)
{
    struct pollfd apfd[2];
    struct timespec ts;
    long long llLeft;
    int nfd;
    int rc;

    for (;;) {
        HostPumpEvents();
        if (g_nSignal != 0)
            return FALSE;
        /* Waiting for a line at the terminal: the prompt, again after a
         * notification was shown. */
        if (fdWant >= 0 && fdWant == g_fdInput && g_fPrompt && !g_fPromptShown) {
            fputs("zelmxcc> ", stdout);
            fflush(stdout);
            g_fPromptShown = TRUE;
        }
        nfd = 0;
        if (fdWant >= 0) {
            apfd[nfd].fd = fdWant;
            apfd[nfd].events = POLLIN;
            apfd[nfd].revents = 0;
            nfd++;
        }
        if (g_pConn != NULL) {
            apfd[nfd].fd = xcb_get_file_descriptor(g_pConn);
            apfd[nfd].events = POLLIN;
            apfd[nfd].revents = 0;
            nfd++;
        }
        llLeft = -1;
        if (llDeadline >= 0) {
            llLeft = llDeadline - HostNow();
            if (llLeft <= 0)
                return FALSE;
        }
        if (llLeft >= 0) {
            ts.tv_sec = (time_t)(llLeft / 1000);
            ts.tv_nsec = (long)(llLeft % 1000) * 1000000L;
        }
        rc = ppoll(apfd, (nfds_t)nfd, llLeft >= 0 ? &ts : NULL, &g_setOldMask);
        if (rc < 0 && errno != EINTR) {
            HostNote("poll: %s", strerror(errno));
            return FALSE;
        }
        if (rc > 0 && fdWant >= 0 && apfd[0].revents != 0)
            return TRUE;
        if (rc > 0 && g_pConn != NULL && apfd[nfd - 1].revents != 0) {
            /* Read what came in; the pump at the top handles it. */
            if (fReturnOnNotify) {
                HostPumpEvents();
                return FALSE;
            }
        }
    }
}

/* The next input line into *ppszLine (malloc'd, without its end); FALSE at
 * the end of the input or on a signal. */
static BOOL HostNextLine(char **ppszLine)
{
    char *pchEnd;
    size_t cch;
    ssize_t cbRead;

    for (;;) {
        pchEnd = g_pcInput != NULL ? (char *)memchr(g_pcInput, '\n', g_cbInputUsed) : NULL;
        if (pchEnd != NULL || (g_fInputEof && g_cbInputUsed > 0)) {
            cch = pchEnd != NULL ? (size_t)(pchEnd - g_pcInput) : g_cbInputUsed;
            *ppszLine = HostStrNDup(g_pcInput, cch);
            if (pchEnd != NULL)
                cch++;
            memmove(g_pcInput, g_pcInput + cch, g_cbInputUsed - cch);
            g_cbInputUsed -= cch;
            return TRUE;
        }
        if (g_fInputEof)
            return FALSE;
        if (g_cbInputUsed >= HOST_MAX_LINE) {
            HostNote("%s:%lu: line too long", g_pszInputName, g_ulLine + 1);
            return FALSE;
        }
        if (g_cbInput - g_cbInputUsed < 4096) {
            g_cbInput = g_cbInput * 2 + 4096;
            g_pcInput = (char *)realloc(g_pcInput, g_cbInput);
            if (g_pcInput == NULL) {
                fprintf(stderr, "%s: out of memory\n", HOST_NAME);
                exit(EXIT_FAILED);
            }
        }
        if (!HostWaitFd(g_fdInput, -1, FALSE))
            return FALSE;
        cbRead = read(g_fdInput, g_pcInput + g_cbInputUsed, g_cbInput - g_cbInputUsed);
        if (cbRead < 0 && errno == EINTR)
            continue;
        if (cbRead <= 0) {
            g_fInputEof = TRUE;
            if (g_fPromptShown) {
                HostBreakPrompt();
            }
        } else {
            g_cbInputUsed += (size_t)cbRead;
            g_fPromptShown = FALSE;
        }
    }
}

static BOOL HostOpenInput(const char *pszScript)
{
    if (pszScript == NULL) {
        g_fdInput = 0;
        return TRUE;
    }
    g_fdInput = open(pszScript, O_RDONLY | O_CLOEXEC);
    return g_fdInput >= 0;
}

static BOOL HostInputIsTerminal(void)
{
    return isatty(0);
}

/* Whether the session's program has ended, by its pidfd, now. */
static BOOL HostProcessEnded(PHOSTSESSION pSession)
{
    struct pollfd pfd;

    if (pSession->fdPid < 0)
        return FALSE;
    pfd.fd = pSession->fdPid;
    pfd.events = POLLIN;
    pfd.revents = 0;
    return poll(&pfd, 1, 0) > 0;
}

/* Without notifications: what the process tells. */
static void HostPollSessions(void)
{
    PHOSTSESSION pSession;

    if (g_fNotify)
        return;
    for (pSession = g_pFirstSession; pSession != NULL; pSession = pSession->pNext) {
        if (!pSession->fEnded && HostProcessEnded(pSession))
            pSession->fEnded = TRUE;
    }
}

/* Wait for the session's program to end, until the deadline (-1: none).
 * TRUE when it has; FALSE on the deadline or a signal. *pfCannot is set
 * when there is no way to tell. */
static BOOL HostWaitSession(PHOSTSESSION pSession, long long llDeadline, BOOL *pfCannot)
{
    *pfCannot = FALSE;
    for (;;) {
        HostPumpEvents();
        HostPollSessions();
        if (pSession->fEnded)
            return TRUE;
        if (g_nSignal != 0 || (llDeadline >= 0 && HostNow() >= llDeadline))
            return FALSE;
        if (g_fNotify) {
            /* Back after each notification, the deadline or a signal. */
            HostWaitFd(-1, llDeadline, TRUE);
        } else if (pSession->fdPid < 0) {
            *pfCannot = TRUE;
            return FALSE;
        } else if (HostWaitFd(pSession->fdPid, llDeadline, FALSE)) {
            pSession->fEnded = TRUE;
        }
    }
}

static void HostSleep(long long llMs)
{
    HostWaitFd(-1, HostNow() + llMs, FALSE);
}

/* The temporary directory the library names its files in. */
static void HostTempDir(char *pcOut, size_t cbOut, const char *pszWorkDir)
{
    const char *pszEnv = getenv("TMPDIR");

    if (pszEnv == NULL || pszEnv[0] == '\0')
        pszEnv = "/tmp";
    /* A relative one is taken in the class working directory, current
     * while the library makes the name. */
    if (pszEnv[0] != '/' && pszWorkDir != NULL)
        snprintf(pcOut, cbOut, "%s/%s", pszWorkDir, pszEnv);
    else
        snprintf(pcOut, cbOut, "%s", pszEnv);
}

/* The sequence number of one of this process's temporary names
 * ("zelmxcc-PID-N-XXXXXX"), or 0. */
static ULONG HostTempSeq(const char *pszName)
{
    char acPrefix[64];
    const char *pszBase = strrchr(pszName, '/');
    size_t cchPrefix;
    unsigned long ul;
    char *pchEnd = NULL;

    pszBase = pszBase != NULL ? pszBase + 1 : pszName;
    snprintf(acPrefix, sizeof(acPrefix), "zelmxcc-%ld-", (long)getpid());
    cchPrefix = strlen(acPrefix);
    if (strncmp(pszBase, acPrefix, cchPrefix) != 0 || !isdigit((unsigned char)pszBase[cchPrefix]))
        return 0;
    ul = strtoul(pszBase + cchPrefix, &pchEnd, 10);
    if (*pchEnd != '-')
        return 0;
    return (ULONG)ul;
}

/* The newest temporary file of this process made after every name seen so
 * far: the inputs file the library has just written. Null when none. */
static char *HostFindTempFile(const char *pszWorkDir)
{
    char acDir[4096];
    char acFull[8192];
    DIR *pDir;
    struct dirent *pEnt;
    ULONG ulSeq;
    ULONG ulBest = 0;
    char *pszBest = NULL;

    HostTempDir(acDir, sizeof(acDir), pszWorkDir);
    while (strlen(acDir) > 1 && acDir[strlen(acDir) - 1] == '/')
        acDir[strlen(acDir) - 1] = '\0';
    pDir = opendir(acDir);
    if (pDir == NULL)
        return NULL;
    while ((pEnt = readdir(pDir)) != NULL) {
        ulSeq = HostTempSeq(pEnt->d_name);
        if (ulSeq > g_ulTempSeqSeen && ulSeq > ulBest) {
            ulBest = ulSeq;
            snprintf(acFull, sizeof(acFull), "%s/%s", acDir, pEnt->d_name);
            free(pszBest);
            pszBest = HostStrDup(acFull);
        }
    }
    closedir(pDir);
    return pszBest;
}

/* The last argument of a process, or null. */
static char *HostLastArgument(long lPid)
{
    char acPath[64];
    char acBuf[8192];
    ssize_t cb;
    int fd;
    char *pch;

    snprintf(acPath, sizeof(acPath), "/proc/%ld/cmdline", lPid);
    fd = open(acPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    cb = read(fd, acBuf, sizeof(acBuf) - 1);
    close(fd);
    if (cb <= 1 || acBuf[cb - 1] != '\0')
        return NULL;
    pch = acBuf + cb - 1;
    while (pch > acBuf && pch[-1] != '\0')
        pch--;
    return HostStrDup(pch);
}

/*
 * Find the session's program among the host's children that are alive and
 * belong to no other session: the one whose last argument is the inputs
 * file, else the only one. Its pidfd lets the host tell when it ends
 * without notifications. The library's own inputs file name is taken from
 * the program's arguments.
 */
static void HostFindProgram(PHOSTSESSION pSession)
{
    DIR *pDir;
    struct dirent *pEnt;
    char acPath[64];
    char acStat[1024];
    char *pch;
    char chState;
    long lPid;
    long lParent;
    long lOnly = 0;
    long lMatch = 0;
    int nCandidates = 0;
    int fd;
    ssize_t cb;
    char *pszArg;
    PHOSTSESSION pOther;
    BOOL fTaken;

    pDir = opendir("/proc");
    if (pDir == NULL)
        return;
    while (lMatch == 0 && (pEnt = readdir(pDir)) != NULL) {
        if (!isdigit((unsigned char)pEnt->d_name[0]))
            continue;
        lPid = strtol(pEnt->d_name, NULL, 10);
        if (lPid == (long)g_pidXvfb)
            continue;
        snprintf(acPath, sizeof(acPath), "/proc/%ld/stat", lPid);
        fd = open(acPath, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        cb = read(fd, acStat, sizeof(acStat) - 1);
        close(fd);
        if (cb <= 0)
            continue;
        acStat[cb] = '\0';
        pch = strrchr(acStat, ')');
        if (pch == NULL || sscanf(pch + 1, " %c %ld", &chState, &lParent) != 2)
            continue;
        if (lParent != (long)getpid() || chState == 'Z' || chState == 'X')
            continue;
        fTaken = FALSE;
        for (pOther = g_pFirstSession; pOther != NULL; pOther = pOther->pNext) {
            if (pOther != pSession && pOther->lPid == lPid)
                fTaken = TRUE;
        }
        if (fTaken)
            continue;
        lOnly = lPid;
        nCandidates++;
        if (pSession->pszInputs != NULL) {
            pszArg = HostLastArgument(lPid);
            if (pszArg != NULL && strcmp(pszArg, pSession->pszInputs) == 0)
                lMatch = lPid;
            free(pszArg);
        }
    }
    closedir(pDir);
    if (lMatch == 0 && nCandidates == 1)
        lMatch = lOnly;
    if (lMatch == 0)
        return;
    pSession->lPid = lMatch;
    pSession->fdPid = (int)syscall(SYS_pidfd_open, (pid_t)lMatch, 0);
    if (pSession->nInputs == INPUTS_LIBRARY) {
        pszArg = HostLastArgument(lMatch);
        if (pszArg != NULL) {
            free(pSession->pszInputs);
            pSession->pszInputs = pszArg;
        }
    }
}

/* ======================================================================== */
/* Platform: Windows                                                         */
/* ======================================================================== */
#else /* _WIN32 */

#define HOST_WM_LINE (WM_USER + 1) /* wParam: 1 at the end of the input; lParam: the line */
#define HOST_WM_WAKE (WM_USER + 2)

static HANDLE g_hLineTaken;   /* the reader may read the next line */
static FILE *g_pInput;
static BOOL g_fInputEof;

static long long HostNow(void)
{
    return (long long)GetTickCount64();
}

static BOOL WINAPI HostOnCtrl(DWORD dwCtrl)
{
    g_nSignal = dwCtrl == CTRL_C_EVENT ? 2 : 15;
    if (g_hwndNotify != NULL)
        PostMessageA(g_hwndNotify, HOST_WM_WAKE, 0, 0);
    return TRUE;
}

static LRESULT CALLBACK HostWndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg > HOST_MSG_BASE && uMsg <= HOST_MSG_BASE + HOST_MAX_SESSION) {
        HostNotified((ULONG)uMsg);
        return 0;
    }
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

/* A line of the input into a new block, without its end; null at the end. */
static char *HostReadLine(FILE *pFile)
{
    size_t cb = 256;
    size_t cch = 0;
    char *pc = (char *)HostAlloc(cb);
    int ch;

    while ((ch = fgetc(pFile)) != EOF && ch != '\n') {
        if (cch + 2 >= cb) {
            cb *= 2;
            pc = (char *)realloc(pc, cb);
            if (pc == NULL)
                exit(EXIT_FAILED);
        }
        pc[cch++] = (char)ch;
    }
    if (ch == EOF && cch == 0) {
        free(pc);
        return NULL;
    }
    if (cch > 0 && pc[cch - 1] == '\r')
        cch--;
    pc[cch] = '\0';
    return pc;
}

/* The reader thread: one line at a time to the window, each once the last
 * one was taken. */
static DWORD WINAPI HostReader(LPVOID pArg)
{
    char *pszLine;

    (void)pArg;
    for (;;) {
        pszLine = HostReadLine(g_pInput);
        PostMessageA(g_hwndNotify, HOST_WM_LINE, pszLine == NULL ? 1 : 0, (LPARAM)pszLine);
        if (pszLine == NULL)
            break;
        WaitForSingleObject(g_hLineTaken, INFINITE);
    }
    return 0;
}

static void HostPlatInit(void)
{
    WNDCLASSA wc;
    HANDLE hThread;

    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = HostWndProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "ZelmxccHost";
    RegisterClassA(&wc);
    /* A top-level window of its own, never shown. */
    g_hwndNotify = CreateWindowExA(0, "ZelmxccHost", HOST_NAME, WS_OVERLAPPEDWINDOW, 0, 0, 1, 1,
                                   NULL, NULL, wc.hInstance, NULL);
    if (g_hwndNotify == NULL) {
        HostNote("no window: notifications are off, wait cannot tell when a program ends");
        exit(EXIT_FAILED);
    }
    g_fNotify = TRUE;
    SetConsoleCtrlHandler(HostOnCtrl, TRUE);
    g_hLineTaken = CreateEventA(NULL, FALSE, FALSE, NULL);
    hThread = CreateThread(NULL, 0, HostReader, NULL, 0, NULL);
    if (g_hLineTaken == NULL || hThread == NULL) {
        HostNote("cannot start the input reader");
        exit(EXIT_FAILED);
    }
    CloseHandle(hThread);
    HostSay("notifications: window 0x%lx", (unsigned long)(ULONG_PTR)g_hwndNotify);
}

static void HostPlatDone(void)
{
    if (g_hwndNotify != NULL)
        DestroyWindow(g_hwndNotify);
}

/* Handle what has arrived but input lines, without waiting. */
static void HostPumpEvents(void)
{
    MSG msg;

    while (PeekMessageA(&msg, NULL, 0, HOST_WM_LINE - 1, PM_REMOVE) ||
           PeekMessageA(&msg, NULL, HOST_WM_LINE + 1, 0xFFFFFFFFU, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

/* Wait a little for messages: at most 50 ms, and not past the deadline
 * (-1: none). */
static void HostWaitMessages(long long llDeadline)
{
    long long llLeft = 50;

    if (llDeadline >= 0) {
        llLeft = llDeadline - HostNow();
        if (llLeft > 50)
            llLeft = 50;
        if (llLeft < 0)
            llLeft = 0;
    }
    MsgWaitForMultipleObjects(0, NULL, FALSE, (DWORD)llLeft, QS_ALLINPUT);
}

static BOOL HostNextLine(char **ppszLine)
{
    MSG msg;
    BOOL fGot = FALSE;

    if (g_fInputEof)
        return FALSE;
    if (g_fPrompt && !g_fPromptShown) {
        fputs("zelmxcc> ", stdout);
        fflush(stdout);
        g_fPromptShown = TRUE;
    }
    while (!fGot && g_nSignal == 0 && GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.message == HOST_WM_LINE && msg.hwnd == g_hwndNotify) {
            g_fPromptShown = FALSE;
            if (msg.wParam != 0) {
                g_fInputEof = TRUE;
                break;
            }
            *ppszLine = (char *)msg.lParam;
            SetEvent(g_hLineTaken);
            fGot = TRUE;
        } else {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return fGot;
}

static BOOL HostOpenInput(const char *pszScript)
{
    g_pInput = pszScript == NULL ? stdin : fopen(pszScript, "r");
    return g_pInput != NULL;
}

static BOOL HostInputIsTerminal(void)
{
    return _isatty(_fileno(stdin));
}

static void HostPollSessions(void)
{
}

static BOOL HostWaitSession(PHOSTSESSION pSession, long long llDeadline, BOOL *pfCannot)
{
    *pfCannot = FALSE;
    for (;;) {
        HostPumpEvents();
        if (pSession->fEnded)
            return TRUE;
        if (g_nSignal != 0 || (llDeadline >= 0 && HostNow() >= llDeadline))
            return FALSE;
        HostWaitMessages(llDeadline);
    }
}

static void HostSleep(long long llMs)
{
    long long llDeadline = HostNow() + llMs;

    for (;;) {
        HostPumpEvents();
        if (g_nSignal != 0 || HostNow() >= llDeadline)
            break;
        HostWaitMessages(llDeadline);
    }
}

/* The sequence number of one of this process's temporary names
 * ("zxPID_N.tmp", both in hex), or 0. */
static ULONG HostTempSeq(const char *pszName)
{
    char acPrefix[64];
    const char *pszBase = strrchr(pszName, '\\');
    size_t cchPrefix;
    unsigned long ul;
    char *pchEnd = NULL;

    pszBase = pszBase != NULL ? pszBase + 1 : pszName;
    snprintf(acPrefix, sizeof(acPrefix), "zx%lx_", (unsigned long)GetCurrentProcessId());
    cchPrefix = strlen(acPrefix);
    if (_strnicmp(pszBase, acPrefix, cchPrefix) != 0 ||
        !isxdigit((unsigned char)pszBase[cchPrefix]))
        return 0;
    ul = strtoul(pszBase + cchPrefix, &pchEnd, 16);
    if (_stricmp(pchEnd, ".tmp") != 0)
        return 0;
    return (ULONG)ul;
}

static char *HostFindTempFile(const char *pszWorkDir)
{
    char acDir[MAX_PATH + 1];
    char acPattern[MAX_PATH + 64];
    char acFull[2 * MAX_PATH];
    WIN32_FIND_DATAA fd;
    HANDLE hFind;
    ULONG ulSeq;
    ULONG ulBest = 0;
    char *pszBest = NULL;
    DWORD dwLength;

    (void)pszWorkDir;
    dwLength = GetTempPathA(sizeof(acDir), acDir);
    if (dwLength == 0 || dwLength >= sizeof(acDir))
        return NULL;
    snprintf(acPattern, sizeof(acPattern), "%szx%lx_*.tmp", acDir,
             (unsigned long)GetCurrentProcessId());
    hFind = FindFirstFileA(acPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return NULL;
    do {
        ulSeq = HostTempSeq(fd.cFileName);
        if (ulSeq > g_ulTempSeqSeen && ulSeq > ulBest) {
            ulBest = ulSeq;
            snprintf(acFull, sizeof(acFull), "%s%s", acDir, fd.cFileName);
            free(pszBest);
            pszBest = HostStrDup(acFull);
        }
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    return pszBest;
}

static void HostFindProgram(PHOSTSESSION pSession)
{
    (void)pSession;
}

#endif /* _WIN32 */

/* ======================================================================== */
/* Command lines                                                             */
/* ======================================================================== */

static void HostFreeWords(PHOSTWORD pWords, int nWords)
{
    int i;

    for (i = 0; i < nWords; i++)
        free(pWords[i].pszText);
    free(pWords);
}

/*
 * Split a command line into words by the rules the library applies to the
 * program text: blanks separate words; double quotes group and are
 * dropped; 2n backslashes before a quote give n backslashes and the quote
 * groups, 2n+1 give n backslashes and a literal quote; other backslashes
 * are themselves. FALSE, with the error recorded, for an unterminated
 * quote.
 */
static BOOL HostSplit(const char *pszLine, PHOSTWORD *ppWords, int *pnWords)
{
    size_t cchLine = strlen(pszLine);
    PHOSTWORD pWords = (PHOSTWORD)HostAlloc((cchLine / 2 + 2) * sizeof(HOSTWORD));
    int nWords = 0;
    const char *pch = pszLine;
    char *pchOut;
    size_t cBackslashes;
    BOOL fQuote;

    for (;;) {
        while (*pch == ' ' || *pch == '\t' || *pch == '\r')
            pch++;
        if (*pch == '\0')
            break;
        pWords[nWords].ofStart = (size_t)(pch - pszLine);
        pWords[nWords].fQuoted = FALSE;
        pWords[nWords].pszText = (char *)HostAlloc(cchLine + 1);
        pchOut = pWords[nWords].pszText;
        nWords++;
        fQuote = FALSE;
        while (*pch != '\0' && (fQuote || (*pch != ' ' && *pch != '\t' && *pch != '\r'))) {
            if (*pch == '\\') {
                cBackslashes = 0;
                while (pch[cBackslashes] == '\\')
                    cBackslashes++;
                if (pch[cBackslashes] == '"') {
                    memset(pchOut, '\\', cBackslashes / 2);
                    pchOut += cBackslashes / 2;
                    pch += cBackslashes;
                    if (cBackslashes % 2 != 0)
                        *pchOut++ = *pch++;
                } else {
                    memset(pchOut, '\\', cBackslashes);
                    pchOut += cBackslashes;
                    pch += cBackslashes;
                }
            } else if (*pch == '"') {
                fQuote = !fQuote;
                pWords[nWords - 1].fQuoted = TRUE;
                pch++;
            } else {
                *pchOut++ = *pch++;
            }
        }
        *pchOut = '\0';
        if (fQuote) {
            HostFreeWords(pWords, nWords);
            HostError(CMD_WRONG, "unterminated quote");
            return FALSE;
        }
    }
    *ppWords = pWords;
    *pnWords = nWords;
    return TRUE;
}

/* Resolve \n, \t and \\ in an object's text, in place; returns its length. */
static size_t HostUnescape(char *psz)
{
    char *pchIn = psz;
    char *pchOut = psz;

    while (*pchIn != '\0') {
        if (pchIn[0] == '\\' && (pchIn[1] == 'n' || pchIn[1] == 't' || pchIn[1] == '\\')) {
            *pchOut++ = pchIn[1] == 'n' ? '\n' : pchIn[1] == 't' ? '\t' : '\\';
            pchIn += 2;
        } else {
            *pchOut++ = *pchIn++;
        }
    }
    *pchOut = '\0';
    return (size_t)(pchOut - psz);
}

/* ======================================================================== */
/* Commands                                                                  */
/* ======================================================================== */

static const char *ObjKindText(PHOSTOBJ pObj, char *pcOut, size_t cbOut)
{
    switch (pObj->nKind) {
    case OBJ_FILE:
        snprintf(pcOut, cbOut, "external, data file %s", pObj->pszFile);
        break;
    case OBJ_BYTES:
        if (pObj->ulSize > 0)
            snprintf(pcOut, cbOut, "external, %lu data bytes", (unsigned long)pObj->ulSize);
        else
            snprintf(pcOut, cbOut, "external, no data (the store writes an empty file)");
        break;
    default:
        snprintf(pcOut, cbOut, "internal, %lu bytes of content", (unsigned long)pObj->ulSize);
        break;
    }
    return pcOut;
}

/* The words from iFirst on, joined by single blanks, into a new block. */
static char *HostJoin(PHOSTWORD pWords, int nWords, int iFirst, size_t *pcch)
{
    size_t cch = 0;
    int i;
    char *psz;

    for (i = iFirst; i < nWords; i++)
        cch += strlen(pWords[i].pszText) + 1;
    psz = (char *)HostAlloc(cch + 1);
    psz[0] = '\0';
    cch = 0;
    for (i = iFirst; i < nWords; i++) {
        if (i > iFirst)
            psz[cch++] = ' ';
        memcpy(psz + cch, pWords[i].pszText, strlen(pWords[i].pszText) + 1);
        cch += strlen(pWords[i].pszText);
    }
    *pcch = cch;
    return psz;
}

/* object NAME file PATH | NAME bytes TEXT... | NAME internal TEXT... */
static int CmdObject(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    PHOSTOBJ pObj;
    const char *pszKind;
    int nKind;
    SIMWSOBJ hObj;
    ULONG ulRC = 0;
    char *pszText = NULL;
    size_t cchText = 0;
    char acKind[512];

    (void)pszLine;
    if (nWords < 2)
        return HostError(CMD_WRONG, "object: missing name (object NAME file|bytes|internal ...)");
    if (nWords < 3)
        return HostError(CMD_WRONG, "object %s: missing kind (file, bytes or internal)",
                         pWords[1].pszText);
    pszKind = pWords[2].pszText;
    if (strcmp(pszKind, "file") == 0)
        nKind = OBJ_FILE;
    else if (strcmp(pszKind, "bytes") == 0)
        nKind = OBJ_BYTES;
    else if (strcmp(pszKind, "internal") == 0)
        nKind = OBJ_INTERNAL;
    else
        return HostError(CMD_WRONG, "object %s: unknown kind \"%s\" (file, bytes or internal)",
                         pWords[1].pszText, pszKind);
    if (nWords < 4)
        return HostError(CMD_WRONG, "object %s %s: missing %s", pWords[1].pszText, pszKind,
                         nKind == OBJ_FILE ? "file name" : "text");
    if (nKind == OBJ_FILE && nWords > 4)
        return HostError(CMD_WRONG, "object %s file: one file name only (quote blanks)",
                         pWords[1].pszText);
    if (nKind == OBJ_FILE && pWords[3].pszText[0] == '\0')
        return HostError(CMD_WRONG, "object %s file: empty file name", pWords[1].pszText);
    if (HostFindObj(pWords[1].pszText) != NULL)
        return HostError(CMD_WRONG, "object %s exists already", pWords[1].pszText);

    hObj = ZelmWsCreateObj(nKind == OBJ_INTERNAL ? SIMWS_TYPE_ASK_INTERNAL : SIMWS_TYPE_EXTERNAL,
                           nKind == OBJ_INTERNAL);
    if (hObj == NULL)
        return HostError(CMD_FAILED, "ZelmWsCreateObj: out of memory");
    pszText = HostJoin(pWords, nWords, 3, &cchText);
    if (nKind != OBJ_FILE)
        cchText = HostUnescape(pszText);
    if (nKind == OBJ_FILE) {
        ulRC = ZelmWsSetDataFile(hObj, pszText);
        if (ulRC != 0)
            HostError(CMD_FAILED, "ZelmWsSetDataFile = %lu", (unsigned long)ulRC);
    } else if (nKind == OBJ_BYTES) {
        ulRC = ZelmWsSetData(hObj, pszText, (ULONG)cchText);
        if (ulRC != 0)
            HostError(CMD_FAILED, "ZelmWsSetData = %lu", (unsigned long)ulRC);
    } else {
        ulRC = ZelmWsSetContent(hObj, pszText, (ULONG)cchText);
        if (ulRC != 0)
            HostError(CMD_FAILED, "ZelmWsSetContent = %lu", (unsigned long)ulRC);
    }
    if (ulRC != 0) {
        ZelmWsDestroyObj(hObj);
        free(pszText);
        return CMD_FAILED;
    }

    pObj = (PHOSTOBJ)HostAlloc(sizeof(HOSTOBJ));
    memset(pObj, 0, sizeof(*pObj));
    pObj->pszName = HostStrDup(pWords[1].pszText);
    pObj->nKind = nKind;
    pObj->hObj = hObj;
    if (nKind == OBJ_FILE) {
        pObj->pszFile = pszText;
    } else {
        pObj->ulSize = (ULONG)cchText;
        free(pszText);
    }
    pObj->pNext = g_pFirstObj;
    g_pFirstObj = pObj;
    HostSay("object %s: %s", pObj->pszName, ObjKindText(pObj, acKind, sizeof(acKind)));
    return CMD_OK;
}

static int CmdObjects(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    PHOSTOBJ pObj;
    char acKind[512];

    (void)pszLine;
    (void)pWords;
    if (nWords > 1)
        return HostError(CMD_WRONG, "objects: no arguments expected");
    if (g_pFirstObj == NULL)
        HostSay("no objects");
    for (pObj = g_pFirstObj; pObj != NULL; pObj = pObj->pNext)
        HostSay("object %s: %s", pObj->pszName, ObjKindText(pObj, acKind, sizeof(acKind)));
    return CMD_OK;
}

/* The last temporary name a store was asked to write, or null. */
static char *HostLastStoreName(void)
{
    char acName[4096];
    ULONG ulClassId = 0;

    if (ZelmWsLastStore(&ulClassId, acName, sizeof(acName)) != 0)
        return NULL;
    return HostStrDup(acName);
}

/* start OBJECT PROGRAM... [in DIR] */
static int CmdStart(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    PHOSTOBJ pObj;
    PHOSTSESSION pSession;
    int iProgramEnd = nWords;
    const char *pszDir = NULL;
    char *pszProgram;
    size_t ofEnd;
    PVOID hSession = NULL;
    ULONG ulRC;
    ULONG ulNumber;
    ULONG ulSeq;
    char *pszStoreBefore;
    char *pszStoreAfter;
    char acPid[32];
    PHOSTSESSION *ppLink;

    if (nWords < 2)
        return HostError(CMD_WRONG, "start: missing object (start OBJECT PROGRAM... [in DIR])");
    pObj = HostFindObj(pWords[1].pszText);
    if (pObj == NULL)
        return HostError(CMD_WRONG, "start: unknown object \"%s\"", pWords[1].pszText);
    if (nWords >= 2 && !pWords[nWords - 1].fQuoted && strcmp(pWords[nWords - 1].pszText, "in") == 0)
        return HostError(CMD_WRONG, "start %s: \"in\" needs a directory", pWords[1].pszText);
    if (nWords >= 5 && !pWords[nWords - 2].fQuoted && strcmp(pWords[nWords - 2].pszText, "in") == 0) {
        iProgramEnd = nWords - 2;
        pszDir = pWords[nWords - 1].pszText;
        if (pszDir[0] == '\0')
            return HostError(CMD_WRONG, "start %s: empty directory name", pWords[1].pszText);
    }
    if (iProgramEnd < 3 ||
        (nWords == 4 && !pWords[2].fQuoted && strcmp(pWords[2].pszText, "in") == 0))
        return HostError(CMD_WRONG, "start %s: missing program", pWords[1].pszText);
    if (g_ulLastSession >= HOST_MAX_SESSION)
        return HostError(CMD_WRONG, "start: no more session numbers");

    /* The program text goes to the library as it was written: it splits it
     * by its own rules. */
    ofEnd = iProgramEnd < nWords ? pWords[iProgramEnd].ofStart : strlen(pszLine);
    while (ofEnd > pWords[2].ofStart && (pszLine[ofEnd - 1] == ' ' || pszLine[ofEnd - 1] == '\t' ||
                                         pszLine[ofEnd - 1] == '\r'))
        ofEnd--;
    pszProgram = HostStrNDup(pszLine + pWords[2].ofStart, ofEnd - pWords[2].ofStart);

    ulNumber = g_ulLastSession + 1;
    pszStoreBefore = HostLastStoreName();
    ulRC = SimOpsStartClass(g_fNotify ? g_hwndNotify : NULL, HOST_MSG_BASE + ulNumber, pObj->hObj,
                            0, pszProgram, (PSZ)pszDir, NULL, NULL, &hSession);
    if (ulRC != 0 || hSession == NULL) {
        HostSay("SimOpsStartClass = %lu", (unsigned long)ulRC);
        free(pszStoreBefore);
        free(pszProgram);
        if (ulRC == 0)
            return HostError(CMD_FAILED, "SimOpsStartClass = 0, but no class handle");
        return HostError(CMD_FAILED, "the call failed: SimOpsStartClass = %lu",
                         (unsigned long)ulRC);
    }
    g_ulLastSession = ulNumber;

    pSession = (PHOSTSESSION)HostAlloc(sizeof(HOSTSESSION));
    memset(pSession, 0, sizeof(*pSession));
    pSession->ulNumber = ulNumber;
    pSession->hSession = hSession;
    pSession->pObj = pObj;
    pSession->pszProgram = pszProgram;
    pSession->pszDir = pszDir != NULL ? HostStrDup(pszDir) : NULL;
    pSession->fdPid = -1;
    if (pObj->nKind == OBJ_FILE) {
        pSession->nInputs = INPUTS_DATAFILE;
        pSession->pszInputs = HostStrDup(pObj->pszFile);
    } else if (pObj->nKind == OBJ_BYTES && pObj->ulSize > 0) {
        pSession->nInputs = INPUTS_LIBRARY;
        pSession->pszInputs = HostFindTempFile(pszDir);
    } else {
        pSession->nInputs = INPUTS_STORE;
        pszStoreAfter = HostLastStoreName();
        if (pszStoreAfter != NULL &&
            (pszStoreBefore == NULL || strcmp(pszStoreAfter, pszStoreBefore) != 0))
            pSession->pszInputs = pszStoreAfter;
        else
            free(pszStoreAfter);
    }
    free(pszStoreBefore);
    if (pSession->pszInputs != NULL) {
        ulSeq = HostTempSeq(pSession->pszInputs);
        if (ulSeq > g_ulTempSeqSeen)
            g_ulTempSeqSeen = ulSeq;
    }
    ppLink = &g_pFirstSession;
    while (*ppLink != NULL)
        ppLink = &(*ppLink)->pNext;
    *ppLink = pSession;
    HostFindProgram(pSession);

    acPid[0] = '\0';
    if (pSession->lPid != 0)
        snprintf(acPid, sizeof(acPid), ", pid %ld", pSession->lPid);
    HostSay("SimOpsStartClass = 0: session %lu%s, inputs file %s", (unsigned long)ulNumber, acPid,
            pSession->pszInputs != NULL ? pSession->pszInputs : "unknown");
    return CMD_OK;
}

/* The session named by the word, or null with the error recorded. */
static PHOSTSESSION HostSessionArg(const char *pszCmd, PHOSTWORD pWords, int nWords, int nMax)
{
    ULONG ulNumber;
    PHOSTSESSION pSession;

    if (nWords < 2) {
        HostError(CMD_WRONG, "%s: missing session number", pszCmd);
        return NULL;
    }
    if (nWords > nMax) {
        HostError(CMD_WRONG, "%s: too many arguments", pszCmd);
        return NULL;
    }
    ulNumber = HostParseNumber(pWords[1].pszText, HOST_MAX_SESSION);
    if (ulNumber == 0) {
        HostError(CMD_WRONG, "%s: \"%s\" is not a session number", pszCmd, pWords[1].pszText);
        return NULL;
    }
    pSession = HostFindSession(ulNumber);
    if (pSession == NULL)
        HostError(CMD_WRONG, "%s: unknown session %lu", pszCmd, (unsigned long)ulNumber);
    return pSession;
}

static int CmdList(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    PHOSTSESSION pSession;
    char acPid[32];
    char acDir[4200];

    (void)pszLine;
    (void)pWords;
    if (nWords > 1)
        return HostError(CMD_WRONG, "list: no arguments expected");
    HostPollSessions();
    if (g_pFirstSession == NULL)
        HostSay("no sessions");
    for (pSession = g_pFirstSession; pSession != NULL; pSession = pSession->pNext) {
        acPid[0] = '\0';
        if (pSession->lPid != 0)
            snprintf(acPid, sizeof(acPid), ", pid %ld", pSession->lPid);
        acDir[0] = '\0';
        if (pSession->pszDir != NULL)
            snprintf(acDir, sizeof(acDir), ", in %s", pSession->pszDir);
        HostSay("session %lu: %s%s, object %s, program \"%s\"%s, inputs file %s",
                (unsigned long)pSession->ulNumber, pSession->fEnded ? "ended" : "running", acPid,
                pSession->pObj->pszName, pSession->pszProgram, acDir,
                pSession->pszInputs != NULL ? pSession->pszInputs : "unknown");
    }
    return CMD_OK;
}

static int CmdFront(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    PHOSTSESSION pSession = HostSessionArg("front", pWords, nWords, 2);
    ULONG ulRC;

    (void)pszLine;
    if (pSession == NULL)
        return CMD_WRONG;
    ulRC = SimOpsSetClass(pSession->hSession);
    HostSay("SimOpsSetClass = %lu: session %lu", (unsigned long)ulRC,
            (unsigned long)pSession->ulNumber);
    if (ulRC != 0)
        return HostError(CMD_FAILED, "the call failed: SimOpsSetClass = %lu", (unsigned long)ulRC);
    return CMD_OK;
}

/* End the session and forget it; tell what became of its inputs file. */
static int HostEndSession(PHOSTSESSION pSession)
{
    ULONG ulRC;
    ULONG ulNumber = pSession->ulNumber;
    const char *pszInputs = pSession->pszInputs;
    char acFate[4400];

    ulRC = SimOpsEndClass(pSession->hSession);
    if (pszInputs == NULL) {
        snprintf(acFate, sizeof(acFate), "inputs file unknown");
    } else if (pSession->nInputs == INPUTS_DATAFILE) {
        snprintf(acFate, sizeof(acFate), "inputs file %s kept (the object's data file)",
                 pszInputs);
    } else if (!HostFileExists(pszInputs)) {
        snprintf(acFate, sizeof(acFate), "inputs file %s gone", pszInputs);
    } else if (pSession->nInputs == INPUTS_STORE && remove(pszInputs) == 0) {
        snprintf(acFate, sizeof(acFate),
                 "inputs file %s left by the library (the store wrote it), removed by the host",
                 pszInputs);
    } else {
        snprintf(acFate, sizeof(acFate), "inputs file %s still there", pszInputs);
    }
    HostFreeSession(pSession);
    HostSay("SimOpsEndClass = %lu: session %lu; %s", (unsigned long)ulRC, (unsigned long)ulNumber,
            acFate);
    if (ulRC != 0)
        return HostError(CMD_FAILED, "the call failed: SimOpsEndClass = %lu", (unsigned long)ulRC);
    return CMD_OK;
}

static int CmdEnd(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    PHOSTSESSION pSession = HostSessionArg("end", pWords, nWords, 2);

    (void)pszLine;
    if (pSession == NULL)
        return CMD_WRONG;
    return HostEndSession(pSession);
}

/* wait N [SECONDS] */
static int CmdWait(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    PHOSTSESSION pSession = HostSessionArg("wait", pWords, nWords, 3);
    long long llMs = -1;
    BOOL fCannot = FALSE;

    (void)pszLine;
    if (pSession == NULL)
        return CMD_WRONG;
    if (nWords == 3 && !HostParseSeconds(pWords[2].pszText, &llMs))
        return HostError(CMD_WRONG, "wait: \"%s\" is not a number of seconds", pWords[2].pszText);
    if (HostWaitSession(pSession, llMs >= 0 ? HostNow() + llMs : -1, &fCannot)) {
        HostSay("session %lu: ended", (unsigned long)pSession->ulNumber);
        return CMD_OK;
    }
    if (fCannot)
        return HostError(CMD_FAILED,
                         "wait: no notifications and the program of session %lu is not known",
                         (unsigned long)pSession->ulNumber);
    if (g_nSignal != 0)
        return HostError(CMD_FAILED, "wait: interrupted");
    return HostError(CMD_FAILED, "wait: session %lu still running after %s s",
                     (unsigned long)pSession->ulNumber, nWords == 3 ? pWords[2].pszText : "?");
}

static int CmdSleep(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    long long llMs = 0;

    (void)pszLine;
    if (nWords != 2)
        return HostError(CMD_WRONG, "sleep: one number of seconds expected");
    if (!HostParseSeconds(pWords[1].pszText, &llMs))
        return HostError(CMD_WRONG, "sleep: \"%s\" is not a number of seconds", pWords[1].pszText);
    HostSleep(llMs);
    return CMD_OK;
}

static int CmdEcho(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    size_t cch = 0;
    char *psz = HostJoin(pWords, nWords, 1, &cch);

    (void)pszLine;
    HostSay("%s", psz);
    free(psz);
    return CMD_OK;
}

static int CmdQuit(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    (void)pszLine;
    (void)pWords;
    if (nWords > 1)
        return HostError(CMD_WRONG, "quit: no arguments expected");
    return CMD_QUIT;
}

static int CmdHelp(const char *pszLine, PHOSTWORD pWords, int nWords);

typedef int (*PFNCMD)(const char *pszLine, PHOSTWORD pWords, int nWords);

typedef struct _HOSTCMD {
    const char *pszName;
    PFNCMD pfn;
    const char *pszUsage;
} HOSTCMD;

static const HOSTCMD g_aCommands[] = {
    {"object", CmdObject,
     "object NAME file PATH        an external object with a data file\n"
     "object NAME bytes TEXT...    an external object with data bytes\n"
     "object NAME internal TEXT... an internal object; the store writes TEXT"},
    {"objects", CmdObjects, "objects                      list the objects"},
    {"start", CmdStart,
     "start OBJECT PROGRAM... [in DIR]\n"
     "                             start a class session; PROGRAM... goes to the\n"
     "                             library as written"},
    {"list", CmdList, "list                         the sessions: running or ended"},
    {"front", CmdFront, "front N                      bring session N's window to the front"},
    {"wait", CmdWait, "wait N [SECONDS]             wait until session N's program has ended"},
    {"end", CmdEnd, "end N                        end session N"},
    {"sleep", CmdSleep, "sleep SECONDS                pause; notifications are shown"},
    {"echo", CmdEcho, "echo TEXT...                 print TEXT"},
    {"help", CmdHelp, "help                         this text"},
    {"quit", CmdQuit, "quit                         end every session and leave"},
};

#define HOST_NCOMMANDS (sizeof(g_aCommands) / sizeof(g_aCommands[0]))

static int CmdHelp(const char *pszLine, PHOSTWORD pWords, int nWords)
{
    size_t i;

    (void)pszLine;
    (void)pWords;
    (void)nWords;
    for (i = 0; i < HOST_NCOMMANDS; i++)
        HostSay("%s", g_aCommands[i].pszUsage);
    HostSay("Blanks separate words; \"double quotes\" group them, \\\" is a quote (the\n"
            "library's rules for the program text). In an object's TEXT, \\n \\t \\\\ are a\n"
            "newline, a tab, a backslash. A line starting with # is a comment.\n"
            "Session N is told by message 0x%lx + N.",
            (unsigned long)HOST_MSG_BASE);
    return CMD_OK;
}

/* Run one line: CMD_... */
static int HostRunLine(const char *pszLine)
{
    PHOSTWORD pWords = NULL;
    int nWords = 0;
    int nResult = CMD_OK;
    const char *pch = pszLine;
    size_t i;

    g_acLastError[0] = '\0';
    while (*pch == ' ' || *pch == '\t' || *pch == '\r')
        pch++;
    if (*pch == '\0' || *pch == '#')
        return CMD_OK;
    if (g_fEcho)
        HostSay("> %s", pch);
    if (!HostSplit(pszLine, &pWords, &nWords))
        return CMD_WRONG;
    for (i = 0; i < HOST_NCOMMANDS; i++) {
        if (strcmp(pWords[0].pszText, g_aCommands[i].pszName) == 0)
            break;
    }
    if (i == HOST_NCOMMANDS)
        nResult = HostError(CMD_WRONG, "unknown command \"%s\" (try help)", pWords[0].pszText);
    else
        nResult = g_aCommands[i].pfn(pszLine, pWords, nWords);
    HostFreeWords(pWords, nWords);
    return nResult;
}

/* Say what went wrong with the line, as one line. */
static void HostReportLine(void)
{
    if (g_fKeepGoing && g_fPrompt)
        HostNote("%s", g_acLastError);
    else
        HostNote("%s:%lu: %s", g_pszInputName, g_ulLine, g_acLastError);
}

/* End every session still held, forget every object. FALSE when an end
 * call failed. */
static BOOL HostQuit(void)
{
    BOOL fOk = TRUE;
    PHOSTOBJ pObj;

    while (g_pFirstSession != NULL) {
        g_acLastError[0] = '\0';
        if (HostEndSession(g_pFirstSession) != CMD_OK) {
            HostNote("%s", g_acLastError);
            fOk = FALSE;
        }
    }
    while (g_pFirstObj != NULL) {
        pObj = g_pFirstObj;
        g_pFirstObj = pObj->pNext;
        ZelmWsDestroyObj(pObj->hObj);
        free(pObj->pszName);
        free(pObj->pszFile);
        free(pObj);
    }
    return fOk;
}

static void HostUsage(FILE *pOut)
{
    fprintf(pOut,
            "usage: %s [-i] [SCRIPT | -]\n"
            "Runs class sessions through libzelmxcc; commands come from SCRIPT or from\n"
            "standard input (\"help\" lists them). A script stops at the first failing call\n"
            "or wrong line; -i goes on after errors, as a terminal does.\n",
            HOST_NAME);
}

int main(int argc, char **argv)
{
    const char *pszScript = NULL;
    char *pszLine = NULL;
    int nExit = 0;
    int nResult;
    int i;
    BOOL fForceKeepGoing = FALSE;
    BOOL fArgsDone = FALSE;

    setvbuf(stdout, NULL, _IOLBF, 0);
    for (i = 1; i < argc; i++) {
        if (!fArgsDone && strcmp(argv[i], "--") == 0) {
            fArgsDone = TRUE;
        } else if (!fArgsDone && strcmp(argv[i], "-i") == 0) {
            fForceKeepGoing = TRUE;
        } else if (!fArgsDone && (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0)) {
            HostUsage(stdout);
            return 0;
        } else if (!fArgsDone && strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", HOST_NAME, ZELMXCC_VERSION);
            return 0;
        } else if (!fArgsDone && argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "%s: unknown option %s\n", HOST_NAME, argv[i]);
            HostUsage(stderr);
            return EXIT_WRONG;
        } else if (pszScript == NULL) {
            pszScript = argv[i];
        } else {
            HostUsage(stderr);
            return EXIT_WRONG;
        }
    }
    if (pszScript != NULL && strcmp(pszScript, "-") == 0)
        pszScript = NULL;

    if (!HostOpenInput(pszScript)) {
        fprintf(stderr, "%s: cannot read %s: %s\n", HOST_NAME, pszScript, strerror(errno));
        return EXIT_NOINPUT;
    }
    if (pszScript != NULL)
        g_pszInputName = pszScript;
    g_fPrompt = pszScript == NULL && HostInputIsTerminal();
    g_fKeepGoing = g_fPrompt || fForceKeepGoing;
    g_fEcho = !g_fPrompt;

    HostPlatInit();

    while (nExit == 0 && HostNextLine(&pszLine)) {
        g_ulLine++;
        nResult = HostRunLine(pszLine);
        free(pszLine);
        pszLine = NULL;
        if (nResult == CMD_QUIT)
            break;
        if (nResult != CMD_OK) {
            HostReportLine();
            if (!g_fKeepGoing)
                nExit = nResult == CMD_WRONG ? EXIT_WRONG : EXIT_FAILED;
        }
        if (g_nSignal != 0)
            break;
    }
    if (g_nSignal != 0) {
        HostNote("signal %d: ending every session", g_nSignal);
        nExit = 128 + g_nSignal;
    }
    if (!HostQuit() && nExit == 0)
        nExit = EXIT_FAILED;
    HostPlatDone();
    return nExit;
}
