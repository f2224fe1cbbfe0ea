/*
 * x11test.h - what the X11 tests share: the zxcwin fixture program (start,
 * wait until ready, read its log, stop), the test's own X connection with
 * a few questions to the server, private X servers, and waiting for a
 * condition with a deadline.
 */
#ifndef X11TEST_H
#define X11TEST_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include <xcb/xcb.h>

#define ZXC_MAX_WINDOWS 32
#define ZXC_MAX_LOG     256

/* Generous limit for anything the tests wait for (sanitizer builds are
 * slow); reaching it is a failure, never a pass. */
#define ZXC_WAIT_MS 15000

/* One window of a started zxcwin. */
typedef struct _ZXCWINDOW {
    int iIndex;
    char chKind;    /* v, n, h or i: see zxcwin.c */
    uint32_t wnd;
} ZXCWINDOW;

/* A zxcwin run: its files, process and windows. */
typedef struct _ZXCPROC {
    char achDir[128];
    char achLog[192];
    char achReady[192];
    char achInputs[192];
    pid_t pid;          /* the process, when this test started it */
    pid_t pidReported;  /* from the ready file */
    int fWm;            /* it saw an EWMH window manager */
    int nWindows;
    ZXCWINDOW aWindows[ZXC_MAX_WINDOWS];
    int fReaped;
    int nStatus;        /* waitpid status once reaped */
} ZXCPROC;

/* One line of the fixture's log. */
typedef struct _ZXCLOG {
    long long tUs;      /* CLOCK_MONOTONIC, microseconds */
    char achWhat[16];   /* start, ready, close, message, focus */
    int iIndex;         /* window index, -1 when none or unknown */
    uint32_t wnd;
    uint32_t aulData[4];/* message: type, d0, d1, d2 */
    int nPid;           /* start: the program's pid */
    char achText[200];  /* start: the inputs file named */
} ZXCLOG;

/* Make the run's directory and its (empty) inputs file. */
int ZxcPrepare(ZXCPROC *pProc);

/* The command line that starts zxcwin with these windows and extra
 * options (may be null), without the inputs file: for the library. */
void ZxcCommand(const ZXCPROC *pProc, const char *pszKinds, const char *pszExtra, char *pcOut,
                size_t cbOut);

/* Start zxcwin (prepared) with these windows and extra arguments (null
 * ended list, may be null); pszDisplay overrides DISPLAY when not null.
 * Waits until it is ready. */
int ZxcStart(ZXCPROC *pProc, const char *pszKinds, const char *const *ppszExtra,
             const char *pszDisplay);

/* Wait until the ready file exists and read it. */
int ZxcWaitReady(ZXCPROC *pProc, int nTimeoutMs);

/* Show the log on stderr, to explain a failure. */
void ZxcDumpLog(const ZXCPROC *pProc, const char *pszWhy);

/* Read the ready file once; 0 when it is not there yet. */
int ZxcReadReady(ZXCPROC *pProc);

/* Read the log; returns the number of lines (at most nMax). */
int ZxcReadLog(const ZXCPROC *pProc, ZXCLOG *pLog, int nMax);

/* Number of log lines of this kind. */
int ZxcCountLog(const ZXCPROC *pProc, const char *pszWhat);

/* Wait until a started process has ended; 1 when it has. */
int ZxcWaitExit(ZXCPROC *pProc, int nTimeoutMs);

/* Whether a process exists at all (a zombie does, a collected one not). */
int ZxcProcessExists(pid_t pid);

/* End the process if this test started it and it still runs (SIGKILL),
 * and remove the files. */
void ZxcStop(ZXCPROC *pProc);

/* Index of wnd among the run's windows, or -1. */
int ZxcIndexOf(const ZXCPROC *pProc, uint32_t wnd);

/* ---- The test's own X connection ----------------------------------------- */

typedef struct _TESTX {
    xcb_connection_t *pConn;
    xcb_window_t wndRoot;
    xcb_visualid_t visual;
} TESTX;

/* Connect to pszDisplay (null: DISPLAY). 1 on success. */
int TestXOpen(TESTX *pX, const char *pszDisplay);
void TestXClose(TESTX *pX);
xcb_atom_t TestXAtom(TESTX *pX, const char *pszName);

/* Whether an EWMH window manager runs (its check window names itself). */
int TestXHaveWm(TESTX *pX);

/* Children of the root, topmost first. Returns the count (at most nMax). */
int TestXRootStack(TESTX *pX, uint32_t *pwnd, int nMax);

/* _NET_CLIENT_LIST_STACKING, topmost first; -1 when there is none. */
int TestXClientStack(TESTX *pX, uint32_t *pwnd, int nMax);

/* The stacking the backend follows, topmost first: the manager's list when
 * one runs (-1 when it has none), the root's children when not. */
int TestXStack(TESTX *pX, uint32_t *pwnd, int nMax);

/* The windows of pProc in the order of the list given (topmost first). */
int TestXFilter(const uint32_t *pwndAll, int nAll, const ZXCPROC *pProc, uint32_t *pwnd);

uint32_t TestXActiveWindow(TESTX *pX);  /* _NET_ACTIVE_WINDOW of the root */
uint32_t TestXFocus(TESTX *pX);         /* the input focus */
int TestXMapState(TESTX *pX, uint32_t wnd); /* XCB_MAP_STATE_*, -1 if gone */

/* A plain window of the test's own, child of wndParent (0: the root). */
uint32_t TestXCreateWindow(TESTX *pX, uint32_t wndParent, uint32_t ulEventMask);

/* Raise wnd: through the window manager when one runs, directly if not. */
void TestXRaise(TESTX *pX, uint32_t wnd);

/* Round trip: everything sent before has been processed by the server. */
void TestXSync(TESTX *pX);

/* Next event within nTimeoutMs (caller frees), or null. */
xcb_generic_event_t *TestXWaitEvent(TESTX *pX, int nTimeoutMs);

/* Next client message of this type within nTimeoutMs, or 0. */
int TestXWaitMessage(TESTX *pX, xcb_atom_t atomType, xcb_client_message_event_t *pMsg,
                     int nTimeoutMs);

/* A window of one or two runs to wait for with TestWaitFor. */
typedef struct _FRONTCTX {
    TESTX *pX;
    const ZXCPROC *pA;
    const ZXCPROC *pB;  /* may be null */
    uint32_t wnd;
} FRONTCTX;

/* Whether ctx.wnd is the topmost of the runs' windows in TestXStack. */
int TestXIsTopOfRuns(void *pCtx);

/* Whether ctx.wnd is in front: active (under a manager), focused, and the
 * topmost of the runs' windows. */
int TestXIsInFront(void *pCtx);

/* ---- Private X servers ------------------------------------------------------ */

typedef struct _PRIVX {
    pid_t pid;
    int nDisplay;
} PRIVX;

/* Start an Xvfb of our own (with TCP when fTcp); 1 when it accepts. */
int PrivXStart(PRIVX *pPriv, int fTcp);

/* Stop it with nSignal (SIGTERM: orderly; SIGKILL: as if it crashed, its
 * lock and socket files are then removed here) and collect it. */
void PrivXStop(PRIVX *pPriv, int nSignal);

/* ---- Close requests as the server delivers them ----------------------------- */

/* With the X RECORD extension, on connections of its own: every
 * WM_DELETE_WINDOW request the server delivers, with the server's time of
 * delivery (milliseconds). Times taken by the server do not depend on when
 * the receiving client gets to read its events. */
#define REC_MAX 64

typedef struct _CLOSEREC {
    uint32_t wnd;
    uint32_t ulServerMs;
} CLOSEREC;

typedef struct _RECORDER {
    xcb_connection_t *pCtl;
    xcb_connection_t *pData;
    uint32_t context;
    unsigned int seqEnable;
    xcb_atom_t atomProtocols;
    xcb_atom_t atomDelete;
    pthread_t thRead;
    int fThread;
    int fStarted;       /* the server said recording has begun */
    pthread_mutex_t mtx;
    int n;
    CLOSEREC a[REC_MAX];
} RECORDER;

/* Start recording; 1 when it runs. */
int RecorderStart(RECORDER *pRec);

/* Stop recording (everything delivered before is in) and free it all. */
void RecorderStop(RECORDER *pRec);

/* Milliseconds the server's clock may lag: Xorg reads the coarse clock when
 * its resolution is 1 ms or finer (else the exact one). */
int RecorderClockSlackMs(void);

/* ---- Waiting ----------------------------------------------------------------- */

long long TestNowUs(void);

/* Poll pfn(pCtx) every few milliseconds until it is true or the time runs
 * out; returns its last answer. */
int TestWaitFor(int (*pfn)(void *pCtx), void *pCtx, int nTimeoutMs);

#endif /* X11TEST_H */
