/*
 * test_x11_session.cpp - class sessions through libzelmxcc.so with real X
 * clients: the host's notification, the end call's close requests and
 * forced exit, and the activation. Runs once under a bare Xvfb and once
 * under openbox.
 */
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "x11test.h"
#include "zelmref.h"
#include "zelmxcc.h"

#define MAX_STACK 1024

/* One session of the library with its zxcwin. */
typedef struct _SESSION {
    ZXCPROC proc;     /* pid 0: the library's child, never collected here */
    SIMWSOBJ hObj;
    PVOID hSession;
    ULONG ulRC;
    int fReady;
} SESSION;

static HWND Hwnd(uint32_t wnd)
{
    return (HWND)(uintptr_t)wnd;
}

static uint32_t Wnd(const SESSION *pSession, int i)
{
    return pSession->proc.aWindows[i].wnd;
}

/* Start zxcwin as a class program and wait until its windows are in place. */
static int StartSession(SESSION *pSession, const char *pszKinds, const char *pszExtra, HWND hwnd,
                        ULONG ulMsg)
{
    char achCommand[1024];

    memset(pSession, 0, sizeof(*pSession));
    if (!ZxcPrepare(&pSession->proc))
        return 0;
    ZxcCommand(&pSession->proc, pszKinds, pszExtra, achCommand, sizeof(achCommand));
    pSession->hObj = ZelmWsCreateObj(0, FALSE);
    ZelmWsSetData(pSession->hObj, "zxc", 3);
    pSession->ulRC = SimOpsStartClass(hwnd, ulMsg, pSession->hObj, 0, achCommand, NULL, NULL,
                                      NULL, &pSession->hSession);
    if (pSession->ulRC != 0 || pSession->hSession == NULL)
        return 0;
    pSession->fReady = ZxcWaitReady(&pSession->proc, ZXC_WAIT_MS);
    if (!pSession->fReady)
        ZxcDumpLog(&pSession->proc, "not ready");
    return pSession->fReady;
}

/* End the session if still open, and clean up. */
static void EndSession(SESSION *pSession)
{
    if (pSession->hSession != NULL)
        SimOpsEndClass(pSession->hSession);
    pSession->hSession = NULL;
    if (pSession->hObj != NULL)
        ZelmWsDestroyObj(pSession->hObj);
    pSession->hObj = NULL;
    ZxcStop(&pSession->proc);
}

/* What a test checks with its two open sessions. */
typedef void (*PFNCHECKSESSIONS)(TESTX *pX, SESSION *pA, SESSION *pB);

/* With the test's own connection, start session a with the windows
 * pszKindsA and then session b with pszKindsB, both with the extra options
 * pszExtra (may be null) and without a host window; check them and end
 * them. */
static void RunWithSessions(const char *pszKindsA, const char *pszKindsB, const char *pszExtra,
                            PFNCHECKSESSIONS pfnCheck)
{
    TESTX x;
    SESSION a;
    SESSION b;

    memset(&a, 0, sizeof(a));
    memset(&b, 0, sizeof(b));
    ASSERT_TRUE(TestXOpen(&x, NULL));
    if (StartSession(&a, pszKindsA, pszExtra, NULL, 0) &&
        StartSession(&b, pszKindsB, pszExtra, NULL, 0))
        pfnCheck(&x, &a, &b);
    else
        ADD_FAILURE() << "the sessions did not start";
    EndSession(&a);
    EndSession(&b);
    TestXClose(&x);
}

typedef struct _GONECTX {
    pid_t pid;
} GONECTX;

static int IsProcessGone(void *pCtx)
{
    return !ZxcProcessExists(((GONECTX *)pCtx)->pid);
}

static int WaitProcessGone(pid_t pid)
{
    GONECTX gone;
    gone.pid = pid;
    return TestWaitFor(IsProcessGone, &gone, ZXC_WAIT_MS);
}

/* ---- Notification ------------------------------------------------------------ */

/* The host's window, made on a connection of the test's own, and the
 * library's messages to it: how many came of each number 0x500..0x5FF. */
typedef struct _HOST {
    TESTX x;
    xcb_atom_t atomMsg;
    uint32_t wnd;
    int anCount[0x100];
} HOST;

static int OpenHost(HOST *pHost)
{
    memset(pHost, 0, sizeof(*pHost));
    if (!TestXOpen(&pHost->x, NULL))
        return 0;
    pHost->atomMsg = TestXAtom(&pHost->x, "ZELMXCC_MESSAGE");
    pHost->wnd = TestXCreateWindow(&pHost->x, 0, 0);
    return 1;
}

/* Collect the library's messages to the host window until every one in
 * pulWanted has come (or the time runs out). */
static void CollectMessages(HOST *pHost, const ULONG *pulWanted, int nWanted)
{
    xcb_client_message_event_t msg;
    int nMissing;
    int i;

    for (;;) {
        nMissing = 0;
        for (i = 0; i < nWanted; i++) {
            if (pHost->anCount[pulWanted[i] - 0x500] == 0)
                nMissing++;
        }
        if (nMissing == 0)
            return;
        if (!TestXWaitMessage(&pHost->x, pHost->atomMsg, &msg, ZXC_WAIT_MS)) {
            ADD_FAILURE() << nMissing << " notification(s) did not come";
            return;
        }
        EXPECT_EQ(pHost->wnd, msg.window);
        EXPECT_EQ(32, msg.format);
        EXPECT_EQ(0u, msg.data.data32[1]) << "first parameter";
        EXPECT_EQ(0u, msg.data.data32[2]) << "second parameter";
        if (msg.data.data32[0] >= 0x500 && msg.data.data32[0] <= 0x5FF)
            pHost->anCount[msg.data.data32[0] - 0x500]++;
        else
            ADD_FAILURE() << "unexpected message " << msg.data.data32[0];
    }
}

TEST(X11Session, NotifiesOncePerProgramThatEndsByItself)
{
    static const ULONG aulFirst[] = {0x501, 0x502};
    static const ULONG aulSentinel[] = {0x505};
    HOST host;
    SESSION aSession[5];
    int i;

    memset(aSession, 0, sizeof(aSession));
    ASSERT_TRUE(OpenHost(&host));

    /* Two that end by themselves, one with a null window, and one that is
     * ended before it would. */
    EXPECT_TRUE(StartSession(&aSession[0], "v", "--exit-after 200", Hwnd(host.wnd), 0x501));
    EXPECT_TRUE(StartSession(&aSession[1], "vh", "--exit-after 400 --exit-code 3", Hwnd(host.wnd),
                             0x502));
    EXPECT_TRUE(StartSession(&aSession[2], "v", "--exit-after 100", NULL, 0x504));
    EXPECT_TRUE(StartSession(&aSession[3], "v", NULL, Hwnd(host.wnd), 0x503));
    EXPECT_EQ(0u, SimOpsEndClass(aSession[3].hSession));
    aSession[3].hSession = NULL;

    CollectMessages(&host, aulFirst, 2);
    for (i = 0; i < 4; i++)
        EXPECT_TRUE(WaitProcessGone(aSession[i].proc.pidReported)) << "session " << i;

    /* A message for the ended session, or for the null window, would have
     * come by the time one started afterwards ends and is announced. */
    EXPECT_TRUE(StartSession(&aSession[4], "v", "--exit-after 300", Hwnd(host.wnd), 0x505));
    CollectMessages(&host, aulSentinel, 1);

    EXPECT_EQ(1, host.anCount[0x01]);
    EXPECT_EQ(1, host.anCount[0x02]);
    EXPECT_EQ(0, host.anCount[0x03]) << "ended by the host: no notification";
    EXPECT_EQ(0, host.anCount[0x04]) << "null window: nothing posted";
    EXPECT_EQ(1, host.anCount[0x05]);

    for (i = 0; i < 5; i++)
        EndSession(&aSession[i]);
    TestXClose(&host.x);
}

/* ---- End: close requests, then the forced exit ---------------------------- */

static void CheckEndClass(TESTX *pX, SESSION *pA, SESSION *pB)
{
    static ZXCLOG aLog[ZXC_MAX_LOG];
    static RECORDER rec;
    uint32_t awndStack[MAX_STACK];
    std::string strExpect;
    std::string strLogged;
    std::string strDelivered;
    std::string strInputs;
    long long tStartUs;
    long long tEndUs;
    int nSlackMs = RecorderClockSlackMs();
    int nVisible = 0;
    int nStack;
    int iWindow;
    int iPrev = -1;
    int n;
    int i;
    char chKind;

    /* Each visible window of a, topmost first, that takes part: v and i
     * (i is mapped without a manager, iconified under one). n is visible
     * but does not take part; h is hidden. */
    nStack = TestXStack(pX, awndStack, MAX_STACK);
    for (i = 0; i < nStack; i++) {
        iWindow = ZxcIndexOf(&pA->proc, awndStack[i]);
        if (iWindow < 0)
            continue;
        chKind = pA->proc.aWindows[iWindow].chKind;
        if (chKind != 'h')
            nVisible++;
        if (chKind == 'v' || chKind == 'i')
            strExpect += std::to_string(iWindow);
    }
    ASSERT_FALSE(strExpect.empty());

    n = ZxcReadLog(&pA->proc, aLog, ZXC_MAX_LOG);
    ASSERT_GT(n, 0);
    ASSERT_STREQ("start", aLog[0].achWhat);
    strInputs = aLog[0].achText;
    ASSERT_EQ(0, access(strInputs.c_str(), F_OK)) << "the inputs file " << strInputs;

    ASSERT_TRUE(RecorderStart(&rec)) << "no X RECORD";
    tStartUs = TestNowUs();
    EXPECT_EQ(0u, SimOpsEndClass(pA->hSession));
    tEndUs = TestNowUs();
    pA->hSession = NULL;
    RecorderStop(&rec);

    /* The program ignores the requests: it was there to log each of them,
     * and then it was made to exit. */
    EXPECT_TRUE(WaitProcessGone(pA->proc.pidReported)) << "no forced exit";
    n = ZxcReadLog(&pA->proc, aLog, ZXC_MAX_LOG);
    for (i = 0; i < n; i++) {
        if (strcmp(aLog[i].achWhat, "close") == 0) {
            EXPECT_EQ(Wnd(pA, aLog[i].iIndex), aLog[i].wnd);
            strLogged += std::to_string(aLog[i].iIndex);
        }
    }
    EXPECT_EQ(strExpect, strLogged) << "window indexes in the order asked";

    /* The gaps, by the server's clock when it handed each request out: a
     * pause of 100 ms follows each request before the next is sent. */
    for (i = 0; i < rec.n; i++) {
        iWindow = ZxcIndexOf(&pA->proc, rec.a[i].wnd);
        EXPECT_GE(iWindow, 0) << "a request to a window not of the program";
        if (iWindow < 0)
            continue;
        strDelivered += std::to_string(iWindow);
        if (iPrev >= 0) {
            EXPECT_GE((long)(rec.a[i].ulServerMs - rec.a[iPrev].ulServerMs), 100L - nSlackMs)
                << "close requests closer than 100 ms, before window " << iWindow;
        }
        iPrev = i;
    }
    EXPECT_EQ(strExpect, strDelivered) << "as the server delivered them";
    /* A pause follows each visible window of the program. */
    EXPECT_GE(tEndUs - tStartUs, (long long)nVisible * 100000LL);
    EXPECT_NE(0, access(strInputs.c_str(), F_OK)) << "the inputs file is deleted";

    /* The other program saw nothing of it. */
    EXPECT_TRUE(ZxcProcessExists(pB->proc.pidReported));
    EXPECT_EQ(0, ZxcCountLog(&pB->proc, "close"));
    for (i = 0; i < pB->proc.nWindows; i++)
        EXPECT_EQ(XCB_MAP_STATE_VIEWABLE, TestXMapState(pX, Wnd(pB, i)));
}

TEST(X11Session, EndClosesEachVisibleWindowInTurnThenForcesTheExit)
{
    RunWithSessions("vnhvi", "vv", "--on-close ignore", CheckEndClass);
}

/* A program that exits on the first request ends during the end call: its
 * monitor must still not announce it. */
TEST(X11Session, ProgramThatExitsOnTheRequestIsNotAnnounced)
{
    static const ULONG aulSentinel[] = {0x506};
    HOST host;
    SESSION a;
    SESSION sentinel;

    memset(&a, 0, sizeof(a));
    memset(&sentinel, 0, sizeof(sentinel));
    ASSERT_TRUE(OpenHost(&host));
    if (StartSession(&a, "vv", "--on-close exit", Hwnd(host.wnd), 0x507)) {
        EXPECT_EQ(0u, SimOpsEndClass(a.hSession));
        a.hSession = NULL;
        EXPECT_TRUE(WaitProcessGone(a.proc.pidReported));
        EXPECT_EQ(1, ZxcCountLog(&a.proc, "close")) << "it was gone after the first";
        EXPECT_TRUE(StartSession(&sentinel, "v", "--exit-after 300", Hwnd(host.wnd), 0x506));
        CollectMessages(&host, aulSentinel, 1);
        EXPECT_EQ(0, host.anCount[0x07]);
        EXPECT_EQ(1, host.anCount[0x06]);
    } else {
        ADD_FAILURE() << "the session did not start";
    }
    EndSession(&a);
    EndSession(&sentinel);
    TestXClose(&host.x);
}

/* ---- Activation --------------------------------------------------------------- */

static void CheckSetClass(TESTX *pX, SESSION *pA, SESSION *pB)
{
    uint32_t awnd[MAX_STACK];
    uint32_t awndBefore[MAX_STACK];
    uint32_t awndAfter[MAX_STACK];
    int nBefore;
    int nAfter;
    int n;
    FRONTCTX front;

    /* a's first window is its topmost: the one mapped last. b is above. */
    n = TestXStack(pX, awnd, MAX_STACK);
    nBefore = TestXFilter(awnd, n, &pB->proc, awndBefore);
    ASSERT_EQ(2, nBefore);

    EXPECT_EQ(0u, SimOpsSetClass(pA->hSession));
    front.pX = pX;
    front.pA = &pA->proc;
    front.pB = &pB->proc;
    front.wnd = Wnd(pA, 1);
    EXPECT_TRUE(TestWaitFor(TestXIsInFront, &front, ZXC_WAIT_MS)) << "a's first window in front";

    n = TestXStack(pX, awnd, MAX_STACK);
    nAfter = TestXFilter(awnd, n, &pB->proc, awndAfter);
    ASSERT_EQ(nBefore, nAfter);
    for (int i = 0; i < nBefore; i++)
        EXPECT_EQ(awndBefore[i], awndAfter[i]) << "b's windows keep their order";
    for (int i = 0; i < pB->proc.nWindows; i++)
        EXPECT_EQ(XCB_MAP_STATE_VIEWABLE, TestXMapState(pX, Wnd(pB, i)));
    EXPECT_EQ(0, ZxcCountLog(&pB->proc, "close"));
    EXPECT_EQ(0, ZxcCountLog(&pB->proc, "message"));
    EXPECT_EQ(0, ZxcCountLog(&pA->proc, "close"));

    /* And back to b. */
    EXPECT_EQ(0u, SimOpsSetClass(pB->hSession));
    front.wnd = Wnd(pB, 1);
    EXPECT_TRUE(TestWaitFor(TestXIsInFront, &front, ZXC_WAIT_MS)) << "b's first window in front";
}

TEST(X11Session, SetBringsTheProgramsFirstWindowToTheFront)
{
    RunWithSessions("vv", "vv", NULL, CheckSetClass);
}
