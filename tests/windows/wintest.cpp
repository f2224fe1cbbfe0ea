/* wintest.cpp - helpers of the Windows-only tests. */
#include "wintest.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

std::string WtBinDir(void)
{
    char pcPath[MAX_PATH + 1];
    DWORD dwLength = GetModuleFileNameA(NULL, pcPath, sizeof(pcPath));
    std::string path(pcPath, dwLength < sizeof(pcPath) ? dwLength : 0);
    size_t slash = path.find_last_of("\\/");

    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string WtProgram(const char *pszName)
{
    return TsJoin(WtBinDir(), std::string(pszName) + ".exe");
}

std::string WtQuote(const std::string &text)
{
    return "\"" + text + "\"";
}

bool WtReadReport(const std::string &path, unsigned long ulMs, std::vector<std::string> *pLines)
{
    std::string text;

    if (!TsWaitForFile(path, ulMs) || !TsReadFile(path, &text)) {
        return false;
    }
    *pLines = TsLines(text);
    return true;
}

std::string WtValue(const std::vector<std::string> &lines, const char *pszKey)
{
    std::string prefix = std::string(pszKey) + "=";

    for (const std::string &line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return line.substr(prefix.size());
        }
    }
    return std::string();
}

std::string WtField(const std::string &line, const char *pszKey)
{
    std::string prefix = std::string(pszKey) + "=";
    size_t start = 0;
    size_t end;

    while (start < line.size()) {
        end = line.find(' ', start);
        if (end == std::string::npos) {
            end = line.size();
        }
        if (line.compare(start, prefix.size(), prefix) == 0) {
            return line.substr(start + prefix.size(), end - start - prefix.size());
        }
        start = end + 1;
    }
    return std::string();
}

std::vector<std::string> WtLinesStarting(const std::vector<std::string> &lines, const char *pszPrefix)
{
    std::vector<std::string> result;
    size_t ulLength = strlen(pszPrefix);

    for (const std::string &line : lines) {
        if (line.compare(0, ulLength, pszPrefix) == 0) {
            result.push_back(line);
        }
    }
    return result;
}

HWND WtHwnd(const std::string &hex)
{
    return (HWND)(ULONG_PTR)strtoul(hex.c_str(), NULL, 16);
}

HWND WtCreateHostWindow(const char *pszTitle)
{
    static ATOM atomClass = 0;
    WNDCLASSA wc;
    HWND hwnd;

    if (atomClass == 0) {
        memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "ZelmTestHost";
        atomClass = RegisterClassA(&wc);
    }
    hwnd = CreateWindowExA(0, "ZelmTestHost", pszTitle, WS_OVERLAPPEDWINDOW, 300, 300, 200, 120,
                           NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (hwnd != NULL) {
        ShowWindow(hwnd, SW_SHOWNORMAL);
    }
    return hwnd;
}

bool WtWaitMessage(HWND hwnd, UINT ulMsg, unsigned long ulMs, MSG *pMsg)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;
    unsigned long long ullNow;
    MSG msg;

    for (;;) {
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == hwnd && msg.message == ulMsg) {
                *pMsg = msg;
                return true;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        ullNow = TsNowMs();
        if (ullNow >= ullEnd) {
            return false;
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, (DWORD)(ullEnd - ullNow), QS_ALLINPUT);
    }
}

void WtPumpMessages(unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;
    unsigned long long ullNow;
    MSG msg;

    for (;;) {
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        ullNow = TsNowMs();
        if (ullNow >= ullEnd) {
            return;
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, (DWORD)(ullEnd - ullNow), QS_ALLINPUT);
    }
}

bool WtWaitForeground(HWND hwnd, unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;

    while (GetForegroundWindow() != hwnd) {
        if (TsNowMs() >= ullEnd) {
            return false;
        }
        WtPumpMessages(10);
    }
    return true;
}

HANDLE WtOpenProcess(unsigned long ulPid)
{
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ulPid);
}

long WtWaitExit(HANDLE hProc, unsigned long ulMs)
{
    DWORD dwCode = 0;

    if (hProc == NULL || WaitForSingleObject(hProc, ulMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(hProc, &dwCode)) {
        return -1;
    }
    return (long)dwCode;
}

typedef struct _WTENUM {
    DWORD dwPid;
    std::vector<HWND> *pWindows;
} WTENUM;

static BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM lParam)
{
    WTENUM *pEnum = (WTENUM *)lParam;
    DWORD dwPid = 0;

    if (GetWindowThreadProcessId(hwnd, &dwPid) != 0 && dwPid == pEnum->dwPid) {
        pEnum->pWindows->push_back(hwnd);
    }
    return TRUE;
}

std::vector<HWND> WtProcessWindows(unsigned long ulPid)
{
    std::vector<HWND> windows;
    WTENUM enumRec;

    enumRec.dwPid = ulPid;
    enumRec.pWindows = &windows;
    EnumWindows(CollectWindow, (LPARAM)&enumRec);
    return windows;
}
