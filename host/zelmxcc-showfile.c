/*
 * zelmxcc-showfile - a small class program: it prints its inputs file on
 * standard output and shows it in a window for a while, then exits.
 *
 *   zelmxcc-showfile [--seconds S] INPUTS
 *
 * The window (on DISPLAY) shows the first lines of the file and takes part
 * in WM_DELETE_WINDOW: a close request ends the program at once. After S
 * seconds (default 2; 0 waits for a close request) it exits by itself, with
 * status 0. Without a display it prints the file, waits S seconds and
 * exits. Status 2 for bad arguments or an unreadable file.
 */
#define _POSIX_C_SOURCE 200809L

#include <ctype.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <xcb/xcb.h>

#define SHOW_MAX_BYTES  65536   /* bytes of the file read */
#define SHOW_MAX_LINES  24      /* lines drawn in the window */
#define SHOW_MAX_COLS   96      /* characters drawn per line */
#define SHOW_LINE_PX    15
#define SHOW_MARGIN_PX  10

static const char *g_pszSelf = "zelmxcc-showfile";

static long long NowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000LL + ts.tv_nsec / 1000000L;
}

static void Say(const char *pszText)
{
    printf("%s: %s\n", g_pszSelf, pszText);
    fflush(stdout);
}

static xcb_atom_t InternAtom(xcb_connection_t *pConn, const char *pszName)
{
    xcb_intern_atom_reply_t *pReply;
    xcb_atom_t atom = XCB_NONE;

    pReply = xcb_intern_atom_reply(
        pConn, xcb_intern_atom(pConn, 0, (uint16_t)strlen(pszName), pszName), NULL);
    if (pReply != NULL)
        atom = pReply->atom;
    free(pReply);
    return atom;
}

/* Draw the file's first lines, non-printing characters as dots. */
static void Draw(xcb_connection_t *pConn, xcb_window_t wnd, xcb_gcontext_t gc,
                 const char *pcData, size_t cbData)
{
    char acLine[SHOW_MAX_COLS];
    size_t of = 0;
    int nLine = 0;
    int cch;

    while (of < cbData && nLine < SHOW_MAX_LINES) {
        cch = 0;
        while (of < cbData && pcData[of] != '\n') {
            if (cch < SHOW_MAX_COLS)
                acLine[cch++] = isprint((unsigned char)pcData[of]) ? pcData[of] : '.';
            of++;
        }
        of++;
        xcb_image_text_8(pConn, (uint8_t)cch, wnd, gc, SHOW_MARGIN_PX,
                         (int16_t)(SHOW_MARGIN_PX + SHOW_LINE_PX * (nLine + 1)), acLine);
        nLine++;
    }
    xcb_flush(pConn);
}

int main(int argc, char **argv)
{
    double dSeconds = 2.0;
    const char *pszInputs = NULL;
    char *pcData;
    size_t cbData;
    FILE *pFile;
    int i;
    char *pchEnd;
    long long llDeadline;
    xcb_connection_t *pConn;
    xcb_screen_t *pScreen;
    xcb_window_t wnd;
    xcb_gcontext_t gc;
    xcb_font_t font;
    xcb_void_cookie_t ckFont;
    xcb_generic_error_t *pError;
    xcb_generic_event_t *pEvent;
    xcb_client_message_event_t *pMsg;
    xcb_atom_t atomProtocols;
    xcb_atom_t atomDelete;
    xcb_atom_t atomPid;
    uint32_t aulValues[3];
    uint32_t ulPid;
    int nScreen = 0;
    int nLines = 0;
    int nExit = -1;
    struct pollfd pfd;
    long long llLeft;
    char acTitle[512];
    char acText[600];

    for (i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            errno = 0;
            dSeconds = strtod(argv[++i], &pchEnd);
            if (errno != 0 || *pchEnd != '\0' || dSeconds < 0 || dSeconds > 86400) {
                fprintf(stderr, "%s: bad number of seconds %s\n", g_pszSelf, argv[i]);
                return 2;
            }
        } else if (pszInputs == NULL && (argv[i][0] != '-' || i == argc - 1)) {
            pszInputs = argv[i];
        } else {
            fprintf(stderr, "usage: %s [--seconds S] INPUTS\n", g_pszSelf);
            return 2;
        }
    }
    if (pszInputs == NULL) {
        fprintf(stderr, "usage: %s [--seconds S] INPUTS\n", g_pszSelf);
        return 2;
    }

    pFile = fopen(pszInputs, "rb");
    if (pFile == NULL) {
        fprintf(stderr, "%s: cannot read %s: %s\n", g_pszSelf, pszInputs, strerror(errno));
        return 2;
    }
    pcData = (char *)malloc(SHOW_MAX_BYTES);
    if (pcData == NULL) {
        fclose(pFile);
        return 2;
    }
    cbData = fread(pcData, 1, SHOW_MAX_BYTES, pFile);
    fclose(pFile);

    printf("%s: inputs file %s, %lu bytes:\n", g_pszSelf, pszInputs, (unsigned long)cbData);
    fwrite(pcData, 1, cbData, stdout);
    if (cbData > 0 && pcData[cbData - 1] != '\n')
        fputc('\n', stdout);
    fflush(stdout);
    for (i = 0; i < (int)cbData; i++)
        nLines += pcData[i] == '\n' || i == (int)cbData - 1;
    if (nLines > SHOW_MAX_LINES)
        nLines = SHOW_MAX_LINES;

    llDeadline = dSeconds > 0 ? NowMs() + (long long)(dSeconds * 1000.0) : -1;

    pConn = xcb_connect(NULL, &nScreen);
    if (xcb_connection_has_error(pConn)) {
        xcb_disconnect(pConn);
        Say("no X display: no window");
        if (llDeadline > 0) {
            struct timespec ts;
            ts.tv_sec = (time_t)(dSeconds);
            ts.tv_nsec = (long)((dSeconds - (double)ts.tv_sec) * 1e9);
            while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
            }
        }
        free(pcData);
        return 0;
    }
    {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(pConn));
        for (i = 0; i < nScreen && it.rem > 0; i++)
            xcb_screen_next(&it);
        pScreen = it.data;
    }

    atomProtocols = InternAtom(pConn, "WM_PROTOCOLS");
    atomDelete = InternAtom(pConn, "WM_DELETE_WINDOW");
    atomPid = InternAtom(pConn, "_NET_WM_PID");

    wnd = xcb_generate_id(pConn);
    aulValues[0] = pScreen->white_pixel;
    aulValues[1] = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_create_window(pConn, XCB_COPY_FROM_PARENT, wnd, pScreen->root, 40, 40, 640,
                      (uint16_t)(2 * SHOW_MARGIN_PX + SHOW_LINE_PX * (nLines + 1)), 1,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, pScreen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, aulValues);
    snprintf(acTitle, sizeof(acTitle), "%s: %s", g_pszSelf, pszInputs);
    xcb_change_property(pConn, XCB_PROP_MODE_REPLACE, wnd, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        (uint32_t)strlen(acTitle), acTitle);
    xcb_change_property(pConn, XCB_PROP_MODE_REPLACE, wnd, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof("zelmxcc-showfile\0Zelmxcc-showfile"),
                        "zelmxcc-showfile\0Zelmxcc-showfile");
    xcb_change_property(pConn, XCB_PROP_MODE_REPLACE, wnd, atomProtocols, XCB_ATOM_ATOM, 32, 1,
                        &atomDelete);
    ulPid = (uint32_t)getpid();
    xcb_change_property(pConn, XCB_PROP_MODE_REPLACE, wnd, atomPid, XCB_ATOM_CARDINAL, 32, 1,
                        &ulPid);

    /* The server's built-in "fixed" font; without it the window stays blank. */
    font = xcb_generate_id(pConn);
    ckFont = xcb_open_font_checked(pConn, font, 5, "fixed");
    pError = xcb_request_check(pConn, ckFont);
    gc = xcb_generate_id(pConn);
    aulValues[0] = pScreen->black_pixel;
    aulValues[1] = pScreen->white_pixel;
    aulValues[2] = font;
    xcb_create_gc(pConn, gc, wnd,
                  XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | (pError == NULL ? XCB_GC_FONT : 0),
                  aulValues);
    free(pError);
    xcb_map_window(pConn, wnd);
    xcb_flush(pConn);
    snprintf(acText, sizeof(acText), "window 0x%lx shown", (unsigned long)wnd);
    Say(acText);

    while (nExit < 0) {
        while (nExit < 0 && (pEvent = xcb_poll_for_event(pConn)) != NULL) {
            switch (pEvent->response_type & 0x7F) {
            case XCB_EXPOSE:
                if (((xcb_expose_event_t *)pEvent)->count == 0)
                    Draw(pConn, wnd, gc, pcData, cbData);
                break;
            case XCB_CLIENT_MESSAGE:
                pMsg = (xcb_client_message_event_t *)pEvent;
                if (pMsg->type == atomProtocols && pMsg->data.data32[0] == atomDelete) {
                    Say("closed by request");
                    nExit = 0;
                }
                break;
            default:
                break;
            }
            free(pEvent);
        }
        if (nExit >= 0)
            break;
        if (xcb_connection_has_error(pConn)) {
            Say("the display went away");
            nExit = 0;
            break;
        }
        llLeft = llDeadline >= 0 ? llDeadline - NowMs() : -1;
        if (llDeadline >= 0 && llLeft <= 0) {
            Say("time is up");
            nExit = 0;
            break;
        }
        pfd.fd = xcb_get_file_descriptor(pConn);
        pfd.events = POLLIN;
        pfd.revents = 0;
        poll(&pfd, 1, llLeft > 1000000 ? 1000000 : (int)llLeft);
    }

    xcb_disconnect(pConn);
    free(pcData);
    return nExit;
}
