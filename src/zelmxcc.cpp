/*
 * zelmxcc.cpp - the class session service.
 *
 * SimOpsStartClass starts a class program for a working-set object with one
 * inputs file as its argument and registers it as a class session; a monitor
 * thread posts the host's message when the program ends. SimOpsSetClass
 * brings the program's first window to the front. SimOpsEndClass closes the
 * program's visible windows, forces it to exit, deletes the inputs file the
 * library wrote and frees the session.
 *
 * Every exported call holds the API lock for its whole body; the session
 * registry has a lock of its own, always taken after the API lock. Failures
 * are written into the two error buffers and printed, one line each, on
 * standard error at the end of the exported call.
 *
 * Everything that touches the operating system goes through zelmplat.h.
 */
#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "zelmxccint.h"

/* ======================================================================== */
/* Process-wide state                                                        */
/* ======================================================================== */

HANDLE hmtxCCAPI = NULL;         /* API lock: one exported call at a time */
HANDLE hmtxCCInfo = NULL;        /* registry lock */
CHAR cErrorMsg[CCMSG_SIZE];      /* every text but the restore texts */
CHAR cErrorMsg2[CCMSG_SIZE];     /* the restore texts of the start call */
POPSCCINFO pFirstCCInfo = NULL;  /* registry head: the oldest session */
POPSCCINFO pLastCCInfo = NULL;   /* registry tail: the newest session */

/* The activation call reads a record's hProc under the API lock alone while
 * a monitor may clear it under the registry lock: every access is atomic. */
static HANDLE GetProcHandle(POPSCCINFO pCCInfo)
{
    return __atomic_load_n(&pCCInfo->hProc, __ATOMIC_ACQUIRE);
}

static void SetProcHandle(POPSCCINFO pCCInfo, HANDLE hProc)
{
    __atomic_store_n(&pCCInfo->hProc, hProc, __ATOMIC_RELEASE);
}

/* A lock's handle, read as atomically as its first request installed it. */
static HANDLE LockOf(HANDLE *phmtx)
{
    return __atomic_load_n(phmtx, __ATOMIC_ACQUIRE);
}

static void InitRcStruct(RCSTRUCT *pRc)
{
    memset(pRc, 0, sizeof(*pRc));
    pRc->ulStruct = (ULONG)sizeof(RCSTRUCT);
}

/* ======================================================================== */
/* Error texts                                                               */
/* ======================================================================== */

/*
 * Monitor threads and threads that failed to get a lock write texts without
 * holding the API lock, so every write, emptying, test and print of a buffer
 * happens under the text lock and no text is ever torn.
 */

/* Replace the buffer's text: copied when it has no placeholder, formatted
 * when it has one. */
void SetErrorMsg(PSZ pcBuffer, const char *pszFormat, ...)
{
    va_list args;

    va_start(args, pszFormat);
    PlatEnterTextLock();
    vsnprintf(pcBuffer, CCMSG_SIZE, pszFormat, args);
    PlatLeaveTextLock();
    va_end(args);
}

void ClearErrorMsg(PSZ pcBuffer)
{
    PlatEnterTextLock();
    pcBuffer[0] = '\0';
    PlatLeaveTextLock();
}

/* Print the buffer as one line when it holds text; the buffer keeps it. */
void PrintErrorMsg(PSZ pcBuffer)
{
    PlatEnterTextLock();
    if (pcBuffer[0] != '\0') {
        ErrorMsg(pcBuffer);
    }
    PlatLeaveTextLock();
}

/* One line on standard error, flushed by itself. */
void ErrorMsg(PSZ pszText)
{
    fprintf(stderr, "%s\n", pszText);
    fflush(stderr);
}

/* ======================================================================== */
/* Locks                                                                     */
/* ======================================================================== */

/*
 * Take the lock whose handle *phmtx holds, creating it on the first request.
 * TRUE when the calling thread holds it. A lock found abandoned by a thread
 * that ended while holding it counts as a failure; it is released again at
 * once, so that a failed request never leaves the caller holding it.
 */
BOOL RequestLock(HANDLE *phmtx)
{
    BOOL fResult = TRUE;
    LONG lCode = 0;
    BOOL fCreated = FALSE;
    HANDLE hmtx = __atomic_load_n(phmtx, __ATOMIC_ACQUIRE);

    if (hmtx == NULL) {
        lCode = PlatCreateMutex(phmtx, &fCreated);
        hmtx = __atomic_load_n(phmtx, __ATOMIC_ACQUIRE);
    }
    if (lCode == 0 && !fCreated) {
        lCode = PlatWaitMutex(hmtx, CCLOCK_TIMEOUT);
        if (lCode == PLAT_WAIT_ABANDONED) {
            PlatReleaseMutex(hmtx);
        }
    }
    if (lCode != 0) {
        fResult = FALSE;
        SetErrorMsg(cErrorMsg, "Error in request lock: rc=%ld", (long)lCode);
    }
    return fResult;
}

/* Give back one hold of the lock. */
void ReleaseLock(HANDLE hmtx)
{
    LONG lCode = 0;

    if (hmtx != NULL) {
        lCode = PlatReleaseMutex(hmtx);
        if (lCode != 0) {
            SetErrorMsg(cErrorMsg, "Error in release lock: rc=%ld", (long)lCode);
        }
    }
}

/* ======================================================================== */
/* Session registry                                                          */
/* ======================================================================== */

/* Append the record to the registry. */
void AddCCInfo(POPSCCINFO pCCInfo)
{
    if (RequestLock(&hmtxCCInfo)) {
        pCCInfo->pNext = NULL;
        pCCInfo->pPrior = pLastCCInfo;
        if (pLastCCInfo != NULL) {
            pLastCCInfo->pNext = pCCInfo;
        }
        pLastCCInfo = pCCInfo;
        if (pFirstCCInfo == NULL) {
            pFirstCCInfo = pCCInfo;
        }
        ReleaseLock(LockOf(&hmtxCCInfo));
    }
}

/*
 * The first record, from the head, whose monitor handle is hProc. A monitor
 * keeps its handle open until after its search, and a session's record
 * forgets the value once its monitor has found it, so no other session can
 * carry the value meanwhile. The caller holds the registry lock across the
 * search and the use of the record.
 */
POPSCCINFO SearchCCInfo(HANDLE hProc)
{
    POPSCCINFO pCCInfo = NULL;

    if (hProc != NULL && RequestLock(&hmtxCCInfo)) {
        pCCInfo = pFirstCCInfo;
        while (pCCInfo != NULL && pCCInfo->hProcMonitor != hProc) {
            pCCInfo = (POPSCCINFO)pCCInfo->pNext;
        }
        ReleaseLock(LockOf(&hmtxCCInfo));
    }
    return pCCInfo;
}

/* Window enumeration callback of the removal: ask each visible top-level
 * window of the program to close, one after the other. */
BOOL PLATWINDOWAPI CloseWindowInProc(HWND hwnd, ULONG processId)
{
    ULONG ulWindowProcId = 0;

    if (PlatGetWindowProcessId(hwnd, &ulWindowProcId) && ulWindowProcId == processId &&
        PlatIsWindowVisible(hwnd)) {
        PlatCloseWindow(hwnd);
        PlatSleep(CCCLOSE_PAUSE);
    }
    return TRUE;
}

/*
 * Unlink the record and tear its session down: close the program's visible
 * windows and force it to exit when it still runs, delete the inputs file
 * the library wrote, release the record. Returns the memory service's result
 * for the release, or 0 when the registry lock could not be taken (nothing
 * was done then). Nothing here waits for the program to end.
 */
ULONG RemoveCCInfo(POPSCCINFO pCCInfo)
{
    ULONG ulRC = 0;
    RCSTRUCT rcStruct;
    POPSCCINFO pPrior;
    POPSCCINFO pNext;
    HANDLE hProc;

    if (RequestLock(&hmtxCCInfo)) {
        ClearErrorMsg(cErrorMsg);
        InitRcStruct(&rcStruct);

        pPrior = (POPSCCINFO)pCCInfo->pPrior;
        pNext = (POPSCCINFO)pCCInfo->pNext;
        if (pPrior != NULL) {
            pPrior->pNext = pNext;
        }
        if (pNext != NULL) {
            pNext->pPrior = pPrior;
        }
        if (pFirstCCInfo == pCCInfo) {
            pFirstCCInfo = pNext;
        }
        if (pLastCCInfo == pCCInfo) {
            pLastCCInfo = pPrior;
        }

        hProc = GetProcHandle(pCCInfo);
        if (hProc != NULL) {
            PlatEnumWindows(CloseWindowInProc, pCCInfo->procId);
            PlatKillProgram(hProc);
        }

        /* Tried whether or not the program still ran; it may still hold the
         * file open while it ends, so its handle is closed only afterwards. */
        if (pCCInfo->pcFilename[0] != '\0' && PlatRemoveFile(pCCInfo->pcFilename, hProc) != 0) {
            SetErrorMsg(cErrorMsg, "Error in remove file");
        }

        if (hProc != NULL) {
            PlatCloseProgram(hProc);
            SetProcHandle(pCCInfo, NULL);
        }

        ulRC = SimOpsFreeMem(pCCInfo, &rcStruct);
        ReleaseLock(LockOf(&hmtxCCInfo));
    }
    return ulRC;
}

/*
 * Monitor thread of one session. Its argument is the monitor's own handle
 * of the program, never the record: the record may be released by an end
 * call before the thread first runs. It waits for the program to end, then
 * finds its session by that handle, marks it ended (closing the session's
 * process handle) and posts the host's message. A session already removed
 * is not found, and nothing is posted for it.
 *
 * A monitor that cannot get the registry lock asks again until it does (its
 * text stays in cErrorMsg each time): were it to give up, its session would
 * never be marked ended, and the value of its handle, once closed, could
 * lead a later session's monitor to that session instead of its own.
 */
PLATTHREADRC PLATTHREADAPI ExternalObjectMonitor(PVOID pHandOver)
{
    HANDLE hProcMonitor = (HANDLE)pHandOver;
    POPSCCINFO pCCInfo;
    HANDLE hProc;

    PlatWaitProgram(hProcMonitor, PLAT_INFINITE);

    while (!RequestLock(&hmtxCCInfo)) {
        PlatSleep(CCRETRY_PAUSE);
    }
    pCCInfo = SearchCCInfo(hProcMonitor);
    if (pCCInfo != NULL) {
        /* The handle is closed below and its value may come back for
         * another session's monitor: an ended session keeps no trace of
         * it. */
        pCCInfo->hProcMonitor = NULL;
        hProc = GetProcHandle(pCCInfo);
        SetProcHandle(pCCInfo, NULL);
        PlatCloseProgram(hProc);
        if (pCCInfo->hwndNotify != NULL) {
            PlatPostMessage(pCCInfo->hwndNotify, pCCInfo->ulMsgNotify);
        }
    }
    ReleaseLock(LockOf(&hmtxCCInfo));

    PlatCloseProgram(hProcMonitor);
    return 0;
}

/* ======================================================================== */
/* Class start                                                               */
/* ======================================================================== */

/* Working state of one start call. */
typedef struct _CCSTART {
    SIMWSOBJ hWsObj;
    ULONG ulClassId;
    POPSCCINFO pCCInfo;           /* the session record under construction */
    LONG aRC;                     /* system code of the process or thread creation */
    HANDLE hProcMonitor;          /* second handle of the program, until its monitor has it */
    BOOL fExternalObj;
    BOOL fRestorePrevDir;
    BOOL fRestorePrevDrive;
    int nPrevDrive;
    int nTargetDrive;
    CHAR pcPgmInputs[CCPATH_SIZE];   /* the inputs file's name; empty while none */
    CHAR pcPrevWkDir[CCPATH_SIZE];   /* the current directory before the switch */
    CHAR pcTargetWkDir[CCPATH_SIZE]; /* full path of the class working directory */
    PSZ pszFileName;                 /* data file name from the store, until released */
    SIMBUFFERSTRUCT buffer;          /* data bytes from the store, until released */
    RCSTRUCT rcStruct;
} CCSTART;

/* TRUE when the working-set object is external: object type 0, or object
 * type 4 without the internal flag. A failed query counts as not external
 * and leaves its text in cErrorMsg. */
BOOL IsExternalObj(SIMWSOBJ hWsObj)
{
    BOOL fExternalObj = FALSE;
    ULONG ulRC = 0;
    BOOL fInternalObj = FALSE;
    SIMOBJ objType = 0;
    RCSTRUCT rcStruct;

    InitRcStruct(&rcStruct);
    ulRC = SimWsQueryObj(hWsObj, CCMODE_DEFAULT, CCATTR_OBJTYPE, &objType, &rcStruct);
    if (ulRC == 0) {
        if (objType == CCOBJ_EXTERNAL) {
            fExternalObj = TRUE;
        } else if (objType == CCOBJ_ASKFLAG) {
            ulRC = SimWsQueryObj(hWsObj, CCMODE_DEFAULT, CCATTR_INTERNAL, &fInternalObj, &rcStruct);
            if (ulRC == 0) {
                fExternalObj = (fInternalObj == 0);
            }
        }
    }
    if (ulRC != 0) {
        SetErrorMsg(cErrorMsg, "Error in working set query: rc=%lu", (unsigned long)ulRC);
    }
    return fExternalObj;
}

static void FreeStoreBlock(PVOID *ppBlock, RCSTRUCT *pRc)
{
    if (*ppBlock != NULL) {
        SimOpsFreeMem(*ppBlock, pRc);
        *ppBlock = NULL;
    }
}

/* The object's own data: its data file name or else its data bytes, for an
 * external object. Returns the store's code of a failed query. */
static ULONG GetObjectData(CCSTART *pStart)
{
    ULONG ulRC = 0;

    pStart->fExternalObj = IsExternalObj(pStart->hWsObj);
    if (pStart->fExternalObj) {
        ulRC = SimWsQueryObj(pStart->hWsObj, CCMODE_DEFAULT, CCATTR_DATAFILE, &pStart->pszFileName,
                             &pStart->rcStruct);
        if (ulRC != 0) {
            pStart->pszFileName = NULL;
            SetErrorMsg(cErrorMsg, "Error in data file name");
        } else if (pStart->pszFileName != NULL && pStart->pszFileName[0] != '\0') {
            strncpy(pStart->pcPgmInputs, pStart->pszFileName, CCPATH_LIMIT);
            FreeStoreBlock((PVOID *)&pStart->pszFileName, &pStart->rcStruct);
        } else {
            FreeStoreBlock((PVOID *)&pStart->pszFileName, &pStart->rcStruct);
            ulRC = SimWsQueryObj(pStart->hWsObj, CCMODE_DEFAULT, CCATTR_BUFFER, &pStart->buffer,
                                 &pStart->rcStruct);
            if (ulRC != 0) {
                pStart->buffer.pucBuffer = NULL;
                SetErrorMsg(cErrorMsg, "Error in get buffer");
            }
        }
    }
    return ulRC;
}

static BOOL HasDriveLetter(PSZ pszPath)
{
    return isalpha((unsigned char)pszPath[0]) && pszPath[1] == ':';
}

/* Make the class working directory, and its drive, current; remember what
 * to restore. A path without a drive letter has no drive step. */
static ULONG ChangeWorkingDir(CCSTART *pStart, PSZ pszWorkingDir)
{
    ULONG ulRC = 0;

    if (PlatFullPath(pStart->pcTargetWkDir, pszWorkingDir, CCPATH_LIMIT) == NULL) {
        SetErrorMsg(cErrorMsg, "Error in get full path");
        ulRC = CCRC_FILE_ERROR;
    }
    if (ulRC == 0 && PlatGetCwd(pStart->pcPrevWkDir, CCPATH_LIMIT) == NULL) {
        SetErrorMsg(cErrorMsg, "Error in get current directory");
        ulRC = CCRC_FILE_ERROR;
    }
    if (ulRC == 0 && PlatChangeDir(pStart->pcTargetWkDir) != 0) {
        SetErrorMsg(cErrorMsg, "Error in change directory");
        ulRC = CCRC_FILE_ERROR;
    }
    if (ulRC == 0) {
        pStart->fRestorePrevDir = TRUE;
        if (HasDriveLetter(pStart->pcTargetWkDir)) {
            /* Read after the directory change: the directory restore brings
             * the host's previous drive back. */
            pStart->nPrevDrive = PlatGetDrive();
            pStart->nTargetDrive = toupper((unsigned char)pStart->pcTargetWkDir[0]) - 'A' + 1;
            if (PlatChangeDrive(pStart->nTargetDrive) != 0) {
                SetErrorMsg(cErrorMsg, "Error in change drive");
                ulRC = CCRC_FILE_ERROR;
            } else {
                pStart->fRestorePrevDrive = TRUE;
            }
        }
    }
    return ulRC;
}

/* Bring the host's drive and directory back. */
static ULONG RestoreWorkingDir(CCSTART *pStart)
{
    ULONG ulRC = 0;

    if (pStart->fRestorePrevDrive && PlatChangeDrive(pStart->nPrevDrive) != 0) {
        SetErrorMsg(cErrorMsg2, "Error in restore drive");
        ulRC = CCRC_FILE_ERROR;
    }
    if (pStart->fRestorePrevDir && PlatChangeDir(pStart->pcPrevWkDir) != 0) {
        SetErrorMsg(cErrorMsg2, "Error in restore directory");
        ulRC = CCRC_FILE_ERROR;
    }
    return ulRC;
}

/*
 * Write the data bytes into a new inputs file, in pieces of at most 32000
 * bytes. Only a file written completely is recorded in the session (and so
 * deleted with it); a partly written one is deleted at once.
 */
static ULONG WriteInputsFile(CCSTART *pStart)
{
    ULONG ulRC = 0;
    FILE *pFile;
    ULONG ulDataLength;
    PUCHAR pcData;
    BOOL bContinue = TRUE;
    USHORT usWriteLength;
    USHORT usActWriteLength;

    pFile = PlatCreateNewFile(pStart->pcPgmInputs);
    if (pFile == NULL) {
        SetErrorMsg(cErrorMsg, "Error in open file");
        ulRC = CCRC_FILE_ERROR;
    } else {
        ulDataLength = pStart->buffer.ulSize;
        pcData = pStart->buffer.pucBuffer;
        while (bContinue) {
            usWriteLength = (USHORT)(ulDataLength <= CCWRITE_PIECE ? ulDataLength : CCWRITE_PIECE);
            usActWriteLength = (USHORT)fwrite(pcData, 1, usWriteLength, pFile);
            if (usActWriteLength == usWriteLength) {
                ulDataLength -= usWriteLength;
                pcData += usWriteLength;
                bContinue = (ulDataLength > 0);
            } else {
                SetErrorMsg(cErrorMsg, "Error in write file");
                bContinue = FALSE;
                ulRC = CCRC_FILE_ERROR;
            }
        }
        /* Bytes still buffered are written by the close: a failed close is
         * a failed write as well. */
        if (fclose(pFile) != 0 && ulRC == 0) {
            SetErrorMsg(cErrorMsg, "Error in write file");
            ulRC = CCRC_FILE_ERROR;
        }
        if (ulRC == 0) {
            strcpy(pStart->pCCInfo->pcFilename, pStart->pcPgmInputs);
        } else {
            PlatRemoveFile(pStart->pcPgmInputs, NULL);
        }
    }
    FreeStoreBlock((PVOID *)&pStart->buffer.pucBuffer, &pStart->rcStruct);
    return ulRC;
}

/* Settle the inputs file under a new temporary name: written from the data
 * bytes of an external object, or else stored there by the working set. */
static ULONG PrepareInputsFile(CCSTART *pStart)
{
    ULONG ulRC = 0;
    SIMSRCFILE pszName;

    if (PlatTempName(pStart->pcPgmInputs) == NULL) {
        pStart->pcPgmInputs[0] = '\0';
        SetErrorMsg(cErrorMsg, "Error in generate filename");
        ulRC = CCRC_FILE_ERROR;
    } else if (pStart->buffer.pucBuffer != NULL && pStart->buffer.ulSize > 0 &&
               pStart->fExternalObj) {
        ulRC = WriteInputsFile(pStart);
    } else {
        pszName = pStart->pcPgmInputs;
        ulRC = SimWsStoreObj(pStart->hWsObj, pStart->ulClassId, CCMODE_DEFAULT, CCATTR_STORE,
                             &pszName, 0, &pStart->rcStruct);
        if (ulRC != 0) {
            SetErrorMsg(cErrorMsg, "Error in working set store: rc=%lu", (unsigned long)ulRC);
        }
    }
    return ulRC;
}

/* A started program that no monitor watches: stop it, and collect it (a
 * bounded wait) so that nothing is left of it. The handle is closed. */
static void StopUnwatchedProgram(HANDLE hProc)
{
    PlatKillProgram(hProc);
    PlatWaitProgram(hProc, CCREAP_TIMEOUT);
    PlatCloseProgram(hProc);
}

/*
 * Start the class program with the command line: the program text, a
 * blank, and the inputs file's name in double quotes. The call keeps a
 * second handle of the program for its monitor; until the monitor has it,
 * the start call is the one to collect a program that it had to stop.
 */
static ULONG StartClassProgram(CCSTART *pStart, PSZ pszPathAndPgm)
{
    ULONG ulRC = 0;
    ULONG ulCmdSize;
    PSZ pNewInputs = NULL;
    HANDLE hProc = NULL;

    ulCmdSize = (ULONG)(strlen(pStart->pcPgmInputs) + strlen(pszPathAndPgm) + CCCMDLINE_EXTRA);
    if (SimOpsAllocMem(ulCmdSize, (PPVOID)&pNewInputs, &pStart->rcStruct) != 0 ||
        pNewInputs == NULL) {
        pNewInputs = NULL;
        SetErrorMsg(cErrorMsg, "Out of memory");
        ulRC = CCRC_OUT_OF_MEMORY;
    } else {
        snprintf(pNewInputs, ulCmdSize, "%s \"%s\"", pszPathAndPgm, pStart->pcPgmInputs);
        pStart->aRC = PlatStartProgram(pNewInputs, pszPathAndPgm, pStart->pcPgmInputs, &hProc,
                                       &pStart->pCCInfo->procId);
        SimOpsFreeMem(pNewInputs, &pStart->rcStruct);
        if (pStart->aRC == 0) {
            pStart->aRC = PlatDuplicateProgram(hProc, &pStart->hProcMonitor);
            if (pStart->aRC != 0) {
                /* Without a handle to watch it by, the program cannot be
                 * a session. */
                StopUnwatchedProgram(hProc);
                pStart->hProcMonitor = NULL;
            }
        }
        if (pStart->aRC != 0) {
            SetErrorMsg(cErrorMsg, "Error in start session: rc=%ld", (long)pStart->aRC);
            ulRC = CCRC_START_ERROR;
        } else {
            SetProcHandle(pStart->pCCInfo, hProc);
        }
    }
    return ulRC;
}

/* Register the started session and start its monitor thread, which takes
 * over the start call's second handle of the program. */
static ULONG RegisterSession(CCSTART *pStart, HWND hWinNotify, ULONG ulMsgNotify)
{
    ULONG ulRC = 0;
    POPSCCINFO pCCInfo = pStart->pCCInfo;

    pCCInfo->hwndNotify = hWinNotify;
    pCCInfo->ulMsgNotify = ulMsgNotify;
    pCCInfo->hProcMonitor = pStart->hProcMonitor;
    AddCCInfo(pCCInfo);
    pStart->aRC = PlatStartThread(ExternalObjectMonitor, pStart->hProcMonitor, CCTHREAD_STACK);
    if (pStart->aRC != 0) {
        ulRC = CCRC_START_ERROR;
        /* No monitor: the record must not keep naming a handle that the
         * start call is about to close. Should even that be impossible, the
         * handle stays open with the record that the removal leaves. */
        if (RequestLock(&hmtxCCInfo)) {
            pCCInfo->hProcMonitor = NULL;
            ReleaseLock(LockOf(&hmtxCCInfo));
        } else {
            pStart->hProcMonitor = NULL;
        }
    } else {
        pStart->hProcMonitor = NULL; /* the monitor's now */
    }
    return ulRC;
}

ULONG ZELMAPI SimOpsStartClass(HWND hWinNotify, ULONG ulMsgNotify, SIMWSOBJ hWsObj,
                               ULONG ulClassId, PSZ pszPathAndPgm, PSZ pszWorkingDir,
                               PSZ pszParms, PVOID pReserved, PPVOID phObjId)
{
    ULONG ulRC = 0;
    BOOL fStart = FALSE;
    BOOL fDirStep = FALSE;
    CCSTART start;

    (void)pszParms;
    (void)pReserved;

    if (!RequestLock(&hmtxCCAPI)) {
        return 0;
    }

    memset(&start, 0, sizeof(start));
    start.hWsObj = hWsObj;
    start.ulClassId = ulClassId;
    start.buffer.ulStruct = (ULONG)sizeof(SIMBUFFERSTRUCT);
    InitRcStruct(&start.rcStruct);

    ClearErrorMsg(cErrorMsg);
    ClearErrorMsg(cErrorMsg2);

    if (phObjId == NULL) {
        SetErrorMsg(cErrorMsg, "Invalid input parameter");
        ulRC = CCRC_INVALID_PARAM;
    } else {
        *phObjId = NULL;
        fStart = (pszPathAndPgm != NULL);
    }

    /* The session record; the class handle from now on. */
    if (fStart) {
        ulRC = SimOpsAllocMem((ULONG)sizeof(OPSCCINFO), (PPVOID)&start.pCCInfo, &start.rcStruct);
        if (ulRC == 0 && start.pCCInfo != NULL) {
            memset(start.pCCInfo, 0, sizeof(OPSCCINFO));
            *phObjId = start.pCCInfo;
        } else {
            start.pCCInfo = NULL;
            SetErrorMsg(cErrorMsg, "Out of memory");
            ulRC = CCRC_OUT_OF_MEMORY;
        }
    }

    if (fStart && ulRC == 0 && hWsObj != NULL) {
        ulRC = GetObjectData(&start);
    }

    if (fStart && ulRC == 0) {
        fDirStep = TRUE;
        if (pszWorkingDir != NULL) {
            ulRC = ChangeWorkingDir(&start, pszWorkingDir);
        }
        if (ulRC == 0 && start.pcPgmInputs[0] == '\0') {
            ulRC = PrepareInputsFile(&start);
        }
        if (ulRC == 0) {
            ulRC = StartClassProgram(&start, pszPathAndPgm);
        }
    }

    /* A failed restore is the call's failure, whatever came before. */
    if (fDirStep && RestoreWorkingDir(&start) != 0) {
        ulRC = CCRC_FILE_ERROR;
    }

    if (fStart && ulRC == 0) {
        ulRC = RegisterSession(&start, hWinNotify, ulMsgNotify);
    }

    /* Rollback: the failure's text first, since the removal empties it. */
    if (ulRC != 0 && start.pCCInfo != NULL) {
        PrintErrorMsg(cErrorMsg);
        RemoveCCInfo(start.pCCInfo);
        *phObjId = NULL;
    }
    /* A started program that never got its monitor was stopped by the
     * removal: collect it, so that nothing is left behind. */
    if (start.hProcMonitor != NULL) {
        StopUnwatchedProgram(start.hProcMonitor);
    }
    /* Blocks received from the store go back on every path. */
    FreeStoreBlock((PVOID *)&start.pszFileName, &start.rcStruct);
    FreeStoreBlock((PVOID *)&start.buffer.pucBuffer, &start.rcStruct);

    PrintErrorMsg(cErrorMsg);
    PrintErrorMsg(cErrorMsg2);
    ReleaseLock(LockOf(&hmtxCCAPI));
    return ulRC;
}

/* ======================================================================== */
/* Class end and activation                                                  */
/* ======================================================================== */

/* Window enumeration callback of the activation: the program's first window,
 * hidden or not, becomes the foreground window and ends the enumeration. */
BOOL PLATWINDOWAPI ActivateWindowInProc(HWND hwnd, ULONG processId)
{
    BOOL fContinue = TRUE;
    ULONG ulWindowProcId = 0;

    if (PlatGetWindowProcessId(hwnd, &ulWindowProcId) && ulWindowProcId == processId) {
        PlatSetForegroundWindow(hwnd);
        fContinue = FALSE;
    }
    return fContinue;
}

ULONG ZELMAPI SimOpsSetClass(PVOID hObjId)
{
    ULONG ulRC = 0;
    POPSCCINFO pCCInfo = (POPSCCINFO)hObjId;

    if (!RequestLock(&hmtxCCAPI)) {
        return 0;
    }
    ClearErrorMsg(cErrorMsg);
    if (pCCInfo != NULL && GetProcHandle(pCCInfo) != NULL) {
        PlatEnumWindows(ActivateWindowInProc, pCCInfo->procId);
    }
    PrintErrorMsg(cErrorMsg);
    ReleaseLock(LockOf(&hmtxCCAPI));
    return ulRC;
}

ULONG ZELMAPI SimOpsEndClass(PVOID hObjId)
{
    ULONG ulRC = 0;

    if (!RequestLock(&hmtxCCAPI)) {
        return 0;
    }
    ClearErrorMsg(cErrorMsg);
    if (hObjId != NULL) {
        ulRC = RemoveCCInfo((POPSCCINFO)hObjId);
    }
    PrintErrorMsg(cErrorMsg);
    ReleaseLock(LockOf(&hmtxCCAPI));
    return ulRC;
}
