/*
 * x11test.cpp - support for the X11 tests: see x11test.h.
 */
#include "x11test.h"

#include <xcb/record.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

#ifndef ZXCWIN_PATH
#error "ZXCWIN_PATH must name the zxcwin fixture program"
#endif

long long TestNowUs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

static void SleepMs(int nMs)
{
    struct timespec ts;
    ts.tv_sec = nMs / 1000;
    ts.tv_nsec = (long)(nMs % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}

int TestWaitFor(int (*pfn)(void *pCtx), void *pCtx, int nTimeoutMs)
{
    long long tEnd = TestNowUs() + (long long)nTimeoutMs * 1000LL;
    int fDone;

    for (;;) {
        fDone = pfn(pCtx);
        if (fDone || TestNowUs() >= tEnd)
            return fDone;
        SleepMs(5);
    }
}

/* ---- zxcwin ---------------------------------------------------------------- */

int ZxcPrepare(ZXCPROC *pProc)
{
    FILE *pFile;

    memset(pProc, 0, sizeof(*pProc));
    snprintf(pProc->achDir, sizeof(pProc->achDir), "/tmp/zxcwin.XXXXXX");
    if (mkdtemp(pProc->achDir) == NULL)
        return 0;
    snprintf(pProc->achLog, sizeof(pProc->achLog), "%s/log", pProc->achDir);
    snprintf(pProc->achReady, sizeof(pProc->achReady), "%s/ready", pProc->achDir);
    snprintf(pProc->achInputs, sizeof(pProc->achInputs), "%s/inputs", pProc->achDir);
    pFile = fopen(pProc->achInputs, "w");
    if (pFile == NULL)
        return 0;
    fclose(pFile);
    return 1;
}

void ZxcCommand(const ZXCPROC *pProc, const char *pszKinds, const char *pszExtra, char *pcOut,
                size_t cbOut)
{
    snprintf(pcOut, cbOut, "%s --windows %s --log %s --ready %s%s%s", ZXCWIN_PATH, pszKinds,
             pProc->achLog, pProc->achReady, pszExtra != NULL ? " " : "",
             pszExtra != NULL ? pszExtra : "");
}

int ZxcStart(ZXCPROC *pProc, const char *pszKinds, const char *const *ppszExtra,
             const char *pszDisplay)
{
    const char *apszArgs[40];
    char *apszEnv[256];
    char achDisplay[64];
    int nArgs = 0;
    int nEnv = 0;
    int i;
    int rc;

    apszArgs[nArgs++] = ZXCWIN_PATH;
    apszArgs[nArgs++] = "--windows";
    apszArgs[nArgs++] = pszKinds;
    apszArgs[nArgs++] = "--log";
    apszArgs[nArgs++] = pProc->achLog;
    apszArgs[nArgs++] = "--ready";
    apszArgs[nArgs++] = pProc->achReady;
    for (i = 0; ppszExtra != NULL && ppszExtra[i] != NULL && nArgs < 37; i++)
        apszArgs[nArgs++] = ppszExtra[i];
    apszArgs[nArgs++] = pProc->achInputs;
    apszArgs[nArgs] = NULL;

    if (pszDisplay != NULL) {
        for (i = 0; environ[i] != NULL && nEnv < 254; i++) {
            if (strncmp(environ[i], "DISPLAY=", 8) != 0)
                apszEnv[nEnv++] = environ[i];
        }
        snprintf(achDisplay, sizeof(achDisplay), "DISPLAY=%s", pszDisplay);
        apszEnv[nEnv++] = achDisplay;
        apszEnv[nEnv] = NULL;
    }

    rc = posix_spawn(&pProc->pid, ZXCWIN_PATH, NULL, NULL, (char *const *)apszArgs,
                     pszDisplay != NULL ? apszEnv : environ);
    if (rc != 0) {
        pProc->pid = 0;
        return 0;
    }
    if (ZxcWaitReady(pProc, ZXC_WAIT_MS))
        return 1;
    ZxcDumpLog(pProc, "not ready");
    return 0;
}

void ZxcDumpLog(const ZXCPROC *pProc, const char *pszWhy)
{
    FILE *pFile;
    char achLine[512];

    fprintf(stderr, "zxcwin %d (%s), log %s:\n", (int)pProc->pid, pszWhy, pProc->achLog);
    pFile = fopen(pProc->achLog, "r");
    if (pFile == NULL)
        return;
    while (fgets(achLine, sizeof(achLine), pFile) != NULL)
        fprintf(stderr, "  %s", achLine);
    fclose(pFile);
}

int ZxcReadReady(ZXCPROC *pProc)
{
    FILE *pFile;
    char achLine[256];
    char chKind;
    unsigned ulWnd;
    int iIndex;
    int nPid;
    int fWm;

    pFile = fopen(pProc->achReady, "r");
    if (pFile == NULL)
        return 0;
    pProc->nWindows = 0;
    while (fgets(achLine, sizeof(achLine), pFile) != NULL) {
        if (sscanf(achLine, "pid %d", &nPid) == 1) {
            pProc->pidReported = (pid_t)nPid;
        } else if (sscanf(achLine, "wm %d", &fWm) == 1) {
            pProc->fWm = fWm;
        } else if (sscanf(achLine, "window %d %c %x", &iIndex, &chKind, &ulWnd) == 3 &&
                   pProc->nWindows < ZXC_MAX_WINDOWS) {
            pProc->aWindows[pProc->nWindows].iIndex = iIndex;
            pProc->aWindows[pProc->nWindows].chKind = chKind;
            pProc->aWindows[pProc->nWindows].wnd = ulWnd;
            pProc->nWindows++;
        }
    }
    fclose(pFile);
    return 1;
}

int ZxcWaitReady(ZXCPROC *pProc, int nTimeoutMs)
{
    long long tEnd = TestNowUs() + (long long)nTimeoutMs * 1000LL;
    pid_t pidDone;

    for (;;) {
        if (ZxcReadReady(pProc))
            return 1;
        if (pProc->pid != 0 && !pProc->fReaped) {
            pidDone = waitpid(pProc->pid, &pProc->nStatus, WNOHANG);
            if (pidDone == pProc->pid) {
                pProc->fReaped = 1;
                return 0;
            }
        }
        if (TestNowUs() >= tEnd)
            return 0;
        SleepMs(5);
    }
}

int ZxcReadLog(const ZXCPROC *pProc, ZXCLOG *pLog, int nMax)
{
    FILE *pFile;
    char achLine[512];
    int n = 0;
    ZXCLOG *pEntry;
    unsigned ulWnd;
    unsigned aul[4];

    pFile = fopen(pProc->achLog, "r");
    if (pFile == NULL)
        return 0;
    while (n < nMax && fgets(achLine, sizeof(achLine), pFile) != NULL) {
        if (strchr(achLine, '\n') == NULL)
            break; /* a line still being written */
        pEntry = &pLog[n];
        memset(pEntry, 0, sizeof(*pEntry));
        pEntry->iIndex = -1;
        if (sscanf(achLine, "%lld %15s", &pEntry->tUs, pEntry->achWhat) != 2)
            continue;
        if (strcmp(pEntry->achWhat, "start") == 0) {
            sscanf(achLine, "%*d %*s %d %199[^\n]", &pEntry->nPid, pEntry->achText);
        } else if (strcmp(pEntry->achWhat, "close") == 0 || strcmp(pEntry->achWhat, "focus") == 0) {
            if (sscanf(achLine, "%*d %*s %d %x", &pEntry->iIndex, &ulWnd) == 2)
                pEntry->wnd = ulWnd;
        } else if (strcmp(pEntry->achWhat, "message") == 0) {
            if (sscanf(achLine, "%*d %*s %d %x %u %u %u %u", &pEntry->iIndex, &ulWnd, &aul[0],
                       &aul[1], &aul[2], &aul[3]) == 6) {
                pEntry->wnd = ulWnd;
                memcpy(pEntry->aulData, aul, sizeof(aul));
            }
        }
        n++;
    }
    fclose(pFile);
    return n;
}

int ZxcCountLog(const ZXCPROC *pProc, const char *pszWhat)
{
    static ZXCLOG aLog[ZXC_MAX_LOG];
    int n = ZxcReadLog(pProc, aLog, ZXC_MAX_LOG);
    int nCount = 0;
    int i;

    for (i = 0; i < n; i++) {
        if (strcmp(aLog[i].achWhat, pszWhat) == 0)
            nCount++;
    }
    return nCount;
}

int ZxcWaitExit(ZXCPROC *pProc, int nTimeoutMs)
{
    long long tEnd = TestNowUs() + (long long)nTimeoutMs * 1000LL;

    if (pProc->pid == 0)
        return 0;
    while (!pProc->fReaped) {
        if (waitpid(pProc->pid, &pProc->nStatus, WNOHANG) == pProc->pid) {
            pProc->fReaped = 1;
            break;
        }
        if (TestNowUs() >= tEnd)
            return 0;
        SleepMs(5);
    }
    return 1;
}

int ZxcProcessExists(pid_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH);
}

void ZxcStop(ZXCPROC *pProc)
{
    char achPath[512];
    DIR *pDir;
    struct dirent *pEntry;

    if (pProc->pid != 0 && !pProc->fReaped) {
        kill(pProc->pid, SIGKILL);
        waitpid(pProc->pid, &pProc->nStatus, 0);
        pProc->fReaped = 1;
    }
    if (pProc->achDir[0] != '\0') {
        pDir = opendir(pProc->achDir);
        if (pDir != NULL) {
            while ((pEntry = readdir(pDir)) != NULL) {
                if (strcmp(pEntry->d_name, ".") == 0 || strcmp(pEntry->d_name, "..") == 0)
                    continue;
                snprintf(achPath, sizeof(achPath), "%s/%s", pProc->achDir, pEntry->d_name);
                unlink(achPath);
            }
            closedir(pDir);
        }
        rmdir(pProc->achDir);
        pProc->achDir[0] = '\0';
    }
}

int ZxcIndexOf(const ZXCPROC *pProc, uint32_t wnd)
{
    int i;
    for (i = 0; i < pProc->nWindows; i++) {
        if (pProc->aWindows[i].wnd == wnd)
            return i;
    }
    return -1;
}

/* ---- The test's own X connection ------------------------------------------ */

int TestXOpen(TESTX *pX, const char *pszDisplay)
{
    int nScreen = 0;
    xcb_screen_iterator_t it;

    memset(pX, 0, sizeof(*pX));
    pX->pConn = xcb_connect(pszDisplay, &nScreen);
    if (xcb_connection_has_error(pX->pConn)) {
        xcb_disconnect(pX->pConn);
        pX->pConn = NULL;
        return 0;
    }
    it = xcb_setup_roots_iterator(xcb_get_setup(pX->pConn));
    while (nScreen-- > 0 && it.rem > 0)
        xcb_screen_next(&it);
    pX->wndRoot = it.data->root;
    pX->visual = it.data->root_visual;
    return 1;
}

void TestXClose(TESTX *pX)
{
    if (pX->pConn != NULL)
        xcb_disconnect(pX->pConn);
    pX->pConn = NULL;
}

xcb_atom_t TestXAtom(TESTX *pX, const char *pszName)
{
    xcb_intern_atom_reply_t *pReply;
    xcb_atom_t atom = XCB_NONE;

    pReply = xcb_intern_atom_reply(
        pX->pConn, xcb_intern_atom(pX->pConn, 0, (uint16_t)strlen(pszName), pszName), NULL);
    if (pReply != NULL)
        atom = pReply->atom;
    free(pReply);
    return atom;
}

/* Windows in a WINDOW property, as stored (bottom to top for the lists);
 * -1 when there is no such property. */
static int GetWindows(TESTX *pX, xcb_window_t wnd, const char *pszAtom, uint32_t *pwnd, int nMax)
{
    xcb_get_property_reply_t *pReply;
    int n = -1;
    int i;

    pReply = xcb_get_property_reply(
        pX->pConn,
        xcb_get_property(pX->pConn, 0, wnd, TestXAtom(pX, pszAtom), XCB_ATOM_WINDOW, 0, 4096),
        NULL);
    if (pReply != NULL && pReply->type == XCB_ATOM_WINDOW && pReply->format == 32) {
        n = xcb_get_property_value_length(pReply) / 4;
        if (n > nMax)
            n = nMax;
        for (i = 0; i < n; i++)
            pwnd[i] = ((uint32_t *)xcb_get_property_value(pReply))[i];
    }
    free(pReply);
    return n;
}

int TestXHaveWm(TESTX *pX)
{
    uint32_t wndCheck;
    uint32_t wndSelf;

    if (GetWindows(pX, pX->wndRoot, "_NET_SUPPORTING_WM_CHECK", &wndCheck, 1) != 1)
        return 0;
    return GetWindows(pX, wndCheck, "_NET_SUPPORTING_WM_CHECK", &wndSelf, 1) == 1 &&
           wndSelf == wndCheck;
}

static void Reverse(uint32_t *pwnd, int n)
{
    int i;
    uint32_t wnd;
    for (i = 0; i < n / 2; i++) {
        wnd = pwnd[i];
        pwnd[i] = pwnd[n - 1 - i];
        pwnd[n - 1 - i] = wnd;
    }
}

int TestXRootStack(TESTX *pX, uint32_t *pwnd, int nMax)
{
    xcb_query_tree_reply_t *pTree;
    int n = 0;
    int i;

    pTree = xcb_query_tree_reply(pX->pConn, xcb_query_tree(pX->pConn, pX->wndRoot), NULL);
    if (pTree != NULL) {
        n = xcb_query_tree_children_length(pTree);
        if (n > nMax)
            n = nMax;
        for (i = 0; i < n; i++)
            pwnd[i] = xcb_query_tree_children(pTree)[i];
    }
    free(pTree);
    Reverse(pwnd, n);
    return n;
}

int TestXClientStack(TESTX *pX, uint32_t *pwnd, int nMax)
{
    int n = GetWindows(pX, pX->wndRoot, "_NET_CLIENT_LIST_STACKING", pwnd, nMax);
    if (n > 0)
        Reverse(pwnd, n);
    return n;
}

int TestXStack(TESTX *pX, uint32_t *pwnd, int nMax)
{
    if (TestXHaveWm(pX))
        return TestXClientStack(pX, pwnd, nMax);
    return TestXRootStack(pX, pwnd, nMax);
}

int TestXFilter(const uint32_t *pwndAll, int nAll, const ZXCPROC *pProc, uint32_t *pwnd)
{
    int n = 0;
    int i;
    for (i = 0; i < nAll; i++) {
        if (ZxcIndexOf(pProc, pwndAll[i]) >= 0)
            pwnd[n++] = pwndAll[i];
    }
    return n;
}

uint32_t TestXActiveWindow(TESTX *pX)
{
    uint32_t wnd = 0;
    if (GetWindows(pX, pX->wndRoot, "_NET_ACTIVE_WINDOW", &wnd, 1) != 1)
        wnd = 0;
    return wnd;
}

uint32_t TestXFocus(TESTX *pX)
{
    xcb_get_input_focus_reply_t *pReply;
    uint32_t wnd = 0;

    pReply = xcb_get_input_focus_reply(pX->pConn, xcb_get_input_focus(pX->pConn), NULL);
    if (pReply != NULL)
        wnd = pReply->focus;
    free(pReply);
    return wnd;
}

int TestXMapState(TESTX *pX, uint32_t wnd)
{
    xcb_get_window_attributes_reply_t *pReply;
    int nState = -1;

    pReply = xcb_get_window_attributes_reply(
        pX->pConn, xcb_get_window_attributes(pX->pConn, wnd), NULL);
    if (pReply != NULL)
        nState = pReply->map_state;
    free(pReply);
    return nState;
}

int TestXIsTopOfRuns(void *pCtx)
{
    FRONTCTX *pFront = (FRONTCTX *)pCtx;
    uint32_t awnd[1024];
    int n;
    int i;

    n = TestXStack(pFront->pX, awnd, (int)(sizeof(awnd) / sizeof(awnd[0])));
    for (i = 0; i < n; i++) {
        if (ZxcIndexOf(pFront->pA, awnd[i]) >= 0 ||
            (pFront->pB != NULL && ZxcIndexOf(pFront->pB, awnd[i]) >= 0))
            return awnd[i] == pFront->wnd;
    }
    return 0;
}

int TestXIsInFront(void *pCtx)
{
    FRONTCTX *pFront = (FRONTCTX *)pCtx;

    if (TestXHaveWm(pFront->pX) && TestXActiveWindow(pFront->pX) != pFront->wnd)
        return 0;
    return TestXFocus(pFront->pX) == pFront->wnd && TestXIsTopOfRuns(pFront);
}

uint32_t TestXCreateWindow(TESTX *pX, uint32_t wndParent, uint32_t ulEventMask)
{
    xcb_window_t wnd = xcb_generate_id(pX->pConn);
    uint32_t aulValues[1];

    aulValues[0] = ulEventMask;
    xcb_create_window(pX->pConn, XCB_COPY_FROM_PARENT, wnd,
                      wndParent != 0 ? wndParent : pX->wndRoot, 10, 10, 100, 80, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, pX->visual, XCB_CW_EVENT_MASK, aulValues);
    TestXSync(pX);
    return wnd;
}

void TestXRaise(TESTX *pX, uint32_t wnd)
{
    xcb_client_message_event_t evMsg;
    uint32_t ulMode = XCB_STACK_MODE_ABOVE;

    if (TestXHaveWm(pX)) {
        memset(&evMsg, 0, sizeof(evMsg));
        evMsg.response_type = XCB_CLIENT_MESSAGE;
        evMsg.format = 32;
        evMsg.window = wnd;
        evMsg.type = TestXAtom(pX, "_NET_RESTACK_WINDOW");
        evMsg.data.data32[0] = 2; /* from a pager */
        evMsg.data.data32[1] = XCB_NONE;
        evMsg.data.data32[2] = XCB_STACK_MODE_ABOVE;
        xcb_send_event(pX->pConn, 0, pX->wndRoot,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       (const char *)&evMsg);
    } else {
        xcb_configure_window(pX->pConn, wnd, XCB_CONFIG_WINDOW_STACK_MODE, &ulMode);
    }
    TestXSync(pX);
}

void TestXSync(TESTX *pX)
{
    free(xcb_get_input_focus_reply(pX->pConn, xcb_get_input_focus(pX->pConn), NULL));
}

xcb_generic_event_t *TestXWaitEvent(TESTX *pX, int nTimeoutMs)
{
    long long tEnd = TestNowUs() + (long long)nTimeoutMs * 1000LL;
    xcb_generic_event_t *pEvent;
    struct pollfd pfd;
    long long tLeft;

    for (;;) {
        pEvent = xcb_poll_for_event(pX->pConn);
        if (pEvent != NULL || xcb_connection_has_error(pX->pConn))
            return pEvent;
        tLeft = tEnd - TestNowUs();
        if (tLeft <= 0)
            return NULL;
        pfd.fd = xcb_get_file_descriptor(pX->pConn);
        pfd.events = POLLIN;
        pfd.revents = 0;
        poll(&pfd, 1, (int)((tLeft + 999) / 1000));
    }
}

int TestXWaitMessage(TESTX *pX, xcb_atom_t atomType, xcb_client_message_event_t *pMsg,
                     int nTimeoutMs)
{
    long long tEnd = TestNowUs() + (long long)nTimeoutMs * 1000LL;
    xcb_generic_event_t *pEvent;
    long long tLeft;
    int fFound = 0;

    while (!fFound) {
        tLeft = tEnd - TestNowUs();
        if (tLeft <= 0)
            break;
        pEvent = TestXWaitEvent(pX, (int)((tLeft + 999) / 1000));
        if (pEvent == NULL)
            break;
        if ((pEvent->response_type & 0x7f) == XCB_CLIENT_MESSAGE &&
            ((xcb_client_message_event_t *)pEvent)->type == atomType) {
            memcpy(pMsg, pEvent, sizeof(*pMsg));
            fFound = 1;
        }
        free(pEvent);
    }
    return fFound;
}

/* ---- Private X servers ----------------------------------------------------- */

int PrivXStart(PRIVX *pPriv, int fTcp)
{
    int afd[2];
    char achFd[16];
    char achBuf[32];
    const char *apszArgs[12];
    int nArgs = 0;
    posix_spawn_file_actions_t actions;
    struct pollfd pfd;
    size_t cb = 0;
    ssize_t cbRead;
    long long tEnd;
    int rc;

    memset(pPriv, 0, sizeof(*pPriv));
    if (pipe2(afd, O_CLOEXEC) != 0)
        return 0;
    /* The write end goes to the server as fd 3 (dup2 clears close-on-exec). */
    snprintf(achFd, sizeof(achFd), "3");
    apszArgs[nArgs++] = "Xvfb";
    apszArgs[nArgs++] = "-displayfd";
    apszArgs[nArgs++] = achFd;
    apszArgs[nArgs++] = "-screen";
    apszArgs[nArgs++] = "0";
    apszArgs[nArgs++] = "640x480x24";
    apszArgs[nArgs++] = "-noreset";
    if (fTcp) {
        apszArgs[nArgs++] = "-listen";
        apszArgs[nArgs++] = "tcp";
    } else {
        apszArgs[nArgs++] = "-nolisten";
        apszArgs[nArgs++] = "tcp";
    }
    apszArgs[nArgs] = NULL;

    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, afd[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    rc = posix_spawnp(&pPriv->pid, "Xvfb", &actions, NULL, (char *const *)apszArgs, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(afd[1]);
    if (rc != 0) {
        close(afd[0]);
        pPriv->pid = 0;
        return 0;
    }

    tEnd = TestNowUs() + (long long)ZXC_WAIT_MS * 1000LL;
    while (cb < sizeof(achBuf) - 1 && memchr(achBuf, '\n', cb) == NULL) {
        pfd.fd = afd[0];
        pfd.events = POLLIN;
        pfd.revents = 0;
        if (TestNowUs() >= tEnd || poll(&pfd, 1, 100) < 0)
            break;
        if (pfd.revents == 0)
            continue;
        cbRead = read(afd[0], achBuf + cb, sizeof(achBuf) - 1 - cb);
        if (cbRead <= 0)
            break;
        cb += (size_t)cbRead;
    }
    close(afd[0]);
    achBuf[cb] = '\0';
    if (memchr(achBuf, '\n', cb) == NULL) {
        PrivXStop(pPriv, SIGTERM);
        return 0;
    }
    pPriv->nDisplay = atoi(achBuf);
    return 1;
}

void PrivXStop(PRIVX *pPriv, int nSignal)
{
    char achPath[64];

    if (pPriv->pid != 0) {
        kill(pPriv->pid, nSignal);
        waitpid(pPriv->pid, NULL, 0);
        pPriv->pid = 0;
        if (nSignal == SIGKILL) {
            snprintf(achPath, sizeof(achPath), "/tmp/.X%d-lock", pPriv->nDisplay);
            unlink(achPath);
            snprintf(achPath, sizeof(achPath), "/tmp/.X11-unix/X%d", pPriv->nDisplay);
            unlink(achPath);
        }
    }
}

/* ---- Close requests as the server delivers them ----------------------------- */

/* Elements come as: server time (4 bytes), then the 32-byte event. */
static void RecorderTake(RECORDER *pRec, const uint8_t *pb, int cb)
{
    const xcb_client_message_event_t *pMsg;
    uint32_t ulTime;

    while (cb >= 4 + 32) {
        memcpy(&ulTime, pb, 4);
        pMsg = (const xcb_client_message_event_t *)(pb + 4);
        if ((pMsg->response_type & 0x7f) == XCB_CLIENT_MESSAGE && pMsg->format == 32 &&
            pMsg->type == pRec->atomProtocols && pMsg->data.data32[0] == pRec->atomDelete) {
            pthread_mutex_lock(&pRec->mtx);
            if (pRec->n < REC_MAX) {
                pRec->a[pRec->n].wnd = pMsg->window;
                pRec->a[pRec->n].ulServerMs = ulTime;
                pRec->n++;
            }
            pthread_mutex_unlock(&pRec->mtx);
        }
        pb += 4 + 32;
        cb -= 4 + 32;
    }
}

static void *RecorderRead(void *pArg)
{
    RECORDER *pRec = (RECORDER *)pArg;
    xcb_record_enable_context_cookie_t cookie;
    xcb_record_enable_context_reply_t *pReply;
    int fEnd = 0;

    cookie.sequence = pRec->seqEnable;
    while (!fEnd) {
        pReply = xcb_record_enable_context_reply(pRec->pData, cookie, NULL);
        if (pReply == NULL)
            break;
        if (pReply->category == 0 /* from the server */)
            RecorderTake(pRec, xcb_record_enable_context_data(pReply),
                         xcb_record_enable_context_data_length(pReply));
        else if (pReply->category == 4 /* start of data */) {
            pthread_mutex_lock(&pRec->mtx);
            pRec->fStarted = 1;
            pthread_mutex_unlock(&pRec->mtx);
        } else if (pReply->category == 5 /* end of data */)
            fEnd = 1;
        free(pReply);
    }
    return NULL;
}

static int RecorderStarted(void *pCtx)
{
    RECORDER *pRec = (RECORDER *)pCtx;
    int fStarted;

    pthread_mutex_lock(&pRec->mtx);
    fStarted = pRec->fStarted;
    pthread_mutex_unlock(&pRec->mtx);
    return fStarted;
}

int RecorderStart(RECORDER *pRec)
{
    TESTX x;
    xcb_record_client_spec_t spec = XCB_RECORD_CS_ALL_CLIENTS;
    xcb_record_range_t range;
    xcb_generic_error_t *pError;
    xcb_record_enable_context_cookie_t cookie;

    memset(pRec, 0, sizeof(*pRec));
    pthread_mutex_init(&pRec->mtx, NULL);
    if (!TestXOpen(&x, NULL))
        return 0;
    pRec->pCtl = x.pConn;
    pRec->atomProtocols = TestXAtom(&x, "WM_PROTOCOLS");
    pRec->atomDelete = TestXAtom(&x, "WM_DELETE_WINDOW");
    pRec->pData = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(pRec->pData)) {
        RecorderStop(pRec);
        return 0;
    }

    memset(&range, 0, sizeof(range));
    range.delivered_events.first = XCB_CLIENT_MESSAGE;
    range.delivered_events.last = XCB_CLIENT_MESSAGE;
    pRec->context = xcb_generate_id(pRec->pCtl);
    pError = xcb_request_check(pRec->pCtl, xcb_record_create_context_checked(
                                               pRec->pCtl, pRec->context,
                                               XCB_RECORD_H_TYPE_FROM_SERVER_TIME, 1, 1,
                                               &spec, &range));
    if (pError != NULL) {
        free(pError);
        pRec->context = 0;
        RecorderStop(pRec);
        return 0;
    }
    cookie = xcb_record_enable_context(pRec->pData, pRec->context);
    xcb_flush(pRec->pData);
    pRec->seqEnable = cookie.sequence;
    if (pthread_create(&pRec->thRead, NULL, RecorderRead, pRec) != 0) {
        RecorderStop(pRec);
        return 0;
    }
    pRec->fThread = 1;
    /* The first reply tells that recording has begun. */
    if (!TestWaitFor(RecorderStarted, pRec, ZXC_WAIT_MS)) {
        RecorderStop(pRec);
        return 0;
    }
    return 1;
}

void RecorderStop(RECORDER *pRec)
{
    if (pRec->context != 0) {
        free(xcb_request_check(pRec->pCtl,
                               xcb_record_disable_context_checked(pRec->pCtl, pRec->context)));
    }
    if (pRec->fThread)
        pthread_join(pRec->thRead, NULL);
    pRec->fThread = 0;
    if (pRec->context != 0)
        free(xcb_request_check(pRec->pCtl,
                               xcb_record_free_context_checked(pRec->pCtl, pRec->context)));
    pRec->context = 0;
    if (pRec->pData != NULL)
        xcb_disconnect(pRec->pData);
    pRec->pData = NULL;
    if (pRec->pCtl != NULL)
        xcb_disconnect(pRec->pCtl);
    pRec->pCtl = NULL;
    pthread_mutex_destroy(&pRec->mtx);
}

int RecorderClockSlackMs(void)
{
    struct timespec ts;

    if (clock_getres(CLOCK_MONOTONIC_COARSE, &ts) == 0 && ts.tv_sec == 0 &&
        ts.tv_nsec <= 1000000L)
        return 1;
    return 0;
}
