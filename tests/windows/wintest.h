/*
 * wintest.h - helpers of the Windows-only tests: the fixture programs, their
 * reports, a host window with its message loop, process handles.
 */
#ifndef WINTEST_H
#define WINTEST_H

#include <windows.h>

#include <string>
#include <vector>

#include "testsys.h"

/* Directory of the running test program: the DLLs and fixtures lie there. */
std::string WtBinDir(void);
/* Full path of a fixture program of the build, e.g. "zxcprobe". */
std::string WtProgram(const char *pszName);
/* pszText in double quotes, for a command line. */
std::string WtQuote(const std::string &text);

/* The lines of a fixture's report once it exists (at most ulMs). */
bool WtReadReport(const std::string &path, unsigned long ulMs, std::vector<std::string> *pLines);
/* The value after "KEY=" of the first line that starts so; "" when none. */
std::string WtValue(const std::vector<std::string> &lines, const char *pszKey);
/* The value of KEY within a line of "KEY=VALUE" words. */
std::string WtField(const std::string &line, const char *pszKey);
/* Every line that starts with pszPrefix. */
std::vector<std::string> WtLinesStarting(const std::vector<std::string> &lines, const char *pszPrefix);
HWND WtHwnd(const std::string &hex);

/* A visible top-level window of the test process, with a window procedure
 * that leaves every message to the default one. */
HWND WtCreateHostWindow(const char *pszTitle);
/* Run the thread's message loop until a message ulMsg for hwnd is taken
 * from the queue (copied to *pMsg) or ulMs have passed. */
bool WtWaitMessage(HWND hwnd, UINT ulMsg, unsigned long ulMs, MSG *pMsg);
/* Dispatch what is queued for ulMs. */
void WtPumpMessages(unsigned long ulMs);

/* Wait until hwnd is the foreground window, at most ulMs, running the
 * thread's message loop meanwhile. */
bool WtWaitForeground(HWND hwnd, unsigned long ulMs);

/* A handle of process ulPid that can wait for it and read its exit code. */
HANDLE WtOpenProcess(unsigned long ulPid);
/* Wait for the process to end; its exit code, or -1 when it does not end
 * within ulMs. */
long WtWaitExit(HANDLE hProc, unsigned long ulMs);

/* Top-level windows of process ulPid, topmost first. */
std::vector<HWND> WtProcessWindows(unsigned long ulPid);

#endif /* WINTEST_H */
