/*
 * zxcwin - a windowed class program for the tests (Win32 GUI).
 *
 *   zxcwin [options] INPUTS
 *
 * The last argument is the inputs file; the options come before it:
 *   --windows SPEC  one top-level window per letter, in this order of
 *                   creation: v visible, h hidden (default "v"). A window
 *                   made later lies above those made before it.
 *   --record FILE   once every window exists, write a report to FILE.tmp
 *                   and rename it to FILE
 *   --log FILE      append a line to FILE for every WM_CLOSE received
 *   --on-close MODE what WM_CLOSE does: "exit" (default) ends the program
 *                   with the --exit code, "ignore" does nothing, "hang"
 *                   stops taking messages for good
 *   --exit N        exit code when the program ends by itself (default 0)
 *   --close-delay MS take MS milliseconds over each WM_CLOSE, after logging
 *                   it (a sender that waits for it waits that long)
 *
 * Report lines:
 *   pid=N
 *   window=HEX visible=0|1 name=winK   one per window, K = 1, 2, ... in
 *                                      creation order
 * Log lines:
 *   close window=HEX name=NAME us=N   N: the performance counter in
 *                                     microseconds when the message came
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define WIN_MAX 16

static const char *pszLog = NULL;
static int nOnClose = 0; /* 0 exit, 1 ignore, 2 hang */
static int nExitCode = 0;
static DWORD dwCloseDelay = 0;

static unsigned long long NowMicroseconds(void)
{
    LARGE_INTEGER liCount;
    LARGE_INTEGER liFrequency;

    QueryPerformanceFrequency(&liFrequency);
    QueryPerformanceCounter(&liCount);
    return (unsigned long long)(liCount.QuadPart * 1000000.0 / (double)liFrequency.QuadPart);
}

static void LogClose(HWND hwnd)
{
    unsigned long long ullNow = NowMicroseconds();
    char pcName[64] = "";
    FILE *pf;

    if (pszLog == NULL)
        return;
    GetWindowTextA(hwnd, pcName, sizeof(pcName));
    pf = fopen(pszLog, "ab");
    if (pf != NULL) {
        fprintf(pf, "close window=%lx name=%s us=%llu\n", (unsigned long)(ULONG_PTR)hwnd, pcName,
                ullNow);
        fclose(pf);
    }
}

static LRESULT CALLBACK WindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_CLOSE) {
        LogClose(hwnd);
        if (dwCloseDelay > 0)
            Sleep(dwCloseDelay);
        if (nOnClose == 0) {
            PostQuitMessage(nExitCode);
        } else if (nOnClose == 2) {
            for (;;)
                Sleep(INFINITE);
        }
        return 0;
    }
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

static int WriteRecord(const char *pszRecord, HWND *ahwnd, const char *pszSpec, int cWindows)
{
    size_t cchRecord = strlen(pszRecord);
    char *pszTmp = malloc(cchRecord + 8);
    char pcName[64];
    FILE *pf;
    int rc = 1;
    int i;

    if (pszTmp == NULL)
        return 1;
    snprintf(pszTmp, cchRecord + 8, "%s.tmp", pszRecord);
    pf = fopen(pszTmp, "wb"); /* lines end in LF alone */
    if (pf != NULL) {
        fprintf(pf, "pid=%lu\n", (unsigned long)GetCurrentProcessId());
        for (i = 0; i < cWindows; i++) {
            GetWindowTextA(ahwnd[i], pcName, sizeof(pcName));
            fprintf(pf, "window=%lx visible=%d name=%s\n", (unsigned long)(ULONG_PTR)ahwnd[i],
                    pszSpec[i] == 'v' ? 1 : 0, pcName);
        }
        if (fclose(pf) == 0 && MoveFileExA(pszTmp, pszRecord, MOVEFILE_REPLACE_EXISTING))
            rc = 0;
    }
    free(pszTmp);
    return rc;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR pszCmdLine, int nCmdShow)
{
    const char *pszSpec = "v";
    const char *pszRecord = NULL;
    HWND ahwnd[WIN_MAX];
    WNDCLASSA wc;
    MSG msg;
    char pcName[64];
    int cWindows = 0;
    int argc = __argc;
    char **argv = __argv;
    int i;

    (void)hPrevInstance;
    (void)pszCmdLine;
    (void)nCmdShow;

    for (i = 1; i < argc - 1; i++) {
        int fHasValue = i + 1 < argc - 1;
        if (strcmp(argv[i], "--windows") == 0 && fHasValue) {
            pszSpec = argv[++i];
        } else if (strcmp(argv[i], "--record") == 0 && fHasValue) {
            pszRecord = argv[++i];
        } else if (strcmp(argv[i], "--log") == 0 && fHasValue) {
            pszLog = argv[++i];
        } else if (strcmp(argv[i], "--on-close") == 0 && fHasValue) {
            i++;
            nOnClose = strcmp(argv[i], "ignore") == 0 ? 1 : strcmp(argv[i], "hang") == 0 ? 2 : 0;
        } else if (strcmp(argv[i], "--exit") == 0 && fHasValue) {
            nExitCode = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--close-delay") == 0 && fHasValue) {
            dwCloseDelay = (DWORD)atol(argv[++i]);
        }
    }

    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursor(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = "ZxcWinFixture";
    if (!RegisterClassA(&wc))
        return 90;

    for (cWindows = 0; pszSpec[cWindows] != '\0' && cWindows < WIN_MAX; cWindows++) {
        snprintf(pcName, sizeof(pcName), "win%d", cWindows + 1);
        ahwnd[cWindows] = CreateWindowExA(0, wc.lpszClassName, pcName, WS_OVERLAPPEDWINDOW,
                                          40 + 30 * cWindows, 40 + 30 * cWindows, 240, 160, NULL,
                                          NULL, hInstance, NULL);
        if (ahwnd[cWindows] == NULL)
            return 91;
        if (pszSpec[cWindows] == 'v') {
            ShowWindow(ahwnd[cWindows], SW_SHOWNORMAL);
            UpdateWindow(ahwnd[cWindows]);
        }
    }

    if (pszRecord != NULL && WriteRecord(pszRecord, ahwnd, pszSpec, cWindows) != 0)
        return 92;

    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
