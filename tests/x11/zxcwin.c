/*
 * zxcwin - a class program with top-level X windows, for the X11 tests.
 *
 *   zxcwin [--windows KINDS] [--log FILE] [--ready FILE] [--on-close ignore|exit]
 *          [--pid-property PID|none] [--title TEXT] [--exit-after MS]
 *          [--exit-code N] INPUTS
 *
 * KINDS has one letter per window, created in that order:
 *   v  shown, takes part in WM_DELETE_WINDOW
 *   n  shown, does not take part (no WM_DELETE_WINDOW in WM_PROTOCOLS)
 *   h  never shown, takes part
 *   i  shown iconified (initial state IconicState), takes part
 * Default "v". The windows are mapped one after the other, each once the
 * previous one is in place, so the last one ends up on top. Under an EWMH
 * window manager "in place" includes being listed in
 * _NET_CLIENT_LIST_STACKING.
 *
 * Every window carries a title, WM_CLASS, WM_CLIENT_MACHINE and _NET_WM_PID
 * (its own pid, or the one given, or none).
 *
 * The log file gets one line per happening, flushed at once, with a
 * CLOCK_MONOTONIC time in microseconds first:
 *   T start PID INPUTS
 *   T ready
 *   T close INDEX 0xID           (a WM_DELETE_WINDOW request)
 *   T message INDEX 0xID TYPE D0 D1 D2   (any other client message)
 *   T focus INDEX 0xID
 * Once every window is in place, the ready file is written (atomically,
 * through a rename): "pid PID", "wm 0|1", then "window INDEX KIND 0xID"
 * per window.
 *
 * On a close request: log it, then exit with 0 (--on-close exit) or carry
 * on (ignore, the default). --exit-after ends the program by itself MS
 * milliseconds after it is ready, with --exit-code (default 0). A broken
 * connection ends it with 3; bad arguments with 2.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <xcb/xcb.h>

#define MAX_WINDOWS 32

enum {
    A_WM_PROTOCOLS,
    A_WM_DELETE_WINDOW,
    A_WM_STATE,
    A_NET_WM_PID,
    A_NET_WM_NAME,
    A_UTF8_STRING,
    A_NET_SUPPORTING_WM_CHECK,
    A_NET_CLIENT_LIST_STACKING,
    A_COUNT
};

static const char *const apszAtomNames[A_COUNT] = {
    "WM_PROTOCOLS",  "WM_DELETE_WINDOW", "WM_STATE", "_NET_WM_PID", "_NET_WM_NAME",
    "UTF8_STRING",   "_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST_STACKING",
};

typedef struct {
    xcb_window_t wnd;
    char chKind;
    int fMapped;
    int fIconic;
} WIN;

static xcb_connection_t *pConn;
static xcb_window_t wndRoot;
static xcb_atom_t aAtoms[A_COUNT];
static WIN aWin[MAX_WINDOWS];
static int nWin;
static int fWm;
static FILE *pLog;
static int fExitOnClose;

static long long NowUs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

static void Log(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
static void Log(const char *pszFormat, ...)
{
    va_list args;
    if (pLog == NULL)
        return;
    fprintf(pLog, "%lld ", NowUs());
    va_start(args, pszFormat);
    vfprintf(pLog, pszFormat, args);
    va_end(args);
    fputc('\n', pLog);
    fflush(pLog);
}

static void Usage(const char *pszWhy)
{
    fprintf(stderr, "zxcwin: %s\n", pszWhy);
    exit(2);
}

static int FindWindow(xcb_window_t wnd)
{
    int i;
    for (i = 0; i < nWin; i++) {
        if (aWin[i].wnd == wnd)
            return i;
    }
    return -1;
}

static void CheckConnection(void)
{
    if (xcb_connection_has_error(pConn)) {
        Log("broken");
        exit(3);
    }
}

static xcb_window_t GetWindowProperty(xcb_window_t wnd, xcb_atom_t atom)
{
    xcb_get_property_reply_t *pReply;
    xcb_window_t wndValue = XCB_NONE;

    pReply = xcb_get_property_reply(
        pConn, xcb_get_property(pConn, 0, wnd, atom, XCB_ATOM_WINDOW, 0, 1), NULL);
    if (pReply != NULL && pReply->type == XCB_ATOM_WINDOW && pReply->format == 32 &&
        xcb_get_property_value_length(pReply) == 4)
        wndValue = *(xcb_window_t *)xcb_get_property_value(pReply);
    free(pReply);
    return wndValue;
}

static int HaveWindowManager(void)
{
    xcb_atom_t atomCheck = aAtoms[A_NET_SUPPORTING_WM_CHECK];
    xcb_window_t wndCheck = GetWindowProperty(wndRoot, atomCheck);
    return wndCheck != XCB_NONE && GetWindowProperty(wndCheck, atomCheck) == wndCheck;
}

static int InClientList(xcb_window_t wnd)
{
    xcb_get_property_reply_t *pReply;
    xcb_window_t *pwnd;
    int fFound = 0;
    int i;
    int n;

    pReply = xcb_get_property_reply(
        pConn,
        xcb_get_property(pConn, 0, wndRoot, aAtoms[A_NET_CLIENT_LIST_STACKING], XCB_ATOM_WINDOW,
                         0, 4096),
        NULL);
    if (pReply != NULL && pReply->type == XCB_ATOM_WINDOW && pReply->format == 32) {
        pwnd = (xcb_window_t *)xcb_get_property_value(pReply);
        n = xcb_get_property_value_length(pReply) / 4;
        for (i = 0; i < n; i++) {
            if (pwnd[i] == wnd)
                fFound = 1;
        }
    }
    free(pReply);
    return fFound;
}

static int IsIconic(xcb_window_t wnd)
{
    xcb_get_property_reply_t *pReply;
    xcb_atom_t atomState = aAtoms[A_WM_STATE];
    int fIconic = 0;

    pReply = xcb_get_property_reply(
        pConn, xcb_get_property(pConn, 0, wnd, atomState, atomState, 0, 1), NULL);
    if (pReply != NULL && pReply->type == atomState && pReply->format == 32 &&
        xcb_get_property_value_length(pReply) >= 4 &&
        *(uint32_t *)xcb_get_property_value(pReply) == 3)
        fIconic = 1;
    free(pReply);
    return fIconic;
}

static void HandleEvent(xcb_generic_event_t *pEvent)
{
    int i;

    switch (pEvent->response_type & 0x7f) {
    case XCB_MAP_NOTIFY: {
        xcb_map_notify_event_t *pMap = (xcb_map_notify_event_t *)pEvent;
        i = FindWindow(pMap->window);
        if (i >= 0)
            aWin[i].fMapped = 1;
        break;
    }
    case XCB_UNMAP_NOTIFY: {
        xcb_unmap_notify_event_t *pUnmap = (xcb_unmap_notify_event_t *)pEvent;
        i = FindWindow(pUnmap->window);
        if (i >= 0)
            aWin[i].fMapped = 0;
        break;
    }
    case XCB_PROPERTY_NOTIFY: {
        xcb_property_notify_event_t *pProp = (xcb_property_notify_event_t *)pEvent;
        i = FindWindow(pProp->window);
        if (i >= 0 && pProp->atom == aAtoms[A_WM_STATE])
            aWin[i].fIconic = IsIconic(aWin[i].wnd);
        break;
    }
    case XCB_FOCUS_IN: {
        xcb_focus_in_event_t *pFocus = (xcb_focus_in_event_t *)pEvent;
        i = FindWindow(pFocus->event);
        if (i >= 0 && pFocus->detail != XCB_NOTIFY_DETAIL_POINTER)
            Log("focus %d 0x%x", i, (unsigned)pFocus->event);
        break;
    }
    case XCB_CLIENT_MESSAGE: {
        xcb_client_message_event_t *pMsg = (xcb_client_message_event_t *)pEvent;
        i = FindWindow(pMsg->window);
        if (pMsg->format == 32 && pMsg->type == aAtoms[A_WM_PROTOCOLS] &&
            pMsg->data.data32[0] == aAtoms[A_WM_DELETE_WINDOW]) {
            Log("close %d 0x%x", i, (unsigned)pMsg->window);
            if (fExitOnClose)
                exit(0);
        } else {
            Log("message %d 0x%x %u %u %u %u", i, (unsigned)pMsg->window, (unsigned)pMsg->type,
                (unsigned)pMsg->data.data32[0], (unsigned)pMsg->data.data32[1],
                (unsigned)pMsg->data.data32[2]);
        }
        break;
    }
    default:
        break;
    }
}

static int IsInPlace(int i)
{
    int fShown;

    if (aWin[i].chKind == 'h')
        return 1;
    fShown = aWin[i].fMapped || (aWin[i].chKind == 'i' && aWin[i].fIconic);
    return fShown && (!fWm || InClientList(aWin[i].wnd));
}

static void SetProperty(xcb_window_t wnd, xcb_atom_t atom, xcb_atom_t type, int nFormat,
                        uint32_t ulLength, const void *pData)
{
    xcb_change_property(pConn, XCB_PROP_MODE_REPLACE, wnd, atom, type, (uint8_t)nFormat, ulLength,
                        pData);
}

static void CreateWindow(int i, const char *pszTitle, int fPid, uint32_t ulPid)
{
    const xcb_screen_t *pScreen = xcb_setup_roots_iterator(xcb_get_setup(pConn)).data;
    uint32_t aulValues[2];
    uint32_t aulHints[9];
    xcb_atom_t atomDelete = aAtoms[A_WM_DELETE_WINDOW];
    char achTitle[300];
    char achHost[256];
    static const char achClass[] = "zxcwin\0Zxcwin";
    xcb_window_t wnd = xcb_generate_id(pConn);

    aulValues[0] = pScreen->white_pixel;
    aulValues[1] = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE |
                   XCB_EVENT_MASK_FOCUS_CHANGE;
    xcb_create_window(pConn, XCB_COPY_FROM_PARENT, wnd, wndRoot, (int16_t)(40 * i),
                      (int16_t)(30 * i), 200, 150, 1, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      pScreen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, aulValues);

    snprintf(achTitle, sizeof(achTitle), "%s #%d", pszTitle, i);
    SetProperty(wnd, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, (uint32_t)strlen(achTitle), achTitle);
    SetProperty(wnd, aAtoms[A_NET_WM_NAME], aAtoms[A_UTF8_STRING], 8, (uint32_t)strlen(achTitle),
                achTitle);
    SetProperty(wnd, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof(achClass), achClass);
    if (gethostname(achHost, sizeof(achHost)) == 0) {
        achHost[sizeof(achHost) - 1] = '\0';
        SetProperty(wnd, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING, 8,
                    (uint32_t)strlen(achHost), achHost);
    }
    if (fPid)
        SetProperty(wnd, aAtoms[A_NET_WM_PID], XCB_ATOM_CARDINAL, 32, 1, &ulPid);
    if (aWin[i].chKind != 'n')
        SetProperty(wnd, aAtoms[A_WM_PROTOCOLS], XCB_ATOM_ATOM, 32, 1, &atomDelete);
    memset(aulHints, 0, sizeof(aulHints));
    aulHints[0] = 1 | 2;                         /* InputHint | StateHint */
    aulHints[1] = 1;                             /* takes the focus */
    aulHints[2] = aWin[i].chKind == 'i' ? 3 : 1; /* IconicState : NormalState */
    SetProperty(wnd, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, aulHints);
    aWin[i].wnd = wnd;
}

static void WriteReady(const char *pszReady)
{
    char achTemp[4096];
    FILE *pFile;
    int i;

    snprintf(achTemp, sizeof(achTemp), "%s.tmp", pszReady);
    pFile = fopen(achTemp, "w");
    if (pFile == NULL) {
        fprintf(stderr, "zxcwin: cannot write %s: %s\n", achTemp, strerror(errno));
        exit(2);
    }
    fprintf(pFile, "pid %d\nwm %d\n", (int)getpid(), fWm);
    for (i = 0; i < nWin; i++)
        fprintf(pFile, "window %d %c 0x%x\n", i, aWin[i].chKind, (unsigned)aWin[i].wnd);
    fclose(pFile);
    if (rename(achTemp, pszReady) != 0) {
        fprintf(stderr, "zxcwin: cannot rename to %s: %s\n", pszReady, strerror(errno));
        exit(2);
    }
}

/* Wait for the next event, at most until tDeadlineUs (0: no limit); null
 * when the time ran out. */
static xcb_generic_event_t *NextEvent(long long tDeadlineUs)
{
    struct pollfd pfd;
    xcb_generic_event_t *pEvent;
    long long tLeft;

    for (;;) {
        pEvent = xcb_poll_for_event(pConn);
        if (pEvent != NULL)
            return pEvent;
        CheckConnection();
        pfd.fd = xcb_get_file_descriptor(pConn);
        pfd.events = POLLIN;
        pfd.revents = 0;
        if (tDeadlineUs == 0) {
            poll(&pfd, 1, -1);
        } else {
            tLeft = tDeadlineUs - NowUs();
            if (tLeft <= 0)
                return NULL;
            poll(&pfd, 1, (int)((tLeft + 999) / 1000));
        }
    }
}

int main(int argc, char **argv)
{
    const char *pszKinds = "v";
    const char *pszLog = NULL;
    const char *pszReady = NULL;
    const char *pszTitle = "zxcwin";
    const char *pszInputs;
    int fPid = 1;
    uint32_t ulPid = (uint32_t)getpid();
    long lExitAfterMs = -1;
    int nExitCode = 0;
    xcb_intern_atom_cookie_t aCookies[A_COUNT];
    xcb_intern_atom_reply_t *pAtom;
    xcb_generic_event_t *pEvent;
    uint32_t ulRootMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    long long tDeadlineUs = 0;
    int i;
    int iArg;

    for (iArg = 1; iArg < argc - 1; iArg++) {
        const char *pszOpt = argv[iArg];
        if (iArg + 1 >= argc - 1)
            Usage("option without a value, or no inputs file");
        if (strcmp(pszOpt, "--windows") == 0) {
            pszKinds = argv[++iArg];
        } else if (strcmp(pszOpt, "--log") == 0) {
            pszLog = argv[++iArg];
        } else if (strcmp(pszOpt, "--ready") == 0) {
            pszReady = argv[++iArg];
        } else if (strcmp(pszOpt, "--on-close") == 0) {
            iArg++;
            if (strcmp(argv[iArg], "exit") == 0)
                fExitOnClose = 1;
            else if (strcmp(argv[iArg], "ignore") == 0)
                fExitOnClose = 0;
            else
                Usage("--on-close takes exit or ignore");
        } else if (strcmp(pszOpt, "--pid-property") == 0) {
            iArg++;
            if (strcmp(argv[iArg], "none") == 0)
                fPid = 0;
            else
                ulPid = (uint32_t)strtoul(argv[iArg], NULL, 10);
        } else if (strcmp(pszOpt, "--title") == 0) {
            pszTitle = argv[++iArg];
        } else if (strcmp(pszOpt, "--exit-after") == 0) {
            lExitAfterMs = strtol(argv[++iArg], NULL, 10);
        } else if (strcmp(pszOpt, "--exit-code") == 0) {
            nExitCode = (int)strtol(argv[++iArg], NULL, 10);
        } else {
            Usage("unknown option");
        }
    }
    if (argc < 2)
        Usage("no inputs file");
    pszInputs = argv[argc - 1];

    nWin = (int)strlen(pszKinds);
    if (nWin > MAX_WINDOWS)
        Usage("too many windows");
    for (i = 0; i < nWin; i++) {
        if (strchr("vnhi", pszKinds[i]) == NULL)
            Usage("window kinds are v, n, h and i");
        aWin[i].chKind = pszKinds[i];
    }

    if (pszLog != NULL) {
        pLog = fopen(pszLog, "a");
        if (pLog == NULL) {
            fprintf(stderr, "zxcwin: cannot open %s: %s\n", pszLog, strerror(errno));
            return 2;
        }
    }
    Log("start %d %s", (int)getpid(), pszInputs);

    pConn = xcb_connect(NULL, NULL);
    CheckConnection();
    wndRoot = xcb_setup_roots_iterator(xcb_get_setup(pConn)).data->root;
    for (i = 0; i < A_COUNT; i++)
        aCookies[i] = xcb_intern_atom(pConn, 0, (uint16_t)strlen(apszAtomNames[i]),
                                      apszAtomNames[i]);
    for (i = 0; i < A_COUNT; i++) {
        pAtom = xcb_intern_atom_reply(pConn, aCookies[i], NULL);
        CheckConnection();
        aAtoms[i] = pAtom->atom;
        free(pAtom);
    }

    fWm = HaveWindowManager();
    if (fWm)
        xcb_change_window_attributes(pConn, wndRoot, XCB_CW_EVENT_MASK, &ulRootMask);

    /* One window after the other, each in place before the next. */
    for (i = 0; i < nWin; i++) {
        CreateWindow(i, pszTitle, fPid, ulPid);
        if (aWin[i].chKind != 'h')
            xcb_map_window(pConn, aWin[i].wnd);
        xcb_flush(pConn);
        while (!IsInPlace(i)) {
            pEvent = NextEvent(0);
            HandleEvent(pEvent);
            free(pEvent);
        }
    }

    if (pszReady != NULL)
        WriteReady(pszReady);
    Log("ready");

    if (lExitAfterMs >= 0)
        tDeadlineUs = NowUs() + (long long)lExitAfterMs * 1000LL;
    for (;;) {
        pEvent = NextEvent(tDeadlineUs);
        if (pEvent == NULL)
            break;
        HandleEvent(pEvent);
        free(pEvent);
    }
    xcb_disconnect(pConn);
    if (pLog != NULL)
        fclose(pLog);
    return nExitCode;
}
