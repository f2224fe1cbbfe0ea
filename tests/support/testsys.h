/*
 * testsys.h - what the test suites need of the system, for every target:
 * standard error capture, files and directories, environment, processes,
 * and the count of descriptors and child processes that a test checks
 * before and after to prove nothing was left behind.
 */
#ifndef TESTSYS_H
#define TESTSYS_H

#include <string>
#include <vector>

/* ---- Standard error ---------------------------------------------------- */
/* Redirect the process's standard error into a file until the end call,
 * which returns what was written and restores the stream. */
void TsCaptureStderrBegin(void);
std::string TsCaptureStderrEnd(void);
/* Split a text into its lines (without line ends). */
std::vector<std::string> TsLines(const std::string &text);

/* ---- Files and directories --------------------------------------------- */
char TsSep(void);
std::string TsJoin(const std::string &dir, const std::string &name);
bool TsFileExists(const std::string &path);
bool TsReadFile(const std::string &path, std::string *pContent);
bool TsWriteFile(const std::string &path, const std::string &content);
bool TsMakeDir(const std::string &path);
bool TsRemoveTree(const std::string &path);
std::string TsMakeTempDir(const char *pszPrefix); /* a new directory in the system's temp area */
std::vector<std::string> TsListDir(const std::string &path);
std::string TsGetCwd(void);
bool TsChangeDir(const std::string &path);
/* Absolute, canonical form of an existing path (symbolic links resolved). */
std::string TsRealPath(const std::string &path);
/* A symbolic link pszLink to pszTarget; false where the system makes none. */
bool TsMakeLink(const std::string &target, const std::string &link);
/* Wait until the file exists, at most ulMs. */
bool TsWaitForFile(const std::string &path, unsigned long ulMs);

/* ---- Environment -------------------------------------------------------- */
void TsSetEnv(const char *pszName, const char *pszValue); /* null unsets */
/* Make pszDir the directory in which temporary names are made. */
void TsSetTempDir(const char *pszDir);

/* ---- Time ---------------------------------------------------------------- */
void TsSleepMs(unsigned long ulMs);
unsigned long long TsNowMs(void); /* monotonic */

/* ---- Processes and descriptors -------------------------------------------- */
/* TRUE while the process exists and has not ended (a zombie has ended). */
bool TsProcessRunning(unsigned long ulPid);
/* Wait until the process no longer exists at all (collected), at most ulMs. */
bool TsWaitProcessGone(unsigned long ulPid, unsigned long ulMs);
/* Child processes of this process, ended-but-uncollected ones included. */
int TsCountChildren(void);
/* End the process at once, as an outsider would. */
bool TsKillProcess(unsigned long ulPid);
/* Open descriptors (handles) of this process. */
int TsCountDescriptors(void);
/* Wait until the counts come back to the given values, at most ulMs. */
bool TsWaitChildren(int nChildren, unsigned long ulMs);
bool TsWaitDescriptors(int nDescriptors, unsigned long ulMs);

/* ---- Threads ---------------------------------------------------------------- */
typedef void (*PFNTSTHREAD)(void *pArg);
/* A thread of the system's own (not of the C++ library), so that it may end
 * itself with TsExitThread. */
void *TsStartThread(PFNTSTHREAD pfn, void *pArg);
void TsJoinThread(void *hThread);
/* End the calling thread at once, holding whatever it holds. */
void TsExitThread(void);

/* Whether the system has drive letters. */
bool TsHasDrives(void);

#endif /* TESTSYS_H */
