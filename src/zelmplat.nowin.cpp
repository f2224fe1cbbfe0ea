/*
 * zelmplat.nowin.cpp - top-level windows on a platform that has none: the
 * enumeration finds no window, and posting, closing and activating do
 * nothing. The class session service then works without windows.
 */
#include "zelmplat.h"

void PlatEnumWindows(PFNPLATWINDOW pfn, ULONG ulParam)
{
    (void)pfn;
    (void)ulParam;
}

BOOL PlatGetWindowProcessId(HWND hwnd, ULONG *pulProcId)
{
    (void)hwnd;
    (void)pulProcId;
    return FALSE;
}

BOOL PlatIsWindowVisible(HWND hwnd)
{
    (void)hwnd;
    return FALSE;
}

void PlatCloseWindow(HWND hwnd)
{
    (void)hwnd;
}

void PlatPostMessage(HWND hwnd, ULONG ulMsg)
{
    (void)hwnd;
    (void)ulMsg;
}

void PlatSetForegroundWindow(HWND hwnd)
{
    (void)hwnd;
}
