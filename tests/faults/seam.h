/*
 * seam.h - the platform seam as the fault suite sees it: every wrapped
 * platform call goes to the real backend unless a test has asked for a
 * failure, and the window calls can be given a made-up set of top-level
 * windows. Every call of interest is written to an event log.
 */
#ifndef SEAM_H
#define SEAM_H

#include <mutex>
#include <string>
#include <vector>

#include "zelmxccint.h"

struct FakeWindow {
    ULONG ulHwnd;
    ULONG ulProcId;
    BOOL fVisible;
};

struct SeamState {
    std::mutex mtx;
    std::vector<std::string> events; /* "close 2", "sleep 100", "kill", "post 9 1234", ... */

    /* Injected failures; 0 or null: none. */
    LONG lCreateMutexRC = 0;
    HANDLE hWaitFailLock = NULL; /* the lock whose waits fail */
    LONG lWaitRC = 0;            /* with this result (128: obtained, then reported abandoned) */
    int nWaitFailLeft = -1;      /* how many waits fail; -1: every one */
    HANDLE hReleaseFailLock = NULL; /* the lock whose next release reports a failure */
    LONG lReleaseRC = 0;
    LONG lStartThreadRC = 0;
    LONG lDuplicateRC = 0;
    LONG lKillRC = 0;                /* the forced exit fails and does nothing */
    std::string sTempName;           /* non-empty: the next temporary name */
    int nChangeDirFailAt = 0;        /* the n-th directory change from now fails */
    bool fDeleteInputsBeforeStart = false;

    bool fFakeWindows = false;
    std::vector<FakeWindow> windows;

    int nWaitMutexCalls = 0;
};

extern SeamState g_seam;

/* Back to the real backend, with an empty log. */
void SeamReset(void);
void SeamLog(const std::string &event);
std::vector<std::string> SeamEvents(void);

#endif /* SEAM_H */
