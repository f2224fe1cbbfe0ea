/*
 * test_x11_backend.cpp - the X11 window backend against a real X server,
 * with real client programs (zxcwin). Runs once under a bare Xvfb and once
 * under openbox; each test finds out which from the root window.
 */
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "x11test.h"
#include "zelmplat.h"

#define MAX_SEEN 1024

/* ---- Enumeration helpers ---------------------------------------------------- */

/* What one enumeration saw; the callback also asks about each window, as
 * the session service does from inside its callbacks. */
typedef struct _SEEN {
    int n;
    uint32_t awnd[MAX_SEEN];
    ULONG aulPid[MAX_SEEN];   /* 0 when PlatGetWindowProcessId said FALSE */
    BOOL afVisible[MAX_SEEN];
    int fParamWrong;
    int nStopAfter;           /* 0: go through */
} SEEN;

static SEEN g_seen;
static const ULONG g_ulParam = 0x5A5A1234UL;

static BOOL CollectWindow(HWND hwnd, ULONG ulParam)
{
    ULONG ulPid = 0;

    if (ulParam != g_ulParam)
        g_seen.fParamWrong = 1;
    if (g_seen.n < MAX_SEEN) {
        g_seen.awnd[g_seen.n] = (uint32_t)(uintptr_t)hwnd;
        g_seen.aulPid[g_seen.n] = PlatGetWindowProcessId(hwnd, &ulPid) ? ulPid : 0;
        g_seen.afVisible[g_seen.n] = PlatIsWindowVisible(hwnd);
        g_seen.n++;
    }
    return g_seen.nStopAfter == 0 || g_seen.n < g_seen.nStopAfter;
}

static void Enumerate(int nStopAfter)
{
    memset(&g_seen, 0, sizeof(g_seen));
    g_seen.nStopAfter = nStopAfter;
    PlatEnumWindows(CollectWindow, g_ulParam);
}

/* The windows of any of the runs, in the order seen. */
static int SeenOf(const ZXCPROC *pA, const ZXCPROC *pB, uint32_t *pwnd)
{
    int n = 0;
    int i;
    for (i = 0; i < g_seen.n; i++) {
        if (ZxcIndexOf(pA, g_seen.awnd[i]) >= 0 || (pB != NULL && ZxcIndexOf(pB, g_seen.awnd[i]) >= 0))
            pwnd[n++] = g_seen.awnd[i];
    }
    return n;
}

static HWND Hwnd(uint32_t wnd)
{
    return (HWND)(uintptr_t)wnd;
}

static uint32_t Wnd(const ZXCPROC *pProc, int i)
{
    return pProc->aWindows[i].wnd;
}

static std::string Names(const uint32_t *pwnd, int n)
{
    std::string str;
    char ach[16];
    int i;
    for (i = 0; i < n; i++) {
        snprintf(ach, sizeof(ach), "%s0x%x", i > 0 ? " " : "", (unsigned)pwnd[i]);
        str += ach;
    }
    return str;
}

/* What a test checks with its running programs; pB is null when it started
 * only a. */
typedef void (*PFNCHECKRUNS)(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB);

/* With the test's own connection, start zxcwin a with the windows pszKindsA
 * (and the extra arguments ppszExtraA, may be null) and then, unless
 * pszKindsB is null, zxcwin b with pszKindsB; check them and stop them. */
static void RunWithPrograms(const char *pszKindsA, const char *const *ppszExtraA,
                            const char *pszKindsB, PFNCHECKRUNS pfnCheck)
{
    TESTX x;
    ZXCPROC a;
    ZXCPROC b;

    ASSERT_TRUE(TestXOpen(&x, NULL));
    ASSERT_TRUE(ZxcPrepare(&a));
    ASSERT_TRUE(pszKindsB == NULL || ZxcPrepare(&b));
    if (ZxcStart(&a, pszKindsA, ppszExtraA, NULL) &&
        (pszKindsB == NULL || ZxcStart(&b, pszKindsB, NULL, NULL)))
        pfnCheck(&x, &a, pszKindsB != NULL ? &b : NULL);
    else
        ADD_FAILURE() << "zxcwin did not get ready";
    ZxcStop(&a);
    if (pszKindsB != NULL)
        ZxcStop(&b);
    TestXClose(&x);
}

/* Whether a window manager runs, asked on a connection of the test's own. */
static int HaveWm(void)
{
    TESTX x;
    int fWm;

    if (!TestXOpen(&x, NULL))
        return 0;
    fWm = TestXHaveWm(&x);
    TestXClose(&x);
    return fWm;
}

/* ---- Enumeration ------------------------------------------------------------- */

static void CheckTopmostFirst(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    int fWm = TestXHaveWm(pX);
    uint32_t awndExpect[8];
    uint32_t awndGot[MAX_SEEN];
    int nExpect = 0;
    int nGot;
    int i;
    FRONTCTX top;

    /* b was started after a, and each maps its windows one after the other:
     * newest on top. A manager lists only the windows it manages. */
    awndExpect[nExpect++] = Wnd(pB, 1);
    awndExpect[nExpect++] = Wnd(pB, 0);
    awndExpect[nExpect++] = Wnd(pA, 3);
    if (!fWm)
        awndExpect[nExpect++] = Wnd(pA, 2); /* never mapped */
    awndExpect[nExpect++] = Wnd(pA, 1);
    awndExpect[nExpect++] = Wnd(pA, 0);

    Enumerate(0);
    EXPECT_FALSE(g_seen.fParamWrong) << "the callback must get the caller's parameter";
    nGot = SeenOf(pA, pB, awndGot);
    EXPECT_EQ(Names(awndExpect, nExpect), Names(awndGot, nGot)) << "window manager: " << fWm;

    /* The process of each window is its creator's, and no other window
     * names either process. */
    for (i = 0; i < g_seen.n; i++) {
        SCOPED_TRACE(testing::Message() << "window 0x" << std::hex << g_seen.awnd[i]);
        if (ZxcIndexOf(pA, g_seen.awnd[i]) >= 0)
            EXPECT_EQ((ULONG)pA->pid, g_seen.aulPid[i]);
        else if (ZxcIndexOf(pB, g_seen.awnd[i]) >= 0)
            EXPECT_EQ((ULONG)pB->pid, g_seen.aulPid[i]);
        else {
            EXPECT_NE((ULONG)pA->pid, g_seen.aulPid[i]);
            EXPECT_NE((ULONG)pB->pid, g_seen.aulPid[i]);
        }
    }

    /* The order is the live stacking, not the order of creation. */
    TestXRaise(pX, Wnd(pA, 0));
    top.pX = pX;
    top.pA = pA;
    top.pB = pB;
    top.wnd = Wnd(pA, 0);
    ASSERT_TRUE(TestWaitFor(TestXIsTopOfRuns, &top, ZXC_WAIT_MS)) << "the server did not raise it";
    Enumerate(0);
    nGot = SeenOf(pA, pB, awndGot);
    ASSERT_GT(nGot, 0);
    EXPECT_EQ(Wnd(pA, 0), awndGot[0]);
}

TEST(X11Enum, TopmostFirstWithTheCreatorsProcess)
{
    RunWithPrograms("vvhv", NULL, "vv", CheckTopmostFirst);
}

static void CheckStopsWhenTold(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    int nAll;

    (void)pX;
    (void)pA;
    (void)pB;
    Enumerate(0);
    nAll = g_seen.n;
    EXPECT_GE(nAll, 3);
    Enumerate(2);
    EXPECT_EQ(2, g_seen.n);
    Enumerate(1);
    EXPECT_EQ(1, g_seen.n);
}

TEST(X11Enum, StopsWhenTheCallbackSaysSo)
{
    RunWithPrograms("vvv", NULL, NULL, CheckStopsWhenTold);
    PlatEnumWindows(NULL, 0); /* no callback: nothing to do */
}

/* Which list the enumeration follows, with the test playing the window
 * manager's part on the root window (bare server only). */
typedef struct _LISTCASE {
    const char *pszName;
    int nCheck;         /* 0 none, 1 names itself, 2 does not, 3 root names a window that is gone */
    int nStacking;      /* -1: no _NET_CLIENT_LIST_STACKING */
    int aiStacking[3];  /* bottom to top */
    int nClient;        /* -1: no _NET_CLIENT_LIST */
    int aiClient[3];
    int nExpect;        /* -1: the root's children, topmost first */
    int aiExpect[3];
} LISTCASE;

static const LISTCASE g_aListCases[] = {
    {"stacking list, topmost first", 1, 3, {0, 1, 2}, -1, {0}, 3, {2, 1, 0}},
    {"stacking list before the client list", 1, 2, {2, 0}, 3, {0, 1, 2}, 2, {0, 2}},
    {"client list when there is no stacking list", 1, -1, {0}, 3, {1, 2, 0}, 3, {0, 2, 1}},
    {"empty stacking list: the manager manages none", 1, 0, {0}, 3, {0, 1, 2}, 0, {0}},
    {"manager without lists: the root's children", 1, -1, {0}, -1, {0}, -1, {0}},
    {"check window that does not name itself is stale", 2, 3, {0, 1, 2}, 3, {0, 1, 2}, -1, {0}},
    {"check window that is gone is stale", 3, 3, {0, 1, 2}, 3, {0, 1, 2}, -1, {0}},
    {"lists without a manager are ignored", 0, 3, {0, 1, 2}, 3, {0, 1, 2}, -1, {0}},
};

static void SetWindows(TESTX *pX, xcb_window_t wnd, const char *pszAtom, const uint32_t *pwnd, int n)
{
    xcb_atom_t atom = TestXAtom(pX, pszAtom);
    if (n < 0)
        xcb_delete_property(pX->pConn, wnd, atom);
    else
        xcb_change_property(pX->pConn, XCB_PROP_MODE_REPLACE, wnd, atom, XCB_ATOM_WINDOW, 32,
                            (uint32_t)n, pwnd);
}

static void CheckListCase(TESTX *pX, const LISTCASE *pCase, const uint32_t *pwnd)
{
    uint32_t wndCheck = TestXCreateWindow(pX, 0, 0);
    uint32_t wndGone = TestXCreateWindow(pX, 0, 0);
    uint32_t awndList[3];
    uint32_t awndExpect[MAX_SEEN];
    int nExpect;
    int i;

    xcb_destroy_window(pX->pConn, wndGone);
    if (pCase->nCheck == 0) {
        SetWindows(pX, pX->wndRoot, "_NET_SUPPORTING_WM_CHECK", NULL, -1);
    } else {
        SetWindows(pX, pX->wndRoot, "_NET_SUPPORTING_WM_CHECK",
                   pCase->nCheck == 3 ? &wndGone : &wndCheck, 1);
        if (pCase->nCheck == 1)
            SetWindows(pX, wndCheck, "_NET_SUPPORTING_WM_CHECK", &wndCheck, 1);
    }
    for (i = 0; i < pCase->nStacking; i++)
        awndList[i] = pwnd[pCase->aiStacking[i]];
    SetWindows(pX, pX->wndRoot, "_NET_CLIENT_LIST_STACKING", awndList, pCase->nStacking);
    for (i = 0; i < pCase->nClient; i++)
        awndList[i] = pwnd[pCase->aiClient[i]];
    SetWindows(pX, pX->wndRoot, "_NET_CLIENT_LIST", awndList, pCase->nClient);
    TestXSync(pX);

    if (pCase->nExpect < 0) {
        nExpect = TestXRootStack(pX, awndExpect, MAX_SEEN);
    } else {
        nExpect = pCase->nExpect;
        for (i = 0; i < nExpect; i++)
            awndExpect[i] = pwnd[pCase->aiExpect[i]];
    }
    Enumerate(0);
    EXPECT_EQ(Names(awndExpect, nExpect), Names(g_seen.awnd, g_seen.n));

    SetWindows(pX, pX->wndRoot, "_NET_SUPPORTING_WM_CHECK", NULL, -1);
    SetWindows(pX, pX->wndRoot, "_NET_CLIENT_LIST_STACKING", NULL, -1);
    SetWindows(pX, pX->wndRoot, "_NET_CLIENT_LIST", NULL, -1);
    xcb_destroy_window(pX->pConn, wndCheck);
    TestXSync(pX);
}

TEST(X11Enum, ListFollowsTheWindowManagersAnnouncement)
{
    TESTX x;
    uint32_t awnd[3];
    size_t i;

    if (HaveWm())
        GTEST_SKIP() << "a real window manager owns the root's announcements";
    ASSERT_TRUE(TestXOpen(&x, NULL));
    for (i = 0; i < 3; i++)
        awnd[i] = TestXCreateWindow(&x, 0, 0);
    for (i = 0; i < sizeof(g_aListCases) / sizeof(g_aListCases[0]); i++) {
        SCOPED_TRACE(g_aListCases[i].pszName);
        CheckListCase(&x, &g_aListCases[i], awnd);
    }
    TestXClose(&x);
}

/* ---- Process of a window ----------------------------------------------------- */

typedef struct _GONECTX {
    TESTX *pX;
    uint32_t wnd;
} GONECTX;

static int IsGone(void *pCtx)
{
    GONECTX *pGone = (GONECTX *)pCtx;
    return TestXMapState(pGone->pX, pGone->wnd) < 0;
}

TEST(X11Pid, TheServersRecordOfTheCreatorCannotBeFaked)
{
    static const char *const apszZero[] = {"--pid-property", "0", NULL};
    static const char *const apszLying[] = {"--pid-property", "1", NULL};
    static const char *const apszNone[] = {"--pid-property", "none", NULL};
    static const struct {
        const char *pszName;
        const char *const *ppszArgs;
    } aCases[] = {
        {"own pid in _NET_WM_PID", NULL},
        {"another pid in _NET_WM_PID", apszLying},
        {"pid 0 in _NET_WM_PID", apszZero},
        {"no _NET_WM_PID", apszNone},
    };
    ZXCPROC aProc[4];
    TESTX x;
    TESTX y;
    GONECTX gone;
    ULONG ulPid;
    size_t i;

    for (i = 0; i < 4; i++) {
        SCOPED_TRACE(aCases[i].pszName);
        ASSERT_TRUE(ZxcPrepare(&aProc[i]));
        if (!ZxcStart(&aProc[i], "vh", aCases[i].ppszArgs, NULL)) {
            ADD_FAILURE() << "zxcwin did not get ready";
            continue;
        }
        for (int j = 0; j < 2; j++) {
            ulPid = 0;
            EXPECT_TRUE(PlatGetWindowProcessId(Hwnd(Wnd(&aProc[i], j)), &ulPid));
            EXPECT_EQ((ULONG)aProc[i].pid, ulPid);
        }
    }
    for (i = 0; i < 4; i++)
        ZxcStop(&aProc[i]);

    /* A window whose client has gone, and no window at all. */
    ASSERT_TRUE(TestXOpen(&x, NULL));
    ASSERT_TRUE(TestXOpen(&y, NULL));
    gone.pX = &x;
    gone.wnd = TestXCreateWindow(&y, 0, 0);
    TestXClose(&y);
    ASSERT_TRUE(TestWaitFor(IsGone, &gone, ZXC_WAIT_MS));
    ulPid = 0xDEADBEEFUL;
    EXPECT_FALSE(PlatGetWindowProcessId(Hwnd(gone.wnd), &ulPid));
    EXPECT_FALSE(PlatGetWindowProcessId(NULL, &ulPid));
    EXPECT_EQ(0xDEADBEEFUL, ulPid) << "untouched when not told";
    EXPECT_FALSE(PlatGetWindowProcessId(Hwnd(x.wndRoot), NULL));
    TestXClose(&x);
}

/* In a process of its own, against a private server that also listens on
 * TCP: a client that comes over TCP has no process the server can name, so
 * its _NET_WM_PID stands in. */
static int CheckPidOverTcp(void)
{
    static const char *const apszFake[] = {"--pid-property", "4242", NULL};
    static const char *const apszNone[] = {"--pid-property", "none", NULL};
    PRIVX priv;
    ZXCPROC aProc[3];
    char achUnix[32];
    char achTcp[32];
    ULONG ulPid;
    int fOk = 1;
    int i;

    if (!PrivXStart(&priv, 1)) {
        fprintf(stderr, "private Xvfb did not start\n");
        return 0;
    }
    snprintf(achUnix, sizeof(achUnix), ":%d", priv.nDisplay);
    snprintf(achTcp, sizeof(achTcp), "127.0.0.1:%d", priv.nDisplay);
    setenv("DISPLAY", achUnix, 1);
    for (i = 0; i < 3; i++)
        ZxcPrepare(&aProc[i]);
    if (!ZxcStart(&aProc[0], "v", apszFake, achTcp) || !ZxcStart(&aProc[1], "v", apszNone, achTcp) ||
        !ZxcStart(&aProc[2], "v", apszFake, achUnix)) {
        fprintf(stderr, "zxcwin did not get ready\n");
        fOk = 0;
    } else {
        ulPid = 0;
        if (!PlatGetWindowProcessId(Hwnd(Wnd(&aProc[0], 0)), &ulPid) || ulPid != 4242) {
            fprintf(stderr, "over TCP with _NET_WM_PID 4242: got %lu\n", (unsigned long)ulPid);
            fOk = 0;
        }
        ulPid = 0;
        if (PlatGetWindowProcessId(Hwnd(Wnd(&aProc[1], 0)), &ulPid)) {
            fprintf(stderr, "over TCP without _NET_WM_PID: got %lu\n", (unsigned long)ulPid);
            fOk = 0;
        }
        ulPid = 0;
        if (!PlatGetWindowProcessId(Hwnd(Wnd(&aProc[2], 0)), &ulPid) ||
            ulPid != (ULONG)aProc[2].pid) {
            fprintf(stderr, "local with _NET_WM_PID 4242: got %lu\n", (unsigned long)ulPid);
            fOk = 0;
        }
    }
    for (i = 0; i < 3; i++)
        ZxcStop(&aProc[i]);
    PrivXStop(&priv, SIGTERM);
    return fOk;
}

TEST(X11Pid, PropertyStandsInOnlyWhenTheServerCannotTell)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(CheckPidOverTcp() ? 0 : 1), testing::ExitedWithCode(0), "^$");
}

/* ---- Visibility -------------------------------------------------------------- */

static void CheckVisible(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    uint32_t wndParent;
    uint32_t wndChild;
    uint32_t wndGone;

    (void)pB;
    /* A mapped window inside an unmapped one is unviewable, as a client
     * window is whose manager hid its frame. */
    wndParent = TestXCreateWindow(pX, 0, 0);
    wndChild = TestXCreateWindow(pX, wndParent, 0);
    xcb_map_window(pX->pConn, wndChild);
    wndGone = TestXCreateWindow(pX, 0, 0);
    xcb_destroy_window(pX->pConn, wndGone);
    TestXSync(pX);
    ASSERT_EQ(XCB_MAP_STATE_UNVIEWABLE, TestXMapState(pX, wndChild));
    /* Under a manager the iconified window is unmapped: only WM_STATE tells. */
    EXPECT_EQ(TestXHaveWm(pX) ? XCB_MAP_STATE_UNMAPPED : XCB_MAP_STATE_VIEWABLE,
              TestXMapState(pX, Wnd(pA, 3)));

    const struct {
        const char *pszName;
        uint32_t wnd;
        BOOL fVisible;
    } aCases[] = {
        {"shown", Wnd(pA, 0), TRUE},
        {"shown, without WM_DELETE_WINDOW", Wnd(pA, 1), TRUE},
        {"never shown", Wnd(pA, 2), FALSE},
        {"iconified", Wnd(pA, 3), TRUE},
        {"mapped in an unmapped parent", wndChild, TRUE},
        {"unmapped parent", wndParent, FALSE},
        {"destroyed", wndGone, FALSE},
        {"null", 0, FALSE},
    };
    for (size_t i = 0; i < sizeof(aCases) / sizeof(aCases[0]); i++) {
        SCOPED_TRACE(aCases[i].pszName);
        EXPECT_EQ(aCases[i].fVisible, PlatIsWindowVisible(Hwnd(aCases[i].wnd)));
    }
}

TEST(X11Visible, ShownMeansMappedOrIconified)
{
    RunWithPrograms("vnhi", NULL, NULL, CheckVisible);
}

/* ---- Close requests ---------------------------------------------------------- */

typedef struct _LOGCTX {
    const ZXCPROC *pProc;
    const char *pszWhat;
    int nWanted;
} LOGCTX;

static int HasLogLines(void *pCtx)
{
    LOGCTX *pLog = (LOGCTX *)pCtx;
    return ZxcCountLog(pLog->pProc, pLog->pszWhat) >= pLog->nWanted;
}

static void CheckCloseRequests(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    static ZXCLOG aLog[ZXC_MAX_LOG];
    LOGCTX ctx;
    int n;
    int i;
    std::string strGot;

    (void)pX;
    (void)pB;
    /* The backend asks every window it is given that takes part; the
     * session service is the one to leave hidden windows alone. */
    for (i = 0; i < 4; i++)
        PlatCloseWindow(Hwnd(Wnd(pA, i)));
    PlatCloseWindow(NULL);

    ctx.pProc = pA;
    ctx.pszWhat = "close";
    ctx.nWanted = 3;
    EXPECT_TRUE(TestWaitFor(HasLogLines, &ctx, ZXC_WAIT_MS));
    /* Requests to one client arrive in order: had window 1 been asked, its
     * line would stand before window 3's. */
    n = ZxcReadLog(pA, aLog, ZXC_MAX_LOG);
    for (i = 0; i < n; i++) {
        if (strcmp(aLog[i].achWhat, "close") == 0) {
            EXPECT_EQ(Wnd(pA, aLog[i].iIndex), aLog[i].wnd);
            strGot += std::to_string(aLog[i].iIndex);
        }
    }
    EXPECT_EQ("023", strGot);
}

TEST(X11Close, RequestReachesOnlyWindowsThatTakePart)
{
    RunWithPrograms("vnhv", NULL, NULL, CheckCloseRequests);
}

static void CheckEndsOnTheRequest(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    GONECTX gone;

    (void)pB;
    PlatCloseWindow(Hwnd(Wnd(pA, 1)));
    ASSERT_TRUE(ZxcWaitExit(pA, ZXC_WAIT_MS));
    EXPECT_TRUE(WIFEXITED(pA->nStatus) && WEXITSTATUS(pA->nStatus) == 0);
    EXPECT_EQ(1, ZxcCountLog(pA, "close"));
    /* Its other window is gone with it: asking it is harmless. */
    gone.pX = pX;
    gone.wnd = Wnd(pA, 0);
    ASSERT_TRUE(TestWaitFor(IsGone, &gone, ZXC_WAIT_MS));
    PlatCloseWindow(Hwnd(Wnd(pA, 0)));
}

TEST(X11Close, ProgramThatEndsOnTheRequest)
{
    static const char *const apszExit[] = {"--on-close", "exit", NULL};

    RunWithPrograms("vv", apszExit, NULL, CheckEndsOnTheRequest);
}

/* ---- Posted messages --------------------------------------------------------- */

TEST(X11Post, MessageReachesTheWindowsOwnerOnly)
{
    static const ULONG aulMsgs[] = {0x4321UL, 0UL, 0xFFFFFFFFUL, 1025UL};
    TESTX owner;
    TESTX other;
    uint32_t wnd;
    uint32_t ulMask;
    xcb_atom_t atomMsg;
    xcb_client_message_event_t msg;
    xcb_generic_event_t *pEvent;
    size_t i;

    ASSERT_TRUE(TestXOpen(&owner, NULL));
    ASSERT_TRUE(TestXOpen(&other, NULL));
    atomMsg = TestXAtom(&owner, "ZELMXCC_MESSAGE");
    /* The owner selects nothing on its window; another client selects all
     * it may. */
    wnd = TestXCreateWindow(&owner, 0, 0);
    ulMask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_ENTER_WINDOW |
             XCB_EVENT_MASK_LEAVE_WINDOW | XCB_EVENT_MASK_POINTER_MOTION |
             XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_VISIBILITY_CHANGE |
             XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
             XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_PROPERTY_CHANGE |
             XCB_EVENT_MASK_COLOR_MAP_CHANGE | XCB_EVENT_MASK_OWNER_GRAB_BUTTON;
    xcb_change_window_attributes(other.pConn, wnd, XCB_CW_EVENT_MASK, &ulMask);
    TestXSync(&other);

    for (i = 0; i < sizeof(aulMsgs) / sizeof(aulMsgs[0]); i++) {
        SCOPED_TRACE(testing::Message() << "message " << aulMsgs[i]);
        PlatPostMessage(Hwnd(wnd), aulMsgs[i]);
        ASSERT_TRUE(TestXWaitMessage(&owner, atomMsg, &msg, ZXC_WAIT_MS));
        EXPECT_EQ(wnd, msg.window);
        EXPECT_EQ(32, msg.format);
        EXPECT_EQ((uint32_t)aulMsgs[i], msg.data.data32[0]);
        for (int j = 1; j < 5; j++)
            EXPECT_EQ(0u, msg.data.data32[j]) << "word " << j;
        /* The owner has it, so the server has handed it out; a round trip
         * of the other client comes after anything it would have got. */
        TestXSync(&other);
        while ((pEvent = xcb_poll_for_event(other.pConn)) != NULL) {
            EXPECT_NE(XCB_CLIENT_MESSAGE, pEvent->response_type & 0x7f)
                << "another client received the message";
            free(pEvent);
        }
    }

    /* A null window gets nothing: the next message is the one that comes. */
    PlatPostMessage(NULL, 77);
    PlatPostMessage(Hwnd(wnd), 78);
    ASSERT_TRUE(TestXWaitMessage(&owner, atomMsg, &msg, ZXC_WAIT_MS));
    EXPECT_EQ(78u, msg.data.data32[0]);

    TestXClose(&other);
    TestXClose(&owner);
}

#define POST_THREADS 8
#define POST_EACH    25

typedef struct _POSTER {
    uint32_t wnd;
    ULONG ulBase;
} POSTER;

static void *PostMany(void *pArg)
{
    POSTER *pPoster = (POSTER *)pArg;
    ULONG i;
    for (i = 0; i < POST_EACH; i++)
        PlatPostMessage(Hwnd(pPoster->wnd), pPoster->ulBase + i);
    return NULL;
}

TEST(X11Post, FromManyThreadsAtOnce)
{
    TESTX owner;
    uint32_t wnd;
    xcb_atom_t atomMsg;
    xcb_client_message_event_t msg;
    pthread_t ath[POST_THREADS];
    POSTER aPoster[POST_THREADS];
    int anSeen[POST_THREADS][POST_EACH];
    int nThread;
    int nIndex;
    int i;

    ASSERT_TRUE(TestXOpen(&owner, NULL));
    atomMsg = TestXAtom(&owner, "ZELMXCC_MESSAGE");
    wnd = TestXCreateWindow(&owner, 0, 0);
    memset(anSeen, 0, sizeof(anSeen));
    for (i = 0; i < POST_THREADS; i++) {
        aPoster[i].wnd = wnd;
        aPoster[i].ulBase = (ULONG)(i + 1) * 1000;
        ASSERT_EQ(0, pthread_create(&ath[i], NULL, PostMany, &aPoster[i]));
    }
    for (i = 0; i < POST_THREADS; i++)
        pthread_join(ath[i], NULL);
    for (i = 0; i < POST_THREADS * POST_EACH; i++) {
        ASSERT_TRUE(TestXWaitMessage(&owner, atomMsg, &msg, ZXC_WAIT_MS)) << "after " << i;
        nThread = (int)(msg.data.data32[0] / 1000) - 1;
        nIndex = (int)(msg.data.data32[0] % 1000);
        ASSERT_TRUE(nThread >= 0 && nThread < POST_THREADS && nIndex < POST_EACH)
            << msg.data.data32[0];
        anSeen[nThread][nIndex]++;
    }
    for (nThread = 0; nThread < POST_THREADS; nThread++) {
        for (nIndex = 0; nIndex < POST_EACH; nIndex++)
            EXPECT_EQ(1, anSeen[nThread][nIndex]) << nThread << "/" << nIndex;
    }
    TestXClose(&owner);
}

/* ---- Foreground -------------------------------------------------------------- */

/* Active (under a manager), focused, viewable and topmost of the runs. */
static int IsInFront(void *pCtx)
{
    FRONTCTX *pFront = (FRONTCTX *)pCtx;

    return TestXIsInFront(pFront) &&
           TestXMapState(pFront->pX, pFront->wnd) == XCB_MAP_STATE_VIEWABLE;
}

static void CheckForeground(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    int fWm = TestXHaveWm(pX);
    uint32_t awndBefore[MAX_SEEN];
    uint32_t awndAfter[MAX_SEEN];
    uint32_t awndAll[MAX_SEEN];
    int nBefore;
    int nAfter;
    int n;
    FRONTCTX front;

    n = TestXStack(pX, awndAll, MAX_SEEN);
    nBefore = TestXFilter(awndAll, n, pB, awndBefore);

    PlatSetForegroundWindow(Hwnd(Wnd(pA, 0)));
    front.pX = pX;
    front.pA = pA;
    front.pB = pB;
    front.wnd = Wnd(pA, 0);
    if (fWm) {
        EXPECT_TRUE(TestWaitFor(IsInFront, &front, ZXC_WAIT_MS));
    } else {
        /* Without a manager the backend has done it by the time it returns. */
        EXPECT_TRUE(IsInFront(&front));
    }

    /* The other program's windows stay as they were among themselves. */
    n = TestXStack(pX, awndAll, MAX_SEEN);
    nAfter = TestXFilter(awndAll, n, pB, awndAfter);
    EXPECT_EQ(Names(awndBefore, nBefore), Names(awndAfter, nAfter));
    for (int i = 0; i < pB->nWindows; i++)
        EXPECT_EQ(XCB_MAP_STATE_VIEWABLE, TestXMapState(pX, Wnd(pB, i)));
    EXPECT_EQ(0, ZxcCountLog(pB, "close"));
    EXPECT_EQ(0, ZxcCountLog(pB, "message"));
}

TEST(X11Foreground, WindowComesToTheFront)
{
    RunWithPrograms("vv", NULL, "vv", CheckForeground);
}

static void CheckHiddenAndIconified(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    int fWm = TestXHaveWm(pX);
    FRONTCTX front;
    uint32_t wndFocus;

    (void)pB;
    /* A window never shown cannot take the focus: nothing changes, and the
     * server's refusal is not heard of. */
    wndFocus = TestXFocus(pX);
    PlatSetForegroundWindow(Hwnd(Wnd(pA, 1)));
    TestXSync(pX);
    EXPECT_EQ(XCB_MAP_STATE_UNMAPPED, TestXMapState(pX, Wnd(pA, 1)));
    if (!fWm) {
        EXPECT_EQ(wndFocus, TestXFocus(pX));
    }

    /* An iconified one comes back (without a manager it was never
     * iconified in the first place). */
    PlatSetForegroundWindow(Hwnd(Wnd(pA, 2)));
    front.pX = pX;
    front.pA = pA;
    front.pB = NULL;
    front.wnd = Wnd(pA, 2);
    EXPECT_TRUE(TestWaitFor(IsInFront, &front, ZXC_WAIT_MS));

    /* And the first window again. */
    PlatSetForegroundWindow(Hwnd(Wnd(pA, 0)));
    front.wnd = Wnd(pA, 0);
    EXPECT_TRUE(TestWaitFor(IsInFront, &front, ZXC_WAIT_MS));

    PlatSetForegroundWindow(NULL); /* no window: nothing to do */
}

TEST(X11Foreground, HiddenAndIconifiedWindows)
{
    RunWithPrograms("vhi", NULL, NULL, CheckHiddenAndIconified);
}

/* The test plays the window manager: it holds the root's redirection and
 * announces itself, and so receives what the backend asks of a manager. */
static void CheckAsksTheManager(TESTX *pX, ZXCPROC *pA, ZXCPROC *pB)
{
    uint32_t ulMask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    uint32_t wndCheck;
    uint32_t wndFocus;
    xcb_generic_error_t *pError;
    xcb_client_message_event_t msg;
    xcb_atom_t atomCheck = TestXAtom(pX, "_NET_SUPPORTING_WM_CHECK");

    (void)pB;
    pError = xcb_request_check(pX->pConn, xcb_change_window_attributes_checked(
                                              pX->pConn, pX->wndRoot, XCB_CW_EVENT_MASK, &ulMask));
    ASSERT_TRUE(pError == NULL) << "another client redirects the root";
    wndCheck = TestXCreateWindow(pX, 0, 0);
    xcb_change_property(pX->pConn, XCB_PROP_MODE_REPLACE, wndCheck, atomCheck, XCB_ATOM_WINDOW,
                        32, 1, &wndCheck);
    xcb_change_property(pX->pConn, XCB_PROP_MODE_REPLACE, pX->wndRoot, atomCheck,
                        XCB_ATOM_WINDOW, 32, 1, &wndCheck);
    TestXSync(pX);
    wndFocus = TestXFocus(pX);

    PlatSetForegroundWindow(Hwnd(Wnd(pA, 0)));
    ASSERT_TRUE(TestXWaitMessage(pX, TestXAtom(pX, "_NET_ACTIVE_WINDOW"), &msg, ZXC_WAIT_MS));
    EXPECT_EQ(Wnd(pA, 0), msg.window);
    EXPECT_EQ(32, msg.format);
    EXPECT_EQ(2u, msg.data.data32[0]) << "source: a pager, or the user directly";
    EXPECT_EQ(0u, msg.data.data32[1]) << "timestamp: current time";
    EXPECT_EQ(0u, msg.data.data32[2]) << "no active window of the requester";
    EXPECT_EQ(wndFocus, TestXFocus(pX)) << "the manager decides about the focus";

    /* The manager leaves: the backend does it itself. */
    ulMask = 0;
    xcb_change_window_attributes(pX->pConn, pX->wndRoot, XCB_CW_EVENT_MASK, &ulMask);
    xcb_delete_property(pX->pConn, pX->wndRoot, atomCheck);
    xcb_destroy_window(pX->pConn, wndCheck);
    TestXSync(pX);
    PlatSetForegroundWindow(Hwnd(Wnd(pA, 0)));
    EXPECT_EQ(Wnd(pA, 0), TestXFocus(pX));
}

TEST(X11Foreground, AsksTheWindowManagerAsAPager)
{
    if (HaveWm())
        GTEST_SKIP() << "a real window manager holds the root";
    RunWithPrograms("vv", NULL, NULL, CheckAsksTheManager);
}

/* ---- No display, lost display ------------------------------------------------ */

static int g_nCalls;

static BOOL CountWindow(HWND hwnd, ULONG ulParam)
{
    (void)hwnd;
    (void)ulParam;
    g_nCalls++;
    return TRUE;
}

/* Every call on the given windows finds nothing and does nothing; 1 when
 * so (what differs is told on stderr). */
static int AllCallsDoNothing(const uint32_t *pwnd, int nWindows)
{
    ULONG ulPid;
    int fOk = 1;
    int nRound;
    int i;

    for (nRound = 0; nRound < 2; nRound++) {
        g_nCalls = 0;
        PlatEnumWindows(CountWindow, 0);
        if (g_nCalls != 0) {
            fprintf(stderr, "enumeration found %d windows\n", g_nCalls);
            fOk = 0;
        }
        for (i = 0; i < nWindows; i++) {
            ulPid = 0xDEADBEEFUL;
            if (PlatGetWindowProcessId(Hwnd(pwnd[i]), &ulPid) || ulPid != 0xDEADBEEFUL) {
                fprintf(stderr, "process of 0x%x told\n", (unsigned)pwnd[i]);
                fOk = 0;
            }
            if (PlatIsWindowVisible(Hwnd(pwnd[i]))) {
                fprintf(stderr, "0x%x visible\n", (unsigned)pwnd[i]);
                fOk = 0;
            }
            PlatCloseWindow(Hwnd(pwnd[i]));
            PlatPostMessage(Hwnd(pwnd[i]), 1);
            PlatSetForegroundWindow(Hwnd(pwnd[i]));
        }
    }
    return fOk;
}

static int CheckWithoutDisplay(const char *pszDisplay, const uint32_t *pwnd, int nWindows)
{
    if (pszDisplay == NULL)
        unsetenv("DISPLAY");
    else
        setenv("DISPLAY", pszDisplay, 1);
    return AllCallsDoNothing(pwnd, nWindows);
}

TEST(X11NoDisplay, EveryCallIsASilentNoOp)
{
    static const char *const apszDisplays[] = {NULL, "", ":4093", "no such host::x",
                                               "/nonexistent/socket:0"};
    TESTX x;
    uint32_t awnd[3];

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    /* Real windows of the test's display (made on the test's own
     * connection), that the backend must not reach when it has none. */
    ASSERT_TRUE(TestXOpen(&x, NULL));
    awnd[0] = x.wndRoot;
    awnd[1] = TestXCreateWindow(&x, 0, 0);
    awnd[2] = TestXCreateWindow(&x, 0, 0);
    xcb_map_window(x.pConn, awnd[2]);
    TestXSync(&x);
    for (size_t i = 0; i < sizeof(apszDisplays) / sizeof(apszDisplays[0]); i++) {
        SCOPED_TRACE(apszDisplays[i] != NULL ? apszDisplays[i] : "(unset)");
        EXPECT_EXIT(exit(CheckWithoutDisplay(apszDisplays[i], awnd, 3) ? 0 : 1),
                    testing::ExitedWithCode(0), "^$");
    }
    TestXClose(&x);
}

/* Start a private server (listening on TCP when fTcp), make it the
 * process's DISPLAY as pszHost:n and connect pY to it; 1 when so (what went
 * wrong is told on stderr). */
static int OpenPrivateServer(PRIVX *pPriv, int fTcp, const char *pszHost, TESTX *pY)
{
    char achDisplay[64];

    if (!PrivXStart(pPriv, fTcp)) {
        fprintf(stderr, "private Xvfb did not start\n");
        return 0;
    }
    snprintf(achDisplay, sizeof(achDisplay), "%s:%d", pszHost, pPriv->nDisplay);
    setenv("DISPLAY", achDisplay, 1);
    if (!TestXOpen(pY, achDisplay)) {
        fprintf(stderr, "cannot connect to the private Xvfb\n");
        PrivXStop(pPriv, SIGTERM);
        return 0;
    }
    return 1;
}

/* With a private server that dies while the connection is open. */
static int CheckServerGoesAway(void)
{
    PRIVX priv;
    TESTX y;
    uint32_t awnd[2];
    ULONG ulPid = 0;
    int fOk = 1;
    int fFound = 0;
    int i;

    if (!OpenPrivateServer(&priv, 0, "", &y))
        return 0;
    awnd[0] = y.wndRoot;
    awnd[1] = TestXCreateWindow(&y, 0, 0);
    xcb_map_window(y.pConn, awnd[1]);
    TestXSync(&y);

    /* First it works. */
    Enumerate(0);
    for (i = 0; i < g_seen.n; i++) {
        if (g_seen.awnd[i] == awnd[1])
            fFound = 1;
    }
    if (!fFound || !PlatIsWindowVisible(Hwnd(awnd[1])) ||
        !PlatGetWindowProcessId(Hwnd(awnd[1]), &ulPid) || ulPid != (ULONG)getpid()) {
        fprintf(stderr, "the private server's window was not seen\n");
        fOk = 0;
    }

    /* Then the server is gone: posting first, so that the next thing the
     * backend does is writing to a connection whose other end is closed. */
    PrivXStop(&priv, SIGKILL);
    PlatPostMessage(Hwnd(awnd[1]), 5);
    PlatPostMessage(Hwnd(awnd[1]), 6);
    if (!AllCallsDoNothing(awnd, 2))
        fOk = 0;
    TestXClose(&y);
    return fOk;
}

TEST(X11NoDisplay, ServerThatGoesAwayLeavesSilentNoOps)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(CheckServerGoesAway() ? 0 : 1), testing::ExitedWithCode(0), "^$");
}

/* ---- First use from many threads --------------------------------------------- */

#define FIRST_THREADS 8

typedef struct _FIRSTUSE {
    pthread_barrier_t barrier;
    ULONG ulPid;
    int anFound[FIRST_THREADS];
} FIRSTUSE;

static FIRSTUSE g_first;

static BOOL CountOwnWindow(HWND hwnd, ULONG ulThread)
{
    ULONG ulPid = 0;
    if (PlatGetWindowProcessId(hwnd, &ulPid) && ulPid == g_first.ulPid)
        g_first.anFound[ulThread]++;
    return TRUE;
}

static void *FirstUse(void *pArg)
{
    ULONG ulThread = (ULONG)(uintptr_t)pArg;
    pthread_barrier_wait(&g_first.barrier);
    PlatEnumWindows(CountOwnWindow, ulThread);
    return NULL;
}

/* In a fresh process: the connection is opened by whichever of the threads
 * comes first, and every one of them sees the same windows. */
static int CheckFirstUse(void)
{
    ZXCPROC a;
    pthread_t ath[FIRST_THREADS];
    int nExpect;
    int fOk = 1;
    int i;

    ZxcPrepare(&a);
    if (!ZxcStart(&a, "vvv", NULL, NULL)) {
        fprintf(stderr, "zxcwin did not get ready\n");
        ZxcStop(&a);
        return 0;
    }
    nExpect = a.nWindows;
    g_first.ulPid = (ULONG)a.pid;
    pthread_barrier_init(&g_first.barrier, NULL, FIRST_THREADS);
    for (i = 0; i < FIRST_THREADS; i++)
        pthread_create(&ath[i], NULL, FirstUse, (void *)(uintptr_t)i);
    for (i = 0; i < FIRST_THREADS; i++)
        pthread_join(ath[i], NULL);
    pthread_barrier_destroy(&g_first.barrier);
    for (i = 0; i < FIRST_THREADS; i++) {
        if (g_first.anFound[i] != nExpect) {
            fprintf(stderr, "thread %d found %d of %d windows\n", i, g_first.anFound[i], nExpect);
            fOk = 0;
        }
    }
    ZxcStop(&a);
    return fOk;
}

TEST(X11Connection, FirstUseFromManyThreadsAtOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(CheckFirstUse() ? 0 : 1), testing::ExitedWithCode(0), "^$");
}

/* A program monitor may be the first to use the backend, on a thread with
 * the smallest stack there is, and the display may have to be looked up by
 * host name (TCP). */
typedef struct _SMALLSTACK {
    uint32_t wnd;
    int fFound;
    ULONG ulPid;
} SMALLSTACK;

static SMALLSTACK g_small;

static BOOL FindSmallStackWindow(HWND hwnd, ULONG ulParam)
{
    (void)ulParam;
    if ((uint32_t)(uintptr_t)hwnd == g_small.wnd) {
        g_small.fFound = 1;
        PlatGetWindowProcessId(hwnd, &g_small.ulPid);
    }
    return TRUE;
}

static void *SmallStackFirstUse(void *pArg)
{
    (void)pArg;
    PlatPostMessage(Hwnd(g_small.wnd), 9);
    PlatEnumWindows(FindSmallStackWindow, 0);
    return NULL;
}

static int CheckSmallStack(void)
{
    PRIVX priv;
    TESTX y;
    pthread_attr_t attr;
    pthread_t th;
    xcb_client_message_event_t msg;
    int fOk = 1;

    if (!OpenPrivateServer(&priv, 1, "localhost", &y))
        return 0;
    g_small.wnd = TestXCreateWindow(&y, 0, 0);

    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN);
    if (pthread_create(&th, &attr, SmallStackFirstUse, NULL) != 0) {
        fprintf(stderr, "no thread\n");
        fOk = 0;
    } else {
        pthread_join(th, NULL);
        if (!g_small.fFound) {
            fprintf(stderr, "window not found\n");
            fOk = 0;
        }
        /* Over TCP the server cannot name the process; nothing stands in. */
        if (g_small.ulPid != 0) {
            fprintf(stderr, "process %lu told\n", (unsigned long)g_small.ulPid);
            fOk = 0;
        }
        if (!TestXWaitMessage(&y, TestXAtom(&y, "ZELMXCC_MESSAGE"), &msg, ZXC_WAIT_MS) ||
            msg.data.data32[0] != 9) {
            fprintf(stderr, "message not received\n");
            fOk = 0;
        }
    }
    pthread_attr_destroy(&attr);
    TestXClose(&y);
    PrivXStop(&priv, SIGTERM);
    return fOk;
}

TEST(X11Connection, FirstUseOnASmallStackOverTcp)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(CheckSmallStack() ? 0 : 1), testing::ExitedWithCode(0), "^$");
}
