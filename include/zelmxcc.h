/*
 * zelmxcc.h - class sessions: start a class program for a working-set
 * object, bring its window to the front, end it.
 *
 * Usable from C and C++. On Windows the calls use __stdcall and every
 * argument is 32 bits wide; on Linux they use the native convention.
 */
#ifndef ZELMXCC_H
#define ZELMXCC_H

#ifdef _WIN32
#include <windows.h>
#else
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Basic types: the same widths on every target ---------------------- */
#ifndef _WIN32
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint16_t USHORT;
typedef int32_t BOOL;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef void *PVOID;
typedef void *HANDLE;
/* A window handle. On Linux with X11 it carries an X window id. */
typedef void *HWND;
typedef char *PSZ;
typedef unsigned char *PUCHAR;
typedef PVOID *PPVOID;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define ZELMAPI
#else
typedef PVOID *PPVOID;
#define ZELMAPI __stdcall
#endif

/* A working-set object of the host's store; null stands for none. */
typedef PVOID SIMWSOBJ;

/* ---- Result codes ------------------------------------------------------- */
#define ZELMXCC_OK                 0UL
#define ZELMXCC_RC_OUT_OF_MEMORY   5001UL /* session record or command line not allocated */
#define ZELMXCC_RC_INVALID_PARAM   7001UL /* phObjId is null */
#define ZELMXCC_RC_FILE_ERROR      7027UL /* file, directory or drive operation failed */
#define ZELMXCC_RC_START_ERROR     7038UL /* class program or its monitor not started */

/*
 * The notification. On Windows, ulMsgNotify is posted to hWinNotify with
 * wParam 0 and lParam 0. On Linux with X11, hWinNotify carries the id of an
 * X window of the host's (cast: (HWND)(uintptr_t)window), and the library
 * sends it a ClientMessage event:
 *
 *   type    the atom named ZELMXCC_X11_MESSAGE ("ZELMXCC_MESSAGE")
 *   format  32
 *   data    data32[0] = ulMsgNotify, data32[1] = 0, data32[2] = 0
 *           (the message number, then the two message parameters)
 *
 * sent with no event mask, so it reaches the client that created the
 * window. Without a display nothing is sent.
 */
#define ZELMXCC_X11_MESSAGE "ZELMXCC_MESSAGE"

/* ---- The three calls ---------------------------------------------------- */

/*
 * Start the class program pszPathAndPgm in pszWorkingDir (null: the host's
 * current directory) with one inputs file for hWsObj as its argument.
 * On success *phObjId receives the class handle. When the program ends by
 * itself, ulMsgNotify is posted to hWinNotify (null: no notification).
 * pszParms and pReserved are accepted and not used.
 */
ULONG ZELMAPI SimOpsStartClass(HWND hWinNotify, ULONG ulMsgNotify, SIMWSOBJ hWsObj,
                               ULONG ulClassId, PSZ pszPathAndPgm, PSZ pszWorkingDir,
                               PSZ pszParms, PVOID pReserved, PPVOID phObjId);

/* Bring the first top-level window of the session's program to the front. */
ULONG ZELMAPI SimOpsSetClass(PVOID hObjId);

/*
 * End the session: close the program's visible windows, force it to exit
 * if it still runs, delete the inputs file the library wrote, free the
 * handle.
 */
ULONG ZELMAPI SimOpsEndClass(PVOID hObjId);

#ifdef __cplusplus
}
#endif

#endif /* ZELMXCC_H */
