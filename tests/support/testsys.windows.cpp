/*
 * testsys.windows.cpp - the test support on Win32 (also under Wine).
 *
 * Where POSIX speaks of descriptors and uncollected children, Windows has
 * handles: a process whose handles are all closed is gone, and one kept by
 * a leaked handle still exists. So the descriptor count is the process's
 * handle count, and "gone" means that the process can no longer be opened.
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

/* ---- Standard error ------------------------------------------------------------ */

/* A new file name in the temporary directory. */
static std::string NewTempName(const char *pszPrefix)
{
    char pcDir[MAX_PATH + 1];
    char pcName[MAX_PATH + 64];
    DWORD dwLength = GetTempPathA(sizeof(pcDir), pcDir);

    if (dwLength == 0 || dwLength >= sizeof(pcDir)) {
        abort();
    }
    snprintf(pcName, sizeof(pcName), "%s%s-%lx-%lx-%lx", pcDir, pszPrefix,
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
    std::string raw;
    size_t i;

    fflush(stderr);
    _dup2(nSavedStderr, 2);
    _close(nSavedStderr);
    nSavedStderr = -1;
    TsReadFile(sCapturePath, &raw);
    DeleteFileA(sCapturePath.c_str());
    /* The stream is in text mode: line ends came out as CR LF. */
    for (i = 0; i < raw.size(); i++) {
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) {
            text.push_back(raw[i]);
        }
    }
    return text;
}

std::vector<std::string> TsLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    size_t end;

    while (start < text.size()) {
        end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
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

bool TsReadFile(const std::string &path, std::string *pContent)
{
    FILE *pFile = fopen(path.c_str(), "rb");
    char buf[4096];
    size_t n;

    if (pFile == NULL) {
        return false;
    }
    pContent->clear();
    while ((n = fread(buf, 1, sizeof(buf), pFile)) > 0) {
        pContent->append(buf, n);
    }
    fclose(pFile);
    return true;
}

bool TsWriteFile(const std::string &path, const std::string &content)
{
    FILE *pFile = fopen(path.c_str(), "wb");
    bool fOk;

    if (pFile == NULL) {
        return false;
    }
    fOk = fwrite(content.data(), 1, content.size(), pFile) == content.size();
    return fclose(pFile) == 0 && fOk;
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

bool TsWaitForFile(const std::string &path, unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;

    while (!TsFileExists(path)) {
        if (TsNowMs() >= ullEnd) {
            return false;
        }
        TsSleepMs(5);
    }
    return true;
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

void TsSetTempDir(const char *pszDir)
{
    TsSetEnv("TMP", pszDir);
    TsSetEnv("TEMP", pszDir);
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

int TsCountDescriptors(void)
{
    DWORD dwCount = 0;

    if (!GetProcessHandleCount(GetCurrentProcess(), &dwCount)) {
        return -1;
    }
    return (int)dwCount;
}

bool TsWaitChildren(int nChildren, unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;

    while (TsCountChildren() != nChildren) {
        if (TsNowMs() >= ullEnd) {
            return false;
        }
        TsSleepMs(10);
    }
    return true;
}

bool TsWaitDescriptors(int nDescriptors, unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;

    while (TsCountDescriptors() != nDescriptors) {
        if (TsNowMs() >= ullEnd) {
            return false;
        }
        TsSleepMs(10);
    }
    return true;
}

bool TsHasDrives(void)
{
    return true;
}
