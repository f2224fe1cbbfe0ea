/*
 * testsys.windows.cpp - the test support on Win32 (also under Wine).
 *
 * Where POSIX speaks of descriptors and uncollected children, Windows has
 * handles: a process whose handles are all closed is gone, and one kept by
 * a leaked handle still exists. So the descriptor count is the process's
 * handle count, and "gone" means that the process can no longer be opened.
 * The handle count includes what the system itself keeps open for the
 * process (window station, desktop, ...), some of it opened on first use:
 * compare counts taken after such use.
 */
#include "testsys.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
#include <tlhelp32.h>

static int nSavedStderr = -1;
static std::string sCapturePath;
static LONG lTempCounter = 0;

/* The temporary directory as the process found it (GetTempPath: TMP, TEMP,
 * ...), taken before main: the tests' own directories and files go there,
 * whatever a test makes of TMP for the library. */
static std::string InitialTempDir(void)
{
    char pcDir[MAX_PATH + 1];
    DWORD dwLength = GetTempPathA(sizeof(pcDir), pcDir);

    if (dwLength == 0 || dwLength >= sizeof(pcDir)) {
        return std::string("C:\\");
    }
    return std::string(pcDir);
}

static const std::string sBaseTemp = InitialTempDir();

/* ---- Standard error ------------------------------------------------------------ */

/* A new name in the tests' temporary directory. */
static std::string NewTempName(const char *pszPrefix)
{
    char pcName[MAX_PATH + 64];

    snprintf(pcName, sizeof(pcName), "%s%s-%lx-%lx-%lx", sBaseTemp.c_str(), pszPrefix,
             (unsigned long)GetCurrentProcessId(), (unsigned long)InterlockedIncrement(&lTempCounter),
             (unsigned long)GetTickCount());
    return std::string(pcName);
}

void TsCaptureStderrBegin(void)
{
    int fd;

    fflush(stderr);
    sCapturePath = NewTempName("zelmtest-stderr");
    fd = _open(sCapturePath.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        abort();
    }
    nSavedStderr = _dup(2);
    _dup2(fd, 2);
    _close(fd);
}

std::string TsCaptureStderrEnd(void)
{
    std::string text;

    fflush(stderr);
    _dup2(nSavedStderr, 2);
    _close(nSavedStderr);
    nSavedStderr = -1;
    TsReadFile(sCapturePath, &text);
    DeleteFileA(sCapturePath.c_str());
    return text;
}

/* ---- Files and directories --------------------------------------------------- */

char TsSep(void)
{
    return '\\';
}

std::string TsJoin(const std::string &dir, const std::string &name)
{
    if (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) {
        return dir + name;
    }
    return dir + "\\" + name;
}

bool TsFileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool TsMakeDir(const std::string &path)
{
    return CreateDirectoryA(path.c_str(), NULL) != FALSE;
}

bool TsRemoveTree(const std::string &path)
{
    DWORD dwAttrs = GetFileAttributesA(path.c_str());
    bool fOk = true;

    if (dwAttrs == INVALID_FILE_ATTRIBUTES) {
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    }
    SetFileAttributesA(path.c_str(), dwAttrs & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    if ((dwAttrs & FILE_ATTRIBUTE_DIRECTORY) == 0 || (dwAttrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if ((dwAttrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return RemoveDirectoryA(path.c_str()) != FALSE;
        }
        return DeleteFileA(path.c_str()) != FALSE;
    }
    for (const std::string &name : TsListDir(path)) {
        fOk = TsRemoveTree(TsJoin(path, name)) && fOk;
    }
    return RemoveDirectoryA(path.c_str()) != FALSE && fOk;
}

std::string TsMakeTempDir(const char *pszPrefix)
{
    std::string name;
    int nTry;

    for (nTry = 0; nTry < 100; nTry++) {
        name = NewTempName(pszPrefix);
        if (CreateDirectoryA(name.c_str(), NULL)) {
            return name;
        }
    }
    abort();
}

std::vector<std::string> TsListDir(const std::string &path)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA(TsJoin(path, "*").c_str(), &data);

    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (strcmp(data.cFileName, ".") != 0 && strcmp(data.cFileName, "..") != 0) {
                names.push_back(data.cFileName);
            }
        } while (FindNextFileA(hFind, &data));
        FindClose(hFind);
    }
    return names;
}

std::string TsGetCwd(void)
{
    std::vector<char> buf(32768);

    if (_getcwd(buf.data(), (int)buf.size()) == NULL) {
        return std::string();
    }
    return std::string(buf.data());
}

bool TsChangeDir(const std::string &path)
{
    return _chdir(path.c_str()) == 0;
}

std::string TsRealPath(const std::string &path)
{
    std::string result;
    char pcFinal[32768];
    DWORD dwLength;
    HANDLE hFile;

    /* Opening the path resolves every link on it; directories need the
     * backup flag to be opened at all. */
    hFile = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        return result;
    }
    dwLength = GetFinalPathNameByHandleA(hFile, pcFinal, sizeof(pcFinal), FILE_NAME_NORMALIZED);
    CloseHandle(hFile);
    if (dwLength > 0 && dwLength < sizeof(pcFinal)) {
        result = pcFinal;
        if (result.compare(0, 8, "\\\\?\\UNC\\") == 0) {
            result = "\\\\" + result.substr(8);
        } else if (result.compare(0, 4, "\\\\?\\") == 0) {
            result = result.substr(4);
        }
    }
    return result;
}

/* ---- Environment ---------------------------------------------------------------- */

/* Both views of the environment: the system's block, which new processes
 * get, and the C runtime's copy, which getenv reads. */
void TsSetEnv(const char *pszName, const char *pszValue)
{
    std::string entry = std::string(pszName) + "=" + (pszValue != NULL ? pszValue : "");

    _putenv(entry.c_str());
    SetEnvironmentVariableA(pszName, pszValue);
}

/* The temporary directory is what TMP names, else TEMP. The values the
 * process started with are kept so that null can bring them back. */
void TsSetTempDir(const char *pszDir)
{
    static bool fSaved = false;
    static bool fHadTmp = false;
    static bool fHadTemp = false;
    static std::string sTmp;
    static std::string sTemp;
    const char *psz;

    if (!fSaved) {
        psz = getenv("TMP");
        fHadTmp = psz != NULL;
        sTmp = fHadTmp ? psz : "";
        psz = getenv("TEMP");
        fHadTemp = psz != NULL;
        sTemp = fHadTemp ? psz : "";
        fSaved = true;
    }
    if (pszDir != NULL) {
        TsSetEnv("TMP", pszDir);
        TsSetEnv("TEMP", pszDir);
    } else {
        TsSetEnv("TMP", fHadTmp ? sTmp.c_str() : NULL);
        TsSetEnv("TEMP", fHadTemp ? sTemp.c_str() : NULL);
    }
}

/* ---- Time -------------------------------------------------------------------------- */

void TsSleepMs(unsigned long ulMs)
{
    Sleep(ulMs);
}

unsigned long long TsNowMs(void)
{
    LARGE_INTEGER liCount;
    LARGE_INTEGER liFrequency;

    QueryPerformanceFrequency(&liFrequency);
    QueryPerformanceCounter(&liCount);
    return (unsigned long long)(liCount.QuadPart / (liFrequency.QuadPart / 1000));
}

/* ---- Processes and handles ---------------------------------------------------------- */

bool TsProcessRunning(unsigned long ulPid)
{
    HANDLE hProc = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ulPid);
    bool fRunning = false;

    if (hProc != NULL) {
        fRunning = WaitForSingleObject(hProc, 0) == WAIT_TIMEOUT;
        CloseHandle(hProc);
    }
    return fRunning;
}

bool TsWaitProcessGone(unsigned long ulPid, unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;
    HANDLE hProc;

    for (;;) {
        hProc = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ulPid);
        if (hProc == NULL) {
            return true;
        }
        CloseHandle(hProc);
        if (TsNowMs() >= ullEnd) {
            return false;
        }
        TsSleepMs(5);
    }
}

/* Running processes whose parent is this process. An ended child has no
 * entry of its own; a handle still kept to it shows in the handle count. */
int TsCountChildren(void)
{
    int nCount = 0;
    DWORD dwSelf = GetCurrentProcessId();
    PROCESSENTRY32 entry;
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);

    if (hSnap == INVALID_HANDLE_VALUE) {
        return -1;
    }
    entry.dwSize = sizeof(entry);
    if (Process32First(hSnap, &entry)) {
        do {
            if (entry.th32ParentProcessID == dwSelf && entry.th32ProcessID != dwSelf &&
                TsProcessRunning(entry.th32ProcessID)) {
                nCount++;
            }
        } while (Process32Next(hSnap, &entry));
    }
    CloseHandle(hSnap);
    return nCount;
}

/* One entry of the system's handle list (SystemHandleInformation). */
typedef struct _TSHANDLEENTRY {
    ULONG ulProcessId;
    UCHAR ucObjectType;
    UCHAR ucFlags;
    USHORT usHandle;
    PVOID pObject;
    ACCESS_MASK access;
} TSHANDLEENTRY;

typedef LONG(WINAPI *PFNQUERYSYSINFO)(ULONG, PVOID, ULONG, PULONG);

#define TS_SYSTEM_HANDLE_INFORMATION 16
#define TS_STATUS_INFO_LENGTH_MISMATCH ((LONG)0xC0000004L)

/* Handles of this process as the system's handle list counts them; -1 when
 * the list cannot be read. Wine has no per-process handle count
 * (GetProcessHandleCount gives 0 there), but it keeps this list. */
static int CountHandlesInSystemList(void)
{
    static PFNQUERYSYSINFO pfnQuery = NULL;
    std::vector<char> buf(1 << 16);
    ULONG ulNeeded = 0;
    ULONG ulEntries;
    ULONG i;
    LONG lStatus;
    int nCount = 0;
    DWORD dwSelf = GetCurrentProcessId();
    const TSHANDLEENTRY *pEntry;

    if (pfnQuery == NULL) {
        pfnQuery = (PFNQUERYSYSINFO)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                                   "NtQuerySystemInformation");
        if (pfnQuery == NULL) {
            return -1;
        }
    }
    for (;;) {
        lStatus = pfnQuery(TS_SYSTEM_HANDLE_INFORMATION, buf.data(), (ULONG)buf.size(), &ulNeeded);
        if (lStatus != TS_STATUS_INFO_LENGTH_MISMATCH || buf.size() >= (64u << 20)) {
            break;
        }
        buf.resize(buf.size() * 2 > ulNeeded ? buf.size() * 2 : ulNeeded + 4096);
    }
    if (lStatus != 0) {
        return -1;
    }
    ulEntries = *(const ULONG *)buf.data();
    pEntry = (const TSHANDLEENTRY *)(buf.data() + sizeof(ULONG_PTR));
    for (i = 0; i < ulEntries; i++) {
        if (pEntry[i].ulProcessId == dwSelf) {
            nCount++;
        }
    }
    return nCount;
}

int TsCountDescriptors(void)
{
    DWORD dwCount = 0;
    int nCount = CountHandlesInSystemList();

    if (nCount < 0 && GetProcessHandleCount(GetCurrentProcess(), &dwCount)) {
        nCount = (int)dwCount;
    }
    return nCount;
}

/* ---- Threads ------------------------------------------------------------------------ */

typedef struct _TSTHREADSTART {
    PFNTSTHREAD pfn;
    void *pArg;
} TSTHREADSTART;

static DWORD WINAPI TsThreadMain(LPVOID pv)
{
    TSTHREADSTART start = *(TSTHREADSTART *)pv;

    delete (TSTHREADSTART *)pv;
    start.pfn(start.pArg);
    return 0;
}

void *TsStartThread(PFNTSTHREAD pfn, void *pArg)
{
    TSTHREADSTART *pStart = new TSTHREADSTART{pfn, pArg};
    HANDLE hThread = CreateThread(NULL, 0, TsThreadMain, pStart, 0, NULL);

    if (hThread == NULL) {
        abort();
    }
    return hThread;
}

void TsJoinThread(void *hThread)
{
    WaitForSingleObject((HANDLE)hThread, INFINITE);
    CloseHandle((HANDLE)hThread);
}

void TsExitThread(void)
{
    ExitThread(0);
}

bool TsHasDrives(void)
{
    return true;
}

bool TsKillProcess(unsigned long ulPid)
{
    bool fOk = false;
    HANDLE hProc = OpenProcess(PROCESS_TERMINATE, FALSE, (DWORD)ulPid);

    if (hProc != NULL) {
        fOk = TerminateProcess(hProc, 137) != 0;
        CloseHandle(hProc);
    }
    return fOk;
}

/* Some systems report a link made without making one: what counts is that
 * a link is there afterwards. */
bool TsMakeLink(const std::string &target, const std::string &link)
{
    DWORD dwAttr;

    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), 0x2 /* unprivileged */)) {
        return false;
    }
    dwAttr = GetFileAttributesA(link.c_str());
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
