/*
 * zelmxccint.h - the class session service's own records, process-wide
 * state and internal functions. Not part of the public interface; the
 * fault-injection tests link the core statically and look at these.
 */
#ifndef ZELMXCCINT_H
#define ZELMXCCINT_H

#include "zelmxcc.h"
#include "zelmws.h"
#include "zelmplat.h"

#define CCPATH_SIZE      261      /* path buffers: 260 characters and a terminator */
#define CCPATH_LIMIT     260
#define CCMSG_SIZE       200      /* error text buffers */
#define CCLOCK_TIMEOUT   30000UL  /* longest wait for a lock, ms */
#define CCTHREAD_STACK   0x4000UL /* stack of monitor and killer threads */
#define CCWRITE_PIECE    32000U   /* largest piece written to the inputs file at once */
#define CCCMDLINE_EXTRA  20       /* command line: both strings plus this */
#define CCCLOSE_PAUSE    100UL    /* pause after each close request, ms */
#define CCREAP_TIMEOUT   5000UL   /* wait for a stopped program that has no monitor, ms */
#define CCRETRY_PAUSE    100UL    /* a monitor's pause before it asks for the lock again, ms */

#define CCRC_OUT_OF_MEMORY 5001UL
#define CCRC_INVALID_PARAM 7001UL
#define CCRC_FILE_ERROR    7027UL
#define CCRC_START_ERROR   7038UL

#define CCMODE_DEFAULT   1UL      /* mode argument of every store call */
#define CCATTR_STORE     3UL
#define CCATTR_DATAFILE  8UL
#define CCATTR_INTERNAL  10UL
#define CCATTR_BUFFER    19UL
#define CCATTR_OBJTYPE   25UL
#define CCOBJ_EXTERNAL   0UL
#define CCOBJ_ASKFLAG    4UL

/* One class session. The class handle is the address of this record. */
typedef struct _OPSCCINFO {
    HANDLE hProc;                /* the program's process; null once it has ended */
    ULONG procId;                /* its process identifier */
    CHAR pcFilename[CCPATH_SIZE]; /* inputs file written by the library, or empty */
    HWND hwndNotify;             /* host window told when the program ends, or null */
    ULONG ulMsgNotify;           /* message posted to hwndNotify */
    PVOID pNext;                 /* registry links */
    PVOID pPrior;
    HANDLE hProcMonitor;         /* the monitor's own handle of the program: how the
                                    monitor finds its session; owned by the monitor */
} OPSCCINFO, *POPSCCINFO;

/* Process-wide state. */
extern HANDLE hmtxCCAPI;
extern HANDLE hmtxCCInfo;
extern CHAR cErrorMsg[CCMSG_SIZE];
extern CHAR cErrorMsg2[CCMSG_SIZE];
extern POPSCCINFO pFirstCCInfo;
extern POPSCCINFO pLastCCInfo;

/* Locks and error texts. */
BOOL RequestLock(HANDLE *phmtx);
void ReleaseLock(HANDLE hmtx);
void SetErrorMsg(PSZ pcBuffer, const char *pszFormat, ...);
void ClearErrorMsg(PSZ pcBuffer);
void PrintErrorMsg(PSZ pcBuffer);
void ErrorMsg(PSZ pszText);

/* Session registry and monitor. */
void AddCCInfo(POPSCCINFO pCCInfo);
POPSCCINFO SearchCCInfo(HANDLE hProc);
ULONG RemoveCCInfo(POPSCCINFO pCCInfo);
PLATTHREADRC PLATTHREADAPI ExternalObjectMonitor(PVOID pHandOver);
BOOL PLATWINDOWAPI CloseWindowInProc(HWND hwnd, ULONG processId);
BOOL PLATWINDOWAPI ActivateWindowInProc(HWND hwnd, ULONG processId);

/* Class start. */
BOOL IsExternalObj(SIMWSOBJ hWsObj);

#endif /* ZELMXCCINT_H */
