/*
 * zelmplat.x11.cpp - top-level windows on X11, through XCB.
 *
 * A window handle carries the X window id: (HWND)(uintptr_t)window.
 *
 * Connection. One connection to the display named by DISPLAY, opened on
 * first use by whichever thread comes first and shared by all threads (XCB
 * connections are thread-safe). It is tried once per process: when DISPLAY
 * is missing or the server cannot be reached, every call from then on finds
 * no window and sends nothing. A connection that breaks later (the server
 * went away) is closed by the last thread that was using it and not opened
 * again: a process whose display is gone has no windows to talk to. Nothing
 * is ever printed; X errors are collected and dropped. Every wait is for a
 * reply of the server, and XCB ends such a wait with an error when the
 * connection breaks.
 *
 * Stacking order. With an EWMH window manager (its _NET_SUPPORTING_WM_CHECK
 * window names itself) the top-level windows are the managed client windows
 * of _NET_CLIENT_LIST_STACKING, which lists them bottom to top; when the
 * manager keeps only _NET_CLIENT_LIST, that one (oldest first) stands in.
 * A window the manager does not manage (never mapped, withdrawn) is then
 * not listed. Without a window manager they are the children of the root
 * window, which the server lists bottom to top as well. Either list is
 * walked backwards: topmost first.
 *
 * Visibility. A window counts as visible when its client has shown it and
 * not withdrawn it: it is mapped, whether viewable or unviewable (mapped,
 * but an ancestor such as a manager's frame is unmapped, e.g. minimised or
 * on another desktop), or the window manager holds it iconified (WM_STATE
 * IconicState; a manager that minimises by unmapping the client window
 * itself). A window that was never mapped, or was withdrawn, is hidden.
 *
 * Process. The server's own record of the client that created the window
 * (X-Resource extension, local client pid) is taken first: a client cannot
 * fake it. Only when the server cannot tell (no extension, a client over
 * TCP) is the window's _NET_WM_PID believed.
 */
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <xcb/xcb.h>
#include <xcb/res.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include "zelmplat.h"

/* ---- Process-wide state --------------------------------------------------- */

/* The atoms this backend uses, interned when the connection is opened. */
enum {
    X11_ATOM_WM_PROTOCOLS,
    X11_ATOM_WM_DELETE_WINDOW,
    X11_ATOM_WM_STATE,
    X11_ATOM_NET_SUPPORTING_WM_CHECK,
    X11_ATOM_NET_CLIENT_LIST_STACKING,
    X11_ATOM_NET_CLIENT_LIST,
    X11_ATOM_NET_ACTIVE_WINDOW,
    X11_ATOM_NET_WM_PID,
    X11_ATOM_ZELMXCC_MESSAGE,
    X11_ATOM_COUNT
};

static const char *const g_apszAtomNames[X11_ATOM_COUNT] = {
    "WM_PROTOCOLS",
    "WM_DELETE_WINDOW",
    "WM_STATE",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_CLIENT_LIST_STACKING",
    "_NET_CLIENT_LIST",
    "_NET_ACTIVE_WINDOW",
    "_NET_WM_PID",
    ZELMXCC_X11_MESSAGE,
};

/* WM_STATE value of a window its manager holds iconified (ICCCM). */
#define X11_ICONIC_STATE 3UL

/* _NET_ACTIVE_WINDOW source indication: a pager, or the user directly. */
#define X11_SOURCE_PAGER 2UL

/* Longest window list read from a property, in windows. */
#define X11_MAX_LIST 0x100000UL

/* Everything below is guarded by g_mtxX11. The connection, the root and the
 * atoms are set once, before the connection is handed to any caller, and
 * only read after that. */
static pthread_mutex_t g_mtxX11 = PTHREAD_MUTEX_INITIALIZER;
static xcb_connection_t *g_pX11Conn;          /* open and usable, or null */
static xcb_window_t g_wndX11Root;             /* root of the default screen */
static xcb_atom_t g_aX11Atoms[X11_ATOM_COUNT];
static BOOL g_fX11Res;                        /* X-Resource 1.2 or later */
static BOOL g_fX11Tried;                      /* the one opening was tried */
static BOOL g_fX11Broken;                     /* broken or unloading: close it */
static ULONG g_ulX11Users;                    /* calls using the connection now */

/* A caller's hold on the connection, with its guard against SIGPIPE. */
typedef struct _X11USE {
    sigset_t setOld;       /* the thread's signal mask before */
    BOOL fPipePending;     /* SIGPIPE was pending before: not ours to take */
} X11USE, *PX11USE;

/* ---- Connection ----------------------------------------------------------- */

/* Open the display, learn the root and intern the atoms; on failure leave
 * no connection behind. Runs once, while the thread that waits for it
 * holds g_mtxX11. */
static void X11OpenHere(void)
{
    xcb_connection_t *pConn;
    xcb_screen_iterator_t itScreen;
    xcb_intern_atom_cookie_t aCookies[X11_ATOM_COUNT];
    xcb_intern_atom_reply_t *pAtom;
    const xcb_query_extension_reply_t *pExt;
    xcb_res_query_version_cookie_t ckVersion = {0};
    xcb_res_query_version_reply_t *pVersion;
    int nScreen = 0;
    int i;
    BOOL fOk = TRUE;
    BOOL fVersion = FALSE;

    pConn = xcb_connect(NULL, &nScreen);
    if (xcb_connection_has_error(pConn)) {
        xcb_disconnect(pConn);
        return;
    }

    itScreen = xcb_setup_roots_iterator(xcb_get_setup(pConn));
    for (i = 0; i < nScreen && itScreen.rem > 0; i++)
        xcb_screen_next(&itScreen);
    if (itScreen.rem <= 0) {
        xcb_disconnect(pConn);
        return;
    }
    g_wndX11Root = itScreen.data->root;

    xcb_prefetch_extension_data(pConn, &xcb_res_id);
    for (i = 0; i < X11_ATOM_COUNT; i++)
        aCookies[i] = xcb_intern_atom(pConn, 0, (uint16_t)strlen(g_apszAtomNames[i]),
                                      g_apszAtomNames[i]);
    pExt = xcb_get_extension_data(pConn, &xcb_res_id);
    if (pExt != NULL && pExt->present) {
        ckVersion = xcb_res_query_version(pConn, 1, 2);
        fVersion = TRUE;
    }

    for (i = 0; i < X11_ATOM_COUNT; i++) {
        pAtom = xcb_intern_atom_reply(pConn, aCookies[i], NULL);
        if (pAtom == NULL)
            fOk = FALSE;
        else
            g_aX11Atoms[i] = pAtom->atom;
        free(pAtom);
    }

    g_fX11Res = FALSE;
    if (fVersion) {
        pVersion = xcb_res_query_version_reply(pConn, ckVersion, NULL);
        if (pVersion != NULL &&
            (pVersion->server_major > 1 ||
             (pVersion->server_major == 1 && pVersion->server_minor >= 2)))
            g_fX11Res = TRUE;
        free(pVersion);
    }

    if (!fOk || xcb_connection_has_error(pConn)) {
        xcb_disconnect(pConn);
        return;
    }
    g_pX11Conn = pConn;
}

static void *X11OpenThread(void *pArg)
{
    (void)pArg;
    X11OpenHere();
    return NULL;
}

/*
 * Open the connection. The first caller may be a thread with a small stack
 * (a program monitor), while connecting may resolve a host name and read
 * the authority file: that is done on a thread of its own with the
 * system's default stack, and waited for. g_mtxX11 held.
 */
static void X11Open(void)
{
    pthread_t thOpen;

    if (pthread_create(&thOpen, NULL, X11OpenThread, NULL) == 0)
        pthread_join(thOpen, NULL);
    else
        X11OpenHere();
}

/* Close a broken connection once nobody uses it. g_mtxX11 held. */
static void X11Retire(void)
{
    if (g_fX11Broken && g_ulX11Users == 0 && g_pX11Conn != NULL) {
        xcb_disconnect(g_pX11Conn);
        g_pX11Conn = NULL;
    }
}

/*
 * Take a hold on the connection, opening it on first use; null when there
 * is none. While held, SIGPIPE is blocked in the calling thread (and so in
 * the thread that opens the connection), so that a server that vanishes in
 * the middle of a write breaks the connection instead of ending the
 * process. Give the hold back with X11Release.
 */
static xcb_connection_t *X11Acquire(PX11USE pUse)
{
    xcb_connection_t *pConn = NULL;
    xcb_generic_event_t *pEvent;
    sigset_t setPipe;
    sigset_t setPending;

    sigemptyset(&setPipe);
    sigaddset(&setPipe, SIGPIPE);
    sigemptyset(&setPending);
    sigpending(&setPending);
    pUse->fPipePending = sigismember(&setPending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &setPipe, &pUse->setOld);

    pthread_mutex_lock(&g_mtxX11);
    if (!g_fX11Tried) {
        g_fX11Tried = TRUE;
        X11Open();
    }
    if (g_pX11Conn != NULL && !g_fX11Broken && xcb_connection_has_error(g_pX11Conn))
        g_fX11Broken = TRUE;
    X11Retire();
    if (g_pX11Conn != NULL && !g_fX11Broken) {
        g_ulX11Users++;
        pConn = g_pX11Conn;
    }
    pthread_mutex_unlock(&g_mtxX11);

    if (pConn == NULL) {
        pthread_sigmask(SIG_SETMASK, &pUse->setOld, NULL);
    } else {
        /* Nothing here reads events; drop what the server queued for us
         * (errors of requests sent without waiting, keyboard mapping
         * changes) so that it does not pile up. */
        while ((pEvent = xcb_poll_for_event(pConn)) != NULL)
            free(pEvent);
    }
    return pConn;
}

static void X11Release(xcb_connection_t *pConn, PX11USE pUse)
{
    sigset_t setPipe;
    sigset_t setPending;
    struct timespec tsNone;

    if (!pUse->fPipePending) {
        sigemptyset(&setPending);
        sigpending(&setPending);
        if (sigismember(&setPending, SIGPIPE) == 1) {
            sigemptyset(&setPipe);
            sigaddset(&setPipe, SIGPIPE);
            tsNone.tv_sec = 0;
            tsNone.tv_nsec = 0;
            sigtimedwait(&setPipe, NULL, &tsNone);
        }
    }
    pthread_sigmask(SIG_SETMASK, &pUse->setOld, NULL);

    pthread_mutex_lock(&g_mtxX11);
    g_ulX11Users--;
    if (xcb_connection_has_error(pConn))
        g_fX11Broken = TRUE;
    X11Retire();
    pthread_mutex_unlock(&g_mtxX11);
}

/* When the library is unloaded (or the process ends), close the connection,
 * at once when idle, else by its last user. */
__attribute__((destructor)) static void X11Unload(void)
{
    pthread_mutex_lock(&g_mtxX11);
    g_fX11Tried = TRUE;
    g_fX11Broken = TRUE;
    X11Retire();
    pthread_mutex_unlock(&g_mtxX11);
}

/* ---- Helpers -------------------------------------------------------------- */

static xcb_window_t X11Window(HWND hwnd)
{
    return (xcb_window_t)(uintptr_t)hwnd;
}

/* A window property of type WINDOW holding one window, or XCB_NONE. */
static xcb_window_t X11GetWindowProperty(xcb_connection_t *pConn, xcb_window_t wnd,
                                         xcb_atom_t atom)
{
    xcb_get_property_reply_t *pReply;
    xcb_window_t wndValue = XCB_NONE;

    pReply = xcb_get_property_reply(
        pConn, xcb_get_property(pConn, 0, wnd, atom, XCB_ATOM_WINDOW, 0, 1), NULL);
    if (pReply == NULL || !xcb_ewmh_get_window_from_reply(&wndValue, pReply))
        wndValue = XCB_NONE;
    free(pReply);
    return wndValue;
}

/* Whether an EWMH window manager runs: the root names a check window, and
 * that window names itself (a stale property of a manager that has gone
 * names a window that is gone, or that does not name itself). */
static BOOL X11HaveWindowManager(xcb_connection_t *pConn)
{
    xcb_atom_t atomCheck = g_aX11Atoms[X11_ATOM_NET_SUPPORTING_WM_CHECK];
    xcb_window_t wndCheck;
    BOOL fManager = FALSE;

    wndCheck = X11GetWindowProperty(pConn, g_wndX11Root, atomCheck);
    if (wndCheck != XCB_NONE && X11GetWindowProperty(pConn, wndCheck, atomCheck) == wndCheck)
        fManager = TRUE;
    return fManager;
}

/* Send a 32-bit client message without waiting for the server; an error it
 * causes is dropped. */
static void X11SendMessage(xcb_connection_t *pConn, xcb_window_t wndDest, uint32_t ulEventMask,
                           xcb_window_t wndAbout, xcb_atom_t atomType, uint32_t ul0,
                           uint32_t ul1, uint32_t ul2)
{
    xcb_client_message_event_t evMsg;
    xcb_void_cookie_t ckSend;

    memset(&evMsg, 0, sizeof(evMsg));
    evMsg.response_type = XCB_CLIENT_MESSAGE;
    evMsg.format = 32;
    evMsg.window = wndAbout;
    evMsg.type = atomType;
    evMsg.data.data32[0] = ul0;
    evMsg.data.data32[1] = ul1;
    evMsg.data.data32[2] = ul2;
    ckSend = xcb_send_event_checked(pConn, 0, wndDest, ulEventMask, (const char *)&evMsg);
    xcb_discard_reply(pConn, ckSend.sequence);
}

/* ---- Top-level windows ---------------------------------------------------- */

void PlatEnumWindows(PFNPLATWINDOW pfn, ULONG ulParam)
{
    X11USE use;
    xcb_connection_t *pConn;
    xcb_ewmh_get_windows_reply_t list;
    xcb_get_property_reply_t *pProp;
    xcb_query_tree_reply_t *pTree = NULL;
    xcb_window_t *pwnd = NULL;
    BOOL fList = FALSE;
    int nWindows = 0;
    int i;

    if (pfn == NULL)
        return;
    pConn = X11Acquire(&use);
    if (pConn == NULL)
        return;

    if (X11HaveWindowManager(pConn)) {
        pProp = xcb_get_property_reply(
            pConn,
            xcb_get_property(pConn, 0, g_wndX11Root,
                             g_aX11Atoms[X11_ATOM_NET_CLIENT_LIST_STACKING], XCB_ATOM_WINDOW, 0,
                             X11_MAX_LIST),
            NULL);
        fList = pProp != NULL && xcb_ewmh_get_windows_from_reply(&list, pProp);
        if (!fList) {
            free(pProp);
            pProp = xcb_get_property_reply(
                pConn,
                xcb_get_property(pConn, 0, g_wndX11Root, g_aX11Atoms[X11_ATOM_NET_CLIENT_LIST],
                                 XCB_ATOM_WINDOW, 0, X11_MAX_LIST),
                NULL);
            fList = pProp != NULL && xcb_ewmh_get_windows_from_reply(&list, pProp);
            if (!fList)
                free(pProp);
        }
        if (fList) {
            pwnd = list.windows;
            nWindows = (int)list.windows_len;
        }
    }
    if (!fList) {
        pTree = xcb_query_tree_reply(pConn, xcb_query_tree(pConn, g_wndX11Root), NULL);
        if (pTree != NULL) {
            pwnd = xcb_query_tree_children(pTree);
            nWindows = xcb_query_tree_children_length(pTree);
        }
    }
    X11Release(pConn, &use);

    /* The lists hold the windows bottom to top: walk them backwards. The
     * callback runs with no hold on the connection, free to call back. */
    for (i = nWindows - 1; i >= 0; i--) {
        if (!pfn((HWND)(uintptr_t)pwnd[i], ulParam))
            break;
    }

    if (fList)
        xcb_ewmh_get_windows_reply_wipe(&list);
    free(pTree);
}

BOOL PlatGetWindowProcessId(HWND hwnd, ULONG *pulProcId)
{
    X11USE use;
    xcb_connection_t *pConn;
    xcb_window_t wnd = X11Window(hwnd);
    xcb_res_client_id_spec_t specClient;
    xcb_res_query_client_ids_cookie_t ckIds = {0};
    xcb_res_query_client_ids_reply_t *pIds;
    xcb_res_client_id_value_iterator_t itId;
    xcb_get_property_cookie_t ckPid;
    xcb_get_property_reply_t *pPid;
    uint32_t ulPid = 0;
    BOOL fFound = FALSE;

    if (wnd == XCB_NONE || pulProcId == NULL)
        return FALSE;
    pConn = X11Acquire(&use);
    if (pConn == NULL)
        return FALSE;

    /* Both questions go out at once; the second answer is used only when
     * the server cannot name the creator's process. */
    if (g_fX11Res) {
        specClient.client = wnd;
        specClient.mask = XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID;
        ckIds = xcb_res_query_client_ids(pConn, 1, &specClient);
    }
    ckPid = xcb_get_property(pConn, 0, wnd, g_aX11Atoms[X11_ATOM_NET_WM_PID], XCB_ATOM_CARDINAL,
                             0, 1);

    if (g_fX11Res) {
        pIds = xcb_res_query_client_ids_reply(pConn, ckIds, NULL);
        if (pIds != NULL) {
            for (itId = xcb_res_query_client_ids_ids_iterator(pIds); itId.rem > 0;
                 xcb_res_client_id_value_next(&itId)) {
                if ((itId.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
                    xcb_res_client_id_value_value_length(itId.data) >= 1) {
                    ulPid = *xcb_res_client_id_value_value(itId.data);
                    break;
                }
            }
        }
        free(pIds);
    }

    if (ulPid != 0) {
        xcb_discard_reply(pConn, ckPid.sequence);
    } else {
        pPid = xcb_get_property_reply(pConn, ckPid, NULL);
        if (pPid == NULL || !xcb_ewmh_get_cardinal_from_reply(&ulPid, pPid))
            ulPid = 0;
        free(pPid);
    }
    X11Release(pConn, &use);

    if (ulPid != 0) {
        *pulProcId = (ULONG)ulPid;
        fFound = TRUE;
    }
    return fFound;
}

BOOL PlatIsWindowVisible(HWND hwnd)
{
    X11USE use;
    xcb_connection_t *pConn;
    xcb_window_t wnd = X11Window(hwnd);
    xcb_atom_t atomState;
    xcb_get_window_attributes_cookie_t ckAttr;
    xcb_get_window_attributes_reply_t *pAttr;
    xcb_get_property_cookie_t ckState;
    xcb_get_property_reply_t *pState;
    BOOL fVisible = FALSE;

    if (wnd == XCB_NONE)
        return FALSE;
    pConn = X11Acquire(&use);
    if (pConn == NULL)
        return FALSE;
    atomState = g_aX11Atoms[X11_ATOM_WM_STATE];

    ckAttr = xcb_get_window_attributes(pConn, wnd);
    ckState = xcb_get_property(pConn, 0, wnd, atomState, atomState, 0, 1);

    pAttr = xcb_get_window_attributes_reply(pConn, ckAttr, NULL);
    if (pAttr != NULL && pAttr->map_state != XCB_MAP_STATE_UNMAPPED)
        fVisible = TRUE;
    free(pAttr);

    pState = xcb_get_property_reply(pConn, ckState, NULL);
    if (!fVisible && pState != NULL && pState->type == atomState && pState->format == 32 &&
        xcb_get_property_value_length(pState) >= 4 &&
        *(uint32_t *)xcb_get_property_value(pState) == X11_ICONIC_STATE)
        fVisible = TRUE;
    free(pState);

    X11Release(pConn, &use);
    return fVisible;
}

void PlatCloseWindow(HWND hwnd)
{
    X11USE use;
    xcb_connection_t *pConn;
    xcb_window_t wnd = X11Window(hwnd);
    xcb_icccm_get_wm_protocols_reply_t protocols;
    xcb_client_message_event_t evMsg;
    xcb_void_cookie_t ckSend;
    xcb_atom_t atomDelete;
    uint32_t i;
    BOOL fDelete = FALSE;

    if (wnd == XCB_NONE)
        return;
    pConn = X11Acquire(&use);
    if (pConn == NULL)
        return;
    atomDelete = g_aX11Atoms[X11_ATOM_WM_DELETE_WINDOW];

    if (xcb_icccm_get_wm_protocols_reply(
            pConn, xcb_icccm_get_wm_protocols(pConn, wnd, g_aX11Atoms[X11_ATOM_WM_PROTOCOLS]),
            &protocols, NULL)) {
        for (i = 0; i < protocols.atoms_len; i++) {
            if (protocols.atoms[i] == atomDelete)
                fDelete = TRUE;
        }
        xcb_icccm_get_wm_protocols_reply_wipe(&protocols);
    }

    if (fDelete) {
        memset(&evMsg, 0, sizeof(evMsg));
        evMsg.response_type = XCB_CLIENT_MESSAGE;
        evMsg.format = 32;
        evMsg.window = wnd;
        evMsg.type = g_aX11Atoms[X11_ATOM_WM_PROTOCOLS];
        evMsg.data.data32[0] = atomDelete;
        evMsg.data.data32[1] = XCB_CURRENT_TIME;
        /* An empty event mask sends it to the window's creator. Waiting for
         * the check is a round trip: when it returns, the server has handed
         * the request to the client. */
        ckSend = xcb_send_event_checked(pConn, 0, wnd, XCB_EVENT_MASK_NO_EVENT,
                                        (const char *)&evMsg);
        free(xcb_request_check(pConn, ckSend));
    }
    X11Release(pConn, &use);
}

void PlatPostMessage(HWND hwnd, ULONG ulMsg)
{
    X11USE use;
    xcb_connection_t *pConn;
    xcb_window_t wnd = X11Window(hwnd);

    if (wnd == XCB_NONE)
        return;
    pConn = X11Acquire(&use);
    if (pConn == NULL)
        return;
    /* The message number, then its two parameters, both 0; to the window's
     * creator alone (empty event mask). */
    X11SendMessage(pConn, wnd, XCB_EVENT_MASK_NO_EVENT, wnd,
                   g_aX11Atoms[X11_ATOM_ZELMXCC_MESSAGE], (uint32_t)ulMsg, 0, 0);
    xcb_flush(pConn);
    X11Release(pConn, &use);
}

void PlatSetForegroundWindow(HWND hwnd)
{
    X11USE use;
    xcb_connection_t *pConn;
    xcb_window_t wnd = X11Window(hwnd);
    xcb_void_cookie_t ckRaise;
    xcb_void_cookie_t ckFocus;
    uint32_t ulStackMode = XCB_STACK_MODE_ABOVE;

    if (wnd == XCB_NONE)
        return;
    pConn = X11Acquire(&use);
    if (pConn == NULL)
        return;

    if (X11HaveWindowManager(pConn)) {
        /* The manager decides: ask it as a pager would (EWMH). */
        X11SendMessage(pConn, g_wndX11Root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       wnd, g_aX11Atoms[X11_ATOM_NET_ACTIVE_WINDOW], X11_SOURCE_PAGER,
                       XCB_CURRENT_TIME, XCB_NONE);
        xcb_flush(pConn);
    } else {
        /* Raise it and give it the focus. A window that is not viewable
         * cannot take the focus: that error is dropped with the others. The
         * check of the last request waits until both have been done. */
        ckRaise = xcb_configure_window_checked(pConn, wnd, XCB_CONFIG_WINDOW_STACK_MODE,
                                               &ulStackMode);
        xcb_discard_reply(pConn, ckRaise.sequence);
        ckFocus = xcb_set_input_focus_checked(pConn, XCB_INPUT_FOCUS_PARENT, wnd,
                                              XCB_CURRENT_TIME);
        free(xcb_request_check(pConn, ckFocus));
    }
    X11Release(pConn, &use);
}
